#pragma once
// HVWebImageOperation: loads one image for one request: from the image cache's memory tier,
// then its disk tier, then over the network, decoding the download and storing it back. It
// reports through the completion and progress handlers of HVWebImageManager.h, can deliver
// partial images (plain or blurred) while data arrives, and can remember URLs that failed
// (the blacklist, kept for the life of the process).
//
// An asynchronous operation: a queue keeps its slot until it announces finished.
//
// Threads: the network work of every operation runs on one shared thread with its own run
// loop ("com.orvane.webimage.request"); decoding, disk lookups, the transform handler and
// cache writes run on serial decode queues ("com.orvane.image.decode", as many as there are
// hardware threads, 1 to 16) taken in turn. Completion and progress handlers are called on
// the network thread; only the cancel report of an operation released while still running
// comes on the releasing thread. The connection's delegate is an _HVWebImageWeakProxy, so
// the connection never keeps the operation alive.
//
// Every operation reports at most one finished (1) or cancelled (0) result; a cancelled one
// only after it was cancelled. Partial results (-1) come only while the download runs.
//
// Thread-safety: start(), cancel() and the getters may be called from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeinfo>

#include "image/HVImageDecoder.h"
#include "image/HVWeakProxyKind.h"
#include "image/HVWebImageManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/NSOperation.h"
#include "platform/network/NSURLAuthenticationChallenge.h"
#include "platform/network/NSURLConnection.h"
#include "platform/network/NSURLRequest.h"
#include "platform/uikit/UIApplication.h"

class HVImageCache;
class HVWebImageOperation;

// The connection's delegate: forwards every call to its target, held weakly. Once the target
// is gone a call does nothing and answers "not implemented".
class _HVWebImageWeakProxy : public plat::NSURLConnectionDelegate,
                             public HVWeakProxyKind<_HVWebImageWeakProxy> {
 public:
  bool isProxy() const { return true; }
  // Answered for the target; once it is gone, as a message to nil would be: empty, false, 0.
  std::string className() const;
  std::string description() const;
  std::string debugDescription() const { return description(); }
  bool isEqual(const HVWebImageOperation& other) const;
  size_t hash() const;

  explicit _HVWebImageWeakProxy(std::weak_ptr<HVWebImageOperation> target)
      : target_(std::move(target)) {}
  static std::shared_ptr<_HVWebImageWeakProxy> proxyWithTarget(
      const std::shared_ptr<HVWebImageOperation>& target) {
    return std::make_shared<_HVWebImageWeakProxy>(target);
  }
  std::shared_ptr<HVWebImageOperation> target() const { return target_.lock(); }

  std::optional<bool> connectionShouldUseCredentialStorage(
      const plat::NSURLConnectionRef& connection) override;
  bool connectionWillSendRequestForAuthenticationChallenge(
      const plat::NSURLConnectionRef& connection,
      const plat::NSURLAuthenticationChallengeRef& challenge) override;
  std::optional<plat::NSCachedURLResponseRef> connectionWillCacheResponse(
      const plat::NSURLConnectionRef& connection,
      const plat::NSCachedURLResponseRef& cachedResponse) override;
  void connectionDidReceiveResponse(const plat::NSURLConnectionRef& connection,
                                    const plat::NSURLResponseRef& response) override;
  void connectionDidReceiveData(const plat::NSURLConnectionRef& connection,
                                const plat::Data& data) override;
  void connectionDidFinishLoading(const plat::NSURLConnectionRef& connection) override;
  void connectionDidFailWithError(const plat::NSURLConnectionRef& connection,
                                  const plat::NSErrorRef& error) override;

 private:
  std::weak_ptr<HVWebImageOperation> target_;
};

