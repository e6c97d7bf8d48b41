#include "net/SDPQueryStringPair.h"

#include <algorithm>

namespace {

bool isAllowedQueryByte(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case '/': case '?':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string SDPEscapeQueryComponent(const std::string& string) {
  // Encoding works byte by byte over the whole UTF-8 text, so a character (a surrogate pair
  // in UTF-16 terms, or a letter with combining marks) is never cut into invalid halves.
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(string.size() * 3 / 2);
  for (unsigned char c : string) {
    if (isAllowedQueryByte(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::string SDPQueryStringPair::URLEncodedStringValue() const {
  if (value_.isNil() || value_.isNull()) return SDPEscapeQueryComponent(field_.description());
  return SDPEscapeQueryComponent(field_.description()) + "=" +
         SDPEscapeQueryComponent(value_.description());
}

namespace {

// False when the containers nest deeper than SDPQueryMaxDepth.
bool flattenInto(const plat::Value& key, const plat::Value& value, int depth,
                 std::vector<SDPQueryStringPair>& out) {
  if (const plat::Dictionary* dict = value.dictionary()) {
    if (depth >= SDPQueryMaxDepth) return false;
    std::vector<const plat::Dictionary::Entry*> entries;
    entries.reserve(dict->size());
    for (const auto& entry : *dict) entries.push_back(&entry);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* entry : entries) {
      if (entry->second.isNil()) continue;
      plat::Value nestedKey = key.isNil() ? plat::Value(entry->first)
                                          : plat::Value(key.description() + "[" + entry->first + "]");
      if (!flattenInto(nestedKey, entry->second, depth + 1, out)) return false;
    }
  } else if (const plat::Array* array = value.array()) {
    if (depth >= SDPQueryMaxDepth) return false;
    plat::Value nestedKey(key.description() + "[]");
    for (const auto& element : *array) {
      if (!flattenInto(nestedKey, element, depth + 1, out)) return false;
    }
  } else {
    out.emplace_back(key, value);
  }
  return true;
}

}  // namespace

std::vector<SDPQueryStringPair> SDPFlattenQueryPairs(const plat::Value& key,
                                                     const plat::Value& value, bool* tooDeep) {
  std::vector<SDPQueryStringPair> out;
  const bool ok = flattenInto(key, value, 0, out);
  if (!ok) out.clear();
  if (tooDeep) *tooDeep = !ok;
  return out;
}

std::string SDPJoinQueryPairs(const plat::Value& parameters, bool* tooDeep) {
  std::string out;
  bool first = true;
  for (const auto& pair : SDPFlattenQueryPairs(plat::Value(), parameters, tooDeep)) {
    if (!first) out.push_back('&');
    first = false;
    out += pair.URLEncodedStringValue();
  }
  return out;
}
