// The decoder: type fixing and refused updates, pixels of every reader, partial data,
// GIF timing and composition, EXIF orientation, and APNG composition in and out of order.

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <random>

#include "image/HVImageCoder.h"
#include "image/HVImageDecoder.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/CGImageDestination.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"

using namespace plat;
using namespace fixtures;

namespace {

bool near(uint32_t a, uint32_t b, int tol) {
  for (int s = 0; s < 32; s += 8)
    if (std::abs(int((a >> s) & 0xff) - int((b >> s) & 0xff)) > tol) return false;
  return true;
}

CGImageRef frameImage(HVImageDecoder& d, uint64_t i, bool forDisplay = true) {
  auto f = d.frameAtIndexDecodeForDisplay(i, forDisplay);
  return f && f->image() ? f->image()->CGImage() : nullptr;
}

TEST(ImageDecoderTest, TypeIsFixedOnceAndRefusedUpdatesChangeNothing) {
  Data png = pngData(gradient(6, 4), false);
  HVImageDecoder d(2);
  EXPECT_TRUE(d.updateDataFinal(png.subdata(0, 15), false));
  EXPECT_EQ(d.type(), HVImageKindUnknown);
  EXPECT_TRUE(d.updateDataFinal(png.subdata(0, 16), false));
  EXPECT_EQ(d.type(), HVImageKindUnknown);
  EXPECT_TRUE(d.updateDataFinal(png.subdata(0, 40), false));
  EXPECT_EQ(d.type(), HVImageKindPNG);

  // Shorter data, and data of another type, are refused and leave data and flag alone.
  EXPECT_FALSE(d.updateDataFinal(png.subdata(0, 20), true));
  Data gif = gifData(4, 4, {gifSolid(0, 0, 4, 4, 1)});
  gif.setLength(60);
  EXPECT_FALSE(d.updateDataFinal(gif, true));
  EXPECT_FALSE(d.isFinalized());
  EXPECT_EQ(d.data().length(), 40u);

  EXPECT_TRUE(d.updateDataFinal(png, true));
  EXPECT_TRUE(d.isFinalized());
  EXPECT_EQ(d.frameCount(), 1u);
  EXPECT_EQ(d.width(), 6u);
  EXPECT_FALSE(d.updateDataFinal(png, true));
  EXPECT_DOUBLE_EQ(d.scale(), 2);
  EXPECT_DOUBLE_EQ(HVImageDecoder(-1).scale(), 1);
}

TEST(ImageDecoderTest, DecodesPixelsOfEveryReader) {
  auto src = gradient(23, 17);
  for (bool interlaced : {false, true}) {
    auto d = HVImageDecoder::decoderWithDataScale(pngData(src, interlaced), 1);
    ASSERT_TRUE(d);
    auto img = frameImage(*d, 0);
    ASSERT_TRUE(img);
    EXPECT_TRUE(img->isOpaque());
    for (int y = 0; y < 17; y += 4)
      for (int x = 0; x < 23; x += 5) EXPECT_EQ(img->pixelAt(x, y), gradientAt(x, y));
  }
  // Translucent PNG pixels come back within one step of rounding.
  auto half = solid(3, 3, 0x80336699);
  auto hd = HVImageDecoder::decoderWithDataScale(pngData(half, false), 1);
  ASSERT_TRUE(hd);
  EXPECT_TRUE(near(frameImage(*hd, 0)->pixelAt(1, 1), 0x80336699, 2));

  auto flat = solid(32, 16, 0xff3080c0);
  for (bool progressive : {false, true}) {
    auto d = HVImageDecoder::decoderWithDataScale(jpegData(flat, progressive), 1);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->type(), HVImageKindJPEG);
    auto img = frameImage(*d, 0);
    ASSERT_TRUE(img);
    EXPECT_TRUE(near(img->pixelAt(20, 10), 0xff3080c0, 3));
  }

