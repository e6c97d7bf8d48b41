#pragma once
// CALayer: a node of the layer tree that the renderer draws. Every UIView owns one layer (its
// "view layer"), whose geometry, background, hidden flag and opacity are the view's own; other
// layers stand alone, with geometry of their own (bounds, position, anchor point, transform)
// in their superlayer's bounds space. A layer's sublayers are drawn in order, above its
// contents: a view's subviews appear there through their view layers, interleaved with any
// plain sublayers added beside them. A layer may carry a mask (another layer: only where the
// mask covers, by its alpha, is the layer seen) and a blurred shadow of its drawn alpha (or of
// its shadow path).
//
// CAShapeLayer fills and strokes a path; CAGradientLayer fills its bounds with an axial
// gradient. Subclasses draw by overriding drawInContext.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/graphics/CGGeometry.h"
#include "platform/graphics/CGImage.h"
#include "platform/uikit/CAAnimation.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIColor.h"

namespace plat {

class UIView;
class CALayer;
struct UIViewAnimationGroup;
using CALayerRef = std::shared_ptr<CALayer>;

class CALayer : public Object {
 public:
  CALayer() = default;
  static CALayerRef layer() { return std::make_shared<CALayer>(); }
  std::string className() const override { return "CALayer"; }

  // ---- Geometry (a view layer's are its view's) ----
  CGRect bounds() const;
  void setBounds(CGRect b);
  // Where the anchor point sits in the superlayer's bounds space.
  CGPoint position() const;
  void setPosition(CGPoint p);
  // In unit coordinates of the bounds; default 0.5, 0.5. A view layer's stays at the centre.
  CGPoint anchorPoint() const { return anchorPoint_; }
  void setAnchorPoint(CGPoint p);
  CGAffineTransform affineTransform() const;
  void setAffineTransform(CGAffineTransform t);
  // The bounding box of the transformed bounds in the superlayer's space.
  CGRect frame() const;
  void setFrame(CGRect f);

  // ---- Tree ----
  const std::vector<CALayerRef>& sublayers() const { return sublayers_; }
  CALayerRef superlayer() const { return superlayer_.lock(); }
  // Adding a layer that has a superlayer moves it. Adding a layer to itself or to one of its
  // own sublayers (at any depth) is refused.
  void addSublayer(const CALayerRef& layer);
  // index is clamped to 0..count.
  void insertSublayerAtIndex(const CALayerRef& layer, int64_t index);
  // Without the sibling among the sublayers, the layer goes on top.
  void insertSublayerBelow(const CALayerRef& layer, const CALayerRef& sibling);
  void insertSublayerAbove(const CALayerRef& layer, const CALayerRef& sibling);
  void replaceSublayerWith(const CALayerRef& old, const CALayerRef& layer);
  void removeFromSuperlayer();
  bool isDescendantOf(const CALayer* layer) const;

