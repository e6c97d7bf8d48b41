#pragma once
// Shared pieces of the view-category tests: a loopback server of small images with gated
// routes, a manager over a fresh image cache, a recorder of completion reports and an image
// view that remembers every image it was given.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image/HVWebImageManager.h"
#include "image/_HVWebImageSetter.h"
#include "image/cache/HVImageCache.h"
#include "platform/dispatch/NSThread.h"
#include "platform/uikit/CAAnimation.h"
#include "platform/uikit/CALayer.h"
#include "platform/uikit/UIImageView.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"

namespace webviews {

constexpr uint32_t kRed = 0xffff0000u, kGreen = 0xff00ff00u, kBlue = 0xff0000ffu,
                   kGrey = 0xff808080u;

inline std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  std::string dir = std::string(env && *env ? env : "test-output") + "/image/";
  std::filesystem::create_directories(dir);
  return dir;
}

inline std::string bytes(const plat::Data& d) {
  return std::string(reinterpret_cast<const char*>(d.bytes()), d.length());
}

// An 8 x 8 PNG of one colour.
inline std::string solidPNG(uint32_t argb, int side = 8) {
  return bytes(fixtures::pngData(fixtures::solid(side, side, argb), false));
}

inline plat::UIImageRef solidImage(uint32_t argb, int side = 8) {
  return plat::UIImage::imageWithCGImage(fixtures::solid(side, side, argb), 1);
}

// The centre pixel of an image (0 without one).
inline uint32_t centre(const plat::UIImageRef& image) {
  if (!image || !image->CGImage()) return 0;
  auto cg = image->CGImage();
  return cg->pixelAt(int(cg->width() / 2), int(cg->height() / 2));
}

// Puts an image of one colour into the cache's memory tier (stored in the background) and
// waits until it is there.
inline void putInMemory(const std::shared_ptr<HVImageCache>& cache, const std::string& key,
                        uint32_t argb, int side = 8) {
  cache->setImageImageDataForKeyWithType(solidImage(argb, side), {}, key, HVCacheTierMemory);
  testing_loop::runUntil(
      [&] { return cache->containsImageForKeyWithType(key, HVCacheTierMemory); });
}

