#pragma once
// plat::NSUUID: a universally unique identifier (random, version 4) with the platform's text
// form: upper-case hexadecimal, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F". A value type;
// thread-safe.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class NSUUID {
 public:
  // A new random UUID.
  NSUUID();
  static NSUUID UUID() { return NSUUID(); }
  explicit NSUUID(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}
  // Parses the 8-4-4-4-12 hexadecimal form (either case); std::nullopt for anything else.
  static std::optional<NSUUID> fromString(std::string_view text);

  std::string UUIDString() const;
  const std::array<uint8_t, 16>& bytes() const { return bytes_; }
  bool operator==(const NSUUID& o) const = default;

 private:
  std::array<uint8_t, 16> bytes_{};
};

}  // namespace plat
