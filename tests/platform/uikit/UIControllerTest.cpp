// Controllers and windows, scroll view options, and the smaller view rules (safe area, sizing,
// animation blocks without animation).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/NSStringDrawing.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

class Tracked : public UIViewController {
 public:
  void loadView() override {
    setView(make<UIView>(CGRectMake(0, 0, 10, 10)));
    log.push_back("load");
  }
  void viewDidLoad() override { log.push_back("didLoad"); }
  void viewWillAppear(bool) override { log.push_back("willAppear"); }
  void viewDidAppear(bool) override { log.push_back("didAppear"); }
  void viewWillDisappear(bool) override { log.push_back("willDisappear"); }
  void viewDidDisappear(bool) override { log.push_back("didDisappear"); }
  std::vector<std::string> log;
};

TEST(UIControllerTest, ViewLoadingAndPresentationLifeCycle) {
  testing_loop::VirtualClockScope clock;
  auto window = make<UIWindow>(UIScreen::mainScreen().bounds());
  EXPECT_TRUE(window->isHidden());
  window->makeKeyAndVisible();
  EXPECT_FALSE(window->isHidden());
  EXPECT_TRUE(window->isKeyWindow());

  auto root = std::make_shared<Tracked>();
  EXPECT_FALSE(root->isViewLoaded());
  window->setRootViewController(root);
  EXPECT_EQ(root->log, (std::vector<std::string>{"load", "didLoad"}));
  EXPECT_EQ(root->view()->frame(), window->bounds());
  root->view();
  EXPECT_EQ(root->log.size(), 2u);  // loaded once

  auto first = std::make_shared<Tracked>();
  auto second = std::make_shared<Tracked>();
  root->presentViewControllerAnimatedCompletion(first, false);
  testing_loop::runUntilIdle();
  first->presentViewControllerAnimatedCompletion(second, false);
  testing_loop::runUntilIdle();
  EXPECT_EQ(second->presentingViewController(), first);
  EXPECT_EQ(window->topViewController(), second);
  EXPECT_EQ(window->subviews().back(), second->view());

  // Dismissing the middle controller takes what it presents with it.
  bool dismissed = false;
  first->dismissViewControllerAnimatedCompletion(false, [&] { dismissed = true; });
  EXPECT_EQ(first->presentingViewController(), root);  // first only dismissed second
  EXPECT_FALSE(second->view()->superview());
  testing_loop::runUntilIdle();
  EXPECT_TRUE(dismissed);
  EXPECT_EQ(second->log.back(), "didDisappear");
  first->dismissViewControllerAnimatedCompletion(false);  // now dismisses itself
  EXPECT_FALSE(root->presentedViewController());
  EXPECT_EQ(window->topViewController(), root);
  testing_loop::runUntilIdle();
  EXPECT_EQ(first->log, (std::vector<std::string>{"load", "didLoad", "willAppear", "didAppear",
                                                 "willDisappear", "didDisappear"}));

  // A new root replaces the old one's view.
  auto next = std::make_shared<Tracked>();
  window->setRootViewController(next);
  EXPECT_FALSE(root->view()->superview());
  EXPECT_EQ(window->subviews().front(), next->view());
}

TEST(UIControllerTest, WindowsAreListedByLevel) {
  auto alert = make<UIWindow>(CGRectMake(0, 0, 10, 10));
  alert->setWindowLevel(UIWindowLevelAlert);
  auto normal = make<UIWindow>(CGRectMake(0, 0, 10, 10));
  auto windows = UIApplication::sharedApplication().windows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0], normal);
  EXPECT_EQ(windows[1], alert);
  windows.clear();
  alert.reset();
  EXPECT_EQ(UIApplication::sharedApplication().windows().size(), 1u);
}

