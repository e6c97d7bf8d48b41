#pragma once
// plat::NSKeyValueObservable: change notifications for keys an object announces itself
// (manual key-value observing). The object calls willChangeValueForKey / didChangeValueForKey
// around a change; observers of that key are called after the change, on the changing thread.
// Observers of a key that depends on the changed one (keyPathsAffectingValueForKey, followed
// through chains of dependent keys) are called too, with the key they observe.
//
// Thread-safe: observers may be added and removed from any thread; an observer removed while
// a notification is being sent may still receive that one.

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace plat {

// The key of the new value in a change dictionary handed to an observer.
inline constexpr const char* NSKeyValueChangeNewKey = "new";

class NSKeyValueObservable {
 public:
  using Observer = std::function<void(const std::string& keyPath)>;
  using ObserverToken = std::shared_ptr<Observer>;

  // Keep the token; pass it to removeObserverForKeyPath to stop.
  ObserverToken addObserverForKeyPath(const std::string& keyPath, Observer observer);
  void removeObserverForKeyPath(const ObserverToken& token);

  void willChangeValueForKey(const std::string& key) {}
  void didChangeValueForKey(const std::string& key);

  // The keys whose changes change the value of `key` too: the instance's form of the class
  // operation keyPathsForValuesAffectingValueForKey:. None by default; a class with dependent
  // keys overrides it and answers what its class operations answer.
  virtual std::set<std::string> keyPathsAffectingValueForKey(const std::string& key) const {
    return {};
  }
  // The class operation automaticallyNotifiesObserversForKey: (YES by default). The platform
  // never announces a change by itself, so the answer only records a class's intent: a class
  // whose setters announce a key on purpose answers NO for it, as it does on the phone.
  static bool automaticallyNotifiesObserversForKey(const std::string& key) { return true; }

 protected:
  virtual ~NSKeyValueObservable() = default;

 private:
  struct Entry {
    std::string keyPath;
    ObserverToken token;
  };
  // Whether `key` depends, directly or through other dependent keys, on `changed`.
  bool valueForKeyDependsOn(const std::string& key, const std::string& changed) const;

  std::mutex kvoMu_;
  std::vector<Entry> kvoObservers_;
};

}  // namespace plat
