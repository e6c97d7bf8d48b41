#pragma once
// Request serialization for the HTTP client. SDPHTTPRequestSerializer turns a method, a URL
// string and parameters into a mutable URL request: it adds its default header fields
// ("Accept-Language", "User-Agent" and any set by the caller) and the request settings that
// were set on it, and encodes the parameters into the URL query (GET, HEAD, DELETE by
// default) or into a form body. It also builds streamed multipart requests.
//
// Thread-safety: configure a serializer first; building requests afterwards only reads it,
// so several threads may build requests at once. Setters are not synchronized.
//
// Key-value observing: the setters of the six request settings (SDPObservedRequestProperties)
// announce their changes under the settings' names; the serializer observes them itself to
// learn which settings were set.

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLRequest.h"

class SDPMultipartFormData;

inline constexpr const char* SDPURLRequestSerializationErrorDomain =
    "com.sdpkit.error.serialization.request";
// The code of request serialization errors.
inline constexpr int64_t SDPURLErrorBadURL = -1000;

// The protocol of request serializers.
class SDPURLRequestSerialization {
 public:
  virtual ~SDPURLRequestSerialization() = default;
  // A new request: `request` with the serializer's defaults and `parameters` (nil: none)
  // encoded. Returns null and sets *error (when given) on failure.
  virtual plat::NSMutableURLRequestRef requestBySerializingRequestWithParametersError(
      const plat::NSURLRequestRef& request, const plat::Value& parameters,
      plat::NSErrorRef* error) const = 0;
};

enum SDPHTTPRequestQueryStringSerializationStyle : uint64_t {
  SDPHTTPRequestQueryStringDefaultStyle = 0,
};

// The names of the six request settings a serializer copies onto its requests once set, in
// the order they are copied: "allowsCellularAccess", "cachePolicy", "HTTPShouldHandleCookies",
// "HTTPShouldUsePipelining", "networkServiceType", "timeoutInterval".
const std::vector<std::string>& SDPObservedRequestProperties();

