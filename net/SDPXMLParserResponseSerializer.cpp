#include "net/SDPXMLParserResponseSerializer.h"

#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSXMLParser.h"

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass(
      "SDPXMLParserResponseSerializer",
      [] { return std::make_shared<SDPXMLParserResponseSerializer>(); }, {"SDPHTTPResponseSerializer"});
  return true;
}();
}  // namespace

SDPXMLParserResponseSerializer::SDPXMLParserResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/xml", "text/xml"});
}

std::shared_ptr<SDPXMLParserResponseSerializer> SDPXMLParserResponseSerializer::serializer() {
  return std::make_shared<SDPXMLParserResponseSerializer>();
}

bool SDPXMLParserResponseSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  return SDPHTTPResponseSerializer::initWithCoder(coder);
}

plat::Value SDPXMLParserResponseSerializer::responseObjectForResponseDataError(
    const plat::NSURLResponseRef& response, const plat::Data* data, plat::NSErrorRef* error) const {
  plat::NSErrorRef validationError;
  const bool parse = shouldParse(response, data, error ? &validationError : nullptr);
  if (error) *error = validationError;
  if (!parse || !data) return plat::Value();
  return plat::Value(plat::NSXMLParser::initWithData(*data));
}

std::shared_ptr<SDPURLResponseSerialization> SDPXMLParserResponseSerializer::copyWithZone() const {
  auto copy = serializer();
  copy->setAcceptableStatusCodes(acceptableStatusCodes());
  copy->setAcceptableContentTypes(acceptableContentTypes());
  return copy;
}
