#include "net/SDPJSONRequestSerializer.h"

#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPJSONRequestSerializer", [] { return std::make_shared<SDPJSONRequestSerializer>(); },
      {"SDPHTTPRequestSerializer"});
  return true;
}();
}  // namespace

void SDPJSONRequestSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPHTTPRequestSerializer::encodeWithCoder(coder);
  coder.encodeIntegerForKey(writingOptions_, "writingOptions");
}

bool SDPJSONRequestSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  if (!SDPHTTPRequestSerializer::initWithCoder(coder)) return false;
  plat::Value options = coder.decodeObjectForKey("writingOptions");
  if (options.isNumber()) writingOptions_ = static_cast<unsigned>(options.unsignedIntegerValue());
  return true;
}

std::shared_ptr<SDPJSONRequestSerializer> SDPJSONRequestSerializer::serializer() {
  return serializerWithWritingOptions(0);
}

std::shared_ptr<SDPJSONRequestSerializer> SDPJSONRequestSerializer::serializerWithWritingOptions(
    unsigned options) {
  auto s = std::make_shared<SDPJSONRequestSerializer>();
  s->setWritingOptions(options);
  return s;
}

plat::NSMutableURLRequestRef SDPJSONRequestSerializer::requestBySerializingRequestWithParametersError(
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
      mutableRequest->setValueForHTTPHeaderField("application/json", "Content-Type");
    }
    plat::NSErrorRef writeError;
    plat::Data body =
        plat::NSJSONSerialization::dataWithJSONObject(parameters, writingOptions_, &writeError);
    if (writeError) {
      if (error) *error = writeError;
    } else {
      mutableRequest->setHTTPBody(std::move(body));
    }
  }
  return mutableRequest;
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPJSONRequestSerializer::makeEmptyCopy() const {
  return std::make_shared<SDPJSONRequestSerializer>();
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPJSONRequestSerializer::copyWithZone() const {
  auto copy = SDPHTTPRequestSerializer::copyWithZone();
  std::static_pointer_cast<SDPJSONRequestSerializer>(copy)->setWritingOptions(writingOptions_);
  return copy;
}
