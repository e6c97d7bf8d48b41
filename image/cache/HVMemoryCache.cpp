#include "image/cache/HVMemoryCache.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/uikit/UIApplication.h"

// ---- _HVLinkedMap ----

_HVLinkedMapNode* _HVLinkedMap::find(const std::string& key) const {
  auto it = _dic->find(key);
  return it == _dic->end() ? nullptr : it->second.get();
}

void _HVLinkedMap::insertNodeAtHead(NodePtr owned) {
  _HVLinkedMapNode* node = owned.get();
  _totalCost += node->_cost;
  _totalCount++;
  node->_prev = nullptr;
  if (_head) {
    node->_next = _head;
    _head->_prev = node;
    _head = node;
  } else {
    node->_next = nullptr;
    _head = _tail = node;
  }
  std::string key = node->_key;
  (*_dic)[std::move(key)] = std::move(owned);
}

void _HVLinkedMap::bringNodeToHead(_HVLinkedMapNode* node) {
  if (_head == node) return;
  if (_tail == node) {
    _tail = node->_prev;
    _tail->_next = nullptr;
  } else {
    node->_next->_prev = node->_prev;
    node->_prev->_next = node->_next;
  }
  node->_next = _head;
  node->_prev = nullptr;
  _head->_prev = node;
  _head = node;
}

_HVLinkedMap::NodePtr _HVLinkedMap::removeNode(_HVLinkedMapNode* node) {
  auto it = _dic->find(node->_key);
  if (it == _dic->end() || it->second.get() != node) return nullptr;
  NodePtr owned = std::move(it->second);
  _dic->erase(it);
  _totalCost -= node->_cost;
  _totalCount--;
  if (node->_next) node->_next->_prev = node->_prev;
  if (node->_prev) node->_prev->_next = node->_next;
  if (_head == node) _head = node->_next;
  if (_tail == node) _tail = node->_prev;
  node->_prev = node->_next = nullptr;
  return owned;
}

_HVLinkedMap::NodePtr _HVLinkedMap::removeTailNode() {
  if (!_tail) return nullptr;
  return removeNode(_tail);
}

std::unique_ptr<_HVLinkedMap::Table> _HVLinkedMap::removeAll() {
  _totalCost = 0;
  _totalCount = 0;
  _head = _tail = nullptr;
  if (_dic->empty()) return nullptr;
  auto old = std::move(_dic);
  _dic = std::make_unique<Table>();
  return old;
}

// ---- HVMemoryCache ----

namespace {
const char* const kQueueLabel = "com.orvane.cache.memory";

// The background trim's period: at least 1 s (0, negative or NaN would spin), at most 1e9 s
// (longer waits are never scheduled, which would end the trim for good).
double trimPeriod(double interval) {
  if (!(interval >= 1.0)) return 1.0;
  return std::min(interval, 1e9);
}
}  // namespace

HVMemoryCache::HVMemoryCache() : queue_(plat::dispatch_queue_create(kQueueLabel)) {}

std::shared_ptr<HVMemoryCache> HVMemoryCache::create() {
  std::shared_ptr<HVMemoryCache> cache(new HVMemoryCache());
  std::weak_ptr<HVMemoryCache> weak = cache;
  auto& center = plat::NSNotificationCenter::defaultCenter();
  cache->observers_.push_back(center.addObserverForNameObjectQueueUsingBlock(
      plat::UIApplicationDidReceiveMemoryWarningNotification, plat::Value(), nullptr,
      [weak](const plat::NSNotification&) {
        if (auto self = weak.lock()) self->appDidReceiveMemoryWarning();
      }));
  cache->observers_.push_back(center.addObserverForNameObjectQueueUsingBlock(
      plat::UIApplicationDidEnterBackgroundNotification, plat::Value(), nullptr,
      [weak](const plat::NSNotification&) {
        if (auto self = weak.lock()) self->appDidEnterBackground();
      }));
  cache->trimRecursively();
  return cache;
}

HVMemoryCache::~HVMemoryCache() {
  auto& center = plat::NSNotificationCenter::defaultCenter();
  for (auto& token : observers_) center.removeObserver(token);
  // The map's nodes die with the cache, on this thread.
}

std::string HVMemoryCache::description() const {
  std::string n = name();
  if (!n.empty()) return plat::format("<%@: %p> (%@)", className(), this, n);
  return plat::format("<%@: %p>", className(), this);
}

std::string HVMemoryCache::name() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return name_;
}
void HVMemoryCache::setName(const std::string& name) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  name_ = name;
}
HVMemoryCache::CacheBlock HVMemoryCache::didReceiveMemoryWarningBlock() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return warningBlock_;
}
void HVMemoryCache::setDidReceiveMemoryWarningBlock(CacheBlock block) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  warningBlock_ = std::move(block);
}
HVMemoryCache::CacheBlock HVMemoryCache::didEnterBackgroundBlock() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return backgroundBlock_;
}
void HVMemoryCache::setDidEnterBackgroundBlock(CacheBlock block) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  backgroundBlock_ = std::move(block);
}

