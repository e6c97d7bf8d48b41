#include "image/HVWebImageOperation.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "image/HVImage.h"
#include "image/HVImageCoder.h"
#include "image/HVImageKind.h"
#include "image/UIImage+HVWebImage.h"
#include "image/cache/HVImageCache.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSException.h"
#include "platform/graphics/CGBitmapContext.h"
#include "platform/graphics/CGImageSource.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLResponse.h"
#include "platform/uikit/UIScreen.h"

namespace {

constexpr const char* kImageErrorDomain = "com.orvane.image";
constexpr const char* kNetworkThreadName = "com.orvane.webimage.request";
constexpr const char* kDecodeQueueLabel = "com.orvane.image.decode";
constexpr const char* kJFIFDictionary = "{JFIF}";
constexpr const char* kJFIFIsProgressive = "IsProgressive";
constexpr const char* kPNGDictionary = "{PNG}";
constexpr const char* kPNGInterlaceType = "InterlaceType";
constexpr int64_t kURLErrorBlacklisted = -1100;  // NSURLErrorFileDoesNotExist
constexpr uint8_t kStartOfScan[2] = {0xFF, 0xDA};

std::atomic<int64_t> gMaxDownloadLength{HVWebImageOperation::kMaxDownloadLength};

struct ProgressiveHook {
  std::mutex mu;
  std::function<void()> hook;
};
ProgressiveHook& progressiveHook() {
  static auto* hook = new ProgressiveHook;
  return *hook;
}

struct Blacklist {
  std::mutex mu;
  std::set<std::string> urls;
};
Blacklist& blacklist() {
  static auto* list = new Blacklist;
  return *list;
}

plat::NSErrorRef blacklistError() {
  return plat::NSError::make(plat::NSURLErrorDomain, kURLErrorBlacklisted,
                             std::string("Failed to load URL, blacklisted."));
}

// Transport failures worth trying again later: never blacklisted.
bool isTransientError(int64_t code) {
  return code == -1009 || code == -999 || code == -1001 || code == -1012 || code == -1005;
}

bool isFileURL(const plat::NSURLRef& url) { return url && url->isFileURL(); }

bool findStartOfScan(const plat::Data& data, uint64_t from, uint64_t length) {
  if (from >= data.length()) return false;
  length = std::min<uint64_t>(length, data.length() - from);
  const uint8_t* begin = data.bytes() + from;
  const uint8_t* end = begin + length;
  return std::search(begin, end, std::begin(kStartOfScan), std::end(kStartOfScan)) != end;
}

bool dictionaryFlag(const plat::Value& properties, const char* dictionary, const char* key) {
  const plat::Value& flag = properties[dictionary][key];
  return flag.isNumber() && flag.boolValue();
}

// Whether the image's bottom-right pixel has any coverage. Reads alpha where the bitmap info
// of the 1 x 1 context puts it (32-bit little-endian stores B, G, R, A).
bool bottomRightPixelIsTransparent(const plat::UIImageRef& image, bool* usable) {
  *usable = false;
  auto cg = image ? image->CGImage() : nullptr;
  if (!cg || cg->width() == 0 || cg->height() == 0) return false;
  auto context =
      plat::CGBitmapContextCreate(nullptr, 1, 1, 8, 0, plat::CGColorSpaceCreateDeviceRGB(),
                                  plat::kCGImageAlphaPremultipliedFirst);
  if (!context) return false;
  *usable = true;
  double w = static_cast<double>(cg->width()), h = static_cast<double>(cg->height());
  plat::CGContextDrawImage(context.get(), plat::CGRectMake(1 - w, 0, w, h), cg);
  const auto* bytes = static_cast<const uint8_t*>(plat::CGBitmapContextGetData(context.get()));
  if (!bytes) return false;
  plat::CGBitmapInfo info = plat::CGBitmapContextGetBitmapInfo(context.get());
  size_t alphaIndex =
      (info & plat::kCGBitmapByteOrderMask) == plat::kCGBitmapByteOrder32Little ? 3 : 0;
  return bytes[alphaIndex] == 0;
}

}  // namespace

