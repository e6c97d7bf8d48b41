#include "net/SDPCompoundResponseSerializer.h"

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
