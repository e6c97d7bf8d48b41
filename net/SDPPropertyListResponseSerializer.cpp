#include "net/SDPPropertyListResponseSerializer.h"

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPPropertyListResponseSerializer",
      [] { return std::make_shared<SDPPropertyListResponseSerializer>(); }, {"SDPHTTPResponseSerializer"});
  return true;
}();
}  // namespace

void SDPPropertyListResponseSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeObjectForKey(plat::Value(format_), "format");
  coder.encodeObjectForKey(plat::Value(readOptions_), "readOptions");
}

bool SDPPropertyListResponseSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  if (!SDPHTTPResponseSerializer::initWithCoder(coder)) return false;
  plat::Value format = coder.decodeObjectForKey("format");
  if (format.isNumber()) format_ = format.unsignedIntegerValue();
  readOptions_ = coder.decodeObjectForKey("readOptions").unsignedIntegerValue();
  return true;
}

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