// ---- weak proxy ----

std::string _HVWebImageWeakProxy::className() const {
  return target() ? "HVWebImageOperation" : std::string();
}

std::string _HVWebImageWeakProxy::description() const {
  auto t = target();
  return t ? t->description() : std::string();
}

bool _HVWebImageWeakProxy::isEqual(const HVWebImageOperation& other) const {
  return target().get() == &other;
}

size_t _HVWebImageWeakProxy::hash() const { return reinterpret_cast<size_t>(target().get()); }

std::optional<bool> _HVWebImageWeakProxy::connectionShouldUseCredentialStorage(
    const plat::NSURLConnectionRef& connection) {
  auto t = target();
  if (!t) return std::nullopt;
  return t->connectionShouldUseCredentialStorage(connection);
}

bool _HVWebImageWeakProxy::connectionWillSendRequestForAuthenticationChallenge(
    const plat::NSURLConnectionRef& connection,
    const plat::NSURLAuthenticationChallengeRef& challenge) {
  auto t = target();
  return t && t->connectionWillSendRequestForAuthenticationChallenge(connection, challenge);
}

std::optional<plat::NSCachedURLResponseRef> _HVWebImageWeakProxy::connectionWillCacheResponse(
    const plat::NSURLConnectionRef& connection, const plat::NSCachedURLResponseRef& cached) {
  auto t = target();
  if (!t) return plat::NSCachedURLResponseRef();
  return t->connectionWillCacheResponse(connection, cached);
}

void _HVWebImageWeakProxy::connectionDidReceiveResponse(const plat::NSURLConnectionRef& connection,
                                                        const plat::NSURLResponseRef& response) {
  if (auto t = target()) t->connectionDidReceiveResponse(connection, response);
}

void _HVWebImageWeakProxy::connectionDidReceiveData(const plat::NSURLConnectionRef& connection,
                                                    const plat::Data& data) {
  if (auto t = target()) t->connectionDidReceiveData(connection, data);
}

void _HVWebImageWeakProxy::connectionDidFinishLoading(const plat::NSURLConnectionRef& connection) {
  if (auto t = target()) t->connectionDidFinishLoading(connection);
}

void _HVWebImageWeakProxy::connectionDidFailWithError(const plat::NSURLConnectionRef& connection,
                                                      const plat::NSErrorRef& error) {
  if (auto t = target()) t->connectionDidFailWithError(connection, error);
}

// ---- creation ----

std::shared_ptr<HVWebImageOperation> HVWebImageOperation::init() {
  throw plat::NSException("HVWebImageOperation init error",
                          "HVWebImageOperation must be initialized with a request. Use the "
                          "designated initializer to init.");
}

std::shared_ptr<HVWebImageOperation>
HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
    const plat::NSURLRequestRef& request, HVWebImageOptionFlags options,
    std::shared_ptr<HVImageCache> cache, const std::string& cacheKey,
    HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
    HVWebImageCompletionHandler completion) {
  if (!request) return nullptr;
  auto op = std::make_shared<HVWebImageOperation>(Passkey());
  op->request_ = request;
  op->url_ = plat::NSURL::URLWithString(request->URL());
  op->options_ = options;
  op->cache_ = std::move(cache);
  op->cacheKey_ = cacheKey.empty() ? request->URL() : cacheKey;
  op->progress_ = std::move(progress);
  op->transform_ = std::move(transform);
  op->completion_ = std::move(completion);
  op->scale_ = plat::UIScreen::mainScreen().scale();
  return op;
}

