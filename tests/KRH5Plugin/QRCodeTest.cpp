// QR codes for the page: the generator (read back with ZXing), the logo the "CreateQRCode"
// command lays over it, and the scanner screen driven by the stand-in camera: its geometry,
// what it shows, the one report each presentation gives and the texts the page receives.

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "KRH5Plugin/QRCodeManager.h"
#include "KRH5Plugin/QRCodeViewController.h"
#include "KRH5Plugin/SysInterface.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/Utils.h"
#include "platform/device/PermissionStore.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "tests/KRH5Plugin/PluginPage.h"
#include "tests/platform/device/CaptureFrames.h"

using namespace plat;
using capture_frames::Code;
using capture_frames::frameWithCodes;

namespace {

std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  return std::string(env && *env ? env : "test-output") + "/KRH5Plugin/";
}

// The texts ZXing reads anywhere in the image.
std::vector<std::string> readCodes(const CGImageRef& image) {
  ZXing::ImageView view(image->bytes(), int(image->width()), int(image->height()),
                        ZXing::ImageFormat::BGRX, int(image->bytesPerRow()));
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode);
  std::vector<std::string> texts;
  for (auto& r : ZXing::ReadBarcodes(view, hints)) texts.push_back(r.text());
  return texts;
}

bool near(uint32_t argb, uint32_t want, int tolerance = 12) {
  for (int shift : {0, 8, 16, 24}) {
    if (std::abs(int((argb >> shift) & 0xff) - int((want >> shift) & 0xff)) > tolerance) return false;
  }
  return true;
}

TEST(QRCodeGenerationTest, CodesReadBackAndStayBlackAndWhite) {
  std::string chinese = "扫码登录：游戏账号 12345";
  std::string long1000;
  for (int i = 0; i < 1000; ++i) long1000 += char('!' + (i * 7) % 90);
  // 1000 bytes need 121 modules: at 256 points a module is about 2 pixels, too few to read
  // back reliably, so that code is made larger.
  for (auto [text, size] : {std::pair{std::string("https://example.com/?a=1&b=2"), 256.0},
                            {chinese, 256.0}, {long1000, 1024.0}}) {
    auto image = QRCodeManager::CreateQRCodeWithSize(text, size);
    ASSERT_TRUE(image) << text.size();
    auto bitmap = image->CGImage();
    // At most the size asked for, less only by rounding down to whole pixels.
    EXPECT_LE(bitmap->width(), size_t(size));
    EXPECT_GE(bitmap->width(), size_t(size) - 1);
    EXPECT_EQ(bitmap->width(), bitmap->height());
    EXPECT_DOUBLE_EQ(image->scale(), 1);
    size_t other = 0;
    for (size_t y = 0; y < bitmap->height(); ++y)
      for (size_t x = 0; x < bitmap->width(); ++x) {
        uint32_t p = bitmap->pixelAt(int(x), int(y));
        other += (p != 0xFF000000u && p != 0xFFFFFFFFu);
      }
    EXPECT_EQ(other, 0u) << "smoothed pixels in the code of " << text.size() << " bytes";
    EXPECT_EQ(readCodes(bitmap), std::vector<std::string>{text});
  }
  // 2331 bytes is the most a code holds at level M.
  EXPECT_TRUE(QRCodeManager::CreateQRCodeWithSize(std::string(2331, '7'), 256));
  EXPECT_FALSE(QRCodeManager::CreateQRCodeWithSize(std::string(2332, '7'), 256));
  EXPECT_FALSE(QRCodeManager::CreateQRCodeWithSize("", 256));
  EXPECT_FALSE(QRCodeManager::CreateQRCodeWithSize("x", 0.5));
  EXPECT_FALSE(QRCodeManager::CreateQRCodeWithSize("x", std::nan("")));
  EXPECT_FALSE(QRCodeManager::CreateNonInterpolateUIImageWithSize(nullptr, 256));
}

