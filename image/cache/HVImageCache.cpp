#include "image/cache/HVImageCache.h"

#include <filesystem>

#include "image/HVImage.h"
#include "image/HVImageCoder.h"
#include "image/HVImageDecoder.h"
#include "image/HVImageFrame.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSException.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIScreen.h"

namespace fs = std::filesystem;

namespace {

std::string cachesFolder() {
  auto paths = plat::NSSearchPathForDirectoriesInDomains(plat::NSCachesDirectory,
                                                         plat::NSUserDomainMask, true);
  return paths.empty() ? std::string() : paths[0];
}

// The folder's own name, also when the path ends in one or more '/'.
std::string lastPathComponent(const std::string& path) {
  fs::path normal = fs::path(path).lexically_normal();
  if (normal.has_filename()) return normal.filename().string();
  return normal.parent_path().filename().string();
}

// The image cache's own archive block: the bytes of the NSData object, unchanged.
plat::Data storedImageBytes(const plat::Value& v) {
  if (auto d = v.objectAs<plat::NSData>()) return d->data();
  return v.data() ? *v.data() : plat::Data();
}

}  // namespace

// ---- HVCache ----

std::shared_ptr<HVCache> HVCache::init() {
  plat::NSLog("Use \"initWithName\" or \"initWithPath\" to create HVCache instance.");
  return initWithPath(std::string());
}

std::shared_ptr<HVCache> HVCache::initWithName(const std::string& name) {
  // One folder directly under Caches: an absolute name would replace the base, ".." leave it.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return nullptr;
  }
  return initWithPath((fs::path(cachesFolder()) / name).string());
}

std::shared_ptr<HVCache> HVCache::initWithPath(const std::string& path) {
  if (path.empty()) return nullptr;
  auto disk = HVDiskCache::initWithPath(path);
  if (!disk) return nullptr;
  std::shared_ptr<HVCache> cache(new HVCache());
  cache->name_ = lastPathComponent(path);
  cache->diskCache_ = std::move(disk);
  cache->memoryCache_ = HVMemoryCache::create();
  cache->memoryCache_->setName(cache->name_);
  return cache;
}

std::string HVCache::description() const {
  if (!name_.empty()) return plat::format("<%@: %p> (%@)", className(), this, name_);
  return plat::format("<%@: %p>", className(), this);
}

bool HVCache::containsObjectForKey(const std::string& key) {
  return memoryCache_->containsObjectForKey(key) || diskCache_->containsObjectForKey(key);
}

plat::Value HVCache::objectForKey(const std::string& key) {
  plat::Value object = memoryCache_->objectForKey(key);
  if (object.isNil()) {
    object = diskCache_->objectForKey(key);
    if (!object.isNil()) memoryCache_->setObjectForKey(object, key);
  }
  return object;
}

void HVCache::setObjectForKey(const plat::Value& object, const std::string& key) {
  memoryCache_->setObjectForKey(object, key);
  diskCache_->setObjectForKey(object, key);
}

void HVCache::removeObjectForKey(const std::string& key) {
  memoryCache_->removeObjectForKey(key);
  diskCache_->removeObjectForKey(key);
}

void HVCache::removeAllObjects() {
  memoryCache_->removeAllObjects();
  diskCache_->removeAllObjects();
}

void HVCache::containsObjectForKeyWithBlock(const std::string& key,
                                            std::function<void(const std::string&, bool)> block) {
  if (!block) return;
  if (memoryCache_->containsObjectForKey(key)) {
    plat::dispatch_async(plat::dispatch_get_global_queue(0),
                         [key, block = std::move(block)] { block(key, true); });
    return;
  }
  diskCache_->containsObjectForKeyWithBlock(key, std::move(block));
}

void HVCache::objectForKeyWithBlock(
    const std::string& key, std::function<void(const std::string&, const plat::Value&)> block) {
  if (!block) return;
  plat::Value object = memoryCache_->objectForKey(key);
  if (!object.isNil()) {
    plat::dispatch_async(plat::dispatch_get_global_queue(0),
                         [key, object, block = std::move(block)] { block(key, object); });
    return;
  }
  auto memory = memoryCache_;
  diskCache_->objectForKeyWithBlock(
      key, [memory, block = std::move(block)](const std::string& k, const plat::Value& found) {
        if (!found.isNil() && !memory->containsObjectForKey(k)) {
          memory->setObjectForKey(found, k);
        }
        block(k, found);
      });
}

