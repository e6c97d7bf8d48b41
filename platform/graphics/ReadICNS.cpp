// Apple icon files (ICNS): a list of typed entries. Entries holding PNG or JPEG 2000 data are
// read with those decoders; the classic 24-bit RLE entries (is32, il32, ih32, it32) with their
// 8-bit masks (s8mk, l8mk, h8mk, t8mk) are read here. Writing gives one PNG entry of a square
// size that has an entry type.

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct Chunk {
  std::string type;
  size_t offset = 0, length = 0;  // of the entry's data, after its 8-byte header
};

// The entries of the data so far; stops at the first entry not wholly there.
std::vector<Chunk> chunksOf(const Data& data, bool* complete) {
  std::vector<Chunk> out;
  const uint8_t* p = data.bytes();
  size_t n = data.length();
  *complete = false;
  if (n < 8 || std::memcmp(p, "icns", 4) != 0) return out;
  uint64_t total = std::min<uint64_t>(be32(p + 4), n);
  size_t at = 8;
  while (at + 8 <= total) {
    uint32_t len = be32(p + at + 4);
    if (len < 8 || len > total - at) return out;
    out.push_back({std::string(reinterpret_cast<const char*>(p + at), 4), at + 8, len - 8u});
    at += len;
  }
  *complete = at == be32(p + 4);
  return out;
}

// Side of the classic RLE entries and their masks.
std::optional<int> rleSide(const std::string& t) {
  if (t == "is32") return 16;
  if (t == "il32") return 32;
  if (t == "ih32") return 48;
  if (t == "it32") return 128;
  return std::nullopt;
}
std::string maskTypeFor(const std::string& t) {
  if (t == "is32") return "s8mk";
  if (t == "il32") return "l8mk";
  if (t == "ih32") return "h8mk";
  return "t8mk";
}

bool isPNG(const uint8_t* p, size_t n) {
  return n >= 8 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0;
}

// Three channels of side x side, each run-length coded: a byte below 0x80 copies that many
// plus one bytes, otherwise repeats the next byte (value - 125) times.
CGImageRef decodeRLE(const uint8_t* p, size_t n, int side, const uint8_t* mask) {
  const size_t pixels = size_t(side) * size_t(side);
  if (side == 128 && n >= 4 && be32(p) == 0) p += 4, n -= 4;
  std::vector<uint8_t> planes(pixels * 3);
  size_t at = 0;
  for (int c = 0; c < 3; ++c) {
    uint8_t* plane = planes.data() + pixels * size_t(c);
    size_t filled = 0;
    while (filled < pixels) {
      if (at >= n) return nullptr;
      uint8_t op = p[at++];
      if (op < 0x80) {
        size_t count = size_t(op) + 1;
        if (count > n - at || count > pixels - filled) return nullptr;
        std::memcpy(plane + filled, p + at, count);
        at += count, filled += count;
      } else {
        size_t count = size_t(op) - 125;
        if (at >= n || count > pixels - filled) return nullptr;
        std::memset(plane + filled, p[at++], count);
        filled += count;
      }
    }
  }
  auto* out = static_cast<uint8_t*>(std::malloc(pixels * 4));
  if (!out) return nullptr;
  for (size_t i = 0; i < pixels; ++i) {
    uint32_t a = mask ? mask[i] : 255;
    out[i * 4 + 0] = uint8_t((planes[pixels * 2 + i] * a + 127) / 255);
    out[i * 4 + 1] = uint8_t((planes[pixels + i] * a + 127) / 255);
    out[i * 4 + 2] = uint8_t((planes[i] * a + 127) / 255);
    out[i * 4 + 3] = uint8_t(a);
  }
  return CGImage::createOwningBuffer(out, side, side, mask == nullptr);
}

