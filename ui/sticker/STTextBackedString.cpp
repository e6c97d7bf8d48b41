#include "ui/sticker/STTextBackedString.h"

#include <mutex>

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

const char* const STTextBackedStringAttributeName = "STTextBackedString";

static constexpr const char* kStringKey = "string";

namespace {
// Registered at load, as the other archivable classes are, so that archives decode at once.
const bool kRegistered = [] {
  STTextBackedString::registerForCoding();
  return true;
}();
}  // namespace

STTextBackedStringRef STTextBackedString::stringWithString(std::string text) {
  auto s = std::make_shared<STTextBackedString>();
  s->string_ = std::move(text);
  return s;
}

STTextBackedStringRef STTextBackedString::makeEmpty() const {
  return std::make_shared<STTextBackedString>();
}

STTextBackedStringRef STTextBackedString::copy() const {
  auto c = makeEmpty();
  c->string_ = string_;
  return c;
}

void STTextBackedString::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  coder.encodeObjectForKey(plat::Value(string_), kStringKey);
}

bool STTextBackedString::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  plat::Value v = coder.decodeObjectForKey(kStringKey);
  string_ = v.isString() ? *v.string() : std::string();
  return true;
}

void STTextBackedString::registerForCoding() {
  static std::once_flag once;
  std::call_once(once, [] {
    plat::NSCodingClasses::registerClass(
        "STTextBackedString", [] { return std::make_shared<STTextBackedString>(); });
  });
}
