#include "platform/uikit/UICollectionView.h"

#include <algorithm>
#include <cmath>

#include "platform/uikit/UIEvent.h"

namespace plat {

namespace {
const char* const kCellQueue = "cell:";

std::string supplementaryQueue(const std::string& kind, const std::string& id) {
  return kind + ":" + id;
}
}  // namespace

// ---- UICollectionViewCell ----

void UICollectionViewCell::didInit() {
  UICollectionReusableView::didInit();
  contentView_ = make<UIView>(bounds());
  contentView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
  addSubview(contentView_);
}

void UICollectionViewCell::layoutSubviews() { contentView_->setFrame(bounds()); }

// ---- UICollectionViewLayout ----

void UICollectionViewLayout::invalidateLayout() {
  ++invalidations_;
  if (auto cv = collectionView()) {
    cv->dropGeometry();
    cv->setNeedsLayout();
  }
}

// ---- UICollectionView ----

UICollectionView::UICollectionView(CGRect frame, std::shared_ptr<UICollectionViewFlowLayout> layout)
    : UIScrollView(frame),
      layout_(layout ? std::move(layout) : std::make_shared<UICollectionViewFlowLayout>()) {}

void UICollectionView::didInit() {
  UIScrollView::didInit();
  layout_->collectionView_ = std::static_pointer_cast<UICollectionView>(shared_from_this());
}

void UICollectionView::setCollectionViewLayout(std::shared_ptr<UICollectionViewFlowLayout> layout) {
  if (!layout || layout == layout_) return;
  layout_->collectionView_.reset();
  layout_ = std::move(layout);
  layout_->collectionView_ = std::static_pointer_cast<UICollectionView>(shared_from_this());
  dropGeometry();
  setNeedsLayout();
}

void UICollectionView::setDataSource(std::weak_ptr<UICollectionViewDataSource> d) {
  dataSource_ = std::move(d);
  reloadData();
}

void UICollectionView::setDelegate(const std::shared_ptr<UICollectionViewDelegate>& d) {
  collectionDelegate_ = d;
  UIScrollView::setDelegate(d);
  dropGeometry();
  setNeedsLayout();
}

void UICollectionView::setAllowsMultipleSelection(bool a) {
  allowsMultiple_ = a;
  if (!a && selected_.size() > 1) {
    NSIndexPath keep = *selected_.rbegin();
    for (auto p : indexPathsForSelectedItems())
      if (p != keep) deselectItemAtIndexPathAnimated(p, false);
  }
}

void UICollectionView::reloadData() {
  ++reloadCount_;
  countsValid_ = false;
  geometryValid_ = false;
  auto shown = std::move(shown_);
  shown_.clear();
  for (auto& [path, cell] : shown) enqueue(cell, kCellQueue + cell->reuseIdentifier());
  auto supplementary = std::move(shownSupplementary_);
  shownSupplementary_.clear();
  for (auto& [key, view] : supplementary)
    enqueue(view, supplementaryQueue(key.kind, view->reuseIdentifier()));
  setNeedsLayout();
}

void UICollectionView::enqueue(const UICollectionReusableViewRef& view, const std::string& key) {
  view->removeFromSuperview();
  if (!view->reuseIdentifier().empty()) reuse_[key].push_back(view);
}

void UICollectionView::ensureGeometry() {
  if (!countsValid_) {
    countsValid_ = true;
    geometryValid_ = false;
    itemsPerSection_.clear();
    auto ds = dataSource();
    int64_t sections = ds ? std::max<int64_t>(0, ds->numberOfSectionsInCollectionView(*this)) : 0;
    for (int64_t s = 0; s < sections; ++s)
      itemsPerSection_.push_back(
          std::max<int64_t>(0, ds->collectionViewNumberOfItemsInSection(*this, s)));
  }
  double width = bounds().size.width;
  if (geometryValid_ && width == geometryWidth_) return;
  geometryValid_ = true;
  geometryWidth_ = width;
  itemRects_.clear();
  supplementaryRects_.clear();
  auto flowDelegate =
      std::dynamic_pointer_cast<UICollectionViewDelegateFlowLayout>(collectionDelegate());
  const auto& L = *layout_;
  UIEdgeInsets inset = L.sectionInset();
  double y = 0;
  for (int64_t s = 0; s < static_cast<int64_t>(itemsPerSection_.size()); ++s) {
    if (L.headerReferenceSize().height > 0) {
      supplementaryRects_[{UICollectionElementKindSectionHeader, s}] =
          CGRectMake(0, y, width, L.headerReferenceSize().height);
      y += L.headerReferenceSize().height;
    }
    y += inset.top;
    double left = inset.left, avail = std::max(0.0, width - inset.left - inset.right);
    std::vector<CGSize> sizes;
    for (int64_t i = 0; i < itemsPerSection_[s]; ++i) {
      CGSize size = L.itemSize();
      if (flowDelegate)
        if (auto answer = flowDelegate->collectionViewLayoutSizeForItemAtIndexPath(
                *this, *layout_, NSIndexPathForItemInSection(i, s)))
          size = *answer;
      sizes.push_back(CGSizeMake(std::max(0.0, size.width), std::max(0.0, size.height)));
    }
    // Rows: fill greedily with the minimum spacing; a full row's spare width becomes the
    // spacing of the whole section (the first row decides, as items are alike here).
    double spacing = L.minimumInteritemSpacing();
    size_t i = 0;
    bool spacingFixed = false;
    while (i < sizes.size()) {
      size_t end = i;
      double used = 0;
      while (end < sizes.size()) {
        double next = used + (end > i ? L.minimumInteritemSpacing() : 0) + sizes[end].width;
        if (end > i && next > avail + 1e-6) break;
        used = next;
        ++end;
      }
      size_t count = end - i;
      if (!spacingFixed) {
        spacingFixed = true;
        if (end < sizes.size() && count > 1) {
          double widths = 0;
          for (size_t k = i; k < end; ++k) widths += sizes[k].width;
          spacing = (avail - widths) / double(count - 1);
        }
      }
      double x = left, rowHeight = 0;
      for (size_t k = i; k < end; ++k) {
        itemRects_[NSIndexPathForItemInSection(int64_t(k), s)] =
            CGRectMake(x, y, sizes[k].width, sizes[k].height);
        x += sizes[k].width + spacing;
        rowHeight = std::max(rowHeight, sizes[k].height);
      }
      y += rowHeight;
      i = end;
      if (i < sizes.size()) y += L.minimumLineSpacing();
    }
    y += inset.bottom;
    if (L.footerReferenceSize().height > 0) {
      supplementaryRects_[{UICollectionElementKindSectionFooter, s}] =
          CGRectMake(0, y, width, L.footerReferenceSize().height);
      y += L.footerReferenceSize().height;
    }
  }
  if (contentSize() != CGSizeMake(width, y)) setContentSize(CGSizeMake(width, y));
}

int64_t UICollectionView::numberOfSections() {
  ensureGeometry();
  return static_cast<int64_t>(itemsPerSection_.size());
}

int64_t UICollectionView::numberOfItemsInSection(int64_t section) {
  ensureGeometry();
  if (section < 0 || section >= static_cast<int64_t>(itemsPerSection_.size())) return 0;
  return itemsPerSection_[section];
}

void UICollectionView::registerCellFactory(const std::string& identifier,
                                           std::function<UICollectionViewCellRef()> factory) {
  cellFactories_[identifier] = std::move(factory);
}

void UICollectionView::registerSupplementaryViewFactory(
    const std::string& kind, const std::string& identifier,
    std::function<UICollectionReusableViewRef()> factory) {
  supplementaryFactories_[supplementaryQueue(kind, identifier)] = std::move(factory);
}

UICollectionViewCellRef UICollectionView::dequeueReusableCellWithReuseIdentifierForIndexPath(
    const std::string& identifier, NSIndexPath) {
  auto it = reuse_.find(kCellQueue + identifier);
  if (it != reuse_.end() && !it->second.empty()) {
    auto cell = std::static_pointer_cast<UICollectionViewCell>(it->second.back());
    it->second.pop_back();
    cell->prepareForReuse();
    return cell;
  }
  auto f = cellFactories_.find(identifier);
  if (f == cellFactories_.end() || !f->second) return nullptr;
  auto cell = f->second();
  if (cell) cell->setReuseIdentifier(identifier);
  return cell;
}

UICollectionReusableViewRef
UICollectionView::dequeueReusableSupplementaryViewOfKindWithReuseIdentifierForIndexPath(
    const std::string& kind, const std::string& identifier, NSIndexPath) {
  std::string key = supplementaryQueue(kind, identifier);
  auto it = reuse_.find(key);
  if (it != reuse_.end() && !it->second.empty()) {
    auto view = it->second.back();
    it->second.pop_back();
    view->prepareForReuse();
    return view;
  }
  auto f = supplementaryFactories_.find(key);
  if (f == supplementaryFactories_.end() || !f->second) return nullptr;
  auto view = f->second();
  if (view) view->setReuseIdentifier(identifier);
  return view;
}

CGRect UICollectionView::frameForItemAtIndexPath(NSIndexPath indexPath) {
  ensureGeometry();
  auto it = itemRects_.find(indexPath);
  return it == itemRects_.end() ? CGRectZero : it->second;
}

CGRect UICollectionView::frameForSupplementaryElementOfKind(const std::string& kind,
                                                            int64_t section) {
  ensureGeometry();
  auto it = supplementaryRects_.find({kind, section});
  return it == supplementaryRects_.end() ? CGRectZero : it->second;
}

UICollectionViewCellRef UICollectionView::cellForItemAtIndexPath(NSIndexPath indexPath) const {
  auto it = shown_.find(indexPath);
  return it == shown_.end() ? nullptr : it->second;
}

std::vector<UICollectionViewCellRef> UICollectionView::visibleCells() const {
  std::vector<UICollectionViewCellRef> out;
  for (auto& [path, cell] : shown_) out.push_back(cell);
  return out;
}

std::vector<NSIndexPath> UICollectionView::indexPathsForVisibleItems() const {
  std::vector<NSIndexPath> out;
  for (auto& [path, cell] : shown_) out.push_back(path);
  return out;
}

std::optional<NSIndexPath> UICollectionView::indexPathForCell(const UICollectionViewCell* cell) const {
  for (auto& [path, shown] : shown_)
    if (shown.get() == cell) return path;
  return std::nullopt;
}

UICollectionReusableViewRef UICollectionView::supplementaryViewForElementKindAtIndexPath(
    const std::string& kind, NSIndexPath indexPath) const {
  auto it = shownSupplementary_.find({kind, indexPath.section});
  return it == shownSupplementary_.end() ? nullptr : it->second;
}

void UICollectionView::selectItemAtIndexPathAnimatedScrollPosition(
    NSIndexPath indexPath, bool animated, UICollectionViewScrollPosition position) {
  if (indexPath.row < 0 || indexPath.row >= numberOfItemsInSection(indexPath.section)) return;
  if (!allowsMultiple_)
    for (auto p : indexPathsForSelectedItems())
      if (p != indexPath) deselectItemAtIndexPathAnimated(p, false);
  selected_.insert(indexPath);
  if (auto cell = cellForItemAtIndexPath(indexPath)) cell->setSelected(true);
  if (position != UICollectionViewScrollPositionNone)
    scrollToItemAtIndexPathAtScrollPositionAnimated(indexPath, position, animated);
}

void UICollectionView::deselectItemAtIndexPathAnimated(NSIndexPath indexPath, bool) {
  if (!selected_.erase(indexPath)) return;
  if (auto cell = cellForItemAtIndexPath(indexPath)) cell->setSelected(false);
}

void UICollectionView::scrollToItemAtIndexPathAtScrollPositionAnimated(
    NSIndexPath indexPath, UICollectionViewScrollPosition position, bool animated) {
  ensureGeometry();
  auto it = itemRects_.find(indexPath);
  if (it == itemRects_.end()) return;
  CGRect r = it->second;
  double h = bounds().size.height, y = contentOffset().y;
  if (position & UICollectionViewScrollPositionTop)
    y = r.origin.y;
  else if (position & UICollectionViewScrollPositionBottom)
    y = CGRectGetMaxY(r) - h;
  else if (position & UICollectionViewScrollPositionCenteredVertically)
    y = CGRectGetMidY(r) - h / 2;
  CGPoint lo = minimumContentOffset(), hi = maximumContentOffset();
  y = std::max(lo.y, std::min(y, std::max(lo.y, hi.y)));
  setContentOffsetAnimated(CGPointMake(contentOffset().x, y), animated);
}

void UICollectionView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  ensureGeometry();
  CGRect visible = bounds();
  for (auto it = shown_.begin(); it != shown_.end();) {
    auto rect = itemRects_.find(it->first);
    if (rect == itemRects_.end() || !CGRectIntersectsRect(rect->second, visible)) {
      enqueue(it->second, kCellQueue + it->second->reuseIdentifier());
      it = shown_.erase(it);
    } else {
      it->second->setFrame(rect->second);
      ++it;
    }
  }
  for (auto it = shownSupplementary_.begin(); it != shownSupplementary_.end();) {
    auto rect = supplementaryRects_.find(it->first);
    if (rect == supplementaryRects_.end() || !CGRectIntersectsRect(rect->second, visible)) {
      enqueue(it->second, supplementaryQueue(it->first.kind, it->second->reuseIdentifier()));
      it = shownSupplementary_.erase(it);
    } else {
      it->second->setFrame(rect->second);
      ++it;
    }
  }
  auto ds = dataSource();
  if (!ds) return;
  for (auto& [path, rect] : itemRects_) {
    if (rect.size.height <= 0 || rect.size.width <= 0 || !CGRectIntersectsRect(rect, visible) ||
        shown_.count(path))
      continue;
    auto cell = ds->collectionViewCellForItemAtIndexPath(*this, path);
    if (!cell) continue;
    cell->setFrame(rect);
    cell->setSelected(selected_.count(path) > 0);
    insertSubviewAtIndex(cell, 0);
    shown_[path] = cell;
  }
  for (auto& [key, rect] : supplementaryRects_) {
    if (!CGRectIntersectsRect(rect, visible) || shownSupplementary_.count(key)) continue;
    auto view = ds->collectionViewViewForSupplementaryElementOfKindAtIndexPath(
        *this, key.kind, NSIndexPathForItemInSection(0, key.section));
    if (!view) continue;
    view->setFrame(rect);
    addSubview(view);
    shownSupplementary_[key] = view;
  }
}

