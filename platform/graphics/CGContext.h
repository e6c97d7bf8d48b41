#pragma once
// CGContext: a CoreGraphics drawing context on a Cairo image surface, with the platform's
// function vocabulary (CGContextMoveToPoint, CGContextFillPath, ...).
//
// Coordinates: a bitmap context made by CGBitmapContextCreate has its origin at the bottom
// left (y up), as on the platform; image contexts of UIKit flip that so the origin is at the top
// left. CGContextDrawImage draws the image's first row at the rectangle's maximum y of user
// space, so it appears upright in a y-up context and upside down in a flipped one, as on the
// platform.
//
// Fill and stroke colours are separate and, with line width, caps, joins, alpha, blend mode,
// clip and transform, are saved and restored by CGContextSaveGState/RestoreGState.
// Thread-safety: a context belongs to one thread at a time.

#include <cairo.h>

#include <functional>

#include <memory>
#include <vector>

#include "platform/graphics/CGGeometry.h"
#include "platform/graphics/CGImage.h"

namespace plat {

// An RGBA colour in device RGB with straight (not premultiplied) components 0..1.
struct CGColor {
  double r = 0, g = 0, b = 0, a = 0;
  bool operator==(const CGColor&) const = default;
};

enum CGLineCap { kCGLineCapButt = 0, kCGLineCapRound = 1, kCGLineCapSquare = 2 };
enum CGLineJoin { kCGLineJoinMiter = 0, kCGLineJoinRound = 1, kCGLineJoinBevel = 2 };
enum CGPathDrawingMode {
  kCGPathFill = 0,
  kCGPathEOFill = 1,
  kCGPathStroke = 2,
  kCGPathFillStroke = 3,
  kCGPathEOFillStroke = 4
};
enum CGBlendMode {
  kCGBlendModeNormal = 0,
  kCGBlendModeMultiply = 1,
  kCGBlendModeScreen = 2,
  kCGBlendModeOverlay = 3,
  kCGBlendModeDarken = 4,
  kCGBlendModeLighten = 5,
  kCGBlendModeColorDodge = 6,
  kCGBlendModeColorBurn = 7,
  kCGBlendModeSoftLight = 8,
  kCGBlendModeHardLight = 9,
  kCGBlendModeDifference = 10,
  kCGBlendModeExclusion = 11,
  kCGBlendModeHue = 12,
  kCGBlendModeSaturation = 13,
  kCGBlendModeColor = 14,
  kCGBlendModeLuminosity = 15,
  kCGBlendModeClear = 16,
  kCGBlendModeCopy = 17,
  kCGBlendModeSourceIn = 18,
  kCGBlendModeSourceOut = 19,
  kCGBlendModeSourceAtop = 20,
  kCGBlendModeDestinationOver = 21,
  kCGBlendModeDestinationIn = 22,
  kCGBlendModeDestinationOut = 23,
  kCGBlendModeDestinationAtop = 24,
  kCGBlendModeXOR = 25,
  kCGBlendModePlusDarker = 26,
  kCGBlendModePlusLighter = 27
};

namespace internal {
struct MaskLayer;
}  // namespace internal

class CGContext {
 public:
  // Draws into an image surface (one reference is taken). base is the device transform under
  // every user transform (the y-up flip of bitmap contexts, the scale of image contexts).
  CGContext(cairo_surface_t* surface, CGAffineTransform base);
  ~CGContext();
  CGContext(const CGContext&) = delete;
  CGContext& operator=(const CGContext&) = delete;

  cairo_t* cairo() const {
    if (beforeUse) beforeUse();
    return cr_;
  }
  cairo_surface_t* surface() const {
    if (beforeUse) beforeUse();
    return surface_;
  }
  // Internal: runs before the surface is drawn on or read (a grey bitmap context copies in
  // what its caller wrote to its pixel memory).
  std::function<void()> beforeUse;

  struct State {
    CGColor fill{0, 0, 0, 1};
    CGColor stroke{0, 0, 0, 1};
    double alpha = 1;
    CGBlendMode blend = kCGBlendModeNormal;
    int interpolation = 0;  // a CGInterpolationQuality
    // Masks added by CGContextClipToMask at this level: drawing since then is collected and
    // composited through them when the level is restored.
    std::vector<std::shared_ptr<internal::MaskLayer>> masks;
  };
  State& state() { return states_.back(); }
  void save();
  void restore();
  // How many states are saved: restoring down to a depth taken earlier undoes saves that a
  // drawing routine left unbalanced.
  size_t saveDepth() const { return states_.size(); }
  // Applies the fill or stroke colour (with alpha) and the blend mode as the Cairo source.
  void useFill();
  void useStroke();
  CGAffineTransform base() const { return base_; }

