#pragma once
// Answers an XML parser (plat::NSXMLParser) over the response body after the base class's
// validation; the body is not parsed here, the caller sets a delegate and parses.
// Acceptable content types by default: "application/xml", "text/xml".
//
// Thread-safety: as SDPHTTPResponseSerializer.

#include "net/SDPHTTPResponseSerializer.h"

class SDPXMLParserResponseSerializer : public SDPHTTPResponseSerializer {
 public:
  SDPXMLParserResponseSerializer();
  static std::shared_ptr<SDPXMLParserResponseSerializer> serializer();

  // Nil when the content type is unacceptable (or the response is invalid and error is
  // null) or there is no body; otherwise a new, unparsed plat::NSXMLParser over the body,
  // with the validation error (a failed status code) in *error.
  plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                 const plat::Data* data,
                                                 plat::NSErrorRef* error) const override;
  // A new XML serializer with copies of both acceptable sets.
  std::shared_ptr<SDPURLResponseSerialization> copyWithZone() const override;
  std::string className() const override { return "SDPXMLParserResponseSerializer"; }
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;
};
