#include "image/HVImageCoder.h"

#include <mutex>
#include <unordered_map>

#include "image/HVBitmapCopy.h"
#include "image/HVImage.h"
#include "platform/device/ALAssetsLibrary.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/graphics/CGImageDestination.h"

using namespace plat;

namespace {

// The decoded-for-display mark of each image, held beside it: an entry counts only while its
// image lives (an address can be reused by a later image).
struct MarkTable {
  std::mutex mutex;
  std::unordered_map<const UIImage*, std::pair<std::weak_ptr<UIImage>, bool>> marks;
  size_t setsSincePurge = 0;
};
MarkTable& marks() {
  static auto* table = new MarkTable();  // process lifetime
  return *table;
}

}  // namespace

bool HV_isDecodedForDisplay(const UIImageRef& image) {
  if (!image) return false;
  if (image->images().size() >= 2) return true;
  if (dynamic_cast<const HVSpriteSheetImage*>(image.get())) return true;
  MarkTable& t = marks();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.marks.find(image.get());
  if (it == t.marks.end() || it->second.first.lock() != image) return false;
  return it->second.second;
}

void setHV_isDecodedForDisplay(const UIImageRef& image, bool decoded) {
  if (!image) return;
  MarkTable& t = marks();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.marks[image.get()] = {image, decoded};
  if (++t.setsSincePurge >= 1024) {
    t.setsSincePurge = 0;
    std::erase_if(t.marks, [](const auto& e) { return e.second.first.expired(); });
  }
}

UIImageRef HV_imageByDecoded(const UIImageRef& image) {
  if (!image || HV_isDecodedForDisplay(image)) return image;
  CGImageRef cg = image->CGImage();
  if (!cg) return image;
  CGImageRef copy = HVDecodedCGImageCopy(cg, true);
  if (!copy) return image;
  auto decoded = UIImage::imageWithCGImage(copy, image->scale(), image->imageOrientation());
  if (!decoded) {
    setHV_isDecodedForDisplay(image, true);
    return image;
  }
  setHV_isDecodedForDisplay(decoded, true);
  return decoded;
}

Data HV_dataRepresentationForSystem(const UIImageRef& image, bool forSystem) {
  if (!image) return Data();
  if (auto* hv = dynamic_cast<const HVImage*>(image.get())) {
    Data data = hv->animatedImageData();
    bool systemType =
        hv->animatedImageType() == HVImageKindGIF || hv->animatedImageType() == HVImageKindPNG;
    if (!data.empty() && (!forSystem || systemType)) return data;
  }
  Data out;
  if (CGImageRef cg = image->CGImage()) {
    if (image->imageOrientation() != UIImageOrientationUp) {
      if (CGImageRef upright =
              HVOrientedCGImageCopy(cg, image->imageOrientation(), cg->bitmapInfo()))
        cg = upright;
    }
    out = cg->isOpaque() ? CGImageEncodeJPEG(cg, 0.9) : CGImageEncodePNG(cg, false);
  }
  if (out.empty()) out = UIImagePNGRepresentation(image);
  return out;
}

Data HV_imageDataRepresentation(const UIImageRef& image) {
  return HV_dataRepresentationForSystem(image, false);
}

void HV_saveToAlbumWithCompletionBlock(
    const UIImageRef& image,
    std::function<void(const std::string& assetURL, const NSErrorRef& error)> completion) {
  dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                 [image, completion = std::move(completion)]() mutable {
                   Data data = HV_dataRepresentationForSystem(image, true);
                   ALAssetsLibrary().writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
                       data, Dictionary(), std::move(completion));
                 });
}
