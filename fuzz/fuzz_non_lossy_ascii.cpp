// Non-lossy ASCII decoding of arbitrary bytes: whatever decodes encodes back to text that
// decodes to the same characters, and any UTF-8 text survives an encode-decode round trip.

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NonLossyASCII.h"
#include "platform/foundation/UTF16.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto decoded = plat::nonLossyASCIIDecode(bytes)) {
    FUZZ_CHECK(plat::isValidUTF8(*decoded), *decoded);
    std::string again = plat::nonLossyASCIIEncode(*decoded);
    for (unsigned char c : again) FUZZ_CHECK(c < 0x80, again);
    auto back = plat::nonLossyASCIIDecode(again);
    FUZZ_CHECK(back && *back == *decoded, again);
  }
  // Any bytes read as UTF-8 (invalid sequences as U+FFFD) round-trip exactly.
  std::string text = plat::fromUTF16(plat::toUTF16(bytes));
  auto round = plat::nonLossyASCIIDecode(plat::nonLossyASCIIEncode(text));
  FUZZ_CHECK(round && *round == text, text);
  return 0;
}
