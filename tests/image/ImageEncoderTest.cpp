// The encoder: refusals, the delay table, round trips through the decoder for every writable
// type, GIF loops and delays, and the structure of written animated PNGs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "image/HVBitmapCopy.h"
#include "image/HVImageEncoder.h"
#include "platform/foundation/NSException.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/CGImageDestination.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"

using namespace plat;
using namespace fixtures;

namespace {

class LogCapture {
 public:
  LogCapture() {
    setNSLogCaptureForTesting([this](const std::string& m) {
      std::lock_guard<std::mutex> l(mu);
      lines.push_back(m);
    });
  }
  ~LogCapture() { setNSLogCaptureForTesting(nullptr); }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> l(mu);
    return lines;
  }

 private:
  std::mutex mu;
  std::vector<std::string> lines;
};

CGImageRef decodeFrame(const Data& data, uint64_t i = 0) {
  auto d = HVImageDecoder::decoderWithDataScale(data, 1);
  if (!d) return nullptr;
  auto f = d->frameAtIndexDecodeForDisplay(i, true);
  return f && f->image() ? f->image()->CGImage() : nullptr;
}

double psnr(const CGImageRef& a, const CGImageRef& b) {
  double se = 0;
  size_t n = 0;
  for (size_t y = 0; y < a->height(); ++y)
    for (size_t x = 0; x < a->width(); ++x) {
      uint32_t p = a->pixelAt(int(x), int(y)), q = b->pixelAt(int(x), int(y));
      for (int s = 0; s < 24; s += 8) {
        double d = double((p >> s) & 0xff) - double((q >> s) & 0xff);
        se += d * d;
        ++n;
      }
    }
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (se / double(n)));
}

TEST(ImageEncoderTest, RefusesMissingAndUnsupportedTypes) {
  try {
    HVImageEncoder::init();
    FAIL() << "init without a type must raise";
  } catch (const NSException& e) {
    EXPECT_EQ(e.name(), "HVImageEncoder init error");
    EXPECT_EQ(e.reason(),
              "HVImageEncoder must be initialized with a type. Use 'initWithType:' instead.");
  }
  LogCapture logs;
  EXPECT_FALSE(HVImageEncoder::initWithType(0));
  EXPECT_FALSE(HVImageEncoder::initWithType(10));
  EXPECT_FALSE(HVImageEncoder::initWithType(9));
  auto lines = logs.take();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("Unsupported image type:0"), std::string::npos);
  EXPECT_NE(lines[1].find("Unsupported image type:10"), std::string::npos);
  EXPECT_NE(lines[2].find("WebP is not available"), std::string::npos);

  auto jpeg = HVImageEncoder::initWithType(HVImageKindJPEG);
  EXPECT_DOUBLE_EQ(jpeg->quality(), 0.9);
  EXPECT_FALSE(jpeg->lossless());
  auto png = HVImageEncoder::initWithType(HVImageKindPNG);
  EXPECT_DOUBLE_EQ(png->quality(), 1.0);
  EXPECT_TRUE(png->lossless());
  png->setQuality(7);
  EXPECT_DOUBLE_EQ(png->quality(), 1);
  png->setQuality(-1);
  EXPECT_DOUBLE_EQ(png->quality(), 0);
  EXPECT_TRUE(png->encode().empty());  // no frames
  png->addImageWithDataDuration(Data(), 1);
  png->addImageWithFileDuration("", 1);
  png->addImageDuration(nullptr, 1);
  EXPECT_TRUE(png->encode().empty());
  EXPECT_TRUE(HVEncodeCGImage(gradient(2, 2), HVImageKindWebP, 1).empty());
  EXPECT_TRUE(HVEncodeCGImage(nullptr, HVImageKindPNG, 1).empty());
}

TEST(ImageEncoderTest, DelayFractions) {
  struct Row {
    double seconds;
    uint16_t num, den;
  };
  for (const Row& r : std::vector<Row>{{0.1, 1, 10},
                                       {0.5, 1, 2},
                                       {1.0 / 3, 1, 3},
                                       {0.75, 3, 4},
                                       {300, 255, 1},
                                       {255, 255, 1},
                                       {0.001, 1, 255},
                                       {0, 1, 255},
                                       {NAN, 1, 255},
                                       {-4, 1, 255},
                                       {2, 2, 1}}) {
    uint16_t n = 0, d = 0;
    HVFrameDelayFraction(r.seconds, &n, &d);
    EXPECT_EQ(n, r.num) << r.seconds;
    EXPECT_EQ(d, r.den) << r.seconds;
  }
  // Anything else lands within 1/510 of the duration or at the closest small fraction.
  for (double s = 0.01; s < 3; s += 0.037) {
    uint16_t n = 0, d = 0;
    HVFrameDelayFraction(s, &n, &d);
    ASSERT_GT(d, 0);
    EXPECT_NEAR(double(n) / d, s, 0.01) << s;
  }
}

