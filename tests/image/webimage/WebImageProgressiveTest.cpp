// Partial images while a download arrives, chunk by chunk from a gated loopback response:
// plain partials at most every 0.2 s, blurred ones only for progressive JPEG (after each new
// scan) and interlaced PNG, never for tiny or nearly whole chunks; and the connection closed
// mid-body.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "image/HVWebImageManager.h"
#include "image/HVWebImageOperation.h"
#include "platform/network/NSURLError.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"
#include "tests/image/webimage/LargeBlocks.h"

namespace {

using testing_loop::runUntil;

struct Call {
  plat::UIImageRef image;
  HVWebImageSource source;
  HVWebImagePhase phase;
  plat::NSErrorRef error;
};

class ProgressiveTest : public ::testing::Test {
 protected:
  void TearDown() override { testing_loop::runUntilIdle(); }

  // Serves `chunks` behind a gate at a path of its own and starts a load with `options`.
  void load(const std::vector<std::string>& chunks, HVWebImageOptionFlags options) {
    static std::atomic<int> counter{0};
    std::string path = "/progressive-" + std::to_string(counter.fetch_add(1)) + ".img";
    gate_ = std::make_shared<testing_net::Gate>(chunks);
    auto gate = gate_;
    server_.route(path, [gate](const testing_net::Request&, testing_net::Response& res) {
      res.contentType = "application/octet-stream";
      res.gate = gate;
    });
    op_ = manager_->requestImageWithURLOptionsProgressTransformCompletion(
        plat::NSURL::URLWithString(server_.url(path)), options,
        [this](int64_t received, int64_t) { received_ = received; }, {},
        [this](const plat::UIImageRef& image, const plat::NSURLRef&, HVWebImageSource from,
               HVWebImagePhase phase, const plat::NSErrorRef& error) {
          std::lock_guard<std::mutex> lock(mu_);
          calls_.push_back({image, from, phase, error});
        });
    ASSERT_TRUE(op_);
  }
  // Lets the next chunk out and waits until the operation has received it.
  void releaseNext(size_t chunkLength) {
    int64_t target = received_.load() + static_cast<int64_t>(chunkLength);
    gate_->release();
    ASSERT_TRUE(runUntil([&] { return received_.load() >= target; }));
    // The partial decode runs right after the bytes are counted: let it finish.
    plat::performSelectorOnThread(
        HVWebImageOperation::_networkThread(), [] {}, true);
  }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  size_t partials() {
    size_t n = 0;
    for (auto& c : calls()) n += c.phase == HVWebImagePhasePartial;
    return n;
  }
  Call finish() {
    gate_->releaseAll();
    EXPECT_TRUE(runUntil([&] {
      auto all = calls();
      return !all.empty() && all.back().phase != HVWebImagePhasePartial;
    }));
    auto all = calls();
    size_t finals = 0;
    for (auto& c : all) finals += c.phase != HVWebImagePhasePartial;
    EXPECT_EQ(finals, 1u);
    return all.empty() ? Call{} : all.back();
  }

  testing_loop::VirtualClockScope clock_;
  testing_net::LoopbackServer server_;
  HVWebImageManagerRef manager_ = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  testing_net::GateRef gate_;
  HVWebImageOperationRef op_;
  std::atomic<int64_t> received_{0};
  std::mutex mu_;
  std::vector<Call> calls_;
};

// Splits data into pieces at the given offsets.
std::vector<std::string> split(const plat::Data& data, std::vector<size_t> cuts) {
  std::vector<std::string> out;
  size_t from = 0;
  cuts.push_back(data.length());
  for (size_t cut : cuts) {
    out.push_back(data.subdata(from, cut - from).toString());
    from = cut;
  }
  return out;
}

// Offsets of the JPEG start-of-scan markers.
std::vector<size_t> scanStarts(const plat::Data& jpeg) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < jpeg.length(); ++i) {
    if (jpeg.bytes()[i] == 0xFF && jpeg.bytes()[i + 1] == 0xDA) at.push_back(i);
  }
  return at;
}

TEST_F(ProgressiveTest, PlainPartialsComeAtMostEveryFifthOfASecond) {
  auto jpeg = fixtures::jpegData(fixtures::gradient(96, 64), false, 95);
  size_t n = jpeg.length();
  auto chunks = split(jpeg, {n / 4, n / 2, n * 3 / 4});
  load(chunks, HVWebImageOptionProgressiveDisplay);
  releaseNext(chunks[0].size());
  EXPECT_EQ(partials(), 1u);
  releaseNext(chunks[1].size());  // too soon after the last one
  EXPECT_EQ(partials(), 1u);
  testing_loop::advance(0.25);
  releaseNext(chunks[2].size());
  EXPECT_EQ(partials(), 2u);
  for (auto& c : calls()) {
    ASSERT_TRUE(c.image);
    EXPECT_EQ(c.source, HVWebImageSourceNetwork);
    EXPECT_EQ(c.image->CGImage()->width(), 96u);
  }
  auto last = finish();
  EXPECT_EQ(last.phase, HVWebImagePhaseFinished);
  EXPECT_TRUE(last.image);
  EXPECT_EQ(partials(), 2u);  // the final chunk carries no partial of its own
}

