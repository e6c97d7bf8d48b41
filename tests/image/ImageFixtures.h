#pragma once
// Builders of test images: solid and patterned bitmaps and animated PNGs put together from the
// PNG encoder's own chunks.

#include <cstring>
#include <vector>

#include "image/HVAPNGChunks.h"
#include "platform/graphics/CGImage.h"

namespace fixtures {

// A bitmap filled with one straight ARGB colour.
inline plat::CGImageRef solid(int w, int h, uint32_t argb) {
  bool opaque = (argb >> 24) == 0xff;
  auto img = plat::CGImage::create(w, h, opaque);
  uint32_t a = argb >> 24;
  auto pm = [a](uint32_t c) { return (c * a + 127) / 255; };
  uint32_t p =
      a << 24 | pm((argb >> 16) & 0xff) << 16 | pm((argb >> 8) & 0xff) << 8 | pm(argb & 0xff);
  cairo_surface_flush(img->surface());
  uint8_t* d = cairo_image_surface_get_data(img->surface());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) std::memcpy(d + y * img->bytesPerRow() + x * 4, &p, 4);
  cairo_surface_mark_dirty(img->surface());
  return img;
}

// A bitmap whose pixel (x, y) is opaque with red = x * 7, green = y * 11, blue = (x + y) * 3
// (all mod 256): every pixel tells where it came from.
inline plat::CGImageRef gradient(int w, int h) {
  auto img = plat::CGImage::create(w, h, true);
  cairo_surface_flush(img->surface());
  uint8_t* d = cairo_image_surface_get_data(img->surface());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint32_t p = 0xff000000u | uint32_t((x * 7) & 0xff) << 16 | uint32_t((y * 11) & 0xff) << 8 |
                   uint32_t(((x + y) * 3) & 0xff);
      std::memcpy(d + y * img->bytesPerRow() + x * 4, &p, 4);
    }
  cairo_surface_mark_dirty(img->surface());
  return img;
}
inline uint32_t gradientAt(int x, int y) {
  return 0xff000000u | uint32_t((x * 7) & 0xff) << 16 | uint32_t((y * 11) & 0xff) << 8 |
         uint32_t(((x + y) * 3) & 0xff);
}

// The concatenated IDAT payload of a PNG.
inline std::vector<uint8_t> idatOf(const plat::Data& png) {
  std::vector<uint8_t> out;
  auto info = HVParseAPNGChunks(png.bytes(), png.length());
  for (const auto& c : info->chunks)
    if (c.fourcc == HVFourCC("IDAT"))
      out.insert(out.end(), png.bytes() + c.offset + 8, png.bytes() + c.offset + 8 + c.length);
  return out;
}

struct ApngFrame {
  plat::CGImageRef image;
  uint32_t x = 0, y = 0;  // top-left offsets
  uint16_t delayNum = 1, delayDen = 10;
  uint8_t dispose = 0, blend = 0;
};

inline void fcTL(plat::Data& out, uint32_t seq, const ApngFrame& f) {
  plat::Data d;
  HVAppendU32BE(d, seq);
  HVAppendU32BE(d, uint32_t(f.image->width()));
  HVAppendU32BE(d, uint32_t(f.image->height()));
  HVAppendU32BE(d, f.x);
  HVAppendU32BE(d, f.y);
  HVAppendU16BE(d, f.delayNum);
  HVAppendU16BE(d, f.delayDen);
  uint8_t ops[2] = {f.dispose, f.blend};
  d.append(ops, 2);
  HVAppendPNGChunk(out, "fcTL", d.bytes(), d.length());
}

// An APNG of the given canvas. With defaultIsFrame0 the IDAT is frame 0; otherwise `still` is
// the default image (outside the animation) and every frame is fdAT.
inline plat::Data apng(uint32_t w, uint32_t h, const std::vector<ApngFrame>& frames,
                       uint32_t plays = 0, bool defaultIsFrame0 = true,
                       plat::CGImageRef still = nullptr) {
  plat::Data out;
  out.append("\x89PNG\r\n\x1a\n", 8);
  plat::Data ihdr;
  HVAppendU32BE(ihdr, w);
  HVAppendU32BE(ihdr, h);
  uint8_t rest[5] = {8, 6, 0, 0, 0};
  ihdr.append(rest, 5);
  HVAppendPNGChunk(out, "IHDR", ihdr.bytes(), ihdr.length());
  plat::Data actl;
  HVAppendU32BE(actl, uint32_t(frames.size()));
  HVAppendU32BE(actl, plays);
  HVAppendPNGChunk(out, "acTL", actl.bytes(), actl.length());
  uint32_t seq = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i == 0 && !defaultIsFrame0) {
      auto idat = idatOf(plat::CGImagePNGRepresentation(still));
      HVAppendPNGChunk(out, "IDAT", idat.data(), idat.size());
    }
    fcTL(out, seq++, frames[i]);
    auto data = idatOf(plat::CGImagePNGRepresentation(frames[i].image));
    if (i == 0 && defaultIsFrame0) {
      HVAppendPNGChunk(out, "IDAT", data.data(), data.size());
    } else {
      plat::Data fd;
      HVAppendU32BE(fd, seq++);
      fd.append(data.data(), data.size());
      HVAppendPNGChunk(out, "fdAT", fd.bytes(), fd.length());
    }
  }
  HVAppendPNGChunk(out, "IEND", nullptr, 0);
  return out;
}

inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace fixtures
