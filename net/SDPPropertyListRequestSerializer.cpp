#include "net/SDPPropertyListRequestSerializer.h"

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPPropertyListRequestSerializer",
      [] { return std::make_shared<SDPPropertyListRequestSerializer>(); }, {"SDPHTTPRequestSerializer"});
  return true;
}();
}  // namespace

void SDPPropertyListRequestSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPHTTPRequestSerializer::encodeWithCoder(coder);
  coder.encodeIntegerForKey(static_cast<int64_t>(format_), "format");
  coder.encodeObjectForKey(plat::Value(writeOptions_), "writeOptions");
}

bool SDPPropertyListRequestSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  if (!SDPHTTPRequestSerializer::initWithCoder(coder)) return false;
  plat::Value format = coder.decodeObjectForKey("format");
  if (format.isNumber()) format_ = format.unsignedIntegerValue();
  plat::Value options = coder.decodeObjectForKey("writeOptions");
  if (options.isNumber()) writeOptions_ = options.unsignedIntegerValue();
  return true;
}

std::shared_ptr<SDPPropertyListRequestSerializer> SDPPropertyListRequestSerializer::serializer() {
  return serializerWithFormatWriteOptions(100, 0);
}

std::shared_ptr<SDPPropertyListRequestSerializer>
SDPPropertyListRequestSerializer::serializerWithFormatWriteOptions(uint64_t format,
                                                                   uint64_t writeOptions) {
  auto s = std::make_shared<SDPPropertyListRequestSerializer>();
  s->setFormat(format);
  s->setWriteOptions(writeOptions);
  return s;
}

plat::NSMutableURLRequestRef
SDPPropertyListRequestSerializer::requestBySerializingRequestWithParametersError(
    const plat::NSURLRequestRef& request, const plat::Value& parameters,
    plat::NSErrorRef* error) const {
  if (!request) return nullptr;
  if (encodesParametersInURI(request->HTTPMethod())) {
    return SDPHTTPRequestSerializer::requestBySerializingRequestWithParametersError(
        request, parameters, error);
  }
  auto mutableRequest = copyWithDefaultHeaders(*request);
  if (!parameters.isNil()) {
    if (!mutableRequest->valueForHTTPHeaderField("Content-Type")) {
      mutableRequest->setValueForHTTPHeaderField("application/x-plist", "Content-Type");
    }
    plat::NSErrorRef writeError;
    using PL = plat::NSPropertyListSerialization;
    plat::Data body = PL::dataWithPropertyList(
        parameters, static_cast<PL::NSPropertyListFormat>(format_),
        static_cast<unsigned>(writeOptions_), &writeError);
    if (writeError) {
      if (error) *error = writeError;
    } else {
      mutableRequest->setHTTPBody(std::move(body));
    }
  }
  return mutableRequest;
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPPropertyListRequestSerializer::makeEmptyCopy() const {
  return std::make_shared<SDPPropertyListRequestSerializer>();
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPPropertyListRequestSerializer::copyWithZone() const {
  auto copy = std::static_pointer_cast<SDPPropertyListRequestSerializer>(
      SDPHTTPRequestSerializer::copyWithZone());
  copy->setFormat(format_);
  copy->setWriteOptions(writeOptions_);
  return copy;
}
