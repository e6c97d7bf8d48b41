// The HUD's indicator and background views: when they ask for a redraw, what they draw (pixel
// probes, no fonts involved), and their sizes. Also writes a PNG of every HUD mode.

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "platform/uikit/UIRenderer.h"
#include "testing/loop/Pump.h"
#include "ui/hud/HVProgressHUD.h"
#include "ui/hud/sd_HBProgressHUD.h"

using namespace plat;

namespace {

uint32_t alphaOf(uint32_t argb) { return argb >> 24; }
uint32_t redOf(uint32_t argb) { return (argb >> 16) & 0xff; }
uint32_t blueOf(uint32_t argb) { return argb & 0xff; }

CGImageRef render(const UIViewRef& v) { return UIRenderer::renderView(v, 1)->CGImage(); }

std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  return std::string(env && *env ? env : "test-output") + "/ui/hud/";
}

TEST(HUDViewsTest, RedrawRequests) {
  auto round = make<HVRoundProgressView>();
  EXPECT_EQ(round->frame(), CGRectMake(0, 0, 37, 37));
  EXPECT_EQ(round->intrinsicContentSize(), CGSizeMake(37, 37));
  round->displayIfNeeded();
  round->setProgress(0);  // unchanged
  EXPECT_FALSE(round->needsDisplay());
  round->setProgress(0.5f);
  EXPECT_TRUE(round->needsDisplay());
  round->displayIfNeeded();
  round->setProgressTintColor(UIColor::colorWithWhiteAlpha(1, 1));  // equal colour
  round->setAnnular(true);  // stored only
  EXPECT_FALSE(round->needsDisplay());
  round->setBackgroundTintColor(UIColor::redColor());
  EXPECT_TRUE(round->needsDisplay());

  auto bar = make<HVBarProgressView>();
  EXPECT_EQ(bar->frame().size, CGSizeMake(120, 20));
  EXPECT_EQ(bar->intrinsicContentSize(), CGSizeMake(120, 10));
  bar->displayIfNeeded();
  bar->setLineColor(UIColor::redColor());
  EXPECT_FALSE(bar->needsDisplay());
  bar->setProgressRemainingColor(UIColor::clearColor());  // equal
  EXPECT_FALSE(bar->needsDisplay());
  bar->setProgressColor(UIColor::blueColor());
  EXPECT_TRUE(bar->needsDisplay());
}