  auto g = HVImageDecoder::decoderWithDataScale(gifData(5, 5, {gifSolid(0, 0, 5, 5, 2)}), 1);
  ASSERT_TRUE(g);
  EXPECT_EQ(frameImage(*g, 0)->pixelAt(4, 4), 0xff00ff00u);

  // Nothing decodable: no decoder.
  EXPECT_FALSE(HVImageDecoder::decoderWithDataScale(Data::fromString("not an image at all"), 1));
  EXPECT_FALSE(HVImageDecoder::decoderWithDataScale(Data(), 1));
  std::vector<std::string> logs;
  setNSLogCaptureForTesting([&](const std::string& m) { logs.push_back(m); });
  std::string webp("RIFF\x10\0\0\0WEBPVP8 \0\0\0\0\0\0\0\0", 24);
  auto w = HVImageDecoder::decoderWithDataScale(Data::fromString(webp), 1);
  setNSLogCaptureForTesting(nullptr);
  EXPECT_FALSE(w);
}

// Rows that have arrived show; the rest stays transparent (or, interlaced, blocky).
TEST(ImageDecoderTest, PrefixesDecodeAsFarAsTheyGo) {
  auto src = gradient(64, 64);
  Data plain = pngData(src, false);
  {
    HVImageDecoder d(1);
    d.updateDataFinal(plain.subdata(0, plain.length() / 2), false);
    auto img = frameImage(d, 0);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->pixelAt(10, 1), gradientAt(10, 1));
    EXPECT_EQ(img->pixelAt(10, 63) >> 24, 0u);
    d.updateDataFinal(plain, true);
    EXPECT_EQ(frameImage(d, 0)->pixelAt(10, 63), gradientAt(10, 63));
  }
  {
    Data inter = pngData(src, true);
    HVImageDecoder d(1);
    d.updateDataFinal(inter.subdata(0, inter.length() * 2 / 3), false);
    auto img = frameImage(d, 0);
    ASSERT_TRUE(img);
    // Every pixel is covered by some pass already.
    int transparent = 0;
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) transparent += (img->pixelAt(x, y) >> 24) == 0;
    EXPECT_EQ(transparent, 0);
  }
  auto photo = gradient(64, 64);
  {
    Data base = jpegData(photo, false, 90);
    HVImageDecoder d(1);
    d.updateDataFinal(base.subdata(0, base.length() / 2), false);
    auto img = frameImage(d, 0);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->pixelAt(5, 2) >> 24, 0xffu);
    EXPECT_EQ(img->pixelAt(5, 62) >> 24, 0u);
  }
  {
    Data prog = jpegData(photo, true, 90);
    HVImageDecoder d(1);
    d.updateDataFinal(prog.subdata(0, prog.length() / 2), false);
    auto img = frameImage(d, 0);
    ASSERT_TRUE(img);
    // A coarse but whole picture.
    EXPECT_EQ(img->pixelAt(5, 62) >> 24, 0xffu);
    EXPECT_TRUE(near(img->pixelAt(10, 10), gradientAt(10, 10), 48));
  }
  {
    Data gif = gifData(8, 8, {gifSolid(0, 0, 8, 8, 1), gifSolid(0, 0, 8, 8, 2)}, 0);
    HVImageDecoder d(1);
    d.updateDataFinal(gif.subdata(0, gif.length() - 1), false);
    EXPECT_EQ(d.frameCount(), 1u);
    EXPECT_FALSE(d.frameAtIndexDecodeForDisplay(1, true));
    d.updateDataFinal(gif, true);
    EXPECT_EQ(d.frameCount(), 2u);
  }
}

void le(std::vector<uint8_t>& o, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) o.push_back(uint8_t(v >> (8 * i)));
}

// A DIB header of 40 bytes.
void dibHeader(std::vector<uint8_t>& o, int w, int h, int bpp, uint32_t colors) {
  le(o, 40, 4), le(o, uint32_t(w), 4), le(o, uint32_t(h), 4), le(o, 1, 2), le(o, bpp, 2);
  le(o, 0, 4), le(o, 0, 4), le(o, 0, 4), le(o, 0, 4), le(o, colors, 4), le(o, 0, 4);
}

