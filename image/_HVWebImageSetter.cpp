#include "image/_HVWebImageSetter.h"

#include <utility>

#include "image/HVWebImageOperation.h"
#include "image/cache/HVImageCache.h"
#include "platform/dispatch/NSThread.h"
#include "platform/runtime/AssociatedObjects.h"
#include "platform/uikit/CAAnimation.h"

using namespace plat;

namespace {

// A cancel moves the sentinel on by two, an installed request by one (see the header).
constexpr int32_t kCancelStep = 2;
constexpr int32_t kInstallStep = 1;

// One request of a slot as its completion wrapper sees it. Read and written on the main
// queue only, except the fields set before the request starts.
struct RequestState {
  std::weak_ptr<_HVWebImageSetter> setter;
  int32_t sentinel = 0;  // what cancelWithNewURL returned for this request
  bool done = false;     // a phase-0 or phase-1 report went out; nothing more follows
  bool showedPartial = false;  // the slot shows a partial image of this request

  // Whether a later request, a cancel or the slot's end superseded this one. Until the
  // request is installed the sentinel still reads its own value.
  bool superseded() const {
    auto s = setter.lock();
    if (!s) return true;
    int32_t now = s->sentinel();
    return now != sentinel && now != sentinel + kInstallStep;
  }
};

}  // namespace

_HVWebImageSetter::_HVWebImageSetter() = default;

_HVWebImageSetter::~_HVWebImageSetter() {
  sentinel_.fetch_add(kCancelStep);
  NSOperationRef operation;
  {
    std::lock_guard<std::mutex> guard(lock_);
    operation = std::move(operation_);
  }
  if (operation) operation->cancel();
}

NSURLRef _HVWebImageSetter::imageURL() const {
  std::lock_guard<std::mutex> guard(lock_);
  return imageURL_;
}

int32_t _HVWebImageSetter::cancelWithNewURL(const NSURLRef& url) {
  NSOperationRef previous;
  int32_t sentinel;
  {
    std::lock_guard<std::mutex> guard(lock_);
    previous = std::move(operation_);
    imageURL_ = url;
    sentinel = sentinel_.fetch_add(kCancelStep) + kCancelStep;
  }
  // Cancelled outside the lock: the operation's own teardown may report from here.
  if (previous) previous->cancel();
  return sentinel;
}

int32_t _HVWebImageSetter::setOperationWithSentinelUrlOptionsManagerProgressTransformCompletion(
    int32_t sentinel, const NSURLRef& url, HVWebImageOptionFlags options,
    const HVWebImageManagerRef& manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  if (sentinel != sentinel_.load()) {
    if (completion)
      completion(nullptr, url, HVWebImageSourceNone, HVWebImagePhaseCancelled, nullptr);
    return sentinel_.load();
  }
  // No manager yields no operation, reported as such below.
  NSOperationRef operation =
      manager ? manager->requestImageWithURLOptionsProgressTransformCompletion(
                    url, options, std::move(progress), std::move(transform), completion)
              : nullptr;
  if (!operation && completion) {
    completion(nullptr, url, HVWebImageSourceNone, HVWebImagePhaseFinished,
               NSError::make(kHVWebImageErrorDomain, -1, kHVWebImageOperationCreateFailed));
  }
  NSOperationRef dropped;
  int32_t result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (sentinel_.load() == sentinel) {
      dropped = std::move(operation_);
      operation_ = operation;
      result = sentinel_.fetch_add(kInstallStep) + kInstallStep;
    } else {
      dropped = operation;
      result = sentinel;
    }
  }
  if (dropped) dropped->cancel();
  return result;
}

DispatchQueueRef _HVWebImageSetter::setterQueue() {
  static DispatchQueueRef* queue = [] {
    auto q = dispatch_queue_create("com.orvane.webimage.setter");
    dispatch_set_target_queue(q, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT));
    return new DispatchQueueRef(std::move(q));
  }();
  return *queue;
}

ObjectRef _HVWebImageAttachedForKey(const ObjectRef& owner, const void* key, bool create,
                                    const std::function<bool(const ObjectRef&)>& fits,
                                    const std::function<ObjectRef()>& make) {
  if (!owner) return nullptr;
  static std::mutex* lock = new std::mutex;
  std::lock_guard<std::mutex> guard(*lock);
  ObjectRef stored = objc_getAssociatedObject(owner, key).object();
  if (stored && fits(stored)) return stored;
  if (!create) return nullptr;
  ObjectRef made = make();
  objc_setAssociatedObject(owner, key, Value(made));
  return made;
}

_HVWebImageSetterRef _HVWebImageSetterForKey(const ObjectRef& owner, const void* key, bool create) {
  return _HVWebImageAttachedForKey<_HVWebImageSetter>(owner, key, create);
}

_HVWebImageSlot _HVWebImageSlotForKey(
    const ObjectRef& owner, const void* key,
    std::function<void(const ObjectRef& owner, const UIImageRef& image)> show,
    std::function<CALayerRef(const ObjectRef& owner)> fadeLayer) {
  _HVWebImageSlot slot;
  slot.owner = owner;
  std::weak_ptr<Object> weakOwner = owner;
  slot.setter = [weakOwner, key] { return _HVWebImageSetterForKey(weakOwner.lock(), key, true); };
  slot.show = std::move(show);
  slot.fadeLayer = std::move(fadeLayer);
  return slot;
}

NSURLRef _HVWebImageURLForKey(const ObjectRef& owner, const void* key) {
  auto setter = _HVWebImageSetterForKey(owner, key, false);
  return setter ? setter->imageURL() : nullptr;
}

