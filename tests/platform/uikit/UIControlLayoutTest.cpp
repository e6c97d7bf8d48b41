// Where buttons put their image and title, image views' content modes and highlighted images,
// and toolbars drawn as tints.

#include <gtest/gtest.h>

#include <cmath>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIVisualEffectView.h"

using namespace plat;

namespace {

UIImageRef square(double side, UIColor c) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(side, side), false, 1);
  c.setFill();
  CGContextFillRect(UIGraphicsGetCurrentContext(), CGRectMake(0, 0, side, side));
  auto img = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return img;
}

TEST(UIControlLayoutTest, ButtonPlacesImageThenTitle) {
  auto button = make<UIButton>(CGRectMake(0, 0, 200, 44));
  button->setImageForState(square(20, UIColor::redColor()), UIControlStateNormal);
  button->setTitleForState("Go", UIControlStateNormal);
  button->layoutIfNeeded();
  CGRect image = button->imageView()->frame();
  CGRect title = button->titleLabel()->frame();
  CGSize titleSize = button->titleLabel()->intrinsicContentSize();
  double content = 20 + titleSize.width;
  EXPECT_EQ(image, CGRectMake((200 - content) / 2, 12, 20, 20));
  EXPECT_EQ(title.origin.x, CGRectGetMaxX(image));
  EXPECT_EQ(title.origin.y, (44 - titleSize.height) / 2);
  EXPECT_EQ(button->intrinsicContentSize(),
            CGSizeMake(content, std::max(20.0, titleSize.height)));

  button->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentLeft);
  button->setContentEdgeInsets(UIEdgeInsetsMake(0, 10, 0, 0));
  button->setImageEdgeInsets(UIEdgeInsetsMake(0, 0, 0, 5));
  button->layoutIfNeeded();
  EXPECT_EQ(button->imageView()->frame().origin.x, 10);
  EXPECT_EQ(button->imageView()->frame().size.width, 15);
  EXPECT_EQ(button->titleLabel()->frame().origin.x, 30);

  // A state image replaces the normal one while that state lasts.
  auto selected = square(10, UIColor::blueColor());
  button->setImageForState(selected, UIControlStateSelected);
  button->setSelected(true);
  EXPECT_EQ(button->imageView()->image(), selected);
  button->setSelected(false);
  EXPECT_NE(button->imageView()->image(), selected);
}

TEST(UIControlLayoutTest, TitleInsetsMoveTheTitleWithoutShorteningIt) {
  auto button = make<UIButton>(CGRectMake(0, 0, 80, 30));
  button->setTitleForState("Sort", UIControlStateNormal);
  button->setTitleColorForState(UIColor::blackColor(), UIControlStateNormal);
  button->setBackgroundColor(UIColor::whiteColor());
  button->titleLabel()->setFont(UIFont::boldSystemFontOfSize(12));
  button->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentLeft);
  button->setTitleEdgeInsets(UIEdgeInsetsMake(0, 15, 0, 0));
  button->layoutIfNeeded();
  double textWidth = button->titleLabel()->intrinsicContentSize().width;
  EXPECT_EQ(button->titleLabel()->frame().origin.x, 15);
  EXPECT_EQ(button->titleLabel()->frame().size.width, textWidth);

  // The whole word is drawn from x 15 on: ink reaches past three quarters of its width.
  auto img = UIRenderer::renderView(button, 1)->CGImage();
  int first = -1, last = -1;
  for (int x = 0; x < 80; ++x)
    for (int y = 0; y < 30; ++y)
      if (((img->pixelAt(x, y) >> 8) & 0xff) < 100) {
        if (first < 0) first = x;
        last = x;
      }
  EXPECT_GE(first, 15);
  EXPECT_LE(first, 17);
  EXPECT_GT(last - first, textWidth * 0.75);

  // Centred, a left inset moves the title by half of it; right-aligned, a right inset moves it
  // left by all of it.
  button->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentCenter);
  button->layoutIfNeeded();
  EXPECT_NEAR(button->titleLabel()->frame().origin.x, 15 + (65 - textWidth) / 2, 1e-9);
  button->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentRight);
  button->setTitleEdgeInsets(UIEdgeInsetsMake(0, 0, 0, 10));
  button->layoutIfNeeded();
  EXPECT_NEAR(CGRectGetMaxX(button->titleLabel()->frame()), 70, 1e-9);
  // Only a title wider than the moved area is cut short.
  button->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentLeft);
  button->setTitleEdgeInsets(UIEdgeInsetsMake(0, 70, 0, 0));
  button->layoutIfNeeded();
  EXPECT_EQ(button->titleLabel()->frame().size.width, 10);
}