TEST(ImageEncoderTest, StillImagesRoundTrip) {
  auto photo = gradient(40, 30);
  Data png =
      HVImageEncoder::encodeImageTypeQuality(UIImage::imageWithCGImage(photo), HVImageKindPNG, 1);
  auto p = decodeFrame(png);
  ASSERT_TRUE(p);
  EXPECT_EQ(psnr(p, photo), 99);

  auto translucent = solid(5, 5, 0x80204060);
  auto t = decodeFrame(HVEncodeCGImage(translucent, HVImageKindPNG, 1));
  ASSERT_TRUE(t);
  for (int s = 0; s < 32; s += 8)
    EXPECT_NEAR(int((t->pixelAt(2, 2) >> s) & 0xff), int((0x80204060u >> s) & 0xff), 1);

  auto smooth = gradient(30, 20);  // no wrapping colour steps
  Data jpeg = HVEncodeCGImage(smooth, HVImageKindJPEG, 0.9);
  ASSERT_EQ(HVSniffImageType(jpeg), HVImageKindJPEG);
  auto j = decodeFrame(jpeg);
  ASSERT_TRUE(j);
  EXPECT_GT(psnr(j, smooth), 30);
  // Lower quality: smaller and still recognisable.
  Data low = HVEncodeCGImage(smooth, HVImageKindJPEG, 0.2);
  EXPECT_LT(low.length(), jpeg.length());
  EXPECT_GT(psnr(decodeFrame(low), smooth), 22);

  // TIFF keeps pixels exactly, with or without alpha; a destination of several pages reads
  // back as that many frames.
  Data tiff = HVEncodeCGImage(photo, HVImageKindTIFF, 1);
  ASSERT_EQ(HVSniffImageType(tiff), HVImageKindTIFF);
  auto tp = decodeFrame(tiff);
  ASSERT_TRUE(tp);
  EXPECT_TRUE(tp->isOpaque());
  EXPECT_EQ(psnr(tp, photo), 99);
  auto ta = decodeFrame(HVEncodeCGImage(translucent, HVImageKindTIFF, 1));
  ASSERT_TRUE(ta);
  EXPECT_EQ(ta->pixelAt(2, 2), translucent->pixelAt(2, 2));
  auto pages = CGImageDestination::createWithData("public.tiff", 2);
  pages->addImage(gradient(4, 4), {});
  pages->addImage(solid(6, 2, 0xff0000ff), {});
  ASSERT_TRUE(pages->finalize());
  auto multi = HVImageDecoder::decoderWithDataScale(pages->data(), 1);
  ASSERT_TRUE(multi);
  EXPECT_EQ(multi->frameCount(), 2u);
  EXPECT_EQ(multi->frameAtIndexDecodeForDisplay(1, false)->image()->CGImage()->pixelAt(5, 1),
            0xff0000ffu);
  // BMP keeps pixels (alpha within rounding); ICO holds one entry up to 256 x 256.
  auto bp = decodeFrame(HVEncodeCGImage(photo, HVImageKindBMP, 1));
  ASSERT_TRUE(bp);
  EXPECT_EQ(psnr(bp, photo), 99);
  EXPECT_TRUE(bp->isOpaque());
  auto ba = decodeFrame(HVEncodeCGImage(translucent, HVImageKindBMP, 1));
  ASSERT_TRUE(ba);
  for (int s = 0; s < 32; s += 8)
    EXPECT_NEAR(int((ba->pixelAt(1, 1) >> s) & 0xff), int((0x80204060u >> s) & 0xff), 1);
  Data ico = HVEncodeCGImage(translucent, HVImageKindICO, 1);
  ASSERT_EQ(HVSniffImageType(ico), HVImageKindICO);
  auto ia = decodeFrame(ico);
  ASSERT_TRUE(ia);
  EXPECT_EQ(ia->pixelAt(4, 4), translucent->pixelAt(4, 4));
  EXPECT_TRUE(HVEncodeCGImage(gradient(257, 2), HVImageKindICO, 1).empty());

  // A JPEG encoder given three images writes only the first.
  auto enc = HVImageEncoder::initWithType(HVImageKindJPEG);
  enc->addImageDuration(UIImage::imageWithCGImage(gradient(8, 6)), 0);
  enc->addImageDuration(UIImage::imageWithCGImage(gradient(16, 16)), 0);
  enc->addImageDuration(UIImage::imageWithCGImage(gradient(4, 4)), 0);
  auto first = decodeFrame(enc->encode());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->width(), 8u);

  // An image that must be turned right comes back upright.
  auto sideways = UIImage::imageWithCGImage(solid(30, 20, 0xff000000), 1, UIImageOrientationRight);
  auto upright =
      decodeFrame(HVImageEncoder::encodeImageTypeQuality(sideways, HVImageKindJPEG, 0.9));
  ASSERT_TRUE(upright);
  EXPECT_EQ(upright->width(), 20u);
  EXPECT_EQ(upright->height(), 30u);
}

