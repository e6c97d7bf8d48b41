#include <cctype>
#include <cstdint>

#include "net/model/NSString+HVExtension.h"

namespace {
char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
}  // namespace

std::string kv_underlineFromCamel(std::string_view text) {
  std::string r;
  r.reserve(text.size() + 4);
  for (char c : text) {
    char l = lower(c);
    if (l != c) r += '_';
    r += l;
  }
  return r;
}

std::string kv_camelFromUnderline(std::string_view text) {
  if (text.empty()) return std::string(text);
  std::string r;
  size_t start = 0;
  bool first = true;
  while (true) {
    size_t us = text.find('_', start);
    std::string_view piece =
        text.substr(start, us == std::string_view::npos ? std::string_view::npos : us - start);
    if (first) {
      r += piece;
      first = false;
    } else if (!piece.empty()) {
      r += upper(piece[0]);
      r += piece.substr(1);
    }
    if (us == std::string_view::npos) break;
    start = us + 1;
  }
  return r;
}

std::string kv_firstCharLower(std::string_view text) {
  std::string r(text);
  if (!r.empty()) r[0] = lower(r[0]);
  return r;
}

std::string kv_firstCharUpper(std::string_view text) {
  std::string r(text);
  if (!r.empty()) r[0] = upper(r[0]);
  return r;
}

bool kv_isPureInt(std::string_view text) {
  // As the platform's scanner: white space, an optional sign, digits (an overflowing value
  // still scans, saturated), and then the end of the text. The scanner skips white space
  // before deciding it is at the end, so trailing white space still counts as the end.
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digitsStart = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digitsStart) return false;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  return i == text.size();
}

plat::NSURLRef kv_url(std::string_view text) {
  static const plat::URLCharacterSet allowed =
      plat::URLCharacterSet::alphanumericCharacterSet().adding("!$&'()*+,-./:;=?@_~%#[]");
  return plat::NSURL::URLWithString(plat::addingPercentEncoding(text, allowed));
}
