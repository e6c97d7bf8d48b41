#pragma once
// QBImageViewCtrl: opens the multi-image picker for the page's "SelectImage" command and
// reports what the user chose. On Done the chosen pictures are written as JPEG files to the
// folder "Temp" of the documents folder and the page receives "onSelectImage" with the paths
// written (a picture that cannot be encoded or written is left out); on Cancel, or when no
// picker can be shown, it receives "onSelectImage" without an argument. A request made while
// a picker is open is ignored and answered by nothing: the open picker's one answer is the
// only "onSelectImage" that follows.
//
// One presenter exists for the process; it is the delegate of every picker it opens and keeps
// the open picker alive until it finishes. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "KRH5Plugin/QBImagePickerController.h"

class QBImageViewCtrl : public plat::Object, public QBImagePickerControllerDelegate {
 public:
  std::string className() const override { return "QBImageViewCtrl"; }

  // The shared presenter (created once, kept for the process).
  static std::shared_ptr<QBImageViewCtrl> GetInstance();
  // Opens a picker with the filter type and maximum selection (multiple selection, the count
  // shown), presented from the bridge's root controller. Without the "Lumora" bundle or a
  // root controller nothing is shown: the reason is logged and the cancel report is posted.
  // While a picker is open the call is logged and ignored (no report).
  // This is the SysScreens::showImagePicker hook.
  static void ShowWithTypeAndMaxSel(uint64_t type, uint64_t max);
  // The picker now open, or nullptr (tests).
  static QBImagePickerControllerRef CurrentPicker();

  bool implementsDidSelectAssets() const override { return true; }
  void qb_imagePickerControllerDidSelectAssets(
      const QBImagePickerControllerRef& picker,
      const std::vector<plat::ALAssetRef>& assets) override;
  bool implementsDidCancel() const override { return true; }
  void qb_imagePickerControllerDidCancel(const QBImagePickerControllerRef& picker) override;
};