// The QR command with the code maker as its screen, in a device root of its own.
struct QRCommand {
  testing_device::TempDeviceRoot root;
  SysInterface sys;
  std::string docs = *Utils::GetDocumentPath();
  QRCommand() {
    SysScreens screens;
    screens.createQRCode = QRCodeManager::CreateQRCodeWithSize;
    SysInterface::SetScreens(screens);
  }
  ~QRCommand() { SysInterface::SetScreens({}); }
  // An orange square of `side` as "logo.png", inside a dark ring `ring` wide.
  void writeLogo(double side, double ring) {
    UIGraphicsBeginImageContextWithOptions(CGSizeMake(side, side), true, 1.0);
    CGContextSetRGBFillColor(UIGraphicsGetCurrentContext(), 0.2, 0.2, 0.2, 1);
    CGContextFillRect(UIGraphicsGetCurrentContext(), CGRectMake(0, 0, side, side));
    CGContextSetRGBFillColor(UIGraphicsGetCurrentContext(), 1, 0.5, 0, 1);
    CGContextFillRect(UIGraphicsGetCurrentContext(),
                      CGRectMake(ring, ring, side - 2 * ring, side - 2 * ring));
    Utils::ReplaceFile(docs + "/logo.png",
                       UIImagePNGRepresentation(UIGraphicsGetImageFromCurrentImageContext()));
    UIGraphicsEndImageContext();
  }
};

// Codes near the limit (version 40) get whole pixels a module, larger than the size asked for,
// and read back, as made and as the command writes them (with and without a logo).
TEST(QRCodeGenerationTest, CodesNearTheLimitKeepWholePixelModulesAndReadBack) {
  QRCommand command;
  SysInterface& sys = command.sys;
  const std::string& docs = command.docs;
  command.writeLogo(64, 0);
  for (size_t length : {2220u, 2331u}) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += char('0' + (i * 7) % 10);
    auto image = QRCodeManager::CreateQRCodeWithSize(text, 256);
    ASSERT_TRUE(image) << length;
    auto bitmap = image->CGImage();
    EXPECT_GT(bitmap->width(), 256u);
    // 177 modules and the quiet zone, each module the same whole number of pixels.
    EXPECT_EQ(bitmap->width() % 179, 0u) << bitmap->width();
    EXPECT_EQ(readCodes(bitmap), std::vector<std::string>{text}) << length;
    for (bool logo : {false, true}) {
      std::string json = "{\"savePath\":\"" + docs + "/qr.jpg\",\"text\":\"" + text + "\"";
      if (logo) json += ",\"imagePath\":\"" + docs + "/logo.png\"";
      std::filesystem::remove(docs + "/qr.jpg");
      sys.CreateQRCode(json + "}");
      auto saved = UIImage::imageWithContentsOfFile(docs + "/qr.jpg");
      ASSERT_TRUE(saved) << length;
      EXPECT_EQ(saved->CGImage()->width(), bitmap->width());
      EXPECT_EQ(readCodes(saved->CGImage()), std::vector<std::string>{text}) << length << logo;
    }
  }
}

TEST(QRCodeGenerationTest, TheCommandLaysTheLogoInTheMiddle) {
  QRCommand command;
  SysInterface& sys = command.sys;
  const std::string& docs = command.docs;
  command.writeLogo(128, 12);  // an orange logo with a dark ring

  const std::string text = "https://example.com/invite?code=Lumora-2026";
  sys.CreateQRCode("{\"savePath\":\"" + docs + "/qr.jpg\",\"text\":\"" + text +
                   "\",\"imagePath\":\"" + docs + "/logo.png\"}");
  sys.CreateQRCode("{\"savePath\":\"" + docs + "/long.jpg\",\"text\":\"" + std::string(3000, 'a') + "\"}");
  auto saved = UIImage::imageWithContentsOfFile(docs + "/qr.jpg");
  ASSERT_TRUE(saved);
  auto bitmap = saved->CGImage();
  EXPECT_EQ(bitmap->width(), 256u);
  EXPECT_TRUE(near(bitmap->pixelAt(128, 128), 0xFFFF8000u, 24));  // the logo's middle
  EXPECT_TRUE(near(bitmap->pixelAt(3, 3), 0xFFFFFFFFu, 24));      // quiet zone
  EXPECT_EQ(readCodes(bitmap), std::vector<std::string>{text});   // still readable
  EXPECT_FALSE(std::filesystem::exists(docs + "/long.jpg"));      // too long: nothing written
  std::filesystem::create_directories(outputDir());
  Data png = UIImagePNGRepresentation(saved);
  FILE* out = std::fopen((outputDir() + "qr-with-logo.png").c_str(), "wb");
  ASSERT_TRUE(out);
  std::fwrite(png.bytes(), 1, png.length(), out);
  std::fclose(out);
}

