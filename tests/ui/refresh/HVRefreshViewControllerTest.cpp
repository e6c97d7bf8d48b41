// The paged list screen: its table and controls, and how the outcome of a load (reported from
// any thread) ends the header and footer, with no more data at the last page. Writes a PNG of
// a list.

#include <gtest/gtest.h>

#include <thread>

#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIRenderer.h"
#include "tests/ui/refresh/RefreshTestSupport.h"
#include "ui/refresh/HVRefreshViewController.h"

using namespace plat;
using namespace refresh_test;

namespace {

class ListScreen : public HVRefreshViewController {
 public:
  int headerLoads = 0, footerLoads = 0;
  void tableViewDidTriggerHeaderRefresh() override { ++headerLoads; }
  void tableViewDidTriggerFooterRefresh() override { ++footerLoads; }
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t) override {
    return static_cast<int64_t>(dataSource().size());
  }
  UITableViewCellRef tableViewCellForRowAtIndexPath(UITableView& table, NSIndexPath path) override {
    auto cell = HVRefreshViewController::tableViewCellForRowAtIndexPath(table, path);
    cell->textLabel()->setText(*dataSource()[path.row].string());
    return cell;
  }
};

class HVRefreshViewControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screen = make<ListScreen>();
    window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
    window->setRootViewController(screen);
    window->makeKeyAndVisible();
    screen->tableView()->setFrame(CGRectMake(0, 0, 320, 480));
  }
  std::shared_ptr<HVRefreshFooter> footer() {
    return UIScrollView_HVRefresh::HV_footer(*screen->tableView());
  }
  std::shared_ptr<HVRefreshHeader> header() {
    return UIScrollView_HVRefresh::HV_header(*screen->tableView());
  }
  // Reports a load from a worker thread, as network completions do, and lets it settle.
  void finishFromWorker(bool isHeader, bool reload) {
    std::thread worker([&] { screen->tableViewDidFinishTriggerHeaderReload(isHeader, reload); });
    worker.join();
    testing_loop::runUntilIdle();
  }
  testing_loop::VirtualClockScope clock;
  RefreshEnvironment env;
  std::shared_ptr<ListScreen> screen;
  std::shared_ptr<UIWindow> window;
};

TEST_F(HVRefreshViewControllerTest, StartsBareAndAttachesControlsOnce) {
  EXPECT_EQ(screen->page(), 0);
  EXPECT_TRUE(screen->dataSource().empty());
  EXPECT_EQ(header(), nullptr);
  EXPECT_EQ(footer(), nullptr);
  EXPECT_EQ(screen->tableView()->superview(), screen->view());
  EXPECT_EQ(screen->tableView()->tableFooterView(), screen->defaultFooterView());
  EXPECT_EQ(screen->navTitleL()->font().pointSize(), 18);
  EXPECT_FALSE(screen->isHeaderRefreshing());

  screen->autoTriggerHeaderRefresh();
  EXPECT_EQ(screen->headerLoads, 0);
  screen->setShowRefreshHeader(true);
  ASSERT_TRUE(header());
  EXPECT_EQ(header()->accessibilityIdentifier(), "refresh_header");
  screen->autoTriggerHeaderRefresh();
  EXPECT_EQ(screen->headerLoads, 1);
  EXPECT_FALSE(header()->isRefreshing());  // no animation for the automatic first load

  screen->setShowRefreshFooter(true);
  auto first = footer();
  screen->setShowRefreshFooter(true);
  EXPECT_EQ(footer(), first);
  int footers = 0;
  for (auto& v : screen->tableView()->subviews())
    footers += std::dynamic_pointer_cast<HVRefreshFooter>(v) != nullptr;
  EXPECT_EQ(footers, 1);
  EXPECT_EQ(first->accessibilityIdentifier(), "refresh_footer");
  screen->setShowRefreshFooter(false);
  EXPECT_EQ(footer(), nullptr);
  EXPECT_EQ(first->superview(), nullptr);
  screen->setShowRefreshHeader(false);
  EXPECT_EQ(header(), nullptr);
}

TEST_F(HVRefreshViewControllerTest, ASubclassMaySupplyItsTableAndFooterView) {
  // Supplied before the view loads: the screen shows that table and attaches its controls to
  // it; the table made on first access takes the supplied footer view.
  auto own = make<ListScreen>();
  auto footerView = make<UIView>(CGRectMake(0, 0, 320, 1));
  own->setDefaultFooterView(footerView);
  EXPECT_EQ(own->defaultFooterView(), footerView);
  EXPECT_EQ(own->tableView()->tableFooterView(), footerView);

  auto table = make<UITableView>(CGRectMake(0, 0, 320, 400));
  own->setTableView(table);
  own->view();  // loads the view
  EXPECT_EQ(own->tableView(), table);
  EXPECT_EQ(table->superview(), own->view());
  own->setShowRefreshHeader(true);
  EXPECT_TRUE(UIScrollView_HVRefresh::HV_header(*table));
  own->setShowRefreshHeader(false);
}

TEST_F(HVRefreshViewControllerTest, PullingTheHeaderLoadsAndTheFinishEndsIt) {
  screen->setShowRefreshHeader(true);
  header()->beginRefreshing();
  testing_loop::advance(0.25);
  EXPECT_EQ(screen->headerLoads, 1);
  EXPECT_TRUE(screen->isHeaderRefreshing());
  screen->setPage(1);
  screen->setTotalPage(1);
  finishFromWorker(true, true);  // no footer shown: only the header ends
  EXPECT_FALSE(screen->isHeaderRefreshing());
  EXPECT_EQ(screen->tableView()->contentInset().top, 0);
}