// Partial decodes read the download where it is: no copy of the bytes received so far is made
// for them or kept between them. The body (a small picture followed by filler, which readers
// ignore) is sized up front by its length, so its own buffer is one block that never moves, and
// it comes in pieces far smaller than the blocks counted.
TEST_F(ProgressiveTest, PartialDecodesReadTheDownloadWithoutCopyingIt) {
  if (!LargeBlocks::available()) GTEST_SKIP() << "needs the sanitizer's allocation hooks";
  plat::Data body = fixtures::jpegData(fixtures::gradient(96, 64), false, 95);
  body.setLength(size_t(4) << 20);
  size_t n = body.length();
  std::vector<size_t> cuts;
  for (size_t i = 1; i < 16; ++i) cuts.push_back(n * i / 16);
  auto chunks = split(body, cuts);
  LargeBlocks::start(n / 4);
  load(chunks, HVWebImageOptionProgressiveDisplay);
  for (size_t i = 0; i < chunks.size(); ++i) {
    // Every fourth piece comes after the interval between partials, from the second quarter on.
    if (i >= 4 && i % 4 == 0) testing_loop::advance(0.25);
    releaseNext(chunks[i].size());
  }
  EXPECT_EQ(partials(), 4u);
  EXPECT_TRUE(finish().image);
  EXPECT_LE(LargeBlocks::stop(), 1u);
}

TEST_F(ProgressiveTest, TinyAndNearlyWholeChunksGiveNoPartial) {
  auto jpeg = fixtures::jpegData(fixtures::gradient(96, 64), false, 95);
  size_t n = jpeg.length();
  // 16 bytes, then the bulk in one chunk of more than 99 % of the whole.
  auto chunks = split(jpeg, {16, n - 2});
  load(chunks, HVWebImageOptionProgressiveDisplay);
  releaseNext(16);
  testing_loop::advance(1);
  releaseNext(chunks[1].size());
  EXPECT_EQ(partials(), 0u);
  EXPECT_TRUE(finish().image);
  EXPECT_EQ(partials(), 0u);
}

TEST_F(ProgressiveTest, BlurredPartialsFollowTheScansOfAProgressiveJPEG) {
  auto jpeg = fixtures::jpegData(fixtures::gradient(96, 64), true, 95);
  auto scans = scanStarts(jpeg);
  ASSERT_GE(scans.size(), 4u);
  // Chunk 0 ends inside the second scan; chunk 1 stays inside it (no new marker); chunk 2
  // brings the third scan's marker and some of its data.
  size_t a = scans[1] + 60, b = scans[2] - 2, c = scans[2] + 60;
  auto chunks = split(jpeg, {a, b, c});
  load(chunks, HVWebImageOptionProgressiveBlurDisplay);
  releaseNext(chunks[0].size());
  EXPECT_EQ(partials(), 1u);
  testing_loop::advance(0.5);
  releaseNext(chunks[1].size());
  EXPECT_EQ(partials(), 1u);
  testing_loop::advance(0.5);
  releaseNext(chunks[2].size());
  EXPECT_EQ(partials(), 2u);
  EXPECT_TRUE(finish().image);
}

TEST_F(ProgressiveTest, CancelDoesNotWaitForAPartialImageBeingMade) {
  auto jpeg = fixtures::jpegData(fixtures::gradient(96, 64), true, 95);
  auto scans = scanStarts(jpeg);
  ASSERT_GE(scans.size(), 2u);
  auto chunks = split(jpeg, {scans[1] + 60});
  load(chunks, HVWebImageOptionProgressiveBlurDisplay);
  // While the network thread is about to decode, another thread cancels: it must get through
  // at once, and the partial image made meanwhile must not be reported.
  std::thread canceller;
  std::mutex m;
  std::condition_variable cv;
  bool cancelled = false, returnedInTime = false;
  HVWebImageOperation::setProgressiveDecodeHookForTesting([&] {
    canceller = std::thread([&] {
      op_->cancel();
      std::lock_guard<std::mutex> lock(m);
      cancelled = true;
      cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    returnedInTime =
        cv.wait_for(lock, std::chrono::duration<double>(5 * testing_loop::timeoutScale()),
                    [&] { return cancelled; });
  });
  gate_->release();
  EXPECT_TRUE(runUntil([&] {
    std::lock_guard<std::mutex> lock(m);
    return cancelled;
  }));
  HVWebImageOperation::setProgressiveDecodeHookForTesting(nullptr);
  if (canceller.joinable()) canceller.join();
  EXPECT_TRUE(returnedInTime);
  ASSERT_TRUE(runUntil([&] { return !calls().empty(); }));
  plat::performSelectorOnThread(
      HVWebImageOperation::_networkThread(), [] {}, true);
  auto all = calls();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].phase, HVWebImagePhaseCancelled);
  gate_->releaseAll();
}

