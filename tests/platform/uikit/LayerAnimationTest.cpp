// Animations added to layers (transitions ending on the clock, renders showing the end state),
// the application's network activity indicator and annotation views.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/uikit/CAAnimation.h"
#include "platform/uikit/CALayer.h"
#include "platform/uikit/MKAnnotationView.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIRenderer.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// A solid image of w x h pixels shown at `scale` (0xAARRGGBB, opaque).
UIImageRef solidImage(int w, int h, uint32_t argb, double scale = 1) {
  auto* px = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w) * h * 4));
  for (int i = 0; i < w * h; ++i) std::memcpy(px + i * 4, &argb, 4);
  return UIImage::imageWithCGImage(CGImage::createOwningBuffer(px, w, h, true), scale);
}

std::shared_ptr<CATransition> fade(double duration) {
  auto t = CATransition::animation();
  t->setType(kCATransitionFade);
  t->setTimingFunction(
      CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut));
  t->setDuration(duration);
  return t;
}

TEST(CALayerAnimation, ALayerKeepsACopyOfTheAnimationForItsDurationOnTheClock) {
  testing_loop::VirtualClockScope clock;
  auto layer = CALayer::layer();  // no view
  auto given = fade(0.2);
  layer->addAnimationForKey(given, "HVWebImageFade");
  given->setDuration(5);  // the layer's copy keeps what was given

  auto running = std::dynamic_pointer_cast<CATransition>(layer->animationForKey("HVWebImageFade"));
  ASSERT_TRUE(running);
  EXPECT_NE(running, given);
  EXPECT_EQ(running->className(), "CATransition");
  EXPECT_EQ(running->type(), "fade");
  EXPECT_EQ(running->duration(), 0.2);
  ASSERT_TRUE(running->timingFunction());
  EXPECT_EQ(running->timingFunction()->name(), "easeInEaseOut");
  EXPECT_FALSE(layer->animationForKey("other"));
  EXPECT_FALSE(layer->animationForKey(""));

  testing_loop::advance(0.19);
  EXPECT_TRUE(layer->animationForKey("HVWebImageFade"));
  testing_loop::advance(0.02);
  EXPECT_FALSE(layer->animationForKey("HVWebImageFade"));
  EXPECT_TRUE(layer->animationKeys().empty());

  // A replacement under the same key runs its own time; the first one's end does not cut it.
  layer->addAnimationForKey(fade(0.4), "HVWebImageFade");
  testing_loop::advance(0.3);
  layer->addAnimationForKey(fade(0.2), "HVWebImageFade");
  EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"HVWebImageFade"});
  testing_loop::advance(0.15);  // the first would have ended here
  ASSERT_TRUE(layer->animationForKey("HVWebImageFade"));
  EXPECT_EQ(layer->animationForKey("HVWebImageFade")->duration(), 0.2);
  testing_loop::advance(0.1);
  EXPECT_FALSE(layer->animationForKey("HVWebImageFade"));

  // Duration 0 runs the default time; null is ignored; removal is at once.
  layer->addAnimationForKey(CAAnimation::animation(), "plain");
  layer->addAnimationForKey(nullptr, "none");
  layer->addAnimationForKey(fade(1), "gone");
  layer->removeAnimationForKey("gone");
  EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"plain"});
  testing_loop::advance(0.24);
  EXPECT_TRUE(layer->animationForKey("plain"));
  testing_loop::advance(0.02);
  EXPECT_FALSE(layer->animationForKey("plain"));

  // A layer that goes away before its animation ends leaves nothing behind.
  auto shortLived = CALayer::layer();
  shortLived->addAnimationForKey(fade(0.2), "k");
  shortLived.reset();
  testing_loop::advance(1);
}

TEST(CALayerAnimation, AddedAnimationsLiveBesideViewAnimationBlocks) {
  testing_loop::VirtualClockScope clock;
  UIViewAnimationLog::clear();
  auto v = make<UIView>(CGRectMake(0, 0, 10, 10));
  std::vector<bool> results;
  UIView::animateWithDurationAnimationsCompletion(
      1.0, [&] { v->setAlpha(0.5); }, [&](bool f) { results.push_back(f); });
  v->layer()->addAnimationForKey(fade(0.4), "HVWebImageFade");
  EXPECT_EQ(v->layer()->animationKeys(), (std::vector<std::string>{"opacity", "HVWebImageFade"}));
  EXPECT_FALSE(v->layer()->animationForKey("opacity"));  // a block's change is no CAAnimation
  v->layer()->removeAnimationForKey("HVWebImageFade");
  v->layer()->addAnimationForKey(fade(0.4), "HVWebImageFade");
  v->layer()->removeAllAnimations();
  EXPECT_TRUE(v->layer()->animationKeys().empty());
  testing_loop::advance(2);
  EXPECT_EQ(results, std::vector<bool>{false});
  UIViewAnimationLog::clear();
}

