#pragma once
// HVWebImageManager: the entry point for loading one image from a URL. It turns the URL into
// a request carrying its settings (time-out, header fields, cookies, cache policy, credential),
// makes an HVWebImageOperation for it and runs the operation on its queue (or starts it at
// once without one). The class also keeps the process-wide count of running image downloads
// that drives the application's network activity indicator, coalesced over 1/30 s.
//
// Also here: the option bits, sources, phases and handler shapes every caller of the loader
// shares.
//
// Thread-safety: requestImageWithURLOptionsProgressTransformCompletion may be called on any
// thread; the properties are configured before requests are made (not synchronized). The
// count may change from any thread; the record and the indicator are touched on the main
// thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/NSTimer.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSOperationQueue.h"
#include "platform/uikit/UIImage.h"

class HVImageCache;
class HVWebImageOperation;
namespace plat {
class UIApplication;
}

// Option bit set (only bits 0 to 14 mean something).
using HVWebImageOptionFlags = uint64_t;
// A network request (not a file URL) is counted in the activity indicator while it runs.
inline constexpr HVWebImageOptionFlags HVWebImageOptionActivityIndicator = 1ULL << 0;
// Partial images are delivered while data arrives.
inline constexpr HVWebImageOptionFlags HVWebImageOptionProgressiveDisplay = 1ULL << 1;
// Partial images are delivered blurred (progressive JPEG and interlaced PNG only).
inline constexpr HVWebImageOptionFlags HVWebImageOptionProgressiveBlurDisplay = 1ULL << 2;
// The request uses the protocol cache policy and may be cached by the URL cache; the image
// cache is not consulted.
inline constexpr HVWebImageOptionFlags HVWebImageOptionURLLoadingCache = 1ULL << 3;
// Any server certificate is accepted.
inline constexpr HVWebImageOptionFlags HVWebImageOptionTrustAllCertificates = 1ULL << 4;
// The operation runs inside an application background task.
inline constexpr HVWebImageOptionFlags HVWebImageOptionBackgroundTask = 1ULL << 5;
// The request handles cookies.
inline constexpr HVWebImageOptionFlags HVWebImageOptionSendCookies = 1ULL << 6;
// The image cache is not consulted; the download is stored even when it cannot be decoded.
inline constexpr HVWebImageOptionFlags HVWebImageOptionReloadImageCache = 1ULL << 7;
// No disk-cache lookup; the result is stored in memory only.
inline constexpr HVWebImageOptionFlags HVWebImageOptionSkipDiskCache = 1ULL << 8;
// The view categories do not show the placeholder.
inline constexpr HVWebImageOptionFlags HVWebImageOptionNoPlaceholder = 1ULL << 9;
// The downloaded image is not decoded for display.
inline constexpr HVWebImageOptionFlags HVWebImageOptionNoPredecode = 1ULL << 10;
// Only the first frame of the download is decoded (an animated image arrives still).
inline constexpr HVWebImageOptionFlags HVWebImageOptionFirstFrameOnly = 1ULL << 11;
// The view categories fade the new image in.
inline constexpr HVWebImageOptionFlags HVWebImageOptionFadeIn = 1ULL << 12;
// The view categories do not set the image; only the completion receives it.
inline constexpr HVWebImageOptionFlags HVWebImageOptionManualSetImage = 1ULL << 13;
// Failed URLs are remembered for the process and later requests for them fail at once.
inline constexpr HVWebImageOptionFlags HVWebImageOptionFailedURLBlacklist = 1ULL << 14;

// Where a completion's image came from.
enum HVWebImageSource : int64_t {
  HVWebImageSourceNone = 0,          // failure, cancel
  HVWebImageSourceMemoryAtOnce = 1,  // memory hit found by a view category, no operation made
  HVWebImageSourceMemory = 2,        // memory hit found by the operation
  HVWebImageSourceDisk = 3,
  HVWebImageSourceNetwork = 4,  // downloaded (also every partial image)
};

enum HVWebImagePhase : int64_t {
  HVWebImagePhasePartial = -1,   // a progressive partial image; more calls follow
  HVWebImagePhaseCancelled = 0,  // image and error are nil
  HVWebImagePhaseFinished = 1,   // the last call: an image, or nil with an error
};

// (received bytes, expected bytes: the response's expected length, 0 or -1 when unknown).
using HVWebImageProgressHandler = std::function<void(int64_t receivedSize, int64_t expectedSize)>;
// Applied once to a decoded download on a decode queue, before caching.
using HVWebImageTransformHandler =
    std::function<plat::UIImageRef(const plat::UIImageRef& image, const plat::NSURLRef& url)>;
// image and error may each be null.
using HVWebImageCompletionHandler = std::function<void(
    const plat::UIImageRef& image, const plat::NSURLRef& url, HVWebImageSource from,
    HVWebImagePhase stage, const plat::NSErrorRef& error)>;

using HVWebImageHeadersFilter =
    std::function<plat::Dictionary(const plat::NSURLRef& url, const plat::Dictionary& headers)>;
using HVWebImageCacheKeyFilter = std::function<std::string(const plat::NSURLRef& url)>;

