#include "channel/core/HVSdkInitUtil.h"

#include "channel/core/HVmsSDK.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/network/NSURLCache.h"

namespace {

// The property list at path when it is a regular file holding a dictionary.
plat::Dictionary readPlistDictionary(const std::string& path) {
  if (path.empty()) return {};
  auto bytes = plat::dataWithContentsOfFile(path);
  plat::Value v =
      bytes ? plat::NSPropertyListSerialization::propertyListWithData(*bytes) : plat::Value();
  return v.dictionary() ? *v.dictionary() : plat::Dictionary();
}

}  // namespace

HVSdkInitUtil& HVSdkInitUtil::sharedInstance() {
  static auto* instance = new HVSdkInitUtil();
  return *instance;
}

void HVSdkInitUtil::initDidFinishLaunchingWithOptions() {
  plat::NSURLCache::setSharedURLCache(
      std::make_shared<plat::NSURLCache>(kHVURLCacheMemoryCapacity, kHVURLCacheDiskCapacity,
                                         plat::DeviceRoot::cachesPath() + "/" + kHVURLCacheFolder));
  plat::Dictionary config =
      readPlistDictionary(plat::NSBundle::mainBundle()->pathForResourceOfType("HV", "plist"));
  {
    const plat::Value& id = config.get("gameId");
    std::lock_guard<std::mutex> lock(mu_);
    gameId_ = id.isString() ? *id.string() : (id.isNumber() ? id.description() : "");
  }
  HVmsSDK::channel()->startUp();
}

std::string HVSdkInitUtil::gameId() const {
  std::lock_guard<std::mutex> lock(mu_);
  return gameId_;
}

void HVSdkInitUtil::resetForTesting() {
  plat::NSURLCache::setSharedURLCache(nullptr);
  std::lock_guard<std::mutex> lock(mu_);
  gameId_.clear();
}
