#pragma once
// UIAlertViewController: one native alert at a time for the page, on the platform's legacy
// alert view, of which it is the delegate. An alert is created with a title and a message,
// gets buttons numbered from 0 in the order they are added, and shows in the alert view's own
// window, above whatever screen the bridge has presented. The tapped button's number (or -1
// when the system cancels the alert) reaches the page as "onAlertViewClick"; once the alert is
// going away (dismissed) the next one may be created. An alert shown without buttons gets one
// "确定" button, so it can always be closed.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/uikit/UIAlertView.h"

class UIAlertViewController : public plat::Object, public plat::UIAlertViewDelegate {
 public:
  static constexpr const char* kDefaultButtonTitle = "确定";

  // YES exactly when both texts are given; creates the pending alert unless one is pending.
  static bool CreateWithTitleWithMessage(const std::optional<std::string>& title,
                                         const std::optional<std::string>& message);
  // Appends a button to the pending alert; NO without a title or a pending alert.
  static bool AddButton(const std::optional<std::string>& title);
  // Shows the pending alert (YES; also when it is shown already); NO when none is pending.
  // An alert that cannot be shown is reported to the page as cancelled (-1) and dropped.
  static bool Show();
  // The pending alert, or null (tests).
  static std::shared_ptr<UIAlertViewController> Pending();
  // Forgets the pending alert (tests).
  static void ResetForTesting();

  std::string className() const override { return "UIAlertViewController"; }
  const plat::UIAlertViewRef& alertView() const { return alertView_; }

  // UIAlertViewDelegate.
  void alertViewClickedButtonAtIndex(const plat::UIAlertViewRef& alertView,
                                     int64_t buttonIndex) override;
  void alertViewCancel(const plat::UIAlertViewRef& alertView) override;
  void alertViewWillDismissWithButtonIndex(const plat::UIAlertViewRef& alertView,
                                           int64_t buttonIndex) override;
  void alertViewDidDismissWithButtonIndex(const plat::UIAlertViewRef& alertView,
                                          int64_t buttonIndex) override;

 private:
  // Lets go of the alert view and, when it is the pending one, of this instance.
  void Drop();

  plat::UIAlertViewRef alertView_;
};