void HVCache::setObjectForKeyWithBlock(const plat::Value& object, const std::string& key,
                                       std::function<void()> block) {
  memoryCache_->setObjectForKey(object, key);
  diskCache_->setObjectForKeyWithBlock(object, key, std::move(block));
}

void HVCache::removeObjectForKeyWithBlock(const std::string& key,
                                          std::function<void(const std::string&)> block) {
  memoryCache_->removeObjectForKey(key);
  diskCache_->removeObjectForKeyWithBlock(key, std::move(block));
}

void HVCache::removeAllObjectsWithBlock(std::function<void()> block) {
  memoryCache_->removeAllObjects();
  diskCache_->removeAllObjectsWithBlock(std::move(block));
}

void HVCache::removeAllObjectsWithProgressBlockEndBlock(
    std::function<void(int64_t, int64_t)> progress, std::function<void(bool)> end) {
  memoryCache_->removeAllObjects();
  diskCache_->removeAllObjectsWithProgressBlockEndBlock(std::move(progress), std::move(end));
}

// ---- HVImageCache ----

std::shared_ptr<HVImageCache> HVImageCache::init() {
  throw plat::NSException(
      "HVImageCache init error",
      "HVImageCache must be initialized with a path. Use 'initWithPath:' instead.");
}

std::string HVImageCache::name() const {
  std::lock_guard<std::mutex> g(nameLock_);
  return name_;
}

void HVImageCache::setName(const std::string& name) {
  std::lock_guard<std::mutex> g(nameLock_);
  name_ = name;
}

std::shared_ptr<HVImageCache> HVImageCache::initWithPath(const std::string& path) {
  auto disk = HVDiskCache::initWithPath(path);
  if (!disk) return nullptr;
  // The stored value is the image's bytes, unchanged; they travel as an NSData object so
  // that the scale can ride along as extended data.
  disk->setCustomArchiveBlock(&storedImageBytes);
  disk->setCustomUnarchiveBlock(
      [](const plat::Data& d) { return plat::Value(plat::NSData::dataWithData(d)); });
  std::shared_ptr<HVImageCache> cache(new HVImageCache());
  cache->diskCache_ = std::move(disk);
  cache->memoryCache_ = HVMemoryCache::create();
  cache->memoryCache_->setAgeLimit(43200);
  return cache;
}

std::shared_ptr<HVImageCache> HVImageCache::sharedCache() {
  // Made once it can be: a folder that cannot be opened now (another process holding it past
  // the storage's wait, a full disk) is tried again at the next call, never kept as nil.
  static auto* lock = new std::mutex();
  static auto* shared = new std::shared_ptr<HVImageCache>();
  std::lock_guard<std::mutex> hold(*lock);
  if (!*shared) {
    *shared = initWithPath((fs::path(cachesFolder()) / "com.orvane.HVkit" / "images").string());
  }
  return *shared;
}

bool HVImageCache::storesBytesUnchanged() const {
  HVDiskCache::ArchiveBlock block = diskCache_->customArchiveBlock();
  auto* own = block.target<plat::Data (*)(const plat::Value&)>();
  return own && *own == &storedImageBytes;
}

std::weak_ptr<HVImageCache> HVImageCache::weakSelf() {
  return std::static_pointer_cast<HVImageCache>(shared_from_this());
}

plat::Data HVImageCache::archivedScale(double scale) {
  return plat::NSKeyedArchiver::archivedDataWithRootObject(plat::Value(scale));
}

uint64_t HVImageCache::imageCost(const plat::UIImageRef& image) {
  if (!image || !image->CGImage()) return 1;
  double cost = static_cast<double>(image->CGImage()->height()) *
                static_cast<double>(image->CGImage()->bytesPerRow());
  uint64_t c = static_cast<uint64_t>(cost);
  return c == 0 ? 1 : c;
}

