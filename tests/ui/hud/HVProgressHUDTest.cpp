// The progress HUD's life cycle on the virtual clock, its indicator table, layout and
// animations, and the class operations.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/uikit/UIAppearance.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"
#include "ui/hud/HVProgressHUD.h"
#include "ui/hud/sd_HBProgressHUD.h"

using namespace plat;

namespace {

class Recorder : public HVProgressHUDDelegate {
 public:
  void hudWasHidden(HVProgressHUD&) override { ++hidden; }
  int hidden = 0;
};

class HVProgressHUDTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = make<UIView>(CGRectMake(0, 0, 320, 480));
    UIViewAnimationLog::clear();
  }
  std::shared_ptr<HVProgressHUD> hudWithCounters() {
    auto hud = HVProgressHUD::initWithView(host);
    host->addSubview(hud);
    hud->setCompletionBlock([this] { ++completions; });
    hud->setDelegate(recorder);
    return hud;
  }
  testing_loop::VirtualClockScope clock;
  UIViewRef host;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  int completions = 0;
};

bool isAttached(const std::shared_ptr<HVProgressHUD>& hud) { return hud->superview() != nullptr; }

TEST_F(HVProgressHUDTest, DefaultSpinnerGivesCentredSeventySevenPointBezel) {
  auto hud = HVProgressHUD::showHUDAddedToAnimated(host, false);
  hud->layoutIfNeeded();
  auto spinner = std::dynamic_pointer_cast<UIActivityIndicatorView>(hud->indicator());
  ASSERT_TRUE(spinner);
  EXPECT_TRUE(spinner->isAnimating());
  EXPECT_EQ(spinner->color(), hud->contentColor().value());
  CGRect bezel = hud->bezelView()->frame();
  EXPECT_EQ(bezel, CGRectMake((320 - 77) / 2.0, (480 - 77) / 2.0, 77, 77));
  EXPECT_EQ(spinner->frame(), CGRectMake(20, 20, 37, 37));
  EXPECT_EQ(hud->alpha(), 1);
  EXPECT_EQ(hud->bezelView()->alpha(), 1);

  // An offset moves the bezel but margins keep it inside the HUD; square and minimum size grow it.
  hud->setOffset(CGPointMake(0, 1000));
  hud->setMinSize(CGSizeMake(120, 90));
  hud->setSquare(true);
  hud->layoutIfNeeded();
  bezel = hud->bezelView()->frame();
  EXPECT_EQ(bezel.size, CGSizeMake(120, 120));
  EXPECT_EQ(CGRectGetMaxY(bezel), 480 - 20);
  // Non-empty text adds the label below the spinner, 4 points apart.
  hud->label()->setText("Loading");
  hud->setSquare(false);
  hud->setMinSize(CGSizeZero);
  hud->setOffset(CGPointZero);
  hud->layoutIfNeeded();
  CGRect label = hud->label()->frame();
  EXPECT_EQ(label.origin.y, 20 + 37 + 4);
  EXPECT_EQ(hud->bezelView()->frame().size.height, 20 + 37 + 4 + label.size.height + 20);
  EXPECT_EQ(hud->paddingConstraints().size(), 5u);
}

