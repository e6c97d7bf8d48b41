#pragma once
// Turns image response bodies into images after the base class's validation, optionally
// inflated (drawn once into a fresh bitmap) so that display needs no further work. Also the
// one-at-a-time image creation it relies on.
//
// Thread-safety: as SDPHTTPResponseSerializer; images from data are created one at a time
// process-wide.

#include "net/SDPHTTPResponseSerializer.h"
#include "platform/uikit/UIImage.h"

class SDPImageResponseSerializer : public SDPHTTPResponseSerializer {
 public:
  // Acceptable types: the TIFF, JPEG, GIF, PNG, ICO and BMP image types. Scale: the main
  // screen's. Inflation on.
  SDPImageResponseSerializer();
  static std::shared_ptr<SDPImageResponseSerializer> serializer();

  double imageScale() const { return imageScale_; }
  void setImageScale(double scale) { imageScale_ = scale; }
  bool automaticallyInflatesResponseImage() const { return inflates_; }
  void setAutomaticallyInflatesResponseImage(bool v) { inflates_ = v; }

  // Nil when the content type is unacceptable (or the response is invalid and error is null)
  // or the body is no image; otherwise the image (a plat::UIImage object). Images above
  // 1024 x 1024 pixels are not inflated.
  plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                 const plat::Data* data,
                                                 plat::NSErrorRef* error) const override;
  // A new serializer with the same scale and inflation setting (content types at defaults).
  std::shared_ptr<SDPURLResponseSerialization> copyWithZone() const override;
  std::string className() const override { return "SDPImageResponseSerializer"; }
  // Adds "imageScale" and "automaticallyInflatesResponseImage".
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 private:
  double imageScale_;
  bool inflates_ = true;
};

// The platform image of the data, created under one process-wide lock. nullptr when the data
// is no image.
plat::UIImageRef SDP_safeImageWithData(const plat::Data& data);
// The image of the data at `scale` (an animated image as it is).
plat::UIImageRef SDPDecodeImageAtScale(const plat::Data& data, double scale);
