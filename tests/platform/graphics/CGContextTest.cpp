// Drawing on Cairo through the CoreGraphics vocabulary: orientation, colours, blend modes,
// paths, clipping, state, images and their PNG/JPEG coding.

#include <gtest/gtest.h>

#include <cmath>

#include "platform/graphics/CGBitmapContext.h"
#include "platform/graphics/CGContext.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"

using namespace plat;

namespace {

uint32_t A(uint32_t p) { return p >> 24; }
uint32_t R(uint32_t p) { return (p >> 16) & 0xff; }
uint32_t G(uint32_t p) { return (p >> 8) & 0xff; }
uint32_t B(uint32_t p) { return p & 0xff; }

// A 2 x 2 image: top row red, bottom row blue.
CGImageRef redOverBlue() {
  auto ctx = CGBitmapContextCreate(2, 2);
  CGContextSetRGBFillColor(ctx.get(), 1, 0, 0, 1);
  CGContextFillRect(ctx.get(), CGRectMake(0, 1, 2, 1));  // y up: the top row
  CGContextSetRGBFillColor(ctx.get(), 0, 0, 1, 1);
  CGContextFillRect(ctx.get(), CGRectMake(0, 0, 2, 1));
  return CGBitmapContextCreateImage(ctx.get());
}

TEST(CGContextTest, BitmapContextsAreYUpAndImageContextsYDown) {
  CGImageRef img = redOverBlue();
  ASSERT_TRUE(img);
  EXPECT_EQ(img->pixelAt(0, 0), 0xffff0000u);  // first row is the top
  EXPECT_EQ(img->pixelAt(1, 1), 0xff0000ffu);

  // In a y-down image context CGContextDrawImage shows the image upside down, UIImage
  // draws it upright.
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(4, 2), false, 1);
  CGContextRef c = UIGraphicsGetCurrentContext();
  CGContextDrawImage(c, CGRectMake(0, 0, 2, 2), img);
  UIImage::imageWithCGImage(img)->drawInRect(CGRectMake(2, 0, 2, 2));
  auto out = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  ASSERT_TRUE(out);
  EXPECT_EQ(B(out->CGImage()->pixelAt(0, 0)), 255u);
  EXPECT_EQ(R(out->CGImage()->pixelAt(2, 0)), 255u);
  EXPECT_FALSE(UIGraphicsGetCurrentContext());
}

// An image rectangle with no usable mapping draws nothing and leaves the context working;
// a rectangle that is not finite cuts no part of an image.
TEST(CGContextTest, ImagesInRectanglesWithNoMappingDrawNothingAndLaterDrawingWorks) {
  CGImageRef img = redOverBlue();
  const double nan = std::nan(""), inf = INFINITY;
  for (CGRect bad : {CGRectMake(nan, 0, 2, 2), CGRectMake(0, 0, inf, 2),
                     CGRectMake(0, 0, 1e-300, 2), CGRectMake(0, 0, 1e300, 1e300)}) {
    auto ctx = CGBitmapContextCreate(4, 4);
    CGContextSaveGState(ctx.get());
    CGContextDrawImage(ctx.get(), bad, img);
    CGContextRestoreGState(ctx.get());
    CGContextSetRGBFillColor(ctx.get(), 0, 1, 0, 1);
    CGContextFillRect(ctx.get(), CGRectMake(0, 0, 4, 4));
    auto out = CGBitmapContextCreateImage(ctx.get());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->pixelAt(1, 1), 0xff00ff00u) << bad.origin.x << " " << bad.size.width;
  }
  EXPECT_FALSE(CGImageCreateWithImageInRect(img, CGRectMake(nan, 0, 1, 1)));
  EXPECT_FALSE(CGImageCreateWithImageInRect(img, CGRectMake(0, 0, inf, 1)));
  ASSERT_TRUE(CGImageCreateWithImageInRect(img, CGRectMake(0, 0, 1, 1)));
}

