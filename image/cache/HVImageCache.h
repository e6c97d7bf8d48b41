#pragma once
// HVImageCache: decoded images in a memory cache (12 h age limit) in front of a disk cache of
// the encoded image bytes, stored byte for byte, with the image scale as extended data.
// HVCache: the same two tiers for any archivable value.
//
// Thread-safety: both lean on the memory and disk caches and may be used from any thread.
// Background work holds the cache weakly and is dropped when the cache is gone. Blocks of the
// image reads run on the main queue.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "image/cache/HVDiskCache.h"
#include "image/cache/HVMemoryCache.h"
#include "platform/uikit/UIImage.h"

enum HVCacheTier : uint64_t {
  HVCacheTierNone = 0,
  HVCacheTierMemory = 1,
  HVCacheTierDisk = 2,
  HVCacheTierAll = 3,
};

class HVCache : public plat::Object {
 public:
  // Misuse: logs "Use "initWithName" or "initWithPath" to create HVCache instance." and
  // answers nullptr.
  static std::shared_ptr<HVCache> init();
  // The cache of the folder `name` directly under the Caches folder. nullptr for a name that is
  // empty, ".", ".." or holds '/' or NUL, or a folder whose storage cannot be opened.
  static std::shared_ptr<HVCache> initWithName(const std::string& name);
  // nullptr for an empty path, or a folder whose storage cannot be opened.
  static std::shared_ptr<HVCache> initWithPath(const std::string& path);
  static std::shared_ptr<HVCache> cacheWithName(const std::string& name) {
    return initWithName(name);
  }
  static std::shared_ptr<HVCache> cacheWithPath(const std::string& path) {
    return initWithPath(path);
  }

  std::string className() const override { return "HVCache"; }
  std::string description() const override;
  const std::string& name() const { return name_; }
  const std::shared_ptr<HVMemoryCache>& memoryCache() const { return memoryCache_; }
  const std::shared_ptr<HVDiskCache>& diskCache() const { return diskCache_; }

  bool containsObjectForKey(const std::string& key);
  // A disk hit is copied into memory.
  plat::Value objectForKey(const std::string& key);
  void setObjectForKey(const plat::Value& object, const std::string& key);
  void removeObjectForKey(const std::string& key);
  void removeAllObjects();

  // Asynchronous forms. A memory hit calls the read block on the default-priority global
  // queue; otherwise the disk cache answers on its queue, and a disk hit is copied into memory
  // before the block runs. The read blocks are required (without one nothing happens). The
  // writes change memory at once and the disk cache later, then call their block on its queue.
  void containsObjectForKeyWithBlock(const std::string& key,
                                     std::function<void(const std::string&, bool)> block);
  void objectForKeyWithBlock(const std::string& key,
                             std::function<void(const std::string&, const plat::Value&)> block);
  void setObjectForKeyWithBlock(const plat::Value& object, const std::string& key,
                                std::function<void()> block);
  void removeObjectForKeyWithBlock(const std::string& key,
                                   std::function<void(const std::string&)> block);
  void removeAllObjectsWithBlock(std::function<void()> block);
  void removeAllObjectsWithProgressBlockEndBlock(
      std::function<void(int64_t removedCount, int64_t totalCount)> progress,
      std::function<void(bool error)> end);

 private:
  HVCache() = default;
  std::string name_;
  std::shared_ptr<HVMemoryCache> memoryCache_;
  std::shared_ptr<HVDiskCache> diskCache_;
};

class HVImageCache : public plat::Object {
 public:
  using ImageBlock = std::function<void(const plat::UIImageRef& image, HVCacheTier from)>;

  // Misuse: an image cache needs a path. Always throws plat::NSException
  // "HVImageCache init error".
  static std::shared_ptr<HVImageCache> init();
  // nullptr when the disk cache cannot be made.
  static std::shared_ptr<HVImageCache> initWithPath(const std::string& path);
  // Caches/"com.orvane.HVkit"/"images", made once per process; nullptr while its folder
  // cannot be opened (tried again at each call until it can).
  static std::shared_ptr<HVImageCache> sharedCache();

