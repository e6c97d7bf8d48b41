// The bitmap reader called directly over arbitrary bytes ("BM" put in front): reading never
// crashes and the image has the size its properties announce.

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/ImageReaders.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::Data bytes = fuzz::afterHeader("BM", 2, data, size);
  auto reader = plat::makeBMPReader();
  reader->scan(bytes, true);
  (void)reader->status();
  if (reader->count() == 0) return 0;
  plat::Dictionary props = reader->propertiesAtIndex(0);
  plat::CGImageRef image = reader->image(bytes, true, 0);
  if (image) {
    FUZZ_CHECK(int64_t(image->width()) == props.get(plat::kCGImagePropertyPixelWidth).integerValue() &&
                   int64_t(image->height()) ==
                       props.get(plat::kCGImagePropertyPixelHeight).integerValue(),
               "image size differs from its properties");
  }
  // The encoder's bitmap reads back to the same size.
  plat::Data again = plat::encodeBMP(image);
  if (image && !again.empty()) {
    auto back = plat::makeBMPReader();
    back->scan(again, true);
    FUZZ_CHECK(back->count() == 1, "an encoded bitmap does not read back");
  }
  return 0;
}
