#pragma once
// SysKeychainWriter: the page's keychain writes (SetKeychain, DelKeychain, ResetKeychain), in
// the order the page made them, each stored or its failure told to the page.
//
// A write is tried at once on the calling thread, waiting only briefly for the database. When
// another process keeps the database locked (a second program on the device root, one stopped
// in the middle of a write), the write is kept and retried on the writer's own thread, in order
// with the writes after it, until it is stored; only past about ten minutes of a locked
// database does it give up. A write that fails (for that, or any other keychain error) is
// reported to the page as "onKeychainError" with {"key", "error"} ("key" absent for a reset);
// the failure of a kept write reaches no page but the one that made it.
// Reads (pendingValue) see the writes still waiting.
//
// Threading: main thread for every operation; the retries run on the writer's own thread (one
// at a time, while writes wait) and report on the main queue.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "KRH5Plugin/LMKeyChainStore.h"

class SysKeychainWriter {
 public:
  static SysKeychainWriter& shared();
  SysKeychainWriter(const SysKeychainWriter&) = delete;
  SysKeychainWriter& operator=(const SysKeychainWriter&) = delete;

  // Stores `value` under `key` in `store` (a generic-password store); nullopt removes the item.
  // REQUIRES: store is not null.
  void write(const LMKeyChainStoreRef& store, const std::string& key,
             const std::optional<std::string>& value);
  // Removes every item of the store's service.
  void removeAll(const LMKeyChainStoreRef& store);
  // What a read of `key` must answer while writes wait: nullopt when none waits for it (read
  // the store); else the value the waiting writes leave (nullopt inside: no item).
  std::optional<std::optional<std::string>> pendingValue(const LMKeyChainStoreRef& store,
                                                         const std::string& key);
  // The writes kept for a retry, not yet stored nor failed.
  size_t pendingCount();
  // Waits up to `seconds` (real time) for the kept writes to be stored or to fail, as the
  // application ends; true when none is left. Those still kept are logged as not stored.
  bool finishPending(double seconds);

 private:
  SysKeychainWriter() = default;
  struct Write {
    uint64_t serial = 0;
    LMKeyChainStoreRef store;
    std::optional<std::string> key;  // nullopt: remove every item
    std::optional<std::string> value;
    uint64_t page = 0;  // the page that asked (IOSPluginCurrentPage)
  };
  // Runs the write once, waiting up to `busyWait` seconds for a locked database.
  static plat::NSErrorRef run(const Write& w, double busyWait);
  static bool busy(const plat::NSErrorRef& error);
  static void reportFailure(const Write& w, const plat::NSErrorRef& error);
  void submit(Write w);
  // Puts `w` in the queue, where reads find it. REQUIRES: mu_ held.
  void keep(Write w);
  void drain();
  void finished(const Write& w);

  std::mutex mu_;
  std::condition_variable drained_;  // the queue became empty
  std::deque<Write> queue_;
  // Whether the writer's thread runs (until it finds the queue empty).
  bool draining_ = false;
  uint64_t serial_ = 0;
  // The waiting writes by service and key: the latest one's serial and value.
  std::map<std::pair<std::string, std::string>, std::pair<uint64_t, std::optional<std::string>>>
      values_;
  // The latest waiting removal of every item, by service: its serial.
  std::map<std::string, uint64_t> resets_;
};