uint64_t HVMemoryCache::totalCount() const {
  std::lock_guard<std::mutex> g(lock_);
  return lru_._totalCount;
}
uint64_t HVMemoryCache::totalCost() const {
  std::lock_guard<std::mutex> g(lock_);
  return lru_._totalCost;
}
bool HVMemoryCache::releaseOnMainThread() const {
  std::lock_guard<std::mutex> g(lock_);
  return lru_._releaseOnMainThread;
}
void HVMemoryCache::setReleaseOnMainThread(bool v) {
  std::lock_guard<std::mutex> g(lock_);
  lru_._releaseOnMainThread = v;
}
bool HVMemoryCache::releaseAsynchronously() const {
  std::lock_guard<std::mutex> g(lock_);
  return lru_._releaseAsynchronously;
}
void HVMemoryCache::setReleaseAsynchronously(bool v) {
  std::lock_guard<std::mutex> g(lock_);
  lru_._releaseAsynchronously = v;
}

// Lets go of removed nodes: asynchronously on the main or a low-priority queue, on the main
// queue when the caller is elsewhere and values must die on the main thread, else right here.
// Trims always hand off (main queue or low-priority queue). Called after unlocking.
void HVMemoryCache::releaseLater(std::shared_ptr<void> holder, bool fromTrim, bool mainFlag,
                                 bool asyncFlag) {
  if (!holder) return;
  auto block = [h = std::move(holder)]() mutable { h.reset(); };
  if (asyncFlag || fromTrim) {
    auto q = mainFlag ? plat::dispatch_get_main_queue()
                      : plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_LOW);
    plat::dispatch_async(q, std::move(block));
  } else if (mainFlag && !plat::dispatch_is_main_thread()) {
    plat::dispatch_async(plat::dispatch_get_main_queue(), std::move(block));
  } else {
    block();
  }
}

bool HVMemoryCache::containsObjectForKey(const std::string& key) const {
  if (key.empty()) return false;
  std::lock_guard<std::mutex> g(lock_);
  return lru_.find(key) != nullptr;
}

plat::Value HVMemoryCache::objectForKey(const std::string& key) {
  if (key.empty()) return plat::Value();
  std::lock_guard<std::mutex> g(lock_);
  _HVLinkedMapNode* node = lru_.find(key);
  if (!node) return plat::Value();
  node->_time = plat::Clock::nowSeconds();
  lru_.bringNodeToHead(node);
  return node->_value;
}

void HVMemoryCache::setObjectForKey(const plat::Value& object, const std::string& key) {
  setObjectForKeyWithCost(object, key, 0);
}

void HVMemoryCache::setObjectForKeyWithCost(const plat::Value& object, const std::string& key,
                                            uint64_t cost) {
  if (key.empty()) return;
  if (object.isNil()) {
    removeObjectForKey(key);
    return;
  }
  std::shared_ptr<void> garbage;
  plat::Value replaced;  // dies after unlocking, on this thread
  bool mainFlag, asyncFlag;
  {
    std::lock_guard<std::mutex> g(lock_);
    double now = plat::Clock::nowSeconds();
    if (_HVLinkedMapNode* node = lru_.find(key)) {
      lru_._totalCost -= node->_cost;
      lru_._totalCost += cost;
      node->_cost = cost;
      node->_time = now;
      replaced = std::move(node->_value);
      node->_value = object;
      lru_.bringNodeToHead(node);
    } else {
      auto fresh = std::make_unique<_HVLinkedMapNode>();
      fresh->_cost = cost;
      fresh->_time = now;
      fresh->_key = key;
      fresh->_value = object;
      lru_.insertNodeAtHead(std::move(fresh));
    }
    if (lru_._totalCost > costLimit_.load()) {
      std::weak_ptr<HVMemoryCache> weak =
          std::static_pointer_cast<HVMemoryCache>(shared_from_this());
      plat::dispatch_async(queue_, [weak] {
        if (auto self = weak.lock()) self->trimToCost(self->costLimit());
      });
    }
    mainFlag = lru_._releaseOnMainThread;
    asyncFlag = lru_._releaseAsynchronously;
    if (lru_._totalCount > countLimit_.load()) {
      garbage = std::shared_ptr<_HVLinkedMapNode>(lru_.removeTailNode().release());
    }
  }
  releaseLater(std::move(garbage), false, mainFlag, asyncFlag);
}