TEST_F(HVRefreshViewControllerTest, PageRulesForHeaderAndFooterLoads) {
  screen->setShowRefreshHeader(true);
  screen->setShowRefreshFooter(true);
  auto f = std::static_pointer_cast<HVRefreshAutoNormalFooter>(footer());

  // Last page reached by a header load: no more data at once, with the list's own title.
  screen->setPage(1);
  screen->setTotalPage(1);
  finishFromWorker(true, true);
  EXPECT_EQ(f->state(), HVRefreshStateNoMoreData);
  EXPECT_EQ(f->stateLabel()->text(), "已全部加载完毕");

  // A fresh first page with more to come clears it.
  screen->setTotalPage(5);
  finishFromWorker(true, true);
  EXPECT_EQ(f->state(), HVRefreshStateIdle);

  // Footer loads: below the total returns to idle, at the total gives no more data.
  f->beginRefreshing();
  testing_loop::advance(0.5);
  EXPECT_EQ(screen->footerLoads, 1);
  screen->setPage(2);
  finishFromWorker(false, true);
  EXPECT_EQ(f->state(), HVRefreshStateIdle);
  f->beginRefreshing();
  screen->setPage(5);
  finishFromWorker(false, false);  // a failed load still ends the footer
  EXPECT_EQ(f->state(), HVRefreshStateNoMoreData);

  // An empty list is no more data at once.
  screen->setPage(1);
  screen->setTotalPage(0);
  finishFromWorker(true, true);
  EXPECT_EQ(f->state(), HVRefreshStateNoMoreData);
}

TEST_F(HVRefreshViewControllerTest, PageAndTotalAreReadWhenTheWorkRuns) {
  screen->setShowRefreshFooter(true);
  auto reloads = screen->tableView()->reloadCount();
  screen->setPage(1);
  screen->setTotalPage(1);
  std::thread worker([&] { screen->tableViewDidFinishTriggerHeaderReload(false, false); });
  worker.join();
  screen->setTotalPage(3);  // before the main queue runs the finish
  testing_loop::runUntilIdle();
  EXPECT_EQ(footer()->state(), HVRefreshStateIdle);
  EXPECT_EQ(screen->tableView()->reloadCount(), reloads);  // reload false: not reloaded
}

TEST(HVRefreshViewControllerTitleTest, TheTitleLabelShowsInTheNavigationBar) {
  testing_loop::VirtualClockScope clock;
  RefreshEnvironment env;
  auto list = make<ListScreen>();
  auto nav = UINavigationController::navigationControllerWithRootViewController(list);
  auto window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
  window->setRootViewController(nav);
  window->makeKeyAndVisible();
  ASSERT_TRUE(list->navTitleL());
  EXPECT_EQ(list->navigationItem()->titleView(), list->navTitleL());
  list->navTitleL()->setText("Coupons");  // as the list screens do in their set-up

  UIRenderer::writePNG(window, outputDir() + "list-title.png", 2);
  CGImageRef picture = UIRenderer::renderView(window, 1)->CGImage();
  CGRect title = list->navTitleL()->frame();
  EXPECT_NEAR(CGRectGetMidX(title), 160, 0.5);
  EXPECT_GT(title.size.width, 40);
  // Dark title text in the middle of the bar, none at its sides.
  auto darkBetween = [&](int x0, int x1) {
    for (int y = 10; y < 34; ++y)
      for (int x = x0; x < x1; ++x)
        if (((picture->pixelAt(x, y) >> 8) & 0xff) < 0x60) return true;
    return false;
  };
  EXPECT_TRUE(darkBetween(130, 190));
  EXPECT_FALSE(darkBetween(0, 100));
  EXPECT_FALSE(darkBetween(220, 320));
}

TEST_F(HVRefreshViewControllerTest, AListWithItsFooter) {
  for (int i = 1; i <= 6; ++i) screen->dataSource().push_back(Value("Row " + std::to_string(i)));
  screen->setPage(1);
  screen->setTotalPage(1);
  screen->setShowRefreshHeader(true);
  screen->setShowRefreshFooter(true);
  finishFromWorker(true, true);
  window->layoutIfNeeded();
  auto table = screen->tableView();
  EXPECT_EQ(table->visibleCells().size(), 6u);
  EXPECT_EQ(table->contentSize().height, 6 * 44);
  EXPECT_EQ(footer()->frame().origin.y, 6 * 44);
  auto cell = table->cellForRowAtIndexPath({0, 2});
  ASSERT_TRUE(cell);
  EXPECT_EQ(cell->reuseIdentifier(), "UITableViewCell");
  EXPECT_EQ(cell->textLabel()->text(), "Row 3");

  UIRenderer::writePNG(window, outputDir() + "list.png", 2);
  CGImageRef picture = UIRenderer::renderView(window, 1)->CGImage();
  // The no-more-data title is drawn in grey in the footer's band, the rest of it is white.
  bool grey = false;
  for (int x = 60; x < 260 && !grey; ++x) {
    uint32_t px = picture->pixelAt(x, 6 * 44 + 22);
    int r = (px >> 16) & 0xff;
    grey = r < 200;
  }
  EXPECT_TRUE(grey);
  EXPECT_EQ(picture->pixelAt(5, 6 * 44 + 40) & 0xffffff, 0xffffffu);
}

}  // namespace
