#pragma once
// plat::NSURLRequest / plat::NSMutableURLRequest: an HTTP request as the platform's URL
// loading system takes it: URL, method, header fields, body (bytes or a stream) and the
// per-request settings.
//
// The URL is held as its absolute text; an empty text means the request has no URL (a task
// made from such a request fails with NSURLErrorUnsupportedURL).
// Header field names are matched case-insensitively; the first spelling set is kept.
//
// Not synchronized: a request is built on one thread and then handed over (a session copies
// the request when a task is made, so later changes do not affect the task).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {

class NSInputStream;
class NSURLRequest;
class NSMutableURLRequest;
using NSURLRequestRef = std::shared_ptr<NSURLRequest>;
using NSMutableURLRequestRef = std::shared_ptr<NSMutableURLRequest>;

// Cache policies: how a session's response cache (NSURLCache.h) answers a request.
inline constexpr uint64_t NSURLRequestUseProtocolCachePolicy = 0;  // HTTP's rules
inline constexpr uint64_t NSURLRequestReloadIgnoringLocalCacheData = 1;
inline constexpr uint64_t NSURLRequestReturnCacheDataElseLoad = 2;  // any age
inline constexpr uint64_t NSURLRequestReturnCacheDataDontLoad = 3;  // never the network
inline constexpr uint64_t NSURLRequestReloadIgnoringLocalAndRemoteCacheData = 4;
inline constexpr uint64_t NSURLRequestReloadRevalidatingCacheData = 5;

// Whether `name: value` can be sent as one header line: no CR, LF or NUL in either, and a
// name that is not empty and holds no colon.
bool isSafeHeaderLine(std::string_view name, std::string_view value);

// Case-insensitive ordered header fields, shared by requests and responses. A few fields are
// searched in order; past kIndexedFrom fields an index by name keeps a head of many fields
// (a response may have tens of thousands) in time linear in its size.
class HTTPHeaderFields {
 public:
  // The value of `name` in any letter case; nullopt when absent.
  std::optional<std::string> get(std::string_view name) const;
  // Replaces the field (keeping its position and first spelling) or appends it.
  void set(std::string_view name, std::string value);
  // Appends ", value" to an existing field, or sets it.
  void add(std::string_view name, std::string_view value);
  bool remove(std::string_view name);
  bool empty() const { return fields_.empty(); }
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }
  // The fields as a dictionary of strings, in order.
  Dictionary dictionary() const;

  static constexpr size_t kIndexedFrom = 32;

 private:
  // Names compared and hashed in any letter case; looked up by string_view without a copy.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
  };
  struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };

  // The position of `name` in fields_, or fields_.size() when absent.
  size_t find(std::string_view name) const;
  void append(std::string_view name, std::string value);
  void indexAll();

  std::vector<std::pair<std::string, std::string>> fields_;
  // Name (first spelling) to position in fields_; empty while there are fewer than
  // kIndexedFrom fields.
  std::unordered_map<std::string, size_t, NameHash, NameEqual> index_;
};

class NSURLRequest : public Object {
 public:
  // The platform's default time-out of a request, in seconds.
  static constexpr double kDefaultTimeoutInterval = 60.0;

  explicit NSURLRequest(std::string url = {});
  static NSURLRequestRef requestWithURL(std::string url) {
    return std::make_shared<NSURLRequest>(std::move(url));
  }

  std::string className() const override { return "NSURLRequest"; }
  // "<NSURLRequest: 0x...> { URL: <url> }"
  std::string description() const override;

  // The absolute URL text; empty when the request has no URL.
  const std::string& URL() const { return url_; }
  // "GET" unless set.
  const std::string& HTTPMethod() const { return method_; }
  const HTTPHeaderFields& headerFields() const { return headers_; }
  // All header fields (nil-like empty dictionary when none).
  Dictionary allHTTPHeaderFields() const { return headers_.dictionary(); }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
    return headers_.get(field);
  }
  // The body bytes; nullopt when the request has none (an empty body is not none).
  const std::optional<Data>& HTTPBody() const { return body_; }
  // The body stream; null when none. A request has a body or a stream, never both.
  const std::shared_ptr<NSInputStream>& HTTPBodyStream() const { return bodyStream_; }
  double timeoutInterval() const { return timeoutInterval_; }
  // Whether the time-out was set on this request (otherwise the session's applies).
  bool hasExplicitTimeout() const { return timeoutSet_; }
  uint64_t cachePolicy() const { return cachePolicy_; }
  bool allowsCellularAccess() const { return allowsCellularAccess_; }
  bool HTTPShouldHandleCookies() const { return shouldHandleCookies_; }
  bool HTTPShouldUsePipelining() const { return shouldUsePipelining_; }
  uint64_t networkServiceType() const { return networkServiceType_; }

  // An immutable copy / a mutable copy (the body stream object itself is shared).
  NSURLRequestRef copy() const;
  NSMutableURLRequestRef mutableCopy() const;

 protected:
  void copyFieldsFrom(const NSURLRequest& other);

  std::string url_;
  std::string method_ = "GET";
  HTTPHeaderFields headers_;
  std::optional<Data> body_;
  std::shared_ptr<NSInputStream> bodyStream_;
  double timeoutInterval_ = kDefaultTimeoutInterval;
  bool timeoutSet_ = false;
  uint64_t cachePolicy_ = NSURLRequestUseProtocolCachePolicy;
  bool allowsCellularAccess_ = true;
  bool shouldHandleCookies_ = true;
  bool shouldUsePipelining_ = false;
  uint64_t networkServiceType_ = 0;
};

class NSMutableURLRequest : public NSURLRequest {
 public:
  explicit NSMutableURLRequest(std::string url = {}) : NSURLRequest(std::move(url)) {}
  static NSMutableURLRequestRef requestWithURL(std::string url) {
    return std::make_shared<NSMutableURLRequest>(std::move(url));
  }
  std::string className() const override { return "NSMutableURLRequest"; }

  void setURL(std::string url) { url_ = std::move(url); }
  // Stored as given (the platform upper-cases nothing); an empty method means "GET".
  void setHTTPMethod(std::string method) { method_ = method.empty() ? "GET" : std::move(method); }
  // A nullopt value removes the field. A name or value holding CR, LF or NUL would inject
  // header lines: it is refused with a log and the request is left as it was.
  void setValueForHTTPHeaderField(std::optional<std::string> value, std::string_view field);
  void addValueForHTTPHeaderField(std::string_view value, std::string_view field);
  // Replaces all header fields with the string entries of `fields` (others are ignored, and
  // so are entries refused as by setValueForHTTPHeaderField).
  void setAllHTTPHeaderFields(const Dictionary& fields);
  // Setting a body removes the body stream, and the reverse.
  void setHTTPBody(std::optional<Data> body);
  void setHTTPBodyStream(std::shared_ptr<NSInputStream> stream);
  void setTimeoutInterval(double seconds) {
    timeoutInterval_ = seconds;
    timeoutSet_ = true;
  }
  void setCachePolicy(uint64_t policy) { cachePolicy_ = policy; }
  void setAllowsCellularAccess(bool allow) { allowsCellularAccess_ = allow; }
  void setHTTPShouldHandleCookies(bool handle) { shouldHandleCookies_ = handle; }
  void setHTTPShouldUsePipelining(bool use) { shouldUsePipelining_ = use; }
  void setNetworkServiceType(uint64_t type) { networkServiceType_ = type; }
};

}  // namespace plat
