// Footers driven by drags on the virtual clock: the automatic footer's insets, trigger offsets
// and release rule, no more data, hiding, the title and indicator; the back footer's
// placement, pull threshold, insets and offsets.

#include <gtest/gtest.h>

#include "platform/uikit/UITableView.h"
#include "tests/ui/refresh/RefreshTestSupport.h"
#include "ui/refresh/HVRefreshAutoNormalFooter.h"
#include "ui/refresh/HVRefreshBackNormalFooter.h"
#include "ui/refresh/HVRefreshNormalHeader.h"

using namespace plat;
using namespace refresh_test;
using testing_uikit::DragSimulator;

namespace {

// A window showing a scroll view of 320 x 600 with a Footer attached, counting its callbacks.
template <class Footer>
class AttachedFooterTest : public ::testing::Test {
 protected:
  void attach(double contentHeight) {
    scroll = make<UIScrollView>();
    window = showInWindow(scroll);
    scroll->setContentSize({320, contentHeight});
    footer = HVRefreshFooter::footerWithRefreshingBlock<Footer>([this] { ++callbacks; });
    UIScrollView_HVRefresh::setHV_footer(*scroll, footer);
  }
  testing_loop::VirtualClockScope clock;
  RefreshEnvironment env;
  std::shared_ptr<UIScrollView> scroll;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<Footer> footer;
  int callbacks = 0;
};

using HVRefreshAutoFooterTest = AttachedFooterTest<HVRefreshAutoNormalFooter>;
using HVRefreshBackFooterTest = AttachedFooterTest<HVRefreshBackNormalFooter>;

TEST_F(HVRefreshAutoFooterTest, AttachingAddsItsHeightToTheBottomInsetAndRemovingTakesItAway) {
  attach(1000);
  EXPECT_EQ(scroll->contentInset().bottom, 44);
  EXPECT_EQ(footer->frame(), CGRectMake(0, 1000, 320, 44));
  scroll->setContentSize({320, 1200});
  EXPECT_EQ(footer->frame().origin.y, 1200);
  UIScrollView_HVRefresh::setHV_footer(*scroll, nullptr);
  EXPECT_EQ(scroll->contentInset().bottom, 0);

  auto hidden = make<HVRefreshAutoNormalFooter>();
  hidden->setHidden(true);
  UIScrollView_HVRefresh::setHV_footer(*scroll, hidden);
  EXPECT_EQ(scroll->contentInset().bottom, 0);
  EXPECT_EQ(hidden->frame().origin.y, 1200);
  hidden->setHidden(false);
  EXPECT_EQ(scroll->contentInset().bottom, 44);
  // Without a scroll view, visibility changes no inset.
  auto loose = make<HVRefreshAutoNormalFooter>();
  loose->setHidden(true);
  loose->setHidden(false);
}

TEST_F(HVRefreshAutoFooterTest, ADetachedFooterLeavesItsOldTableAlone) {
  auto table = make<UITableView>();
  window = showInWindow(table);
  footer = HVRefreshFooter::footerWithRefreshingBlock<HVRefreshAutoNormalFooter>([] {});
  footer->setAutomaticallyHidden(true);
  UIScrollView_HVRefresh::setHV_footer(*table, footer);
  ASSERT_EQ(table->contentInset().bottom, 44);
  footer->removeFromSuperview();
  EXPECT_EQ(table->contentInset().bottom, 0);
  EXPECT_FALSE(footer->scrollView());
  // Hiding and showing it no longer moves the table's inset, and its reload block went along.
  footer->setHidden(true);
  EXPECT_EQ(table->contentInset().bottom, 0);
  footer->setHidden(false);
  EXPECT_EQ(table->contentInset().bottom, 0);
  EXPECT_FALSE(UIScrollView_HVRefresh::HV_reloadDataBlock(*table));
  UIScrollView_HVRefresh::executeReloadDataBlock(*table);
  EXPECT_FALSE(footer->isHidden());

  // A footer leaving does not take a block that another footer installed since.
  auto other = make<HVRefreshAutoNormalFooter>();
  other->setAutomaticallyHidden(true);
  table->addSubview(footer);
  table->addSubview(other);
  footer->removeFromSuperview();
  UIScrollView_HVRefresh::executeReloadDataBlock(*table);
  EXPECT_TRUE(other->isHidden());
}

TEST_F(HVRefreshAutoFooterTest, MovingStraightToAnotherTableGivesTheFirstItsInsetBack) {
  auto first = make<UITableView>();
  window = showInWindow(first);
  footer = HVRefreshFooter::footerWithRefreshingBlock<HVRefreshAutoNormalFooter>([] {});
  footer->setAutomaticallyHidden(true);
  UIScrollView_HVRefresh::setHV_footer(*first, footer);
  auto second = make<UITableView>(CGRectMake(0, 0, 320, 600));
  window->addSubview(second);
  second->addSubview(footer);
  EXPECT_EQ(first->contentInset().bottom, 0);
  EXPECT_EQ(second->contentInset().bottom, 44);
  EXPECT_FALSE(UIScrollView_HVRefresh::HV_reloadDataBlock(*first));
  UIScrollView_HVRefresh::executeReloadDataBlock(*first);
  EXPECT_FALSE(footer->isHidden());
  UIScrollView_HVRefresh::executeReloadDataBlock(*second);  // an empty table
  EXPECT_TRUE(footer->isHidden());
  EXPECT_EQ(second->contentInset().bottom, 0);

  // Straight into a plain view: the table gets its inset back and keeps no reload block.
  footer->setHidden(false);
  EXPECT_EQ(second->contentInset().bottom, 44);
  auto plain = make<UIView>(CGRectMake(0, 0, 320, 100));
  window->addSubview(plain);
  plain->addSubview(footer);
  EXPECT_EQ(second->contentInset().bottom, 0);
  EXPECT_FALSE(footer->scrollView());
  EXPECT_FALSE(UIScrollView_HVRefresh::HV_reloadDataBlock(*second));
  second->setContentOffset({0, 400});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
}

TEST_F(HVRefreshAutoFooterTest, ARefreshThatEndsBeforeItsDelayAsksForNoLoad) {
  attach(1000);
  footer->beginRefreshing();
  footer->endRefreshingWithNoMoreData();  // e.g. a first page answered meanwhile
  testing_loop::advance(1);
  EXPECT_EQ(callbacks, 0);
  footer->resetNoMoreData();
  footer->beginRefreshing();
  testing_loop::advance(0.2);
  footer->endRefreshing();
  footer->beginRefreshing();
  testing_loop::advance(0.4);
  EXPECT_EQ(callbacks, 0);  // the first of the two refreshes asks for nothing
  testing_loop::advance(0.2);
  EXPECT_EQ(callbacks, 1);
}

TEST_F(HVRefreshAutoFooterTest, ReplacingAControlLeavesOneThatMovedElsewhere) {
  attach(1000);
  auto second = make<UIScrollView>();
  window->addSubview(second);
  second->addSubview(footer);  // moved by hand to another scroll view
  UIScrollView_HVRefresh::setHV_footer(*scroll, nullptr);
  EXPECT_EQ(footer->superview(), second);

  auto header = HVRefreshHeader::headerWithRefreshingBlock<HVRefreshNormalHeader>([] {});
  UIScrollView_HVRefresh::setHV_header(*scroll, header);
  second->addSubview(header);
  UIScrollView_HVRefresh::setHV_header(*scroll, nullptr);
  EXPECT_EQ(header->superview(), second);
}

TEST_F(HVRefreshAutoFooterTest, ScrollingTriggersOnceTheWholeFooterIsInViewMovingDown) {
  attach(1000);
  scroll->setContentOffset({0, 443});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  scroll->setContentOffset({0, 444});
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  EXPECT_EQ(footer->stateLabel()->text(), "Loading more...");
  EXPECT_TRUE(footer->loadingView()->isAnimating());
  testing_loop::advance(0.49);
  EXPECT_EQ(callbacks, 0);
  testing_loop::advance(0.02);
  EXPECT_EQ(callbacks, 1);
  bool ended = false;
  footer->setEndRefreshingCompletionBlock([&] { ended = true; });
  footer->endRefreshing();  // at once
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  EXPECT_TRUE(ended);
  EXPECT_FALSE(footer->loadingView()->isAnimating());

  // Moving back up through the trigger offset does not trigger.
  scroll->setContentOffset({0, 500});
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  footer->endRefreshing();
  scroll->setContentOffset({0, 444});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);

