// The image view's URL slots: placeholders, the memory-cache shortcut, superseded and cancelled
// requests reported once, string URLs, calls from other threads, manual setting, fades and the
// view's release mid-load.

#include <atomic>
#include <thread>

#include "image/UIImageView+HVWebImage.h"
#include "tests/image/webviews/WebViewsSupport.h"

using namespace plat;
using namespace webviews;

namespace {

class ImageViewSetterTest : public ViewsTest {
 protected:
  std::shared_ptr<RecordingImageView> view = make<RecordingImageView>(CGRectMake(0, 0, 8, 8));
};

TEST_F(ImageViewSetterTest, MemoryHitIsSetAndReportedBeforeTheCallReturns) {
  putInMemory(cache, server.url("/green.png"), kGreen);
  Recorder rec;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/green.png"), solidImage(kGrey), 0, manager, nullptr, nullptr, rec.handler());
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(centre(rec.reports()[0].image), kGreen);
  EXPECT_EQ(rec.reports()[0].from, HVWebImageSourceMemoryAtOnce);
  EXPECT_EQ(rec.reports()[0].phase, HVWebImagePhaseFinished);
  EXPECT_EQ(view->image(), rec.reports()[0].image);
  // The placeholder never showed, and nothing went to the network.
  EXPECT_FALSE(view->everShowed(kGrey));
  testing_loop::runUntilIdle();
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(rec.size(), 1u);
}

TEST_F(ImageViewSetterTest, NilPlaceholderClearsAtOnceThenTheDownloadShowsWithoutFade) {
  view->setImage(solidImage(kBlue));
  Recorder rec;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/red.png"), nullptr, 0, manager, nullptr, nullptr, rec.handler());
  EXPECT_EQ(view->image(), nullptr);
  EXPECT_EQ(HV_imageURL(view)->absoluteString(), server.url("/red.png"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  ASSERT_EQ(rec.size(), 1u);
  const Report& r = rec.reports()[0];
  EXPECT_TRUE(r.onMain);
  EXPECT_EQ(r.from, HVWebImageSourceNetwork);
  EXPECT_EQ(r.phase, HVWebImagePhaseFinished);
  EXPECT_EQ(centre(view->image()), kRed);
  EXPECT_EQ(view->shown.back().fade, 0);
  EXPECT_TRUE(view->layer()->animationKeys().empty());
}

TEST_F(ImageViewSetterTest, ASupersededRequestIsReportedCancelledOnceAndNeverShown) {
  auto gate = gated("/slow.png", kRed);
  Recorder first, second;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/slow.png"), solidImage(kGrey), 0, manager, nullptr, nullptr, first.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return hits("/slow.png") == 1; }));
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/blue.png"), solidImage(kGrey), 0, manager, nullptr, nullptr, second.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return second.finished() && first.size() > 0; }));
  gate->release();
  testing_loop::runUntilIdle();
  ASSERT_EQ(first.size(), 1u);
  const Report& r = first.reports()[0];
  EXPECT_EQ(r.image, nullptr);
  EXPECT_EQ(r.url->absoluteString(), server.url("/slow.png"));
  EXPECT_EQ(r.from, HVWebImageSourceNone);
  EXPECT_EQ(r.phase, HVWebImagePhaseCancelled);
  EXPECT_EQ(r.error, nullptr);
  EXPECT_EQ(centre(view->image()), kBlue);
  EXPECT_FALSE(view->everShowed(kRed));
}

TEST_F(ImageViewSetterTest, ResultsQueuedBeforeANewerRequestAreReportedAsOneCancel) {
  // Every result of the first request (a partial and the final image) reaches the main queue
  // before the second request is made; none may show, and the first completion hears one
  // cancel.
  server.route("/queued.png", [](const testing_net::Request&, testing_net::Response& res) {
    res.chunks = {solidPNG(kRed)};
    res.contentType = "image/png";
  });
  putInMemory(cache, server.url("/green.png"), kGreen);
  auto queue = std::make_shared<NSOperationQueue>();
  manager->setQueue(queue);
  Recorder first, second;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/queued.png"), solidImage(kGrey), HVWebImageOptionProgressiveDisplay, manager,
      nullptr, nullptr, first.handler());
  ASSERT_TRUE(
      waitWithoutPumping([&] { return hits("/queued.png") == 1 && queue->operationCount() == 0; }));
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/green.png"), solidImage(kGrey), 0, manager, nullptr, nullptr, second.handler());
  EXPECT_EQ(second.size(), 1u);  // a memory hit, set at once
  testing_loop::runUntilIdle();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first.reports()[0].phase, HVWebImagePhaseCancelled);
  EXPECT_EQ(first.reports()[0].image, nullptr);
  EXPECT_EQ(centre(view->image()), kGreen);
  EXPECT_FALSE(view->everShowed(kRed));
}

TEST_F(ImageViewSetterTest, ACancelWhileTheRequestIsBeingMadeWins) {
  // The main step misses the memory cache; then, on the setter queue while the manager makes
  // the operation, the slot is cancelled and the operation finds the image in memory at once.
  putInMemory(cache, "late-key", kRed);
  std::atomic<int> calls{0};
  std::weak_ptr<RecordingImageView> weak = view;
  manager->setCacheKeyFilter([&calls, weak](const NSURLRef&) -> std::string {
    if (++calls == 1) return "absent-key";
    if (auto v = weak.lock()) HV_cancelCurrentImageRequest(v);
    return "late-key";
  });
  Recorder rec;
  auto placeholder = solidImage(kGrey);
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/red.png"), placeholder, 0, manager, nullptr, nullptr, rec.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.size() > 0; }));
  testing_loop::runUntilIdle();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec.reports()[0].phase, HVWebImagePhaseCancelled);
  EXPECT_EQ(view->image(), placeholder);
  EXPECT_FALSE(view->everShowed(kRed));
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ImageViewSetterTest, CancelKeepsThePlaceholderAndForgetsTheURL) {
  auto gate = gated("/held.png", kRed);
  Recorder rec;
  auto placeholder = solidImage(kGrey);
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/held.png"), placeholder, 0, manager, nullptr, nullptr, rec.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return hits("/held.png") == 1; }));
  HV_cancelCurrentImageRequest(view);
  EXPECT_EQ(HV_imageURL(view), nullptr);
  gate->release();
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.size() > 0; }));
  testing_loop::runUntilIdle();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec.reports()[0].phase, HVWebImagePhaseCancelled);
  EXPECT_EQ(view->image(), placeholder);
  EXPECT_FALSE(view->everShowed(kRed));
}

