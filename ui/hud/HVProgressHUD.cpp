#include "ui/hud/HVProgressHUD.h"

using namespace plat;

std::shared_ptr<HVProgressHUD> HVProgressHUD::initWithView(const UIViewRef& view) {
  return make<HVProgressHUD>(view ? view->bounds() : CGRectZero);
}

std::shared_ptr<HVProgressHUD> HVProgressHUD::initWithFrame(CGRect frame) {
  return make<HVProgressHUD>(frame);
}

std::shared_ptr<HVProgressHUD> HVProgressHUD::showHUDAddedToAnimated(const UIViewRef& view,
                                                                     bool animated) {
  if (!view) return nullptr;
  auto hud = initWithView(view);
  hud->setRemoveFromSuperViewOnHide(true);
  view->addSubview(hud);
  hud->showAnimated(animated);
  return hud;
}

bool HVProgressHUD::hideHUDForViewAnimated(const UIViewRef& view, bool animated) {
  auto hud = HUDForView(view);
  if (!hud) return false;
  hud->setRemoveFromSuperViewOnHide(true);
  hud->hideAnimated(animated);
  return true;
}

std::shared_ptr<HVProgressHUD> HVProgressHUD::HUDForView(const UIViewRef& view) {
  return findHUD<HVProgressHUD>(view);
}

std::shared_ptr<HVBackgroundView> HVProgressHUD::bezelView() const {
  return std::static_pointer_cast<HVBackgroundView>(bezelViewBase());
}
std::shared_ptr<HVBackgroundView> HVProgressHUD::backgroundView() const {
  return std::static_pointer_cast<HVBackgroundView>(backgroundViewBase());
}
std::shared_ptr<HVProgressHUDRoundedButton> HVProgressHUD::button() const {
  return std::static_pointer_cast<HVProgressHUDRoundedButton>(buttonBase());
}

std::shared_ptr<hud_internal::BackgroundViewBase> HVProgressHUD::makeBackgroundView(
    CGRect frame) const {
  return make<HVBackgroundView>(frame);
}
std::shared_ptr<hud_internal::RoundProgressViewBase> HVProgressHUD::makeRoundView() const {
  return make<HVRoundProgressView>();
}
std::shared_ptr<hud_internal::BarProgressViewBase> HVProgressHUD::makeBarView() const {
  return make<HVBarProgressView>();
}
std::shared_ptr<hud_internal::RoundedButtonBase> HVProgressHUD::makeButton() const {
  return make<HVProgressHUDRoundedButton>();
}

void HVProgressHUD::notifyDelegateHidden() {
  if (auto d = delegate_.lock()) d->hudWasHidden(*this);
}