TEST(ImageDecoderTest, BitmapsAndIconsOfTheOwnReaders) {
  // 24-bit, bottom-up, 3 x 2 with row padding: bottom row blue, top row red.
  std::vector<uint8_t> bmp = {'B', 'M'};
  le(bmp, 14 + 40 + 24, 4), le(bmp, 0, 4), le(bmp, 54, 4);
  dibHeader(bmp, 3, 2, 24, 0);
  for (int row = 0; row < 2; ++row) {
    for (int x = 0; x < 3; ++x)
      bmp.insert(bmp.end(), {uint8_t(row ? 0 : 255), 0, uint8_t(row ? 255 : 0)});
    bmp.insert(bmp.end(), 3, 0);
  }
  auto b = HVImageDecoder::decoderWithDataScale(Data(bmp), 1);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->type(), HVImageKindBMP);
  EXPECT_EQ(frameImage(*b, 0)->pixelAt(2, 0), 0xffff0000u);
  EXPECT_EQ(frameImage(*b, 0)->pixelAt(0, 1), 0xff0000ffu);

  // 8-bit palette, top-down (negative height).
  std::vector<uint8_t> pal = {'B', 'M'};
  le(pal, 0, 4), le(pal, 0, 4), le(pal, 14 + 40 + 8, 4);
  dibHeader(pal, 2, -2, 8, 2);
  pal.insert(pal.end(), {0, 255, 0, 0, 0, 0, 0, 0});  // green, black
  pal.insert(pal.end(), {0, 1, 0, 0, 1, 0, 0, 0});
  auto p = HVImageDecoder::decoderWithDataScale(Data(pal), 1);
  ASSERT_TRUE(p);
  EXPECT_EQ(frameImage(*p, 0)->pixelAt(0, 0), 0xff00ff00u);
  EXPECT_EQ(frameImage(*p, 0)->pixelAt(0, 1), 0xff000000u);

  // An icon with one 24-bit entry whose mask clears its top-left pixel (rows bottom-up).
  std::vector<uint8_t> entry;
  dibHeader(entry, 2, 4, 24, 0);  // height counts the mask
  for (int row = 0; row < 2; ++row) {
    for (int x = 0; x < 2; ++x) entry.insert(entry.end(), {255, 0, 0});
    entry.insert(entry.end(), 2, 0);
  }
  entry.insert(entry.end(), {0, 0, 0, 0, 0x80, 0, 0, 0});  // mask rows: bottom clear, top x=0
  std::vector<uint8_t> ico = {0, 0, 1, 0, 1, 0, 2, 2, 0, 0, 1, 0, 24, 0};
  le(ico, uint32_t(entry.size()), 4), le(ico, 22, 4);
  ico.insert(ico.end(), entry.begin(), entry.end());
  auto i = HVImageDecoder::decoderWithDataScale(Data(ico), 1);
  ASSERT_TRUE(i);
  EXPECT_EQ(i->type(), HVImageKindICO);
  EXPECT_EQ(frameImage(*i, 0)->pixelAt(0, 0), 0u);
  EXPECT_EQ(frameImage(*i, 0)->pixelAt(1, 0), 0xff0000ffu);
  EXPECT_EQ(frameImage(*i, 0)->pixelAt(0, 1), 0xff0000ffu);

  // Damaged headers give no decoder.
  std::vector<uint8_t> cut(bmp.begin(), bmp.begin() + 30);
  EXPECT_FALSE(HVImageDecoder::decoderWithDataScale(Data(cut), 1));
}

