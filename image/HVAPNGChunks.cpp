#include "image/HVAPNGChunks.h"

#include <zlib.h>

#include <cstring>

namespace {

constexpr uint8_t kPNGSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr uint32_t kIHDR = HVFourCC("IHDR"), kIDAT = HVFourCC("IDAT"), kIEND = HVFourCC("IEND"),
                   kacTL = HVFourCC("acTL"), kfcTL = HVFourCC("fcTL"), kfdAT = HVFourCC("fdAT");
constexpr uint64_t kMaxChunkLength = 0x7fffffffu;

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Fills the frame fields that come from an fcTL's 26 data bytes.
void readFCTL(const uint8_t* d, HVAPNGFrameInfo& f) {
  f.sequence = be32(d);
  f.width = be32(d + 4);
  f.height = be32(d + 8);
  f.offsetX = be32(d + 12);
  f.offsetY = be32(d + 16);
  f.delayNum = be16(d + 20);
  f.delayDen = be16(d + 22);
  f.disposeOp = d[24];
  f.blendOp = d[25];
}

bool frameFitsCanvas(const HVAPNGFrameInfo& f, const HVAPNGInfo& info) {
  return f.width > 0 && f.height > 0 && uint64_t(f.offsetX) + f.width <= info.width &&
         uint64_t(f.offsetY) + f.height <= info.height;
}

// The order rules of an animation; false when any is broken.
bool chunkOrderValid(HVAPNGInfo& info) {
  const auto& c = info.chunks;
  bool seenAcTL = false, seenFcTL = false, seenIDAT = false, idatRunEnded = false;
  bool firstFcTLSeen = false;
  for (size_t i = 0; i < c.size(); ++i) {
    uint32_t t = c[i].fourcc;
    if (t == kIHDR && i != 0) return false;
    if (t == kacTL) {
      if (seenAcTL) return false;
      seenAcTL = true;
    } else if (t == kfcTL) {
      if (i + 1 >= c.size()) return false;
      uint32_t next = c[i + 1].fourcc;
      if (next != kfdAT && next != kIDAT) return false;
      if (!firstFcTLSeen) {
        firstFcTLSeen = true;
        if (next == kIDAT) info.firstFrameIsDefaultImage = true;
      }
      seenFcTL = true;
    } else if (t == kfdAT) {
      if (i == 0) return false;
      uint32_t prev = c[i - 1].fourcc;
      if (prev != kfdAT && prev != kfcTL) return false;
    }
    if (t == kIDAT) {
      if (idatRunEnded) return false;
      if (!seenIDAT) info.sharedInsertIndex = uint32_t(i);
      seenIDAT = true;
    } else if (seenIDAT) {
      idatRunEnded = true;
    }
  }
  return seenFcTL && seenAcTL && seenIDAT;
}

// Drops the animation: the record then describes a plain PNG.
std::unique_ptr<HVAPNGInfo> plain(std::unique_ptr<HVAPNGInfo> info) {
  info->frames.clear();
  info->sharedChunkIndexes.clear();
  info->sharedChunkSize = 0;
  info->sharedInsertIndex = 0;
  info->firstFrameIsDefaultImage = false;
  info->loopCount = 0;
  return info;
}

}  // namespace

