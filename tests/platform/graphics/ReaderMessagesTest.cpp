// The image readers' complaints about damaged files go to the platform log, not to standard
// error, and only once the data is all there is.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/NSLog.h"
#include "platform/graphics/CGImageSource.h"

namespace {

class LogCapture {
 public:
  LogCapture() {
    plat::setNSLogCaptureForTesting([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { plat::setNSLogCaptureForTesting(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool any(const std::string& prefix) {
    for (const auto& l : lines())
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

plat::Data solid(bool jpeg) {
  auto img = plat::CGImage::create(16, 16, true);
  return jpeg ? plat::CGImageJPEGRepresentation(img, 0.9) : plat::CGImagePNGRepresentation(img);
}

TEST(ReaderMessagesTest, DamagedFilesAreLoggedNotPrinted) {
  plat::Data png = solid(false);
  plat::Data cut = png.subdata(0, png.length() - 20);
  {
    LogCapture log;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(plat::CGImageCreateWithPNGData(cut));
    // Still arriving: the same bytes are no fault yet.
    auto source = plat::CGImageSource::createIncremental();
    source->updateData(cut, false);
    (void)source->createImageAtIndex(0);
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.find("libpng"), std::string::npos) << printed;
    EXPECT_TRUE(log.any("PNG reader: ")) << testing::PrintToString(log.lines());
    EXPECT_EQ(log.lines().size(), 1u) << testing::PrintToString(log.lines());
  }
  {
    LogCapture log;
    plat::Data jpeg = solid(true);
    plat::Data garbled = jpeg.subdata(0, 2);
    garbled.append(plat::Data::fromString("\xff\xc0 not a frame header"));
    EXPECT_FALSE(plat::CGImageCreateWithJPEGData(garbled));
    EXPECT_TRUE(log.any("JPEG reader error: ")) << testing::PrintToString(log.lines());
  }
}

}  // namespace
