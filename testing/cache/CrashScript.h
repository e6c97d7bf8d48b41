#pragma once
// What the crash helper stores, shared with the test that checks it: every value is a pure
// function of its key, generation and size, so the checker can tell a whole value from a torn
// or stale one.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"

namespace crash_script {

inline constexpr int kKeyCount = 24;
inline constexpr const char* kHelperName = "kv_crash_helper";

// prefix followed by the number (built by appending: GCC 12 misreads "x" + std::to_string(i)
// as an overlapping copy).
inline std::string numbered(const char* prefix, int i) {
  std::string name = prefix;
  name += std::to_string(i);
  return name;
}

inline std::string keyName(int i) { return numbered("k", i); }

inline plat::Data value(const std::string& key, uint64_t gen, size_t size) {
  uint64_t x = 1469598103934665603ULL;
  for (char c : key) x = (x ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
  x ^= gen * 0x9E3779B97F4A7C15ULL;
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; i++) {
    // splitmix64
    x += 0x9E3779B97F4A7C15ULL;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    out[i] = static_cast<uint8_t>(z ^ (z >> 31));
  }
  return plat::Data(std::move(out));
}

// The extended data stored with a value: tells which store wrote the row.
inline plat::Data extended(const std::string& key, uint64_t gen) {
  return plat::Data::fromString(key + ":" + std::to_string(gen));
}

}  // namespace crash_script
