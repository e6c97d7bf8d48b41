#include "image/HVAnimatedImageView.h"

#include <algorithm>
#include <cmath>

#include "image/HVImageCoder.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/foundation/HostMemory.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/uikit/UIApplication.h"

using namespace plat;

namespace {
constexpr int64_t kBufferFloorBytes = 10 * 1024 * 1024;
constexpr uint64_t kMaxBufferCount = 512;
const CGRect kUnitRect = CGRectMake(0, 0, 1, 1);
constexpr const char* kRunloopModeKey = "runloopMode";
constexpr const char* kAutoPlayKey = "autoPlayAnimatedImage";
constexpr const char* kAnimatedImageKey = "HVAnimatedImage";
constexpr const char* kHighlightedAnimatedImageKey = "HVHighlightedAnimatedImage";
constexpr const char* kFrameKey = "frame";
constexpr const char* kImageKey = "image";
constexpr const char* kHighlightedImageKey = "highlightedImage";

const bool kRegistered = [] {
  NSCodingClasses::registerClass("HVAnimatedImageView", [] { return make<HVAnimatedImageView>(); },
                                 {"UIImageView", "UIView", "UIResponder"});
  return true;
}();

bool isAnimated(const UIImageRef& image) {
  auto* anim = dynamic_cast<HVAnimatedImage*>(image.get());
  return anim && anim->animatedImageFrameCount() >= 2;
}
}  // namespace

void HVImageWeakProxy::step(const CADisplayLinkRef& link) {
  if (auto view = target_.lock()) view->step(link);
}

std::string HVImageWeakProxy::className() const {
  auto view = target_.lock();
  return view ? view->className() : std::string();
}

std::string HVImageWeakProxy::description() const {
  auto view = target_.lock();
  return view ? view->description() : std::string();
}

bool HVImageWeakProxy::isEqual(const Object& other) const {
  auto view = target_.lock();
  return view && view->isEqual(other);
}

size_t HVImageWeakProxy::hash() const {
  auto view = target_.lock();
  return reinterpret_cast<size_t>(static_cast<const Object*>(view.get()));
}

HVAnimatedImageView::HVAnimatedImageView(CGRect frame) : UIImageView(frame) {}

HVAnimatedImageView::~HVAnimatedImageView() {
  if (requestQueue_) requestQueue_->cancelAllOperations();
  if (observing_)
    NSNotificationCenter::defaultCenter().removeObserver(
        static_cast<const void*>(static_cast<const UIView*>(this)));
  if (link_) link_->invalidate();
}

std::shared_ptr<HVAnimatedImageView> HVAnimatedImageView::initWithImage(const UIImageRef& image) {
  return initWithImageHighlightedImage(image, nullptr);
}

std::shared_ptr<HVAnimatedImageView> HVAnimatedImageView::initWithImageHighlightedImage(
    const UIImageRef& image, const UIImageRef& highlightedImage) {
  auto view = make<HVAnimatedImageView>();
  const UIImageRef& sized = image ? image : highlightedImage;
  if (sized) view->setFrame(CGRectMake(0, 0, sized->size().width, sized->size().height));
  view->setImage(image);
  view->setHighlightedImage(highlightedImage);
  return view;
}

void HVAnimatedImageView::setImage(UIImageRef image) {
  if (image == this->image()) return;
  replaceContent([&] { UIImageView::setImage(std::move(image)); });
}

void HVAnimatedImageView::setHighlightedImage(UIImageRef image) {
  if (image == highlightedImage()) return;
  replaceContent([&] { UIImageView::setHighlightedImage(std::move(image)); });
}

void HVAnimatedImageView::setAnimationImages(std::vector<UIImageRef> images) {
  if (images == animationImages()) return;
  replaceContent([&] { UIImageView::setAnimationImages(std::move(images)); });
}

void HVAnimatedImageView::setHighlightedAnimationImages(std::vector<UIImageRef> images) {
  if (images == highlightedAnimationImages()) return;
  replaceContent([&] { UIImageView::setHighlightedAnimationImages(std::move(images)); });
}

void HVAnimatedImageView::replaceContent(const std::function<void()>& store) {
  stopAnimating();
  if (link_) resetAnimated();
  curFrame_ = nullptr;
  store();
  imageChanged();
}

void HVAnimatedImageView::setHighlighted(bool highlighted) {
  UIImageView::setHighlighted(highlighted);
  if (link_) resetAnimated();
  imageChanged();
}

