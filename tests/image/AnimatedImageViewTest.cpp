// The animated image view played on the virtual clock: loops, the frame buffer and its window,
// memory pressure, sprite sheets, autoplay and the view's release.

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

#include "image/HVAnimatedImageView.h"
#include "image/HVImage.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/HostMemory.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"

using namespace plat;
using namespace fixtures;

namespace {

constexpr uint32_t kRed = 0xffff0000u, kGreen = 0xff00ff00u, kBlue = 0xff0000ffu;

std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  std::string dir = std::string(env && *env ? env : "test-output") + "/image/";
  std::filesystem::create_directories(dir);
  return dir;
}

class AnimatedImageViewTest : public ::testing::Test {
 protected:
  AnimatedImageViewTest() {
    // A device with 100 MB of memory, half of it free, unless a test says otherwise.
    SetHostPhysicalMemorySource([] { return uint64_t{100} << 20; });
    SetHostFreeMemorySource([] { return int64_t{50} << 20; });
    window = make<UIWindow>(CGRectMake(0, 0, 64, 64));
  }
  ~AnimatedImageViewTest() override {
    window = nullptr;
    testing_loop::runUntilIdle();
    SetHostPhysicalMemorySource({});
    SetHostFreeMemorySource({});
    SetRandomSource({});
  }

  // Records every index the view announces.
  void watch(const std::shared_ptr<HVAnimatedImageView>& view) {
    token = view->addObserverForKeyPath(kHVCurrentAnimatedImageIndexKey,
                                        [this, raw = view.get()](const std::string&) {
                                          shown.push_back(raw->currentAnimatedImageIndex());
                                        });
  }

  // The colour at the view's centre.
  uint32_t shownPixel(const std::shared_ptr<HVAnimatedImageView>& view) {
    auto img = UIRenderer::renderView(view, 4);
    if (!img) return 0;
    return img->CGImage()->pixelAt(int(img->CGImage()->width() / 2),
                                   int(img->CGImage()->height() / 2));
  }

  // Ticks the display link until the view shows frame `index`.
  void tickUntilIndex(const std::shared_ptr<HVAnimatedImageView>& view, uint64_t index) {
    for (int i = 0; i < 600 && view->currentAnimatedImageIndex() != index; ++i)
      testing_loop::advance(1.0 / 60);
    testing_loop::runUntilIdle();
    ASSERT_EQ(view->currentAnimatedImageIndex(), index);
  }

  testing_loop::VirtualClockScope clock;
  std::shared_ptr<UIWindow> window;
  NSKeyValueObservable::ObserverToken token;
  std::vector<uint64_t> shown;
};

// Red, green, blue, 0.1 s each, played `loops` times.
std::shared_ptr<HVImage> rgbGif(int loops) {
  return HVImage::initWithData(gifData(
      4, 4, {gifSolid(0, 0, 4, 4, 1, 10), gifSolid(0, 0, 4, 4, 2, 10), gifSolid(0, 0, 4, 4, 3, 10)},
      loops));
}

