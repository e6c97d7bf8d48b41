// The crop view's geometry (fitting, the crop area by ratio, corner, mid-line and area drags
// through touches, pinch steps, random gestures keeping the area in the image), what it draws,
// the region it cuts, and the image helpers that turn a bitmap upright and cut rectangles out
// of it.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "KRH5Plugin/TKImageView.h"
#include "KRH5Plugin/UIImage+Handler.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/uikit/Pixels.h"

using namespace plat;
using namespace testing_uikit;

namespace {

// A crop view of 300 x 400 showing a 2000 x 1000 image: its image view is 300 x 150 at y 125.
struct CropViewTest : ::testing::Test {
  void SetUp() override {
    window = make<UIWindow>(CGRectMake(0, 0, 300, 400));
    window->makeKeyAndVisible();
    view = make<TKImageView>(CGRectMake(0, 0, 300, 400));
    window->addSubview(view);
  }
  void TearDown() override { UITouchDriver::resetForTesting(); }
  // Drags in image-view coordinates.
  void drag(CGPoint from, CGPoint to) {
    UITouchDriver::drag(window, {from.x, from.y + 125}, {to.x, to.y + 125}, 6);
  }
  CGRect crop() const { return view->cropAreaView()->frame(); }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<TKImageView> view;
};

TEST_F(CropViewTest, FittingAndTheCropAreaByRatio) {
  EXPECT_EQ(view->cornerMargin(), 2);
  view->setToCropImage(twoColourImage(2000, 1000));
  EXPECT_EQ(view->imageView()->frame(), CGRectMake(0, 125, 300, 150));
  EXPECT_EQ(crop().size, CGSizeZero);  // no factor yet
  view->setInitialScaleFactor(0.8);
  view->setCropAspectRatio(1);
  EXPECT_EQ(crop(), CGRectMake(90, 15, 120, 120));
  EXPECT_EQ(view->topLeftCorner()->frame(), CGRectMake(88, 13, 20, 20));
  EXPECT_EQ(view->bottomRightCorner()->frame(), CGRectMake(192, 117, 20, 20));
  EXPECT_EQ(view->currentMinSpace(), 10);
  view->setCornerBorderInImage(true);  // the corners stay inside: 0.8 of 150 - 4
  EXPECT_NEAR(crop().size.height, 116.8, 1e-9);
  view->setCornerBorderInImage(false);

  // Mid lines only with a free ratio.
  view->setShowMidLines(true);
  EXPECT_TRUE(view->showMidLines());
  EXPECT_EQ(view->midLine(0), nullptr);
  view->setCropAspectRatio(0);
  EXPECT_EQ(crop(), CGRectMake(30, 15, 240, 120));
  ASSERT_NE(view->midLine(0), nullptr);
  EXPECT_EQ(view->midLine(0)->frame(), CGRectMake(98, -22, 44, 44));
  EXPECT_EQ(view->midLine(3)->frame(), CGRectMake(218, 38, 44, 44));
  view->setCropAspectRatio(-3);
  EXPECT_EQ(view->cropAspectRatio(), 0);

  // A tall image is fitted by its height; a tall crop view re-fits when resized.
  view->setToCropImage(twoColourImage(1000, 2000));
  EXPECT_EQ(view->imageView()->frame(), CGRectMake(50, 0, 200, 400));
  view->setFrame(CGRectMake(0, 0, 400, 300));
  EXPECT_EQ(view->imageView()->frame(), CGRectMake(125, 0, 150, 300));

  view->setNeedScaleCrop(true);
  EXPECT_NE(view->cropAreaPinch(), nullptr);
  view->setNeedScaleCrop(false);
  EXPECT_EQ(view->cropAreaPinch(), nullptr);
}

TEST_F(CropViewTest, TouchesAreClampedToTheMinimumAndTheImage) {
  view->setToCropImage(twoColourImage(2000, 1000));
  view->setInitialScaleFactor(0.8);
  view->setCropAspectRatio(0);
  ASSERT_EQ(crop(), CGRectMake(30, 15, 240, 120));

  // The top-left corner dragged past the opposite corner stops at the minimum.
  drag({38, 23}, {290, 265});
  EXPECT_EQ(crop(), CGRectMake(224, 89, 46, 46));
  EXPECT_EQ(view->bottomLeftCorner()->frame().origin.x, 222);
  EXPECT_EQ(view->topRightCorner()->frame().origin.y, 87);

  // The bottom-right corner dragged outside stops at the image's edge, the corner reaching
  // its margin beyond it.
  view->setCropAspectRatio(0);
  drag({262, 127}, {299, 270});
  EXPECT_EQ(crop(), CGRectMake(30, 15, 270, 135));
  EXPECT_EQ(CGRectGetMaxX(view->bottomRightCorner()->frame()), 302);

  // The area cannot leave the image view.
  view->setCropAspectRatio(0);
  drag({150, 75}, {400, 475});
  EXPECT_EQ(crop(), CGRectMake(60, 30, 240, 120));
  EXPECT_EQ(view->topLeftCorner()->frame().origin, CGPointMake(58, 28));
  drag({150, 75}, {-200, -300});
  EXPECT_EQ(crop().origin, CGPointZero);

  // The bottom mid line pulled far down stops short of the edge by the corner margin.
  view->setCropAspectRatio(0);
  view->setShowMidLines(true);
  drag({150, 135}, {150, 400});
  EXPECT_EQ(crop(), CGRectMake(30, 15, 240, 133));
  EXPECT_EQ(CGRectGetMaxY(view->bottomLeftCorner()->frame()), 150);
  // The top one pulled down stops at the minimum height: 10 + 2 * (20 - 4 + 2).
  drag({150, 15}, {150, 200});
  EXPECT_EQ(crop().size.height, 46);
  EXPECT_EQ(CGRectGetMaxY(crop()), 148);

  // With a ratio, a corner keeps it.
  view->setCropAspectRatio(1);
  CGRect start = crop();
  drag({CGRectGetMinX(start) + 8, CGRectGetMinY(start) + 8}, {140, 40});
  EXPECT_NEAR(crop().size.width, crop().size.height, 1e-9);
  EXPECT_EQ(CGRectGetMaxX(crop()), CGRectGetMaxX(start));
}

TEST_F(CropViewTest, PinchStepsAndTheMask) {
  view->setToCropImage(twoColourImage(2000, 1000));
  view->setInitialScaleFactor(0.8);
  view->setCropAspectRatio(0);
  // Below the minimum side, the corner drag's: 10 + 2 * 20 - 2 * 2.
  view->scaleCropArea(CGSizeMake(240, 120), 0.1);
  EXPECT_EQ(crop(), CGRectMake(127, 52, 46, 46));
  view->scaleCropArea(CGSizeMake(240, 120), 2);  // pulled in by both edges
  EXPECT_EQ(crop(), CGRectMake(0, 0, 300, 150));
  view->setCropAspectRatio(1);
  view->scaleCropArea(CGSizeMake(120, 120), 1.5);  // the height is bounded, the width follows
  EXPECT_EQ(crop(), CGRectMake(75, 0, 150, 150));

  // Two fingers spreading on the area pinch it; the area does not slide with them.
  view->setCropAspectRatio(0);
  view->setNeedScaleCrop(true);
  UITouchDriver::touchDown(window, {130, 200}, 1);
  UITouchDriver::touchDown(window, {170, 200}, 2);
  for (int i = 1; i <= 4; i++) {
    UITouchDriver::touchMove(window, {130.0 - 5 * i, 200}, 1);
    UITouchDriver::touchMove(window, {170.0 + 5 * i, 200}, 2);
  }
  EXPECT_EQ(crop(), CGRectMake(0, 0, 300, 150));  // twice the size, held by both edges
  UITouchDriver::touchUp(window, {110, 200}, 1);
  UITouchDriver::touchUp(window, {190, 200}, 2);

  view->setCropAspectRatio(1);
  CGImageRef img = UIRenderer::renderView(view, 1)->CGImage();
  uint32_t inside = img->pixelAt(140, 200), outside = img->pixelAt(40, 200);
  EXPECT_EQ(R(inside), 255u);  // red half, undarkened
  EXPECT_NEAR(double(R(outside)), 51, 3);  // 0.8 black over red
  uint32_t corner = img->pixelAt(89, 125 + 14 + 5);  // the top-left corner's vertical line
  EXPECT_GT(G(corner), 240u);
  uint32_t border = img->pixelAt(150, 125 + 16);  // the top border line
  EXPECT_GT(G(border), 180u);
  EXPECT_EQ(img->pixelAt(150, 60), 0u);  // above the image: nothing
}

TEST_F(CropViewTest, TheCropLeavesTheBorderOutAndCountsPixelsPerUnit) {
  view->setToCropImage(twoColourImage(300, 150));
  view->setInitialScaleFactor(0.8);
  view->setCropAspectRatio(1);
  view->cropAreaView()->setFrame(CGRectMake(10, 10, 104, 104));
  auto part = view->currentCroppedImage();
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->size(), CGSizeMake(100, 100));
  EXPECT_EQ(part->CGImage()->pixelAt(50, 50), 0xffff0000u);

