// The crop screen opened through LM_IOS.CropImage: how it opens (portrait and landscape), a
// drag, Confirm writing the square (square to the pixel) shrunk to the limits as JPEG or PNG
// (with its transparency) and reporting once, a failed write, and Cancel leaving the file and
// the page alone. Pictures of the screen go to the test output folder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "KRH5Plugin/SysInterface.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/TKImageCropController.h"
#include "KRH5Plugin/Utils.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/uikit/Pixels.h"
#include "tests/KRH5Plugin/PluginPage.h"

using namespace plat;
using namespace testing_uikit;

namespace {

std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  return std::string(env && *env ? env : "test-output") + "/KRH5Plugin/";
}

// A w x h picture: a green field with a red disc in the middle; with `hole`, a transparent
// square in the top-left corner.
UIImageRef picture(double w, double h, bool hole = false) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(w, h), false, 1.0);
  CGContextRef c = UIGraphicsGetCurrentContext();
  CGContextSetRGBFillColor(c, 0.1, 0.6, 0.2, 1);
  CGContextFillRect(c, CGRectMake(0, 0, w, h));
  CGContextSetRGBFillColor(c, 0.9, 0.1, 0.1, 1);
  double r = std::min(w, h) / 4;
  CGContextFillEllipseInRect(c, CGRectMake(w / 2 - r, h / 2 - r, 2 * r, 2 * r));
  if (hole) CGContextClearRect(c, CGRectMake(0, 0, w / 2, h / 2));
  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

// A 375 x 667 window with the bridge's root controller, a page that hears "onCropImage", and
// the crop screen as the hook of the crop command.
struct CropScreenTest : ::testing::Test, plugin_page::PluginPage {
  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle;
  std::shared_ptr<UIWindow> window;
  UIViewControllerRef rootController = std::make_shared<UIViewController>();
  std::string docs;

  void SetUp() override {
    bundle.writePlist("Lumora.bundle/Info.plist", Value(Dictionary()));
    window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
    SysScreens screens;
    screens.cropImage = TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight;
    plugin_page::showSysScreens(window, rootController, screens);
    docs = *Utils::GetDocumentPath();
    ASSERT_TRUE(attach("LM_IOS.SetCallback({onCropImage: back});"));
  }
  void TearDown() override {
    TKImageCropController::ResetForTesting();
    UITouchDriver::resetForTesting();
    plugin_page::resetSysScreens();
    window->setHidden(true);
  }

  void source(const std::string& name, const UIImageRef& image, bool png = false) {
    Utils::ReplaceFile(docs + "/" + name, png ? UIImagePNGRepresentation(image)
                                              : UIImageJPEGRepresentation(image, 0.9));
  }
  // Opens the screen through the page with the extra JSON members given and waits for it.
  std::shared_ptr<TKImageCropController> open(const std::string& members) {
    eval("LM_IOS.CropImage({sourcePath: '" + docs + "/src', savePath: '" + docs + "/out'" +
         (members.empty() ? "" : ", " + members) + "});");
    testing_loop::runUntil([] { return TKImageCropController::Current() != nullptr; });
    testing_loop::runUntilIdle();
    return TKImageCropController::Current();
  }
  std::string confirm(const std::shared_ptr<TKImageCropController>& screen) {
    return next([&] { screen->confirmButton()->sendActionsForControlEvents(UIControlEventTouchUpInside); });
  }
  // The next report, after any the screen may have sent: "after" when it sent none.
  std::string nextAfterNothing() { return next([&] { eval("back('after');"); }); }
  UIImageRef written() { return UIImage::imageWithContentsOfFile(docs + "/out"); }
  CGImageRef render() { return UIRenderer::renderView(window, 1)->CGImage(); }
  void picture(const std::string& name) {
    std::filesystem::create_directories(outputDir());
    EXPECT_TRUE(UIRenderer::writePNG(window, outputDir() + name, 2));
  }
};

