#pragma once
// A request serializer that writes the parameters as a JSON body ("Content-Type"
// "application/json" unless the request has one). Methods that encode parameters in the URI
// (GET, HEAD, DELETE by default) still use the URL query.
//
// Thread-safety: as SDPHTTPRequestSerializer.

#include "net/SDPHTTPRequestSerializer.h"

class SDPJSONRequestSerializer : public SDPHTTPRequestSerializer {
 public:
  SDPJSONRequestSerializer() = default;
  static std::shared_ptr<SDPJSONRequestSerializer> serializer();
  // `options` are the platform JSON writer's option bits.
  static std::shared_ptr<SDPJSONRequestSerializer> serializerWithWritingOptions(unsigned options);

  unsigned writingOptions() const { return writingOptions_; }
  void setWritingOptions(unsigned options) { writingOptions_ = options; }

  // Parameters that JSON cannot hold set *error and give the request without a body (the
  // request is still returned). Nil parameters: no body and no Content-Type from here.
  plat::NSMutableURLRequestRef requestBySerializingRequestWithParametersError(
      const plat::NSURLRequestRef& request, const plat::Value& parameters,
      plat::NSErrorRef* error) const override;
  std::shared_ptr<SDPHTTPRequestSerializer> copyWithZone() const override;
  std::string className() const override { return "SDPJSONRequestSerializer"; }
  // Adds "writingOptions" to the base class's keys.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 protected:
  std::shared_ptr<SDPHTTPRequestSerializer> makeEmptyCopy() const override;

 private:
  unsigned writingOptions_ = 0;
};
