#include "ui/hud/sd_HBProgressHUD.h"

using namespace plat;

namespace {
const UIColor kDimColor = UIColor::colorWithWhiteAlpha(0, 0.2);
}

std::shared_ptr<sd_HBProgressHUD> sd_HBProgressHUD::initWithView(const UIViewRef& view) {
  return make<sd_HBProgressHUD>(view ? view->bounds() : CGRectZero);
}
std::shared_ptr<sd_HBProgressHUD> sd_HBProgressHUD::initWithWindow(const UIViewRef& window) {
  return initWithView(window);
}

std::shared_ptr<sd_HBProgressHUD> sd_HBProgressHUD::showHUDAddedToAnimated(const UIViewRef& view,
                                                                           bool animated) {
  if (!view) return nullptr;
  auto hud = initWithView(view);
  hud->setRemoveFromSuperViewOnHide(true);
  view->addSubview(hud);
  hud->showAnimated(animated);
  return hud;
}

bool sd_HBProgressHUD::hideHUDForViewAnimated(const UIViewRef& view, bool animated) {
  auto hud = HUDForView(view);
  if (!hud) return false;
  hud->setRemoveFromSuperViewOnHide(true);
  hud->hideAnimated(animated);
  return true;
}

std::shared_ptr<sd_HBProgressHUD> sd_HBProgressHUD::HUDForView(const UIViewRef& view) {
  return findHUD<sd_HBProgressHUD>(view);
}

std::vector<std::shared_ptr<sd_HBProgressHUD>> sd_HBProgressHUD::allHUDsForView(
    const UIViewRef& view) {
  std::vector<std::shared_ptr<sd_HBProgressHUD>> out;
  if (!view) return out;
  for (auto& s : view->subviews())
    if (auto hud = std::dynamic_pointer_cast<sd_HBProgressHUD>(s)) out.push_back(hud);
  return out;
}

uint64_t sd_HBProgressHUD::hideAllHUDsForViewAnimated(const UIViewRef& view, bool animated) {
  auto huds = allHUDsForView(view);
  for (auto& hud : huds) {
    hud->setRemoveFromSuperViewOnHide(true);
    hud->hideAnimated(animated);
  }
  return huds.size();
}

void sd_HBProgressHUD::showAnimatedWhileExecutingBlockOnQueueCompletionBlock(
    bool animated, std::function<void()> task, DispatchQueueRef queue,
    std::function<void()> completion) {
  if (!queue) queue = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
  setTaskInProgress(true);
  setCompletionBlock(std::move(completion));
  auto self = std::static_pointer_cast<sd_HBProgressHUD>(shared_from_this());
  // The worker hands its reference on to the main queue, so the HUD is never released (and
  // destroyed) on the worker thread.
  dispatch_async(queue, [self, task = std::move(task)]() mutable {
    if (task) task();
    dispatch_async(dispatch_get_main_queue(), [hud = std::move(self)] { hud->cleanUp(); });
  });
  showAnimated(animated);
}

void sd_HBProgressHUD::showAnimatedWhileExecutingBlock(bool animated, std::function<void()> task) {
  showAnimatedWhileExecutingBlockOnQueueCompletionBlock(animated, std::move(task), nullptr, {});
}
void sd_HBProgressHUD::showAnimatedWhileExecutingBlockCompletionBlock(
    bool animated, std::function<void()> task, std::function<void()> completion) {
  showAnimatedWhileExecutingBlockOnQueueCompletionBlock(animated, std::move(task), nullptr,
                                                        std::move(completion));
}
void sd_HBProgressHUD::showAnimatedWhileExecutingBlockOnQueue(bool animated,
                                                              std::function<void()> task,
                                                              DispatchQueueRef queue) {
  showAnimatedWhileExecutingBlockOnQueueCompletionBlock(animated, std::move(task),
                                                        std::move(queue), {});
}

void sd_HBProgressHUD::showWhileExecutingOnTargetWithObjectAnimated(
    std::function<void(const Value&)> method, std::shared_ptr<Object> target, Value object,
    bool animated) {
  showAnimatedWhileExecutingBlock(animated, [method, target, object] {
    if (method) method(object);
  });
}

void sd_HBProgressHUD::cleanUp() {
  setTaskInProgress(false);
  hideAnimated(useAnimation());
}

bool sd_HBProgressHUD::disd_HBackground() const {
  auto bg = backgroundViewBase();
  return bg->style() == hud_internal::kBackgroundSolidColor && bg->color() &&
         *bg->color() == kDimColor;
}

void sd_HBProgressHUD::setDisd_HBackground(bool dim) {
  auto bg = backgroundViewBase();
  bg->setStyle(hud_internal::kBackgroundSolidColor);
  bg->setColor(dim ? kDimColor : UIColor::clearColor());
}

void sd_HBProgressHUD::setActivityIndicatorColor(UIColorRef c) {
  if (c == activityIndicatorColor_) return;
  activityIndicatorColor_ = c;
  if (auto spinner = std::dynamic_pointer_cast<UIActivityIndicatorView>(indicator()))
    spinner->setColor(c);
}

std::shared_ptr<sd_HBBackgroundView> sd_HBProgressHUD::bezelView() const {
  return std::static_pointer_cast<sd_HBBackgroundView>(bezelViewBase());
}
std::shared_ptr<sd_HBBackgroundView> sd_HBProgressHUD::backgroundView() const {
  return std::static_pointer_cast<sd_HBBackgroundView>(backgroundViewBase());
}
std::shared_ptr<sd_HBProgressHUDRoundedButton> sd_HBProgressHUD::button() const {
  return std::static_pointer_cast<sd_HBProgressHUDRoundedButton>(buttonBase());
}

std::shared_ptr<hud_internal::BackgroundViewBase> sd_HBProgressHUD::makeBackgroundView(
    CGRect frame) const {
  return make<sd_HBBackgroundView>(frame);
}
std::shared_ptr<hud_internal::RoundProgressViewBase> sd_HBProgressHUD::makeRoundView() const {
  return make<sd_HBRoundProgressView>();
}
std::shared_ptr<hud_internal::BarProgressViewBase> sd_HBProgressHUD::makeBarView() const {
  return make<sd_HBBarProgressView>();
}
std::shared_ptr<hud_internal::RoundedButtonBase> sd_HBProgressHUD::makeButton() const {
  return make<sd_HBProgressHUDRoundedButton>();
}

void sd_HBProgressHUD::notifyDelegateHidden() {
  if (auto d = delegate_.lock()) d->hudWasHidden(*this);
}