class HVWebImageOperation : public plat::NSOperation {
 public:
  // Always raises NSException "HVWebImageOperation init error".
  static std::shared_ptr<HVWebImageOperation> init();
  // nullptr for a null request. An empty key becomes the request URL's absolute string.
  static std::shared_ptr<HVWebImageOperation>
  initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
      const plat::NSURLRequestRef& request, HVWebImageOptionFlags options,
      std::shared_ptr<HVImageCache> cache, const std::string& cacheKey,
      HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
      HVWebImageCompletionHandler completion);
  // Reports a cancel when released while still executing.
  ~HVWebImageOperation() override;

  // NSOperation.
  void start() override;
  void cancel() override;
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override;
  bool isFinished() const override;
  bool isCancelled() const override;
  // False for "isExecuting", "isFinished" and "isCancelled": the operation announces those
  // itself, around each change of its own flags and only when a flag changes. True (the
  // platform's answer) for every other key.
  static bool automaticallyNotifiesObserversForKey(const std::string& key);
  // "<HVWebImageOperation: 0x...  executing:NO finished:NO cancelled:NO>"
  std::string description() const;

  const plat::NSURLRequestRef& request() const { return request_; }
  const std::shared_ptr<HVImageCache>& cache() const { return cache_; }
  const std::string& cacheKey() const { return cacheKey_; }
  HVWebImageOptionFlags options() const { return options_; }
  plat::NSURLCredentialRef credential() const;
  // Credential for challenges other than server trust.
  void setCredential(plat::NSURLCredentialRef credential);
  bool shouldUseCredentialStorage() const { return shouldUseCredentialStorage_; }
  void setShouldUseCredentialStorage(bool use) { shouldUseCredentialStorage_ = use; }

  // Connection delegate (network thread).
  bool connectionShouldUseCredentialStorage(const plat::NSURLConnectionRef& connection);
  // Answers every challenge through its sender; true.
  bool connectionWillSendRequestForAuthenticationChallenge(
      const plat::NSURLConnectionRef& connection,
      const plat::NSURLAuthenticationChallengeRef& challenge);
  // The proposed response with option bit 3, else null (not stored).
  plat::NSCachedURLResponseRef connectionWillCacheResponse(
      const plat::NSURLConnectionRef& connection, const plat::NSCachedURLResponseRef& cached);
  void connectionDidReceiveResponse(const plat::NSURLConnectionRef& connection,
                                    const plat::NSURLResponseRef& response);
  void connectionDidReceiveData(const plat::NSURLConnectionRef& connection, const plat::Data& data);
  void connectionDidFinishLoading(const plat::NSURLConnectionRef& connection);
  void connectionDidFailWithError(const plat::NSURLConnectionRef& connection,
                                  const plat::NSErrorRef& error);

  // The shared network thread (made and started on first use) and the next decode queue.
  static plat::NSThreadRef _networkThread();
  static plat::DispatchQueueRef _imageQueue();

  // The blacklist of failed URLs (option bit 14). A null URL is never listed or added.
  static bool HVWebImageURLIsBlacklisted(const plat::NSURLRef& url);
  static void HVWebImageAddURLToBlacklist(const plat::NSURLRef& url);

  // Largest buffer reserved up front from a response's declared length.
  static constexpr int64_t kMaxInitialCapacity = 4 << 20;
  // Largest body a download may bring: 8 bytes for each pixel the image readers accept at
  // most, far above any image they decode. A longer body fails with NSURLErrorDomain -1103
  // and nothing of it is cached.
  static constexpr int64_t kMaxDownloadLength = int64_t(512) << 20;
  // The limit in force: kMaxDownloadLength unless a test lowered it.
  static int64_t maxDownloadLength();
  // Lowers (or, with nullopt, restores) the body limit. Tests only.
  static void setMaxDownloadLengthForTesting(std::optional<int64_t> length);
  // Called on the network thread just before a partial image is decoded (nothing when
  // empty). Tests only; reset it when done.
  static void setProgressiveDecodeHookForTesting(std::function<void()> hook);

 private:
  // Only the designated initializer can name it: an operation never exists without a request.
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  explicit HVWebImageOperation(Passkey) {}

 private:
  // The network thread's body: names the thread and runs its run loop for ever.
  static void _networkThreadMain();
  std::shared_ptr<HVWebImageOperation> self();
  void setExecuting(bool v);
  void setFinished(bool v);
  void setCancelled(bool v);

  void _startOperation();
  void _startRequest();
  void _didReceiveImageFromDiskCache(const plat::UIImageRef& image);
  void _didReceiveImageFromWeb(const plat::UIImageRef& image);
  void _cancelOperation();
  void _finish();
  void _endBackgroundTask();
  // Runs the decode step of a finished download (decode queue).
  void decodeDownload();
  // Delivers a partial image found in the data so far. Network thread, lock not held.
  void progressiveStep(const plat::Data& chunk);
  // Calls the completion with a partial image unless cancelled; whether it did.
  bool reportPartial(const plat::UIImageRef& image);
  // Decrements the indicator for the connection when it was counted; once per connection.
  void endCountedConnection();
  void runOnNetworkThread(void (HVWebImageOperation::*step)());
  // Calls the completion with a finished or cancelled result, once per operation.
  // REQUIRES: lock_ held.
  void deliverFinal(const plat::UIImageRef& image, HVWebImageSource from, HVWebImagePhase phase,
                    const plat::NSErrorRef& error);

  mutable std::recursive_mutex lock_;
  bool executing_ = false, finished_ = false, cancelled_ = false;
  bool shouldUseCredentialStorage_ = true;
  bool started_ = false;
  bool progressiveIgnored_ = false;
  bool progressiveDetected_ = false;
  bool counted_ = false;   // the connection is in the activity count
  bool reported_ = false;  // a finished or cancelled result went out
  double scale_ = 1;       // of the main screen when made
  plat::NSURLRequestRef request_;
  plat::NSURLRef url_;
  std::shared_ptr<HVImageCache> cache_;
  std::string cacheKey_;
  HVWebImageOptionFlags options_ = 0;
  plat::NSURLCredentialRef credential_;
  plat::NSURLConnectionRef connection_;
  std::shared_ptr<_HVWebImageWeakProxy> proxy_;
  plat::Data data_;
  bool hasData_ = false;  // data_ holds the download (kept for storage)
  int64_t expectedSize_ = 0;
  plat::UIBackgroundTaskIdentifier taskID_ = plat::UIBackgroundTaskInvalid;
  double lastProgressiveDecodeTimestamp_ = 0;
  uint64_t progressiveScanedLength_ = 0;
  uint64_t progressiveDisplayCount_ = 0;
  HVWebImageProgressHandler progress_;
  HVWebImageTransformHandler transform_;
  HVWebImageCompletionHandler completion_;
};
using HVWebImageOperationRef = std::shared_ptr<HVWebImageOperation>;
