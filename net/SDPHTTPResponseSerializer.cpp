#include "net/SDPHTTPResponseSerializer.h"

#include "net/SDPNetworkingPrivate.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

#include "platform/foundation/Format.h"

namespace {

constexpr const char* kUnacceptableContentType = "Request failed: unacceptable content-type: %@";
constexpr const char* kUnacceptableStatusCode = "Request failed: %@ (%ld)";

}  // namespace

plat::NSErrorRef SDPAttachUnderlyingError(const plat::NSErrorRef& error,
                                          const plat::NSErrorRef& underlying) {
  if (!error) return underlying;
  if (!underlying || error->underlyingError()) return error;
  plat::Dictionary info = error->userInfo();
  info.set(plat::NSUnderlyingErrorKey, plat::Value(underlying));
  return plat::NSError::make(error->domain(), error->code(), std::move(info));
}

bool SDPErrorChainHasCode(const plat::NSErrorRef& error, int64_t code) {
  for (auto e = error; e; e = e->underlyingError()) {
    if (e->domain() == SDPURLResponseSerializationErrorDomain && e->code() == code) return true;
  }
  return false;
}

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass("SDPHTTPResponseSerializer",
                                       [] { return std::make_shared<SDPHTTPResponseSerializer>(); });
  return true;
}();
}  // namespace

void SDPHTTPResponseSerializer::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  plat::Value codes;
  if (acceptableStatusCodes_) {
    plat::Array list;
    for (int64_t code : *acceptableStatusCodes_) list.emplace_back(code);
    codes = plat::Value(std::move(list));
  }
  plat::Value types;
  if (acceptableContentTypes_) {
    plat::Array list;
    for (const auto& type : *acceptableContentTypes_) list.emplace_back(type);
    types = plat::Value(std::move(list));
  }
  coder.encodeObjectForKey(codes, "acceptableStatusCodes");
  coder.encodeObjectForKey(types, "acceptableContentTypes");
}

bool SDPHTTPResponseSerializer::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  plat::Value codes = coder.decodeObjectForKey("acceptableStatusCodes");
  if (codes.isNil() || codes.isNull()) {
    acceptableStatusCodes_.reset();
  } else if (const plat::Array* list = codes.array()) {
    std::set<int64_t> set;
    for (const auto& code : *list) {
      if (code.isNumber()) set.insert(code.integerValue());
    }
    acceptableStatusCodes_ = std::move(set);
  } else {
    return false;
  }
  plat::Value types = coder.decodeObjectForKey("acceptableContentTypes");
  if (types.isNil() || types.isNull()) {
    acceptableContentTypes_.reset();
  } else if (const plat::Array* list = types.array()) {
    std::set<std::string> set;
    for (const auto& type : *list) {
      if (type.isString()) set.insert(*type.string());
    }
    acceptableContentTypes_ = std::move(set);
  } else {
    return false;
  }
  return true;
}

SDPHTTPResponseSerializer::SDPHTTPResponseSerializer() {
  std::set<int64_t> codes;
  for (int64_t c = 200; c < 300; ++c) codes.insert(c);
  acceptableStatusCodes_ = std::move(codes);
}

std::shared_ptr<SDPHTTPResponseSerializer> SDPHTTPResponseSerializer::serializer() {
  return std::make_shared<SDPHTTPResponseSerializer>();
}

bool SDPHTTPResponseSerializer::validateResponseDataError(const plat::NSURLResponseRef& response,
                                                          const plat::Data* data,
                                                          plat::NSErrorRef* error) const {
  auto http = std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(response);
  if (!http) return true;

  bool valid = true;
  plat::NSErrorRef validationError;
  const bool hasURL = !http->URL().empty();
  const plat::Value url = hasURL ? plat::Value(http->URL()) : plat::Value();

  auto makeInfo = [&](std::string description) {
    plat::Dictionary info;
    info.set(plat::NSLocalizedDescriptionKey, std::move(description));
    info.set(plat::NSURLErrorFailingURLErrorKey, url);
    info.set(SDPNetworkingOperationFailingURLResponseErrorKey, plat::Value(response));
    if (data) info.set(SDPNetworkingOperationFailingURLResponseDataErrorKey, plat::Value(*data));
    return info;
  };

  const std::string mimeType = http->MIMEType();
  if (acceptableContentTypes_ && !acceptableContentTypes_->count(mimeType)) {
    valid = false;
    if (data && data->length() > 0 && hasURL) {
      validationError = plat::NSError::make(
          SDPURLResponseSerializationErrorDomain, SDPURLErrorCannotDecodeContentData,
          makeInfo(plat::format(SDPNetworkingLocalizedString(kUnacceptableContentType),
                                mimeType.empty() ? plat::Value() : plat::Value(mimeType))));
    }
  }

  const int64_t status = http->statusCode();
  if (acceptableStatusCodes_ && !acceptableStatusCodes_->count(status) && hasURL) {
    valid = false;
    auto statusError = plat::NSError::make(
        SDPURLResponseSerializationErrorDomain, SDPURLErrorBadServerResponse,
        makeInfo(plat::format(SDPNetworkingLocalizedString(kUnacceptableStatusCode),
                              plat::NSHTTPURLResponse::localizedStringForStatusCode(status),
                              status)));
    validationError = SDPAttachUnderlyingError(statusError, validationError);
  }

  if (!valid && error) *error = validationError;
  return valid;
}

bool SDPHTTPResponseSerializer::shouldParse(const plat::NSURLResponseRef& response,
                                            const plat::Data* data,
                                            plat::NSErrorRef* error) const {
  if (validateResponseDataError(response, data, error)) return true;
  if (!error) return false;
  return !SDPErrorChainHasCode(*error, SDPURLErrorCannotDecodeContentData);
}

plat::Value SDPHTTPResponseSerializer::responseObjectForResponseDataError(
    const plat::NSURLResponseRef& response, const plat::Data* data, plat::NSErrorRef* error) const {
  validateResponseDataError(response, data, error);
  return data ? plat::Value(*data) : plat::Value();
}

std::shared_ptr<SDPURLResponseSerialization> SDPHTTPResponseSerializer::copyWithZone() const {
  auto copy = std::make_shared<SDPHTTPResponseSerializer>();
  copy->setAcceptableStatusCodes(acceptableStatusCodes_);
  copy->setAcceptableContentTypes(acceptableContentTypes_);
  return copy;
}
