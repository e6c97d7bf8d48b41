#pragma once
// CALayer(HVWebImage): a layer's contents loaded from a URL with the machinery of
// UIImageView(HVWebImage)'s image slot: the placeholder's bitmap at once (a null placeholder
// clears the contents), a memory-cache hit before the call returns, otherwise loaded through
// the manager (the shared one unless given) and set on the main queue. With
// HVWebImageOptionFadeIn the result always fades in (the transition goes to the layer itself
// under "HVWebImageFade"), since a layer has no highlighted state.
//
// Thread-safety: as UIImageView(HVWebImage): any thread, waiting off the main thread for the
// main thread's step; handlers run on the main queue.

#include <string>

#include "image/HVWebImageManager.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/CALayer.h"
#include "platform/uikit/UIImage.h"

// The URL of the latest request; nullptr before the first and after a cancel.
plat::NSURLRef HV_imageURL(const plat::CALayerRef& layer);
void setHV_imageURL(const plat::CALayerRef& layer, const plat::NSURLRef& url);
void HV_setImageWithURLPlaceholder(const plat::CALayerRef& layer, const plat::NSURLRef& url,
                                   const plat::UIImageRef& placeholder);
void HV_setImageWithURLOptions(const plat::CALayerRef& layer, const plat::NSURLRef& url,
                               HVWebImageOptionFlags options);
void HV_setImageWithURLPlaceholderOptionsCompletion(const plat::CALayerRef& layer,
                                                    const plat::NSURLRef& url,
                                                    const plat::UIImageRef& placeholder,
                                                    HVWebImageOptionFlags options,
                                                    HVWebImageCompletionHandler completion);
void HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const plat::CALayerRef& layer, const plat::NSURLRef& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
// The full form. A null manager means HVWebImageManager::sharedManager().
void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const plat::CALayerRef& layer, const plat::NSURLRef& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
// The same with the URL as text; text that is no valid URL counts as no URL.
void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const plat::CALayerRef& layer, const std::string& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
// Supersedes the layer's request; the current contents stay.
void HV_cancelCurrentImageRequest(const plat::CALayerRef& layer);