TEST(CGContextTest, ImageContextScaleAndEmptySize) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(10, 5), true, 3);
  CGContextSetRGBFillColor(UIGraphicsGetCurrentContext(), 0, 1, 0, 1);
  CGContextFillRect(UIGraphicsGetCurrentContext(), CGRectMake(0, 0, 5, 5));
  auto img = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  ASSERT_TRUE(img);
  EXPECT_EQ(img->CGImage()->width(), 30u);
  EXPECT_EQ(img->size(), CGSizeMake(10, 5));
  EXPECT_EQ(img->CGImage()->pixelAt(14, 7), 0xff00ff00u);
  EXPECT_EQ(img->CGImage()->pixelAt(16, 7), 0xff000000u);  // opaque: black, not clear

  UIGraphicsBeginImageContextWithOptions(CGSizeMake(0, 5), false, 1);
  EXPECT_FALSE(UIGraphicsGetCurrentContext());
  EXPECT_FALSE(UIGraphicsGetImageFromCurrentImageContext());
  UIGraphicsEndImageContext();
}

TEST(CGContextTest, FillStrokeBlendClipAndState) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(40, 40), false, 1);
  CGContextRef c = UIGraphicsGetCurrentContext();
  // Separate fill and stroke colours, and save/restore of both.
  CGContextSetRGBFillColor(c, 1, 0, 0, 1);
  CGContextSetRGBStrokeColor(c, 0, 0, 1, 1);
  CGContextSaveGState(c);
  CGContextSetRGBFillColor(c, 0, 1, 0, 1);
  CGContextRestoreGState(c);
  CGContextSetLineWidth(c, 2);
  CGContextAddRect(c, CGRectMake(5, 5, 10, 10));
  CGContextDrawPath(c, kCGPathFillStroke);
  // Even-odd: a square with a hole.
  CGContextAddRect(c, CGRectMake(20, 0, 20, 20));
  CGContextAddRect(c, CGRectMake(25, 5, 10, 10));
  CGContextEOFillPath(c);
  // Copy replaces instead of blending.
  CGContextSetBlendMode(c, kCGBlendModeCopy);
  CGContextSetRGBFillColor(c, 0, 0, 1, 0.5);
  CGContextFillRect(c, CGRectMake(0, 20, 10, 10));
  CGContextSetBlendMode(c, kCGBlendModeNormal);
  // A clip limits a later fill.
  CGContextSaveGState(c);
  CGContextClipToRect(c, CGRectMake(20, 20, 5, 5));
  CGContextSetRGBFillColor(c, 0, 1, 0, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 40, 40));
  CGContextRestoreGState(c);
  CGImageRef img = UIGraphicsGetImageFromCurrentImageContext()->CGImage();
  UIGraphicsEndImageContext();

  EXPECT_EQ(img->pixelAt(10, 10), 0xffff0000u);  // fill is red again after restore
  EXPECT_EQ(img->pixelAt(5, 10), 0xff0000ffu);   // stroke
  EXPECT_EQ(img->pixelAt(22, 2), 0xffff0000u);
  EXPECT_EQ(A(img->pixelAt(30, 10)), 0u);  // the hole
  uint32_t copied = img->pixelAt(5, 25);
  EXPECT_NEAR(A(copied), 128, 2);
  EXPECT_EQ(B(copied), 255u);
  EXPECT_EQ(img->pixelAt(22, 22), 0xff00ff00u);
  EXPECT_EQ(A(img->pixelAt(30, 30)), 0u);
  EXPECT_EQ(A(img->pixelAt(18, 18)), 0u);
}

