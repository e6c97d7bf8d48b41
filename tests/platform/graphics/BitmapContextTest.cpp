// Bitmap contexts over visible memory, cropping, clipping to a mask, interpolation quality and
// vImage buffers to and from images.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/foundation/NSLog.h"
#include "platform/graphics/AccelerateBuffers.h"
#include "platform/graphics/CGBitmapContext.h"

using namespace plat;

namespace {

constexpr CGBitmapInfo kPremultipliedLittle =
    kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;
constexpr CGBitmapInfo kSkipFirstLittle = kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little;

uint32_t word(const void* data, size_t rowBytes, int x, int y) {
  uint32_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(data) + y * rowBytes + x * 4, 4);
  return v;
}

// A 4 x 3 image whose pixel (x, y) is opaque with red x * 60 and green y * 100.
CGImageRef numbered() {
  auto c = CGBitmapContextCreate(nullptr, 4, 3, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                 kSkipFirstLittle);
  auto* d = static_cast<uint8_t*>(CGBitmapContextGetData(c.get()));
  for (int y = 0; y < 3; y++)
    for (int x = 0; x < 4; x++) {
      uint32_t p = 0xff000000u | uint32_t(x * 60) << 16 | uint32_t(y * 100) << 8;
      std::memcpy(d + y * CGBitmapContextGetBytesPerRow(c.get()) + x * 4, &p, 4);
    }
  return CGBitmapContextCreateImage(c.get());
}

class BitmapContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setNSLogCaptureForTesting([this](const std::string& l) { logs_.push_back(l); });
  }
  void TearDown() override { setNSLogCaptureForTesting(nullptr); }
  std::vector<std::string> logs_;
};

TEST_F(BitmapContextTest, LayoutsDataAndLimits) {
  auto rgb = CGColorSpaceCreateDeviceRGB();
  for (CGBitmapInfo info : {CGBitmapInfo(kCGImageAlphaPremultipliedFirst), kPremultipliedLittle,
                            kSkipFirstLittle}) {
    SCOPED_TRACE(info);
    auto c = CGBitmapContextCreate(nullptr, 3, 2, 8, 0, rgb, info);
    ASSERT_TRUE(c);
    EXPECT_EQ(CGBitmapContextGetBytesPerRow(c.get()), 12u);
    // The layout used is reported; memory holds B, G, R, A.
    EXPECT_EQ(CGBitmapContextGetBitmapInfo(c.get()) & kCGBitmapByteOrderMask,
              kCGBitmapByteOrder32Little);
    CGContextSetRGBFillColor(c.get(), 1, 0, 0, 1);
    CGContextFillRect(c.get(), CGRectMake(0, 0, 1, 1));  // y up: the bottom-left pixel
    auto* d = static_cast<uint8_t*>(CGBitmapContextGetData(c.get()));
    const uint8_t* bottomLeft = d + 12;
    EXPECT_EQ(bottomLeft[2], 255);
    EXPECT_EQ(bottomLeft[0], 0);
    if ((info & kCGBitmapAlphaInfoMask) == kCGImageAlphaPremultipliedFirst) {
      EXPECT_EQ(bottomLeft[3], 255);
      EXPECT_EQ(d[3], 0);  // untouched pixels are transparent
    }
    // Writing the memory changes what the context's image shows.
    std::memset(d, 0xff, 4);
    EXPECT_EQ(CGBitmapContextCreateImage(c.get())->pixelAt(0, 0), 0xffffffffu);
  }

  // Caller memory with a longer row: drawing lands in it, the padding stays.
  std::vector<uint8_t> memory(20 * 2, 0xab);
  auto c = CGBitmapContextCreate(memory.data(), 4, 2, 8, 20, rgb, kPremultipliedLittle);
  ASSERT_TRUE(c);
  EXPECT_EQ(CGBitmapContextGetData(c.get()), memory.data());
  CGContextSetRGBFillColor(c.get(), 0, 0, 1, 1);
  CGContextFillRect(c.get(), CGRectMake(0, 0, 4, 2));
  EXPECT_EQ(word(memory.data(), 20, 3, 1), 0xff0000ffu);
  EXPECT_EQ(memory[16], 0xab);
  c.reset();
  EXPECT_EQ(memory[0], 0xff);  // the memory outlives the context

  // Refused: zero or too large sides, other layouts, short or odd rows.
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 0, 2, 8, 0, rgb, kPremultipliedLittle));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 32768, 1, 8, 0, rgb, kPremultipliedLittle));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 1, 32768, 8, 0, rgb, kPremultipliedLittle));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 16, 0, rgb, kPremultipliedLittle));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 8, 0, rgb, kCGImageAlphaLast));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 8, 12, rgb, kPremultipliedLittle));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 8, 18, rgb, kPremultipliedLittle));
  EXPECT_EQ(logs_.size(), 7u);
  EXPECT_FALSE(CGBitmapContextCreate(32768, 1));
}

