#include "platform/foundation/Data.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace plat {

namespace {

void* allocate(size_t size) {
  void* p = std::malloc(size);
  if (!p) throw std::bad_alloc();
  return p;
}

// Buffers of Data::uninitialized, kept for reuse after their data is freed. A buffer just
// freed is still mapped and warm, where a fresh one of this size would be zero-filled by the
// kernel page by page on first touch (or handed back to it by malloc's trimming in between).
// Sizes are rounded up to a power of two from 4 KiB to 1 MiB; other sizes are not pooled.
// At most kMaxIdleBytes wait in the pool; beyond that freed buffers go back to malloc.
class BufferPool {
 public:
  static constexpr unsigned kMinShift = 12;
  static constexpr unsigned kMaxShift = 20;
  static constexpr size_t kMaxIdleBytes = 16u << 20;

  // Never destroyed: data freed by static destructors may still give buffers back.
  static BufferPool& shared() {
    static BufferPool* pool = new BufferPool();
    return *pool;
  }

  // The pooled size for `length` bytes, or 0 when such a length is not pooled.
  static size_t pooledSize(size_t length) {
    if (length > (size_t{1} << kMaxShift)) return 0;
    size_t size = size_t{1} << kMinShift;
    while (size < length) size <<= 1;
    return size;
  }

  void* take(size_t size) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto& list = free_[indexOf(size)];
      if (!list.empty()) {
        void* p = list.back();
        list.pop_back();
        idleBytes_ -= size;
        return p;
      }
    }
    return allocate(size);
  }

  void give(void* p, size_t size) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (idleBytes_ + size <= kMaxIdleBytes) {
        free_[indexOf(size)].push_back(p);
        idleBytes_ += size;
        return;
      }
    }
    std::free(p);
  }

 private:
  BufferPool() {
    for (unsigned shift = kMinShift; shift <= kMaxShift; ++shift)
      free_[shift - kMinShift].reserve(kMaxIdleBytes >> shift);
  }
  static size_t indexOf(size_t size) {
    unsigned shift = kMinShift;
    while ((size_t{1} << shift) < size) ++shift;
    return shift - kMinShift;
  }

  std::mutex mu_;
  std::vector<void*> free_[kMaxShift - kMinShift + 1];
  size_t idleBytes_ = 0;
};

}  // namespace

Data::Data(const void* bytes, size_t length) {
  if (length == 0) return;
  bytes_ = static_cast<uint8_t*>(allocate(length));
  std::memcpy(bytes_, bytes, length);
  length_ = capacity_ = length;
}

Data::Data(std::vector<uint8_t> bytes) {
  if (bytes.empty()) return;
  auto* holder = new std::vector<uint8_t>(std::move(bytes));
  bytes_ = holder->data();
  length_ = holder->size();
  capacity_ = holder->capacity();
  owner_ = Owner::Vector;
  ownerContext_ = holder;
}

Data Data::uninitialized(size_t length) {
  Data d;
  if (length == 0) return d;
  size_t pooled = BufferPool::pooledSize(length);
  if (pooled) {
    d.bytes_ = static_cast<uint8_t*>(BufferPool::shared().take(pooled));
    d.capacity_ = pooled;
    d.owner_ = Owner::Pool;
  } else {
    d.bytes_ = static_cast<uint8_t*>(allocate(length));
    d.capacity_ = length;
  }
  d.length_ = length;
  return d;
}

Data& Data::operator=(const Data& other) {
  if (this != &other) *this = Data(other);
  return *this;
}

Data& Data::operator=(Data&& other) noexcept {
  if (this == &other) return *this;
  release();
  bytes_ = other.bytes_;
  length_ = other.length_;
  capacity_ = other.capacity_;
  owner_ = other.owner_;
  ownerContext_ = other.ownerContext_;
  other.forget();
  return *this;
}

void Data::release() {
  if (!bytes_) return;
  switch (owner_) {
    case Owner::Heap:
      std::free(bytes_);
      break;
    case Owner::Vector:
      delete static_cast<std::vector<uint8_t>*>(ownerContext_);
      break;
    case Owner::Pool:
      BufferPool::shared().give(bytes_, capacity_);
      break;
  }
  forget();
}

void Data::forget() {
  bytes_ = nullptr;
  length_ = capacity_ = 0;
  owner_ = Owner::Heap;
  ownerContext_ = nullptr;
}

void Data::regrow(size_t capacity) {
  if (owner_ == Owner::Heap) {
    void* p = std::realloc(bytes_, capacity);
    if (!p) throw std::bad_alloc();
    bytes_ = static_cast<uint8_t*>(p);
    capacity_ = capacity;
    return;
  }
  auto* p = static_cast<uint8_t*>(allocate(capacity));
  if (length_) std::memcpy(p, bytes_, length_);
  size_t length = length_;
  release();
  bytes_ = p;
  length_ = length;
  capacity_ = capacity;
}

void Data::reserve(size_t capacity) {
  if (capacity > capacity_) regrow(capacity);
}

void Data::append(const void* bytes, size_t length) {
  if (length == 0) return;
  auto* src = static_cast<const uint8_t*>(bytes);
  if (length_ + length > capacity_) {
    // The bytes may be this data's own (d.append(d)): find them again after the move.
    bool own = bytes_ && src >= bytes_ && src < bytes_ + length_;
    size_t offset = own ? static_cast<size_t>(src - bytes_) : 0;
    regrow(std::max(length_ + length, capacity_ + capacity_ / 2));
    if (own) src = bytes_ + offset;
  }
  std::memmove(bytes_ + length_, src, length);
  length_ += length;
}

void Data::setLength(size_t length) {
  if (length > capacity_) regrow(length);
  if (length > length_) std::memset(bytes_ + length_, 0, length - length_);
  length_ = length;
}

Data Data::subdata(size_t location, size_t length) const {
  if (location >= length_) return Data();
  return Data(bytes_ + location, std::min(length, length_ - location));
}

bool Data::operator==(const Data& o) const {
  return length_ == o.length_ && (length_ == 0 || std::memcmp(bytes_, o.bytes_, length_) == 0);
}

}  // namespace plat
