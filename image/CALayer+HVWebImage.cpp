#include "image/CALayer+HVWebImage.h"
#include "image/_HVWebImageSetter.h"

using namespace plat;

namespace {

// Associated-object key of the layer's setter.
char kLayerSetterKey;

void setFull(const CALayerRef& layer, const NSURLRef& url, const UIImageRef& placeholder,
             HVWebImageOptionFlags options, HVWebImageManagerRef manager,
             HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
             HVWebImageCompletionHandler completion) {
  if (!layer) return;
  _HVWebImageSlot slot = _HVWebImageSlotForKey(
      layer, &kLayerSetterKey,
      [](const ObjectRef& owner, const UIImageRef& image) {
        std::static_pointer_cast<CALayer>(owner)->setContents(image ? image->CGImage() : nullptr);
      },
      [](const ObjectRef& owner) { return std::static_pointer_cast<CALayer>(owner); });
  _HVWebImageSetImageForSlot(slot, url, placeholder, options, std::move(manager),
                             std::move(progress), std::move(transform), std::move(completion));
}

}  // namespace

NSURLRef HV_imageURL(const CALayerRef& layer) {
  return _HVWebImageURLForKey(layer, &kLayerSetterKey);
}

void setHV_imageURL(const CALayerRef& layer, const NSURLRef& url) {
  setFull(layer, url, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLPlaceholder(const CALayerRef& layer, const NSURLRef& url,
                                   const UIImageRef& placeholder) {
  setFull(layer, url, placeholder, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLOptions(const CALayerRef& layer, const NSURLRef& url,
                               HVWebImageOptionFlags options) {
  setFull(layer, url, nullptr, options, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLPlaceholderOptionsCompletion(const CALayerRef& layer, const NSURLRef& url,
                                                    const UIImageRef& placeholder,
                                                    HVWebImageOptionFlags options,
                                                    HVWebImageCompletionHandler completion) {
  setFull(layer, url, placeholder, options, nullptr, nullptr, nullptr, std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const CALayerRef& layer, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(layer, url, placeholder, options, nullptr, std::move(progress), std::move(transform),
          std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const CALayerRef& layer, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(layer, url, placeholder, options, std::move(manager), std::move(progress),
          std::move(transform), std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const CALayerRef& layer, const std::string& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(layer, NSURL::URLWithString(url), placeholder, options, std::move(manager),
          std::move(progress), std::move(transform), std::move(completion));
}

void HV_cancelCurrentImageRequest(const CALayerRef& layer) {
  _HVWebImageCancelForKey(layer, &kLayerSetterKey);
}
