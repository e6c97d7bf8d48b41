// Own readers and writers of Windows bitmaps (BMP) and icons (ICO, also cursors): bitmaps of
// 1, 4, 8, 24 and 32 bits per pixel, uncompressed or with bit-field masks, and run-length
// encoded ones (RLE8, RLE4); icon entries held as PNG or as bitmaps with their transparency
// mask.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put16(std::vector<uint8_t>& o, uint32_t v) {
  o.insert(o.end(), {uint8_t(v), uint8_t(v >> 8)});
}
void put32(std::vector<uint8_t>& o, uint32_t v) {
  o.insert(o.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

// The value of a masked field scaled to 0..255.
uint32_t field(uint32_t pixel, uint32_t mask) {
  if (!mask) return 0;
  int shift = __builtin_ctz(mask);
  uint32_t max = mask >> shift;
  return ((pixel & mask) >> shift) * 255 / max;
}

struct DIB {
  int width = 0, height = 0;
  bool topDown = false, alpha = false;
  uint16_t bpp = 0;
  uint32_t compression = 0;
  uint32_t masks[4] = {0, 0, 0, 0};  // r, g, b, a
  std::vector<uint32_t> palette;     // 0x00RRGGBB
  size_t headerEnd = 0;              // offset of what follows the header and palette
};

constexpr uint32_t kBI_RGB = 0, kBI_RLE8 = 1, kBI_RLE4 = 2, kBI_BITFIELDS = 3,
                   kBI_ALPHABITFIELDS = 6;

// Reads a DIB header (and palette) at `p`; false when damaged or unsupported.
bool readDIBHeader(const uint8_t* p, size_t n, DIB& d, bool icon) {
  if (n < 12) return false;
  uint32_t size = le32(p);
  if (size == 12) {
    d.width = le16(p + 4);
    int32_t h = int16_t(le16(p + 6));
    d.height = h;
    d.bpp = le16(p + 10);
  } else if (size >= 40 && size <= n) {
    d.width = int32_t(le32(p + 4));
    d.height = int32_t(le32(p + 8));
    d.bpp = le16(p + 14);
    d.compression = le32(p + 16);
    if (d.compression == kBI_BITFIELDS || d.compression == kBI_ALPHABITFIELDS) {
      size_t maskAt = 40, count = d.compression == kBI_ALPHABITFIELDS ? 4 : 3;
      if (size >= 52) count = size >= 56 ? 4 : 3;
      if (maskAt + 4 * count > n) return false;
      for (size_t k = 0; k < count; ++k) d.masks[k] = le32(p + maskAt + 4 * k);
      if (size == 40) size += uint32_t(4 * count);  // masks follow a plain header
    }
  } else {
    return false;
  }
  if (icon) d.height /= 2;  // the mask is counted in
  if (d.height < 0) {
    d.topDown = true;
    if (d.height == INT32_MIN) return false;
    d.height = -d.height;
  }
  if (d.width <= 0 || d.height <= 0 || !withinPixelCap(uint64_t(d.width), uint64_t(d.height)))
    return false;
  bool bitfields = d.compression == kBI_BITFIELDS || d.compression == kBI_ALPHABITFIELDS;
  // Run-length encoding: RLE8 at 8 bits, RLE4 at 4, rows bottom-up, never in icons.
  bool rle = d.compression == kBI_RLE8 || d.compression == kBI_RLE4;
  if (rle && (icon || d.topDown || d.bpp != (d.compression == kBI_RLE8 ? 8 : 4))) return false;
  if (d.compression != kBI_RGB && !bitfields && !rle) return false;  // embedded codecs
  if (bitfields && d.bpp != 16 && d.bpp != 32) return false;
  if (d.bpp != 1 && d.bpp != 4 && d.bpp != 8 && d.bpp != 16 && d.bpp != 24 && d.bpp != 32)
    return false;
  if (d.compression == kBI_RGB && d.bpp == 16) {
    d.masks[0] = 0x7c00, d.masks[1] = 0x03e0, d.masks[2] = 0x001f;
  }
  // Pixels that runs and deltas skip stay transparent.
  d.alpha = d.masks[3] != 0 || rle;
  size_t at = size;
  if (d.bpp <= 8) {
    uint32_t colors = size >= 40 ? le32(p + 32) : 0;
    if (colors == 0 || colors > (1u << d.bpp)) colors = 1u << d.bpp;
    size_t entry = size == 12 ? 3 : 4;
    if (at + colors * entry > n) return false;
    for (uint32_t i = 0; i < colors; ++i) {
      const uint8_t* c = p + at + i * entry;
      d.palette.push_back(uint32_t(c[2]) << 16 | uint32_t(c[1]) << 8 | c[0]);
    }
    at += colors * entry;
  }
  d.headerEnd = at;
  return true;
}

// Decodes run-length encoded rows (RLE8 or RLE4; bottom row first) from the `n` bytes at
// `bits`. Runs past the end of a row are cut there, and a delta or row past the top ends the
// image; pixels no run reaches stay transparent. The data running out ends the image too.
CGImageRef decodeRLE(const DIB& d, const uint8_t* bits, size_t n) {
  const int64_t w = d.width, h = d.height;
  const bool four = d.compression == kBI_RLE4;
  auto* out = static_cast<uint32_t*>(std::calloc(size_t(w) * size_t(h), 4));
  if (!out) return nullptr;
  int64_t x = 0, y = 0;  // y counts rows from the bottom
  uint64_t written = 0;  // pixels set (each counted once): all of them make the image opaque
  auto put = [&](uint32_t index) {
    if (x < w) {
      uint32_t c = index < d.palette.size() ? d.palette[index] : 0;
      uint32_t& p = out[size_t(h - 1 - y) * size_t(w) + size_t(x)];
      written += p == 0;
      p = 0xff000000u | c;
    }
    ++x;
  };
  size_t i = 0;
  while (y < h && i + 2 <= n) {
    uint32_t count = bits[i], value = bits[i + 1];
    i += 2;
    if (count > 0) {  // a run of one index (RLE4: two alternating)
      uint32_t take = uint32_t(std::clamp<int64_t>(w - x, 0, count));
      for (uint32_t k = 0; k < take; ++k) put(four ? (k % 2 ? value & 15 : value >> 4) : value);
      x += count - take;
      continue;
    }
    if (value == 0) {  // end of line
      x = 0, ++y;
    } else if (value == 1) {  // end of bitmap
      break;
    } else if (value == 2) {  // delta: move right and up
      if (i + 2 > n) break;
      x += bits[i], y += bits[i + 1];
      i += 2;
    } else {  // absolute: `value` indexes follow, padded to an even number of bytes
      size_t bytes = four ? (value + 1) / 2 : value;
      size_t have = std::min(bytes, n - i);
      uint32_t pixels = uint32_t(four ? std::min<size_t>(value, have * 2) : have);
      uint32_t take = uint32_t(std::clamp<int64_t>(w - x, 0, pixels));
      for (uint32_t k = 0; k < take; ++k)
        put(four ? (k % 2 ? bits[i + k / 2] & 15 : bits[i + k / 2] >> 4) : bits[i + k]);
      x += pixels - take;
      if (have < bytes) break;
      i += std::min(bytes + (bytes & 1), n - i);
    }
  }
  bool opaque = written == uint64_t(w) * uint64_t(h);
  return CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(out), int(w), int(h), opaque);
}

// Decodes the pixel rows at `bits` (and, for icons, the AND mask after them).
CGImageRef decodeDIBPixels(const DIB& d, const uint8_t* bits, size_t n, bool icon) {
  if (d.compression == kBI_RLE8 || d.compression == kBI_RLE4) return decodeRLE(d, bits, n);
  size_t rowBytes = ((size_t(d.width) * d.bpp + 31) / 32) * 4;
  if (rowBytes * size_t(d.height) > n) return nullptr;
  size_t maskRow = ((size_t(d.width) + 31) / 32) * 4;
  bool haveMask = icon && d.bpp < 32 && rowBytes * d.height + maskRow * d.height <= n;
  const uint8_t* mask = bits + rowBytes * d.height;
  auto* out = static_cast<uint8_t*>(std::calloc(size_t(d.width) * d.height, 4));
  if (!out) return nullptr;
  bool alpha = d.alpha || haveMask || (icon && d.bpp == 32);
  for (int y = 0; y < d.height; ++y) {
    int srcRow = d.topDown ? y : d.height - 1 - y;
    const uint8_t* row = bits + size_t(srcRow) * rowBytes;
    auto* dst = reinterpret_cast<uint32_t*>(out + size_t(y) * d.width * 4);
    for (int x = 0; x < d.width; ++x) {
      uint32_t r = 0, g = 0, b = 0, a = 255;
      if (d.bpp <= 8) {
        size_t bit = size_t(x) * d.bpp;
        uint32_t index = (row[bit / 8] >> (8 - d.bpp - bit % 8)) & ((1u << d.bpp) - 1);
        uint32_t c = index < d.palette.size() ? d.palette[index] : 0;
        r = c >> 16, g = (c >> 8) & 0xff, b = c & 0xff;
      } else if (d.bpp == 24) {
        b = row[x * 3], g = row[x * 3 + 1], r = row[x * 3 + 2];
      } else if (d.bpp == 16) {
        uint32_t v = le16(row + x * 2);
        r = field(v, d.masks[0]), g = field(v, d.masks[1]), b = field(v, d.masks[2]);
        if (d.masks[3]) a = field(v, d.masks[3]);
      } else {
        uint32_t v = le32(row + x * 4);
        if (d.compression == kBI_RGB) {
          b = v & 0xff, g = (v >> 8) & 0xff, r = (v >> 16) & 0xff;
          if (icon) a = v >> 24;
        } else {
          r = field(v, d.masks[0]), g = field(v, d.masks[1]), b = field(v, d.masks[2]);
          if (d.masks[3]) a = field(v, d.masks[3]);
        }
      }
      if (haveMask) {
        const uint8_t* m = mask + size_t(srcRow) * maskRow;
        if ((m[x / 8] >> (7 - x % 8)) & 1) a = 0;
      }
      if (a != 255) {
        r = (r * a + 127) / 255, g = (g * a + 127) / 255, b = (b * a + 127) / 255;
      }
      dst[x] = a << 24 | r << 16 | g << 8 | b;
    }
  }
  return CGImage::createOwningBuffer(out, d.width, d.height, !alpha);
}

struct Entry {
  int64_t width = 0, height = 0;
  bool alpha = true;
  size_t offset = 0, length = 0;  // icons: where the entry's data is
};

class BMPReader : public CGImageSource::Reader {
 public:
  explicit BMPReader(bool icon) : icon_(icon) {}
  void scan(const Data& data, bool final) override {
    entries_.clear();
    final_ = final;
    const uint8_t* p = data.bytes();
    size_t n = data.length();
    if (!icon_) {
      DIB d;
      if (n < 14 || !readDIBHeader(p + 14, n - 14, d, false)) return;
      entries_.push_back({d.width, d.height, d.alpha, 0, n});
      return;
    }
    if (n < 6) return;
    uint16_t count = le16(p + 4);
    uint64_t total = 0;
    for (uint16_t i = 0; i < count && entries_.size() < kCGImageSourceMaxImages; ++i) {
      size_t e = 6 + size_t(i) * 16;
      if (e + 16 > n) break;
      size_t length = le32(p + e + 8), offset = le32(p + e + 12);
      if (offset > n || length > n - offset) continue;  // not (yet) all there
      // The size that counts is the entry's own (the directory's bytes may say otherwise):
      // entries too large, or past the file's pixel budget, are not offered.
      int64_t w = 0, h = 0;
      DIB d;
      if (pngSize(p + offset, length, &w, &h)) {
        if (!withinPixelCap(uint64_t(w), uint64_t(h))) continue;
      } else if (readDIBHeader(p + offset, length, d, true)) {
        w = d.width, h = d.height;
      } else {
        w = p[e] ? p[e] : 256, h = p[e + 1] ? p[e + 1] : 256;  // unreadable: decodes to nothing
      }
      total += uint64_t(w) * uint64_t(h);
      if (total > kCGImageSourceMaxTotalPixels) break;
      Entry entry{p[e] ? p[e] : 256, p[e + 1] ? p[e + 1] : 256, true, offset, length};
      entries_.push_back(entry);
    }
  }
  size_t count() const override { return entries_.size(); }
  Dictionary propertiesAtIndex(size_t i) const override {
    return Dictionary{{kCGImagePropertyPixelWidth, Value(entries_[i].width)},
                      {kCGImagePropertyPixelHeight, Value(entries_[i].height)},
                      {kCGImagePropertyHasAlpha, Value(entries_[i].alpha)}};
  }
  CGImageRef image(const Data& data, bool final, size_t i) override {
    const uint8_t* p = data.bytes();
    size_t n = data.length();
    if (!icon_) {
      DIB d;
      if (n < 14 || !readDIBHeader(p + 14, n - 14, d, false)) return nullptr;
      size_t bitsAt = le32(p + 10);
      if (bitsAt < 14 + d.headerEnd || bitsAt > n) bitsAt = 14 + d.headerEnd;
      return decodeDIBPixels(d, p + bitsAt, n - bitsAt, false);
    }
    const Entry& e = entries_[i];
    const uint8_t* q = p + e.offset;
    if (e.length >= 8 && std::memcmp(q, "\x89PNG\r\n\x1a\n", 8) == 0)
      return decodePNG(data.subdata(e.offset, e.length), final, nullptr);
    DIB d;
    if (!readDIBHeader(q, e.length, d, true)) return nullptr;
    return decodeDIBPixels(d, q + d.headerEnd, e.length - d.headerEnd, true);
  }
  CGImageSourceStatus status() const override {
    if (!entries_.empty()) return kCGImageStatusComplete;
    return final_ ? kCGImageStatusInvalidData : kCGImageStatusIncomplete;
  }

 private:
  bool icon_;
  bool final_ = false;
  std::vector<Entry> entries_;
};

}  // namespace

