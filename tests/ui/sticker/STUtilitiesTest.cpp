// Colours from strings and numbers, the enlarged button hit area, separator lines, geometry
// helpers, the screen classifier and text measuring.

#include <gtest/gtest.h>

#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"
#include "ui/sticker/NSString+STAddition.h"
#include "ui/sticker/STButton.h"
#include "ui/sticker/STGeometry.h"
#include "ui/sticker/STSlideLineButton.h"
#include "ui/sticker/UIColor+STAdditions.h"
#include "ui/sticker/UIScreen+STAddition.h"

using namespace plat;

namespace {

void expectColor(const UIColorRef& c, double r, double g, double b, double a) {
  ASSERT_TRUE(c.has_value());
  EXPECT_DOUBLE_EQ(c->red(), r);
  EXPECT_DOUBLE_EQ(c->green(), g);
  EXPECT_DOUBLE_EQ(c->blue(), b);
  EXPECT_DOUBLE_EQ(c->alpha(), a);
}

TEST(STColor, StringsParseLikeStrtolAndShortOrNonAsciiTextGivesNil) {
  expectColor(UIColor_STAdditions::st_colorWithRGBString("#2196F3"), 33 / 255.0, 150 / 255.0,
              243 / 255.0, 1);
  EXPECT_EQ(UIColor_STAdditions::st_colorWithRGBString("F4F4F4"),
            UIColor_STAdditions::st_colorWithRGBString("#F4F4F4"));
  expectColor(UIColor_STAdditions::st_colorWithRGBStringAlpha("#102030", 0.5), 16 / 255.0,
              32 / 255.0, 48 / 255.0, 0.5);
  EXPECT_FALSE(UIColor_STAdditions::st_colorWithRGBString(""));
  EXPECT_FALSE(UIColor_STAdditions::st_colorWithRGBString("#F4F"));
  EXPECT_FALSE(UIColor_STAdditions::st_colorWithRGBString("#F4F4F\xC3\xA9"));
  // Parsing stops at the first non-digit; nothing parsed reads as black.
  expectColor(UIColor_STAdditions::st_colorWithRGBString("#00FFzz"), 0, 0, 1, 1);
  expectColor(UIColor_STAdditions::st_colorWithRGBString("#zzzzzz"), 0, 0, 0, 1);
  // Only the low 24 bits of a number count.
  expectColor(UIColor_STAdditions::st_colorWithRGBHexAlpha(0xAB000000u, 0.25), 0, 0, 0, 0.25);
  expectColor(UIColor_STAdditions::st_colorWithRGBHex(0xFF8000u), 1, 128 / 255.0, 0, 1);
}

TEST(STButton, NegativeInsetsEnlargeTheHitAreaPositiveOnesNeverShrinkIt) {
  auto button = make<STButton>(CGRectMake(0, 0, 32, 32));
  button->setTouchInsets({-8, -10, -8, -10});
  EXPECT_TRUE(button->pointInside({-9, -7}, nullptr));
  EXPECT_TRUE(button->pointInside({41, 39}, nullptr));
  EXPECT_FALSE(button->pointInside({-11, 0}, nullptr));
  EXPECT_FALSE(button->pointInside({0, -9}, nullptr));
  button->setTouchInsets({5, 5, 5, 5});
  EXPECT_TRUE(button->pointInside({1, 1}, nullptr));
  EXPECT_FALSE(button->pointInside({-1, 1}, nullptr));
}

TEST(STSlideLineButton, LayoutInstallsExactlyTheLinesOfThePosition) {
  ASSERT_EQ(UIScreen::mainScreen().scale(), 2);
  auto button = make<STSlideLineButton>(CGRectMake(0, 0, 50, 44));
  button->layoutIfNeeded();
  EXPECT_TRUE(button->lineViews().empty());

  button->setLinePosition(STSlideLinePositionLeft);
  EXPECT_TRUE(button->needsLayout());
  button->layoutIfNeeded();
  ASSERT_EQ(button->lineViews().size(), 1u);
  EXPECT_EQ(button->lineViews()[0]->frame(), CGRectMake(0, 11, 0.5, 22));
  EXPECT_EQ(button->lineViews()[0]->backgroundColor(), UIColor::blackColor());

  button->setLineColor(UIColor_STAdditions::st_colorWithRGBString("#D1D1D1"));
  button->setLinePosition(STSlideLinePositionBoth);
  button->layoutIfNeeded();
  button->setNeedsLayout();
  button->layoutIfNeeded();
  ASSERT_EQ(button->lineViews().size(), 2u);
  EXPECT_EQ(button->lineViews()[1]->frame(), CGRectMake(49.5, 11, 0.5, 22));
  EXPECT_EQ(button->lineViews()[1]->backgroundColor(),
            UIColor_STAdditions::st_colorWithRGBString("#D1D1D1"));
  size_t lines = 0;
  for (auto& v : button->subviews())
    if (v->frame().size.width == 0.5) ++lines;
  EXPECT_EQ(lines, 2u);

  button->setLinePosition(7);
  button->layoutIfNeeded();
  EXPECT_TRUE(button->lineViews().empty());
}

TEST(STSlideLineButton, EveryPassRebuildsTheLinesAndTheWindowSettles) {
  testing_loop::VirtualClockScope clock;
  auto window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
  window->makeKeyAndVisible();
  struct Hide {
    std::shared_ptr<UIWindow> w;
    ~Hide() { w->setHidden(true); }
  } hide{window};
  auto button = make<STSlideLineButton>(CGRectMake(10, 10, 50, 44));
  button->setLinePosition(STSlideLinePositionBoth);
  window->addSubview(button);
  testing_loop::runUntilIdle();
  ASSERT_EQ(button->lineViews().size(), 2u);
  EXPECT_FALSE(button->needsLayout());
  auto first = button->lineViews();

  // Lines set by hand (as many as installed) are replaced by the next pass.
  std::vector<UIViewRef> byHand{make<UIView>(CGRectMake(5, 0, 3, 3)),
                                make<UIView>(CGRectMake(9, 0, 3, 3))};
  for (auto& v : first) v->removeFromSuperview();
  for (auto& v : byHand) button->addSubview(v);
  button->setLineViews(byHand);
  testing_loop::runUntilIdle();
  ASSERT_EQ(button->lineViews().size(), 2u);
  EXPECT_EQ(button->lineViews()[0]->frame(), CGRectMake(0, 11, 0.5, 22));
  EXPECT_EQ(button->lineViews()[1]->frame(), CGRectMake(49.5, 11, 0.5, 22));
  for (auto& v : byHand) EXPECT_FALSE(v->superview());
  EXPECT_EQ(button->subviews().size(), 2u);

  // A plain pass builds new lines too, and the display passes come to rest.
  auto before = button->lineViews();
  button->setNeedsLayout();
  testing_loop::runUntilIdle();
  EXPECT_NE(button->lineViews()[0], before[0]);
  EXPECT_FALSE(before[0]->superview());
  EXPECT_FALSE(button->needsLayout());
}

TEST(STGeometry, InsetClampsAtZeroAndOnePixelFollowsTheScale) {
  EXPECT_EQ(STRectInsetClamped(CGRectMake(0, 0, 10, 10), {8, 4, 8, 4}), CGRectMake(4, 8, 2, 0));
  EXPECT_EQ(STRectInsetClamped(CGRectMake(1, 2, 30, 40), {-1, 2, 3, 4}), CGRectMake(3, 1, 24, 38));
  EXPECT_DOUBLE_EQ(STScreenOnePixel(), 0.5);
}

TEST(STScreen, PhysicalSizeIsTheSameInEitherOrientation) {
  struct Case {
    double w, h;
    STScreenPhysicalSize kind;
  } cases[] = {{375, 667, STScreenPhysicalSize_4_7},   {667, 375, STScreenPhysicalSize_4_7},
               {414, 736, STScreenPhysicalSize_5_5},   {812, 375, STScreenPhysicalSize_5_8},
               {320, 480, STScreenPhysicalSize_3_5},   {320, 568, STScreenPhysicalSize_4_0},
               {390, 844, STScreenPhysicalSizeUnknown}};
  UIScreen screen;
  for (auto& c : cases) {
    screen.setBounds(CGRectMake(0, 0, c.w, c.h));
    EXPECT_EQ(UIScreen_STAddition::zui_physicalSize(screen), c.kind) << c.w << "x" << c.h;
  }
  EXPECT_FALSE(UIScreen_STAddition::st_isIPhoneX());
}

TEST(STText, MeasuringWrapsByTheModeWithinTheWidth) {
  UIFont font = UIFont::systemFontOfSize(16);
  CGSize one = NSString_STAddition::st_sizeWithFontConstrainedToSizeLineBreakMode(
      "abc", font, {1000, 1e9}, NSLineBreakByCharWrapping);
  EXPECT_GT(one.width, 0);
  EXPECT_NEAR(one.height, font.lineHeight(), 1);
  CGSize wrapped = NSString_STAddition::st_sizeWithFontConstrainedToSizeLineBreakMode(
      "abcdefghijabcdefghij", font, {40, 1e9}, NSLineBreakByCharWrapping);
  EXPECT_LE(wrapped.width, 40);
  EXPECT_GT(wrapped.height, 2 * one.height);
  EXPECT_EQ(NSString_STAddition::st_sizeWithFontConstrainedToSizeLineBreakMode(
                "", font, {100, 100}, NSLineBreakByWordWrapping),
            (CGSize{0, 0}));
}

}  // namespace