plat::UIImageRef HVImageCache::imageFromData(const plat::Value& dataValue) {
  auto object = dataValue.objectAs<plat::NSData>();
  plat::Data bytes =
      object ? object->data() : (dataValue.data() ? *dataValue.data() : plat::Data());
  if (bytes.empty()) return nullptr;
  double scale = 0;
  plat::Data extended = HVDiskCache::getExtendedDataFromObject(dataValue);
  if (!extended.empty()) {
    scale = plat::NSKeyedUnarchiver::unarchiveObjectWithData(extended).doubleValue();
  }
  if (!(scale > 0)) scale = plat::UIScreen::mainScreen().scale();
  if (allowAnimatedImage()) {
    plat::UIImageRef image = HVImage::initWithDataScale(bytes, scale);
    if (image && decodeForDisplay()) image = HV_imageByDecoded(image);
    return image;
  }
  auto decoder = HVImageDecoder::decoderWithDataScale(bytes, scale);
  if (!decoder) return nullptr;
  auto frame = decoder->frameAtIndexDecodeForDisplay(0, decodeForDisplay());
  return frame ? frame->image() : nullptr;
}

void HVImageCache::setImageForKey(const plat::UIImageRef& image, const std::string& key) {
  setImageImageDataForKeyWithType(image, plat::Data(), key, HVCacheTierAll);
}

// ---- background steps against later changes ----

void HVImageCache::noteChange(const std::string& key, uint64_t tiers) {
  std::lock_guard<std::mutex> g(stepsLock_);
  auto it = steps_.find(key);
  if (it == steps_.end()) return;
  if (tiers & HVCacheTierMemory) it->second.memory++;
  if (tiers & HVCacheTierDisk) it->second.disk++;
}

uint64_t HVImageCache::beginStep(const std::string& key, HVCacheTier tier) {
  std::lock_guard<std::mutex> g(stepsLock_);
  auto& state = steps_[key];
  state.pending++;
  return tier == HVCacheTierMemory ? state.memory : state.disk;
}

void HVImageCache::endStep(const std::string& key, HVCacheTier tier, uint64_t ticket,
                           const std::function<void()>& store) {
  std::lock_guard<std::mutex> g(stepsLock_);
  auto it = steps_.find(key);
  if (it == steps_.end()) return;
  uint64_t now = tier == HVCacheTierMemory ? it->second.memory : it->second.disk;
  if (now == ticket && store) store();
  if (--it->second.pending == 0) steps_.erase(it);
}

void HVImageCache::setImageImageDataForKeyWithType(const plat::UIImageRef& image,
                                                   const plat::Data& data, const std::string& key,
                                                   HVCacheTier type) {
  setImageImageDataForKeyWithType(image, plat::Data(data), key, type);
}

void HVImageCache::setImageImageDataForKeyWithType(const plat::UIImageRef& image, plat::Data&& data,
                                                   const std::string& key, HVCacheTier type) {
  if (key.empty()) return;
  if (!image && data.empty()) return;
  // One buffer serves the decode into memory and the disk store.
  plat::Value bytes =
      data.empty() ? plat::Value() : plat::Value(plat::NSData::dataWithData(std::move(data)));
  auto weak = weakSelf();
  // Any step still running for these tiers of the key is older than this store.
  noteChange(key, type);
  if (type & HVCacheTierMemory) {
    if (image && HV_isDecodedForDisplay(image)) {
      memoryCache_->setObjectForKeyWithCost(plat::Value(image), key, imageCost(image));
    } else {
      uint64_t ticket = beginStep(key, HVCacheTierMemory);
      plat::dispatch_async(
          plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_LOW),
          [weak, image, bytes = image ? plat::Value() : bytes, key, ticket] {
            auto self = weak.lock();
            if (!self) return;
            // Decoded outside the steps' lock; stored only when no later change came.
            plat::UIImageRef made = image ? HV_imageByDecoded(image) : self->imageFromData(bytes);
            uint64_t cost = imageCost(image ? image : made);
            self->endStep(key, HVCacheTierMemory, ticket, [&] {
              if (made) self->memoryCache_->setObjectForKeyWithCost(plat::Value(made), key, cost);
            });
          });
    }
  }
  if (type & HVCacheTierDisk) {
    if (!bytes.isNil()) {
      plat::Data scale = image ? archivedScale(image->scale()) : plat::Data();
      if (storesBytesUnchanged()) {
        // The bytes are stored as they are (what the cache's own archive block answers),
        // written from the shared buffer rather than a copy of it.
        diskCache_->setArchivedDataForKey(bytes.objectAs<plat::NSData>()->data(), scale, key);
      } else {
        // An archive block set by the application (to encrypt, say) sees every stored image.
        // The scale rides on the shared object only with an image, when no decode holds it.
        if (image) HVDiskCache::setExtendedDataToObject(scale, bytes);
        diskCache_->setObjectForKey(bytes, key);
      }
    } else {
      uint64_t ticket = beginStep(key, HVCacheTierDisk);
      plat::dispatch_async(plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                           [weak, image, key, ticket] {
                             auto self = weak.lock();
                             if (!self) return;
                             plat::Data bytes = HV_imageDataRepresentation(image);
                             plat::Value stored;
                             if (!bytes.empty()) {
                               stored = plat::Value(plat::NSData::dataWithData(std::move(bytes)));
                               HVDiskCache::setExtendedDataToObject(archivedScale(image->scale()),
                                                                    stored);
                             }
                             self->endStep(key, HVCacheTierDisk, ticket, [&] {
                               if (!stored.isNil()) self->diskCache_->setObjectForKey(stored, key);
                             });
                           });
    }
  }
}