TEST_F(AnimatedImageViewTest, LoopCountEndsPlaybackAndStartPlaysItAgain) {
  auto view = HVAnimatedImageView::initWithImage(rgbGif(2));
  watch(view);
  EXPECT_EQ(view->frame(), CGRectMake(0, 0, 4, 4));
  EXPECT_FALSE(view->isAnimating());  // not in a window yet
  window->addSubview(view);
  EXPECT_TRUE(view->isAnimating());
  testing_loop::runUntilIdle();
  EXPECT_EQ(shownPixel(view), kRed);

  std::vector<uint32_t> colours;
  for (int i = 0; i < 120 && view->isAnimating(); ++i) {
    testing_loop::advance(1.0 / 60);
    uint32_t c = shownPixel(view);
    if (colours.empty() || colours.back() != c) colours.push_back(c);
  }
  EXPECT_FALSE(view->isAnimating());
  EXPECT_EQ(shown, (std::vector<uint64_t>{1, 2, 0, 1, 2}));
  EXPECT_EQ(colours, (std::vector<uint32_t>{kRed, kGreen, kBlue, kRed, kGreen, kBlue}));
  // The last frame stays on screen.
  testing_loop::advance(1);
  EXPECT_EQ(view->currentAnimatedImageIndex(), 2u);
  EXPECT_EQ(shownPixel(view), kBlue);

  // Restarted on its last frame: the step back to frame 0 counts as the first loop.
  shown.clear();
  view->startAnimating();
  testing_loop::advance(3);
  EXPECT_EQ(shown, (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_FALSE(view->isAnimating());
  view->removeObserverForKeyPath(token);
}

TEST_F(AnimatedImageViewTest, StillImagesAndListsPlayAsInThePlainImageView) {
  auto still = HVImage::initWithData(pngData(solid(4, 4, kGreen), false));
  auto view = HVAnimatedImageView::initWithImage(still);
  window->addSubview(view);
  testing_loop::advance(1);
  EXPECT_FALSE(view->isAnimating());
  EXPECT_EQ(view->currentImageType(), HVImageViewContentTypeImage);
  EXPECT_EQ(shownPixel(view), kGreen);
  EXPECT_FALSE(view->requestQueueForTesting());  // no link, no queue

  // An animated image replaced by a still one: the still shows, nothing plays.
  view->setImage(rgbGif(0));
  EXPECT_TRUE(view->isAnimating());
  testing_loop::advance(0.25);
  view->setImage(still);
  testing_loop::advance(0.5);
  EXPECT_FALSE(view->isAnimating());
  EXPECT_EQ(view->currentAnimatedImageIndex(), 0u);
  EXPECT_EQ(shownPixel(view), kGreen);

  // Highlighted content wins while highlighted; animation lists take their own path.
  auto red = UIImage::imageWithCGImage(solid(4, 4, kRed));
  view->setHighlightedImage(red);
  view->setHighlighted(true);
  EXPECT_EQ(view->currentImageType(), HVImageViewContentTypeHighlightedImage);
  EXPECT_EQ(view->imageForType(view->currentImageType()), red);
  view->setAnimationImages({red, still});
  view->setHighlighted(false);
  EXPECT_EQ(view->currentImageType(), HVImageViewContentTypeAnimationImages);
  EXPECT_FALSE(view->imageForType(HVImageViewContentTypeAnimationImages));
  view->startAnimating();
  EXPECT_TRUE(view->isAnimating());
  view->stopAnimating();
  EXPECT_FALSE(view->isAnimating());
}

TEST_F(AnimatedImageViewTest, BufferSizeFollowsTheDevicesMemory) {
  // 200 x 200 frames: 160000 bytes each.
  auto big = HVImage::initWithData(
      gifData(200, 200, {gifSolid(0, 0, 200, 200, 1, 10), gifSolid(0, 0, 200, 200, 2, 10)}, 0));
  ASSERT_EQ(big->animatedImageBytesPerFrame(), 160000u);
  auto view = make<HVAnimatedImageView>();
  view->setImage(big);
  // 20 % of 100 MB beats 60 % of 50 MB.
  EXPECT_EQ(view->maxBufferCountForTesting(), 131u);
  // Free memory unreadable: the 10 MB floor.
  SetHostFreeMemorySource([] { return int64_t{-1}; });
  view->setImage(nullptr);
  view->setImage(big);
  EXPECT_EQ(view->maxBufferCountForTesting(), 65u);
  // A byte limit below the floor wins; at least one frame.
  view->setMaxBufferSize(1000);
  view->setImage(nullptr);
  view->setImage(big);
  EXPECT_EQ(view->maxBufferCountForTesting(), 1u);
  // A tiny frame size: at most 512 frames.
  view->setMaxBufferSize(0);
  view->setImage(rgbGif(0));
  EXPECT_EQ(view->maxBufferCountForTesting(), 512u);
}

TEST_F(AnimatedImageViewTest, WindowGrowsUntilTheWholeAnimationStaysBuffered) {
  auto view = HVAnimatedImageView::initWithImage(rgbGif(0));
  window->addSubview(view);
  // While the growth counter is below the frame count, shown frames leave the buffer: each
  // fetch grows the window by one frame. Frame 1 came with the first fetch and left on display;
  // the second fetch brought frames 2 and 0.
  tickUntilIndex(view, 1);
  EXPECT_EQ(view->growthCounterForTesting(), 2);
  EXPECT_EQ(view->bufferedFrameCountForTesting(), 2u);
  testing_loop::advance(2);
  EXPECT_EQ(view->growthCounterForTesting(), 3);
  EXPECT_EQ(view->bufferedFrameCountForTesting(), 3u);
  // Full: no further fetches.
  testing_loop::advance(1);
  EXPECT_EQ(view->requestQueueForTesting()->operationCount(), 0u);
  EXPECT_EQ(view->growthCounterForTesting(), 3);

  // A memory warning keeps only the next frame and holds growth back by 60 + random % 120.
  SetRandomSource([] { return uint32_t{127}; });
  NSNotificationCenter::defaultCenter().postNotificationNameObject(
      UIApplicationDidReceiveMemoryWarningNotification, Value());
  testing_loop::runUntilIdle();
  EXPECT_EQ(view->growthCounterForTesting(), -67);
  EXPECT_EQ(view->bufferedFrameCountForTesting(), 1u);
  // Frames shown while the counter is negative leave the buffer again.
  testing_loop::advance(2);
  EXPECT_LE(view->bufferedFrameCountForTesting(), 1u);
  EXPECT_LT(view->growthCounterForTesting(), 0);
  EXPECT_TRUE(view->isAnimating());

  // Entering the background does the same at once.
  view->setImage(nullptr);
  view->setImage(rgbGif(0));
  testing_loop::advance(3);
  ASSERT_EQ(view->bufferedFrameCountForTesting(), 3u);
  NSNotificationCenter::defaultCenter().postNotificationNameObject(
      UIApplicationDidEnterBackgroundNotification, Value());
  EXPECT_EQ(view->bufferedFrameCountForTesting(), 1u);
}

TEST_F(AnimatedImageViewTest, ShortFramesShowForATickAndLeftOverTimeNeverSkipsAFrame) {
  std::vector<Data> frames = {pngData(solid(4, 4, kRed), false),
                              pngData(solid(4, 4, kGreen), false),
                              pngData(solid(4, 4, kBlue), false)};
  // 5 ms, then 1 s, then 20 ms: the 5 ms frame holds one tick; the time past the 1 s frame
  // never carries beyond the 20 ms frame.
  auto img =
      HVFrameImage::initWithImageDataArrayFrameDurationsLoopCount(frames, {0.005, 1, 0.02}, 1);
  ASSERT_TRUE(img);
  auto view = HVAnimatedImageView::initWithImage(img);
  watch(view);
  window->addSubview(view);
  testing_loop::advance(3);
  EXPECT_EQ(shown, (std::vector<uint64_t>{1, 2}));
  EXPECT_FALSE(view->isAnimating());
  EXPECT_EQ(shownPixel(view), kBlue);

  // A duration that is not a number holds its frame for one tick and leaves the clock sound:
  // the frames after it keep their own durations.
  auto odd = HVFrameImage::initWithImageDataArrayFrameDurationsLoopCount(
      frames, {std::nan(""), 0.5, 0.5}, 1);
  ASSERT_TRUE(odd);
  view->setImage(odd);
  shown.clear();
  testing_loop::advance(0.25);
  EXPECT_EQ(shown, (std::vector<uint64_t>{1}));
  testing_loop::advance(0.5);
  EXPECT_EQ(shown, (std::vector<uint64_t>{1, 2}));
  testing_loop::advance(1);
  EXPECT_FALSE(view->isAnimating());
  view->setImage(img);
  testing_loop::advance(3);

  // Jumping to a frame: the current index or one past the end changes nothing.
  shown.clear();
  view->setCurrentAnimatedImageIndex(2);
  view->setCurrentAnimatedImageIndex(3);
  EXPECT_TRUE(shown.empty());
  view->setCurrentAnimatedImageIndex(1);
  EXPECT_EQ(shown, (std::vector<uint64_t>{1}));
  testing_loop::runUntilIdle();
  EXPECT_EQ(shownPixel(view), kGreen);
  // From another thread the jump is posted to the main thread.
  std::thread([&] { view->setCurrentAnimatedImageIndex(0); }).join();
  EXPECT_EQ(view->currentAnimatedImageIndex(), 1u);
  testing_loop::runUntilIdle();
  EXPECT_EQ(shown, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(shownPixel(view), kRed);
  view->removeObserverForKeyPath(token);
}

TEST_F(AnimatedImageViewTest, SpriteSheetPlaysByMovingTheContentsRectangle) {
  // Four 8 x 8 cells side by side: red, green, blue, white.
  const uint32_t cells[4] = {kRed, kGreen, kBlue, 0xffffffffu};
  auto sheetBitmap = CGImage::create(32, 8, true);
  cairo_surface_flush(sheetBitmap->surface());
  uint8_t* d = cairo_image_surface_get_data(sheetBitmap->surface());
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 32; ++x)
      std::memcpy(d + y * sheetBitmap->bytesPerRow() + x * 4, &cells[x / 8], 4);
  cairo_surface_mark_dirty(sheetBitmap->surface());
  auto sheet = UIImage::imageWithCGImage(sheetBitmap);
  ASSERT_TRUE(sheet);
  std::vector<CGRect> rects;
  for (int i = 0; i < 4; ++i) rects.push_back(CGRectMake(i * 8, 0, 8, 8));
  auto sprite = HVSpriteSheetImage::initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
      sheet, rects, {0.1, 0.1, 0.1, 0.1}, 1);
  auto view = HVAnimatedImageView::initWithImage(sprite);
  view->setFrame(CGRectMake(0, 0, 16, 16));
  window->addSubview(view);
  testing_loop::runUntilIdle();
  EXPECT_EQ(view->layer()->contentsRect(), CGRectMake(0, 0, 0.25, 1));

  std::string dir = outputDir();
  std::vector<uint32_t> colours;
  for (int i = 0; i < 4; ++i) {
    tickUntilIndex(view, i);
    colours.push_back(shownPixel(view));
    UIRenderer::writePNG(view, dir + "sprite_frame_" + std::to_string(i) + ".png", 4);
    EXPECT_EQ(view->layer()->contents(), sheet->CGImage());  // the bitmap never changes
  }
  EXPECT_EQ(colours, (std::vector<uint32_t>{kRed, kGreen, kBlue, 0xffffffffu}));
  EXPECT_EQ(view->layer()->contentsRect(), CGRectMake(0.75, 0, 0.25, 1));

  // A plain image puts the whole bitmap back.
  view->setImage(UIImage::imageWithCGImage(sheetBitmap));
  EXPECT_EQ(view->layer()->contentsRect(), CGRectMake(0, 0, 1, 1));
  // A cell that is not finite shows the whole sheet.
  view->setImage(HVSpriteSheetImage::initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
      sheet, {CGRectMake(NAN, 0, 8, 8), rects[1]}, {0.1, 0.1}, 0));
  EXPECT_EQ(view->layer()->contentsRect(), CGRectMake(0, 0, 1, 1));
  tickUntilIndex(view, 1);
  EXPECT_EQ(view->layer()->contentsRect(), CGRectMake(0.25, 0, 0.25, 1));
}

