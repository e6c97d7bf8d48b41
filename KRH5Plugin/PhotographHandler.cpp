#include "KRH5Plugin/PhotographHandler.h"

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/Utils.h"
#include "platform/foundation/NSJSONSerialization.h"

void PhotographHandler::Handle() {
  if (!plat::UIImagePickerController::isSourceTypeAvailable(
          plat::UIImagePickerControllerSourceTypeCamera)) {
    ExecuteCallbackMsg(false, "camera unavailable");
    return;
  }
  auto root = IOSPlugin::GetRootController();
  if (!root) {
    ExecuteCallbackMsg(false, kShowFailMessage);
    return;
  }
  picker_ = std::make_shared<plat::UIImagePickerController>();
  picker_->setSourceType(plat::UIImagePickerControllerSourceTypeCamera);
  picker_->setMediaTypes({plat::kUTTypeImage});
  picker_->setAllowsEditing(false);
  self_ = std::static_pointer_cast<PhotographHandler>(shared_from_this());
  picker_->setDelegate(std::static_pointer_cast<plat::UIImagePickerControllerDelegate>(self_));
  root->presentViewControllerAnimatedCompletion(picker_, true);
  if (!picker_->presentingViewController()) {
    // Refused (the root shows another screen): no picker will ever answer.
    picker_->setDelegate({});
    picker_.reset();
    finish(false, kShowFailMessage);
  }
}

void PhotographHandler::ExecuteCallbackMsg(bool result, const std::optional<std::string>& msg) {
  plat::Dictionary object;
  object.set("result", result);
  if (msg) object.set("msg", *msg);
  SysPlugin::OnPhotograph(plat::NSJSONSerialization::stringWithJSONObject(
      plat::Value(std::move(object)), plat::NSJSONSerialization::NSJSONWritingPrettyPrinted));
}

void PhotographHandler::finish(bool result, const std::optional<std::string>& msg) {
  auto keep = std::move(self_);  // this object lives until the end of this call
  ExecuteCallbackMsg(result, msg);
}

void PhotographHandler::imagePickerControllerDidFinishPickingMediaWithInfo(
    const plat::UIImagePickerControllerRef& picker, const plat::Dictionary& info) {
  if (!self_) return;  // reported already
  picker->dismissViewControllerAnimatedCompletion(true);
  auto image = info.get(plat::UIImagePickerControllerOriginalImage).objectAs<plat::UIImage>();
  if (width_ >= 1 && height_ >= 1) {
    image = Utils::GetThumbnail(image, width_, height_, crop_, false, false);
    if (!image) {
      finish(false, "get thumbnail fail");
      return;
    }
  }
  plat::Data png = image ? plat::UIImagePNGRepresentation(image) : plat::Data();
  bool saved = savePath_ && !png.empty() && Utils::ReplaceFile(*savePath_, png);
  if (saved) {
    finish(true, std::nullopt);
  } else {
    finish(false, "save file fail");
  }
}

void PhotographHandler::imagePickerControllerDidCancel(
    const plat::UIImagePickerControllerRef& picker) {
  if (!self_) return;
  picker->dismissViewControllerAnimatedCompletion(true);
  finish(false, "user cancel");
}