TEST_F(BitmapContextTest, CropIsIntegralOutwardAndIntersected) {
  CGImageRef image = numbered();
  auto part = CGImageCreateWithImageInRect(image, CGRectMake(1.5, 0.25, 1, 1));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->width(), 2u);  // x 1..3
  EXPECT_EQ(part->height(), 2u);  // y 0..2
  EXPECT_EQ(part->pixelAt(0, 0), image->pixelAt(1, 0));
  EXPECT_EQ(part->pixelAt(1, 1), image->pixelAt(2, 1));
  part = CGImageCreateWithImageInRect(image, CGRectMake(-5, 2, 100, 100));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->width(), 4u);
  EXPECT_EQ(part->height(), 1u);
  EXPECT_EQ(part->pixelAt(3, 0), image->pixelAt(3, 2));
  EXPECT_FALSE(CGImageCreateWithImageInRect(image, CGRectMake(4, 0, 2, 2)));
  EXPECT_FALSE(CGImageCreateWithImageInRect(image, CGRectMake(1, 1, 0, 0)));
  EXPECT_FALSE(CGImageCreateWithImageInRect(nullptr, CGRectMake(0, 0, 1, 1)));
}

TEST_F(BitmapContextTest, ClipToMaskByAlphaOrGreyAndInterpolation) {
  auto rgb = CGColorSpaceCreateDeviceRGB();
  // Mask with alpha: left half opaque. Mask without: right half white.
  auto a = CGBitmapContextCreate(nullptr, 4, 4, 8, 0, rgb, kPremultipliedLittle);
  CGContextSetRGBFillColor(a.get(), 0, 0, 0, 1);
  CGContextFillRect(a.get(), CGRectMake(0, 0, 2, 4));
  auto g = CGBitmapContextCreate(nullptr, 4, 4, 8, 0, rgb, kSkipFirstLittle);
  CGContextSetRGBFillColor(g.get(), 1, 1, 1, 1);
  CGContextFillRect(g.get(), CGRectMake(2, 0, 2, 4));
  struct Case {
    CGImageRef mask;
    bool leftShows;
  } cases[] = {{CGBitmapContextCreateImage(a.get()), true},
               {CGBitmapContextCreateImage(g.get()), false}};
  for (const auto& m : cases) {
    auto c = CGBitmapContextCreate(nullptr, 8, 8, 8, 0, rgb, kPremultipliedLittle);
    CGContextSaveGState(c.get());
    CGContextClipToMask(c.get(), CGRectMake(0, 0, 8, 4), m.mask);  // the lower half
    CGContextSetRGBFillColor(c.get(), 1, 0, 0, 1);
    CGContextFillRect(c.get(), CGRectMake(0, 0, 8, 8));
    CGContextRestoreGState(c.get());
    auto out = CGBitmapContextCreateImage(c.get());
    EXPECT_EQ(out->pixelAt(1, 6) == 0xffff0000u, m.leftShows);
    EXPECT_EQ(out->pixelAt(6, 6) == 0xffff0000u, !m.leftShows);
    EXPECT_EQ(out->pixelAt(1, 1) >> 24, 0u);  // outside the mask rectangle: nothing
    EXPECT_EQ(out->pixelAt(6, 1) >> 24, 0u);
    // After the restore drawing is unclipped again (in the restored black).
    CGContextFillRect(c.get(), CGRectMake(0, 0, 8, 8));
    EXPECT_EQ(CGBitmapContextCreateImage(c.get())->pixelAt(1, 1), 0xff000000u);
  }
  // Without a saved state the mask is refused (and logged) rather than swallowing drawing.
  auto c = CGBitmapContextCreate(nullptr, 2, 2, 8, 0, rgb, kPremultipliedLittle);
  CGContextClipToMask(c.get(), CGRectMake(0, 0, 2, 2), cases[0].mask);
  EXPECT_EQ(logs_.size(), 1u);

  // Interpolation: none keeps hard pixels when scaling up; the default blends them.
  auto two = CGBitmapContextCreate(nullptr, 2, 1, 8, 0, rgb, kSkipFirstLittle);
  CGContextSetRGBFillColor(two.get(), 1, 1, 1, 1);
  CGContextFillRect(two.get(), CGRectMake(1, 0, 1, 1));
  auto src = CGBitmapContextCreateImage(two.get());
  for (auto q : {kCGInterpolationNone, kCGInterpolationDefault}) {
    auto big = CGBitmapContextCreate(nullptr, 8, 1, 8, 0, rgb, kSkipFirstLittle);
    CGContextSetInterpolationQuality(big.get(), q);
    EXPECT_EQ(CGContextGetInterpolationQuality(big.get()), q);
    CGContextDrawImage(big.get(), CGRectMake(0, 0, 8, 1), src);
    uint32_t mid = CGBitmapContextCreateImage(big.get())->pixelAt(3, 0) & 0xff;
    if (q == kCGInterpolationNone) {
      EXPECT_EQ(mid, 0u);
    } else {
      EXPECT_GT(mid, 0u);
    }
  }
}

