// The small-GIF animated image over arbitrary bytes (seeds are GIF files): reading never
// crashes, and the repeated-frame list stays within its bound and holds every frame at least
// once, whatever delays the file declares.

#include "fuzz/FuzzSupport.h"
#include "image/UIImage+HVWebImage.h"
#include "platform/graphics/CGImageSource.h"

namespace {

// Screens are decoded only up to this size: larger ones are legal but slow to fuzz.
constexpr int64_t kMaxFuzzPixels = int64_t{1} << 18;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::Data bytes(data, size);
  auto source = plat::CGImageSource::createWithData(bytes);
  if (!source) return 0;
  plat::Dictionary props = source->properties();
  const int64_t w = props.get(plat::kCGImagePropertyPixelWidth).integerValue();
  const int64_t h = props.get(plat::kCGImagePropertyPixelHeight).integerValue();
  if (w <= 0 || h <= 0 || w * h > kMaxFuzzPixels) return 0;
  const size_t frames = source->count();
  auto image = HV_imageWithSmallGIFDataScale(bytes, 2);
  if (!image || frames < 2) return 0;
  FUZZ_CHECK(image->images().size() <= kHVSmallGIFMaxImageEntries,
             std::to_string(image->images().size()) + " entries");
  FUZZ_CHECK(image->images().size() >= frames,
             std::to_string(image->images().size()) + " entries for " + std::to_string(frames));
  return 0;
}
