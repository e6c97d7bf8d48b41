// The image response serializer: content types, decoding at the serializer's scale, inflation
// up to 1024 x 1024 pixels, and its coding.

#include <cairo.h>
#include <gtest/gtest.h>

#include "net/SDPImageResponseSerializer.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/network/NSURLResponse.h"

namespace {

plat::NSURLResponseRef httpResponse(int64_t status, const std::string& contentType) {
  plat::HTTPHeaderFields headers;
  if (!contentType.empty()) headers.set("Content-Type", contentType);
  return plat::NSHTTPURLResponse::make("http://h/x", status, headers);
}

plat::Data pngOf(int w, int h, uint32_t argb) {
  auto img = plat::CGImage::create(w, h, (argb >> 24) == 0xff);
  cairo_t* cr = cairo_create(img->surface());
  cairo_set_source_rgba(cr, ((argb >> 16) & 0xff) / 255.0, ((argb >> 8) & 0xff) / 255.0,
                        (argb & 0xff) / 255.0, (argb >> 24) / 255.0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  return plat::CGImagePNGRepresentation(img);
}

plat::UIImageRef imageOf(const plat::Value& v) { return v.objectAs<plat::UIImage>(); }

TEST(SDPImageResponseSerializerTest, DecodesInflatesAndKeepsLargeImagesAsDecoded) {
  auto s = SDPImageResponseSerializer::serializer();
  s->setImageScale(3);
  for (bool inflate : {true, false}) {
    s->setAutomaticallyInflatesResponseImage(inflate);
    plat::Data png = pngOf(6, 3, 0xff336699);
    plat::NSErrorRef error;
    auto image = imageOf(
        s->responseObjectForResponseDataError(httpResponse(200, "image/png"), &png, &error));
    ASSERT_TRUE(image) << inflate;
    EXPECT_FALSE(error);
    EXPECT_DOUBLE_EQ(image->scale(), 3);
    EXPECT_DOUBLE_EQ(image->size().width, 2);
    EXPECT_EQ(image->CGImage()->pixelAt(5, 2), 0xff336699u);
  }
  // Above 1048576 pixels the decoded image comes back as it is; at the limit it is inflated.
  s->setAutomaticallyInflatesResponseImage(true);
  for (int w : {1024, 1025}) {
    plat::Data big = pngOf(w, 1024, 0xff102030);
    auto image = imageOf(
        s->responseObjectForResponseDataError(httpResponse(200, "image/png"), &big, nullptr));
    ASSERT_TRUE(image) << w;
    EXPECT_EQ(image->CGImage()->width(), size_t(w));
    EXPECT_DOUBLE_EQ(image->scale(), 3);
    EXPECT_EQ(image->CGImage()->pixelAt(w - 1, 1023), 0xff102030u);
  }
  // A JPEG served under another image type still decodes (no direct bitmap, then a copy).
  auto jpeg = plat::CGImageJPEGRepresentation(plat::CGImage::create(4, 4, true), 0.9);
  auto fromGif = imageOf(
      s->responseObjectForResponseDataError(httpResponse(200, "image/gif"), &jpeg, nullptr));
  ASSERT_TRUE(fromGif);
  EXPECT_EQ(fromGif->CGImage()->width(), 4u);
}

TEST(SDPImageResponseSerializerTest, RefusesWrongTypesAndNonImages) {
  auto s = SDPImageResponseSerializer::serializer();
  plat::Data png = pngOf(2, 2, 0xffffffff);
  plat::NSErrorRef error;
  EXPECT_TRUE(
      s->responseObjectForResponseDataError(httpResponse(200, "text/html"), &png, &error).isNil());
  EXPECT_TRUE(error);
  plat::Data text = plat::Data::fromString("not an image");
  EXPECT_TRUE(s->responseObjectForResponseDataError(httpResponse(200, "image/png"), &text, nullptr)
                  .isNil());
  plat::Data empty;
  EXPECT_TRUE(s->responseObjectForResponseDataError(httpResponse(200, "image/png"), &empty, nullptr)
                  .isNil());
  // A failed status still parses the body (the error is reported beside it).
  plat::NSErrorRef statusError;
  EXPECT_TRUE(imageOf(
      s->responseObjectForResponseDataError(httpResponse(500, "image/png"), &png, &statusError)));
  EXPECT_TRUE(statusError);
}

TEST(SDPImageResponseSerializerTest, CodingAndCopyKeepScaleAndInflation) {
  auto s = SDPImageResponseSerializer::serializer();
  s->setImageScale(2.5);
  s->setAutomaticallyInflatesResponseImage(false);
  auto copy = std::dynamic_pointer_cast<SDPImageResponseSerializer>(s->copyWithZone());
  ASSERT_TRUE(copy);
  EXPECT_DOUBLE_EQ(copy->imageScale(), 2.5);
  EXPECT_FALSE(copy->automaticallyInflatesResponseImage());

  plat::NSErrorRef error;
  plat::Data archive = plat::NSKeyedArchiver::archivedDataWithRootObject(plat::Value(s), &error);
  ASSERT_FALSE(error);
  auto decoded = plat::NSKeyedUnarchiver::unarchiveObjectWithData(archive, &error)
                     .objectAs<SDPImageResponseSerializer>();
  ASSERT_TRUE(decoded);
  EXPECT_DOUBLE_EQ(decoded->imageScale(), 2.5);
  EXPECT_FALSE(decoded->automaticallyInflatesResponseImage());
  EXPECT_TRUE(decoded->acceptableContentTypes()->count("image/png"));
}

}  // namespace
