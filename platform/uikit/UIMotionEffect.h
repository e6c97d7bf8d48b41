#pragma once
// Motion effects: stored only (there is no device motion here). Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace plat {

class UIMotionEffect : public Object {
 public:
  std::string className() const override { return "UIMotionEffect"; }
};

enum UIInterpolatingMotionEffectType : int64_t {
  UIInterpolatingMotionEffectTypeTiltAlongHorizontalAxis = 0,
  UIInterpolatingMotionEffectTypeTiltAlongVerticalAxis = 1
};

class UIInterpolatingMotionEffect : public UIMotionEffect {
 public:
  UIInterpolatingMotionEffect(std::string keyPath, UIInterpolatingMotionEffectType type)
      : keyPath_(std::move(keyPath)), type_(type) {}
  const std::string& keyPath() const { return keyPath_; }
  UIInterpolatingMotionEffectType type() const { return type_; }
  double minimumRelativeValue() const { return min_; }
  void setMinimumRelativeValue(double v) { min_ = v; }
  double maximumRelativeValue() const { return max_; }
  void setMaximumRelativeValue(double v) { max_ = v; }
  std::string className() const override { return "UIInterpolatingMotionEffect"; }

 private:
  std::string keyPath_;
  UIInterpolatingMotionEffectType type_;
  double min_ = 0, max_ = 0;
};

class UIMotionEffectGroup : public UIMotionEffect {
 public:
  const std::vector<std::shared_ptr<UIMotionEffect>>& motionEffects() const { return effects_; }
  void setMotionEffects(std::vector<std::shared_ptr<UIMotionEffect>> e) { effects_ = std::move(e); }
  std::string className() const override { return "UIMotionEffectGroup"; }

 private:
  std::vector<std::shared_ptr<UIMotionEffect>> effects_;
};

}  // namespace plat