TEST(ImageDecoderTest, GIFTimingLoopsAndComposition) {
  // Frame 0 red over the screen, frame 1 a blue 2x2 square with transparent corner, disposed to
  // background; frame 2 a green 1x1 dot with no control block.
  GifFrame square = gifSolid(1, 1, 2, 2, 3, 2, DISPOSE_BACKGROUND);
  square.indexes[0] = 0;
  square.transparent = 0;
  GifFrame dot;
  dot.left = 3, dot.top = 3, dot.width = 1, dot.height = 1, dot.indexes = {2};
  Data gif = gifData(4, 4, {gifSolid(0, 0, 4, 4, 1, 0), square, dot}, 2);
  auto d = HVImageDecoder::decoderWithDataScale(gif, 1);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->frameCount(), 3u);
  EXPECT_EQ(d->loopCount(), 2u);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(0), 0);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(1), 0.02);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(2), 0);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(3), 0);
  EXPECT_FALSE(d->frameAtIndexDecodeForDisplay(3, true));

  auto f1 = frameImage(*d, 1);
  EXPECT_EQ(f1->pixelAt(1, 1), 0xffff0000u);  // transparent index shows the red below
  EXPECT_EQ(f1->pixelAt(2, 2), 0xff0000ffu);
  auto f2 = frameImage(*d, 2);
  EXPECT_EQ(f2->pixelAt(2, 2), 0u);  // cleared by frame 1's disposal
  EXPECT_EQ(f2->pixelAt(0, 0), 0xffff0000u);
  EXPECT_EQ(f2->pixelAt(3, 3), 0xff00ff00u);
  Value props = d->framePropertiesAtIndex(0);  // delay 0 reads as 0.1 when clamped
  EXPECT_DOUBLE_EQ(props[kCGImagePropertyGIFDictionary][kCGImagePropertyGIFDelayTime].doubleValue(),
                   0.1);

  // No loop block: endless.
  auto endless = HVImageDecoder::decoderWithDataScale(
      gifData(2, 2, {gifSolid(0, 0, 2, 2, 1), gifSolid(0, 0, 2, 2, 2)}), 1);
  ASSERT_TRUE(endless);
  EXPECT_EQ(endless->loopCount(), 0u);
}

TEST(ImageDecoderTest, EXIFOrientationMapsToImageOrientation) {
  std::vector<std::pair<int, UIImageOrientation>> map = {{1, UIImageOrientationUp},
                                                         {2, UIImageOrientationUpMirrored},
                                                         {3, UIImageOrientationDown},
                                                         {4, UIImageOrientationDownMirrored},
                                                         {5, UIImageOrientationLeftMirrored},
                                                         {6, UIImageOrientationRight},
                                                         {7, UIImageOrientationRightMirrored},
                                                         {8, UIImageOrientationLeft}};
  for (auto [exif, want] : map) {
    auto d =
        HVImageDecoder::decoderWithDataScale(jpegData(solid(8, 8, 0xff808080), false, 90, exif), 1);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->orientation(), want) << exif;
    EXPECT_EQ(d->frameAtIndexDecodeForDisplay(0, true)->image()->imageOrientation(), want);
  }
}

// The pages of a TIFF are separate pictures: each decodes at its own size, for display or not,
// whatever the first page's size (a taller page is not cut, a smaller one not padded).
TEST(ImageDecoderTest, TIFFPagesDecodeAtTheirOwnSizes) {
  std::vector<std::pair<int, int>> sizes = {{320, 240}, {240, 320}, {160, 120}};
  auto dest = CGImageDestination::createWithData("public.tiff", sizes.size());
  for (auto [w, h] : sizes) dest->addImage(gradient(w, h), {});
  ASSERT_TRUE(dest->finalize());
  auto d = HVImageDecoder::decoderWithDataScale(dest->data(), 1);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->frameCount(), sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    auto [w, h] = sizes[i];
    for (bool forDisplay : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "page " << i << " for display " << forDisplay);
      auto img = frameImage(*d, i, forDisplay);
      ASSERT_TRUE(img);
      EXPECT_EQ(img->width(), size_t(w));
      EXPECT_EQ(img->height(), size_t(h));
      for (auto [x, y] : {std::pair{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}, {w / 2, h / 3}})
        EXPECT_EQ(img->pixelAt(x, y), gradientAt(x, y)) << x << "," << y;
    }
  }
}

