#include "platform/foundation/UTF16.h"

#include <algorithm>

namespace plat {

void appendUTF8(std::string& out, uint32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

uint32_t decodeUTF8(std::string_view s, size_t& i, bool* valid) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = byte(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int extra;
  uint32_t cp, min;
  if ((c & 0xE0) == 0xC0) {
    extra = 1, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    extra = 2, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    extra = 3, cp = c & 0x07, min = 0x10000;
  } else {
    extra = -1, cp = 0, min = 0;
  }
  bool ok = extra > 0;
  for (int k = 1; ok && k <= extra; ++k) {
    if (i + k >= s.size() || (byte(i + k) & 0xC0) != 0x80) {
      ok = false;
      break;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
  if (!ok) {
    if (valid) *valid = false;
    ++i;
    return 0xFFFD;
  }
  i += static_cast<size_t>(extra) + 1;
  return cp;
}

bool isValidUTF8(std::string_view s) {
  bool valid = true;
  for (size_t i = 0; i < s.size() && valid;) decodeUTF8(s, i, &valid);
  return valid;
}

size_t utf16Length(std::string_view utf8) {
  size_t n = 0;
  for (size_t i = 0; i < utf8.size();) n += decodeUTF8(utf8, i) >= 0x10000 ? 2 : 1;
  return n;
}

std::u16string toUTF16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = decodeUTF8(utf8, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string fromUTF16(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      appendUTF8(out, 0x10000 + ((u - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u));
      ++i;
    } else {
      appendUTF8(out, u);  // a lone surrogate becomes U+FFFD
    }
  }
  return out;
}

std::string utf16Substring(std::string_view utf8, size_t location, size_t length) {
  std::u16string u = toUTF16(utf8);
  if (location >= u.size()) return std::string();
  size_t n = std::min(length, u.size() - location);
  return fromUTF16(std::u16string_view(u).substr(location, n));
}

char16_t utf16CharacterAt(std::string_view utf8, size_t index) {
  size_t pos = 0;
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = decodeUTF8(utf8, i);
    if (cp >= 0x10000) {
      if (index == pos) return static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      if (index == pos + 1) return static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      pos += 2;
    } else {
      if (index == pos) return static_cast<char16_t>(cp);
      pos += 1;
    }
  }
  return 0;
}

}  // namespace plat
