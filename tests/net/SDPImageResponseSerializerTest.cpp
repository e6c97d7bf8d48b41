// The image response serializer: content types, decoding at the serializer's scale (CMYK JPEGs
// too), inflation up to 1024 x 1024 pixels, and its coding.

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>
// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

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

// A solid CMYK JPEG (Adobe convention: each byte is 255 - ink).
plat::Data cmykJPEG(int side, const uint8_t cmyk[4]) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buf, &size);
  cinfo.image_width = side;
  cinfo.image_height = side;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> row(size_t(side) * 4);
  for (int x = 0; x < side; ++x) std::copy(cmyk, cmyk + 4, row.begin() + x * 4);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  plat::Data out(buf, size);
  free(buf);
  return out;
}

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

TEST(SDPImageResponseSerializerTest, CMYKJPEGIsDecodedAndInflated) {
  auto s = SDPImageResponseSerializer::serializer();
  s->setImageScale(2);
  const uint8_t cyan[4] = {0, 255, 255, 255};
  plat::Data jpeg = cmykJPEG(8, cyan);
  for (bool inflate : {true, false}) {
    s->setAutomaticallyInflatesResponseImage(inflate);
    auto image = imageOf(
        s->responseObjectForResponseDataError(httpResponse(200, "image/jpeg"), &jpeg, nullptr));
    ASSERT_TRUE(image) << inflate;
    EXPECT_DOUBLE_EQ(image->size().width, 4);
    uint32_t p = image->CGImage()->pixelAt(3, 3);
    EXPECT_LE((p >> 16) & 0xff, 8u) << std::hex << p;
    EXPECT_GE((p >> 8) & 0xff, 247u) << std::hex << p;
    EXPECT_GE(p & 0xff, 247u) << std::hex << p;
  }
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