UIImageRef HVAnimatedImageView::imageForType(HVImageViewContentType type) const {
  // Animation lists are not images: they count as content without frames.
  switch (type) {
    case HVImageViewContentTypeImage:
      return image();
    case HVImageViewContentTypeHighlightedImage:
      return highlightedImage();
    default:
      return nullptr;
  }
}

HVImageViewContentType HVAnimatedImageView::currentImageType() const {
  if (isHighlighted()) {
    if (!highlightedAnimationImages().empty())
      return HVImageViewContentTypeHighlightedAnimationImages;
    if (highlightedImage()) return HVImageViewContentTypeHighlightedImage;
  }
  if (!animationImages().empty()) return HVImageViewContentTypeAnimationImages;
  if (image()) return HVImageViewContentTypeImage;
  return HVImageViewContentTypeNone;
}

void HVAnimatedImageView::imageChanged() {
  UIImageRef newImage = imageForType(currentImageType());
  auto* anim = dynamic_cast<HVAnimatedImage*>(newImage.get());
  uint64_t frames = anim ? anim->animatedImageFrameCount() : 0;
  std::optional<CGRect> rect0;
  if (frames >= 2) rect0 = anim->animatedImageContentsRectAtIndex(0);
  if (rect0) {
    curImageHasContentsRect_ = true;
    applyContentsRect(*rect0, newImage);
  } else {
    if (curImageHasContentsRect_ && !CGRectEqualToRect(layer()->contentsRect(), kUnitRect))
      layer()->setContentsRect(kUnitRect);
    curImageHasContentsRect_ = false;
  }
  if (frames < 2) {
    setNeedsDisplay();
    applyAutoPlay();
    return;
  }
  resetAnimated();
  {
    std::lock_guard<std::mutex> lock(lock_);
    curImage_ = newImage;
  }
  curFrame_ = newImage;
  totalLoop_ = anim->animatedImageLoopCount();
  totalFrameCount_ = frames;
  calcMaxBufferCount();
  setNeedsDisplay();
  applyAutoPlay();
}

void HVAnimatedImageView::resetAnimated() {
  if (!link_) {
    requestQueue_ = std::make_shared<NSOperationQueue>();
    requestQueue_->setMaxConcurrentOperationCount(1);
    auto proxy = HVImageWeakProxy::proxyWithTarget(
        std::static_pointer_cast<HVAnimatedImageView>(sharedView()));
    link_ = CADisplayLink::displayLinkWithTargetSelector(
        [proxy](const CADisplayLinkRef& link) { proxy->step(link); });
    if (!runloopMode_.empty()) link_->addToRunLoopForMode(RunLoop::main(), runloopMode_);
    link_->setPaused(true);
    std::weak_ptr<HVAnimatedImageView> weak =
        std::static_pointer_cast<HVAnimatedImageView>(sharedView());
    auto& center = NSNotificationCenter::defaultCenter();
    center.addObserverSelectorNameObject(
        sharedView(),
        [weak](const NSNotification&) {
          if (auto v = weak.lock()) v->didReceiveMemoryWarning();
        },
        UIApplicationDidReceiveMemoryWarningNotification, Value());
    center.addObserverSelectorNameObject(
        sharedView(),
        [weak](const NSNotification&) {
          if (auto v = weak.lock()) v->didEnterBackground();
        },
        UIApplicationDidEnterBackgroundNotification, Value());
    observing_ = true;
  }
  requestQueue_->cancelAllOperations();
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!buffer_.empty()) {
      // The old frames are released off the main thread.
      auto old = std::make_shared<std::map<uint64_t, UIImageRef>>(std::move(buffer_));
      buffer_.clear();
      dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_BACKGROUND),
                     [old]() mutable { old.reset(); });
    }
  }
  link_->setPaused(true);
  time_ = 0;
  if (curIndex_.load() != 0) setCurrentIndexNotifying(0);
  {
    std::lock_guard<std::mutex> lock(lock_);
    curImage_ = nullptr;
  }
  curFrame_ = nullptr;
  curLoop_ = 0;
  totalLoop_ = 0;
  totalFrameCount_ = 1;
  loopEnd_ = false;
  bufferMiss_ = false;
  incrBufferCount_ = 0;
}

