// TIFF through libtiff, read from memory: every directory (page) is one image, its pixels in
// stored order and its Orientation tag in its properties.

#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/foundation/NSLog.h"
#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

// A file in memory for libtiff: reading from the given bytes, or writing into `out`.
struct MemoryFile {
  const uint8_t* data = nullptr;
  size_t length = 0;
  std::vector<uint8_t>* out = nullptr;
  uint64_t pos = 0;
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
  auto* f = static_cast<MemoryFile*>(h);
  size_t have = f->out ? f->out->size() : f->length;
  const uint8_t* src = f->out ? f->out->data() : f->data;
  if (n <= 0 || f->pos >= have) return 0;
  size_t take = std::min<uint64_t>(uint64_t(n), have - f->pos);
  std::memcpy(buf, src + f->pos, take);
  f->pos += take;
  return tmsize_t(take);
}
tmsize_t memWrite(thandle_t h, void* buf, tmsize_t n) {
  auto* f = static_cast<MemoryFile*>(h);
  if (!f->out || n < 0) return 0;
  if (f->pos + uint64_t(n) > f->out->size()) f->out->resize(f->pos + uint64_t(n));
  std::memcpy(f->out->data() + f->pos, buf, size_t(n));
  f->pos += uint64_t(n);
  return n;
}
toff_t memSeek(thandle_t h, toff_t off, int whence) {
  auto* f = static_cast<MemoryFile*>(h);
  uint64_t size = f->out ? f->out->size() : f->length;
  uint64_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? size : 0;
  f->pos = base + off;
  return f->pos;
}
int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) {
  auto* f = static_cast<MemoryFile*>(h);
  return f->out ? f->out->size() : f->length;
}
int memMap(thandle_t, void**, toff_t*) { return 0; }
void memUnmap(thandle_t, void*, toff_t) {}

void quietHandler(const char*, const char*, va_list) {}

// Most libtiff may allocate at once (a strip or tile, decoded): a header that declares a huge
// strip is refused before its buffer is made.
constexpr tmsize_t kMaxLibraryAllocation = 128 << 20;

// Errors of a read are logged once the data is whole (a file still arriving fails to read
// all the time); warnings are not.
int logError(TIFF*, void* user, const char* module, const char* format, va_list args) {
  if (!user) return 1;
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  NSLog("TIFF reader: %s%s%s", module ? module : "", module ? ": " : "", text);
  return 1;
}
int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* openForReading(MemoryFile* f, bool logErrors) {
  // Messages that reach no handler of the open file go nowhere rather than to standard error.
  static const bool kQuiet = [] {
    TIFFSetErrorHandler(quietHandler);
    TIFFSetWarningHandler(quietHandler);
    return true;
  }();
  (void)kQuiet;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibraryAllocation);
  TIFFOpenOptionsSetErrorHandlerExtR(options, logError, logErrors ? f : nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
  TIFF* tif = TIFFClientOpenExt("memory", "rm", f, memRead, memWrite, memSeek, memClose, memSize,
                                memMap, memUnmap, options);
  TIFFOpenOptionsFree(options);
  return tif;
}

