// Headers driven by drags on the virtual clock: thresholds, release, insets during and after a
// refresh, the stored date and the last-updated text, arrow and indicator, and PNGs of the
// header's states.

#include <gtest/gtest.h>

#include "platform/foundation/NSCalendar.h"
#include "platform/uikit/UIRenderer.h"
#include "tests/ui/refresh/RefreshTestSupport.h"
#include "ui/refresh/HVRefreshNormalHeader.h"

using namespace plat;
using namespace refresh_test;
using testing_uikit::DragSimulator;

namespace {

class HVRefreshHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scroll = make<UIScrollView>();
    window = showInWindow(scroll);
    scroll->setContentSize({320, 1000});
    header =
        HVRefreshHeader::headerWithRefreshingBlock<HVRefreshNormalHeader>([this] { ++callbacks; });
    UIScrollView_HVRefresh::setHV_header(*scroll, header);
    testing_loop::runUntilIdle();
  }
  testing_loop::VirtualClockScope clock;
  RefreshEnvironment env;
  std::shared_ptr<UIScrollView> scroll;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<HVRefreshNormalHeader> header;
  int callbacks = 0;
};

TEST_F(HVRefreshHeaderTest, EndingTheRefreshScrollsTheHeaderOutOfView) {
  fillContent(*scroll, 1000);
  DragSimulator(scroll).drag({-40, -80});
  testing_loop::advance(0.25);
  testing_loop::runUntilIdle();
  EXPECT_FALSE(showsContentAt(window, 160, 27));  // the header holds the top
  EXPECT_TRUE(showsContentAt(window, 160, 60));
  header->endRefreshing();
  testing_loop::advance(0.4);
  testing_loop::runUntilIdle();
  EXPECT_EQ(scroll->contentInset().top, 0);
  EXPECT_EQ(scroll->contentOffset().y, 0);
  EXPECT_TRUE(showsContentAt(window, 160, 1));
  EXPECT_TRUE(showsContentAt(window, 160, 27));
}

TEST_F(HVRefreshHeaderTest, WithoutTheStateLabelOnlyTheIndicatorShows) {
  // As the paged list shows it: the state label hidden before the header is ever laid out.
  auto list = make<UIScrollView>();
  auto listWindow = showInWindow(list);
  listWindow->setBackgroundColor(UIColor::whiteColor());
  list->setContentSize({320, 1000});
  auto bare = HVRefreshHeader::headerWithRefreshingBlock<HVRefreshNormalHeader>([] {});
  UIScrollView_HVRefresh::setHV_header(*list, bare);
  bare->stateLabel()->setHidden(true);
  bare->beginRefreshing();
  testing_loop::advance(0.25);
  testing_loop::runUntilIdle();
  ASSERT_EQ(list->contentOffset().y, -54);
  EXPECT_EQ(bare->loadingView()->center(), CGPointMake(160, 27));
  auto img = UIRenderer::renderView(listWindow, 1)->CGImage();
  // Nothing but the spinner around the centre: no text of the time label anywhere.
  for (int y = 0; y < 54; ++y)
    for (int x = 0; x < 320; ++x)
      if (x < 140 || x > 180) ASSERT_EQ(img->pixelAt(x, y), 0xffffffffu) << x << "," << y;
  listWindow->setHidden(true);
}

TEST_F(HVRefreshHeaderTest, PullingThresholdAndPlacement) {
  EXPECT_EQ(header->frame(), CGRectMake(0, -54, 320, 54));
  DragSimulator drag(scroll);
  drag.begin();
  drag.moveTo(-27);
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
  EXPECT_DOUBLE_EQ(header->pullingPercent(), 0.5);
  drag.moveTo(-54);
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
  drag.moveTo(-54.5);
  EXPECT_EQ(header->state(), HVRefreshStatePulling);
  EXPECT_EQ(header->stateLabel()->text(), "Release to refresh");
  drag.moveTo(-54);
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
  EXPECT_EQ(header->stateLabel()->text(), "Pull down to refresh");
  drag.moveTo(10);  // not showing at all: nothing changes
  EXPECT_DOUBLE_EQ(header->pullingPercent(), 1.0);
  drag.release();
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
  EXPECT_EQ(callbacks, 0);
}