TEST_F(HVProgressHUDTest, ModeTableChoosesIndicators) {
  auto hud = hudWithCounters();
  hud->setProgress(0.25f);
  hud->setMode(HVHUDModeBar);
  auto bar = std::dynamic_pointer_cast<HVBarProgressView>(hud->indicator());
  ASSERT_TRUE(bar);
  EXPECT_FLOAT_EQ(bar->progress(), 0.25f);
  EXPECT_EQ(bar->superview(), hud->bezelView());

  hud->setMode(HVHUDModeRound);
  auto round = std::dynamic_pointer_cast<HVRoundProgressView>(hud->indicator());
  ASSERT_TRUE(round);
  EXPECT_FALSE(round->isAnnular());
  EXPECT_FALSE(bar->superview());
  // Round -> ring keeps the view, makes it annular and redraws it.
  UIView::runDisplayPass();
  round->displayIfNeeded();
  ASSERT_FALSE(round->needsDisplay());
  hud->setMode(HVHUDModeRing);
  EXPECT_EQ(hud->indicator(), round);
  EXPECT_TRUE(round->isAnnular());
  EXPECT_TRUE(round->needsDisplay());
  // Ring -> round keeps the ring.
  hud->setMode(HVHUDModeRound);
  EXPECT_TRUE(round->isAnnular());
  // Progress reaches the indicator.
  hud->setProgress(0.75f);
  EXPECT_FLOAT_EQ(round->progress(), 0.75f);

  auto custom = make<UIView>(CGRectMake(0, 0, 10, 10));
  hud->setCustomView(custom);
  EXPECT_EQ(hud->indicator(), round);  // not in custom mode yet
  hud->setMode(HVHUDModeCustomView);
  EXPECT_EQ(hud->indicator(), custom);
  EXPECT_EQ(custom->tintColor(), hud->contentColor().value());
  hud->setMode(HVHUDModeText);
  EXPECT_FALSE(hud->indicator());
  EXPECT_FALSE(custom->superview());
  hud->setMode(HVHUDModeSpinner);
  EXPECT_TRUE(std::dynamic_pointer_cast<UIActivityIndicatorView>(hud->indicator()));

  // Content colour reaches labels, button and indicator.
  hud->setContentColor(UIColor::redColor());
  EXPECT_EQ(hud->label()->textColor(), UIColor::redColor());
  EXPECT_EQ(hud->button()->titleColorForState(UIControlStateNormal), UIColor::redColor());
  EXPECT_EQ(std::static_pointer_cast<UIActivityIndicatorView>(hud->indicator())->color(),
            UIColor::redColor());
}

TEST_F(HVProgressHUDTest, GraceTimeDelaysShowingAndAnEarlyHideShowsNothing) {
  auto hud = hudWithCounters();
  hud->setGraceTime(0.5);
  hud->showAnimated(true);
  testing_loop::advance(0.4);
  EXPECT_EQ(hud->alpha(), 0);
  testing_loop::advance(0.2);
  EXPECT_EQ(hud->alpha(), 1);

  auto early = hudWithCounters();
  early->setGraceTime(0.5);
  early->setRemoveFromSuperViewOnHide(true);
  early->showAnimated(true);
  testing_loop::advance(0.1);
  early->hideAnimated(true);  // before the grace time: immediate, unanimated
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(recorder->hidden, 1);
  EXPECT_FALSE(isAttached(early));
  testing_loop::advance(1);
  EXPECT_EQ(early->alpha(), 0);
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(UIViewAnimationLog::recordsFor(early->bezelView().get()).empty());
}

TEST_F(HVProgressHUDTest, MinimumShowTimeKeepsTheHudUpAndFinishesOnce) {
  auto hud = hudWithCounters();
  hud->setMinShowTime(1.0);
  hud->showAnimated(false);
  testing_loop::advance(0.2);
  hud->hideAnimated(true);
  EXPECT_TRUE(hud->hasFinished());
  EXPECT_FALSE(HVProgressHUD::HUDForView(host));
  testing_loop::advance(0.7);
  EXPECT_EQ(hud->alpha(), 1);
  EXPECT_EQ(completions, 0);
  // A second hide while the first waits does not schedule a second finish.
  hud->hideAnimated(true);
  testing_loop::advance(0.2);  // t = 1.1: the hide animation runs
  auto fades = UIViewAnimationLog::recordsFor(hud->bezelView().get(), "opacity");
  ASSERT_EQ(fades.size(), 1u);  // the show was unanimated: only the fade out is recorded
  testing_loop::advance(1);
  EXPECT_EQ(hud->alpha(), 0);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(recorder->hidden, 1);
}

TEST_F(HVProgressHUDTest, ImmediateHideDuringAnAnimatedHideFinishesOnce) {
  auto hud = hudWithCounters();
  hud->setRemoveFromSuperViewOnHide(true);
  hud->showAnimated(true);
  testing_loop::advance(0.5);
  hud->hideAnimated(true);
  testing_loop::advance(0.1);
  hud->hideAnimated(false);
  EXPECT_EQ(completions, 1);
  EXPECT_FALSE(isAttached(hud));
  testing_loop::advance(1);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(recorder->hidden, 1);
}

