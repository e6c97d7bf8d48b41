// What the renderer draws for a view tree, images from files and names, drawn paths, and
// constraint records from the visual format.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "platform/foundation/NSBundle.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIVisualEffectView.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

uint32_t A(uint32_t p) { return p >> 24; }
uint32_t R(uint32_t p) { return (p >> 16) & 0xff; }
uint32_t B(uint32_t p) { return p & 0xff; }

UIImageRef solidImage(double w, double h, UIColor c, double scale) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(w, h), false, scale);
  c.setFill();
  CGContextFillRect(UIGraphicsGetCurrentContext(), CGRectMake(0, 0, w, h));
  auto img = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return img;
}

TEST(UIRenderTest, BackgroundCornersBordersAlphaTransformAndHiddenViews) {
  auto root = make<UIView>(CGRectMake(0, 0, 100, 100));
  root->setBackgroundColor(UIColor::whiteColor());
  auto card = make<UIView>(CGRectMake(10, 10, 40, 40));
  card->setBackgroundColor(UIColor::redColor());
  card->layer()->setCornerRadius(10);
  card->layer()->setBorderWidth(2);
  card->layer()->setBorderColor(UIColor::blueColor().CGColor());
  root->addSubview(card);
  auto child = make<UIView>(CGRectMake(30, 30, 40, 40));  // sticks out of the card
  child->setBackgroundColor(UIColor::greenColor());
  card->addSubview(child);
  auto faded = make<UIView>(CGRectMake(60, 10, 30, 30));
  faded->setBackgroundColor(UIColor::blackColor());
  faded->setAlpha(0.5);
  root->addSubview(faded);
  auto hidden = make<UIView>(CGRectMake(60, 60, 30, 30));
  hidden->setBackgroundColor(UIColor::blackColor());
  hidden->setHidden(true);
  root->addSubview(hidden);
  auto scaled = make<UIView>(CGRectMake(70, 70, 10, 10));
  scaled->setBackgroundColor(UIColor::blueColor());
  scaled->setTransform(CGAffineTransformMakeScale(2, 2));  // covers 65..85
  root->addSubview(scaled);

  CGImageRef img = UIRenderer::renderView(root, 1)->CGImage();
  EXPECT_EQ(img->pixelAt(30, 30), 0xffff0000u);  // card
  EXPECT_EQ(img->pixelAt(11, 11), 0xffffffffu);  // rounded corner shows the root
  EXPECT_GT(B(img->pixelAt(30, 10)), 200u);      // border on top of the edge
  EXPECT_EQ(img->pixelAt(55, 55), 0xff00ff00u);  // no clipping: the child shows outside
  card->setClipsToBounds(true);
  img = UIRenderer::renderView(root, 1)->CGImage();
  EXPECT_EQ(img->pixelAt(55, 55), 0xffffffffu);
  EXPECT_EQ(img->pixelAt(42, 42), 0xff00ff00u);
  uint32_t half = img->pixelAt(75, 25);
  EXPECT_NEAR(R(half), 128, 2);
  EXPECT_EQ(img->pixelAt(75, 75), 0xff0000ffu);
  EXPECT_EQ(img->pixelAt(66, 66), 0xff0000ffu);  // the scaled square's grown corner
  EXPECT_EQ(img->pixelAt(88, 88), 0xffffffffu);  // hidden view not drawn
  // At scale 2 the picture has twice the pixels.
  EXPECT_EQ(UIRenderer::renderView(root, 2)->CGImage()->width(), 200u);
}

