#pragma once
// UICollectionView: items in sections laid out by a vertical flow layout (rows of items,
// section insets, spacings, a section header and footer), with cells and supplementary views
// from a data source. Cells are materialised in layoutSubviews for the items inside the
// visible bounds; cells and supplementary views that scroll out (or are dropped by
// reloadData) go to a reuse queue per identifier, from which the dequeue operations hand them
// out again (or a factory registered for the identifier makes a new one).
//
// Selection: a tap on a cell asks the delegate's shouldSelect (shouldDeselect for a selected
// item with multiple selection), then changes the selection and tells the delegate. Selecting
// or deselecting in code never calls the delegate, as on the platform.
//
// Flow layout rows: as many items as fit between the section's left and right insets with at
// least minimumInteritemSpacing between them; the spare width goes evenly between the items
// of a full row, and every row of the section uses that spacing, so columns line up.
// Item sizes come from the delegate's sizeForItemAtIndexPath when it answers, else itemSize.
// Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UITableView.h"

namespace plat {

class UICollectionView;
class UICollectionViewLayout;

// Collection index paths use NSIndexPath's row as the item.
inline NSIndexPath NSIndexPathForItemInSection(int64_t item, int64_t section) {
  return {section, item};
}

inline constexpr const char* UICollectionElementKindSectionHeader =
    "UICollectionElementKindSectionHeader";
inline constexpr const char* UICollectionElementKindSectionFooter =
    "UICollectionElementKindSectionFooter";

enum UICollectionViewScrollPosition : uint64_t {
  UICollectionViewScrollPositionNone = 0,
  UICollectionViewScrollPositionTop = 1 << 0,
  UICollectionViewScrollPositionCenteredVertically = 1 << 1,
  UICollectionViewScrollPositionBottom = 1 << 2,
};

// A view the collection view places and reuses (headers, footers, and the base of cells).
class UICollectionReusableView : public UIView {
 public:
  explicit UICollectionReusableView(CGRect frame = CGRectZero) : UIView(frame) {}
  std::string className() const override { return "UICollectionReusableView"; }
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  void setReuseIdentifier(std::string id) { reuseIdentifier_ = std::move(id); }
  // Called before the view is handed out again from a reuse queue.
  virtual void prepareForReuse() {}

 private:
  std::string reuseIdentifier_;
};
using UICollectionReusableViewRef = std::shared_ptr<UICollectionReusableView>;

class UICollectionViewCell : public UICollectionReusableView {
 public:
  explicit UICollectionViewCell(CGRect frame = CGRectZero) : UICollectionReusableView(frame) {}
  void didInit() override;
  std::string className() const override { return "UICollectionViewCell"; }
  // The view that cell content goes into; it fills the cell.
  UIViewRef contentView() const { return contentView_; }
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool s) { selected_ = s; }
  void prepareForReuse() override { setSelected(false); }
  void layoutSubviews() override;

 private:
  UIViewRef contentView_;
  bool selected_ = false;
};
using UICollectionViewCellRef = std::shared_ptr<UICollectionViewCell>;

class UICollectionViewDataSource {
 public:
  virtual ~UICollectionViewDataSource() = default;
  virtual int64_t numberOfSectionsInCollectionView(UICollectionView& collectionView) { return 1; }
  virtual int64_t collectionViewNumberOfItemsInSection(UICollectionView& collectionView,
                                                       int64_t section) = 0;
  // May return nullptr: the item then shows nothing.
  virtual UICollectionViewCellRef collectionViewCellForItemAtIndexPath(
      UICollectionView& collectionView, NSIndexPath indexPath) {
    return nullptr;
  }
  // Optional: nullptr (the default) shows no header or footer.
  virtual UICollectionReusableViewRef collectionViewViewForSupplementaryElementOfKindAtIndexPath(
      UICollectionView& collectionView, const std::string& kind, NSIndexPath indexPath) {
    return nullptr;
  }
};