constexpr uint32_t R = 0xffff0000, G = 0xff00ff00, B = 0xff0000ff;

// Canvas 4x4. f0 red everywhere; f1 green 2x2 at (0,0) over, dispose previous; f2 blue 2x2 at
// (2,2) source, dispose background; f3 half-transparent green 4x1 at (0,3) over.
Data composedApng() {
  return apng(4, 4,
              {{solid(4, 4, R), 0, 0, 1, 10, 0, 0},
               {solid(2, 2, G), 0, 0, 1, 0, 2, 1},
               {solid(2, 2, B), 2, 2, 0, 0, 1, 0},
               {solid(4, 1, 0x8000ff00), 0, 3, 3, 100, 0, 1}},
              5);
}

TEST(ImageDecoderTest, APNGFramesComposeInAnyOrder) {
  Data data = composedApng();
  auto d = HVImageDecoder::decoderWithDataScale(data, 1);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->frameCount(), 4u);
  EXPECT_EQ(d->loopCount(), 5u);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(0), 0.1);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(1), 0.01);  // 1/0 reads as 1/100
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(2), 0);     // 0/0
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(3), 0.03);
  EXPECT_FALSE(d->framePropertiesAtIndex(0));

  auto check = [](const CGImageRef& img, uint64_t i) {
    ASSERT_TRUE(img) << i;
    ASSERT_EQ(img->width(), 4u);
    switch (i) {
      case 0:
        EXPECT_EQ(img->pixelAt(0, 0), R);
        break;
      case 1:
        EXPECT_EQ(img->pixelAt(0, 0), G);
        EXPECT_EQ(img->pixelAt(3, 3), R);
        break;
      case 2:  // frame 1 restored to red before; blue replaces the corner
        EXPECT_EQ(img->pixelAt(0, 0), R);
        EXPECT_EQ(img->pixelAt(3, 3), B);
        break;
      case 3:  // frame 2's square cleared; half green over red, over nothing
        EXPECT_EQ(img->pixelAt(0, 0), R);
        EXPECT_TRUE(near(img->pixelAt(0, 3), 0xff7f8000, 2)) << std::hex << img->pixelAt(0, 3);
        EXPECT_TRUE(near(img->pixelAt(3, 3), 0x8000ff00, 2)) << std::hex << img->pixelAt(3, 3);
        EXPECT_EQ(img->pixelAt(3, 2), 0u);
        break;
    }
  };
  for (uint64_t i = 0; i < 4; ++i) check(frameImage(*d, i), i);
  // Backwards and out of order from fresh decoders, and the frame after a dispose-previous one.
  for (uint64_t i : {3, 1, 2, 0, 2}) check(frameImage(*d, i), i);
  auto fresh = HVImageDecoder::decoderWithDataScale(data, 1);
  check(frameImage(*fresh, 2), 2);

  auto frame = d->frameAtIndexDecodeForDisplay(2, true);
  EXPECT_EQ(frame->width(), 4u);
  EXPECT_EQ(frame->offsetX(), 0u);
  EXPECT_EQ(frame->dispose(), HVFrameDisposeNone);
  auto raw = d->frameAtIndexDecodeForDisplay(2, false);
  EXPECT_EQ(raw->dispose(), HVFrameDisposeBackground);
  // The copy keeps the decoder's own fields: copying it again through the base keeps them too.
  auto again = raw->copy();
  EXPECT_EQ(again->dispose(), HVFrameDisposeBackground);
  const auto& copied = *again;
  const auto& original = *raw;
  EXPECT_EQ(typeid(copied), typeid(original));
}