HVWebImageOperation::~HVWebImageOperation() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (taskID_ != plat::UIBackgroundTaskInvalid) {
    if (auto* app = HVWebImageSharedApplication()) app->endBackgroundTask(taskID_);
    taskID_ = plat::UIBackgroundTaskInvalid;
  }
  if (executing_) {
    // Released while running: nobody announces anything any more, but the caller hears of
    // the cancel.
    cancelled_ = true;
    finished_ = true;
    executing_ = false;
    endCountedConnection();
    if (connection_) connection_->cancel();
    connection_.reset();
    deliverFinal(nullptr, HVWebImageSourceNone, HVWebImagePhaseCancelled, nullptr);
  }
}

std::shared_ptr<HVWebImageOperation> HVWebImageOperation::self() {
  return std::static_pointer_cast<HVWebImageOperation>(weak_from_this().lock());
}

std::string HVWebImageOperation::description() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  char head[64];
  snprintf(head, sizeof head, "<HVWebImageOperation: %p ", static_cast<const void*>(this));
  auto yn = [](bool b) { return b ? "YES" : "NO"; };
  return std::string(head) + " executing:" + yn(executing_) + " finished:" + yn(finished_) +
         " cancelled:" + yn(cancelled_) + ">";
}

plat::NSURLCredentialRef HVWebImageOperation::credential() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return credential_;
}

void HVWebImageOperation::setCredential(plat::NSURLCredentialRef credential) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  credential_ = std::move(credential);
}

// ---- state ----

bool HVWebImageOperation::isExecuting() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return executing_;
}

bool HVWebImageOperation::isFinished() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return finished_;
}

bool HVWebImageOperation::isCancelled() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return cancelled_;
}

bool HVWebImageOperation::automaticallyNotifiesObserversForKey(const std::string& key) {
  return key != plat::kNSOperationIsExecutingKey && key != plat::kNSOperationIsFinishedKey &&
         key != plat::kNSOperationIsCancelledKey;
}

void HVWebImageOperation::setExecuting(bool v) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (executing_ == v) return;
  willChangeValueForKey(plat::kNSOperationIsExecutingKey);
  executing_ = v;
  didChangeValueForKey(plat::kNSOperationIsExecutingKey);
}

void HVWebImageOperation::setFinished(bool v) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (finished_ == v) return;
  willChangeValueForKey(plat::kNSOperationIsFinishedKey);
  finished_ = v;
  didChangeValueForKey(plat::kNSOperationIsFinishedKey);
}

void HVWebImageOperation::setCancelled(bool v) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_ == v) return;
  willChangeValueForKey(plat::kNSOperationIsCancelledKey);
  cancelled_ = v;
  didChangeValueForKey(plat::kNSOperationIsCancelledKey);
}

void HVWebImageOperation::deliverFinal(const plat::UIImageRef& image, HVWebImageSource from,
                                       HVWebImagePhase phase, const plat::NSErrorRef& error) {
  if (reported_) return;
  reported_ = true;
  if (completion_) completion_(image, url_, from, phase, error);
}

// ---- threads and queues ----

void HVWebImageOperation::_networkThreadMain() {
  plat::setCurrentThreadName(kNetworkThreadName);
  plat::RunLoop::current()->run();
}

plat::NSThreadRef HVWebImageOperation::_networkThread() {
  static auto* thread = new plat::NSThreadRef([] {
    auto t = plat::NSThread::threadWithBlock(&HVWebImageOperation::_networkThreadMain);
    t->setName(kNetworkThreadName);
    t->setQualityOfService(plat::NSQualityOfServiceBackground);
    t->start();
    return t;
  }());
  return *thread;
}

