#pragma once
// Small helpers shared by the fuzz targets: splitting the fuzzer's bytes into fields, a check
// that aborts (so libFuzzer records the input) when an invariant does not hold, quieting the
// log, and putting a file's magic bytes in front of the input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSLog.h"

namespace fuzz {

// Reads the input front to back: single bytes for choices, then text fields.
class Input {
 public:
  Input(const uint8_t* data, size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}
  // The next byte, or 0 when the input is used up.
  uint8_t byte() {
    if (rest_.empty()) return 0;
    uint8_t b = static_cast<uint8_t>(rest_[0]);
    rest_.remove_prefix(1);
    return b;
  }
  // Text up to the next `separator` (which is consumed), or the rest of the input.
  std::string_view field(char separator = '\n') {
    size_t at = rest_.find(separator);
    std::string_view out = rest_.substr(0, at);
    rest_.remove_prefix(at == std::string_view::npos ? rest_.size() : at + 1);
    return out;
  }
  std::string_view rest() {
    std::string_view out = rest_;
    rest_ = {};
    return out;
  }

 private:
  std::string_view rest_;
};

// Drops what the code under test logs through NSLog: damaged input makes readers log, and the
// fuzzer's output has no use for it. Returns 0, the answer of LLVMFuzzerInitialize.
inline int quietLogs() {
  plat::setNSLogCaptureForTesting([](const std::string&) {});
  return 0;
}

// The `headerLength` bytes of `header` followed by the `size` bytes at `data`.
inline plat::Data afterHeader(const char* header, size_t headerLength, const uint8_t* data,
                              size_t size) {
  plat::Data bytes(reinterpret_cast<const uint8_t*>(header), headerLength);
  bytes.append(data, size);
  return bytes;
}

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant failed: %s\n%s\n", what, detail.c_str());
  std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond, detail) \
  do {                           \
    if (!(cond)) ::fuzz::fail(#cond, (detail)); \
  } while (0)
