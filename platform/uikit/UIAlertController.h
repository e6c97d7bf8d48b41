#pragma once
// UIAlertController and UIAlertAction: an alert or action sheet with a title, a message and
// actions, shown by presenting the controller. There is no user here: tests (or the host) tap
// an action with tapActionAtIndex / tapActionWithTitle, which dismisses the alert and then runs
// the action's handler, as the platform does. Main thread only.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIViewController.h"

namespace plat {

class UIAlertAction;
using UIAlertActionRef = std::shared_ptr<UIAlertAction>;

enum UIAlertActionStyle : int64_t {
  UIAlertActionStyleDefault = 0,
  UIAlertActionStyleCancel = 1,
  UIAlertActionStyleDestructive = 2
};

enum UIAlertControllerStyle : int64_t {
  UIAlertControllerStyleActionSheet = 0,
  UIAlertControllerStyleAlert = 1
};

class UIAlertAction : public Object {
 public:
  using Handler = std::function<void(UIAlertAction& action)>;
  static UIAlertActionRef actionWithTitleStyleHandler(std::string title, UIAlertActionStyle style,
                                                      Handler handler);
  std::string className() const override { return "UIAlertAction"; }
  const std::string& title() const { return title_; }
  UIAlertActionStyle style() const { return style_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool e) { enabled_ = e; }
  const Handler& handler() const { return handler_; }

 private:
  std::string title_;
  UIAlertActionStyle style_ = UIAlertActionStyleDefault;
  Handler handler_;
  bool enabled_ = true;
};

class UIAlertController : public UIViewController {
 public:
  static std::shared_ptr<UIAlertController> alertControllerWithTitleMessagePreferredStyle(
      std::string title, std::string message, UIAlertControllerStyle style);
  std::string className() const override { return "UIAlertController"; }

  const std::string& message() const { return message_; }
  void setMessage(std::string m) { message_ = std::move(m); }
  UIAlertControllerStyle preferredStyle() const { return style_; }
  // A second cancel action is refused (the platform raises; here it is ignored with a log).
  void addAction(const UIAlertActionRef& action);
  const std::vector<UIAlertActionRef>& actions() const { return actions_; }
  UIAlertActionRef preferredAction() const { return preferred_; }
  void setPreferredAction(const UIAlertActionRef& a) { preferred_ = a; }

  // Taps an action: the alert is dismissed, then the handler runs (posted to the main queue).
  // Returns false (nothing happens) for an index out of range or a disabled action.
  bool tapActionAtIndex(size_t index);
  bool tapActionWithTitle(const std::string& title);

 private:
  std::string message_;
  UIAlertControllerStyle style_ = UIAlertControllerStyleAlert;
  std::vector<UIAlertActionRef> actions_;
  UIAlertActionRef preferred_;
};

}  // namespace plat
