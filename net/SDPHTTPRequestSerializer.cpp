#include "net/SDPHTTPRequestSerializer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/SDPNetworkingPrivate.h"
#include "net/SDPQueryStringPair.h"
#include "net/SDPStreamingMultipartFormData.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSStringEncoding.h"
#include "platform/security/CommonCrypto.h"

namespace {

// Text that has no form in the serializer's string encoding is refused, never sent with
// characters missing or in another encoding than the one named.
plat::NSErrorRef unencodableTextError(uint64_t encoding) {
  return plat::NSError::make(SDPURLRequestSerializationErrorDomain, SDPURLErrorBadURL,
                             "The request parameters cannot be encoded in string encoding " +
                                 std::to_string(encoding) + ".");
}

// Parameters whose containers nest past SDPQueryMaxDepth cannot be encoded.
plat::NSErrorRef parametersTooDeepError() {
  return plat::NSError::make(SDPURLRequestSerializationErrorDomain, SDPURLErrorBadURL,
                             "The request parameters are nested too deeply to be encoded.");
}

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string SDPAcceptLanguageForLanguages(const std::vector<std::string>& languages) {
  std::string out;
  for (size_t i = 0; i < languages.size(); ++i) {
    // Computed in single precision, as the platform's header builder does.
    const float q = 1.0f - 0.1f * static_cast<float>(i);
    char qText[16];
    std::snprintf(qText, sizeof qText, "%0.1g", static_cast<double>(q));
    if (!out.empty()) out += ", ";
    out += languages[i] + ";q=" + qText;
    if (q <= 0.5f) break;
  }
  return out;
}

std::string SDPURLStringByAppendingQuery(const std::string& url, const std::string& query) {
  const size_t hash = url.find('#');
  const std::string head = hash == std::string::npos ? url : url.substr(0, hash);
  const std::string fragment = hash == std::string::npos ? "" : url.substr(hash);
  const char* separator = head.find('?') != std::string::npos ? "&" : "?";
  return head + separator + query + fragment;
}

namespace {
// Tells the serializer's observations of its own settings from any others.
char kObservationContext;
}  // namespace

const std::vector<std::string>& SDPObservedRequestProperties() {
  static const auto* names = new std::vector<std::string>{
      "allowsCellularAccess",    "cachePolicy",        "HTTPShouldHandleCookies",
      "HTTPShouldUsePipelining", "networkServiceType", "timeoutInterval"};
  return *names;
}

SDPHTTPRequestSerializer::SDPHTTPRequestSerializer() {
  headers_.set("Accept-Language", SDPAcceptLanguageForLanguages(SDPPreferredLanguages()));
  std::string userAgent = SDPDefaultUserAgent();
  if (!userAgent.empty()) headers_.set("User-Agent", std::move(userAgent));
  for (const auto& keyPath : SDPObservedRequestProperties()) {
    observationTokens_.push_back(addObserverForKeyPath(keyPath, [this](const std::string& key) {
      plat::Dictionary change;
      change.set(plat::NSKeyValueChangeNewKey, observedSettingValue(key));
      observeValueForKeyPathOfObjectChangeContext(key, this, change, &kObservationContext);
    }));
  }
}

SDPHTTPRequestSerializer::~SDPHTTPRequestSerializer() {
  for (const auto& token : observationTokens_) removeObserverForKeyPath(token);
}

bool SDPHTTPRequestSerializer::automaticallyNotifiesObserversForKey(const std::string& key) {
  const auto& names = SDPObservedRequestProperties();
  if (std::find(names.begin(), names.end(), key) != names.end()) return false;
  return NSKeyValueObservable::automaticallyNotifiesObserversForKey(key);
}

void SDPHTTPRequestSerializer::observeValueForKeyPathOfObjectChangeContext(
    const std::string& keyPath, const plat::Object* object, const plat::Dictionary& change,
    void* context) {
  if (context != &kObservationContext) return;
  if (change.get(plat::NSKeyValueChangeNewKey).isNull())
    observedChangedKeyPaths_.erase(keyPath);
  else
    observedChangedKeyPaths_.insert(keyPath);
}

plat::Value SDPHTTPRequestSerializer::observedSettingValue(const std::string& key) const {
  if (key == "allowsCellularAccess") return plat::Value(allowsCellularAccess_);
  if (key == "cachePolicy") return plat::Value(static_cast<unsigned long long>(cachePolicy_));
  if (key == "HTTPShouldHandleCookies") return plat::Value(shouldHandleCookies_);
  if (key == "HTTPShouldUsePipelining") return plat::Value(shouldUsePipelining_);
  if (key == "networkServiceType")
    return plat::Value(static_cast<unsigned long long>(networkServiceType_));
  if (key == "timeoutInterval") return plat::Value(timeoutInterval_);
  return plat::Value();
}

void SDPHTTPRequestSerializer::setAllowsCellularAccess(bool v) {
  setObservedSetting("allowsCellularAccess", &allowsCellularAccess_, v);
}
void SDPHTTPRequestSerializer::setCachePolicy(uint64_t v) {
  setObservedSetting("cachePolicy", &cachePolicy_, v);
}
void SDPHTTPRequestSerializer::setHTTPShouldHandleCookies(bool v) {
  setObservedSetting("HTTPShouldHandleCookies", &shouldHandleCookies_, v);
}
void SDPHTTPRequestSerializer::setHTTPShouldUsePipelining(bool v) {
  setObservedSetting("HTTPShouldUsePipelining", &shouldUsePipelining_, v);
}
void SDPHTTPRequestSerializer::setNetworkServiceType(uint64_t v) {
  setObservedSetting("networkServiceType", &networkServiceType_, v);
}
void SDPHTTPRequestSerializer::setTimeoutInterval(double v) {
  setObservedSetting("timeoutInterval", &timeoutInterval_, v);
}

namespace {
const bool kRequestSerializerRegistered = [] {
  plat::NSCodingClasses::registerClass("SDPHTTPRequestSerializer",
                                       [] { return std::make_shared<SDPHTTPRequestSerializer>(); });
  return true;
}();
}  // namespace

void SDPHTTPRequestSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  coder.encodeObjectForKey(plat::Value(headers_), "mutableHTTPRequestHeaders");
  coder.encodeIntegerForKey(static_cast<int64_t>(queryStyle_), "queryStringSerializationStyle");
}