TEST_F(BitmapContextTest, VImageBuffersFromAndToImages) {
  vImage_CGImageFormat format;
  format.bitsPerComponent = 8;
  format.bitsPerPixel = 32;
  format.bitmapInfo = kPremultipliedLittle;
  CGImageRef image = numbered();  // opaque
  vImage_Buffer buf;
  ASSERT_EQ(vImageBuffer_InitWithCGImage(&buf, &format, nullptr, image, 0), kvImageNoError);
  EXPECT_EQ(buf.width, 4u);
  EXPECT_EQ(buf.height, 3u);
  EXPECT_EQ(word(buf.data, buf.rowBytes, 2, 1), 0xff000000u | 120u << 16 | 100u << 8);

  // Without a copy: the image shows the buffer, and its release frees the memory.
  static int released = 0;
  released = 0;
  void* seen = nullptr;
  vImage_Error err = 1;
  CGImageRef wrapped = vImageCreateCGImageFromBuffer(
      &buf, &format,
      [&seen](void* user, void* data) {
        EXPECT_EQ(user, &released);
        seen = data;
        released++;
        std::free(data);
      },
      &released, kvImageNoAllocate, &err);
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(err, kvImageNoError);
  EXPECT_EQ(wrapped->bytes(), buf.data);
  EXPECT_EQ(wrapped->pixelAt(3, 2), image->pixelAt(3, 2));
  EXPECT_EQ(released, 0);
  void* data = buf.data;
  wrapped.reset();
  EXPECT_EQ(released, 1);
  EXPECT_EQ(seen, data);

  // Copying: the buffer stays the caller's.
  ASSERT_EQ(vImageBuffer_Init(&buf, 2, 3, 32, 0), kvImageNoError);
  EXPECT_EQ(buf.rowBytes, 12u);
  std::memset(buf.data, 0x40, buf.rowBytes * buf.height);
  format.bitmapInfo = kSkipFirstLittle;
  CGImageRef copy = vImageCreateCGImageFromBuffer(&buf, &format, nullptr, nullptr, 0, &err);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy->bytes(), buf.data);
  EXPECT_TRUE(copy->isOpaque());
  std::free(buf.data);
  EXPECT_EQ(copy->pixelAt(2, 1) & 0xffffff, 0x404040u);

  // Errors.
  EXPECT_EQ(vImageBuffer_Init(&buf, 0, 3, 32, 0), kvImageInvalidParameter);
  EXPECT_EQ(buf.data, nullptr);
  EXPECT_EQ(vImageBuffer_Init(&buf, 2, 3, 12, 0), kvImageInvalidParameter);
  EXPECT_EQ(vImageBuffer_Init(nullptr, 2, 3, 32, 0), kvImageNullPointerArgument);
  format.bitmapInfo = kCGImageAlphaPremultipliedLast;
  EXPECT_EQ(vImageBuffer_InitWithCGImage(&buf, &format, nullptr, image,
                                         kvImagePrintDiagnosticsToConsole),
            kvImageInvalidImageFormat);
  EXPECT_EQ(logs_.size(), 1u);
  vImage_Buffer empty{};
  EXPECT_FALSE(vImageCreateCGImageFromBuffer(&empty, &format, nullptr, nullptr, 0, &err));
  EXPECT_EQ(err, kvImageNullPointerArgument);
}

}  // namespace
