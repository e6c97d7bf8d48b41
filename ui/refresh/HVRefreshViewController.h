#pragma once
// HVRefreshViewController: the base of paged list screens. It owns a plain table, the loaded
// rows, the last page loaded and the total page count, and can attach a pull-down header and
// an automatic footer. Subclasses load pages in tableViewDidTriggerHeaderRefresh /
// tableViewDidTriggerFooterRefresh and report the outcome with
// tableViewDidFinishTriggerHeaderReload, which ends the controls: a page at or past the total
// puts the footer into no more data ("已全部加载完毕").
//
// Create with plat::make<T>(). Main thread only, except tableViewDidFinishTriggerHeaderReload
// and the page setters, which may be called from any thread.

#include <atomic>

#include "platform/uikit/UITableView.h"
#include "platform/uikit/UIViewController.h"
#include "ui/refresh/HVRefreshAutoNormalFooter.h"
#include "ui/refresh/HVRefreshNormalHeader.h"

class HVRefreshViewController : public plat::UIViewController,
                                public plat::UITableViewDataSource,
                                public plat::UITableViewDelegate {
 public:
  std::string className() const override { return "HVRefreshViewController"; }

  void viewDidLoad() override;

  bool showRefreshHeader() const { return showRefreshHeader_; }
  void setShowRefreshHeader(bool show);
  bool showRefreshFooter() const { return showRefreshFooter_; }
  void setShowRefreshFooter(bool show);
  int32_t page() const { return page_.load(); }
  void setPage(int32_t p) { page_.store(p); }
  int32_t totalPage() const { return totalPage_.load(); }
  void setTotalPage(int32_t t) { totalPage_.store(t); }
  // The title shown in the navigation bar; made by viewDidLoad.
  std::shared_ptr<plat::UILabel> navTitleL() const { return navTitleL_; }
  void setNavTitleL(std::shared_ptr<plat::UILabel> l) { navTitleL_ = std::move(l); }
  // Created on first access. setTableView only stores: a table set in place of the made one
  // gets no delegate, data source or footer view from the controller, and a null one makes
  // the next access create a table again.
  std::shared_ptr<plat::UITableView> tableView();
  void setTableView(std::shared_ptr<plat::UITableView> t) { tableView_ = std::move(t); }
  plat::Array& dataSource() { return dataSource_; }
  // An empty view: the table's footer view, so that no separators show below the last row.
  // Created on first access; setDefaultFooterView only stores (a table already made keeps
  // its footer view).
  plat::UIViewRef defaultFooterView();
  void setDefaultFooterView(plat::UIViewRef v) { defaultFooterView_ = std::move(v); }

  bool isHeaderRefreshing() const;
  bool isFooterRefreshing() const;

  // Hooks for subclasses; empty here.
  virtual void tableViewDidTriggerHeaderRefresh() {}
  virtual void tableViewDidTriggerFooterRefresh() {}
  // Calls tableViewDidTriggerHeaderRefresh when a header is shown (without animating it).
  void autoTriggerHeaderRefresh();
  // Ends the header (isHeader) or the footer after a load, reloading the table first when
  // reload is true. Runs on the main queue; page and totalPage are read there.
  void tableViewDidFinishTriggerHeaderReload(bool isHeader, bool reload);

  // Table data source defaults.
  int64_t numberOfSectionsInTableView(plat::UITableView& tableView) override { return 1; }
  int64_t tableViewNumberOfRowsInSection(plat::UITableView& tableView, int64_t section) override {
    return 0;
  }
  // A dequeued "UITableViewCell" cell, or a new plain one with that identifier.
  plat::UITableViewCellRef tableViewCellForRowAtIndexPath(plat::UITableView& tableView,
                                                          plat::NSIndexPath indexPath) override;

 private:
  bool showRefreshHeader_ = false;
  bool showRefreshFooter_ = false;
  std::atomic<int32_t> page_{0};
  std::atomic<int32_t> totalPage_{0};
  std::shared_ptr<plat::UILabel> navTitleL_;
  std::shared_ptr<plat::UITableView> tableView_;
  plat::Array dataSource_;
  plat::UIViewRef defaultFooterView_;
};
