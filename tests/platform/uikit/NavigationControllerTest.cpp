// The navigation controller: pushes and pops with their appearance calls, the bar's prompt,
// buttons, back button and title view, and the toolbar with its per-state title colours.

#include <gtest/gtest.h>

#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"

namespace plat {
namespace {

class Screen : public UIViewController {
 public:
  explicit Screen(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
  void viewDidLoad() override { log_->push_back(name_ + " load"); }
  void viewWillAppear(bool) override {
    log_->push_back(name_ + " willAppear" + (isMovingToParentViewController() ? " pushed" : ""));
  }
  void viewDidAppear(bool) override { log_->push_back(name_ + " didAppear"); }
  void viewWillDisappear(bool) override {
    log_->push_back(name_ + " willDisappear" + (isMovingFromParentViewController() ? " popped" : ""));
  }
  void viewDidDisappear(bool) override { log_->push_back(name_ + " didDisappear"); }

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

class UINavigationControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    root = std::make_shared<Screen>("root", &log);
    nav = UINavigationController::navigationControllerWithRootViewController(root);
    auto host = std::make_shared<UIViewController>();
    window->setRootViewController(host);
    host->presentViewControllerAnimatedCompletion(nav, false);
    testing_loop::runUntilIdle();
  }
  void TearDown() override {
    testing_loop::runUntilIdle();  // the posted appearance calls write to this case's log
    UITouchDriver::resetForTesting();
  }

  uint32_t pixel(double x, double y) {
    return UIRenderer::renderView(window, 1)->CGImage()->pixelAt(int(x), int(y));
  }

  std::vector<std::string> log;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<Screen> root;
  UINavigationControllerRef nav;
};

TEST_F(UINavigationControllerTest, PushAndPopCallAppearanceInOrderAndTellWhoIsMoving) {
  EXPECT_EQ(log, (std::vector<std::string>{"root load", "root willAppear", "root didAppear"}));
  log.clear();
  auto second = std::make_shared<Screen>("second", &log);
  nav->pushViewControllerAnimated(second, true);
  EXPECT_EQ(second->navigationController(), nav);
  EXPECT_EQ(nav->topViewController(), second);
  EXPECT_TRUE(second->isMovingToParentViewController());
  testing_loop::runUntilIdle();
  EXPECT_FALSE(second->isMovingToParentViewController());
  EXPECT_EQ(log, (std::vector<std::string>{"root willDisappear", "second load",
                                           "second willAppear pushed", "root didDisappear",
                                           "second didAppear"}));
  // The top view fills the space under the bar.
  EXPECT_EQ(second->view()->frame(), CGRectMake(0, 44, 375, 623));
  EXPECT_EQ(second->view()->superview(), nav->view());
  EXPECT_FALSE(root->view()->superview());

  nav->pushViewControllerAnimated(second, false);  // already in the stack: refused
  EXPECT_EQ(nav->viewControllers().size(), 2u);
  log.clear();
  EXPECT_EQ(nav->popViewControllerAnimated(true), second);
  testing_loop::runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"second willDisappear popped", "root willAppear",
                                           "second didDisappear", "root didAppear"}));
  EXPECT_FALSE(second->navigationController());
  EXPECT_FALSE(nav->popViewControllerAnimated(true));  // the root stays

  auto a = std::make_shared<Screen>("a", &log), b = std::make_shared<Screen>("b", &log);
  nav->pushViewControllerAnimated(a, false);
  nav->pushViewControllerAnimated(b, false);
  EXPECT_EQ(nav->popToRootViewControllerAnimated(false).size(), 2u);
  EXPECT_EQ(nav->viewControllers(), std::vector<UIViewControllerRef>{root});
}

