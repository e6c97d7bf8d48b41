// The JPEG reader called directly over arbitrary bytes: the first byte says where the data is
// cut (as it arrives) and the rest follows the start-of-image marker. Reading never crashes,
// whole or in part, and the image of a prefix is never larger than the one of the whole.

#include <algorithm>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/ImageReaders.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  plat::Data bytes = fuzz::afterHeader("\xff\xd8", 2, data + 1, size - 1);
  size_t cut = 2 + (size - 1) * mode / 255;
  bool complete = false;
  int orientation = 0;
  plat::CGImageRef part =
      plat::decodeJPEG(bytes.subdata(0, std::min(cut, bytes.length())), &complete, &orientation);
  plat::CGImageRef whole = plat::decodeJPEG(bytes, &complete, &orientation, true);
  FUZZ_CHECK(orientation >= 0 && orientation <= 8, "orientation out of range");
  plat::CGImageRef direct = plat::decodeCompleteJPEG(bytes);
  if (direct && whole) {
    FUZZ_CHECK(direct->width() == whole->width() && direct->height() == whole->height(),
               "the direct reader and the source disagree on the size");
  }
  return 0;
}
