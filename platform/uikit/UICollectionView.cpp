#include "platform/uikit/UICollectionView.h"

namespace plat {

int64_t UICollectionView::numberOfSections() {
  auto ds = dataSource();
  return ds ? std::max<int64_t>(0, ds->numberOfSectionsInCollectionView(*this)) : 0;
}

int64_t UICollectionView::numberOfItemsInSection(int64_t section) {
  auto ds = dataSource();
  if (!ds || section < 0 || section >= numberOfSections()) return 0;
  return std::max<int64_t>(0, ds->collectionViewNumberOfItemsInSection(*this, section));
}

}  // namespace plat
