#pragma once
// A request serializer that writes the parameters as a property-list body (XML by default;
// "Content-Type" "application/x-plist" unless the request has one). Methods that encode
// parameters in the URI still use the URL query.
//
// Thread-safety: as SDPHTTPRequestSerializer.

#include "net/SDPHTTPRequestSerializer.h"

class SDPPropertyListRequestSerializer : public SDPHTTPRequestSerializer {
 public:
  SDPPropertyListRequestSerializer() = default;
  // XML format (100), no options.
  static std::shared_ptr<SDPPropertyListRequestSerializer> serializer();
  // `format`: 100 XML, 200 binary.
  static std::shared_ptr<SDPPropertyListRequestSerializer> serializerWithFormatWriteOptions(
      uint64_t format, uint64_t writeOptions);

  uint64_t format() const { return format_; }
  void setFormat(uint64_t format) { format_ = format; }
  uint64_t writeOptions() const { return writeOptions_; }
  void setWriteOptions(uint64_t options) { writeOptions_ = options; }

  // Parameters with no property-list form (nil, null, objects) set *error and give the
  // request without a body. Nil parameters: no body and no Content-Type from here.
  plat::NSMutableURLRequestRef requestBySerializingRequestWithParametersError(
      const plat::NSURLRequestRef& request, const plat::Value& parameters,
      plat::NSErrorRef* error) const override;
  std::shared_ptr<SDPHTTPRequestSerializer> copyWithZone() const override;
  std::string className() const override { return "SDPPropertyListRequestSerializer"; }
  // Adds "format" and "writeOptions" to the base class's keys.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 protected:
  std::shared_ptr<SDPHTTPRequestSerializer> makeEmptyCopy() const override;

 private:
  uint64_t format_ = 100;
  uint64_t writeOptions_ = 0;
};
