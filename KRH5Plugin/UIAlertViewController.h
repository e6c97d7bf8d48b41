#pragma once
// UIAlertViewController: one native alert at a time for the page. An alert is created with a
// title and a message, gets buttons numbered from 0 in the order they are added, and is
// shown from the bridge's root controller. The tapped button's number (or -1 when the system
// cancels the alert) reaches the page as "onAlertViewClick"; then the alert is gone and the
// next one may be created.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/uikit/UIAlertController.h"

class UIAlertViewController : public plat::Object {
 public:
  // YES exactly when both texts are given; creates the pending alert unless one is pending.
  static bool CreateWithTitleWithMessage(const std::optional<std::string>& title,
                                         const std::optional<std::string>& message);
  // Appends a button to the pending alert; NO without a title or a pending alert.
  static bool AddButton(const std::optional<std::string>& title);
  // Shows the pending alert; NO when none is pending or there is no root controller.
  static bool Show();
  // The pending alert, or null (tests).
  static std::shared_ptr<UIAlertViewController> Pending();
  // Forgets the pending alert (tests).
  static void ResetForTesting();

  std::string className() const override { return "UIAlertViewController"; }
  // The alert on screen while shown, else null.
  const std::shared_ptr<plat::UIAlertController>& alertView() const { return alertView_; }
  // Delegate operations: a tap on button `index`, the system's cancel, the end of the alert.
  void alertViewClickedButtonAtIndex(int32_t index);
  void alertViewCancel();
  void alertViewDidDismissWithButtonIndex(int32_t index);

 private:
  std::string title_;
  std::string message_;
  std::vector<std::string> buttons_;
  std::shared_ptr<plat::UIAlertController> alertView_;
};
