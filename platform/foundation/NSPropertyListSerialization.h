#pragma once
// plat::NSPropertyListSerialization: reads and writes property lists in the XML and binary
// formats (and reads the old text format, which string tables use), mapping them to and
// from plat::Value.
//
// Mapping: booleans, integers, doubles, strings, data, dates, arrays and dictionaries map
// one to one. Integers beyond the 64-bit range (decimal numbers) keep their digits: the XML
// form holds any, the binary form 128 bits (writing a larger one fails). Dates of years 0 to
// 9999 are held (the XML form keeps whole seconds). Nil, the null object, object handles,
// text that holds a NUL character or is not valid UTF-8, and (XML) text holding a character
// XML 1.0 cannot hold have no property-list form here: writing them fails. A keyed-archive
// reference (UID) reads as the dictionary {"CF$UID": n}, as the platform's XML form spells
// it.
//
// Untrusted input is safe: more than kMaxDepth nested containers, or a binary list whose
// shared references would expand past kMaxNodes values or past 64 MiB plus four times its
// length in text and data, is refused as corrupt instead of being handed to the parser. Every
// format reads and writes the same kMaxDepth containers (the values they hold do not count).
//
// Thread-safe (no shared state). Never throws.

#include <cstdint>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

namespace plat {

class NSPropertyListSerialization {
 public:
  enum NSPropertyListFormat : int {
    NSPropertyListOpenStepFormat = 1,
    NSPropertyListXMLFormat_v1_0 = 100,
    NSPropertyListBinaryFormat_v1_0 = 200,
  };
  // Accepted for the platform's signature; values are always plain plat::Value.
  enum MutabilityOptions : unsigned {
    NSPropertyListImmutable = 0,
    NSPropertyListMutableContainers = 1,
    NSPropertyListMutableContainersAndLeaves = 2,
  };
  // Error codes in NSCocoaErrorDomain.
  static constexpr int64_t NSPropertyListReadCorruptError = 3840;
  static constexpr int64_t NSPropertyListWriteInvalidError = 3852;

  static constexpr int kMaxDepth = 512;
  static constexpr uint64_t kMaxNodes = uint64_t{1} << 20;

  // Parses a property list in any of the three formats (detected from the bytes). Returns
  // nil and sets *error (code 3840) for empty, corrupt or too deeply nested input. On
  // success *format (when given) receives the detected format.
  static Value propertyListWithData(const Data& data, unsigned options = 0,
                                    NSPropertyListFormat* format = nullptr,
                                    NSErrorRef* error = nullptr);
  // Writes value as an XML or binary property list. Returns empty Data and sets *error
  // (code 3852) when value holds something with no property-list form in that format (see
  // above), a date outside years 0 to 9999, or nesting deeper than kMaxDepth; also for the
  // OpenStep format, which the platform does not write either.
  static Data dataWithPropertyList(const Value& value, NSPropertyListFormat format,
                                   unsigned options = 0, NSErrorRef* error = nullptr);
  // Whether dataWithPropertyList would succeed.
  static bool propertyListIsValidForFormat(const Value& value, NSPropertyListFormat format);
};

}  // namespace plat
