// The dropdown menu in a nested superview of a key window: unfolding and folding on the
// clock with the delegate's order, row, cover and main-button taps, a menu without data
// source, taps during the animations, frames set while open, a menu removed or destroyed
// while open, and pictures closed and open.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <utility>

#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIRenderer.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "ui/dropdown/HVDropdownMenu.h"

using namespace plat;

namespace {

struct Options : HVDropdownMenuDataSource {
  std::vector<std::string> titles{"Newest", "Hottest"};
  uint64_t numberOfOptionsInDropdownMenu(HVDropdownMenu&) override { return titles.size(); }
  double dropdownMenuHeightForOptionAtIndex(HVDropdownMenu&, uint64_t) override { return 30; }
  std::string dropdownMenuTitleForOptionAtIndex(HVDropdownMenu&, uint64_t i) override {
    return titles.at(i);
  }
};

struct Events : HVDropdownMenuDelegate {
  std::vector<std::string> log;
  // Run once from inside the named callback, then cleared.
  std::function<void(HVDropdownMenu&)> onWillShow, onWillHide;
  void dropdownMenuWillShow(HVDropdownMenu& m) override {
    log.push_back("willShow");
    if (auto f = std::exchange(onWillShow, nullptr)) f(m);
  }
  void dropdownMenuDidShow(HVDropdownMenu&) override { log.push_back("didShow"); }
  void dropdownMenuWillHidden(HVDropdownMenu& m) override {
    log.push_back("willHide");
    if (auto f = std::exchange(onWillHide, nullptr)) f(m);
  }
  void dropdownMenuDidHidden(HVDropdownMenu&) override { log.push_back("didHide"); }
  void dropdownMenuDidSelectOptionAtIndexOptionTitle(HVDropdownMenu&, uint64_t i,
                                                     const std::string& t) override {
    log.push_back("select " + std::to_string(i) + " " + t);
  }
};

class DropdownTest : public ::testing::Test {
 protected:
  DropdownTest() {
    window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
    window->makeKeyAndVisible();
    UIApplication::sharedApplication().setKeyWindow(window);
    outer = make<UIView>(CGRectMake(20, 100, 280, 200));
    inner = make<UIView>(CGRectMake(10, 20, 200, 100));
    window->addSubview(outer);
    outer->addSubview(inner);
    menu = make<HVDropdownMenu>();
    menu->setFrame(CGRectMake(100, 10, 80, 30));
    menu->setDataSource(options);
    menu->setDelegate(events);
    menu->setTitle("Sort");
    menu->setTitleColor(UIColor::darkGrayColor());
    menu->setOptionBgColor(UIColor::colorWithWhiteAlpha(240 / 255.0, 1));
    menu->setOptionIconSize({1, 1});
    inner->addSubview(menu);
    testing_loop::runUntilIdle();
  }
  ~DropdownTest() override {
    window->setHidden(true);
    UIApplication::sharedApplication().resetForTesting();
    UITouchDriver::resetForTesting();
    UIViewAnimationLog::clear();
  }
  void settle() {
    testing_loop::advance(0.25);
    testing_loop::runUntilIdle();
  }
  CGPoint button() { return {130 + 40, 130 + 15}; }  // the menu's centre in the window
  size_t coversOnWindow() {
    size_t n = 0;
    for (auto& v : window->subviews())
      if (v != outer) ++n;
    return n;
  }