void HVAnimatedImageView::calcMaxBufferCount() {
  UIImageRef image;
  {
    std::lock_guard<std::mutex> lock(lock_);
    image = curImage_;
  }
  auto* anim = dynamic_cast<HVAnimatedImage*>(image.get());
  int64_t bytes = anim ? static_cast<int64_t>(anim->animatedImageBytesPerFrame()) : 0;
  if (bytes <= 0) bytes = 1024;
  double total = static_cast<double>(NSProcessInfo::processInfo().physicalMemory());
  double free = static_cast<double>(HostFreeMemory());
  auto limit = static_cast<int64_t>(std::min(total * 0.2, free * 0.6));
  limit = std::max(limit, kBufferFloorBytes);
  uint64_t cap = maxBufferSize_.load();
  if (cap != 0 && static_cast<uint64_t>(limit) > cap) limit = static_cast<int64_t>(cap);
  int64_t count = limit / bytes;
  maxBufferCount_ = static_cast<uint64_t>(std::clamp<int64_t>(count, 1, kMaxBufferCount));
}

void HVAnimatedImageView::startAnimating() {
  HVImageViewContentType type = currentImageType();
  if (type == HVImageViewContentTypeAnimationImages ||
      type == HVImageViewContentTypeHighlightedAnimationImages) {
    const auto& list = type == HVImageViewContentTypeAnimationImages ? animationImages()
                                                                     : highlightedAnimationImages();
    if (!list.empty()) {
      UIImageView::startAnimating();
      currentIsPlayingAnimation_ = true;
    }
    return;
  }
  if (curImage_ && link_ && link_->isPaused()) {
    curLoop_ = 0;
    loopEnd_ = false;
    link_->setPaused(false);
    currentIsPlayingAnimation_ = true;
  }
}

void HVAnimatedImageView::stopAnimating() {
  UIImageView::stopAnimating();
  if (requestQueue_) requestQueue_->cancelAllOperations();
  if (link_) link_->setPaused(true);
  currentIsPlayingAnimation_ = false;
}

void HVAnimatedImageView::setCurrentIndexNotifying(uint64_t index) {
  willChangeValueForKey(kHVCurrentAnimatedImageIndexKey);
  curIndex_ = index;
  didChangeValueForKey(kHVCurrentAnimatedImageIndexKey);
}

void HVAnimatedImageView::setCurrentAnimatedImageIndex(uint64_t index) {
  if (!NSThread::isMainThread()) {
    std::weak_ptr<HVAnimatedImageView> weak =
        std::static_pointer_cast<HVAnimatedImageView>(sharedView());
    dispatch_async(dispatch_get_main_queue(), [weak, index] {
      if (auto v = weak.lock()) v->setCurrentAnimatedImageIndex(index);
    });
    return;
  }
  // Held for the whole change: an observer of the notice may set another image.
  UIImageRef image = currentAnimatedImage();
  auto* anim = dynamic_cast<HVAnimatedImage*>(image.get());
  if (!anim || index >= anim->animatedImageFrameCount() || index == curIndex_.load()) return;
  {
    std::lock_guard<std::mutex> lock(lock_);
    requestQueue_->cancelAllOperations();
    buffer_.clear();
  }
  setCurrentIndexNotifying(index);
  // An observer that changed the image or the index has shown what it wanted.
  if (currentAnimatedImage() != image || curIndex_.load() != index) return;
  curFrame_ = anim->animatedImageFrameAtIndex(index);
  if (curImageHasContentsRect_) {
    if (auto r = anim->animatedImageContentsRectAtIndex(index)) applyContentsRect(*r, image);
  }
  time_ = 0;
  loopEnd_ = false;
  bufferMiss_ = false;
  setNeedsDisplay();
}

void HVAnimatedImageView::setRunloopMode(const std::string& mode) {
  if (mode == runloopMode_) return;
  if (link_) {
    if (!runloopMode_.empty()) link_->removeFromRunLoopForMode(RunLoop::main(), runloopMode_);
    if (!mode.empty()) link_->addToRunLoopForMode(RunLoop::main(), mode);
  }
  runloopMode_ = mode;
}

void HVAnimatedImageView::applyContentsRect(CGRect rect, const UIImageRef& image) {
  CGRect unit = image ? HVUnitContentsRect(rect, image->size()) : kUnitRect;
  curContentsRect_ = rect;
  // Layers here have no implicit animations, so the change shows at once.
  layer()->setContentsRect(unit);
}

void HVAnimatedImageView::displayLayer(CALayer* layer) {
  if (curFrame_) {
    layer->setContents(curFrame_->CGImage());
    layer->setContentsScale(curFrame_->scale());
  } else if (!curImage_) {
    // Still content: the image view draws it itself.
    layer->setContents(nullptr);
  }
}