TEST(ImageEncoderTest, JPEG2000AndIconFilesRoundTrip) {
  // JPEG 2000: lossless at quality 1, with or without alpha; smaller and close below.
  auto photo = gradient(40, 30);
  Data lossless = HVEncodeCGImage(photo, HVImageKindJPEG2000, 1);
  ASSERT_EQ(HVSniffImageType(lossless), HVImageKindJPEG2000);
  auto jp = decodeFrame(lossless);
  ASSERT_TRUE(jp);
  EXPECT_TRUE(jp->isOpaque());
  EXPECT_EQ(psnr(jp, photo), 99);
  auto translucent = solid(5, 5, 0x80204060);
  auto ja = decodeFrame(HVEncodeCGImage(translucent, HVImageKindJPEG2000, 1));
  ASSERT_TRUE(ja);
  for (int s = 0; s < 32; s += 8)
    EXPECT_NEAR(int((ja->pixelAt(2, 2) >> s) & 0xff), int((0x80204060u >> s) & 0xff), 1);
  auto smooth = gradient(64, 48);
  Data lossy = HVEncodeCGImage(smooth, HVImageKindJPEG2000, 0.5);
  EXPECT_LT(lossy.length(), HVEncodeCGImage(smooth, HVImageKindJPEG2000, 1).length());
  auto jl = decodeFrame(lossy);
  ASSERT_TRUE(jl);
  EXPECT_GT(psnr(jl, smooth), 20);
  // Through the encoder class, with its default quality of 0.9 for this type.
  auto enc = HVImageEncoder::initWithType(HVImageKindJPEG2000);
  enc->addImageDuration(UIImage::imageWithCGImage(smooth), 0);
  auto je = decodeFrame(enc->encode());
  ASSERT_TRUE(je);
  EXPECT_GT(psnr(je, smooth), 30);
  // A damaged file is no image.
  EXPECT_FALSE(decodeFrame(lossless.subdata(0, lossless.length() / 2)));

  // ICNS: one PNG entry for a square side with an entry type; other sizes fail.
  Data icns = HVEncodeCGImage(gradient(32, 32), HVImageKindICNS, 1);
  ASSERT_EQ(HVSniffImageType(icns), HVImageKindICNS);
  auto ic = decodeFrame(icns);
  ASSERT_TRUE(ic);
  EXPECT_EQ(psnr(ic, gradient(32, 32)), 99);
  EXPECT_TRUE(HVEncodeCGImage(gradient(20, 20), HVImageKindICNS, 1).empty());
  EXPECT_TRUE(HVEncodeCGImage(gradient(32, 16), HVImageKindICNS, 1).empty());

  // A classic 16 x 16 run-length entry with its mask: each channel is one run of 130 and one
  // of 126 (red 200, green 100, blue 50), the mask half opaque.
  std::vector<uint8_t> f = {'i', 'c', 'n', 's', 0, 0, 0, 0, 'i', 's', '3', '2', 0, 0, 0, 20};
  for (uint8_t v : {200, 100, 50}) f.insert(f.end(), {0xff, v, 0xfb, v});
  f.insert(f.end(), {'s', '8', 'm', 'k', 0, 0, 1, 8});
  f.insert(f.end(), 256, 0x80);
  f[7] = uint8_t(f.size());
  f[6] = uint8_t(f.size() >> 8);
  auto rle = decodeFrame(Data(f));
  ASSERT_TRUE(rle);
  EXPECT_EQ(rle->width(), 16u);
  for (int s = 0; s < 32; s += 8)
    EXPECT_NEAR(int((rle->pixelAt(15, 15) >> s) & 0xff), int((0x80c86432u >> s) & 0xff), 1);
  // A run that overflows the plane, or an entry longer than the file, reads as nothing.
  auto broken = f;
  broken[18] = 0xff;
  EXPECT_FALSE(decodeFrame(Data(broken)));
  broken = f;
  broken[14] = 0x10;
  EXPECT_FALSE(decodeFrame(Data(broken)));
}