TEST_F(AnimatedImageViewTest, GifFramesPictures) {
  Data gif = gifData(
      16, 16,
      {gifSolid(0, 0, 16, 16, 1, 10), gifSolid(4, 4, 8, 8, 2, 10), gifSolid(6, 6, 4, 4, 3, 10)}, 0);
  auto view = HVAnimatedImageView::initWithImage(HVImage::initWithData(gif));
  window->addSubview(view);
  std::string dir = outputDir();
  for (int i = 0; i < 3; ++i) {
    tickUntilIndex(view, i);
    auto img = UIRenderer::renderView(view, 4);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->CGImage()->pixelAt(2, 2), kRed);
    EXPECT_EQ(img->CGImage()->pixelAt(32, 32), i == 0 ? kRed : i == 1 ? kGreen : kBlue);
    CGImageWritePNGFile(img->CGImage(), dir + "gif_frame_" + std::to_string(i) + ".png");
  }
}

TEST_F(AnimatedImageViewTest, AutoplayAndReleaseStopTheLink) {
  auto view = HVAnimatedImageView::initWithImage(rgbGif(0));
  view->setAutoPlayAnimatedImage(false);
  window->addSubview(view);
  EXPECT_FALSE(view->isAnimating());
  view->setAutoPlayAnimatedImage(true);
  view->removeFromSuperview();
  window->addSubview(view);
  EXPECT_TRUE(view->isAnimating());
  view->removeFromSuperview();
  EXPECT_FALSE(view->isAnimating());

  // A playing view released: the link does not keep it and nothing ticks into it afterwards.
  window->addSubview(view);
  testing_loop::advance(0.5);
  std::weak_ptr<HVAnimatedImageView> weak = view;
  view->removeFromSuperview();
  view.reset();
  testing_loop::runUntilIdle();
  EXPECT_TRUE(weak.expired());
  testing_loop::advance(1);
}

