#include "aggregation/KMNetWorkUtil.h"

#include <mutex>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"

namespace {

std::mutex& handlerMutex() {
  static auto* m = new std::mutex();
  return *m;
}
std::function<void()>& handler() {
  static auto* h = new std::function<void()>();
  return *h;
}

std::string apiHostName() {
  plat::Value v = plat::NSBundle::mainBundle()->objectForInfoDictionaryKey("KITE_API_HOST");
  if (v.isString()) {
    auto url = plat::NSURL::URLWithString(*v.string());
    if (url && !url->host().empty()) return url->host();
  }
  return "localhost";
}

}  // namespace

KMNetWorkUtil::KMNetWorkUtil() { setUp(); }

void KMNetWorkUtil::setUp() {
  hasNetwork_ = false;
  wanReach_ = KiteSDKReachability::reachabilityForInternetConnection();
  observer_ = plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
      kKiteSDKReachabilityChangedNotification, plat::Value(), nullptr,
      [this](const plat::NSNotification& note) { networkStateChange(note); });
  hostReachability_ = KiteSDKReachability::reachabilityWithHostName(apiHostName());
}

void KMNetWorkUtil::tearDown() {
  if (wanReach_) wanReach_->stopNotifier();
  if (hostReachability_) hostReachability_->stopNotifier();
  plat::NSNotificationCenter::defaultCenter().removeObserver(observer_);
  observer_.reset();
  wanReach_.reset();
  hostReachability_.reset();
}

KMNetWorkUtil& KMNetWorkUtil::sharedInstance() {
  static auto* instance = new KMNetWorkUtil();
  return *instance;
}

void KMNetWorkUtil::load() { sharedInstance().startNetworkNotifier(); }

void KMNetWorkUtil::setBeginInitHandler(std::function<void()> h) {
  std::lock_guard<std::mutex> lock(handlerMutex());
  handler() = std::move(h);
}

void KMNetWorkUtil::resetForTesting() {
  auto& u = sharedInstance();
  u.tearDown();
  setBeginInitHandler(nullptr);
  u.setUp();
}

void KMNetWorkUtil::beginInit() {
  std::function<void()> h;
  {
    std::lock_guard<std::mutex> lock(handlerMutex());
    h = handler();
  }
  if (h) h();
}

void KMNetWorkUtil::startNetworkNotifier() {
  if (hostReachability_) hostReachability_->startNotifier();
  getNetworkType();
}

std::string KMNetWorkUtil::getNetworkType() {
  if (networkType() != 0) {
    hasNetwork_ = true;
    plat::NSLog("KTLog:nethaswork");
    beginInit();
    return "";
  }
  plat::NSLog("KTLog:nethasnotwork");
  hasNetwork_ = false;
  if (wanReach_) wanReach_->startNotifier();
  return "当前无网络连接";
}

void KMNetWorkUtil::networkStateChange(const plat::NSNotification& note) {
  if (hasNetwork_) return;
  auto changed = note.object.objectAs<KiteSDKReachability>();
  if (!changed || changed->currentReachabilityStatus() == KiteSDKReachability::NotReachable) return;
  hasNetwork_ = true;
  if (wanReach_) wanReach_->stopNotifier();
  plat::NSLog("KTLog:nethasworkformnotify");
  beginInit();
}

bool KMNetWorkUtil::zolneticHostAvailable() const {
  return hostReachability_ &&
         hostReachability_->currentReachabilityStatus() != KiteSDKReachability::NotReachable;
}

int64_t KMNetWorkUtil::networkType() const {
  return wanReach_ ? static_cast<int64_t>(wanReach_->currentReachabilityStatus()) : 0;
}
