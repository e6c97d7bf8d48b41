#include "platform/uikit/UIWindow.h"

#include <algorithm>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"

namespace plat {

namespace {
std::vector<std::weak_ptr<UIWindow>>& registry() {
  static auto* r = new std::vector<std::weak_ptr<UIWindow>>;
  return *r;
}
}  // namespace

// ---- UIScreen ----

UIScreen& UIScreen::mainScreen() {
  static auto* s = new UIScreen;
  return *s;
}
void UIScreen::setScale(double s) {
  if (s <= 0) return;
  scale_ = s;
  UIGraphicsSetDefaultScale(s);
}
CGRect UIScreen::nativeBounds() const {
  return CGRectMake(0, 0, bounds_.size.width * scale_, bounds_.size.height * scale_);
}
void UIScreen::resetForTesting() {
  bounds_ = CGRectMake(0, 0, 375, 667);
  setScale(2);
}

// ---- UIApplication ----

UIApplication& UIApplication::sharedApplication() {
  static auto* a = new UIApplication;
  return *a;
}
void UIApplication::resetForTesting() {
  delegate_.reset();
  key_.reset();
  statusBarStyle_ = UIStatusBarStyleDefault;
  statusBarHidden_ = false;
  orientation_ = UIInterfaceOrientationPortrait;
  idleTimerDisabled_ = false;
  networkIndicatorVisible_ = false;
  networkIndicatorChanges_ = 0;
  resetBackgroundTasksForTesting();
}

// ---- UIWindow ----

UIWindow::UIWindow(CGRect frame) : UIView(frame) {}

UIWindow::~UIWindow() {
  auto& r = registry();
  r.erase(std::remove_if(r.begin(), r.end(), [](const auto& w) { return w.expired(); }), r.end());
}

void UIWindow::didInit() {
  UIView::didInit();
  auto& r = registry();
  r.erase(std::remove_if(r.begin(), r.end(), [](const auto& w) { return w.expired(); }), r.end());
  r.push_back(std::static_pointer_cast<UIWindow>(shared_from_this()));
  setHidden(true);  // windows start hidden until made visible
}

std::vector<std::shared_ptr<UIWindow>> UIWindow::allWindows() {
  std::vector<std::shared_ptr<UIWindow>> out;
  for (auto& w : registry())
    if (auto s = w.lock()) out.push_back(s);
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a->windowLevel() < b->windowLevel(); });
  return out;
}

void UIWindow::setRootViewController(const std::shared_ptr<UIViewController>& vc) {
  if (root_ == vc) return;
  if (root_ && root_->isViewLoaded()) {
    auto old = root_->view();
    if (old->superview().get() == this) old->removeFromSuperview();
  }
  root_ = vc;
  if (!vc) return;
  auto v = vc->view();
  v->setFrame(bounds());
  v->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  insertSubviewAtIndex(v, 0);
}

void UIWindow::makeKeyWindow() {
  UIApplication::sharedApplication().setKeyWindow(
      std::static_pointer_cast<UIWindow>(shared_from_this()));
}
void UIWindow::makeKeyAndVisible() {
  setHidden(false);
  makeKeyWindow();
}
bool UIWindow::isKeyWindow() const {
  return UIApplication::sharedApplication().keyWindow().get() == this;
}

std::shared_ptr<UIViewController> UIWindow::topViewController() const {
  auto vc = root_;
  while (vc && vc->presentedViewController()) vc = vc->presentedViewController();
  return vc;
}

// ---- UIViewController ----

UIViewRef UIViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = make<UIView>(UIScreen::mainScreen().bounds());
    viewDidLoad();
  }
  return view_;
}

void UIViewController::loadView() { view_ = make<UIView>(UIScreen::mainScreen().bounds()); }

void UIViewController::presentViewControllerAnimatedCompletion(const UIViewControllerRef& vc,
                                                               bool animated,
                                                               std::function<void()> completion) {
  if (!vc || presented_ || vc->presentingViewController() || vc.get() == this) {
    writeToStandardError("uikit: refused to present " + (vc ? vc->className() : "(null)") +
                         ": a presentation is already in progress");
    return;
  }
  auto w = view()->window();
  presented_ = vc;
  vc->presenting_ = std::static_pointer_cast<UIViewController>(shared_from_this());
  auto v = vc->view();
  vc->viewWillAppear(animated);
  if (w) {
    v->setFrame(w->bounds());
    v->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
    w->addSubview(v);
  }
  dispatch_async(dispatch_get_main_queue(), [vc, animated, completion] {
    vc->viewDidAppear(animated);
    if (completion) completion();
  });
}

void UIViewController::dismissViewControllerAnimatedCompletion(bool animated,
                                                               std::function<void()> completion) {
  UIViewControllerRef target;
  UIViewControllerRef presenter;
  if (presented_) {
    target = presented_;
    presenter = std::static_pointer_cast<UIViewController>(shared_from_this());
  } else if (auto p = presenting_.lock()) {
    target = std::static_pointer_cast<UIViewController>(shared_from_this());
    presenter = p;
  }
  if (!target) {
    if (completion) dispatch_async(dispatch_get_main_queue(), completion);
    return;
  }
  // Whatever the target presents goes away with it.
  if (target->presented_) target->dismissViewControllerAnimatedCompletion(animated, {});
  target->viewWillDisappear(animated);
  if (target->isViewLoaded()) target->view()->removeFromSuperview();
  presenter->presented_.reset();
  target->presenting_.reset();
  dispatch_async(dispatch_get_main_queue(), [target, animated, completion] {
    target->viewDidDisappear(animated);
    if (completion) completion();
  });
}

}  // namespace plat
