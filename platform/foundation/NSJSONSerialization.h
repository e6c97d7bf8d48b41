#pragma once
// plat::NSJSONSerialization: JSON reading and writing with the platform serializer's rules.
// Thread-safe (no shared state). Never throws: failures come back as an NSError in the
// NSCocoaErrorDomain (3840 for unreadable input, 3851 for a value JSON cannot hold).

#include <string_view>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

namespace plat {

class NSJSONSerialization {
 public:
  enum ReadingOptions : unsigned {
    NSJSONReadingMutableContainers = 1 << 0,
    NSJSONReadingMutableLeaves = 1 << 1,
    NSJSONReadingFragmentsAllowed = 1 << 2,  // accept a top-level string, number, bool, null
  };
  enum WritingOptions : unsigned {
    NSJSONWritingPrettyPrinted = 1 << 0,
    NSJSONWritingSortedKeys = 1 << 1,
    NSJSONWritingFragmentsAllowed = 1 << 2,
    NSJSONWritingWithoutEscapingSlashes = 1 << 3,
  };

  // Parses JSON. Returns nil and sets *error on invalid input or (without fragments allowed)
  // a top level that is not an object or array. JSON null reads as Value::null().
  static Value JSONObjectWithData(const Data& data, unsigned options = 0,
                                  NSErrorRef* error = nullptr);
  static Value JSONObjectWithString(std::string_view text, unsigned options = 0,
                                    NSErrorRef* error = nullptr);
  // Writes JSON: compact or pretty, "/" escaped as "\/" unless told otherwise, booleans as
  // true/false, integral doubles without ".0". Returns empty Data and sets *error for a value
  // JSON cannot hold (data, dates, objects, NaN/infinity, nil) or a non-container top level
  // without fragments allowed.
  static Data dataWithJSONObject(const Value& value, unsigned options = 0,
                                 NSErrorRef* error = nullptr);
  // Same as dataWithJSONObject, as text. Empty on error.
  static std::string stringWithJSONObject(const Value& value, unsigned options = 0,
                                          NSErrorRef* error = nullptr);
  // Whether dataWithJSONObject would succeed for value (top level an array or dictionary).
  static bool isValidJSONObject(const Value& value);
};

}  // namespace plat
