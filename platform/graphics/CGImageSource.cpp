#include "platform/graphics/CGImageSource.h"

#include <algorithm>
#include <cstring>

#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {
std::string typeOf(const Data& d) {
  const uint8_t* b = d.bytes();
  if (d.length() >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) return "public.png";
  if (d.length() >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff) return "public.jpeg";
  if (d.length() >= 6 && (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0))
    return "com.compuserve.gif";
  if (d.length() >= 4 && (std::memcmp(b, "II*\0", 4) == 0 || std::memcmp(b, "MM\0*", 4) == 0))
    return "public.tiff";
  if (d.length() >= 2 && b[0] == 'B' && b[1] == 'M') return "com.microsoft.bmp";
  if (d.length() >= 4 && (std::memcmp(b, "\0\0\1\0", 4) == 0 || std::memcmp(b, "\0\0\2\0", 4) == 0))
    return "com.microsoft.ico";
  if (isJPEG2000(b, d.length())) return "public.jpeg-2000";
  if (d.length() >= 4 && std::memcmp(b, "icns", 4) == 0) return "com.apple.icns";
  return "";
}
}  // namespace

CGImageSource::CGImageSource() = default;
CGImageSource::~CGImageSource() = default;

CGImageSourceRef CGImageSource::createWithData(const Data& data) {
  if (data.empty()) return nullptr;
  auto s = std::make_shared<CGImageSource>();
  s->updateData(data, true);
  return s;
}

CGImageSourceRef CGImageSource::createWithData(std::shared_ptr<const Data> data) {
  if (!data || data->empty()) return nullptr;
  auto s = std::make_shared<CGImageSource>();
  s->updateData(std::move(data), true);
  return s;
}

CGImageSourceRef CGImageSource::createIncremental() { return std::make_shared<CGImageSource>(); }

void CGImageSource::updateData(const Data& data, bool final) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (final_ || data.length() < data_->length()) return;
  // The bytes held before go first, so that the copy never sits beside them.
  data_ = std::make_shared<const Data>();
  data_ = std::make_shared<const Data>(data);
  final_ = final;
  rescanLocked();
}

void CGImageSource::updateData(std::shared_ptr<const Data> data, bool final) {
  if (!data) data = std::make_shared<const Data>();
  std::lock_guard<std::mutex> lock(mutex_);
  if (final_ || data->length() < data_->length()) return;
  // The buffer held before goes at once (before the new bytes are read), unless the caller
  // still shares it.
  data_ = std::move(data);
  final_ = final;
  rescanLocked();
}

void CGImageSource::rescanLocked() {
  if (!reader_) {
    type_ = typeOf(*data_);
    if (type_ == "public.png")
      reader_ = makePNGReader();
    else if (type_ == "public.jpeg")
      reader_ = makeJPEGReader();
    else if (type_ == "com.compuserve.gif")
      reader_ = makeGIFReader();
    else if (type_ == "public.tiff")
      reader_ = makeTIFFReader();
    else if (type_ == "com.microsoft.bmp")
      reader_ = makeBMPReader();
    else if (type_ == "com.microsoft.ico")
      reader_ = makeICOReader();
    else if (type_ == "public.jpeg-2000")
      reader_ = makeJP2Reader();
    else if (type_ == "com.apple.icns")
      reader_ = makeICNSReader();
    else
      type_.clear();
  }
  if (reader_) {
    reader_->purge();
    reader_->scan(*data_, final_);
  }
}

std::string CGImageSource::type() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return type_;
}

CGImageSourceStatus CGImageSource::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reader_)
    return data_->length() < 8 && !final_ ? kCGImageStatusReadingHeader : kCGImageStatusUnknownType;
  return reader_->status();
}

size_t CGImageSource::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reader_ ? reader_->count() : 0;
}

Dictionary CGImageSource::properties() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reader_ ? reader_->properties() : Dictionary();
}

Dictionary CGImageSource::propertiesAtIndex(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reader_ || index >= reader_->count()) return {};
  return reader_->propertiesAtIndex(index);
}

CGImageRef CGImageSource::createImageAtIndex(size_t index, bool shouldCache) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reader_ || index >= reader_->count()) return nullptr;
  return reader_->image(*data_, final_, index);
}

// ---- Readers of a single still image (PNG, JPEG) ----

