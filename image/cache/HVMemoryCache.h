#pragma once
// HVMemoryCache: a thread-safe in-memory key-value cache with least-recently-used eviction,
// bounded by an object count, a total cost and an age. A background trim runs every
// autoTrimInterval seconds; the cache empties itself on a memory warning and on entering the
// background (both switchable).
//
// Thread-safety: has internal synchronization and may be used from any thread. Removed values
// are let go after the lock is released, by default on a low-priority background queue.
//
// Keys are texts (the empty key means "no key": lookups give nil/false, stores do nothing);
// values are plat::Value (a nil value removes the key).

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

// One entry of the LRU list.
struct _HVLinkedMapNode {
  _HVLinkedMapNode* _prev = nullptr;  // towards the head (more recently used)
  _HVLinkedMapNode* _next = nullptr;  // towards the tail (less recently used)
  std::string _key;
  plat::Value _value;
  uint64_t _cost = 0;
  double _time = 0;  // media time of the last store or read
};

// The LRU structure: a doubly linked list plus a hash table that owns the nodes. It has no
// lock of its own: its owner locks.
class _HVLinkedMap {
 public:
  using NodePtr = std::unique_ptr<_HVLinkedMapNode>;
  using Table = std::unordered_map<std::string, NodePtr>;

  _HVLinkedMap() = default;
  _HVLinkedMap(const _HVLinkedMap&) = delete;
  _HVLinkedMap& operator=(const _HVLinkedMap&) = delete;

  // REQUIRES: no node with the same key is in the map.
  void insertNodeAtHead(NodePtr node);
  void bringNodeToHead(_HVLinkedMapNode* node);
  // Unlinks the node and hands it back, so the caller decides where its value dies.
  NodePtr removeNode(_HVLinkedMapNode* node);
  // nullptr when empty.
  NodePtr removeTailNode();
  // Empties the map and hands back the old table (nullptr when it was empty).
  std::unique_ptr<Table> removeAll();

  _HVLinkedMapNode* find(const std::string& key) const;

  std::unique_ptr<Table> _dic = std::make_unique<Table>();
  uint64_t _totalCost = 0;
  uint64_t _totalCount = 0;
  _HVLinkedMapNode* _head = nullptr;
  _HVLinkedMapNode* _tail = nullptr;
  bool _releaseOnMainThread = false;
  bool _releaseAsynchronously = true;
};

class HVMemoryCache : public plat::Object {
 public:
  using CacheBlock = std::function<void(HVMemoryCache& cache)>;

  // A new cache with no limits, auto trim every 5 s, observing the application's memory
  // warning and background notifications.
  static std::shared_ptr<HVMemoryCache> create();
  ~HVMemoryCache() override;

  std::string className() const override { return "HVMemoryCache"; }
  // "<HVMemoryCache: 0x...> (name)" or "<HVMemoryCache: 0x...>" without a name.
  std::string description() const override;

  std::string name() const;
  void setName(const std::string& name);

  uint64_t totalCount() const;
  uint64_t totalCost() const;

  // Limits may be changed at any time from any thread; stores and trims read them.
  uint64_t countLimit() const { return countLimit_.load(); }
  void setCountLimit(uint64_t v) { countLimit_.store(v); }
  uint64_t costLimit() const { return costLimit_.load(); }
  void setCostLimit(uint64_t v) { costLimit_.store(v); }
  double ageLimit() const { return ageLimit_.load(); }
  void setAgeLimit(double v) { ageLimit_.store(v); }
  // Seconds between background trims, read before each round. An interval below 1 s, or NaN,
  // trims every second (a period of 0 would spin); one above 1e9 s waits 1e9 s.
  double autoTrimInterval() const { return autoTrimInterval_.load(); }
  void setAutoTrimInterval(double v) { autoTrimInterval_.store(v); }

  bool shouldRemoveAllObjectsOnMemoryWarning() const { return removeOnWarning_.load(); }
  void setShouldRemoveAllObjectsOnMemoryWarning(bool v) { removeOnWarning_.store(v); }
  bool shouldRemoveAllObjectsWhenEnteringBackground() const { return removeOnBackground_.load(); }
  void setShouldRemoveAllObjectsWhenEnteringBackground(bool v) { removeOnBackground_.store(v); }

  CacheBlock didReceiveMemoryWarningBlock() const;
  void setDidReceiveMemoryWarningBlock(CacheBlock block);
  CacheBlock didEnterBackgroundBlock() const;
  void setDidEnterBackgroundBlock(CacheBlock block);

  // Where removed values die: on the main queue, and/or off the caller's thread.
  bool releaseOnMainThread() const;
  void setReleaseOnMainThread(bool v);
  bool releaseAsynchronously() const;
  void setReleaseAsynchronously(bool v);

  // Does not refresh the entry.
  bool containsObjectForKey(const std::string& key) const;
  // Refreshes the entry's time and order on a hit. Nil when absent.
  plat::Value objectForKey(const std::string& key);
  void setObjectForKey(const plat::Value& object, const std::string& key);
  void setObjectForKeyWithCost(const plat::Value& object, const std::string& key, uint64_t cost);
  void removeObjectForKey(const std::string& key);
  void removeAllObjects();

  // Trims on the caller's thread. 0 empties the cache (any age at or below 0 too); an age of
  // NaN trims nothing.
  void trimToCount(uint64_t count);
  void trimToCost(uint64_t cost);
  void trimToAge(double age);

  // Walks the list and the table under the lock and checks that they agree with each other
  // and with the totals. For tests.
  bool linkedMapIsConsistentForTesting() const;

 private:
  HVMemoryCache();
  struct Garbage;
  void releaseLater(std::shared_ptr<void> holder, bool fromTrim, bool mainFlag, bool asyncFlag);
  void trimWhile(const std::function<bool()>& overLimit);
  void trimRecursively();
  void trimInBackground();
  void appDidReceiveMemoryWarning();
  void appDidEnterBackground();

  mutable std::mutex lock_;
  _HVLinkedMap lru_;
  plat::DispatchQueueRef queue_;
  std::atomic<bool> removeOnWarning_{true};
  std::atomic<bool> removeOnBackground_{true};
  std::atomic<uint64_t> countLimit_{std::numeric_limits<uint64_t>::max()};
  std::atomic<uint64_t> costLimit_{std::numeric_limits<uint64_t>::max()};
  std::atomic<double> ageLimit_{std::numeric_limits<double>::max()};
  std::atomic<double> autoTrimInterval_{5.0};
  mutable std::mutex fieldsLock_;  // guards name_ and the blocks
  std::string name_;
  CacheBlock warningBlock_;
  CacheBlock backgroundBlock_;
  std::vector<plat::NSNotificationCenter::ObserverToken> observers_;
};