TEST(ImageDecoderTest, APNGOffsetsAndFallbacks) {
  // Frame 1 is 1x1 at top-left offsets (1, 0): bottom-left based y is 4 - 0 - 1 = 3.
  Data a = apng(4, 4, {{solid(4, 4, R)}, {solid(1, 1, G), 1, 0, 1, 10, 0, 0}});
  auto d = HVImageDecoder::decoderWithDataScale(a, 1);
  ASSERT_TRUE(d);
  auto f = d->frameAtIndexDecodeForDisplay(1, false);
  EXPECT_EQ(f->offsetX(), 1u);
  EXPECT_EQ(f->offsetY(), 3u);
  EXPECT_EQ(frameImage(*d, 1)->pixelAt(1, 0), G);

  // One frame that is the default image: a plain PNG through the image source.
  Data single = apng(3, 3, {{solid(3, 3, B)}});
  auto s = HVImageDecoder::decoderWithDataScale(single, 1);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->frameCount(), 1u);
  EXPECT_TRUE(s->framePropertiesAtIndex(0));

  // A frame running off the canvas: the default image still shows.
  Data bad = apng(4, 4, {{solid(4, 4, R)}, {solid(2, 2, G), 3, 3}});
  auto b = HVImageDecoder::decoderWithDataScale(bad, 1);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->frameCount(), 1u);
  EXPECT_EQ(frameImage(*b, 0)->pixelAt(0, 0), R);

  // While data is partial only the default image is offered.
  HVImageDecoder partial(1);
  partial.updateDataFinal(a.subdata(0, a.length() - 1), false);
  EXPECT_EQ(partial.frameCount(), 1u);
}

TEST(ImageDecoderTest, FramesDecodedForDisplayCarryTheMark) {
  auto gif = HVImageDecoder::decoderWithDataScale(
      gifData(4, 4, {gifSolid(0, 0, 4, 4, 1), gifSolid(1, 1, 2, 2, 2)}), 1);
  auto still = HVImageDecoder::decoderWithDataScale(pngData(gradient(4, 4), false), 1);
  auto blended = HVImageDecoder::decoderWithDataScale(composedApng(), 1);
  for (auto* d : {gif.get(), still.get(), blended.get()}) {
    ASSERT_TRUE(d);
    for (uint64_t i = 0; i < d->frameCount(); ++i) {
      auto frame = d->frameAtIndexDecodeForDisplay(i, true);
      ASSERT_TRUE(frame && frame->image()) << d->type() << " " << i;
      EXPECT_TRUE(HV_isDecodedForDisplay(frame->image())) << d->type() << " " << i;
      // Nothing is drawn again for display.
      EXPECT_EQ(HV_imageByDecoded(frame->image()), frame->image());
    }
  }
  EXPECT_FALSE(HV_isDecodedForDisplay(gif->frameAtIndexDecodeForDisplay(1, false)->image()));
  EXPECT_FALSE(HV_isDecodedForDisplay(still->frameAtIndexDecodeForDisplay(0, false)->image()));
}

// Reference APNG compositor: straight from the format's rules, premultiplied floats, top-left
// coordinates. Returns each frame's output as straight ARGB.
std::vector<std::vector<uint32_t>> referenceFrames(uint32_t w, uint32_t h,
                                                   const std::vector<ApngFrame>& frames,
                                                   const std::vector<uint32_t>& colors) {
  struct Px {
    double a = 0, r = 0, g = 0, b = 0;
  };
  std::vector<Px> canvas(size_t(w) * h);
  std::vector<std::vector<uint32_t>> out;
  for (size_t i = 0; i < frames.size(); ++i) {
    const ApngFrame& f = frames[i];
    uint32_t c = colors[i];
    double a = (c >> 24) / 255.0;
    Px src{a, ((c >> 16) & 0xff) / 255.0 * a, ((c >> 8) & 0xff) / 255.0 * a,
           (c & 0xff) / 255.0 * a};
    uint8_t dispose = f.dispose == 2 && i == 0 ? 1 : f.dispose;
    auto saved = canvas;
    for (uint32_t y = f.y; y < f.y + f.image->height(); ++y)
      for (uint32_t x = f.x; x < f.x + f.image->width(); ++x) {
        Px& d = canvas[size_t(y) * w + x];
        if (f.blend == 0)
          d = src;
        else
          d = {src.a + d.a * (1 - src.a), src.r + d.r * (1 - src.a), src.g + d.g * (1 - src.a),
               src.b + d.b * (1 - src.a)};
      }
    std::vector<uint32_t> shown;
    for (const Px& p : canvas) {
      auto ch = [&](double v) { return p.a > 0 ? uint32_t(std::lround(v / p.a * 255)) : 0u; };
      shown.push_back(uint32_t(std::lround(p.a * 255)) << 24 | ch(p.r) << 16 | ch(p.g) << 8 |
                      ch(p.b));
    }
    out.push_back(std::move(shown));
    if (dispose == 1) {
      for (uint32_t y = f.y; y < f.y + f.image->height(); ++y)
        for (uint32_t x = f.x; x < f.x + f.image->width(); ++x) canvas[size_t(y) * w + x] = Px{};
    } else if (dispose == 2) {
      canvas = saved;
    }
  }
  return out;
}

