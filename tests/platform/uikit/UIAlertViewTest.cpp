// The legacy alert view: its own window over every screen, the delegate's calls for a tap and
// for the system's cancel, its picture, and that it lets go of itself once dismissed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/UIAlertView.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "testing/loop/Pump.h"
#include "testing/uikit/Pixels.h"

using namespace plat;
using namespace testing_uikit;

namespace {

struct Recorder : UIAlertViewDelegate {
  std::vector<std::string> calls;
  void alertViewClickedButtonAtIndex(const UIAlertViewRef&, int64_t i) override {
    calls.push_back("clicked " + std::to_string(i));
  }
  void alertViewCancel(const UIAlertViewRef&) override { calls.push_back("cancel"); }
  void alertViewWillDismissWithButtonIndex(const UIAlertViewRef&, int64_t i) override {
    calls.push_back("will " + std::to_string(i));
  }
  void alertViewDidDismissWithButtonIndex(const UIAlertViewRef&, int64_t i) override {
    calls.push_back("did " + std::to_string(i));
  }
};

struct UIAlertViewTest : ::testing::Test {
  testing_loop::VirtualClockScope clock;
  std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
  void TearDown() override {
    UIAlertView::resetForTesting();
    testing_loop::runUntilIdle();
  }
};

TEST_F(UIAlertViewTest, ATapIsReportedThenTheAlertGoesAwayOverAPresentedScreen) {
  // The application's window presents a screen: the alert still shows, above it.
  auto window = make<UIWindow>(UIScreen::mainScreen().bounds());
  auto root = std::make_shared<UIViewController>();
  window->setRootViewController(root);
  window->makeKeyAndVisible();
  root->presentViewControllerAnimatedCompletion(std::make_shared<UIViewController>(), false);

  std::weak_ptr<UIAlertView> weak;
  {
    auto alert = UIAlertView::initWithTitleMessageDelegateCancelButtonTitleOtherButtonTitles(
        "Title", "Message", delegate, std::string("Cancel"), {"One"});
    EXPECT_EQ(alert->addButtonWithTitle("Two"), 2);
    EXPECT_EQ(alert->cancelButtonIndex(), 0);
    EXPECT_EQ(alert->buttonTitleAtIndex(1), "One");
    EXPECT_EQ(alert->buttonTitleAtIndex(3), "");
    EXPECT_FALSE(alert->tapButtonAtIndex(0));  // not shown yet
    alert->show();
    alert->show();
    weak = alert;
  }
  auto alert = weak.lock();
  ASSERT_TRUE(alert && alert->isVisible());
  EXPECT_EQ(UIAlertView::visibleAlertViews(), std::vector<UIAlertViewRef>{alert});
  EXPECT_EQ(UIWindow::allWindows().back(), alert->alertWindow());
  EXPECT_EQ(alert->alertWindow()->windowLevel(), UIWindowLevelAlert);
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_FALSE(alert->tapButtonAtIndex(3));

  // The button itself taps the alert.
  alert->buttons()[2]->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"clicked 2", "will 2"}));
  EXPECT_FALSE(alert->isVisible());
  EXPECT_TRUE(UIAlertView::visibleAlertViews().empty());
  EXPECT_FALSE(alert->tapButtonAtIndex(0));
  alert.reset();
  testing_loop::runUntilIdle();
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"clicked 2", "will 2", "did 2"}));
  EXPECT_TRUE(weak.expired());
}

TEST_F(UIAlertViewTest, TheSystemsCancelDismissesWithTheCancelIndex) {
  auto alert = UIAlertView::initWithTitleMessageDelegateCancelButtonTitleOtherButtonTitles(
      "T", "M", delegate, std::nullopt, {"A"});
  EXPECT_EQ(alert->cancelButtonIndex(), -1);
  EXPECT_FALSE(alert->cancel());
  alert->show();
  EXPECT_TRUE(alert->cancel());
  alert->dismissWithClickedButtonIndexAnimated(0, true);  // gone already: nothing
  testing_loop::runUntilIdle();
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"cancel", "will -1", "did -1"}));

  // A dismissal by code reports no click.
  delegate->calls.clear();
  alert->show();
  alert->dismissWithClickedButtonIndexAnimated(0, false);
  testing_loop::runUntilIdle();
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"will 0", "did 0"}));
}

TEST_F(UIAlertViewTest, TheAlertIsDrawnAsAWhiteBoxOverADimmedScreen) {
  auto alert = UIAlertView::initWithTitleMessageDelegateCancelButtonTitleOtherButtonTitles(
      "Title", "A message", nullptr, std::nullopt, {"OK", "Later"});
  alert->show();
  auto image = UIRenderer::renderView(alert->alertWindow(), 1);
  ASSERT_TRUE(image);
  const char* out = std::getenv("LUMORA_TEST_OUTPUT");
  UIRenderer::writePNG(alert->alertWindow(),
                       std::string(out && *out ? out : "/tmp") + "/uikit/alert-view.png", 1);
  auto cg = image->CGImage();
  CGRect box = alert->frame();
  // Outside the box: the dimming veil (dark and half transparent).
  uint32_t veil = cg->pixelAt(5, 5);
  EXPECT_LT(A(veil), 200u);
  EXPECT_GT(A(veil), 50u);
  // The text area is white; the title's letters are dark.
  EXPECT_EQ(colourName(cg->pixelAt(box.origin.x + 4, box.origin.y + 20)), 'W');
  auto countIn = [&](CGRect r, auto pred) {
    int n = 0;
    for (int y = r.origin.y; y < r.origin.y + r.size.height; ++y)
      for (int x = r.origin.x; x < r.origin.x + r.size.width; ++x)
        if (pred(cg->pixelAt(x, y))) ++n;
    return n;
  };
  auto dark = [](uint32_t p) { return R(p) < 80 && G(p) < 80 && B(p) < 80 && A(p) > 200; };
  auto blue = [](uint32_t p) { return B(p) > 200 && R(p) < 100 && A(p) > 200; };
  EXPECT_GT(countIn(CGRectMake(box.origin.x, box.origin.y, box.size.width, 40), dark), 20);
  // Two buttons side by side, their titles blue, a grey line between them.
  CGRect left = alert->buttons()[0]->frame();
  CGRect right = alert->buttons()[1]->frame();
  EXPECT_DOUBLE_EQ(left.origin.y, right.origin.y);
  EXPECT_LT(left.origin.x, right.origin.x);
  auto inWindow = [&](CGRect r) {
    return CGRectMake(box.origin.x + r.origin.x, box.origin.y + r.origin.y, r.size.width,
                      r.size.height);
  };
  EXPECT_GT(countIn(inWindow(left), blue), 10);
  EXPECT_GT(countIn(inWindow(right), blue), 10);
  uint32_t line = cg->pixelAt(box.origin.x + left.size.width, box.origin.y + left.origin.y + 2);
  EXPECT_LT(R(line), 230u);
}

}  // namespace