  // An @2x source: 150 x 75 points, 300 x 150 pixels, shown at 2 view points per unit. The
  // crop from view x 150 starts at unit 75, pixel 150: the blue half.
  view->setToCropImage(twoColourImage(150, 75, 2));
  EXPECT_EQ(view->imageView()->frame(), CGRectMake(0, 125, 300, 150));
  view->cropAreaView()->setFrame(CGRectMake(148, 20, 104, 104));
  part = view->currentCroppedImage();
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->CGImage()->width(), 100u);
  EXPECT_EQ(part->CGImage()->height(), 100u);
  EXPECT_EQ(part->CGImage()->pixelAt(0, 0), 0xff0000ffu);
  EXPECT_EQ(part->CGImage()->pixelAt(99, 99), 0xff0000ffu);

  // An @3x source and an area at fractional points: the square cut is square in pixels.
  view->setToCropImage(twoColourImage(100, 50, 3));
  for (double y : {20.7, 21.1, 22.5, 23.9}) {
    view->cropAreaView()->setFrame(CGRectMake(10.3, y, 104.6, 104.6));
    part = view->currentCroppedImage();
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->CGImage()->width(), 101u) << y;
    EXPECT_EQ(part->CGImage()->height(), 101u) << y;
  }

  view->cropAreaView()->setFrame(CGRectMake(10, 10, 4, 4));  // nothing inside the border
  EXPECT_EQ(view->currentCroppedImage(), nullptr);
  EXPECT_EQ(imageAtRect(twoColourImage(10, 10), CGRectMake(20, 20, 5, 5)), nullptr);
  EXPECT_EQ(imageAtRect(nullptr, CGRectMake(0, 0, 5, 5)), nullptr);
}

