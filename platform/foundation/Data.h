#pragma once
// plat::Data: an owned byte buffer with value semantics (the platform's data objects).
// Not synchronized: share between threads only as const.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class Data {
 public:
  Data() = default;
  Data(const void* bytes, size_t length)
      : bytes_(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + length) {}
  explicit Data(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  // The UTF-8 bytes of a text.
  static Data fromString(std::string_view text) { return Data(text.data(), text.size()); }

  size_t length() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  const uint8_t* bytes() const { return bytes_.data(); }
  uint8_t* mutableBytes() { return bytes_.data(); }
  const std::vector<uint8_t>& vector() const { return bytes_; }
  std::vector<uint8_t>& vector() { return bytes_; }

  void append(const void* bytes, size_t length) {
    auto p = static_cast<const uint8_t*>(bytes);
    bytes_.insert(bytes_.end(), p, p + length);
  }
  void append(const Data& other) { append(other.bytes(), other.length()); }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void setLength(size_t length) { bytes_.resize(length); }
  // Bytes [location, location+length) clamped to the buffer.
  Data subdata(size_t location, size_t length) const;
  // The bytes as a std::string (no validation).
  std::string toString() const { return std::string(bytes_.begin(), bytes_.end()); }
  // The platform's description: "{length = N, bytes = 0x0102...}" (long data shows its
  // first and last 24 bytes around " ... ").
  std::string description() const;

  bool operator==(const Data& o) const { return bytes_ == o.bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace plat
