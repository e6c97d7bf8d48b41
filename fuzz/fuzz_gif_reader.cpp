// The GIF reader behind the platform's image source over arbitrary bytes (seeds are plain GIF
// files): whole, with every frame composed in order and then out of order, and as the bytes
// arrive in three updates, each asking for the first frame and the one still arriving. Reading
// never crashes, every image has the screen's size, and the incremental source ends with the
// frames and status of the whole one.

#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/CGImageSource.h"

namespace {

// Screens are composed only up to this size: larger ones are legal but slow to fuzz.
constexpr int64_t kMaxFuzzPixels = int64_t{1} << 20;
constexpr size_t kMaxFrames = 24;

bool composable(plat::CGImageSource& source) {
  plat::Dictionary props = source.properties();
  const int64_t w = props.get(plat::kCGImagePropertyPixelWidth).integerValue();
  const int64_t h = props.get(plat::kCGImagePropertyPixelHeight).integerValue();
  return w > 0 && h > 0 && w * h <= kMaxFuzzPixels;
}

void checkImage(plat::CGImageSource& source, size_t index) {
  plat::CGImageRef image = source.createImageAtIndex(index);
  if (!image) return;
  plat::Dictionary props = source.propertiesAtIndex(index);
  FUZZ_CHECK(
      int64_t(image->width()) == props.get(plat::kCGImagePropertyPixelWidth).integerValue() &&
          int64_t(image->height()) == props.get(plat::kCGImagePropertyPixelHeight).integerValue(),
      "frame " + std::to_string(index) + " differs from the screen's size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Other formats belong to the image source's own target.
  if (size < 6 || (std::memcmp(data, "GIF87a", 6) != 0 && std::memcmp(data, "GIF89a", 6) != 0))
    return 0;
  plat::Data bytes(data, size);
  const uint8_t choice = data[size - 1];

  auto whole = plat::CGImageSource::createWithData(bytes);
  const size_t count = whole->count();
  (void)whole->properties();
  if (composable(*whole)) {
    const size_t n = std::min(count, kMaxFrames);
    for (size_t i = 0; i < n; ++i) checkImage(*whole, i);
    for (size_t i : {n / 2, size_t(0), n - 1, size_t(choice) % (n + 1)})
      if (n > 0) checkImage(*whole, i);
  }

  auto incremental = plat::CGImageSource::createIncremental();
  const size_t cuts[2] = {size * (1 + choice % 4) / 8, size * (5 + choice / 64) / 9};
  for (size_t cut : cuts) {
    incremental->updateData(plat::Data(data, std::min(cut, size)), false);
    if (!composable(*incremental) || incremental->count() == 0) continue;
    checkImage(*incremental, 0);
    checkImage(*incremental, std::min(incremental->count(), kMaxFrames) - 1);
  }
  incremental->updateData(bytes, true);
  FUZZ_CHECK(incremental->count() == count, "the incremental source ends with other frames");
  FUZZ_CHECK(incremental->status() == whole->status(),
             "the incremental source ends with another status");
  if (composable(*incremental))
    for (size_t i = 0; i < std::min(count, kMaxFrames); ++i) checkImage(*incremental, i);
  return 0;
}
