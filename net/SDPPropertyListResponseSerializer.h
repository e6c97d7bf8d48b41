#pragma once
// Parses property-list response bodies (XML, binary or old text format) after the base
// class's validation. Acceptable content type by default: "application/x-plist".
//
// Thread-safety: as SDPHTTPResponseSerializer.

#include "net/SDPHTTPResponseSerializer.h"

class SDPPropertyListResponseSerializer : public SDPHTTPResponseSerializer {
 public:
  SDPPropertyListResponseSerializer();
  // Format 100 (XML), read options 0.
  static std::shared_ptr<SDPPropertyListResponseSerializer> serializer();
  static std::shared_ptr<SDPPropertyListResponseSerializer> serializerWithFormatReadOptions(
      uint64_t format, uint64_t readOptions);

  uint64_t format() const { return format_; }
  void setFormat(uint64_t format) { format_ = format; }
  uint64_t readOptions() const { return readOptions_; }
  void setReadOptions(uint64_t options) { readOptions_ = options; }

  // Nil without parsing when the content type is unacceptable (or the response is invalid
  // and error is null) or there is no body; otherwise the parsed list, possibly nil, with the
  // parse error over the validation error in *error.
  plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                 const plat::Data* data,
                                                 plat::NSErrorRef* error) const override;
  std::shared_ptr<SDPURLResponseSerialization> copyWithZone() const override;
  std::string className() const override { return "SDPPropertyListResponseSerializer"; }
  // Adds "format" and "readOptions".
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 private:
  uint64_t format_ = 100;
  uint64_t readOptions_ = 0;
};
