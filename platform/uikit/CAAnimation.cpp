#include "platform/uikit/CAAnimation.h"

namespace plat {

void CAAnimation::copySettingsTo(CAAnimation& to) const {
  to.duration_ = duration_;
  to.timing_ = timing_;
}

CAAnimationRef CAAnimation::copy() const {
  auto c = std::make_shared<CAAnimation>();
  copySettingsTo(*c);
  return c;
}

CAAnimationRef CATransition::copy() const {
  auto c = std::make_shared<CATransition>();
  copySettingsTo(*c);
  c->type_ = type_;
  c->subtype_ = subtype_;
  return c;
}

}  // namespace plat
