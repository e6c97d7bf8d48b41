#include "KRH5Plugin/QBImageViewCtrl.h"

#include <filesystem>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/Utils.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"

using namespace plat;

namespace {

constexpr double kJPEGQuality = 0.9;

QBImagePickerControllerRef& currentPicker() {
  static auto* picker = new QBImagePickerControllerRef;
  return *picker;
}

void postCancelReport() {
  dispatch_async(dispatch_get_main_queue(), [] { SysPlugin::OnSelectImage(std::nullopt); });
}

// The picker has finished: it leaves the screen and the presenter lets go of it.
void closePicker(const QBImagePickerControllerRef& picker) {
  picker->dismissViewControllerAnimatedCompletion(true);
  if (currentPicker() == picker) currentPicker() = nullptr;
}

}  // namespace

std::shared_ptr<QBImageViewCtrl> QBImageViewCtrl::GetInstance() {
  static auto* instance = new std::shared_ptr<QBImageViewCtrl>(std::make_shared<QBImageViewCtrl>());
  return *instance;
}

QBImagePickerControllerRef QBImageViewCtrl::CurrentPicker() { return currentPicker(); }

void QBImageViewCtrl::ShowWithTypeAndMaxSel(uint64_t type, uint64_t max) {
  auto presenter = GetInstance();
  auto picker = plat::make<QBImagePickerController>();
  picker->setDelegate(std::static_pointer_cast<QBImagePickerControllerDelegate>(presenter));
  picker->setFilterType(type);
  picker->setMaximumNumberOfSelection(max);
  picker->setAllowsMultipleSelection(true);
  picker->setShowsNumberOfSelectedAssets(true);
  if (!picker->isUsable()) {
    postCancelReport();  // the reason is in the log already
    return;
  }
  auto root = IOSPlugin::GetRootController();
  if (!root) {
    NSLog("QBImagePicker: no root controller to present the picker from");
    postCancelReport();
    return;
  }
  if (currentPicker()) {
    // The open picker answers once, for itself; this request gets no answer of its own (a
    // cancel here would be taken for the open picker's answer, and its paths for this one's).
    NSLog("QBImagePicker: a picker is already open; the new request is ignored");
    return;
  }
  currentPicker() = picker;
  root->presentViewControllerAnimatedCompletion(picker, true);
  if (!picker->presentingViewController()) {
    currentPicker() = nullptr;
    postCancelReport();
  }
}

void QBImageViewCtrl::qb_imagePickerControllerDidSelectAssets(
    const QBImagePickerControllerRef& picker, const std::vector<ALAssetRef>& assets) {
  closePicker(picker);
  auto documents = Utils::GetDocumentPath();
  if (!documents) {
    NSLog("QBImagePicker: no documents folder; the picked images are not written");
    SysPlugin::OnSelectImage(std::nullopt);
    return;
  }
  std::string folder = *documents + "/Temp";
  Array paths;
  for (const auto& asset : assets) {
    auto image = UIImage::imageWithCGImage(asset->defaultRepresentation()->fullScreenImage());
    Data jpeg = UIImageJPEGRepresentation(image, kJPEGQuality);
    if (jpeg.length() == 0) {
      NSLog("QBImagePicker: the picture of %@ could not be encoded", asset->url());
      continue;
    }
    if (!Utils::Exists(folder)) {
      std::error_code ec;
      std::filesystem::create_directories(folder, ec);
    }
    std::string path = Utils::GenerateFileName(folder);
    if (!Utils::ReplaceFile(path, jpeg)) {
      NSLog("QBImagePicker: could not write %@", path);
      continue;
    }
    paths.push_back(Value(path));
  }
  SysPlugin::OnSelectImage(NSJSONSerialization::stringWithJSONObject(
      Value(paths), NSJSONSerialization::NSJSONWritingPrettyPrinted));
}

void QBImageViewCtrl::qb_imagePickerControllerDidCancel(const QBImagePickerControllerRef& picker) {
  closePicker(picker);
  SysPlugin::OnSelectImage(std::nullopt);
}