TEST(ImageEncoderTest, GIFKeepsLoopsDelaysAndTransparency) {
  auto enc = HVImageEncoder::initWithType(HVImageKindGIF);
  enc->setLoopCount(3);
  enc->addImageDuration(UIImage::imageWithCGImage(solid(6, 4, 0xffff0000)), 0.2);
  enc->addImageDuration(UIImage::imageWithCGImage(solid(6, 4, 0x00000000)), 0.05);
  enc->addImageDuration(UIImage::imageWithCGImage(solid(6, 4, 0xff0000ff)), NAN);
  Data gif = enc->encode();
  auto d = HVImageDecoder::decoderWithDataScale(gif, 1);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->type(), HVImageKindGIF);
  EXPECT_EQ(d->frameCount(), 3u);
  EXPECT_EQ(d->loopCount(), 3u);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(0), 0.2);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(1), 0.05);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(2), 0);
  EXPECT_EQ(d->frameAtIndexDecodeForDisplay(0, true)->image()->CGImage()->pixelAt(3, 3),
            0xffff0000u);
  EXPECT_EQ(d->frameAtIndexDecodeForDisplay(1, true)->image()->CGImage()->pixelAt(3, 3), 0u);
  EXPECT_EQ(d->frameAtIndexDecodeForDisplay(2, true)->image()->CGImage()->pixelAt(0, 0),
            0xff0000ffu);

  // Endless by default.
  auto endless = HVImageEncoder::initWithType(HVImageKindGIF);
  endless->addImageDuration(UIImage::imageWithCGImage(solid(2, 2, 0xff00ff00)), 0.1);
  endless->addImageDuration(UIImage::imageWithCGImage(solid(2, 2, 0xffff0000)), 0.1);
  EXPECT_EQ(HVImageDecoder::decoderWithDataScale(endless->encode(), 1)->loopCount(), 0u);

  // Counts past the 16-bit field play the most it holds, never endlessly or fewer times.
  for (uint64_t loops : {65535ull, 65536ull, 100000ull}) {
    endless->setLoopCount(loops);
    auto many = HVImageDecoder::decoderWithDataScale(endless->encode(), 1);
    ASSERT_TRUE(many);
    EXPECT_EQ(many->loopCount(), 65535u) << loops;
  }
}

struct Chunk {
  std::string type;
  const uint8_t* data;
  uint32_t length;
  bool crcOK;
};

std::vector<Chunk> chunksOf(const Data& png) {
  std::vector<Chunk> out;
  for (size_t off = 8; off + 12 <= png.length();) {
    uint32_t len = be32(png.bytes() + off);
    const uint8_t* p = png.bytes() + off;
    uint32_t crc = uint32_t(crc32(0, p + 4, len + 4));
    out.push_back({std::string(reinterpret_cast<const char*>(p + 4), 4), p + 8, len,
                   crc == be32(p + 8 + len)});
    off += 12 + size_t(len);
  }
  return out;
}

