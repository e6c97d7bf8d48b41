#pragma once
// CALayer: the drawing attributes of a view that UIView does not hold itself (corner radius,
// border, masking, group opacity, contents) and the record of the animations running on it.
// Each UIView owns one layer; opacity is the view's alpha.
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/CGGeometry.h"
#include "platform/graphics/CGImage.h"
#include "platform/uikit/UIColor.h"

namespace plat {

class UIView;
struct UIViewAnimationGroup;

class CALayer {
 public:
  CALayer() = default;
  CALayer(const CALayer&) = delete;
  CALayer& operator=(const CALayer&) = delete;

  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double r) { cornerRadius_ = r; }
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double w) { borderWidth_ = w; }
  // Default: opaque black, as the platform's.
  CGColor borderColor() const { return borderColor_; }
  void setBorderColor(CGColor c) { borderColor_ = c; }
  // The owning view's clipsToBounds.
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool v) { masksToBounds_ = v; }
  bool allowsGroupOpacity() const { return allowsGroupOpacity_; }
  void setAllowsGroupOpacity(bool v) { allowsGroupOpacity_ = v; }
  // The owning view's alpha.
  float opacity() const { return opacity_; }
  void setOpacity(float o) { opacity_ = o; }
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

  // The view this layer belongs to (nullptr once it is gone).
  std::shared_ptr<UIView> delegate() const { return delegate_.lock(); }

  // Keys of the running animations, in the order they were added.
  std::vector<std::string> animationKeys() const;
  // Ends every running animation of this layer: the completion of each animation block that
  // loses an animation runs soon (posted to the main queue) with finished = NO, once.
  void removeAllAnimations();
  void removeAnimationForKey(const std::string& key);

  // Internal: animation bookkeeping used by UIView's animation blocks.
  struct RunningAnimation {
    std::string key;
    std::shared_ptr<UIViewAnimationGroup> group;
  };
  std::vector<RunningAnimation>& runningAnimations() { return animations_; }
  void setDelegate(std::weak_ptr<UIView> v) { delegate_ = std::move(v); }

 private:
  std::weak_ptr<UIView> delegate_;
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
  std::vector<RunningAnimation> animations_;
};

}  // namespace plat