TEST(HUDViewsTest, RingShowsOnlyTheFaintCircleAtZeroAndTheArcAfter) {
  auto round = make<HVRoundProgressView>();
  round->setAnnular(true);
  round->setProgressTintColor(UIColor::redColor());
  round->setBackgroundTintColor(UIColor::blueColor().colorWithAlphaComponent(0.5));
  CGImageRef img = render(round);
  uint32_t top = img->pixelAt(18, 1);
  EXPECT_NEAR(alphaOf(top), 128, 20);
  EXPECT_GT(blueOf(top), 200u);
  EXPECT_EQ(redOf(top), 0u);
  EXPECT_EQ(alphaOf(img->pixelAt(18, 18)), 0u);

  round->setProgress(0.25f);  // from the top, clockwise to the right
  img = render(round);
  uint32_t upperRight = img->pixelAt(31, 6);
  EXPECT_GT(redOf(upperRight), 200u);
  EXPECT_GT(alphaOf(upperRight), 200u);
  uint32_t lowerLeft = img->pixelAt(6, 31);
  EXPECT_EQ(redOf(lowerLeft), 0u);
  EXPECT_GT(blueOf(lowerLeft), 200u);

  // Progress far out of range draws a full ring (or nothing), promptly.
  round->setProgress(1e30f);
  EXPECT_GT(redOf(render(round)->pixelAt(6, 31)), 200u);
  round->setProgress(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(redOf(render(round)->pixelAt(31, 6)), 0u);
}

TEST(HUDViewsTest, PieStrokesTheOutlineAndTheProgressArcOpaquely) {
  auto round = make<HVRoundProgressView>();
  round->setProgressTintColor(UIColor::redColor().colorWithAlphaComponent(0.5));
  CGImageRef img = render(round);
  EXPECT_GT(alphaOf(img->pixelAt(18, 1)), 100u);  // outline
  EXPECT_EQ(alphaOf(img->pixelAt(33, 18)), 0u);   // no progress yet
  EXPECT_EQ(alphaOf(img->pixelAt(18, 18)), 0u);   // nothing filled

  round->setProgress(0.5f);  // right half
  img = render(round);
  uint32_t right = img->pixelAt(33, 18);
  EXPECT_GT(redOf(right), 200u);
  EXPECT_NEAR(alphaOf(right), 128, 10);  // copied, not darkened by blending over the outline
  EXPECT_EQ(alphaOf(img->pixelAt(4, 18)), 0u);
}

TEST(HUDViewsTest, PieArcIsCopiedIntoItsOwnBackingNotThroughWhatLiesBeneath) {
  // A half-transparent tint over an opaque blue host: the arc blends over the blue instead
  // of replacing it with a see-through hole.
  auto host = make<UIView>(CGRectMake(0, 0, 60, 60));
  host->setBackgroundColor(UIColor::blueColor());
  auto round = make<HVRoundProgressView>();
  round->setFrame(CGRectMake(10, 10, 37, 37));
  round->setBackgroundColor(UIColor::greenColor());  // the view's own background, too
  round->setProgressTintColor(UIColor::redColor().colorWithAlphaComponent(0.5));
  round->setProgress(0.5f);
  host->addSubview(round);
  CGImageRef img = render(host);
  uint32_t arc = img->pixelAt(10 + 33, 10 + 18);
  EXPECT_EQ(alphaOf(arc), 255u);
  EXPECT_NEAR(redOf(arc), 128, 10);
  EXPECT_LT(blueOf(arc), 10u);  // red over the green background, not over a hole to the host
  EXPECT_EQ(alphaOf(img->pixelAt(2, 2)), 255u);
  EXPECT_EQ(blueOf(img->pixelAt(2, 2)), 255u);

  // Without a background of its own, the arc lies over the host.
  round->setBackgroundColor(UIColor::clearColor());
  arc = render(host)->pixelAt(10 + 33, 10 + 18);
  EXPECT_EQ(alphaOf(arc), 255u);
  EXPECT_NEAR(redOf(arc), 128, 10);
  EXPECT_NEAR(blueOf(arc), 128, 10);
}

TEST(HUDViewsTest, BarFillsTheLeftCapForTinyProgressAndOutlinesInTheLineColour) {
  auto bar = make<HVBarProgressView>();
  bar->setLineColor(UIColor::blueColor());
  bar->setProgressColor(UIColor::redColor());
  CGImageRef img = render(bar);
  EXPECT_GT(blueOf(img->pixelAt(60, 2)), 200u);  // outline
  EXPECT_EQ(alphaOf(img->pixelAt(8, 10)), 0u);   // no progress at 0
  bar->setProgress(0.01f);
  img = render(bar);
  EXPECT_GT(redOf(img->pixelAt(8, 10)), 200u);  // whole left cap
  EXPECT_EQ(alphaOf(img->pixelAt(20, 10)), 0u);
  bar->setProgress(0.5f);
  img = render(bar);
  EXPECT_GT(redOf(img->pixelAt(55, 10)), 200u);
  EXPECT_EQ(alphaOf(img->pixelAt(65, 10)), 0u);
  bar->setProgress(1.0f);
  img = render(bar);
  EXPECT_GT(redOf(img->pixelAt(112, 10)), 200u);  // into the right cap
}

TEST(HUDViewsTest, BackgroundViewKeepsOneEffectViewAcrossStyleChanges) {
  auto bg = make<HVBackgroundView>(CGRectMake(0, 0, 50, 50));
  EXPECT_EQ(bg->style(), HVHUDBackgroundBlur);
  EXPECT_EQ(bg->blurEffectStyle(), UIBlurEffectStyleSystemThickMaterial);
  EXPECT_TRUE(bg->clipsToBounds());
  ASSERT_TRUE(bg->effectView());
  EXPECT_EQ(bg->subviews().front(), bg->effectView());
  bg->setStyle(HVHUDBackgroundSolidColor);
  EXPECT_FALSE(bg->effectView());
  bg->setStyle(HVHUDBackgroundBlur);
  int effects = 0;
  for (auto& s : bg->subviews()) effects += std::dynamic_pointer_cast<UIVisualEffectView>(s) != nullptr;
  EXPECT_EQ(effects, 1);
  bg->setColor(UIColor::redColor());
  EXPECT_EQ(bg->backgroundColor(), UIColor::redColor());
  EXPECT_EQ(bg->intrinsicContentSize(), CGSizeZero);
}

TEST(HUDViewsTest, RoundedButtonTakesRoomOnlyWithActionAndTitle) {
  auto button = make<HVProgressHUDRoundedButton>();
  EXPECT_EQ(button->layer()->borderWidth(), 1);
  EXPECT_EQ(button->intrinsicContentSize(), CGSizeZero);
  button->setTitleForState("Cancel", UIControlStateNormal);
  EXPECT_EQ(button->intrinsicContentSize(), CGSizeZero);
  button->addTargetActionForControlEvents(nullptr, [](UIControl&) {}, UIControlEventTouchUpInside);
  CGSize plain = button->UIButton::intrinsicContentSize();
  EXPECT_EQ(button->intrinsicContentSize(), CGSizeMake(plain.width + 20, plain.height));
  button->setTitleColorForState(UIColor::redColor(), UIControlStateNormal);
  EXPECT_EQ(button->layer()->borderColor(), UIColor::redColor().CGColor());
  button->setHighlighted(true);
  EXPECT_EQ(button->backgroundColor(), UIColor::redColor().colorWithAlphaComponent(0.1));
  button->setHighlighted(false);
  EXPECT_EQ(button->backgroundColor(), UIColor::clearColor());
  button->setFrame(CGRectMake(0, 0, 80, 25));
  button->layoutIfNeeded();
  EXPECT_EQ(button->layer()->cornerRadius(), 13);
}

template <class HUD>
void renderEveryMode(const std::string& prefix) {
  testing_loop::VirtualClockScope clock;
  struct Case {
    HVProgressHUDMode mode;
    const char* name;
  } cases[] = {{HVHUDModeSpinner, "spinner"}, {HVHUDModeRound, "round"}, {HVHUDModeBar, "bar"},
               {HVHUDModeRing, "ring"},       {HVHUDModeCustomView, "custom"},
               {HVHUDModeText, "text"}};
  for (const auto& c : cases) {
    auto host = make<UIView>(CGRectMake(0, 0, 320, 480));
    host->setBackgroundColor(UIColor::colorWithRedGreenBlueAlpha(0.2, 0.4, 0.8, 1));
    auto hud = HUD::showHUDAddedToAnimated(host, false);
    if (c.mode == HVHUDModeCustomView) {
      auto custom = make<UIView>(CGRectMake(0, 0, 30, 30));
      custom->setBackgroundColor(UIColor::redColor());
      hud->setCustomView(custom);
    }
    hud->setMode(c.mode);
    hud->setProgress(0.6f);
    if (c.mode == HVHUDModeText || c.mode == HVHUDModeCustomView) {
      hud->label()->setText("Done");
      hud->detailsLabel()->setText("Everything was saved.");
    }
    auto image = UIRenderer::renderView(host);
    ASSERT_TRUE(image) << c.name;
    EXPECT_TRUE(CGImageWritePNGFile(image->CGImage(), outputDir() + prefix + "-" + c.name + ".png"));
    // The bezel's light tint covers the middle; the host shows at the corner.
    CGRect bezel = hud->bezelViewBase()->frame();
    uint32_t corner = image->CGImage()->pixelAt(4, 4);
    uint32_t inBezel = image->CGImage()->pixelAt(int(bezel.origin.x * 2 + 4),
                                                  int(bezel.origin.y * 2 + 4));
    EXPECT_LT(redOf(corner), 80u) << c.name;
    EXPECT_GT(redOf(inBezel), 180u) << c.name;
  }
}

TEST(HUDViewsTest, EveryModeOfBothHudsRendersToPng) {
  renderEveryMode<HVProgressHUD>("HVProgressHUD");
  renderEveryMode<sd_HBProgressHUD>("sd_HBProgressHUD");
}

}  // namespace