class UICollectionViewDelegate : public UIScrollViewDelegate {
 public:
  // Optional: std::nullopt means "not implemented" (YES).
  virtual std::optional<bool> collectionViewShouldSelectItemAtIndexPath(
      UICollectionView& collectionView, NSIndexPath indexPath) {
    return std::nullopt;
  }
  virtual std::optional<bool> collectionViewShouldDeselectItemAtIndexPath(
      UICollectionView& collectionView, NSIndexPath indexPath) {
    return std::nullopt;
  }
  virtual void collectionViewDidSelectItemAtIndexPath(UICollectionView& collectionView,
                                                      NSIndexPath indexPath) {}
  virtual void collectionViewDidDeselectItemAtIndexPath(UICollectionView& collectionView,
                                                        NSIndexPath indexPath) {}
};

// The flow layout's delegate is the collection view's delegate.
class UICollectionViewDelegateFlowLayout : public UICollectionViewDelegate {
 public:
  // Optional: std::nullopt means "not implemented" (the layout's itemSize applies).
  virtual std::optional<CGSize> collectionViewLayoutSizeForItemAtIndexPath(
      UICollectionView& collectionView, UICollectionViewLayout& layout, NSIndexPath indexPath) {
    return std::nullopt;
  }
};

class UICollectionViewLayout : public Object {
 public:
  std::string className() const override { return "UICollectionViewLayout"; }
  std::shared_ptr<UICollectionView> collectionView() const { return collectionView_.lock(); }
  // Drops the computed geometry; the collection view lays out again on its next pass.
  void invalidateLayout();
  int64_t invalidationCount() const { return invalidations_; }

 private:
  friend class UICollectionView;
  std::weak_ptr<UICollectionView> collectionView_;
  int64_t invalidations_ = 0;
};

class UICollectionViewFlowLayout : public UICollectionViewLayout {
 public:
  std::string className() const override { return "UICollectionViewFlowLayout"; }
  CGSize itemSize() const { return itemSize_; }
  void setItemSize(CGSize s) { itemSize_ = s, invalidateLayout(); }
  double minimumInteritemSpacing() const { return interitem_; }
  void setMinimumInteritemSpacing(double v) { interitem_ = v, invalidateLayout(); }
  double minimumLineSpacing() const { return line_; }
  void setMinimumLineSpacing(double v) { line_ = v, invalidateLayout(); }
  UIEdgeInsets sectionInset() const { return inset_; }
  void setSectionInset(UIEdgeInsets i) { inset_ = i, invalidateLayout(); }
  // Heights of the section header and footer (0: none asked for).
  CGSize headerReferenceSize() const { return header_; }
  void setHeaderReferenceSize(CGSize s) { header_ = s, invalidateLayout(); }
  CGSize footerReferenceSize() const { return footer_; }
  void setFooterReferenceSize(CGSize s) { footer_ = s, invalidateLayout(); }

 private:
  CGSize itemSize_{50, 50};
  double interitem_ = 10, line_ = 10;
  UIEdgeInsets inset_;
  CGSize header_, footer_;
};

class UICollectionView : public UIScrollView {
 public:
  // REQUIRES: a layout (a flow layout when none is given).
  explicit UICollectionView(CGRect frame = CGRectZero,
                            std::shared_ptr<UICollectionViewFlowLayout> layout = nullptr);
  void didInit() override;
  std::string className() const override { return "UICollectionView"; }

  std::shared_ptr<UICollectionViewFlowLayout> collectionViewLayout() const { return layout_; }
  void setCollectionViewLayout(std::shared_ptr<UICollectionViewFlowLayout> layout);
  std::shared_ptr<UICollectionViewDataSource> dataSource() const { return dataSource_.lock(); }
  void setDataSource(std::weak_ptr<UICollectionViewDataSource> d);
  std::shared_ptr<UICollectionViewDelegate> collectionDelegate() const {
    return collectionDelegate_.lock();
  }
  // Also the scroll view's delegate.
  void setDelegate(const std::shared_ptr<UICollectionViewDelegate>& d);

  // Counts from the data source (kept until reloadData); 0 without a data source.
  int64_t numberOfSections();
  int64_t numberOfItemsInSection(int64_t section);
  // Lazy: drops the counts, the geometry and the shown views; the data source is asked again
  // on the next layout or count query. The selection stays.
  void reloadData();
  int64_t reloadCount() const { return reloadCount_; }

