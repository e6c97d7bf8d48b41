// The layer tree as the renderer draws it (sublayers among subviews, masks, shadows, shape and
// gradient layers), reversed paths, key-value announcements of view geometry, controller
// containment and size transitions, image orientations and grey bitmap contexts.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/graphics/CGBitmapContext.h"
#include "platform/uikit/CALayer.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"
#include "testing/uikit/Pixels.h"

using namespace plat;
using namespace testing_uikit;

namespace {

CGImageRef render(const UIViewRef& v) { return UIRenderer::renderView(v, 1)->CGImage(); }

std::shared_ptr<CALayer> plainLayer(CGRect frame, CGColor color) {
  auto l = CALayer::layer();
  l->setFrame(frame);
  l->setBackgroundColor(color);
  return l;
}

TEST(CALayerTest, SublayersKeepTheirPlaceAmongSubviewLayers) {
  auto root = make<UIView>(CGRectMake(0, 0, 60, 20));
  auto a = make<UIView>(CGRectMake(0, 0, 40, 20));
  a->setBackgroundColor(UIColor::redColor());
  auto b = make<UIView>(CGRectMake(20, 0, 40, 20));
  b->setBackgroundColor(UIColor::blueColor());
  root->addSubview(a);
  auto green = plainLayer(CGRectMake(10, 0, 40, 20), {0, 1, 0, 1});
  root->layer()->addSublayer(green);
  root->addSubview(b);
  auto& subs = root->layer()->sublayers();
  ASSERT_EQ(subs.size(), 3u);
  EXPECT_EQ(subs[0], a->layerRef());
  EXPECT_EQ(subs[1], green);
  EXPECT_EQ(subs[2], b->layerRef());
  EXPECT_EQ(green->superlayer(), root->layerRef());
  EXPECT_EQ(a->layer()->frame(), CGRectMake(0, 0, 40, 20));

  CGImageRef img = render(root);
  EXPECT_EQ(img->pixelAt(5, 10), 0xffff0000u);   // a alone
  EXPECT_EQ(img->pixelAt(15, 10), 0xff00ff00u);  // green above a
  EXPECT_EQ(img->pixelAt(45, 10), 0xff0000ffu);  // b above green
  EXPECT_EQ(img->pixelAt(55, 10), 0xff0000ffu);

  // Reordering views moves their layers; the plain layer stays between.
  root->sendSubviewToBack(b);
  EXPECT_EQ(subs[0], b->layerRef());
  root->bringSubviewToFront(b);
  EXPECT_EQ(subs.back(), b->layerRef());
  root->exchangeSubviewAtIndexWithSubviewAtIndex(0, 1);
  ASSERT_EQ(subs.size(), 3u);
  EXPECT_EQ(subs[0], b->layerRef());
  EXPECT_EQ(subs[1], green);
  EXPECT_EQ(subs[2], a->layerRef());
  img = render(root);
  EXPECT_EQ(img->pixelAt(45, 10), 0xff00ff00u);  // green now above b
  EXPECT_EQ(img->pixelAt(35, 10), 0xffff0000u);  // a on top

  // Moving a view elsewhere takes its layer along; a cycle is refused.
  auto other = make<UIView>(CGRectMake(0, 0, 10, 10));
  other->addSubview(a);
  EXPECT_EQ(subs.size(), 2u);
  EXPECT_EQ(a->layer()->superlayer(), other->layerRef());
  green->addSublayer(root->layerRef());
  EXPECT_EQ(root->layer()->superlayer(), nullptr);
  b->removeFromSuperview();
  ASSERT_EQ(subs.size(), 1u);
  green->removeFromSuperlayer();
  EXPECT_TRUE(subs.empty());
}

TEST(CALayerTest, MaskShapeShadowAndGradientAreDrawn) {
  auto root = make<UIView>(CGRectMake(0, 0, 100, 100));
  root->setBackgroundColor(UIColor::whiteColor());

  // A dark veil with a hole: the bounds, then a rectangle traced backwards (non-zero rule).
  auto veil = make<UIView>(CGRectMake(0, 0, 50, 50));
  veil->setBackgroundColor(UIColor::blackColor());
  auto hole = UIBezierPath::bezierPathWithRect(CGRectMake(0, 0, 50, 50));
  hole->appendPath(*UIBezierPath::bezierPathWithRect(CGRectMake(10, 10, 30, 30))
                        ->bezierPathByReversingPath());
  auto mask = CAShapeLayer::layer();
  mask->setPath(hole);
  hole->removeAllPoints();  // the layer keeps its own copy
  veil->layer()->setMask(mask);
  root->addSubview(veil);

  // A stroked triangle.
  auto shape = CAShapeLayer::layer();
  shape->setFrame(CGRectMake(60, 0, 40, 40));
  auto tri = UIBezierPath::bezierPath();
  tri->moveToPoint({0, 0});
  tri->addLineToPoint({40, 0});
  tri->addLineToPoint({0, 40});
  tri->closePath();
  shape->setPath(tri);
  shape->setFillColor(CGColor{1, 0, 0, 1});
  shape->setStrokeColor(CGColor{0, 0, 1, 1});
  shape->setLineWidth(4);
  root->layer()->addSublayer(shape);

  // A card with a shadow cast 6 points down.
  auto card = make<UIView>(CGRectMake(10, 60, 20, 20));
  card->setBackgroundColor(UIColor::greenColor());
  card->layer()->setShadowOpacity(1);
  card->layer()->setShadowOffset(CGSizeMake(0, 6));
  card->layer()->setShadowRadius(1);
  root->addSubview(card);

  auto gradient = CAGradientLayer::layer();
  gradient->setFrame(CGRectMake(50, 60, 50, 40));
  gradient->setColors({{1, 0, 0, 1}, {0, 0, 1, 1}});
  gradient->setStartPoint({0, 0.5});
  gradient->setEndPoint({1, 0.5});
  root->layer()->addSublayer(gradient);

  CGImageRef img = render(root);
  EXPECT_EQ(img->pixelAt(5, 5), 0xff000000u);    // veil outside the hole
  EXPECT_EQ(img->pixelAt(25, 25), 0xffffffffu);  // the hole shows the background
  EXPECT_EQ(img->pixelAt(45, 25), 0xff000000u);
  EXPECT_EQ(img->pixelAt(70, 10), 0xffff0000u);  // inside the triangle
  EXPECT_EQ(img->pixelAt(95, 30), 0xffffffffu);  // outside it
  uint32_t edge = img->pixelAt(61, 20);          // on the left edge: stroke
  EXPECT_GT(B(edge), 200u);
  EXPECT_LT(R(edge), 60u);
  EXPECT_EQ(img->pixelAt(20, 70), 0xff00ff00u);  // the card
  uint32_t below = img->pixelAt(20, 83);         // its shadow beneath
  EXPECT_LT(R(below), 80u);
  EXPECT_EQ(img->pixelAt(20, 95), 0xffffffffu);  // beyond the shadow
  EXPECT_EQ(img->pixelAt(20, 57), 0xffffffffu);  // nothing above the card
  uint32_t left = img->pixelAt(52, 80), right = img->pixelAt(97, 80);
  EXPECT_GT(R(left), 220u);
  EXPECT_LT(B(left), 30u);
  EXPECT_GT(B(right), 220u);
  EXPECT_LT(R(right), 30u);
}

TEST(CALayerTest, ShadowFallsUnderItsViewInsideAClippedContainer) {
  // Inside a clipping container the layer is drawn into a group that starts at the clip, not at
  // the window's origin: the shadow must still fall just under the card.
  auto root = make<UIView>(CGRectMake(0, 0, 60, 120));
  root->setBackgroundColor(UIColor::whiteColor());
  auto box = make<UIView>(CGRectMake(0, 44, 60, 76));
  box->setClipsToBounds(true);
  root->addSubview(box);
  auto card = make<UIView>(CGRectMake(10, 10, 20, 20));
  card->setBackgroundColor(UIColor::greenColor());
  card->layer()->setShadowOpacity(1);
  card->layer()->setShadowOffset(CGSizeMake(0, 6));
  card->layer()->setShadowRadius(1);
  box->addSubview(card);

  CGImageRef img = render(root);
  EXPECT_EQ(img->pixelAt(20, 64), 0xff00ff00u);  // the card
  EXPECT_LT(R(img->pixelAt(20, 77)), 80u);        // its shadow just beneath
  EXPECT_EQ(img->pixelAt(20, 110), 0xffffffffu);  // not one container offset further down
}

TEST(CALayerTest, EvenOddRuleAndReversedPaths) {
  auto outer = UIBezierPath::bezierPathWithRect(CGRectMake(0, 0, 40, 40));
  auto inner = UIBezierPath::bezierPathWithRect(CGRectMake(10, 10, 20, 20));
  auto same = outer->copy();
  same->appendPath(*inner);
  EXPECT_TRUE(same->containsPoint({20, 20}));  // same direction: non-zero fills the middle
  auto holed = outer->copy();
  holed->appendPath(*inner->bezierPathByReversingPath());
  EXPECT_FALSE(holed->containsPoint({20, 20}));
  EXPECT_TRUE(holed->containsPoint({5, 5}));
  auto reversed = inner->bezierPathByReversingPath();
  EXPECT_EQ(reversed->bounds(), inner->bounds());
  EXPECT_EQ(reversed->currentPoint(), CGPointMake(10, 30));  // closed: back at its new start

  auto open = UIBezierPath::bezierPath();
  open->moveToPoint({0, 0});
  open->addCurveToPointControlPoint1ControlPoint2({30, 0}, {0, 20}, {30, 20});
  open->addLineToPoint({30, 30});
  auto back = open->bezierPathByReversingPath();
  EXPECT_EQ(back->currentPoint(), CGPointMake(0, 0));
  EXPECT_EQ(back->bezierPathByReversingPath()->currentPoint(), CGPointMake(30, 30));
  EXPECT_TRUE(UIBezierPath::bezierPath()->bezierPathByReversingPath()->isEmpty());

  // Even-odd on a shape layer leaves the overlap empty.
  auto root = make<UIView>(CGRectMake(0, 0, 40, 40));
  auto shape = CAShapeLayer::layer();
  shape->setFrame(CGRectMake(0, 0, 40, 40));
  shape->setPath(same);
  shape->setFillRule(kCAFillRuleEvenOdd);
  root->layer()->addSublayer(shape);
  CGImageRef img = render(root);
  EXPECT_EQ(A(img->pixelAt(20, 20)), 0u);
  EXPECT_EQ(img->pixelAt(5, 5), 0xff000000u);
}

class CenterCounting : public UIView {
 public:
  using UIView::UIView;
  void setCenter(CGPoint c) override {
    centers++;
    UIView::setCenter(c);
  }
  void setBounds(CGRect b) override {
    bounds++;
    UIView::setBounds(b);
  }
  int centers = 0, bounds = 0;
};

TEST(CALayerTest, ViewAnnouncesFrameAndCenter) {
  auto v = make<CenterCounting>(CGRectMake(0, 0, 10, 10));
  std::vector<std::string> heard;
  auto t1 = v->addObserverForKeyPath("frame", [&](const std::string& k) {
    heard.push_back(k + " " + std::to_string(int(v->frame().origin.x)));
  });
  auto t2 = v->addObserverForKeyPath("center", [&](const std::string& k) {
    heard.push_back(k + " " + std::to_string(int(v->center().x)));
  });
  v->setFrame(CGRectMake(10, 0, 20, 10));
  v->setCenter(CGPointMake(50, 5));
  v->setBounds(CGRectMake(0, 0, 30, 10));  // not announced
  v->layer()->setPosition(CGPointMake(60, 5));  // through the view's own setter
  EXPECT_EQ(heard, (std::vector<std::string>{"frame 10", "center 50", "center 60"}));
  EXPECT_EQ(v->centers, 2);  // setFrame does not go through the setters
  EXPECT_EQ(v->bounds, 1);
  v->removeObserverForKeyPath(t1);
  v->removeObserverForKeyPath(t2);
  v->setFrame(CGRectZero);
  EXPECT_EQ(heard.size(), 3u);
}

class RecordingController : public UIViewController {
 public:
  void willMoveToParentViewController(const UIViewControllerRef& p) override {
    log.push_back(std::string("will ") + (p ? "in" : "out"));
  }
  void didMoveToParentViewController(const UIViewControllerRef& p) override {
    log.push_back(std::string("did ") + (p ? "in" : "out"));
  }
  void viewWillTransitionToSizeWithTransitionCoordinator(
      CGSize size, const UIViewControllerTransitionCoordinatorRef& coordinator) override {
    log.push_back("size " + std::to_string(int(size.width)) + " view " +
                  std::to_string(int(view()->bounds().size.width)));
    coordinator->animateAlongsideTransitionCompletion(
        [this] { log.push_back("along " + std::to_string(int(view()->bounds().size.width))); },
        [this] { log.push_back("done"); });
    UIViewController::viewWillTransitionToSizeWithTransitionCoordinator(size, coordinator);
  }
  std::vector<std::string> log;
};

TEST(CALayerTest, ControllerContainmentAndSizeTransitions) {
  auto parent = make<RecordingController>();
  auto child = make<RecordingController>();
  auto other = make<RecordingController>();
  parent->addChildViewController(child);
  child->didMoveToParentViewController(parent);
  EXPECT_EQ(child->parentViewController(), parent);
  ASSERT_EQ(parent->childViewControllers().size(), 1u);
  child->addChildViewController(parent);  // an ancestor: refused
  EXPECT_TRUE(child->childViewControllers().empty());
  other->addChildViewController(child);  // moves it
  EXPECT_TRUE(parent->childViewControllers().empty());
  EXPECT_EQ(child->parentViewController(), other);
  child->willMoveToParentViewController(nullptr);
  child->removeFromParentViewController();
  EXPECT_EQ(child->parentViewController(), nullptr);
  EXPECT_EQ(child->log, (std::vector<std::string>{"will in", "did in", "did out", "will in",
                                                   "will out", "did out"}));

  parent->addChildViewController(child);
  child->view()->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                     UIViewAutoresizingFlexibleHeight);
  parent->view()->addSubview(child->view());
  child->didMoveToParentViewController(parent);
  child->log.clear();
  auto window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(parent);
  auto presented = make<RecordingController>();
  parent->presentViewControllerAnimatedCompletion(presented, false);
  testing_loop::runUntilIdle();
  UIWindowTransitionToSize(window, CGSizeMake(667, 375));
  EXPECT_EQ(window->bounds().size, CGSizeMake(667, 375));
  EXPECT_EQ(parent->view()->bounds().size, CGSizeMake(667, 375));
  EXPECT_EQ(presented->view()->bounds().size, CGSizeMake(667, 375));
  EXPECT_EQ(child->log, (std::vector<std::string>{"size 667 view 375", "along 667"}));
  EXPECT_EQ(presented->log, (std::vector<std::string>{"size 667 view 375", "along 667"}));
  testing_loop::runUntilIdle();
  EXPECT_EQ(child->log.back(), "done");
  parent->dismissViewControllerAnimatedCompletion(false);
  testing_loop::runUntilIdle();
}

