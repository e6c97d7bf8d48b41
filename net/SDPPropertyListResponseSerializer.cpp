#include "net/SDPPropertyListResponseSerializer.h"

#include "platform/foundation/NSPropertyListSerialization.h"

SDPPropertyListResponseSerializer::SDPPropertyListResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/x-plist"});
}

std::shared_ptr<SDPPropertyListResponseSerializer> SDPPropertyListResponseSerializer::serializer() {
  return serializerWithFormatReadOptions(100, 0);
}

std::shared_ptr<SDPPropertyListResponseSerializer>
SDPPropertyListResponseSerializer::serializerWithFormatReadOptions(uint64_t format,
                                                                   uint64_t readOptions) {
  auto s = std::make_shared<SDPPropertyListResponseSerializer>();
  s->setFormat(format);
  s->setReadOptions(readOptions);
  return s;
}

plat::Value SDPPropertyListResponseSerializer::responseObjectForResponseDataError(
    const plat::NSURLResponseRef& response, const plat::Data* data, plat::NSErrorRef* error) const {
  plat::NSErrorRef validationError;
  if (!shouldParse(response, data, error ? &validationError : nullptr)) {
    if (error) *error = validationError;
    return plat::Value();
  }
  if (error) *error = validationError;
  if (!data) return plat::Value();
  plat::NSErrorRef parseError;
  plat::Value object = plat::NSPropertyListSerialization::propertyListWithData(
      *data, static_cast<unsigned>(readOptions_), nullptr, &parseError);
  if (error) *error = SDPAttachUnderlyingError(parseError, validationError);
  return object;
}

std::shared_ptr<SDPURLResponseSerialization> SDPPropertyListResponseSerializer::copyWithZone()
    const {
  return serializerWithFormatReadOptions(format_, readOptions_);
}