namespace {

class StillReader : public CGImageSource::Reader {
 public:
  size_t count() const override { return hasHeader_ ? 1 : 0; }
  Dictionary propertiesAtIndex(size_t) const override {
    Dictionary d{{kCGImagePropertyPixelWidth, Value(width_)},
                 {kCGImagePropertyPixelHeight, Value(height_)},
                 {kCGImagePropertyHasAlpha, Value(hasAlpha_)}};
    if (orientation_ > 0) d.set(kCGImagePropertyOrientation, Value(orientation_));
    addFormatProperties(d);
    return d;
  }
  CGImageSourceStatus status() const override {
    if (invalid_) return kCGImageStatusInvalidData;
    if (!hasHeader_) return final_ ? kCGImageStatusUnexpectedEOF : kCGImageStatusReadingHeader;
    if (complete_) return kCGImageStatusComplete;
    return final_ ? kCGImageStatusUnexpectedEOF : kCGImageStatusIncomplete;
  }
  CGImageRef image(const Data& data, bool final, size_t) override {
    if (cached_) return cached_;
    bool complete = false;
    int orientation = 0;
    cached_ = decode(data, &complete, &orientation);
    complete_ = complete;
    return cached_;
  }
  void purge() override { cached_ = nullptr; }

 protected:
  virtual CGImageRef decode(const Data& data, bool* complete, int* orientation) = 0;
  // The format's own dictionary ("{PNG}", "{JFIF}").
  virtual void addFormatProperties(Dictionary& d) const {}
  bool hasHeader_ = false, hasAlpha_ = false, complete_ = false, final_ = false, invalid_ = false;
  int64_t width_ = 0, height_ = 0;
  int orientation_ = 0;
  CGImageRef cached_;
};

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

class PNGReader : public StillReader {
 public:
  void scan(const Data& data, bool final) override {
    final_ = final;
    complete_ = false;
    // The header is the IHDR right after the signature.
    hasHeader_ = false;
    if (data.length() >= 33 && std::memcmp(data.bytes() + 12, "IHDR", 4) == 0) {
      width_ = be32(data.bytes() + 16);
      height_ = be32(data.bytes() + 20);
      uint8_t colorType = data.bytes()[25];
      hasAlpha_ = (colorType & 4) != 0 || hasTransparencyChunk(data);
      interlaceType_ = data.bytes()[28];
      invalid_ = !withinPixelCap(uint64_t(width_), uint64_t(height_));
      hasHeader_ = !invalid_;
    }
    if (final && hasHeader_) {
      // A complete file is decoded at once, so the count says whether it reads at all.
      bool complete = false;
      int o = 0;
      cached_ = decode(data, &complete, &o);
      complete_ = complete;
      if (!cached_) hasHeader_ = false, invalid_ = true;
    }
  }

 protected:
  CGImageRef decode(const Data& data, bool* complete, int*) override {
    return decodePNG(data, final_, complete);
  }
  void addFormatProperties(Dictionary& d) const override {
    d.set(kCGImagePropertyPNGDictionary,
          Value(Dictionary{{kCGImagePropertyPNGInterlaceType, Value(int64_t(interlaceType_))}}));
  }
  uint8_t interlaceType_ = 0;
  // Whether a tRNS chunk comes before the image data.
  static bool hasTransparencyChunk(const Data& data) {
    for (uint64_t off = 8; off + 12 <= data.length();) {
      const uint8_t* p = data.bytes() + off;
      if (std::memcmp(p + 4, "IDAT", 4) == 0) return false;
      if (std::memcmp(p + 4, "tRNS", 4) == 0) return true;
      off += uint64_t(be32(p)) + 12;
    }
    return false;
  }
};

class JPEGReader : public StillReader {
 public:
  void scan(const Data& data, bool final) override {
    final_ = final;
    complete_ = false;
    bool complete = false;
    int orientation = 0;
    // The header is read by decoding: the rows so far are kept for image().
    cached_ = decodeJPEG(data, &complete, &orientation, final, &progressive_);
    complete_ = complete;
    hasHeader_ = cached_ != nullptr;
    invalid_ = final && !cached_;
    if (cached_) {
      width_ = int64_t(cached_->width());
      height_ = int64_t(cached_->height());
      orientation_ = orientation;
    }
  }

 protected:
  CGImageRef decode(const Data& data, bool* complete, int* orientation) override {
    return decodeJPEG(data, complete, orientation, final_);
  }
  void addFormatProperties(Dictionary& d) const override {
    d.set(kCGImagePropertyJFIFDictionary,
          Value(Dictionary{{kCGImagePropertyJFIFIsProgressive, Value(progressive_)}}));
  }
  bool progressive_ = false;
};

}  // namespace

std::unique_ptr<CGImageSource::Reader> makePNGReader() { return std::make_unique<PNGReader>(); }
std::unique_ptr<CGImageSource::Reader> makeJPEGReader() { return std::make_unique<JPEGReader>(); }

}  // namespace plat