  // Half the footer in view is enough at a percent of 0.5.
  footer->setTriggerAutomaticallyRefreshPercent(0.5);
  scroll->setContentOffset({0, 300});
  scroll->setContentOffset({0, 421});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  scroll->setContentOffset({0, 422});
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  footer->endRefreshing();

  footer->setAutomaticallyRefresh(false);
  scroll->setContentOffset({0, 0});
  scroll->setContentOffset({0, 500});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
}

TEST_F(HVRefreshAutoFooterTest, ShortContentTriggersOnlyOnReleaseAtRest) {
  attach(300);
  scroll->setContentOffset({0, 50});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  DragSimulator(scroll).drag({-10});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  DragSimulator(scroll).drag({0});
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  footer->endRefreshing();
  // Long content: a drag ending at the end triggers.
  scroll->setContentSize({320, 1000});
  DragSimulator(scroll).drag({400});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  DragSimulator(scroll).drag({444});
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
}

TEST_F(HVRefreshAutoFooterTest, AnEmptyContentNeverTriggersByScrolling) {
  attach(0);
  scroll->setContentSize({320, 0});
  scroll->setContentOffset({0, 10});
  scroll->setContentOffset({0, 1000});
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
}

TEST_F(HVRefreshAutoFooterTest, NoMoreDataStopsEveryTriggerUntilReset) {
  attach(1000);
  footer->endRefreshingWithNoMoreData();
  EXPECT_EQ(footer->state(), HVRefreshStateNoMoreData);
  EXPECT_EQ(footer->stateLabel()->text(), "No more data");
  scroll->setContentOffset({0, 500});
  DragSimulator(scroll).drag({444});
  footer->stateLabelClick();
  EXPECT_EQ(footer->state(), HVRefreshStateNoMoreData);
  footer->resetNoMoreData();
  EXPECT_EQ(footer->stateLabel()->text(), "Tap or pull up to load more");
  footer->stateLabelClick();
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);

  // A tap on the title, through the window.
  footer->endRefreshing();
  window->layoutIfNeeded();
  footer->setAutomaticallyRefresh(false);
  scroll->setContentOffset({0, 444});  // the footer in view, no automatic trigger
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  CGPoint inWindow = footer->convertPointToView(CGPointMake(160, 22), nullptr);
  UITouchDriver::tap(window, inWindow);
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  UITouchDriver::resetForTesting();
}

