// Touches delivered through hit testing: control events, gesture recognizers, the scroll view's
// drag and its observers, and modal controllers with alerts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIScrollView.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

class UIInteractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UITouchDriver::resetForTesting();
    window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
    window->makeKeyAndVisible();
  }
  testing_loop::VirtualClockScope clock;
  std::shared_ptr<UIWindow> window;
};

TEST_F(UIInteractionTest, ControlEventsFollowTheTouch) {
  auto button = make<UIButton>(CGRectMake(100, 100, 100, 40));
  window->addSubview(button);
  std::vector<std::string> events;
  auto record = [&](const char* name, uint64_t mask) {
    button->addTargetActionForControlEvents(nullptr, [&, name](UIControl&) { events.push_back(name); },
                                            mask);
  };
  record("down", UIControlEventTouchDown);
  record("inside", UIControlEventTouchUpInside);
  record("outside", UIControlEventTouchUpOutside);
  record("exit", UIControlEventTouchDragExit);
  record("cancel", UIControlEventTouchCancel);

  UITouchDriver::touchDown(window, CGPointMake(150, 120));
  EXPECT_TRUE(button->isHighlighted());
  UITouchDriver::touchUp(window, CGPointMake(150, 120));
  EXPECT_FALSE(button->isHighlighted());
  EXPECT_EQ(events, (std::vector<std::string>{"down", "inside"}));

  events.clear();
  UITouchDriver::drag(window, CGPointMake(150, 120), CGPointMake(150, 300));
  EXPECT_EQ(events, (std::vector<std::string>{"down", "exit", "outside"}));

  events.clear();
  UITouchDriver::touchDown(window, CGPointMake(150, 120));
  UITouchDriver::touchCancel(window);
  EXPECT_EQ(events, (std::vector<std::string>{"down", "cancel"}));

  // Targets that are gone are skipped; disabled controls send nothing.
  events.clear();
  auto target = std::make_shared<Object>();
  button->addTargetActionForControlEvents(target, [&](UIControl&) { events.push_back("target"); },
                                          UIControlEventTouchUpInside);
  target.reset();
  button->setEnabled(false);
  UITouchDriver::tap(window, CGPointMake(150, 120));
  EXPECT_TRUE(events.empty());
  button->setEnabled(true);
  UITouchDriver::tap(window, CGPointMake(150, 120));
  EXPECT_EQ(events, (std::vector<std::string>{"down", "inside"}));
  button->removeTargetForControlEvents(nullptr, UIControlEventAllEvents);
  EXPECT_EQ(button->allControlEvents(), 0u);
}

TEST_F(UIInteractionTest, GestureRecognizers) {
  auto view = make<UIView>(CGRectMake(0, 0, 320, 480));
  window->addSubview(view);
  int taps = 0;
  auto tap = std::make_shared<UITapGestureRecognizer>([&](UIGestureRecognizer&) { ++taps; });
  view->addGestureRecognizer(tap);
  UITouchDriver::tap(window, CGPointMake(50, 50));
  EXPECT_EQ(taps, 1);
  EXPECT_EQ(tap->state(), UIGestureRecognizerStatePossible);  // reset after the touches
  UITouchDriver::drag(window, CGPointMake(50, 50), CGPointMake(50, 150));
  EXPECT_EQ(taps, 1);  // moved too far for a tap
  view->removeGestureRecognizer(tap);

  std::vector<UIGestureRecognizerState> states;
  auto press = std::make_shared<UILongPressGestureRecognizer>(
      [&](UIGestureRecognizer& g) { states.push_back(g.state()); });
  view->addGestureRecognizer(press);
  UITouchDriver::touchDown(window, CGPointMake(60, 60));
  testing_loop::advance(0.4);
  EXPECT_TRUE(states.empty());
  testing_loop::advance(0.2);
  UITouchDriver::touchUp(window, CGPointMake(60, 60));
  EXPECT_EQ(states, (std::vector<UIGestureRecognizerState>{UIGestureRecognizerStateBegan,
                                                          UIGestureRecognizerStateEnded}));
  // A short press is no long press.
  states.clear();
  UITouchDriver::tap(window, CGPointMake(60, 60));
  testing_loop::advance(1);
  EXPECT_TRUE(states.empty());
  view->removeGestureRecognizer(press);

  auto pinch = std::make_shared<UIPinchGestureRecognizer>();
  view->addGestureRecognizer(pinch);
  UITouchDriver::touchDown(window, CGPointMake(100, 100), 1);
  UITouchDriver::touchDown(window, CGPointMake(200, 100), 2);
  UITouchDriver::touchMove(window, CGPointMake(300, 100), 2);
  EXPECT_EQ(pinch->state(), UIGestureRecognizerStateBegan);
  EXPECT_DOUBLE_EQ(pinch->scale(), 2.0);
  UITouchDriver::touchUp(window, CGPointMake(300, 100), 2);
  EXPECT_EQ(pinch->state(), UIGestureRecognizerStateEnded);
  UITouchDriver::touchUp(window, CGPointMake(100, 100), 1);
  EXPECT_EQ(pinch->state(), UIGestureRecognizerStatePossible);
}

