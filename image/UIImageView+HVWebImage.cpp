#include "image/UIImageView+HVWebImage.h"
#include "image/_HVWebImageSetter.h"

using namespace plat;

namespace {

// Associated-object keys of the two slots' setters.
char kImageSetterKey;
char kHighlightedImageSetterKey;

const void* keyOf(bool highlighted) {
  return highlighted ? &kHighlightedImageSetterKey : &kImageSetterKey;
}

_HVWebImageSlot slotFor(const HVImageViewRef& view, bool highlighted) {
  return _HVWebImageSlotForKey(
      view, keyOf(highlighted),
      [highlighted](const ObjectRef& owner, const UIImageRef& image) {
        auto view = std::static_pointer_cast<UIImageView>(owner);
        if (highlighted) {
          view->setHighlightedImage(image);
        } else {
          view->setImage(image);
        }
      },
      // A slot fades while the view shows it: the image slot when not highlighted, the
      // highlighted slot when highlighted.
      [highlighted](const ObjectRef& owner) -> CALayerRef {
        auto view = std::static_pointer_cast<UIImageView>(owner);
        return view->isHighlighted() == highlighted ? view->layerRef() : nullptr;
      });
}

NSURLRef urlOf(const HVImageViewRef& view, bool highlighted) {
  return _HVWebImageURLForKey(view, keyOf(highlighted));
}

void setFull(const HVImageViewRef& view, bool highlighted, const NSURLRef& url,
             const UIImageRef& placeholder, HVWebImageOptionFlags options,
             HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
             HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  if (!view) return;
  _HVWebImageSetImageForSlot(slotFor(view, highlighted), url, placeholder, options,
                             std::move(manager), std::move(progress), std::move(transform),
                             std::move(completion));
}

// Text stands for the URL made from it (no URL when it is not a valid one).
NSURLRef urlFromText(const std::string& text) { return NSURL::URLWithString(text); }

void cancelSlot(const HVImageViewRef& view, bool highlighted) {
  _HVWebImageCancelForKey(view, keyOf(highlighted));
}

}  // namespace

// ---- image ----

NSURLRef HV_imageURL(const HVImageViewRef& view) { return urlOf(view, false); }

void setHV_imageURL(const HVImageViewRef& view, const NSURLRef& url) {
  setFull(view, false, url, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLPlaceholder(const HVImageViewRef& view, const NSURLRef& url,
                                   const UIImageRef& placeholder) {
  setFull(view, false, url, placeholder, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLOptions(const HVImageViewRef& view, const NSURLRef& url,
                               HVWebImageOptionFlags options) {
  setFull(view, false, url, nullptr, options, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLPlaceholderOptionsCompletion(const HVImageViewRef& view, const NSURLRef& url,
                                                    const UIImageRef& placeholder,
                                                    HVWebImageOptionFlags options,
                                                    HVWebImageCompletionHandler completion) {
  setFull(view, false, url, placeholder, options, nullptr, nullptr, nullptr, std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, false, url, placeholder, options, nullptr, std::move(progress),
          std::move(transform), std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, false, url, placeholder, options, std::move(manager), std::move(progress),
          std::move(transform), std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, false, NSURL::URLWithString(url), placeholder, options, std::move(manager),
          std::move(progress), std::move(transform), std::move(completion));
}

void HV_cancelCurrentImageRequest(const HVImageViewRef& view) { cancelSlot(view, false); }

// ---- highlighted image ----

NSURLRef HV_highlightedImageURL(const HVImageViewRef& view) { return urlOf(view, true); }

void setHV_highlightedImageURL(const HVImageViewRef& view, const NSURLRef& url) {
  setFull(view, true, url, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setHighlightedImageWithURLPlaceholder(const HVImageViewRef& view, const NSURLRef& url,
                                              const UIImageRef& placeholder) {
  setFull(view, true, url, placeholder, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setHighlightedImageWithURLOptions(const HVImageViewRef& view, const NSURLRef& url,
                                          HVWebImageOptionFlags options) {
  setFull(view, true, url, nullptr, options, nullptr, nullptr, nullptr, nullptr);
}

void HV_setHighlightedImageWithURLPlaceholderOptionsCompletion(
    const HVImageViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageCompletionHandler completion) {
  setFull(view, true, url, placeholder, options, nullptr, nullptr, nullptr, std::move(completion));
}

void HV_setHighlightedImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, true, url, placeholder, options, nullptr, std::move(progress), std::move(transform),
          std::move(completion));
}

void HV_setHighlightedImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const NSURLRef& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, true, url, placeholder, options, std::move(manager), std::move(progress),
          std::move(transform), std::move(completion));
}

void HV_setHighlightedImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setFull(view, true, NSURL::URLWithString(url), placeholder, options, std::move(manager),
          std::move(progress), std::move(transform), std::move(completion));
}

void HV_cancelCurrentHighlightedImageRequest(const HVImageViewRef& view) { cancelSlot(view, true); }

// ---- the short forms with the URL as text ----

void setHV_imageURL(const HVImageViewRef& view, const std::string& url) {
  setHV_imageURL(view, urlFromText(url));
}

void HV_setImageWithURLPlaceholder(const HVImageViewRef& view, const std::string& url,
                                   const UIImageRef& placeholder) {
  HV_setImageWithURLPlaceholder(view, urlFromText(url), placeholder);
}

void HV_setImageWithURLOptions(const HVImageViewRef& view, const std::string& url,
                               HVWebImageOptionFlags options) {
  HV_setImageWithURLOptions(view, urlFromText(url), options);
}

void HV_setImageWithURLPlaceholderOptionsCompletion(const HVImageViewRef& view,
                                                    const std::string& url,
                                                    const UIImageRef& placeholder,
                                                    HVWebImageOptionFlags options,
                                                    HVWebImageCompletionHandler completion) {
  HV_setImageWithURLPlaceholderOptionsCompletion(view, urlFromText(url), placeholder, options,
                                                 std::move(completion));
}

void HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
      view, urlFromText(url), placeholder, options, std::move(progress), std::move(transform),
      std::move(completion));
}

void setHV_highlightedImageURL(const HVImageViewRef& view, const std::string& url) {
  setHV_highlightedImageURL(view, urlFromText(url));
}

void HV_setHighlightedImageWithURLPlaceholder(const HVImageViewRef& view, const std::string& url,
                                              const UIImageRef& placeholder) {
  HV_setHighlightedImageWithURLPlaceholder(view, urlFromText(url), placeholder);
}

void HV_setHighlightedImageWithURLOptions(const HVImageViewRef& view, const std::string& url,
                                          HVWebImageOptionFlags options) {
  HV_setHighlightedImageWithURLOptions(view, urlFromText(url), options);
}

void HV_setHighlightedImageWithURLPlaceholderOptionsCompletion(
    const HVImageViewRef& view, const std::string& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageCompletionHandler completion) {
  HV_setHighlightedImageWithURLPlaceholderOptionsCompletion(view, urlFromText(url), placeholder,
                                                            options, std::move(completion));
}

void HV_setHighlightedImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  HV_setHighlightedImageWithURLPlaceholderOptionsProgressTransformCompletion(
      view, urlFromText(url), placeholder, options, std::move(progress), std::move(transform),
      std::move(completion));
}
