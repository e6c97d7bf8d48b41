#include "image/cache/HVDiskCache.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unordered_map>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/FileSystemFreeSize.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSException.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/runtime/AssociatedObjects.h"
#include "platform/security/CommonCrypto.h"
#include "platform/uikit/UIApplication.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
const char* const kQueueLabel = "com.orvane.cache.disk";
const char kExtendedDataKey = 0;  // its address is the association key

// The process-wide table of live caches by path. Lookup, creation and registration happen
// under one hold of its lock, so two callers never build two storages on one folder.
std::mutex& instanceLock() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::unordered_map<std::string, std::weak_ptr<HVDiskCache>>& instances() {
  static auto* t = new std::unordered_map<std::string, std::weak_ptr<HVDiskCache>>();
  return *t;
}

// The key of a folder in the instance table: its absolute path with ".", ".." and symbolic
// links resolved and no trailing separator, so that every spelling of one folder finds the
// same cache (two storages on one manifest would fight over its lock).
std::string canonicalFolder(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) p = fs::absolute(path, ec).lexically_normal();
  std::string s = p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

HVStorageMode modeForThreshold(uint64_t threshold) {
  if (threshold == 0) return HVStorageModeFiles;
  if (threshold == std::numeric_limits<uint64_t>::max()) return HVStorageModeSQLite;
  return HVStorageModeMixed;
}

// The background trim's period: at least 1 s (0, negative or NaN would spin), at most 1e9 s
// (longer waits are never scheduled, which would end the trim for good).
double trimPeriod(double interval) {
  if (!(interval >= 1.0)) return 1.0;
  return std::min(interval, 1e9);
}

int64_t unixNow() {
  return static_cast<int64_t>(plat::Clock::current()->date().timeIntervalSince1970());
}

// Holds the cache's semaphore for a scope.
class SemaphoreHold {
 public:
  explicit SemaphoreHold(const plat::DispatchSemaphoreRef& s) : s_(s) {
    plat::dispatch_semaphore_wait(s_, plat::DISPATCH_TIME_FOREVER);
  }
  ~SemaphoreHold() { plat::dispatch_semaphore_signal(s_); }

 private:
  const plat::DispatchSemaphoreRef& s_;
};

}  // namespace

std::shared_ptr<HVDiskCache> HVDiskCache::init() {
  throw plat::NSException("HVDiskCache init error",
                          "HVDiskCache must be initialized with a path. Use 'initWithPath:' or "
                          "'initWithPath:inlineThreshold:' instead.");
}

std::shared_ptr<HVDiskCache> HVDiskCache::initWithPath(const std::string& path) {
  return initWithPathInlineThreshold(path, kDefaultInlineThreshold);
}

std::shared_ptr<HVDiskCache> HVDiskCache::initWithPathInlineThreshold(const std::string& path,
                                                                      uint64_t threshold) {
  std::unique_lock<std::mutex> table(instanceLock(), std::defer_lock);
  std::string folder;
  if (!path.empty() && path.find('\0') == std::string::npos) {
    folder = canonicalFolder(path);
    table.lock();
    auto it = instances().find(folder);
    if (it != instances().end()) {
      if (auto live = it->second.lock()) return live;
    }
  }
  auto kv = HVKVStorage::initWithPathType(path, modeForThreshold(threshold));
  if (!kv) return nullptr;
  std::shared_ptr<HVDiskCache> cache(new HVDiskCache());
  cache->kv_ = std::move(kv);
  cache->lock_ = plat::dispatch_semaphore_create(1);
  cache->queue_ = plat::dispatch_queue_create(kQueueLabel, plat::DISPATCH_QUEUE_CONCURRENT);
  cache->path_ = path;
  cache->inlineThreshold_ = threshold;
  cache->trimRecursively();
  cache->folderKey_ = folder;
  if (!folder.empty()) instances()[folder] = cache;
  if (table.owns_lock()) table.unlock();
  std::weak_ptr<HVDiskCache> weak = cache;
  cache->terminateObserver_ =
      plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
          plat::UIApplicationWillTerminateNotification, plat::Value(), nullptr,
          [weak](const plat::NSNotification&) {
            if (auto self = weak.lock()) self->appWillTerminate();
          });
  return cache;
}

