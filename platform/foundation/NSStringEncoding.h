#pragma once
// The platform's string encodings (NSStringEncoding) and the conversion of text into them.
// Texts are UTF-8 here; dataUsingEncoding gives their bytes in another encoding, never
// lossily: a character the encoding has no form for makes the conversion fail.
// Thread-safe (no shared state; each conversion opens its own iconv converter).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"

namespace plat {

enum NSStringEncoding : uint64_t {
  NSASCIIStringEncoding = 1,
  NSNEXTSTEPStringEncoding = 2,
  NSJapaneseEUCStringEncoding = 3,
  NSUTF8StringEncoding = 4,
  NSISOLatin1StringEncoding = 5,
  NSSymbolStringEncoding = 6,
  NSNonLossyASCIIStringEncoding = 7,
  NSShiftJISStringEncoding = 8,
  NSISOLatin2StringEncoding = 9,
  NSUnicodeStringEncoding = 10,
  NSWindowsCP1251StringEncoding = 11,
  NSWindowsCP1252StringEncoding = 12,
  NSWindowsCP1253StringEncoding = 13,
  NSWindowsCP1254StringEncoding = 14,
  NSWindowsCP1250StringEncoding = 15,
  NSISO2022JPStringEncoding = 21,
  NSMacOSRomanStringEncoding = 30,
  NSUTF16StringEncoding = NSUnicodeStringEncoding,
  NSUTF16BigEndianStringEncoding = 0x90000100,
  NSUTF16LittleEndianStringEncoding = 0x94000100,
  NSUTF32StringEncoding = 0x8c000100,
  NSUTF32BigEndianStringEncoding = 0x98000100,
  NSUTF32LittleEndianStringEncoding = 0x9c000100,
};

// The bytes of the UTF-8 text `text` in `encoding`, as the platform's dataUsingEncoding:
// (without lossy conversion) gives them: UTF-16 and UTF-32 without a stated byte order begin
// with a little-endian byte order mark. nullopt when a character has no form in the encoding
// (or only a look-alike's, which would read back as another character), for text holding an
// ESC in ISO-2022-JP (whose reader takes it as a shift sequence),
// when `text` is not valid UTF-8 (UTF-8 itself passes bytes through as they are), and for the
// Symbol encoding and encodings the platform does not name.
std::optional<Data> dataUsingEncoding(std::string_view text, uint64_t encoding);

// The IANA charset name of `encoding` for a Content-Type ("utf-8", "iso-8859-1", ...); empty
// for encodings without one (non-lossy ASCII, Symbol, unknown values).
std::string IANACharSetNameOfStringEncoding(uint64_t encoding);

}  // namespace plat
