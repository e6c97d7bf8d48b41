#include "platform/foundation/NSCoding.h"

#include <map>
#include <mutex>

namespace plat {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, NSCodingClasses::Entry, std::less<>> classes;
  std::function<std::optional<NSCodingClasses::Entry>(std::string_view)> fallback;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

}  // namespace

void NSCodingClasses::registerClass(std::string name, Factory factory,
                                    std::vector<std::string> superclasses) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.classes[std::move(name)] = Entry{std::move(factory), std::move(superclasses)};
}

void NSCodingClasses::setFallbackLookup(
    std::function<std::optional<Entry>(std::string_view)> lookup) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.fallback = std::move(lookup);
}

std::optional<NSCodingClasses::Entry> NSCodingClasses::find(std::string_view name) {
  std::function<std::optional<Entry>(std::string_view)> fallback;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.classes.find(name);
    if (it != r.classes.end()) return it->second;
    fallback = r.fallback;
  }
  // Called without the lock: the fallback may register classes as it answers.
  if (fallback) return fallback(name);
  return std::nullopt;
}

std::vector<std::string> NSCodingClasses::classChain(const std::string& name) {
  std::vector<std::string> chain{name};
  if (auto entry = find(name)) {
    for (const std::string& super : entry->superclasses)
      if (super != name) chain.push_back(super);
  }
  if (chain.back() != "NSObject") chain.push_back("NSObject");
  return chain;
}

}  // namespace plat
