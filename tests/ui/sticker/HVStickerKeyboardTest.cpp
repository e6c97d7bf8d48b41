// The sticker keyboard in a window: pages and slices, frames at three widths, taps on emoji
// and blank buttons, hold-to-delete on the virtual clock, the input click, the height with a
// home indicator, the page indicator following swipes, and pictures of both pages.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "ui/sticker/HVStickerDataManager.h"
#include "ui/sticker/HVStickerKeyboard.h"

using namespace plat;

namespace {

struct Recorder : HVStickerKeyboardDelegate {
  bool takesEmoji = true, takesDelete = true;
  std::vector<std::string> emojis;
  int deletes = 0, sends = 0;
  bool stickerKeyboardDidClickEmoji(HVStickerKeyboard&, const HVEmojiRef& e) override {
    if (!takesEmoji) return false;
    emojis.push_back(e->image());
    return true;
  }
  bool stickerKeyboardDidClickDeleteButton(HVStickerKeyboard&) override {
    if (!takesDelete) return false;
    ++deletes;
    return true;
  }
  bool stickerKeyboardDidClickSendButton(HVStickerKeyboard&) override {
    ++sends;
    return true;
  }
};

struct AppDelegate : UIApplicationDelegate {
  std::shared_ptr<UIWindow> w;
  std::shared_ptr<UIWindow> window() const override { return w; }
};

class KeyboardTest : public ::testing::Test {
 protected:
  KeyboardTest() {
    // The application bundle holds the SDK bundle with the delete key's image.
    std::filesystem::copy(LUMORA_UI_RESOURCES, bundle.path(),
                          std::filesystem::copy_options::recursive);
  }
  void show(double width, double bottomInset = 0) {
    window = make<UIWindow>(CGRectMake(0, 0, width, 600));
    window->setWindowSafeAreaInsets({0, 0, bottomInset, 0});
    window->makeKeyAndVisible();
    app->w = window;
    UIApplication::sharedApplication().setDelegate(app);
    keyboard = make<HVStickerKeyboard>();
    keyboard->setDelegate(recorder);
    double height = keyboard->heightThatFits();
    keyboard->setFrame(CGRectMake(0, 600 - height, width, height));
    window->addSubview(keyboard);
    testing_loop::runUntilIdle();
  }
  ~KeyboardTest() override {
    if (window) window->setHidden(true);
    UIApplication::sharedApplication().resetForTesting();
    UIDevice::currentDevice().resetForTesting();
    UITouchDriver::resetForTesting();
    UIViewAnimationLog::clear();
  }
  std::shared_ptr<HVStickerPageView> page() {
    return std::dynamic_pointer_cast<HVStickerPageView>(keyboard->queuingScrollView()->centerView());
  }
  // Centre of a subview of the shown page, in window coordinates.
  CGPoint centerOf(const UIViewRef& v) {
    CGRect f = v->convertRectToView(v->bounds(), window.get());
    return {f.origin.x + f.size.width / 2, f.origin.y + f.size.height / 2};
  }
  void swipeLeft() {
    double y = keyboard->frame().origin.y + 70;
    UITouchDriver::drag(window, {300, y}, {100, y}, 6);
    testing_loop::runUntilIdle();
    testing_loop::advance(0.3);
    testing_loop::runUntilIdle();
  }

  testing_device::TempAppBundle bundle;
  testing_loop::VirtualClockScope clock;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<AppDelegate> app = std::make_shared<AppDelegate>();
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<HVStickerKeyboard> keyboard;
};

TEST_F(KeyboardTest, PagesSliceTheEmojiAndNothingLiesOutside) {
  show(375);
  const auto& all = HVStickerDataManager::sharedInstance().allEmojis();
  EXPECT_EQ(keyboard->pageCount(), 2u);
  EXPECT_EQ(keyboard->pageControl()->numberOfPages(), 2);
  EXPECT_TRUE(keyboard->pageControl()->showsDots());
  auto& pager = *keyboard->queuingScrollView();
  EXPECT_FALSE(keyboard->queuingScrollViewPageViewForStickerAtIndex(pager, 2));
  EXPECT_FALSE(keyboard->queuingScrollViewViewBeforeView(pager, page()));
  auto second = std::dynamic_pointer_cast<HVStickerPageView>(pager.rightView());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->pageIndex(), 1u);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(page()->emojiButtons()[i]->titleForState(UIControlStateNormal), all[i]->image());
    std::string expected = 20 + i < all.size() ? all[20 + i]->image() : "";
    EXPECT_EQ(second->emojiButtons()[i]->titleForState(UIControlStateNormal), expected);
  }
  using P = HVStickerPageView;
  EXPECT_FALSE(P::emojisForEmojiAtPage({}, 0));
  std::vector<HVEmojiRef> forty(all.begin(), all.begin() + 20);
  forty.insert(forty.end(), all.begin(), all.begin() + 20);
  EXPECT_EQ(P::emojisForEmojiAtPage(forty, 1)->size(), 20u);
  EXPECT_TRUE(P::emojisForEmojiAtPage(forty, 2)->empty());
  EXPECT_FALSE(P::emojisForEmojiAtPage(forty, 3));
}

