// Image utilities: GIF time bases, content modes, resize, crop, insets, corners and borders,
// rotations and flips, tint, grayscale and the blur core, checked by pixel probes; and two
// pictures (every utility on one photo, the content modes) written for people to look at.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "image/UIImage+HVWebImage.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/CGBitmapContext.h"
#include "platform/uikit/UIGraphics.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"

using namespace plat;
using namespace fixtures;
namespace fs = std::filesystem;

namespace {

uint32_t px(const UIImageRef& image, int x, int y) { return image->CGImage()->pixelAt(x, y); }
int channel(uint32_t p, int shift) { return int((p >> shift) & 0xff); }
// Each channel of a within `tolerance` of b's.
::testing::AssertionResult near(uint32_t a, uint32_t b, int tolerance = 2) {
  for (int shift : {24, 16, 8, 0}) {
    if (std::abs(channel(a, shift) - channel(b, shift)) > tolerance) {
      char text[64];
      std::snprintf(text, sizeof text, "%08x vs %08x", a, b);
      return ::testing::AssertionFailure() << text;
    }
  }
  return ::testing::AssertionSuccess();
}

class ImageUtilitiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousScale_ = UIGraphicsDefaultScale();
    UIGraphicsSetDefaultScale(1);
    setNSLogCaptureForTesting([this](const std::string& line) { logs_.push_back(line); });
  }
  void TearDown() override {
    setNSLogCaptureForTesting(nullptr);
    UIGraphicsSetDefaultScale(previousScale_);
  }
  std::vector<std::string> logs_;
  double previousScale_ = 1;
};

TEST_F(ImageUtilitiesTest, SmallGifFramesShareOneTimeBase) {
  // 0.04 s and 0.08 s: 2 and 4 ticks, divisor 2: frames [red, green, green] over 0.12 s.
  auto gif = HV_imageWithSmallGIFDataScale(
      gifData(2, 2, {gifSolid(0, 0, 2, 2, 1, 4), gifSolid(0, 0, 2, 2, 2, 8)}), 2);
  ASSERT_TRUE(gif);
  ASSERT_EQ(gif->images().size(), 3u);
  EXPECT_NEAR(gif->duration(), 0.12, 1e-9);
  EXPECT_TRUE(near(px(gif->images()[0], 0, 0), 0xffff0000));
  EXPECT_TRUE(near(px(gif->images()[1], 1, 1), 0xff00ff00));
  EXPECT_EQ(gif->images()[1], gif->images()[2]);  // repeated by reference
  EXPECT_DOUBLE_EQ(gif->images()[0]->scale(), 2);

  // 0.05 s is 2 ticks (2.5 rounds to even), 0.07 s is 4: divisor 2, frames 1 + 2.
  gif = HV_imageWithSmallGIFDataScale(
      gifData(2, 2, {gifSolid(0, 0, 2, 2, 1, 5), gifSolid(0, 0, 2, 2, 2, 7)}), 1);
  ASSERT_TRUE(gif);
  EXPECT_EQ(gif->images().size(), 3u);
  // Delays of 0 and 0.01 s play as 0.1 s.
  gif = HV_imageWithSmallGIFDataScale(
      gifData(2, 2, {gifSolid(0, 0, 2, 2, 1, 0), gifSolid(0, 0, 2, 2, 2, 1)}), 1);
  ASSERT_TRUE(gif);
  EXPECT_EQ(gif->images().size(), 2u);
  EXPECT_NEAR(gif->duration(), 0.2, 1e-9);

  // One frame: a still image.
  auto still = HV_imageWithSmallGIFDataScale(gifData(3, 2, {gifSolid(0, 0, 3, 2, 3, 4)}), 2);
  ASSERT_TRUE(still);
  EXPECT_TRUE(still->images().empty());
  EXPECT_EQ(still->CGImage()->width(), 3u);
  EXPECT_DOUBLE_EQ(still->scale(), 2);
  EXPECT_FALSE(HV_imageWithSmallGIFDataScale(Data::fromString("not an image"), 1));
}