// Straight colours compare loosely where alpha is low; fully transparent pixels compare as 0.
bool sameShown(uint32_t got, uint32_t want) {
  if ((want >> 24) == 0) return (got >> 24) == 0;
  return near(got, want, 3);
}

TEST(ImageDecoderTest, APNGFramesMatchAReferenceCompositorInAnyOrder) {
  constexpr uint32_t W = 5, H = 4;
  const uint32_t palette[] = {R, G, B, 0x80ff0000, 0x8000ff00, 0xff808000, 0x800000ff};
  std::mt19937 rng(20240607);
  for (int round = 0; round < 40; ++round) {
    size_t n = 3 + rng() % 4;
    std::vector<ApngFrame> frames;
    std::vector<uint32_t> colors;
    for (size_t i = 0; i < n; ++i) {
      uint32_t fw = i == 0 ? W : 1 + rng() % W, fh = i == 0 ? H : 1 + rng() % H;
      // Full-canvas frames now and then, so source frames that reset the canvas come up.
      if (rng() % 3 == 0) fw = W, fh = H;
      uint32_t x = fw == W ? 0 : rng() % (W - fw + 1), y = fh == H ? 0 : rng() % (H - fh + 1);
      colors.push_back(palette[rng() % std::size(palette)]);
      frames.push_back({solid(int(fw), int(fh), colors.back()), x, y, 1, 10, uint8_t(rng() % 3),
                        uint8_t(rng() % 2)});
    }
    auto want = referenceFrames(W, H, frames, colors);
    Data data = apng(W, H, frames);
    auto check = [&](HVImageDecoder& d, uint64_t i, const char* how) {
      CGImageRef img = frameImage(d, i);
      ASSERT_TRUE(img) << how << " round " << round << " frame " << i;
      for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x)
          ASSERT_TRUE(sameShown(img->pixelAt(int(x), int(y)), want[i][y * W + x]))
              << how << " round " << round << " frame " << i << " at " << x << "," << y << std::hex
              << " got " << img->pixelAt(int(x), int(y)) << " want " << want[i][y * W + x];
    };
    // Playback order, twice round (the second pass steps from the last frame back to 0).
    auto played = HVImageDecoder::decoderWithDataScale(data, 1);
    ASSERT_TRUE(played);
    ASSERT_EQ(played->frameCount(), n);
    for (uint64_t pass = 0; pass < 2; ++pass)
      for (uint64_t i = 0; i < n; ++i) check(*played, i, "in order");
    // Each frame alone, and k then k + 1, from fresh decoders.
    for (uint64_t k = 0; k < n; ++k) {
      auto d = HVImageDecoder::decoderWithDataScale(data, 1);
      check(*d, k, "alone");
      if (k + 1 < n) check(*d, k + 1, "after the one before");
    }
    // Random jumps on one decoder.
    auto jumpy = HVImageDecoder::decoderWithDataScale(data, 1);
    for (int j = 0; j < 12; ++j) check(*jumpy, rng() % n, "random");
  }
}

}  // namespace