// The scanner presented from a window whose content view is 667 x 375 points, a page that
// hears "onScanQRCode", and the hooks of the Sys commands filled.
struct QRScannerTest : ::testing::Test, plugin_page::PluginPage {
  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle;
  CGRect oldScreen = UIScreen::mainScreen().bounds();
  std::shared_ptr<UIWindow> window;
  UIViewControllerRef rootController = std::make_shared<UIViewController>();

  void SetUp() override {
    bundle.writePlist("Lumora.bundle/Info.plist", Value(Dictionary()));
    // 40 more points than the content view: the strip below it.
    UIScreen::mainScreen().setBounds(CGRectMake(0, 0, 667, 415));
    window = make<UIWindow>(CGRectMake(0, 0, 667, 415));
    SysScreens screens;
    screens.scanQRCode = QRCodeManager::ScanQRCode;
    plugin_page::showSysScreens(window, rootController, screens);
    ASSERT_TRUE(attach("LM_IOS.SetCallback({onScanQRCode: back});"));
  }
  void TearDown() override {
    QRCodeManager::ResetForTesting();
    AVCaptureFakeCamera::setPicture(nullptr);
    plugin_page::resetSysScreens();
    PermissionStore::shared().resetForTesting();
    UIScreen::mainScreen().setBounds(oldScreen);
    window->setHidden(true);
  }

  // Opens the scanner through the page's command and waits until it scans or shows a text.
  std::shared_ptr<QRCodeViewController> open() {
    eval("LM_IOS.ScanQRCode();");
    std::shared_ptr<QRCodeViewController> scanner;
    testing_loop::runUntil([&] {
      scanner = QRCodeManager::CurrentScanner();
      return scanner && (scanner->isScanning() || scanner->labelView());
    });
    return scanner;
  }
  size_t reports() { return results.size(); }
  // A 640 x 480 frame; frame point (x, y) shows at ((x * 667 / 640), y * 667 / 640 - 62.6).
  static CGImageRef frame(std::vector<Code> codes) {
    return frameWithCodes(640, 480, codes, 0xFFD8E4F0u);
  }
  CGImageRef render() { return UIRenderer::renderView(window, 1)->CGImage(); }
};

