#pragma once
// Parses JSON response bodies after the base class's validation. Acceptable content types
// by default: "application/json", "text/json", "text/javascript".
//
// Thread-safety: as SDPHTTPResponseSerializer (configure first, then call from any thread).

#include "net/SDPHTTPResponseSerializer.h"

class SDPJSONResponseSerializer : public SDPHTTPResponseSerializer {
 public:
  SDPJSONResponseSerializer();
  static std::shared_ptr<SDPJSONResponseSerializer> serializer();
  // `readingOptions` are the platform JSON reader's option bits (1: mutable containers).
  static std::shared_ptr<SDPJSONResponseSerializer> serializerWithReadingOptions(unsigned options);

  unsigned readingOptions() const { return readingOptions_; }
  void setReadingOptions(unsigned options) { readingOptions_ = options; }
  bool removesKeysWithNullValues() const { return removesKeysWithNullValues_; }
  void setRemovesKeysWithNullValues(bool remove) { removesKeysWithNullValues_ = remove; }

  // Returns nil without parsing when the content type is unacceptable (or the response is
  // invalid and error is null), and for an empty body or a body of one space (leaving the
  // validation error). Otherwise the parsed object, possibly nil; *error then holds the parse
  // error with the validation error underneath (either alone when only one exists).
  plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                 const plat::Data* data,
                                                 plat::NSErrorRef* error) const override;
  // A new serializer of this class with default sets and this one's two settings.
  std::shared_ptr<SDPURLResponseSerialization> copyWithZone() const override;
  std::string className() const override { return "SDPJSONResponseSerializer"; }
  // Adds "readingOptions" and "removesKeysWithNullValues".
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 private:
  unsigned readingOptions_ = 0;
  bool removesKeysWithNullValues_ = false;
};

// `value` with every dictionary entry holding the null object removed, recursively through
// arrays and dictionaries. Null elements of arrays stay.
plat::Value SDPStripJSONNulls(const plat::Value& value, unsigned readingOptions);
