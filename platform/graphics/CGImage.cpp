#include "platform/graphics/CGImage.h"

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace plat {

CGImage::CGImage(cairo_surface_t* surface) : surface_(surface) {}
CGImage::~CGImage() {
  if (surface_) cairo_surface_destroy(surface_);
}

CGImageRef CGImage::create(int width, int height, bool opaque) {
  if (width <= 0 || height <= 0 || width > 32767 || height > 32767) return nullptr;
  cairo_surface_t* s =
      cairo_image_surface_create(opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  return std::make_shared<CGImage>(s);
}

CGImageRef CGImage::createOwningBuffer(uint8_t* buffer, int width, int height, bool opaque) {
  static cairo_user_data_key_t key;
  if (!buffer) return nullptr;
  cairo_format_t format = opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32;
  if (width <= 0 || height <= 0 || width > 32767 || height > 32767 ||
      cairo_format_stride_for_width(format, width) != width * 4) {
    free(buffer);
    return nullptr;
  }
  cairo_surface_t* s = cairo_image_surface_create_for_data(buffer, format, width, height, width * 4);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(s, &key, buffer, free) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    free(buffer);
    return nullptr;
  }
  return std::make_shared<CGImage>(s);
}

size_t CGImage::width() const { return cairo_image_surface_get_width(surface_); }
size_t CGImage::height() const { return cairo_image_surface_get_height(surface_); }
size_t CGImage::bytesPerRow() const { return cairo_image_surface_get_stride(surface_); }
bool CGImage::isOpaque() const {
  return cairo_image_surface_get_format(surface_) == CAIRO_FORMAT_RGB24;
}
CGBitmapInfo CGImage::bitmapInfo() const {
  return kCGBitmapByteOrder32Little |
         (isOpaque() ? kCGImageAlphaNoneSkipFirst : kCGImageAlphaPremultipliedFirst);
}
const uint8_t* CGImage::bytes() const {
  cairo_surface_flush(surface_);
  return cairo_image_surface_get_data(surface_);
}

uint32_t CGImage::pixelAt(int x, int y) const {
  if (x < 0 || y < 0 || static_cast<size_t>(x) >= width() || static_cast<size_t>(y) >= height())
    return 0;
  uint32_t p;
  std::memcpy(&p, bytes() + y * bytesPerRow() + x * 4, 4);
  if (isOpaque()) return p | 0xff000000u;
  uint32_t a = p >> 24;
  if (a == 0) return 0;
  auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
  return (a << 24) | (un((p >> 16) & 0xff) << 16) | (un((p >> 8) & 0xff) << 8) | un(p & 0xff);
}

// ---- PNG ----

namespace {

struct PngReadState {
  const Data* data;
  size_t pos = 0;
};

void pngRead(png_structp png, png_bytep out, png_size_t len) {
  auto* st = static_cast<PngReadState*>(png_get_io_ptr(png));
  if (st->pos + len > st->data->length()) png_error(png, "truncated");
  std::memcpy(out, st->data->bytes() + st->pos, len);
  st->pos += len;
}

void pngWrite(png_structp png, png_bytep in, png_size_t len) {
  static_cast<Data*>(png_get_io_ptr(png))->append(in, len);
}
void pngFlush(png_structp) {}
void pngWarn(png_structp, png_const_charp) {}

// Converts straight RGBA rows into a premultiplied ARGB32 surface.
CGImageRef imageFromRGBA(const std::vector<uint8_t>& rgba, int w, int h, bool hasAlpha) {
  CGImageRef img = CGImage::create(w, h, !hasAlpha);
  if (!img) return nullptr;
  cairo_surface_t* s = img->surface();
  cairo_surface_flush(s);
  uint8_t* dst = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(dst + y * stride);
    const uint8_t* src = rgba.data() + static_cast<size_t>(y) * w * 4;
    for (int x = 0; x < w; ++x) {
      uint32_t r = src[4 * x], g = src[4 * x + 1], b = src[4 * x + 2], a = src[4 * x + 3];
      if (!hasAlpha) a = 255;
      if (a != 255) {
        r = (r * a + 127) / 255;
        g = (g * a + 127) / 255;
        b = (b * a + 127) / 255;
      }
      row[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  }
  cairo_surface_mark_dirty(s);
  return img;
}

// Straight RGBA rows of an image.
std::vector<uint8_t> rgbaOf(const CGImage& img) {
  size_t w = img.width(), h = img.height();
  std::vector<uint8_t> out(w * h * 4);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      uint32_t p = img.pixelAt(static_cast<int>(x), static_cast<int>(y));
      uint8_t* o = &out[(y * w + x) * 4];
      o[0] = (p >> 16) & 0xff;
      o[1] = (p >> 8) & 0xff;
      o[2] = p & 0xff;
      o[3] = p >> 24;
    }
  return out;
}

}  // namespace

CGImageRef CGImageCreateWithPNGData(const Data& data) {
  if (data.length() < 8 || png_sig_cmp(data.bytes(), 0, 8) != 0) return nullptr;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, pngWarn);
  if (!png) return nullptr;
  png_infop info = png_create_info_struct(png);
  PngReadState st{&data};
  std::vector<uint8_t> rgba;
  std::vector<png_bytep> rows;
  int w = 0, h = 0;
  bool hasAlpha = false;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return nullptr;
  }
  png_set_read_fn(png, &st, pngRead);
  png_read_info(png, info);
  w = png_get_image_width(png, info);
  h = png_get_image_height(png, info);
  int colorType = png_get_color_type(png, info);
  hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
  if (w <= 0 || h <= 0 || w > 32767 || h > 32767 || static_cast<uint64_t>(w) * h > (1u << 28))
    png_error(png, "size");
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  rgba.resize(static_cast<size_t>(w) * h * 4);
  rows.resize(h);
  for (int y = 0; y < h; ++y) rows[y] = rgba.data() + static_cast<size_t>(y) * w * 4;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return imageFromRGBA(rgba, w, h, hasAlpha);
}

