#pragma once
// UIAlertView: the legacy alert, a box with a title, a message and buttons that shows in a
// window of its own above every other window (UIWindowLevelAlert), whatever screens the
// application presents. The window is neither made key nor does it take the key window away.
// The button given as cancelButtonTitle comes first (its index is cancelButtonIndex); the
// others follow in the order given or added. While shown, the alert view keeps itself alive.
//
// There is no user here: tests (or the host) tap a button with tapButtonAtIndex, which tells
// the delegate alertViewClickedButtonAtIndex, then dismisses the alert; or cancel it as the
// system does with cancel(). A dismissal tells alertViewWillDismissWithButtonIndex at once and
// alertViewDidDismissWithButtonIndex posted to the main queue, once the window is gone.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIWindow.h"

namespace plat {

class UIAlertView;
using UIAlertViewRef = std::shared_ptr<UIAlertView>;

// Every operation is optional (the defaults do nothing).
class UIAlertViewDelegate {
 public:
  virtual ~UIAlertViewDelegate() = default;
  // A button was tapped; the alert is dismissed right after.
  virtual void alertViewClickedButtonAtIndex(const UIAlertViewRef& alertView, int64_t buttonIndex) {
  }
  // The system cancels the alert; it is then dismissed with cancelButtonIndex.
  virtual void alertViewCancel(const UIAlertViewRef& alertView) {}
  virtual void alertViewWillDismissWithButtonIndex(const UIAlertViewRef& alertView,
                                                   int64_t buttonIndex) {}
  virtual void alertViewDidDismissWithButtonIndex(const UIAlertViewRef& alertView,
                                                  int64_t buttonIndex) {}
};

class UIAlertView : public UIView {
 public:
  // A hidden alert; cancelButtonTitle (when given) becomes button 0.
  static UIAlertViewRef initWithTitleMessageDelegateCancelButtonTitleOtherButtonTitles(
      std::string title, std::string message, const std::shared_ptr<UIAlertViewDelegate>& delegate,
      const std::optional<std::string>& cancelButtonTitle,
      const std::vector<std::string>& otherButtonTitles);
  std::string className() const override { return "UIAlertView"; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  const std::string& message() const { return message_; }
  void setMessage(std::string message);
  std::shared_ptr<UIAlertViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UIAlertViewDelegate>& delegate) { delegate_ = delegate; }

  // Appends a button; returns its index.
  int64_t addButtonWithTitle(const std::string& title);
  int64_t numberOfButtons() const { return static_cast<int64_t>(buttons_.size()); }
  // "" for an index out of range.
  std::string buttonTitleAtIndex(int64_t index) const;
  // -1 when the alert has no cancel button.
  int64_t cancelButtonIndex() const { return cancelIndex_; }
  void setCancelButtonIndex(int64_t index) { cancelIndex_ = index; }
  // The button views, in index order (laid out while shown).
  const std::vector<std::shared_ptr<UIButton>>& buttons() const { return buttons_; }

  // Shows the alert in its own window over everything else; nothing when shown already.
  void show();
  bool isVisible() const { return window_ != nullptr; }
  // The alert's own window while shown, else null.
  std::shared_ptr<UIWindow> alertWindow() const { return window_; }
  // Hides the alert and tells the delegate of the dismissal with buttonIndex (no click is
  // reported). Nothing when the alert is not shown.
  void dismissWithClickedButtonIndexAnimated(int64_t buttonIndex, bool animated);

  // Taps a button of a shown alert: clicked, then dismissed. False (nothing happens) when the
  // alert is not shown or the index is out of range.
  bool tapButtonAtIndex(int64_t index);
  // The system cancels a shown alert: alertViewCancel, then dismissed with cancelButtonIndex.
  bool cancel();

  // The alerts shown now, oldest first.
  static std::vector<UIAlertViewRef> visibleAlertViews();
  // Hides every shown alert without telling delegates (tests).
  static void resetForTesting();

  CGSize sizeThatFits(CGSize size) const override;
  void layoutSubviews() override;

 private:
  void dismiss(int64_t buttonIndex);
  std::shared_ptr<UIAlertView> self();

  std::string title_;
  std::string message_;
  std::weak_ptr<UIAlertViewDelegate> delegate_;
  UIViewRef textArea_;
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UILabel> messageLabel_;
  std::vector<std::shared_ptr<UIButton>> buttons_;
  int64_t cancelIndex_ = -1;
  std::shared_ptr<UIWindow> window_;
};

}  // namespace plat