TEST(UIRenderTest, BuiltInContentOfPlatformViews) {
  auto root = make<UIView>(CGRectMake(0, 0, 100, 50));
  auto imageView = make<UIImageView>(solidImage(10, 10, UIColor::redColor(), 2));
  EXPECT_EQ(imageView->frame(), CGRectMake(0, 0, 10, 10));  // at the origin, in points
  imageView->setFrame(CGRectMake(0, 0, 40, 20));
  imageView->setContentMode(UIViewContentModeScaleAspectFit);  // a 20 x 20 square in the middle
  root->addSubview(imageView);
  auto blur = make<UIVisualEffectView>(UIBlurEffect::effectWithStyle(UIBlurEffectStyleDark));
  blur->setFrame(CGRectMake(50, 0, 50, 50));
  root->addSubview(blur);
  auto spinner = make<UIActivityIndicatorView>(UIActivityIndicatorViewStyleMedium);
  spinner->setColor(UIColor::blueColor());
  spinner->setCenter(CGPointMake(25, 35));
  root->addSubview(spinner);
  CGImageRef img = UIRenderer::renderView(root, 1)->CGImage();
  EXPECT_EQ(img->pixelAt(20, 10), 0xffff0000u);
  EXPECT_EQ(A(img->pixelAt(5, 10)), 0u);
  EXPECT_LT(R(img->pixelAt(75, 25)), 60u);  // the dark tint
  EXPECT_GT(A(img->pixelAt(75, 25)), 150u);
  EXPECT_EQ(A(img->pixelAt(25, 35)), 0u);  // stopped and hidden
  spinner->startAnimating();
  img = UIRenderer::renderView(root, 1)->CGImage();
  EXPECT_GT(B(img->pixelAt(25, 28)), 100u);  // the top spoke
}

TEST(UIRenderTest, ActivityIndicatorStylesAndHiding) {
  auto spinner = make<UIActivityIndicatorView>(UIActivityIndicatorViewStyleLarge);
  EXPECT_EQ(spinner->intrinsicContentSize(), CGSizeMake(37, 37));
  EXPECT_TRUE(spinner->isHidden());
  spinner->startAnimating();
  EXPECT_FALSE(spinner->isHidden());
  spinner->setActivityIndicatorViewStyle(UIActivityIndicatorViewStyleWhite);
  EXPECT_EQ(spinner->frame().size, CGSizeMake(20, 20));
  EXPECT_EQ(spinner->color(), UIColor::whiteColor());
  spinner->setHidesWhenStopped(false);
  spinner->stopAnimating();
  EXPECT_FALSE(spinner->isHidden());
}

TEST(UIRenderTest, ImagesFromFilesAndNames) {
  fs::path root = fs::temp_directory_path() / "uikit-images-test";
  fs::remove_all(root);
  fs::create_directories(root / "Pack.bundle");
  auto write = [](const fs::path& p, int w) {
    ASSERT_TRUE(CGImageWritePNGFile(CGImage::create(w, w), p.string()));
  };
  write(root / "icon.png", 10);
  write(root / "icon@2x.png", 20);
  write(root / "icon@3x.png", 30);
  write(root / "Pack.bundle" / "only.png", 8);
  auto file = UIImage::imageWithContentsOfFile((root / "icon@3x.png").string());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->scale(), 3);
  EXPECT_EQ(file->size(), CGSizeMake(10, 10));
  EXPECT_FALSE(UIImage::imageWithContentsOfFile((root / "none.png").string()));
  // A named pipe is not read (it would block until another process wrote to it).
  ASSERT_EQ(::mkfifo((root / "pipe.png").c_str(), 0600), 0);
  EXPECT_FALSE(UIImage::imageWithContentsOfFile((root / "pipe.png").string()));
  int reader = ::open((root / "pipe.png").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_FALSE(CGImageWritePNGFile(CGImage::create(2, 2), (root / "pipe.png").string()));
  ::close(reader);

  NSBundle::setMainBundlePath(root.string());
  UIImage::clearNamedCacheForTesting();
  auto named = UIImage::imageNamed("icon");  // the screen's scale (2) first
  ASSERT_TRUE(named);
  EXPECT_EQ(named->scale(), 2);
  EXPECT_EQ(named->size(), CGSizeMake(10, 10));
  EXPECT_EQ(UIImage::imageNamed("icon"), named);  // cached
  auto inBundle = UIImage::imageNamed("Pack.bundle/only.png");
  ASSERT_TRUE(inBundle);
  EXPECT_EQ(inBundle->scale(), 1);
  EXPECT_FALSE(UIImage::imageNamed("missing"));
  EXPECT_FALSE(UIImage::imageNamed(""));
  Data png = UIImagePNGRepresentation(named);
  EXPECT_EQ(UIImage::imageWithData(png, 2)->size(), CGSizeMake(10, 10));
  fs::remove_all(root);
}

