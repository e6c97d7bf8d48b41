// Decoded copies, upright copies in every orientation and 32-bit buffer layouts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "image/HVBitmapCopy.h"
#include "tests/image/ImageFixtures.h"

using namespace plat;
using namespace fixtures;

namespace {

constexpr CGBitmapInfo kStandard = kCGBitmapByteOrder32Little | kCGImageAlphaPremultipliedFirst;

TEST(BitmapCopyTest, SharedColourSpaceIsOneDeviceRGBSpace) {
  const auto& space = HVSharedDeviceRGBSpace();
  ASSERT_TRUE(space);
  EXPECT_EQ(plat::CGColorSpaceGetModel(space), plat::kCGColorSpaceModelRGB);
  EXPECT_EQ(HVSharedDeviceRGBSpace(), space);
  // The buffer release callback frees what it is given (the leak checkers see the rest).
  HVCGDataProviderReleaseDataCallback(nullptr, std::malloc(64), 64);
  HVCGDataProviderReleaseDataCallback(nullptr, nullptr, 0);
}

TEST(BitmapCopyTest, DecodedCopyKeepsPixelsAndOpacity) {
  auto opaque = gradient(5, 3);
  auto copy = HVDecodedCGImageCopy(opaque, true);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy, opaque);
  EXPECT_EQ(copy->bitmapInfo(), kCGBitmapByteOrder32Little | kCGImageAlphaNoneSkipFirst);
  EXPECT_EQ(copy->pixelAt(4, 2), gradientAt(4, 2));

  auto translucent = solid(2, 2, 0x80ff0000);
  auto copy2 = HVDecodedCGImageCopy(translucent, false);
  ASSERT_TRUE(copy2);
  EXPECT_EQ(copy2->bitmapInfo(), kStandard);
  EXPECT_EQ(copy2->pixelAt(1, 1), translucent->pixelAt(1, 1));
  EXPECT_FALSE(HVDecodedCGImageCopy(nullptr, true));
}

// Where the source pixel (sx, sy) lands for each orientation of a w x h image, top-left origin.
struct Case {
  UIImageOrientation o;
  bool swap;
  std::function<std::pair<int, int>(int, int, int, int)> map;
};

TEST(BitmapCopyTest, OrientedCopyTurnsEveryOrientationUpright) {
  const int w = 30, h = 20;
  auto src = gradient(w, h);
  std::vector<Case> cases = {
      {UIImageOrientationDown, false,
       [](int x, int y, int w, int h) {
         return std::pair{w - 1 - x, h - 1 - y};
       }},
      {UIImageOrientationLeft, true,
       [](int x, int y, int w, int h) {
         return std::pair{y, w - 1 - x};
       }},
      {UIImageOrientationRight, true,
       [](int x, int y, int w, int h) {
         return std::pair{h - 1 - y, x};
       }},
      {UIImageOrientationUpMirrored, false,
       [](int x, int y, int w, int h) {
         return std::pair{w - 1 - x, y};
       }},
      {UIImageOrientationDownMirrored, false,
       [](int x, int y, int w, int h) {
         return std::pair{x, h - 1 - y};
       }},
      {UIImageOrientationLeftMirrored, true,
       [](int x, int y, int w, int h) {
         return std::pair{y, x};
       }},
      {UIImageOrientationRightMirrored, true,
       [](int x, int y, int w, int h) {
         return std::pair{h - 1 - y, w - 1 - x};
       }},
  };
  for (const auto& c : cases) {
    auto out = HVOrientedCGImageCopy(src, c.o, kStandard);
    ASSERT_TRUE(out) << c.o;
    EXPECT_EQ(out->width(), size_t(c.swap ? h : w)) << c.o;
    EXPECT_EQ(out->height(), size_t(c.swap ? w : h)) << c.o;
    int mismatches = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        auto [dx, dy] = c.map(x, y, w, h);
        if (out->pixelAt(dx, dy) != gradientAt(x, y)) ++mismatches;
      }
    EXPECT_EQ(mismatches, 0) << "orientation " << c.o;
  }
  EXPECT_EQ(HVOrientedCGImageCopy(src, UIImageOrientationUp, kStandard), src);
  // Up needs no conversion: the image itself, whatever layout is asked for.
  EXPECT_EQ(HVOrientedCGImageCopy(src, UIImageOrientationUp, kCGImageAlphaOnly), src);
  EXPECT_EQ(HVOrientedCGImageCopy(src, UIImageOrientationUp,
                                  kCGBitmapByteOrder16Little | kCGImageAlphaPremultipliedFirst),
            src);
  // Unsupported layouts give nothing.
  EXPECT_FALSE(HVOrientedCGImageCopy(src, UIImageOrientationRight, kCGImageAlphaOnly));
  EXPECT_FALSE(HVOrientedCGImageCopy(src, UIImageOrientationRight,
                                     kCGBitmapByteOrder16Little | kCGImageAlphaPremultipliedFirst));
  // An opaque request drops alpha.
  auto noAlpha = HVOrientedCGImageCopy(solid(4, 2, 0x80ffffff), UIImageOrientationDown,
                                       kCGImageAlphaNoneSkipFirst);
  ASSERT_TRUE(noAlpha);
  EXPECT_TRUE(noAlpha->isOpaque());
  EXPECT_FALSE(HVTransformedCGImageCopy(src, CGAffineTransformIdentity, 0.4, 10, kStandard));
  // Sizes past what a bitmap holds are refused, also those that wrap to a small int.
  for (double side : {4294967306.0, 1e300, std::numeric_limits<double>::infinity()}) {
    EXPECT_FALSE(HVTransformedCGImageCopy(src, CGAffineTransformIdentity, side, 4, kStandard));
    EXPECT_FALSE(HVTransformedCGImageCopy(src, CGAffineTransformIdentity, 4, side, kStandard));
  }
}