TEST(CGContextTest, ArcsCurvesAndTransforms) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(40, 40), false, 1);
  CGContextRef c = UIGraphicsGetCurrentContext();
  CGContextSetRGBFillColor(c, 0, 0, 0, 1);
  // A rounded square through arc-to-point corners of radius 8.
  CGContextMoveToPoint(c, 0, 10);
  CGContextAddArcToPoint(c, 0, 0, 10, 0, 8);
  CGContextAddLineToPoint(c, 20, 0);
  CGContextAddLineToPoint(c, 20, 20);
  CGContextAddLineToPoint(c, 0, 20);
  CGContextClosePath(c);
  CGContextFillPath(c);
  // A half disc: the arc from 0 to pi with clockwise 0 runs through the bottom (y down).
  CGContextMoveToPoint(c, 30, 30);
  CGContextAddArc(c, 30, 30, 8, 0, M_PI, 0);
  CGContextClosePath(c);
  CGContextFillPath(c);
  EXPECT_TRUE(CGContextIsPathEmpty(c));
  CGContextTranslateCTM(c, 5, 5);
  EXPECT_EQ(CGContextGetCTM(c), CGAffineTransformMakeTranslation(5, 5));
  CGImageRef img = UIGraphicsGetImageFromCurrentImageContext()->CGImage();
  UIGraphicsEndImageContext();
  EXPECT_EQ(A(img->pixelAt(0, 0)), 0u);     // rounded away
  EXPECT_EQ(A(img->pixelAt(19, 0)), 255u);  // square corner
  EXPECT_EQ(A(img->pixelAt(10, 10)), 255u);
  EXPECT_EQ(A(img->pixelAt(30, 35)), 255u);  // below the centre
  EXPECT_EQ(A(img->pixelAt(30, 25)), 0u);
}

TEST(CGImageTest, PngAndJpegCoding) {
  auto ctx = CGBitmapContextCreate(8, 4);
  CGContextSetRGBFillColor(ctx.get(), 1, 0.5, 0, 0.5);
  CGContextFillRect(ctx.get(), CGRectMake(0, 0, 4, 4));
  CGImageRef img = CGBitmapContextCreateImage(ctx.get());
  Data png = CGImagePNGRepresentation(img);
  ASSERT_FALSE(png.empty());
  CGImageRef back = CGImageCreateWithData(png);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->width(), 8u);
  EXPECT_EQ(back->height(), 4u);
  uint32_t p = back->pixelAt(1, 1);
  EXPECT_NEAR(A(p), 128, 1);
  EXPECT_NEAR(R(p), 255, 2);
  EXPECT_NEAR(G(p), 128, 3);
  EXPECT_EQ(A(back->pixelAt(6, 1)), 0u);

  Data jpeg = CGImageJPEGRepresentation(img, 0.9);
  CGImageRef j = CGImageCreateWithData(jpeg);
  ASSERT_TRUE(j);
  EXPECT_TRUE(j->isOpaque());
  EXPECT_EQ(j->width(), 8u);

  // Garbage and truncated input are refused, not crashed on.
  EXPECT_FALSE(CGImageCreateWithData(Data::fromString("not an image")));
  EXPECT_FALSE(CGImageCreateWithPNGData(png.subdata(0, png.length() / 2)));
  EXPECT_FALSE(CGImageCreateWithJPEGData(jpeg.subdata(0, 20)));
  EXPECT_TRUE(CGImagePNGRepresentation(nullptr).empty());
}

TEST(CGGeometryTest, RectsAndTransforms) {
  CGRect a = CGRectMake(0, 0, 10, 10), b = CGRectMake(5, 5, 10, 10);
  EXPECT_EQ(CGRectIntersection(a, b), CGRectMake(5, 5, 5, 5));
  EXPECT_TRUE(CGRectIsNull(CGRectIntersection(a, CGRectMake(20, 20, 1, 1))));
  EXPECT_EQ(CGRectUnion(a, b), CGRectMake(0, 0, 15, 15));
  EXPECT_EQ(CGRectUnion(CGRectNull, b), b);
  EXPECT_TRUE(CGRectIsNull(CGRectInset(a, 6, 0)));
  EXPECT_EQ(CGRectStandardize(CGRectMake(10, 10, -4, -6)), CGRectMake(6, 4, 4, 6));
  EXPECT_FALSE(CGRectContainsPoint(a, CGPointMake(10, 5)));  // max edge is outside
  CGAffineTransform t = CGAffineTransformRotate(CGAffineTransformMakeTranslation(3, 4), M_PI / 2);
  CGPoint p = CGPointApplyAffineTransform(CGPointMake(1, 0), t);
  EXPECT_NEAR(p.x, 3, 1e-9);
  EXPECT_NEAR(p.y, 5, 1e-9);
  CGPoint q = CGPointApplyAffineTransform(p, CGAffineTransformInvert(t));
  EXPECT_NEAR(q.x, 1, 1e-9);
  EXPECT_NEAR(q.y, 0, 1e-9);
  CGAffineTransform singular = CGAffineTransformMakeScale(0, 1);
  EXPECT_EQ(CGAffineTransformInvert(singular), singular);
  CGRect r =
      CGRectApplyAffineTransform(CGRectMake(0, 0, 4, 2), CGAffineTransformMakeRotation(M_PI / 2));
  EXPECT_NEAR(r.size.width, 2, 1e-9);
  EXPECT_NEAR(r.size.height, 4, 1e-9);
  EXPECT_EQ(NSStringFromCGRect(CGRectMake(1, 2.5, 3, 4)), "{{1, 2.5}, {3, 4}}");
}

}  // namespace