class ScrollDelegate : public UIScrollViewDelegate {
 public:
  void scrollViewDidScroll(UIScrollView&) override { ++scrolls; }
  void scrollViewWillBeginDragging(UIScrollView&) override { ++begins; }
  void scrollViewDidEndDraggingWillDecelerate(UIScrollView&, bool) override { ++ends; }
  int scrolls = 0, begins = 0, ends = 0;
};

TEST_F(UIInteractionTest, ScrollViewDragsAndReportsEverySet) {
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 480));
  window->addSubview(scroll);
  auto delegate = std::make_shared<ScrollDelegate>();
  scroll->setDelegate(delegate);
  std::vector<std::pair<CGPoint, CGPoint>> offsets;
  std::vector<std::pair<int64_t, int64_t>> states;
  std::vector<CGSize> sizes;
  auto offsetToken = scroll->addObserverForKeyPath(
      "contentOffset", [&](const std::string&, const UIScrollView::ObservedValue& o,
                           const UIScrollView::ObservedValue& n) {
        offsets.push_back({std::get<CGPoint>(o), std::get<CGPoint>(n)});
      });
  scroll->addObserverForKeyPath("panGestureRecognizer.state",
                                [&](const std::string&, const UIScrollView::ObservedValue& o,
                                    const UIScrollView::ObservedValue& n) {
                                  states.push_back({std::get<int64_t>(o), std::get<int64_t>(n)});
                                });
  scroll->addObserverForKeyPath("contentSize",
                                [&](const std::string&, const UIScrollView::ObservedValue&,
                                    const UIScrollView::ObservedValue& n) {
                                  sizes.push_back(std::get<CGSize>(n));
                                });
  scroll->setContentSize(CGSizeMake(320, 1000));
  scroll->setContentSize(CGSizeMake(320, 1000));
  EXPECT_EQ(sizes.size(), 2u);  // every set, changed or not

  scroll->setContentOffset(CGPointMake(0, 0));
  ASSERT_EQ(offsets.size(), 1u);
  EXPECT_EQ(offsets[0].first, offsets[0].second);
  offsets.clear();

  UITouchDriver::drag(window, CGPointMake(160, 400), CGPointMake(160, 300), 4);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 100));
  EXPECT_EQ(scroll->bounds().origin, CGPointMake(0, 100));
  EXPECT_FALSE(scroll->isDragging());
  EXPECT_EQ(delegate->begins, 1);
  EXPECT_EQ(delegate->ends, 1);
  EXPECT_GE(delegate->scrolls, 3);
  ASSERT_FALSE(offsets.empty());
  EXPECT_EQ(offsets.back().second, CGPointMake(0, 100));
  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ(states.front(), std::make_pair(int64_t(0), int64_t(UIGestureRecognizerStateBegan)));
  EXPECT_EQ(states.back().second, int64_t(UIGestureRecognizerStatePossible));

  // Pulled past the top while dragging, it snaps back when released.
  UITouchDriver::touchDown(window, CGPointMake(160, 100));
  UITouchDriver::touchMove(window, CGPointMake(160, 200));
  UITouchDriver::touchMove(window, CGPointMake(160, 300));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, -100));
  EXPECT_TRUE(scroll->isDragging());
  UITouchDriver::touchUp(window, CGPointMake(160, 300));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));

  scroll->removeObserver(offsetToken);
  offsets.clear();
  scroll->setContentOffset(CGPointMake(0, 10));
  EXPECT_TRUE(offsets.empty());
}