TEST_F(HVProgressHUDTest, ShowDuringHideKeepsTheHudButStillCompletesTheHide) {
  auto hud = hudWithCounters();
  hud->setRemoveFromSuperViewOnHide(true);
  hud->showAnimated(true);
  testing_loop::advance(0.5);
  hud->hideAnimated(true);
  testing_loop::advance(0.1);
  hud->showAnimated(true);  // cancels the running fade-out
  testing_loop::runUntilIdle();
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(recorder->hidden, 1);
  EXPECT_TRUE(isAttached(hud));
  EXPECT_EQ(hud->alpha(), 1);
  EXPECT_FALSE(hud->hasFinished());
}

TEST_F(HVProgressHUDTest, AHideInterruptedByAShowStillReportsAndLeavesTheHudAlone) {
  auto hud = hudWithCounters();
  hud->setMode(HVHUDModeBar);
  auto progress = NSProgress::progressWithTotalUnitCount(10);
  hud->setProgressObject(progress);
  hud->showAnimated(true);
  testing_loop::advance(0.5);
  hud->hideAnimated(true);
  testing_loop::advance(0.1);
  hud->showAnimated(true);  // the fade-out ends early and reports
  testing_loop::advance(1);
  EXPECT_EQ(completions, 1);
  // The HUD is shown again, so the progress object still drives it.
  progress->setCompletedUnitCount(7);
  testing_loop::advance(0.05);
  EXPECT_FLOAT_EQ(hud->progress(), 0.7f);

  // Hide, show and hide in one turn: two hide cycles, each reported once.
  hud->setRemoveFromSuperViewOnHide(true);
  hud->hideAnimated(true);
  hud->showAnimated(true);
  hud->hideAnimated(true);
  testing_loop::advance(0.1);
  EXPECT_EQ(completions, 2);
  EXPECT_TRUE(isAttached(hud));  // the second hide is still animating
  testing_loop::advance(0.3);
  EXPECT_EQ(completions, 3);
  EXPECT_EQ(recorder->hidden, 3);
  EXPECT_FALSE(isAttached(hud));
  EXPECT_EQ(hud->alpha(), 0);
}

TEST_F(HVProgressHUDTest, DelayedHideAndItsCancellationByShow) {
  auto hud = hudWithCounters();
  hud->showAnimated(false);
  hud->hideAnimatedAfterDelay(false, 2);
  testing_loop::advance(1.9);
  EXPECT_EQ(hud->alpha(), 1);
  testing_loop::advance(0.2);
  EXPECT_EQ(hud->alpha(), 0);
  EXPECT_EQ(completions, 1);

  hud->showAnimated(false);
  hud->hideAnimatedAfterDelay(false, 1);
  hud->hideAnimatedAfterDelay(false, 3);  // replaces the 1 s timer
  testing_loop::advance(2);
  EXPECT_EQ(hud->alpha(), 1);
  hud->showAnimated(false);  // cancels the pending delayed hide
  testing_loop::advance(5);
  EXPECT_EQ(hud->alpha(), 1);
  EXPECT_EQ(completions, 1);
}

