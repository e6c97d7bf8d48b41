#pragma once
// Response serialization for the HTTP client: a protocol with one operation that turns a
// finished task's URL response and body into the object handed to the caller, and the base
// serializer that validates status code and MIME type and returns the body unchanged.
// Subclasses (JSON, XML, property list, compound) parse the body after the same validation.
//
// Thread-safety: a serializer is configured before use; afterwards
// responseObjectForResponseDataError may be called concurrently from many threads (it keeps
// no per-call state). Setters are not synchronized.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLResponse.h"

inline constexpr const char* SDPURLResponseSerializationErrorDomain =
    "com.sdpkit.error.serialization.response";
inline constexpr const char* SDPNetworkingOperationFailingURLResponseErrorKey =
    "com.sdpkit.serialization.response.error.response";
inline constexpr const char* SDPNetworkingOperationFailingURLResponseDataErrorKey =
    "com.sdpkit.serialization.response.error.data";

// Codes of the response serialization domain.
inline constexpr int64_t SDPURLErrorBadServerResponse = -1011;
inline constexpr int64_t SDPURLErrorCannotDecodeContentData = -1016;

// The protocol of response serializers.
class SDPURLResponseSerialization {
 public:
  virtual ~SDPURLResponseSerialization() = default;
  // The object for `response` and `data` (nullptr data is "no body"). Returns nil when there
  // is none; *error (when error is non-null) receives the validation or parse error, which may
  // accompany a non-nil object.
  virtual plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                         const plat::Data* data,
                                                         plat::NSErrorRef* error) const = 0;
  // A copy as the serializer's class defines it (see each class).
  virtual std::shared_ptr<SDPURLResponseSerialization> copyWithZone() const = 0;
};

using SDPURLResponseSerializationRef = std::shared_ptr<SDPURLResponseSerialization>;

// Validates responses; answers the body unchanged (even when validation fails).
// Defaults: acceptable status codes 200-299, any content type, string encoding UTF-8 (4).
class SDPHTTPResponseSerializer : public plat::Object,
                                  public SDPURLResponseSerialization,
                                  public plat::NSCoding {
 public:
  using StatusCodes = std::optional<std::set<int64_t>>;   // nullopt: any status validates
  using ContentTypes = std::optional<std::set<std::string>>;  // nullopt: any type validates

  SDPHTTPResponseSerializer();
  static std::shared_ptr<SDPHTTPResponseSerializer> serializer();

  uint64_t stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(uint64_t e) { stringEncoding_ = e; }
  const StatusCodes& acceptableStatusCodes() const { return acceptableStatusCodes_; }
  void setAcceptableStatusCodes(StatusCodes codes) { acceptableStatusCodes_ = std::move(codes); }
  const ContentTypes& acceptableContentTypes() const { return acceptableContentTypes_; }
  void setAcceptableContentTypes(ContentTypes types) { acceptableContentTypes_ = std::move(types); }

  // Whether the response passes the status-code and MIME-type checks. A nil or non-HTTP
  // response always passes. On failure *error receives a -1016 (content type; only for a
  // non-empty body) or -1011 (status code; the -1016 error as its underlying error) error,
  // or nil when the content type failed on an empty body.
  bool validateResponseDataError(const plat::NSURLResponseRef& response, const plat::Data* data,
                                 plat::NSErrorRef* error) const;

  // Validates, then returns the data (nil when data is nullptr) whatever the outcome.
  plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                 const plat::Data* data,
                                                 plat::NSErrorRef* error) const override;
  // A new serializer of this class with copies of both acceptable sets.
  std::shared_ptr<SDPURLResponseSerialization> copyWithZone() const override;

  std::string className() const override { return "SDPHTTPResponseSerializer"; }
  // YES: a decoder takes a serializer only as the class it asked for.
  static constexpr bool supportsSecureCoding() { return true; }

  // Keyed coding of "acceptableStatusCodes" (an array of codes) and "acceptableContentTypes"
  // (an array of MIME types); nil for "any". Subclasses add their own settings.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 protected:
  // The pre-step of the parsing subclasses: false (answer nil) when the response is invalid
  // and either no error slot was given or the failure involves the content type.
  bool shouldParse(const plat::NSURLResponseRef& response, const plat::Data* data,
                   plat::NSErrorRef* error) const;

 private:
  uint64_t stringEncoding_ = 4;
  StatusCodes acceptableStatusCodes_;
  ContentTypes acceptableContentTypes_;
};

// A attached to B as its underlying error: nil A gives B, nil B gives A, an A that already
// has an underlying error is returned unchanged.
plat::NSErrorRef SDPAttachUnderlyingError(const plat::NSErrorRef& error,
                                          const plat::NSErrorRef& underlying);
// Whether `error` or any error under it is of the response domain with `code`.
bool SDPErrorChainHasCode(const plat::NSErrorRef& error, int64_t code);
