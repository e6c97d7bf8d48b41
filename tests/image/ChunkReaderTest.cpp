// Type sniffing and the PNG chunk reader: animation structure, damage handling and standalone
// frame assembly.

#include <gtest/gtest.h>
#include <zlib.h>

#include "image/HVAPNGChunks.h"
#include "image/HVImageKind.h"
#include "tests/image/ImageFixtures.h"

using namespace fixtures;

namespace {

plat::Data padded(std::string head) {
  head.resize(20, '\0');
  return plat::Data::fromString(head);
}

TEST(ImageTypeTest, SniffsEveryKindAndNeedsSixteenBytes) {
  EXPECT_EQ(HVSniffImageType(padded("\x89PNG\r\n\x1a\n")), HVImageKindPNG);
  EXPECT_EQ(HVSniffImageType(padded("icns")), HVImageKindICNS);
  EXPECT_EQ(HVSniffImageType(padded("GIF89a")), HVImageKindGIF);
  EXPECT_EQ(HVSniffImageType(padded(std::string("RIFF\0\0\0\0WEBP", 12))), HVImageKindWebP);
  EXPECT_EQ(HVSniffImageType(padded(std::string("RIFF\0\0\0\0WAVE", 12))), HVImageKindUnknown);
  EXPECT_EQ(HVSniffImageType(padded(std::string("\0\0\1\0", 4))), HVImageKindICO);
  EXPECT_EQ(HVSniffImageType(padded(std::string("\0\0\2\0", 4))), HVImageKindICO);
  EXPECT_EQ(HVSniffImageType(padded(std::string("II*\0", 4))), HVImageKindTIFF);
  EXPECT_EQ(HVSniffImageType(padded(std::string("MM\0*", 4))), HVImageKindTIFF);
  for (const char* bmp : {"BM", "BA", "IC", "PI", "CI", "CP"})
    EXPECT_EQ(HVSniffImageType(padded(bmp)), HVImageKindBMP) << bmp;
  EXPECT_EQ(HVSniffImageType(padded("\xff\x4f\xff\x51")), HVImageKindJPEG2000);
  EXPECT_EQ(HVSniffImageType(padded(std::string("\0\0\0\x0cjP  \r\n", 10))), HVImageKindJPEG2000);
  EXPECT_EQ(HVSniffImageType(padded("\xff\xd8\xff\xe0")), HVImageKindJPEG);
  EXPECT_EQ(HVSniffImageType(padded("hello")), HVImageKindUnknown);

  plat::Data png = plat::CGImagePNGRepresentation(solid(2, 2, 0xff112233));
  EXPECT_EQ(HVSniffImageType(png.bytes(), 15), HVImageKindUnknown);
  EXPECT_EQ(HVSniffImageType(png.bytes(), 16), HVImageKindPNG);
  EXPECT_EQ(HVSniffImageType(nullptr, 100), HVImageKindUnknown);

  EXPECT_EQ(HVUTTypeForImageKind(HVImageKindPNG), "public.png");
  EXPECT_EQ(HVUTTypeForImageKind(HVImageKindGIF), "com.compuserve.gif");
  EXPECT_EQ(HVUTTypeForImageKind(HVImageKindWebP), "");
  EXPECT_EQ(HVUTTypeForImageKind(42), "");
  EXPECT_FALSE(HVWebPSupported());
}

TEST(ChunkReaderTest, ReadsAnimationWhoseDefaultImageIsFrameZero) {
  std::vector<ApngFrame> frames = {{solid(8, 6, 0xffff0000)},
                                   {solid(4, 2, 0xff00ff00), 2, 3, 7, 0, 1, 1},
                                   {solid(8, 6, 0x800000ff), 0, 0, 1, 100, 2, 0}};
  plat::Data d = apng(8, 6, frames, 3);
  auto info = HVParseAPNGChunks(d.bytes(), d.length());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 8u);
  EXPECT_EQ(info->height, 6u);
  EXPECT_EQ(info->loopCount, 3u);
  EXPECT_TRUE(info->firstFrameIsDefaultImage);
  ASSERT_EQ(info->frames.size(), 3u);
  EXPECT_EQ(info->chunks[info->frames[0].chunkIndex].fourcc, HVFourCC("IDAT"));
  EXPECT_EQ(info->chunks[info->frames[1].chunkIndex].fourcc, HVFourCC("fdAT"));
  EXPECT_EQ(info->frames[1].offsetX, 2u);
  EXPECT_EQ(info->frames[1].offsetY, 3u);
  EXPECT_EQ(info->frames[1].delayNum, 7);
  EXPECT_EQ(info->frames[1].disposeOp, 1);
  EXPECT_EQ(info->frames[1].blendOp, 1);
  EXPECT_EQ(info->frames[2].delayDen, 100);
  EXPECT_EQ(info->frames[2].disposeOp, 2);
  // Shared: IHDR and IEND; acTL, fcTL, IDAT and fdAT are not.
  ASSERT_EQ(info->sharedChunkIndexes.size(), 2u);
  EXPECT_EQ(info->chunks[info->sharedChunkIndexes[0]].fourcc, HVFourCC("IHDR"));
  EXPECT_EQ(info->chunks[info->sharedChunkIndexes[1]].fourcc, HVFourCC("IEND"));
  EXPECT_EQ(info->sharedChunkSize, 25u + 12u);

