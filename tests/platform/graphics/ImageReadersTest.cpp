// What the image source's readers make of files as other programs write them: a JPEG without
// its end marker, TIFFs with every orientation, run-length encoded bitmaps; and how they read a
// buffer shared with the caller.

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/CGImageDestination.h"
#include "platform/graphics/CGImageSource.h"
#include "platform/uikit/UIGraphics.h"
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

namespace {

// The upright picture of the orientation test: 4 x 3 blocks of 8 x 8 pixels, each its own colour.
constexpr int kBlock = 8, kCols = 4, kRows = 3;
uint32_t blockColour(int bx, int by) {
  return 0xff000000u | uint32_t(40 + bx * 60) << 16 | uint32_t(40 + by * 90) << 8 |
         uint32_t((bx + by) % 2 ? 200 : 30);
}

// Where stored pixel (column c, row r) of a file with EXIF/TIFF orientation `o` shows in the
// upright picture of w x h pixels.
void uprightPosition(int o, int c, int r, int w, int h, int* x, int* y) {
  switch (o) {
    case 2:
      *x = w - 1 - c, *y = r;
      break;
    case 3:
      *x = w - 1 - c, *y = h - 1 - r;
      break;
    case 4:
      *x = c, *y = h - 1 - r;
      break;
    case 5:
      *x = r, *y = c;
      break;
    case 6:
      *x = w - 1 - r, *y = c;
      break;
    case 7:
      *x = w - 1 - r, *y = h - 1 - c;
      break;
    case 8:
      *x = r, *y = h - 1 - c;
      break;
    default:
      *x = c, *y = r;
      break;
  }
}

// An RGB TIFF written by libtiff whose stored pixels (returned in `stored`, ARGB, rows top
// first) show the upright picture once turned by `orientation`.
Data orientedTIFF(int orientation, std::vector<uint32_t>* stored, int* storedW, int* storedH) {
  int w = kCols * kBlock, h = kRows * kBlock;
  bool sideways = orientation >= 5;
  int sw = sideways ? h : w, sh = sideways ? w : h;
  *storedW = sw, *storedH = sh;
  stored->assign(size_t(sw) * sh, 0);
  char dir[] = "/tmp/tiff-orientationXXXXXX";
  if (!mkdtemp(dir)) return Data();
  std::string path = std::string(dir) + "/o.tif";
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif) return Data();
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(sw));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(sh));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(orientation));
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(5));
  std::vector<uint8_t> row(size_t(sw) * 3);
  for (int r = 0; r < sh; ++r) {
    for (int c = 0; c < sw; ++c) {
      int x, y;
      uprightPosition(orientation, c, r, w, h, &x, &y);
      uint32_t p = blockColour(x / kBlock, y / kBlock);
      (*stored)[size_t(r) * sw + c] = p;
      row[size_t(c) * 3] = uint8_t(p >> 16), row[size_t(c) * 3 + 1] = uint8_t(p >> 8);
      row[size_t(c) * 3 + 2] = uint8_t(p);
    }
    TIFFWriteScanline(tif, row.data(), uint32_t(r), 0);
  }
  TIFFClose(tif);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  unlink(path.c_str());
  rmdir(dir);
  return Data(bytes.data(), bytes.size());
}

}  // namespace

// A TIFF's Orientation tag reaches the image's properties and its pixels stay as stored, so
// the picture comes out upright once the orientation is applied (as a JPEG's EXIF one is).
TEST(TIFFReader, EachOrientationIsCarriedAndTurnsThePictureOnce) {
  int w = kCols * kBlock, h = kRows * kBlock;
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE("orientation " + std::to_string(o));
    std::vector<uint32_t> stored;
    int sw = 0, sh = 0;
    Data file = orientedTIFF(o, &stored, &sw, &sh);
    ASSERT_FALSE(file.empty());
    auto source = CGImageSource::createWithData(file);
    ASSERT_EQ(source->count(), 1u);
    Dictionary props = source->propertiesAtIndex(0);
    EXPECT_EQ(Value(props)[kCGImagePropertyOrientation].intValue(), o);
    EXPECT_EQ(Value(props)[kCGImagePropertyPixelWidth].intValue(), sw);
    CGImageRef img = source->createImageAtIndex(0);
    ASSERT_TRUE(img);
    ASSERT_EQ(int(img->width()), sw);
    ASSERT_EQ(int(img->height()), sh);
    int differing = 0;
    for (int r = 0; r < sh; ++r)
      for (int c = 0; c < sw; ++c) differing += img->pixelAt(c, r) != stored[size_t(r) * sw + c];
    EXPECT_EQ(differing, 0) << "the pixels are not the stored ones";

    auto image = UIImage::imageWithCGImage(img, 1, UIImageOrientationFromEXIF(o));
    EXPECT_EQ(image->size().width, w);
    UIGraphicsBeginImageContextWithOptions(CGSizeMake(w, h), false, 1);
    image->drawInRect(CGRectMake(0, 0, w, h));
    CGImageRef upright = UIGraphicsGetImageFromCurrentImageContext()->CGImage();
    UIGraphicsEndImageContext();
    for (int by = 0; by < kRows; ++by)
      for (int bx = 0; bx < kCols; ++bx)
        EXPECT_EQ(upright->pixelAt(bx * kBlock + kBlock / 2, by * kBlock + kBlock / 2),
                  blockColour(bx, by))
            << "block " << bx << "," << by;
  }
}