  void registerCellFactory(const std::string& identifier,
                           std::function<UICollectionViewCellRef()> factory);
  void registerSupplementaryViewFactory(const std::string& kind, const std::string& identifier,
                                        std::function<UICollectionReusableViewRef()> factory);
  // A view of the identifier's reuse queue, else a new one from its factory, else nullptr.
  UICollectionViewCellRef dequeueReusableCellWithReuseIdentifierForIndexPath(
      const std::string& identifier, NSIndexPath indexPath);
  UICollectionReusableViewRef dequeueReusableSupplementaryViewOfKindWithReuseIdentifierForIndexPath(
      const std::string& kind, const std::string& identifier, NSIndexPath indexPath);

  // The laid-out frame of an item (CGRectZero for none) and of a supplementary view.
  CGRect frameForItemAtIndexPath(NSIndexPath indexPath);
  CGRect frameForSupplementaryElementOfKind(const std::string& kind, int64_t section);
  // The shown cell of the item, or nullptr.
  UICollectionViewCellRef cellForItemAtIndexPath(NSIndexPath indexPath) const;
  std::vector<UICollectionViewCellRef> visibleCells() const;
  // The items whose cells are shown, in order.
  std::vector<NSIndexPath> indexPathsForVisibleItems() const;
  std::optional<NSIndexPath> indexPathForCell(const UICollectionViewCell* cell) const;
  UICollectionReusableViewRef supplementaryViewForElementKindAtIndexPath(
      const std::string& kind, NSIndexPath indexPath) const;

  bool allowsSelection() const { return allowsSelection_; }
  void setAllowsSelection(bool a) { allowsSelection_ = a; }
  bool allowsMultipleSelection() const { return allowsMultiple_; }
  void setAllowsMultipleSelection(bool a);
  // In order.
  std::vector<NSIndexPath> indexPathsForSelectedItems() const {
    return {selected_.begin(), selected_.end()};
  }
  // Without telling the delegate. Without multiple selection, the other items are deselected.
  // Items past the counts are ignored. A scroll position other than None scrolls to the item.
  void selectItemAtIndexPathAnimatedScrollPosition(NSIndexPath indexPath, bool animated,
                                                   UICollectionViewScrollPosition position);
  void deselectItemAtIndexPathAnimated(NSIndexPath indexPath, bool animated);
  // Top: the item's top edge at the top of the bounds; bottom: its bottom edge at the bottom;
  // centred: its middle in the middle. Always within the content's offsets. An unknown item
  // does nothing.
  void scrollToItemAtIndexPathAtScrollPositionAnimated(NSIndexPath indexPath,
                                                       UICollectionViewScrollPosition position,
                                                       bool animated);

  void layoutSubviews() override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;

 private:
  friend class UICollectionViewLayout;
  struct SupplementaryKey {
    std::string kind;
    int64_t section;
    auto operator<=>(const SupplementaryKey&) const = default;
  };
  void ensureGeometry();
  void dropGeometry() { geometryValid_ = false; }
  void enqueue(const UICollectionReusableViewRef& view, const std::string& queueKey);
  void tapItem(NSIndexPath path);

  std::shared_ptr<UICollectionViewFlowLayout> layout_;
  std::weak_ptr<UICollectionViewDataSource> dataSource_;
  std::weak_ptr<UICollectionViewDelegate> collectionDelegate_;
  bool countsValid_ = false, geometryValid_ = false;
  std::vector<int64_t> itemsPerSection_;
  std::map<NSIndexPath, CGRect> itemRects_;
  std::map<SupplementaryKey, CGRect> supplementaryRects_;
  double geometryWidth_ = -1;
  std::map<NSIndexPath, UICollectionViewCellRef> shown_;
  std::map<SupplementaryKey, UICollectionReusableViewRef> shownSupplementary_;
  std::map<std::string, std::vector<UICollectionReusableViewRef>> reuse_;
  std::map<std::string, std::function<UICollectionViewCellRef()>> cellFactories_;
  std::map<std::string, std::function<UICollectionReusableViewRef()>> supplementaryFactories_;
  std::set<NSIndexPath> selected_;
  bool allowsSelection_ = true, allowsMultiple_ = false;
  int64_t reloadCount_ = 0;
};

}  // namespace plat
