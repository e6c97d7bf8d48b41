// The bitmap reader called directly over arbitrary bytes ("BM" put in front): reading never
// crashes and the image has the size its properties announce. Each input is read a second
// time declared run-length encoded (RLE8 or RLE4, by its header's depth), so the run decoder
// sees every input too.

#include <cstdlib>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/ImageReaders.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

namespace {

void readBitmap(const plat::Data& bytes) {
  auto reader = plat::makeBMPReader();
  reader->scan(bytes, true);
  (void)reader->status();
  if (reader->count() == 0) return;
  plat::Dictionary props = reader->propertiesAtIndex(0);
  plat::CGImageRef image = reader->image(bytes, true, 0);
  if (image) {
    FUZZ_CHECK(
        int64_t(image->width()) == props.get(plat::kCGImagePropertyPixelWidth).integerValue() &&
            int64_t(image->height()) == props.get(plat::kCGImagePropertyPixelHeight).integerValue(),
        "image size differs from its properties");
  }
  // The encoder's bitmap reads back to the same size.
  plat::Data again = plat::encodeBMP(image);
  if (image && !again.empty()) {
    auto back = plat::makeBMPReader();
    back->scan(again, true);
    FUZZ_CHECK(back->count() == 1, "an encoded bitmap does not read back");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::Data bytes = fuzz::afterHeader("BM", 2, data, size);
  readBitmap(bytes);
  // Offsets in the file: 14 + 4 width, 14 + 8 height, 14 + 14 bits per pixel, 14 + 16
  // compression (40-byte headers on). Only small sizes: large ones cost time, not coverage.
  if (bytes.length() >= 14 + 40) {
    std::vector<uint8_t> rle(bytes.bytes(), bytes.bytes() + bytes.length());
    auto le32 = [&](size_t at) {
      return int64_t(
          int32_t(rle[at] | rle[at + 1] << 8 | rle[at + 2] << 16 | uint32_t(rle[at + 3]) << 24));
    };
    if (std::abs(le32(18)) * std::abs(le32(22)) > (1 << 20)) return 0;
    bool four = rle[28] == 4;
    rle[28] = four ? 4 : 8, rle[29] = 0;
    rle[30] = four ? 2 : 1, rle[31] = rle[32] = rle[33] = 0;
    readBitmap(plat::Data(rle.data(), rle.size()));
  }
  return 0;
}
