#pragma once
// QRCodeViewController: the QR scanner screen. The camera fills the content view; the scan
// square (side two thirds of the content view's height, centred) stays clear while the rest
// is dimmed, with a hint below it. The first QR code read inside the square ends the scan:
// the screen stops the camera, dismisses itself and reports the text through
// QRCodeManager::AcquireQRCode. Back ends it without text. A presentation reports once,
// whatever arrives after its end (codes already queued, a second Back).
//
// When the camera may not be used, or there is none, the screen shows why instead of the
// camera, and only Back leaves it.
//
// Main thread only: the metadata output calls it on the main queue.

#include <memory>
#include <optional>
#include <string>

#include "platform/device/AVCaptureSession.h"
#include "platform/device/AVCaptureVideoPreviewLayer.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIViewController.h"

class QRCodeViewController : public plat::UIViewController,
                             public plat::AVCaptureMetadataOutputObjectsDelegate {
 public:
  static constexpr const char* kNibName = "QRCodeView";
  static constexpr const char* kDeniedText = "系统设置已禁止相机的使用权限";
  static constexpr const char* kNoInputText = "获取相机输入失败，请点击返回之后重试";
  static constexpr const char* kHintText = "将二维码放入框内，即可自动扫描";

  std::string className() const override { return "QRCodeViewController"; }

  // The nib's views: the root view, the content view (the camera area, filling the root
  // view) and the back button, wired to ClickBackButton.
  void loadView() override;

  const plat::UIViewRef& contentView() const { return contentView_; }
  const std::shared_ptr<plat::UIButton>& backButton() const { return backButton_; }
  bool isScanning() const { return isScanning_; }
  // Whether this presentation has ended (a code or Back): its report follows the dismissal.
  bool hasFinished() const { return finished_; }
  const plat::UIViewRef& maskView() const { return maskView_; }
  const std::shared_ptr<plat::UILabel>& labelView() const { return labelView_; }
  const plat::AVCaptureSessionRef& session() const { return session_; }
  const std::shared_ptr<plat::AVCaptureVideoPreviewLayer>& previewLayer() const {
    return previewLayer_;
  }
  const plat::AVCaptureDeviceInputRef& input() const { return input_; }
  const plat::AVCaptureMetadataOutputRef& output() const { return output_; }

  // The scan square in the content view's bounds.
  plat::CGRect scanRect() const;

  // Starts the camera, or shows why it cannot. Nothing while scanning or once the scan has
  // ended (a code or Back).
  void StartScan();
  // Stops the camera and removes what StartScan added.
  void StopScan();
  // Shows `text` in the one label of the screen, created with `bounds` when there is none
  // yet (a label that exists keeps its frame).
  void ShowAlertTextBoundsColorFontSize(const std::string& text, plat::CGRect bounds,
                                        const plat::UIColorRef& color, double fontSize);
  void captureOutputDidOutputMetadataObjectsFromConnection(
      const std::shared_ptr<plat::AVCaptureOutput>& output,
      const std::vector<plat::AVMetadataObjectRef>& metadataObjects,
      const plat::AVCaptureConnectionRef& connection) override;
  void ClickBackButton();

 private:
  // Ends the presentation once: stops, dismisses, then reports `text`.
  void finish(const std::optional<std::string>& text);

  plat::UIViewRef contentView_;
  std::shared_ptr<plat::UIButton> backButton_;
  bool isScanning_ = false;
  bool finished_ = false;
  plat::UIViewRef maskView_;
  std::shared_ptr<plat::UILabel> labelView_;
  plat::AVCaptureSessionRef session_;
  std::shared_ptr<plat::AVCaptureVideoPreviewLayer> previewLayer_;
  plat::AVCaptureDeviceInputRef input_;
  plat::AVCaptureMetadataOutputRef output_;
};
