#pragma once
// PhotographHandler: takes one photo with the camera for the page and saves it as PNG at its
// save path, optionally thumbnailed to width x height (cover with crop, else fit). Reports
// exactly once through "onPhotograph" with {"result": true} or {"result": false, "msg": ...}:
// "user cancel", "get thumbnail fail", "save file fail", "camera unavailable" when the
// device has no camera, or "show camera fail" when the picker cannot be presented (no root
// controller, or the root already presents another screen); no picker is shown in the last
// two cases.
//
// The handler keeps itself alive from Handle until it has reported. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "platform/device/UIImagePickerController.h"
#include "platform/foundation/Object.h"

class PhotographHandler : public plat::Object, public plat::UIImagePickerControllerDelegate {
 public:
  static constexpr const char* kShowFailMessage = "show camera fail";

  static std::shared_ptr<PhotographHandler> make() {
    return std::shared_ptr<PhotographHandler>(new PhotographHandler());
  }
  std::string className() const override { return "PhotographHandler"; }

  bool crop() const { return crop_; }
  void setCrop(bool v) { crop_ = v; }
  int32_t width() const { return width_; }
  void setWidth(int32_t v) { width_ = v; }
  int32_t height() const { return height_; }
  void setHeight(int32_t v) { height_ = v; }
  const std::optional<std::string>& savePath() const { return savePath_; }
  void setSavePath(std::optional<std::string> v) { savePath_ = std::move(v); }
  const plat::UIImagePickerControllerRef& imagePickerController() const { return picker_; }

  // Presents the camera picker from the bridge's root controller.
  void Handle();
  // Reports {"result", "msg"} (pretty-printed JSON) through the page event "onPhotograph".
  static void ExecuteCallbackMsg(bool result, const std::optional<std::string>& msg);

  void imagePickerControllerDidFinishPickingMediaWithInfo(
      const plat::UIImagePickerControllerRef& picker, const plat::Dictionary& info) override;
  void imagePickerControllerDidCancel(const plat::UIImagePickerControllerRef& picker) override;

 private:
  PhotographHandler() = default;
  void finish(bool result, const std::optional<std::string>& msg);

  bool crop_ = false;
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::optional<std::string> savePath_;
  plat::UIImagePickerControllerRef picker_;
  std::shared_ptr<PhotographHandler> self_;  // while the picker is up
};
