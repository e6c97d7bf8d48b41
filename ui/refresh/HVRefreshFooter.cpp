#include "ui/refresh/HVRefreshFooter.h"

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UITableView.h"

using namespace plat;

void HVRefreshFooter::prepare() {
  HVRefreshComponent::prepare();
  UIView_HVExtension::setHV_h(*this, HVRefreshFooterHeight);
  automaticallyHidden_ = false;
}

void HVRefreshFooter::willMoveToSuperview(const UIViewRef& newSuperview) {
  HVRefreshComponent::willMoveToSuperview(newSuperview);
  if (!newSuperview) return;
  auto scroll = scrollView();
  if (!scroll || scroll != newSuperview) return;
  if (!std::dynamic_pointer_cast<UITableView>(scroll) &&
      !std::dynamic_pointer_cast<UICollectionView>(scroll))
    return;
  // Weak: the scroll view keeps the block, the footer is the scroll view's subview.
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  UIScrollView_HVRefresh::setHV_reloadDataBlock(*scroll, [weak](int64_t totalDataCount) {
    auto self = std::static_pointer_cast<HVRefreshFooter>(weak.lock());
    if (self && self->isAutomaticallyHidden()) self->setHidden(totalDataCount == 0);
  });
}

void HVRefreshFooter::endRefreshingWithNoMoreData() { setState(HVRefreshStateNoMoreData); }

void HVRefreshFooter::resetNoMoreData() { setState(HVRefreshStateIdle); }