// A JPEG of 64 x 32 pixels in four quadrants (red, green / blue, white) carrying an EXIF
// orientation.
Data quadrantJPEG(int exifOrientation) {
  Data jpeg = UIImageJPEGRepresentation(quadrantsImage(), 1);
  const uint8_t tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,            // header, one entry
                          0x12, 0x01, 3, 0, 1, 0, 0, 0,                 // orientation, short
                          uint8_t(exifOrientation), 0, 0, 0, 0, 0, 0, 0};  // value, next IFD
  std::vector<uint8_t> app1 = {0xff, 0xe1, 0, uint8_t(2 + 6 + sizeof(tiff)),
                               'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), tiff, tiff + sizeof(tiff));
  std::vector<uint8_t> bytes(jpeg.bytes(), jpeg.bytes() + jpeg.length());
  bytes.insert(bytes.begin() + 2, app1.begin(), app1.end());
  return Data(std::move(bytes));
}

TEST(CALayerTest, ImagesShowUprightInAllEightOrientations) {
  // Corners of the upright picture (top left, top right, bottom left, bottom right) for EXIF
  // orientations 1 to 8.
  const char* expected[8] = {"RGBW", "GRWB", "WBGR", "BWRG", "RBGW", "BRWG", "WGBR", "GWRB"};
  const UIImageOrientation orientation[8] = {
      UIImageOrientationUp,           UIImageOrientationUpMirrored, UIImageOrientationDown,
      UIImageOrientationDownMirrored, UIImageOrientationLeftMirrored, UIImageOrientationRight,
      UIImageOrientationRightMirrored, UIImageOrientationLeft};
  for (int exif = 1; exif <= 8; exif++) {
    SCOPED_TRACE(exif);
    auto image = UIImage::imageWithData(quadrantJPEG(exif));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->imageOrientation(), orientation[exif - 1]);
    EXPECT_EQ(image->CGImage()->width(), 64u);  // the bitmap stays as stored
    CGSize size = image->size();
    EXPECT_EQ(size, exif >= 5 ? CGSizeMake(32, 64) : CGSizeMake(64, 32));

    UIGraphicsBeginImageContextWithOptions(size, true, 1);
    image->drawInRect(CGRectMake(0, 0, size.width, size.height));
    CGImageRef drawn = UIGraphicsGetImageFromCurrentImageContext()->CGImage();
    UIGraphicsEndImageContext();
    int w = int(size.width), h = int(size.height);
    std::string corners = {colourName(drawn->pixelAt(4, 4)), colourName(drawn->pixelAt(w - 5, 4)),
                           colourName(drawn->pixelAt(4, h - 5)),
                           colourName(drawn->pixelAt(w - 5, h - 5))};
    EXPECT_EQ(corners, expected[exif - 1]);

    auto view = make<UIImageView>(CGRectMake(0, 0, size.width, size.height));
    view->setImage(image);
    CGImageRef shown = render(view);
    EXPECT_EQ(colourName(shown->pixelAt(4, 4)), expected[exif - 1][0]);
    EXPECT_EQ(colourName(shown->pixelAt(w - 5, h - 5)), expected[exif - 1][3]);
  }
}

