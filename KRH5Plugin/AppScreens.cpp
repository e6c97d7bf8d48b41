#include "KRH5Plugin/AppScreens.h"

#include "KRH5Plugin/QBImageViewCtrl.h"
#include "KRH5Plugin/QRCodeManager.h"
#include "KRH5Plugin/TKImageCropController.h"
#include "platform/device/ALAssetsLibrary.h"

SysScreens AppScreens() {
  SysScreens screens;
  screens.showImagePicker = QBImageViewCtrl::ShowWithTypeAndMaxSel;
  screens.scanQRCode = QRCodeManager::ScanQRCode;
  screens.createQRCode = QRCodeManager::CreateQRCodeWithSize;
  screens.cropImage = TKImageCropController::CropImageSavePathIsPngMaxWidthMaxHeight;
  screens.saveToPhotoAlbum = [](const plat::UIImageRef& image) {
    plat::Data data = plat::UIImagePNGRepresentation(image);
    if (data.length() == 0) return;
    plat::ALAssetsLibrary().writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(data, {}, {});
  };
  return screens;
}