HVDiskCache::~HVDiskCache() {
  if (terminateObserver_) {
    plat::NSNotificationCenter::defaultCenter().removeObserver(terminateObserver_);
  }
  if (!folderKey_.empty()) {
    std::lock_guard<std::mutex> g(instanceLock());
    auto it = instances().find(folderKey_);
    if (it != instances().end() && it->second.expired()) instances().erase(it);
  }
}

std::weak_ptr<HVDiskCache> HVDiskCache::weakSelf() {
  return std::static_pointer_cast<HVDiskCache>(shared_from_this());
}

std::string HVDiskCache::description() const {
  std::string n = name();
  if (!n.empty()) return plat::format("<%@: %p> (%@:%@)", className(), this, n, path_);
  return plat::format("<%@: %p> (%@)", className(), this, path_);
}

std::string HVDiskCache::name() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return name_;
}
void HVDiskCache::setName(const std::string& name) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  name_ = name;
}
HVDiskCache::ArchiveBlock HVDiskCache::customArchiveBlock() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return archiveBlock_;
}
HVDiskCache::UnarchiveBlock HVDiskCache::customUnarchiveBlock() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return unarchiveBlock_;
}
HVDiskCache::FileNameBlock HVDiskCache::customFileNameBlock() const {
  std::lock_guard<std::mutex> g(fieldsLock_);
  return fileNameBlock_;
}
void HVDiskCache::setCustomArchiveBlock(ArchiveBlock block) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  archiveBlock_ = std::move(block);
}
void HVDiskCache::setCustomUnarchiveBlock(UnarchiveBlock block) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  unarchiveBlock_ = std::move(block);
}
void HVDiskCache::setCustomFileNameBlock(FileNameBlock block) {
  std::lock_guard<std::mutex> g(fieldsLock_);
  fileNameBlock_ = std::move(block);
}

bool HVDiskCache::errorLogsEnabled() const {
  SemaphoreHold hold(lock_);
  return kv_ ? kv_->errorLogsEnabled() : false;
}
void HVDiskCache::setErrorLogsEnabled(bool v) {
  SemaphoreHold hold(lock_);
  if (kv_) kv_->setErrorLogsEnabled(v);
}

std::string HVDiskCache::filenameForKey(const std::string& key) const {
  if (key.empty()) return std::string();
  FileNameBlock block = customFileNameBlock();
  if (block) {
    std::string name = block(key);
    if (!name.empty()) return name;
  }
  unsigned char md[plat::CC_MD5_DIGEST_LENGTH];
  plat::CC_MD5(key.data(), key.size(), md);
  char hex[33];
  for (int i = 0; i < 16; i++) std::snprintf(hex + 2 * i, 3, "%02x", md[i]);
  return std::string(hex, 32);
}

// ---- synchronous ----

bool HVDiskCache::containsObjectForKey(const std::string& key) {
  if (key.empty()) return false;
  SemaphoreHold hold(lock_);
  return kv_ && kv_->itemExistsForKey(key);
}

plat::Value HVDiskCache::objectForKey(const std::string& key) {
  if (key.empty()) return plat::Value();
  HVKVStorageItemRef item;
  {
    SemaphoreHold hold(lock_);
    if (kv_) item = kv_->getItemForKey(key);
  }
  if (!item || item->value.empty()) return plat::Value();
  UnarchiveBlock block = customUnarchiveBlock();
  plat::Value object;
  try {
    object =
        block ? block(item->value) : plat::NSKeyedUnarchiver::unarchiveObjectWithData(item->value);
  } catch (...) {
    return plat::Value();
  }
  if (!object.isNil() && !item->extendedData.empty()) {
    setExtendedDataToObject(item->extendedData, object);
  }
  return object;
}

void HVDiskCache::setObjectForKey(const plat::Value& object, const std::string& key) {
  if (key.empty()) return;
  if (object.isNil()) {
    removeObjectForKey(key);
    return;
  }
  plat::Data extended = getExtendedDataFromObject(object);
  ArchiveBlock block = customArchiveBlock();
  plat::Data value;
  try {
    value = block ? block(object) : plat::NSKeyedArchiver::archivedDataWithRootObject(object);
  } catch (...) {
    return;
  }
  setArchivedDataForKey(value, extended, key);
}