TEST(CALayerTest, GreyContextsWithoutAlpha) {
  auto grey = CGColorSpaceCreateDeviceGray();
  EXPECT_EQ(CGColorSpaceGetModel(grey), kCGColorSpaceModelMonochrome);
  EXPECT_EQ(CGColorSpaceGetNumberOfComponents(grey), 1u);
  EXPECT_EQ(CGColorSpaceGetNumberOfComponents(CGColorSpaceCreateDeviceRGB()), 3u);
  EXPECT_EQ(CGBitmapContextCreate(nullptr, 4, 4, 8, 0, grey, kCGImageAlphaPremultipliedFirst),
            nullptr);
  EXPECT_EQ(CGBitmapContextCreate(nullptr, 4, 4, 8, 3, grey, kCGImageAlphaNone), nullptr);

  auto c = CGBitmapContextCreate(nullptr, 10, 4, 8, 0, grey, kCGImageAlphaNone);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(CGBitmapContextGetBytesPerRow(c.get()), 10u);
  EXPECT_EQ(CGBitmapContextGetBitmapInfo(c.get()), uint32_t(kCGImageAlphaNone));
  CGContextSetRGBFillColor(c.get(), 1, 0, 0, 1);
  CGContextFillRect(c.get(), CGRectMake(0, 2, 5, 2));  // y up: the top two rows
  auto* px = static_cast<uint8_t*>(CGBitmapContextGetData(c.get()));
  EXPECT_EQ(px[0], 76);  // red's luminance
  EXPECT_EQ(px[5], 0);   // starts black
  EXPECT_EQ(px[3 * 10], 0);
  px[9] = 200;  // written by the caller: later images and drawing see it
  CGImageRef img = CGBitmapContextCreateImage(c.get());
  ASSERT_NE(img, nullptr);
  EXPECT_TRUE(img->isOpaque());
  EXPECT_EQ(img->pixelAt(9, 0), 0xffc8c8c8u);
  EXPECT_EQ(img->pixelAt(0, 0), 0xff4c4c4cu);

  // Memory of the caller's, with rows longer than the width: its content is the start.
  std::vector<uint8_t> memory(16 * 3, 255);
  auto own = CGBitmapContextCreate(memory.data(), 5, 3, 8, 16, grey, kCGImageAlphaNone);
  ASSERT_NE(own, nullptr);
  CGContextSetGrayFillColor(own.get(), 0, 1);
  CGContextFillRect(own.get(), CGRectMake(0, 0, 1, 1));  // bottom-left pixel
  EXPECT_EQ(CGBitmapContextGetData(own.get()), memory.data());
  EXPECT_EQ(memory[2 * 16], 0);
  EXPECT_EQ(memory[2 * 16 + 1], 255);
  EXPECT_EQ(memory[5], 255);  // padding untouched
}

}  // namespace