  // ---- Appearance ----
  // Nil: no background. A view layer's is its view's background colour.
  std::optional<CGColor> backgroundColor() const;
  void setBackgroundColor(std::optional<CGColor> c);
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double r) { cornerRadius_ = r; }
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double w) { borderWidth_ = w; }
  // Default: opaque black, as the platform's.
  CGColor borderColor() const { return borderColor_; }
  void setBorderColor(CGColor c) { borderColor_ = c; }
  // A view layer's is the view's clipsToBounds.
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool v) { masksToBounds_ = v; }
  bool allowsGroupOpacity() const { return allowsGroupOpacity_; }
  void setAllowsGroupOpacity(bool v) { allowsGroupOpacity_ = v; }
  // A view layer's is the view's alpha.
  float opacity() const { return opacity_; }
  void setOpacity(float o) { opacity_ = o; }
  // Plain layers draw their contents stretched over their bounds; a view layer's contents are
  // placed by the view's content mode.
  CGImageRef contents() const { return contents_; }
  void setContents(CGImageRef image) { contents_ = std::move(image); }
  // The part of the contents shown, in unit coordinates of the bitmap (origin top-left).
  // Default 0, 0, 1, 1.
  CGRect contentsRect() const { return contentsRect_; }
  void setContentsRect(CGRect r) { contentsRect_ = r; }
  double contentsScale() const { return contentsScale_; }
  void setContentsScale(double s) { contentsScale_ = s; }
  bool isHidden() const { return hidden_; }
  void setHidden(bool h) { hidden_ = h; }

  // The layer whose alpha masks this one, in this layer's bounds space (nullptr: none). A mask
  // has no superlayer; setting a layer that has one takes it out of its tree first.
  CALayerRef mask() const { return mask_; }
  void setMask(CALayerRef mask);

  // ---- Shadow (drawn when shadowOpacity > 0, under the layer, masked with it) ----
  CGColor shadowColor() const { return shadowColor_; }
  void setShadowColor(CGColor c) { shadowColor_ = c; }
  float shadowOpacity() const { return shadowOpacity_; }
  void setShadowOpacity(float o) { shadowOpacity_ = o; }
  // Default 0, -3.
  CGSize shadowOffset() const { return shadowOffset_; }
  void setShadowOffset(CGSize s) { shadowOffset_ = s; }
  // The blur radius; default 3.
  double shadowRadius() const { return shadowRadius_; }
  void setShadowRadius(double r) { shadowRadius_ = r; }
  // When set, the shadow is this path's shape (copied) instead of the layer's drawn alpha.
  UIBezierPathRef shadowPath() const { return shadowPath_; }
  void setShadowPath(const UIBezierPathRef& path);

  // The view this layer belongs to (nullptr for plain layers and once the view is gone).
  std::shared_ptr<UIView> delegate() const { return delegate_.lock(); }

  // Draws the layer's own content in its bounds space, above the background and contents and
  // below the sublayers. Default: nothing.
  virtual void drawInContext(CGContextRef c) const {}

  // Runs a copy of `animation` under `key`, in place of whatever runs under that key. The copy
  // stays on the layer for its duration (0: CAAnimation::kDefaultDuration) on plat::Clock and
  // then leaves it; what the layer shows meanwhile is its end state. A null animation is
  // ignored; under an empty key the animation replaces nothing and cannot be looked up.
  void addAnimationForKey(const CAAnimationRef& animation, const std::string& key);
  // The layer's copy of the animation running under `key`, or nullptr (none, an empty key, or
  // an animation of a view's animation block).
  CAAnimationRef animationForKey(const std::string& key) const;
  // Keys of the running animations, in the order they were added.
  std::vector<std::string> animationKeys() const;
  // Ends every running animation of this layer: the completion of each animation block that
  // loses an animation runs soon (posted to the main queue) with finished = NO, once.
  void removeAllAnimations();
  void removeAnimationForKey(const std::string& key);

  // Internal: animation bookkeeping used by UIView's animation blocks.
  // Either a view animation block's change (group) or an added animation (animation).
  struct RunningAnimation {
    std::string key;
    std::shared_ptr<UIViewAnimationGroup> group;
    CAAnimationRef animation;
  };
  std::vector<RunningAnimation>& runningAnimations() { return animations_; }
  void setDelegate(std::weak_ptr<UIView> v) { delegate_ = std::move(v); }
  // Internal: whether this is a view's layer (its view may be gone).
  bool isViewLayer() const { return viewLayer_; }
  void markViewLayer() { viewLayer_ = true; }

 private:
  CALayerRef self() { return std::static_pointer_cast<CALayer>(shared_from_this()); }
  void detach();

  std::weak_ptr<UIView> delegate_;
  bool viewLayer_ = false;
  std::weak_ptr<CALayer> superlayer_;
  std::vector<CALayerRef> sublayers_;
  CALayerRef mask_;
  // Geometry of plain layers.
  CGRect bounds_{};
  CGPoint position_{};
  CGPoint anchorPoint_{0.5, 0.5};
  CGAffineTransform transform_ = CGAffineTransformIdentity;
  std::optional<CGColor> backgroundColor_;
  double cornerRadius_ = 0;
  double borderWidth_ = 0;
  CGColor borderColor_{0, 0, 0, 1};
  bool masksToBounds_ = false;
  bool allowsGroupOpacity_ = true;
  float opacity_ = 1;
  bool hidden_ = false;
  CGImageRef contents_;
  double contentsScale_ = 1;
  CGRect contentsRect_{{0, 0}, {1, 1}};
  CGColor shadowColor_{0, 0, 0, 1};
  float shadowOpacity_ = 0;
  CGSize shadowOffset_{0, -3};
  double shadowRadius_ = 3;
  UIBezierPathRef shadowPath_;
  std::vector<RunningAnimation> animations_;
};