plat::DispatchQueueRef HVWebImageOperation::_imageQueue() {
  static const auto* queues = new std::vector<plat::DispatchQueueRef>([] {
    unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 16u);
    std::vector<plat::DispatchQueueRef> list;
    for (unsigned i = 0; i < n; ++i) {
      list.push_back(plat::dispatch_queue_create(
          kDecodeQueueLabel, plat::dispatch_queue_attr_make_with_qos_class(
                                 plat::DISPATCH_QUEUE_SERIAL, plat::QOS_CLASS_UTILITY, 0)));
    }
    return list;
  }());
  static std::atomic<int32_t> counter{0};
  int64_t c = counter.fetch_add(1, std::memory_order_relaxed) + 1LL;
  if (c < 0) c = -c;
  return (*queues)[static_cast<size_t>(c % static_cast<int64_t>(queues->size()))];
}

void HVWebImageOperation::runOnNetworkThread(void (HVWebImageOperation::*step)()) {
  // The posted step holds the operation, as a performed selector retains its target.
  auto strong = self();
  if (!strong) return;
  plat::performSelectorOnThread(
      _networkThread(), [strong, step] { ((*strong).*step)(); }, false);
}

int64_t HVWebImageOperation::maxDownloadLength() { return gMaxDownloadLength.load(); }

void HVWebImageOperation::setMaxDownloadLengthForTesting(std::optional<int64_t> length) {
  gMaxDownloadLength.store(length.value_or(kMaxDownloadLength));
}

void HVWebImageOperation::setProgressiveDecodeHookForTesting(std::function<void()> hook) {
  auto& h = progressiveHook();
  std::lock_guard<std::mutex> lock(h.mu);
  h.hook = std::move(hook);
}

// ---- blacklist ----

bool HVWebImageOperation::HVWebImageURLIsBlacklisted(const plat::NSURLRef& url) {
  if (!url) return false;
  auto& list = blacklist();
  std::lock_guard<std::mutex> lock(list.mu);
  return list.urls.count(url->absoluteString()) != 0;
}

void HVWebImageOperation::HVWebImageAddURLToBlacklist(const plat::NSURLRef& url) {
  if (!url) return;
  auto& list = blacklist();
  std::lock_guard<std::mutex> lock(list.mu);
  list.urls.insert(url->absoluteString());
}

// ---- start and cancel ----

void HVWebImageOperation::start() {
  auto keep = self();  // notices may let the queue drop its reference
  std::lock_guard<std::recursive_mutex> lock(lock_);
  started_ = true;
  if (cancelled_) {
    runOnNetworkThread(&HVWebImageOperation::_cancelOperation);
    setFinished(true);
    return;
  }
  if (!isReady() || finished_ || executing_) return;
  setExecuting(true);
  runOnNetworkThread(&HVWebImageOperation::_startOperation);
  if ((options_ & HVWebImageOptionBackgroundTask) && taskID_ == plat::UIBackgroundTaskInvalid) {
    if (auto* app = HVWebImageSharedApplication()) {
      std::weak_ptr<HVWebImageOperation> weak = keep;
      taskID_ = app->beginBackgroundTaskWithExpirationHandler([weak] {
        if (auto op = weak.lock()) {
          op->cancel();
          op->setFinished(true);
        }
      });
    }
  }
}

void HVWebImageOperation::cancel() {
  auto keep = self();
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_) return;
  // The operation's own flag is the one every reader asks, and its notice the only one sent:
  // the base class's cancel would announce "isCancelled" a second time on its behalf.
  setCancelled(true);
  if (executing_) {
    setExecuting(false);
    runOnNetworkThread(&HVWebImageOperation::_cancelOperation);
  }
  if (started_) setFinished(true);
}

void HVWebImageOperation::_cancelOperation() {
  plat::NSURLConnectionRef connection;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    endCountedConnection();
    connection = std::move(connection_);
    connection_.reset();
    data_ = plat::Data();
  }
  if (connection) connection->cancel();
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    deliverFinal(nullptr, HVWebImageSourceNone, HVWebImagePhaseCancelled, nullptr);
  }
  _endBackgroundTask();
}

void HVWebImageOperation::_finish() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  setExecuting(false);
  setFinished(true);
  _endBackgroundTask();
}