 private:
  cairo_surface_t* surface_;
  cairo_t* cr_;
  CGAffineTransform base_;
  std::vector<State> states_;
};

using CGContextRef = CGContext*;

// A y-up bitmap context of the given pixel size (ARGB32, or RGB24 when opaque), cleared to
// transparent. nullptr for a zero or negative size.
std::shared_ptr<CGContext> CGBitmapContextCreate(int width, int height, bool opaque = false);
// A copy of the context's pixels as an image; nullptr when the context is null.
CGImageRef CGBitmapContextCreateImage(CGContextRef c);
size_t CGBitmapContextGetWidth(CGContextRef c);
size_t CGBitmapContextGetHeight(CGContextRef c);

void CGContextSaveGState(CGContextRef c);
void CGContextRestoreGState(CGContextRef c);
void CGContextSetRGBFillColor(CGContextRef c, double r, double g, double b, double a);
void CGContextSetRGBStrokeColor(CGContextRef c, double r, double g, double b, double a);
void CGContextSetFillColorWithColor(CGContextRef c, CGColor color);
void CGContextSetStrokeColorWithColor(CGContextRef c, CGColor color);
void CGContextSetGrayFillColor(CGContextRef c, double white, double a);
void CGContextSetAlpha(CGContextRef c, double a);
void CGContextSetLineWidth(CGContextRef c, double w);
void CGContextSetLineCap(CGContextRef c, CGLineCap cap);
void CGContextSetLineJoin(CGContextRef c, CGLineJoin join);
void CGContextSetBlendMode(CGContextRef c, CGBlendMode mode);
void CGContextSetShouldAntialias(CGContextRef c, bool on);

void CGContextBeginPath(CGContextRef c);
void CGContextMoveToPoint(CGContextRef c, double x, double y);
void CGContextAddLineToPoint(CGContextRef c, double x, double y);
// clockwise = 1 runs towards decreasing angles (clockwise in y-up space). Adds nothing for a
// negative or non-finite radius or angle; turns beyond two are dropped (the end point stays).
void CGContextAddArc(CGContextRef c, double x, double y, double radius, double startAngle,
                     double endAngle, int clockwise);
// A line from the current point towards (x1, y1) ending in an arc tangent to both lines
// (x1, y1)-(x2, y2); degenerate input adds a line to (x1, y1).
void CGContextAddArcToPoint(CGContextRef c, double x1, double y1, double x2, double y2,
                            double radius);
void CGContextAddCurveToPoint(CGContextRef c, double cp1x, double cp1y, double cp2x, double cp2y,
                              double x, double y);
void CGContextAddQuadCurveToPoint(CGContextRef c, double cpx, double cpy, double x, double y);
void CGContextAddRect(CGContextRef c, CGRect r);
void CGContextAddEllipseInRect(CGContextRef c, CGRect r);
void CGContextClosePath(CGContextRef c);
bool CGContextIsPathEmpty(CGContextRef c);
// Fill, stroke and clip consume the current path.
void CGContextFillPath(CGContextRef c);
void CGContextEOFillPath(CGContextRef c);
void CGContextStrokePath(CGContextRef c);
void CGContextDrawPath(CGContextRef c, CGPathDrawingMode mode);
void CGContextFillRect(CGContextRef c, CGRect r);
void CGContextStrokeRect(CGContextRef c, CGRect r);
void CGContextFillEllipseInRect(CGContextRef c, CGRect r);
void CGContextStrokeEllipseInRect(CGContextRef c, CGRect r);
// Makes the rectangle fully transparent, whatever the blend mode.
void CGContextClearRect(CGContextRef c, CGRect r);
void CGContextClip(CGContextRef c);
void CGContextEOClip(CGContextRef c);
void CGContextClipToRect(CGContextRef c, CGRect r);
CGRect CGContextGetClipBoundingBox(CGContextRef c);

void CGContextTranslateCTM(CGContextRef c, double tx, double ty);
void CGContextScaleCTM(CGContextRef c, double sx, double sy);
void CGContextRotateCTM(CGContextRef c, double angle);
void CGContextConcatCTM(CGContextRef c, CGAffineTransform t);
// The user-to-device transform, including the context's base.
CGAffineTransform CGContextGetCTM(CGContextRef c);

void CGContextDrawImage(CGContextRef c, CGRect rect, const CGImageRef& image);

namespace internal {
// Prepares an arc for Cairo, which walks every turn of an arc: an arc of more than two turns
// keeps its end point but loses the turns beyond the last two (it looks the same and does not
// take minutes to build). `increasing`: the arc runs towards increasing angles. Returns false,
// leaving end alone, when an angle is not finite (the arc is then not drawn).
bool limitArcSweep(double start, double* end, bool increasing);
// Composites what was drawn since the mask was set through the mask (CGBitmapContext.cpp).
void compositeMask(cairo_t* cr, MaskLayer& mask);
// The Cairo filter for an interpolation quality.
cairo_filter_t filterFor(int interpolationQuality);
// The image of a grey bitmap context (CGBitmapContext.cpp); nullptr for other contexts.
CGImageRef createGreyContextImage(CGContextRef c);
}  // namespace internal

}  // namespace plat
