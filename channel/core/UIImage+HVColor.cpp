#include "channel/core/UIImage+HVColor.h"

#include "channel/core/NSString+URLEncode.h"

plat::UIImageRef UIImage_HVColor::sdkImageNamed(const std::string& name) {
  return plat::UIImage::imageNamed(NSString_URLEncode::getImagePath(name));
}
