#include "platform/foundation/NSError.h"

namespace plat {

namespace {

// Descriptions the platform gives its own errors when the user info has none.
const char* knownDescription(const std::string& domain, int64_t code) {
  if (domain != NSCocoaErrorDomain) return nullptr;
  switch (code) {
    case 3840: return "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
    case 3851: return "The data couldn\u2019t be written because it isn\u2019t in the correct format.";
    default: return nullptr;
  }
}

}  // namespace

std::string NSError::localizedDescription() const {
  if (auto s = userInfo_.get(NSLocalizedDescriptionKey).string()) return *s;
  if (const char* known = knownDescription(domain_, code_)) return known;
  if (auto reason = userInfo_.get(NSLocalizedFailureReasonErrorKey).string())
    return "The operation couldn\u2019t be completed. " + *reason;
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

std::string NSError::localizedFailureReason() const {
  return userInfo_.get(NSLocalizedFailureReasonErrorKey).stringOr();
}

NSErrorRef NSError::underlyingError() const {
  return userInfo_.get(NSUnderlyingErrorKey).objectAs<NSError>();
}

std::string NSError::description() const {
  std::string text;
  if (auto s = userInfo_.get(NSLocalizedDescriptionKey).string()) text = *s;
  else if (const char* known = knownDescription(domain_, code_)) text = known;
  else text = "(null)";
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + text + "\"";
  if (!userInfo_.empty()) {
    out += " UserInfo={";
    bool first = true;
    for (auto& [key, value] : userInfo_) {
      if (!first) out += ", ";
      first = false;
      out += key + "=" + value.description();
    }
    out += "}";
  }
  return out;
}

bool NSError::isEqual(const Object& other) const {
  auto e = dynamic_cast<const NSError*>(&other);
  return e && e->domain_ == domain_ && e->code_ == code_ && e->userInfo_ == userInfo_;
}

}  // namespace plat
