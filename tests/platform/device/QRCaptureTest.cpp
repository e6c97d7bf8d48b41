// The QR code generator filter and camera capture: the device and its input, the session, the
// metadata output reading codes from the camera's frames in its region of interest, and the
// preview layer.

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/device/AVCaptureSession.h"
#include "platform/device/AVCaptureVideoPreviewLayer.h"
#include "platform/device/CIFilter.h"
#include "platform/device/PermissionStore.h"
#include "platform/graphics/CGBitmapContext.h"
#include "testing/loop/Pump.h"
#include "tests/platform/device/CaptureFrames.h"

using namespace plat;
using capture_frames::Code;
using capture_frames::frameWithCodes;

namespace {

CIImageRef qr(const Value& message, const char* level = nullptr) {
  auto filter = CIFilter::filterWithName("CIQRCodeGenerator");
  filter->setDefaults();
  filter->setValueForKey(message, "inputMessage");
  if (level) filter->setValueForKey(Value(level), "inputCorrectionLevel");
  return filter->outputImage();
}

std::string readBack(const CGImageRef& image) {
  ZXing::ImageView view(image->bytes(), int(image->width()), int(image->height()),
                        ZXing::ImageFormat::BGRX, int(image->bytesPerRow()));
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode);
  hints.setIsPure(true);
  auto result = ZXing::ReadBarcode(view, hints);
  return result.isValid() ? result.text() : "<none>";
}

TEST(QRCodeGeneratorTest, EncodesBytesAtLevelMWithAOneModuleQuietZone) {
  EXPECT_FALSE(CIFilter::filterWithName("CIPhotoEffectMono"));
  auto image = qr(Value(Data::fromString("hello")));
  ASSERT_TRUE(image);
  const auto& bitmap = image->bitmap();
  // Version 1 (21 modules) and one module of quiet zone on each side.
  EXPECT_EQ(image->extent(), CGRectMake(0, 0, 23, 23));
  EXPECT_TRUE(bitmap->isOpaque());
  EXPECT_EQ(bitmap->pixelAt(0, 0), 0xFFFFFFFFu);    // quiet zone
  EXPECT_EQ(bitmap->pixelAt(1, 1), 0xFF000000u);    // finder pattern corner
  EXPECT_EQ(bitmap->pixelAt(21, 21), 0xFFFFFFFFu);  // no finder bottom right
  EXPECT_EQ(bitmap->pixelAt(22, 1), 0xFFFFFFFFu);
  EXPECT_EQ(readBack(bitmap), "hello");

  // Texts are taken as UTF-8; a NUL byte is data like any other.
  EXPECT_EQ(readBack(qr(Value("二维码 ✓"))->bitmap()), "二维码 ✓");
  std::string withNul("a\0b", 3);
  EXPECT_EQ(readBack(qr(Value(withNul))->bitmap()), withNul);

  // A higher level needs a larger symbol for the same data.
  std::string text(40, 'x');
  EXPECT_LT(qr(Value(text), "L")->extent().size.width, qr(Value(text), "H")->extent().size.width);
  EXPECT_FALSE(qr(Value(text), "X"));

  // The largest symbol at M holds 2331 bytes.
  EXPECT_TRUE(qr(Value(std::string(2331, 'a'))));
  EXPECT_FALSE(qr(Value(std::string(2332, 'a'))));
  EXPECT_FALSE(qr(Value("")));
  EXPECT_FALSE(qr(Value()));
  EXPECT_FALSE(qr(Value(12)));

  auto context = CIContext::contextWithOptions();
  auto part = context->createCGImageFromRect(image, CGRectMake(0.5, 0.5, 2, 40));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->width(), 3u);  // integral outwards, clipped to the extent
  EXPECT_EQ(part->height(), 23u);
  EXPECT_EQ(part->pixelAt(1, 1), 0xFF000000u);
  EXPECT_FALSE(context->createCGImageFromRect(image, CGRectMake(30, 0, 5, 5)));
}