TEST_F(HVRefreshAutoFooterTest, HidingWhileRefreshingEndsAndTakesTheInsetAway) {
  attach(1000);
  int ended = 0;
  footer->setEndRefreshingCompletionBlock([&] { ++ended; });
  footer->beginRefreshing();
  footer->setHidden(true);
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(scroll->contentInset().bottom, 0);
  footer->setHidden(true);
  EXPECT_EQ(scroll->contentInset().bottom, 0);
  scroll->setContentSize({320, 1500});
  footer->setHidden(false);
  EXPECT_EQ(scroll->contentInset().bottom, 44);
  EXPECT_EQ(footer->frame().origin.y, 1500);
}

TEST_F(HVRefreshAutoFooterTest, RefreshingTitleCanBeHiddenAndTheIndicatorCentres) {
  attach(1000);
  footer->setRefreshingTitleHidden(true);
  footer->beginRefreshing();
  EXPECT_EQ(footer->stateLabel()->text(), "");
  footer->setNeedsLayout();
  footer->layoutIfNeeded();
  EXPECT_EQ(footer->loadingView()->center(), CGPointMake(160, 22));
  footer->setRefreshingTitleHidden(false);
  footer->endRefreshing();
  footer->setNeedsLayout();
  footer->layoutIfNeeded();
  EXPECT_LT(footer->loadingView()->center().x, 160 - 25);
  footer->setTitleForState(std::nullopt, HVRefreshStateIdle);  // ignored
  EXPECT_EQ(footer->titleForState(HVRefreshStateIdle), "Tap or pull up to load more");
  EXPECT_EQ(footer->titleForState(HVRefreshStatePulling), std::nullopt);
}