TEST_F(CropScreenTest, OpensWithACentredSquareAndConfirmWritesItAtTheDefaultLimit) {
  source("src", ::picture(1600, 1200));
  { std::ofstream(docs + "/out") << "old"; }
  auto screen = open("");
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->maxWidth(), 512u);
  EXPECT_FALSE(screen->isPng());
  auto view = screen->imageView();
  EXPECT_EQ(view->frame(), CGRectMake(0, 0, 375, 607));
  EXPECT_EQ(view->imageView()->frame(), CGRectMake(0, 162, 375, 281));
  CGRect crop = view->cropAreaView()->frame();
  EXPECT_NEAR(crop.size.width, 281 * 0.800000011920929, 1e-9);
  EXPECT_EQ(crop.size.width, crop.size.height);
  EXPECT_NEAR(CGRectGetMidX(crop), 187.5, 1e-9);
  EXPECT_EQ(view->cropAreaCornerWidth(), 24);
  EXPECT_EQ(view->currentMinSpace(), 30);
  EXPECT_TRUE(view->cropAreaPinch());

  // The picture: the disc clear in the square, the field dark outside it, the bar's titles.
  CGImageRef img = render();
  uint32_t centre = img->pixelAt(187, 162 + 140);
  EXPECT_GT(R(centre), 200u);
  uint32_t inside = img->pixelAt(90, 300), outside = img->pixelAt(20, 300);
  EXPECT_GT(G(inside), 140u);
  EXPECT_LT(G(outside), 40u);
  EXPECT_EQ(img->pixelAt(187, 100), 0xff000000u);  // black above the image
  int bright = 0;
  for (int y = 607; y < 667; y++)
    for (int x = 0; x < 375; x++) bright += G(img->pixelAt(x, y)) > 200;
  EXPECT_GT(bright, 40);  // "Cancel" and "Confirm"
  picture("crop-portrait.png");

  // A drag moves the square; its corners follow.
  CGPoint from = view->imageView()->convertPointToView({CGRectGetMidX(crop), CGRectGetMidY(crop)},
                                                       nullptr);
  UITouchDriver::drag(window, from, {from.x - 200, from.y + 20});
  CGRect moved = view->cropAreaView()->frame();
  EXPECT_EQ(moved.origin.x, 0);  // stopped at the image's left edge
  EXPECT_NEAR(moved.origin.y, crop.origin.y + 20, 1e-9);
  EXPECT_EQ(view->topLeftCorner()->frame().origin.x, -2);
  img = render();
  EXPECT_GT(G(img->pixelAt(20, 320)), 140u);  // the field's left edge now clear
  EXPECT_LT(G(img->pixelAt(360, 320)), 40u);
  picture("crop-after-drag.png");

  // Confirm: one report, the old file replaced by a 512 x 512 JPEG; a second tap is ignored.
  EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":1}\"]");
  screen->confirmButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(nextAfterNothing(), "[\"after\"]");
  auto out = written();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), CGSizeMake(512, 512));
  std::ifstream in(docs + "/out", std::ios::binary);
  EXPECT_EQ(in.get(), 0xff);  // JPEG
  testing_loop::runUntilIdle();
  EXPECT_EQ(TKImageCropController::Current(), nullptr);
  EXPECT_EQ(rootController->presentedViewController(), nullptr);
}

TEST_F(CropScreenTest, LandscapeFollowsTheScreenAndCancelLeavesEverything) {
  source("src", ::picture(1200, 1600));
  { std::ofstream(docs + "/out") << "old"; }
  auto screen = open("isPng: true");
  ASSERT_TRUE(screen);
  CGRect oldScreen = UIScreen::mainScreen().bounds();
  UIScreen::mainScreen().setBounds(CGRectMake(0, 0, 667, 375));
  UIWindowTransitionToSize(window, CGSizeMake(667, 375));
  auto view = screen->imageView();
  EXPECT_EQ(view->frame(), CGRectMake(0, 0, 667, 315));
  EXPECT_EQ(view->imageView()->frame(), CGRectMake(215, 0, 236, 315));
  CGRect crop = view->cropAreaView()->frame();
  EXPECT_NEAR(crop.size.width, 236 * 0.800000011920929, 1e-9);
  EXPECT_EQ(screen->confirmButton()->frame().origin.x, 567);
  CGImageRef img = UIRenderer::renderView(window, 1)->CGImage();
  EXPECT_GT(R(img->pixelAt(333, 157)), 200u);  // the disc in the square
  EXPECT_LT(G(img->pixelAt(225, 10)), 40u);    // the darkened field
  EXPECT_EQ(img->pixelAt(100, 157), 0xff000000u);
  picture("crop-landscape.png");
  UIScreen::mainScreen().setBounds(oldScreen);

  screen->cancelButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  screen->confirmButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);  // closing
  EXPECT_EQ(nextAfterNothing(), "[\"after\"]");
  std::ifstream in(docs + "/out");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old");
  testing_loop::runUntilIdle();
  EXPECT_EQ(TKImageCropController::Current(), nullptr);
}