TEST_F(KeyboardTest, FramesFollowTheWidthAndTheBottomInset) {
  for (double width : {320.0, 375.0, 414.0}) {
    show(width);
    double gap = (width - 224) / 8;
    auto b8 = page()->emojiButtons()[8];
    EXPECT_EQ(b8->frame(), CGRectMake(32 + 2 * gap, 48, 32, 32)) << width;
    EXPECT_EQ(page()->deleteButton()->frame(), CGRectMake(width - gap - 32, 96, 32, 32));
    EXPECT_EQ(page()->frame(), CGRectMake(width, 0, width, 132));
    EXPECT_EQ(keyboard->queuingScrollView()->frame(), CGRectMake(0, 12, width, 132));
    EXPECT_EQ(keyboard->pageControl()->frame(), CGRectMake(0, 154, width, 7));
    EXPECT_EQ(keyboard->sendButton()->frame(), CGRectMake(width - 50, 167, 50, 44));
    EXPECT_EQ(keyboard->bottomBGView()->frame(), CGRectMake(0, 167, width, 44));
    window->setHidden(true);
  }
  show(375, 34);
  EXPECT_EQ(keyboard->heightThatFits(), 245);
  EXPECT_EQ(keyboard->frame().size.height, 245);
  EXPECT_EQ(keyboard->sendButton()->frame(), CGRectMake(325, 167, 50, 44));
  EXPECT_EQ(keyboard->bottomBGView()->frame(), CGRectMake(0, 167, 375, 78));
  UIApplication::sharedApplication().resetForTesting();
  EXPECT_EQ(keyboard->heightThatFits(), 211);
}

TEST_F(KeyboardTest, TapsReachTheDelegateWithAClickOnlyWhenItTakesThem) {
  show(375);
  const auto& all = HVStickerDataManager::sharedInstance().allEmojis();
  // The enlarged hit area: 6 points above the button still hits it.
  CGPoint c = centerOf(page()->emojiButtons()[8]);
  UITouchDriver::tap(window, {c.x, c.y - 16 - 6});
  ASSERT_EQ(recorder->emojis.size(), 1u);
  EXPECT_EQ(recorder->emojis[0], all[8]->image());
  EXPECT_EQ(UIDevice::currentDevice().inputClickCount(), 1);

  recorder->takesEmoji = false;
  UITouchDriver::tap(window, centerOf(page()->emojiButtons()[0]));
  EXPECT_EQ(UIDevice::currentDevice().inputClickCount(), 1);

  UITouchDriver::tap(window, centerOf(keyboard->sendButton()));
  EXPECT_EQ(recorder->sends, 1);
  EXPECT_EQ(UIDevice::currentDevice().inputClickCount(), 1);

  // Blank buttons of the last page do nothing.
  recorder->takesEmoji = true;
  swipeLeft();
  ASSERT_EQ(page()->pageIndex(), 1u);
  UITouchDriver::tap(window, centerOf(page()->emojiButtons()[18]));
  UITouchDriver::tap(window, centerOf(page()->emojiButtons()[16]));
  ASSERT_EQ(recorder->emojis.size(), 2u);
  EXPECT_EQ(recorder->emojis[1], all[36]->image());

  // Without a delegate nothing happens at all.
  keyboard->setDelegate({});
  UITouchDriver::tap(window, centerOf(page()->emojiButtons()[0]));
  UITouchDriver::tap(window, centerOf(page()->deleteButton()));
  EXPECT_EQ(UIDevice::currentDevice().inputClickCount(), 2);
}

TEST_F(KeyboardTest, HoldingDeleteRepeatsUntilReleaseCancelOrReuse) {
  show(375);
  CGPoint key = centerOf(page()->deleteButton());
  auto hold = [&](double seconds) {
    UITouchDriver::touchDown(window, key);
    testing_loop::advance(seconds);
  };
  hold(0.35);
  UITouchDriver::touchUp(window, key);
  EXPECT_EQ(recorder->deletes, 4);
  EXPECT_EQ(UIDevice::currentDevice().inputClickCount(), 4);
  testing_loop::advance(1);
  EXPECT_EQ(recorder->deletes, 4);

  hold(0.35);
  UITouchDriver::touchUp(window, {key.x, key.y + 300});
  EXPECT_EQ(recorder->deletes, 7);

  hold(0.25);
  UITouchDriver::touchCancel(window);
  testing_loop::advance(1);
  EXPECT_EQ(recorder->deletes, 9);
  EXPECT_FALSE(page()->deleteEmojiTimer());

  // A second touch-down replaces the timer.
  page()->didTouchDownDeleteButton();
  page()->didTouchDownDeleteButton();
  testing_loop::advance(0.15);
  EXPECT_EQ(recorder->deletes, 10);
  page()->prepareForReuse();
  testing_loop::advance(1);
  EXPECT_EQ(recorder->deletes, 10);

  // A page that leaves the window or goes away stops too.
  page()->didTouchDownDeleteButton();
  keyboard->removeFromSuperview();
  testing_loop::advance(1);
  EXPECT_EQ(recorder->deletes, 10);
  auto loose = HVStickerPageView::initWithReuseIdentifier("x");
  loose->setDelegate(keyboard);
  loose->didTouchDownDeleteButton();
  testing_loop::advance(0.1);
  EXPECT_EQ(recorder->deletes, 11);
  loose.reset();
  testing_loop::advance(1);
  EXPECT_EQ(recorder->deletes, 11);
}

