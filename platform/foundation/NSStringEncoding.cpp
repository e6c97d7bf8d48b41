#include "platform/foundation/NSStringEncoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "platform/foundation/NonLossyASCII.h"
#include "platform/foundation/UTF16.h"

namespace plat {

namespace {

// The characters of bytes 0x80-0xFF of the NEXTSTEP encoding (0: no character); the lower
// half is ASCII.
constexpr char16_t kNEXTSTEPUpperHalf[128] = {
    0x00A0, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB,
    0x00CC, 0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D9,
    0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00B5, 0x00D7, 0x00F7, 0x00A9, 0x00A1, 0x00A2, 0x00A3,
    0x2044, 0x00A5, 0x0192, 0x00A7, 0x00A4, 0x2019, 0x201C, 0x00AB, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x00AE, 0x2013, 0x2020, 0x2021, 0x00B7, 0x00A6, 0x00B6, 0x2022, 0x201A, 0x201E, 0x201D, 0x00BB,
    0x2026, 0x2030, 0x00AC, 0x00BF, 0x00B9, 0x02CB, 0x00B4, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9,
    0x00A8, 0x00B2, 0x02DA, 0x00B8, 0x00B3, 0x02DD, 0x02DB, 0x02C7, 0x2014, 0x00B1, 0x00BC, 0x00BD,
    0x00BE, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB,
    0x00EC, 0x00C6, 0x00ED, 0x00AA, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x0141, 0x00D8, 0x0152, 0x00BA,
    0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00E6, 0x00F9, 0x00FA, 0x00FB, 0x0131, 0x00FC, 0x00FD,
    0x0142, 0x00F8, 0x0153, 0x00DF, 0x00FE, 0x00FF, 0x0000, 0x0000,
};

std::optional<Data> encodeNEXTSTEP(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    bool valid = true;
    const uint32_t cp = decodeUTF8(text, i, &valid);
    if (!valid) return std::nullopt;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    const auto* end = std::end(kNEXTSTEPUpperHalf);
    const auto* at = cp > 0 && cp <= 0xFFFF ? std::find(kNEXTSTEPUpperHalf, end, cp) : end;
    if (at == end) return std::nullopt;
    out.push_back(static_cast<char>(0x80 + (at - kNEXTSTEPUpperHalf)));
  }
  return Data::fromString(out);
}

// Converts `text` with iconv from `source` to `target`; nullopt when a character has no form
// there or the text is invalid in `source` (iconv then stops with EILSEQ or EINVAL).
std::optional<std::string> convertWithIconv(std::string_view text, const char* source,
                                            const char* target) {
  iconv_t cd = iconv_open(target, source);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  bool ok = true;
  // The last round (a null input) writes any shift sequence that ends the text.
  for (bool flushing = false;;) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    const size_t r = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                              : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      ok = false;
      break;
    }
    // A character converted to a stand-in ("?") counts as having no form in the encoding.
    if (r > 0) {
      ok = false;
      break;
    }
    if (flushing) break;
    flushing = true;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

// The UTF-8 text in `target`, or nullopt where that is lossy: a character with no form there,
// or one given a look-alike's bytes (iconv's Japanese tables map the yen sign to 0x5C and the
// em dash to the horizontal bar), which the bytes read back with `target` give away.
std::optional<Data> encodeWithIconv(std::string_view text, const char* target) {
  std::optional<std::string> out = convertWithIconv(text, "UTF-8", target);
  if (!out) return std::nullopt;
  std::optional<std::string> back = convertWithIconv(*out, target, "UTF-8");
  if (!back || *back != text) return std::nullopt;
  return Data::fromString(*out);
}

std::optional<Data> withByteOrderMark(std::optional<Data> data, std::string_view mark) {
  if (!data) return std::nullopt;
  Data out = Data::fromString(mark);
  out.append(*data);
  return out;
}

}  // namespace