TEST_F(UINavigationControllerTest, BarShowsPromptTitleAndButtonsAndTheBackButtonPops) {
  int done = 0, cancelled = 0;
  root->setTitle("Albums");
  root->navigationItem()->setRightBarButtonItem(
      UIBarButtonItem::itemWithSystemItem(UIBarButtonSystemItemDone, [&](auto&) { ++done; }));
  root->navigationItem()->setLeftBarButtonItem(
      UIBarButtonItem::itemWithSystemItem(UIBarButtonSystemItemCancel, [&](auto&) { ++cancelled; }));
  root->navigationItem()->setPrompt("Pick up to 3");
  nav->view()->setNeedsLayout();
  nav->view()->layoutIfNeeded();
  EXPECT_EQ(nav->navigationBar()->frame().size.height, 74);
  EXPECT_EQ(root->view()->frame().origin.y, 74);
  CGRect right = nav->navigationBar()->rightItemRect();
  UITouchDriver::tap(window, CGPointMake(CGRectGetMidX(right), CGRectGetMidY(right)));
  CGRect left = nav->navigationBar()->leftItemRect();
  UITouchDriver::tap(window, CGPointMake(CGRectGetMidX(left), CGRectGetMidY(left)));
  root->navigationItem()->rightBarButtonItem()->setEnabled(false);
  UITouchDriver::tap(window, CGPointMake(CGRectGetMidX(right), CGRectGetMidY(right)));
  EXPECT_EQ(done, 1);
  EXPECT_EQ(cancelled, 1);
  // The disabled Done is drawn grey, not in the tint: no blue pixel in its rectangle.
  auto image = UIRenderer::renderView(window, 1)->CGImage();
  bool blue = false, dark = false;
  for (int y = int(right.origin.y); y < int(CGRectGetMaxY(right)); ++y)
    for (int x = int(right.origin.x); x < int(CGRectGetMaxX(right)); ++x) {
      uint32_t p = image->pixelAt(x, y);
      blue |= (p & 0xff) > 0xc0 && ((p >> 16) & 0xff) < 0x40;
      dark |= ((p >> 8) & 0xff) < 0xb0;
    }
  EXPECT_FALSE(blue);
  EXPECT_TRUE(dark);

  auto second = std::make_shared<Screen>("second", &log);
  nav->pushViewControllerAnimated(second, false);
  nav->view()->layoutIfNeeded();
  EXPECT_TRUE(nav->navigationBar()->showsBackButton());
  EXPECT_EQ(nav->navigationBar()->frame().size.height, 44);
  CGRect back = nav->navigationBar()->leftItemRect();
  UITouchDriver::tap(window, CGPointMake(CGRectGetMidX(back), CGRectGetMidY(back)));
  EXPECT_EQ(nav->topViewController(), root);
  testing_loop::runUntilIdle();
}

