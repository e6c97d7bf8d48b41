// The older HUD: its differences from HVProgressHUD, its older interface, and the task family on
// a real worker thread.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "testing/loop/Pump.h"
#include "ui/hud/HVProgressHUD.h"
#include "ui/hud/sd_HBProgressHUD.h"

using namespace plat;

namespace {

class Recorder : public sd_HBProgressHUDDelegate {
 public:
  void hudWasHidden(sd_HBProgressHUD&) override { ++hidden; }
  int hidden = 0;
};

class sd_HBProgressHUDTest : public ::testing::Test {
 protected:
  void SetUp() override { host = make<UIView>(CGRectMake(0, 0, 320, 480)); }
  testing_loop::VirtualClockScope clock;
  UIViewRef host;
};

TEST_F(sd_HBProgressHUDTest, DefaultsThatDifferFromTheNewerHud) {
  auto hud = sd_HBProgressHUD::showHUDAddedToAnimated(host, false);
  EXPECT_TRUE(hud->areDefaultMotionEffectsEnabled());
  EXPECT_EQ(hud->bezelView()->motionEffects().size(), 1u);  // installed at creation
  EXPECT_EQ(hud->bezelView()->color(), UIColor::colorWithWhiteAlpha(0.8, 0.6));
  auto spinner = std::dynamic_pointer_cast<UIActivityIndicatorView>(hud->indicator());
  ASSERT_TRUE(spinner);
  EXPECT_EQ(spinner->activityIndicatorViewStyle(), UIActivityIndicatorViewStyleWhiteLarge);
  EXPECT_EQ(spinner->color(), UIColor::colorWithWhiteAlpha(0, 0.7));
  hud->setActivityIndicatorColor(UIColor::redColor());
  EXPECT_EQ(spinner->color(), UIColor::redColor());
  hud->setContentColor(UIColor::blueColor());
  EXPECT_EQ(spinner->color(), UIColor::redColor());
  EXPECT_EQ(hud->label()->textColor(), UIColor::blueColor());
  // A rebuilt blur goes above the bezel's existing content.
  hud->bezelView()->setStyle(sd_HBHUDBackgroundSolidColor);
  hud->bezelView()->setStyle(sd_HBHUDBackgroundBlur);
  EXPECT_EQ(hud->bezelView()->subviews().back(), hud->bezelView()->effectView());
  hud->setDefaultMotionEffectsEnabled(false);
  EXPECT_TRUE(hud->bezelView()->motionEffects().empty());

  // A button with an action takes room even without a title.
  auto button = make<sd_HBProgressHUDRoundedButton>();
  EXPECT_EQ(button->intrinsicContentSize(), CGSizeZero);
  button->addTargetActionForControlEvents(nullptr, [](UIControl&) {}, UIControlEventTouchUpInside);
  EXPECT_GT(button->intrinsicContentSize().width, 20);
}

TEST_F(sd_HBProgressHUDTest, OpacityAndTheOlderProperties) {
  auto hud = sd_HBProgressHUD::initWithView(host);
  host->addSubview(hud);
  hud->setOpacity(0.5);
  hud->show(false);
  EXPECT_EQ(hud->bezelView()->alpha(), 0.5);
  hud->hide(false);
  hud->show(true);
  testing_loop::advance(0.5);
  EXPECT_EQ(hud->bezelView()->alpha(), 0.5);

  hud->setLabelText("Wait");
  EXPECT_EQ(hud->label()->text(), "Wait");
  hud->setXOffset(10);
  hud->setYOffset(-5);
  EXPECT_EQ(hud->offset(), CGPointMake(10, -5));
  hud->setCornerRadius(9);
  EXPECT_EQ(hud->bezelView()->layer()->cornerRadius(), 9);
  hud->layoutIfNeeded();
  EXPECT_EQ(hud->size(), hud->bezelView()->frame().size);

  EXPECT_FALSE(hud->disd_HBackground());
  hud->setDisd_HBackground(true);
  EXPECT_TRUE(hud->disd_HBackground());
  EXPECT_EQ(hud->backgroundView()->backgroundColor(), UIColor::colorWithWhiteAlpha(0, 0.2));
  hud->backgroundView()->setColor(UIColor::redColor());
  EXPECT_FALSE(hud->disd_HBackground());
}

TEST_F(sd_HBProgressHUDTest, HideAllCountsFinishedHudsAndFindsNoNewerHuds) {
  auto a = sd_HBProgressHUD::showHUDAddedToAnimated(host, true);
  auto b = sd_HBProgressHUD::showHUDAddedToAnimated(host, true);
  auto newer = HVProgressHUD::showHUDAddedToAnimated(host, true);
  testing_loop::advance(0.5);
  b->hideAnimated(true);  // already hiding
  EXPECT_EQ(sd_HBProgressHUD::allHUDsForView(host).size(), 2u);
  EXPECT_EQ(sd_HBProgressHUD::hideAllHUDsForViewAnimated(host, true), 2u);
  testing_loop::advance(0.5);
  EXPECT_TRUE(sd_HBProgressHUD::allHUDsForView(host).empty());
  EXPECT_EQ(newer->superview(), host);
  EXPECT_EQ(sd_HBProgressHUD::hideAllHUDsForViewAnimated(host, true), 0u);
}

TEST_F(sd_HBProgressHUDTest, EachDelayedHideSchedulesAnotherHide) {
  auto hud = sd_HBProgressHUD::initWithView(host);
  host->addSubview(hud);
  auto recorder = std::make_shared<Recorder>();
  hud->setDelegate(recorder);
  hud->show(false);
  hud->hideAfterDelay(false, 1);
  hud->hideAfterDelay(false, 3);
  testing_loop::advance(1.1);
  EXPECT_EQ(hud->alpha(), 0);
  EXPECT_EQ(recorder->hidden, 1);
  // The first hide's clean-up cancelled the second timer, so it never fires.
  testing_loop::advance(3);
  EXPECT_EQ(recorder->hidden, 1);
}

TEST_F(sd_HBProgressHUDTest, ADelayedHideSurvivesTheEndOfAnInterruptedHide) {
  auto hud = sd_HBProgressHUD::showHUDAddedToAnimated(host, true);
  testing_loop::advance(0.5);
  hud->hide(true);
  hud->show(true);  // cuts the fade-out short; it ends on the next turn
  hud->hideAfterDelay(true, 1);
  testing_loop::advance(0.5);
  EXPECT_EQ(hud->superview(), host);
  testing_loop::advance(1);
  EXPECT_FALSE(hud->superview());
}

TEST_F(sd_HBProgressHUDTest, TaskRunsOnAWorkerThreadAndTheHudHidesAfterIt) {
  auto hud = sd_HBProgressHUD::initWithView(host);
  host->addSubview(hud);
  hud->setRemoveFromSuperViewOnHide(true);
  std::atomic<bool> release{false};
  std::atomic<bool> ranOffMain{false};
  std::thread::id mainThread = std::this_thread::get_id();
  int completions = 0;
  hud->showAnimatedWhileExecutingBlockOnQueueCompletionBlock(
      false,
      [&] {
        ranOffMain = std::this_thread::get_id() != mainThread;
        while (!release.load()) std::this_thread::yield();
      },
      dispatch_queue_create("hud.task"), [&] { ++completions; });
  EXPECT_TRUE(hud->taskInProgress());
  EXPECT_EQ(hud->alpha(), 1);
  release = true;
  ASSERT_TRUE(testing_loop::runUntil([&] { return completions == 1; }));
  EXPECT_TRUE(ranOffMain);
  EXPECT_FALSE(hud->taskInProgress());
  EXPECT_FALSE(hud->superview());

  // The target form calls the method with the object.
  auto second = sd_HBProgressHUD::showHUDAddedToAnimated(host, false);
  std::atomic<int> got{0};
  second->showWhileExecutingOnTargetWithObjectAnimated(
      [&](const Value& v) { got = static_cast<int>(v.integerValue()); }, nullptr, Value(42),
      false);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !second->superview(); }));
  EXPECT_EQ(got.load(), 42);
}

}  // namespace