Data CGImagePNGRepresentation(const CGImageRef& image) {
  Data out;
  if (!image) return out;
  std::vector<uint8_t> rgba = rgbaOf(*image);
  int w = static_cast<int>(image->width()), h = static_cast<int>(image->height());
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, pngWarn);
  if (!png) return out;
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows(h);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return Data();
  }
  png_set_write_fn(png, &out, pngWrite, pngFlush);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) rows[y] = rgba.data() + static_cast<size_t>(y) * w * 4;
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

bool CGImageWritePNGFile(const CGImageRef& image, const std::string& path) {
  Data d = CGImagePNGRepresentation(image);
  if (d.empty()) return false;
  std::error_code ec;
  auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(reinterpret_cast<const char*>(d.bytes()), static_cast<std::streamsize>(d.length()));
  return static_cast<bool>(f);
}

// ---- JPEG ----

namespace {
struct JpegErr {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void jpegErrorExit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<JpegErr*>(cinfo->err)->jump, 1);
}
void jpegSilent(j_common_ptr, int) {}
}  // namespace

CGImageRef CGImageCreateWithJPEGData(const Data& data) {
  if (data.length() < 3 || data.bytes()[0] != 0xff || data.bytes()[1] != 0xd8) return nullptr;
  jpeg_decompress_struct cinfo;
  JpegErr err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpegErrorExit;
  err.mgr.emit_message = jpegSilent;
  // Filled after setjmp; kept outside so a longjmp leaves nothing half-owned on the stack.
  std::vector<uint8_t>* rgba = new std::vector<uint8_t>();
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    delete rgba;
    return nullptr;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data.bytes(), static_cast<unsigned long>(data.length()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&cinfo);
  int w = cinfo.output_width, h = cinfo.output_height;
  if (w <= 0 || h <= 0 || w > 32767 || h > 32767 || static_cast<uint64_t>(w) * h > (1u << 28)) {
    jpeg_destroy_decompress(&cinfo);
    delete rgba;
    return nullptr;
  }
  rgba->resize(static_cast<size_t>(w) * h * 4);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = rgba->data() + static_cast<size_t>(cinfo.output_scanline) * w * 4;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  CGImageRef img = imageFromRGBA(*rgba, w, h, false);
  delete rgba;
  return img;
}

Data CGImageJPEGRepresentation(const CGImageRef& image, double quality) {
  if (!image) return Data();
  std::vector<uint8_t> rgba = rgbaOf(*image);
  int w = static_cast<int>(image->width()), h = static_cast<int>(image->height());
  jpeg_compress_struct cinfo;
  JpegErr err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpegErrorExit;
  err.mgr.emit_message = jpegSilent;
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    free(buf);
    return Data();
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buf, &size);
  cinfo.image_width = w;
  cinfo.image_height = h;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_RGBA;
  jpeg_set_defaults(&cinfo);
  quality = std::max(0.0, std::min(1.0, quality));
  jpeg_set_quality(&cinfo, static_cast<int>(quality * 100 + 0.5), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = rgba.data() + static_cast<size_t>(cinfo.next_scanline) * w * 4;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Data out(buf, size);
  free(buf);
  return out;
}

CGImageRef CGImageCreateWithData(const Data& data) {
  if (data.length() >= 8 && png_sig_cmp(data.bytes(), 0, 8) == 0)
    return CGImageCreateWithPNGData(data);
  if (data.length() >= 3 && data.bytes()[0] == 0xff && data.bytes()[1] == 0xd8)
    return CGImageCreateWithJPEGData(data);
  return nullptr;
}

}  // namespace plat
