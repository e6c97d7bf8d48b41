#pragma once
// UIKit's graphics context stack and image contexts. Each thread has its own stack; the top
// is the current context that drawRect:, UIColor::setFill and UIBezierPath draw into.
// Image contexts have their origin at the top left (y down), measured in points, backed by
// pixels at the given scale.

#include <memory>

#include "platform/graphics/CGContext.h"

namespace plat {

class UIImage;
using UIImageRef = std::shared_ptr<UIImage>;

// The top of the calling thread's stack, or nullptr.
CGContextRef UIGraphicsGetCurrentContext();
// Makes c current until the matching pop (c is not owned; it must outlive the push).
void UIGraphicsPushContext(CGContextRef c);
void UIGraphicsPopContext();

// A new image context of `size` points; scale 0 means the main screen's scale. An empty (or
// too large: over 32767 pixels a side) size pushes an unusable entry: the current context is
// then nil and the image nil until the matching end, as the platform logs and does.
void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, double scale);
void UIGraphicsBeginImageContext(CGSize size);  // not opaque, scale 1
// The current image context's picture; nullptr when the current context is not an image
// context.
UIImageRef UIGraphicsGetImageFromCurrentImageContext();
// Pops and frees the top image context (ignored when the top is not an image context).
void UIGraphicsEndImageContext();

// Fills rect in the current context with its fill colour and blend mode; nothing without a
// current context.
void UIRectFill(CGRect rect);

// The main screen's scale as image contexts use it (set by UIScreen).
double UIGraphicsDefaultScale();
void UIGraphicsSetDefaultScale(double scale);

}  // namespace plat