void UICollectionView::tapItem(NSIndexPath path) {
  auto delegate = collectionDelegate();
  if (allowsMultiple_ && selected_.count(path)) {
    if (delegate)
      if (auto ok = delegate->collectionViewShouldDeselectItemAtIndexPath(*this, path); ok && !*ok)
        return;
    deselectItemAtIndexPathAnimated(path, true);
    if (delegate) delegate->collectionViewDidDeselectItemAtIndexPath(*this, path);
    return;
  }
  if (delegate)
    if (auto ok = delegate->collectionViewShouldSelectItemAtIndexPath(*this, path); ok && !*ok)
      return;
  if (!allowsMultiple_) {
    for (auto p : indexPathsForSelectedItems()) {
      if (p == path) continue;
      deselectItemAtIndexPathAnimated(p, true);
      if (delegate) delegate->collectionViewDidDeselectItemAtIndexPath(*this, p);
    }
  }
  selected_.insert(path);
  if (auto cell = cellForItemAtIndexPath(path)) cell->setSelected(true);
  if (delegate) delegate->collectionViewDidSelectItemAtIndexPath(*this, path);
}

void UICollectionView::touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (touches.empty() || !allowsSelection_ || isDragging())
    return UIScrollView::touchesEnded(touches, event);
  CGPoint p = touches.front().locationInView(this);
  for (auto& [path, cell] : shown_) {
    if (CGRectContainsPoint(cell->frame(), p)) {
      NSIndexPath hit = path;  // the delegate may reload and drop the entry
      auto keep = cell;
      tapItem(hit);
      return;
    }
  }
  UIScrollView::touchesEnded(touches, event);
}

}  // namespace plat
