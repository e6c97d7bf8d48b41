#include "image/MKAnnotationView+HVWebImage.h"
#include "image/_HVWebImageSetter.h"

using namespace plat;

namespace {

// Associated-object key of the view's setter.
char kAnnotationSetterKey;

void setFull(const MKAnnotationViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
             HVWebImageOptionFlags options, HVWebImageManagerRef manager,
             HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
             HVWebImageCompletionHandler completion) {
  if (!view) return;
  _HVWebImageSlot slot = _HVWebImageSlotForKey(
      view, &kAnnotationSetterKey,
      [](const ObjectRef& owner, const UIImageRef& image) {
        std::static_pointer_cast<MKAnnotationView>(owner)->setImage(image);
      },
      // Fades only while not highlighted.
      [](const ObjectRef& owner) -> CALayerRef {
        auto v = std::static_pointer_cast<MKAnnotationView>(owner);
        return v->isHighlighted() ? nullptr : v->layerRef();
      });
  _HVWebImageSetImageForSlot(slot, url, placeholder, options, std::move(manager),
                             std::move(progress), std::move(transform), std::move(completion));
}

}  // namespace

NSURLRef HV_imageURL(const MKAnnotationViewRef& view) {
  return _HVWebImageURLForKey(view, &kAnnotationSetterKey);
}

void setHV_imageURL(const MKAnnotationViewRef& view, const NSURLRef& url) {
  setFull(view, url, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLPlaceholder(const MKAnnotationViewRef& view, const NSURLRef& url,
                                   const UIImageRef& placeholder) {
  setFull(view, url, placeholder, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLOptions(const MKAnnotationViewRef& view, const NSURLRef& url,
                               HVWebImageOptionFlags options) {
  setFull(view, url, nullptr, options, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLPlaceholderOptionsCompletion(const MKAnnotationViewRef& view,
                                                    const NSURLRef& url,
                                                    const UIImageRef& placeholder,
                                                    HVWebImageOptionFlags options,
                                                    HVWebImageCompletionHandler completion) {
  setFull(view, url, placeholder, options, nullptr, nullptr, nullptr, std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const MKAnnotationViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, url, placeholder, options, nullptr, std::move(progress), std::move(transform),
          std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const MKAnnotationViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, url, placeholder, options, std::move(manager), std::move(progress),
          std::move(transform), std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const MKAnnotationViewRef& view, const std::string& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, NSURL::URLWithString(url), placeholder, options, std::move(manager),
          std::move(progress), std::move(transform), std::move(completion));
}

void HV_cancelCurrentImageRequest(const MKAnnotationViewRef& view) {
  _HVWebImageCancelForKey(view, &kAnnotationSetterKey);
}
