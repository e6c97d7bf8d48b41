#pragma once
// Utils: the helpers the device services share - the documents folder, unique file names,
// existence tests, loading images from files, atomic file replacement, the confinement of
// page-given paths to the app container, and thumbnails.
// Class operations only; main thread (GetThumbnail draws; the others are thread-safe).

#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/uikit/UIImage.h"

class Utils {
 public:
  // The user's documents folder; nullopt when the platform lists none.
  static std::optional<std::string> GetDocumentPath();
  // The first free path "<folder>/<seconds since 1970>_<n>", n = 0, 1, 2 ...
  static std::string GenerateFileName(const std::string& folder);
  static bool Exists(const std::optional<std::string>& path);

  // The image in the file at `path`; null when it is no regular file (a named pipe is never
  // opened) or does not decode.
  static plat::UIImageRef LoadImage(const std::string& path);
  // Replaces the file at `path` with `data` atomically (a temporary file renamed over it):
  // the old file stays whole when writing fails.
  static bool ReplaceFile(const std::string& path, const plat::Data& data);

  // The canonical form of `path` when it lies inside the app container's Documents,
  // Library or tmp folder (symbolic links and ".." resolved as far as the path exists);
  // nullopt for relative paths, empty texts, texts holding a NUL byte and anything outside.
  static std::optional<std::string> ContainedPath(const std::optional<std::string>& path);
  // Whether the canonical path is one of the container's top folders themselves.
  static bool IsContainerFolder(const std::string& canonicalPath);

  // The image scaled into a W x H box: fitted inside (canvas the scaled size) or, with crop,
  // covering it (canvas W x H, the overflow centred); clipped to the inscribed ellipse with
  // circle; an opaque canvas unless alpha. Null for a null image, W or H below 1, or a box
  // of more than plat::kCGImageSourceMaxPixels pixels (the largest image the readers take).
  static plat::UIImageRef GetThumbnail(const plat::UIImageRef& image, int32_t width,
                                       int32_t height, bool crop, bool circle, bool alpha);
};