void HVDiskCache::setArchivedDataForKey(const plat::Data& value, const plat::Data& extended,
                                        const std::string& key) {
  if (key.empty() || value.empty()) return;
  std::string filename;
  if (modeForThreshold(inlineThreshold_) != HVStorageModeSQLite &&
      value.length() > inlineThreshold_) {
    filename = filenameForKey(key);
  }
  SemaphoreHold hold(lock_);
  if (kv_) kv_->saveItemWithKeyValueFilenameExtendedData(key, value, filename, extended);
}

void HVDiskCache::removeObjectForKey(const std::string& key) {
  if (key.empty()) return;
  SemaphoreHold hold(lock_);
  if (kv_) kv_->removeItemForKey(key);
}

void HVDiskCache::removeAllObjects() {
  SemaphoreHold hold(lock_);
  if (kv_) kv_->removeAllItems();
}

int64_t HVDiskCache::totalCount() {
  SemaphoreHold hold(lock_);
  return kv_ ? kv_->getItemsCount() : 0;
}

int64_t HVDiskCache::totalCost() {
  SemaphoreHold hold(lock_);
  return kv_ ? kv_->getItemsSize() : 0;
}

void HVDiskCache::trimToCount(uint64_t count) {
  SemaphoreHold hold(lock_);
  trimToCountLocked(count);
}
void HVDiskCache::trimToCost(uint64_t cost) {
  SemaphoreHold hold(lock_);
  trimToCostLocked(cost);
}
void HVDiskCache::trimToAge(double age) {
  SemaphoreHold hold(lock_);
  trimToAgeLocked(age);
}

// ---- trims (lock held) ----

// Sizes and counts are 64-bit: every limit below the storage's largest value applies.
void HVDiskCache::trimToCostLocked(uint64_t cost) {
  if (!kv_ || cost >= static_cast<uint64_t>(kInt64Max)) return;
  kv_->removeItemsToFitSize(static_cast<int64_t>(cost));
}

void HVDiskCache::trimToCountLocked(uint64_t count) {
  if (!kv_ || count >= static_cast<uint64_t>(kInt64Max)) return;
  kv_->removeItemsToFitCount(static_cast<int64_t>(count));
}

void HVDiskCache::trimToAgeLocked(double age) {
  if (!kv_ || std::isnan(age)) return;
  if (age <= 0) {
    kv_->removeAllItems();
    return;
  }
  // Times are 64-bit seconds: the trim goes on past 2038.
  int64_t now = unixNow();
  if (now <= age) return;
  double since = static_cast<double>(now) - age;
  if (since >= static_cast<double>(kInt64Max)) return;
  kv_->removeItemsEarlierThanTime(static_cast<int64_t>(since));
}

void HVDiskCache::trimToFreeDiskSpaceLocked(uint64_t limit) {
  if (!kv_ || limit == 0) return;
  int64_t total = kv_->getItemsSize();
  if (total <= 0) return;
  int64_t free = plat::NSFileSystemFreeSize(plat::NSHomeDirectory());
  if (free < 0) return;
  if (limit <= static_cast<uint64_t>(free)) return;
  uint64_t need = limit - static_cast<uint64_t>(free);
  uint64_t target = need >= static_cast<uint64_t>(total) ? 0 : static_cast<uint64_t>(total) - need;
  trimToCostLocked(target);
}

void HVDiskCache::trimRecursively() {
  auto weak = weakSelf();
  plat::dispatch_after(trimPeriod(autoTrimInterval()),
                       plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_LOW), [weak] {
                         auto self = weak.lock();
                         if (!self) return;
                         self->trimInBackground();
                         self->trimRecursively();
                       });
}

void HVDiskCache::trimInBackground() {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak] {
    auto self = weak.lock();
    if (!self) return;
    SemaphoreHold hold(self->lock_);
    self->trimToCostLocked(self->costLimit());
    self->trimToCountLocked(self->countLimit());
    self->trimToAgeLocked(self->ageLimit());
    self->trimToFreeDiskSpaceLocked(self->freeDiskSpaceLimit());
  });
}

