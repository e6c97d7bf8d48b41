// The alert view's click block: what a tap handler finds on the alert, and that the block
// goes away with the alert view.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "aggregation/UIAlertView+AlertTool.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// A tap handler that calls the tapped alert's block, as the alert's users wire it.
struct CallsTheBlock : UIAlertViewDelegate {
  void alertViewClickedButtonAtIndex(const UIAlertViewRef& alert, int64_t index) override {
    if (auto block = clickBlock(alert)) block(index);
  }
};

TEST(UIAlertViewAlertTool, ATapReachesTheBlockWhichDiesWithTheAlert) {
  testing_loop::VirtualClockScope clock;
  auto handler = std::make_shared<CallsTheBlock>();
  auto taps = std::make_shared<std::vector<int64_t>>();
  std::weak_ptr<std::vector<int64_t>> watch = taps;
  auto alert = UIAlertView::initWithTitleMessageDelegateCancelButtonTitleOtherButtonTitles(
      "T", "M", handler, std::nullopt, {"a", "b"});
  EXPECT_FALSE(clickBlock(alert));
  EXPECT_FALSE(clickBlock(nullptr));
  setClickBlock(nullptr, [](int64_t) {});
  setClickBlock(alert, [](int64_t) { ADD_FAILURE() << "replaced block called"; });
  setClickBlock(alert, [taps](int64_t index) { taps->push_back(index); });
  taps.reset();  // the alert's copy keeps the captured list
  alert->show();
  EXPECT_TRUE(alert->tapButtonAtIndex(1));
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(*watch.lock(), std::vector<int64_t>{1});

  setClickBlock(alert, {});
  EXPECT_FALSE(clickBlock(alert));
  EXPECT_TRUE(watch.expired());

  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> capturedWatch = captured;
  setClickBlock(alert, [captured](int64_t) {});
  captured.reset();
  std::weak_ptr<UIAlertView> gone = alert;
  alert.reset();
  testing_loop::runUntilIdle();
  EXPECT_TRUE(capturedWatch.expired());
  EXPECT_TRUE(gone.expired());
}

}  // namespace
