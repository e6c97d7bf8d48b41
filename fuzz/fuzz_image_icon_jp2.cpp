// The JPEG 2000 and Apple icon readers over arbitrary bytes: the first byte picks the format
// and its signature is put in front, so every input reaches the reader. Reading never crashes
// and decoded images have the size their properties announce.

#include <algorithm>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/CGImageSource.h"

namespace {

constexpr int64_t kMaxFuzzPixels = int64_t{1} << 20;
constexpr size_t kMaxFrames = 4;

plat::Data framed(uint8_t kind, const uint8_t* data, size_t size) {
  static const uint8_t kJP2[12] = {0, 0, 0, 0x0c, 'j', 'P', ' ', ' ', 0x0d, 0x0a, 0x87, 0x0a};
  static const uint8_t kJ2K[4] = {0xff, 0x4f, 0xff, 0x51};
  plat::Data out;
  switch (kind % 3) {
    case 0:
      out.append(kJP2, sizeof kJP2);
      break;
    case 1:
      out.append(kJ2K, sizeof kJ2K);
      break;
    default: {
      // "icns" and the file's length as given.
      const uint32_t n = uint32_t(size + 8);
      const uint8_t head[8] = {
          'i', 'c', 'n', 's', uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
      out.append(head, sizeof head);
    }
  }
  out.append(data, size);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  auto source = plat::CGImageSource::createWithData(framed(data[0], data + 1, size - 1));
  if (!source) return 0;
  (void)source->type();
  const size_t count = std::min(source->count(), kMaxFrames);
  for (size_t i = 0; i < count; ++i) {
    plat::Dictionary props = source->propertiesAtIndex(i);
    const int64_t w = props.get(plat::kCGImagePropertyPixelWidth).integerValue();
    const int64_t h = props.get(plat::kCGImagePropertyPixelHeight).integerValue();
    if (w <= 0 || h <= 0 || w * h > kMaxFuzzPixels) continue;
    plat::CGImageRef image = source->createImageAtIndex(i, false);
    if (image) {
      FUZZ_CHECK(
          static_cast<int64_t>(image->width()) == w && static_cast<int64_t>(image->height()) == h,
          "image size differs from its properties");
    }
  }
  return 0;
}