  testing_loop::VirtualClockScope clock;
  std::shared_ptr<Options> options = std::make_shared<Options>();
  std::shared_ptr<Events> events = std::make_shared<Events>();
  std::shared_ptr<UIWindow> window;
  UIViewRef outer, inner;
  std::shared_ptr<HVDropdownMenu> menu;
};

TEST_F(DropdownTest, OpensAtTheWindowPositionAndFoldsBackIntoTheMenu) {
  menu->layer()->setBorderWidth(1);
  menu->layer()->setCornerRadius(4);
  UITouchDriver::tap(window, button());
  EXPECT_TRUE(menu->isOpened());
  EXPECT_TRUE(menu->mainBtn()->isSelected());
  EXPECT_EQ(events->log, (std::vector<std::string>{"willShow"}));
  settle();
  EXPECT_EQ(events->log.back(), "didShow");
  EXPECT_EQ(menu->floatView()->superview(), menu->coverView());
  EXPECT_EQ(menu->floatView()->frame(), CGRectMake(130, 130, 80, 90));
  EXPECT_EQ(menu->optionsList()->frame(), CGRectMake(0, 30, 80, 60));
  EXPECT_EQ(menu->listHeight(), 60);
  EXPECT_EQ(menu->floatView()->layer()->cornerRadius(), 4);
  EXPECT_EQ(menu->floatView()->layer()->borderWidth(), 1);
  EXPECT_NEAR(std::atan2(menu->arrowMark()->transform().b, menu->arrowMark()->transform().a), M_PI,
              1e-9);
  // Turned in place: the arrow keeps its slot 7.5 from the right edge.
  EXPECT_EQ(menu->arrowMark()->center(), (CGPoint{80 - 7.5 - 7.5, 15}));
  EXPECT_EQ(menu->arrowMark()->bounds(), CGRectMake(0, 0, 15, 15));
  auto label = std::dynamic_pointer_cast<UILabel>(
      menu->optionsList()->cellForRowAtIndexPath({0, 1})->viewWithTag(
          HVDropdownMenu::kTitleLabelTag));
  ASSERT_TRUE(label);
  EXPECT_EQ(label->text(), "Hottest");
  EXPECT_EQ(label->frame(), CGRectMake(15, 0, 80 - 30 - 1, 30));

  // The main button's own tap folds it, although the cover's tap sits above it.
  UITouchDriver::tap(window, button());
  EXPECT_FALSE(menu->mainBtn()->isSelected());
  settle();
  EXPECT_EQ(events->log, (std::vector<std::string>{"willShow", "didShow", "willHide", "didHide"}));
  EXPECT_FALSE(menu->isOpened());
  EXPECT_FALSE(menu->hasCoverView());
  EXPECT_EQ(coversOnWindow(), 0u);
  EXPECT_EQ(menu->floatView()->superview(), menu);
  EXPECT_EQ(menu->floatView()->frame(), CGRectMake(0, 0, 80, 30));
  EXPECT_EQ(menu->optionsList()->frame().size.height, 0);
}

TEST_F(DropdownTest, ARowTapChoosesItAndACoverTapFoldsWithoutAChoice) {
  UITouchDriver::tap(window, button());
  settle();
  UITouchDriver::tap(window, {150, 130 + 30 + 45});  // second row
  EXPECT_EQ(menu->title(), "Hottest");
  EXPECT_EQ(menu->mainBtn()->currentTitle(), "Hottest");
  settle();
  EXPECT_EQ(events->log, (std::vector<std::string>{"willShow", "didShow", "select 1 Hottest",
                                                   "willHide", "didHide"}));
  events->log.clear();
  UITouchDriver::tap(window, button());
  settle();
  UITouchDriver::tap(window, {20, 400});
  settle();
  EXPECT_EQ(events->log, (std::vector<std::string>{"willShow", "didShow", "willHide", "didHide"}));
  EXPECT_EQ(menu->title(), "Hottest");
  EXPECT_EQ(coversOnWindow(), 0u);
}

TEST_F(DropdownTest, WorksWithoutDataSourceOrDelegate) {
  menu->setDataSource({});
  menu->setDelegate({});
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_EQ(menu->floatView()->frame().size.height, 30);
  EXPECT_TRUE(menu->arrowMark()->transform() != CGAffineTransformIdentity);
  UITouchDriver::tap(window, {20, 400});
  settle();
  EXPECT_FALSE(menu->isOpened());
}

TEST_F(DropdownTest, TapsDuringTheAnimationsNeverLeaveAHalfOpenList) {
  UITouchDriver::tap(window, button());
  UITouchDriver::tap(window, button());  // fold while unfolding
  testing_loop::advance(0.1);
  UITouchDriver::tap(window, button());  // reopen while folding
  settle();
  settle();
  EXPECT_TRUE(menu->isOpened());
  EXPECT_TRUE(menu->mainBtn()->isSelected());
  EXPECT_EQ(menu->floatView()->superview(), menu->coverView());
  EXPECT_EQ(menu->floatView()->frame().size.height, 90);
  EXPECT_EQ(events->log.back(), "didShow");
  EXPECT_EQ(std::count(events->log.begin(), events->log.end(), "didHide"), 0);
  // Show while open and hide while closed do nothing.
  size_t logged = events->log.size();
  menu->showDropDown();
  EXPECT_EQ(events->log.size(), logged);
  menu->hideDropDown();
  settle();
  menu->hideDropDown();
  EXPECT_EQ(events->log.back(), "didHide");
  EXPECT_EQ(events->log.size(), logged + 2);
}

TEST_F(DropdownTest, ADelegateCallingBackFromItsCallbacksLeavesAWorkingMenu) {
  // Folded from inside willShow: closed, button not selected, and the next tap opens it.
  events->onWillShow = [](HVDropdownMenu& m) { m.hideDropDown(); };
  UITouchDriver::tap(window, button());
  EXPECT_FALSE(menu->mainBtn()->isSelected());
  settle();
  EXPECT_EQ(events->log, (std::vector<std::string>{"willShow", "willHide", "didHide"}));
  EXPECT_FALSE(menu->isOpened());
  EXPECT_FALSE(menu->mainBtn()->isSelected());
  EXPECT_EQ(coversOnWindow(), 0u);
  EXPECT_EQ(menu->floatView()->superview(), menu);
  events->log.clear();
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_EQ(events->log, (std::vector<std::string>{"willShow", "didShow"}));
  EXPECT_TRUE(menu->isOpened());
  EXPECT_TRUE(menu->mainBtn()->isSelected());
  EXPECT_EQ(menu->floatView()->frame().size.height, 90);

  // Reopened from inside willHide: open, unfolded, button selected; the next tap folds it.
  events->log.clear();
  events->onWillHide = [](HVDropdownMenu& m) { m.showDropDown(); };
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_EQ(events->log, (std::vector<std::string>{"willHide", "willShow", "didShow"}));
  EXPECT_TRUE(menu->isOpened());
  EXPECT_TRUE(menu->mainBtn()->isSelected());
  EXPECT_EQ(menu->floatView()->frame().size.height, 90);
  EXPECT_EQ(coversOnWindow(), 1u);
  events->log.clear();
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_EQ(events->log, (std::vector<std::string>{"willHide", "didHide"}));
  EXPECT_FALSE(menu->isOpened());
  EXPECT_FALSE(menu->mainBtn()->isSelected());
  EXPECT_EQ(coversOnWindow(), 0u);

  // Nested both ways: the innermost call decides.
  events->log.clear();
  events->onWillShow = [](HVDropdownMenu& m) { m.hideDropDown(); };
  events->onWillHide = [](HVDropdownMenu& m) { m.showDropDown(); };
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_TRUE(menu->isOpened());
  EXPECT_TRUE(menu->mainBtn()->isSelected());
  EXPECT_EQ(menu->floatView()->frame().size.height, 90);
  EXPECT_EQ(events->log.back(), "didShow");
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_FALSE(menu->isOpened());
  EXPECT_EQ(coversOnWindow(), 0u);
}

TEST_F(DropdownTest, FramesWaitForTheFoldAndRowsBeyondTheMeasuredOnesAreAsked) {
  UITouchDriver::tap(window, button());
  settle();
  menu->setFrame(CGRectMake(0, 0, 120, 40));
  EXPECT_EQ(menu->floatView()->frame(), CGRectMake(130, 130, 80, 90));
  // A grown list shows its new row at the data source's height.
  options->titles.push_back("Oldest");
  menu->reloadOptionsData();
  auto cell = menu->tableViewCellForRowAtIndexPath(*menu->optionsList(), {0, 2});
  EXPECT_EQ(cell->viewWithTag(HVDropdownMenu::kTitleLabelTag)->frame().size.height, 30);
  menu->hideDropDown();
  settle();
  EXPECT_EQ(menu->frame(), CGRectMake(0, 0, 120, 40));
  EXPECT_EQ(menu->mainBtn()->frame(), CGRectMake(0, 0, 120, 40));

  // No key window: no opening.
  UIApplication::sharedApplication().setKeyWindow(nullptr);
  menu->showDropDown();
  EXPECT_FALSE(menu->isOpened());
  EXPECT_TRUE(events->log.empty() || events->log.back() == "didHide");
}

TEST_F(DropdownTest, RemovedOrDestroyedWhileOpenTakesTheCoverAway) {
  UITouchDriver::tap(window, button());
  settle();
  menu->removeFromSuperview();
  EXPECT_EQ(coversOnWindow(), 0u);
  EXPECT_FALSE(menu->isOpened());
  EXPECT_EQ(menu->floatView()->superview(), menu);

  inner->addSubview(menu);
  UITouchDriver::tap(window, button());
  settle();
  ASSERT_EQ(coversOnWindow(), 1u);
  auto list = menu->optionsList();
  menu->removeFromSuperview();
  inner->addSubview(menu);
  UITouchDriver::tap(window, button());
  std::weak_ptr<HVDropdownMenu> weak = menu;
  menu.reset();
  // The float view in the cover still holds the button, the button only weakly the menu.
  inner->subviews().back()->removeFromSuperview();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(coversOnWindow(), 0u);
  settle();
}

TEST_F(DropdownTest, AnAbsurdCountOrHeightFromTheDataSourceIsBounded) {
  struct Wild : HVDropdownMenuDataSource {
    uint64_t count = uint64_t(-1);
    double height = 30;
    uint64_t numberOfOptionsInDropdownMenu(HVDropdownMenu&) override { return count; }
    double dropdownMenuHeightForOptionAtIndex(HVDropdownMenu&, uint64_t i) override {
      return i == 0 ? height : 0.01;
    }
    std::string dropdownMenuTitleForOptionAtIndex(HVDropdownMenu&, uint64_t i) override {
      return "Option " + std::to_string(i);
    }
  };
  auto wild = std::make_shared<Wild>();
  menu->setDataSource(wild);
  menu->showDropDown();
  settle();
  EXPECT_EQ(menu->cellHeights().size(), HVDropdownMenu::kMaxOptionCount);
  EXPECT_EQ(menu->optionsList()->numberOfRowsInSection(0),
            int64_t(HVDropdownMenu::kMaxOptionCount));
  menu->hideDropDown();
  settle();

  for (double bad : {-500.0, std::nan(""), HUGE_VAL}) {
    wild->count = 1;
    wild->height = bad;
    menu->showDropDown();
    settle();
    EXPECT_EQ(menu->listHeight(), 0) << bad;
    EXPECT_EQ(menu->floatView()->frame().size.height, 30) << bad;
    menu->hideDropDown();
    settle();
  }
}

TEST_F(DropdownTest, SettersMapAlignmentAndPlaceTheArrow) {
  menu->setTitleAlignment(1);
  EXPECT_EQ(menu->mainBtn()->contentHorizontalAlignment(),
            UIControlContentHorizontalAlignmentCenter);
  menu->setTitleAlignment(2);
  EXPECT_EQ(menu->mainBtn()->contentHorizontalAlignment(),
            UIControlContentHorizontalAlignmentRight);
  menu->setTitleAlignment(3);
  EXPECT_EQ(menu->titleAlignment(), 3);
  EXPECT_EQ(menu->mainBtn()->contentHorizontalAlignment(),
            UIControlContentHorizontalAlignmentRight);
  menu->setTitleAlignment(0);
  EXPECT_EQ(menu->mainBtn()->contentHorizontalAlignment(), UIControlContentHorizontalAlignmentLeft);
  menu->setRotateIconRight(3);
  menu->setRotateIconSize({10, 10});
  EXPECT_EQ(menu->arrowMark()->frame(), CGRectMake(67, 10, 10, 10));
  menu->setRotateIconRight(0);
  menu->setRotateIconSize({15, 15});
  EXPECT_EQ(menu->arrowMark()->frame(), CGRectMake(57.5, 7.5, 15, 15));
  EXPECT_EQ(menu->title(), "Sort");
}

TEST_F(DropdownTest, ACoverReadWhileClosedOrReplacedWhileOpenNeverStaysOverTheWindow) {
  // Read while closed: nothing over the window yet, and the next tap opens the list in it.
  auto cover = menu->coverView();
  EXPECT_EQ(coversOnWindow(), 0u);
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_TRUE(menu->isOpened());
  EXPECT_EQ(menu->floatView()->superview().get(), cover.get());
  // Another cover stored while open: the one in the window still folds the list and goes.
  menu->setCoverView(make<UIView>());
  UITouchDriver::tap(window, {20, 400});
  settle();
  EXPECT_FALSE(menu->isOpened());
  EXPECT_EQ(coversOnWindow(), 0u);
  // Dropped while open and read again: both covers go with the fold.
  menu->showDropDown();
  menu->setCoverView(nullptr);
  menu->coverView();
  EXPECT_EQ(coversOnWindow(), 2u);
  menu->hideDropDown();
  settle();
  EXPECT_EQ(coversOnWindow(), 0u);
  EXPECT_FALSE(menu->hasCoverView());
}

TEST_F(DropdownTest, PartsReplacedOrDroppedKeepTheMenuWorking) {
  // A button stored while open: the fold clears the one the opening selected too, and the old
  // button still opens and folds the list, whichever of them shows the state.
  menu->showDropDown();
  auto old = menu->mainBtn();
  menu->setMainBtn(UIButton::buttonWithType(UIButtonTypeCustom));
  menu->hideDropDown();
  settle();
  EXPECT_FALSE(old->isSelected());
  menu->clickMainBtn(*old);
  EXPECT_TRUE(menu->isOpened());
  EXPECT_TRUE(menu->mainBtn()->isSelected());
  menu->clickMainBtn(*old);
  settle();
  EXPECT_FALSE(menu->isOpened());
  EXPECT_FALSE(menu->mainBtn()->isSelected());

  // No views at all: the setters store, the list opens on its cover and a tap folds it.
  menu->setMainBtn(nullptr);
  menu->setArrowMark(nullptr);
  menu->setOptionsList(nullptr);
  menu->setFloatView(nullptr);
  menu->setTitle("Kind");
  menu->setTitleBgColor(UIColor::whiteColor());
  menu->setTitleAlignment(1);
  menu->setRotateIconSize({10, 10});
  menu->setFrame(CGRectMake(100, 10, 90, 30));
  menu->showDropDown();
  settle();
  EXPECT_TRUE(menu->isOpened());
  EXPECT_EQ(menu->listHeight(), 60);
  EXPECT_EQ(coversOnWindow(), 1u);
  UITouchDriver::tap(window, {20, 400});
  settle();
  EXPECT_FALSE(menu->isOpened());
  EXPECT_EQ(coversOnWindow(), 0u);
  // The menu as its own float view: nothing to lift, and framing does not recurse.
  menu->setFloatView(menu);
  menu->setFrame(CGRectMake(100, 10, 80, 30));
  menu->showDropDown();
  menu->hideDropDown();
  settle();
  EXPECT_EQ(coversOnWindow(), 0u);
  menu->setFloatView(nullptr);
}

// Dark ink of the arrow (15 x 15 at (187.5, 137.5) in the window) in its upper and lower half.
std::pair<int, int> arrowInk(const std::shared_ptr<UIWindow>& window) {
  auto img = UIRenderer::renderView(window, 2)->CGImage();
  int upper = 0, lower = 0;
  for (int x = 375; x < 405; ++x)
    for (int y = 275; y < 305; ++y)
      if (((img->pixelAt(x, y) >> 8) & 0xff) < 0xa0) (y < 290 ? upper : lower)++;
  return {upper, lower};
}

TEST_F(DropdownTest, PicturesClosedAndOpen) {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  std::string dir = std::string(env && *env ? env : "test-output") + "/ui/dropdown/";
  testing_device::TempAppBundle bundle;
  std::filesystem::copy(LUMORA_UI_RESOURCES, bundle.path(),
                        std::filesystem::copy_options::recursive);
  // As the list screens set it up: the SDK bundle's arrow, 15 x 15.
  menu->setRotateIcon(UIImage::imageNamed("HVSDK.bundle/hv_tab_autoArrow.png"));
  menu->setRotateIconSize({15, 15});
  menu->setTitleBgColor(UIColor::colorWithWhiteAlpha(0.9, 1));
  testing_loop::runUntilIdle();
  // Closed, the arrow points down: its wide side is in the upper half.
  auto [upper, lower] = arrowInk(window);
  EXPECT_GT(upper, 40);
  EXPECT_GT(upper, 2 * lower);
  EXPECT_TRUE(UIRenderer::writePNG(window, dir + "dropdown-closed.png"));
  // The title is drawn whole, 15 points into the button: dark ink over most of its width.
  auto closed = UIRenderer::renderView(window, 1)->CGImage();
  double textWidth = menu->mainBtn()->titleLabel()->intrinsicContentSize().width;
  int first = -1, last = -1;
  for (int x = 130; x < 210; ++x)
    for (int y = 130; y < 160; ++y)
      if (((closed->pixelAt(x, y) >> 8) & 0xff) < 140) {
        if (first < 0) first = x;
        last = x;
      }
  EXPECT_GE(first, 130 + 15);
  EXPECT_GT(last - first, textWidth * 0.75);
  UITouchDriver::tap(window, button());
  settle();
  EXPECT_TRUE(UIRenderer::writePNG(window, dir + "dropdown-open.png"));
  std::tie(upper, lower) = arrowInk(window);  // open, turned up
  EXPECT_GT(lower, 2 * upper);
}

}  // namespace