class TIFFReader : public CGImageSource::Reader {
 public:
  void scan(const Data& data, bool final) override {
    pages_.clear();
    final_ = final;
    MemoryFile f{data.bytes(), data.length()};
    TIFF* tif = openForReading(&f, final);
    if (!tif) return;
    uint64_t total = 0;
    do {
      uint32_t w = 0, h = 0;
      uint16_t extra = 0;
      uint16_t* types = nullptr;
      TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
      TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
      TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra, &types);
      // Pages past the file's pixel budget are not offered: each is decoded whole.
      total += uint64_t(w) * h;
      if (!withinPixelCap(w, h) || total > kCGImageSourceMaxTotalPixels) break;
      // The orientation is carried in the properties, as a JPEG's EXIF one is; the pixels are
      // kept as stored, so whoever applies it turns the picture once.
      uint16_t orientation = 0;
      if (!TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation)) orientation = 0;
      pages_.push_back({int64_t(w), int64_t(h), extra > 0,
                        orientation >= 1 && orientation <= 8 ? int(orientation) : 0});
    } while (pages_.size() < kCGImageSourceMaxImages && TIFFReadDirectory(tif));
    TIFFClose(tif);
  }
  size_t count() const override { return pages_.size(); }
  Dictionary propertiesAtIndex(size_t i) const override {
    Dictionary d{{kCGImagePropertyPixelWidth, Value(pages_[i].width)},
                 {kCGImagePropertyPixelHeight, Value(pages_[i].height)},
                 {kCGImagePropertyHasAlpha, Value(pages_[i].alpha)}};
    if (pages_[i].orientation > 0)
      d.set(kCGImagePropertyOrientation, Value(int64_t(pages_[i].orientation)));
    return d;
  }
  CGImageRef image(const Data& data, bool final, size_t index) override {
    MemoryFile f{data.bytes(), data.length()};
    TIFF* tif = openForReading(&f, final);
    if (!tif) return nullptr;
    CGImageRef out;
    const Page& page = pages_[index];
    auto* raster = static_cast<uint32_t*>(
        std::malloc(size_t(page.width) * size_t(page.height) * sizeof(uint32_t)));
    if (raster && TIFFSetDirectory(tif, tdir_t(index)) &&
        readStoredRows(tif, uint32_t(page.width), uint32_t(page.height), raster)) {
      // libtiff gives R in the low byte and premultiplied alpha on top; we keep A R G B.
      for (size_t i = 0, n = size_t(page.width) * size_t(page.height); i < n; ++i) {
        uint32_t p = raster[i];
        uint32_t a = page.alpha ? TIFFGetA(p) : 255;
        raster[i] = a << 24 | TIFFGetR(p) << 16 | TIFFGetG(p) << 8 | TIFFGetB(p);
      }
      out = CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(raster), int(page.width),
                                        int(page.height), !page.alpha);
      raster = nullptr;
    }
    std::free(raster);
    TIFFClose(tif);
    return out;
  }
  CGImageSourceStatus status() const override {
    if (!pages_.empty()) return kCGImageStatusComplete;
    return final_ ? kCGImageStatusInvalidData : kCGImageStatusIncomplete;
  }

 private:
  struct Page {
    int64_t width, height;
    bool alpha;
    int orientation;  // the Orientation tag (1 to 8), 0 when absent or out of range
  };

  // The page's pixels in stored order, first stored row on top, whatever its Orientation tag
  // says (libtiff would flip by it, and cannot transpose).
  static bool readStoredRows(TIFF* tif, uint32_t w, uint32_t h, uint32_t* raster) {
    char message[1024];
    TIFFRGBAImage img;
    if (!TIFFRGBAImageOK(tif, message) || !TIFFRGBAImageBegin(&img, tif, 0, message)) {
      TIFFErrorExtR(tif, "TIFFRGBAImage", "%s", message);
      return false;
    }
    img.orientation = ORIENTATION_TOPLEFT;
    img.req_orientation = ORIENTATION_TOPLEFT;
    bool ok = TIFFRGBAImageGet(&img, raster, w, h) != 0;
    TIFFRGBAImageEnd(&img);
    return ok;
  }
  std::vector<Page> pages_;
  bool final_ = false;
};

}  // namespace

std::unique_ptr<CGImageSource::Reader> makeTIFFReader() { return std::make_unique<TIFFReader>(); }

Data encodeTIFF(const std::vector<CGImageRef>& images) {
  std::vector<uint8_t> bytes;
  MemoryFile f;
  f.out = &bytes;
  TIFFSetErrorHandler(quietHandler);
  TIFFSetWarningHandler(quietHandler);
  TIFF* tif = TIFFClientOpen("memory", "w", &f, memRead, memWrite, memSeek, memClose, memSize,
                             memMap, memUnmap);
  if (!tif) return Data();
  bool ok = true;
  for (const auto& image : images) {
    uint32_t w = uint32_t(image->width()), h = uint32_t(image->height());
    bool alpha = !image->isOpaque();
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, alpha ? 4 : 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (alpha) {
      uint16_t associated = EXTRASAMPLE_ASSOCALPHA;
      TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &associated);
    }
    std::vector<uint8_t> row(size_t(w) * 4);
    for (uint32_t y = 0; ok && y < h; ++y) {
      const uint8_t* src = image->bytes() + size_t(y) * image->bytesPerRow();
      uint8_t* d = row.data();
      for (uint32_t x = 0; x < w; ++x, src += 4) {
        *d++ = src[2], *d++ = src[1], *d++ = src[0];
        if (alpha) *d++ = src[3];
      }
      ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
    }
    ok = ok && TIFFWriteDirectory(tif);
    if (!ok) break;
  }
  TIFFClose(tif);
  return ok ? Data(std::move(bytes)) : Data();
}

}  // namespace plat