TEST_F(HVProgressHUDTest, ZoomAndFadeAnimations) {
  auto hud = hudWithCounters();
  hud->setAnimationType(HVHUDAnimationZoom);
  hud->showAnimated(true);
  auto bezel = hud->bezelView().get();
  auto t = UIViewAnimationLog::recordsFor(bezel, "transform");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(std::get<CGAffineTransform>(t[0].from), CGAffineTransformMakeScale(0.5, 0.5));
  EXPECT_EQ(std::get<CGAffineTransform>(t[0].to), CGAffineTransformIdentity);
  EXPECT_TRUE(t[0].spring);
  EXPECT_EQ(t[0].duration, 0.3);
  EXPECT_EQ(t[0].damping, 1.0);
  EXPECT_EQ(t[0].velocity, 0.0);
  EXPECT_EQ(t[0].options, UIViewAnimationOptionBeginFromCurrentState);
  auto fade = UIViewAnimationLog::recordsFor(hud->backgroundView().get(), "opacity");
  ASSERT_EQ(fade.size(), 1u);
  EXPECT_EQ(std::get<double>(fade[0].to), 1.0);
  testing_loop::advance(0.5);
  hud->hideAnimated(true);
  t = UIViewAnimationLog::recordsFor(bezel, "transform");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(std::get<CGAffineTransform>(t[1].to), CGAffineTransformMakeScale(0.5, 0.5));
  EXPECT_EQ(completions, 0);
  testing_loop::advance(0.29);
  EXPECT_EQ(completions, 0);
  testing_loop::advance(0.02);
  EXPECT_EQ(completions, 1);

  // Fade leaves the transform alone.
  UIViewAnimationLog::clear();
  auto faded = hudWithCounters();
  faded->showAnimated(true);
  testing_loop::advance(0.5);
  faded->hideAnimated(true);
  testing_loop::advance(0.5);
  EXPECT_TRUE(UIViewAnimationLog::recordsFor(faded->bezelView().get(), "transform").empty());
  EXPECT_EQ(UIViewAnimationLog::recordsFor(faded->bezelView().get(), "opacity").size(), 2u);
}

TEST_F(HVProgressHUDTest, ClassOperationsFindOnlyTheirOwnUnfinishedHuds) {
  EXPECT_FALSE(HVProgressHUD::hideHUDForViewAnimated(host, true));
  auto first = HVProgressHUD::showHUDAddedToAnimated(host, true);
  auto second = HVProgressHUD::showHUDAddedToAnimated(host, true);
  auto legacy = sd_HBProgressHUD::showHUDAddedToAnimated(host, false);
  EXPECT_TRUE(first->removeFromSuperViewOnHide());
  EXPECT_EQ(HVProgressHUD::HUDForView(host), second);
  EXPECT_EQ(sd_HBProgressHUD::HUDForView(host), legacy);

  testing_loop::advance(0.5);
  EXPECT_TRUE(HVProgressHUD::hideHUDForViewAnimated(host, true));
  EXPECT_TRUE(second->hasFinished());
  // While the second animates out, the next call hides the first.
  EXPECT_EQ(HVProgressHUD::HUDForView(host), first);
  EXPECT_TRUE(HVProgressHUD::hideHUDForViewAnimated(host, true));
  EXPECT_FALSE(HVProgressHUD::hideHUDForViewAnimated(host, true));
  testing_loop::advance(0.5);
  EXPECT_FALSE(isAttached(first));
  EXPECT_FALSE(isAttached(second));
  EXPECT_EQ(legacy->superview(), host);
  EXPECT_EQ(legacy->alpha(), 1);
}

TEST_F(HVProgressHUDTest, ProgressObjectDrivesProgressWhileShown) {
  auto hud = hudWithCounters();
  hud->setMode(HVHUDModeBar);
  auto progress = NSProgress::progressWithTotalUnitCount(10);
  hud->setProgressObject(progress);
  hud->showAnimated(false);
  progress->setCompletedUnitCount(4);
  testing_loop::advance(0.05);
  EXPECT_FLOAT_EQ(hud->progress(), 0.4f);
  hud->hideAnimated(false);
  EXPECT_FALSE(hud->progressObjectDisplayLink());
  progress->setCompletedUnitCount(9);
  testing_loop::advance(0.05);
  EXPECT_FLOAT_EQ(hud->progress(), 0.4f);
}

TEST_F(HVProgressHUDTest, FollowsItsSuperviewOnOrientationChange) {
  auto hud = HVProgressHUD::showHUDAddedToAnimated(host, false);
  EXPECT_EQ(hud->frame(), host->bounds());
  host->setBounds(CGRectMake(0, 0, 480, 320));
  hud->setFrame(CGRectMake(0, 0, 10, 10));
  NSNotificationCenter::defaultCenter().postNotificationNameObject(
      UIApplicationDidChangeStatusBarOrientationNotification, Value());
  EXPECT_EQ(hud->frame(), CGRectMake(0, 0, 480, 320));

  // Once unregistered, a change no longer re-fits it; registering again resumes.
  hud->unregisterFromNotifications();
  hud->setFrame(CGRectMake(0, 0, 10, 10));
  NSNotificationCenter::defaultCenter().postNotificationNameObject(
      UIApplicationDidChangeStatusBarOrientationNotification, Value());
  EXPECT_EQ(hud->frame(), CGRectMake(0, 0, 10, 10));
  hud->registerForNotifications();
  NSNotificationCenter::defaultCenter().postNotificationNameObject(
      UIApplicationDidChangeStatusBarOrientationNotification, Value());
  EXPECT_EQ(hud->frame(), CGRectMake(0, 0, 480, 320));
}

