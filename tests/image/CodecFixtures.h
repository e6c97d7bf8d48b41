#pragma once
// Encoded test images written straight with the codec libraries: PNG (plain or interlaced),
// JPEG (baseline or progressive, with an optional EXIF orientation) and GIF (frames on a
// logical screen with delays, disposal, transparency and a loop count).

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

// The codec headers need size_t and FILE declared before them.
#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

#include "platform/foundation/Data.h"
#include "platform/graphics/CGImage.h"

namespace fixtures {

// Straight RGBA of a bitmap.
inline std::vector<uint8_t> rgbaOf(const plat::CGImageRef& img) {
  std::vector<uint8_t> out;
  for (size_t y = 0; y < img->height(); ++y)
    for (size_t x = 0; x < img->width(); ++x) {
      uint32_t p = img->pixelAt(int(x), int(y));
      out.insert(out.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p), uint8_t(p >> 24)});
    }
  return out;
}

inline plat::Data pngData(const plat::CGImageRef& img, bool interlaced) {
  plat::Data out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep d, png_size_t n) {
        static_cast<plat::Data*>(png_get_io_ptr(p))->append(d, n);
      },
      [](png_structp) {});
  int w = int(img->width()), h = int(img->height());
  png_set_IHDR(png, info, w, h, 8, img->isOpaque() ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (img->isOpaque()) png_set_filler(png, 0, PNG_FILLER_AFTER);  // drops the alpha byte
  auto rgba = rgbaOf(img);
  std::vector<png_bytep> rows(h);
  for (int y = 0; y < h; ++y) rows[y] = rgba.data() + size_t(y) * w * 4;
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

inline plat::Data jpegData(const plat::CGImageRef& img, bool progressive, int quality = 95,
                           int exifOrientation = 0) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = JDIMENSION(img->width());
  c.image_height = JDIMENSION(img->height());
  c.input_components = 4;
  c.in_color_space = JCS_EXT_RGBA;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  if (exifOrientation) {
    // "Exif\0\0", big-endian TIFF header, one IFD entry: orientation (SHORT).
    uint8_t exif[] = {'E', 'x', 'i', 'f',  0,    0, 'M', 'M', 0, 42, 0, 0, 0,
                      8,   0,   1,   0x01, 0x12, 0, 3,   0,   0, 0,  1, 0, uint8_t(exifOrientation),
                      0,   0,   0,   0,    0,    0};
    jpeg_write_marker(&c, JPEG_APP0 + 1, exif, sizeof exif);
  }
  auto rgba = rgbaOf(img);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = rgba.data() + size_t(c.next_scanline) * img->width() * 4;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  plat::Data out(buf, size);
  free(buf);
  return out;
}

struct GifFrame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint8_t> indexes;  // width * height palette indexes
  int delayCs = -1;              // -1: no graphic control block
  int disposal = DISPOSAL_UNSPECIFIED;
  int transparent = NO_TRANSPARENT_COLOR;
  bool interlaced = false;
};

// Palette: 0 black, 1 red, 2 green, 3 blue.
inline plat::Data gifData(int w, int h, const std::vector<GifFrame>& frames, int loops = -1) {
  plat::Data out;
  int error = 0;
  GifFileType* gif = EGifOpen(
      &out,
      [](GifFileType* g, const GifByteType* d, int n) {
        static_cast<plat::Data*>(g->UserData)->append(d, size_t(n));
        return n;
      },
      &error);
  GifColorType colors[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, w, h, 2, 0, map);
  if (loops >= 0) {
    EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
    EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
    uint8_t sub[3] = {1, uint8_t(loops & 0xff), uint8_t(loops >> 8)};
    EGifPutExtensionBlock(gif, 3, sub);
    EGifPutExtensionTrailer(gif);
  }
  for (const auto& f : frames) {
    if (f.delayCs >= 0) {
      GraphicsControlBlock gcb{f.disposal, false, f.delayCs, f.transparent};
      GifByteType ext[4];
      EGifGCBToExtension(&gcb, ext);
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    }
    EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, nullptr);
    static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    std::vector<int> order;
    if (f.interlaced) {
      for (int p = 0; p < 4; ++p)
        for (int y = kStart[p]; y < f.height; y += kStep[p]) order.push_back(y);
    } else {
      for (int y = 0; y < f.height; ++y) order.push_back(y);
    }
    for (int y : order)
      EGifPutLine(gif, const_cast<GifPixelType*>(f.indexes.data() + size_t(y) * f.width), f.width);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

inline GifFrame gifSolid(int left, int top, int w, int h, uint8_t index, int delayCs = 10,
                         int disposal = DISPOSE_DO_NOT) {
  GifFrame f;
  f.left = left, f.top = top, f.width = w, f.height = h;
  f.indexes.assign(size_t(w) * h, index);
  f.delayCs = delayCs;
  f.disposal = disposal;
  return f;
}

}  // namespace fixtures