TEST_F(QRScannerTest, GeometryAndPictureAt667x375) {
  auto scanner = open();
  ASSERT_TRUE(scanner && scanner->isScanning());
  EXPECT_EQ(scanner->contentView()->bounds(), CGRectMake(0, 0, 667, 375));
  EXPECT_EQ(scanner->scanRect(), CGRectMake(208.5, 62.5, 250, 250));
  CGRect roi = scanner->output()->rectOfInterest();
  EXPECT_NEAR(roi.origin.x, 0.3126, 1e-4);
  EXPECT_NEAR(roi.origin.y, 0.1667, 1e-4);
  EXPECT_NEAR(roi.size.width, 0.3748, 1e-4);
  EXPECT_NEAR(roi.size.height, 0.6667, 1e-4);
  EXPECT_EQ(scanner->session()->sessionPreset(), AVCaptureSessionPreset640x480);
  EXPECT_TRUE(scanner->session()->isRunning());
  EXPECT_EQ(scanner->previewLayer()->frame(), CGRectMake(0, 0, 667, 375));
  EXPECT_EQ(scanner->previewLayer()->videoGravity(), AVLayerVideoGravityResizeAspectFill);
  EXPECT_EQ(scanner->previewLayer()->connection()->videoOrientation(),
            AVCaptureVideoOrientationLandscapeRight);
  ASSERT_TRUE(scanner->labelView());
  EXPECT_EQ(scanner->labelView()->frame(), CGRectMake(183.5, 362.5, 300, 20));
  EXPECT_EQ(scanner->labelView()->text(), QRCodeViewController::kHintText);
  EXPECT_EQ(scanner->labelView()->font().pointSize(), 13);

  // A code left of the square is not read.
  AVCaptureFakeCamera::pushFrame(frame({Code{"outside", 20, 150, 4}}));
  ASSERT_TRUE(testing_loop::runUntil([&] { return scanner->previewLayer()->currentFrame() != nullptr; }));
  testing_loop::runUntilIdle();
  EXPECT_TRUE(scanner->isScanning());
  EXPECT_EQ(reports(), 0u);

  auto picture = render();
  UIRenderer::writePNG(window, outputDir() + "qr-scanner.png", 1);
  // The frame shows through the square; the dimmed rest shows it at half brightness.
  EXPECT_TRUE(near(picture->pixelAt(333, 100), 0xFFD8E4F0u)) << std::hex << picture->pixelAt(333, 100);
  EXPECT_TRUE(near(picture->pixelAt(600, 300), 0xFF6C7278u)) << std::hex << picture->pixelAt(600, 300);
  // The code outside the square, dimmed: a dark module and a light quiet zone.
  EXPECT_TRUE(near(picture->pixelAt(22, 95), 0xFF7F7F7Fu)) << std::hex << picture->pixelAt(22, 95);
  EXPECT_TRUE(near(picture->pixelAt(28, 101), 0xFF000000u)) << std::hex << picture->pixelAt(28, 101);
  // The hint below the square: some white text pixels on the dimmed frame and the strip.
  size_t white = 0;
  for (int y = 363; y < 383; ++y)
    for (int x = 184; x < 483; ++x) white += near(picture->pixelAt(x, y), 0xFFFFFFFFu, 40);
  EXPECT_GT(white, 30u);
}

TEST_F(QRScannerTest, ACodeInTheSquareIsReportedOnceAndTheScreenGoes) {
  auto scanner = open();
  ASSERT_TRUE(scanner && scanner->isScanning());
  // Two frames read before the main queue runs: the second code arrives after the scan ended.
  AVCaptureFakeCamera::pushFrame(frame({Code{"first", 270, 190, 4}}));
  AVCaptureFakeCamera::pushFrame(frame({Code{"second", 270, 190, 4}}));
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 1; }));
  EXPECT_EQ(results[0], "[\"first\"]");
  // Back on the screen that is going changes nothing either.
  scanner->ClickBackButton();
  testing_loop::runUntilIdle();
  EXPECT_FALSE(rootController->presentedViewController());
  EXPECT_FALSE(QRCodeManager::CurrentScanner());
  EXPECT_FALSE(scanner->isScanning());
  EXPECT_FALSE(scanner->session());
  EXPECT_FALSE(scanner->maskView());
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
  AVCaptureFakeCamera::pushFrame(frame({Code{"late", 270, 190, 4}}));
  EXPECT_EQ(results.size(), 1u) << "after late frames";
  testing_loop::runUntil([&] { return results.size() > 1; }, 0.5);
  EXPECT_EQ(results.size(), 1u);

  // Scanning again builds a fresh screen; of several codes in one frame the last is reported.
  auto again = open();
  ASSERT_TRUE(again && again->isScanning());
  EXPECT_NE(again, scanner);
  again->StartScan();  // while scanning: nothing
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 1u);
  auto code = [](const char* text) {
    return std::make_shared<AVMetadataMachineReadableCodeObject>(
        AVMetadataObjectTypeQRCode, text, CGRectMake(0.4, 0.4, 0.1, 0.1), std::vector<CGPoint>{});
  };
  again->captureOutputDidOutputMetadataObjectsFromConnection(again->output(), {code("a"), code("b")},
                                                             nullptr);
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 2; }));
  EXPECT_EQ(results[1], "[\"b\"]");
}

TEST_F(QRScannerTest, BackTwiceReportsOnceWithoutText) {
  auto scanner = open();
  ASSERT_TRUE(scanner);
  scanner->backButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  scanner->backButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 1; }));
  testing_loop::runUntil([&] { return results.size() > 1; }, 0.5);
  EXPECT_EQ(results, std::vector<std::string>{"[\"u\"]"});
}

