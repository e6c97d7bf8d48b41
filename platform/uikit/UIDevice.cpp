#include "platform/uikit/UIDevice.h"

namespace plat {

UIDevice& UIDevice::currentDevice() {
  static auto* device = new UIDevice;
  return *device;
}

}  // namespace plat
