#include "platform/uikit/UIViewController.h"

#include <algorithm>

#include "platform/dispatch/Dispatch.h"
#include "platform/uikit/UIWindow.h"

namespace plat {

void UIViewControllerTransitionCoordinator::animateAlongsideTransitionCompletion(
    std::function<void()> alongside, std::function<void()> completion) {
  if (alongside) alongside_.push_back(std::move(alongside));
  if (completion) completions_.push_back(std::move(completion));
}

void UIViewControllerTransitionCoordinator::finish() {
  auto alongside = std::move(alongside_);
  alongside_.clear();
  for (auto& a : alongside) a();
  for (auto& c : completions_) dispatch_async(dispatch_get_main_queue(), std::move(c));
  completions_.clear();
}

void UIViewController::addChildViewController(const UIViewControllerRef& child) {
  if (!child) return;
  for (auto p = parentViewController(); p; p = p->parentViewController())
    if (p == child) return;
  if (child.get() == this || child->parentViewController().get() == this) return;
  UIViewControllerRef keep = child;
  if (keep->parentViewController()) keep->removeFromParentViewController();
  auto self = std::static_pointer_cast<UIViewController>(shared_from_this());
  keep->willMoveToParentViewController(self);
  children_.push_back(keep);
  keep->parent_ = self;
}

void UIViewController::removeFromParentViewController() {
  auto parent = parentViewController();
  if (!parent) return;
  auto self = std::static_pointer_cast<UIViewController>(shared_from_this());
  auto& list = parent->children_;
  list.erase(std::remove(list.begin(), list.end(), self), list.end());
  parent_.reset();
  didMoveToParentViewController(nullptr);
}

void UIViewController::viewWillTransitionToSizeWithTransitionCoordinator(
    CGSize size, const UIViewControllerTransitionCoordinatorRef& coordinator) {
  auto children = children_;
  for (auto& child : children)
    child->viewWillTransitionToSizeWithTransitionCoordinator(size, coordinator);
}

void UIWindowTransitionToSize(const std::shared_ptr<UIWindow>& window, CGSize size) {
  if (!window) return;
  auto coordinator = std::make_shared<UIViewControllerTransitionCoordinator>();
  std::vector<UIViewControllerRef> chain;
  for (auto vc = window->rootViewController(); vc; vc = vc->presentedViewController())
    chain.push_back(vc);
  for (auto& vc : chain) vc->viewWillTransitionToSizeWithTransitionCoordinator(size, coordinator);
  CGRect f = window->frame();
  window->setFrame(CGRectMake(f.origin.x, f.origin.y, size.width, size.height));
  window->layoutIfNeeded();
  coordinator->finish();
}

}  // namespace plat