void HVAnimatedImageView::drawBuiltInContent(CGContextRef c) const {
  // While an animated image plays, its frames are the layer's contents.
  if (!curImage_) UIImageView::drawBuiltInContent(c);
}

void HVAnimatedImageView::applyAutoPlay() {
  if (!autoPlayAnimatedImage_) return;
  if (superview() && window())
    startAnimating();
  else
    stopAnimating();
}

void HVAnimatedImageView::didMoveToWindow() {
  UIImageView::didMoveToWindow();
  applyAutoPlay();
}

void HVAnimatedImageView::didMoveToSuperview() {
  UIImageView::didMoveToSuperview();
  applyAutoPlay();
}

uint64_t HVAnimatedImageView::bufferedFrameCountForTesting() const {
  std::lock_guard<std::mutex> lock(lock_);
  return buffer_.size();
}

UIImageRef HVAnimatedImageView::currentAnimatedImage() const {
  std::lock_guard<std::mutex> lock(lock_);
  return curImage_;
}

void HVAnimatedImageView::step(const CADisplayLinkRef& link) {
  // Held for the whole tick: an observer of the index notice may set another image.
  UIImageRef image = currentAnimatedImage();
  auto* anim = dynamic_cast<HVAnimatedImage*>(image.get());
  if (!anim) return;
  if (loopEnd_) {
    stopAnimating();
    return;
  }
  uint64_t total = totalFrameCount_.load();
  uint64_t nextIndex = (curIndex_.load() + 1) % total;
  // A duration that is not a number, or below 0, holds its frame for one tick; it must not
  // make the clock NaN for every frame after it.
  auto durationAt = [anim](uint64_t index) {
    double d = anim->animatedImageDurationAtIndex(index);
    return d >= 0 ? d : 0.0;
  };
  if (!bufferMiss_) {
    time_ += link->duration();
    double delay = durationAt(curIndex_.load());
    if (time_ < delay) return;
    time_ -= delay;
    if (nextIndex == 0) {
      ++curLoop_;
      if (totalLoop_ != 0 && curLoop_ >= totalLoop_) {
        loopEnd_ = true;
        stopAnimating();
        setNeedsDisplay();
        return;
      }
    }
    // Frames are never skipped: left-over time carries into the next frame only.
    time_ = std::min(time_, durationAt(nextIndex));
  }
  bool bufferIsFull = false, found = false;
  UIImageRef frame;
  {
    std::lock_guard<std::mutex> lock(lock_);
    auto it = buffer_.find(nextIndex);
    if (it != buffer_.end()) {
      found = true;
      frame = it->second;
      // While the window is smaller than the animation, shown frames leave the buffer.
      if (incrBufferCount_.load() < static_cast<int64_t>(total)) buffer_.erase(it);
      bufferIsFull = buffer_.size() == total;
    }
  }
  if (found) {
    uint64_t shownIndex = nextIndex;
    setCurrentIndexNotifying(shownIndex);
    // An observer that changed the image or jumped to another frame has set what shows.
    if (currentAnimatedImage() != image || curIndex_.load() != shownIndex) return;
    curFrame_ = frame;
    if (curImageHasContentsRect_) {
      if (auto r = anim->animatedImageContentsRectAtIndex(nextIndex)) applyContentsRect(*r, image);
    }
    nextIndex = (nextIndex + 1) % total;
    bufferMiss_ = false;
  } else {
    bufferMiss_ = true;
  }
  if (!bufferMiss_) setNeedsDisplay();
  if (!bufferIsFull && requestQueue_->operationCount() == 0) {
    requestQueue_->addOperation(std::make_shared<HVAnimatedImageViewFetchOperation>(
        std::static_pointer_cast<HVAnimatedImageView>(sharedView()), nextIndex, image));
  }
}

void HVAnimatedImageView::didReceiveMemoryWarning() {
  if (!requestQueue_) return;
  requestQueue_->cancelAllOperations();
  std::weak_ptr<HVAnimatedImageView> weak =
      std::static_pointer_cast<HVAnimatedImageView>(sharedView());
  requestQueue_->addOperationWithBlock([weak] {
    auto view = weak.lock();
    if (!view) return;
    // Growth is held back for a while: the window grows again one frame per fetch.
    view->incrBufferCount_ = -60 - static_cast<int64_t>(plat::arc4random() % 120);
    uint64_t next = (view->curIndex_.load() + 1) % view->totalFrameCount_.load();
    std::lock_guard<std::mutex> lock(view->lock_);
    std::erase_if(view->buffer_, [next](const auto& e) { return e.first != next; });
  });
}