  // Each assembled frame is a PNG of the frame's own size with a valid IHDR CRC that decodes.
  for (uint32_t i = 0; i < 3; ++i) {
    plat::Data f = HVAPNGCopyFrameData(d.bytes(), d.length(), *info, i);
    ASSERT_EQ(HVSniffImageType(f), HVImageKindPNG);
    EXPECT_EQ(be32(f.bytes() + 16), frames[i].image->width());
    EXPECT_EQ(be32(f.bytes() + 20), frames[i].image->height());
    uint32_t crc = uint32_t(crc32(0, f.bytes() + 12, 17));
    EXPECT_EQ(be32(f.bytes() + 29), crc);
    auto img = plat::CGImageCreateWithPNGData(f);
    ASSERT_TRUE(img) << i;
    EXPECT_EQ(img->width(), frames[i].image->width());
    EXPECT_EQ(img->pixelAt(0, 0), frames[i].image->pixelAt(0, 0));
  }
  EXPECT_TRUE(HVAPNGCopyFrameData(d.bytes(), d.length(), *info, 3).empty());
}

TEST(ChunkReaderTest, DefaultImageOutsideAnimationBelongsToNoFrame) {
  std::vector<ApngFrame> frames = {{solid(10, 20, 0xff00ff00)}, {solid(10, 20, 0xff0000ff)}};
  plat::Data d = apng(10, 20, frames, 0, false, solid(10, 20, 0xffff0000));
  auto info = HVParseAPNGChunks(d.bytes(), d.length());
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->firstFrameIsDefaultImage);
  ASSERT_EQ(info->frames.size(), 2u);
  for (const auto& f : info->frames) EXPECT_EQ(info->chunks[f.chunkIndex].fourcc, HVFourCC("fdAT"));
  for (uint32_t idx : info->sharedChunkIndexes)
    EXPECT_NE(info->chunks[idx].fourcc, HVFourCC("IDAT"));
  auto img = plat::CGImageCreateWithPNGData(HVAPNGCopyFrameData(d.bytes(), d.length(), *info, 0));
  ASSERT_TRUE(img);
  EXPECT_EQ(img->pixelAt(5, 5), 0xff00ff00u);
}