void HVMemoryCache::removeObjectForKey(const std::string& key) {
  if (key.empty()) return;
  std::shared_ptr<void> garbage;
  bool mainFlag, asyncFlag;
  {
    std::lock_guard<std::mutex> g(lock_);
    _HVLinkedMapNode* node = lru_.find(key);
    if (!node) return;
    garbage = std::shared_ptr<_HVLinkedMapNode>(lru_.removeNode(node).release());
    mainFlag = lru_._releaseOnMainThread;
    asyncFlag = lru_._releaseAsynchronously;
  }
  releaseLater(std::move(garbage), false, mainFlag, asyncFlag);
}

void HVMemoryCache::removeAllObjects() {
  std::shared_ptr<void> garbage;
  bool mainFlag, asyncFlag;
  {
    std::lock_guard<std::mutex> g(lock_);
    garbage = std::shared_ptr<_HVLinkedMap::Table>(lru_.removeAll().release());
    mainFlag = lru_._releaseOnMainThread;
    asyncFlag = lru_._releaseAsynchronously;
  }
  releaseLater(std::move(garbage), false, mainFlag, asyncFlag);
}

// Removes tail nodes while overLimit() holds, taking the lock one node at a time (try-lock
// with a 10 ms back-off) so that readers and writers interleave with a long trim.
void HVMemoryCache::trimWhile(const std::function<bool()>& overLimit) {
  auto holder = std::make_shared<std::vector<_HVLinkedMap::NodePtr>>();
  bool mainFlag = false;
  bool done = false;
  while (!done) {
    if (lock_.try_lock()) {
      if (overLimit() && lru_._tail) {
        holder->push_back(lru_.removeTailNode());
      } else {
        done = true;
      }
      mainFlag = lru_._releaseOnMainThread;
      lock_.unlock();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(10000));
    }
  }
  if (!holder->empty()) releaseLater(std::move(holder), true, mainFlag, true);
}

void HVMemoryCache::trimToCount(uint64_t count) {
  if (count == 0) {
    removeAllObjects();
    return;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    if (lru_._totalCount <= count) return;
  }
  trimWhile([this, count] { return lru_._totalCount > count; });
}

void HVMemoryCache::trimToCost(uint64_t cost) {
  if (cost == 0) {
    removeAllObjects();
    return;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    if (lru_._totalCost <= cost) return;
  }
  trimWhile([this, cost] { return lru_._totalCost > cost; });
}

void HVMemoryCache::trimToAge(double age) {
  if (std::isnan(age)) return;
  double now = plat::Clock::nowSeconds();
  if (age <= 0) {
    removeAllObjects();
    return;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!lru_._tail || now - lru_._tail->_time <= age) return;
  }
  trimWhile([this, now, age] { return lru_._tail && now - lru_._tail->_time > age; });
}

void HVMemoryCache::trimRecursively() {
  std::weak_ptr<HVMemoryCache> weak = std::static_pointer_cast<HVMemoryCache>(shared_from_this());
  plat::dispatch_after(trimPeriod(autoTrimInterval()),
                       plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_LOW), [weak] {
                         auto self = weak.lock();
                         if (!self) return;
                         self->trimInBackground();
                         self->trimRecursively();
                       });
}

void HVMemoryCache::trimInBackground() {
  std::weak_ptr<HVMemoryCache> weak = std::static_pointer_cast<HVMemoryCache>(shared_from_this());
  plat::dispatch_async(queue_, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->trimToCost(self->costLimit());
    self->trimToCount(self->countLimit());
    self->trimToAge(self->ageLimit());
  });
}

void HVMemoryCache::appDidReceiveMemoryWarning() {
  if (auto block = didReceiveMemoryWarningBlock()) block(*this);
  if (shouldRemoveAllObjectsOnMemoryWarning()) removeAllObjects();
}

void HVMemoryCache::appDidEnterBackground() {
  if (auto block = didEnterBackgroundBlock()) block(*this);
  if (shouldRemoveAllObjectsWhenEnteringBackground()) removeAllObjects();
}

bool HVMemoryCache::linkedMapIsConsistentForTesting() const {
  std::lock_guard<std::mutex> g(lock_);
  if ((lru_._head == nullptr) != (lru_._tail == nullptr)) return false;
  if (lru_._head && lru_._head->_prev) return false;
  if (lru_._tail && lru_._tail->_next) return false;
  uint64_t count = 0, cost = 0;
  const _HVLinkedMapNode* prev = nullptr;
  for (auto* n = lru_._head; n; n = n->_next) {
    if (n->_prev != prev || lru_.find(n->_key) != n) return false;
    count++;
    cost += n->_cost;
    prev = n;
    if (count > lru_._dic->size()) return false;
  }
  return prev == lru_._tail && count == lru_._dic->size() && count == lru_._totalCount &&
         cost == lru_._totalCost;
}