TEST_F(AnimatedImageViewTest, ArchiveKeepsSettingsAndAnimatedImages) {
  auto view = HVAnimatedImageView::initWithImage(rgbGif(2));
  view->setFrame(CGRectMake(3, 4, 20, 10));
  view->setAutoPlayAnimatedImage(false);
  view->setRunloopMode(UITrackingRunLoopMode);
  view->setHighlightedImage(UIImage::imageWithCGImage(solid(2, 2, kGreen)));
  Data archive = NSKeyedArchiver::archivedDataWithRootObject(Value(view));
  auto back = NSKeyedUnarchiver::unarchiveObjectWithData(archive).objectAs<HVAnimatedImageView>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->frame(), CGRectMake(3, 4, 20, 10));
  EXPECT_FALSE(back->autoPlayAnimatedImage());
  EXPECT_EQ(back->runloopMode(), UITrackingRunLoopMode);
  auto image = std::dynamic_pointer_cast<HVImage>(back->image());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->animatedImageFrameCount(), 3u);
  // A still highlighted image comes back as the plain image view keeps it.
  ASSERT_TRUE(back->highlightedImage());
  EXPECT_FALSE(std::dynamic_pointer_cast<HVImage>(back->highlightedImage()));
  EXPECT_EQ(back->highlightedImage()->CGImage()->pixelAt(1, 1), kGreen);
  // In a window, started by hand since autoplay is off: the link ticks only in tracking mode,
  // so nothing moves until the mode is common again.
  window->addSubview(back);
  back->startAnimating();
  testing_loop::advance(1);
  EXPECT_EQ(back->currentAnimatedImageIndex(), 0u);
  back->setRunloopMode(NSRunLoopCommonModes);
  testing_loop::advance(2);
  EXPECT_EQ(back->currentAnimatedImageIndex(), 2u);
  EXPECT_FALSE(back->isAnimating());  // two loops played

  // Defaults when the archive holds none of the keys.
  auto plain = make<HVAnimatedImageView>();
  plain->setRunloopMode("");
  auto plainBack = NSKeyedUnarchiver::unarchiveObjectWithData(
                       NSKeyedArchiver::archivedDataWithRootObject(Value(plain)))
                       .objectAs<HVAnimatedImageView>();
  ASSERT_TRUE(plainBack);
  EXPECT_EQ(plainBack->runloopMode(), NSRunLoopCommonModes);
  EXPECT_TRUE(plainBack->autoPlayAnimatedImage());
}

