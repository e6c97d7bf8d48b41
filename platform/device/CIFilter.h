#pragma once
// The image-filter objects the QR code generator needs: CIFilter (only "CIQRCodeGenerator" is
// known), CIImage (a bitmap with its extent) and CIContext (turns a CIImage into a CGImage).
//
// "CIQRCodeGenerator" (libqrencode): "inputMessage" is the data to encode (bytes as given, in
// byte mode), "inputCorrectionLevel" one of "L", "M", "Q", "H" (default "M"). The output is
// one pixel per module, black modules on white, with a quiet zone of one module on every
// side, opaque. No output (nullptr) without a message, for an unknown correction level, or
// when the message does not fit in the largest code at that level.
//
// Thread-safety: a filter is used by one thread at a time; images are immutable and may be
// read from any thread.

#include <map>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/CGGeometry.h"
#include "platform/graphics/CGImage.h"

namespace plat {

class CIImage;
using CIImageRef = std::shared_ptr<CIImage>;

class CIImage : public Object {
 public:
  explicit CIImage(CGImageRef bitmap) : bitmap_(std::move(bitmap)) {}
  std::string className() const override { return "CIImage"; }
  // nullptr for a null image.
  static CIImageRef imageWithCGImage(CGImageRef image);

  // (0, 0, width, height) of the bitmap.
  CGRect extent() const;
  const CGImageRef& bitmap() const { return bitmap_; }

 private:
  CGImageRef bitmap_;
};

class CIContext : public Object {
 public:
  std::string className() const override { return "CIContext"; }
  // Options are accepted and ignored.
  static std::shared_ptr<CIContext> contextWithOptions(const Dictionary& options = {});
  // The part of `image` inside `rect` (made integral outwards, clipped to the extent), as a
  // new bitmap. nullptr for a null image or an empty intersection.
  CGImageRef createCGImageFromRect(const CIImageRef& image, CGRect rect) const;
};

class CIFilter : public Object {
 public:
  std::string className() const override { return "CIFilter"; }
  // nullptr for a name that is not known here.
  static std::shared_ptr<CIFilter> filterWithName(const std::string& name);

  const std::string& name() const { return name_; }
  // Every input back to its default.
  void setDefaults();
  // Unknown keys are ignored. Texts given as "inputMessage" are taken as their UTF-8 bytes.
  void setValueForKey(const Value& value, const std::string& key);
  Value valueForKey(const std::string& key) const;
  // The filtered image, computed on each call; nullptr when the inputs give none.
  CIImageRef outputImage() const;

 private:
  explicit CIFilter(std::string name) : name_(std::move(name)) {}
  std::string name_;
  std::map<std::string, Value> inputs_;
};

}  // namespace plat
