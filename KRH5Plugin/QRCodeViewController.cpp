#include "KRH5Plugin/QRCodeViewController.h"

#include <algorithm>

#include "KRH5Plugin/Permission.h"
#include "KRH5Plugin/QRCodeManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/uikit/CALayer.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIScreen.h"

using namespace plat;

namespace {

constexpr const char* kFontName = "STHeitiSC-Medium";
constexpr double kLabelWidth = 300;
constexpr double kLabelHeight = 20;
constexpr double kHintGap = 50;
// The strip below the camera area: the hint, 50 points under the square, can reach past the
// content view's bottom and stays readable there.
constexpr double kBottomStrip = 40;

}  // namespace

void QRCodeViewController::loadView() {
  auto root = make<UIView>(UIScreen::mainScreen().bounds());
  root->setBackgroundColor(UIColor::blackColor());
  CGRect b = root->bounds();
  contentView_ =
      make<UIView>(CGRectMake(0, 0, b.size.width, std::max(0.0, b.size.height - kBottomStrip)));
  contentView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
  contentView_->setBackgroundColor(UIColor::whiteColor());
  root->addSubview(contentView_);
  backButton_ = UIButton::buttonWithType(UIButtonTypeCustom);
  backButton_->setFrame(CGRectMake(10, 10, 60, 34));
  backButton_->setBackgroundColor(UIColor::colorWithWhiteAlpha(0, 0.6));
  backButton_->layer()->setCornerRadius(6);
  backButton_->setTitleForState("返回", UIControlStateNormal);
  backButton_->setTitleColorForState(UIColor::whiteColor(), UIControlStateNormal);
  std::weak_ptr<QRCodeViewController> weak =
      std::static_pointer_cast<QRCodeViewController>(shared_from_this());
  backButton_->addTargetActionForControlEvents(
      shared_from_this(),
      [weak](UIControl&) {
        if (auto self = weak.lock()) self->ClickBackButton();
      },
      UIControlEventTouchUpInside);
  root->addSubview(backButton_);
  setView(root);
}

CGRect QRCodeViewController::scanRect() const {
  CGRect b = contentView_ ? contentView_->bounds() : CGRectZero;
  double s = 2 * b.size.height / 3;
  return CGRectMake((b.size.width - s) / 2, (b.size.height - s) / 2, s, s);
}

void QRCodeViewController::StartScan() {
  // A screen whose scan ended (a code or Back) never starts the camera again: nothing would
  // stop it, and no report would follow.
  if (isScanning_ || finished_) return;
  loadViewIfNeeded();
  CGRect b = contentView_->bounds();
  double W = b.size.width, H = b.size.height;
  CGRect textFrame =
      CGRectMake((W - kLabelWidth) / 2, (H - kLabelHeight) / 2, kLabelWidth, kLabelHeight);
  if (!Permission::IsCameraAvailable()) {
    ShowAlertTextBoundsColorFontSize(kDeniedText, textFrame, UIColor::blackColor(), 15);
    return;
  }
  auto session = AVCaptureSession::make();
  if (session->canSetSessionPreset(AVCaptureSessionPreset640x480)) {
    session->setSessionPreset(AVCaptureSessionPreset640x480);
  }
  auto device = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
  NSErrorRef error;
  auto input = AVCaptureDeviceInput::deviceInputWithDeviceError(device, &error);
  if (error || !input) {
    ShowAlertTextBoundsColorFontSize(kNoInputText, textFrame, UIColor::blackColor(), 15);
    return;
  }
  session->addInput(input);
  auto output = std::make_shared<AVCaptureMetadataOutput>();
  output->setMetadataObjectsDelegateQueue(
      std::static_pointer_cast<QRCodeViewController>(shared_from_this()),
      dispatch_get_main_queue());
  session->addOutput(output);
  output->setMetadataObjectTypes({AVMetadataObjectTypeQRCode});

  CGRect square = scanRect();
  double s = square.size.width;
  output->setRectOfInterest(CGRectMake(0.5 - s / (2 * W), 0.5 - s / (2 * H), s / W, s / H));

  auto preview = AVCaptureVideoPreviewLayer::layerWithSession(session);
  preview->setFrame(b);
  preview->setVideoGravity(AVLayerVideoGravityResizeAspectFill);
  preview->connection()->setVideoOrientation(AVCaptureVideoOrientationLandscapeRight);

  auto mask = make<UIView>(contentView_->frame());
  mask->setBackgroundColor(UIColor::colorWithWhiteAlpha(0, 0.5));
  auto hole = CAShapeLayer::layer();
  hole->setFrame(b);
  auto path = UIBezierPath::bezierPathWithRect(b);
  path->appendPath(*UIBezierPath::bezierPathWithRect(square)->bezierPathByReversingPath());
  hole->setPath(path);
  mask->layer()->setMask(hole);
  view()->addSubview(mask);
  // The back button stays above the dimming, where it can be seen and tapped.
  if (backButton_) view()->bringSubviewToFront(backButton_);

  ShowAlertTextBoundsColorFontSize(
      kHintText,
      CGRectMake((W - kLabelWidth) / 2, (H + s) / 2 + kHintGap, kLabelWidth, kLabelHeight),
      UIColor::whiteColor(), 13);

  contentView_->layer()->addSublayer(preview);

  session->startRunning();
  session_ = session;
  input_ = input;
  output_ = output;
  previewLayer_ = preview;
  maskView_ = mask;
  isScanning_ = true;
}

void QRCodeViewController::StopScan() {
  if (session_) session_->stopRunning();
  if (input_) {
    if (session_) session_->removeInput(input_);
    input_.reset();
  }
  if (output_) {
    if (session_) session_->removeOutput(output_);
    output_.reset();
  }
  session_.reset();
  if (previewLayer_) {
    previewLayer_->removeFromSuperlayer();
    previewLayer_.reset();
  }
  if (labelView_) {
    labelView_->removeFromSuperview();
    labelView_.reset();
  }
  if (maskView_) {
    maskView_->removeFromSuperview();
    maskView_.reset();
  }
  isScanning_ = false;
}

void QRCodeViewController::ShowAlertTextBoundsColorFontSize(const std::string& text, CGRect bounds,
                                                            const UIColorRef& color,
                                                            double fontSize) {
  if (!labelView_) {
    labelView_ = make<UILabel>(bounds);
    view()->addSubview(labelView_);
  }
  labelView_->setTextAlignment(NSTextAlignmentCenter);
  labelView_->setFont(UIFont::fontWithNameSize(kFontName, fontSize));
  labelView_->setTextColor(color);
  labelView_->setText(text);
}

void QRCodeViewController::captureOutputDidOutputMetadataObjectsFromConnection(
    const std::shared_ptr<AVCaptureOutput>& output,
    const std::vector<AVMetadataObjectRef>& metadataObjects,
    const AVCaptureConnectionRef& connection) {
  // Codes read before the scan stopped may still arrive: only a running scan takes one.
  if (!isScanning_ || metadataObjects.empty()) return;
  finish(metadataObjects.back()->stringValue());
}

void QRCodeViewController::ClickBackButton() { finish(std::nullopt); }

void QRCodeViewController::finish(const std::optional<std::string>& text) {
  StopScan();
  if (finished_) return;
  finished_ = true;
  auto self = std::static_pointer_cast<QRCodeViewController>(shared_from_this());
  dismissViewControllerAnimatedCompletion(true,
                                          [self, text] { QRCodeManager::AcquireQRCode(text); });
}