void HVAnimatedImageView::didEnterBackground() {
  if (!requestQueue_) return;
  requestQueue_->cancelAllOperations();
  uint64_t next = (curIndex_.load() + 1) % totalFrameCount_.load();
  std::lock_guard<std::mutex> lock(lock_);
  std::erase_if(buffer_, [next](const auto& e) { return e.first != next; });
}

void HVAnimatedImageViewFetchOperation::main() {
  auto* anim = dynamic_cast<HVAnimatedImage*>(curImage_.get());
  auto view = view_.lock();
  if (!view || !anim || isCancelled()) return;
  int64_t incr = ++view->incrBufferCount_;
  if (incr == 0) view->calcMaxBufferCount();
  auto maxCount = static_cast<int64_t>(view->maxBufferCount_.load());
  if (incr > maxCount) {
    incr = maxCount;
    view->incrBufferCount_ = maxCount;
  }
  view.reset();
  uint64_t total = anim->animatedImageFrameCount();
  if (total == 0) return;
  uint64_t count = static_cast<uint64_t>(std::max<int64_t>(incr, 1));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t idx = (nextIndex_ + i) % total;
    if (isCancelled()) break;
    view = view_.lock();
    if (!view) break;
    bool miss;
    {
      std::lock_guard<std::mutex> lock(view->lock_);
      if (view->curImage_ != curImage_) break;
      miss = view->buffer_.find(idx) == view->buffer_.end();
    }
    view.reset();
    if (!miss) continue;
    UIImageRef frame = HV_imageByDecoded(anim->animatedImageFrameAtIndex(idx));
    if (isCancelled()) break;
    view = view_.lock();
    if (!view) break;
    {
      // Only frames of the image the view still plays go into its buffer.
      std::lock_guard<std::mutex> lock(view->lock_);
      if (view->curImage_ != curImage_) break;
      view->buffer_[idx] = frame;
    }
    view.reset();
  }
}

void HVAnimatedImageView::encodeWithCoder(NSKeyedArchiver& coder) const {
  CGRect f = frame();
  coder.encodeObjectForKey(
      Value(Array{Value(f.origin.x), Value(f.origin.y), Value(f.size.width), Value(f.size.height)}),
      kFrameKey);
  if (image()) coder.encodeObjectForKey(Value(image()), kImageKey);
  if (highlightedImage()) coder.encodeObjectForKey(Value(highlightedImage()), kHighlightedImageKey);
  coder.encodeObjectForKey(Value(runloopMode_), kRunloopModeKey);
  coder.encodeBoolForKey(autoPlayAnimatedImage_, kAutoPlayKey);
  if (isAnimated(image())) coder.encodeObjectForKey(Value(image()), kAnimatedImageKey);
  if (isAnimated(highlightedImage()))
    coder.encodeObjectForKey(Value(highlightedImage()), kHighlightedAnimatedImageKey);
}

bool HVAnimatedImageView::initWithCoder(NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  Value frame = coder.decodeObjectForKey(kFrameKey);
  if (const Array* f = frame.array(); f && f->size() == 4)
    setFrame(CGRectMake((*f)[0].doubleValue(), (*f)[1].doubleValue(), (*f)[2].doubleValue(),
                        (*f)[3].doubleValue()));
  Value mode = coder.decodeObjectForKey(kRunloopModeKey);
  setRunloopMode(mode.isString() && !mode.stringOr().empty() ? mode.stringOr()
                                                             : NSRunLoopCommonModes);
  autoPlayAnimatedImage_ =
      coder.containsValueForKey(kAutoPlayKey) ? coder.decodeBoolForKey(kAutoPlayKey) : true;
  if (auto image = coder.decodeObjectForKey(kImageKey).objectAs<UIImage>()) setImage(image);
  if (auto image = coder.decodeObjectForKey(kHighlightedImageKey).objectAs<UIImage>())
    setHighlightedImage(image);
  if (auto image = coder.decodeObjectForKey(kAnimatedImageKey).objectAs<UIImage>()) setImage(image);
  if (auto image = coder.decodeObjectForKey(kHighlightedAnimatedImageKey).objectAs<UIImage>())
    setHighlightedImage(image);
  return true;
}
