#pragma once
// plat::NSURLResponse / plat::NSHTTPURLResponse: the metadata of a response (URL, MIME type,
// expected length, text encoding) and, for HTTP, the status code and header fields.
// Immutable once made; thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLRequest.h"

namespace plat {

// The platform's "unknown length" value.
inline constexpr int64_t NSURLResponseUnknownLength = -1;

class NSURLResponse : public Object {
 public:
  // `MIMEType` empty means none; `expectedContentLength` -1 when unknown.
  NSURLResponse(std::string url, std::string MIMEType, int64_t expectedContentLength,
                std::string textEncodingName);
  std::string className() const override { return "NSURLResponse"; }
  std::string description() const override;

  const std::string& URL() const { return url_; }
  // Lower-case "type/subtype" without parameters; empty when the response named none.
  const std::string& MIMEType() const { return mimeType_; }
  int64_t expectedContentLength() const { return expectedContentLength_; }
  // The charset parameter of the content type (as sent); empty when none.
  const std::string& textEncodingName() const { return textEncodingName_; }
  // The last path component of the URL, or "Unknown" when there is none.
  std::string suggestedFilename() const;

 private:
  std::string url_;
  std::string mimeType_;
  int64_t expectedContentLength_;
  std::string textEncodingName_;
};
using NSURLResponseRef = std::shared_ptr<NSURLResponse>;

class NSHTTPURLResponse : public NSURLResponse {
 public:
  // MIME type, expected length and encoding are taken from the header fields
  // ("Content-Type", "Content-Length"); a malformed or negative length counts as unknown, and so
  // does the length of a body sent with a "Content-Encoding" (it arrives decoded) or a
  // "Transfer-Encoding" (a length beside it frames nothing).
  NSHTTPURLResponse(std::string url, int64_t statusCode, std::string HTTPVersion,
                    HTTPHeaderFields headers);
  static std::shared_ptr<NSHTTPURLResponse> make(std::string url, int64_t statusCode,
                                                 HTTPHeaderFields headers) {
    return std::make_shared<NSHTTPURLResponse>(std::move(url), statusCode, "HTTP/1.1",
                                               std::move(headers));
  }
  std::string className() const override { return "NSHTTPURLResponse"; }
  // "<NSHTTPURLResponse: 0x...> { URL: <url> } { Status Code: 200, Headers {...} }"
  std::string description() const override;

  int64_t statusCode() const { return statusCode_; }
  const std::string& HTTPVersion() const { return httpVersion_; }
  // Header fields as received (repeated fields joined with ", "), in order.
  Dictionary allHeaderFields() const { return headers_.dictionary(); }
  const HTTPHeaderFields& headerFields() const { return headers_; }
  // Case-insensitive lookup; nullopt when absent.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
    return headers_.get(field);
  }

  // The platform's text for a status code: "no error" for 200, "not found" for 404,
  // "internal server error" for 500 ...; an unknown code gets its class's text
  // ("informational", "success", "redirected", "client error", "server error"), and a code
  // outside 100-599 "server error".
  static std::string localizedStringForStatusCode(int64_t statusCode);

 private:
  int64_t statusCode_;
  std::string httpVersion_;
  HTTPHeaderFields headers_;
};
using NSHTTPURLResponseRef = std::shared_ptr<NSHTTPURLResponse>;

// Where a response cache may keep a response.
enum NSURLCacheStoragePolicy : uint64_t {
  NSURLCacheStorageAllowed = 0,  // memory and disk
  NSURLCacheStorageAllowedInMemoryOnly = 1,
  NSURLCacheStorageNotAllowed = 2,
};

// A response with its body, as a response cache stores it. Immutable; thread-safe.
class NSCachedURLResponse : public Object {
 public:
  NSCachedURLResponse(NSURLResponseRef response, Data data,
                      NSURLCacheStoragePolicy storagePolicy = NSURLCacheStorageAllowed,
                      double storageDate = 0)
      : response_(std::move(response)),
        data_(std::move(data)),
        storagePolicy_(storagePolicy),
        storageDate_(storageDate) {}
  std::string className() const override { return "NSCachedURLResponse"; }
  const NSURLResponseRef& response() const { return response_; }
  const Data& data() const { return data_; }
  NSURLCacheStoragePolicy storagePolicy() const { return storagePolicy_; }
  // When a cache stored the response (seconds since 1970 on the clock's calendar); 0 for a
  // response no cache has stored yet.
  double storageDate() const { return storageDate_; }

 private:
  NSURLResponseRef response_;
  Data data_;
  NSURLCacheStoragePolicy storagePolicy_;
  double storageDate_;
};
using NSCachedURLResponseRef = std::shared_ptr<NSCachedURLResponse>;

}  // namespace plat
