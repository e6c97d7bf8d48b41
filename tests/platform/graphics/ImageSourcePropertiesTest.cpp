// The format dictionaries of image properties: whether a JPEG is progressive and a PNG
// interlaced, known from the header on, in whole and incremental sources.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/graphics/CGImageSource.h"
#include "tests/image/CodecFixtures.h"

using namespace plat;

namespace {

CGImageRef gradient(int w, int h) {
  auto* px = static_cast<uint8_t*>(std::malloc(size_t(w) * h * 4));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint32_t p = 0xff000000u | uint32_t(x * 255 / w) << 16 | uint32_t(y * 255 / h) << 8 | 0x40;
      std::memcpy(px + (size_t(y) * w + x) * 4, &p, 4);
    }
  return CGImage::createOwningBuffer(px, w, h, true);
}

// The properties of image 0 of an incremental source given the first `length` bytes.
Dictionary partialProperties(const Data& data, size_t length) {
  auto source = CGImageSource::createIncremental();
  source->updateData(Data(data.bytes(), length), false);
  return source->propertiesAtIndex(0);
}

Value entry(const Dictionary& d, const char* dictionary, const char* key) {
  return Value(d)[dictionary][key];
}

TEST(ImageSourceProperties, AJPEGSaysWhetherItIsProgressive) {
  auto img = gradient(64, 48);
  for (bool progressive : {false, true}) {
    SCOPED_TRACE(progressive ? "progressive" : "baseline");
    Data data = fixtures::jpegData(img, progressive);
    auto whole = CGImageSource::createWithData(data)->propertiesAtIndex(0);
    Value flag = entry(whole, kCGImagePropertyJFIFDictionary, kCGImagePropertyJFIFIsProgressive);
    ASSERT_TRUE(flag.isBool());
    EXPECT_EQ(flag.boolValue(), progressive);
    EXPECT_EQ(Value(whole)[kCGImagePropertyPixelWidth].intValue(), 64);
    EXPECT_FALSE(Value(whole)[kCGImagePropertyHasAlpha].boolValue());
    // Known as soon as the header is there.
    auto partial = partialProperties(data, data.length() / 3);
    EXPECT_EQ(entry(partial, kCGImagePropertyJFIFDictionary, kCGImagePropertyJFIFIsProgressive)
                  .boolValue(),
              progressive);
  }
}

TEST(ImageSourceProperties, APNGGivesItsInterlaceType) {
  auto img = gradient(40, 40);
  for (bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "Adam7" : "plain");
    Data data = fixtures::pngData(img, interlaced);
    auto whole = CGImageSource::createWithData(data)->propertiesAtIndex(0);
    Value type = entry(whole, kCGImagePropertyPNGDictionary, kCGImagePropertyPNGInterlaceType);
    ASSERT_TRUE(type.isNumber());
    EXPECT_EQ(type.intValue(), interlaced ? 1 : 0);
    EXPECT_EQ(Value(whole)[kCGImagePropertyPixelHeight].intValue(), 40);
    auto partial = partialProperties(data, 40);  // the IHDR and little more
    EXPECT_EQ(entry(partial, kCGImagePropertyPNGDictionary, kCGImagePropertyPNGInterlaceType)
                  .intValue(),
              interlaced ? 1 : 0);
  }
}

}  // namespace