TEST_F(ImageUtilitiesTest, SmallGifListStaysBoundedWhenDelaysShareNoTimeBase) {
  // 1000 frames alternating 655.35 s and 0.06 s (32768 and 3 ticks, divisor 1): the exact list
  // would hold 16 million entries.
  std::vector<GifFrame> frames;
  for (int i = 0; i < 1000; ++i)
    frames.push_back(gifSolid(0, 0, 1, 1, i % 2 ? 2 : 1, i % 2 ? 6 : 65535));
  auto gif = HV_imageWithSmallGIFDataScale(gifData(1, 1, frames), 1);
  ASSERT_TRUE(gif);
  const auto& images = gif->images();
  EXPECT_LE(images.size(), kHVSmallGIFMaxImageEntries);
  EXPECT_NEAR(gif->duration(), 500 * (655.35 + 0.06), 1e-6);
  // Every frame keeps at least one entry, in order, and the long ones keep the larger share.
  size_t red = 0, green = 0;
  int last = -1, runs = 0;
  for (const auto& image : images) {
    int colour = px(image, 0, 0) == 0xffff0000 ? 0 : 1;
    (colour ? green : red)++;
    if (colour != last) ++runs, last = colour;
  }
  EXPECT_EQ(runs, 1000);
  EXPECT_GT(red, 8 * green);
}

