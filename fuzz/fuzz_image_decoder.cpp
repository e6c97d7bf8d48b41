// The library's image decoder over arbitrary bytes, given in two updates: the animated-PNG
// chunk reader and frame assembly, the dispose and blend composition, and the platform
// readers underneath never crash. Every frame the chunk reader describes assembles into a
// PNG the reader accepts again.

#include "fuzz/FuzzSupport.h"
#include "image/HVAPNGChunks.h"
#include "image/HVImageDecoder.h"

namespace {

constexpr uint64_t kMaxFuzzPixels = uint64_t{1} << 20;
constexpr uint64_t kMaxFrames = 6;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t cut = (size_t{data[0]} << 8 | data[1]) % size;
  const uint8_t* body = data + 2;
  const size_t length = size - 2;

  if (auto info = HVParseAPNGChunks(body, length)) {
    for (uint32_t i = 0; i < info->frames.size() && i < kMaxFrames; ++i) {
      plat::Data frame = HVAPNGCopyFrameData(body, length, *info, i);
      FUZZ_CHECK(!frame.empty() && HVParseAPNGChunks(frame.bytes(), frame.length()),
                 "frame " + std::to_string(i) + " does not assemble into a PNG");
    }
  }

  HVImageDecoder decoder(2);
  decoder.updateDataFinal(plat::Data(body, std::min(cut, length)), false);
  decoder.updateDataFinal(plat::Data(body, length), true);
  (void)decoder.imageProperties();
  if (decoder.width() * decoder.height() > kMaxFuzzPixels) return 0;
  for (uint64_t i = 0; i < decoder.frameCount() && i < kMaxFrames; ++i) {
    (void)decoder.frameDurationAtIndex(i);
    (void)decoder.framePropertiesAtIndex(i);
    auto frame = decoder.frameAtIndexDecodeForDisplay(i, true);
    (void)decoder.frameAtIndexDecodeForDisplay(i, false);
  }
  // Frames out of order: the blend canvas restarts from the nearest full frame.
  if (decoder.frameCount() > 1) (void)decoder.frameAtIndexDecodeForDisplay(0, true);
  return 0;
}