struct Delegate : AVCaptureMetadataOutputObjectsDelegate {
  std::vector<std::vector<AVMetadataObjectRef>> calls;
  void captureOutputDidOutputMetadataObjectsFromConnection(
      const std::shared_ptr<AVCaptureOutput>&, const std::vector<AVMetadataObjectRef>& objects,
      const AVCaptureConnectionRef&) override {
    calls.push_back(objects);
  }
};

struct CaptureTest : ::testing::Test {
  void TearDown() override { PermissionStore::shared().resetForTesting(); }

  struct Running {
    AVCaptureSessionRef session = AVCaptureSession::make();
    AVCaptureDeviceInputRef input;
    AVCaptureMetadataOutputRef output = std::make_shared<AVCaptureMetadataOutput>();
    std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
    ~Running() { session->stopRunning(); }
  };
  std::unique_ptr<Running> start(CGRect roi = CGRectMake(0, 0, 1, 1)) {
    auto r = std::make_unique<Running>();
    r->input = AVCaptureDeviceInput::deviceInputWithDeviceError(
        AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo), nullptr);
    EXPECT_TRUE(r->input);
    r->session->addInput(r->input);
    r->session->addOutput(r->output);
    r->output->setMetadataObjectsDelegateQueue(r->delegate, dispatch_get_main_queue());
    r->output->setMetadataObjectTypes({AVMetadataObjectTypeQRCode});
    r->output->setRectOfInterest(roi);
    r->session->startRunning();
    return r;
  }
};

TEST_F(CaptureTest, DeviceAndInputFollowThePermissionStore) {
  auto& permissions = PermissionStore::shared();
  auto camera = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera, AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo));
  EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithMediaType("soun"));

  NSErrorRef error;
  EXPECT_TRUE(AVCaptureDeviceInput::deviceInputWithDeviceError(camera, &error));
  EXPECT_FALSE(error);

  permissions.setCameraStatus(AuthorizationStatusDenied);
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDeviceError(camera, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), AVErrorApplicationIsNotAuthorizedToUseDevice);
  permissions.setCameraStatus(AuthorizationStatusAuthorized);

  permissions.setCameraAvailable(false);
  EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo));
  // No device is an error, never a raise.
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDeviceError(nullptr, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), AVFoundationErrorDomain);
  EXPECT_EQ(error->code(), AVErrorDeviceNotConnected);
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDeviceError(nullptr, nullptr));
}

TEST_F(CaptureTest, SessionConfiguration) {
  auto session = AVCaptureSession::make();
  EXPECT_EQ(session->sessionPreset(), AVCaptureSessionPresetHigh);
  EXPECT_TRUE(session->canSetSessionPreset(AVCaptureSessionPreset640x480));
  session->setSessionPreset(AVCaptureSessionPreset640x480);
  session->setSessionPreset("AVCaptureSessionPreset9x9");
  EXPECT_EQ(session->sessionPreset(), AVCaptureSessionPreset640x480);

  auto output = std::make_shared<AVCaptureMetadataOutput>();
  session->addOutput(output);
  // Without a video input no code type is available, and asking for one keeps nothing.
  EXPECT_TRUE(output->availableMetadataObjectTypes().empty());
  output->setMetadataObjectTypes({AVMetadataObjectTypeQRCode});
  EXPECT_TRUE(output->metadataObjectTypes().empty());

  auto camera = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
  auto input = AVCaptureDeviceInput::deviceInputWithDeviceError(camera, nullptr);
  EXPECT_FALSE(session->canAddInput(nullptr));
  session->addInput(input);
  EXPECT_FALSE(session->canAddInput(AVCaptureDeviceInput::deviceInputWithDeviceError(camera, nullptr)));
  EXPECT_EQ(output->availableMetadataObjectTypes(),
            std::vector<std::string>{AVMetadataObjectTypeQRCode});
  output->setMetadataObjectTypes({"org.iso.Code128", AVMetadataObjectTypeQRCode});
  EXPECT_EQ(output->metadataObjectTypes(), std::vector<std::string>{AVMetadataObjectTypeQRCode});
  EXPECT_TRUE(output->connectionWithMediaType(AVMediaTypeVideo));

  // An output belongs to one session.
  auto other = AVCaptureSession::make();
  EXPECT_FALSE(other->canAddOutput(output));
  session->removeOutput(output);
  EXPECT_TRUE(other->canAddOutput(output));
  EXPECT_TRUE(session->outputs().empty());

  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
  session->startRunning();
  session->startRunning();
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 1u);
  session->stopRunning();
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
  // A running session that goes away leaves the camera.
  session->startRunning();
  session.reset();
  EXPECT_EQ(AVCaptureFakeCamera::runningSessionCount(), 0u);
}

