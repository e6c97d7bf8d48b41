#pragma once
// plat::NSNotificationCenter: broadcasts named notifications to registered observers.
// (It lives beside dispatch because observers may ask for delivery on a queue.)
//
// Posting is synchronous: observers are called on the posting thread, in registration order,
// before post returns; observers registered with a queue get the notification submitted to
// that queue instead (run at once when the queue is the main queue and the poster is on the
// main thread). A post works over a snapshot of the observers and checks each is still
// registered just before calling it, so observers may post, add and remove observers
// (themselves included) from inside a callback. An observer added during a post does not see
// that post.
//
// Thread-safety: has internal synchronization; all operations may be called from any thread.
// No lock is held while an observer runs.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Value.h"

namespace plat {

struct NSNotification {
  std::string name;
  Value object;    // the sender, or nil
  Value userInfo;  // a dictionary, or nil
};

class NSNotificationCenter;
using NSNotificationCenterRef = std::shared_ptr<NSNotificationCenter>;

class NSNotificationCenter {
 public:
  using Block = std::function<void(const NSNotification& note)>;

  // An observer registered with a block; pass it back to removeObserver to unregister.
  class Observer {
   public:
    virtual ~Observer() = default;
  };
  using ObserverToken = std::shared_ptr<Observer>;

  // The process-wide centre (created once, never destroyed).
  static NSNotificationCenter& defaultCenter();
  // Drops every observer of the default centre (for tests).
  static void resetForTesting();

  NSNotificationCenter();
  NSNotificationCenter(const NSNotificationCenter&) = delete;
  NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;
  ~NSNotificationCenter();

  // Block observer for `name` (empty: every name) and `object` (nil: any sender; otherwise
  // only posts whose object is the same object, or an equal plain value). `queue` null: the
  // posting thread. The registration lasts until removeObserver(token) or removal by
  // removeObserverNameObject with the token as owner; dropping the token does not remove it.
  ObserverToken addObserverForNameObjectQueueUsingBlock(const std::string& name,
                                                        const Value& object,
                                                        const DispatchQueueRef& queue,
                                                        Block block);

  // Target-style observer: `selector` is called for matching posts while `observer` is alive;
  // once it is gone, the registration is dropped. Remove with removeObserver(observer.get())
  // (also from the observer's destructor).
  template <class T>
  void addObserverSelectorNameObject(const std::shared_ptr<T>& observer, Block selector,
                                     const std::string& name, const Value& object) {
    addOwnedObserver(static_cast<const void*>(observer.get()), std::weak_ptr<const void>(observer),
                     std::move(selector), name, object);
  }

  // Removes the block observer behind `token`. Unknown tokens are ignored.
  void removeObserver(const ObserverToken& token);
  // Removes every target-style registration of `observer` (compared by address).
  void removeObserver(const void* observer);
  // Removes registrations of `observer` for `name` (empty: any) and `object` (nil: any).
  void removeObserverNameObject(const void* observer, const std::string& name,
                                const Value& object);

  void postNotification(const NSNotification& note);
  void postNotificationNameObject(const std::string& name, const Value& object);
  void postNotificationNameObjectUserInfo(const std::string& name, const Value& object,
                                          const Value& userInfo);

 private:
  struct Entry;
  void addOwnedObserver(const void* key, std::weak_ptr<const void> owner, Block selector,
                        const std::string& name, const Value& object);

  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace plat
