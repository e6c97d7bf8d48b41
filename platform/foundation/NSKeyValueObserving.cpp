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

void NSKeyValueObservable::didChangeValueForKey(const std::string& key) {
  std::vector<ObserverToken> targets;
  {
    std::lock_guard<std::mutex> lock(kvoMu_);
    for (const auto& e : kvoObservers_)
      if (e.keyPath == key) targets.push_back(e.token);
  }
  // Called outside the lock so an observer may add or remove observers.
  for (const auto& t : targets) (*t)(key);
}

}  // namespace plat
