#include "ui/refresh/HVRefreshFooter.h"

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UITableView.h"

using namespace plat;

void HVRefreshFooter::prepare() {
  HVRefreshComponent::prepare();
  UIView_HVExtension::setHV_h(*this, HVRefreshFooterHeight);
  automaticallyHidden_ = false;
}

namespace {
// The reload-data block a footer installs on its table or collection view. A named type, so
// that a footer leaving can tell its own block from one that another footer installed since.
struct FooterReloadBlock {
  // Weak: the scroll view keeps the block, the footer is the scroll view's subview.
  std::weak_ptr<HVRefreshComponent> footer;
  void operator()(int64_t totalDataCount) const {
    auto self = std::static_pointer_cast<HVRefreshFooter>(footer.lock());
    if (self && self->isAutomaticallyHidden()) self->setHidden(totalDataCount == 0);
  }
};
}  // namespace

void HVRefreshFooter::willMoveToSuperview(const UIViewRef& newSuperview) {
  auto previous = scrollView();
  HVRefreshComponent::willMoveToSuperview(newSuperview);
  auto scroll = scrollView();
  // Take the block along when leaving a scroll view (for none or for another one): the table
  // left behind no longer hides or shows this footer.
  if (previous && previous != scroll) {
    auto block = UIScrollView_HVRefresh::HV_reloadDataBlock(*previous);
    auto* mine = block ? block.target<FooterReloadBlock>() : nullptr;
    if (mine && mine->footer.lock().get() == this)
      UIScrollView_HVRefresh::setHV_reloadDataBlock(*previous, nullptr);
  }
  if (!newSuperview) return;
  if (!scroll || scroll != newSuperview) return;
  if (!std::dynamic_pointer_cast<UITableView>(scroll) &&
      !std::dynamic_pointer_cast<UICollectionView>(scroll))
    return;
  UIScrollView_HVRefresh::setHV_reloadDataBlock(*scroll, FooterReloadBlock{weakSelf()});
}

void HVRefreshFooter::endRefreshingWithNoMoreData() { setState(HVRefreshStateNoMoreData); }

void HVRefreshFooter::resetNoMoreData() { setState(HVRefreshStateIdle); }
