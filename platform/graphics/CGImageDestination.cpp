#include "platform/graphics/CGImageDestination.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "platform/foundation/NSFileManager.h"
#include "platform/graphics/ImageReaders.h"

// The codec headers need size_t and FILE declared before them.
#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

namespace plat {

namespace {

constexpr const char* kPNG = "public.png";
constexpr const char* kJPEG = "public.jpeg";
constexpr const char* kGIF = "com.compuserve.gif";
constexpr const char* kTIFF = "public.tiff";
constexpr const char* kBMP = "com.microsoft.bmp";
constexpr const char* kICO = "com.microsoft.ico";
constexpr const char* kJP2 = "public.jpeg-2000";
constexpr const char* kICNS = "com.apple.icns";

// ---- PNG ----

void pngWrite(png_structp png, png_bytep in, png_size_t len) {
  static_cast<Data*>(png_get_io_ptr(png))->append(in, len);
}
void pngFlush(png_structp) {}
void pngWarning(png_structp, png_const_charp) {}

// Straight BGRA of one row of premultiplied pixels.
void unpremultiplyRow(const uint8_t* src, uint8_t* dst, size_t width) {
  for (size_t x = 0; x < width; ++x, src += 4, dst += 4) {
    uint32_t a = src[3];
    if (a == 255) {
      std::memcpy(dst, src, 4);
    } else if (a == 0) {
      std::memset(dst, 0, 4);
    } else {
      for (int k = 0; k < 3; ++k)
        dst[k] = uint8_t(std::min<uint32_t>(255, (src[k] * 255 + a / 2) / a));
      dst[3] = uint8_t(a);
    }
  }
}

}  // namespace

Data CGImageEncodePNG(const CGImageRef& image, bool alwaysRGBA) {
  Data out;
  if (!image) return out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, pngWarning);
  if (!png) return out;
  png_infop info = png_create_info_struct(png);
  size_t w = image->width(), h = image->height();
  bool opaque = image->isOpaque() && !alwaysRGBA;
  // Outside the jump: freed on both paths.
  auto* row = static_cast<uint8_t*>(std::malloc(w * 4));
  if (!info || !row || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::free(row);
    return Data();
  }
  png_set_write_fn(png, &out, pngWrite, pngFlush);
  png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), 8,
               opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  if (opaque) png_set_filler(png, 0, PNG_FILLER_AFTER);  // drops the unused byte
  const uint8_t* bytes = image->bytes();
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* src = bytes + y * image->bytesPerRow();
    if (opaque) {
      png_write_row(png, const_cast<png_bytep>(src));
    } else {
      if (image->isOpaque()) {
        std::memcpy(row, src, w * 4);
        for (size_t x = 0; x < w; ++x) row[x * 4 + 3] = 255;
      } else {
        unpremultiplyRow(src, row, w);
      }
      png_write_row(png, row);
    }
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::free(row);
  return out;
}

// ---- JPEG ----

namespace {
struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};
void jpegErrorExit(j_common_ptr c) { longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); }
void jpegSilent(j_common_ptr, int) {}
}  // namespace

Data CGImageEncodeJPEG(const CGImageRef& image, double quality) {
  if (!image) return Data();
  jpeg_compress_struct c;
  JpegError err;
  c.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = jpegErrorExit;
  err.pub.emit_message = jpegSilent;
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_create_compress(&c);
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&c);
    std::free(buf);
    return Data();
  }
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = JDIMENSION(image->width());
  c.image_height = JDIMENSION(image->height());
  c.input_components = 4;
  // Premultiplied pixels read as their colour over black, as drawing into an opaque bitmap.
  c.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&c);
  if (std::isnan(quality)) quality = 1;
  quality = std::clamp(quality, 0.0, 1.0);
  jpeg_set_quality(&c, std::max(1, int(std::lround(quality * 100))), TRUE);
  jpeg_start_compress(&c, TRUE);
  const uint8_t* bytes = image->bytes();
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(bytes + size_t(c.next_scanline) * image->bytesPerRow());
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Data out(buf, size);
  std::free(buf);
  return out;
}

// ---- GIF ----

