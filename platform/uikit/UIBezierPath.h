#pragma once
// UIBezierPath: a path object drawn into the current context, with its own line width, caps,
// joins and even-odd flag. Angles are in radians; clockwise means clockwise on screen (y down).
// Not synchronized; use from one thread.

#include <cairo.h>

#include <memory>

#include "platform/graphics/CGContext.h"

namespace plat {

class UIBezierPath;
using UIBezierPathRef = std::shared_ptr<UIBezierPath>;

enum UIRectCorner : uint64_t {
  UIRectCornerTopLeft = 1,
  UIRectCornerTopRight = 2,
  UIRectCornerBottomLeft = 4,
  UIRectCornerBottomRight = 8,
  UIRectCornerAllCorners = 15
};

class UIBezierPath {
 public:
  UIBezierPath();
  ~UIBezierPath();
  UIBezierPath(const UIBezierPath&) = delete;
  UIBezierPath& operator=(const UIBezierPath&) = delete;

  static UIBezierPathRef bezierPath();
  static UIBezierPathRef bezierPathWithRect(CGRect r);
  static UIBezierPathRef bezierPathWithOvalInRect(CGRect r);
  static UIBezierPathRef bezierPathWithRoundedRectCornerRadius(CGRect r, double radius);
  static UIBezierPathRef bezierPathWithRoundedRectByRoundingCornersCornerRadii(CGRect r,
                                                                               uint64_t corners,
                                                                               CGSize radii);
  static UIBezierPathRef bezierPathWithArcCenterRadiusStartAngleEndAngleClockwise(
      CGPoint center, double radius, double start, double end, bool clockwise);

  void moveToPoint(CGPoint p);
  void addLineToPoint(CGPoint p);
  // Adds nothing for a negative or non-finite radius or angle. Turns beyond two are dropped
  // (the end point stays).
  void addArcWithCenterRadiusStartAngleEndAngleClockwise(CGPoint c, double r, double start,
                                                         double end, bool clockwise);
  void addCurveToPointControlPoint1ControlPoint2(CGPoint p, CGPoint c1, CGPoint c2);
  void addQuadCurveToPointControlPoint(CGPoint p, CGPoint c);
  void closePath();
  void removeAllPoints();
  void appendPath(const UIBezierPath& other);
  // A new path with the same line settings and shape.
  UIBezierPathRef copy() const;
  // A new path with the same shape traced the other way: each subpath starts at its old end
  // and runs back through its points (curves with their control points swapped), closed when
  // it was. Under the non-zero rule a reversed subpath inside another cuts a hole.
  UIBezierPathRef bezierPathByReversingPath() const;

  bool isEmpty() const;
  CGRect bounds() const;
  CGPoint currentPoint() const;
  bool containsPoint(CGPoint p) const;

  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double w) { lineWidth_ = w; }
  CGLineCap lineCapStyle() const { return cap_; }
  void setLineCapStyle(CGLineCap c) { cap_ = c; }
  CGLineJoin lineJoinStyle() const { return join_; }
  void setLineJoinStyle(CGLineJoin j) { join_ = j; }
  bool usesEvenOddFillRule() const { return evenOdd_; }
  void setUsesEvenOddFillRule(bool v) { evenOdd_ = v; }

  // Draw into the current context (nothing without one).
  void fill();
  void stroke();
  void addClip();
  // Adds the path to c's current path.
  void addToContext(CGContextRef c) const;

 private:
  cairo_surface_t* scratchSurface_;
  cairo_t* cr_;  // holds the path in user units
  double lineWidth_ = 1;
  CGLineCap cap_ = kCGLineCapButt;
  CGLineJoin join_ = kCGLineJoinMiter;
  bool evenOdd_ = false;
};

}  // namespace plat