// Images too thin or too small for the crop screen's square to hold a pixel inside its borders
// still cut at least one whole pixel: the largest square the image holds, about the middle.
TEST_F(CropViewTest, AThinOrTinyImageStillCutsAWholePixelSquare) {
  struct Case {
    double w, h, side;
    uint32_t topLeft, topRight;  // 0: not checked
  } cases[] = {{1000, 10, 10, 0xffff0000u, 0xff0000ffu},
               {10, 1000, 10, 0xffff0000u, 0xff0000ffu},
               {1, 5000, 1, 0, 0},
               {2, 3, 2, 0xffff0000u, 0xff0000ffu}};
  for (const Case& k : cases) {
    view->setToCropImage(twoColourImage(k.w, k.h));
    view->setMinSpace(30);
    view->setCropAreaBorderLineWidth(2);
    view->setInitialScaleFactor(0.8);
    view->setCropAspectRatio(1);
    auto part = view->currentCroppedImage();
    ASSERT_NE(part, nullptr) << k.w << "x" << k.h;
    EXPECT_EQ(part->CGImage()->width(), size_t(k.side)) << k.w << "x" << k.h;
    EXPECT_EQ(part->CGImage()->height(), size_t(k.side)) << k.w << "x" << k.h;
    if (k.topLeft) {
      EXPECT_EQ(part->CGImage()->pixelAt(0, 0), k.topLeft) << k.w << "x" << k.h;
      EXPECT_EQ(part->CGImage()->pixelAt(int(k.side) - 1, 0), k.topRight) << k.w << "x" << k.h;
    }
  }
}

