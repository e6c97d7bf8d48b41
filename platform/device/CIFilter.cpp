#include "platform/device/CIFilter.h"

#include <qrencode.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace plat {

namespace {

constexpr const char* kQRCodeGenerator = "CIQRCodeGenerator";
constexpr const char* kInputMessage = "inputMessage";
constexpr const char* kInputCorrectionLevel = "inputCorrectionLevel";
constexpr int kQuietZone = 1;

bool correctionLevel(const std::string& text, QRecLevel* level) {
  if (text == "L") *level = QR_ECLEVEL_L;
  else if (text == "M") *level = QR_ECLEVEL_M;
  else if (text == "Q") *level = QR_ECLEVEL_Q;
  else if (text == "H") *level = QR_ECLEVEL_H;
  else return false;
  return true;
}

// One opaque pixel per module, with the quiet zone, from an encoded symbol.
CGImageRef symbolImage(const QRcode& code) {
  int side = code.width + 2 * kQuietZone;
  auto* pixels = static_cast<uint32_t*>(std::malloc(size_t(side) * size_t(side) * 4));
  if (!pixels) return nullptr;
  for (int i = 0; i < side * side; ++i) pixels[i] = 0xFFFFFFFFu;
  for (int y = 0; y < code.width; ++y) {
    const unsigned char* row = code.data + size_t(y) * size_t(code.width);
    uint32_t* out = pixels + size_t(y + kQuietZone) * size_t(side) + kQuietZone;
    for (int x = 0; x < code.width; ++x) {
      if (row[x] & 1) out[x] = 0xFF000000u;  // a dark module
    }
  }
  return CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(pixels), side, side, true);
}

}  // namespace

CIImageRef CIImage::imageWithCGImage(CGImageRef image) {
  if (!image) return nullptr;
  return std::make_shared<CIImage>(std::move(image));
}

CGRect CIImage::extent() const {
  if (!bitmap_) return CGRectZero;
  return CGRectMake(0, 0, double(bitmap_->width()), double(bitmap_->height()));
}

std::shared_ptr<CIContext> CIContext::contextWithOptions(const Dictionary&) {
  return std::make_shared<CIContext>();
}

CGImageRef CIContext::createCGImageFromRect(const CIImageRef& image, CGRect rect) const {
  if (!image || !image->bitmap()) return nullptr;
  const CGImageRef& source = image->bitmap();
  double x0 = std::max(0.0, std::floor(CGRectGetMinX(rect)));
  double y0 = std::max(0.0, std::floor(CGRectGetMinY(rect)));
  double x1 = std::min(double(source->width()), std::ceil(CGRectGetMaxX(rect)));
  double y1 = std::min(double(source->height()), std::ceil(CGRectGetMaxY(rect)));
  if (!(x1 > x0) || !(y1 > y0)) return nullptr;
  int w = int(x1 - x0), h = int(y1 - y0);
  auto* pixels = static_cast<uint8_t*>(std::malloc(size_t(w) * size_t(h) * 4));
  if (!pixels) return nullptr;
  for (int y = 0; y < h; ++y) {
    std::memcpy(pixels + size_t(y) * size_t(w) * 4,
                source->bytes() + (size_t(y0) + size_t(y)) * source->bytesPerRow() + size_t(x0) * 4,
                size_t(w) * 4);
  }
  return CGImage::createOwningBuffer(pixels, w, h, source->isOpaque());
}

std::shared_ptr<CIFilter> CIFilter::filterWithName(const std::string& name) {
  if (name != kQRCodeGenerator) return nullptr;
  auto filter = std::shared_ptr<CIFilter>(new CIFilter(name));
  filter->setDefaults();
  return filter;
}

void CIFilter::setDefaults() {
  inputs_.clear();
  inputs_[kInputCorrectionLevel] = Value("M");
}

void CIFilter::setValueForKey(const Value& value, const std::string& key) {
  if (key != kInputMessage && key != kInputCorrectionLevel) return;
  if (key == kInputMessage && value.isString()) {
    inputs_[key] = Value(Data::fromString(*value.string()));
    return;
  }
  inputs_[key] = value;
}

Value CIFilter::valueForKey(const std::string& key) const {
  auto it = inputs_.find(key);
  return it == inputs_.end() ? Value() : it->second;
}

CIImageRef CIFilter::outputImage() const {
  Value messageValue = valueForKey(kInputMessage);
  Value levelValue = valueForKey(kInputCorrectionLevel);
  const Data* message = messageValue.data();
  QRecLevel level;
  if (!message || !levelValue.isString() || !correctionLevel(*levelValue.string(), &level)) {
    return nullptr;
  }
  // Byte mode for the whole message; version 0 picks the smallest symbol that holds it, and
  // NULL means none does (ERANGE) or memory ran out.
  QRcode* code = QRcode_encodeData(int(message->length()), message->bytes(), 0, level);
  if (!code) return nullptr;
  CGImageRef bitmap = symbolImage(*code);
  QRcode_free(code);
  return CIImage::imageWithCGImage(std::move(bitmap));
}

}  // namespace plat