TEST_F(HVProgressHUDTest, MotionEffectsFollowTheFlag) {
  auto hud = hudWithCounters();
  EXPECT_FALSE(hud->areDefaultMotionEffectsEnabled());
  hud->showAnimated(false);
  EXPECT_TRUE(hud->bezelView()->motionEffects().empty());
  hud->setDefaultMotionEffectsEnabled(true);
  ASSERT_EQ(hud->bezelView()->motionEffects().size(), 1u);
  auto group = std::dynamic_pointer_cast<UIMotionEffectGroup>(hud->bezelView()->motionEffects()[0]);
  ASSERT_TRUE(group);
  auto x = std::dynamic_pointer_cast<UIInterpolatingMotionEffect>(group->motionEffects()[0]);
  EXPECT_EQ(x->keyPath(), "center.x");
  EXPECT_EQ(x->maximumRelativeValue(), 10);
  // Showing again keeps the parallax; turning the flag off takes it away.
  hud->hideAnimated(false);
  hud->showAnimated(false);
  EXPECT_EQ(hud->bezelView()->motionEffects().size(), 1u);
  hud->showAnimated(false);
  EXPECT_EQ(hud->bezelView()->motionEffects().size(), 1u);
  hud->setDefaultMotionEffectsEnabled(false);
  EXPECT_TRUE(hud->bezelView()->motionEffects().empty());
  EXPECT_FALSE(hud->bezelMotionEffects());
}

}  // namespace