  std::string className() const override { return "HVImageCache"; }
  // A label only; empty by default.
  std::string name() const;
  void setName(const std::string& name);
  const std::shared_ptr<HVMemoryCache>& memoryCache() const { return memoryCache_; }
  const std::shared_ptr<HVDiskCache>& diskCache() const { return diskCache_; }
  bool allowAnimatedImage() const { return allowAnimatedImage_.load(); }
  void setAllowAnimatedImage(bool v) { allowAnimatedImage_.store(v); }
  bool decodeForDisplay() const { return decodeForDisplay_.load(); }
  void setDecodeForDisplay(bool v) { decodeForDisplay_.store(v); }

  void setImageForKey(const plat::UIImageRef& image, const std::string& key);
  // Stores in the tiers given. Memory gets the image (decoded in the background when it is
  // not yet decoded for display) or, without one, the image made from the data in the
  // background. Disk gets the data (unchanged, unless an archive block set on the disk cache
  // turns it), or without data the image's encoded form made in the background. A background step
  // that finishes after a later store or removal of the same key in its tier stores nothing.
  void setImageImageDataForKeyWithType(const plat::UIImageRef& image, const plat::Data& data,
                                       const std::string& key, HVCacheTier type);
  // The same, taking the bytes without a copy.
  void setImageImageDataForKeyWithType(const plat::UIImageRef& image, plat::Data&& data,
                                       const std::string& key, HVCacheTier type);
  void removeImageForKey(const std::string& key) { removeImageForKeyWithType(key, HVCacheTierAll); }
  void removeImageForKeyWithType(const std::string& key, HVCacheTier type);
  bool containsImageForKey(const std::string& key) {
    return containsImageForKeyWithType(key, HVCacheTierAll);
  }
  bool containsImageForKeyWithType(const std::string& key, HVCacheTier type);
  plat::UIImageRef getImageForKey(const std::string& key) {
    return getImageForKeyWithType(key, HVCacheTierAll);
  }
  // Tier 2 alone decodes from disk and leaves memory alone.
  plat::UIImageRef getImageForKeyWithType(const std::string& key, HVCacheTier type);
  // Looks up on a background queue; the block runs on the main queue with the origin tier
  // (0 when not found). REQUIRES: block.
  void getImageForKeyWithTypeWithBlock(const std::string& key, HVCacheTier type, ImageBlock block);
  // Empty when absent.
  plat::Data getImageDataForKey(const std::string& key);
  void getImageDataForKeyWithBlock(const std::string& key,
                                   std::function<void(const plat::Data&)> block);

  // The image made from stored bytes at their stored scale (else the main screen's).
  plat::UIImageRef imageFromData(const plat::Value& data);
  static uint64_t imageCost(const plat::UIImageRef& image);

 private:
  HVImageCache() = default;
  std::weak_ptr<HVImageCache> weakSelf();
  static plat::Data archivedScale(double scale);
  // True while the disk cache's archive block is the cache's own (the bytes unchanged).
  bool storesBytesUnchanged() const;

  // Background steps (decoding into memory, encoding for disk, filling memory after a block
  // read) store nothing when the key was changed in their tier after they began: a removed
  // image must not come back, nor an older image replace a newer one. Only keys with steps in
  // flight have an entry.
  void noteChange(const std::string& key, uint64_t tiers);
  uint64_t beginStep(const std::string& key, HVCacheTier tier);
  // Runs `store` (under the steps' lock, so no change slips in between) when the ticket is
  // still current, and ends the step.
  void endStep(const std::string& key, HVCacheTier tier, uint64_t ticket,
               const std::function<void()>& store);
  struct KeySteps {
    uint64_t memory = 0, disk = 0;  // changes of the key in each tier while steps run
    int pending = 0;
  };
  std::mutex stepsLock_;
  std::unordered_map<std::string, KeySteps> steps_;

  mutable std::mutex nameLock_;
  std::string name_;
  std::atomic<bool> allowAnimatedImage_{true};
  std::atomic<bool> decodeForDisplay_{true};
  std::shared_ptr<HVMemoryCache> memoryCache_;
  std::shared_ptr<HVDiskCache> diskCache_;
};