TEST(ImageEncoderTest, AnimatedPNGStructureAndMixedFrames) {
  // Frame 0 opaque (an RGB PNG on its own), frame 1 translucent, frame 2 larger: the canvas
  // widens to 20 x 20 with frame 0 in the top-left corner.
  auto enc = HVImageEncoder::initWithType(HVImageKindPNG);
  enc->setLoopCount(4);
  enc->addImageDuration(UIImage::imageWithCGImage(solid(10, 10, 0xffff0000)), 0.5);
  enc->addImageDuration(UIImage::imageWithCGImage(solid(20, 20, 0x8000ff00)), 1.0 / 3);
  enc->addImageWithDataDuration(CGImagePNGRepresentation(gradient(20, 20)), 0.1);
  Data apng = enc->encode();
  ASSERT_FALSE(apng.empty());

  auto chunks = chunksOf(apng);
  std::vector<std::string> types;
  for (const auto& c : chunks) {
    types.push_back(c.type);
    EXPECT_TRUE(c.crcOK) << c.type;
  }
  ASSERT_GE(types.size(), 8u);
  EXPECT_EQ(types[0], "IHDR");
  EXPECT_EQ(be32(chunks[0].data), 20u);
  EXPECT_EQ(chunks[0].data[9], 6);  // RGBA
  EXPECT_EQ(types[1], "acTL");
  EXPECT_EQ(be32(chunks[1].data), 3u);
  EXPECT_EQ(be32(chunks[1].data + 4), 4u);
  // Sequence numbers run 0, 1, 2, ... over every fcTL and fdAT in order.
  uint32_t expected = 0;
  int fcTLs = 0;
  for (const auto& c : chunks) {
    if (c.type == "fcTL" || c.type == "fdAT") EXPECT_EQ(be32(c.data), expected++) << c.type;
    if (c.type == "fcTL") {
      ++fcTLs;
      EXPECT_EQ(be32(c.data + 4), 20u);
      EXPECT_EQ(c.data[24], 1);  // dispose background
      EXPECT_EQ(c.data[25], 0);  // blend source
    }
  }
  EXPECT_EQ(fcTLs, 3);
  EXPECT_EQ(types.back(), "IEND");

  auto d = HVImageDecoder::decoderWithDataScale(apng, 1);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->frameCount(), 3u);
  EXPECT_EQ(d->loopCount(), 4u);
  EXPECT_DOUBLE_EQ(d->frameDurationAtIndex(0), 0.5);
  EXPECT_NEAR(d->frameDurationAtIndex(1), 1.0 / 3, 1e-9);
  auto f0 = d->frameAtIndexDecodeForDisplay(0, true)->image()->CGImage();
  EXPECT_EQ(f0->pixelAt(0, 0), 0xffff0000u);
  EXPECT_EQ(f0->pixelAt(15, 15), 0u);
  auto f1 = d->frameAtIndexDecodeForDisplay(1, true)->image()->CGImage();
  for (int s = 0; s < 32; s += 8)
    EXPECT_NEAR(int((f1->pixelAt(15, 15) >> s) & 0xff), int((0x8000ff00u >> s) & 0xff), 1);
  auto f2 = d->frameAtIndexDecodeForDisplay(2, true)->image()->CGImage();
  EXPECT_EQ(f2->pixelAt(19, 7), gradientAt(19, 7));

  // Every frame of a decoder, re-encoded.
  Data again = HVImageEncoder::encodeImageWithDecoderTypeQuality(d, HVImageKindPNG, 1);
  auto d2 = HVImageDecoder::decoderWithDataScale(again, 1);
  ASSERT_TRUE(d2);
  EXPECT_EQ(d2->frameCount(), 3u);
  EXPECT_EQ(d2->frameAtIndexDecodeForDisplay(2, true)->image()->CGImage()->pixelAt(3, 4),
            gradientAt(3, 4));
  EXPECT_TRUE(
      HVImageEncoder::encodeImageWithDecoderTypeQuality(nullptr, HVImageKindPNG, 1).empty());
}

