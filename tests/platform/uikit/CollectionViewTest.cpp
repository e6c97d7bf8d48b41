// The collection view's flow layout with a footer, cell reuse, taps against code selection,
// visible items and scrolling to an item.

#include <gtest/gtest.h>

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"

namespace plat {
namespace {

class Grid : public UICollectionViewDataSource, public UICollectionViewDelegateFlowLayout {
 public:
  int64_t items = 40;
  int made = 0, asked = 0;
  std::optional<bool> allow;
  std::vector<std::string> calls;
  std::optional<CGSize> size;

  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t) override {
    return items;
  }
  UICollectionViewCellRef collectionViewCellForItemAtIndexPath(UICollectionView& cv,
                                                               NSIndexPath p) override {
    ++asked;
    auto cell = cv.dequeueReusableCellWithReuseIdentifierForIndexPath("Cell", p);
    cell->setTag(p.row);
    return cell;
  }
  UICollectionReusableViewRef collectionViewViewForSupplementaryElementOfKindAtIndexPath(
      UICollectionView& cv, const std::string& kind, NSIndexPath p) override {
    if (kind != UICollectionElementKindSectionFooter) return nullptr;
    return cv.dequeueReusableSupplementaryViewOfKindWithReuseIdentifierForIndexPath(kind, "Footer",
                                                                                      p);
  }
  std::optional<bool> collectionViewShouldSelectItemAtIndexPath(UICollectionView&,
                                                                NSIndexPath p) override {
    calls.push_back("should " + std::to_string(p.row));
    return allow;
  }
  void collectionViewDidSelectItemAtIndexPath(UICollectionView&, NSIndexPath p) override {
    calls.push_back("select " + std::to_string(p.row));
  }
  void collectionViewDidDeselectItemAtIndexPath(UICollectionView&, NSIndexPath p) override {
    calls.push_back("deselect " + std::to_string(p.row));
  }
  std::optional<CGSize> collectionViewLayoutSizeForItemAtIndexPath(UICollectionView&,
                                                                   UICollectionViewLayout&,
                                                                   NSIndexPath) override {
    return size;
  }
};

class UICollectionViewFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = make<UIWindow>(CGRectMake(0, 0, 375, 400));
    window->makeKeyAndVisible();
    auto layout = std::make_shared<UICollectionViewFlowLayout>();
    layout->setMinimumInteritemSpacing(2);
    layout->setMinimumLineSpacing(2);
    layout->setSectionInset({2, 2, 2, 2});
    layout->setFooterReferenceSize(CGSizeMake(0, 66));
    cv = make<UICollectionView>(CGRectMake(0, 0, 375, 400), layout);
    grid->size = CGSizeMake(91.25, 91.25);
    cv->registerCellFactory("Cell", [this] {
      ++grid->made;
      return make<UICollectionViewCell>();
    });
    cv->registerSupplementaryViewFactory(UICollectionElementKindSectionFooter, "Footer",
                                         [] { return make<UICollectionReusableView>(); });
    cv->setDataSource(grid);
    cv->setDelegate(grid);
    window->addSubview(cv);
    cv->layoutIfNeeded();
  }
  void TearDown() override { UITouchDriver::resetForTesting(); }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UICollectionView> cv;
  std::shared_ptr<Grid> grid = std::make_shared<Grid>();
};

TEST_F(UICollectionViewFlowTest, RowsOfFourWithTwoPointGapsAndTheFooterBelow) {
  EXPECT_EQ(cv->frameForItemAtIndexPath(NSIndexPathForItemInSection(0, 0)),
            CGRectMake(2, 2, 91.25, 91.25));
  EXPECT_EQ(cv->frameForItemAtIndexPath(NSIndexPathForItemInSection(3, 0)),
            CGRectMake(2 + 3 * 93.25, 2, 91.25, 91.25));
  EXPECT_EQ(cv->frameForItemAtIndexPath(NSIndexPathForItemInSection(4, 0)),
            CGRectMake(2, 95.25, 91.25, 91.25));
  // 10 rows: 2 + 10 * 91.25 + 9 * 2 + 2, then the footer of 66.
  double itemsBottom = 2 + 10 * 91.25 + 9 * 2 + 2;
  EXPECT_EQ(cv->frameForSupplementaryElementOfKind(UICollectionElementKindSectionFooter, 0),
            CGRectMake(0, itemsBottom, 375, 66));
  EXPECT_EQ(cv->contentSize(), CGSizeMake(375, itemsBottom + 66));
  EXPECT_EQ(cv->frameForItemAtIndexPath(NSIndexPathForItemInSection(40, 0)), CGRectZero);

  // A narrower item size leaves spare width, shared between the items of each row.
  grid->size = CGSizeMake(80, 80);
  cv->collectionViewLayout()->invalidateLayout();
  CGRect second = cv->frameForItemAtIndexPath(NSIndexPathForItemInSection(1, 0));
  EXPECT_NEAR(second.origin.x, 2 + 80 + (371 - 4 * 80) / 3.0, 1e-9);
  EXPECT_EQ(cv->frameForItemAtIndexPath(NSIndexPathForItemInSection(5, 0)).origin.x,
            second.origin.x);
}

