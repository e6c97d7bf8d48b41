#pragma once
// plat::NSKeyValueObservable: change notifications for keys an object announces itself
// (manual key-value observing). The object calls willChangeValueForKey / didChangeValueForKey
// around a change; observers of that key are called after the change, on the changing thread.
//
// Thread-safe: observers may be added and removed from any thread; an observer removed while
// a notification is being sent may still receive that one.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

class NSKeyValueObservable {
 public:
  using Observer = std::function<void(const std::string& keyPath)>;
  using ObserverToken = std::shared_ptr<Observer>;

  // Keep the token; pass it to removeObserverForKeyPath to stop.
  ObserverToken addObserverForKeyPath(const std::string& keyPath, Observer observer);
  void removeObserverForKeyPath(const ObserverToken& token);

  void willChangeValueForKey(const std::string& key) {}
  void didChangeValueForKey(const std::string& key);

 protected:
  ~NSKeyValueObservable() = default;

 private:
  struct Entry {
    std::string keyPath;
    ObserverToken token;
  };
  std::mutex kvoMu_;
  std::vector<Entry> kvoObservers_;
};

}  // namespace plat
