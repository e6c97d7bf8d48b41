#pragma once
// TKImageCropController: the crop screen. It shows the image in a crop view with a centred
// square of 0.8 of the image's shorter side, lets the player move, resize and pinch it, and
// on Confirm writes the square (shrunk to the size limit) to the save path as PNG or JPEG and
// reports {"result": 1} or {"result": 0} to the page through SysPlugin::OnCropImage. Cancel
// closes the screen and tells the page nothing. Each presentation reports at most once: taps
// after the first Confirm or Cancel are ignored.
//
// The layout ("ImageCropView") is built in code: the crop view over the screen above a bar
// with "Cancel" on the left and "Confirm" on the right; it follows the screen's size.
// Main thread only.

#include <cstdint>
#include <memory>
#include <string>

#include "KRH5Plugin/TKImageView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIViewController.h"

class TKImageCropController : public plat::UIViewController {
 public:
  std::string className() const override { return "TKImageCropController"; }

  // Opens the screen modally (animated) from the bridge's root controller, keeping it alive
  // until it closes. Nothing opens without an image, with an empty path, without the
  // application's "Lumora" resource bundle or without a root controller (the last two are
  // logged). The arguments are those of SysScreens::cropImage.
  static void CropImageSavePathIsPngMaxWidthMaxHeight(const plat::UIImageRef& image,
                                                      const std::string& savePath, bool isPng,
                                                      uint64_t maxWidth, uint64_t maxHeight);
  // The screen now open, or null.
  static std::shared_ptr<TKImageCropController> Current();
  // Drops the open screen without closing it (tests).
  static void ResetForTesting();

  void loadView() override;
  void viewDidLoad() override;
  void ClickCancel(plat::UIControl& sender);
  // Crops, shrinks to the limit, writes, reports, closes. Without a cropped image nothing
  // happens and the screen stays open.
  void ClickConfirm(plat::UIControl& sender);

  std::shared_ptr<TKImageView> imageView() const { return imageView_; }
  plat::UIImageRef image() const { return image_; }
  void setImage(plat::UIImageRef image) { image_ = std::move(image); }
  const std::string& savePath() const { return savePath_; }
  void setSavePath(std::string path) { savePath_ = std::move(path); }
  bool isPng() const { return isPng_; }
  void setIsPng(bool png) { isPng_ = png; }
  // Limits below 1 count as missing (512).
  uint64_t maxWidth() const { return maxWidth_; }
  void setMaxWidth(uint64_t w) { maxWidth_ = w; }
  uint64_t maxHeight() const { return maxHeight_; }
  void setMaxHeight(uint64_t h) { maxHeight_ = h; }
  std::shared_ptr<plat::UIButton> cancelButton() const { return cancelButton_; }
  std::shared_ptr<plat::UIButton> confirmButton() const { return confirmButton_; }

 private:
  void close();

  std::shared_ptr<TKImageView> imageView_;
  plat::UIImageRef image_;
  std::string savePath_;
  bool isPng_ = false;
  uint64_t maxWidth_ = 512, maxHeight_ = 512;
  std::shared_ptr<plat::UIButton> cancelButton_, confirmButton_;
  bool closing_ = false;
};
