#pragma once
// PNG chunk reader: walks the chunks of a PNG in memory, checks the animated-PNG chunk rules
// and describes the animation frames, so that each frame can be assembled into a standalone
// PNG (HVAPNGCopyFrameData). Numbers in the file are big-endian. Pure functions: any thread.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/foundation/Data.h"

struct HVPNGChunkInfo {
  uint32_t offset = 0;  // position of the chunk's length field
  uint32_t fourcc = 0;  // the four type bytes as stored (first byte in the low bits)
  uint32_t length = 0;  // data length
  uint32_t crc = 0;     // stored CRC (not checked)
};

struct HVAPNGFrameInfo {
  uint32_t chunkIndex = 0;  // first data chunk of the frame (the chunk after its fcTL)
  uint32_t chunkNum = 0;    // number of data chunks (fdAT, or IDAT for the default image)
  uint32_t chunkSize = 0;   // sum of (length + 12) of those chunks
  uint32_t sequence = 0;
  uint32_t width = 0, height = 0, offsetX = 0, offsetY = 0;
  uint16_t delayNum = 0, delayDen = 0;
  uint8_t disposeOp = 0, blendOp = 0;
};

struct HVAPNGInfo {
  uint32_t width = 0, height = 0;
  uint8_t bitDepth = 0, colorType = 0, compression = 0, filter = 0, interlace = 0;
  std::vector<HVPNGChunkInfo> chunks;
  // Empty for a plain PNG (or one whose animation data is damaged).
  std::vector<HVAPNGFrameInfo> frames;
  uint32_t loopCount = 0;  // acTL num_plays, 0 endless
  std::vector<uint32_t> sharedChunkIndexes;
  uint32_t sharedChunkSize = 0;
  uint32_t sharedInsertIndex = 0;  // index of the first IDAT
  bool firstFrameIsDefaultImage = false;
};

// Largest canvas (width x height) whose animation is assembled; larger files read as plain PNGs.
constexpr uint64_t kHVAPNGMaxCanvasPixels = 1ull << 26;

// The chunk table and animation of a PNG; nullptr when the data is not a PNG or is
// structurally damaged (bad signature, truncated or oversized chunk, no 13-byte IHDR first).
// Damaged animation data (sequence, counts, order, frame rectangles outside the canvas) gives
// a record without frames, so the default image still shows.
std::unique_ptr<HVAPNGInfo> HVParseAPNGChunks(const uint8_t* data, size_t length);

// Frees a record and its tables; nullptr is ignored. (Dropping the unique_ptr does the same.)
inline void HVAPNGInfoRelease(std::unique_ptr<HVAPNGInfo> info) { info.reset(); }

// A standalone PNG holding frame `index` of the record made from the same bytes; empty when the
// index is out of range.
plat::Data HVAPNGCopyFrameData(const uint8_t* data, size_t length, const HVAPNGInfo& info,
                               uint32_t index);

// Chunk type helper: the fourcc of a four-letter name as HVPNGChunkInfo stores it.
constexpr uint32_t HVFourCC(const char (&n)[5]) {
  return uint32_t(uint8_t(n[0])) | uint32_t(uint8_t(n[1])) << 8 | uint32_t(uint8_t(n[2])) << 16 |
         uint32_t(uint8_t(n[3])) << 24;
}

// Big-endian writers shared with the encoder.
void HVAppendU32BE(plat::Data& out, uint32_t v);
void HVAppendU16BE(plat::Data& out, uint16_t v);
// Appends a whole chunk (length, type, data, CRC-32 over type and data).
void HVAppendPNGChunk(plat::Data& out, const char (&type)[5], const uint8_t* data, size_t length);