namespace {

// A bottom-up bitmap of the given compression (1 RLE8, 2 RLE4) with a 40-byte header, the
// palette (0x00RRGGBB) and the encoded bytes.
Data rleBitmap(uint32_t compression, int32_t w, int32_t h, const std::vector<uint32_t>& palette,
               const std::vector<uint8_t>& bits) {
  std::vector<uint8_t> o;
  auto put16 = [&](uint32_t v) { o.insert(o.end(), {uint8_t(v), uint8_t(v >> 8)}); };
  auto put32 = [&](uint32_t v) {
    o.insert(o.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  };
  uint32_t bitsAt = uint32_t(14 + 40 + 4 * palette.size());
  o.insert(o.end(), {'B', 'M'});
  put32(bitsAt + uint32_t(bits.size()));
  put32(0);
  put32(bitsAt);
  put32(40);
  put32(uint32_t(w));
  put32(uint32_t(h));
  put16(1);
  put16(compression == 1 ? 8 : 4);
  put32(compression);
  put32(uint32_t(bits.size()));
  put32(2835), put32(2835);
  put32(uint32_t(palette.size()));
  put32(0);
  for (uint32_t c : palette) put32(c);
  o.insert(o.end(), bits.begin(), bits.end());
  return Data(o.data(), o.size());
}

// The image's pixels as palette indexes (by colour), -1 where transparent, rows top first.
std::vector<std::vector<int>> indexesOf(const CGImageRef& img, const std::vector<uint32_t>& pal) {
  std::vector<std::vector<int>> rows;
  for (int y = 0; y < int(img->height()); ++y) {
    rows.emplace_back();
    for (int x = 0; x < int(img->width()); ++x) {
      uint32_t p = img->pixelAt(x, y);
      int index = p == 0 ? -1 : -2;
      for (size_t i = 0; i < pal.size(); ++i)
        if (p == (0xff000000u | pal[i])) index = int(i);
      rows.back().push_back(index);
    }
  }
  return rows;
}

CGImageRef decodeWhole(const Data& file) {
  auto source = CGImageSource::createWithData(file);
  return source && source->count() == 1 ? source->createImageAtIndex(0) : nullptr;
}

}  // namespace

// Run-length encoded bitmaps decode with their runs, absolute runs (padded), deltas and
// end-of-line and end-of-bitmap escapes; what the runs skip stays transparent, and runs or
// deltas past the image are cut off at its edges.
TEST(BMPReader, RunLengthEncodedBitmapsDecodeWithinTheirBounds) {
  std::vector<uint32_t> pal = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
  Data rle8 = rleBitmap(1, 6, 4, pal,
                        {3,  1, 0, 3, 2, 3, 2, 0, 0, 0,  // bottom row: run, padded absolute, EOL
                         10, 3, 0, 0,                    // a run longer than the row, EOL
                         2,  2, 0, 2, 2, 1,              // a run, then a delta right and up
                         1,  0, 0, 1,                    // one pixel, end of bitmap
                         9,  9, 9, 9});                  // after the end: ignored
  CGImageRef img = decodeWhole(rle8);
  ASSERT_TRUE(img);
  EXPECT_FALSE(img->isOpaque());
  EXPECT_EQ(indexesOf(img, pal), (std::vector<std::vector<int>>{{-1, -1, -1, -1, 0, -1},
                                                                {2, 2, -1, -1, -1, -1},
                                                                {3, 3, 3, 3, 3, 3},
                                                                {1, 1, 1, 2, 3, 2}}));
  auto props = CGImageSource::createWithData(rle8)->propertiesAtIndex(0);
  EXPECT_EQ(Value(props)[kCGImagePropertyPixelWidth].intValue(), 6);
  EXPECT_TRUE(Value(props)[kCGImagePropertyHasAlpha].boolValue());

  std::vector<uint32_t> pal16;
  for (uint32_t i = 0; i < 16; ++i) pal16.push_back(i * 0x0f0f0f);
  Data rle4 = rleBitmap(2, 5, 2, pal16,
                        {5, 0x12, 0, 0,     // 1 2 1 2 1, EOL
                         0, 3, 0x34, 0x50,  // absolute 3 4 5 (two bytes, no padding)
                         4, 0x67, 0, 1});   // a run cut at the row's end, end of bitmap
  img = decodeWhole(rle4);
  ASSERT_TRUE(img);
  EXPECT_TRUE(img->isOpaque());
  EXPECT_EQ(indexesOf(img, pal16),
            (std::vector<std::vector<int>>{{3, 4, 5, 6, 7}, {1, 2, 1, 2, 1}}));
  // RLE4 absolute runs of an odd byte count are padded to a word.
  img = decodeWhole(rleBitmap(2, 4, 1, pal16, {0, 5, 0x12, 0x34, 0x50, 0, 2, 0xab, 0, 1}));
  ASSERT_TRUE(img);
  EXPECT_EQ(indexesOf(img, pal16), (std::vector<std::vector<int>>{{1, 2, 3, 4}}));

  // Hostile input: a delta past the row, a run there, an index past the palette, an absolute
  // run longer than the data, a delta past the top.
  img = decodeWhole(rleBitmap(1, 4, 2, pal,
                              {0, 2, 5, 0, 3, 1, 0, 0,  // delta off the row; its run is cut
                               1, 200, 0, 5, 1, 2}));   // index past the palette; data ends
  ASSERT_TRUE(img);
  EXPECT_EQ(img->pixelAt(0, 0), 0xff000000u);  // black, as uncompressed bitmaps show it
  EXPECT_EQ(indexesOf(img, pal), (std::vector<std::vector<int>>{{-2, 1, 2, -1}, {-1, -1, -1, -1}}));
  img = decodeWhole(rleBitmap(1, 3, 3, pal, {1, 1, 0, 2, 0, 250, 2, 2, 0, 0}));
  ASSERT_TRUE(img);
  EXPECT_EQ(indexesOf(img, pal),
            (std::vector<std::vector<int>>{{-1, -1, -1}, {-1, -1, -1}, {1, -1, -1}}));

  // Refused: sizes past the pixel cap (before anything is allocated), top-down rows, a depth
  // that does not match the encoding.
  EXPECT_EQ(CGImageSource::createWithData(rleBitmap(1, 30000, 30000, pal, {0, 1}))->count(), 0u);
  EXPECT_EQ(CGImageSource::createWithData(rleBitmap(1, 4, -2, pal, {0, 1}))->count(), 0u);
  Data wrongDepth = rleBitmap(2, 4, 2, pal, {0, 1});
  std::vector<uint8_t> bytes(wrongDepth.bytes(), wrongDepth.bytes() + wrongDepth.length());
  bytes[28] = 8;  // RLE4 declared at 8 bits
  EXPECT_EQ(CGImageSource::createWithData(Data(bytes.data(), bytes.size()))->count(), 0u);
}

// A source given a shared buffer reads that very buffer, for every format: it holds the buffer
// rather than a copy, lets an earlier one go when a longer one comes, ignores a shorter one and
// anything after the final one, keeps the bytes alive after the caller lets go of them, and
// reads the same picture as a source over a copy.
TEST(ImageSource, EveryReaderReadsASharedBufferInPlace) {
  CGImageRef picture = pattern(40, 24);
  for (const char* type : {"public.png", "public.jpeg", "com.compuserve.gif", "public.tiff",
                           "com.microsoft.bmp", "com.microsoft.ico", "public.jpeg-2000"}) {
    SCOPED_TRACE(type);
    auto dest = CGImageDestination::createWithData(type, 1);
    ASSERT_TRUE(dest);
    dest->addImage(picture, {});
    ASSERT_TRUE(dest->finalize());
    const Data& bytes = dest->data();
    auto copied = CGImageSource::createWithData(bytes);
    CGImageRef expected = copied ? copied->createImageAtIndex(0) : nullptr;
    ASSERT_TRUE(expected);

    auto source = CGImageSource::createIncremental();
    auto half = std::make_shared<const Data>(bytes.subdata(0, bytes.length() / 2));
    auto whole = std::make_shared<const Data>(bytes);
    source->updateData(half, false);
    EXPECT_EQ(half.use_count(), 2);
    source->updateData(std::make_shared<const Data>(bytes.subdata(0, bytes.length() / 4)), false);
    EXPECT_EQ(half.use_count(), 2);
    source->updateData(whole, true);
    EXPECT_EQ(half.use_count(), 1);
    EXPECT_EQ(whole.use_count(), 2);
    Data longer = bytes;
    longer.append("tail");
    source->updateData(std::make_shared<const Data>(longer), true);
    EXPECT_EQ(whole.use_count(), 2);
    whole.reset();
    CGImageRef image = source->createImageAtIndex(0);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width(), expected->width());
    ASSERT_EQ(image->height(), expected->height());
    EXPECT_EQ(differingPixels(image, expected), 0);

    auto shared = CGImageSource::createWithData(std::make_shared<const Data>(bytes));
    image = shared ? shared->createImageAtIndex(0) : nullptr;
    ASSERT_TRUE(image);
    EXPECT_EQ(differingPixels(image, expected), 0);
  }
  EXPECT_FALSE(CGImageSource::createWithData(std::shared_ptr<const Data>()));
  EXPECT_FALSE(CGImageSource::createWithData(std::make_shared<const Data>()));
}
