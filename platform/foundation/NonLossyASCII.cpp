#include "platform/foundation/NonLossyASCII.h"

#include "platform/foundation/UTF16.h"

namespace plat {

std::string nonLossyASCIIEncode(std::string_view utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size());
  for (char16_t unit : toUTF16(utf8)) {
    if (unit == u'\\') {
      out += "\\\\";
    } else if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
    }
  }
  return out;
}

static int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> nonLossyASCIIDecode(std::string_view bytes) {
  std::u16string units;
  units.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c > 0x7F) return std::nullopt;
    if (c != '\\') {
      units += static_cast<char16_t>(c);
      continue;
    }
    if (i + 1 >= bytes.size()) return std::nullopt;
    char next = bytes[++i];
    if (next == '\\') {
      units += u'\\';
      continue;
    }
    if (next != 'u' || bytes.size() - (i + 1) < 4) return std::nullopt;
    char16_t unit = 0;
    for (int k = 1; k <= 4; ++k) {
      int d = hexDigit(bytes[i + k]);
      if (d < 0) return std::nullopt;
      unit = static_cast<char16_t>(unit << 4 | d);
    }
    i += 4;
    units += unit;
  }
  // fromUTF16 turns unpaired surrogates into U+FFFD.
  return fromUTF16(units);
}

}  // namespace plat