void HVWebImageOperation::_endBackgroundTask() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (taskID_ == plat::UIBackgroundTaskInvalid) return;
  if (auto* app = HVWebImageSharedApplication()) app->endBackgroundTask(taskID_);
  taskID_ = plat::UIBackgroundTaskInvalid;
}

void HVWebImageOperation::endCountedConnection() {
  if (!counted_) return;
  counted_ = false;
  HVWebImageManager::decrementNetworkActivityCount();
}

// ---- the load (network thread) ----

void HVWebImageOperation::_startOperation() {
  auto keep = self();
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_) return;
  if (cache_ &&
      !(options_ & (HVWebImageOptionURLLoadingCache | HVWebImageOptionReloadImageCache))) {
    if (auto image = cache_->getImageForKeyWithType(cacheKey_, HVCacheTierMemory)) {
      deliverFinal(image, HVWebImageSourceMemory, HVWebImagePhaseFinished, nullptr);
      _finish();
      return;
    }
    if (!(options_ & HVWebImageOptionSkipDiskCache)) {
      std::weak_ptr<HVWebImageOperation> weak = keep;
      plat::dispatch_async(_imageQueue(), [weak] {
        auto op = weak.lock();
        if (!op || op->isCancelled()) return;
        auto image = op->cache_->getImageForKeyWithType(op->cacheKey_, HVCacheTierDisk);
        if (image) {
          op->cache_->setImageImageDataForKeyWithType(image, plat::Data(), op->cacheKey_,
                                                      HVCacheTierMemory);
        }
        plat::performSelectorOnThread(
            _networkThread(), [op, image] { op->_didReceiveImageFromDiskCache(image); }, false);
      });
      return;
    }
  }
  _startRequest();
}

void HVWebImageOperation::_didReceiveImageFromDiskCache(const plat::UIImageRef& image) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_) return;
  if (image) {
    deliverFinal(image, HVWebImageSourceDisk, HVWebImagePhaseFinished, nullptr);
    _finish();
  } else {
    _startRequest();
  }
}

void HVWebImageOperation::_startRequest() {
  auto keep = self();
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_) return;
  if ((options_ & HVWebImageOptionFailedURLBlacklist) && HVWebImageURLIsBlacklisted(url_)) {
    deliverFinal(nullptr, HVWebImageSourceNone, HVWebImagePhaseFinished, blacklistError());
    _finish();
    return;
  }
  bool file = isFileURL(url_);
  if (file) {
    plat::Value size;
    url_->getResourceValueForKey(&size, plat::NSURLFileSizeKey);
    expectedSize_ = size.isNumber() ? size.longLongValue() : -1;
  }
  proxy_ = _HVWebImageWeakProxy::proxyWithTarget(keep);
  connection_ = plat::NSURLConnection::connectionWithRequestDelegate(request_, proxy_);
  if (!file && (options_ & HVWebImageOptionActivityIndicator)) {
    counted_ = true;
    HVWebImageManager::incrementNetworkActivityCount();
  }
}

void HVWebImageOperation::connectionDidReceiveResponse(const plat::NSURLConnectionRef& connection,
                                                       const plat::NSURLResponseRef& response) {
  auto keep = self();
  if (auto http = std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(response)) {
    int64_t status = http->statusCode();
    if (status > 399 || status == 304) {
      auto error = plat::NSError::make(plat::NSURLErrorDomain, status);
      if (connection) connection->cancel();
      connectionDidFailWithError(connection, error);
      return;
    }
  }
  std::lock_guard<std::recursive_mutex> lock(lock_);
  int64_t length = response ? response->expectedContentLength() : -1;
  if (length != 0) expectedSize_ = length < 0 ? -1 : length;
  // A declared length only sizes the first buffer up to a bound: a forged one must not
  // reserve more than that.
  data_ = plat::Data();
  data_.reserve(static_cast<size_t>(std::clamp<int64_t>(expectedSize_, 0, kMaxInitialCapacity)));
  hasData_ = true;
  if (progress_ && !cancelled_) progress_(0, expectedSize_);
}