TEST_F(HVRefreshHeaderTest, ReleaseWhilePullingRefreshesAndEndingGivesTheInsetBack) {
  scroll->setContentInset({10, 0, 0, 0});
  bool ended = false;
  header->setEndRefreshingCompletionBlock([&] { ended = true; });
  DragSimulator(scroll).drag({-40, -80});
  EXPECT_EQ(header->state(), HVRefreshStateRefreshing);
  EXPECT_TRUE(header->loadingView()->isAnimating());
  EXPECT_TRUE(header->arrowView()->isHidden());
  testing_loop::runUntilIdle();
  EXPECT_EQ(scroll->contentInset().top, 64);  // captured 10 + 54
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, -64));
  EXPECT_EQ(header->insetTDelta(), -54);
  testing_loop::advance(0.24);
  EXPECT_EQ(callbacks, 0);
  testing_loop::advance(0.02);
  EXPECT_EQ(callbacks, 1);

  // While refreshing, scrolling keeps the header in view between the captured top and +54.
  scroll->setContentOffset({0, 20});
  EXPECT_EQ(scroll->contentInset().top, 10);
  EXPECT_EQ(header->insetTDelta(), 0);
  scroll->setContentOffset({0, -100});
  EXPECT_EQ(scroll->contentInset().top, 64);
  EXPECT_EQ(header->insetTDelta(), -54);

  EXPECT_FALSE(header->lastUpdatedTime());
  header->endRefreshing();
  EXPECT_EQ(header->state(), HVRefreshStateRefreshing);  // deferred
  testing_loop::runUntilIdle();
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
  ASSERT_TRUE(header->lastUpdatedTime());
  EXPECT_NEAR(header->lastUpdatedTime()->timeIntervalSinceDate(Clock::current()->date()), 0, 1);
  EXPECT_EQ(scroll->contentInset().top, 10);
  testing_loop::advance(0.4);
  EXPECT_TRUE(ended);
  EXPECT_EQ(header->pullingPercent(), 0);
  EXPECT_EQ(callbacks, 1);

  // Ending again from idle changes nothing.
  header->setLastUpdatedTimeKey("other");
  header->endRefreshing();
  testing_loop::runUntilIdle();
  EXPECT_FALSE(header->lastUpdatedTime());
  EXPECT_EQ(scroll->contentInset().top, 10);
}

TEST_F(HVRefreshHeaderTest, ReleaseWhileIdleOnlyUpdatesThePercentBelowOne) {
  DragSimulator drag(scroll);
  drag.drag({-21.6}, false);
  drag.release();
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
  EXPECT_NEAR(header->pullingPercent(), 0.0, 1e-9);  // settled back to the rest position
  header->setPullingPercent(0.7);
  scroll->setContentOffset({0, -21.6});  // not dragging: stored below 1
  EXPECT_NEAR(header->pullingPercent(), 0.4, 1e-9);
  scroll->setContentOffset({0, -60});  // 1 or more is not stored
  EXPECT_NEAR(header->pullingPercent(), 0.4, 1e-9);
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
}

TEST_F(HVRefreshHeaderTest, BeginRefreshingAnimatesAlphaAndCallsBackAfterTheInsetAnimation) {
  header->setAutomaticallyChangeAlpha(true);
  EXPECT_EQ(header->alpha(), 0);
  bool begun = false;
  header->beginRefreshingWithCompletionBlock([&] { begun = true; });
  EXPECT_EQ(header->alpha(), 1);
  auto fades = UIViewAnimationLog::recordsFor(header.get(), "opacity");
  ASSERT_FALSE(fades.empty());
  EXPECT_EQ(fades.back().duration, 0.25);
  testing_loop::advance(0.25);
  EXPECT_EQ(callbacks, 1);
  EXPECT_TRUE(begun);
  header->endRefreshing();
  testing_loop::runUntilIdle();
  EXPECT_EQ(header->alpha(), 0);  // faded with the automatic alpha
  EXPECT_EQ(scroll->contentInset().top, 0);
}

TEST_F(HVRefreshHeaderTest, ARefreshEndedBeforeItsInsetAnimationEndsAsksForNoLoad) {
  header->beginRefreshing();
  header->endRefreshing();
  testing_loop::advance(1);
  EXPECT_EQ(header->state(), HVRefreshStateIdle);
  EXPECT_EQ(callbacks, 0);
  // A new refresh begun while the first one's animation runs loads once.
  header->beginRefreshing();
  testing_loop::runUntilIdle();
  header->endRefreshing();
  testing_loop::runUntilIdle();
  header->beginRefreshing();
  testing_loop::advance(1);
  EXPECT_EQ(callbacks, 1);
}

TEST_F(HVRefreshHeaderTest, ArrowTurnsWhilePullingAndBackAfterARefresh) {
  auto arrow = header->arrowView();
  ASSERT_TRUE(arrow->image());
  DragSimulator drag(scroll);
  drag.drag({-60}, false);
  auto turns = UIViewAnimationLog::recordsFor(arrow.get(), "transform");
  ASSERT_FALSE(turns.empty());
  EXPECT_EQ(std::get<CGAffineTransform>(turns.back().to),
            CGAffineTransformMakeRotation(0.000001 - M_PI));
  EXPECT_NE(arrow->transform(), CGAffineTransformIdentity);
  drag.release();
  testing_loop::advance(0.25);
  header->endRefreshing();
  testing_loop::runUntilIdle();
  EXPECT_TRUE(CGAffineTransformIsIdentity(arrow->transform()));
  EXPECT_TRUE(arrow->isHidden());
  testing_loop::advance(0.4);
  EXPECT_FALSE(arrow->isHidden());
  EXPECT_FALSE(header->loadingView()->isAnimating());
  EXPECT_EQ(header->loadingView()->alpha(), 1);
}