void HVImageCache::removeImageForKeyWithType(const std::string& key, HVCacheTier type) {
  noteChange(key, type);
  if (type & HVCacheTierMemory) memoryCache_->removeObjectForKey(key);
  if (type & HVCacheTierDisk) diskCache_->removeObjectForKey(key);
}

bool HVImageCache::containsImageForKeyWithType(const std::string& key, HVCacheTier type) {
  if ((type & HVCacheTierMemory) && memoryCache_->containsObjectForKey(key)) return true;
  if (type & HVCacheTierDisk) return diskCache_->containsObjectForKey(key);
  return false;
}

plat::UIImageRef HVImageCache::getImageForKeyWithType(const std::string& key, HVCacheTier type) {
  if (key.empty()) return nullptr;
  if (type & HVCacheTierMemory) {
    if (auto image = memoryCache_->objectForKey(key).objectAs<plat::UIImage>()) return image;
  }
  if (!(type & HVCacheTierDisk)) return nullptr;
  auto image = imageFromData(diskCache_->objectForKey(key));
  if (image && (type & HVCacheTierMemory)) {
    memoryCache_->setObjectForKeyWithCost(plat::Value(image), key, imageCost(image));
  }
  return image;
}

void HVImageCache::getImageForKeyWithTypeWithBlock(const std::string& key, HVCacheTier type,
                                                   ImageBlock block) {
  if (!block) return;
  auto weak = weakSelf();
  uint64_t ticket = key.empty() ? 0 : beginStep(key, HVCacheTierMemory);
  plat::dispatch_async(plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                       [weak, key, type, ticket, block = std::move(block)] {
                         plat::UIImageRef image;
                         HVCacheTier from = HVCacheTierNone;
                         if (auto self = weak.lock(); self && !key.empty()) {
                           if (type & HVCacheTierMemory) {
                             image =
                                 self->memoryCache_->objectForKey(key).objectAs<plat::UIImage>();
                             if (image) from = HVCacheTierMemory;
                           }
                           if (!image && (type & HVCacheTierDisk)) {
                             image = self->imageFromData(self->diskCache_->objectForKey(key));
                             if (image) from = HVCacheTierDisk;
                           }
                           // A disk hit fills memory unless the key was changed meanwhile.
                           self->endStep(key, HVCacheTierMemory, ticket, [&] {
                             if (from == HVCacheTierDisk)
                               self->memoryCache_->setObjectForKey(plat::Value(image), key);
                           });
                         }
                         plat::dispatch_async(plat::dispatch_get_main_queue(),
                                              [block, image, from] { block(image, from); });
                       });
}

plat::Data HVImageCache::getImageDataForKey(const std::string& key) {
  auto object = diskCache_->objectForKey(key).objectAs<plat::NSData>();
  return object ? object->data() : plat::Data();
}

void HVImageCache::getImageDataForKeyWithBlock(const std::string& key,
                                               std::function<void(const plat::Data&)> block) {
  if (!block) return;
  auto weak = weakSelf();
  plat::dispatch_async(plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                       [weak, key, block = std::move(block)] {
                         plat::Data data;
                         if (auto self = weak.lock()) data = self->getImageDataForKey(key);
                         plat::dispatch_async(plat::dispatch_get_main_queue(),
                                              [block, data] { block(data); });
                       });
}