TEST(UIControlLayoutTest, AButtonDrawsItsTitleOnlyInsideItsBounds) {
  auto host = make<UIView>(CGRectMake(0, 0, 120, 40));
  host->setBackgroundColor(UIColor::whiteColor());
  auto button = make<UIButton>(CGRectMake(40, 10, 40, 20));
  button->setTitleForState("A title far wider than its button", UIControlStateNormal);
  button->setTitleColorForState(UIColor::blackColor(), UIControlStateNormal);
  host->addSubview(button);
  host->layoutIfNeeded();
  EXPECT_EQ(button->titleLabel()->frame(), CGRectMake(0, 0, 40, 20));
  auto img = UIRenderer::renderView(host, 1)->CGImage();
  int inside = 0, outside = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 120; ++x)
      if (((img->pixelAt(x, y) >> 8) & 0xff) < 100)
        (x >= 40 && x < 80 && y >= 10 && y < 30 ? inside : outside)++;
  EXPECT_GT(inside, 20);
  EXPECT_EQ(outside, 0);
  // A button without size shows no title at all.
  button->setFrame(CGRectMake(60, 20, 0, 0));
  host->layoutIfNeeded();
  EXPECT_EQ(button->titleLabel()->frame().size, CGSizeZero);
}

TEST(UIControlLayoutTest, ImageViewContentModesAndHighlight) {
  CGRect b = CGRectMake(0, 0, 100, 50);
  CGSize s = CGSizeMake(20, 10);
  EXPECT_EQ(UIContentModeRect(UIViewContentModeScaleToFill, b, s), b);
  EXPECT_EQ(UIContentModeRect(UIViewContentModeScaleAspectFit, b, s), CGRectMake(0, 0, 100, 50));
  EXPECT_EQ(UIContentModeRect(UIViewContentModeScaleAspectFit, b, CGSizeMake(10, 10)),
            CGRectMake(25, 0, 50, 50));
  EXPECT_EQ(UIContentModeRect(UIViewContentModeScaleAspectFill, b, CGSizeMake(10, 10)),
            CGRectMake(0, -25, 100, 100));
  EXPECT_EQ(UIContentModeRect(UIViewContentModeCenter, b, s), CGRectMake(40, 20, 20, 10));
  EXPECT_EQ(UIContentModeRect(UIViewContentModeBottomRight, b, s), CGRectMake(80, 40, 20, 10));

  auto view = make<UIImageView>(square(10, UIColor::redColor()));
  view->setHighlightedImage(square(10, UIColor::blueColor()));
  EXPECT_EQ(view->intrinsicContentSize(), CGSizeMake(10, 10));
  EXPECT_EQ(UIRenderer::renderView(view, 1)->CGImage()->pixelAt(5, 5), 0xffff0000u);
  view->setHighlighted(true);
  EXPECT_EQ(UIRenderer::renderView(view, 1)->CGImage()->pixelAt(5, 5), 0xff0000ffu);
  view->setImage(nullptr);
  view->setHighlightedImage(nullptr);
  EXPECT_EQ(view->intrinsicContentSize(), CGSizeMake(UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric));
  view->setAnimationImages({square(4, UIColor::greenColor())});
  view->startAnimating();
  EXPECT_TRUE(view->isAnimating());
  EXPECT_EQ(UIRenderer::renderView(view, 1)->CGImage()->pixelAt(5, 5), 0xff00ff00u);
}

TEST(UIControlLayoutTest, ToolbarsAndBlursAreFlatTints) {
  auto toolbar = make<UIToolbar>(CGRectMake(0, 0, 40, 20));
  toolbar->setBarTintColor(UIColor::redColor());
  toolbar->setTranslucent(false);
  EXPECT_EQ(UIRenderer::renderView(toolbar, 1)->CGImage()->pixelAt(10, 10), 0xffff0000u);
  toolbar->setTranslucent(true);
  uint32_t p = UIRenderer::renderView(toolbar, 1)->CGImage()->pixelAt(10, 10);
  EXPECT_LT(p >> 24, 255u);
  EXPECT_GT(p >> 24, 150u);

  auto light = make<UIVisualEffectView>(UIBlurEffect::effectWithStyle(UIBlurEffectStyleLight));
  light->setFrame(CGRectMake(0, 0, 20, 20));
  ASSERT_TRUE(light->contentView());
  EXPECT_EQ(light->contentView()->frame(), light->bounds());
  uint32_t q = UIRenderer::renderView(light, 1)->CGImage()->pixelAt(10, 10);
  EXPECT_GT((q >> 16) & 0xff, 200u);
}

}  // namespace
