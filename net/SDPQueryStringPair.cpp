#include "net/SDPQueryStringPair.h"

#include <algorithm>

#include "platform/foundation/NSStringEncoding.h"

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

void appendEscapedByte(unsigned char c, std::string& out) {
  static const char kHex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0xF]);
}

}  // namespace

std::string SDPEscapeQueryComponent(const std::string& string) {
  // Encoding works byte by byte over the whole UTF-8 text, so a character (a surrogate pair
  // in UTF-16 terms, or a letter with combining marks) is never cut into invalid halves.
  std::string out;
  out.reserve(string.size() * 3 / 2);
  for (unsigned char c : string) {
    if (isAllowedQueryByte(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      appendEscapedByte(c, out);
    }
  }
  return out;
}

std::optional<std::string> SDPEscapeQueryComponentInEncoding(const std::string& string,
                                                             uint64_t encoding) {
  if (encoding == plat::NSUTF8StringEncoding) return SDPEscapeQueryComponent(string);
  std::string out;
  out.reserve(string.size() * 3 / 2);
  for (size_t i = 0; i < string.size();) {
    if (isAllowedQueryByte(static_cast<unsigned char>(string[i]))) {
      out.push_back(string[i++]);
      continue;
    }
    // A run of escaped characters is converted as a whole (allowed bytes are ASCII, so a run
    // never ends inside a character), and every byte of its form is escaped: a byte of a
    // multi-byte form that looks like a letter stays part of its character.
    size_t end = i;
    while (end < string.size() && !isAllowedQueryByte(static_cast<unsigned char>(string[end])))
      ++end;
    const auto bytes =
        plat::dataUsingEncoding(std::string_view(string).substr(i, end - i), encoding);
    if (!bytes) return std::nullopt;
    for (size_t k = 0; k < bytes->length(); ++k) appendEscapedByte(bytes->bytes()[k], out);
    i = end;
  }
  return out;
}

std::string SDPQueryStringPair::URLEncodedStringValue() const {
  return *URLEncodedStringValueInEncoding(plat::NSUTF8StringEncoding);
}

std::optional<std::string> SDPQueryStringPair::URLEncodedStringValueInEncoding(
    uint64_t encoding) const {
  auto field = SDPEscapeQueryComponentInEncoding(field_.description(), encoding);
  if (!field || value_.isNil() || value_.isNull()) return field;
  auto value = SDPEscapeQueryComponentInEncoding(value_.description(), encoding);
  if (!value) return std::nullopt;
  return *field + "=" + *value;
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
  return *SDPJoinQueryPairsInEncoding(parameters, plat::NSUTF8StringEncoding, tooDeep);
}

std::optional<std::string> SDPJoinQueryPairsInEncoding(const plat::Value& parameters,
                                                       uint64_t encoding, bool* tooDeep) {
  std::string out;
  bool first = true;
  for (const auto& pair : SDPFlattenQueryPairs(plat::Value(), parameters, tooDeep)) {
    auto text = pair.URLEncodedStringValueInEncoding(encoding);
    if (!text) return std::nullopt;
    if (!first) out.push_back('&');
    first = false;
    out += *text;
  }
  return out;
}