TEST_F(CropScreenTest, LimitsFormatsAndTransparency) {
  // The smaller limit bounds both sides; a shrunk PNG keeps its transparency.
  source("src", ::picture(1600, 1200, true), true);
  auto screen = open("isPng: true, maxWidth: 300, maxHeight: 1000");
  ASSERT_TRUE(screen);
  // The square up to the image's top-left corner, where the hole is.
  screen->imageView()->cropAreaView()->setFrame(CGRectMake(0, 0, 200, 200));
  EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":1}\"]");
  auto out = written();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), CGSizeMake(300, 300));
  EXPECT_EQ(A(out->CGImage()->pixelAt(100, 100)), 0u);
  EXPECT_EQ(A(out->CGImage()->pixelAt(299, 299)), 255u);
  testing_loop::runUntilIdle();

  // Limits of 0 count as missing (512).
  screen = open("maxWidth: 0, maxHeight: 0");
  ASSERT_TRUE(screen);
  EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":1}\"]");
  ASSERT_TRUE(written());
  EXPECT_EQ(std::max(written()->size().width, written()->size().height), 512);
  testing_loop::runUntilIdle();

  // A crop under a limit beyond 32 bits is written as cut.
  source("src", ::picture(200, 150));
  screen = open("maxWidth: 4294967396, maxHeight: 4294967396");
  ASSERT_TRUE(screen);
  auto cut = screen->imageView()->currentCroppedImage();
  ASSERT_TRUE(cut);
  EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":1}\"]");
  ASSERT_TRUE(written());
  EXPECT_EQ(written()->size(), cut->size());
  EXPECT_LT(cut->size().width, 150);
  testing_loop::runUntilIdle();

  // A file that cannot be written reports 0 and closes.
  eval("LM_IOS.CropImage({sourcePath: '" + docs + "/src', savePath: '" + docs +
       "/missing/out'});");
  testing_loop::runUntil([] { return TKImageCropController::Current() != nullptr; });
  screen = TKImageCropController::Current();
  ASSERT_TRUE(screen);
  EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":0}\"]");
  EXPECT_FALSE(std::filesystem::exists(docs + "/missing"));
  testing_loop::runUntilIdle();
  EXPECT_EQ(TKImageCropController::Current(), nullptr);
  // Nor can a file take a folder's place: the folder keeps what it holds.
  std::filesystem::create_directories(docs + "/folder");
  { std::ofstream(docs + "/folder/keep.txt") << "kept"; }
  eval("LM_IOS.CropImage({sourcePath: '" + docs + "/src', savePath: '" + docs + "/folder'});");
  testing_loop::runUntil([] { return TKImageCropController::Current() != nullptr; });
  screen = TKImageCropController::Current();
  ASSERT_TRUE(screen);
  EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":0}\"]");
  EXPECT_TRUE(std::filesystem::exists(docs + "/folder/keep.txt"));
  testing_loop::runUntilIdle();
}