TEST_F(HVRefreshBackFooterTest, LongContentPullReleaseAndEnd) {
  attach(1000);
  EXPECT_EQ(footer->heightForContentBreakView(), 400);
  EXPECT_EQ(footer->happenOffsetY(), 400);
  EXPECT_EQ(footer->frame(), CGRectMake(0, 1000, 320, 44));
  EXPECT_EQ(scroll->contentInset().bottom, 0);

  DragSimulator drag(scroll);
  drag.begin();
  drag.moveTo(422);
  EXPECT_DOUBLE_EQ(footer->pullingPercent(), 0.5);
  drag.moveTo(444);
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  drag.moveTo(444.5);
  EXPECT_EQ(footer->state(), HVRefreshStatePulling);
  EXPECT_EQ(footer->stateLabel()->text(), "Release to load more");
  drag.release();
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  EXPECT_EQ(scroll->contentInset().bottom, 44);
  EXPECT_EQ(scroll->contentOffset().y, 444);
  EXPECT_EQ(footer->lastBottomDelta(), 44);
  testing_loop::advance(0.25);
  EXPECT_EQ(callbacks, 1);

  bool ended = false;
  footer->endRefreshingWithCompletionBlock([&] { ended = true; });
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);  // deferred
  testing_loop::advance(0.4);
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  EXPECT_EQ(scroll->contentInset().bottom, 0);
  EXPECT_TRUE(ended);
}

TEST_F(HVRefreshBackFooterTest, EndingTheRefreshBringsTheListBackToItsEnd) {
  attach(1000);
  fillContent(*scroll, 1000);
  DragSimulator(scroll).drag({420, 460});
  testing_loop::advance(0.25);
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  EXPECT_FALSE(showsContentAt(window, 160, 580));  // the footer holds the bottom
  footer->endRefreshing();
  testing_loop::advance(0.4);
  testing_loop::runUntilIdle();
  EXPECT_EQ(scroll->contentInset().bottom, 0);
  EXPECT_EQ(scroll->contentOffset().y, 400);
  EXPECT_TRUE(showsContentAt(window, 160, 580));
  EXPECT_TRUE(showsContentAt(window, 160, 599));
}

// Ink of the arrow in the upper and the lower third of its frame, in a render of footer.
std::pair<int, int> arrowInk(HVRefreshBackNormalFooter& footer) {
  footer.setNeedsLayout();
  footer.layoutIfNeeded();
  auto img = UIRenderer::renderView(std::static_pointer_cast<UIView>(footer.shared_from_this()), 2)
                 ->CGImage();
  CGRect a = footer.arrowView()->frame();
  int x0 = int(a.origin.x * 2), x1 = int(CGRectGetMaxX(a) * 2);
  int y0 = int(a.origin.y * 2), h = int(a.size.height * 2);
  int upper = 0, lower = 0;
  for (int x = x0; x < x1; ++x)
    for (int y = y0; y < y0 + h; ++y) {
      if ((img->pixelAt(x, y) >> 24) < 128) continue;
      if (y < y0 + h / 3) ++upper;
      if (y >= y0 + 2 * h / 3) ++lower;
    }
  return {upper, lower};
}

TEST_F(HVRefreshBackFooterTest, TheArrowPointsUpUntilPulledAndTurnsDownWhenPulling) {
  attach(1000);
  testing_loop::runUntilIdle();
  ASSERT_TRUE(footer->arrowView()->image());
  auto [upper, lower] = arrowInk(*footer);
  EXPECT_GT(upper, 2 * lower) << "a new footer's arrow points up";
  DragSimulator drag(scroll);
  drag.drag({420, 460}, false);
  EXPECT_EQ(footer->state(), HVRefreshStatePulling);
  testing_loop::advance(0.25);
  std::tie(upper, lower) = arrowInk(*footer);
  EXPECT_GT(lower, 2 * upper) << "pulling turns it down";
  drag.moveTo(430);
  testing_loop::advance(0.25);
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
  std::tie(upper, lower) = arrowInk(*footer);
  EXPECT_GT(upper, 2 * lower) << "and back up";
  drag.release();
}