TEST_F(KeyboardTest, TheDeleteKeyAndTheEmojiAreDrawn) {
  show(375);
  auto img = UIRenderer::renderView(keyboard, 2)->CGImage();
  auto region = [&](const UIViewRef& v) {
    CGRect f = v->convertRectToView(v->bounds(), keyboard.get());
    return CGRectMake(f.origin.x * 2, f.origin.y * 2, f.size.width * 2, f.size.height * 2);
  };
  // The delete key: dark grey strokes on the keyboard's #F4F4F4.
  CGRect key = region(page()->deleteButton());
  int dark = 0;
  for (int x = int(key.origin.x); x < int(CGRectGetMaxX(key)); ++x)
    for (int y = int(key.origin.y); y < int(CGRectGetMaxY(key)); ++y)
      dark += ((img->pixelAt(x, y) >> 8) & 0xff) < 0x90;
  EXPECT_GT(dark, 150);
  // Every emoji key shows a colour face: yellow pixels in its square.
  for (int i : {0, 9, 19}) {
    CGRect button = region(page()->emojiButtons()[i]);
    int yellow = 0;
    for (int x = int(button.origin.x); x < int(CGRectGetMaxX(button)); ++x)
      for (int y = int(button.origin.y); y < int(CGRectGetMaxY(button)); ++y) {
        uint32_t p = img->pixelAt(x, y);
        yellow += ((p >> 16) & 0xff) > 200 && ((p >> 8) & 0xff) > 120 && (p & 0xff) < 100;
      }
    EXPECT_GT(yellow, 200) << "emoji " << i;
  }
}

TEST_F(KeyboardTest, TheGridIsDrawnWholeAfterTheWidthChanges) {
  show(375);
  swipeLeft();  // on the last page, so the left neighbour exists and the right does not
  ASSERT_EQ(page()->pageIndex(), 1u);
  for (double width : {667.0, 320.0}) {
    window->setFrame(CGRectMake(0, 0, width, 600));
    keyboard->setFrame(
        CGRectMake(0, keyboard->frame().origin.y, width, keyboard->frame().size.height));
    testing_loop::runUntilIdle();
    auto& pager = *keyboard->queuingScrollView();
    EXPECT_EQ(pager.contentOffset().x, width);
    EXPECT_EQ(pager.contentInset(), (UIEdgeInsets{0, 10 * width, 0, -width}));
    EXPECT_EQ(page()->pageIndex(), 1u);
    // The delete key at the right end of the grid and the first emoji at the left are drawn
    // where the new width puts them.
    auto img = UIRenderer::renderView(keyboard, 1)->CGImage();
    double gap = (width - 224) / 8;
    int dark = 0, yellow = 0;
    for (int y = 12 + 96; y < 12 + 128; ++y)
      for (int x = int(width - gap - 32); x < int(width - gap); ++x)
        dark += ((img->pixelAt(x, y) >> 8) & 0xff) < 0x90;
    for (int y = 12; y < 12 + 32; ++y)
      for (int x = int(gap); x < int(gap + 32); ++x) {
        uint32_t p = img->pixelAt(x, y);
        yellow += ((p >> 16) & 0xff) > 200 && ((p >> 8) & 0xff) > 120 && (p & 0xff) < 100;
      }
    EXPECT_GT(dark, 30) << width;
    EXPECT_GT(yellow, 50) << width;
  }
}

TEST_F(KeyboardTest, IndicatorFollowsTheFocusPageAndPicturesAreWritten) {
  for (double inset : {0.0, 34.0}) {
    show(375, inset);
    std::string dir = std::string(std::getenv("LUMORA_TEST_OUTPUT") ? std::getenv("LUMORA_TEST_OUTPUT")
                                                                    : "test-output") +
                      "/ui/sticker/";
    std::filesystem::create_directories(dir);
    std::string suffix = inset > 0 ? "-inset34.png" : ".png";
    EXPECT_EQ(keyboard->pageControl()->currentPage(), 0);
    EXPECT_TRUE(UIRenderer::writePNG(keyboard, dir + "keyboard-page0" + suffix));
    swipeLeft();
    EXPECT_EQ(keyboard->pageControl()->currentPage(), 1);
    EXPECT_EQ(page()->pageIndex(), 1u);
    EXPECT_TRUE(UIRenderer::writePNG(keyboard, dir + "keyboard-page1" + suffix));
    window->setHidden(true);
  }
}

}  // namespace
