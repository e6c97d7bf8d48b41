#pragma once
// Context filters: formatters that pass a message through unchanged (its own text object) or
// drop it, by the message's context.
//  - LGContextAllowlistFilterLogFormatter passes only contexts in its set (an empty set drops
//    everything).
//  - LGContextDenylistFilterLogFormatter drops contexts in its set (an empty set passes all).
// Because the text passed through is the message's own, sinks treat a passed message as
// unformatted.
//
// Thread-safety: LGLoggingContextSet and both filters have internal synchronization; sets may
// change from any thread while loggers format.

#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "logging/LGLogFormatter.h"

class LGLoggingContextSet {
 public:
  void addToSet(int64_t context);
  void removeFromSet(int64_t context);
  // The members, in no particular order.
  std::vector<int64_t> currentSet() const;
  bool isInSet(int64_t context) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_set<int64_t> set_;
};

class LGContextAllowlistFilterLogFormatter : public LGLogFormatter {
 public:
  void addToAllowlist(int64_t context) { contextSet_.addToSet(context); }
  void removeFromAllowlist(int64_t context) { contextSet_.removeFromSet(context); }
  std::vector<int64_t> allowlist() const { return contextSet_.currentSet(); }
  bool isOnAllowlist(int64_t context) const { return contextSet_.isInSet(context); }
  // Older names of the same operations.
  void addToWhitelist(int64_t context) { addToAllowlist(context); }
  void removeFromWhitelist(int64_t context) { removeFromAllowlist(context); }
  std::vector<int64_t> whitelist() const { return allowlist(); }
  bool isOnWhitelist(int64_t context) const { return isOnAllowlist(context); }

  LGText formatLogMessage(const LGLogMessage& message) override;

 private:
  LGLoggingContextSet contextSet_;
};

class LGContextDenylistFilterLogFormatter : public LGLogFormatter {
 public:
  void addToDenylist(int64_t context) { contextSet_.addToSet(context); }
  void removeFromDenylist(int64_t context) { contextSet_.removeFromSet(context); }
  std::vector<int64_t> denylist() const { return contextSet_.currentSet(); }
  bool isOnDenylist(int64_t context) const { return contextSet_.isInSet(context); }
  // Older names of the same operations.
  void addToBlacklist(int64_t context) { addToDenylist(context); }
  void removeFromBlacklist(int64_t context) { removeFromDenylist(context); }
  std::vector<int64_t> blacklist() const { return denylist(); }
  bool isOnBlacklist(int64_t context) const { return isOnDenylist(context); }

  LGText formatLogMessage(const LGLogMessage& message) override;

 private:
  LGLoggingContextSet contextSet_;
};
