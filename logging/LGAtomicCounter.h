#pragma once
// LGAtomicCounter: a signed 32-bit counter with lock-free increment and decrement.
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
  explicit LGAtomicCounter(int32_t defaultValue) : value_(defaultValue) {}
  int32_t value() const override { return value_.load(std::memory_order_relaxed); }
  // Each returns the value after the change.
  int32_t increment() override { return value_.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t decrement() override { return value_.fetch_sub(1, std::memory_order_relaxed) - 1; }

 private:
  std::atomic<int32_t> value_;
};
