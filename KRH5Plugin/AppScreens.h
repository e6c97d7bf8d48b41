#pragma once
// The screens and generators the application gives the Sys commands: the multi-image picker
// ("SelectImage"), the QR scanner and generator ("ScanQRCode", "CreateQRCode"), the crop
// screen ("CropImage") and the saved-photos album ("SaveImageToPhotoAlbum"). The host installs
// them with SysInterface::SetScreens at start-up.

#include "KRH5Plugin/SysInterface.h"

// Every member filled. The album keeps a saved image as PNG, so nothing of it is lost.
SysScreens AppScreens();