// Seeded random corner drags (often far outside the image and along its edges), area drags and
// pinches on views set up as the crop screen sets its own: after every step the crop area lies
// inside the image (inside by the corner margin when the corners must stay in) and keeps the
// ratio, and the cut keeps it to the pixel.
TEST(CropViewRandom, EveryDragAndPinchKeepsTheAreaInsideTheImageAndTheRatio) {
  struct Setup {
    double imageW, imageH, ratio;
    bool cornersInImage;
  };
  const Setup setups[] = {{1600, 1200, 1, false},   {2000, 1000, 1, true},
                          {1000, 2000, 1, false},   {1200, 1600, 1.5, false},
                          {2000, 1000, 0.75, true}, {900, 1000, 2, false}};
  std::mt19937 rng(20261207);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<>(lo, hi)(rng);
  };
  int bad = 0;
  std::string first;
  for (const Setup& setup : setups) {
    // The view sits 50 points inside its window, so touches can go past every edge.
    auto window = make<UIWindow>(CGRectMake(0, 0, 400, 500));
    window->makeKeyAndVisible();
    auto view = make<TKImageView>(CGRectMake(50, 50, 300, 400));
    window->addSubview(view);
    view->setToCropImage(twoColourImage(setup.imageW, setup.imageH));
    view->setNeedScaleCrop(true);
    view->setCornerBorderInImage(setup.cornersInImage);
    view->setCropAreaCornerWidth(24);
    view->setCropAreaCornerHeight(24);
    view->setMinSpace(30);
    view->setInitialScaleFactor(0.8);
    view->setCropAspectRatio(setup.ratio);
    auto image = view->imageView();
    const double IW = image->bounds().size.width, IH = image->bounds().size.height;
    const double in = setup.cornersInImage ? view->cornerMargin() : 0, r = setup.ratio;
    auto toWindow = [&](CGPoint p) { return image->convertPointToView(p, nullptr); };
    std::shared_ptr<CornerView> corners[] = {view->topLeftCorner(), view->topRightCorner(),
                                             view->bottomLeftCorner(), view->bottomRightCorner()};
    for (int step = 0; step < 100; step++) {
      std::ostringstream what;
      what << setup.imageW << "x" << setup.imageH << " r " << r << " step " << step << ": ";
      CGRect before = view->cropAreaView()->frame();
      int action = std::uniform_int_distribution<>(0, 9)(rng);
      if (action < 6) {
        // A corner, held and moved through a few points: past the image, along one of its
        // edges, or toward the opposite corner.
        auto corner = corners[action % 4];
        CGPoint at = {CGRectGetMidX(corner->frame()), CGRectGetMidY(corner->frame())};
        what << "corner " << corner->cornerPosition() << " from " << at.x << "," << at.y;
        UITouchDriver::touchDown(window, toWindow(at));
        for (int leg = std::uniform_int_distribution<>(1, 4)(rng); leg > 0; leg--) {
          CGPoint to = {uniform(-60, IW + 60), uniform(-60, IH + 60)};
          int kind = std::uniform_int_distribution<>(0, 3)(rng);
          if (kind == 0) to.x = uniform(0, 1) < 0.5 ? uniform(-8, 0) : IW + uniform(0, 8);
          if (kind == 1) to.y = uniform(0, 1) < 0.5 ? uniform(-8, 0) : IH + uniform(0, 8);
          if (kind == 2) {  // to the opposite corner, which stops it at the minimum
            auto opposite = corners[3 - action % 4]->frame();
            to = {CGRectGetMidX(opposite), CGRectGetMidY(opposite)};
          }
          what << " to " << to.x << "," << to.y;
          for (int i = 1; i <= 3; i++)
            UITouchDriver::touchMove(
                window, toWindow({at.x + (to.x - at.x) * i / 3, at.y + (to.y - at.y) * i / 3}));
          at = to;
        }
        UITouchDriver::touchUp(window, toWindow(at));
      } else if (action < 8) {
        CGPoint from = {CGRectGetMidX(before), CGRectGetMidY(before)};
        CGPoint to = {from.x + uniform(-300, 300), from.y + uniform(-300, 300)};
        what << "area to " << to.x << "," << to.y;
        UITouchDriver::drag(window, toWindow(from), toWindow(to), 3);
      } else {
        double scale = uniform(0, 1) < 0.5 ? uniform(0.05, 1) : uniform(1, 3);
        what << "pinch " << scale;
        view->scaleCropArea(before.size, scale);
      }
      CGRect c = view->cropAreaView()->frame();
      const double eps = 1e-6;
      bool inside = CGRectGetMinX(c) >= in - eps && CGRectGetMinY(c) >= in - eps &&
                    CGRectGetMaxX(c) <= IW - in + eps && CGRectGetMaxY(c) <= IH - in + eps;
      bool keeps = std::abs(c.size.width - r * c.size.height) <= eps * c.size.width;
      bool cut = true;
      if (step % 10 == 9) {
        auto part = view->currentCroppedImage();
        // One side rounded, the other following by the ratio.
        cut = part && (part->size().height == std::round(part->size().width / r) ||
                       part->size().width == std::round(part->size().height * r));
      }
      if (!inside || !keeps || !cut) {
        if (!bad++) {
          what << " gave " << c.origin.x << "," << c.origin.y << " " << c.size.width << "x"
               << c.size.height << " in " << IW << "x" << IH << (cut ? "" : ", cut off ratio");
          first = what.str();
        }
      }
    }
    UITouchDriver::resetForTesting();
  }
  EXPECT_EQ(bad, 0) << "first: " << first;
}