namespace {

int gifWrite(GifFileType* gif, const GifByteType* data, int n) {
  static_cast<Data*>(gif->UserData)->append(data, size_t(n));
  return n;
}

constexpr int kTransparentIndex = 255;

// One frame as palette indexes on a canvas of w x h at (0, 0); pixels outside the image and
// those mostly transparent take the transparent index.
bool quantize(const CGImageRef& image, int w, int h, std::vector<GifByteType>& indexes,
              GifColorType palette[256]) {
  size_t n = size_t(w) * size_t(h);
  std::vector<GifByteType> r(n, 0), g(n, 0), b(n, 0);
  std::vector<bool> clear(n, true);
  const uint8_t* bytes = image->bytes();
  bool opaque = image->isOpaque();
  for (size_t y = 0; y < image->height() && y < size_t(h); ++y)
    for (size_t x = 0; x < image->width() && x < size_t(w); ++x) {
      const uint8_t* p = bytes + y * image->bytesPerRow() + x * 4;
      uint32_t a = opaque ? 255 : p[3];
      size_t i = y * size_t(w) + x;
      if (a < 128) continue;
      clear[i] = false;
      auto un = [a](uint32_t c) {
        return GifByteType(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
      };
      r[i] = un(p[2]), g[i] = un(p[1]), b[i] = un(p[0]);
    }
  indexes.assign(n, 0);
  std::memset(palette, 0, sizeof(GifColorType) * 256);
  // Up to 255 colours keep their exact values; more are quantized by median cut.
  std::unordered_map<uint32_t, GifByteType> exact;
  for (size_t i = 0; i < n && exact.size() <= 255; ++i) {
    if (clear[i]) continue;
    uint32_t key = uint32_t(r[i]) << 16 | uint32_t(g[i]) << 8 | b[i];
    auto it = exact.find(key);
    if (it == exact.end()) {
      if (exact.size() == 255) {
        exact.emplace(key, 0);  // one too many: fall back below
        break;
      }
      GifByteType index = GifByteType(exact.size());
      palette[index] = GifColorType{r[i], g[i], b[i]};
      it = exact.emplace(key, index).first;
    }
    indexes[i] = it->second;
  }
  if (exact.size() > 255) {
    int mapSize = 255;
    std::memset(palette, 0, sizeof(GifColorType) * 256);
    if (GifQuantizeBuffer(unsigned(w), unsigned(h), &mapSize, r.data(), g.data(), b.data(),
                          indexes.data(), palette) == GIF_ERROR)
      return false;
  }
  for (size_t i = 0; i < n; ++i)
    if (clear[i]) indexes[i] = kTransparentIndex;
  return true;
}

bool writeGIF(const std::vector<CGImageRef>& images, const std::vector<double>& delays,
              int64_t loopCount, Data& out) {
  int w = 0, h = 0;
  for (const auto& img : images) {
    w = std::max(w, int(img->width()));
    h = std::max(h, int(img->height()));
  }
  if (w <= 0 || h <= 0 || w > 65535 || h > 65535) return false;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, gifWrite, &error);
  if (!gif) return false;
  EGifSetGifVersion(gif, true);
  bool ok = EGifPutScreenDesc(gif, w, h, 8, 0, nullptr) == GIF_OK;
  if (ok && loopCount >= 0) {
    uint8_t sub[3] = {1, uint8_t(loopCount & 0xff), uint8_t((loopCount >> 8) & 0xff)};
    ok = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
         EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0") == GIF_OK &&
         EGifPutExtensionBlock(gif, 3, sub) == GIF_OK && EGifPutExtensionTrailer(gif) == GIF_OK;
  }
  std::vector<GifByteType> indexes;
  GifColorType palette[256];
  for (size_t f = 0; ok && f < images.size(); ++f) {
    if (!quantize(images[f], w, h, indexes, palette)) {
      ok = false;
      break;
    }
    double delay = std::isfinite(delays[f]) ? std::max(0.0, delays[f]) : 0;
    GraphicsControlBlock gcb{DISPOSE_BACKGROUND, false,
                             int(std::min(65535.0, std::round(delay * 100))), kTransparentIndex};
    GifByteType ext[4];
    EGifGCBToExtension(&gcb, ext);
    ColorMapObject* map = GifMakeMapObject(256, palette);
    ok = map && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext) == GIF_OK &&
         EGifPutImageDesc(gif, 0, 0, w, h, false, map) == GIF_OK;
    for (int y = 0; ok && y < h; ++y)
      ok = EGifPutLine(gif, indexes.data() + size_t(y) * w, w) == GIF_OK;
    GifFreeMapObject(map);
  }
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  return ok;
}

}  // namespace