TEST_F(ImageUtilitiesTest, ContentModesPlaceTheImage) {
  auto red = UIImage::imageWithCGImage(solid(20, 10, 0xffff0000), 1);
  struct Case {
    UIViewContentMode mode;
    CGRect drawn;  // inside a 40 x 40 context
  } cases[] = {
      {UIViewContentModeScaleToFill, CGRectMake(0, 0, 40, 40)},
      {UIViewContentModeScaleAspectFit, CGRectMake(0, 10, 40, 20)},
      {UIViewContentModeScaleAspectFill, CGRectMake(0, 0, 40, 40)},
      {UIViewContentModeCenter, CGRectMake(10, 15, 20, 10)},
      {UIViewContentModeTop, CGRectMake(10, 0, 20, 10)},
      {UIViewContentModeBottom, CGRectMake(10, 30, 20, 10)},
      {UIViewContentModeLeft, CGRectMake(0, 15, 20, 10)},
      {UIViewContentModeRight, CGRectMake(20, 15, 20, 10)},
      {UIViewContentModeTopLeft, CGRectMake(0, 0, 20, 10)},
      {UIViewContentModeTopRight, CGRectMake(20, 0, 20, 10)},
      {UIViewContentModeBottomLeft, CGRectMake(0, 30, 20, 10)},
      {UIViewContentModeBottomRight, CGRectMake(20, 30, 20, 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    auto out = HV_imageByResizeToSizeContentMode(red, CGSizeMake(40, 40), c.mode);
    ASSERT_TRUE(out);
    for (int y = 1; y < 40; y += 2) {
      for (int x = 1; x < 40; x += 2) {
        bool inside = CGRectContainsPoint(c.drawn, CGPointMake(x + 0.5, y + 0.5));
        ASSERT_EQ(channel(px(out, x, y), 24) > 128, inside) << x << "," << y;
      }
    }
  }
  // Clipping keeps a centred image that is larger than the rectangle inside it.
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(40, 40), false, 1);
  HV_drawInRectWithContentModeClipsToBounds(red, CGRectMake(15, 15, 10, 10),
                                            UIViewContentModeCenter, true);
  auto clipped = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  EXPECT_EQ(channel(px(clipped, 16, 16), 24), 255);
  EXPECT_EQ(channel(px(clipped, 12, 20), 24), 0);
  // A rectangle that is not finite places the image nowhere: nothing is drawn.
  for (double odd : {double(NAN), double(INFINITY), -double(INFINITY)}) {
    UIGraphicsBeginImageContextWithOptions(CGSizeMake(8, 8), false, 1);
    for (int mode = 0; mode <= UIViewContentModeBottomRight; mode++) {
      for (bool clips : {false, true}) {
        HV_drawInRectWithContentModeClipsToBounds(red, CGRectMake(odd, 0, 8, 8),
                                                  UIViewContentMode(mode), clips);
        HV_drawInRectWithContentModeClipsToBounds(red, CGRectMake(0, 0, 8, odd),
                                                  UIViewContentMode(mode), clips);
      }
    }
    auto untouched = UIGraphicsGetImageFromCurrentImageContext();
    UIGraphicsEndImageContext();
    EXPECT_EQ(channel(px(untouched, 4, 4), 24), 0) << odd;
  }
  // Degenerate sizes draw nothing; no context, no crash.
  EXPECT_FALSE(HV_imageByResizeToSizeContentMode(red, CGSizeMake(0, 5), UIViewContentModeCenter));
  HV_drawInRectWithContentModeClipsToBounds(red, CGRectMake(0, 0, 5, 5), UIViewContentModeCenter,
                                            true);
}

TEST_F(ImageUtilitiesTest, ResizeCropAndInsets) {
  auto photo = UIImage::imageWithCGImage(gradient(20, 20), 2);  // 10 x 10 points
  auto crop = HV_imageByCropToRect(photo, CGRectMake(1, 2, 3, 4));
  ASSERT_TRUE(crop);
  EXPECT_EQ(crop->CGImage()->width(), 6u);  // pixels: twice the points
  EXPECT_EQ(crop->CGImage()->height(), 8u);
  EXPECT_DOUBLE_EQ(crop->scale(), 2);
  EXPECT_EQ(px(crop, 0, 0), gradientAt(2, 4));
  EXPECT_EQ(px(crop, 5, 7), gradientAt(7, 11));
  // Made integral outwards and cut to the image.
  crop = HV_imageByCropToRect(photo, CGRectMake(8.25, 9, 100, 100));
  ASSERT_TRUE(crop);
  EXPECT_EQ(crop->CGImage()->width(), 4u);
  EXPECT_EQ(px(crop, 0, 0), gradientAt(16, 18));
  EXPECT_FALSE(HV_imageByCropToRect(photo, CGRectMake(20, 20, 5, 5)));
  EXPECT_FALSE(HV_imageByCropToRect(photo, CGRectMake(0, 0, 0, 5)));
  for (double odd : {double(NAN), double(INFINITY), -double(INFINITY)}) {
    EXPECT_FALSE(HV_imageByCropToRect(photo, CGRectMake(odd, 0, 2, 2)));
    EXPECT_FALSE(HV_imageByCropToRect(photo, CGRectMake(0, odd, 2, 2)));
    EXPECT_FALSE(HV_imageByCropToRect(photo, CGRectMake(0, 0, 2, odd)));
  }

  auto resized = HV_imageByResizeToSize(photo, CGSizeMake(5, 5));
  ASSERT_TRUE(resized);
  EXPECT_EQ(resized->CGImage()->width(), 10u);
  EXPECT_FALSE(HV_imageByResizeToSize(photo, CGSizeMake(-1, 5)));
  EXPECT_FALSE(HV_imageByResizeToSize(photo, CGSizeMake(NAN, 5)));
  EXPECT_FALSE(HV_imageByResizeToSize(photo, CGSizeMake(1e9, 5)));

  auto one = UIImage::imageWithCGImage(gradient(10, 10), 1);
  auto inset = HV_imageByInsetEdgeWithColor(one, UIEdgeInsetsMake(1, 2, 3, 4), std::nullopt);
  ASSERT_TRUE(inset);
  EXPECT_EQ(inset->CGImage()->width(), 4u);
  EXPECT_EQ(inset->CGImage()->height(), 6u);
  EXPECT_EQ(px(inset, 0, 0), gradientAt(2, 1));
  // Negative insets grow the canvas; only the margins take the colour.
  auto framed =
      HV_imageByInsetEdgeWithColor(one, UIEdgeInsetsMake(-2, -2, -2, -2), UIColor::blueColor());
  ASSERT_TRUE(framed);
  EXPECT_EQ(framed->CGImage()->width(), 14u);
  EXPECT_EQ(px(framed, 0, 0), 0xff0000ffu);
  EXPECT_EQ(px(framed, 13, 7), 0xff0000ffu);
  EXPECT_EQ(px(framed, 2, 2), gradientAt(0, 0));
  EXPECT_EQ(px(framed, 11, 11), gradientAt(9, 9));
  EXPECT_FALSE(HV_imageByInsetEdgeWithColor(one, UIEdgeInsetsMake(5, 0, 5, 0), std::nullopt));
  EXPECT_FALSE(
      HV_imageByInsetEdgeWithColor(one, UIEdgeInsetsMake(-1e12, 0, 0, 0), UIColor::redColor()));
}

TEST_F(ImageUtilitiesTest, RoundedCornersAndBorders) {
  auto red = UIImage::imageWithCGImage(solid(40, 40, 0xffff0000), 1);
  auto round = HV_imageByRoundCornerRadius(red, 10);
  ASSERT_TRUE(round);
  EXPECT_EQ(channel(px(round, 0, 0), 24), 0);
  EXPECT_EQ(channel(px(round, 39, 39), 24), 0);
  EXPECT_EQ(px(round, 20, 20), 0xffff0000u);
  EXPECT_EQ(px(round, 20, 0), 0xffff0000u);

  auto bordered =
      HV_imageByRoundCornerRadiusBorderWidthBorderColor(red, 10, 4, UIColor::blueColor());
  ASSERT_TRUE(bordered);
  EXPECT_TRUE(near(px(bordered, 20, 4), 0xff0000ff, 8));
  EXPECT_TRUE(near(px(bordered, 4, 20), 0xff0000ff, 8));
  EXPECT_EQ(px(bordered, 20, 20), 0xffff0000u);
  EXPECT_EQ(channel(px(bordered, 20, 1), 24), 0);  // outside the stroke

  // One corner, named as the caller sees the image (top left is top left).
  auto one = HV_imageByRoundCornerRadiusCornersBorderWidthBorderColorBorderLineJoin(
      red, 10, UIRectCornerTopLeft, 0, std::nullopt, kCGLineJoinMiter);
  ASSERT_TRUE(one);
  EXPECT_EQ(channel(px(one, 0, 0), 24), 0);
  EXPECT_EQ(channel(px(one, 39, 0), 24), 255);
  EXPECT_EQ(channel(px(one, 0, 39), 24), 255);
  EXPECT_EQ(channel(px(one, 39, 39), 24), 255);

  // A border of half the smaller side leaves a transparent image of the same size.
  auto wide = UIImage::imageWithCGImage(solid(100, 50, 0xff00ff00), 1);
  auto empty =
      HV_imageByRoundCornerRadiusBorderWidthBorderColor(wide, 10, 25, UIColor::blackColor());
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->CGImage()->width(), 100u);
  EXPECT_EQ(empty->CGImage()->height(), 50u);
  for (int y = 0; y < 50; y += 7)
    for (int x = 0; x < 100; x += 7) ASSERT_EQ(channel(px(empty, x, y), 24), 0);
}