TEST_F(AnimatedImageViewTest, FetchesForAnImageNoLongerPlayedStoreNothing) {
  auto playing = rgbGif(0), replaced = rgbGif(0);
  auto view = HVAnimatedImageView::initWithImage(playing);
  // A fetch made for another image (as one cancelled too late after a change of image) leaves
  // the buffer alone; one for the image playing fills it.
  HVAnimatedImageViewFetchOperation stale(view, 1, replaced);
  stale.start();
  EXPECT_EQ(view->bufferedFrameCountForTesting(), 0u);
  HVAnimatedImageViewFetchOperation current(view, 1, playing);
  current.start();
  EXPECT_GT(view->bufferedFrameCountForTesting(), 0u);
}

TEST_F(AnimatedImageViewTest, TheViewAnnouncesItsIndexItselfOncePerChange) {
  EXPECT_FALSE(
      HVAnimatedImageView::automaticallyNotifiesObserversForKey(kHVCurrentAnimatedImageIndexKey));
  EXPECT_TRUE(HVAnimatedImageView::automaticallyNotifiesObserversForKey("image"));
  auto view = HVAnimatedImageView::initWithImage(rgbGif(0));
  watch(view);
  view->setCurrentAnimatedImageIndex(2);
  view->setCurrentAnimatedImageIndex(2);  // the current index
  view->setCurrentAnimatedImageIndex(3);  // past the end
  view->setImage(rgbGif(0));              // back to frame 0
  view->setImage(rgbGif(0));              // at frame 0 already
  EXPECT_EQ(shown, (std::vector<uint64_t>{2, 0}));
  view->removeObserverForKeyPath(token);
}