TEST_F(ImageViewSetterTest, TextURLsAndNoURL) {
  // Text works as the URL made from it.
  Recorder rec;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, server.url("/blue.png"), nullptr, 0, manager, nullptr, nullptr, rec.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  EXPECT_EQ(centre(view->image()), kBlue);
  // Text that is no URL: the placeholder only, no request, no completion.
  Recorder none;
  auto placeholder = solidImage(kGrey);
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, std::string("http://bad host/a b.png"), placeholder, 0, manager, nullptr, nullptr,
      none.handler());
  EXPECT_EQ(view->image(), placeholder);
  EXPECT_EQ(HV_imageURL(view), nullptr);
  // With bit 9 not even the placeholder.
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, NSURLRef(), solidImage(kRed), HVWebImageOptionNoPlaceholder, manager, nullptr, nullptr,
      none.handler());
  EXPECT_EQ(view->image(), placeholder);
  testing_loop::runUntilIdle();
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(ImageViewSetterTest, EveryShortFormTakesTheURLAsText) {
  // The short forms use the shared manager: served from its memory, nothing reaches the net.
  auto shared = HVWebImageManager::sharedManager()->cache();
  std::string red = server.url("/red.png"), green = server.url("/green.png");
  struct Forget {
    std::shared_ptr<HVImageCache> cache;
    std::vector<std::string> keys;
    ~Forget() {
      for (auto& k : keys) cache->removeImageForKeyWithType(k, HVCacheTierMemory);
    }
  } forget{shared, {red, green}};
  putInMemory(shared, red, kRed);
  putInMemory(shared, green, kGreen);
  auto placeholder = solidImage(kGrey);
  auto expectImage = [&](const std::string& url, uint32_t argb, int line) {
    SCOPED_TRACE(line);
    EXPECT_EQ(centre(view->image()), argb);
    ASSERT_TRUE(HV_imageURL(view));
    EXPECT_EQ(HV_imageURL(view)->absoluteString(), url);
  };
  auto expectHighlighted = [&](const std::string& url, uint32_t argb, int line) {
    SCOPED_TRACE(line);
    EXPECT_EQ(centre(view->highlightedImage()), argb);
    ASSERT_TRUE(HV_highlightedImageURL(view));
    EXPECT_EQ(HV_highlightedImageURL(view)->absoluteString(), url);
  };
  Recorder rec;
  setHV_imageURL(view, red);
  expectImage(red, kRed, __LINE__);
  HV_setImageWithURLPlaceholder(view, green, placeholder);
  expectImage(green, kGreen, __LINE__);
  HV_setImageWithURLOptions(view, red, 0);
  expectImage(red, kRed, __LINE__);
  HV_setImageWithURLPlaceholderOptionsCompletion(view, green, placeholder, 0, rec.handler());
  expectImage(green, kGreen, __LINE__);
  HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(view, red, placeholder, 0,
                                                                  nullptr, nullptr, rec.handler());
  expectImage(red, kRed, __LINE__);
  setHV_highlightedImageURL(view, green);
  expectHighlighted(green, kGreen, __LINE__);
  HV_setHighlightedImageWithURLPlaceholder(view, red, placeholder);
  expectHighlighted(red, kRed, __LINE__);
  HV_setHighlightedImageWithURLOptions(view, green, 0);
  expectHighlighted(green, kGreen, __LINE__);
  HV_setHighlightedImageWithURLPlaceholderOptionsCompletion(view, red, placeholder, 0,
                                                            rec.handler());
  expectHighlighted(red, kRed, __LINE__);
  HV_setHighlightedImageWithURLPlaceholderOptionsProgressTransformCompletion(
      view, green, placeholder, 0, nullptr, nullptr, rec.handler());
  expectHighlighted(green, kGreen, __LINE__);
  ASSERT_EQ(rec.size(), 4u);
  for (const auto& r : rec.reports()) EXPECT_EQ(r.from, HVWebImageSourceMemoryAtOnce);

  // Text that is no URL counts as none: the placeholder only.
  HV_setImageWithURLPlaceholder(view, "http://bad host/a b.png", placeholder);
  EXPECT_EQ(view->image(), placeholder);
  EXPECT_EQ(HV_imageURL(view), nullptr);
  HV_setHighlightedImageWithURLPlaceholder(view, "http://bad host/a b.png", placeholder);
  EXPECT_EQ(view->highlightedImage(), placeholder);
  EXPECT_EQ(HV_highlightedImageURL(view), nullptr);
  testing_loop::runUntilIdle();
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(rec.size(), 4u);
}