// ---- Destination ----

bool CGImageDestination::canWriteType(const std::string& type) {
  return type == kPNG || type == kJPEG || type == kGIF || type == kTIFF || type == kBMP ||
         type == kICO || type == kJP2 || type == kICNS;
}

CGImageDestination::CGImageDestination(std::string type, std::string path)
    : type_(std::move(type)), path_(std::move(path)) {}

CGImageDestinationRef CGImageDestination::createWithData(const std::string& type, size_t count) {
  if (!canWriteType(type) || count == 0) return nullptr;
  return CGImageDestinationRef(new CGImageDestination(type, ""));
}

CGImageDestinationRef CGImageDestination::createWithURL(const std::string& path,
                                                        const std::string& type, size_t count) {
  if (path.empty() || !canWriteType(type) || count == 0) return nullptr;
  return CGImageDestinationRef(new CGImageDestination(type, path));
}

void CGImageDestination::setProperties(const Dictionary& properties) { properties_ = properties; }

void CGImageDestination::addImage(const CGImageRef& image, const Dictionary& properties) {
  if (!image || finalized_) return;
  items_.push_back({image, properties});
}

void CGImageDestination::addImageFromSource(const CGImageSourceRef& source, size_t index,
                                            const Dictionary& properties) {
  if (!source) return;
  addImage(source->createImageAtIndex(index), properties);
}

bool CGImageDestination::finalize() {
  if (finalized_ || items_.empty()) return false;
  finalized_ = true;
  Data out;
  if (type_ == kPNG) {
    out = CGImageEncodePNG(items_[0].image, false);
  } else if (type_ == kJPEG) {
    const Value& q = items_[0].properties[kCGImageDestinationLossyCompressionQuality];
    out = CGImageEncodeJPEG(items_[0].image, q.isNumber() ? q.doubleValue() : 0.75);
  } else if (type_ == kGIF) {
    std::vector<CGImageRef> images;
    std::vector<double> delays;
    for (const auto& item : items_) {
      images.push_back(item.image);
      delays.push_back(item.properties[kCGImagePropertyGIFDictionary][kCGImagePropertyGIFDelayTime]
                           .doubleValue());
    }
    const Value& loop = properties_[kCGImagePropertyGIFDictionary][kCGImagePropertyGIFLoopCount];
    if (!writeGIF(images, delays, loop.isNumber() ? loop.integerValue() : -1, out)) out = Data();
  } else if (type_ == kTIFF) {
    std::vector<CGImageRef> images;
    for (const auto& item : items_) images.push_back(item.image);
    out = encodeTIFF(images);
  } else if (type_ == kBMP) {
    out = encodeBMP(items_[0].image);
  } else if (type_ == kICO) {
    const CGImageRef& img = items_[0].image;
    out = encodeICO(CGImageEncodePNG(img, true), int(img->width()), int(img->height()));
  } else if (type_ == kICNS) {
    const CGImageRef& img = items_[0].image;
    out = encodeICNS(CGImageEncodePNG(img, true), int(img->width()), int(img->height()));
  } else if (type_ == kJP2) {
    const Value& q = items_[0].properties[kCGImageDestinationLossyCompressionQuality];
    out = encodeJPEG2000(items_[0].image, q.isNumber() ? q.doubleValue() : 1);
  }
  if (out.empty()) return false;
  if (path_.empty()) {
    data_ = std::move(out);
    return true;
  }
  // Written beside the target and renamed over it, so a reader never sees half a file.
  return writeDataToFile(out, path_, NSDataWritingAtomic);
}

}  // namespace plat