std::optional<Data> dataUsingEncoding(std::string_view text, uint64_t encoding) {
  switch (encoding) {
    case NSUTF8StringEncoding:
      return Data::fromString(text);
    case NSASCIIStringEncoding:
      return encodeWithIconv(text, "ASCII");
    case NSNEXTSTEPStringEncoding:
      return encodeNEXTSTEP(text);
    case NSJapaneseEUCStringEncoding:
      return encodeWithIconv(text, "EUC-JP");
    case NSISOLatin1StringEncoding:
      return encodeWithIconv(text, "ISO-8859-1");
    case NSNonLossyASCIIStringEncoding:
      if (!isValidUTF8(text)) return std::nullopt;
      return Data::fromString(nonLossyASCIIEncode(text));
    // The platform's Shift JIS is the Windows code page (with its extensions).
    case NSShiftJISStringEncoding:
      return encodeWithIconv(text, "CP932");
    case NSISOLatin2StringEncoding:
      return encodeWithIconv(text, "ISO-8859-2");
    case NSUTF16StringEncoding:
      return withByteOrderMark(encodeWithIconv(text, "UTF-16LE"), std::string_view("\xFF\xFE", 2));
    case NSWindowsCP1251StringEncoding:
      return encodeWithIconv(text, "CP1251");
    case NSWindowsCP1252StringEncoding:
      return encodeWithIconv(text, "CP1252");
    case NSWindowsCP1253StringEncoding:
      return encodeWithIconv(text, "CP1253");
    case NSWindowsCP1254StringEncoding:
      return encodeWithIconv(text, "CP1254");
    case NSWindowsCP1250StringEncoding:
      return encodeWithIconv(text, "CP1250");
    case NSISO2022JPStringEncoding:
      // An ESC of the text would be read as a shift sequence, changing how the reader takes
      // the text after it.
      if (text.find('\x1B') != std::string_view::npos) return std::nullopt;
      return encodeWithIconv(text, "ISO-2022-JP");
    case NSMacOSRomanStringEncoding:
      return encodeWithIconv(text, "MACINTOSH");
    case NSUTF16BigEndianStringEncoding:
      return encodeWithIconv(text, "UTF-16BE");
    case NSUTF16LittleEndianStringEncoding:
      return encodeWithIconv(text, "UTF-16LE");
    case NSUTF32StringEncoding:
      return withByteOrderMark(encodeWithIconv(text, "UTF-32LE"),
                               std::string_view("\xFF\xFE\0\0", 4));
    case NSUTF32BigEndianStringEncoding:
      return encodeWithIconv(text, "UTF-32BE");
    case NSUTF32LittleEndianStringEncoding:
      return encodeWithIconv(text, "UTF-32LE");
    default:
      return std::nullopt;
  }
}

std::string IANACharSetNameOfStringEncoding(uint64_t encoding) {
  switch (encoding) {
    case NSASCIIStringEncoding:
      return "us-ascii";
    case NSNEXTSTEPStringEncoding:
      return "x-nextstep";
    case NSJapaneseEUCStringEncoding:
      return "euc-jp";
    case NSUTF8StringEncoding:
      return "utf-8";
    case NSISOLatin1StringEncoding:
      return "iso-8859-1";
    case NSShiftJISStringEncoding:
      return "windows-31j";
    case NSISOLatin2StringEncoding:
      return "iso-8859-2";
    case NSUTF16StringEncoding:
      return "utf-16";
    case NSWindowsCP1251StringEncoding:
      return "windows-1251";
    case NSWindowsCP1252StringEncoding:
      return "windows-1252";
    case NSWindowsCP1253StringEncoding:
      return "windows-1253";
    case NSWindowsCP1254StringEncoding:
      return "windows-1254";
    case NSWindowsCP1250StringEncoding:
      return "windows-1250";
    case NSISO2022JPStringEncoding:
      return "iso-2022-jp";
    case NSMacOSRomanStringEncoding:
      return "macintosh";
    case NSUTF16BigEndianStringEncoding:
      return "utf-16be";
    case NSUTF16LittleEndianStringEncoding:
      return "utf-16le";
    case NSUTF32StringEncoding:
      return "utf-32";
    case NSUTF32BigEndianStringEncoding:
      return "utf-32be";
    case NSUTF32LittleEndianStringEncoding:
      return "utf-32le";
    default:
      return "";
  }
}

}  // namespace plat