TEST_F(ImageViewSetterTest, CallsFromAnotherThreadWaitForTheMainStep) {
  auto gate = gated("/later.png", kGreen);
  Recorder rec;
  auto placeholder = solidImage(kGrey);
  bool returned = false;
  std::thread caller([&] {
    HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
        view, url("/later.png"), placeholder, 0, manager, nullptr, nullptr, rec.handler());
    returned = true;
  });
  // The caller returns once the main thread has shown the placeholder.
  ASSERT_TRUE(testing_loop::runUntil([&] { return hits("/later.png") == 1; }));
  caller.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(view->image(), placeholder);
  gate->release();
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_TRUE(rec.reports()[0].onMain);
  EXPECT_EQ(centre(view->image()), kGreen);
}

TEST_F(ImageViewSetterTest, AnOlderCallWaitingForTheMainThreadLeavesTheNewerImage) {
  expectOlderCallsYield(
      [&](const NSURLRef& u, const UIImageRef& placeholder, HVWebImageCompletionHandler done) {
        HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
            view, u, placeholder, 0, manager, nullptr, nullptr, std::move(done));
      },
      [&] { return HV_imageURL(view); }, [&] { return centre(view->image()); });
  EXPECT_FALSE(view->everShowed(kRed));
}

TEST_F(ImageViewSetterTest, ManualSettingHandsEveryImageToTheCompletionOnly) {
  server.route("/manual.png", [](const testing_net::Request&, testing_net::Response& res) {
    res.chunks = {solidPNG(kRed)};  // chunked: length unknown, so a partial is decoded
    res.contentType = "image/png";
  });
  auto placeholder = solidImage(kGrey);
  Recorder rec;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/manual.png"), placeholder,
      HVWebImageOptionManualSetImage | HVWebImageOptionProgressiveDisplay, manager, nullptr,
      nullptr, rec.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  ASSERT_EQ(rec.size(), 2u);
  EXPECT_EQ(rec.reports()[0].phase, HVWebImagePhasePartial);
  EXPECT_NE(rec.reports()[0].image, nullptr);
  EXPECT_EQ(rec.reports()[1].phase, HVWebImagePhaseFinished);
  EXPECT_EQ(centre(rec.reports()[1].image), kRed);
  EXPECT_EQ(view->image(), placeholder);
  EXPECT_FALSE(view->everShowed(kRed));
}

