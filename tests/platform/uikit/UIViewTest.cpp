// The view tree: geometry and autoresizing, tree changes and their notifications, coordinate
// conversion, hit testing, layout and display passes, and animation completion rules.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

class Probe : public UIView {
 public:
  using UIView::UIView;
  void willMoveToSuperview(const UIViewRef& v) override { log.push_back(v ? "willSuper" : "willSuper(nil)"); }
  void didMoveToSuperview() override { log.push_back("didSuper"); }
  void willMoveToWindow(const std::shared_ptr<UIWindow>& w) override { log.push_back(w ? "willWindow" : "willWindow(nil)"); }
  void didMoveToWindow() override { log.push_back("didWindow"); }
  void layoutSubviews() override { ++layouts; }
  void drawRect(CGRect) override { ++draws; }
  bool implementsDrawRect() const override { return true; }
  std::vector<std::string> log;
  int layouts = 0, draws = 0;
};

TEST(UIViewTest, FrameIsDerivedFromCenterBoundsAndTransform) {
  auto v = make<UIView>(CGRectMake(10, 20, 100, 50));
  EXPECT_EQ(v->center(), CGPointMake(60, 45));
  EXPECT_EQ(v->bounds(), CGRectMake(0, 0, 100, 50));
  v->setTransform(CGAffineTransformMakeScale(2, 2));
  EXPECT_EQ(v->frame(), CGRectMake(-40, -5, 200, 100));
  EXPECT_EQ(v->bounds().size, CGSizeMake(100, 50));
  v->setBounds(CGRectMake(5, 5, 100, 50));  // the origin does not move the frame
  EXPECT_EQ(v->frame(), CGRectMake(-40, -5, 200, 100));
  v->setTransform(CGAffineTransformIdentity);
  v->setFrame(CGRectMake(0, 0, 30, 30));
  EXPECT_EQ(v->center(), CGPointMake(15, 15));
  EXPECT_EQ(v->bounds(), CGRectMake(5, 5, 30, 30));
  // The layer knows its view while the view lives.
  EXPECT_EQ(v->layer()->delegate(), v);
  auto layer = v->layerRef();
  v.reset();
  EXPECT_FALSE(layer->delegate());
}

TEST(UIViewTest, AutoresizingFollowsTheSuperviewsSize) {
  auto parent = make<UIView>(CGRectMake(0, 0, 100, 100));
  auto fill = make<UIView>(CGRectMake(10, 10, 80, 80));
  fill->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  auto pinnedRight = make<UIView>(CGRectMake(70, 0, 20, 20));
  pinnedRight->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin);
  auto centered = make<UIView>(CGRectMake(40, 40, 20, 20));
  centered->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                UIViewAutoresizingFlexibleRightMargin |
                                UIViewAutoresizingFlexibleTopMargin |
                                UIViewAutoresizingFlexibleBottomMargin);
  auto fixed = make<UIView>(CGRectMake(1, 1, 5, 5));
  for (auto& v : {fill, pinnedRight, centered, fixed}) parent->addSubview(v);
  parent->setFrame(CGRectMake(0, 0, 200, 150));
  EXPECT_EQ(fill->frame(), CGRectMake(10, 10, 180, 130));
  EXPECT_EQ(pinnedRight->frame(), CGRectMake(170, 0, 20, 20));
  EXPECT_EQ(centered->frame(), CGRectMake(90, 65, 20, 20));
  EXPECT_EQ(fixed->frame(), CGRectMake(1, 1, 5, 5));
  parent->setAutoresizesSubviews(false);
  parent->setFrame(CGRectMake(0, 0, 100, 100));
  EXPECT_EQ(fill->frame(), CGRectMake(10, 10, 180, 130));
}

