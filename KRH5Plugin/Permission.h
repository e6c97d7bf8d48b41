#pragma once
// Permission: whether the photo library or the camera may be used. A status the user has not
// been asked about yet counts as available; restricted (1) and denied (2) do not.
// Class operations only; any thread (the statuses come from plat::PermissionStore).

#include <optional>
#include <string>

class Permission {
 public:
  static bool IsPhotoAvailable();
  static bool IsCameraAvailable();
  // "photo" or "camera", compared without case; NO for nullopt and any other text.
  static bool CheckPermission(const std::optional<std::string>& what);
};
