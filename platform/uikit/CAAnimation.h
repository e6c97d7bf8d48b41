#pragma once
// CAAnimation: an animation a layer runs for a while (CALayer::addAnimationForKey). Nothing is
// drawn frame by frame here: a layer holds the animation for its duration on plat::Clock and
// then drops it, and renders always show the layer's model values, the end state.
// CATransition animates a change of the layer's content (type "fade", "moveIn", "push",
// "reveal"); CAMediaTimingFunction names the pacing.
//
// Plain values: use from one thread at a time (layers are main thread only).

#include <memory>
#include <string>

#include "platform/foundation/Object.h"

namespace plat {

inline constexpr const char* kCAMediaTimingFunctionLinear = "linear";
inline constexpr const char* kCAMediaTimingFunctionEaseIn = "easeIn";
inline constexpr const char* kCAMediaTimingFunctionEaseOut = "easeOut";
inline constexpr const char* kCAMediaTimingFunctionEaseInEaseOut = "easeInEaseOut";
inline constexpr const char* kCAMediaTimingFunctionDefault = "default";

class CAMediaTimingFunction : public Object {
 public:
  explicit CAMediaTimingFunction(std::string name) : name_(std::move(name)) {}
  static std::shared_ptr<CAMediaTimingFunction> functionWithName(const std::string& name) {
    return std::make_shared<CAMediaTimingFunction>(name);
  }
  std::string className() const override { return "CAMediaTimingFunction"; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};
using CAMediaTimingFunctionRef = std::shared_ptr<CAMediaTimingFunction>;

class CAAnimation;
using CAAnimationRef = std::shared_ptr<CAAnimation>;

class CAAnimation : public Object {
 public:
  // Layers run an animation of duration 0 for this long.
  static constexpr double kDefaultDuration = 0.25;

  static CAAnimationRef animation() { return std::make_shared<CAAnimation>(); }
  std::string className() const override { return "CAAnimation"; }

  // Seconds; 0 (the default) means kDefaultDuration. Negative values count as 0.
  double duration() const { return duration_; }
  void setDuration(double d) { duration_ = d > 0 ? d : 0; }
  // Nil: linear pacing.
  CAMediaTimingFunctionRef timingFunction() const { return timing_; }
  void setTimingFunction(CAMediaTimingFunctionRef f) { timing_ = std::move(f); }

  // A new animation of the same class with the same settings. Every subclass overrides it.
  virtual CAAnimationRef copy() const;

 protected:
  // Copies CAAnimation's own settings into a new object of a subclass.
  void copySettingsTo(CAAnimation& to) const;

 private:
  double duration_ = 0;
  CAMediaTimingFunctionRef timing_;
};

inline constexpr const char* kCATransitionFade = "fade";
inline constexpr const char* kCATransitionMoveIn = "moveIn";
inline constexpr const char* kCATransitionPush = "push";
inline constexpr const char* kCATransitionReveal = "reveal";
inline constexpr const char* kCATransitionFromRight = "fromRight";
inline constexpr const char* kCATransitionFromLeft = "fromLeft";
inline constexpr const char* kCATransitionFromTop = "fromTop";
inline constexpr const char* kCATransitionFromBottom = "fromBottom";

class CATransition : public CAAnimation {
 public:
  static std::shared_ptr<CATransition> animation() { return std::make_shared<CATransition>(); }
  std::string className() const override { return "CATransition"; }

  // Default kCATransitionFade.
  const std::string& type() const { return type_; }
  void setType(std::string type) { type_ = std::move(type); }
  // The direction of moveIn, push and reveal; empty by default.
  const std::string& subtype() const { return subtype_; }
  void setSubtype(std::string subtype) { subtype_ = std::move(subtype); }

  CAAnimationRef copy() const override;

 private:
  std::string type_ = kCATransitionFade;
  std::string subtype_;
};

}  // namespace plat
