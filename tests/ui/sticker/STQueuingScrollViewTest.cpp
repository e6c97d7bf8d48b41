// The queuing scroll view under real drags on a window: neighbours, insets, the offset
// jumping back after a shift, reuse, focus notifications, and a random walk that checks no
// page ever sits in two slots or in the reuse sets while shown. Also paging of the plain
// scroll view it stands on.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"
#include "ui/sticker/STQueuingScrollView.h"

using namespace plat;

namespace {

class TestPage : public UIView, public STReusablePage {
 public:
  explicit TestPage(std::string identifier) : identifier_(std::move(identifier)) {}
  void prepareForReuse() override { ++reuses; }
  const std::string& reuseIdentifier() const override { return identifier_; }
  void setReuseIdentifier(std::string id) override { identifier_ = std::move(id); }
  bool nonreusable() const override { return nonreusable_; }
  void setNonreusable(bool n) override { nonreusable_ = n; }
  bool focused() const override { return focused_; }
  void setFocused(bool f) override { focused_ = f; }
  void didBecomeFocusPage() override { ++becameFocus; }

  int64_t index = 0;
  int reuses = 0, becameFocus = 0;

 private:
  std::string identifier_;
  bool nonreusable_ = false, focused_ = false;
};

class Pages : public STQueuingScrollViewDelegate {
 public:
  explicit Pages(int64_t count) : count(count) {}
  UIViewRef page(STQueuingScrollView& s, int64_t i) {
    if (i < 0 || i >= count) return nullptr;
    auto view = std::dynamic_pointer_cast<TestPage>(s.reusableViewWithIdentifer("page"));
    if (!view) {
      view = make<TestPage>("page");
      view->setNonreusable(nonreusable);
      ++created;
    }
    view->index = i;
    return view;
  }
  UIViewRef queuingScrollViewViewBeforeView(STQueuingScrollView& s, const UIViewRef& v) override {
    return page(s, index(v) - 1);
  }
  UIViewRef queuingScrollViewViewAfterView(STQueuingScrollView& s, const UIViewRef& v) override {
    return page(s, index(v) + 1);
  }
  void queuingScrollViewChangedFocusViewPreviousFocusView(STQueuingScrollView& s,
                                                          const UIViewRef&) override {
    focusChanges.push_back(index(s.focusView()));
  }
  void scrollViewDidEndDecelerating(UIScrollView&) override { ++settled; }
  static int64_t index(const UIViewRef& v) {
    auto p = std::dynamic_pointer_cast<TestPage>(v);
    return p ? p->index : -100;
  }

  int64_t count;
  bool nonreusable = false;
  int created = 0, settled = 0;
  std::vector<int64_t> focusChanges;
};

class QueuingTest : public ::testing::Test {
 protected:
  static constexpr double W = 320;

  void show(int64_t count, int64_t first = 0) {
    pages = std::make_shared<Pages>(count);
    window = make<UIWindow>(CGRectMake(0, 0, W, 480));
    window->makeKeyAndVisible();
    scroll = make<STQueuingScrollView>(CGRectMake(0, 100, W, 132));
    scroll->setDelegate(pages);
    window->addSubview(scroll);
    scroll->displayView(pages->page(*scroll, first));
    testing_loop::runUntilIdle();
  }
  ~QueuingTest() override {
    if (window) window->setHidden(true);
    UITouchDriver::resetForTesting();
    UIViewAnimationLog::clear();
  }
  // A finger moving `dx` points across the pager, then released and settled.
  void swipe(double dx) {
    double from = dx < 0 ? 250 : 70;
    UITouchDriver::drag(window, {from, 160}, {from + dx, 160}, 6);
    testing_loop::runUntilIdle();
    testing_loop::advance(0.3);
    testing_loop::runUntilIdle();
  }
  int64_t centre() const { return Pages::index(scroll->centerView()); }
  UIEdgeInsets insets() const { return scroll->contentInset(); }
  void checkSlots() {
    auto views = scroll->allViews();
    for (size_t i = 0; i < views.size(); ++i) {
      for (size_t j = i + 1; j < views.size(); ++j) ASSERT_NE(views[i], views[j]);
      EXPECT_EQ(views[i]->superview(), scroll);
      for (auto& [id, filed] : scroll->reusableViewSets())
        ASSERT_EQ(std::count(filed.begin(), filed.end(), views[i]), 0);
    }
    ASSERT_TRUE(scroll->centerView());
    EXPECT_EQ(scroll->contentOffset().x, W);
    if (scroll->leftView()) EXPECT_EQ(Pages::index(scroll->leftView()), centre() - 1);
    if (scroll->rightView()) EXPECT_EQ(Pages::index(scroll->rightView()), centre() + 1);
    EXPECT_EQ(!scroll->leftView(), centre() == 0);
    EXPECT_EQ(!scroll->rightView(), centre() == pages->count - 1);
  }