TEST_F(HVRefreshBackFooterTest, ARefreshBegunWhileTheLastOneFadesKeepsItsIndicator) {
  attach(1000);
  footer->beginRefreshing();
  testing_loop::advance(0.25);
  ASSERT_EQ(callbacks, 1);
  footer->endRefreshing();
  testing_loop::runUntilIdle();
  ASSERT_EQ(footer->state(), HVRefreshStateIdle);
  footer->beginRefreshing();  // before the 0.4 s fade of the last refresh ends
  testing_loop::advance(0.5);
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  EXPECT_TRUE(footer->loadingView()->isAnimating());
  EXPECT_TRUE(footer->arrowView()->isHidden());
  EXPECT_EQ(callbacks, 2);
}

TEST_F(HVRefreshBackFooterTest, ShortContentSitsAtTheBottomOfTheView) {
  attach(300);
  EXPECT_EQ(footer->heightForContentBreakView(), -300);
  EXPECT_EQ(footer->happenOffsetY(), 0);
  EXPECT_EQ(footer->frame().origin.y, 600);
  DragSimulator(scroll).drag({20, 50});
  EXPECT_EQ(footer->state(), HVRefreshStateRefreshing);
  EXPECT_EQ(scroll->contentInset().bottom, 344);
  EXPECT_EQ(scroll->contentOffset().y, 44);
  footer->endRefreshingWithNoMoreData();
  testing_loop::runUntilIdle();
  EXPECT_EQ(footer->state(), HVRefreshStateNoMoreData);
  EXPECT_EQ(scroll->contentInset().bottom, 0);
  EXPECT_TRUE(footer->arrowView()->isHidden());

  // In no more data a drag only moves the percent.
  DragSimulator drag(scroll);
  drag.drag({60}, false);
  EXPECT_EQ(footer->state(), HVRefreshStateNoMoreData);
  EXPECT_NEAR(footer->pullingPercent(), 60.0 / 44, 1e-9);
  drag.release();
  EXPECT_EQ(footer->state(), HVRefreshStateNoMoreData);
  footer->resetNoMoreData();
  EXPECT_EQ(footer->state(), HVRefreshStateIdle);
}

class CountingRows : public UITableViewDataSource {
 public:
  int64_t rows = 20;
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t) override { return rows; }
  UITableViewCellRef tableViewCellForRowAtIndexPath(UITableView&, NSIndexPath) override {
    return nullptr;
  }
};

TEST_F(HVRefreshBackFooterTest, EndingAfterNewRowsSettlesTheOffsetWhereItIs) {
  auto table = make<UITableView>();
  auto rows = std::make_shared<CountingRows>();
  table->setDataSource(rows);
  window = showInWindow(table);
  table->setContentSize({320, 1000});
  footer = make<HVRefreshBackNormalFooter>();
  UIScrollView_HVRefresh::setHV_footer(*table, footer);
  table->setContentSize({320, 1000});

  int offsetSets = 0;
  int64_t token = table->addObserverForKeyPath(
      "contentOffset", [&](const std::string&, const auto&, const auto&) { ++offsetSets; });
  footer->beginRefreshing();
  EXPECT_EQ(footer->lastRefreshCount(), 20);
  footer->endRefreshing();
  offsetSets = 0;
  testing_loop::runUntilIdle();
  // No new rows: the only set is the scroll view's, bringing the offset back to the end of
  // the content as the bottom inset shrinks.
  EXPECT_EQ(offsetSets, 1);
  EXPECT_EQ(table->contentOffset().y, table->maximumContentOffset().y);

  footer->beginRefreshing();
  rows->rows = 30;
  table->reloadData();
  table->setContentSize({320, 1000});
  footer->endRefreshing();
  offsetSets = 0;
  testing_loop::runUntilIdle();
  // The new rows leave the offset in range: the one set is the footer's own, where it is.
  EXPECT_EQ(offsetSets, 1);
  EXPECT_LE(table->contentOffset().y, table->maximumContentOffset().y);
  table->removeObserver(token);
}

}  // namespace
