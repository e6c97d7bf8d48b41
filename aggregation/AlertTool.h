#pragma once
// AlertTool: a modal alert with buttons, and the texts of the aggregation server's error
// codes. Main thread only.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace plat {
class UIViewController;
}

class AlertTool {
 public:
  // Presents an alert (title, message, one default-style button per title, in order) from
  // `presenter`, or from the topmost screen it presents (so the alert is never refused for
  // another screen being up); tapping button i calls action(i). Nothing shows without a
  // presenter.
  // REQUIRES: action is not null.
  static void showAlertArrayWithTitleMessageActionButtonTitleArray(
      const std::shared_ptr<plat::UIViewController>& presenter, const std::string& title,
      const std::string& message, std::function<void(int64_t)> action,
      const std::vector<std::string>& buttonTitles);
  // The text of the "code" entry's error; the "message" entry for other codes (nil when
  // absent).
  static plat::Value showAlertStringWihtCode(const plat::Value& dictionary);
};