namespace {

TEST_F(HVProgressHUDTest, TextSetWhileShownResizesTheBezelOnTheNextTurn) {
  auto window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
  auto hud = HVProgressHUD::showHUDAddedToAnimated(window, false);
  testing_loop::runUntilIdle();
  EXPECT_EQ(hud->bezelView()->frame().size, CGSizeMake(77, 77));
  hud->label()->setText("Signing in");
  testing_loop::runUntilIdle();
  CGSize label = hud->label()->frame().size;
  EXPECT_GT(label.width, 37);
  EXPECT_EQ(hud->bezelView()->frame().size,
            CGSizeMake(label.width + 40, 20 + 37 + 4 + label.height + 20));
}

TEST_F(HVProgressHUDTest, LongTextStaysInsideTheMarginsAndDetailsWrap) {
  auto hud = HVProgressHUD::showHUDAddedToAnimated(host, false);
  hud->setMode(HVHUDModeText);
  hud->label()->setText(std::string(200, 'W'));
  hud->detailsLabel()->setText(
      "A details text that is far too long for one line of a bezel on a narrow screen, so it "
      "wraps onto several lines.");
  hud->layoutIfNeeded();
  CGRect bezel = hud->bezelView()->frame();
  EXPECT_EQ(bezel.origin.x, 20);
  EXPECT_EQ(bezel.size.width, 320 - 40);
  EXPECT_EQ(hud->label()->frame().size.width, 320 - 80);
  CGRect details = hud->detailsLabel()->frame();
  EXPECT_LE(details.size.width, 320 - 80);
  EXPECT_GT(details.size.height, 2 * UIFont::boldSystemFontOfSize(12).lineHeight());
  // Text mode: the label is the first thing in the stack, after the spacer.
  EXPECT_EQ(hud->label()->frame().origin.y, 20);
  EXPECT_EQ(details.origin.y, CGRectGetMaxY(hud->label()->frame()) + 4);
}

TEST_F(HVProgressHUDTest, ButtonTakesRoomOnlyWithTitleAndAction) {
  auto hud = HVProgressHUD::showHUDAddedToAnimated(host, false);
  hud->button()->setTitleForState("Cancel", UIControlStateNormal);
  hud->setNeedsUpdateConstraints();
  hud->layoutIfNeeded();
  EXPECT_EQ(hud->bezelView()->frame().size.height, 77);
  int cancelled = 0;
  hud->button()->addTargetActionForControlEvents(
      nullptr, [&](UIControl&) { ++cancelled; }, UIControlEventTouchUpInside);
  hud->setNeedsUpdateConstraints();
  hud->layoutIfNeeded();
  CGRect button = hud->button()->frame();
  EXPECT_GT(button.size.height, 10);
  EXPECT_EQ(button.origin.y, 20 + 37 + 4);
  EXPECT_EQ(hud->bezelView()->frame().size.height, 20 + 37 + 4 + button.size.height + 20);
  EXPECT_EQ(hud->button()->layer()->cornerRadius(), std::ceil(button.size.height / 2));
}

// Rows of the image in [top, bottom) and columns in [left, right) holding dark text ink.
int inkIn(const CGImageRef& img, int left, int top, int right, int bottom) {
  int n = 0;
  for (int y = std::max(top, 0); y < std::min<int>(bottom, img->height()); ++y)
    for (int x = std::max(left, 0); x < std::min<int>(right, img->width()); ++x)
      if (((img->pixelAt(x, y) >> 16) & 0xff) < 0x80) ++n;
  return n;
}

TEST_F(HVProgressHUDTest, OnASmallHostTextIsSqueezedInsideTheMarginsAndAnIdleButtonDrawsNothing) {
  host = make<UIView>(CGRectMake(0, 0, 200, 150));
  host->setBackgroundColor(UIColor::whiteColor());
  auto hud = HVProgressHUD::showHUDAddedToAnimated(host, false);
  hud->setMode(HVHUDModeText);
  std::string details;
  for (int i = 0; i < 12; ++i) details += "Several words of details text. ";
  hud->detailsLabel()->setText(details);
  hud->layoutIfNeeded();
  CGRect bezel = hud->bezelView()->frame();
  EXPECT_EQ(bezel.size.height, 150 - 40);
  // The margins win over the label: it is cut to the room left inside them.
  CGRect label = hud->detailsLabel()->frame();
  EXPECT_LT(label.size.height, hud->detailsLabel()->sizeThatFits(CGSizeMake(120, 0)).height);
  EXPECT_EQ(label.origin.y, 20);
  EXPECT_EQ(CGRectGetMaxY(label), bezel.size.height - 20);
  auto before = UIRenderer::renderView(host, 1)->CGImage();
  int left = int(bezel.origin.x), right = int(CGRectGetMaxX(bezel));
  int top = int(bezel.origin.y), bottom = int(CGRectGetMaxY(bezel));
  EXPECT_GT(inkIn(before, left, top + 20, right, bottom - 20), 100);
  // Nothing of the text in the bezel's bottom margin: no line is cut at the bezel's edge.
  EXPECT_EQ(inkIn(before, left, bottom - 20, right, bottom), 0);

  // A titled button without an action takes no room and draws nothing.
  hud->button()->setTitleForState("Cancel the request", UIControlStateNormal);
  hud->setNeedsUpdateConstraints();
  hud->layoutIfNeeded();
  EXPECT_EQ(hud->button()->frame().size, CGSizeZero);
  auto after = UIRenderer::renderView(host, 1)->CGImage();
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  std::string dir = std::string(env && *env ? env : "test-output") + "/ui/hud/";
  EXPECT_TRUE(CGImageWritePNGFile(after, dir + "hud-small-host-long-details.png"));
  int changed = 0;
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x) changed += before->pixelAt(x, y) != after->pixelAt(x, y);
  EXPECT_EQ(changed, 0);
}