TEST_F(AnimatedImageViewTest, ObserversThatChangeTheViewDuringTheIndexNoticeWin) {
  // Frame 0 blue, frame 1 red.
  auto blueRed = [] {
    return HVImage::initWithData(
        gifData(4, 4, {gifSolid(0, 0, 4, 4, 3, 10), gifSolid(0, 0, 4, 4, 1, 10)}));
  };
  auto view = HVAnimatedImageView::initWithImage(rgbGif(0));
  window->addSubview(view);
  testing_loop::runUntilIdle();
  std::weak_ptr<HVImage> first = std::dynamic_pointer_cast<HVImage>(view->image());

  // A tick's notice swaps the image, releasing the one being played: the new image's first
  // frame shows, not the old image's next one.
  std::function<void()> onNotice = [&] { view->setImage(blueRed()); };
  auto observer =
      view->addObserverForKeyPath(kHVCurrentAnimatedImageIndexKey, [&](const std::string&) {
        if (auto f = std::exchange(onNotice, nullptr)) f();
      });
  for (int i = 0; i < 60 && onNotice; ++i) testing_loop::advance(1.0 / 60);
  ASSERT_FALSE(onNotice);
  testing_loop::runUntilIdle();
  EXPECT_TRUE(first.expired());
  EXPECT_EQ(view->currentAnimatedImageIndex(), 0u);
  EXPECT_EQ(shownPixel(view), kBlue);

  // A tick's notice jumps back to frame 0: frame 0 shows, not the frame the tick had fetched.
  tickUntilIndex(view, 1);
  ASSERT_EQ(shownPixel(view), kRed);
  view->setImage(rgbGif(0));
  testing_loop::runUntilIdle();
  onNotice = [&] { view->setCurrentAnimatedImageIndex(0); };
  for (int i = 0; i < 60 && onNotice; ++i) testing_loop::advance(1.0 / 60);
  ASSERT_FALSE(onNotice);
  testing_loop::runUntilIdle();
  EXPECT_EQ(view->currentAnimatedImageIndex(), 0u);
  EXPECT_EQ(shownPixel(view), kRed);

  // A jump whose own notice swaps the image shows the new image's first frame.
  onNotice = [&] { view->setImage(blueRed()); };
  view->setCurrentAnimatedImageIndex(1);
  ASSERT_FALSE(onNotice);
  testing_loop::runUntilIdle();
  EXPECT_EQ(view->currentAnimatedImageIndex(), 0u);
  EXPECT_EQ(shownPixel(view), kBlue);
  view->removeObserverForKeyPath(observer);
}

TEST(WeakProxyTest, ForwardsOnlyWhileTheTargetLives) {
  auto view = make<HVAnimatedImageView>();
  auto proxy = HVImageWeakProxy::proxyWithTarget(view);
  EXPECT_TRUE(proxy->isProxy());
  EXPECT_EQ(proxy->target(), view);
  EXPECT_EQ(proxy->className(), "HVAnimatedImageView");
  EXPECT_EQ(proxy->description(), view->description());
  EXPECT_TRUE(proxy->isEqual(*view));
  EXPECT_FALSE(proxy->isEqual(*make<HVAnimatedImageView>()));
  EXPECT_NE(proxy->hash(), 0u);
  EXPECT_TRUE(proxy->isKindOfClass<UIImageView>());
  EXPECT_TRUE(proxy->isMemberOfClass<HVAnimatedImageView>());
  EXPECT_FALSE(proxy->isMemberOfClass<UIImageView>());
  EXPECT_TRUE(proxy->conformsToProtocol<NSCoding>());
  EXPECT_FALSE(proxy->isKindOfClass<UIWindow>());
  view.reset();
  EXPECT_FALSE(proxy->isKindOfClass<UIImageView>());
  EXPECT_FALSE(proxy->isMemberOfClass<HVAnimatedImageView>());
  EXPECT_FALSE(proxy->conformsToProtocol<NSCoding>());
  EXPECT_FALSE(proxy->target());
  EXPECT_EQ(proxy->className(), "");
  EXPECT_EQ(proxy->description(), "");
  EXPECT_EQ(proxy->hash(), 0u);
  proxy->step(nullptr);  // a message to a gone target does nothing
}

}  // namespace
