// The GIF reader behind CGImageSource: frame rectangles clipped to the screen, frames composed on
// demand in any order, the last screen the only one kept, and updates that continue where the
// previous one stopped.

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/graphics/CGImageSource.h"

using namespace plat;

namespace {

struct Frame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint8_t> indexes;  // width * height palette indexes
  int delayCs = -1;              // -1: no graphic control block
  int disposal = DISPOSAL_UNSPECIFIED;
  int transparent = NO_TRANSPARENT_COLOR;
  bool interlaced = false;
};

Frame solid(int left, int top, int w, int h, uint8_t index, int disposal = DISPOSE_DO_NOT) {
  Frame f;
  f.left = left, f.top = top, f.width = w, f.height = h;
  f.indexes.assign(size_t(w) * size_t(h), index);
  f.delayCs = 5;
  f.disposal = disposal;
  return f;
}

constexpr uint32_t kRed = 0xffff0000u, kGreen = 0xff00ff00u, kBlue = 0xff0000ffu;

// Palette: 0 black, 1 red, 2 green, 3 blue.
Data gif(int w, int h, const std::vector<Frame>& frames) {
  Data out;
  int error = 0;
  GifFileType* g = EGifOpen(
      &out,
      [](GifFileType* f, const GifByteType* d, int n) {
        static_cast<Data*>(f->UserData)->append(d, size_t(n));
        return n;
      },
      &error);
  GifColorType colors[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifSetGifVersion(g, true);
  EGifPutScreenDesc(g, w, h, 2, 0, map);
  for (const auto& f : frames) {
    if (f.delayCs >= 0) {
      GraphicsControlBlock gcb{f.disposal, false, f.delayCs, f.transparent};
      GifByteType ext[4];
      EGifGCBToExtension(&gcb, ext);
      EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    }
    EGifPutImageDesc(g, f.left, f.top, f.width, f.height, f.interlaced, nullptr);
    std::vector<int> order;
    static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    for (int p = 0; p < (f.interlaced ? 4 : 1); ++p)
      for (int y = f.interlaced ? kStart[p] : 0; y < f.height; y += f.interlaced ? kStep[p] : 1)
        order.push_back(y);
    for (int y : order)
      EGifPutLine(g, const_cast<GifPixelType*>(f.indexes.data() + size_t(y) * size_t(f.width)),
                  f.width);
  }
  EGifCloseFile(g, &error);
  GifFreeMapObject(map);
  return out;
}

std::vector<uint32_t> pixels(const CGImageRef& image) {
  std::vector<uint32_t> out;
  if (!image) return out;
  for (int y = 0; y < int(image->height()); ++y)
    for (int x = 0; x < int(image->width()); ++x) out.push_back(image->pixelAt(x, y));
  return out;
}

TEST(GIFReaderTest, FrameRectanglesBeyondTheScreenAreClipped) {
  // A frame starting right of the screen, disposed to background, then one partly outside it.
  Frame outside = solid(100, 0, 8, 8, 3, DISPOSE_BACKGROUND);
  Frame partly = solid(12, 2, 8, 20, 3, DISPOSE_BACKGROUND);
  Data data = gif(16, 16, {solid(0, 0, 16, 16, 1), outside, partly, solid(0, 0, 1, 1, 2)});
  auto source = CGImageSource::createWithData(data);
  ASSERT_EQ(source->count(), 4u);
  EXPECT_EQ(pixels(source->createImageAtIndex(1)), pixels(source->createImageAtIndex(0)));
  CGImageRef shown = source->createImageAtIndex(2);
  EXPECT_EQ(shown->pixelAt(12, 2), kBlue);
  EXPECT_EQ(shown->pixelAt(15, 15), kBlue);
  CGImageRef after = source->createImageAtIndex(3);
  EXPECT_EQ(after->pixelAt(0, 0), kGreen);
  EXPECT_EQ(after->pixelAt(11, 2), kRed);
  EXPECT_EQ(after->pixelAt(12, 2), 0u);
  EXPECT_EQ(after->pixelAt(15, 15), 0u);
  EXPECT_EQ(after->pixelAt(12, 1), kRed);
}

// Frames of every disposal, an interlaced one with transparency, and a full-screen one from
// which the screen is rebuilt.
Data mixedAnimation() {
  Frame hole = solid(2, 2, 4, 4, 3, DISPOSE_PREVIOUS);
  Frame sieve = solid(0, 0, 8, 11, 2, DISPOSE_BACKGROUND);
  sieve.interlaced = true;
  sieve.transparent = 0;
  for (size_t i = 0; i < sieve.indexes.size(); i += 3) sieve.indexes[i] = 0;
  return gif(10, 10,
             {solid(0, 0, 10, 10, 1), hole, solid(5, 5, 2, 2, 2), sieve, solid(1, 1, 1, 1, 3),
              solid(0, 0, 10, 10, 3), solid(9, 9, 1, 1, 1, DISPOSE_PREVIOUS), solid(0, 9, 3, 1, 2),
              solid(0, 0, 10, 10, 2, DISPOSE_PREVIOUS), solid(0, 0, 1, 1, 1)});
}

TEST(GIFReaderTest, FramesComposeTheSameInAnyOrder) {
  Data data = mixedAnimation();
  auto forward = CGImageSource::createWithData(data);
  ASSERT_EQ(forward->count(), 10u);
  std::vector<std::vector<uint32_t>> expected;
  for (size_t i = 0; i < 10; ++i) expected.push_back(pixels(forward->createImageAtIndex(i)));

  EXPECT_EQ(expected[1][3 * 10 + 3], kBlue);
  EXPECT_EQ(expected[2][3 * 10 + 3], kRed);  // the hole restored what was under it
  EXPECT_EQ(expected[2][5 * 10 + 5], kGreen);
  EXPECT_EQ(expected[3][1], kGreen);
  EXPECT_EQ(expected[3][0], kRed);  // transparent index shows the screen below
  EXPECT_EQ(expected[3][3 * 10 + 8], kRed);
  EXPECT_EQ(expected[4][1], 0u);  // the interlaced frame was disposed to background
  EXPECT_EQ(expected[4][9 * 10 + 9], kRed);
  EXPECT_EQ(expected[7][9 * 10 + 9], kBlue);
  EXPECT_EQ(expected[7][9 * 10 + 0], kGreen);
  EXPECT_EQ(expected[8][9 * 10 + 9], kGreen);
  EXPECT_EQ(expected[9][9 * 10 + 9], kBlue);  // a whole screen disposed to the one before it
  EXPECT_EQ(expected[9][0], kRed);

  for (const std::vector<size_t>& order :
       {std::vector<size_t>{7, 3, 9, 2, 6, 0, 5, 1, 8, 4}, std::vector<size_t>{4, 4, 7, 0, 6, 3, 9},
        std::vector<size_t>{8, 9}}) {
    auto source = CGImageSource::createWithData(data);
    for (size_t i : order) EXPECT_EQ(pixels(source->createImageAtIndex(i)), expected[i]) << i;
  }
}

TEST(GIFReaderTest, OnlyTheLastComposedScreenIsKept) {
  std::vector<Frame> frames;
  for (int i = 0; i < 6; ++i) frames.push_back(solid(i, i, 2, 2, uint8_t(1 + i % 3)));
  auto source = CGImageSource::createWithData(gif(8, 8, frames));
  CGImageRef zero = source->createImageAtIndex(0);
  std::weak_ptr<CGImage> first = zero;
  CGImageRef one = source->createImageAtIndex(1);
  // A screen someone holds never changes.
  EXPECT_EQ(zero->pixelAt(1, 1), kRed);
  EXPECT_EQ(one->pixelAt(1, 1), kGreen);
  zero.reset();
  EXPECT_TRUE(first.expired());
  one.reset();
  // Screens nobody holds are composed over in place, each still right.
  CGImageRef last = source->createImageAtIndex(5);
  EXPECT_EQ(last->pixelAt(5, 5), kBlue);
  EXPECT_EQ(last->pixelAt(4, 4), kGreen);
  EXPECT_EQ(last->pixelAt(1, 1), kGreen);
  EXPECT_EQ(source->createImageAtIndex(0)->pixelAt(2, 2), 0u);
  EXPECT_EQ(last->pixelAt(2, 2), kBlue);
}

TEST(GIFReaderTest, UpdatesContinueWhereThePreviousOneStopped) {
  // An interlaced frame of noise (green and blue) long enough to arrive over many updates.
  Frame noise = solid(0, 0, 64, 64, 2);
  noise.interlaced = true;
  uint32_t seed = 7;
  for (auto& index : noise.indexes) {
    seed = seed * 1103515245u + 12345u;
    index = uint8_t(2 + (seed >> 16) % 2);
  }
  Data data = gif(64, 64, {solid(0, 0, 64, 64, 1), noise, solid(0, 0, 4, 4, 3)});

  // A frame whose blocks are all there keeps its picture through later updates.
  auto source = CGImageSource::createIncremental();
  CGImageRef first;
  for (size_t length = 20; length < data.length(); length += 7) {
    source->updateData(data.subdata(0, length), false);
    if (source->count() < 2) continue;
    if (!first) first = source->createImageAtIndex(0);
    EXPECT_EQ(source->createImageAtIndex(0), first) << length;
  }
  EXPECT_EQ(source->count(), 3u);
  EXPECT_EQ(source->status(), kCGImageStatusIncomplete);
  source->updateData(data, true);
  EXPECT_EQ(source->status(), kCGImageStatusComplete);
  EXPECT_EQ(source->createImageAtIndex(0), first);

  // A frame still arriving shows its rows so far over the screen below.
  auto progressive = CGImageSource::createIncremental();
  bool sawPart = false;
  CGImageRef held;
  std::vector<uint32_t> heldPixels;
  for (size_t length = 20; length < data.length(); length += 7) {
    progressive->updateData(data.subdata(0, length), false);
    if (progressive->count() != 2) continue;
    CGImageRef part = progressive->createImageAtIndex(1);
    ASSERT_TRUE(part);
    if (part->pixelAt(0, 0) != kRed && part->pixelAt(63, 63) == kRed) sawPart = true;
    // A picture someone holds keeps what it showed.
    if (held) EXPECT_EQ(pixels(held), heldPixels) << length;
    if (length % 3 == 0) held = part, heldPixels = pixels(part);
  }
  EXPECT_TRUE(sawPart);
  progressive->updateData(data, true);
  CGImageRef whole = progressive->createImageAtIndex(1);
  EXPECT_EQ(pixels(whole), pixels(source->createImageAtIndex(1)));
  EXPECT_NE(whole->pixelAt(63, 63), kRed);
  EXPECT_EQ(progressive->createImageAtIndex(2)->pixelAt(3, 3), kBlue);
}

TEST(GIFReaderTest, TheLastUpdateReadsTheLinesHeldBackForBytesToCome) {
  Frame noise = solid(0, 0, 64, 64, 2);
  uint32_t seed = 3;
  for (auto& index : noise.indexes) {
    seed = seed * 1103515245u + 12345u;
    index = uint8_t(1 + (seed >> 16) % 3);
  }
  Data data = gif(64, 64, {noise});
  // Every pixel's bytes, but not the frame's terminator nor the trailer.
  Data cut = data.subdata(0, data.length() - 2);
  auto source = CGImageSource::createIncremental();
  source->updateData(cut, false);
  ASSERT_EQ(source->count(), 1u);
  EXPECT_EQ(source->createImageAtIndex(0)->pixelAt(0, 62), 0u);
  source->updateData(cut, true);
  EXPECT_NE(source->createImageAtIndex(0)->pixelAt(0, 62), 0u);
}

TEST(GIFReaderTest, ScreensBeyondThePixelCapAreRefusedFromTheHeader) {
  // 16385 x 16385 is above the cap; the file holds one tiny frame.
  Data data = gif(16385, 16385, {solid(0, 0, 1, 1, 1)});
  ASSERT_GT(uint64_t(16385) * 16385, kCGImageSourceMaxPixels);
  auto source = CGImageSource::createWithData(data);
  EXPECT_EQ(source->count(), 0u);
  EXPECT_EQ(source->status(), kCGImageStatusInvalidData);
  EXPECT_FALSE(source->createImageAtIndex(0));
  EXPECT_TRUE(source->properties().empty());
}

}  // namespace
