// The platform's image reader (PNG, JPEG, GIF) over arbitrary bytes, whole and as they arrive:
// reading never crashes, decoded images have the size their properties announce, and an
// incremental source given every byte ends where a whole one does.

#include <algorithm>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/CGImageSource.h"

namespace {

// Images are decoded only up to this size: larger ones are legal but slow to fuzz.
constexpr int64_t kMaxFuzzPixels = int64_t{1} << 20;
constexpr size_t kMaxFrames = 4;

void readAll(plat::CGImageSource& source) {
  (void)source.type();
  (void)source.properties();
  const size_t count = std::min(source.count(), kMaxFrames);
  for (size_t i = 0; i < count; ++i) {
    plat::Dictionary props = source.propertiesAtIndex(i);
    const int64_t w = props.get(plat::kCGImagePropertyPixelWidth).integerValue();
    const int64_t h = props.get(plat::kCGImagePropertyPixelHeight).integerValue();
    if (w <= 0 || h <= 0 || w * h > kMaxFuzzPixels) continue;
    plat::CGImageRef image = source.createImageAtIndex(i, i % 2 == 0);
    if (image && source.status() == plat::kCGImageStatusComplete) {
      FUZZ_CHECK(static_cast<int64_t>(image->width()) == w &&
                     static_cast<int64_t>(image->height()) == h,
                 "image size differs from its properties");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t cut = (size_t{data[0]} << 8 | data[1]) % size;  // where the first update ends
  plat::Data bytes(data + 2, size - 2);

  if (auto whole = plat::CGImageSource::createWithData(bytes)) readAll(*whole);

  auto incremental = plat::CGImageSource::createIncremental();
  incremental->updateData(plat::Data(bytes.bytes(), std::min(cut, bytes.length())), false);
  readAll(*incremental);
  incremental->updateData(bytes, true);
  readAll(*incremental);
  return 0;
}
