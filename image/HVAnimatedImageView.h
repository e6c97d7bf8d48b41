#pragma once
// HVAnimatedImageView: an image view that plays any image adopting HVAnimatedImage (HVImage,
// HVFrameImage, HVSpriteSheetImage). A display link on the main run loop drives the frame
// clock; frames are decoded ahead on a one-operation queue into a bounded buffer whose size
// follows the device's memory. The buffer is purged on memory warnings and when the
// application enters the background. Plain images and animation image lists behave as in
// UIImageView. A weak proxy stands between the link and the view, so the link does not keep
// the view alive.
//
// Main thread only, except that fetch operations run on the view's request queue and touch
// the frame buffer under the view's lock.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>

#include "image/HVAnimatedImage.h"
#include "image/HVWeakProxyKind.h"
#include "platform/dispatch/CADisplayLink.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/network/NSOperationQueue.h"
#include "platform/uikit/UIImageView.h"

enum HVImageViewContentType : uint64_t {
  HVImageViewContentTypeNone = 0,
  HVImageViewContentTypeImage = 1,
  HVImageViewContentTypeHighlightedImage = 2,
  HVImageViewContentTypeAnimationImages = 3,
  HVImageViewContentTypeHighlightedAnimationImages = 4,
};

inline constexpr const char* kHVCurrentAnimatedImageIndexKey = "currentAnimatedImageIndex";

class HVAnimatedImageView;

// Forwards the display link's tick to the view while the view lives; does nothing afterwards.
class HVImageWeakProxy : public HVWeakProxyKind<HVImageWeakProxy> {
 public:
  explicit HVImageWeakProxy(std::weak_ptr<HVAnimatedImageView> target)
      : target_(std::move(target)) {}
  static std::shared_ptr<HVImageWeakProxy> proxyWithTarget(
      std::weak_ptr<HVAnimatedImageView> target) {
    return std::make_shared<HVImageWeakProxy>(std::move(target));
  }
  std::shared_ptr<HVAnimatedImageView> target() const { return target_.lock(); }
  bool isProxy() const { return true; }
  void step(const plat::CADisplayLinkRef& link);
  // Answered for the target; once it is gone, as a message to nil would be: empty, false, 0.
  std::string className() const;
  std::string description() const;
  std::string debugDescription() const { return description(); }
  bool isEqual(const plat::Object& other) const;
  size_t hash() const;

 private:
  std::weak_ptr<HVAnimatedImageView> target_;
};

// Decodes the frames after `nextIndex` into the view's buffer (see main()).
class HVAnimatedImageViewFetchOperation : public plat::NSOperation {
 public:
  HVAnimatedImageViewFetchOperation(std::weak_ptr<HVAnimatedImageView> view, uint64_t nextIndex,
                                    plat::UIImageRef curImage)
      : view_(std::move(view)), nextIndex_(nextIndex), curImage_(std::move(curImage)) {}
  void main() override;

 private:
  std::weak_ptr<HVAnimatedImageView> view_;
  uint64_t nextIndex_;
  plat::UIImageRef curImage_;
};

// Archived (class "HVAnimatedImageView") with its frame ("frame"), image ("image"), highlighted
// image ("highlightedImage"), run loop mode ("runloopMode"), autoplay flag
// ("autoPlayAnimatedImage") and, for animated images of two or more frames, the image and
// highlighted image ("HVAnimatedImage", "HVHighlightedAnimatedImage").
class HVAnimatedImageView : public plat::UIImageView, public plat::NSCoding {
 public:
  explicit HVAnimatedImageView(plat::CGRect frame = plat::CGRectZero);
  ~HVAnimatedImageView() override;
  // Framed at 0, 0 with the size of the image (of the highlighted image when image is null).
  static std::shared_ptr<HVAnimatedImageView> initWithImage(const plat::UIImageRef& image);
  static std::shared_ptr<HVAnimatedImageView> initWithImageHighlightedImage(
      const plat::UIImageRef& image, const plat::UIImageRef& highlightedImage);

  std::string className() const override { return "HVAnimatedImageView"; }

  void setImage(plat::UIImageRef image) override;
  void setHighlightedImage(plat::UIImageRef image) override;
  void setAnimationImages(std::vector<plat::UIImageRef> images) override;
  void setHighlightedAnimationImages(std::vector<plat::UIImageRef> images) override;
  void setHighlighted(bool highlighted) override;

