// The PNG chunk reader and APNG frame assembly on any bytes: a record's chunks and frames lie
// inside the data and the canvas, and every assembled frame is a PNG whose header carries the
// frame's size and whose chunks lie inside it.

#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "image/HVAPNGChunks.h"

namespace {
uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto info = HVParseAPNGChunks(data, size);
  if (!info) return 0;
  for (const auto& c : info->chunks)
    FUZZ_CHECK(uint64_t(c.offset) + c.length + 12 <= size, "chunk outside the data");
  for (size_t i = 0; i < info->frames.size() && i < 16; ++i) {
    const HVAPNGFrameInfo& f = info->frames[i];
    FUZZ_CHECK(f.width > 0 && f.height > 0, "empty frame");
    FUZZ_CHECK(uint64_t(f.offsetX) + f.width <= info->width &&
                   uint64_t(f.offsetY) + f.height <= info->height,
               "frame outside the canvas");
    FUZZ_CHECK(uint64_t(f.chunkIndex) + f.chunkNum <= info->chunks.size(), "frame chunks");
    plat::Data png = HVAPNGCopyFrameData(data, size, *info, uint32_t(i));
    FUZZ_CHECK(png.length() >= 8 + 25 && std::memcmp(png.bytes(), "\x89PNG\r\n\x1a\n", 8) == 0,
               "assembled frame is no PNG");
    FUZZ_CHECK(be32(png.bytes() + 16) == f.width && be32(png.bytes() + 20) == f.height,
               "assembled header size");
    auto again = HVParseAPNGChunks(png.bytes(), png.length());
    FUZZ_CHECK(again != nullptr, "assembled frame does not parse");
  }
  return 0;
}