std::unique_ptr<CGImageSource::Reader> makeBMPReader() {
  return std::make_unique<BMPReader>(false);
}
std::unique_ptr<CGImageSource::Reader> makeICOReader() { return std::make_unique<BMPReader>(true); }

Data encodeBMP(const CGImageRef& image) {
  if (!image) return Data();
  // A version-4 header with bit-field masks, so alpha survives; rows bottom-up.
  uint32_t w = uint32_t(image->width()), h = uint32_t(image->height());
  uint64_t pixelBytes = uint64_t(w) * h * 4;
  if (pixelBytes > 0x7fffffffu) return Data();
  std::vector<uint8_t> o;
  o.reserve(size_t(14 + 108 + pixelBytes));
  o.insert(o.end(), {'B', 'M'});
  put32(o, uint32_t(14 + 108 + pixelBytes));
  put32(o, 0);
  put32(o, 14 + 108);
  put32(o, 108);
  put32(o, w);
  put32(o, h);
  put16(o, 1);
  put16(o, 32);
  put32(o, kBI_BITFIELDS);
  put32(o, uint32_t(pixelBytes));
  put32(o, 2835);  // 72 dpi
  put32(o, 2835);
  put32(o, 0);
  put32(o, 0);
  put32(o, 0x00ff0000), put32(o, 0x0000ff00), put32(o, 0x000000ff);
  put32(o, image->isOpaque() ? 0 : 0xff000000u);
  put32(o, 0x73524742);   // "sRGB"
  o.resize(14 + 108, 0);  // endpoints and gamma unused
  bool opaque = image->isOpaque();
  for (uint32_t row = 0; row < h; ++row) {
    const uint8_t* src = image->bytes() + size_t(h - 1 - row) * image->bytesPerRow();
    for (uint32_t x = 0; x < w; ++x, src += 4) {
      uint32_t a = opaque ? 255 : src[3];
      auto un = [a](uint32_t c) {
        return a == 0 ? 0u : std::min<uint32_t>(255, (c * 255 + a / 2) / a);
      };
      o.insert(o.end(),
               {uint8_t(un(src[0])), uint8_t(un(src[1])), uint8_t(un(src[2])), uint8_t(a)});
    }
  }
  return Data(std::move(o));
}

Data encodeICO(const Data& png, int width, int height) {
  if (png.empty() || width <= 0 || height <= 0 || width > 256 || height > 256) return Data();
  std::vector<uint8_t> o;
  put16(o, 0);
  put16(o, 1);
  put16(o, 1);
  o.push_back(uint8_t(width == 256 ? 0 : width));
  o.push_back(uint8_t(height == 256 ? 0 : height));
  o.push_back(0);
  o.push_back(0);
  put16(o, 1);
  put16(o, 32);
  put32(o, uint32_t(png.length()));
  put32(o, 22);
  o.insert(o.end(), png.bytes(), png.bytes() + png.length());
  return Data(std::move(o));
}

}  // namespace plat