TEST_F(ImageViewSetterTest, FadesPartialImagesOverPointFourAndTheFinalOneOverPointTwo) {
  server.route("/fade.png", [](const testing_net::Request&, testing_net::Response& res) {
    res.chunks = {solidPNG(kRed)};
    res.contentType = "image/png";
  });
  Recorder rec;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/fade.png"), nullptr, HVWebImageOptionFadeIn | HVWebImageOptionProgressiveDisplay,
      manager, nullptr, nullptr, rec.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  // The nil placeholder, the partial image, the final image.
  ASSERT_EQ(view->shown.size(), 3u);
  EXPECT_EQ(view->shown[0].fade, 0);
  EXPECT_DOUBLE_EQ(view->shown[1].fade, 0.4);
  EXPECT_DOUBLE_EQ(view->shown[2].fade, 0.2);
  // A new request drops the running fade.
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, NSURLRef(), nullptr, HVWebImageOptionFadeIn, manager, nullptr, nullptr, nullptr);
  EXPECT_EQ(fadeDuration(view->layer()), 0);
  // A highlighted view does not fade its image slot.
  view->setHighlighted(true);
  Recorder second;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/blue.png"), nullptr, HVWebImageOptionFadeIn, manager, nullptr, nullptr,
      second.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return second.finished(); }));
  EXPECT_EQ(view->shown.back().fade, 0);
}

TEST_F(ImageViewSetterTest, ImageAndHighlightedImageLoadIndependently) {
  auto gate = gated("/hl.png", kBlue);
  Recorder image, highlighted;
  HV_setHighlightedImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/hl.png"), nullptr, 0, manager, nullptr, nullptr, highlighted.handler());
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/red.png"), nullptr, 0, manager, nullptr, nullptr, image.handler());
  EXPECT_EQ(HV_highlightedImageURL(view)->absoluteString(), server.url("/hl.png"));
  EXPECT_EQ(HV_imageURL(view)->absoluteString(), server.url("/red.png"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return image.finished(); }));
  EXPECT_EQ(highlighted.size(), 0u);
  gate->release();
  ASSERT_TRUE(testing_loop::runUntil([&] { return highlighted.finished(); }));
  EXPECT_EQ(centre(view->highlightedImage()), kBlue);
  EXPECT_EQ(centre(view->image()), kRed);
  // Cancelling the highlighted slot leaves the image slot's request running.
  Recorder again;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/green.png"), nullptr, 0, manager, nullptr, nullptr, again.handler());
  HV_cancelCurrentHighlightedImageRequest(view);
  ASSERT_TRUE(testing_loop::runUntil([&] { return again.finished(); }));
  EXPECT_EQ(again.reports()[0].phase, HVWebImagePhaseFinished);
  EXPECT_EQ(centre(view->image()), kGreen);
  EXPECT_EQ(HV_highlightedImageURL(view), nullptr);
}