TEST(BitmapCopyTest, BufferLayoutsFollowTheBitmapInfo) {
  auto img = solid(3, 2, 0x80ff4020);  // premultiplied: a 0x80, r 0x80, g 0x20, b 0x10
  struct Want {
    CGBitmapInfo info;
    uint8_t bytes[4];
  };
  std::vector<Want> wants = {
      {kCGBitmapByteOrder32Little | kCGImageAlphaPremultipliedFirst, {0x10, 0x20, 0x80, 0x80}},
      {kCGBitmapByteOrderDefault | kCGImageAlphaPremultipliedFirst, {0x80, 0x80, 0x20, 0x10}},
      {kCGBitmapByteOrder32Big | kCGImageAlphaPremultipliedLast, {0x80, 0x20, 0x10, 0x80}},
      {kCGBitmapByteOrder32Little | kCGImageAlphaPremultipliedLast, {0x80, 0x10, 0x20, 0x80}},
      {kCGBitmapByteOrderDefault | kCGImageAlphaFirst, {0x80, 0xff, 0x40, 0x20}},
      {kCGBitmapByteOrderDefault | kCGImageAlphaLast, {0xff, 0x40, 0x20, 0x80}},
      {kCGBitmapByteOrderDefault | kCGImageAlphaNoneSkipFirst, {0xff, 0x80, 0x20, 0x10}},
  };
  for (const auto& want : wants) {
    vImage_Buffer buf;
    ASSERT_TRUE(HVCGImageToARGBBuffer(img, &buf, want.info)) << want.info;
    EXPECT_EQ(buf.width, 3u);
    EXPECT_EQ(buf.height, 2u);
    auto* p = static_cast<uint8_t*>(buf.data) + buf.rowBytes + 4;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(p[k], want.bytes[k], 1) << want.info << " byte " << k;
    std::free(buf.data);
  }
  vImage_Buffer buf;
  EXPECT_FALSE(HVCGImageToARGBBuffer(img, &buf, kCGImageAlphaOnly));
  EXPECT_FALSE(HVCGImageToARGBBuffer(img, &buf, kCGImageAlphaNone));
  EXPECT_FALSE(
      HVCGImageToARGBBuffer(img, &buf, kCGBitmapByteOrder16Big | kCGImageAlphaPremultipliedFirst));
  EXPECT_FALSE(HVCGImageToARGBBuffer(nullptr, &buf, kStandard));
}

}  // namespace
