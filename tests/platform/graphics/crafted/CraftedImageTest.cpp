// Every file of this folder (small crafted images: declared sizes far beyond what their bytes
// hold, costly scans, pages, tiles or components) is read through every way the system decodes
// images: the image source whole and as it arrives (every image it offers), the direct PNG and
// JPEG readers, the image response serializer and UIImage. Each way runs in a child process;
// none may crash or use more than 512 MB at its peak or 4 seconds of processor time.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <valgrind/valgrind.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "net/SDPImageResponseSerializer.h"
#include "platform/graphics/CGImageSource.h"
#include "platform/network/NSURLResponse.h"
#include "platform/uikit/UIImage.h"
#include "testing/loop/Pump.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CRAFTED_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CRAFTED_SANITIZED 1
#endif

namespace {

namespace fs = std::filesystem;

constexpr long kMaxPeakKB = 512 * 1024;
// Well above the slowest sound decode here (about 1.4 s of processor time on a quiet machine,
// half as fast again on a busy one) and well below what the crafted files cost a decoder that
// believes their headers (8 s and more).
constexpr double kMaxSeconds = 4.0;

fs::path folder() { return LUMORA_CRAFTED_IMAGES; }

// Every crafted file: whatever is in the folder but the test, its build file and the script.
std::vector<std::string> craftedFiles() {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(folder())) {
    std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || ext == ".cpp" || ext == ".py" || ext == ".txt" ||
        ext == ".md")
      continue;
    out.push_back(entry.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

plat::Data readFile(const std::string& name) {
  std::ifstream f(folder() / name, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  return plat::Data(std::move(bytes));
}

void readEveryImage(plat::CGImageSource& source) {
  (void)source.properties();
  for (size_t i = 0; i < source.count(); ++i) {
    (void)source.propertiesAtIndex(i);
    (void)source.createImageAtIndex(i, false);
  }
}

struct Way {
  const char* name;
  std::function<void(const plat::Data&)> run;
};

std::vector<Way> ways() {
  return {
      {"image source, whole",
       [](const plat::Data& d) {
         if (auto s = plat::CGImageSource::createWithData(d)) readEveryImage(*s);
       }},
      {"image source, as it arrives",
       [](const plat::Data& d) {
         auto s = plat::CGImageSource::createIncremental();
         s->updateData(d.subdata(0, d.length() / 2), false);
         readEveryImage(*s);
         s->updateData(d, true);
         readEveryImage(*s);
       }},
      {"direct readers",
       [](const plat::Data& d) {
         (void)plat::CGImageCreateWithPNGData(d);
         (void)plat::CGImageCreateWithJPEGData(d);
         (void)plat::CGImageCreateWithData(d);
       }},
      {"response serializer",
       [](const plat::Data& d) {
         auto s = SDPImageResponseSerializer::serializer();
         for (const char* type : {"image/png", "image/jpeg", "image/tiff"}) {
           plat::HTTPHeaderFields headers;
           headers.set("Content-Type", type);
           auto response = plat::NSHTTPURLResponse::make("http://h/x", 200, headers);
           (void)s->responseObjectForResponseDataError(response, &d, nullptr);
         }
       }},
      {"UIImage", [](const plat::Data& d) { (void)plat::UIImage::imageWithData(d, 1); }},
  };
}

class CraftedImageTest : public testing::TestWithParam<std::string> {};

TEST_P(CraftedImageTest, EveryDecoderStaysWithinMemoryAndTime) {
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "children of a valgrind run are not checked";
  const plat::Data data = readFile(GetParam());
  ASSERT_FALSE(data.empty());
  ASSERT_LE(data.length(), size_t(1) << 20);
#ifdef CRAFTED_SANITIZED
  // Shadow memory and quarantine make peak sizes meaningless; the code runs a few times slower.
  const bool checkMemory = false;
  const double maxSeconds = kMaxSeconds * 20 * testing_loop::timeoutScale();
#else
  const bool checkMemory = true;
  const double maxSeconds = kMaxSeconds * testing_loop::timeoutScale();
#endif
  for (const Way& way : ways()) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // A decoder that hangs is ended by the alarm and reported as a signal below.
      alarm(unsigned(std::ceil(maxSeconds * 4)) + 1);
      way.run(data);
      _exit(0);
    }
    int status = 0;
    struct rusage usage {};
    ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
    // The bound is on the work the decoder does: the child's processor time, which other
    // programs running beside the test do not stretch as they stretch the wall clock.
    auto cpu = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    double seconds = cpu(usage.ru_utime) + cpu(usage.ru_stime);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    SCOPED_TRACE(std::string(way.name) + " on " + GetParam());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_LE(seconds, maxSeconds);
    if (checkMemory) EXPECT_LE(usage.ru_maxrss, kMaxPeakKB) << "peak KB";
    if (std::getenv("CRAFTED_VERBOSE"))  // the figures, for a person tuning the limits
      std::printf("%-36s %-28s %6.3f s (wall %6.3f s) %7ld KB\n", GetParam().c_str(), way.name,
                  seconds, wall, usage.ru_maxrss);
  }
}

std::string nameOf(const testing::TestParamInfo<std::string>& info) {
  std::string name;
  for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Files, CraftedImageTest, testing::ValuesIn(craftedFiles()), nameOf);

}  // namespace
