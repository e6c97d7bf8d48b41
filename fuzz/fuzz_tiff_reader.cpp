// The TIFF reader called directly over arbitrary bytes (the byte-order header put in front,
// little- or big-endian by the first byte): every page it offers is read, whole and from a
// prefix. Reading never crashes and a page decodes to the size its properties announce.

#include <algorithm>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/ImageReaders.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

namespace {

constexpr size_t kMaxPages = 4;

void readAll(plat::CGImageSource::Reader& reader, const plat::Data& data, bool final) {
  reader.purge();
  reader.scan(data, final);
  (void)reader.status();
  (void)reader.properties();
  for (size_t i = 0; i < std::min(reader.count(), kMaxPages); ++i) {
    plat::Dictionary props = reader.propertiesAtIndex(i);
    plat::CGImageRef image = reader.image(data, final, i);
    if (!image) continue;
    FUZZ_CHECK(int64_t(image->width()) ==
                       props.get(plat::kCGImagePropertyPixelWidth).integerValue() &&
                   int64_t(image->height()) ==
                       props.get(plat::kCGImagePropertyPixelHeight).integerValue(),
               "page size differs from its properties");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  plat::Data bytes = fuzz::afterHeader((mode & 1) ? "MM\0*" : "II*\0", 4, data + 1, size - 1);
  auto reader = plat::makeTIFFReader();
  if (mode & 2) readAll(*reader, bytes.subdata(0, 4 + (size - 1) * (mode >> 2) / 63), false);
  readAll(*reader, bytes, true);
  return 0;
}