TEST_F(UIInteractionTest, AnInsetThatShrinksBringsARestingOffsetBackIntoRange) {
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 480));
  window->addSubview(scroll);
  scroll->setContentSize(CGSizeMake(320, 1000));
  scroll->setContentInset(UIEdgeInsetsMake(54, 0, 44, 0));
  scroll->setContentOffset(CGPointMake(0, -54));
  scroll->setContentInset(UIEdgeInsetsMake(0, 0, 44, 0));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
  scroll->setContentOffset(CGPointMake(0, 564));  // 1000 + 44 - 480
  scroll->setContentInset(UIEdgeInsetsZero);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 520));
  // An offset in range stays where it is.
  scroll->setContentOffset(CGPointMake(0, 300));
  scroll->setContentInset(UIEdgeInsetsMake(20, 0, 20, 0));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 300));

  // While the finger holds the content past the top, a shrinking inset leaves it there; the
  // release brings it back.
  scroll->setContentOffset(CGPointMake(0, 0));
  UITouchDriver::touchDown(window, CGPointMake(160, 100));
  UITouchDriver::touchMove(window, CGPointMake(160, 150));
  UITouchDriver::touchMove(window, CGPointMake(160, 200));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, -100));
  scroll->setContentInset(UIEdgeInsetsZero);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, -100));
  UITouchDriver::touchUp(window, CGPointMake(160, 200));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
}

TEST_F(UIInteractionTest, PresentedAlertsAndTheirActions) {
  auto root = std::make_shared<UIViewController>();
  window->setRootViewController(root);
  EXPECT_EQ(root->view()->superview(), window);
  EXPECT_EQ(root->view()->frame(), window->bounds());

  auto alert = UIAlertController::alertControllerWithTitleMessagePreferredStyle(
      "Title", "Message", UIAlertControllerStyleAlert);
  std::vector<std::string> handled;
  alert->addAction(UIAlertAction::actionWithTitleStyleHandler(
      "Cancel", UIAlertActionStyleCancel, [&](UIAlertAction& a) { handled.push_back(a.title()); }));
  alert->addAction(UIAlertAction::actionWithTitleStyleHandler("Again", UIAlertActionStyleCancel, {}));
  alert->addAction(UIAlertAction::actionWithTitleStyleHandler(
      "OK", UIAlertActionStyleDefault, [&](UIAlertAction& a) { handled.push_back(a.title()); }));
  EXPECT_EQ(alert->actions().size(), 2u);  // one cancel action at most

  bool presented = false;
  root->presentViewControllerAnimatedCompletion(alert, true, [&] { presented = true; });
  EXPECT_FALSE(presented);  // completions are posted
  EXPECT_EQ(root->presentedViewController(), alert);
  EXPECT_EQ(window->topViewController(), alert);
  testing_loop::runUntilIdle();
  EXPECT_TRUE(presented);
  // A second presentation while one is showing is refused.
  auto other = std::make_shared<UIViewController>();
  root->presentViewControllerAnimatedCompletion(other, false);
  EXPECT_EQ(root->presentedViewController(), alert);

  EXPECT_FALSE(alert->tapActionWithTitle("Missing"));
  EXPECT_TRUE(alert->tapActionWithTitle("OK"));
  EXPECT_FALSE(root->presentedViewController());
  EXPECT_FALSE(alert->view()->superview());
  testing_loop::runUntilIdle();
  EXPECT_EQ(handled, std::vector<std::string>{"OK"});

  UIApplication::sharedApplication().setStatusBarStyle(UIStatusBarStyleLightContent);
  EXPECT_EQ(UIApplication::sharedApplication().keyWindow(), window);
  EXPECT_EQ(UIApplication::sharedApplication().windows().size(), 1u);
}

}  // namespace