inline constexpr const char* kCAFillRuleNonZero = "non-zero";
inline constexpr const char* kCAFillRuleEvenOdd = "even-odd";
inline constexpr const char* kCALineCapButt = "butt";
inline constexpr const char* kCALineCapRound = "round";
inline constexpr const char* kCALineCapSquare = "square";
inline constexpr const char* kCALineJoinMiter = "miter";
inline constexpr const char* kCALineJoinRound = "round";
inline constexpr const char* kCALineJoinBevel = "bevel";

// A layer that fills and then strokes a path (in its bounds space).
class CAShapeLayer : public CALayer {
 public:
  static std::shared_ptr<CAShapeLayer> layer() { return std::make_shared<CAShapeLayer>(); }
  std::string className() const override { return "CAShapeLayer"; }

  // The path is copied: later changes of the caller's path do not reach the layer.
  UIBezierPathRef path() const { return path_; }
  void setPath(const UIBezierPathRef& path);
  // Nil: no fill. Default opaque black.
  std::optional<CGColor> fillColor() const { return fillColor_; }
  void setFillColor(std::optional<CGColor> c) { fillColor_ = c; }
  // Nil (the default): no stroke.
  std::optional<CGColor> strokeColor() const { return strokeColor_; }
  void setStrokeColor(std::optional<CGColor> c) { strokeColor_ = c; }
  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double w) { lineWidth_ = w; }
  // kCAFillRuleNonZero (default) or kCAFillRuleEvenOdd; other texts count as non-zero.
  const std::string& fillRule() const { return fillRule_; }
  void setFillRule(std::string rule) { fillRule_ = std::move(rule); }
  const std::string& lineCap() const { return lineCap_; }
  void setLineCap(std::string cap) { lineCap_ = std::move(cap); }
  const std::string& lineJoin() const { return lineJoin_; }
  void setLineJoin(std::string join) { lineJoin_ = std::move(join); }
  // Dash lengths alternating on and off; empty: solid.
  const std::vector<double>& lineDashPattern() const { return dash_; }
  void setLineDashPattern(std::vector<double> dash) { dash_ = std::move(dash); }

  void drawInContext(CGContextRef c) const override;

 private:
  UIBezierPathRef path_;
  std::optional<CGColor> fillColor_ = CGColor{0, 0, 0, 1};
  std::optional<CGColor> strokeColor_;
  double lineWidth_ = 1;
  std::string fillRule_ = kCAFillRuleNonZero;
  std::string lineCap_ = kCALineCapButt;
  std::string lineJoin_ = kCALineJoinMiter;
  std::vector<double> dash_;
};

// A layer that fills its bounds with an axial gradient from startPoint to endPoint (unit
// coordinates of the bounds; defaults 0.5, 0 and 0.5, 1).
class CAGradientLayer : public CALayer {
 public:
  static std::shared_ptr<CAGradientLayer> layer() { return std::make_shared<CAGradientLayer>(); }
  std::string className() const override { return "CAGradientLayer"; }

  const std::vector<CGColor>& colors() const { return colors_; }
  void setColors(std::vector<CGColor> colors) { colors_ = std::move(colors); }
  // Stop positions 0..1, one per colour; empty (or a count that differs from the colours'):
  // spread evenly.
  const std::vector<double>& locations() const { return locations_; }
  void setLocations(std::vector<double> locations) { locations_ = std::move(locations); }
  CGPoint startPoint() const { return startPoint_; }
  void setStartPoint(CGPoint p) { startPoint_ = p; }
  CGPoint endPoint() const { return endPoint_; }
  void setEndPoint(CGPoint p) { endPoint_ = p; }

  void drawInContext(CGContextRef c) const override;

 private:
  std::vector<CGColor> colors_;
  std::vector<double> locations_;
  CGPoint startPoint_{0.5, 0};
  CGPoint endPoint_{0.5, 1};
};

}  // namespace plat
