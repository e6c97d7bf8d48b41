// The frame-sequence controls: which frame follows the pull, how tall images grow the control,
// and which states animate or hide the images.

#include <gtest/gtest.h>

#include "platform/uikit/UIGraphics.h"
#include "tests/ui/refresh/RefreshTestSupport.h"
#include "ui/refresh/HVRefreshAutoGifFooter.h"
#include "ui/refresh/HVRefreshBackGifFooter.h"
#include "ui/refresh/HVRefreshGifHeader.h"

using namespace plat;
using namespace refresh_test;

namespace {

std::vector<UIImageRef> images(int count, double height = 20) {
  std::vector<UIImageRef> out;
  for (int i = 0; i < count; ++i) {
    UIGraphicsBeginImageContext(CGSizeMake(20, height));
    out.push_back(UIGraphicsGetImageFromCurrentImageContext());
    UIGraphicsEndImageContext();
  }
  return out;
}

class HVRefreshGifTest : public ::testing::Test {
 protected:
  testing_loop::VirtualClockScope clock;
  RefreshEnvironment env;
};

TEST_F(HVRefreshGifTest, HeaderFramesFollowThePullAndStatesAnimate) {
  auto header = make<HVRefreshGifHeader>();
  auto idle = images(10);
  header->setImagesForState(idle, HVRefreshStateIdle);
  EXPECT_NEAR(*header->frames().durationFor(HVRefreshStateIdle), 1.0, 1e-9);
  header->setPullingPercent(0.55);
  EXPECT_EQ(header->gifView()->image(), idle[5]);
  header->setPullingPercent(1.3);
  EXPECT_EQ(header->gifView()->image(), idle[9]);
  header->setPullingPercent(-0.2);
  EXPECT_EQ(header->gifView()->image(), idle[0]);

  header->setImagesForState(std::nullopt, HVRefreshStatePulling);  // ignored
  EXPECT_EQ(header->frames().imagesFor(HVRefreshStatePulling), nullptr);
  header->setImagesForState(images(50), HVRefreshStateRefreshing);
  EXPECT_EQ(header->frame().size.height, 54);
  header->setImagesDurationForState(images(3), 2.0, HVRefreshStatePulling);
  header->setState(HVRefreshStatePulling);
  EXPECT_TRUE(header->gifView()->isAnimating());
  EXPECT_EQ(header->gifView()->animationDuration(), 2.0);
  header->setState(HVRefreshStateIdle);
  EXPECT_FALSE(header->gifView()->isAnimating());

  header->setImagesForState(images(1, 60), HVRefreshStateRefreshing);
  EXPECT_EQ(header->frame().size.height, 60);
  header->setState(HVRefreshStateRefreshing);
  EXPECT_FALSE(header->gifView()->isAnimating());  // a single image stands still
  EXPECT_EQ(header->frames().imagesFor(HVRefreshStateRefreshing)->front(),
            header->gifView()->image());

  header->stateLabel()->setHidden(true);
  header->lastUpdatedTimeLabel()->setHidden(true);
  header->setNeedsLayout();
  header->layoutIfNeeded();
  EXPECT_EQ(header->gifView()->contentMode(), UIViewContentModeCenter);
}

TEST_F(HVRefreshGifTest, FootersShowImagesOnlyWhereTheyBelong) {
  auto automatic = make<HVRefreshAutoGifFooter>();
  automatic->setImagesForState(images(4), HVRefreshStateRefreshing);
  automatic->setState(HVRefreshStateRefreshing);
  EXPECT_FALSE(automatic->gifView()->isHidden());
  EXPECT_TRUE(automatic->gifView()->isAnimating());
  automatic->setState(HVRefreshStateNoMoreData);
  EXPECT_TRUE(automatic->gifView()->isHidden());
  EXPECT_FALSE(automatic->gifView()->isAnimating());

  auto back = make<HVRefreshBackGifFooter>();
  auto idle = images(4);
  back->setImagesForState(idle, HVRefreshStateIdle);
  back->setPullingPercent(0.5);
  EXPECT_EQ(back->gifView()->image(), idle[2]);
  back->setImagesForState(images(2, 70), HVRefreshStatePulling);
  EXPECT_EQ(back->frame().size.height, 70);
  back->setState(HVRefreshStatePulling);
  EXPECT_TRUE(back->gifView()->isAnimating());
  back->setState(HVRefreshStateNoMoreData);
  EXPECT_TRUE(back->gifView()->isHidden());
  back->setState(HVRefreshStateIdle);
  EXPECT_FALSE(back->gifView()->isHidden());
}

}  // namespace
