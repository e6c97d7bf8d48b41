#include "KRH5Plugin/TKImageCropController.h"

#include <algorithm>
#include <limits>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/Utils.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIScreen.h"

using namespace plat;

namespace {
constexpr const char* kResourceBundle = "Lumora";
constexpr uint64_t kDefaultLimit = 512;
constexpr double kBarHeight = 60;
constexpr double kButtonWidth = 100;

std::shared_ptr<TKImageCropController>& current() {
  static auto* held = new std::shared_ptr<TKImageCropController>;  // never destroyed
  return *held;
}

std::shared_ptr<UIButton> barButton(const std::string& title) {
  auto button = UIButton::buttonWithType(UIButtonTypeCustom);
  button->setTitleForState(title, UIControlStateNormal);
  button->setTitleColorForState(UIColor::whiteColor(), UIControlStateNormal);
  return button;
}
}  // namespace

void TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight(const UIImageRef& image,
                                                                    const std::string& savePath,
                                                                    bool isPng, uint64_t maxWidth,
                                                                    uint64_t maxHeight) {
  if (!image || savePath.empty()) return;
  std::string path = NSBundle::mainBundle()->pathForResourceOfType(kResourceBundle, "bundle");
  if (path.empty() || !NSBundle::bundleWithPath(path)) {
    NSLog("TKImageCropController: no %@.bundle, the crop screen cannot open", kResourceBundle);
    return;
  }
  auto root = IOSPlugin::GetRootController();
  if (!root) {
    NSLog("TKImageCropController: no root controller to present the crop screen from");
    return;
  }
  auto controller = make<TKImageCropController>();
  controller->setImage(image);
  controller->setSavePath(savePath);
  controller->setIsPng(isPng);
  controller->setMaxWidth(maxWidth);
  controller->setMaxHeight(maxHeight);
  root->presentViewControllerAnimatedCompletion(controller, true);
  if (controller->presentingViewController()) current() = controller;
}

std::shared_ptr<TKImageCropController> TKImageCropController::Current() { return current(); }

void TKImageCropController::ResetForTesting() { current().reset(); }

void TKImageCropController::loadView() {
  CGRect screen = UIScreen::mainScreen().bounds();
  auto root = make<UIView>(screen);
  root->setBackgroundColor(UIColor::blackColor());
  double w = screen.size.width, h = screen.size.height;
  imageView_ = make<TKImageView>(CGRectMake(0, 0, w, h - kBarHeight));
  imageView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                  UIViewAutoresizingFlexibleHeight);
  root->addSubview(imageView_);
  auto bar = make<UIView>(CGRectMake(0, h - kBarHeight, w, kBarHeight));
  bar->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleTopMargin);
  root->addSubview(bar);
  std::weak_ptr<TKImageCropController> weak =
      std::static_pointer_cast<TKImageCropController>(shared_from_this());
  cancelButton_ = barButton("Cancel");
  cancelButton_->setFrame(CGRectMake(0, 0, kButtonWidth, kBarHeight));
  cancelButton_->setAutoresizingMask(UIViewAutoresizingFlexibleRightMargin);
  cancelButton_->addTargetActionForControlEvents(
      nullptr,
      [weak](UIControl& sender) {
        if (auto self = weak.lock()) self->ClickCancel(sender);
      },
      UIControlEventTouchUpInside);
  bar->addSubview(cancelButton_);
  confirmButton_ = barButton("Confirm");
  confirmButton_->setFrame(CGRectMake(w - kButtonWidth, 0, kButtonWidth, kBarHeight));
  confirmButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin);
  confirmButton_->addTargetActionForControlEvents(
      nullptr,
      [weak](UIControl& sender) {
        if (auto self = weak.lock()) self->ClickConfirm(sender);
      },
      UIControlEventTouchUpInside);
  bar->addSubview(confirmButton_);
  setView(root);
}

void TKImageCropController::viewDidLoad() {
  UIViewController::viewDidLoad();
  TKImageView& v = *imageView_;
  v.setToCropImage(image_);
  v.setShowMidLines(false);
  v.setNeedScaleCrop(true);
  v.setShowCrossLines(false);
  v.setCornerBorderInImage(false);
  v.setCropAreaCornerWidth(24);
  v.setCropAreaCornerHeight(24);
  v.setMinSpace(30);
  v.setCropAreaCornerLineColor(UIColor::whiteColor());
  v.setCropAreaBorderLineColor(UIColor::whiteColor());
  v.setCropAreaCornerLineWidth(4);
  v.setCropAreaBorderLineWidth(2);
  v.setCropAreaMidLineWidth(20);
  v.setCropAreaMidLineHeight(6);
  v.setCropAreaMidLineColor(UIColor::whiteColor());
  v.setCropAreaCrossLineColor(UIColor::whiteColor());
  v.setCropAreaCrossLineWidth(4);
  v.setInitialScaleFactor(static_cast<double>(0.8f));
  v.setCropAspectRatio(1);  // last: its reset uses the final scale factor
}

void TKImageCropController::ClickCancel(UIControl&) {
  if (closing_) return;
  close();
}

void TKImageCropController::ClickConfirm(UIControl&) {
  if (closing_) return;
  UIImageRef cropped = imageView_->currentCroppedImage();
  // Limits below 1 count as missing; the thumbnail takes 32-bit sides.
  uint64_t w = maxWidth_ < 1 ? kDefaultLimit : maxWidth_;
  uint64_t h = maxHeight_ < 1 ? kDefaultLimit : maxHeight_;
  uint64_t limit = std::min<uint64_t>({w, h, uint64_t(std::numeric_limits<int32_t>::max())});
  if (cropped) {
    CGSize size = cropped->size();
    if (size.width > double(limit) || size.height > double(limit)) {
      int32_t side = static_cast<int32_t>(limit);
      // A PNG keeps its transparency when shrunk.
      cropped = Utils::GetThumbnail(cropped, side, side, false, false, isPng_);
    }
  }
  if (!cropped) return;
  Data data = isPng_ ? UIImagePNGRepresentation(cropped) : UIImageJPEGRepresentation(cropped, 1.0);
  bool written = !data.empty() && Utils::ReplaceFile(savePath_, data);
  Dictionary result;
  result.set("result", int64_t(written ? 1 : 0));
  SysPlugin::OnCropImage(NSJSONSerialization::stringWithJSONObject(
      Value(std::move(result)), NSJSONSerialization::NSJSONWritingPrettyPrinted));
  close();
}

void TKImageCropController::close() {
  closing_ = true;
  auto self = std::static_pointer_cast<TKImageCropController>(shared_from_this());
  dismissViewControllerAnimatedCompletion(true, [self] {
    if (current() == self) current().reset();
  });
}
