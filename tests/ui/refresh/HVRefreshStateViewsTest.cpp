// Where the state controls put the views beside their title, and how the normal controls
// change their indicator's style.

#include <gtest/gtest.h>

#include "platform/uikit/UIGraphics.h"
#include "tests/ui/refresh/RefreshTestSupport.h"
#include "ui/refresh/HVRefreshAutoGifFooter.h"
#include "ui/refresh/HVRefreshAutoNormalFooter.h"
#include "ui/refresh/HVRefreshBackGifFooter.h"
#include "ui/refresh/HVRefreshBackNormalFooter.h"
#include "ui/refresh/HVRefreshGifHeader.h"
#include "ui/refresh/HVRefreshNormalHeader.h"

using namespace plat;
using namespace refresh_test;

namespace {

class HVRefreshStateViewsTest : public ::testing::Test {
 protected:
  template <class Control>
  std::shared_ptr<Control> laidOut(double height = 44) {
    auto control = make<Control>();
    control->setFrame(CGRectMake(0, 0, 320, height));
    control->layoutIfNeeded();
    return control;
  }
  static void relayout(UIView& view) {
    view.setNeedsLayout();
    view.layoutIfNeeded();
  }
  static double textWidth(UILabel& label) { return UILabel_HVRefresh::HV_textWith(label); }

  testing_loop::VirtualClockScope clock;
  RefreshEnvironment env;
};

TEST_F(HVRefreshStateViewsTest, ArrowAndIndicatorEndTheInsetLeftOfTheTitle) {
  auto back = laidOut<HVRefreshBackNormalFooter>();
  double x = 160 - (textWidth(*back->stateLabel()) / 2 + 25);
  ASSERT_GT(textWidth(*back->stateLabel()), 0);
  EXPECT_NEAR(back->arrowView()->center().x, x, 1e-9);
  EXPECT_EQ(back->arrowView()->center().y, 22);
  // Turned by (almost) half a turn while idle, the arrow keeps its image's size.
  EXPECT_NEAR(back->arrowView()->frame().size.width, back->arrowView()->image()->size().width, 1e-3);
  EXPECT_NEAR(back->arrowView()->frame().size.height, back->arrowView()->image()->size().height,
              1e-3);
  EXPECT_EQ(back->loadingView()->center(), back->arrowView()->center());
  EXPECT_EQ(back->arrowView()->tintColor(), back->stateLabel()->textColor());
  back->stateLabel()->setHidden(true);
  relayout(*back);
  EXPECT_EQ(back->arrowView()->center(), CGPointMake(160, 22));

  // The automatic footer has no arrow; its indicator follows the title unless that is hidden
  // while refreshing.
  auto automatic = laidOut<HVRefreshAutoNormalFooter>();
  EXPECT_NEAR(automatic->loadingView()->center().x,
              160 - (textWidth(*automatic->stateLabel()) / 2 + 25), 1e-9);
  automatic->setRefreshingTitleHidden(true);
  relayout(*automatic);
  EXPECT_EQ(automatic->loadingView()->center(), CGPointMake(160, 22));
}

TEST_F(HVRefreshStateViewsTest, ImagesEndTheInsetLeftOfTheTitleOrStandCentred) {
  auto back = laidOut<HVRefreshBackGifFooter>();
  auto gif = back->gifView();
  EXPECT_EQ(gif->contentMode(), UIViewContentModeRight);
  EXPECT_NEAR(gif->frame().size.width, 160 - (textWidth(*back->stateLabel()) / 2 + 20), 1e-9);
  EXPECT_EQ(gif->frame().size.height, 44);
  back->stateLabel()->setHidden(true);
  relayout(*back);
  EXPECT_EQ(gif->contentMode(), UIViewContentModeCenter);
  EXPECT_EQ(gif->frame(), CGRectMake(0, 0, 320, 44));

  auto automatic = laidOut<HVRefreshAutoGifFooter>();
  EXPECT_EQ(automatic->gifView()->contentMode(), UIViewContentModeRight);
  automatic->setRefreshingTitleHidden(true);
  relayout(*automatic);
  EXPECT_EQ(automatic->gifView()->contentMode(), UIViewContentModeCenter);

  // A header measures the wider of its two labels, and counts the time label alone as text.
  auto header = laidOut<HVRefreshGifHeader>(54);
  double wider =
      std::max(textWidth(*header->stateLabel()), textWidth(*header->lastUpdatedTimeLabel()));
  EXPECT_NEAR(header->gifView()->frame().size.width, 160 - (wider / 2 + 20), 1e-9);
  header->stateLabel()->setHidden(true);
  relayout(*header);
  EXPECT_EQ(header->gifView()->contentMode(), UIViewContentModeRight);
}

TEST_F(HVRefreshStateViewsTest, ANewStyleMakesANewIndicatorAndKeepsTheOldOneInTheView) {
  auto check = [](auto control) {
    auto before = control->loadingView();
    EXPECT_EQ(control->activityIndicatorViewStyle(), UIActivityIndicatorViewStyleGray);
    EXPECT_TRUE(before->hidesWhenStopped());
    control->setActivityIndicatorViewStyle(UIActivityIndicatorViewStyleWhiteLarge);
    auto after = control->loadingView();
    EXPECT_NE(after, before);
    EXPECT_EQ(after, control->loadingView());
    EXPECT_EQ(after->activityIndicatorViewStyle(), UIActivityIndicatorViewStyleWhiteLarge);
    EXPECT_EQ(before->superview(), control);
    EXPECT_EQ(after->superview(), control);
  };
  check(make<HVRefreshNormalHeader>());
  check(make<HVRefreshBackNormalFooter>());
  check(make<HVRefreshAutoNormalFooter>());
}

}  // namespace
