#include "KRH5Plugin/UIAlertViewController.h"

#include "KRH5Plugin/SysPlugin.h"

namespace {
std::shared_ptr<UIAlertViewController>& pending() {
  static auto* p = new std::shared_ptr<UIAlertViewController>();
  return *p;
}
}  // namespace

bool UIAlertViewController::CreateWithTitleWithMessage(const std::optional<std::string>& title,
                                                       const std::optional<std::string>& message) {
  if (!title || !message) return false;
  if (!pending()) {
    auto alert = std::make_shared<UIAlertViewController>();
    alert->alertView_ =
        plat::UIAlertView::initWithTitleMessageDelegateCancelButtonTitleOtherButtonTitles(
            *title, *message, alert, std::nullopt, {});
    pending() = alert;
  }
  return true;
}

bool UIAlertViewController::AddButton(const std::optional<std::string>& title) {
  if (!title || !pending()) return false;
  pending()->alertView_->addButtonWithTitle(*title);
  return true;
}

bool UIAlertViewController::Show() {
  auto alert = pending();
  if (!alert) return false;
  auto view = alert->alertView_;
  if (view->isVisible()) return true;
  if (view->numberOfButtons() == 0) view->addButtonWithTitle(kDefaultButtonTitle);
  view->show();
  if (!view->isVisible()) {
    // Nobody could answer it: the page hears a cancel, and the next alert may come.
    alert->Drop();
    SysPlugin::OnAlertViewClick(-1);
    return false;
  }
  return true;
}

std::shared_ptr<UIAlertViewController> UIAlertViewController::Pending() { return pending(); }

void UIAlertViewController::ResetForTesting() {
  auto alert = pending();
  if (!alert) return;
  auto view = alert->alertView_;
  alert->Drop();
  if (view) view->dismissWithClickedButtonIndexAnimated(-1, false);  // no delegate any more
}

void UIAlertViewController::alertViewClickedButtonAtIndex(const plat::UIAlertViewRef&,
                                                          int64_t buttonIndex) {
  SysPlugin::OnAlertViewClick(static_cast<int32_t>(buttonIndex));
}

void UIAlertViewController::alertViewCancel(const plat::UIAlertViewRef&) {
  SysPlugin::OnAlertViewClick(-1);
}

void UIAlertViewController::alertViewWillDismissWithButtonIndex(const plat::UIAlertViewRef&,
                                                                int64_t) {
  // The alert is answered: a page command that comes before the dismissal has ended already
  // starts a new alert instead of showing this one again.
  Drop();
}

void UIAlertViewController::alertViewDidDismissWithButtonIndex(const plat::UIAlertViewRef&,
                                                               int64_t) {
  Drop();
}

void UIAlertViewController::Drop() {
  auto keep = pending().get() == this ? std::move(pending()) : nullptr;  // this lives to the end
  if (alertView_) alertView_->setDelegate(nullptr);
  alertView_.reset();
}
