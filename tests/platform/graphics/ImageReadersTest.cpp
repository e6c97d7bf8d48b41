// What the image source's readers make of files as other programs write them: a JPEG without
// its end marker, TIFFs with every orientation, run-length encoded bitmaps.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/graphics/CGImageSource.h"
#include "platform/uikit/UIImage.h"
#include "tests/image/CodecFixtures.h"

using namespace plat;

namespace {

// A picture with detail in every row, so that a row made up or left out shows.
CGImageRef pattern(int w, int h) {
  auto* px = static_cast<uint8_t*>(std::malloc(size_t(w) * h * 4));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint32_t p = 0xff000000u | uint32_t(x * 255 / w) << 16 | uint32_t(y * 255 / h) << 8 |
                   uint32_t(((x / 8 + y / 8) % 2) ? 0xe0 : 0x20);
      std::memcpy(px + (size_t(y) * w + x) * 4, &p, 4);
    }
  return CGImage::createOwningBuffer(px, w, h, true);
}

// Rows (from the top) in which some pixel is not fully opaque.
std::vector<int> unopaqueRows(const CGImageRef& img) {
  std::vector<int> rows;
  for (int y = 0; y < int(img->height()); ++y)
    for (int x = 0; x < int(img->width()); ++x)
      if ((img->pixelAt(x, y) >> 24) != 0xff) {
        rows.push_back(y);
        break;
      }
  return rows;
}

// Pixels that differ between two images of one size.
int differingPixels(const CGImageRef& a, const CGImageRef& b) {
  int n = 0;
  for (int y = 0; y < int(a->height()); ++y)
    for (int x = 0; x < int(a->width()); ++x) n += a->pixelAt(x, y) != b->pixelAt(x, y);
  return n;
}

}  // namespace

// Writers often leave out the end marker. The data is final, so every row whose data is there
// shows, whichever way the image is read (a whole source, an incremental one given the final
// data, a UIImage), and the image is opaque.
TEST(JPEGReader, FinalDataWithoutItsEndMarkerShowsEveryRow) {
  struct Case {
    int w, h;
    bool progressive;
  } cases[] = {{640, 480, false}, {100, 70, false}, {640, 480, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) +
                 (c.progressive ? " progressive" : " baseline"));
    Data full = fixtures::jpegData(pattern(c.w, c.h), c.progressive);
    ASSERT_EQ(full.bytes()[full.length() - 2], 0xff);
    ASSERT_EQ(full.bytes()[full.length() - 1], 0xd9);
    Data cut(full.bytes(), full.length() - 2);
    CGImageRef reference = CGImageSource::createWithData(full)->createImageAtIndex(0);
    ASSERT_TRUE(reference);

    auto whole = CGImageSource::createWithData(cut);
    auto incremental = CGImageSource::createIncremental();
    incremental->updateData(Data(cut.bytes(), cut.length() / 2), false);
    incremental->updateData(cut, true);
    std::vector<std::pair<const char*, CGImageRef>> images = {
        {"whole source", whole->createImageAtIndex(0)},
        {"incremental source", incremental->createImageAtIndex(0)},
        {"UIImage", UIImage::imageWithData(cut)->CGImage()}};
    EXPECT_EQ(whole->status(), kCGImageStatusComplete);
    EXPECT_EQ(incremental->status(), kCGImageStatusComplete);
    for (auto& [how, img] : images) {
      SCOPED_TRACE(how);
      ASSERT_TRUE(img);
      EXPECT_TRUE(img->isOpaque());
      EXPECT_EQ(unopaqueRows(img), std::vector<int>{});
      EXPECT_EQ(differingPixels(img, reference), 0);
    }
  }

  // Data that really ends early still shows only the rows it holds, the rest transparent.
  Data full = fixtures::jpegData(pattern(640, 480), false);
  auto source = CGImageSource::createWithData(Data(full.bytes(), full.length() * 2 / 3));
  CGImageRef img = source->createImageAtIndex(0);
  ASSERT_TRUE(img);
  EXPECT_FALSE(img->isOpaque());
  std::vector<int> rows = unopaqueRows(img);
  ASSERT_FALSE(rows.empty());
  EXPECT_GT(rows.front(), 200);
  EXPECT_LT(rows.front(), 400);
  EXPECT_EQ(rows.back(), 479);
  EXPECT_EQ(rows.size(), size_t(480 - rows.front()));
  EXPECT_EQ(img->pixelAt(10, 479), 0u);
  EXPECT_EQ(source->status(), kCGImageStatusUnexpectedEOF);
}