  void startAnimating() override;
  void stopAnimating() override;
  bool isAnimating() const override { return currentIsPlayingAnimation_; }

  bool autoPlayAnimatedImage() const { return autoPlayAnimatedImage_; }
  void setAutoPlayAnimatedImage(bool v) { autoPlayAnimatedImage_ = v; }
  bool currentIsPlayingAnimation() const { return currentIsPlayingAnimation_; }
  // Observers of "currentAnimatedImageIndex" hear every change.
  uint64_t currentAnimatedImageIndex() const { return curIndex_.load(); }
  // False for "currentAnimatedImageIndex", which the view announces itself around each change
  // of the index; true (the platform's answer) for every other key.
  static bool automaticallyNotifiesObserversForKey(const std::string& key) {
    return key != kHVCurrentAnimatedImageIndexKey;
  }
  // Ignored without an animated image, past its last frame, or for the current index. Shows
  // that frame at once; from another thread the change is posted to the main thread.
  void setCurrentAnimatedImageIndex(uint64_t index);
  const std::string& runloopMode() const { return runloopMode_; }
  void setRunloopMode(const std::string& mode);
  // Byte limit of the frame buffer; 0 sizes it from the device's memory. Used at the next
  // sizing of the buffer.
  uint64_t maxBufferSize() const { return maxBufferSize_.load(); }
  void setMaxBufferSize(uint64_t bytes) { maxBufferSize_.store(bytes); }

  // The content of a type (nullptr for none or an unknown type) and the type shown now.
  plat::UIImageRef imageForType(HVImageViewContentType type) const;
  HVImageViewContentType currentImageType() const;

  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

  bool implementsDisplayLayer() const override { return true; }
  void displayLayer(plat::CALayer* layer) override;
  void drawBuiltInContent(plat::CGContextRef c) const override;
  void didMoveToWindow() override;
  void didMoveToSuperview() override;

  // Most frames the buffer keeps, as last sized; frames buffered now.
  uint64_t maxBufferCountForTesting() const { return maxBufferCount_.load(); }
  uint64_t bufferedFrameCountForTesting() const;
  int64_t growthCounterForTesting() const { return incrBufferCount_.load(); }
  const plat::NSOperationQueueRef& requestQueueForTesting() const { return requestQueue_; }

 private:
  friend class HVImageWeakProxy;
  friend class HVAnimatedImageViewFetchOperation;

  // Stops playback, resets the animation state, stores the new content through UIImageView's
  // setter (`store`) and takes up the content shown now.
  void replaceContent(const std::function<void()>& store);
  void imageChanged();
  void resetAnimated();
  void calcMaxBufferCount();
  void step(const plat::CADisplayLinkRef& link);
  void didReceiveMemoryWarning();
  void didEnterBackground();
  void applyAutoPlay();
  void setCurrentIndexNotifying(uint64_t index);
  void applyContentsRect(plat::CGRect rect, const plat::UIImageRef& image);
  // The image being played, read under the lock; a caller that may run observers holds it.
  plat::UIImageRef currentAnimatedImage() const;

  plat::UIImageRef curImage_;  // the animated image playing; written on main under lock_
  mutable std::mutex lock_;    // guards buffer_ (and writes of curImage_)
  plat::NSOperationQueueRef requestQueue_;
  plat::CADisplayLinkRef link_;
  double time_ = 0;
  plat::UIImageRef curFrame_;
  // Shared with the request queue.
  std::atomic<uint64_t> curIndex_{0}, totalFrameCount_{1};
  bool loopEnd_ = false;
  uint64_t curLoop_ = 0, totalLoop_ = 0;
  std::map<uint64_t, plat::UIImageRef> buffer_;  // nullptr: the frame failed to decode
  bool bufferMiss_ = false;
  std::atomic<uint64_t> maxBufferCount_{0};
  std::atomic<int64_t> incrBufferCount_{0};
  plat::CGRect curContentsRect_ = plat::CGRectZero;
  bool curImageHasContentsRect_ = false;
  bool autoPlayAnimatedImage_ = true;
  bool currentIsPlayingAnimation_ = false;
  std::string runloopMode_ = plat::NSRunLoopCommonModes;
  std::atomic<uint64_t> maxBufferSize_{0};
  bool observing_ = false;
};