// A 64 x 32 bitmap in four quadrants (red, green / blue, white) in the given orientation.
UIImageRef quadrants(UIImageOrientation orientation) {
  return UIImage::imageWithCGImage(quadrantsImage()->CGImage(), 1, orientation);
}

TEST(CropImageHandler, FixOrientationTurnsAllEightUpright) {
  // Upright corners (top left, top right, bottom left, bottom right) per orientation.
  const std::pair<UIImageOrientation, const char*> cases[] = {
      {UIImageOrientationUp, "RGBW"},           {UIImageOrientationDown, "WBGR"},
      {UIImageOrientationLeft, "GWRB"},         {UIImageOrientationRight, "BRWG"},
      {UIImageOrientationUpMirrored, "GRWB"},   {UIImageOrientationDownMirrored, "BWRG"},
      {UIImageOrientationLeftMirrored, "RBGW"}, {UIImageOrientationRightMirrored, "WGBR"}};
  for (const auto& [orientation, expected] : cases) {
    SCOPED_TRACE(orientation);
    auto source = quadrants(orientation);
    auto upright = fixOrientation(source);
    ASSERT_NE(upright, nullptr);
    EXPECT_EQ(upright->imageOrientation(), UIImageOrientationUp);
    EXPECT_EQ(upright->size(), source->size());
    if (orientation == UIImageOrientationUp) EXPECT_EQ(upright, source);
    CGImageRef bitmap = upright->CGImage();
    int w = int(bitmap->width()), h = int(bitmap->height());
    std::string corners = {colourName(bitmap->pixelAt(2, 2)), colourName(bitmap->pixelAt(w - 3, 2)),
                           colourName(bitmap->pixelAt(2, h - 3)),
                           colourName(bitmap->pixelAt(w - 3, h - 3))};
    EXPECT_EQ(corners, expected);
    // The cut is taken from the upright picture: its top-left 8 x 8 units.
    auto part = imageAtRect(source, CGRectMake(0, 0, 8, 8));
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(colourName(part->CGImage()->pixelAt(4, 4)), expected[0]);
  }
}

}  // namespace
