#pragma once
// NSRange: a location and a length in UTF-16 code units, and the not-found marker.

#include <cstdint>

namespace plat {

// The largest signed 64-bit integer, as the platform defines it.
inline constexpr uint64_t NSNotFound = static_cast<uint64_t>(INT64_MAX);

struct NSRange {
  uint64_t location = 0;
  uint64_t length = 0;
  bool operator==(const NSRange&) const = default;
};

inline NSRange NSMakeRange(uint64_t location, uint64_t length) { return {location, length}; }
inline uint64_t NSMaxRange(NSRange r) { return r.location + r.length; }
// True when the range lies inside a text of `length` units (without overflow).
inline bool NSRangeFitsLength(NSRange r, uint64_t length) {
  return r.location <= length && r.length <= length - r.location;
}

}  // namespace plat
