#pragma once
// _HVWebImageSetter: the request state of one view slot (an image view's image, its
// highlighted image, a button's image for one state, a layer's contents...). It keeps the
// slot's latest URL, its current operation and a sentinel number that every new request and
// every cancel moves on, so that a late result of an older request is never shown.
//
// Sentinel steps: a cancel (cancelWithNewURL, teardown) adds 2, a request that becomes the
// slot's operation adds 1. A request whose cancel returned s is therefore current exactly
// while the sentinel reads s (not yet installed) or s + 1 (installed): no later cancel can
// land on either value.
//
// Also here: the setter queue and the slot machinery every view category shares (the full
// form of the categories: placeholder, memory-cache shortcut, request on the setter queue,
// completion wrapper, fade).
//
// Thread-safety: the setter may be used from any thread; its semaphore guards the URL and
// the operation, and the sentinel changes by atomic increments only. The slot machinery calls
// the caller's handlers and touches views on the main queue only.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "image/HVWebImageManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Object.h"
#include "platform/network/NSOperation.h"
#include "platform/uikit/CALayer.h"
#include "platform/uikit/UIImage.h"

// Key of the fade transition the categories add to a layer.
inline constexpr const char* kHVWebImageFadeAnimationKey = "HVWebImageFade";
// Localized description of the error reported when the manager makes no operation.
inline constexpr const char* kHVWebImageOperationCreateFailed =
    "HVWebImageOperation create failed.";
inline constexpr const char* kHVWebImageErrorDomain = "com.orvane.webimage";

class _HVWebImageSetter;
using _HVWebImageSetterRef = std::shared_ptr<_HVWebImageSetter>;

class _HVWebImageSetter : public plat::Object {
 public:
  _HVWebImageSetter();
  // Teardown: moves the sentinel on, then cancels the operation.
  ~_HVWebImageSetter() override;
  std::string className() const override { return "_HVWebImageSetter"; }

  // The URL of the slot's latest request; nullptr before the first one and after a cancel.
  plat::NSURLRef imageURL() const;
  int32_t sentinel() const { return sentinel_.load(); }

  // Cancels and drops the current operation, records `url` (may be null) as the slot's URL
  // and moves the sentinel on. Returns the new sentinel.
  int32_t cancelWithNewURL(const plat::NSURLRef& url);
  void cancel() { cancelWithNewURL(nullptr); }

  // Asks `manager` for an operation unless the slot moved on since `sentinel` was handed
  // out; the operation becomes the slot's. Returns the sentinel after the call: `sentinel` + 1
  // when the operation was installed, otherwise the sentinel that superseded the request (the
  // new operation, if any, is cancelled). A superseded request gets (nil, url, 0, 0, nil); a
  // manager that makes no operation gives (nil, url, 0, 1, "HVWebImageOperation create
  // failed."), and so does a null manager. The completion may be called on the calling
  // thread.
  int32_t setOperationWithSentinelUrlOptionsManagerProgressTransformCompletion(
      int32_t sentinel, const plat::NSURLRef& url, HVWebImageOptionFlags options,
      const HVWebImageManagerRef& manager, HVWebImageProgressHandler progress,
      HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);

  // The serial queue "com.orvane.webimage.setter" (targets the default global queue) on which
  // every view slot asks its manager for operations. Made once, never destroyed.
  static plat::DispatchQueueRef setterQueue();

 private:
  mutable std::mutex lock_;
  plat::NSURLRef imageURL_;
  plat::NSOperationRef operation_;
  std::atomic<int32_t> sentinel_{0};
};

// What one view slot is to the shared machinery: how to find its setter and how to show an
// image in it. The categories fill it in; everything it holds may be called on the main
// thread only, except `setter`, which any thread may call.
struct _HVWebImageSlot {
  // The view or layer; the asynchronous steps hold it weakly.
  plat::ObjectRef owner;
  // The slot's setter, made and attached on first use.
  std::function<_HVWebImageSetterRef()> setter;
  // Shows an image (nullptr clears the slot) in the owner.
  std::function<void(const plat::ObjectRef& owner, const plat::UIImageRef& image)> show;
  // The layer a fade goes to, when the slot fades at this moment (for an image view: when its
  // highlighted state matches the slot); nullptr when it does not (buttons never do).
  std::function<plat::CALayerRef(const plat::ObjectRef& owner)> fadeLayer;
};

// The full form of every category: `url` as given (null: no URL), a null manager meaning the
// shared one. Runs the main step on the main thread, at once when called there, otherwise
// waiting for it; a request superseded by then touches nothing and reports (nil, url, 0, 0,
// nil) to its completion. A load that ends without an image after showing a partial one puts
// the placeholder back (none with a nil one or HVWebImageOptionNoPlaceholder).
// REQUIRES: slot.owner, slot.setter, slot.show; not called from a thread the main thread is
// waiting for.
void _HVWebImageSetImageForSlot(const _HVWebImageSlot& slot, const plat::NSURLRef& url,
                                const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
                                HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
                                HVWebImageTransformHandler transform,
                                HVWebImageCompletionHandler completion);

// The object stored under `key` on `owner` when `fits` accepts it; otherwise, when `create`,
// a new one from `make`, attached under `key`; otherwise nullptr. One lock covers every
// owner, so two threads asking at once never attach two objects. Any thread.
plat::ObjectRef _HVWebImageAttachedForKey(const plat::ObjectRef& owner, const void* key,
                                          bool create,
                                          const std::function<bool(const plat::ObjectRef&)>& fits,
                                          const std::function<plat::ObjectRef()>& make);

// The T stored under `key` on `owner`, made and attached when `create` and there is none.
// Any thread.
template <class T>
std::shared_ptr<T> _HVWebImageAttachedForKey(const plat::ObjectRef& owner, const void* key,
                                             bool create) {
  return std::static_pointer_cast<T>(_HVWebImageAttachedForKey(
      owner, key, create,
      [](const plat::ObjectRef& stored) { return std::dynamic_pointer_cast<T>(stored) != nullptr; },
      [] { return std::make_shared<T>(); }));
}

// The setter stored under `key` on `owner`, made and attached when `create` and there is
// none. Any thread.
_HVWebImageSetterRef _HVWebImageSetterForKey(const plat::ObjectRef& owner, const void* key,
                                             bool create);

// A slot of `owner` whose setter is stored under `key` (made on first use), showing images
// through `show` and fading through `fadeLayer` (empty: never fades).
_HVWebImageSlot _HVWebImageSlotForKey(
    const plat::ObjectRef& owner, const void* key,
    std::function<void(const plat::ObjectRef& owner, const plat::UIImageRef& image)> show,
    std::function<plat::CALayerRef(const plat::ObjectRef& owner)> fadeLayer);

// The URL of the setter stored under `key` on `owner`; nullptr when there is none. Any thread.
plat::NSURLRef _HVWebImageURLForKey(const plat::ObjectRef& owner, const void* key);

// Cancels the request of the setter stored under `key` on `owner`; nothing when there is
// none. Any thread.
void _HVWebImageCancelForKey(const plat::ObjectRef& owner, const void* key);

// Adds the fade transition of a newly shown image to `layer`: 0.2 s for a finished image,
// 0.4 s for a partial one.
void _HVWebImageAddFade(const plat::CALayerRef& layer, HVWebImagePhase phase);
