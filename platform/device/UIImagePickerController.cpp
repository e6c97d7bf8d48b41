#include "platform/device/UIImagePickerController.h"

#include "platform/device/AVCaptureSession.h"
#include "platform/device/PermissionStore.h"

namespace plat {

void UIImagePickerController::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  if (sourceType_ != UIImagePickerControllerSourceTypeCamera) return;
  if (auto picture = AVCaptureFakeCamera::picture()) finishPickingImage(picture);
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
