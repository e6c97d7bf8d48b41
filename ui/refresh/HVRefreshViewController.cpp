#include "ui/refresh/HVRefreshViewController.h"

#include "platform/dispatch/Dispatch.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UINavigationController.h"

using namespace plat;

namespace {
const char* const kCellIdentifier = "UITableViewCell";
const char* const kNoMoreDataTitle = "已全部加载完毕";
}  // namespace

void HVRefreshViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  navTitleL_ = make<UILabel>();
  navTitleL_->setFont(UIFont::systemFontOfSizeWeight(18, UIFontWeightMedium));
  navTitleL_->sizeToFit();
  navTitleL_->setTextColor(UIColor::blackColor());
  navigationItem()->setTitleView(navTitleL_);
  page_ = 0;
  showRefreshHeader_ = false;
  showRefreshFooter_ = false;
  view()->setBackgroundColor(UIColor::whiteColor());
  view()->addSubview(tableView());
}

std::shared_ptr<UITableView> HVRefreshViewController::tableView() {
  if (!tableView_) {
    tableView_ = make<UITableView>();
    auto self = std::dynamic_pointer_cast<HVRefreshViewController>(shared_from_this());
    tableView_->setDelegate(std::static_pointer_cast<UITableViewDelegate>(self));
    tableView_->setDataSource(std::static_pointer_cast<UITableViewDataSource>(self));
    tableView_->setSeparatorStyle(UITableViewCellSeparatorStyleNone);
    tableView_->setTableFooterView(defaultFooterView());
    tableView_->setShowsVerticalScrollIndicator(false);
  }
  return tableView_;
}

UIViewRef HVRefreshViewController::defaultFooterView() {
  if (!defaultFooterView_) defaultFooterView_ = make<UIView>();
  return defaultFooterView_;
}

void HVRefreshViewController::setShowRefreshHeader(bool show) {
  if (show == showRefreshHeader_) return;
  showRefreshHeader_ = show;
  auto table = tableView();
  if (!show) {
    UIScrollView_HVRefresh::setHV_header(*table, nullptr);
    return;
  }
  std::weak_ptr<HVRefreshViewController> weak =
      std::dynamic_pointer_cast<HVRefreshViewController>(shared_from_this());
  auto header = HVRefreshHeader::headerWithRefreshingBlock<HVRefreshNormalHeader>([weak] {
    if (auto self = weak.lock()) self->tableViewDidTriggerHeaderRefresh();
  });
  UIScrollView_HVRefresh::setHV_header(*table, header);
  header->stateLabel()->setHidden(true);
  header->setAccessibilityIdentifier("refresh_header");
}

void HVRefreshViewController::setShowRefreshFooter(bool show) {
  if (show == showRefreshFooter_) return;
  showRefreshFooter_ = show;
  auto table = tableView();
  if (!show) {
    UIScrollView_HVRefresh::setHV_footer(*table, nullptr);
    return;
  }
  std::weak_ptr<HVRefreshViewController> weak =
      std::dynamic_pointer_cast<HVRefreshViewController>(shared_from_this());
  auto footer = HVRefreshFooter::footerWithRefreshingBlock<HVRefreshAutoNormalFooter>([weak] {
    if (auto self = weak.lock()) self->tableViewDidTriggerFooterRefresh();
  });
  footer->setTitleForState(std::string(kNoMoreDataTitle), HVRefreshStateNoMoreData);
  UIScrollView_HVRefresh::setHV_footer(*table, footer);
  footer->setAccessibilityIdentifier("refresh_footer");
}

bool HVRefreshViewController::isHeaderRefreshing() const {
  if (!showRefreshHeader_ || !tableView_) return false;
  auto header = UIScrollView_HVRefresh::HV_header(*tableView_);
  return header && header->isRefreshing();
}

bool HVRefreshViewController::isFooterRefreshing() const {
  if (!showRefreshFooter_ || !tableView_) return false;
  auto footer = UIScrollView_HVRefresh::HV_footer(*tableView_);
  return footer && footer->isRefreshing();
}

void HVRefreshViewController::autoTriggerHeaderRefresh() {
  if (showRefreshHeader_) tableViewDidTriggerHeaderRefresh();
}

void HVRefreshViewController::tableViewDidFinishTriggerHeaderReload(bool isHeader, bool reload) {
  std::weak_ptr<HVRefreshViewController> weak =
      std::dynamic_pointer_cast<HVRefreshViewController>(shared_from_this());
  dispatch_async(dispatch_get_main_queue(), [weak, isHeader, reload] {
    auto self = weak.lock();
    if (!self) return;
    auto table = self->tableView();
    if (reload) table->reloadData();
    bool morePages = self->totalPage() > self->page();
    auto footer = UIScrollView_HVRefresh::HV_footer(*table);
    if (isHeader) {
      if (auto header = UIScrollView_HVRefresh::HV_header(*table)) header->endRefreshing();
      if (self->showRefreshFooter_ && footer) {
        if (morePages)
          footer->resetNoMoreData();
        else
          footer->endRefreshingWithNoMoreData();
      }
    } else if (footer) {
      if (morePages)
        footer->endRefreshing();
      else
        footer->endRefreshingWithNoMoreData();
    }
  });
}

UITableViewCellRef HVRefreshViewController::tableViewCellForRowAtIndexPath(UITableView& tableView,
                                                                           NSIndexPath) {
  auto cell = tableView.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) cell = make<UITableViewCell>(UITableViewCellStyleDefault, kCellIdentifier);
  return cell;
}
