#include "image/UIButton+HVWebImage.h"

using namespace plat;

_HVWebImageSetterRef _HVWebImageSetterDicForButton::setterForState(uint64_t state) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = dic_.find(state);
  return it == dic_.end() ? nullptr : it->second;
}

_HVWebImageSetterRef _HVWebImageSetterDicForButton::lazySetterForState(uint64_t state) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& setter = dic_[state];
  if (!setter) setter = std::make_shared<_HVWebImageSetter>();
  return setter;
}

std::vector<uint64_t> HVWebImageButtonSingleStates(uint64_t state) {
  std::vector<uint64_t> states;
  if (state & UIControlStateHighlighted) states.push_back(UIControlStateHighlighted);
  if (state & UIControlStateDisabled) states.push_back(UIControlStateDisabled);
  if (state & UIControlStateSelected) states.push_back(UIControlStateSelected);
  if ((state & 0xFF) == 0) states.push_back(UIControlStateNormal);
  return states;
}

namespace {

// Associated-object keys of the two tables.
char kImageTableKey;
char kBackgroundImageTableKey;

enum class Kind { Image, Background };

const void* tableKey(Kind kind) {
  return kind == Kind::Image ? &kImageTableKey : &kBackgroundImageTableKey;
}

std::shared_ptr<_HVWebImageSetterDicForButton> tableFor(const HVButtonRef& button, Kind kind,
                                                        bool create) {
  return _HVWebImageAttachedForKey<_HVWebImageSetterDicForButton>(button, tableKey(kind), create);
}

// The one single state whose URL a control state reports.
uint64_t reportedSingleState(uint64_t state) {
  if (state & UIControlStateHighlighted) return UIControlStateHighlighted;
  if (state & UIControlStateDisabled) return UIControlStateDisabled;
  if (state & UIControlStateSelected) return UIControlStateSelected;
  return UIControlStateNormal;
}

NSURLRef urlFor(const HVButtonRef& button, Kind kind, uint64_t state) {
  auto table = tableFor(button, kind, false);
  if (!table) return nullptr;
  auto setter = table->setterForState(reportedSingleState(state));
  return setter ? setter->imageURL() : nullptr;
}

void setSingle(const HVButtonRef& button, Kind kind, const NSURLRef& url, uint64_t singleState,
               const UIImageRef& placeholder, HVWebImageOptionFlags options,
               HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
               HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  if (!button) return;
  _HVWebImageSlot slot;
  slot.owner = button;
  std::weak_ptr<UIButton> weakButton = button;
  slot.setter = [weakButton, kind, singleState]() -> _HVWebImageSetterRef {
    auto table = tableFor(weakButton.lock(), kind, true);
    return table ? table->lazySetterForState(singleState) : nullptr;
  };
  slot.show = [kind, singleState](const ObjectRef& owner, const UIImageRef& image) {
    auto b = std::static_pointer_cast<UIButton>(owner);
    if (kind == Kind::Image) {
      b->setImageForState(image, singleState);
    } else {
      b->setBackgroundImageForState(image, singleState);
    }
  };
  // No fadeLayer: buttons never fade.
  _HVWebImageSetImageForSlot(slot, url, placeholder, options, std::move(manager),
                             std::move(progress), std::move(transform), std::move(completion));
}

void setAll(const HVButtonRef& button, Kind kind, const NSURLRef& url, uint64_t state,
            const UIImageRef& placeholder, HVWebImageOptionFlags options,
            const HVWebImageManagerRef& manager, const HVWebImageProgressHandler& progress,
            const HVWebImageTransformHandler& transform,
            const HVWebImageCompletionHandler& completion) {
  for (uint64_t single : HVWebImageButtonSingleStates(state)) {
    setSingle(button, kind, url, single, placeholder, options, manager, progress, transform,
              completion);
  }
}

void cancelSingle(const HVButtonRef& button, Kind kind, uint64_t singleState) {
  auto table = tableFor(button, kind, false);
  if (!table) return;
  if (auto setter = table->setterForState(singleState)) setter->cancel();
}

void cancelAll(const HVButtonRef& button, Kind kind, uint64_t state) {
  for (uint64_t single : HVWebImageButtonSingleStates(state)) cancelSingle(button, kind, single);
}

}  // namespace

// ---- image ----

NSURLRef HV_imageURLForState(const HVButtonRef& button, uint64_t state) {
  return urlFor(button, Kind::Image, state);
}

