#pragma once
// UICollectionView, as far as item counts go: sections and items from a data source. It lays
// out no cells here. Main thread only.

#include <memory>

#include "platform/uikit/UIScrollView.h"

namespace plat {

class UICollectionView;

class UICollectionViewDataSource {
 public:
  virtual ~UICollectionViewDataSource() = default;
  virtual int64_t numberOfSectionsInCollectionView(UICollectionView& collectionView) { return 1; }
  virtual int64_t collectionViewNumberOfItemsInSection(UICollectionView& collectionView,
                                                       int64_t section) = 0;
};

class UICollectionView : public UIScrollView {
 public:
  explicit UICollectionView(CGRect frame = CGRectZero) : UIScrollView(frame) {}
  std::string className() const override { return "UICollectionView"; }

  std::shared_ptr<UICollectionViewDataSource> dataSource() const { return dataSource_.lock(); }
  void setDataSource(std::weak_ptr<UICollectionViewDataSource> d) { dataSource_ = std::move(d); }
  // 0 without a data source.
  int64_t numberOfSections();
  int64_t numberOfItemsInSection(int64_t section);
  void reloadData() {}

 private:
  std::weak_ptr<UICollectionViewDataSource> dataSource_;
};

}  // namespace plat