TEST_F(ImageViewSetterTest, AViewFreedMidLoadHearsOneCancelAndIsNotTouched) {
  auto gate = gated("/gone.png", kRed);
  Recorder rec;
  std::weak_ptr<RecordingImageView> weak = view;
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/gone.png"), nullptr, 0, manager, nullptr, nullptr, rec.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return hits("/gone.png") == 1; }));
  view = nullptr;
  EXPECT_TRUE(weak.expired());
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.size() > 0; }));
  gate->release();
  testing_loop::runUntilIdle();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec.reports()[0].phase, HVWebImagePhaseCancelled);
}

TEST_F(ImageViewSetterTest, AFailedLoadKeepsThePlaceholderAndPassesTheError) {
  Recorder rec;
  auto placeholder = solidImage(kGrey);
  HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
      view, url("/missing.png"), placeholder, 0, manager, nullptr, nullptr, rec.handler());
  ASSERT_TRUE(testing_loop::runUntil([&] { return rec.finished(); }));
  ASSERT_EQ(rec.size(), 1u);
  ASSERT_NE(rec.reports()[0].error, nullptr);
  EXPECT_EQ(rec.reports()[0].error->code(), 404);
  EXPECT_EQ(view->image(), placeholder);
}

// ---- the setter itself ----

TEST(WebImageSetterTest, SentinelsSupersedeStaleRequests) {
  testing_loop::VirtualClockScope clock;
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  auto setter = std::make_shared<_HVWebImageSetter>();
  auto url = NSURL::URLWithString(
      "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort()) + "/a.png");
  int32_t first = setter->cancelWithNewURL(url);
  EXPECT_EQ(setter->imageURL(), url);
  int32_t second = setter->cancelWithNewURL(url);
  EXPECT_NE(first, second);
  // A request handed an older sentinel makes no operation and hears a cancel at once.
  std::vector<HVWebImagePhase> phases;
  auto record = [&](const UIImageRef&, const NSURLRef&, HVWebImageSource, HVWebImagePhase p,
                    const NSErrorRef&) { phases.push_back(p); };
  EXPECT_EQ(setter->setOperationWithSentinelUrlOptionsManagerProgressTransformCompletion(
                first, url, 0, manager, nullptr, nullptr, record),
            second);
  ASSERT_EQ(phases.size(), 1u);
  EXPECT_EQ(phases[0], HVWebImagePhaseCancelled);
  // The current one is installed and moves the sentinel by one; no later cancel can give a
  // request that value.
  int32_t installed = setter->setOperationWithSentinelUrlOptionsManagerProgressTransformCompletion(
      second, url, 0, manager, nullptr, nullptr, nullptr);
  EXPECT_EQ(installed, second + 1);
  EXPECT_EQ(setter->sentinel(), installed);
  EXPECT_NE(setter->cancelWithNewURL(nullptr), installed);
  EXPECT_EQ(setter->imageURL(), nullptr);
  // No operation for a null URL or a null manager: the create-failed error.
  for (const auto& [target, failing] :
       {std::pair{url, HVWebImageManagerRef()}, std::pair{NSURLRef(), manager}}) {
    NSErrorRef error;
    HVWebImagePhase phase = HVWebImagePhasePartial;
    setter->setOperationWithSentinelUrlOptionsManagerProgressTransformCompletion(
        setter->sentinel(), target, 0, failing, nullptr, nullptr,
        [&](const UIImageRef&, const NSURLRef&, HVWebImageSource, HVWebImagePhase p,
            const NSErrorRef& e) {
          phase = p;
          error = e;
        });
    EXPECT_EQ(phase, HVWebImagePhaseFinished);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "com.orvane.webimage");
    EXPECT_EQ(error->code(), -1);
    EXPECT_EQ(error->localizedDescription(), "HVWebImageOperation create failed.");
  }
  EXPECT_EQ(_HVWebImageSetter::setterQueue(), _HVWebImageSetter::setterQueue());
  EXPECT_EQ(dispatch_queue_get_label(_HVWebImageSetter::setterQueue()),
            "com.orvane.webimage.setter");
  setter = nullptr;
  testing_loop::runUntilIdle();
}

}  // namespace
