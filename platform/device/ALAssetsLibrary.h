#pragma once
// plat::ALAssetsLibrary: the saved photos album of the device. Photos are files under
// <device root>/Platform/PhotoLibrary, named by a new identifier and the type the bytes carry
// ("JPG", "PNG", "GIF", ...); their asset URLs read
// "assets-library://asset/asset.<EXT>?id=<ID>&ext=<EXT>".
//
// Thread-safety: any thread; completions run on the main queue.

#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

namespace plat {

inline constexpr const char* ALAssetsLibraryErrorDomain = "ALAssetsLibraryErrorDomain";
constexpr int64_t ALAssetsLibraryWriteFailedError = -3300;
constexpr int64_t ALAssetsLibraryWriteInvalidDataError = -3302;

class ALAssetsLibrary {
 public:
  // (asset URL, error): exactly one is set.
  using WriteCompletion = std::function<void(const std::string& assetURL, const NSErrorRef& error)>;

  // Saves image bytes as a new photo. Bytes that are no image of a known type fail with
  // ALAssetsLibraryWriteInvalidDataError, a file that cannot be written with
  // ALAssetsLibraryWriteFailedError. Metadata is not stored.
  void writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(const Data& imageData,
                                                               const Dictionary& metadata,
                                                               WriteCompletion completion);

  // The album's files, oldest first.
  static std::vector<std::string> savedPhotoPaths();
};

}  // namespace plat
