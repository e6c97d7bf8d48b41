#include "channel/core/NSString+URLEncode.h"

#include "platform/foundation/NSBundle.h"

namespace {
const char* const kSDKBundleName = "HVSDK";
}

std::string NSString_URLEncode::getImagePath(const std::string& name) {
  std::string path = plat::NSBundle::mainBundle()->pathForResourceOfType(kSDKBundleName, "bundle");
  if (path.empty()) return name;
  return std::string(kSDKBundleName) + ".bundle/" + name;
}