void HVWebImageOperation::connectionDidReceiveData(const plat::NSURLConnectionRef& connection,
                                                   const plat::Data& chunk) {
  auto keep = self();
  bool tooLong = false;
  plat::NSURLConnectionRef live;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (cancelled_) return;
    tooLong = static_cast<int64_t>(data_.length() + chunk.length()) > maxDownloadLength();
    if (tooLong) {
      live = connection ? connection : connection_;
    } else {
      data_.append(chunk);
      hasData_ = true;
      if (progress_) progress_(static_cast<int64_t>(data_.length()), expectedSize_);
    }
  }
  if (tooLong) {
    if (live) live->cancel();
    connectionDidFailWithError(
        live, plat::NSError::make(plat::NSURLErrorDomain, plat::NSURLErrorDataLengthExceedsMaximum,
                                  std::string("resource exceeds maximum size")));
    return;
  }
  // Decoding and blurring run outside the lock: only the network thread touches the data and
  // the progressive state, and cancel() must not wait for a partial image.
  progressiveStep(chunk);
}

// Network thread; takes the lock only to read the cancelled flag and to report.
void HVWebImageOperation::progressiveStep(const plat::Data& chunk) {
  if (!completion_) return;
  bool blur = (options_ & HVWebImageOptionProgressiveBlurDisplay) != 0;
  if (!blur && !(options_ & HVWebImageOptionProgressiveDisplay)) return;
  if (chunk.length() <= 16) return;
  if (expectedSize_ > 0 && static_cast<double>(chunk.length()) >= 0.99 * expectedSize_) return;
  if (progressiveIgnored_) return;

  double minimumInterval = blur ? 0.4 : 0.2;
  double now = plat::Clock::nowSeconds();
  if (now - lastProgressiveDecodeTimestamp_ < minimumInterval) return;

  {
    auto& h = progressiveHook();
    std::lock_guard<std::mutex> lock(h.mu);
    if (h.hook) h.hook();
  }
  // The partial decode reads the download where it is, without copying it: only this thread
  // appends to it, and not before the step ends. So the decoder lives for this step alone and
  // must not keep the buffer past it (the readers rescan all the bytes at each step anyway).
  std::shared_ptr<const plat::Data> body(&data_, [](const plat::Data*) {});
  auto decoder = std::make_shared<HVImageDecoder>(scale_);
  decoder->updateDataFinal(std::move(body), false);
  if (isCancelled()) return;

  HVImageKind type = decoder->type();
  if (type == HVImageKindUnknown || type == HVImageKindWebP ||
      (blur && type != HVImageKindJPEG && type != HVImageKindPNG)) {
    progressiveIgnored_ = true;
    return;
  }
  if (decoder->frameCount() == 0) return;

  if (!blur) {
    auto frame = decoder->frameAtIndexDecodeForDisplay(0, true);
    if (frame && frame->image() && reportPartial(frame->image())) {
      lastProgressiveDecodeTimestamp_ = now;
    }
    return;
  }

  if (type == HVImageKindJPEG) {
    if (!progressiveDetected_) {
      if (!dictionaryFlag(decoder->framePropertiesAtIndex(0), kJFIFDictionary,
                          kJFIFIsProgressive)) {
        progressiveIgnored_ = true;
        return;
      }
      progressiveDetected_ = true;
    }
    int64_t remaining =
        static_cast<int64_t>(data_.length()) - static_cast<int64_t>(progressiveScanedLength_);
    if (remaining < 7) return;
    bool found =
        findStartOfScan(data_, progressiveScanedLength_, static_cast<uint64_t>(remaining - 4));
    progressiveScanedLength_ = data_.length();
    if (!found || isCancelled()) return;
  } else if (type == HVImageKindPNG) {
    if (!progressiveDetected_) {
      if (!dictionaryFlag(decoder->framePropertiesAtIndex(0), kPNGDictionary, kPNGInterlaceType)) {
        progressiveIgnored_ = true;
        return;
      }
      progressiveDetected_ = true;
    }
  }

  auto frame = decoder->frameAtIndexDecodeForDisplay(0, true);
  plat::UIImageRef image = frame ? frame->image() : nullptr;
  if (!image || isCancelled()) return;

  bool usable = false;
  bool transparent = bottomRightPixelIsTransparent(image, &usable);
  if (!usable || transparent) return;

  ++progressiveDisplayCount_;
  double radius;
  if (expectedSize_ > 0) {
    int64_t triple = 3 * static_cast<int64_t>(data_.length());
    radius =
        32 * (1 / (static_cast<double>(triple) / static_cast<double>(expectedSize_) + 0.6) - 0.25);
  } else {
    radius = 32.0 / static_cast<double>(progressiveDisplayCount_);
  }
  auto blurred = HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      image, radius, std::nullopt, plat::kCGBlendModeNormal, 1, nullptr);
  if (blurred && reportPartial(blurred)) lastProgressiveDecodeTimestamp_ = now;
}

