#pragma once
// The channel SDK's image lookup: images of its resource bundle by name. Main thread (as the
// platform's named images).

#include <string>

#include "platform/uikit/UIImage.h"

struct UIImage_HVColor {
  // The named image for the name inside the SDK's bundle (see NSString_URLEncode::
  // getImagePath); nullptr when there is no such image.
  static plat::UIImageRef sdkImageNamed(const std::string& name);
};
