#include "net/SDPCompoundResponseSerializer.h"

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPCompoundResponseSerializer", [] { return std::make_shared<SDPCompoundResponseSerializer>(); },
      {"SDPHTTPResponseSerializer"});
  return true;
}();
}  // namespace

void SDPCompoundResponseSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPHTTPResponseSerializer::encodeWithCoder(coder);
  plat::Array members;
  for (const auto& member : responseSerializers_) {
    if (auto object = std::dynamic_pointer_cast<plat::Object>(member);
        object && std::dynamic_pointer_cast<plat::NSCoding>(member)) {
      members.emplace_back(object);
    }
  }
  coder.encodeObjectForKey(plat::Value(std::move(members)), "responseSerializers");
}

bool SDPCompoundResponseSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  if (!SDPHTTPResponseSerializer::initWithCoder(coder)) return false;
  responseSerializers_.clear();
  plat::Value members = coder.decodeObjectForKey("responseSerializers");
  if (const plat::Array* list = members.array()) {
    for (const auto& member : *list) {
      if (auto serializer = member.objectAs<SDPHTTPResponseSerializer>()) {
        responseSerializers_.push_back(serializer);
      }
    }
  }
  return true;
}

SDPCompoundResponseSerializer::SDPCompoundResponseSerializer() {
  setAcceptableContentTypes(std::nullopt);
}

std::shared_ptr<SDPCompoundResponseSerializer>
SDPCompoundResponseSerializer::compoundSerializerWithResponseSerializers(Serializers serializers) {
  auto s = std::make_shared<SDPCompoundResponseSerializer>();
  s->setResponseSerializers(std::move(serializers));
  return s;
}

plat::Value SDPCompoundResponseSerializer::responseObjectForResponseDataError(
    const plat::NSURLResponseRef& response, const plat::Data* data, plat::NSErrorRef* error) const {
  for (const auto& member : responseSerializers_) {
    if (!dynamic_cast<const SDPHTTPResponseSerializer*>(member.get())) continue;
    plat::NSErrorRef memberError;
    plat::Value object = member->responseObjectForResponseDataError(response, data, &memberError);
    if (!object.isNil()) {
      if (error) *error = SDPAttachUnderlyingError(memberError, *error);
      return object;
    }
  }
  return SDPHTTPResponseSerializer::responseObjectForResponseDataError(response, data, error);
}

std::shared_ptr<SDPURLResponseSerialization> SDPCompoundResponseSerializer::copyWithZone() const {
  return compoundSerializerWithResponseSerializers(responseSerializers_);
}
