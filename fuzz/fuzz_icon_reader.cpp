// The icon readers called directly over arbitrary bytes: the first byte picks ICO (or cursor)
// or ICNS and says where the data is cut as it arrives. Every entry offered is read; reading
// never crashes.

#include <algorithm>

#include "fuzz/FuzzSupport.h"
#include "platform/graphics/ImageReaders.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

namespace {

constexpr size_t kMaxEntries = 6;

void readAll(plat::CGImageSource::Reader& reader, const plat::Data& data, bool final) {
  reader.purge();
  reader.scan(data, final);
  (void)reader.status();
  for (size_t i = 0; i < std::min(reader.count(), kMaxEntries); ++i) {
    (void)reader.propertiesAtIndex(i);
    (void)reader.image(data, final, i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  plat::Data bytes;
  std::unique_ptr<plat::CGImageSource::Reader> reader;
  if (mode & 1) {
    bytes.append(reinterpret_cast<const uint8_t*>("icns"), 4);
    reader = plat::makeICNSReader();
  } else {
    bytes.append(reinterpret_cast<const uint8_t*>((mode & 2) ? "\0\0\2\0" : "\0\0\1\0"), 4);
    reader = plat::makeICOReader();
  }
  bytes.append(data + 1, size - 1);
  if (mode & 4) readAll(*reader, bytes.subdata(0, 4 + (size - 1) * (mode >> 3) / 31), false);
  readAll(*reader, bytes, true);
  return 0;
}