TEST(ImageEncoderTest, FilesInAndOut) {
  auto dir = std::filesystem::temp_directory_path() /
             ("hv-encoder-" + std::to_string(::getpid()) + " dir é");
  std::filesystem::create_directories(dir);
  std::string framePath = (dir / "a b é.png").string();
  ASSERT_TRUE(CGImageWritePNGFile(gradient(6, 6), framePath));

  // A path with spaces and accents is read as a file.
  auto enc = HVImageEncoder::initWithType(HVImageKindPNG);
  enc->addImageWithFileDuration(framePath, 0.1);
  enc->addImageWithFileDuration(framePath, 0.2);
  Data apng = enc->encode();
  auto d = HVImageDecoder::decoderWithDataScale(apng, 1);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->frameCount(), 2u);

  // Written files replace what was there and decode; a missing source file gives nothing.
  std::string out = (dir / "out.gif").string();
  auto gif = HVImageEncoder::initWithType(HVImageKindGIF);
  gif->addImageWithFileDuration(framePath, 0.1);
  // A named pipe where a writer might put its temporary file is neither written into nor
  // renamed over the target.
  const std::string pipe = out + ".tmp-" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(gif->encodeToFile(out));
  ::close(reader);
  std::filesystem::remove(pipe);
  EXPECT_TRUE(std::filesystem::is_regular_file(out));
  std::ifstream f(out, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(HVSniffImageType(Data(bytes)), HVImageKindGIF);
  std::string outPng = (dir / "anim.png").string();
  EXPECT_TRUE(enc->encodeToFile(outPng));
  EXPECT_FALSE(enc->encodeToFile(""));
  // A NUL inside the path is refused on both writers, and nothing is written before it.
  std::string victim = (dir / "victim").string();
  EXPECT_FALSE(enc->encodeToFile(victim + std::string("\0.png", 5)));
  EXPECT_FALSE(gif->encodeToFile(victim + std::string("\0.gif", 5)));
  EXPECT_FALSE(std::filesystem::exists(victim));
  // A source path with a NUL is not taken (nor read up to the NUL).
  auto nul = HVImageEncoder::initWithType(HVImageKindGIF);
  nul->addImageWithFileDuration(framePath + std::string("\0.tail", 6), 0.1);
  EXPECT_TRUE(nul->encode().empty());
  auto missing = HVImageEncoder::initWithType(HVImageKindPNG);
  missing->addImageWithFileDuration((dir / "none.png").string(), 0.1);
  missing->addImageWithFileDuration((dir / "none.png").string(), 0.1);
  EXPECT_TRUE(missing->encode().empty());
  std::filesystem::remove_all(dir);
}

// A JPEG tagged "rotate 90" given as data or as a file comes out as every reader shows it:
// upright, for each type the image destination writes.
TEST(ImageEncoderTest, EncodedFramesKeepTheirEXIFOrientation) {
  // Stored 32x16: top-left red, bottom-left green, right half blue.
  auto stored = CGImage::create(32, 16, true);
  cairo_surface_flush(stored->surface());
  uint8_t* px = cairo_image_surface_get_data(stored->surface());
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) {
      uint32_t p = x >= 16 ? 0xff0000ffu : y < 8 ? 0xffff0000u : 0xff00ff00u;
      std::memcpy(px + y * stored->bytesPerRow() + x * 4, &p, 4);
    }
  cairo_surface_mark_dirty(stored->surface());
  Data jpeg = jpegData(stored, false, 95, 6);
  auto shown = decodeFrame(jpeg);
  ASSERT_TRUE(shown);
  auto source = HVImageDecoder::decoderWithDataScale(jpeg, 1);
  ASSERT_EQ(source->orientation(), UIImageOrientationRight);
  CGImageRef upright = HVOrientedCGImageCopy(shown, UIImageOrientationRight, shown->bitmapInfo());
  ASSERT_TRUE(upright);
  ASSERT_EQ(upright->width(), 16u);
  ASSERT_EQ(upright->height(), 32u);

  auto dir =
      std::filesystem::temp_directory_path() / ("hv-encoder-exif-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "rotated.jpg").string();
  ASSERT_TRUE(writeDataToFile(jpeg, path, NSDataWritingAtomic));
  for (HVImageKind type : {HVImageKindPNG, HVImageKindJPEG, HVImageKindGIF}) {
    for (bool fromFile : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "type " << type << (fromFile ? " file" : " data"));
      auto enc = HVImageEncoder::initWithType(type);
      if (fromFile)
        enc->addImageWithFileDuration(path, 0);
      else
        enc->addImageWithDataDuration(jpeg, 0);
      auto out = HVImageDecoder::decoderWithDataScale(enc->encode(), 1);
      ASSERT_TRUE(out);
      EXPECT_EQ(out->orientation(), UIImageOrientationUp);
      auto img = decodeFrame(out->data());
      ASSERT_TRUE(img);
      ASSERT_EQ(img->width(), 16u);
      ASSERT_EQ(img->height(), 32u);
      for (int y = 2; y < 32; y += 4)
        for (int x = 2; x < 16; x += 4) {
          uint32_t got = img->pixelAt(x, y), want = upright->pixelAt(x, y);
          for (int s = 0; s < 24; s += 8)
            EXPECT_NEAR(int((got >> s) & 0xff), int((want >> s) & 0xff), 48) << x << "," << y;
        }
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