TEST_F(CaptureTest, CodesInsideTheRegionOfInterestReachTheDelegateLater) {
  // The right half of a 640 x 480 frame.
  auto r = start(CGRectMake(0.5, 0, 0.5, 1));
  auto inside = frameWithCodes(640, 480, {Code{"right", 400, 100, 5}});
  EXPECT_EQ(AVCaptureFakeCamera::pushFrame(inside), 1u);
  EXPECT_TRUE(r->delegate->calls.empty());  // posted, never inside the push
  ASSERT_TRUE(testing_loop::runUntil([&] { return r->delegate->calls.size() == 1; }));
  ASSERT_EQ(r->delegate->calls[0].size(), 1u);
  auto code = r->delegate->calls[0][0];
  EXPECT_EQ(code->type(), AVMetadataObjectTypeQRCode);
  EXPECT_EQ(code->stringValue(), "right");
  // Bounds in units of the frame, around the symbol (inside its quiet zone).
  CGRect b = code->bounds();
  EXPECT_NEAR(b.origin.x, 405.0 / 640, 0.01);
  EXPECT_NEAR(b.origin.y, 105.0 / 480, 0.01);
  EXPECT_NEAR(b.size.width, 105.0 / 640, 0.02);
  EXPECT_EQ(code->corners().size(), 4u);

  // A code outside the region, or one that only partly enters it, is not read; nor is a
  // frame without a code.
  AVCaptureFakeCamera::pushFrame(frameWithCodes(640, 480, {Code{"left", 20, 100, 5}}));
  AVCaptureFakeCamera::pushFrame(frameWithCodes(640, 480, {Code{"across", 280, 100, 5}}));
  AVCaptureFakeCamera::pushFrame(frameWithCodes(640, 480, {}));
  testing_loop::runUntilIdle();
  EXPECT_EQ(r->delegate->calls.size(), 1u);

  // Two codes in one frame come in one call.
  AVCaptureFakeCamera::pushFrame(
      frameWithCodes(640, 480, {Code{"one", 340, 20, 4}, Code{"two", 500, 300, 4}}));
  ASSERT_TRUE(testing_loop::runUntil([&] { return r->delegate->calls.size() == 2; }));
  std::vector<std::string> texts;
  for (auto& object : r->delegate->calls[1]) texts.push_back(object->stringValue().value_or(""));
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"one", "two"}));

  // A stopped session takes no frames; the delegate hears of none.
  r->session->stopRunning();
  EXPECT_EQ(AVCaptureFakeCamera::pushFrame(inside), 0u);
  EXPECT_EQ(AVCaptureFakeCamera::pushFrame(nullptr), 0u);
  testing_loop::runUntilIdle();
  EXPECT_EQ(r->delegate->calls.size(), 2u);
}

