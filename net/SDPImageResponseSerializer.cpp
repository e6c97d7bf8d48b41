#include "net/SDPImageResponseSerializer.h"

#include <cairo.h>

#include <cstring>
#include <mutex>

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/network/NSURLResponse.h"
#include "platform/uikit/UIScreen.h"

namespace {

const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPImageResponseSerializer", [] { return std::make_shared<SDPImageResponseSerializer>(); },
      {"SDPHTTPResponseSerializer"});
  return true;
}();

constexpr uint64_t kMaxInflatedPixels = 1024 * 1024;

plat::CGImageRef copyBitmap(const plat::CGImageRef& image) {
  auto out = plat::CGImage::create(int(image->width()), int(image->height()), image->isOpaque());
  if (!out) return nullptr;
  cairo_surface_flush(out->surface());
  uint8_t* dst = cairo_image_surface_get_data(out->surface());
  for (size_t y = 0; y < image->height(); ++y)
    std::memcpy(dst + y * out->bytesPerRow(), image->bytes() + y * image->bytesPerRow(),
                image->width() * 4);
  cairo_surface_mark_dirty(out->surface());
  return out;
}

}  // namespace

plat::UIImageRef SDP_safeImageWithData(const plat::Data& data) {
  static std::mutex* lock = new std::mutex();  // process lifetime
  std::lock_guard<std::mutex> guard(*lock);
  return plat::UIImage::imageWithData(data, 1);
}

plat::UIImageRef SDPDecodeImageAtScale(const plat::Data& data, double scale) {
  plat::UIImageRef image = SDP_safeImageWithData(data);
  if (!image || !image->images().empty()) return image;
  return plat::UIImage::imageWithCGImage(image->CGImage(), scale, image->imageOrientation());
}

SDPImageResponseSerializer::SDPImageResponseSerializer()
    : imageScale_(plat::UIScreen::mainScreen().scale()) {
  setAcceptableContentTypes(std::set<std::string>{
      "image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico", "image/x-icon",
      "image/bmp", "image/x-bmp", "image/x-xbitmap", "image/x-win-bitmap"});
}

std::shared_ptr<SDPImageResponseSerializer> SDPImageResponseSerializer::serializer() {
  return std::make_shared<SDPImageResponseSerializer>();
}

plat::Value SDPImageResponseSerializer::responseObjectForResponseDataError(
    const plat::NSURLResponseRef& response, const plat::Data* data, plat::NSErrorRef* error) const {
  plat::NSErrorRef validationError;
  bool parse = shouldParse(response, data, error ? &validationError : nullptr);
  if (error) *error = validationError;
  if (!parse || !data) return plat::Value();
  if (!inflates_) return plat::Value(SDPDecodeImageAtScale(*data, imageScale_));

  if (data->empty()) return plat::Value();
  // The data is decoded once: the platform image's bitmap is the one a PNG or JPEG reader
  // would give directly (a CMYK JPEG included, which inflation would take from that bitmap
  // anyway), so it is inflated from there.
  plat::UIImageRef image = SDPDecodeImageAtScale(*data, imageScale_);
  if (!image || !image->images().empty() || !image->CGImage()) return plat::Value(image);
  const plat::CGImageRef& bitmap = image->CGImage();
  if (uint64_t(bitmap->width()) * bitmap->height() > kMaxInflatedPixels) return plat::Value(image);
  plat::CGImageRef inflated = copyBitmap(bitmap);
  if (!inflated) return plat::Value(image);
  return plat::Value(
      plat::UIImage::imageWithCGImage(inflated, imageScale_, image->imageOrientation()));
}

std::shared_ptr<SDPURLResponseSerialization> SDPImageResponseSerializer::copyWithZone() const {
  auto s = serializer();
  s->setImageScale(imageScale_);
  s->setAutomaticallyInflatesResponseImage(inflates_);
  return s;
}

void SDPImageResponseSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeObjectForKey(plat::Value(imageScale_), "imageScale");
  coder.encodeObjectForKey(plat::Value(inflates_), "automaticallyInflatesResponseImage");
}

bool SDPImageResponseSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  if (!SDPHTTPResponseSerializer::initWithCoder(coder)) return false;
  plat::Value scale = coder.decodeObjectForKey("imageScale");
  if (scale.isNumber()) imageScale_ = scale.doubleValue();
  plat::Value inflates = coder.decodeObjectForKey("automaticallyInflatesResponseImage");
  if (!inflates.isNil()) inflates_ = inflates.boolValue();
  return true;
}
