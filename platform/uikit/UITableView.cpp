#include "platform/uikit/UITableView.h"

#include <algorithm>

#include "platform/uikit/UIEvent.h"

namespace plat {

namespace {
const char* const kContentViewClass = "UITableViewCellContentView";

class UITableViewCellContentView : public UIView {
 public:
  std::string className() const override { return kContentViewClass; }
};
}  // namespace

// ---- UITableViewCell ----

UITableViewCell::UITableViewCell(UITableViewCellStyle, std::string reuseIdentifier)
    : UIView(CGRectMake(0, 0, 320, 44)), reuseIdentifier_(std::move(reuseIdentifier)) {}

void UITableViewCell::didInit() {
  UIView::didInit();
  setBackgroundColor(UIColor::whiteColor());
  contentView_ = make<UITableViewCellContentView>();
  contentView_->setFrame(bounds());
  contentView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
  addSubview(contentView_);
}

std::shared_ptr<UILabel> UITableViewCell::textLabel() {
  if (!textLabel_) {
    textLabel_ = make<UILabel>();
    contentView_->addSubview(textLabel_);
    setNeedsLayout();
  }
  return textLabel_;
}

void UITableViewCell::layoutSubviews() {
  contentView_->setFrame(bounds());
  if (textLabel_) {
    CGRect b = bounds();
    textLabel_->setFrame(CGRectMake(15, 0, std::max(0.0, b.size.width - 30), b.size.height));
  }
}

// ---- UITableView ----

UITableView::UITableView(CGRect frame) : UIScrollView(frame) {}

void UITableView::setDataSource(std::weak_ptr<UITableViewDataSource> d) {
  dataSource_ = std::move(d);
  reloadData();
}

void UITableView::setDelegate(const std::shared_ptr<UITableViewDelegate>& d) {
  tableDelegate_ = d;
  UIScrollView::setDelegate(d);
  reloadData();
}

void UITableView::setRowHeight(double h) {
  rowHeight_ = h;
  reloadData();
}

void UITableView::setTableFooterView(const UIViewRef& v) {
  if (footerView_ == v) return;
  if (footerView_) footerView_->removeFromSuperview();
  footerView_ = v;
  if (v) addSubview(v);
  reloadData();
}

void UITableView::reloadData() {
  ++reloadCount_;
  countsValid_ = false;
  auto shown = std::move(shown_);
  shown_.clear();
  for (auto& [path, cell] : shown) enqueue(cell);
  setNeedsLayout();
}

void UITableView::enqueue(const UITableViewCellRef& cell) {
  cell->removeFromSuperview();
  if (!cell->reuseIdentifier().empty()) reuse_[cell->reuseIdentifier()].push_back(cell);
}

void UITableView::ensureGeometry() {
  if (countsValid_) return;
  countsValid_ = true;
  rowsPerSection_.clear();
  rowRects_.clear();
  auto ds = dataSource();
  int64_t sections = ds ? std::max<int64_t>(0, ds->numberOfSectionsInTableView(*this)) : 0;
  for (int64_t s = 0; s < sections; ++s)
    rowsPerSection_.push_back(std::max<int64_t>(0, ds->tableViewNumberOfRowsInSection(*this, s)));
  auto delegate = tableDelegate();
  double width = bounds().size.width, y = 0;
  for (int64_t s = 0; s < sections; ++s) {
    for (int64_t r = 0; r < rowsPerSection_[s]; ++r) {
      NSIndexPath path{s, r};
      double h = rowHeight_;
      if (delegate)
        if (auto answer = delegate->tableViewHeightForRowAtIndexPath(*this, path)) h = *answer;
      rowRects_[path] = CGRectMake(0, y, width, std::max(0.0, h));
      y += std::max(0.0, h);
    }
  }
  if (footerView_) {
    CGRect f = footerView_->frame();
    footerView_->setFrame(CGRectMake(0, y, width, f.size.height));
    y += f.size.height;
  }
  if (contentSize() != CGSizeMake(width, y)) setContentSize(CGSizeMake(width, y));
}

int64_t UITableView::numberOfSections() {
  ensureGeometry();
  return static_cast<int64_t>(rowsPerSection_.size());
}

int64_t UITableView::numberOfRowsInSection(int64_t section) {
  ensureGeometry();
  if (section < 0 || section >= static_cast<int64_t>(rowsPerSection_.size())) return 0;
  return rowsPerSection_[section];
}

CGRect UITableView::rectForRowAtIndexPath(NSIndexPath indexPath) {
  ensureGeometry();
  auto it = rowRects_.find(indexPath);
  return it == rowRects_.end() ? CGRectZero : it->second;
}

UITableViewCellRef UITableView::dequeueReusableCellWithIdentifier(const std::string& identifier) {
  auto it = reuse_.find(identifier);
  if (it != reuse_.end() && !it->second.empty()) {
    auto cell = it->second.back();
    it->second.pop_back();
    cell->prepareForReuse();
    return cell;
  }
  auto f = factories_.find(identifier);
  return f == factories_.end() ? nullptr : f->second(identifier);
}

void UITableView::registerCellFactory(
    const std::string& identifier, std::function<UITableViewCellRef(const std::string&)> factory) {
  factories_[identifier] = std::move(factory);
}

UITableViewCellRef UITableView::cellForRowAtIndexPath(NSIndexPath indexPath) const {
  auto it = shown_.find(indexPath);
  return it == shown_.end() ? nullptr : it->second;
}

std::vector<UITableViewCellRef> UITableView::visibleCells() const {
  std::vector<UITableViewCellRef> cells;
  for (auto& [path, cell] : shown_) cells.push_back(cell);
  return cells;
}

std::optional<NSIndexPath> UITableView::indexPathForCell(const UITableViewCell* cell) const {
  for (auto& [path, shown] : shown_)
    if (shown.get() == cell) return path;
  return std::nullopt;
}

void UITableView::selectRowAtIndexPath(NSIndexPath indexPath) {
  if (selected_)
    if (auto old = cellForRowAtIndexPath(*selected_)) old->setSelected(false);
  selected_ = indexPath;
  if (auto cell = cellForRowAtIndexPath(indexPath)) cell->setSelected(true);
}

void UITableView::deselectRowAtIndexPath(NSIndexPath indexPath) {
  if (selected_ != indexPath) return;
  if (auto cell = cellForRowAtIndexPath(indexPath)) cell->setSelected(false);
  selected_.reset();
}

void UITableView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  if (!countsValid_) {
    ensureGeometry();
  } else if (!rowRects_.empty() && rowRects_.begin()->second.size.width != bounds().size.width) {
    countsValid_ = false;
    ensureGeometry();
  }
  CGRect visible = bounds();
  // Rows that left the visible bounds go back to the queue.
  for (auto it = shown_.begin(); it != shown_.end();) {
    auto rect = rowRects_.find(it->first);
    if (rect == rowRects_.end() || !CGRectIntersectsRect(rect->second, visible)) {
      enqueue(it->second);
      it = shown_.erase(it);
    } else {
      it->second->setFrame(rect->second);
      ++it;
    }
  }
  auto ds = dataSource();
  if (!ds) return;
  for (auto& [path, rect] : rowRects_) {
    if (rect.size.height <= 0 || !CGRectIntersectsRect(rect, visible) || shown_.count(path))
      continue;
    auto cell = ds->tableViewCellForRowAtIndexPath(*this, path);
    if (!cell) continue;
    cell->setFrame(rect);
    cell->setSelected(selected_ == path);
    insertSubviewAtIndex(cell, 0);
    shown_[path] = cell;
  }
}

void UITableView::touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (touches.empty()) return UIScrollView::touchesEnded(touches, event);
  CGPoint p = touches.front().locationInView(this);
  for (auto& [path, cell] : shown_) {
    if (CGRectContainsPoint(cell->frame(), p)) {
      NSIndexPath hit = path;
      selectRowAtIndexPath(hit);
      if (auto d = tableDelegate()) d->tableViewDidSelectRowAtIndexPath(*this, hit);
      return;
    }
  }
  UIScrollView::touchesEnded(touches, event);
}

}  // namespace plat
