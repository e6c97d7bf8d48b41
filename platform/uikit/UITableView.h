#pragma once
// UITableView: a plain-style list of rows in sections, asking its data source for counts and
// cells. Cells are materialised in layoutSubviews for the rows inside the visible bounds, and
// cells that scroll out (or are dropped by reloadData) go to a reuse queue per identifier,
// from which dequeueReusableCellWithIdentifier hands them out again.
// reloadData is lazy: it drops the cached counts and the shown cells and asks for layout; the
// data source is asked again on the next layout or count query.
// Row heights come from the delegate's heightForRowAtIndexPath when it answers, else rowHeight.
// A touch that ends on a cell selects its row and tells the delegate.
// Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScrollView.h"

namespace plat {

class UITableView;

struct NSIndexPath {
  int64_t section = 0;
  int64_t row = 0;
  static NSIndexPath indexPathForRowInSection(int64_t row, int64_t section) {
    return {section, row};
  }
  auto operator<=>(const NSIndexPath&) const = default;
};

enum UITableViewCellStyle : int64_t { UITableViewCellStyleDefault = 0 };
enum UITableViewCellSeparatorStyle : int64_t {
  UITableViewCellSeparatorStyleNone = 0,
  UITableViewCellSeparatorStyleSingleLine = 1
};

class UITableViewCell : public UIView {
 public:
  explicit UITableViewCell(UITableViewCellStyle style = UITableViewCellStyleDefault,
                           std::string reuseIdentifier = {});
  void didInit() override;
  std::string className() const override { return "UITableViewCell"; }

  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  // The view that cell content goes into; it fills the cell.
  UIViewRef contentView() const { return contentView_; }
  // Created on first access, inside the content view.
  std::shared_ptr<UILabel> textLabel();
  bool isSelected() const { return selected_; }
  void setSelected(bool s) { selected_ = s; }
  // Called before the table hands the cell out again from its reuse queue.
  virtual void prepareForReuse() {}
  void layoutSubviews() override;

 private:
  std::string reuseIdentifier_;
  UIViewRef contentView_;
  std::shared_ptr<UILabel> textLabel_;
  bool selected_ = false;
};
using UITableViewCellRef = std::shared_ptr<UITableViewCell>;

class UITableViewDataSource {
 public:
  virtual ~UITableViewDataSource() = default;
  virtual int64_t numberOfSectionsInTableView(UITableView& tableView) { return 1; }
  virtual int64_t tableViewNumberOfRowsInSection(UITableView& tableView, int64_t section) = 0;
  // May return nullptr: the row then shows nothing.
  virtual UITableViewCellRef tableViewCellForRowAtIndexPath(UITableView& tableView,
                                                            NSIndexPath indexPath) = 0;
};

class UITableViewDelegate : public UIScrollViewDelegate {
 public:
  // Optional: std::nullopt means "not implemented" (the table's rowHeight applies).
  virtual std::optional<double> tableViewHeightForRowAtIndexPath(UITableView& tableView,
                                                                 NSIndexPath indexPath) {
    return std::nullopt;
  }
  virtual void tableViewDidSelectRowAtIndexPath(UITableView& tableView, NSIndexPath indexPath) {}
};

class UITableView : public UIScrollView {
 public:
  explicit UITableView(CGRect frame = CGRectZero);
  std::string className() const override { return "UITableView"; }

  std::shared_ptr<UITableViewDataSource> dataSource() const { return dataSource_.lock(); }
  void setDataSource(std::weak_ptr<UITableViewDataSource> d);
  std::shared_ptr<UITableViewDelegate> tableDelegate() const { return tableDelegate_.lock(); }
  // Also the scroll view's delegate.
  void setDelegate(const std::shared_ptr<UITableViewDelegate>& d);

  double rowHeight() const { return rowHeight_; }
  void setRowHeight(double h);
  UITableViewCellSeparatorStyle separatorStyle() const { return separatorStyle_; }
  void setSeparatorStyle(UITableViewCellSeparatorStyle s) { separatorStyle_ = s; }
  // Placed under the last row; its height adds to the content height.
  UIViewRef tableFooterView() const { return footerView_; }
  void setTableFooterView(const UIViewRef& v);

  // Counts from the data source (cached until reloadData); 0 without a data source.
  int64_t numberOfSections();
  int64_t numberOfRowsInSection(int64_t section);
  void reloadData();
  int64_t reloadCount() const { return reloadCount_; }

  // A cell of the queue for identifier, or one made by the class registered for it, else
  // nullptr.
  UITableViewCellRef dequeueReusableCellWithIdentifier(const std::string& identifier);
  void registerCellFactory(const std::string& identifier,
                           std::function<UITableViewCellRef(const std::string&)> factory);

  // The shown cell of the row, or nullptr.
  UITableViewCellRef cellForRowAtIndexPath(NSIndexPath indexPath) const;
  std::vector<UITableViewCellRef> visibleCells() const;
  std::optional<NSIndexPath> indexPathForCell(const UITableViewCell* cell) const;
  CGRect rectForRowAtIndexPath(NSIndexPath indexPath);
  std::optional<NSIndexPath> indexPathForSelectedRow() const { return selected_; }
  // Selects the row without telling the delegate (as the platform does).
  void selectRowAtIndexPath(NSIndexPath indexPath);
  void deselectRowAtIndexPath(NSIndexPath indexPath);

  void layoutSubviews() override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;

 private:
  void ensureGeometry();
  void enqueue(const UITableViewCellRef& cell);

  std::weak_ptr<UITableViewDataSource> dataSource_;
  std::weak_ptr<UITableViewDelegate> tableDelegate_;
  double rowHeight_ = 44;
  UITableViewCellSeparatorStyle separatorStyle_ = UITableViewCellSeparatorStyleSingleLine;
  UIViewRef footerView_;
  bool countsValid_ = false;
  std::vector<int64_t> rowsPerSection_;
  std::map<NSIndexPath, CGRect> rowRects_;
  std::map<NSIndexPath, UITableViewCellRef> shown_;
  std::map<std::string, std::vector<UITableViewCellRef>> reuse_;
  std::map<std::string, std::function<UITableViewCellRef(const std::string&)>> factories_;
  std::optional<NSIndexPath> selected_;
  int64_t reloadCount_ = 0;
};

}  // namespace plat