std::unique_ptr<HVAPNGInfo> HVParseAPNGChunks(const uint8_t* data, size_t length) {
  if (!data || length < 32 || std::memcmp(data, kPNGSignature, 8) != 0) return nullptr;
  if (length > 0xffffffffu) return nullptr;  // offsets are stored in 32 bits
  auto info = std::make_unique<HVAPNGInfo>();
  info->chunks.reserve(16);

  bool invalid = false;
  uint32_t expectedSequence = 0, numFrames = 0, numPlays = 0, fcTLCount = 0;
  // Offsets and lengths in 64 bits, so a huge length cannot wrap past the end check.
  uint64_t offset = 8;
  while (offset + 12 <= length) {
    const uint8_t* p = data + offset;
    uint64_t chunkLength = be32(p);
    if (chunkLength > kMaxChunkLength || offset + chunkLength + 12 > length) return nullptr;
    HVPNGChunkInfo chunk;
    chunk.offset = uint32_t(offset);
    chunk.length = uint32_t(chunkLength);
    chunk.fourcc = le32(p + 4);
    chunk.crc = be32(p + 8 + chunkLength);
    info->chunks.push_back(chunk);
    const uint8_t* body = p + 8;
    offset += chunkLength + 12;

    if (chunk.fourcc == kIEND) break;
    if (chunk.fourcc == kacTL) {
      if (chunkLength == 8) {
        numFrames = be32(body);
        numPlays = be32(body + 4);
      } else {
        invalid = true;
      }
    } else if (chunk.fourcc == kfcTL || chunk.fourcc == kfdAT) {
      if (chunk.fourcc == kfcTL) {
        if (chunkLength == 26)
          ++fcTLCount;
        else
          invalid = true;
      }
      if (chunkLength < 5) {
        invalid = true;
      } else if (be32(body) != expectedSequence) {
        invalid = true;
      } else {
        ++expectedSequence;
      }
    }
  }

  const auto& c = info->chunks;
  if (c.size() < 3 || c[0].fourcc != kIHDR || c[0].length != 13) return nullptr;
  const uint8_t* ihdr = data + c[0].offset + 8;
  info->width = be32(ihdr);
  info->height = be32(ihdr + 4);
  info->bitDepth = ihdr[8];
  info->colorType = ihdr[9];
  info->compression = ihdr[10];
  info->filter = ihdr[11];
  info->interlace = ihdr[12];

  if (invalid || numFrames != fcTLCount || numFrames < 1 || c.back().fourcc != kIEND)
    return plain(std::move(info));
  if (info->width == 0 || info->height == 0 ||
      uint64_t(info->width) * info->height > kHVAPNGMaxCanvasPixels)
    return plain(std::move(info));
  if (!chunkOrderValid(*info)) return plain(std::move(info));

  info->loopCount = numPlays;
  info->frames.reserve(fcTLCount);
  uint64_t sharedSize = 0;
  for (size_t i = 0; i < c.size(); ++i) {
    uint32_t t = c[i].fourcc;
    if (t == kfcTL) {
      HVAPNGFrameInfo f;
      f.chunkIndex = uint32_t(i + 1);
      readFCTL(data + c[i].offset + 8, f);
      if (!frameFitsCanvas(f, *info)) return plain(std::move(info));
      info->frames.push_back(f);
    } else if (t == kfdAT) {
      if (info->frames.empty()) return plain(std::move(info));
      info->frames.back().chunkNum++;
      info->frames.back().chunkSize += c[i].length + 12;
    } else if (t == kIDAT) {
      if (info->firstFrameIsDefaultImage && info->frames.size() == 1) {
        info->frames[0].chunkNum++;
        info->frames[0].chunkSize += c[i].length + 12;
      }
    } else if (t != kacTL) {
      info->sharedChunkIndexes.push_back(uint32_t(i));
      sharedSize += uint64_t(c[i].length) + 12;
    }
  }
  // Everything counted lies inside a buffer of at most 4 GB, so sizes fit 32 bits.
  info->sharedChunkSize = uint32_t(sharedSize);
  // The default image must be frame 0's whole canvas for the animation to be sound.
  if (info->firstFrameIsDefaultImage &&
      (info->frames[0].width != info->width || info->frames[0].height != info->height ||
       info->frames[0].offsetX != 0 || info->frames[0].offsetY != 0))
    return plain(std::move(info));
  return info;
}

void HVAppendU32BE(plat::Data& out, uint32_t v) {
  uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  out.append(b, 4);
}
void HVAppendU16BE(plat::Data& out, uint16_t v) {
  uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
  out.append(b, 2);
}

void HVAppendPNGChunk(plat::Data& out, const char (&type)[5], const uint8_t* data, size_t length) {
  HVAppendU32BE(out, uint32_t(length));
  out.append(type, 4);
  if (length) out.append(data, length);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
  if (length) crc = crc32(crc, data, uInt(length));
  HVAppendU32BE(out, uint32_t(crc));
}

plat::Data HVAPNGCopyFrameData(const uint8_t* data, size_t length, const HVAPNGInfo& info,
                               uint32_t index) {
  plat::Data out;
  if (!data || index >= info.frames.size()) return out;
  const HVAPNGFrameInfo& frame = info.frames[index];
  bool frameIsIDAT = index == 0 && info.firstFrameIsDefaultImage;
  uint64_t size = 8 + uint64_t(info.sharedChunkSize) + frame.chunkSize;
  if (!frameIsIDAT) size -= 4ull * frame.chunkNum;
  out.reserve(size);
  out.append(kPNGSignature, 8);

  auto insertFrameChunks = [&] {
    for (uint32_t k = 0; k < frame.chunkNum; ++k) {
      const HVPNGChunkInfo& ch = info.chunks[frame.chunkIndex + k];
      const uint8_t* p = data + ch.offset;
      if (ch.fourcc == kIDAT) {
        out.append(p, ch.length + 12);
      } else if (ch.length >= 4) {
        HVAppendPNGChunk(out, "IDAT", p + 12, ch.length - 4);
      }
    }
  };

  bool inserted = false;
  for (uint32_t idx : info.sharedChunkIndexes) {
    const HVPNGChunkInfo& ch = info.chunks[idx];
    if (!inserted && idx >= info.sharedInsertIndex) {
      insertFrameChunks();
      inserted = true;
    }
    if (ch.fourcc == kIHDR) {
      uint8_t ihdr[13];
      std::memcpy(ihdr, data + ch.offset + 8, 13);
      for (int i = 0; i < 4; ++i) {
        ihdr[i] = uint8_t(frame.width >> (24 - 8 * i));
        ihdr[4 + i] = uint8_t(frame.height >> (24 - 8 * i));
      }
      HVAppendPNGChunk(out, "IHDR", ihdr, 13);
    } else {
      out.append(data + ch.offset, ch.length + 12);
    }
  }
  if (!inserted) insertFrameChunks();
  return out;
}