// Damage to the animation alone leaves a plain PNG record; damage to the chunk structure
// leaves nothing.
TEST(ChunkReaderTest, DamagedFilesFallBackOrFail) {
  std::vector<ApngFrame> frames = {{solid(4, 4, 0xffff0000)}, {solid(4, 4, 0xff00ff00)}};
  plat::Data good = apng(4, 4, frames);
  ASSERT_EQ(HVParseAPNGChunks(good.bytes(), good.length())->frames.size(), 2u);

  auto plainAfter = [](plat::Data d) {
    auto info = HVParseAPNGChunks(d.bytes(), d.length());
    return info && info->frames.empty();
  };
  auto info = HVParseAPNGChunks(good.bytes(), good.length());
  auto chunkOf = [&](const char(&t)[5], int nth = 0) {
    for (const auto& c : info->chunks)
      if (c.fourcc == HVFourCC(t) && nth-- == 0) return c;
    return HVPNGChunkInfo{};
  };

  // A skipped sequence number.
  plat::Data seq = good;
  seq.mutableBytes()[chunkOf("fdAT").offset + 11] = 9;
  EXPECT_TRUE(plainAfter(seq));
  // acTL announcing more frames than there are.
  plat::Data count = good;
  count.mutableBytes()[chunkOf("acTL").offset + 11] = 5;
  EXPECT_TRUE(plainAfter(count));
  // A frame rectangle running off the canvas, and one of width 0.
  plat::Data off = good;
  off.mutableBytes()[chunkOf("fcTL", 1).offset + 8 + 15] = 1;  // x offset 1 with width 4
  EXPECT_TRUE(plainAfter(off));
  plat::Data zero = good;
  std::memset(zero.mutableBytes() + chunkOf("fcTL", 1).offset + 8 + 4, 0, 4);
  EXPECT_TRUE(plainAfter(zero));
  // Offsets so large that offset + size wraps in 32 bits.
  plat::Data wrap = good;
  std::memset(wrap.mutableBytes() + chunkOf("fcTL", 1).offset + 8 + 12, 0xff, 4);
  EXPECT_TRUE(plainAfter(wrap));
  // Missing IEND at the end.
  plat::Data noEnd = good.subdata(0, good.length() - 12);
  EXPECT_TRUE(plainAfter(noEnd));

  // A chunk running past the end: no record at all.
  plat::Data cut = good.subdata(0, chunkOf("fdAT").offset + 20);
  EXPECT_FALSE(HVParseAPNGChunks(cut.bytes(), cut.length()));
  // A length field above 2^31 - 1, and one that would wrap a 32-bit sum.
  for (uint32_t len : {0x80000000u, 0xfffffff8u}) {
    plat::Data big = good;
    uint8_t* p = big.mutableBytes() + chunkOf("acTL").offset;
    p[0] = uint8_t(len >> 24), p[1] = uint8_t(len >> 16), p[2] = uint8_t(len >> 8),
    p[3] = uint8_t(len);
    EXPECT_FALSE(HVParseAPNGChunks(big.bytes(), big.length())) << len;
  }
  // Not a PNG, too short, IHDR of the wrong length.
  EXPECT_FALSE(HVParseAPNGChunks(good.bytes() + 1, good.length() - 1));
  EXPECT_FALSE(HVParseAPNGChunks(good.bytes(), 31));
  plat::Data badIHDR = good;
  badIHDR.mutableBytes()[11] = 12;
  EXPECT_FALSE(HVParseAPNGChunks(badIHDR.bytes(), badIHDR.length()));

  // A plain PNG gives a record with its header and no frames.
  plat::Data still = plat::CGImagePNGRepresentation(solid(3, 5, 0xff000000));
  auto plainInfo = HVParseAPNGChunks(still.bytes(), still.length());
  ASSERT_TRUE(plainInfo);
  EXPECT_TRUE(plainInfo->frames.empty());
  EXPECT_EQ(plainInfo->width, 3u);
  EXPECT_EQ(plainInfo->height, 5u);
}

TEST(ChunkReaderTest, CanvasLargerThanTheCapStaysPlain) {
  std::vector<ApngFrame> frames = {{solid(2, 2, 0xffff0000)}, {solid(2, 2, 0xff00ff00)}};
  plat::Data d = apng(2, 2, frames);
  // IHDR 65535 x 65535 (with its frames still small and the default frame now not full size).
  for (int i = 16; i < 24; ++i)
    if (i % 4 >= 2) d.mutableBytes()[i] = 0xff;
  auto info = HVParseAPNGChunks(d.bytes(), d.length());
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->frames.empty());
}

}  // namespace