TEST(UIRenderTest, BezierPaths) {
  auto rounded = UIBezierPath::bezierPathWithRoundedRectCornerRadius(CGRectMake(0, 0, 40, 20), 10);
  EXPECT_TRUE(rounded->containsPoint(CGPointMake(20, 10)));
  EXPECT_FALSE(rounded->containsPoint(CGPointMake(1, 1)));
  EXPECT_EQ(rounded->bounds(), CGRectMake(0, 0, 40, 20));
  // Clockwise on screen from the top: a quarter ends at the right.
  auto arc = UIBezierPath::bezierPathWithArcCenterRadiusStartAngleEndAngleClockwise(
      CGPointMake(0, 0), 10, -M_PI / 2, 0, true);
  EXPECT_NEAR(arc->currentPoint().x, 10, 1e-9);
  EXPECT_NEAR(arc->currentPoint().y, 0, 1e-9);
  EXPECT_NEAR(arc->bounds().origin.y, -10, 1e-6);
  EXPECT_GE(arc->bounds().origin.x, -1e-6);
  auto empty = UIBezierPath::bezierPath();
  empty->addLineToPoint(CGPointMake(5, 5));  // no start point: ignored
  EXPECT_TRUE(empty->isEmpty());

  UIGraphicsBeginImageContextWithOptions(CGSizeMake(40, 20), false, 1);
  UIColor::redColor().setFill();
  rounded->fill();
  auto img = UIGraphicsGetImageFromCurrentImageContext()->CGImage();
  UIGraphicsEndImageContext();
  EXPECT_EQ(img->pixelAt(20, 10), 0xffff0000u);
  EXPECT_EQ(A(img->pixelAt(0, 0)), 0u);
}

TEST(UIRenderTest, VisualFormatConstraints) {
  auto parent = make<UIView>(CGRectMake(0, 0, 100, 100));
  auto a = make<UIView>(), b = make<UIView>();
  parent->addSubview(a);
  parent->addSubview(b);
  auto cs = NSLayoutConstraint::constraintsWithVisualFormat("|-(>=m@750)-[a]-10-[b]-|", {{"m", 20}},
                                                            {{"a", a}, {"b", b}});
  ASSERT_EQ(cs.size(), 3u);
  EXPECT_EQ(cs[0]->firstItem(), a);
  EXPECT_EQ(cs[0]->firstAttribute(), NSLayoutAttributeLeading);
  EXPECT_EQ(cs[0]->secondItem(), parent);
  EXPECT_EQ(cs[0]->relation(), NSLayoutRelationGreaterThanOrEqual);
  EXPECT_EQ(cs[0]->constant(), 20);
  EXPECT_EQ(cs[0]->priority(), 750);
  EXPECT_EQ(cs[1]->firstItem(), b);
  EXPECT_EQ(cs[1]->secondItem(), a);
  EXPECT_EQ(cs[1]->secondAttribute(), NSLayoutAttributeTrailing);
  EXPECT_EQ(cs[1]->constant(), 10);
  EXPECT_EQ(cs[2]->firstItem(), parent);
  EXPECT_EQ(cs[2]->firstAttribute(), NSLayoutAttributeTrailing);
  EXPECT_EQ(cs[2]->constant(), 8);
  auto v = NSLayoutConstraint::constraintsWithVisualFormat("V:|-5-[a]", {}, {{"a", a}});
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0]->firstAttribute(), NSLayoutAttributeTop);
  // Unknown views or metrics make the format invalid.
  EXPECT_TRUE(NSLayoutConstraint::constraintsWithVisualFormat("|-[c]-|", {}, {{"a", a}}).empty());
  EXPECT_TRUE(
      NSLayoutConstraint::constraintsWithVisualFormat("|-(>=x)-[a]", {}, {{"a", a}}).empty());
  parent->addConstraints(cs);
  EXPECT_TRUE(cs[0]->isActive());
  parent->removeConstraint(cs[0]);
  EXPECT_FALSE(cs[0]->isActive());
  EXPECT_EQ(parent->constraints().size(), 2u);
}

}  // namespace
