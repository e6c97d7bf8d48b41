// The PNG reader called directly (libpng's pull reader for whole files, its push reader for
// data still arriving, APNG chunks passed over as unknown) over arbitrary bytes: the first byte
// says where the data is cut and whether it is final; the signature is put in front. Reading
// never crashes, and an image has the size its header declares.

#include <algorithm>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/ImageReaders.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  plat::Data bytes = fuzz::afterHeader("\x89PNG\r\n\x1a\n", 8, data + 1, size - 1);
  if (mode & 1) {
    // A prefix, as it arrives.
    size_t cut = 8 + (size - 1) * (mode >> 1) / 127;
    bool complete = false;
    (void)plat::decodePNG(bytes.subdata(0, std::min(cut, bytes.length())), false, &complete);
  }
  int64_t w = 0, h = 0;
  bool declared = plat::pngSize(bytes.bytes(), bytes.length(), &w, &h);
  bool complete = false;
  plat::CGImageRef image = plat::decodePNG(bytes, true, &complete);
  // libpng passes over ancillary chunks put before the IHDR; the size is checked where the
  // IHDR comes first.
  if (image && declared) {
    FUZZ_CHECK(int64_t(image->width()) == w && int64_t(image->height()) == h,
               "image size differs from the header");
  }
  plat::CGImageRef whole = plat::decodeCompletePNG(bytes);
  if (whole) FUZZ_CHECK(complete, "a whole image was read but the final read says incomplete");
  return 0;
}