// Holds a server's answer until released (or until the test ends).
class Gate {
 public:
  void wait() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(60), [&] { return open_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

// What a completion received, and on which thread.
struct Report {
  plat::UIImageRef image;
  plat::NSURLRef url;
  HVWebImageSource from;
  HVWebImagePhase phase;
  plat::NSErrorRef error;
  bool onMain;
};

class Recorder {
 public:
  HVWebImageCompletionHandler handler() {
    auto list = list_;
    return [list](const plat::UIImageRef& image, const plat::NSURLRef& url, HVWebImageSource from,
                  HVWebImagePhase phase, const plat::NSErrorRef& error) {
      list->push_back({image, url, from, phase, error, plat::NSThread::isMainThread()});
    };
  }
  const std::vector<Report>& reports() const { return *list_; }
  size_t size() const { return list_->size(); }
  bool finished() const {
    for (const auto& r : *list_)
      if (r.phase != HVWebImagePhasePartial) return true;
    return false;
  }

 private:
  std::shared_ptr<std::vector<Report>> list_ = std::make_shared<std::vector<Report>>();
};

// The duration of the fade transition running on a layer, 0 without one.
inline double fadeDuration(const plat::CALayer* layer) {
  if (!layer) return 0;
  auto transition = std::dynamic_pointer_cast<plat::CATransition>(
      layer->animationForKey(kHVWebImageFadeAnimationKey));
  return transition ? transition->duration() : 0;
}

// An image view that remembers every image set on it, with the fade running at that moment.
class RecordingImageView : public plat::UIImageView {
 public:
  using UIImageView::UIImageView;
  struct Shown {
    plat::UIImageRef image;
    double fade;
  };
  void setImage(plat::UIImageRef image) override {
    shown.push_back({image, fadeDuration(layer())});
    UIImageView::setImage(std::move(image));
  }
  void setHighlightedImage(plat::UIImageRef image) override {
    shownHighlighted.push_back({image, fadeDuration(layer())});
    UIImageView::setHighlightedImage(std::move(image));
  }
  bool everShowed(uint32_t colour) const {
    for (const auto& s : shown)
      if (s.image && centre(s.image) == colour) return true;
    return false;
  }
  std::vector<Shown> shown, shownHighlighted;
};

// Waits in real time without pumping the main loop (so that work posted to the main queue
// stays queued). False when the condition did not hold within the (scaled) limit.
inline bool waitWithoutPumping(const std::function<bool()>& pred, double seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration<double>(seconds * testing_loop::timeoutScale());
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A server of images: "/red.png", "/green.png", "/blue.png" answer at once; gated paths
// answer when their gate opens; "/missing.png" answers 404.
class ViewsTest : public ::testing::Test {
 protected:
  ViewsTest() {
    server.respond("/red.png", 200, solidPNG(kRed), "image/png");
    server.respond("/green.png", 200, solidPNG(kGreen), "image/png");
    server.respond("/blue.png", 200, solidPNG(kBlue), "image/png");
    server.respond("/missing.png", 404, "no", "text/plain");
    cache = HVImageCache::initWithPath(root.path() + "/images");
    manager = HVWebImageManager::initWithCacheQueue(cache, nullptr);
  }
  ~ViewsTest() override {
    for (auto& g : gates) g->release();
    testing_loop::runUntilIdle();
  }

  // A route whose PNG of `argb` is sent once the returned gate opens.
  std::shared_ptr<Gate> gated(const std::string& path, uint32_t argb) {
    auto gate = std::make_shared<Gate>();
    gates.push_back(gate);
    std::string body = solidPNG(argb);
    server.route(path, [gate, body](const testing_net::Request&, testing_net::Response& res) {
      gate->wait();
      res.body = body;
      res.contentType = "image/png";
    });
    return gate;
  }

  // A call made on another thread waits for the main thread; meanwhile a newer call on the
  // main thread shows green from memory. The older call must then show nothing (neither its
  // own memory hit, red, nor its placeholder) and hear one cancel. `set` makes a call for the
  // slot, `slotURL` reads its URL, `shown` the colour it shows.
  void expectOlderCallsYield(
      const std::function<void(const plat::NSURLRef&, const plat::UIImageRef& placeholder,
                               HVWebImageCompletionHandler)>& set,
      const std::function<plat::NSURLRef()>& slotURL, const std::function<uint32_t()>& shown) {
    putInMemory(cache, server.url("/red.png"), kRed);
    putInMemory(cache, server.url("/green.png"), kGreen);
    for (const char* older : {"/red.png", "/blue.png"}) {
      SCOPED_TRACE(older);
      Recorder olderRec, newerRec;
      plat::NSURLRef olderURL = url(older);
      std::thread caller([&] { set(olderURL, solidImage(kGrey), olderRec.handler()); });
      EXPECT_TRUE(waitWithoutPumping([&] {
        auto current = slotURL();
        return current && current->absoluteString() == olderURL->absoluteString();
      }));
      set(url("/green.png"), nullptr, newerRec.handler());
      EXPECT_TRUE(testing_loop::runUntil([&] { return olderRec.size() > 0; }));
      caller.join();
      testing_loop::runUntilIdle();
      EXPECT_EQ(shown(), kGreen);
      ASSERT_EQ(olderRec.size(), 1u);
      const Report& r = olderRec.reports()[0];
      EXPECT_EQ(r.image, nullptr);
      EXPECT_EQ(r.url, olderURL);
      EXPECT_EQ(r.from, HVWebImageSourceNone);
      EXPECT_EQ(r.phase, HVWebImagePhaseCancelled);
      EXPECT_EQ(r.error, nullptr);
      ASSERT_EQ(newerRec.size(), 1u);
      EXPECT_EQ(newerRec.reports()[0].from, HVWebImageSourceMemoryAtOnce);
    }
    EXPECT_EQ(hits("/blue.png"), 0u);
  }

  plat::NSURLRef url(const std::string& path) const {
    return plat::NSURL::URLWithString(server.url(path));
  }
  size_t hits(const std::string& path) const {
    size_t n = 0;
    for (const auto& r : server.requests())
      if (r.path == path) ++n;
    return n;
  }

  testing_loop::VirtualClockScope clock;
  testing_device::TempDeviceRoot root;
  std::vector<std::shared_ptr<Gate>> gates;
  testing_net::LoopbackServer server;
  std::shared_ptr<HVImageCache> cache;
  HVWebImageManagerRef manager;
};

}  // namespace webviews
