#include "KRH5Plugin/Permission.h"

#include <cctype>

#include "platform/device/PermissionStore.h"

namespace {
bool usable(plat::AuthorizationStatus s) {
  return s != plat::AuthorizationStatusRestricted && s != plat::AuthorizationStatusDenied;
}
}  // namespace

bool Permission::IsPhotoAvailable() {
  return usable(plat::PermissionStore::shared().photoLibraryStatus());
}

bool Permission::IsCameraAvailable() {
  return usable(plat::PermissionStore::shared().cameraStatus());
}

bool Permission::CheckPermission(const std::optional<std::string>& what) {
  if (!what) return false;
  std::string lower;
  for (char c : *what) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "photo") return IsPhotoAvailable();
  if (lower == "camera") return IsCameraAvailable();
  return false;
}