TEST_F(ImageUtilitiesTest, RotationsAndFlipsMovePixels) {
  const int W = 6, H = 4;
  auto photo = UIImage::imageWithCGImage(gradient(W, H), 2, UIImageOrientationUp);
  struct Case {
    const char* name;
    UIImageRef out;
    int width, height;
    std::function<uint32_t(int, int)> expected;
  } cases[] = {
      {"left", HV_imageByRotateLeft90(photo), H, W,
       [&](int x, int y) { return gradientAt(W - 1 - y, x); }},
      {"right", HV_imageByRotateRight90(photo), H, W,
       [&](int x, int y) { return gradientAt(y, H - 1 - x); }},
      {"180", HV_imageByRotate180(photo), W, H,
       [&](int x, int y) { return gradientAt(W - 1 - x, H - 1 - y); }},
      {"horizontal", HV_imageByFlipHorizontal(photo), W, H,
       [&](int x, int y) { return gradientAt(W - 1 - x, y); }},
      {"vertical", HV_imageByFlipVertical(photo), W, H,
       [&](int x, int y) { return gradientAt(x, H - 1 - y); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.out);
    ASSERT_EQ(int(c.out->CGImage()->width()), c.width);
    ASSERT_EQ(int(c.out->CGImage()->height()), c.height);
    EXPECT_DOUBLE_EQ(c.out->scale(), 2);
    for (int y = 0; y < c.height; y++)
      for (int x = 0; x < c.width; x++)
        ASSERT_TRUE(near(px(c.out, x, y), c.expected(x, y), 3)) << x << "," << y;
  }
  // Fitting a 45-degree turn grows the bitmap; without fitting the size stays.
  auto square = UIImage::imageWithCGImage(solid(10, 10, 0xff00ff00), 1);
  auto turned = HV_imageByRotateFitSize(square, M_PI / 4, true);
  ASSERT_TRUE(turned);
  EXPECT_EQ(turned->CGImage()->width(), 14u);
  EXPECT_EQ(HV_imageByRotateFitSize(square, M_PI / 4, false)->CGImage()->width(), 10u);
  EXPECT_FALSE(HV_imageByRotateFitSize(square, NAN, true));
  EXPECT_FALSE(HV_imageByRotateFitSize(square, INFINITY, false));
}

TEST_F(ImageUtilitiesTest, TintGrayscaleAndSaturation) {
  auto half = UIImage::imageWithCGImage(solid(4, 4, 0x80ffffff), 1);
  auto tinted = HV_imageByTintColor(half, UIColor::redColor());
  ASSERT_TRUE(tinted);
  EXPECT_TRUE(near(px(tinted, 1, 1), 0x80ff0000));

  auto red = UIImage::imageWithCGImage(solid(8, 8, 0xffff0000), 1);
  auto grey = HV_imageByGrayscale(red);
  ASSERT_TRUE(grey);
  EXPECT_TRUE(near(px(grey, 3, 3), 0xff363636));  // 0.2126 x 255 = 54
  EXPECT_TRUE(HV_hasAlphaChannel(grey));
  EXPECT_FALSE(HV_hasAlphaChannel(red));

  // Saturation -1 gives the complementary colour.
  auto complement = HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      red, 0, std::nullopt, kCGBlendModeNormal, -1, nullptr);
  ASSERT_TRUE(complement);
  EXPECT_TRUE(near(px(complement, 3, 3), 0xff006c6c));

  // Through a mask: the effect where the mask is opaque, the image elsewhere.
  auto maskBitmap = CGImage::create(8, 8, false);
  {
    auto c = CGBitmapContextCreate(nullptr, 8, 8, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                   kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
    CGContextSetRGBFillColor(c.get(), 0, 0, 0, 1);
    CGContextFillRect(c.get(), CGRectMake(0, 0, 4, 8));  // the left half
    maskBitmap = CGBitmapContextCreateImage(c.get());
  }
  auto masked = HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      red, 0, std::nullopt, kCGBlendModeNormal, 0, UIImage::imageWithCGImage(maskBitmap, 1));
  ASSERT_TRUE(masked);
  EXPECT_TRUE(near(px(masked, 1, 4), 0xff363636));
  EXPECT_TRUE(near(px(masked, 6, 4), 0xffff0000));
}