namespace {

TEST(CGContextTest, UnusableSizesMakeNoContextAndNoCrash) {
  for (CGSize size : {CGSizeMake(1e9, 10), CGSizeMake(-5, 10), CGSizeMake(NAN, 3)}) {
    UIGraphicsBeginImageContextWithOptions(size, false, 1);
    EXPECT_FALSE(UIGraphicsGetCurrentContext());
    CGContextFillRect(UIGraphicsGetCurrentContext(), CGRectMake(0, 0, 1, 1));  // ignored
    EXPECT_FALSE(UIGraphicsGetImageFromCurrentImageContext());
    UIGraphicsEndImageContext();
  }
  EXPECT_FALSE(CGImage::create(40000, 1));
  EXPECT_FALSE(CGBitmapContextCreate(0, 10));
}

}  // namespace

namespace {

// Arcs of absurd angles: nothing for angles that are not numbers, and a full circle ending
// where it should for sweeps of many turns (built at once rather than turn by turn).
TEST(CGContextTest, ArcsWithAbsurdAnglesStayCheap) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(40, 40), false, 1);
  CGContextRef c = UIGraphicsGetCurrentContext();
  CGContextAddArc(c, 20, 20, 10, 0, INFINITY, 0);
  CGContextAddArc(c, 20, 20, 10, NAN, 1, 1);
  CGContextAddArc(c, 20, 20, NAN, 0, 1, 1);
  EXPECT_TRUE(CGContextIsPathEmpty(c));

  const double end = 1e12 + 0.5;
  CGContextAddArc(c, 20, 20, 10, 0, end, 0);
  cairo_path_t* path = cairo_copy_path(c->cairo());
  EXPECT_LT(path->num_data, 1000);  // two turns of curves, not one per turn asked for
  cairo_path_destroy(path);
  double x, y;
  cairo_get_current_point(c->cairo(), &x, &y);
  EXPECT_NEAR(x, 20 + 10 * std::cos(end), 0.01);  // Cairo keeps 1/256 of a unit
  EXPECT_NEAR(y, 20 + 10 * std::sin(end), 0.01);
  CGContextSetLineWidth(c, 2);
  CGContextStrokePath(c);
  CGImageRef img = UIGraphicsGetImageFromCurrentImageContext()->CGImage();
  UIGraphicsEndImageContext();
  for (auto [px, py] : {std::pair{30, 20}, {20, 30}, {10, 20}, {20, 10}})
    EXPECT_GT(A(img->pixelAt(px, py)), 100u) << px << "," << py;

  auto circle = UIBezierPath::bezierPath();
  circle->addArcWithCenterRadiusStartAngleEndAngleClockwise(CGPointMake(0, 0), 5, 0, 1e30, true);
  EXPECT_EQ(circle->bounds(), CGRectMake(-5, -5, 10, 10));
  auto none = UIBezierPath::bezierPath();
  none->addArcWithCenterRadiusStartAngleEndAngleClockwise(CGPointMake(0, 0), 5, 0, -INFINITY,
                                                          false);
  EXPECT_TRUE(none->isEmpty());
}

}  // namespace
