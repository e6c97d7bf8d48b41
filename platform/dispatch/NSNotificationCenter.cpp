#include "platform/dispatch/NSNotificationCenter.h"

#include <algorithm>

namespace plat {

struct NSNotificationCenter::Entry : NSNotificationCenter::Observer {
  std::string name;  // empty: any
  Value object;      // nil: any
  DispatchQueueRef queue;
  Block block;
  // Target-style registrations: the owner's address and liveness.
  const void* ownerKey = nullptr;
  std::weak_ptr<const void> owner;
  bool hasOwner = false;
  bool registered = true;  // guarded by the centre's mutex
};

namespace {

bool objectMatches(const Value& filter, const Value& posted) {
  if (filter.isNil()) return true;
  if (filter.isObject()) return filter.isIdenticalTo(posted);
  return filter == posted;
}

}  // namespace

NSNotificationCenter::NSNotificationCenter() = default;
NSNotificationCenter::~NSNotificationCenter() = default;

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
  static NSNotificationCenter* c = new NSNotificationCenter;
  return *c;
}

void NSNotificationCenter::resetForTesting() {
  NSNotificationCenter& c = defaultCenter();
  std::vector<std::shared_ptr<Entry>> old;
  {
    std::lock_guard<std::mutex> lock(c.mu_);
    for (auto& e : c.entries_) e->registered = false;
    old.swap(c.entries_);
  }
}

NSNotificationCenter::ObserverToken NSNotificationCenter::addObserverForNameObjectQueueUsingBlock(
    const std::string& name, const Value& object, const DispatchQueueRef& queue, Block block) {
  auto e = std::make_shared<Entry>();
  e->name = name;
  e->object = object;
  e->queue = queue;
  e->block = std::move(block);
  std::lock_guard<std::mutex> lock(mu_);
  entries_.push_back(e);
  return e;
}

void NSNotificationCenter::addOwnedObserver(const void* key, std::weak_ptr<const void> owner,
                                            Block selector, const std::string& name,
                                            const Value& object) {
  if (!key || !selector) return;
  auto e = std::make_shared<Entry>();
  e->name = name;
  e->object = object;
  e->block = std::move(selector);
  e->ownerKey = key;
  e->owner = std::move(owner);
  e->hasOwner = true;
  std::lock_guard<std::mutex> lock(mu_);
  entries_.push_back(e);
}

void NSNotificationCenter::removeObserver(const ObserverToken& token) {
  if (!token) return;
  std::vector<std::shared_ptr<Entry>> removed;  // released outside the lock
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->get() == token.get()) {
      (*it)->registered = false;
      removed.push_back(*it);
      entries_.erase(it);
      return;
    }
  }
}

void NSNotificationCenter::removeObserver(const void* observer) {
  removeObserverNameObject(observer, std::string(), Value());
}

void NSNotificationCenter::removeObserverNameObject(const void* observer, const std::string& name,
                                                    const Value& object) {
  if (!observer) return;
  std::vector<std::shared_ptr<Entry>> removed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto keep = std::stable_partition(entries_.begin(), entries_.end(), [&](const auto& e) {
      // A token passed as an owner removes its own block registration.
      bool mine = e->hasOwner ? e->ownerKey == observer : static_cast<const void*>(e.get()) == observer;
      if (!mine) return true;
      if (!name.empty() && e->name != name) return true;
      if (!object.isNil() && !objectMatches(object, e->object)) return true;
      return false;
    });
    for (auto it = keep; it != entries_.end(); ++it) (*it)->registered = false;
    removed.assign(std::make_move_iterator(keep), std::make_move_iterator(entries_.end()));
    entries_.erase(keep, entries_.end());
  }
}

void NSNotificationCenter::postNotification(const NSNotification& note) {
  std::vector<std::shared_ptr<Entry>> snapshot;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& e : entries_) {
      if ((e->name.empty() || e->name == note.name) && objectMatches(e->object, note.object)) {
        snapshot.push_back(e);
      }
    }
  }
  for (auto& e : snapshot) {
    Block block;
    std::shared_ptr<const void> ownerAlive;
    bool expired = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!e->registered) continue;
      if (e->hasOwner) {
        ownerAlive = e->owner.lock();
        expired = !ownerAlive;
      }
      if (!expired) block = e->block;
    }
    if (expired) {
      // The observer is gone: drop its registration instead of calling into freed memory.
      std::lock_guard<std::mutex> lock(mu_);
      e->registered = false;
      entries_.erase(std::remove(entries_.begin(), entries_.end(), e), entries_.end());
      continue;
    }
    if (!block) continue;
    if (!e->queue || (e->queue->isMain() && dispatch_is_main_thread())) {
      block(note);
    } else {
      dispatch_async(e->queue, [block = std::move(block), note] { block(note); });
    }
  }
}

void NSNotificationCenter::postNotificationNameObject(const std::string& name,
                                                      const Value& object) {
  postNotification(NSNotification{name, object, Value()});
}

void NSNotificationCenter::postNotificationNameObjectUserInfo(const std::string& name,
                                                              const Value& object,
                                                              const Value& userInfo) {
  postNotification(NSNotification{name, object, userInfo});
}

}  // namespace plat