class SDPHTTPRequestSerializer : public plat::Object,
                                 public SDPURLRequestSerialization,
                                 public plat::NSCoding,
                                 public plat::NSKeyValueObservable {
 public:
  // A custom query builder: (request as given, parameters, error out) -> query text. Setting
  // *error makes serialization fail with that error.
  using QueryStringSerialization = std::function<std::string(
      const plat::NSURLRequest& request, const plat::Value& parameters, plat::NSErrorRef* error)>;

  SDPHTTPRequestSerializer();
  ~SDPHTTPRequestSerializer() override;
  static std::shared_ptr<SDPHTTPRequestSerializer> serializer();

  // Encoding of form bodies and multipart values (a platform string encoding, UTF-8 by
  // default). Text with a character that has no form in it fails the request with an error;
  // a form body in another encoding than UTF-8 names it in the Content-Type the serializer
  // sets ("application/x-www-form-urlencoded; charset=iso-8859-1").
  uint64_t stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(uint64_t encoding) { stringEncoding_ = encoding; }

  // The six request settings. Each is copied onto every request built after it was first
  // set (also when set to the value it already had); before that requests keep the
  // platform's defaults. Each setter announces the change under the setting's name.
  bool allowsCellularAccess() const { return allowsCellularAccess_; }
  void setAllowsCellularAccess(bool v);
  uint64_t cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(uint64_t v);
  bool HTTPShouldHandleCookies() const { return shouldHandleCookies_; }
  void setHTTPShouldHandleCookies(bool v);
  bool HTTPShouldUsePipelining() const { return shouldUsePipelining_; }
  void setHTTPShouldUsePipelining(bool v);
  uint64_t networkServiceType() const { return networkServiceType_; }
  void setNetworkServiceType(uint64_t v);
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double v);

  // NO for the six settings, whose setters announce their changes themselves; the platform's
  // answer for every other key.
  static bool automaticallyNotifiesObserversForKey(const std::string& key);
  // The serializer's observation of its own settings: with its private context, a new value
  // (change[NSKeyValueChangeNewKey]) that is the null object forgets that the setting was set,
  // any other marks it as set. Other contexts are ignored.
  virtual void observeValueForKeyPathOfObjectChangeContext(const std::string& keyPath,
                                                           const plat::Object* object,
                                                           const plat::Dictionary& change,
                                                           void* context);
  // The names of the settings set so far.
  const std::set<std::string>& mutableObservedChangedKeyPaths() const {
    return observedChangedKeyPaths_;
  }

  // Upper-case method names whose parameters go into the URL query.
  const std::set<std::string>& HTTPMethodsEncodingParametersInURI() const { return uriMethods_; }
  void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) {
    uriMethods_ = std::move(methods);
  }

  // The default header fields, in the order they were set.
  plat::Dictionary HTTPRequestHeaders() const { return headers_; }
  // Sets a default header field; nullopt removes it. Field names match regardless of case:
  // setting one replaces any spelling of it already there, and lookups ignore case.
  void setValueForHTTPHeaderField(std::optional<std::string> value, const std::string& field);
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
  // "Authorization" = "Basic " + Base64 of "username:password" (UTF-8).
  void setAuthorizationHeaderFieldWithUsernamePassword(const std::string& username,
                                                       const std::string& password);
  void clearAuthorizationHeader();

  // Style 0 is the built-in query form; any other style produces no query. Clears a
  // custom block.
  void setQueryStringSerializationWithStyle(uint64_t style);
  void setQueryStringSerializationWithBlock(QueryStringSerialization block);
  uint64_t queryStringSerializationStyle() const { return queryStyle_; }
  // The custom query builder (empty when none is set).
  const QueryStringSerialization& queryStringSerialization() const { return queryBlock_; }

  // A request for `method` and `URLString` with the parameters serialized (through the
  // receiver's own requestBySerializingRequestWithParametersError, so subclasses apply).
  // A URL string that cannot be parsed gives a request without a URL (its task fails with
  // "unsupported URL"); no error is reported for it. Null (with *error) only when the
  // serialization failed.
  plat::NSMutableURLRequestRef requestWithMethodURLStringParametersError(
      const std::string& method, const std::string& URLString, const plat::Value& parameters,
      plat::NSErrorRef* error) const;

  // Default headers the request lacks are added; then the parameters go into the URL query
  // (methods of HTTPMethodsEncodingParametersInURI; the query goes before any "#fragment")
  // or into a form body with "Content-Type" "application/x-www-form-urlencoded" unless the
  // request has one. A body method always gets a body (empty without parameters).
  // Parameters nesting containers deeper than SDPQueryMaxDepth, and a body the string
  // encoding cannot hold, give null and an error.
  plat::NSMutableURLRequestRef requestBySerializingRequestWithParametersError(
      const plat::NSURLRequestRef& request, const plat::Value& parameters,
      plat::NSErrorRef* error) const override;

  // A request with a streamed "multipart/form-data" body: the parameters flattened into
  // form-data parts (data as is, null as empty data, anything else as its text), then the
  // parts `block` appends. Null (with *error) when building the request failed, the
  // parameters nest deeper than SDPQueryMaxDepth, or a value has a character that the string
  // encoding cannot hold.
  plat::NSMutableURLRequestRef multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
      const std::string& method, const std::string& URLString, const plat::Value& parameters,
      const std::function<void(SDPMultipartFormData& formData)>& block,
      plat::NSErrorRef* error) const;

  // Copies the body stream of `request` into the file at `filePath` on a background queue
  // and calls `completionHandler` (if any) on the main queue with the error (null when the
  // copy succeeded). Returns at once a copy of `request` without its body stream.
  plat::NSMutableURLRequestRef requestWithMultipartFormRequestWritingStreamContentsToFileCompletionHandler(
      const plat::NSURLRequestRef& request, const std::string& filePath,
      std::function<void(plat::NSErrorRef error)> completionHandler) const;

  // A new serializer of the receiver's class with the same headers, query style and block;
  // settings, encoding and method set are those of a new serializer.
  virtual std::shared_ptr<SDPHTTPRequestSerializer> copyWithZone() const;
  std::string className() const override { return "SDPHTTPRequestSerializer"; }

  static constexpr bool supportsSecureCoding() { return true; }
  // Keyed coding: the default headers ("mutableHTTPRequestHeaders") and the query style
  // ("queryStringSerializationStyle"). Settings, encoding, method set and block are not
  // archived; a decoded serializer has the values of a new one for them.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 protected:
  // A mutable copy of `request` with the default headers it lacks.
  plat::NSMutableURLRequestRef copyWithDefaultHeaders(const plat::NSURLRequest& request) const;
  // The query text for the parameters, the built-in style escaping in `escapeEncoding`;
  // nullopt for no query. Returns false (with *error) when the custom block failed or a
  // character has no form in `escapeEncoding`.
  bool queryStringForParameters(const plat::NSURLRequest& request, const plat::Value& parameters,
                                uint64_t escapeEncoding, std::optional<std::string>* query,
                                plat::NSErrorRef* error) const;
  bool encodesParametersInURI(const std::string& method) const;
  // Text in stringEncoding; nullopt (with *error) when a character has no form in it.
  std::optional<plat::Data> encodeString(const std::string& text, plat::NSErrorRef* error) const;
  // Copies headers, style and block into `copy`.
  void copyBaseStateInto(SDPHTTPRequestSerializer& copy) const;
  virtual std::shared_ptr<SDPHTTPRequestSerializer> makeEmptyCopy() const;

 private:
  // The value of the setting `key` (one of SDPObservedRequestProperties), as a number.
  plat::Value observedSettingValue(const std::string& key) const;
  // Sets `*field` to `value`, announcing the change under `key`.
  template <class T>
  void setObservedSetting(const char* key, T* field, T value) {
    willChangeValueForKey(key);
    *field = value;
    didChangeValueForKey(key);
  }

  uint64_t stringEncoding_ = 4;
  bool allowsCellularAccess_ = false;
  uint64_t cachePolicy_ = 0;
  bool shouldHandleCookies_ = false;
  bool shouldUsePipelining_ = false;
  uint64_t networkServiceType_ = 0;
  double timeoutInterval_ = 0;
  std::set<std::string> observedChangedKeyPaths_;
  std::vector<ObserverToken> observationTokens_;
  std::set<std::string> uriMethods_{"GET", "HEAD", "DELETE"};
  plat::Dictionary headers_;
  uint64_t queryStyle_ = SDPHTTPRequestQueryStringDefaultStyle;
  QueryStringSerialization queryBlock_;
};

// The "Accept-Language" value for `languages` in preference order: "l1;q=1, l2;q=0.9, ..."
// with at most six entries (down to q=0.5); "" for none.
std::string SDPAcceptLanguageForLanguages(const std::vector<std::string>& languages);
// `url` with `query` appended: after "&" when the URL already has a query part, else "?".
// A "#fragment" stays at the end.
std::string SDPURLStringByAppendingQuery(const std::string& url, const std::string& query);
