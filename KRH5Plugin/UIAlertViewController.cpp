#include "KRH5Plugin/UIAlertViewController.h"

#include "KRH5Plugin/IOSPlugin.h"
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
    alert->title_ = *title;
    alert->message_ = *message;
    pending() = alert;
  }
  return true;
}

bool UIAlertViewController::AddButton(const std::optional<std::string>& title) {
  if (!title || !pending()) return false;
  pending()->buttons_.push_back(*title);
  return true;
}

bool UIAlertViewController::Show() {
  auto alert = pending();
  auto root = IOSPlugin::GetRootController();
  if (!alert || !root || alert->alertView_) return alert && alert->alertView_;
  auto view = plat::UIAlertController::alertControllerWithTitleMessagePreferredStyle(
      alert->title_, alert->message_, plat::UIAlertControllerStyleAlert);
  for (size_t i = 0; i < alert->buttons_.size(); ++i) {
    int32_t index = static_cast<int32_t>(i);
    std::weak_ptr<UIAlertViewController> weak = alert;
    view->addAction(plat::UIAlertAction::actionWithTitleStyleHandler(
        alert->buttons_[i], plat::UIAlertActionStyleDefault, [weak, index](plat::UIAlertAction&) {
          if (auto a = weak.lock()) {
            a->alertViewClickedButtonAtIndex(index);
            a->alertViewDidDismissWithButtonIndex(index);
          }
        }));
  }
  alert->alertView_ = view;
  root->presentViewControllerAnimatedCompletion(view, true);
  return true;
}

std::shared_ptr<UIAlertViewController> UIAlertViewController::Pending() { return pending(); }

void UIAlertViewController::ResetForTesting() { pending().reset(); }

void UIAlertViewController::alertViewClickedButtonAtIndex(int32_t index) {
  SysPlugin::OnAlertViewClick(index);
}

void UIAlertViewController::alertViewCancel() {
  SysPlugin::OnAlertViewClick(-1);
  if (alertView_) alertView_->dismissViewControllerAnimatedCompletion(true);
  alertViewDidDismissWithButtonIndex(-1);
}

void UIAlertViewController::alertViewDidDismissWithButtonIndex(int32_t) {
  alertView_.reset();
  if (pending().get() == this) pending().reset();  // may free this object: nothing after it
}
