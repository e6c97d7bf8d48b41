#pragma once
// HVDiskCache: a persistent object cache over one HVKVStorage. Objects become bytes by keyed
// archiving (or caller blocks); values longer than the inline threshold go to files named by
// the MD5 of the key, shorter ones inline in the manifest. An optional extended-data blob
// travels with each object as an associated object. Trims by count, size, age and free disk
// space every autoTrimInterval seconds. At most one live cache per folder in the process.
//
// Thread-safety: has internal synchronization and may be used from any thread. The
// asynchronous variants run on the cache's concurrent queue and call their block there.

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "image/cache/HVKVStorage.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class HVDiskCache : public plat::Object {
 public:
  using ArchiveBlock = std::function<plat::Data(const plat::Value& object)>;
  using UnarchiveBlock = std::function<plat::Value(const plat::Data& data)>;
  using FileNameBlock = std::function<std::string(const std::string& key)>;

  static constexpr uint64_t kDefaultInlineThreshold = 20480;

  // The live cache of `path` when there is one (other arguments are then ignored), else a new
  // cache; nullptr when the storage cannot be opened. Every spelling of one folder ("/x/c",
  // "/x/c/", "/x/./c", a symbolic link to it) finds the same cache. Threshold 0 stores every value
  // in a file, UINT64_MAX none. Misuse: a disk cache needs a path. Always throws plat::NSException
  // "HVDiskCache init error".
  static std::shared_ptr<HVDiskCache> init();
  static std::shared_ptr<HVDiskCache> initWithPath(const std::string& path);
  static std::shared_ptr<HVDiskCache> initWithPathInlineThreshold(const std::string& path,
                                                                  uint64_t threshold);
  ~HVDiskCache() override;

  std::string className() const override { return "HVDiskCache"; }
  std::string description() const override;

  std::string name() const;
  void setName(const std::string& name);
  const std::string& path() const { return path_; }
  uint64_t inlineThreshold() const { return inlineThreshold_; }

  // Replace keyed archiving, keyed unarchiving and the MD5 file name (a block answering an
  // empty name falls back to the MD5). Empty when not set.
  ArchiveBlock customArchiveBlock() const;
  void setCustomArchiveBlock(ArchiveBlock block);
  UnarchiveBlock customUnarchiveBlock() const;
  void setCustomUnarchiveBlock(UnarchiveBlock block);
  FileNameBlock customFileNameBlock() const;
  void setCustomFileNameBlock(FileNameBlock block);

  // Limits take the whole 64-bit range; UINT64_MAX (the default) means no limit.
  uint64_t countLimit() const { return countLimit_.load(); }
  void setCountLimit(uint64_t v) { countLimit_.store(v); }
  uint64_t costLimit() const { return costLimit_.load(); }
  void setCostLimit(uint64_t v) { costLimit_.store(v); }
  double ageLimit() const { return ageLimit_.load(); }
  void setAgeLimit(double v) { ageLimit_.store(v); }
  uint64_t freeDiskSpaceLimit() const { return freeDiskSpaceLimit_.load(); }
  void setFreeDiskSpaceLimit(uint64_t v) { freeDiskSpaceLimit_.store(v); }
  // Seconds between background trims, read before each round. An interval below 1 s, or NaN,
  // trims every second (a period of 0 would spin); one above 1e9 s waits 1e9 s.
  double autoTrimInterval() const { return autoTrimInterval_.load(); }
  void setAutoTrimInterval(double v) { autoTrimInterval_.store(v); }

  bool errorLogsEnabled() const;
  void setErrorLogsEnabled(bool v);

  // Synchronous, on the caller's thread. After application termination the cache is inert:
  // reads give nil/false/0 and writes do nothing.
  bool containsObjectForKey(const std::string& key);
  plat::Value objectForKey(const std::string& key);
  // A nil object removes the key. An object that cannot be archived is not stored.
  void setObjectForKey(const plat::Value& object, const std::string& key);
  // Stores bytes that already are an object's archived form, with its extended data, without
  // running the archive block: a large value is written from the caller's buffer, not copied.
  // Empty bytes store nothing.
  void setArchivedDataForKey(const plat::Data& value, const plat::Data& extendedData,
                             const std::string& key);
  void removeObjectForKey(const std::string& key);
  void removeAllObjects();
  // -1 on error.
  int64_t totalCount();
  int64_t totalCost();
  void trimToCount(uint64_t count);
  void trimToCost(uint64_t cost);
  // An age at or below 0 empties the cache; NaN trims nothing.
  void trimToAge(double age);

  // Asynchronous, on the cache queue; blocks are called on the cache queue. The read blocks
  // are required (without one nothing is queued).
  void containsObjectForKeyWithBlock(const std::string& key,
                                     std::function<void(const std::string&, bool)> block);
  void objectForKeyWithBlock(const std::string& key,
                             std::function<void(const std::string&, const plat::Value&)> block);
  void setObjectForKeyWithBlock(const plat::Value& object, const std::string& key,
                                std::function<void()> block);
  void removeObjectForKeyWithBlock(const std::string& key,
                                   std::function<void(const std::string&)> block);
  void removeAllObjectsWithBlock(std::function<void()> block);
  // Removes item by item, calling `progress` after each round of 32 and `end` once (error true
  // when a removal failed or the cache is gone). Both run on the cache queue while the cache's
  // lock is held.
  // REQUIRES: neither block calls back into this cache (it would wait for its own lock).
  void removeAllObjectsWithProgressBlockEndBlock(
      std::function<void(int64_t removedCount, int64_t totalCount)> progress,
      std::function<void(bool error)> end);
  void totalCountWithBlock(std::function<void(int64_t)> block);
  void totalCostWithBlock(std::function<void(int64_t)> block);
  void trimToCountWithBlock(uint64_t count, std::function<void()> block);
  void trimToCostWithBlock(uint64_t cost, std::function<void()> block);
  void trimToAgeWithBlock(double age, std::function<void()> block);

  // The extended data attached to an object (empty when none, or when the value is not an
  // object). Setting empty data removes it; a value that is not an object is ignored.
  static plat::Data getExtendedDataFromObject(const plat::Value& object);
  static void setExtendedDataToObject(const plat::Data& extendedData, const plat::Value& object);

 private:
  HVDiskCache() = default;
  std::string filenameForKey(const std::string& key) const;
  void trimToCostLocked(uint64_t cost);
  void trimToCountLocked(uint64_t count);
  void trimToAgeLocked(double age);
  void trimToFreeDiskSpaceLocked(uint64_t limit);
  void trimRecursively();
  void trimInBackground();
  void appWillTerminate();
  std::weak_ptr<HVDiskCache> weakSelf();

  std::shared_ptr<HVKVStorage> kv_;
  plat::DispatchSemaphoreRef lock_;
  plat::DispatchQueueRef queue_;
  std::string path_;
  std::string folderKey_;  // the instance table's key: the canonical folder
  uint64_t inlineThreshold_ = kDefaultInlineThreshold;
  mutable std::mutex fieldsLock_;  // name_ and the custom blocks
  std::string name_;
  ArchiveBlock archiveBlock_;
  UnarchiveBlock unarchiveBlock_;
  FileNameBlock fileNameBlock_;
  std::atomic<uint64_t> countLimit_{std::numeric_limits<uint64_t>::max()};
  std::atomic<uint64_t> costLimit_{std::numeric_limits<uint64_t>::max()};
  std::atomic<double> ageLimit_{std::numeric_limits<double>::max()};
  std::atomic<uint64_t> freeDiskSpaceLimit_{0};
  std::atomic<double> autoTrimInterval_{60.0};
  plat::NSNotificationCenter::ObserverToken terminateObserver_;
};