TEST_F(ImageUtilitiesTest, BlurCore) {
  // Nothing to do: the same pixels at scale 1.
  auto photo = UIImage::imageWithCGImage(gradient(8, 6), 2);
  auto same = HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      photo, 0, std::nullopt, kCGBlendModeNormal, 1, nullptr);
  ASSERT_TRUE(same);
  EXPECT_DOUBLE_EQ(same->scale(), 1);
  for (int y = 0; y < 6; y++)
    for (int x = 0; x < 8; x++) ASSERT_EQ(px(same, x, y), gradientAt(x, y));

  // A uniform image stays uniform; an edge is softened; any radius stays bounded.
  auto green = UIImage::imageWithCGImage(solid(16, 16, 0xff00ff00), 1);
  for (double radius : {1.0, 5.0, 60.0, 1e9, 1e300}) {
    SCOPED_TRACE(radius);
    auto blurred = HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
        green, radius, std::nullopt, kCGBlendModeNormal, 1, nullptr);
    ASSERT_TRUE(blurred);
    EXPECT_TRUE(near(px(blurred, 0, 0), 0xff00ff00, 1));
    EXPECT_TRUE(near(px(blurred, 15, 9), 0xff00ff00, 1));
  }
  auto halves = CGImage::create(16, 4, true);
  {
    auto c = CGBitmapContextCreate(nullptr, 16, 4, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                   kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little);
    CGContextSetRGBFillColor(c.get(), 1, 1, 1, 1);
    CGContextFillRect(c.get(), CGRectMake(8, 0, 8, 4));
    halves = CGBitmapContextCreateImage(c.get());
  }
  auto soft = HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      UIImage::imageWithCGImage(halves, 1), 3, std::nullopt, kCGBlendModeNormal, 1, nullptr);
  ASSERT_TRUE(soft);
  int left = channel(px(soft, 7, 2), 16), right = channel(px(soft, 8, 2), 16);
  EXPECT_GT(left, 20);
  EXPECT_LT(right, 235);
  EXPECT_LT(left, right);
  EXPECT_EQ(channel(px(soft, 0, 2), 16), 0);

  // The presets keep the size; a tint shows.
  for (auto out :
       {HV_imageByBlurSoft(green), HV_imageByBlurLight(green), HV_imageByBlurExtraLight(green),
        HV_imageByBlurDark(green), HV_imageByBlurWithTint(green, UIColor::blueColor())}) {
    ASSERT_TRUE(out);
    EXPECT_EQ(out->CGImage()->width(), 16u);
  }
  EXPECT_GT(channel(px(HV_imageByBlurWithTint(green, UIColor::blueColor()), 8, 8), 0), 100);

  // Under one point: nothing, with the message.
  auto tiny = UIImage::imageWithCGImage(solid(1, 1, 0xff000000), 2);
  EXPECT_FALSE(HV_imageByBlurLight(tiny));
  ASSERT_FALSE(logs_.empty());
  EXPECT_EQ(logs_.back().rfind("UIImage+HVAdd error: invalid size: (0.50 x 0.50). Both "
                               "dimensions must be >= 1: ",
                               0),
            0u)
      << logs_.back();
}