bool HVWebImageOperation::reportPartial(const plat::UIImageRef& image) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_) return false;
  completion_(image, url_, HVWebImageSourceNetwork, HVWebImagePhasePartial, nullptr);
  return true;
}

void HVWebImageOperation::connectionDidFinishLoading(const plat::NSURLConnectionRef&) {
  auto keep = self();
  std::lock_guard<std::recursive_mutex> lock(lock_);
  connection_.reset();
  // Whoever ends a counted connection takes it off the count, cancelled or not.
  endCountedConnection();
  if (cancelled_) return;
  std::weak_ptr<HVWebImageOperation> weak = keep;
  plat::dispatch_async(_imageQueue(), [weak] {
    if (auto op = weak.lock()) op->decodeDownload();
  });
}

void HVWebImageOperation::decodeDownload() {
  // The download is held once: the decoder and its image source read the very buffer it
  // arrived in.
  auto body = std::make_shared<plat::Data>();
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    *body = std::move(data_);
    data_ = plat::Data();
    hasData_ = false;
  }
  std::shared_ptr<const plat::Data> shared = body;
  const plat::Data& data = *body;
  plat::UIImageRef image;
  bool animated = false;
  if (options_ & HVWebImageOptionFirstFrameOnly) {
    if (auto decoder = HVImageDecoder::decoderWithDataScale(shared, scale_)) {
      auto frame =
          decoder->frameAtIndexDecodeForDisplay(0, !(options_ & HVWebImageOptionNoPredecode));
      if (frame) image = frame->image();
    }
  } else {
    auto hvImage = HVImage::initWithDataScale(shared, scale_);
    if (hvImage) {
      animated = hvImage->animatedImageFrameCount() > 1;
      image = hvImage;
      if (!(options_ & HVWebImageOptionNoPredecode)) image = HV_imageByDecoded(image);
    }
  }
  HVImageKind type = HVSniffImageType(data);
  bool keepBytes = type == HVImageKindJPEG || type == HVImageKindPNG ||
                   ((type == HVImageKindGIF || type == HVImageKindWebP) && animated);
  if (isCancelled()) return;
  if (transform_ && image) {
    auto transformed = transform_(image, url_);
    if (transformed != image) keepBytes = false;
    image = transformed;
    if (isCancelled()) return;
  }
  shared.reset();
  if (keepBytes) {
    // An animated image goes on reading the buffer for its later frames: the cache gets a copy.
    // Otherwise the bytes move on.
    plat::Data kept = body.use_count() == 1 ? std::move(*body) : plat::Data(*body);
    std::lock_guard<std::recursive_mutex> lock(lock_);
    data_ = std::move(kept);
    hasData_ = true;
  }
  auto op = self();
  if (!op) return;
  plat::performSelectorOnThread(
      _networkThread(), [op, image] { op->_didReceiveImageFromWeb(image); }, false);
}