// The running application, or nullptr in an app extension (the main bundle's path ends with
// ".appex"; decided once per process). Any thread.
plat::UIApplication* HVWebImageSharedApplication();
// Overrides the app-extension decision (true: behave as an extension; nullopt: decide again
// from the bundle). For tests; call with nullopt when done.
void HVWebImageSetAppExtensionForTesting(std::optional<bool> isExtension);

// The process-wide record of running network requests behind the activity indicator.
class _HVWebImageApplicationNetworkIndicatorInfo : public plat::Object {
 public:
  std::string className() const override { return "_HVWebImageApplicationNetworkIndicatorInfo"; }
  int64_t count = 0;
  plat::NSTimerRef timer;  // the pending indicator update
};

class HVWebImageManager : public plat::Object {
 public:
  // The one shared manager: HVImageCache::sharedCache() and a new queue of quality of
  // service background. Made once, never destroyed.
  static std::shared_ptr<HVWebImageManager> sharedManager();
  // Always raises NSException "HVWebImageManager init error" ("Use the designated initializer
  // to init."): there is no manager without cache and queue arguments.
  static std::shared_ptr<HVWebImageManager> init();
  // Either may be null: no cache means no image caching; no queue means each operation starts
  // at once on the requesting thread. Time-out 15 s, header "Accept" "image/webp,image/*;q=0.8"
  // when HVWebPSupported() says so, else "image/*;q=0.8".
  static std::shared_ptr<HVWebImageManager> initWithCacheQueue(std::shared_ptr<HVImageCache> cache,
                                                               plat::NSOperationQueueRef queue);

  std::string className() const override { return "HVWebImageManager"; }

  // The operation made for the URL, already queued or started; nullptr when none could be
  // made (a null URL). Any thread.
  std::shared_ptr<HVWebImageOperation> requestImageWithURLOptionsProgressTransformCompletion(
      const plat::NSURLRef& url, HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
      HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);

  // Empty for a null URL; with a headersFilter whatever it returns; otherwise headers().
  plat::Dictionary headersForURL(const plat::NSURLRef& url) const;
  // Empty for a null URL; with a cacheKeyFilter whatever it returns; otherwise the URL's
  // absolute string.
  std::string cacheKeyForURL(const plat::NSURLRef& url) const;

  const std::shared_ptr<HVImageCache>& cache() const { return cache_; }
  void setCache(std::shared_ptr<HVImageCache> cache) { cache_ = std::move(cache); }
  const plat::NSOperationQueueRef& queue() const { return queue_; }
  void setQueue(plat::NSOperationQueueRef queue) { queue_ = std::move(queue); }
  const HVWebImageTransformHandler& sharedTransformBlock() const { return sharedTransform_; }
  void setSharedTransformBlock(HVWebImageTransformHandler t) { sharedTransform_ = std::move(t); }
  double timeout() const { return timeout_; }
  void setTimeout(double seconds) { timeout_ = seconds; }
  // Empty means none. With both user name and password, every operation gets a credential.
  const std::string& username() const { return username_; }
  void setUsername(std::string name) { username_ = std::move(name); }
  const std::string& password() const { return password_; }
  void setPassword(std::string password) { password_ = std::move(password); }
  const plat::Dictionary& headers() const { return headers_; }
  void setHeaders(plat::Dictionary headers) { headers_ = std::move(headers); }
  const HVWebImageHeadersFilter& headersFilter() const { return headersFilter_; }
  void setHeadersFilter(HVWebImageHeadersFilter f) { headersFilter_ = std::move(f); }
  const HVWebImageCacheKeyFilter& cacheKeyFilter() const { return cacheKeyFilter_; }
  void setCacheKeyFilter(HVWebImageCacheKeyFilter f) { cacheKeyFilter_ = std::move(f); }

  // The running-request count behind the activity indicator (any thread). Nothing changes in
  // an app extension.
  static void incrementNetworkActivityCount();
  static void decrementNetworkActivityCount();
  // 0 before any change. Read on the main thread (changes from other threads land there).
  static int64_t currentNetworkActivityCount();

  static std::shared_ptr<_HVWebImageApplicationNetworkIndicatorInfo> _networkIndicatorInfo();
  static void _setNetworkIndicatorInfo(std::shared_ptr<_HVWebImageApplicationNetworkIndicatorInfo>);
  static void _changeNetworkActivityCount(int64_t delta);
  static void _delaySetActivity(const plat::NSTimerRef& timer);
  // Drops the record and its pending update and hides the indicator. Tests only.
  static void resetNetworkActivityForTesting();

 private:
  // Only initWithCacheQueue can name it: a manager is never made bare (init raises).
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  explicit HVWebImageManager(Passkey) {}

 private:
  std::shared_ptr<HVImageCache> cache_;
  plat::NSOperationQueueRef queue_;
  HVWebImageTransformHandler sharedTransform_;
  double timeout_ = 15;
  std::string username_, password_;
  plat::Dictionary headers_;
  HVWebImageHeadersFilter headersFilter_;
  HVWebImageCacheKeyFilter cacheKeyFilter_;
};
using HVWebImageManagerRef = std::shared_ptr<HVWebImageManager>;
