#pragma once
// NSLayoutConstraint: an inspectable record "first.attr1 relation second.attr2 * m + c" with a
// priority. There is no general solver here: views hold their constraints for inspection and a
// control lays itself out from what its own constraints say.
// Main thread only.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace plat {

class UIView;
class NSLayoutConstraint;
using NSLayoutConstraintRef = std::shared_ptr<NSLayoutConstraint>;

enum NSLayoutAttribute : int64_t {
  NSLayoutAttributeNotAnAttribute = 0,
  NSLayoutAttributeLeft = 1,
  NSLayoutAttributeRight = 2,
  NSLayoutAttributeTop = 3,
  NSLayoutAttributeBottom = 4,
  NSLayoutAttributeLeading = 5,
  NSLayoutAttributeTrailing = 6,
  NSLayoutAttributeWidth = 7,
  NSLayoutAttributeHeight = 8,
  NSLayoutAttributeCenterX = 9,
  NSLayoutAttributeCenterY = 10,
};

enum NSLayoutRelation : int64_t {
  NSLayoutRelationLessThanOrEqual = -1,
  NSLayoutRelationEqual = 0,
  NSLayoutRelationGreaterThanOrEqual = 1,
};

using UILayoutPriority = float;
inline constexpr UILayoutPriority UILayoutPriorityRequired = 1000;
inline constexpr UILayoutPriority UILayoutPriorityDefaultHigh = 750;
inline constexpr UILayoutPriority UILayoutPriorityDefaultLow = 250;

class NSLayoutConstraint : public Object {
 public:
  // second may be null (then attr2 is NotAnAttribute and the constant is absolute).
  static NSLayoutConstraintRef constraintWithItem(const std::shared_ptr<UIView>& first,
                                                  NSLayoutAttribute attr1,
                                                  NSLayoutRelation relation,
                                                  const std::shared_ptr<UIView>& second,
                                                  NSLayoutAttribute attr2, double multiplier,
                                                  double constant);
  // The visual format language's common forms: an optional "H:" or "V:", superview edges
  // "|", views "[name]", connections "-", "-N-", "-name-" or "-(>=N@P)-" (relation, number
  // or metric name, optional priority). A standard "-" gap is 8. Unknown names in `views`
  // make the format invalid: an empty result.
  static std::vector<NSLayoutConstraintRef> constraintsWithVisualFormat(
      const std::string& format, const std::map<std::string, double>& metrics,
      const std::map<std::string, std::shared_ptr<UIView>>& views);

  std::shared_ptr<UIView> firstItem() const { return first_.lock(); }
  std::shared_ptr<UIView> secondItem() const { return second_.lock(); }
  NSLayoutAttribute firstAttribute() const { return attr1_; }
  NSLayoutAttribute secondAttribute() const { return attr2_; }
  NSLayoutRelation relation() const { return relation_; }
  double multiplier() const { return multiplier_; }
  double constant() const { return constant_; }
  void setConstant(double c) { constant_ = c; }
  UILayoutPriority priority() const { return priority_; }
  void setPriority(UILayoutPriority p) { priority_ = p; }
  bool isActive() const { return active_; }
  void setActive(bool a) { active_ = a; }

  std::string className() const override { return "NSLayoutConstraint"; }
  std::string description() const override;

 private:
  std::weak_ptr<UIView> first_, second_;
  NSLayoutAttribute attr1_ = NSLayoutAttributeNotAnAttribute;
  NSLayoutAttribute attr2_ = NSLayoutAttributeNotAnAttribute;
  NSLayoutRelation relation_ = NSLayoutRelationEqual;
  double multiplier_ = 1, constant_ = 0;
  UILayoutPriority priority_ = UILayoutPriorityRequired;
  bool active_ = false;
};

}  // namespace plat
