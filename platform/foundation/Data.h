#pragma once
// plat::Data: an owned byte buffer with value semantics (the platform's data objects).
// Not synchronized: share between threads only as const.
//
// The buffer is one block of memory. It can adopt a std::vector's buffer without copying, and
// Data::uninitialized hands out a buffer whose bytes are left unset (recycled through a small
// process-wide pool) for callers that fill it at once, such as a read straight from a file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class Data {
 public:
  Data() = default;
  Data(const void* bytes, size_t length);
  // Takes the vector's buffer without copying it.
  explicit Data(std::vector<uint8_t> bytes);
  // The UTF-8 bytes of a text.
  static Data fromString(std::string_view text) { return Data(text.data(), text.size()); }
  // `length` bytes whose content is unset: the caller fills them through mutableBytes() (and
  // may shorten the data with setLength when it filled fewer).
  static Data uninitialized(size_t length);

  Data(const Data& other) : Data(other.bytes_, other.length_) {}
  Data(Data&& other) noexcept
      : bytes_(other.bytes_),
        length_(other.length_),
        capacity_(other.capacity_),
        owner_(other.owner_),
        ownerContext_(other.ownerContext_) {
    other.forget();
  }
  Data& operator=(const Data& other);
  Data& operator=(Data&& other) noexcept;
  ~Data() { release(); }

  size_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  const uint8_t* bytes() const { return bytes_; }
  uint8_t* mutableBytes() { return bytes_; }

  // Makes room for `capacity` bytes in all without changing the content.
  void reserve(size_t capacity);
  void append(const void* bytes, size_t length);
  void append(const Data& other) { append(other.bytes(), other.length()); }
  void append(std::string_view text) { append(text.data(), text.size()); }
  // Shortens the data, or lengthens it with zero bytes.
  void setLength(size_t length);
  // Bytes [location, location+length) clamped to the buffer.
  Data subdata(size_t location, size_t length) const;
  // The bytes as a std::string (no validation).
  std::string toString() const {
    return std::string(reinterpret_cast<const char*>(bytes_), length_);
  }
  // The platform's description: "{length = N, bytes = 0x0102...}" (long data shows its
  // first and last 24 bytes around " ... ").
  std::string description() const;

  bool operator==(const Data& o) const;

 private:
  // Where the buffer came from, which says how it is freed.
  enum class Owner : uint8_t { Heap, Vector, Pool };
  void release();
  void forget();
  // Moves the content into a heap buffer of at least `capacity` bytes.
  void regrow(size_t capacity);

  uint8_t* bytes_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
  Owner owner_ = Owner::Heap;
  void* ownerContext_ = nullptr;  // the adopted std::vector when owner_ is Vector
};

}  // namespace plat
