#include "platform/device/PermissionStore.h"

namespace plat {

PermissionStore& PermissionStore::shared() {
  static PermissionStore* const store = new PermissionStore();
  return *store;
}

namespace {
bool validStatus(int64_t s) { return s >= 0 && s <= 3; }
}  // namespace

AuthorizationStatus PermissionStore::photoLibraryStatus() {
  std::lock_guard<std::mutex> lock(mu_);
  return photo_;
}

bool PermissionStore::setPhotoLibraryStatus(int64_t status) {
  if (!validStatus(status)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  photo_ = static_cast<AuthorizationStatus>(status);
  return true;
}

AuthorizationStatus PermissionStore::cameraStatus() {
  std::lock_guard<std::mutex> lock(mu_);
  return camera_;
}

bool PermissionStore::setCameraStatus(int64_t status) {
  if (!validStatus(status)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  camera_ = static_cast<AuthorizationStatus>(status);
  return true;
}

bool PermissionStore::isCameraAvailable() {
  std::lock_guard<std::mutex> lock(mu_);
  return cameraAvailable_;
}

void PermissionStore::setCameraAvailable(bool available) {
  std::lock_guard<std::mutex> lock(mu_);
  cameraAvailable_ = available;
}

void PermissionStore::resetForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  photo_ = camera_ = AuthorizationStatusNotDetermined;
  cameraAvailable_ = true;
}

}  // namespace plat
