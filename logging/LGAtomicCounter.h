#pragma once
// LGAtomicCounter: a signed 32-bit counter with lock-free increment and decrement. The
// arithmetic is done on the unsigned form, so the counter wraps at its ends (INT32_MAX + 1
// gives INT32_MIN and back) instead of overflowing.
// Thread-safety: every operation may be called from any thread at once.

#include <atomic>
#include <cstdint>

class LGAtomicCountable {
 public:
  virtual ~LGAtomicCountable() = default;
  virtual int32_t value() const = 0;
  virtual int32_t increment() = 0;
  virtual int32_t decrement() = 0;
};

class LGAtomicCounter : public LGAtomicCountable {
 public:
  explicit LGAtomicCounter(int32_t defaultValue) : value_(static_cast<uint32_t>(defaultValue)) {}
  int32_t value() const override {
    return static_cast<int32_t>(value_.load(std::memory_order_relaxed));
  }
  // Each returns the value after the change.
  int32_t increment() override {
    return static_cast<int32_t>(value_.fetch_add(1u, std::memory_order_relaxed) + 1u);
  }
  int32_t decrement() override {
    return static_cast<int32_t>(value_.fetch_sub(1u, std::memory_order_relaxed) - 1u);
  }

 private:
  std::atomic<uint32_t> value_;
};