void _HVWebImageCancelForKey(const ObjectRef& owner, const void* key) {
  if (auto setter = _HVWebImageSetterForKey(owner, key, false)) setter->cancel();
}

void _HVWebImageAddFade(const CALayerRef& layer, HVWebImagePhase phase) {
  if (!layer) return;
  auto transition = CATransition::animation();
  transition->setDuration(phase == HVWebImagePhaseFinished ? 0.2 : 0.4);
  transition->setTimingFunction(
      CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut));
  transition->setType(kCATransitionFade);
  layer->addAnimationForKey(transition, kHVWebImageFadeAnimationKey);
}

void _HVWebImageSetImageForSlot(const _HVWebImageSlot& slot, const NSURLRef& url,
                                const UIImageRef& placeholder, HVWebImageOptionFlags options,
                                HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
                                HVWebImageTransformHandler transform,
                                HVWebImageCompletionHandler completion) {
  if (!manager) manager = HVWebImageManager::sharedManager();
  _HVWebImageSetterRef setter = slot.setter();
  const int32_t sentinel = setter->cancelWithNewURL(url);
  const bool manual = options & HVWebImageOptionManualSetImage;
  const bool fade = options & HVWebImageOptionFadeIn;

  auto mainStep = [&] {
    // A newer request or a cancel came first (this call waited for the main thread): the slot
    // is theirs now.
    if (setter->sentinel() != sentinel) {
      if (completion)
        completion(nullptr, url, HVWebImageSourceNone, HVWebImagePhaseCancelled, nullptr);
      return;
    }
    const ObjectRef& owner = slot.owner;
    if (fade && !manual && slot.fadeLayer) {
      if (CALayerRef layer = slot.fadeLayer(owner))
        layer->removeAnimationForKey(kHVWebImageFadeAnimationKey);
    }
    const bool showPlaceholder = !(options & HVWebImageOptionNoPlaceholder);
    if (!url) {
      if (showPlaceholder) slot.show(owner, placeholder);
      return;
    }
    const auto& cache = manager->cache();
    if (cache &&
        !(options & (HVWebImageOptionURLLoadingCache | HVWebImageOptionReloadImageCache))) {
      if (UIImageRef hit =
              cache->getImageForKeyWithType(manager->cacheKeyForURL(url), HVCacheTierMemory)) {
        if (!manual) slot.show(owner, hit);
        if (completion) {
          completion(hit, url, HVWebImageSourceMemoryAtOnce, HVWebImagePhaseFinished, nullptr);
        }
        return;
      }
    }
    if (showPlaceholder) slot.show(owner, placeholder);

    auto state = std::make_shared<RequestState>();
    state->setter = setter;
    state->sentinel = sentinel;
    std::weak_ptr<Object> weakOwner = owner;
    auto show = slot.show;
    auto fadeLayer = slot.fadeLayer;
    // What the slot goes back to when the load ends without an image after a partial one.
    UIImageRef restored = showPlaceholder ? placeholder : nullptr;

    HVWebImageProgressHandler progressWrapper;
    if (progress) {
      progressWrapper = [state, progress](int64_t received, int64_t expected) {
        dispatch_async(dispatch_get_main_queue(), [state, progress, received, expected] {
          if (!state->done && !state->superseded()) progress(received, expected);
        });
      };
    }
    HVWebImageCompletionHandler wrapper = [state, weakOwner, show, fadeLayer, fade, manual,
                                           restored, completion](
                                              const UIImageRef& image, const NSURLRef& imageURL,
                                              HVWebImageSource from, HVWebImagePhase phase,
                                              const NSErrorRef& error) {
      const bool setImage =
          image && (phase == HVWebImagePhaseFinished || phase == HVWebImagePhasePartial) && !manual;
      dispatch_async(dispatch_get_main_queue(), [=] {
        if (state->done) return;
        const bool superseded = state->superseded();
        if (!superseded && setImage) {
          if (ObjectRef owner = weakOwner.lock()) {
            if (fade && fadeLayer) _HVWebImageAddFade(fadeLayer(owner), phase);
            show(owner, image);
            state->showedPartial = phase == HVWebImagePhasePartial;
          }
        } else if (!superseded && !image && phase != HVWebImagePhasePartial &&
                   state->showedPartial) {
          // The load failed (or was cut) after a partial image: a cut picture never stays.
          if (ObjectRef owner = weakOwner.lock()) show(owner, restored);
        }
        if (superseded || phase != HVWebImagePhasePartial) state->done = true;
        if (!completion) return;
        if (superseded) {
          completion(nullptr, imageURL, HVWebImageSourceNone, HVWebImagePhaseCancelled, nullptr);
        } else {
          completion(image, imageURL, from, phase, error);
        }
      });
    };

    std::weak_ptr<_HVWebImageSetter> weakSetter = setter;
    dispatch_async(_HVWebImageSetter::setterQueue(), [weakSetter, sentinel, url, options, manager,
                                                      progressWrapper, transform, wrapper] {
      auto setter = weakSetter.lock();
      if (!setter) {
        // The slot went away before its request was made.
        wrapper(nullptr, url, HVWebImageSourceNone, HVWebImagePhaseCancelled, nullptr);
        return;
      }
      setter->setOperationWithSentinelUrlOptionsManagerProgressTransformCompletion(
          sentinel, url, options, manager, progressWrapper, transform, wrapper);
    });
  };

  if (NSThread::isMainThread()) {
    mainStep();
  } else {
    dispatch_sync(dispatch_get_main_queue(), mainStep);
  }
}
