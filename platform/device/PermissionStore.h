#pragma once
// plat::PermissionStore: the user's answers to the system's permission questions for the
// photo library and the camera, and whether the device has a camera at all. Nobody is asked
// here: the statuses start "not determined" and tests or the host set them.
//
// Statuses use the platform's numbering: 0 not determined, 1 restricted, 2 denied,
// 3 authorised. Values outside 0-3 are refused (the status stays).
//
// Thread-safety: has internal synchronization; any thread.

#include <cstdint>
#include <mutex>

namespace plat {

enum AuthorizationStatus : int64_t {
  AuthorizationStatusNotDetermined = 0,
  AuthorizationStatusRestricted = 1,
  AuthorizationStatusDenied = 2,
  AuthorizationStatusAuthorized = 3,
};

class PermissionStore {
 public:
  static PermissionStore& shared();

  AuthorizationStatus photoLibraryStatus();
  bool setPhotoLibraryStatus(int64_t status);
  AuthorizationStatus cameraStatus();
  bool setCameraStatus(int64_t status);
  // Whether a camera is present (yes by default: the camera picker plays it).
  bool isCameraAvailable();
  void setCameraAvailable(bool available);

  // Back to "not determined" and a camera present.
  void resetForTesting();

 private:
  PermissionStore() = default;
  std::mutex mu_;
  AuthorizationStatus photo_ = AuthorizationStatusNotDetermined;
  AuthorizationStatus camera_ = AuthorizationStatusNotDetermined;
  bool cameraAvailable_ = true;
};

}  // namespace plat