// A details text cut to fit ends its last line with an ellipsis, as the main label does: it draws
// as a label limited to the lines shown, and unlike the same text merely clipped.
TEST_F(HVProgressHUDTest, ACutDetailsTextEndsWithAnEllipsis) {
  host = make<UIView>(CGRectMake(0, 0, 200, 150));
  auto hud = HVProgressHUD::showHUDAddedToAnimated(host, false);
  hud->setMode(HVHUDModeText);
  std::string details;
  for (int i = 0; i < 12; ++i) details += "Several words of details text. ";
  auto shown = hud->detailsLabel();
  shown->setText(details);
  hud->layoutIfNeeded();
  CGRect frame = shown->frame();
  NSTextStyle style;
  style.font = shown->font();
  int64_t lines = NSStringLineCountWithSize(details, frame.size, style);
  ASSERT_GT(lines, 1);
  ASSERT_LT(lines, NSStringLineCountWithSize(details, CGSizeMake(frame.size.width, 0), style));
  auto draw = [&](int64_t limit, NSLineBreakMode mode) {
    auto label = make<UILabel>(CGRectMake(0, 0, frame.size.width, frame.size.height));
    label->setBackgroundColor(UIColor::whiteColor());
    label->setText(details);
    label->setFont(shown->font());
    label->setTextAlignment(shown->textAlignment());
    label->setTextColor(UIColor::blackColor());
    label->setNumberOfLines(limit);
    label->setLineBreakMode(mode);
    return UIRenderer::renderView(label, 1)->CGImage();
  };
  auto cut = draw(0, NSLineBreakByTruncatingTail);
  auto limited = draw(lines, NSLineBreakByTruncatingTail);
  auto clipped = draw(0, NSLineBreakByWordWrapping);
  int same = 0, unlikeClipped = 0;
  for (size_t y = 0; y < cut->height(); ++y)
    for (size_t x = 0; x < cut->width(); ++x) {
      same += cut->pixelAt(int(x), int(y)) == limited->pixelAt(int(x), int(y));
      unlikeClipped += cut->pixelAt(int(x), int(y)) != clipped->pixelAt(int(x), int(y));
    }
  EXPECT_EQ(same, int(cut->width() * cut->height()));
  EXPECT_GT(unlikeClipped, 10);
}

TEST_F(HVProgressHUDTest, ANonFiniteOffsetIsIgnored) {
  host->setBackgroundColor(UIColor::whiteColor());
  auto hud = HVProgressHUD::showHUDAddedToAnimated(host, false);
  hud->setOffset(CGPointMake(0, 30));
  hud->setOffset(CGPointMake(0, INFINITY));
  hud->setOffset(CGPointMake(NAN, 0));
  EXPECT_EQ(hud->offset(), CGPointMake(0, 30));
  hud->layoutIfNeeded();
  CGRect bezel = hud->bezelView()->frame();
  EXPECT_EQ(bezel, CGRectMake((320 - 77) / 2.0, (480 - 77) / 2.0 + 30, 77, 77));
  // The bezel is on screen: its pixels differ from the white host.
  auto img = UIRenderer::renderView(host, 1)->CGImage();
  EXPECT_NE(img->pixelAt(int(bezel.origin.x) + 5, int(bezel.origin.y) + 5), 0xffffffffu);
}

TEST_F(HVProgressHUDTest, AppearanceColourWinsOverTheContentColour) {
  UIAppearance::setColorFor("UIActivityIndicatorView", "HVProgressHUD", "color",
                            UIColor::greenColor());
  auto hud = hudWithCounters();
  auto spinner = std::static_pointer_cast<UIActivityIndicatorView>(hud->indicator());
  EXPECT_EQ(spinner->color(), UIColor::whiteColor());
  hud->setContentColor(UIColor::redColor());
  EXPECT_EQ(spinner->color(), UIColor::whiteColor());
  EXPECT_EQ(hud->label()->textColor(), UIColor::redColor());
  UIAppearance::resetForTesting();
}

TEST_F(HVProgressHUDTest, HidingAHudThatNeverShowedFinishesAtOnce) {
  auto hud = hudWithCounters();
  hud->hideAnimated(true);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(recorder->hidden, 1);
  EXPECT_TRUE(isAttached(hud));  // not flagged for removal
  EXPECT_EQ(hud->alpha(), 0);
  testing_loop::advance(1);
  EXPECT_EQ(completions, 1);
  // The delegate is held weakly.
  recorder.reset();
  hud->showAnimated(false);
  hud->hideAnimated(false);
  EXPECT_EQ(completions, 2);
}

}  // namespace