TEST(CALayerAnimation, ARenderDuringAFadeShowsTheNewImage) {
  testing_loop::VirtualClockScope clock;
  auto view = make<UIImageView>(CGRectMake(0, 0, 8, 8));
  view->setImage(solidImage(8, 8, 0xffff0000));
  view->layer()->addAnimationForKey(fade(0.2), "HVWebImageFade");
  view->setImage(solidImage(8, 8, 0xff0000ff));
  ASSERT_TRUE(view->layer()->animationForKey("HVWebImageFade"));
  auto img = UIRenderer::renderView(view, 1)->CGImage();
  EXPECT_EQ(img->pixelAt(4, 4), 0xff0000ffu);

  // A plain layer's contents likewise.
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(2, 2, 4, 4));
  view->layer()->addSublayer(layer);
  layer->addAnimationForKey(fade(0.4), "HVWebImageFade");
  layer->setContents(solidImage(4, 4, 0xff00ff00)->CGImage());
  img = UIRenderer::renderView(view, 1)->CGImage();
  EXPECT_EQ(img->pixelAt(3, 3), 0xff00ff00u);
  EXPECT_EQ(img->pixelAt(0, 0), 0xff0000ffu);
  testing_loop::advance(1);
}

TEST(UIApplicationIndicator, CountsChangesOfTheNetworkActivityIndicator) {
  auto& app = UIApplication::sharedApplication();
  app.resetForTesting();
  EXPECT_FALSE(app.isNetworkActivityIndicatorVisible());
  app.setNetworkActivityIndicatorVisible(false);
  EXPECT_EQ(app.networkActivityIndicatorChangeCount(), 0u);
  app.setNetworkActivityIndicatorVisible(true);
  app.setNetworkActivityIndicatorVisible(true);
  EXPECT_TRUE(app.isNetworkActivityIndicatorVisible());
  EXPECT_EQ(app.networkActivityIndicatorChangeCount(), 1u);
  app.setNetworkActivityIndicatorVisible(false);
  EXPECT_EQ(app.networkActivityIndicatorChangeCount(), 2u);
  app.setNetworkActivityIndicatorVisible(true);
  app.resetForTesting();
  EXPECT_FALSE(app.isNetworkActivityIndicatorVisible());
  EXPECT_EQ(app.networkActivityIndicatorChangeCount(), 0u);
}

TEST(MKAnnotationView, TheImageSizesTheFrameAboutItsCentreAndIsDrawn) {
  auto root = make<UIView>(CGRectMake(0, 0, 40, 40));
  root->setBackgroundColor(UIColor::whiteColor());
  auto pin = make<MKAnnotationView>("pin");
  EXPECT_EQ(pin->reuseIdentifier(), "pin");
  pin->setCenter(CGPointMake(20, 20));
  pin->setImage(solidImage(20, 12, 0xffff0000, 2));  // 10 x 6 points
  EXPECT_EQ(pin->frame(), CGRectMake(15, 17, 10, 6));
  pin->setImage(nullptr);
  EXPECT_EQ(pin->frame(), CGRectMake(15, 17, 10, 6));
  EXPECT_FALSE(pin->image());
  pin->setImage(solidImage(8, 8, 0xff0000ff));
  EXPECT_EQ(pin->frame(), CGRectMake(16, 16, 8, 8));
  root->addSubview(pin);

  auto img = UIRenderer::renderView(root, 1)->CGImage();
  EXPECT_EQ(img->pixelAt(20, 20), 0xff0000ffu);
  EXPECT_EQ(img->pixelAt(16, 16), 0xff0000ffu);
  EXPECT_EQ(img->pixelAt(15, 20), 0xffffffffu);
  EXPECT_EQ(img->pixelAt(24, 20), 0xffffffffu);

  EXPECT_FALSE(pin->isHighlighted());
  EXPECT_FALSE(pin->isSelected());
  pin->setHighlighted(true);
  pin->setSelectedAnimated(true, true);
  EXPECT_TRUE(pin->isHighlighted());
  EXPECT_TRUE(pin->isSelected());
  pin->setSelected(false);
  EXPECT_FALSE(pin->isSelected());
}

}  // namespace
