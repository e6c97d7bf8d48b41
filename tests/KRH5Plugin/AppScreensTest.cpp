// The application's screens behind the Sys commands: each command the page sends reaches its
// screen (presented over the bridge's root controller) or its generator and album.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "KRH5Plugin/AppScreens.h"
#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/QBImageViewCtrl.h"
#include "KRH5Plugin/QRCodeManager.h"
#include "KRH5Plugin/QRCodeViewController.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/TKImageCropController.h"
#include "KRH5Plugin/Utils.h"
#include "platform/device/ALAssetsLibrary.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "tests/KRH5Plugin/PluginPage.h"

using namespace plat;

namespace {

// A `w` x `h` PNG of one colour.
Data solidPNG(double w, double h, UIColor colour) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(w, h), true, 1);
  colour.setFill();
  UIRectFill(CGRectMake(0, 0, w, h));
  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return UIImagePNGRepresentation(image);
}

struct AppScreensTest : ::testing::Test, plugin_page::PluginPage {
  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle;
  CGRect oldScreen = UIScreen::mainScreen().bounds();
  std::shared_ptr<UIWindow> window;
  UIViewControllerRef rootController = std::make_shared<UIViewController>();
  std::string docs;

  void SetUp() override {
    ALAssetsLibrary::resetForTesting();
    bundle.writePlist("Lumora.bundle/Info.plist", Value(Dictionary()));
    UIScreen::mainScreen().setBounds(CGRectMake(0, 0, 375, 667));
    window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
    plugin_page::showSysScreens(window, rootController, AppScreens());
    docs = Utils::GetDocumentPath().value_or("");
    ASSERT_FALSE(docs.empty());
    std::filesystem::create_directories(docs);
    ASSERT_TRUE(attach());
  }
  void TearDown() override {
    if (auto picker = QBImageViewCtrl::CurrentPicker()) picker->cancel();
    testing_loop::runUntilIdle();
    TKImageCropController::ResetForTesting();
    QRCodeManager::ResetForTesting();
    plugin_page::resetSysScreens();
    UIScreen::mainScreen().setBounds(oldScreen);
    window->setHidden(true);
    ALAssetsLibrary::resetForTesting();
    testing_loop::runUntilIdle();
  }
  UIViewControllerRef presented() {
    testing_loop::runUntil([&] { return rootController->presentedViewController() != nullptr; });
    return rootController->presentedViewController();
  }
  // Writes a PNG of one colour under Documents and returns its path.
  std::string picture(const std::string& name, UIColor colour) {
    std::string path = docs + "/" + name;
    Data png = solidPNG(6, 4, colour);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.bytes()), std::streamsize(png.length()));
    return path;
  }
  void dismissed() {
    ASSERT_TRUE(testing_loop::runUntil([&] { return !rootController->presentedViewController(); }));
  }
};

TEST_F(AppScreensTest, SelectImageOpensThePicker) {
  eval("LM_IOS.SelectImage(2);");
  auto screen = presented();
  ASSERT_TRUE(screen);
  ASSERT_EQ(screen, QBImageViewCtrl::CurrentPicker());
  EXPECT_EQ(QBImageViewCtrl::CurrentPicker()->maximumNumberOfSelection(), 2u);
  QBImageViewCtrl::CurrentPicker()->cancel();
  dismissed();
}

TEST_F(AppScreensTest, SaveImageToPhotoAlbumAddsThePictureToSavedPhotos) {
  std::string path = picture("red.png", UIColor::redColor());
  eval("LM_IOS.SaveImageToPhotoAlbum('" + path + "');");
  ASSERT_TRUE(testing_loop::runUntil([] { return ALAssetsLibrary::savedPhotoPaths().size() == 1; }));
  auto saved = UIImage::imageWithContentsOfFile(ALAssetsLibrary::savedPhotoPaths()[0]);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->CGImage()->width(), 6u);
  EXPECT_EQ(saved->CGImage()->pixelAt(3, 2), 0xFFFF0000u);
}

TEST_F(AppScreensTest, CropImageOpensTheCropScreenOnThePicture) {
  std::string path = picture("blue.png", UIColor::blueColor());
  eval("LM_IOS.CropImage({sourcePath: '" + path + "', savePath: '" + docs + "/crop.png', isPng: true});");
  auto screen = presented();
  ASSERT_TRUE(screen);
  auto crop = TKImageCropController::Current();
  ASSERT_EQ(screen, crop);
  EXPECT_EQ(crop->savePath(), docs + "/crop.png");
  EXPECT_TRUE(crop->isPng());
  ASSERT_TRUE(crop->image());
  EXPECT_EQ(crop->image()->CGImage()->pixelAt(1, 1), 0xFF0000FFu);
  crop->cancelButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  dismissed();
}

TEST_F(AppScreensTest, ScanQRCodeOpensTheScannerAndCreateQRCodeWritesTheCode) {
  eval("LM_IOS.ScanQRCode();");
  auto screen = presented();
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen, std::static_pointer_cast<UIViewController>(QRCodeManager::CurrentScanner()));
  rootController->dismissViewControllerAnimatedCompletion(false);
  QRCodeManager::ResetForTesting();
  dismissed();

  std::string path = docs + "/code.jpg";
  eval("LM_IOS.CreateQRCode(JSON.stringify({savePath: '" + path + "', text: 'hello'}));");
  ASSERT_TRUE(testing_loop::runUntil([&] { return std::filesystem::exists(path); }));
  auto code = UIImage::imageWithContentsOfFile(path);
  ASSERT_TRUE(code);
  EXPECT_EQ(code->CGImage()->width(), 256u);
  // A quiet zone of light pixels around dark modules.
  EXPECT_GT(code->CGImage()->pixelAt(2, 2) & 0xff, 200u);
  int dark = 0;
  for (int x = 0; x < 256; ++x) dark += (code->CGImage()->pixelAt(x, 128) & 0xff) < 60;
  EXPECT_GT(dark, 20);
}

}  // namespace
