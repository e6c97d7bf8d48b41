#include "net/model/HVPropertyType.h"

#include <cctype>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "net/model/HVFoundation.h"

namespace {

struct TypeCache {
  std::mutex mu;
  std::unordered_map<std::string, const HVPropertyType*> byCode;
  // Every type ever handed out stays alive: callers keep plain pointers.
  std::vector<std::unique_ptr<HVPropertyType>> all;
};

TypeCache& typeCache() {
  static TypeCache* c = new TypeCache;
  return *c;
}

}  // namespace

const HVPropertyType* HVPropertyType::cachedTypeWithCode(std::string_view code) {
  TypeCache& c = typeCache();
  std::lock_guard lock(c.mu);
  auto it = c.byCode.find(std::string(code));
  if (it != c.byCode.end()) {
    const HVPropertyType* t = it->second;
    if (!(t->isClassCode_ && !t->typeClass_ && plat::Runtime::classNamed(t->code_))) return t;
  }
  auto t = std::make_unique<HVPropertyType>();
  t->setCode(std::string(code));
  const HVPropertyType* raw = t.get();
  c.all.push_back(std::move(t));
  c.byCode[std::string(code)] = raw;
  return raw;
}

void HVPropertyType::setCode(std::string c) {
  code_ = c;
  if (c == "@") {
    idType_ = true;
  } else if (c.size() >= 4 && c[0] == '@' && c[1] == '"') {
    isClassCode_ = true;
    code_ = c.substr(2, c.size() - 3);
    typeClass_ = plat::Runtime::classNamed(code_);
    fromFoundation_ = HVFoundation::isClassFromFoundation(typeClass_);
    if (typeClass_ && typeClass_->isSubclassOfClass(plat::Runtime::classNamed("NSNumber"))) {
      numberType_ = true;
    }
  } else if (c.empty() || c == ":" || c == "^{objc_ivar=}" || c == "^{objc_method=}") {
    KVCDisabled_ = true;
  }
  std::string lower = code_;
  for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  static const char* const kNumberCodes[] = {"i", "s", "c", "b", "f", "d", "l", "q"};
  for (const char* n : kNumberCodes) {
    if (lower == n) {
      numberType_ = true;
      if (lower == "c" || lower == "b") boolType_ = true;
    }
  }
}