TEST_F(UICollectionViewFlowTest, ShowsOnlyVisibleItemsAndReusesCellsThatScrollOut) {
  // 400 points show rows 0..4 (the fifth row starts at 374.25).
  auto visible = cv->indexPathsForVisibleItems();
  ASSERT_EQ(visible.size(), 20u);
  EXPECT_EQ(visible.back(), NSIndexPathForItemInSection(19, 0));
  EXPECT_EQ(grid->made, 20);
  EXPECT_FALSE(cv->supplementaryViewForElementKindAtIndexPath(UICollectionElementKindSectionFooter,
                                                              {0, 0}));

  cv->scrollToItemAtIndexPathAtScrollPositionAnimated(NSIndexPathForItemInSection(39, 0),
                                                      UICollectionViewScrollPositionBottom, false);
  cv->layoutIfNeeded();
  // The bottom edge of the last item lands at the bottom of the bounds.
  EXPECT_DOUBLE_EQ(cv->contentOffset().y, 2 + 10 * 91.25 + 9 * 2 - 400);
  EXPECT_EQ(cv->indexPathsForVisibleItems().back(), NSIndexPathForItemInSection(39, 0));
  EXPECT_EQ(grid->made, 20);  // the cells of the rows that left came back for the new ones
  auto cell = cv->cellForItemAtIndexPath(NSIndexPathForItemInSection(39, 0));
  ASSERT_TRUE(cell);
  EXPECT_EQ(cell->tag(), 39);
  EXPECT_EQ(cv->indexPathForCell(cell.get()), NSIndexPathForItemInSection(39, 0));

  // Top: as far as the content allows, so the footer shows too.
  cv->scrollToItemAtIndexPathAtScrollPositionAnimated(NSIndexPathForItemInSection(39, 0),
                                                      UICollectionViewScrollPositionTop, false);
  cv->layoutIfNeeded();
  EXPECT_DOUBLE_EQ(cv->contentOffset().y, cv->contentSize().height - 400);
  EXPECT_TRUE(cv->supplementaryViewForElementKindAtIndexPath(UICollectionElementKindSectionFooter,
                                                             {0, 0}));
  cv->scrollToItemAtIndexPathAtScrollPositionAnimated(NSIndexPathForItemInSection(4, 0),
                                                      UICollectionViewScrollPositionTop, false);
  EXPECT_DOUBLE_EQ(cv->contentOffset().y, 95.25);
  cv->scrollToItemAtIndexPathAtScrollPositionAnimated(NSIndexPathForItemInSection(0, 0),
                                                      UICollectionViewScrollPositionBottom, false);
  EXPECT_DOUBLE_EQ(cv->contentOffset().y, 0);  // never above the content

  // A reload asks again and keeps the cells for reuse.
  int made = grid->made;
  grid->items = 3;
  cv->reloadData();
  cv->layoutIfNeeded();
  EXPECT_EQ(cv->visibleCells().size(), 3u);
  EXPECT_EQ(grid->made, made);
}

TEST_F(UICollectionViewFlowTest, OnlyTapsCallTheSelectionHooks) {
  cv->setAllowsMultipleSelection(true);
  cv->selectItemAtIndexPathAnimatedScrollPosition(NSIndexPathForItemInSection(1, 0), false,
                                                  UICollectionViewScrollPositionNone);
  cv->deselectItemAtIndexPathAnimated(NSIndexPathForItemInSection(1, 0), false);
  cv->selectItemAtIndexPathAnimatedScrollPosition(NSIndexPathForItemInSection(2, 0), false,
                                                  UICollectionViewScrollPositionNone);
  EXPECT_TRUE(grid->calls.empty());
  EXPECT_TRUE(cv->cellForItemAtIndexPath(NSIndexPathForItemInSection(2, 0))->isSelected());

  UITouchDriver::tap(window, CGPointMake(50, 50));    // item 0
  UITouchDriver::tap(window, CGPointMake(240, 50));   // item 2: selected, so deselected
  grid->allow = false;
  UITouchDriver::tap(window, CGPointMake(330, 50));   // item 3: refused
  EXPECT_EQ(grid->calls,
            (std::vector<std::string>{"should 0", "select 0", "deselect 2", "should 3"}));
  EXPECT_EQ(cv->indexPathsForSelectedItems(),
            std::vector<NSIndexPath>{NSIndexPathForItemInSection(0, 0)});
  EXPECT_TRUE(cv->cellForItemAtIndexPath(NSIndexPathForItemInSection(0, 0))->isSelected());
  EXPECT_FALSE(cv->cellForItemAtIndexPath(NSIndexPathForItemInSection(3, 0))->isSelected());

  // Without multiple selection a tap moves the selection and says so.
  grid->calls.clear();
  grid->allow.reset();
  cv->setAllowsMultipleSelection(false);
  UITouchDriver::tap(window, CGPointMake(150, 150));  // item 5
  EXPECT_EQ(grid->calls, (std::vector<std::string>{"should 5", "deselect 0", "select 5"}));
  // A selected cell that scrolls out and back is shown selected.
  cv->setContentOffset(CGPointMake(0, 800));
  cv->layoutIfNeeded();
  cv->setContentOffset(CGPointMake(0, 0));
  cv->layoutIfNeeded();
  EXPECT_TRUE(cv->cellForItemAtIndexPath(NSIndexPathForItemInSection(5, 0))->isSelected());
  EXPECT_FALSE(cv->cellForItemAtIndexPath(NSIndexPathForItemInSection(0, 0))->isSelected());
}

}  // namespace
}  // namespace plat
