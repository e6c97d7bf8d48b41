#pragma once
// A response serializer that asks a list of serializers in turn and answers the first
// non-nil result; when none yields one it behaves as the base serializer (validates with its
// own settings and answers the body).
//
// Thread-safety: as SDPHTTPResponseSerializer.

#include <vector>

#include "net/SDPHTTPResponseSerializer.h"

class SDPCompoundResponseSerializer : public SDPHTTPResponseSerializer {
 public:
  using Serializers = std::vector<std::shared_ptr<SDPURLResponseSerialization>>;

  SDPCompoundResponseSerializer();
  static std::shared_ptr<SDPCompoundResponseSerializer> compoundSerializerWithResponseSerializers(
      Serializers serializers);

  const Serializers& responseSerializers() const { return responseSerializers_; }
  void setResponseSerializers(Serializers serializers) {
    responseSerializers_ = std::move(serializers);
  }

  // Members that are not SDPHTTPResponseSerializer are skipped. The winning member's error
  // goes to *error with the previous contents of *error underneath.
  plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                 const plat::Data* data,
                                                 plat::NSErrorRef* error) const override;
  // A new compound serializer over the same members, with default sets.
  std::shared_ptr<SDPURLResponseSerialization> copyWithZone() const override;
  std::string className() const override { return "SDPCompoundResponseSerializer"; }
  // Adds "responseSerializers" (members that cannot be archived are left out).
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  // Reads "responseSerializers"; a member that is, or contains, the serializer being decoded
  // is left out.
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 private:
  Serializers responseSerializers_;
};