TEST_F(CaptureTest, FramesMayComeFromAnotherThread) {
  auto r = start();
  auto frame = frameWithCodes(320, 240, {Code{"threaded", 100, 60, 4}});
  std::thread camera([&] {
    for (int i = 0; i < 3; ++i) AVCaptureFakeCamera::pushFrame(frame);
  });
  camera.join();
  ASSERT_TRUE(testing_loop::runUntil([&] { return r->delegate->calls.size() == 3; }));
  EXPECT_EQ(r->delegate->calls[2][0]->stringValue(), "threaded");
}

TEST_F(CaptureTest, OddRegionsAndDelegatesThatAreGone) {
  auto frame = frameWithCodes(640, 480, {Code{"x", 200, 100, 6}});
  for (CGRect roi : {CGRectMake(2, 2, 1, 1), CGRectMake(0.5, 0.5, 0, 0), CGRectMake(0, 0, -1, -1)}) {
    auto r = start(roi);
    AVCaptureFakeCamera::pushFrame(frame);
    testing_loop::runUntilIdle();
    EXPECT_TRUE(r->delegate->calls.empty());
  }
  // A region reaching past the frame is cut to it; a negative size is made positive.
  auto r = start(CGRectMake(1.2, 1.2, -1.5, -1.5));
  AVCaptureFakeCamera::pushFrame(frame);
  ASSERT_TRUE(testing_loop::runUntil([&] { return r->delegate->calls.size() == 1; }));

  // A delegate that went away before the frame hears nothing, and nothing breaks.
  AVCaptureFakeCamera::pushFrame(frame);
  r->delegate.reset();
  EXPECT_TRUE(testing_loop::runUntilIdle());

  // Without the camera no session takes frames.
  auto s = start();
  PermissionStore::shared().setCameraAvailable(false);
  EXPECT_EQ(AVCaptureFakeCamera::pushFrame(frame), 0u);
}

TEST_F(CaptureTest, ThePreviewLayerFillsItsBoundsWithTheLastFrame) {
  auto r = start();
  auto layer = AVCaptureVideoPreviewLayer::layerWithSession(r->session);
  EXPECT_EQ(layer->videoGravity(), AVLayerVideoGravityResizeAspect);
  layer->setVideoGravity("sideways");
  EXPECT_EQ(layer->videoGravity(), AVLayerVideoGravityResizeAspect);
  layer->setVideoGravity(AVLayerVideoGravityResizeAspectFill);
  layer->setFrame(CGRectMake(0, 0, 667, 375));
  EXPECT_EQ(layer->videoRect(), CGRectZero);

  // A frame whose left half is red and right half blue.
  auto* pixels = static_cast<uint32_t*>(std::malloc(640 * 480 * 4));
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) pixels[y * 640 + x] = x < 320 ? 0xFFFF0000u : 0xFF0000FFu;
  auto frame = CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(pixels), 640, 480, true);
  AVCaptureFakeCamera::pushFrame(frame);
  ASSERT_TRUE(testing_loop::runUntil([&] { return layer->currentFrame() == frame; }));
  // Aspect fill: 640 x 480 scaled by 667 / 640 to 667 x 500.25, centred.
  CGRect v = layer->videoRect();
  EXPECT_DOUBLE_EQ(v.size.width, 667);
  EXPECT_DOUBLE_EQ(v.size.height, 480 * 667.0 / 640);
  EXPECT_DOUBLE_EQ(v.origin.y, (375 - 480 * 667.0 / 640) / 2);

  auto context = CGBitmapContextCreate(nullptr, 667, 375, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                       kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
  layer->drawInContext(context.get());
  auto drawn = CGBitmapContextCreateImage(context.get());
  EXPECT_EQ(drawn->pixelAt(10, 10), 0xFFFF0000u);
  EXPECT_EQ(drawn->pixelAt(657, 365), 0xFF0000FFu);
  layer->setVideoGravity(AVLayerVideoGravityResizeAspect);
  EXPECT_DOUBLE_EQ(layer->videoRect().size.height, 375);
  EXPECT_EQ(AVCaptureVideoPreviewLayer::layerWithSession(nullptr)->session(), nullptr);
}

}  // namespace