  testing_loop::VirtualClockScope clock;
  std::shared_ptr<Pages> pages;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<STQueuingScrollView> scroll;
};

TEST_F(QueuingTest, OnePageHasNoNeighboursAndDoesNotScroll) {
  show(1);
  EXPECT_EQ(scroll->location(), 0);
  EXPECT_EQ(insets(), (UIEdgeInsets{0, -W, 0, -W}));
  EXPECT_FALSE(scroll->leftView() || scroll->rightView());
  swipe(-170);
  EXPECT_EQ(scroll->contentOffset().x, W);
  EXPECT_EQ(centre(), 0);
  scroll->scrollToNextPageAnimated(false);
  scroll->scrollToPreviousPageAnimated(false);
  testing_loop::runUntilIdle();
  EXPECT_EQ(centre(), 0);
  EXPECT_EQ(scroll->allViews().size(), 1u);
}

TEST_F(QueuingTest, TwoPagesSwipeToTheLastAndBack) {
  show(2);
  EXPECT_EQ(scroll->location(), 1);
  EXPECT_EQ(insets(), (UIEdgeInsets{0, -W, 0, 10 * W}));
  EXPECT_EQ(scroll->centerView()->frame(), CGRectMake(W + 15, 0, W - 30, 132));
  EXPECT_EQ(scroll->rightView()->frame(), CGRectMake(2 * W + 15, 0, W - 30, 132));
  swipe(-170);
  EXPECT_EQ(pages->settled, 1);
  EXPECT_EQ(centre(), 1);
  EXPECT_EQ(Pages::index(scroll->leftView()), 0);
  EXPECT_FALSE(scroll->rightView());
  EXPECT_EQ(scroll->location(), 3);
  EXPECT_EQ(insets(), (UIEdgeInsets{0, 10 * W, 0, -W}));
  EXPECT_EQ(scroll->contentOffset().x, W);
  // Nothing lies past the last page: a swipe on stays there, a short one springs back.
  swipe(-170);
  swipe(60);
  EXPECT_EQ(centre(), 1);
  swipe(170);
  EXPECT_EQ(centre(), 0);
  EXPECT_EQ(scroll->location(), 1);
  EXPECT_EQ(pages->focusChanges, (std::vector<int64_t>{0, 1, 0}));
}

TEST_F(QueuingTest, ShiftedOutPagesAreReusedInFilingOrderButNonreusableOnesNever) {
  show(5);
  swipe(-170);
  swipe(-170);  // page 0 is filed before page 3 is asked for, and comes back as page 3
  checkSlots();
  EXPECT_EQ(centre(), 2);
  EXPECT_EQ(pages->created, 3);
  swipe(-170);  // page 1 is filed and comes back as page 4
  checkSlots();
  auto four = std::dynamic_pointer_cast<TestPage>(scroll->rightView());
  ASSERT_TRUE(four);
  EXPECT_EQ(four->reuses, 1);
  EXPECT_EQ(pages->created, 3);

  show(5);
  pages->nonreusable = true;
  scroll->displayView(pages->page(*scroll, 0));
  testing_loop::runUntilIdle();
  for (int i = 0; i < 3; ++i) swipe(-170);
  checkSlots();
  EXPECT_TRUE(scroll->reusableViewSets().empty() ||
              scroll->reusableViewSets().begin()->second.empty());
}

TEST_F(QueuingTest, FocusIsAnnouncedOncePerChange) {
  show(3, 1);
  EXPECT_EQ(scroll->location(), 2);
  size_t before = pages->focusChanges.size();
  scroll->setNeedsLayout();
  testing_loop::runUntilIdle();
  scroll->setContentOffset({W + 10, 0});
  testing_loop::runUntilIdle();
  EXPECT_EQ(pages->focusChanges.size(), before);
  // Past half a page the neighbour takes the focus before the pages shift.
  scroll->setContentOffset({1.6 * W, 0});
  testing_loop::runUntilIdle();
  ASSERT_EQ(pages->focusChanges.size(), before + 1);
  EXPECT_EQ(pages->focusChanges.back(), 2);
  EXPECT_TRUE(std::dynamic_pointer_cast<TestPage>(scroll->rightView())->focused());
}

TEST_F(QueuingTest, ProgrammaticTurnsNeedAValidOffsetAndANeighbour) {
  show(2);
  scroll->setContentOffset({W + 5, 0});
  scroll->scrollToNextPageAnimated(false);
  EXPECT_EQ(scroll->contentOffset().x, W + 5);
  scroll->setContentOffset({W, 0});
  scroll->scrollToNextPageAnimated(true);
  testing_loop::advance(0.3);
  testing_loop::runUntilIdle();
  EXPECT_EQ(centre(), 1);
  // On the last page a turn forward does nothing (the pages stay).
  scroll->scrollToNextPageAnimated(false);
  testing_loop::runUntilIdle();
  checkSlots();
  EXPECT_EQ(centre(), 1);
  scroll->scrollToPreviousPageAnimated(false);
  testing_loop::runUntilIdle();
  EXPECT_EQ(centre(), 0);
  // A pass at zero width changes nothing.
  auto narrow = make<STQueuingScrollView>();
  narrow->setDelegate(pages);
  narrow->displayView(pages->page(*narrow, 0));
  narrow->layoutIfNeeded();
  EXPECT_EQ(narrow->location(), -1);
  EXPECT_FALSE(narrow->rightView());
}

TEST_F(QueuingTest, AFiledPageShownAgainLeavesTheReuseSets) {
  show(3, 1);
  swipe(-170);  // page 0 is filed
  ASSERT_EQ(centre(), 2);
  auto filed = scroll->reusableViewSets().at("page");
  ASSERT_EQ(filed.size(), 1u);
  auto first = std::dynamic_pointer_cast<TestPage>(filed.front());
  first->index = 0;
  scroll->displayView(first);
  testing_loop::runUntilIdle();
  checkSlots();
  EXPECT_EQ(scroll->centerView(), first);
  EXPECT_EQ(Pages::index(scroll->rightView()), 1);

  // The slot setters take a filed page out of the sets as well.
  swipe(-170);
  swipe(-170);  // page 0 is filed again
  auto again = scroll->reusableViewSets().at("page");
  ASSERT_EQ(std::count(again.begin(), again.end(), first), 1);
  scroll->setLeftView(first);
  again = scroll->reusableViewSets().at("page");
  EXPECT_EQ(std::count(again.begin(), again.end(), first), 0);
}

TEST_F(QueuingTest, HandFiledPagesAndATargetOffsetDriveTheNextShift) {
  show(4, 2);
  // A page filed by hand is what the delegate gets next; shown pages are never filed.
  auto spare = make<TestPage>("page");
  scroll->setReusableViewSets({{"page", {spare, scroll->centerView()}}});
  EXPECT_EQ(scroll->reusableViewSets().at("page"), (std::vector<UIViewRef>{spare}));
  scroll->setTargetContentOffset({0, 0});
  EXPECT_EQ(scroll->targetContentOffset(), (CGPoint{0, 0}));
  scroll->locateTargetContentOffset();
  testing_loop::runUntilIdle();
  checkSlots();
  EXPECT_EQ(centre(), 1);
  EXPECT_EQ(scroll->leftView(), spare);
  EXPECT_EQ(spare->reuses, 1);
  EXPECT_EQ(scroll->location(), 2);
  scroll->setLocation(-1);
  EXPECT_EQ(scroll->location(), -1);
}

TEST_F(QueuingTest, RandomWalkNeverShowsOnePageTwiceOrFilesAShownPage) {
  show(6, 2);
  std::mt19937 rng(1234);
  for (int step = 0; step < 60; ++step) {
    switch (rng() % 4) {
      case 0:
        swipe(-170);
        break;
      case 1:
        swipe(170);
        break;
      case 2:
        scroll->scrollToNextPageAnimated(rng() % 2);
        break;
      default:
        scroll->scrollToPreviousPageAnimated(rng() % 2);
        break;
    }
    testing_loop::advance(0.3);
    testing_loop::runUntilIdle();
    ASSERT_NO_FATAL_FAILURE(checkSlots()) << "step " << step;
    EXPECT_EQ(Pages::index(scroll->focusView()), centre());
  }
  EXPECT_LE(pages->created, 4);
}

TEST(UIScrollViewPaging, DragEndsOnAPageBoundaryThenDeceleratingEnds) {
  testing_loop::VirtualClockScope clock;
  struct Delegate : UIScrollViewDelegate {
    int ended = 0;
    void scrollViewDidEndDecelerating(UIScrollView&) override { ++ended; }
  };
  auto delegate = std::make_shared<Delegate>();
  auto window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
  window->makeKeyAndVisible();
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 480));
  scroll->setContentSize({320 * 4, 480});
  scroll->setPagingEnabled(true);
  scroll->setDelegate(delegate);
  window->addSubview(scroll);
  UITouchDriver::drag(window, {250, 200}, {80, 200});
  EXPECT_EQ(scroll->contentOffset().x, 320);
  EXPECT_TRUE(scroll->isDecelerating());
  EXPECT_EQ(delegate->ended, 0);
  testing_loop::advance(0.3);
  EXPECT_EQ(delegate->ended, 1);
  EXPECT_FALSE(scroll->isDecelerating());
  // Less than half a page springs back, unless flung.
  UITouchDriver::drag(window, {250, 200}, {150, 200});
  EXPECT_EQ(scroll->contentOffset().x, 320);
  UITouchDriver::touchDown(window, {250, 200});
  UITouchDriver::touchMove(window, {230, 200});
  testing_loop::advance(0.01);
  UITouchDriver::touchMove(window, {200, 200});
  UITouchDriver::touchUp(window, {200, 200});
  EXPECT_EQ(scroll->contentOffset().x, 640);
  // An offset change marks the view for layout.
  scroll->layoutIfNeeded();
  scroll->setContentOffset({10, 0});
  EXPECT_TRUE(scroll->needsLayout());
  testing_loop::advance(0.3);
  window->setHidden(true);
  UITouchDriver::resetForTesting();
  UIViewAnimationLog::clear();
}

TEST(UIScrollViewSTAddition, MaximumOffsetOfShortContentIsMinusTheInsets) {
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 100, 100));
  scroll->setContentSize({50, 40});
  scroll->setContentInset({8, 4, 2, 1});
  EXPECT_EQ(UIScrollView_STAddition::st_maximumContentOffset(*scroll), (CGPoint{-4, -8}));
  scroll->setContentSize({300, 400});
  EXPECT_EQ(UIScrollView_STAddition::st_maximumContentOffset(*scroll), (CGPoint{201, 302}));
}

}  // namespace
