#pragma once
// UIViewController: owns a view that is loaded on first use (loadView, then viewDidLoad), and
// presents other controllers modally over its window. Presentation and dismissal completions
// are posted to the main queue (they never run inside the call).
// Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/uikit/UIView.h"

namespace plat {

class UIViewController;
using UIViewControllerRef = std::shared_ptr<UIViewController>;

enum UIModalPresentationStyle : int64_t {
  UIModalPresentationFullScreen = 0,
  UIModalPresentationOverFullScreen = 5,
  UIModalPresentationOverCurrentContext = 6,
  UIModalPresentationAutomatic = -2
};

class UIViewController : public Object {
 public:
  UIViewController() = default;
  virtual void didInit() {}
  std::string className() const override { return "UIViewController"; }

  // Loads the view when needed.
  UIViewRef view();
  bool isViewLoaded() const { return view_ != nullptr; }
  void setView(UIViewRef v) { view_ = std::move(v); }
  void loadViewIfNeeded() { view(); }
  // Default: a plain view with the main screen's bounds.
  virtual void loadView();
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool animated) {}
  virtual void viewDidAppear(bool animated) {}
  virtual void viewWillDisappear(bool animated) {}
  virtual void viewDidDisappear(bool animated) {}

  const std::string& title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }
  UIModalPresentationStyle modalPresentationStyle() const { return presentationStyle_; }
  void setModalPresentationStyle(UIModalPresentationStyle s) { presentationStyle_ = s; }

  // Shows vc over this controller's window. Refused (logged, completion not run) when this
  // controller already presents one or vc is already presented somewhere.
  void presentViewControllerAnimatedCompletion(const UIViewControllerRef& vc, bool animated,
                                               std::function<void()> completion = {});
  // Dismisses what this controller presents, or, when it presents nothing, dismisses itself
  // from its presenter. Does nothing when neither applies (the completion still runs).
  void dismissViewControllerAnimatedCompletion(bool animated,
                                               std::function<void()> completion = {});
  UIViewControllerRef presentedViewController() const { return presented_; }
  UIViewControllerRef presentingViewController() const { return presenting_.lock(); }

 private:
  UIViewRef view_;
  std::string title_;
  UIModalPresentationStyle presentationStyle_ = UIModalPresentationFullScreen;
  UIViewControllerRef presented_;
  std::weak_ptr<UIViewController> presenting_;
};

}  // namespace plat