TEST_F(QRScannerTest, AScannerThatBackEndedNeverStartsTheCameraAgain) {
  auto scanner = open();
  ASSERT_TRUE(scanner && scanner->isScanning());
  scanner->ClickBackButton();
  scanner->StartScan();  // e.g. a presentation completion that comes late
  EXPECT_FALSE(scanner->isScanning());
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 1; }));
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
  EXPECT_EQ(results, std::vector<std::string>{"[\"u\"]"});
}

TEST_F(QRScannerTest, DeniedAndMissingCameraExplainThemselves) {
  PermissionStore::shared().setCameraStatus(AuthorizationStatusDenied);
  auto scanner = open();
  ASSERT_TRUE(scanner && scanner->labelView());
  EXPECT_FALSE(scanner->isScanning());
  EXPECT_FALSE(scanner->session());
  EXPECT_EQ(scanner->labelView()->text(), QRCodeViewController::kDeniedText);
  EXPECT_EQ(scanner->labelView()->frame(), CGRectMake(183.5, 177.5, 300, 20));
  EXPECT_EQ(scanner->labelView()->font().pointSize(), 15);
  auto picture = render();
  UIRenderer::writePNG(window, outputDir() + "qr-scanner-denied.png", 1);
  size_t dark = 0;
  for (int y = 178; y < 197; ++y)
    for (int x = 184; x < 483; ++x) dark += near(picture->pixelAt(x, y), 0xFF000000u, 80);
  EXPECT_GT(dark, 30u);  // black text on the white camera area
  AVCaptureFakeCamera::pushFrame(frame({Code{"ignored", 270, 190, 4}}));
  scanner->ClickBackButton();
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 1; }));
  EXPECT_EQ(results[0], "[\"u\"]");
  EXPECT_FALSE(scanner->labelView());

  PermissionStore::shared().resetForTesting();
  PermissionStore::shared().setCameraAvailable(false);
  scanner = open();
  ASSERT_TRUE(scanner && scanner->labelView());
  EXPECT_EQ(scanner->labelView()->text(), QRCodeViewController::kNoInputText);
  EXPECT_EQ(scanner->labelView()->frame(), CGRectMake(183.5, 177.5, 300, 20));
  EXPECT_FALSE(scanner->input());
  scanner->ClickBackButton();
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 2; }));
  EXPECT_EQ(results[1], "[\"u\"]");
}

TEST_F(QRScannerTest, HostileTextsReachThePageUnchanged) {
  const std::vector<std::string> texts = {
      "\"); alert(1); (\"", "back\\slash \\u0041", "line\nbreak\r\n\ttab", "</script><script>x()",
      "\xE2\x80\xA8sep\xE2\x80\xA9", "emoji 👍🏽 and 中文", "' OR 1=1 --", "%@ %s %d {}"};
  size_t n = 0;
  for (const auto& text : texts) {
    auto scanner = open();
    ASSERT_TRUE(scanner && scanner->isScanning());
    AVCaptureFakeCamera::pushFrame(frame({Code{text, 250, 170, 3}}));
    ASSERT_TRUE(testing_loop::runUntil([&] { return reports() > n; })) << text;
    Value got = NSJSONSerialization::JSONObjectWithString(results[n]);
    EXPECT_EQ(got[0].stringOr("<not text>"), text);
    ++n;
  }
}

