#pragma once
// UIImage(Handler): turning an image's bitmap upright and cutting a rectangle out of it, for
// the crop view. Each returns a new image, or the receiver itself where nothing changes.
// Thread-safety: any thread (image contexts are per thread).

#include "platform/graphics/CGGeometry.h"
#include "platform/uikit/UIImage.h"

// The image with its bitmap drawn upright: orientation up, the same size and scale, the same
// opacity. An image already up is returned itself; null for null.
plat::UIImageRef fixOrientation(const plat::UIImageRef& image);
// The part of the upright image inside rect (image units, that is points): the rectangle is
// taken in bitmap pixels (points times the image's scale), made integral outwards and
// clipped to the image. The result has scale 1, one pixel per bitmap pixel cut. Null for a
// null image or when nothing of the rectangle lies on the image.
plat::UIImageRef imageAtRect(const plat::UIImageRef& image, plat::CGRect rect);
