#pragma once
// UIButton(HVWebImage): a button's image and background image per control state, loaded from
// a URL with the machinery of UIImageView(HVWebImage): placeholder at once, memory-cache hit
// before the call returns, otherwise loaded through the manager (the shared one unless given)
// and set on the main queue. Buttons never fade (HVWebImageOptionFadeIn has no effect).
//
// A control state is split into single states: highlighted (1), disabled (2) and selected
// (4), in that order, each when its bit is set, then normal (0) when the state's low eight
// bits are all clear. Other bits are ignored, so a state such as 8 alone names no single
// state: it starts no request and cancels nothing. Each single state is a slot of its own,
// with its own request and completion call: a combined state calls the completion once per
// single state.
//
// Thread-safety: as UIImageView(HVWebImage): any thread, waiting off the main thread for the
// main thread's step; handlers run on the main queue.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "image/HVWebImageManager.h"
#include "image/_HVWebImageSetter.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"

// One setter per single control state, for one kind of a button's images. Any thread.
class _HVWebImageSetterDicForButton : public plat::Object {
 public:
  std::string className() const override { return "_HVWebImageSetterDicForButton"; }
  // The single state's setter, or nullptr.
  _HVWebImageSetterRef setterForState(uint64_t state) const;
  // The single state's setter, made and stored when there is none.
  _HVWebImageSetterRef lazySetterForState(uint64_t state);

 private:
  mutable std::mutex lock_;
  std::map<uint64_t, _HVWebImageSetterRef> dic_;
};

// The single states of a control state, in the order above.
std::vector<uint64_t> HVWebImageButtonSingleStates(uint64_t state);

using HVButtonRef = std::shared_ptr<plat::UIButton>;

// ---- image ----

// The URL of one single state's latest request: highlighted when bit 1 is set, else disabled
// when bit 2, else selected when bit 4, else normal. nullptr when it has none.
plat::NSURLRef HV_imageURLForState(const HVButtonRef& button, uint64_t state);
void HV_setImageWithURLForStatePlaceholder(const HVButtonRef& button, const plat::NSURLRef& url,
                                           uint64_t state, const plat::UIImageRef& placeholder);
void HV_setImageWithURLForStateOptions(const HVButtonRef& button, const plat::NSURLRef& url,
                                       uint64_t state, HVWebImageOptionFlags options);
void HV_setImageWithURLForStatePlaceholderOptionsCompletion(const HVButtonRef& button,
                                                            const plat::NSURLRef& url,
                                                            uint64_t state,
                                                            const plat::UIImageRef& placeholder,
                                                            HVWebImageOptionFlags options,
                                                            HVWebImageCompletionHandler completion);
void HV_setImageWithURLForStatePlaceholderOptionsProgressTransformCompletion(
    const HVButtonRef& button, const plat::NSURLRef& url, uint64_t state,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
    HVWebImageCompletionHandler completion);
// The full form: one request per single state of `state`. A null manager means the shared
// one.
void HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const plat::NSURLRef& url, uint64_t state,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
// The same with the URL as text; text that is no valid URL counts as no URL.
void HV_setImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const std::string& url, uint64_t state,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_cancelImageRequestForState(const HVButtonRef& button, uint64_t state);
// One single state (a control state value given as is).
void _HV_setImageWithURLForSingleStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const plat::NSURLRef& url, uint64_t singleState,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void _HV_cancelImageRequestForSingleState(const HVButtonRef& button, uint64_t singleState);

// ---- background image (the same, setting the background image) ----

plat::NSURLRef HV_backgroundImageURLForState(const HVButtonRef& button, uint64_t state);
void HV_setBackgroundImageWithURLForStatePlaceholder(const HVButtonRef& button,
                                                     const plat::NSURLRef& url, uint64_t state,
                                                     const plat::UIImageRef& placeholder);
void HV_setBackgroundImageWithURLForStateOptions(const HVButtonRef& button,
                                                 const plat::NSURLRef& url, uint64_t state,
                                                 HVWebImageOptionFlags options);
void HV_setBackgroundImageWithURLForStatePlaceholderOptionsCompletion(
    const HVButtonRef& button, const plat::NSURLRef& url, uint64_t state,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageCompletionHandler completion);
void HV_setBackgroundImageWithURLForStatePlaceholderOptionsProgressTransformCompletion(
    const HVButtonRef& button, const plat::NSURLRef& url, uint64_t state,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageProgressHandler progress, HVWebImageTransformHandler transform,
    HVWebImageCompletionHandler completion);
void HV_setBackgroundImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const plat::NSURLRef& url, uint64_t state,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_setBackgroundImageWithURLForStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const std::string& url, uint64_t state,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_cancelBackgroundImageRequestForState(const HVButtonRef& button, uint64_t state);
void _HV_setBackgroundImageWithURLForSingleStatePlaceholderOptionsManagerProgressTransformCompletion(
    const HVButtonRef& button, const plat::NSURLRef& url, uint64_t singleState,
    const plat::UIImageRef& placeholder, HVWebImageOptionFlags options,
    HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void _HV_cancelBackgroundImageRequestForSingleState(const HVButtonRef& button,
                                                    uint64_t singleState);
