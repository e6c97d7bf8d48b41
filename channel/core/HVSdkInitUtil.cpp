#include "channel/core/HVSdkInitUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "channel/core/HVmsSDK.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/network/NSURLCache.h"

namespace {

// The property list at path when it is a regular file holding a dictionary.
plat::Dictionary readPlistDictionary(const std::string& path) {
  if (path.empty()) return {};
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat st;
  std::string bytes;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (8 << 20)) {
    bytes.resize(static_cast<size_t>(st.st_size));
    if (::read(fd, bytes.data(), bytes.size()) != st.st_size) bytes.clear();
  }
  ::close(fd);
  plat::Value v =
      plat::NSPropertyListSerialization::propertyListWithData(plat::Data::fromString(bytes));
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