TEST_F(UINavigationControllerTest, BarShowsTheTopItemsTitleViewInPlaceOfItsTitle) {
  auto isRed = [](uint32_t p) { return (p & 0xffffff) == 0xff0000; };
  auto darkIn = [](CGImageRef image, int x0, int x1, int y) {
    for (int x = x0; x < x1; ++x)
      for (int dy = -6; dy <= 6; ++dy)
        if (((image->pixelAt(x, y + dy) >> 8) & 0xff) < 0x80) return true;
    return false;
  };
  root->setTitle("Albums");
  auto badge = make<UIView>(CGRectMake(0, 0, 40, 20));
  badge->setBackgroundColor(UIColor::redColor());
  root->navigationItem()->setTitleView(badge);
  nav->view()->layoutIfNeeded();
  EXPECT_EQ(badge->superview(), nav->navigationBar());
  EXPECT_EQ(nav->navigationBar()->titleViewRect(), CGRectMake(167.5, 12, 40, 20));
  // Centred in the bar, and the title text is not drawn beside it.
  auto image = UIRenderer::renderView(window, 1)->CGImage();
  EXPECT_TRUE(isRed(image->pixelAt(187, 22)));
  EXPECT_FALSE(isRed(image->pixelAt(160, 22)));
  EXPECT_FALSE(darkIn(image, 120, 165, 22));

  // Another screen on top shows its own title; coming back shows the view again.
  auto second = std::make_shared<Screen>("second", &log);
  second->setTitle("Photos");
  nav->pushViewControllerAnimated(second, false);
  image = UIRenderer::renderView(window, 1)->CGImage();
  EXPECT_EQ(badge->superview(), nullptr);
  EXPECT_FALSE(isRed(image->pixelAt(187, 22)));
  EXPECT_TRUE(darkIn(image, 150, 225, 22));
  nav->popViewControllerAnimated(false);
  testing_loop::runUntilIdle();
  EXPECT_TRUE(isRed(UIRenderer::renderView(window, 1)->CGImage()->pixelAt(187, 22)));

  // A label of no size is sized to its text, also when the text changes later.
  auto label = make<UILabel>();
  root->navigationItem()->setTitleView(label);
  image = UIRenderer::renderView(window, 1)->CGImage();
  EXPECT_EQ(badge->superview(), nullptr);
  EXPECT_FALSE(darkIn(image, 100, 275, 22));
  label->setText("A longer title than before");
  image = UIRenderer::renderView(window, 1)->CGImage();
  CGRect shown = label->frame();
  EXPECT_GT(shown.size.width, 150);
  EXPECT_NEAR(CGRectGetMidX(shown), 187.5, 0.5);
  EXPECT_TRUE(darkIn(image, int(shown.origin.x), int(shown.origin.x) + 20, 22));
  EXPECT_TRUE(darkIn(image, int(CGRectGetMaxX(shown)) - 20, int(CGRectGetMaxX(shown)), 22));

  // Without a title view the title text is back.
  root->navigationItem()->setTitleView(nullptr);
  image = UIRenderer::renderView(window, 1)->CGImage();
  EXPECT_EQ(label->superview(), nullptr);
  EXPECT_TRUE(darkIn(image, 150, 225, 22));
}

TEST_F(UINavigationControllerTest, ToolbarHidesShowsAndDrawsItsItemsPerState) {
  auto flexible = [] { return UIBarButtonItem::itemWithSystemItem(UIBarButtonSystemItemFlexibleSpace); };
  auto info = UIBarButtonItem::itemWithTitle("", UIBarButtonItemStylePlain);
  info->setEnabled(false);
  info->setTitleColorForState(UIColor::blackColor(), UIControlStateNormal);
  info->setTitleColorForState(UIColor::blackColor(), UIControlStateDisabled);
  root->setToolbarItems({flexible(), info, flexible()});
  EXPECT_TRUE(nav->isToolbarHidden());
  EXPECT_TRUE(nav->toolbar()->isHidden());
  EXPECT_EQ(root->view()->frame().size.height, 623);

  nav->setToolbarHiddenAnimated(false, true);
  EXPECT_FALSE(nav->toolbar()->isHidden());
  EXPECT_EQ(nav->toolbar()->frame(), CGRectMake(0, 623, 375, 44));
  EXPECT_EQ(root->view()->frame().size.height, 579);
  info->setTitle("WWWW");
  nav->toolbar()->setNeedsDisplay();
  auto rects = nav->toolbar()->itemRects();
  ASSERT_EQ(rects.size(), 3u);
  EXPECT_NEAR(CGRectGetMidX(rects[1]), 375 / 2.0, 0.01);  // centred by the spaces
  // The disabled title is drawn black, as set for the disabled state.
  auto image = UIRenderer::renderView(window, 1)->CGImage();
  bool black = false;
  for (int y = 623; y < 667; ++y)
    for (int x = int(rects[1].origin.x); x < int(CGRectGetMaxX(rects[1])); ++x)
      black |= (image->pixelAt(x, y) & 0xffffff) < 0x202020;
  EXPECT_TRUE(black);
  EXPECT_EQ(UIColor::blackColor(), info->currentTitleColor());
  info->setTitleColorForState(std::nullopt, UIControlStateDisabled);
  EXPECT_NE(UIColor::blackColor(), info->currentTitleColor());

  nav->setToolbarHidden(true);
  EXPECT_TRUE(nav->toolbar()->isHidden());
  EXPECT_EQ(root->view()->frame().size.height, 623);
}

}  // namespace
}  // namespace plat