TEST(UIControllerTest, ScrollViewOptions) {
  testing_loop::VirtualClockScope clock;
  auto window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
  window->makeKeyAndVisible();
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 480));
  window->addSubview(scroll);
  scroll->setContentSize(CGSizeMake(320, 800));
  scroll->setContentInset(UIEdgeInsetsMake(50, 0, 20, 0));
  EXPECT_EQ(scroll->minimumContentOffset(), CGPointMake(0, -50));
  EXPECT_EQ(scroll->maximumContentOffset(), CGPointMake(0, 800 + 20 - 480));
  // The inset adjustment is kept as set; the safe area never adds to the inset here.
  EXPECT_EQ(scroll->contentInsetAdjustmentBehavior(), UIScrollViewContentInsetAdjustmentAutomatic);
  scroll->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentNever);
  EXPECT_EQ(scroll->contentInsetAdjustmentBehavior(), UIScrollViewContentInsetAdjustmentNever);
  EXPECT_EQ(scroll->adjustedContentInset(), scroll->contentInset());

  // Without bounce the drag stops at the edge; horizontal moves do nothing (no wide content).
  scroll->setBounces(false);
  UITouchDriver::drag(window, CGPointMake(100, 100), CGPointMake(300, 400));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, -50));
  scroll->setScrollEnabled(false);
  UITouchDriver::drag(window, CGPointMake(100, 400), CGPointMake(100, 100));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, -50));

  class Delegate : public UIScrollViewDelegate {
   public:
    void scrollViewDidEndScrollingAnimation(UIScrollView&) override { ++ended; }
    int ended = 0;
  };
  auto delegate = std::make_shared<Delegate>();
  scroll->setDelegate(delegate);
  scroll->setContentOffsetAnimated(CGPointMake(0, 200), true);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 200));
  EXPECT_EQ(delegate->ended, 0);
  testing_loop::advance(0.31);
  EXPECT_EQ(delegate->ended, 1);
}

TEST(UIControllerTest, SafeAreaSizingAndUnanimatedChanges) {
  testing_loop::VirtualClockScope clock;
  auto window = make<UIWindow>(CGRectMake(0, 0, 375, 812));
  window->setWindowSafeAreaInsets(UIEdgeInsetsMake(44, 0, 34, 0));
  auto top = make<UIView>(CGRectMake(0, 0, 375, 100));
  auto middle = make<UIView>(CGRectMake(0, 300, 375, 100));
  window->addSubview(top);
  window->addSubview(middle);
  EXPECT_EQ(top->safeAreaInsets(), UIEdgeInsetsMake(44, 0, 0, 0));
  EXPECT_EQ(middle->safeAreaInsets(), UIEdgeInsetsZero);
  EXPECT_EQ(make<UIView>()->safeAreaInsets(), UIEdgeInsetsZero);

  auto label = make<UILabel>(CGRectMake(10, 20, 0, 0));
  label->setText("Size me");
  label->sizeToFit();
  EXPECT_EQ(label->frame().origin, CGPointMake(10, 20));
  EXPECT_EQ(label->frame().size, label->intrinsicContentSize());

  UIViewAnimationLog::clear();
  bool done = false;
  UIView::animateWithDurationAnimationsCompletion(
      1.0,
      [&] {
        UIView::performWithoutAnimation([&] { top->setAlpha(0.2); });
        middle->setAlpha(0.3);
      },
      [&](bool) { done = true; });
  EXPECT_TRUE(UIViewAnimationLog::recordsFor(top.get()).empty());
  EXPECT_EQ(UIViewAnimationLog::recordsFor(middle.get()).size(), 1u);
  EXPECT_NEAR(top->alpha(), 0.2, 1e-6);
  testing_loop::advance(1.01);
  EXPECT_TRUE(done);
}

TEST(UIControllerTest, BoundingRectsKeepWholeLinesThatFit) {
  NSTextStyle style;
  style.font = UIFont::systemFontOfSize(14);
  std::string text = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu";
  double line = style.font.lineHeight();
  CGRect all = NSStringBoundingRectWithSize(text, CGSizeMake(100, 1000),
                                            NSStringDrawingUsesLineFragmentOrigin, style);
  EXPECT_GT(all.size.height, 3 * line);
  CGRect two = NSStringBoundingRectWithSize(text, CGSizeMake(100, 2.5 * line),
                                            NSStringDrawingUsesLineFragmentOrigin, style);
  EXPECT_NEAR(two.size.height, 2 * line, 0.5);
  // Without the line-fragment option the text is one line.
  CGRect single = NSStringBoundingRectWithSize(text, CGSizeMake(100, 1000), 0, style);
  EXPECT_NEAR(single.size.height, line, 0.5);
  EXPECT_GT(single.size.width, 300);
  EXPECT_EQ(NSStringBoundingRectWithSize("", CGSizeMake(100, 100), 0, style), CGRectZero);
}

}  // namespace
