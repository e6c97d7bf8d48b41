#pragma once
// Query-string building for the HTTP client: one field/value pair, the escaping of a query
// component, the flattening of nested parameters into pairs, and their joining into a
// "k=v&k2=v2" text. Used by the request serializers and the multipart form builder.
//
// Thread-safe: pure functions over values.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// One field/value pair of a query string. Both are arbitrary values; the field is nil only
// when a non-container value was flattened without a key.
class SDPQueryStringPair {
 public:
  SDPQueryStringPair() = default;
  SDPQueryStringPair(plat::Value field, plat::Value value)
      : field_(std::move(field)), value_(std::move(value)) {}
  static SDPQueryStringPair initWithFieldValue(plat::Value field, plat::Value value) {
    return SDPQueryStringPair(std::move(field), std::move(value));
  }

  const plat::Value& field() const { return field_; }
  const plat::Value& value() const { return value_; }

  // "field=value", both escaped; only the escaped field when the value is nil or the null
  // object.
  std::string URLEncodedStringValue() const;
  // The same with the escapes in `encoding` (SDPEscapeQueryComponentInEncoding); nullopt when
  // a character has no form in it.
  std::optional<std::string> URLEncodedStringValueInEncoding(uint64_t encoding) const;

 private:
  plat::Value field_;
  plat::Value value_;
};

// Percent-encodes every byte of the UTF-8 text that is not an ASCII letter, a digit or one of
// "-._~/?" as "%XX" (upper-case hex). Multi-byte characters are never split. "" gives "".
std::string SDPEscapeQueryComponent(const std::string& string);

// The same escaping with the bytes of `string` in `encoding` (a plat::NSStringEncoding): each
// run of characters outside the allowed set is converted to `encoding` and every byte of its
// form escaped, so that a reader decoding the escapes in that encoding reads `string` back.
// nullopt when a character has no form in `encoding`. UTF-8 gives SDPEscapeQueryComponent.
std::optional<std::string> SDPEscapeQueryComponentInEncoding(const std::string& string,
                                                             uint64_t encoding);

// How deeply containers may nest inside the parameters (as deep as JSON may nest).
inline constexpr int SDPQueryMaxDepth = 512;

// Flattens a parameter value into pairs: dictionaries by their keys in ascending order
// (nested keys "outer[inner]"), arrays in their own order (keys "outer[]"), anything else as
// one pair (key, value). `key` may be nil. Containers nested more than SDPQueryMaxDepth deep
// give no pairs at all, and *tooDeep (when given) is set; otherwise it is cleared.
std::vector<SDPQueryStringPair> SDPFlattenQueryPairs(const plat::Value& key,
                                                     const plat::Value& value,
                                                     bool* tooDeep = nullptr);

// The URL-encoded pairs of SDPFlattenQueryPairs(nil, parameters) joined with "&"; "" with
// *tooDeep set when the parameters nest too deeply.
std::string SDPJoinQueryPairs(const plat::Value& parameters, bool* tooDeep = nullptr);
// The same with the escapes in `encoding`; nullopt when a character has no form in it (and
// then *tooDeep, when given, is as SDPFlattenQueryPairs set it).
std::optional<std::string> SDPJoinQueryPairsInEncoding(const plat::Value& parameters,
                                                       uint64_t encoding, bool* tooDeep = nullptr);