void HVWebImageOperation::_didReceiveImageFromWeb(const plat::UIImageRef& image) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_) return;
  if (cache_ && (image || (options_ & HVWebImageOptionReloadImageCache))) {
    auto cache = cache_;
    // The download moves on into the cache write: a large body is never held twice here.
    plat::Data bytes = hasData_ ? std::move(data_) : plat::Data();
    std::string key = cacheKey_;
    HVCacheTier tier =
        (options_ & HVWebImageOptionSkipDiskCache) ? HVCacheTierMemory : HVCacheTierAll;
    auto write = std::make_shared<plat::Data>(std::move(bytes));
    plat::dispatch_async(_imageQueue(), [cache, image, write, key, tier] {
      cache->setImageImageDataForKeyWithType(image, std::move(*write), key, tier);
    });
  }
  data_ = plat::Data();
  hasData_ = false;
  plat::NSErrorRef error;
  if (!image) {
    error = plat::NSError::make(kImageErrorDomain, -1, std::string("Web image decode fail."));
    if (options_ & HVWebImageOptionFailedURLBlacklist) {
      if (HVWebImageURLIsBlacklisted(url_)) {
        error = blacklistError();
      } else {
        HVWebImageAddURLToBlacklist(url_);
      }
    }
  }
  deliverFinal(image, HVWebImageSourceNetwork, HVWebImagePhaseFinished, error);
  _finish();
}

void HVWebImageOperation::connectionDidFailWithError(const plat::NSURLConnectionRef&,
                                                     const plat::NSErrorRef& error) {
  auto keep = self();
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cancelled_) return;
  deliverFinal(nullptr, HVWebImageSourceNone, HVWebImagePhaseFinished, error);
  connection_.reset();
  data_ = plat::Data();
  hasData_ = false;
  endCountedConnection();
  _finish();
  if ((options_ & HVWebImageOptionFailedURLBlacklist) && error &&
      !isTransientError(error->code())) {
    HVWebImageAddURLToBlacklist(url_);
  }
}

bool HVWebImageOperation::connectionWillSendRequestForAuthenticationChallenge(
    const plat::NSURLConnectionRef&, const plat::NSURLAuthenticationChallengeRef& challenge) {
  auto sender = challenge ? challenge->sender() : nullptr;
  if (!sender) return false;
  const auto& space = challenge->protectionSpace();
  if (space && space->authenticationMethod() == plat::NSURLAuthenticationMethodServerTrust) {
    // The sender always offers default handling, so a trust is only accepted unevaluated when
    // the caller asked for it.
    if (!(options_ & HVWebImageOptionTrustAllCertificates)) {
      sender->performDefaultHandlingForAuthenticationChallenge(challenge);
    } else {
      sender->useCredentialForAuthenticationChallenge(
          plat::NSURLCredential::credentialForTrust(space->serverTrust()), challenge);
    }
    return true;
  }
  auto cred = credential();
  if (challenge->previousFailureCount() != 0 || !cred) {
    sender->continueWithoutCredentialForAuthenticationChallenge(challenge);
  } else {
    sender->useCredentialForAuthenticationChallenge(cred, challenge);
  }
  return true;
}

bool HVWebImageOperation::connectionShouldUseCredentialStorage(const plat::NSURLConnectionRef&) {
  return shouldUseCredentialStorage_;
}

plat::NSCachedURLResponseRef HVWebImageOperation::connectionWillCacheResponse(
    const plat::NSURLConnectionRef&, const plat::NSCachedURLResponseRef& cached) {
  return (options_ & HVWebImageOptionURLLoadingCache) ? cached : nullptr;
}