class ICNSReader : public CGImageSource::Reader {
 public:
  void scan(const Data& data, bool final) override {
    final_ = final;
    entries_.clear();
    chunks_ = chunksOf(data, &complete_);
    const uint8_t* p = data.bytes();
    uint64_t total = 0;
    for (const auto& c : chunks_) {
      const uint8_t* d = p + c.offset;
      Entry e{c, 0, 0, true};
      int64_t w = 0, h = 0;  // what decoding the entry costs
      bool jpeg2000 = false;
      if (isPNG(d, c.length) && c.length >= 24) {
        e.width = w = be32(d + 16), e.height = h = be32(d + 20);
      } else if (isJPEG2000(d, c.length)) {
        if (!jpeg2000Size(d, c.length, &w, &h)) continue;
        e.width = e.height = -1;  // known once decoded
        jpeg2000 = true;
      } else if (auto side = rleSide(c.type)) {
        e.width = e.height = w = h = *side;
        e.alpha = findChunk(maskTypeFor(c.type)) != nullptr;
      } else {
        continue;  // masks, table of contents, other formats
      }
      if (!withinPixelCap(uint64_t(w), uint64_t(h))) continue;
      // Entries past the file's pixel budget are not offered: each is decoded whole (a JPEG
      // 2000 pixel costs about four of the others).
      total += uint64_t(w) * uint64_t(h) * (jpeg2000 ? 4 : 1);
      if (total > kCGImageSourceMaxTotalPixels || entries_.size() >= kCGImageSourceMaxImages)
        break;
      entries_.push_back(e);
    }
  }
  size_t count() const override { return entries_.size(); }
  Dictionary propertiesAtIndex(size_t i) const override {
    Dictionary d{{kCGImagePropertyHasAlpha, Value(entries_[i].alpha)}};
    if (entries_[i].width >= 0) {
      d.set(kCGImagePropertyPixelWidth, Value(entries_[i].width));
      d.set(kCGImagePropertyPixelHeight, Value(entries_[i].height));
    }
    return d;
  }
  CGImageRef image(const Data& data, bool, size_t i) override {
    const Entry& e = entries_[i];
    const uint8_t* d = data.bytes() + e.chunk.offset;
    Data bytes = data.subdata(e.chunk.offset, e.chunk.length);
    if (isPNG(d, e.chunk.length)) return decodePNG(bytes, true, nullptr);
    if (isJPEG2000(d, e.chunk.length)) return decodeJPEG2000(bytes);
    int side = *rleSide(e.chunk.type);
    const uint8_t* mask = nullptr;
    if (const Chunk* m = findChunk(maskTypeFor(e.chunk.type));
        m && m->length >= size_t(side) * size_t(side))
      mask = data.bytes() + m->offset;
    return decodeRLE(d, e.chunk.length, side, mask);
  }
  CGImageSourceStatus status() const override {
    if (complete_ && !entries_.empty()) return kCGImageStatusComplete;
    if (!final_) return kCGImageStatusIncomplete;
    return entries_.empty() ? kCGImageStatusInvalidData : kCGImageStatusUnexpectedEOF;
  }

 private:
  struct Entry {
    Chunk chunk;
    int64_t width, height;
    bool alpha;
  };
  const Chunk* findChunk(const std::string& type) const {
    for (const auto& c : chunks_)
      if (c.type == type) return &c;
    return nullptr;
  }
  bool final_ = false, complete_ = false;
  std::vector<Chunk> chunks_;
  std::vector<Entry> entries_;
};

void put32be(std::vector<uint8_t>& o, uint32_t v) {
  o.insert(o.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

}  // namespace

std::unique_ptr<CGImageSource::Reader> makeICNSReader() { return std::make_unique<ICNSReader>(); }

Data encodeICNS(const Data& png, int width, int height) {
  if (png.empty() || width != height) return Data();
  const char* type = nullptr;
  switch (width) {
    case 16:
      type = "icp4";
      break;
    case 32:
      type = "icp5";
      break;
    case 64:
      type = "icp6";
      break;
    case 128:
      type = "ic07";
      break;
    case 256:
      type = "ic08";
      break;
    case 512:
      type = "ic09";
      break;
    case 1024:
      type = "ic10";
      break;
    default:
      return Data();
  }
  std::vector<uint8_t> o;
  o.insert(o.end(), {'i', 'c', 'n', 's'});
  put32be(o, uint32_t(16 + png.length()));
  o.insert(o.end(), type, type + 4);
  put32be(o, uint32_t(8 + png.length()));
  o.insert(o.end(), png.bytes(), png.bytes() + png.length());
  return Data(std::move(o));
}

}  // namespace plat