TEST(UIViewTest, TreeChangesAndTheirNotifications) {
  auto window = make<UIWindow>(CGRectMake(0, 0, 320, 480));
  auto a = make<UIView>(), b = make<UIView>(), c = make<UIView>();
  auto probe = make<Probe>();
  window->addSubview(a);
  a->addSubview(probe);
  EXPECT_EQ(probe->log, (std::vector<std::string>{"willSuper", "willWindow", "didWindow", "didSuper"}));
  EXPECT_EQ(probe->window(), window);
  probe->log.clear();
  probe->removeFromSuperview();
  EXPECT_EQ(probe->log, (std::vector<std::string>{"willSuper(nil)", "willWindow(nil)", "didWindow", "didSuper"}));
  EXPECT_FALSE(probe->window());

  // Cycles are refused; re-adding reorders.
  a->addSubview(b);
  b->addSubview(a);
  EXPECT_EQ(a->superview(), window);
  a->addSubview(a);
  EXPECT_EQ(a->subviews().size(), 1u);
  a->addSubview(c);
  a->insertSubviewAtIndex(c, 0);
  EXPECT_EQ(a->subviews(), (std::vector<UIViewRef>{c, b}));
  a->bringSubviewToFront(c);
  EXPECT_EQ(a->subviews().back(), c);
  a->insertSubviewBelowSubview(c, b);
  EXPECT_EQ(a->subviews(), (std::vector<UIViewRef>{c, b}));
  // Moving a view between parents.
  b->addSubview(c);
  EXPECT_EQ(a->subviews(), (std::vector<UIViewRef>{b}));
  EXPECT_EQ(c->superview(), b);
  c->setTag(7);
  EXPECT_EQ(window->viewWithTag(7), c);
  EXPECT_FALSE(window->viewWithTag(8));
  // Tint comes from the nearest ancestor that has one.
  EXPECT_EQ(c->tintColor(), UIColor::defaultTintColor());
  a->setTintColor(UIColor::redColor());
  EXPECT_EQ(c->tintColor(), UIColor::redColor());
}

TEST(UIViewTest, ConversionAndHitTesting) {
  auto root = make<UIView>(CGRectMake(0, 0, 300, 300));
  auto box = make<UIView>(CGRectMake(100, 100, 100, 100));
  root->addSubview(box);
  auto inner = make<UIView>(CGRectMake(10, 10, 20, 20));
  box->addSubview(inner);
  EXPECT_EQ(inner->convertPointToView(CGPointMake(0, 0), root.get()), CGPointMake(110, 110));
  box->setBounds(CGRectMake(10, 0, 100, 100));  // scrolled 10 to the right
  EXPECT_EQ(inner->convertPointToView(CGPointMake(0, 0), root.get()), CGPointMake(100, 110));
  EXPECT_EQ(root->convertPointToView(CGPointMake(100, 110), inner.get()), CGPointMake(0, 0));
  box->setBounds(CGRectMake(0, 0, 100, 100));
  box->setTransform(CGAffineTransformMakeScale(2, 2));  // about its centre (150, 150)
  EXPECT_EQ(box->convertPointToView(CGPointMake(0, 0), root.get()), CGPointMake(50, 50));
  CGRect r = box->convertRectToView(box->bounds(), root.get());
  EXPECT_EQ(r, CGRectMake(50, 50, 200, 200));

  box->setTransform(CGAffineTransformIdentity);
  EXPECT_EQ(root->hitTest(CGPointMake(115, 115), nullptr), inner);
  EXPECT_EQ(root->hitTest(CGPointMake(150, 150), nullptr), box);
  EXPECT_EQ(root->hitTest(CGPointMake(5, 5), nullptr), root);
  EXPECT_FALSE(root->hitTest(CGPointMake(-1, 5), nullptr));
  inner->setHidden(true);
  EXPECT_EQ(root->hitTest(CGPointMake(115, 115), nullptr), box);
  box->setAlpha(0.005);
  EXPECT_EQ(root->hitTest(CGPointMake(115, 115), nullptr), root);
  box->setAlpha(1);
  box->setUserInteractionEnabled(false);
  EXPECT_EQ(root->hitTest(CGPointMake(115, 115), nullptr), root);
  // A later sibling on top wins.
  box->setUserInteractionEnabled(true);
  auto cover = make<UIView>(CGRectMake(100, 100, 50, 50));
  root->addSubview(cover);
  EXPECT_EQ(root->hitTest(CGPointMake(120, 120), nullptr), cover);
}

