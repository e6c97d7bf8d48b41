#include "net/SDPJSONResponseSerializer.h"

#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPJSONResponseSerializer", [] { return std::make_shared<SDPJSONResponseSerializer>(); },
      {"SDPHTTPResponseSerializer"});
  return true;
}();
}  // namespace

void SDPJSONResponseSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeObjectForKey(plat::Value(readingOptions_), "readingOptions");
  coder.encodeObjectForKey(plat::Value(removesKeysWithNullValues_), "removesKeysWithNullValues");
}

bool SDPJSONResponseSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  if (!SDPHTTPResponseSerializer::initWithCoder(coder)) return false;
  readingOptions_ = static_cast<unsigned>(coder.decodeObjectForKey("readingOptions").unsignedIntegerValue());
  removesKeysWithNullValues_ = coder.decodeObjectForKey("removesKeysWithNullValues").boolValue();
  return true;
}

SDPJSONResponseSerializer::SDPJSONResponseSerializer() {
  setAcceptableContentTypes(
      std::set<std::string>{"application/json", "text/json", "text/javascript"});
}

std::shared_ptr<SDPJSONResponseSerializer> SDPJSONResponseSerializer::serializer() {
  return serializerWithReadingOptions(0);
}

std::shared_ptr<SDPJSONResponseSerializer> SDPJSONResponseSerializer::serializerWithReadingOptions(
    unsigned options) {
  auto s = std::make_shared<SDPJSONResponseSerializer>();
  s->setReadingOptions(options);
  return s;
}

plat::Value SDPStripJSONNulls(const plat::Value& value, unsigned readingOptions) {
  // Values have value semantics here, so mutable and immutable containers are the same type;
  // the reading option only matters to the platform's distinction and is accepted for it.
  if (const plat::Array* array = value.array()) {
    plat::Array out;
    out.reserve(array->size());
    for (const auto& element : *array) out.push_back(SDPStripJSONNulls(element, readingOptions));
    return plat::Value(std::move(out));
  }
  if (const plat::Dictionary* dict = value.dictionary()) {
    plat::Dictionary out;
    for (const auto& [key, element] : *dict) {
      if (element.isNull()) continue;
      if (element.isArray() || element.isDictionary()) {
        out.set(key, SDPStripJSONNulls(element, readingOptions));
      } else {
        out.set(key, element);
      }
    }
    return plat::Value(std::move(out));
  }
  return value;
}

plat::Value SDPJSONResponseSerializer::responseObjectForResponseDataError(
    const plat::NSURLResponseRef& response, const plat::Data* data, plat::NSErrorRef* error) const {
  plat::NSErrorRef validationError;
  if (!shouldParse(response, data, error ? &validationError : nullptr)) {
    if (error) *error = validationError;
    return plat::Value();
  }
  if (error) *error = validationError;
  // An empty body or one lone space (some servers send " " for "no content") is no object.
  if (!data || data->length() == 0 || (data->length() == 1 && data->bytes()[0] == ' ')) {
    return plat::Value();
  }
  plat::NSErrorRef parseError;
  plat::Value object = plat::NSJSONSerialization::JSONObjectWithData(*data, readingOptions_,
                                                                     &parseError);
  if (removesKeysWithNullValues_ && !object.isNil()) {
    object = SDPStripJSONNulls(object, readingOptions_);
  }
  if (error) *error = SDPAttachUnderlyingError(parseError, validationError);
  return object;
}

std::shared_ptr<SDPURLResponseSerialization> SDPJSONResponseSerializer::copyWithZone() const {
  auto copy = std::make_shared<SDPJSONResponseSerializer>();
  copy->setReadingOptions(readingOptions_);
  copy->setRemovesKeysWithNullValues(removesKeysWithNullValues_);
  return copy;
}