void HV_setImageWithURLForStatePlaceholder(const HVButtonRef& button, const NSURLRef& url,
                                           uint64_t state, const UIImageRef& placeholder) {
  setAll(button, Kind::Image, url, state, placeholder, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLForStateOptions(const HVButtonRef& button, const NSURLRef& url,
                                       uint64_t state, HVWebImageOptionFlags options) {
  setAll(button, Kind::Image, url, state, nullptr, options, nullptr, nullptr, nullptr, nullptr);
}

void HV_setImageWithURLForStatePlaceholderOptionsCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t state, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Image, url, state, placeholder, options, nullptr, nullptr, nullptr,
         completion);
}

void HV_setImageWithURLForStatePlaceholderOptionsProgressTransformCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t state, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Image, url, state, placeholder, options, nullptr, progress, transform,
         completion);
}

void HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t state, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Image, url, state, placeholder, options, manager, progress, transform,
         completion);
}

void HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const std::string& url, uint64_t state,
    const UIImageRef& placeholder, HVWebImageOptionFlags options, HVWebImageManagerRef manager,
    HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
    HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Image, NSURL::URLWithString(url), state, placeholder, options, manager,
         progress, transform, completion);
}

void HV_cancelImageRequestForState(const HVButtonRef& button, uint64_t state) {
  cancelAll(button, Kind::Image, state);
}

void _HV_setImageWithURLForSingleStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t singleState,
    const UIImageRef& placeholder, HVWebImageOptionFlags options, HVWebImageManagerRef manager,
    HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
    HVWebImageCompletionHandler completion) {
  setSingle(button, Kind::Image, url, singleState, placeholder, options, std::move(manager),
            std::move(progress), std::move(transform), std::move(completion));
}

void _HV_cancelImageRequestForSingleState(const HVButtonRef& button, uint64_t singleState) {
  cancelSingle(button, Kind::Image, singleState);
}

// ---- background image ----

NSURLRef HV_backgroundImageURLForState(const HVButtonRef& button, uint64_t state) {
  return urlFor(button, Kind::Background, state);
}

void HV_setBackgroundImageWithURLForStatePlaceholder(const HVButtonRef& button, const NSURLRef& url,
                                                     uint64_t state,
                                                     const UIImageRef& placeholder) {
  setAll(button, Kind::Background, url, state, placeholder, 0, nullptr, nullptr, nullptr, nullptr);
}

void HV_setBackgroundImageWithURLForStateOptions(const HVButtonRef& button, const NSURLRef& url,
                                                 uint64_t state, HVWebImageOptionFlags options) {
  setAll(button, Kind::Background, url, state, nullptr, options, nullptr, nullptr, nullptr,
         nullptr);
}

void HV_setBackgroundImageWithURLForStatePlaceholderOptionsCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t state, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Background, url, state, placeholder, options, nullptr, nullptr, nullptr,
         completion);
}

void HV_setBackgroundImageWithURLForStatePlaceholderOptionsProgressTransformCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t state, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Background, url, state, placeholder, options, nullptr, progress, transform,
         completion);
}

void HV_setBackgroundImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t state, const UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Background, url, state, placeholder, options, manager, progress, transform,
         completion);
}

void HV_setBackgroundImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const std::string& url, uint64_t state,
    const UIImageRef& placeholder, HVWebImageOptionFlags options, HVWebImageManagerRef manager,
    HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
    HVWebImageCompletionHandler completion) {
  setAll(button, Kind::Background, NSURL::URLWithString(url), state, placeholder, options, manager,
         progress, transform, completion);
}

void HV_cancelBackgroundImageRequestForState(const HVButtonRef& button, uint64_t state) {
  cancelAll(button, Kind::Background, state);
}

void _HV_setBackgroundImageWithURLForSingleStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const NSURLRef& url, uint64_t singleState,
    const UIImageRef& placeholder, HVWebImageOptionFlags options, HVWebImageManagerRef manager,
    HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
    HVWebImageCompletionHandler completion) {
  setSingle(button, Kind::Background, url, singleState, placeholder, options, std::move(manager),
            std::move(progress), std::move(transform), std::move(completion));
}

void _HV_cancelBackgroundImageRequestForSingleState(const HVButtonRef& button,
                                                    uint64_t singleState) {
  cancelSingle(button, Kind::Background, singleState);
}
