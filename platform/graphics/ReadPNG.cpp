// PNG through libpng's push reader, so that any prefix of a file shows the rows it holds.

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/foundation/NSLog.h"
#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

struct PushState {
  uint8_t* pixels = nullptr;  // width * height * 4, zeroed (transparent)
  int width = 0, height = 0;
  bool hasAlpha = false, interlaced = false, complete = false;
};

void onInfo(png_structp png, png_infop info) {
  auto* st = static_cast<PushState*>(png_get_progressive_ptr(png));
  png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  if (!withinPixelCap(w, h)) png_error(png, "image too large");
  int colorType = png_get_color_type(png, info);
  st->hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
  st->interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_bgr(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  st->width = int(w);
  st->height = int(h);
  st->pixels = static_cast<uint8_t*>(std::calloc(size_t(w) * h, 4));
  if (!st->pixels) png_error(png, "out of memory");
}

void onRow(png_structp png, png_bytep row, png_uint_32 y, int pass) {
  auto* st = static_cast<PushState*>(png_get_progressive_ptr(png));
  if (!row || !st->pixels || int(y) >= st->height) return;
  size_t stride = size_t(st->width) * 4;
  uint8_t* dst = st->pixels + y * stride;
  if (!st->interlaced) {
    std::memcpy(dst, row, stride);
    return;
  }
  // libpng hands every row of the image in each pass (the pass's nearest row above where it
  // has none) and fills the pass's gaps across, so a partial image shows blocky but whole.
  png_progressive_combine_row(png, dst, row);
}

void onEnd(png_structp png, png_infop) {
  static_cast<PushState*>(png_get_progressive_ptr(png))->complete = true;
}

// libpng's messages go to the platform log instead of standard error; an error then ends the
// read through the jump the caller set.
void onError(png_structp png, png_const_charp message) {
  NSLog("PNG reader: %s", message ? message : "unknown error");
  png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp message) {
  NSLog("PNG reader warning: %s", message ? message : "");
}

png_structp createReadStruct() {
  return png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
}

// Premultiplies straight BGRA pixels in place.
void premultiply(uint8_t* p, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i, p += 4) {
    uint32_t a = p[3];
    if (a == 255) continue;
    for (int k = 0; k < 3; ++k) {
      uint32_t t = p[k] * a + 128;
      p[k] = uint8_t((t + (t >> 8)) >> 8);
    }
  }
}

struct PullState {
  const Data* data;
  size_t pos = 0;
};

void pullRead(png_structp png, png_bytep out, png_size_t len) {
  auto* st = static_cast<PullState*>(png_get_io_ptr(png));
  if (len > st->data->length() - st->pos) png_error(png, "truncated");
  std::memcpy(out, st->data->bytes() + st->pos, len);
  st->pos += len;
}

}  // namespace

bool pngSize(const uint8_t* p, size_t n, int64_t* width, int64_t* height) {
  if (n < 24 || png_sig_cmp(p, 0, 8) != 0 || std::memcmp(p + 12, "IHDR", 4) != 0) return false;
  auto be32 = [](const uint8_t* q) {
    return uint32_t(q[0]) << 24 | uint32_t(q[1]) << 16 | uint32_t(q[2]) << 8 | q[3];
  };
  *width = be32(p + 16);
  *height = be32(p + 20);
  return true;
}

// A whole file read straight into the bitmap's rows; nullptr when it is not whole or sound
// (the push reader then shows what there is).
CGImageRef decodeCompletePNG(const Data& data) {
  if (data.length() < 8 || png_sig_cmp(data.bytes(), 0, 8) != 0) return nullptr;
  png_structp png = createReadStruct();
  if (!png) return nullptr;
  png_infop info = png_create_info_struct(png);
  // Outside the jump so they are sound after an error.
  auto* st = new PushState();
  auto* rows = new std::vector<png_bytep>();
  PullState in{&data};
  bool ok = false;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_set_read_fn(png, &in, pullRead);
    png_read_info(png, info);
    png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (!withinPixelCap(w, h)) png_error(png, "image too large");
    int colorType = png_get_color_type(png, info);
    st->hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    st->width = int(w);
    st->height = int(h);
    st->pixels = static_cast<uint8_t*>(std::malloc(size_t(w) * h * 4));
    if (!st->pixels) png_error(png, "out of memory");
    rows->resize(h);
    for (png_uint_32 y = 0; y < h; ++y) (*rows)[y] = st->pixels + size_t(y) * w * 4;
    png_read_image(png, rows->data());
    png_read_end(png, nullptr);
    ok = true;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  CGImageRef out;
  if (ok) {
    if (st->hasAlpha) premultiply(st->pixels, size_t(st->width) * st->height);
    out = CGImage::createOwningBuffer(st->pixels, st->width, st->height, !st->hasAlpha);
  } else {
    std::free(st->pixels);
  }
  delete rows;
  delete st;
  return out;
}

CGImageRef decodePNG(const Data& data, bool final, bool* complete) {
  if (complete) *complete = false;
  if (data.length() < 8 || png_sig_cmp(data.bytes(), 0, 8) != 0) return nullptr;
  if (CGImageRef whole = final ? decodeCompletePNG(data) : nullptr) {
    if (complete) *complete = true;
    return whole;
  }
  png_structp png = createReadStruct();
  if (!png) return nullptr;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return nullptr;
  }
  // Lives outside the jump so its fields are sound after an error.
  auto* st = new PushState();
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_set_progressive_read_fn(png, st, onInfo, onRow, onEnd);
    png_process_data(png, info, const_cast<png_bytep>(data.bytes()), data.length());
  }
  // An error part way keeps the rows received before it.
  png_destroy_read_struct(&png, &info, nullptr);
  CGImageRef out;
  if (st->pixels) {
    if (st->hasAlpha) premultiply(st->pixels, size_t(st->width) * st->height);
    bool opaque = !st->hasAlpha && st->complete;
    out = CGImage::createOwningBuffer(st->pixels, st->width, st->height, opaque);
    if (complete) *complete = st->complete;
  }
  delete st;
  return out;
}

}  // namespace plat
