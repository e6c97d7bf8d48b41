#include "platform/foundation/NSUUID.h"

#include <sys/random.h>

#include <random>

namespace plat {

NSUUID::NSUUID() {
  size_t got = 0;
  while (got < bytes_.size()) {
    ssize_t n = getrandom(bytes_.data() + got, bytes_.size() - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < bytes_.size()) {
    std::random_device rd;
    for (auto& b : bytes_) b = static_cast<uint8_t>(rd());
  }
  bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
  bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::optional<NSUUID> NSUUID::fromString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::array<uint8_t, 16> bytes{};
  size_t b = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = hex(text[i]), lo = hex(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[b++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  return NSUUID(bytes);
}

std::string NSUUID::UUIDString() const {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += hex[bytes_[i] >> 4];
    out += hex[bytes_[i] & 0xF];
  }
  return out;
}

}  // namespace plat
