#include "image/HVWebImageManager.h"

#include <atomic>
#include <mutex>

#include "image/HVImageDecoder.h"
#include "image/HVImageKind.h"
#include "image/HVWebImageOperation.h"
#include "image/cache/HVImageCache.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSException.h"
#include "platform/network/NSURLAuthenticationChallenge.h"
#include "platform/network/NSURLRequest.h"
#include "platform/uikit/UIApplication.h"

namespace {

constexpr const char* kAcceptImages = "image/*;q=0.8";
constexpr const char* kAcceptImagesWithWebP = "image/webp,image/*;q=0.8";
constexpr double kIndicatorDelay = 1.0 / 30.0;

std::mutex gExtensionMu;
std::optional<bool> gIsExtension;  // decided once; tests may override

bool endsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Main thread only.
std::shared_ptr<_HVWebImageApplicationNetworkIndicatorInfo>& indicatorRecord() {
  static auto* record = new std::shared_ptr<_HVWebImageApplicationNetworkIndicatorInfo>();
  return *record;
}

}  // namespace

plat::UIApplication* HVWebImageSharedApplication() {
  bool extension;
  {
    std::lock_guard<std::mutex> lock(gExtensionMu);
    if (!gIsExtension)
      gIsExtension = endsWith(plat::NSBundle::mainBundle()->bundlePath(), ".appex");
    extension = *gIsExtension;
  }
  return extension ? nullptr : &plat::UIApplication::sharedApplication();
}

void HVWebImageSetAppExtensionForTesting(std::optional<bool> isExtension) {
  std::lock_guard<std::mutex> lock(gExtensionMu);
  gIsExtension = isExtension;
}

std::shared_ptr<HVWebImageManager> HVWebImageManager::sharedManager() {
  static auto* manager = new std::shared_ptr<HVWebImageManager>([] {
    auto queue = std::make_shared<plat::NSOperationQueue>();
    queue->setQualityOfService(plat::NSQualityOfServiceBackground);
    return initWithCacheQueue(HVImageCache::sharedCache(), queue);
  }());
  return *manager;
}

std::shared_ptr<HVWebImageManager> HVWebImageManager::init() {
  throw plat::NSException("HVWebImageManager init error",
                          "Use the designated initializer to init.");
}

std::shared_ptr<HVWebImageManager> HVWebImageManager::initWithCacheQueue(
    std::shared_ptr<HVImageCache> cache, plat::NSOperationQueueRef queue) {
  auto manager = std::make_shared<HVWebImageManager>(Passkey());
  manager->cache_ = std::move(cache);
  manager->queue_ = std::move(queue);
  manager->timeout_ = 15;
  manager->headers_.set("Accept", HVWebPSupported() ? kAcceptImagesWithWebP : kAcceptImages);
  return manager;
}

std::shared_ptr<HVWebImageOperation>
HVWebImageManager::requestImageWithURLOptionsProgressTransformCompletion(
    const plat::NSURLRef& url, HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  if (!url) return nullptr;
  auto request = plat::NSMutableURLRequest::requestWithURL(url->absoluteString());
  request->setTimeoutInterval(timeout_);
  request->setHTTPShouldHandleCookies((options & HVWebImageOptionSendCookies) != 0);
  request->setAllHTTPHeaderFields(headersForURL(url));
  request->setHTTPShouldUsePipelining(true);
  request->setCachePolicy((options & HVWebImageOptionURLLoadingCache)
                              ? plat::NSURLRequestUseProtocolCachePolicy
                              : plat::NSURLRequestReloadIgnoringLocalCacheData);
  auto operation =
      HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
          request, options, cache_, cacheKeyForURL(url), std::move(progress),
          transform ? std::move(transform) : sharedTransform_, std::move(completion));
  if (!operation) return nullptr;
  if (!username_.empty() && !password_.empty()) {
    operation->setCredential(plat::NSURLCredential::credentialWithUserPasswordPersistence(
        username_, password_, plat::NSURLCredentialPersistenceForSession));
  }
  if (queue_) {
    queue_->addOperation(operation);
  } else {
    operation->start();
  }
  return operation;
}

plat::Dictionary HVWebImageManager::headersForURL(const plat::NSURLRef& url) const {
  if (!url) return {};
  if (headersFilter_) return headersFilter_(url, headers_);
  return headers_;
}

std::string HVWebImageManager::cacheKeyForURL(const plat::NSURLRef& url) const {
  if (!url) return {};
  if (cacheKeyFilter_) return cacheKeyFilter_(url);
  return url->absoluteString();
}

// ---- network activity ----

void HVWebImageManager::incrementNetworkActivityCount() { _changeNetworkActivityCount(1); }
void HVWebImageManager::decrementNetworkActivityCount() { _changeNetworkActivityCount(-1); }

int64_t HVWebImageManager::currentNetworkActivityCount() {
  auto record = _networkIndicatorInfo();
  return record ? record->count : 0;
}

std::shared_ptr<_HVWebImageApplicationNetworkIndicatorInfo>
HVWebImageManager::_networkIndicatorInfo() {
  return indicatorRecord();
}

void HVWebImageManager::_setNetworkIndicatorInfo(
    std::shared_ptr<_HVWebImageApplicationNetworkIndicatorInfo> info) {
  indicatorRecord() = std::move(info);
}

void HVWebImageManager::_changeNetworkActivityCount(int64_t delta) {
  if (!HVWebImageSharedApplication()) return;
  auto change = [delta] {
    auto record = _networkIndicatorInfo();
    if (!record) {
      record = std::make_shared<_HVWebImageApplicationNetworkIndicatorInfo>();
      _setNetworkIndicatorInfo(record);
    }
    record->count += delta;
    if (record->timer) record->timer->invalidate();
    auto timer = plat::NSTimer::timerWithTimeIntervalTargetSelectorUserInfoRepeats(
        kIndicatorDelay, [](const plat::NSTimerRef& t) { _delaySetActivity(t); },
        plat::Value(record->count > 0), false);
    record->timer = timer;
    plat::RunLoop::main()->addTimer(timer, plat::kCFRunLoopCommonModes);
  };
  if (plat::NSThread::isMainThread()) {
    change();
  } else {
    plat::dispatch_async(plat::dispatch_get_main_queue(), change);
  }
}

void HVWebImageManager::_delaySetActivity(const plat::NSTimerRef& timer) {
  if (auto* app = HVWebImageSharedApplication()) {
    bool visible = timer->userInfo().boolValue();
    if (app->isNetworkActivityIndicatorVisible() != visible) {
      app->setNetworkActivityIndicatorVisible(visible);
    }
  }
  timer->invalidate();
}

void HVWebImageManager::resetNetworkActivityForTesting() {
  auto& record = indicatorRecord();
  if (record && record->timer) record->timer->invalidate();
  record.reset();
  plat::UIApplication::sharedApplication().setNetworkActivityIndicatorVisible(false);
}
