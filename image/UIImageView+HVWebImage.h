#pragma once
// UIImageView(HVWebImage): an image view shows an image from a URL with one call. The
// placeholder shows at once, an image in the manager's memory cache is set before the call
// returns (completion: source 1, phase 1), otherwise the image is loaded through the manager
// (the shared one unless given) and set on the main queue, faded in with
// HVWebImageOptionFadeIn. Each new request or cancel of a slot supersedes the slot's previous
// request: its result is never shown and its completion gets (nil, URL, 0, 0, nil) once.
//
// The image and the highlighted image are two independent slots. A null or invalid URL shows
// only the placeholder and calls no completion. Every form takes the URL as an NSURL or as its
// text (text that is no valid URL counts as no URL); pass NSURLRef() for no URL, since a bare
// nullptr fits both. With HVWebImageOptionManualSetImage nothing is
// set on the view; the completion receives every image, partial ones included.
//
// Thread-safety: any thread; off the main thread the call waits until the main thread has
// shown the placeholder (so never call it from a thread the main thread waits for). The
// completion and progress handlers run on the main queue.

#include <string>

#include "image/HVWebImageManager.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"

using HVImageViewRef = std::shared_ptr<plat::UIImageView>;

// ---- image ----

// The URL of the latest request; nullptr before the first and after a cancel.
plat::NSURLRef HV_imageURL(const HVImageViewRef& view);
void setHV_imageURL(const HVImageViewRef& view, const plat::NSURLRef& url);
void setHV_imageURL(const HVImageViewRef& view, const std::string& url);
void HV_setImageWithURLPlaceholder(const HVImageViewRef& view, const plat::NSURLRef& url,
                                   const plat::UIImageRef& placeholder);
void HV_setImageWithURLPlaceholder(const HVImageViewRef& view, const std::string& url,
                                   const plat::UIImageRef& placeholder);
void HV_setImageWithURLOptions(const HVImageViewRef& view, const plat::NSURLRef& url,
                               HVWebImageOptionFlags options);
void HV_setImageWithURLOptions(const HVImageViewRef& view, const std::string& url,
                               HVWebImageOptionFlags options);
void HV_setImageWithURLPlaceholderOptionsCompletion(const HVImageViewRef& view,
                                                    const plat::NSURLRef& url,
                                                    const plat::UIImageRef& placeholder,
                                                    HVWebImageOptionFlags options,
                                                    HVWebImageCompletionHandler completion);
void HV_setImageWithURLPlaceholderOptionsCompletion(const HVImageViewRef& view,
                                                    const std::string& url,
                                                    const plat::UIImageRef& placeholder,
                                                    HVWebImageOptionFlags options,
                                                    HVWebImageCompletionHandler completion);
void HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const plat::NSURLRef& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_setImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
// The full form. A null manager means HVWebImageManager::sharedManager().
void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const plat::NSURLRef& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
// The same with the URL as text; text that is no valid URL counts as no URL.
void HV_setImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
// Supersedes the slot's request; the current image stays. Nothing without a request so far.
void HV_cancelCurrentImageRequest(const HVImageViewRef& view);

// ---- highlighted image (the same, setting highlightedImage) ----

plat::NSURLRef HV_highlightedImageURL(const HVImageViewRef& view);
void setHV_highlightedImageURL(const HVImageViewRef& view, const plat::NSURLRef& url);
void setHV_highlightedImageURL(const HVImageViewRef& view, const std::string& url);
void HV_setHighlightedImageWithURLPlaceholder(const HVImageViewRef& view, const plat::NSURLRef& url,
                                              const plat::UIImageRef& placeholder);
void HV_setHighlightedImageWithURLPlaceholder(const HVImageViewRef& view, const std::string& url,
                                              const plat::UIImageRef& placeholder);
void HV_setHighlightedImageWithURLOptions(const HVImageViewRef& view, const plat::NSURLRef& url,
                                          HVWebImageOptionFlags options);
void HV_setHighlightedImageWithURLOptions(const HVImageViewRef& view, const std::string& url,
                                          HVWebImageOptionFlags options);
void HV_setHighlightedImageWithURLPlaceholderOptionsCompletion(
    const HVImageViewRef& view, const plat::NSURLRef& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageCompletionHandler completion);
void HV_setHighlightedImageWithURLPlaceholderOptionsCompletion(
    const HVImageViewRef& view, const std::string& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageCompletionHandler completion);
void HV_setHighlightedImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const plat::NSURLRef& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_setHighlightedImageWithURLPlaceholderOptionsProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_setHighlightedImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const plat::NSURLRef& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_setHighlightedImageWithURLPlaceholderOptionsManagerProgressTransformCompletion(
    const HVImageViewRef& view, const std::string& url, const plat::UIImageRef& placeholder,
    HVWebImageOptionFlags options, HVWebImageManagerRef manager, HVWebImageProgressHandler progress,
    HVWebImageTransformHandler transform, HVWebImageCompletionHandler completion);
void HV_cancelCurrentHighlightedImageRequest(const HVImageViewRef& view);