// The square is written square to the pixel, wherever the area lies in fractional points:
// shrunk to the limit, cut under it, and after a pinch against the image's edge and corner
// drags along it.
TEST_F(CropScreenTest, ConfirmWritesASquareToThePixel) {
  struct Case {
    double w, h;
    const char* members;
    double side;  // 0: as cut
  };
  const Case cases[] = {{1600, 1200, "maxWidth: 300, maxHeight: 300", 300},
                        {1200, 1600, "", 512},
                        {1600, 1200, "", 512},
                        {333, 250, "maxWidth: 4000, maxHeight: 4000", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(int(c.w)) + "x" + std::to_string(int(c.h)) + " " + c.members);
    source("src", ::picture(c.w, c.h));
    auto screen = open(c.members);
    ASSERT_TRUE(screen);
    EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":1}\"]");
    auto out = written();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size().width, out->size().height);
    if (c.side > 0) EXPECT_EQ(out->size().width, c.side);
    testing_loop::runUntilIdle();
  }

  // The area at its smallest in the image's top-left corner and pinched smaller still; then
  // its top-right corner dragged right along the top edge and its top-left one down along the
  // left edge: still a square inside the image.
  source("src", ::picture(1600, 1200));
  auto screen = open("maxWidth: 2000, maxHeight: 2000");
  ASSERT_TRUE(screen);
  auto view = screen->imageView();
  auto image = view->imageView();
  auto at = [&](const std::shared_ptr<CornerView>& corner) {
    CGRect f = corner->frame();
    return image->convertPointToView({CGRectGetMidX(f), CGRectGetMidY(f)}, nullptr);
  };
  UITouchDriver::drag(window, at(view->topLeftCorner()), at(view->bottomRightCorner()));
  CGRect crop = view->cropAreaView()->frame();
  UITouchDriver::drag(
      window, image->convertPointToView({CGRectGetMidX(crop), CGRectGetMidY(crop)}, nullptr),
      {0, 0});
  view->scaleCropArea(view->cropAreaView()->bounds().size, 0.5);
  crop = view->cropAreaView()->frame();
  EXPECT_GE(crop.origin.x, 0);
  EXPECT_GE(crop.origin.y, 0);
  CGPoint from = at(view->topRightCorner());
  UITouchDriver::touchDown(window, from);
  for (double x = from.x + 40; x < 380; x += 40) UITouchDriver::touchMove(window, {x, from.y});
  UITouchDriver::touchUp(window, {360, from.y});
  from = at(view->topLeftCorner());
  UITouchDriver::touchDown(window, from);
  for (double y = from.y + 40; y < 500; y += 40) UITouchDriver::touchMove(window, {from.x, y});
  UITouchDriver::touchUp(window, {from.x, 460});
  crop = view->cropAreaView()->frame();
  CGSize inside = image->bounds().size;
  EXPECT_GE(crop.origin.x, -1e-9);
  EXPECT_GE(crop.origin.y, -1e-9);
  EXPECT_LE(CGRectGetMaxX(crop), inside.width + 1e-9);
  EXPECT_LE(CGRectGetMaxY(crop), inside.height + 1e-9);
  EXPECT_NEAR(crop.size.width, crop.size.height, 1e-9);
  EXPECT_EQ(confirm(screen), "[\"{\\\"result\\\":1}\"]");
  auto out = written();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size().width, out->size().height);
  testing_loop::runUntilIdle();
}

TEST(CropScreenOpening, NeedsAnImageAPathTheBundleAndARootController) {
  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle;
  auto controller = std::make_shared<UIViewController>();
  auto window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(controller);
  IOSPlugin::SetRootController(controller);
  auto image = ::picture(40, 30);
  TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight(image, "/tmp/x", false, 9, 9);
  EXPECT_EQ(TKImageCropController::Current(), nullptr);  // no "Lumora" bundle
  bundle.writePlist("Lumora.bundle/Info.plist", Value(Dictionary()));
  TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight(nullptr, "/tmp/x", false, 9, 9);
  TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight(image, "", false, 9, 9);
  EXPECT_EQ(TKImageCropController::Current(), nullptr);
  TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight(image, "/tmp/x", false, 9, 9);
  auto screen = TKImageCropController::Current();
  ASSERT_TRUE(screen);
  EXPECT_EQ(controller->presentedViewController(), screen);
  // A second request while one is open is refused by the presentation.
  TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight(image, "/tmp/y", false, 9, 9);
  EXPECT_EQ(TKImageCropController::Current(), screen);
  screen->cancelButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  testing_loop::runUntilIdle();
  EXPECT_EQ(TKImageCropController::Current(), nullptr);
  IOSPlugin::ResetForTesting();
}

}  // namespace