TEST_F(HVRefreshHeaderTest, LastUpdatedTexts) {
  auto label = header->lastUpdatedTimeLabel();
  EXPECT_EQ(label->text(), "Last updated: Never");

  auto defaults = NSUserDefaults::standardUserDefaults();
  auto calendar = NSCalendar::calendarWithIdentifier(NSCalendarIdentifierGregorian);
  NSDateComponents now = calendar->componentsFromDate(
      NSCalendarUnitYear | NSCalendarUnitMonth | NSCalendarUnitDay, Clock::current()->date());
  auto store = [&](NSDateComponents c) {
    c.hour = 0;
    c.minute = 7;
    defaults->setObjectForKey(Value(calendar->dateFromComponents(c)), header->lastUpdatedTimeKey());
    header->setLastUpdatedTimeKey(header->lastUpdatedTimeKey());
    return label->text();
  };
  char expected[64];
  EXPECT_EQ(store(now), "Last updated: Today 00:07");

  NSDateComponents sameDayOtherMonth = now;
  sameDayOtherMonth.month = now.month == 1 ? 2 : now.month - 1;
  sameDayOtherMonth.day = std::min<int64_t>(now.day, 28);
  std::snprintf(expected, sizeof expected, "Last updated: %02d-%02d 00:07",
                int(sameDayOtherMonth.month), int(sameDayOtherMonth.day));
  EXPECT_EQ(store(sameDayOtherMonth), expected);

  NSDateComponents lastYear = now;
  lastYear.year -= 1;
  lastYear.day = std::min<int64_t>(now.day, 28);
  std::snprintf(expected, sizeof expected, "Last updated: %04d-%02d-%02d 00:07", int(lastYear.year),
                int(lastYear.month), int(lastYear.day));
  EXPECT_EQ(store(lastYear), expected);

  // Separate keys keep separate dates; a block of the caller's replaces the text.
  header->setLastUpdatedTimeKey("AnotherList");
  EXPECT_EQ(label->text(), "Last updated: Never");
  header->setLastUpdatedTimeText(
      [](std::optional<NSDate> d) { return d ? std::string("dated") : std::string("none"); });
  header->setLastUpdatedTimeKey("AnotherList");
  EXPECT_EQ(label->text(), "none");

  // A hidden time label only takes the key.
  label->setHidden(true);
  header->setLastUpdatedTimeKey(HVRefreshHeaderLastUpdatedTimeKey);
  EXPECT_EQ(label->text(), "none");
  EXPECT_EQ(header->lastUpdatedTimeKey(), HVRefreshHeaderLastUpdatedTimeKey);
}

TEST_F(HVRefreshHeaderTest, LabelLayoutAndPicturesOfTheStates) {
  header->layoutIfNeeded();
  EXPECT_EQ(header->stateLabel()->frame(), CGRectMake(0, 0, 320, 27));
  EXPECT_EQ(header->lastUpdatedTimeLabel()->frame(), CGRectMake(0, 27, 320, 27));
  // The arrow sits left of the wider text.
  double textWidth = std::max(UILabel_HVRefresh::HV_textWith(*header->stateLabel()),
                              UILabel_HVRefresh::HV_textWith(*header->lastUpdatedTimeLabel()));
  EXPECT_NEAR(header->arrowView()->center().x, 160 - textWidth / 2 - 25, 1e-9);
  EXPECT_EQ(header->arrowView()->frame().size, CGSizeMake(15, 40));

  auto pictureOf = [&](const char* name) {
    header->setBackgroundColor(UIColor::whiteColor());
    header->setNeedsLayout();
    header->layoutIfNeeded();
    UIRenderer::writePNG(header, outputDir() + "header-" + name + ".png", 2);
    return UIRenderer::renderView(header, 1)->CGImage();
  };
  CGImageRef idle = pictureOf("idle");
  // The arrow is drawn in the label's grey.
  CGPoint arrowAt = header->arrowView()->center();
  uint32_t px = idle->pixelAt(int(arrowAt.x), int(arrowAt.y));
  EXPECT_NEAR(int((px >> 16) & 0xff), 90, 30);

  DragSimulator drag(scroll);
  drag.drag({-60}, false);
  testing_loop::advance(0.25);
  pictureOf("pulling");
  drag.release();
  testing_loop::advance(0.25);
  CGImageRef refreshing = pictureOf("refreshing");
  EXPECT_EQ(header->stateLabel()->text(), "Loading...");
  // The spinner replaces the arrow.
  CGPoint spinnerAt = header->loadingView()->center();
  EXPECT_TRUE(header->arrowView()->isHidden());
  (void)refreshing;
  (void)spinnerAt;

  header->stateLabel()->setHidden(true);
  header->setNeedsLayout();
  header->layoutIfNeeded();
  EXPECT_EQ(header->arrowView()->center().x, 160);  // centred without the labels
  pictureOf("refreshing-no-label");
}

}  // namespace
