#pragma once
// plat::UIImagePickerController: the system's camera screen. There is no camera here: the
// controller is presented like any other, and a test plays the user by taking a picture with
// finishPickingImage or by cancelling. While the camera looks at a picture
// (AVCaptureFakeCamera::setPicture, the host's), every camera picker takes that picture once
// it has appeared. The delegate hears of it either way, as on the phone; it is expected to
// dismiss the picker itself.
//
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIViewController.h"

namespace plat {

class UIImagePickerController;
using UIImagePickerControllerRef = std::shared_ptr<UIImagePickerController>;

enum UIImagePickerControllerSourceType : int64_t {
  UIImagePickerControllerSourceTypePhotoLibrary = 0,
  UIImagePickerControllerSourceTypeCamera = 1,
  UIImagePickerControllerSourceTypeSavedPhotosAlbum = 2,
};

// Keys of the info dictionary handed to the delegate.
inline constexpr const char* UIImagePickerControllerOriginalImage =
    "UIImagePickerControllerOriginalImage";
inline constexpr const char* UIImagePickerControllerMediaType = "UIImagePickerControllerMediaType";
// The still-image media type.
inline constexpr const char* kUTTypeImage = "public.image";

class UIImagePickerControllerDelegate {
 public:
  virtual ~UIImagePickerControllerDelegate() = default;
  virtual void imagePickerControllerDidFinishPickingMediaWithInfo(
      const UIImagePickerControllerRef& picker, const Dictionary& info) {}
  virtual void imagePickerControllerDidCancel(const UIImagePickerControllerRef& picker) {}
};

class UIImagePickerController : public UIViewController {
 public:
  std::string className() const override { return "UIImagePickerController"; }

  // The camera is available when the permission store says a camera is present; the library
  // sources always are.
  static bool isSourceTypeAvailable(UIImagePickerControllerSourceType type);

  UIImagePickerControllerSourceType sourceType() const { return sourceType_; }
  void setSourceType(UIImagePickerControllerSourceType t) { sourceType_ = t; }
  const std::vector<std::string>& mediaTypes() const { return mediaTypes_; }
  void setMediaTypes(std::vector<std::string> types) { mediaTypes_ = std::move(types); }
  bool allowsEditing() const { return allowsEditing_; }
  void setAllowsEditing(bool v) { allowsEditing_ = v; }
  std::shared_ptr<UIImagePickerControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<UIImagePickerControllerDelegate> d) { delegate_ = std::move(d); }

  // The user takes `image`: the delegate hears didFinishPickingMediaWithInfo with the image
  // under UIImagePickerControllerOriginalImage. False (nothing happens) when the picker is
  // not presented.
  bool finishPickingImage(const UIImageRef& image);
  // The user cancels. False when the picker is not presented.
  bool cancel();

  void viewDidAppear(bool animated) override;

 private:
  UIImagePickerControllerSourceType sourceType_ = UIImagePickerControllerSourceTypePhotoLibrary;
  std::vector<std::string> mediaTypes_{kUTTypeImage};
  bool allowsEditing_ = false;
  std::weak_ptr<UIImagePickerControllerDelegate> delegate_;
};

}  // namespace plat