TEST_F(ProgressiveTest, BlurredPartialsWaitForTheBottomRightPixel) {
  // Opaque red has no blue, which sits where a 32-bit little-endian bitmap keeps its first
  // byte: the test must read alpha.
  auto jpeg = fixtures::jpegData(fixtures::solid(96, 64, 0xFFFF0000), true, 90);
  auto scans = scanStarts(jpeg);
  ASSERT_GE(scans.size(), 5u);
  // A scan cut just after its header decodes to nothing yet (transparent): skipped, and the
  // next chunk brings no new scan. Then a chunk well into a new scan shows.
  auto chunks = split(jpeg, {scans[3] + 8, scans[3] + 20, scans[4] + 60});
  load(chunks, HVWebImageOptionProgressiveBlurDisplay);
  releaseNext(chunks[0].size());
  EXPECT_EQ(partials(), 0u);
  testing_loop::advance(0.5);
  releaseNext(chunks[1].size());
  EXPECT_EQ(partials(), 0u);
  testing_loop::advance(0.5);
  releaseNext(chunks[2].size());
  ASSERT_EQ(partials(), 1u);
  auto partial = calls()[0].image->CGImage();
  uint32_t px = partial->pixelAt(int(partial->width()) / 2, int(partial->height()) / 2);
  EXPECT_GT((px >> 16) & 0xFF, 0xC0u);  // red, blurred
  EXPECT_LT(px & 0xFF, 0x10u);
  EXPECT_TRUE(finish().image);
}

TEST_F(ProgressiveTest, BlurredPartialsOfAnInterlacedPNGOnly) {
  auto interlaced = fixtures::pngData(fixtures::gradient(96, 64), true);
  size_t n = interlaced.length();
  auto chunks = split(interlaced, {n / 2, n * 3 / 4});
  load(chunks, HVWebImageOptionProgressiveBlurDisplay);
  releaseNext(chunks[0].size());
  testing_loop::advance(0.5);
  releaseNext(chunks[1].size());
  EXPECT_GE(partials(), 1u);
  EXPECT_TRUE(finish().image);

  calls_.clear();
  received_ = 0;
  auto plain = fixtures::pngData(fixtures::gradient(96, 64), false);
  n = plain.length();
  chunks = split(plain, {n / 2, n * 3 / 4});
  load(chunks, HVWebImageOptionProgressiveBlurDisplay);
  releaseNext(chunks[0].size());
  testing_loop::advance(0.5);
  releaseNext(chunks[1].size());
  EXPECT_EQ(partials(), 0u);
  EXPECT_TRUE(finish().image);
}

TEST_F(ProgressiveTest, BlurredModeGivesUpOnABaselineJPEG) {
  auto jpeg = fixtures::jpegData(fixtures::gradient(96, 64), false, 95);
  size_t n = jpeg.length();
  auto chunks = split(jpeg, {n / 4, n / 2, n * 3 / 4});
  load(chunks, HVWebImageOptionProgressiveBlurDisplay);
  for (size_t i = 0; i < 3; ++i) {
    releaseNext(chunks[i].size());
    testing_loop::advance(0.5);
  }
  EXPECT_EQ(partials(), 0u);
  EXPECT_TRUE(finish().image);
  EXPECT_EQ(partials(), 0u);
}

TEST_F(ProgressiveTest, AConnectionClosedMidBodyFails) {
  auto jpeg = fixtures::jpegData(fixtures::gradient(96, 64), false, 95);
  size_t n = jpeg.length();
  auto chunks = split(jpeg, {n / 2});
  load(chunks, 0);
  releaseNext(chunks[0].size());
  gate_->closeConnection();
  EXPECT_TRUE(runUntil([&] { return !calls().empty(); }));
  auto all = calls();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].phase, HVWebImagePhaseFinished);
  EXPECT_EQ(all[0].source, HVWebImageSourceNone);
  ASSERT_TRUE(all[0].error);
  EXPECT_EQ(all[0].error->code(), plat::NSURLErrorNetworkConnectionLost);
}

}  // namespace
