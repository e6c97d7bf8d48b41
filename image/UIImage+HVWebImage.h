#pragma once
// Operations on images: a small-GIF decoder giving an animated image, solid-colour and drawn
// images, drawing with a view content mode, resize, crop, insets, rounded corners with a
// border, rotation, flips, tint, grayscale and blurs over one blur core.
//
// Every operation returns a new image, or nullptr, and leaves its receiver unchanged; none
// raises. Sizes that are not finite and positive, or that would need a bitmap over 32767
// pixels a side, give nullptr before anything is drawn. Only the blur core logs (NSLog, texts
// starting "UIImage+HVAdd error:").
//
// Thread-safety: any thread (image contexts are per thread); HV_drawInRect... draws into the
// calling thread's current context.

#include <cstdint>
#include <functional>

#include "platform/foundation/Data.h"
#include "platform/graphics/CGContext.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIView.h"

// ---- class operations ----

// Most entries the animated image of HV_imageWithSmallGIFDataScale holds.
inline constexpr size_t kHVSmallGIFMaxImageEntries = 16384;

// An animated image of the GIF's frames (each frame repeated so that all frames share one
// time base, the greatest common divisor of their delays in 0.02 s ticks; delays below 0.02 s
// play as 0.1 s), or a still image for data of one frame. When that list would exceed
// kHVSmallGIFMaxImageEntries, the time base is coarsened until it fits: every frame keeps at
// least one entry and its share rounded to the coarser base, and the total duration stays the
// sum of the delays. nullptr when the data is not an image, has more frames than that bound, or
// a frame cannot be read.
plat::UIImageRef HV_imageWithSmallGIFDataScale(const plat::Data& data, double scale);
// A 1 x 1 point image of the colour; nullptr for a nil colour.
plat::UIImageRef HV_imageWithColor(const plat::UIColorRef& color);
// nullptr for a nil colour or a side of 0 or less.
plat::UIImageRef HV_imageWithColorSize(const plat::UIColorRef& color, plat::CGSize size);
// An image (screen scale) in which the block drew; nullptr for a nil block or when no context
// can be made.
plat::UIImageRef HV_imageWithSizeDrawBlock(plat::CGSize size,
                                           const std::function<void(plat::CGContextRef)>& block);

// ---- operations on an image (nullptr receivers give nullptr / false / nothing) ----

// Whether the bitmap has alpha (premultiplied or straight, first or last); false without one.
bool HV_hasAlphaChannel(const plat::UIImageRef& image);
// Draws into the current context where the content mode puts the image in rect; with
// clipping, nothing outside rect. Nothing without a current context or for a rect that is not
// finite.
void HV_drawInRectWithContentModeClipsToBounds(const plat::UIImageRef& image, plat::CGRect rect,
                                               plat::UIViewContentMode mode, bool clips);

plat::UIImageRef HV_imageByResizeToSize(const plat::UIImageRef& image, plat::CGSize size);
plat::UIImageRef HV_imageByResizeToSizeContentMode(const plat::UIImageRef& image, plat::CGSize size,
                                                   plat::UIViewContentMode mode);
// rect in points, turned into pixels with the image's scale; the result keeps the scale and
// orientation. nullptr for a rect that is empty, not finite or outside the image.
plat::UIImageRef HV_imageByCropToRect(const plat::UIImageRef& image, plat::CGRect rect);
// Positive insets cut the image, negative ones grow the canvas; margins outside the image are
// painted with the colour when one is given.
plat::UIImageRef HV_imageByInsetEdgeWithColor(const plat::UIImageRef& image,
                                              plat::UIEdgeInsets insets,
                                              const plat::UIColorRef& color);

plat::UIImageRef HV_imageByRoundCornerRadius(const plat::UIImageRef& image, double radius);
plat::UIImageRef HV_imageByRoundCornerRadiusBorderWidthBorderColor(
    const plat::UIImageRef& image, double radius, double borderWidth,
    const plat::UIColorRef& borderColor);
// A border of half the smaller side or more leaves a transparent image of the same size.
plat::UIImageRef HV_imageByRoundCornerRadiusCornersBorderWidthBorderColorBorderLineJoin(
    const plat::UIImageRef& image, double radius, uint64_t corners, double borderWidth,
    const plat::UIColorRef& borderColor, plat::CGLineJoin borderLineJoin);

// Rotates counter-clockwise by radians; fitSize grows the bitmap to hold the whole image.
plat::UIImageRef HV_imageByRotateFitSize(const plat::UIImageRef& image, double radians,
                                         bool fitSize);
plat::UIImageRef HV_imageByRotateLeft90(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByRotateRight90(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByRotate180(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByFlipVertical(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByFlipHorizontal(const plat::UIImageRef& image);

// The colour where the image is opaque, keeping the image's alpha.
plat::UIImageRef HV_imageByTintColor(const plat::UIImageRef& image, const plat::UIColor& color);
plat::UIImageRef HV_imageByGrayscale(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByBlurSoft(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByBlurLight(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByBlurExtraLight(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByBlurDark(const plat::UIImageRef& image);
plat::UIImageRef HV_imageByBlurWithTint(const plat::UIImageRef& image,
                                        const plat::UIColor& tintColor);
// The blur core: a box-filter approximation of a Gaussian blur of `radius` points, then a
// saturation change (1 keeps colours, 0 grey, -1 complementary colours), then the tint drawn
// over with tintMode, all through the mask when one is given (outside the mask the image
// shows unblurred). Without blur, saturation change, tint or mask the pixels come back as
// they are, at scale 1. nullptr (logged) for an image under 1 x 1 point or without a bitmap,
// or a mask without one.
plat::UIImageRef HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
    const plat::UIImageRef& image, double radius, const plat::UIColorRef& tintColor,
    plat::CGBlendMode tintMode, double saturation, const plat::UIImageRef& maskImage);
