#pragma once
// UIViewController: owns a view that is loaded on first use (loadView, then viewDidLoad), and
// presents other controllers modally over its window. Presentation and dismissal completions
// are posted to the main queue (they never run inside the call). A controller may hold child
// controllers (containment: the container places their views itself). A change of the
// window's size (UIWindowTransitionToSize) reaches the controllers through
// viewWillTransitionToSizeWithTransitionCoordinator, the only rotation callback called.
// Main thread only.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/uikit/UIView.h"

namespace plat {

class UIViewController;
class UINavigationController;
class UINavigationItem;
class UIBarButtonItem;
class UIWindow;
using UIViewControllerRef = std::shared_ptr<UIViewController>;

// Handed to viewWillTransitionToSize: blocks to run along with a size change and after it.
class UIViewControllerTransitionCoordinator {
 public:
  // alongside runs with the change (the new size is in place when it runs); completion runs
  // after the change, posted to the main queue. Either may be empty.
  void animateAlongsideTransitionCompletion(std::function<void()> alongside,
                                            std::function<void()> completion);
  double transitionDuration() const { return 0; }

  // Internal: runs the alongside blocks, then posts the completions.
  void finish();

 private:
  std::vector<std::function<void()>> alongside_, completions_;
};
using UIViewControllerTransitionCoordinatorRef =
    std::shared_ptr<UIViewControllerTransitionCoordinator>;

// Resizes the window to size as a rotation does: every controller of the window's root
// presentation chain hears viewWillTransitionToSize first (the default passes it on to the
// children), then the window and the controllers' views take the new size (through their
// autoresizing masks), then the coordinator's blocks run. The screen's bounds are the
// caller's to change. Main thread only.
void UIWindowTransitionToSize(const std::shared_ptr<UIWindow>& window, CGSize size);

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

  // ---- Containment ----
  // Adds child after the others, first taking it from any other parent. Calls the child's
  // willMoveToParentViewController with this controller; the container adds the child's view
  // and then calls didMoveToParentViewController itself. Adding this controller or one of
  // its ancestors is refused.
  void addChildViewController(const UIViewControllerRef& child);
  // Leaves the parent (the caller calls willMoveToParentViewController(nullptr) first), then
  // calls didMoveToParentViewController(nullptr). Nothing without a parent.
  void removeFromParentViewController();
  const std::vector<UIViewControllerRef>& childViewControllers() const { return children_; }
  UIViewControllerRef parentViewController() const { return parent_.lock(); }
  virtual void willMoveToParentViewController(const UIViewControllerRef& parent) {}
  virtual void didMoveToParentViewController(const UIViewControllerRef& parent) {}

  // The window's size is about to become size. Default: passes the call on to each child.
  virtual void viewWillTransitionToSizeWithTransitionCoordinator(
      CGSize size, const UIViewControllerTransitionCoordinatorRef& coordinator);

 private:
  std::vector<UIViewControllerRef> children_;
  std::weak_ptr<UIViewController> parent_;
  UIViewRef view_;
  std::string title_;
  UIModalPresentationStyle presentationStyle_ = UIModalPresentationFullScreen;
  UIViewControllerRef presented_;
  std::weak_ptr<UIViewController> presenting_;

  // ---- Navigation (UINavigationController.h) ----
 public:
  // The bar contents shown while this controller is on top of a navigation stack; made on
  // first use.
  std::shared_ptr<UINavigationItem> navigationItem();
  // The nearest UINavigationController among this controller and its parents, or nullptr.
  std::shared_ptr<UINavigationController> navigationController() const;
  // The items of the navigation controller's toolbar while this controller is on top.
  const std::vector<std::shared_ptr<UIBarButtonItem>>& toolbarItems() const {
    return toolbarItems_;
  }
  void setToolbarItems(std::vector<std::shared_ptr<UIBarButtonItem>> items);
  // True while the controller appears because it was just pushed (from viewWillAppear to
  // viewDidAppear), or disappears because it is being popped.
  bool isMovingToParentViewController() const { return movingToParent_; }
  bool isMovingFromParentViewController() const { return movingFromParent_; }

 private:
  friend class UINavigationController;
  std::shared_ptr<UINavigationItem> navigationItem_;
  std::vector<std::shared_ptr<UIBarButtonItem>> toolbarItems_;
  bool movingToParent_ = false, movingFromParent_ = false;
};

}  // namespace plat