TEST(UIViewTest, LayoutAndDisplayPassesRunOnTheNextTurnForWindowViews) {
  auto window = make<UIWindow>(CGRectMake(0, 0, 100, 100));
  auto attached = make<Probe>(CGRectMake(0, 0, 10, 10));
  auto detached = make<Probe>(CGRectMake(0, 0, 10, 10));
  window->addSubview(attached);
  testing_loop::runUntilIdle();
  EXPECT_EQ(attached->layouts, 1);
  attached->setNeedsDisplay();
  detached->setNeedsDisplay();
  EXPECT_EQ(attached->draws, 0);
  testing_loop::runUntilIdle();
  EXPECT_EQ(attached->draws, 1);
  EXPECT_FALSE(attached->needsDisplay());
  EXPECT_TRUE(attached->layer()->contents());
  EXPECT_EQ(detached->draws, 0);
  EXPECT_TRUE(detached->needsDisplay());
  // A size change lays the view out again; an origin change does not.
  attached->setFrame(CGRectMake(5, 5, 10, 10));
  testing_loop::runUntilIdle();
  EXPECT_EQ(attached->layouts, 1);
  attached->setFrame(CGRectMake(5, 5, 20, 10));
  testing_loop::runUntilIdle();
  EXPECT_EQ(attached->layouts, 2);
  detached->setNeedsLayout();
  detached->layoutIfNeeded();
  EXPECT_EQ(detached->layouts, 1);
}

TEST(UIViewTest, AnimationCompletionRules) {
  testing_loop::VirtualClockScope clock;
  UIViewAnimationLog::clear();
  auto v = make<UIView>(CGRectMake(0, 0, 10, 10));
  std::vector<bool> results;
  UIView::animateWithDurationDelayOptionsAnimationsCompletion(
      0.5, 0.25, UIViewAnimationOptionCurveEaseIn, [&] { v->setAlpha(0.5); },
      [&](bool finished) { results.push_back(finished); });
  EXPECT_EQ(v->alpha(), 0.5);  // the model value is set at once
  auto log = UIViewAnimationLog::recordsFor(v.get(), "opacity");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(std::get<double>(log[0].from), 1.0);
  EXPECT_EQ(log[0].delay, 0.25);
  EXPECT_EQ(v->layer()->animationKeys(), std::vector<std::string>{"opacity"});
  testing_loop::advance(0.7);
  EXPECT_TRUE(results.empty());
  testing_loop::advance(0.1);
  EXPECT_EQ(results, std::vector<bool>{true});
  EXPECT_TRUE(v->layer()->animationKeys().empty());

  // Removing the animations finishes the block soon with NO, and only once.
  results.clear();
  UIView::animateWithDurationAnimationsCompletion(
      1.0, [&] { v->setCenter(CGPointMake(50, 50)); }, [&](bool f) { results.push_back(f); });
  v->layer()->removeAllAnimations();
  EXPECT_TRUE(results.empty());
  testing_loop::runUntilIdle();
  EXPECT_EQ(results, std::vector<bool>{false});
  testing_loop::advance(2);
  EXPECT_EQ(results, std::vector<bool>{false});

  // A block that changes nothing still completes, finished, on the next turn.
  results.clear();
  UIView::animateWithDurationAnimationsCompletion(
      1.0, [&] { v->setAlpha(0.5); }, [&](bool f) { results.push_back(f); });
  EXPECT_TRUE(results.empty());
  testing_loop::runUntilIdle();
  EXPECT_EQ(results, std::vector<bool>{true});
}

}  // namespace