// The camera looking at a picture (the host's): the scanner reads the code in it with no frame
// pushed, whatever the picture's size and the screen's shape. A picture without a code is
// shown and keeps the screen scanning until Back.
TEST_F(QRScannerTest, TheCameraPictureIsReadByTheScanner) {
  auto picture = [](int w, int h, std::vector<Code> codes) {
    return UIImage::imageWithCGImage(frameWithCodes(w, h, codes, 0xFFC0C8D0u));
  };
  struct Case {
    CGSize screen;
    UIImageRef picture;
    std::string text;  // empty: no code in the picture
  };
  const std::vector<Case> cases = {
      // A bare code image as "CreateQRCode" writes it, on the fixture's landscape screen.
      {{667, 415}, QRCodeManager::CreateQRCodeWithSize("bare code", 256), "bare code"},
      // A large photo with the code in its middle, on a portrait screen.
      {{375, 667}, picture(2400, 1600, {Code{"photo", 1050, 650, 12}}), "photo"},
      // A small code on a wide screen: enlarged with hard edges.
      {{812, 375}, QRCodeManager::CreateQRCodeWithSize("small", 48), "small"},
      // A tall picture, the code near its top edge.
      {{667, 415}, picture(300, 900, {Code{"tall", 40, 10, 8}}), "tall"},
      {{667, 415}, picture(640, 480, {}), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.empty() ? "no code" : c.text);
    ASSERT_TRUE(c.picture);
    UIScreen::mainScreen().setBounds(CGRectMake(0, 0, c.screen.width, c.screen.height));
    AVCaptureFakeCamera::setPicture(c.picture);
    size_t before = reports();
    if (c.text.empty()) {
      auto scanner = open();
      ASSERT_TRUE(scanner && scanner->isScanning());
      ASSERT_TRUE(testing_loop::runUntil(
          [&] { return scanner->previewLayer()->currentFrame() != nullptr; }));
      testing_loop::runUntilIdle();
      EXPECT_TRUE(scanner->isScanning());
      EXPECT_EQ(reports(), before);
      scanner->ClickBackButton();
      ASSERT_TRUE(testing_loop::runUntil([&] { return reports() > before; }));
      EXPECT_EQ(results.back(), "[\"u\"]");
      continue;
    }
    // The code may be read before the screen is seen scanning: only the report is waited for.
    eval("LM_IOS.ScanQRCode();");
    ASSERT_TRUE(testing_loop::runUntil([&] { return reports() > before; }));
    EXPECT_EQ(results.back(), "[\"" + c.text + "\"]");
    testing_loop::runUntilIdle();
    EXPECT_FALSE(rootController->presentedViewController());
    EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
  }
}

TEST_F(QRScannerTest, WhileAnotherScreenIsUpTheScannerReportsACancel) {
  auto other = std::make_shared<UIViewController>();
  rootController->presentViewControllerAnimatedCompletion(other, false);
  eval("LM_IOS.ScanQRCode();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 1; }));
  EXPECT_EQ(results[0], "[\"u\"]");
  EXPECT_EQ(rootController->presentedViewController(), other);
  EXPECT_FALSE(QRCodeManager::CurrentScanner());
}

TEST_F(QRScannerTest, AScanAskedForWhileTheLastOneClosesIsAnsweredAndLeavesNoScreen) {
  auto scanner = open();
  ASSERT_TRUE(scanner && scanner->isScanning());
  // Back starts the dismissal; its report follows it. A scan asked for before that report
  // gets its own answer instead of bringing back the screen that is ending.
  scanner->ClickBackButton();
  QRCodeManager::ScanQRCode();
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 2; }, 3));
  testing_loop::runUntilIdle();
  EXPECT_EQ(results, (std::vector<std::string>{"[\"u\"]", "[\"u\"]"}));
  EXPECT_FALSE(rootController->presentedViewController());
  EXPECT_FALSE(QRCodeManager::CurrentScanner());
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
  // The next scan opens a fresh screen as usual.
  auto again = open();
  ASSERT_TRUE(again && again->isScanning());
  EXPECT_NE(again, scanner);
}

TEST_F(QRScannerTest, WithoutTheResourceBundleNoScreenOpens) {
  std::filesystem::remove_all(bundle.path() + "/Lumora.bundle");
  std::mutex mu;
  std::vector<std::string> logged;
  setNSLogCaptureForTesting([&](const std::string& m) {
    std::lock_guard<std::mutex> lock(mu);
    logged.push_back(m);
  });
  eval("LM_IOS.ScanQRCode();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return reports() >= 1; }));
  setNSLogCaptureForTesting({});
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(results[0], "[\"u\"]");
  EXPECT_FALSE(rootController->presentedViewController());
  EXPECT_FALSE(QRCodeManager::CurrentScanner());
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("Lumora.bundle"), std::string::npos);
}

}  // namespace