bool SDPHTTPRequestSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRequestSerializerRegistered;
  plat::Value headers = coder.decodeObjectForKey("mutableHTTPRequestHeaders");
  if (const plat::Dictionary* d = headers.dictionary()) headers_ = *d;
  plat::Value style = coder.decodeObjectForKey("queryStringSerializationStyle");
  if (style.isNumber()) queryStyle_ = style.unsignedIntegerValue();
  return true;
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPHTTPRequestSerializer::serializer() {
  return std::make_shared<SDPHTTPRequestSerializer>();
}

namespace {

bool sameFieldName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A CR or LF in a header would end its line and start another one of the sender's choosing.
bool breaksHeaderLine(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

void SDPHTTPRequestSerializer::setValueForHTTPHeaderField(std::optional<std::string> value,
                                                          const std::string& field) {
  if (breaksHeaderLine(field) || (value && breaksHeaderLine(*value))) {
    SDPNetworkingLog("SDPHTTPRequestSerializer: refused header field \"" + field +
                     "\": CR or LF in it");
    return;
  }
  // Field names are case-insensitive: a value set as "user-agent" replaces the default
  // "User-Agent" instead of standing beside it (where the default would win).
  std::vector<std::string> spellings;
  for (const auto& [name, ignored] : headers_) {
    if (sameFieldName(name, field)) spellings.push_back(name);
  }
  for (const auto& name : spellings) headers_.remove(name);
  if (value) headers_.set(field, std::move(*value));
}

std::optional<std::string> SDPHTTPRequestSerializer::valueForHTTPHeaderField(
    const std::string& field) const {
  for (const auto& [name, v] : headers_) {
    if (sameFieldName(name, field) && v.isString()) return *v.string();
  }
  return std::nullopt;
}

void SDPHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsernamePassword(
    const std::string& username, const std::string& password) {
  const std::string credentials = username + ":" + password;
  setValueForHTTPHeaderField("Basic " + plat::base64Encode(credentials.data(), credentials.size()),
                             "Authorization");
}

void SDPHTTPRequestSerializer::clearAuthorizationHeader() {
  setValueForHTTPHeaderField(std::nullopt, "Authorization");
}

void SDPHTTPRequestSerializer::setQueryStringSerializationWithStyle(uint64_t style) {
  queryStyle_ = style;
  queryBlock_ = nullptr;
}

void SDPHTTPRequestSerializer::setQueryStringSerializationWithBlock(
    QueryStringSerialization block) {
  queryBlock_ = std::move(block);
}

plat::NSMutableURLRequestRef SDPHTTPRequestSerializer::requestWithMethodURLStringParametersError(
    const std::string& method, const std::string& URLString, const plat::Value& parameters,
    plat::NSErrorRef* error) const {
  auto request = plat::NSMutableURLRequest::requestWithURL(SDPAbsoluteURLString(URLString));
  request->setHTTPMethod(method);
  // The settings set on the serializer, in their order, each under its own name.
  for (const auto& key : SDPObservedRequestProperties()) {
    if (!observedChangedKeyPaths_.count(key)) continue;
    if (key == "allowsCellularAccess") request->setAllowsCellularAccess(allowsCellularAccess_);
    if (key == "cachePolicy") request->setCachePolicy(cachePolicy_);
    if (key == "HTTPShouldHandleCookies") request->setHTTPShouldHandleCookies(shouldHandleCookies_);
    if (key == "HTTPShouldUsePipelining") request->setHTTPShouldUsePipelining(shouldUsePipelining_);
    if (key == "networkServiceType") request->setNetworkServiceType(networkServiceType_);
    if (key == "timeoutInterval") request->setTimeoutInterval(timeoutInterval_);
  }
  auto serialized = requestBySerializingRequestWithParametersError(request, parameters, error);
  if (!serialized) return nullptr;
  return serialized->mutableCopy();
}

plat::NSMutableURLRequestRef SDPHTTPRequestSerializer::copyWithDefaultHeaders(
    const plat::NSURLRequest& request) const {
  auto copy = request.mutableCopy();
  for (const auto& [field, value] : headers_) {
    if (!value.isString()) continue;
    // Headers decoded from an archive never passed the setter's check.
    if (breaksHeaderLine(field) || breaksHeaderLine(*value.string())) {
      SDPNetworkingLog("SDPHTTPRequestSerializer: left out header field \"" + field +
                       "\": CR or LF in it");
      continue;
    }
    if (!copy->valueForHTTPHeaderField(field))
      copy->setValueForHTTPHeaderField(*value.string(), field);
  }
  return copy;
}

bool SDPHTTPRequestSerializer::queryStringForParameters(const plat::NSURLRequest& request,
                                                        const plat::Value& parameters,
                                                        uint64_t escapeEncoding,
                                                        std::optional<std::string>* query,
                                                        plat::NSErrorRef* error) const {
  query->reset();
  if (parameters.isNil()) return true;
  if (queryBlock_) {
    plat::NSErrorRef blockError;
    std::string text = queryBlock_(request, parameters, &blockError);
    if (blockError) {
      if (error) *error = blockError;
      return false;
    }
    *query = std::move(text);
  } else if (queryStyle_ == SDPHTTPRequestQueryStringDefaultStyle) {
    bool tooDeep = false;
    *query = SDPJoinQueryPairsInEncoding(parameters, escapeEncoding, &tooDeep);
    if (tooDeep || !*query) {
      query->reset();
      if (error) *error = tooDeep ? parametersTooDeepError() : unencodableTextError(escapeEncoding);
      return false;
    }
  }
  return true;
}

bool SDPHTTPRequestSerializer::encodesParametersInURI(const std::string& method) const {
  return uriMethods_.count(upper(method)) > 0;
}

// Whether `encoding` writes the ASCII text of a form (letters, digits, "=&%+") as those bytes.
static bool writesASCIIAsASCII(uint64_t encoding) {
  static constexpr std::string_view kSample = "azAZ09=&%+-._";
  auto bytes = plat::dataUsingEncoding(kSample, encoding);
  return bytes && bytes->length() == kSample.size() &&
         std::equal(kSample.begin(), kSample.end(), bytes->bytes());
}

std::optional<plat::Data> SDPHTTPRequestSerializer::encodeString(const std::string& text,
                                                                 plat::NSErrorRef* error) const {
  auto data = plat::dataUsingEncoding(text, stringEncoding_);
  if (!data && error) *error = unencodableTextError(stringEncoding_);
  return data;
}

plat::NSMutableURLRequestRef
SDPHTTPRequestSerializer::requestBySerializingRequestWithParametersError(
    const plat::NSURLRequestRef& request, const plat::Value& parameters,
    plat::NSErrorRef* error) const {
  if (!request) return nullptr;
  auto mutableRequest = copyWithDefaultHeaders(*request);
  const bool inURI = encodesParametersInURI(request->HTTPMethod());
  // A form body in another encoding than UTF-8 names it in the Content-Type written here, and
  // its escapes are that encoding's bytes, so that a reader decoding by the label reads the
  // text given. Where no label is written (a URL's query, a Content-Type already set) escapes
  // are UTF-8, as a reader assumes then. An encoding that does not write ASCII as ASCII
  // (UTF-16, UTF-32) cannot carry a form: a form body is written in UTF-8 then, unlabelled.
  const bool ownType = !inURI && !mutableRequest->valueForHTTPHeaderField("Content-Type");
  const bool asciiBased =
      inURI || stringEncoding_ == plat::NSUTF8StringEncoding || writesASCIIAsASCII(stringEncoding_);
  const std::string charset =
      !ownType || !asciiBased || stringEncoding_ == plat::NSUTF8StringEncoding
          ? std::string()
          : plat::IANACharSetNameOfStringEncoding(stringEncoding_);
  std::optional<std::string> query;
  if (!queryStringForParameters(*request, parameters,
                                charset.empty() ? plat::NSUTF8StringEncoding : stringEncoding_,
                                &query, error)) {
    return nullptr;
  }

  if (inURI) {
    if (query && !mutableRequest->URL().empty()) {
      mutableRequest->setURL(SDPURLStringByAppendingQuery(mutableRequest->URL(), *query));
    }
  } else {
    auto body = !asciiBased ? std::optional<plat::Data>(plat::Data::fromString(query.value_or("")))
                            : encodeString(query.value_or(""), error);
    if (!body) return nullptr;
    if (ownType) {
      std::string contentType = "application/x-www-form-urlencoded";
      if (!charset.empty()) contentType += "; charset=" + charset;
      mutableRequest->setValueForHTTPHeaderField(contentType, "Content-Type");
    }
    mutableRequest->setHTTPBody(std::move(*body));
  }
  return mutableRequest;
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPHTTPRequestSerializer::makeEmptyCopy() const {
  return std::make_shared<SDPHTTPRequestSerializer>();
}

void SDPHTTPRequestSerializer::copyBaseStateInto(SDPHTTPRequestSerializer& copy) const {
  copy.headers_ = headers_;
  copy.queryStyle_ = queryStyle_;
  copy.queryBlock_ = queryBlock_;
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPHTTPRequestSerializer::copyWithZone() const {
  auto copy = makeEmptyCopy();
  copyBaseStateInto(*copy);
  return copy;
}

// ---- Multipart ----------------------------------------------------------------------------

plat::NSMutableURLRequestRef SDPHTTPRequestSerializer::
    multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
        const std::string& method, const std::string& URLString, const plat::Value& parameters,
        const std::function<void(SDPMultipartFormData& formData)>& block,
        plat::NSErrorRef* error) const {
  auto request = requestWithMethodURLStringParametersError(method, URLString, plat::Value(), error);
  if (!request) return nullptr;
  SDPStreamingMultipartFormData formData(*request, /*UTF-8*/ 4);
  if (!parameters.isNil()) {
    bool tooDeep = false;
    auto pairs = SDPFlattenQueryPairs(plat::Value(), parameters, &tooDeep);
    if (tooDeep) {
      if (error) *error = parametersTooDeepError();
      return nullptr;
    }
    for (const auto& pair : pairs) {
      plat::Data data;
      if (const plat::Data* d = pair.value().data()) {
        data = *d;
      } else if (!pair.value().isNull()) {
        auto encoded = encodeString(pair.value().description(), error);
        if (!encoded) return nullptr;
        data = std::move(*encoded);
      }
      formData.appendPartWithFormDataName(data, pair.field().description());
    }
  }
  if (block) block(formData);
  return formData.requestByFinalizingMultipartFormData();
}

plat::NSMutableURLRequestRef SDPHTTPRequestSerializer::
    requestWithMultipartFormRequestWritingStreamContentsToFileCompletionHandler(
        const plat::NSURLRequestRef& request, const std::string& filePath,
        std::function<void(plat::NSErrorRef error)> completionHandler) const {
  if (!request) return nullptr;
  plat::NSInputStreamRef inputStream = request->HTTPBodyStream();
  // A path with a NUL names no file: it fails as a path whose folder is missing would,
  // rather than writing to the path before the NUL.
  const bool validPath = plat::isValidFilePath(filePath);
  auto outputStream =
      validPath ? plat::NSOutputStream::outputStreamToFileAtPath(filePath, false) : nullptr;
  plat::dispatch_async(
      plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_DEFAULT),
      [inputStream, outputStream, filePath, completionHandler = std::move(completionHandler)] {
        plat::NSErrorRef error;
        if (!outputStream) {
          plat::Dictionary info;
          info.set(plat::NSLocalizedDescriptionKey, std::string(std::strerror(ENOENT)));
          info.set(plat::NSFilePathErrorKey, filePath);
          error = plat::NSError::make(plat::NSPOSIXErrorDomain, ENOENT, std::move(info));
        } else if (inputStream) {
          inputStream->open();
          outputStream->open();
          if (outputStream->streamError()) error = outputStream->streamError();
          uint8_t buffer[1024];
          while (!error && inputStream->hasBytesAvailable() && outputStream->hasSpaceAvailable()) {
            const int64_t bytesRead = inputStream->readMaxLength(buffer, sizeof buffer);
            if (bytesRead < 0 || inputStream->streamError()) {
              error = inputStream->streamError();
              if (!error) error = plat::NSError::make(plat::NSPOSIXErrorDomain, 5);
              break;
            }
            if (bytesRead == 0) break;
            // A short write leaves bytes behind: keep writing until all were taken.
            int64_t written = 0;
            while (written < bytesRead) {
              const int64_t n = outputStream->writeMaxLength(
                  buffer + written, static_cast<uint64_t>(bytesRead - written));
              if (n <= 0 || outputStream->streamError()) {
                error = outputStream->streamError();
                if (!error) error = plat::NSError::make(plat::NSPOSIXErrorDomain, 28);  // ENOSPC
                break;
              }
              written += n;
            }
          }
          outputStream->close();
          inputStream->close();
        }
        if (completionHandler) {
          plat::dispatch_async(plat::dispatch_get_main_queue(),
                               [completionHandler, error] { completionHandler(error); });
        }
      });
  auto copy = request->mutableCopy();
  copy->setHTTPBodyStream(nullptr);
  return copy;
}
