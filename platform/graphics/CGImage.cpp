#include "platform/graphics/CGImage.h"

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/ImageReaders.h"

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
  cairo_surface_t* s =
      cairo_image_surface_create_for_data(buffer, format, width, height, width * 4);
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

void pngWrite(png_structp png, png_bytep in, png_size_t len) {
  static_cast<Data*>(png_get_io_ptr(png))->append(in, len);
}
void pngFlush(png_structp) {}
void pngError(png_structp png, png_const_charp message) {
  NSLog("PNG writer: %s", message ? message : "unknown error");
  png_longjmp(png, 1);
}
void pngWarn(png_structp, png_const_charp message) {
  NSLog("PNG writer warning: %s", message ? message : "");
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

CGImageRef CGImageCreateWithPNGData(const Data& data) { return decodeCompletePNG(data); }

Data CGImagePNGRepresentation(const CGImageRef& image) {
  Data out;
  if (!image) return out;
  std::vector<uint8_t> rgba = rgbaOf(*image);
  int w = static_cast<int>(image->width()), h = static_cast<int>(image->height());
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarn);
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
  return writeDataToFile(d, path, 0);
}

// ---- JPEG ----

namespace {
struct JpegErr {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void jpegErrorExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegErr*>(cinfo->err)->jump, 1); }
void jpegSilent(j_common_ptr, int) {}
}  // namespace

CGImageRef CGImageCreateWithJPEGData(const Data& data) { return decodeCompleteJPEG(data); }

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
