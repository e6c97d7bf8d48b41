// The plain table: cells made at layout for the visible rows only, reuse as rows scroll out,
// lazy reloads, per-row heights, the footer view, and selection by a touch.

#include <gtest/gtest.h>

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UITableView.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"

namespace plat {
namespace {

class Source : public UITableViewDataSource, public UITableViewDelegate {
 public:
  std::vector<int64_t> rows{30};
  int made = 0, asked = 0, countQueries = 0;
  std::vector<NSIndexPath> selected;
  std::optional<double> tallRowHeight;

  int64_t numberOfSectionsInTableView(UITableView&) override {
    ++countQueries;
    return rows.size();
  }
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t s) override { return rows[s]; }
  UITableViewCellRef tableViewCellForRowAtIndexPath(UITableView& t, NSIndexPath p) override {
    ++asked;
    auto cell = t.dequeueReusableCellWithIdentifier("row");
    if (!cell) {
      ++made;
      cell = make<UITableViewCell>(UITableViewCellStyleDefault, "row");
    }
    cell->textLabel()->setText(std::to_string(p.section) + "." + std::to_string(p.row));
    return cell;
  }
  std::optional<double> tableViewHeightForRowAtIndexPath(UITableView&, NSIndexPath p) override {
    if (tallRowHeight && p.row == 0) return tallRowHeight;
    return std::nullopt;
  }
  void tableViewDidSelectRowAtIndexPath(UITableView&, NSIndexPath p) override {
    selected.push_back(p);
  }
};

class UITableViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = make<UIWindow>(CGRectMake(0, 0, 320, 440));
    window->makeKeyAndVisible();
    table = make<UITableView>(CGRectMake(0, 0, 320, 440));
    table->setDataSource(source);
    table->setDelegate(source);
    window->addSubview(table);
  }
  void TearDown() override { UITouchDriver::resetForTesting(); }
  testing_loop::VirtualClockScope clock;
  std::shared_ptr<Source> source = std::make_shared<Source>();
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UITableView> table;
};

TEST_F(UITableViewTest, MakesCellsForVisibleRowsAndReusesThemWhileScrolling) {
  EXPECT_EQ(source->asked, 0);  // nothing until layout
  window->layoutIfNeeded();
  EXPECT_EQ(table->visibleCells().size(), 10u);  // 440 / 44
  EXPECT_EQ(table->contentSize(), CGSizeMake(320, 30 * 44));
  auto first = table->cellForRowAtIndexPath({0, 0});
  ASSERT_TRUE(first);
  EXPECT_EQ(first->textLabel()->text(), "0.0");
  EXPECT_EQ(first->contentView()->className(), "UITableViewCellContentView");
  EXPECT_EQ(first->contentView()->frame(), CGRectMake(0, 0, 320, 44));

  table->setContentOffset({0, 440});
  table->layoutIfNeeded();
  EXPECT_EQ(table->visibleCells().size(), 10u);
  EXPECT_EQ(source->made, 10);  // the rows that left were handed out again
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 0}), nullptr);
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 10})->textLabel()->text(), "0.10");
  EXPECT_EQ(table->indexPathForCell(table->cellForRowAtIndexPath({0, 12}).get()),
            (NSIndexPath{0, 12}));
}

TEST_F(UITableViewTest, ReloadIsLazyAndHeightsAndFooterShapeTheContent) {
  window->layoutIfNeeded();
  int queries = source->countQueries;
  source->rows = {2, 3};
  table->reloadData();
  EXPECT_EQ(source->countQueries, queries);
  EXPECT_TRUE(table->visibleCells().empty());
  EXPECT_EQ(table->numberOfSections(), 2);
  EXPECT_EQ(table->numberOfRowsInSection(1), 3);
  EXPECT_EQ(table->numberOfRowsInSection(7), 0);
  EXPECT_EQ(source->countQueries, queries + 1);  // asked once, then cached

  source->tallRowHeight = 100;
  auto footer = make<UIView>(CGRectMake(0, 0, 10, 30));
  table->setTableFooterView(footer);
  window->layoutIfNeeded();
  EXPECT_EQ(table->rectForRowAtIndexPath({0, 0}), CGRectMake(0, 0, 320, 100));
  EXPECT_EQ(table->rectForRowAtIndexPath({1, 0}), CGRectMake(0, 144, 320, 100));
  EXPECT_EQ(table->contentSize().height, 100 + 44 + 100 + 44 + 44 + 30);
  EXPECT_EQ(footer->frame(), CGRectMake(0, 332, 320, 30));
  EXPECT_EQ(table->visibleCells().size(), 5u);

  // No data source: no rows, no crash.
  table->setDataSource({});
  window->layoutIfNeeded();
  EXPECT_EQ(table->numberOfSections(), 0);
  EXPECT_TRUE(table->visibleCells().empty());
}

TEST_F(UITableViewTest, ATouchOnACellSelectsItsRowButADragDoesNot) {
  window->layoutIfNeeded();
  UITouchDriver::tap(window, CGPointMake(100, 44 * 3 + 10));
  ASSERT_EQ(source->selected.size(), 1u);
  EXPECT_EQ(source->selected[0], (NSIndexPath{0, 3}));
  EXPECT_EQ(table->indexPathForSelectedRow(), (NSIndexPath{0, 3}));
  EXPECT_TRUE(table->cellForRowAtIndexPath({0, 3})->isSelected());

  UITouchDriver::drag(window, CGPointMake(100, 300), CGPointMake(100, 100));
  EXPECT_EQ(source->selected.size(), 1u);

  table->selectRowAtIndexPath({0, 5});  // no delegate call
  EXPECT_EQ(source->selected.size(), 1u);
  EXPECT_FALSE(table->cellForRowAtIndexPath({0, 3}) &&
               table->cellForRowAtIndexPath({0, 3})->isSelected());
  table->deselectRowAtIndexPath({0, 5});
  EXPECT_FALSE(table->indexPathForSelectedRow());
}

class Items : public UICollectionViewDataSource {
 public:
  int64_t numberOfSectionsInCollectionView(UICollectionView&) override { return 2; }
  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t s) override {
    return s == 0 ? 4 : -3;
  }
};

TEST(UICollectionViewTest, CountsFromTheDataSource) {
  auto view = make<UICollectionView>();
  EXPECT_EQ(view->numberOfSections(), 0);
  auto items = std::make_shared<Items>();
  view->setDataSource(items);
  EXPECT_EQ(view->numberOfItemsInSection(0), 4);
  EXPECT_EQ(view->numberOfItemsInSection(1), 0);  // a negative count is none
  EXPECT_EQ(view->numberOfItemsInSection(2), 0);
}

}  // namespace
}  // namespace plat