TEST_F(ImageUtilitiesTest, ColourAndDrawnImages) {
  auto dot = HV_imageWithColor(UIColor::redColor());
  ASSERT_TRUE(dot);
  EXPECT_EQ(px(dot, 0, 0), 0xffff0000u);
  EXPECT_FALSE(HV_imageWithColor(std::nullopt));
  EXPECT_FALSE(HV_imageWithColorSize(UIColor::redColor(), CGSizeMake(0, 3)));
  auto drawn = HV_imageWithSizeDrawBlock(CGSizeMake(4, 4), [](CGContextRef c) {
    CGContextSetRGBFillColor(c, 0, 0, 1, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 2, 4));
  });
  ASSERT_TRUE(drawn);
  EXPECT_EQ(px(drawn, 0, 0), 0xff0000ffu);
  EXPECT_EQ(channel(px(drawn, 3, 0), 24), 0);
  EXPECT_FALSE(HV_imageWithSizeDrawBlock(CGSizeMake(4, 4), nullptr));
}

// A picture to look at: a photo-like image through every utility, and the content modes.
TEST_F(ImageUtilitiesTest, PicturesOfEveryUtilityAndTheContentModes) {
  const char* out = std::getenv("LUMORA_TEST_OUTPUT");
  fs::path dir = fs::path(out ? out : fs::temp_directory_path().string()) / "image";
  // The "photo": a sky, a sun, a hill and a red house.
  auto photo = HV_imageWithSizeDrawBlock(CGSizeMake(120, 80), [](CGContextRef c) {
    for (int y = 0; y < 80; y++) {
      CGContextSetRGBFillColor(c, 0.3 + y / 200.0, 0.5 + y / 300.0, 0.95, 1);
      CGContextFillRect(c, CGRectMake(0, y, 120, 1));
    }
    CGContextSetRGBFillColor(c, 1, 0.85, 0.2, 1);
    CGContextFillEllipseInRect(c, CGRectMake(85, 8, 22, 22));
    CGContextSetRGBFillColor(c, 0.2, 0.6, 0.25, 1);
    CGContextFillEllipseInRect(c, CGRectMake(-40, 50, 200, 80));
    CGContextSetRGBFillColor(c, 0.8, 0.15, 0.1, 1);
    CGContextFillRect(c, CGRectMake(30, 38, 26, 20));
  });
  ASSERT_TRUE(photo);
  auto halfMask = HV_imageWithSizeDrawBlock(CGSizeMake(120, 80), [](CGContextRef c) {
    CGContextSetRGBFillColor(c, 0, 0, 0, 1);
    CGContextFillEllipseInRect(c, CGRectMake(20, 10, 80, 60));
  });
  std::vector<UIImageRef> tiles = {
      photo,
      HV_imageByResizeToSizeContentMode(photo, CGSizeMake(120, 80),
                                        UIViewContentModeScaleAspectFit),
      HV_imageByCropToRect(photo, CGRectMake(20, 20, 60, 40)),
      HV_imageByInsetEdgeWithColor(photo, UIEdgeInsetsMake(-8, -8, -8, -8), UIColor::orangeColor()),
      HV_imageByRoundCornerRadiusBorderWidthBorderColor(photo, 16, 3, UIColor::whiteColor()),
      HV_imageByRotateFitSize(photo, 0.4, true),
      HV_imageByRotateLeft90(photo),
      HV_imageByRotate180(photo),
      HV_imageByFlipHorizontal(photo),
      HV_imageByTintColor(photo, UIColor::colorWithRedGreenBlueAlpha(0.2, 0.4, 0.9, 1)),
      HV_imageByGrayscale(photo),
      HV_imageByBlurSoft(photo),
      HV_imageByBlurLight(photo),
      HV_imageByBlurExtraLight(photo),
      HV_imageByBlurDark(photo),
      HV_imageByBlurWithTint(photo, UIColor::redColor()),
      HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(photo, 10, std::nullopt,
                                                               kCGBlendModeNormal, 1, halfMask),
  };
  const double cell = 140;
  auto sheet = HV_imageWithSizeDrawBlock(CGSizeMake(cell * 6, cell * 3), [&](CGContextRef c) {
    CGContextSetRGBFillColor(c, 0.93, 0.93, 0.93, 1);
    CGContextFillRect(c, CGRectMake(0, 0, cell * 6, cell * 3));
    for (size_t i = 0; i < tiles.size(); i++) {
      ASSERT_TRUE(tiles[i]) << "tile " << i;
      CGRect box =
          CGRectMake(double(i % 6) * cell + 5, double(i / 6) * cell + 5, cell - 10, cell - 10);
      HV_drawInRectWithContentModeClipsToBounds(tiles[i], box, UIViewContentModeScaleAspectFit,
                                                true);
    }
  });
  ASSERT_TRUE(sheet);
  EXPECT_TRUE(CGImageWritePNGFile(sheet->CGImage(), (dir / "utilities-sheet.png").string()));

  auto grid = HV_imageWithSizeDrawBlock(CGSizeMake(4 * 110, 3 * 110), [&](CGContextRef c) {
    for (int mode = 0; mode <= 12; mode++) {
      if (mode == UIViewContentModeRedraw) continue;
      int slot = mode < 3 ? mode : mode - 1;
      CGRect box = CGRectMake((slot % 4) * 110 + 5, (slot / 4) * 110 + 5, 100, 100);
      CGContextSetRGBFillColor(c, 0.85, 0.85, 0.85, 1);
      CGContextFillRect(c, box);
      HV_drawInRectWithContentModeClipsToBounds(photo, box, UIViewContentMode(mode), true);
    }
  });
  ASSERT_TRUE(grid);
  EXPECT_TRUE(CGImageWritePNGFile(grid->CGImage(), (dir / "content-modes.png").string()));
}

}  // namespace
