#pragma once
// The image library's operations on any image: a copy decoded for display and the mark that
// records it, and the data representation an image is stored as.
// Thread-safety: any thread.

#include <functional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/uikit/UIImage.h"

// The image itself when already marked decoded; otherwise a new image of its bitmap in the
// standard layout (same scale and orientation), marked decoded. Without a bitmap, or when the
// copy fails, the image itself, unmarked. nullptr for nullptr.
plat::UIImageRef HV_imageByDecoded(const plat::UIImageRef& image);

// True for a system animated image (2 or more images) and for sprite sheets; otherwise the
// stored mark (false when none).
bool HV_isDecodedForDisplay(const plat::UIImageRef& image);
void setHV_isDecodedForDisplay(const plat::UIImageRef& image, bool decoded);

// The bytes an image is stored as: an animated HVImage's own data; otherwise the upright bitmap
// as PNG when it has alpha, JPEG at quality 0.9 when opaque. Empty for nullptr.
plat::Data HV_imageDataRepresentation(const plat::UIImageRef& image);
// As above; forSystem keeps the animation data only for GIF and PNG.
plat::Data HV_dataRepresentationForSystem(const plat::UIImageRef& image, bool forSystem);

// Saves the image's data representation for system use (an animated HVImage keeps its GIF or
// PNG bytes) to the saved photos album, off the calling thread. The completion, when given,
// runs on the main thread with the asset URL or the error.
void HV_saveToAlbumWithCompletionBlock(
    const plat::UIImageRef& image,
    std::function<void(const std::string& assetURL, const plat::NSErrorRef& error)> completion);