void HVDiskCache::appWillTerminate() {
  std::shared_ptr<HVKVStorage> old;
  {
    SemaphoreHold hold(lock_);
    old = std::move(kv_);
  }
}

// ---- asynchronous ----

void HVDiskCache::containsObjectForKeyWithBlock(
    const std::string& key, std::function<void(const std::string&, bool)> block) {
  if (!block) return;
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, key, block = std::move(block)] {
    auto self = weak.lock();
    block(key, self ? self->containsObjectForKey(key) : false);
  });
}

void HVDiskCache::objectForKeyWithBlock(
    const std::string& key, std::function<void(const std::string&, const plat::Value&)> block) {
  if (!block) return;
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, key, block = std::move(block)] {
    auto self = weak.lock();
    block(key, self ? self->objectForKey(key) : plat::Value());
  });
}

void HVDiskCache::setObjectForKeyWithBlock(const plat::Value& object, const std::string& key,
                                           std::function<void()> block) {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, object, key, block = std::move(block)] {
    if (auto self = weak.lock()) self->setObjectForKey(object, key);
    if (block) block();
  });
}

void HVDiskCache::removeObjectForKeyWithBlock(const std::string& key,
                                              std::function<void(const std::string&)> block) {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, key, block = std::move(block)] {
    if (auto self = weak.lock()) self->removeObjectForKey(key);
    if (block) block(key);
  });
}

void HVDiskCache::removeAllObjectsWithBlock(std::function<void()> block) {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, block = std::move(block)] {
    if (auto self = weak.lock()) self->removeAllObjects();
    if (block) block();
  });
}

void HVDiskCache::removeAllObjectsWithProgressBlockEndBlock(
    std::function<void(int64_t, int64_t)> progress, std::function<void(bool)> end) {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, progress = std::move(progress), end = std::move(end)] {
    auto self = weak.lock();
    if (!self) {
      if (end) end(true);
      return;
    }
    SemaphoreHold hold(self->lock_);
    if (!self->kv_) {
      if (end) end(true);
      return;
    }
    self->kv_->removeAllItemsWithProgressBlockEndBlock(progress, end);
  });
}

void HVDiskCache::totalCountWithBlock(std::function<void(int64_t)> block) {
  if (!block) return;
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, block = std::move(block)] {
    auto self = weak.lock();
    block(self ? self->totalCount() : 0);
  });
}

void HVDiskCache::totalCostWithBlock(std::function<void(int64_t)> block) {
  if (!block) return;
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, block = std::move(block)] {
    auto self = weak.lock();
    block(self ? self->totalCost() : 0);
  });
}

void HVDiskCache::trimToCountWithBlock(uint64_t count, std::function<void()> block) {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, count, block = std::move(block)] {
    if (auto self = weak.lock()) self->trimToCount(count);
    if (block) block();
  });
}

void HVDiskCache::trimToCostWithBlock(uint64_t cost, std::function<void()> block) {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, cost, block = std::move(block)] {
    if (auto self = weak.lock()) self->trimToCost(cost);
    if (block) block();
  });
}

void HVDiskCache::trimToAgeWithBlock(double age, std::function<void()> block) {
  auto weak = weakSelf();
  plat::dispatch_async(queue_, [weak, age, block = std::move(block)] {
    if (auto self = weak.lock()) self->trimToAge(age);
    if (block) block();
  });
}

// ---- extended data ----

plat::Data HVDiskCache::getExtendedDataFromObject(const plat::Value& object) {
  auto o = object.object();
  if (!o) return plat::Data();
  auto held = plat::objc_getAssociatedObject(o, &kExtendedDataKey).objectAs<plat::NSData>();
  return held ? held->data() : plat::Data();
}

void HVDiskCache::setExtendedDataToObject(const plat::Data& extendedData,
                                          const plat::Value& object) {
  auto o = object.object();
  if (!o) return;
  plat::objc_setAssociatedObject(
      o, &kExtendedDataKey,
      extendedData.empty() ? plat::Value() : plat::Value(plat::NSData::dataWithData(extendedData)));
}
