#pragma once
// The legacy system log store: an in-process store of key/value messages, the connections
// that write into it, and searches over it with a few comparison operators.
//
// Saving a message gives it an "ASLMessageID" (1, 2, 3, ... per store), and "Time" (whole
// seconds since 1970, decimal) with "TimeNanoSec" (the nanoseconds within that second) when
// the sender set no "Time" of its own. After each save the notification
// "com.apple.system.logger.message" is posted (see Notify.h). The store keeps at most
// kCapacity messages and drops the oldest beyond that.
//
// Thread-safety: ASLStore has internal synchronization and may be used from any thread.
// ASLMessage and ASLQuery are plain values (not synchronized).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plat {

inline constexpr const char* ASL_KEY_TIME = "Time";
inline constexpr const char* ASL_KEY_TIME_NSEC = "TimeNanoSec";
inline constexpr const char* ASL_KEY_MSG_ID = "ASLMessageID";
inline constexpr const char* ASL_KEY_LEVEL = "Level";
inline constexpr const char* ASL_KEY_MSG = "Message";
inline constexpr const char* ASL_KEY_READ_UID = "ReadUID";
inline constexpr const char* ASL_KEY_SENDER = "Sender";
inline constexpr const char* ASL_KEY_FACILITY = "Facility";
// Posted after each save.
inline constexpr const char* kNotifyASLMessage = "com.apple.system.logger.message";

// One stored message: keys in the order they were first set.
class ASLMessage {
 public:
  // Sets key to value (replacing an earlier value). Returns false for an empty key.
  bool set(std::string key, std::string value);
  // The value of key, or nullptr when absent.
  const std::string* get(std::string_view key) const;
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

enum class ASLQueryOp {
  NumericLessEqual,     // the message's value, read as an integer, <= the query's
  NotEqual,             // text differs; a message without the key matches
  NumericGreater,       // >
  NumericGreaterEqual,  // >=
};

// A search: every condition must hold. Numeric conditions never match a message that lacks
// the key or whose value is not a decimal integer.
class ASLQuery {
 public:
  // Returns false for an empty key.
  bool setQuery(std::string key, std::string value, ASLQueryOp op);
  bool matches(const ASLMessage& message) const;
  // The lowest "ASLMessageID" the conditions admit (from a numeric greater or
  // greater-or-equal condition on it), or 0 when they admit any.
  uint64_t lowestMessageID() const;

 private:
  struct Condition {
    std::string key;
    std::string value;
    ASLQueryOp op;
  };
  std::vector<Condition> conditions_;
};

class ASLStore {
 public:
  static constexpr size_t kCapacity = 10000;
  // The process's store; created once, never destroyed.
  static ASLStore& shared();

  // Saves a copy of `message` (adding the automatic keys) and posts the notification.
  // Returns the message id given.
  uint64_t save(ASLMessage message);
  // The matching messages, oldest first. A query on "ASLMessageID" (greater than, or at
  // least, a number) starts at that message instead of reading the whole store, and the
  // messages are compared outside the store's lock, so a search never holds up a save for
  // longer than it takes to note which messages to read.
  std::vector<ASLMessage> search(const ASLQuery& query) const;
  // How many stored messages all searches so far have compared with their queries (tests).
  uint64_t messagesExaminedForTesting() const;
  size_t count() const;
  // The id of the newest message saved so far; 0 before the first.
  uint64_t lastMessageID() const;
  // Drops every message and restarts ids at 1.
  void resetForTesting();

 private:
  ASLStore() = default;
  mutable std::mutex mu_;
  // Saved messages are never changed: a search holds them while it reads them unlocked.
  std::vector<std::shared_ptr<const ASLMessage>> messages_;
  size_t head_ = 0;  // index of the oldest message once the ring is full
  uint64_t nextID_ = 1;
  mutable std::atomic<uint64_t> examined_{0};
};

// A sender's connection to the store (asl_open). Thread-safe.
class ASLClient {
 public:
  // ident: the sender name; facility: the sender facility. Never null.
  static std::shared_ptr<ASLClient> open(std::string ident, std::string facility);
  // Saves `message` with "Sender" and "Facility" added when it lacks them. Returns false
  // when the message has no "Message" text.
  bool send(const ASLMessage& message) const;
  const std::string& facility() const { return facility_; }

 private:
  ASLClient(std::string ident, std::string facility)
      : ident_(std::move(ident)), facility_(std::move(facility)) {}
  std::string ident_;
  std::string facility_;
};

}  // namespace plat
