#include "testing/device/TempDeviceRoot.h"

#include <stdlib.h>

#include <filesystem>

#include "platform/foundation/DeviceRoot.h"

namespace testing_device {

TempDeviceRoot::TempDeviceRoot() : previous_(plat::DeviceRoot::path()) {
  std::string templ = std::filesystem::temp_directory_path().string() + "/lumora-root-XXXXXX";
  if (mkdtemp(templ.data())) path_ = templ;
  plat::DeviceRoot::setPath(path_);
}

TempDeviceRoot::~TempDeviceRoot() {
  plat::DeviceRoot::setPath(previous_);
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace testing_device

#include <fstream>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace testing_device {

TempAppBundle::TempAppBundle(const plat::Dictionary& info)
    : previous_(plat::NSBundle::mainBundle()->bundlePath()) {
  std::string templ = std::filesystem::temp_directory_path().string() + "/lumora-app-XXXXXX";
  if (mkdtemp(templ.data())) path_ = templ;
  if (!info.empty()) writePlist("Info.plist", plat::Value(info));
  plat::NSBundle::setMainBundlePath(path_);
}

TempAppBundle::~TempAppBundle() {
  plat::NSBundle::setMainBundlePath(previous_);
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

void TempAppBundle::writeFile(const std::string& name, const std::string& bytes) const {
  std::filesystem::path p = std::filesystem::path(path_) / name;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

void TempAppBundle::writePlist(const std::string& name, const plat::Value& value) const {
  plat::Data d = plat::NSPropertyListSerialization::dataWithPropertyList(
      value, plat::NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0);
  writeFile(name, d.toString());
}

}  // namespace testing_device
