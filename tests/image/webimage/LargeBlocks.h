#pragma once
// LargeBlocks, for the tests that check how many times a large download is held.

#include <algorithm>
#include <atomic>
#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WEBIMAGE_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(WEBIMAGE_TEST_ASAN)
#define WEBIMAGE_TEST_ASAN 1
#endif
#ifdef WEBIMAGE_TEST_ASAN
#include <sanitizer/allocator_interface.h>
#endif

// Counts the heap blocks of at least a given size that are alive at once, on every thread,
// through the sanitizer runtime's allocation hooks (only the sanitizer build has them).
class LargeBlocks {
 public:
  static bool available() {
#ifdef WEBIMAGE_TEST_ASAN
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    return installed;
#else
    return false;
#endif
  }
  static void start(size_t threshold) {
    lock();
    count_ = peak_ = 0;
    unlock();
    threshold_.store(threshold);
  }
  // The most blocks alive at once since start().
  static size_t stop() {
    threshold_.store(0);
    lock();
    size_t peak = peak_;
    unlock();
    return peak;
  }

 private:
  static void lock() {
    while (busy_.test_and_set(std::memory_order_acquire)) {
    }
  }
  static void unlock() { busy_.clear(std::memory_order_release); }
  static void onMalloc(const volatile void* p, size_t size) {
    size_t threshold = threshold_.load(std::memory_order_relaxed);
    if (threshold == 0 || size < threshold) return;
    lock();
    if (count_ < kSlots) live_[count_++] = p;
    peak_ = std::max(peak_, count_);
    unlock();
  }
  static void onFree(const volatile void* p) {
    if (threshold_.load(std::memory_order_relaxed) == 0) return;
    lock();
    for (size_t i = 0; i < count_; ++i) {
      if (live_[i] == p) {
        live_[i] = live_[--count_];
        break;
      }
    }
    unlock();
  }
  static constexpr size_t kSlots = 64;
  static inline std::atomic<size_t> threshold_{0};
  static inline std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
  static inline const volatile void* live_[kSlots] = {};
  static inline size_t count_ = 0, peak_ = 0;
};
