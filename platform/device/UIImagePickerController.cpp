#include "platform/device/UIImagePickerController.h"

#include <mutex>

#include "platform/device/PermissionStore.h"

namespace plat {

namespace {
struct CameraPicture {
  std::mutex mu;
  UIImageRef picture;
};
CameraPicture& cameraSlot() {
  static auto* slot = new CameraPicture();  // never destroyed
  return *slot;
}
}  // namespace

void UIImagePickerController::setCameraPicture(UIImageRef picture) {
  std::lock_guard<std::mutex> lock(cameraSlot().mu);
  cameraSlot().picture = std::move(picture);
}

UIImageRef UIImagePickerController::cameraPicture() {
  std::lock_guard<std::mutex> lock(cameraSlot().mu);
  return cameraSlot().picture;
}

void UIImagePickerController::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  if (sourceType_ != UIImagePickerControllerSourceTypeCamera) return;
  if (auto picture = cameraPicture()) finishPickingImage(picture);
}

bool UIImagePickerController::isSourceTypeAvailable(UIImagePickerControllerSourceType type) {
  if (type == UIImagePickerControllerSourceTypeCamera)
    return PermissionStore::shared().isCameraAvailable();
  return type == UIImagePickerControllerSourceTypePhotoLibrary ||
         type == UIImagePickerControllerSourceTypeSavedPhotosAlbum;
}

bool UIImagePickerController::finishPickingImage(const UIImageRef& image) {
  if (!presentingViewController()) return false;
  auto self = std::static_pointer_cast<UIImagePickerController>(shared_from_this());
  Dictionary info;
  info.set(UIImagePickerControllerMediaType, Value(std::string(kUTTypeImage)));
  if (image) info.set(UIImagePickerControllerOriginalImage, Value(image));
  if (auto d = delegate()) d->imagePickerControllerDidFinishPickingMediaWithInfo(self, info);
  return true;
}

bool UIImagePickerController::cancel() {
  if (!presentingViewController()) return false;
  auto self = std::static_pointer_cast<UIImagePickerController>(shared_from_this());
  if (auto d = delegate()) d->imagePickerControllerDidCancel(self);
  return true;
}

}  // namespace plat
