#include "platform/uikit/UIAlertController.h"

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"

namespace plat {

UIAlertActionRef UIAlertAction::actionWithTitleStyleHandler(std::string title,
                                                            UIAlertActionStyle style,
                                                            Handler handler) {
  auto a = std::make_shared<UIAlertAction>();
  a->title_ = std::move(title);
  a->style_ = style;
  a->handler_ = std::move(handler);
  return a;
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitleMessagePreferredStyle(
    std::string title, std::string message, UIAlertControllerStyle style) {
  auto c = make<UIAlertController>();
  c->setTitle(std::move(title));
  c->message_ = std::move(message);
  c->style_ = style;
  return c;
}

void UIAlertController::addAction(const UIAlertActionRef& action) {
  if (!action) return;
  if (action->style() == UIAlertActionStyleCancel) {
    for (auto& a : actions_) {
      if (a->style() == UIAlertActionStyleCancel) {
        writeToStandardError("uikit: an alert can have only one cancel action");
        return;
      }
    }
  }
  actions_.push_back(action);
}

bool UIAlertController::tapActionAtIndex(size_t index) {
  if (index >= actions_.size() || !actions_[index]->isEnabled()) return false;
  auto action = actions_[index];
  auto self = std::static_pointer_cast<UIAlertController>(shared_from_this());
  dismissViewControllerAnimatedCompletion(true, [self, action] {
    if (action->handler()) action->handler()(*action);
  });
  return true;
}

bool UIAlertController::tapActionWithTitle(const std::string& title) {
  for (size_t i = 0; i < actions_.size(); ++i)
    if (actions_[i]->title() == title) return tapActionAtIndex(i);
  return false;
}

}  // namespace plat
