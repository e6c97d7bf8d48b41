#include "platform/foundation/NSKeyValueObserving.h"

#include <algorithm>

namespace plat {

NSKeyValueObservable::ObserverToken NSKeyValueObservable::addObserverForKeyPath(
    const std::string& keyPath, Observer observer) {
  auto token = std::make_shared<Observer>(std::move(observer));
  std::lock_guard<std::mutex> lock(kvoMu_);
  kvoObservers_.push_back({keyPath, token});
  return token;
}

void NSKeyValueObservable::removeObserverForKeyPath(const ObserverToken& token) {
  std::lock_guard<std::mutex> lock(kvoMu_);
  std::erase_if(kvoObservers_, [&](const Entry& e) { return e.token == token; });
}

bool NSKeyValueObservable::valueForKeyDependsOn(const std::string& key,
                                                const std::string& changed) const {
  // Breadth-first over the dependent keys; each key is looked at once, so cycles end.
  std::set<std::string> seen{key};
  std::vector<std::string> pending{key};
  while (!pending.empty()) {
    const std::string next = std::move(pending.back());
    pending.pop_back();
    for (const auto& affecting : keyPathsAffectingValueForKey(next)) {
      if (affecting == changed) return true;
      if (seen.insert(affecting).second) pending.push_back(affecting);
    }
  }
  return false;
}

void NSKeyValueObservable::didChangeValueForKey(const std::string& key) {
  std::vector<Entry> entries;
  {
    std::lock_guard<std::mutex> lock(kvoMu_);
    entries = kvoObservers_;
  }
  // Looked at and called outside the lock, so an observer may add or remove observers and a
  // class's dependent keys may read the object.
  std::vector<Entry> targets;
  for (auto& e : entries) {
    if (e.keyPath == key || valueForKeyDependsOn(e.keyPath, key)) targets.push_back(std::move(e));
  }
  for (const auto& t : targets) (*t.token)(t.keyPath);
}

}  // namespace plat
