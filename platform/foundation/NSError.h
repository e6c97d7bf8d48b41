#pragma once
// plat::NSError: an error in a domain with a code and user info, as the platform reports
// errors. Immutable once made; shared as std::shared_ptr<NSError> (null means no error).
// Thread-safe (immutable).

#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace plat {

// User-info keys the system reads.
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* NSFilePathErrorKey = "NSFilePath";
inline constexpr const char* NSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* NSURLErrorKey = "NSURL";

// Domains.
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";

class NSError;
using NSErrorRef = std::shared_ptr<NSError>;

class NSError : public Object {
 public:
  NSError(std::string domain, int64_t code, Dictionary userInfo = {})
      : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}
  static NSErrorRef make(std::string domain, int64_t code, Dictionary userInfo = {}) {
    return std::make_shared<NSError>(std::move(domain), code, std::move(userInfo));
  }
  // An error whose localized description is `description`.
  static NSErrorRef make(std::string domain, int64_t code, std::string description) {
    Dictionary info;
    info.set(NSLocalizedDescriptionKey, std::move(description));
    return make(std::move(domain), code, std::move(info));
  }

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  // The user info's NSLocalizedDescription text, or the platform's fallback
  // "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;
  std::string localizedFailureReason() const;
  // The NSUnderlyingError of the user info, if it is an error.
  NSErrorRef underlyingError() const;

  std::string className() const override { return "NSError"; }
  // "Error Domain=<domain> Code=<code> \"<description>\" UserInfo={...}"
  std::string description() const override;
  bool isEqual(const Object& other) const override;

 private:
  std::string domain_;
  int64_t code_;
  Dictionary userInfo_;
};

}  // namespace plat
