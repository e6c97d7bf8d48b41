#pragma once
// LGLogMessage: one log record, as the hub hands it to every logger. Value-like: copying
// copies every field. The text is held as a shared immutable string (LGText) so that
// "the same text object" is a pointer comparison: a formatter that returns the message's own
// text (message()) is passing it through unchanged, one that returns another pointer made a
// new line.
//
// Thread-safety: a message is immutable once built by the hub; copies may travel between
// threads freely.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/NSDate.h"
#include "platform/foundation/Value.h"

// A log text; null means "no text" (a formatter that drops the message returns null).
using LGText = std::shared_ptr<const std::string>;
inline LGText LGMakeText(std::string s) { return std::make_shared<const std::string>(std::move(s)); }

// Log flags (bits) and the levels built from them.
enum : uint64_t {
  LGLogFlagError = 1 << 0,
  LGLogFlagWarning = 1 << 1,
  LGLogFlagInfo = 1 << 2,
  LGLogFlagDebug = 1 << 3,
  LGLogFlagVerbose = 1 << 4,
};
inline constexpr uint64_t LGLogLevelAll = ~uint64_t{0};

// Options of a message.
enum : int64_t {
  LGLogMessageCopyFile = 1 << 0,
  LGLogMessageCopyFunction = 1 << 1,
  LGLogMessageDontCopyMessage = 1 << 2,
};

// A text of a message that recurs from message to message (file, file name, function, queue
// label). Short texts are kept once per process in a bounded pool that is never freed, and
// messages share them by pointer; a text the pool cannot take (too long, or the pool is
// full) is copied. So building a message allocates nothing for them, and no other thread
// has to free them. Thread-safe.
class LGRecurringText {
 public:
  LGRecurringText() = default;
  explicit LGRecurringText(std::string_view text);
  LGRecurringText(const LGRecurringText& other);
  LGRecurringText& operator=(const LGRecurringText& other);
  LGRecurringText(LGRecurringText&&) noexcept = default;
  LGRecurringText& operator=(LGRecurringText&&) noexcept = default;

  const std::string& str() const { return text_ ? *text_ : plat::Value::emptyString(); }
  // The file name of a path (LGLogMessage::fileNameFromPath) as a recurring text; a pooled
  // path remembers its last result per thread.
  static LGRecurringText fileNameOf(const LGRecurringText& path);

 private:
  std::unique_ptr<const std::string> own_;  // a text the pool did not take
  const std::string* text_ = nullptr;       // the pooled text or own_; null for ""
};

// Facts about the calling thread that every message records.
struct LGCallerFacts {
  std::string threadID;    // the system thread id in decimal, or "missing threadId"
  std::string threadName;  // "" for a thread nobody named
  std::string queueLabel;  // the current dispatch queue's label, or empty
  uint64_t qos = 0;        // the current quality-of-service class
};
LGCallerFacts LGCurrentCallerFacts();

class LGLogMessage {
 public:
  // Every field empty or zero, no timestamp.
  LGLogMessage() = default;
  // Fills the caller facts (thread id and name, queue label, quality of service) from the
  // calling thread. The message holds the caller's text object (texts are immutable, so this
  // is as good as a copy whatever the options say); file and function are copied. Without
  // `timestamp` the current time is taken.
  LGLogMessage(LGText message, uint64_t level, uint64_t flag, int64_t context,
               std::string_view file, std::string_view function, uint64_t line, plat::Value tag,
               int64_t options, std::optional<plat::NSDate> timestamp);

  const LGText& message() const { return message_; }
  // The text, or "" when there is none.
  const std::string& text() const { return message_ ? *message_ : plat::Value::emptyString(); }
  uint64_t level() const { return level_; }
  uint64_t flag() const { return flag_; }
  int64_t context() const { return context_; }
  const std::string& file() const { return file_.str(); }
  const std::string& fileName() const { return fileName_.str(); }
  const std::string& function() const { return function_.str(); }
  uint64_t line() const { return line_; }
  // The tag is the represented object.
  const plat::Value& tag() const { return representedObject_; }
  const plat::Value& representedObject() const { return representedObject_; }
  int64_t options() const { return options_; }
  const std::optional<plat::NSDate>& timestamp() const { return timestamp_; }
  const std::string& threadID() const { return threadID_; }
  const std::string& threadName() const { return threadName_; }
  const std::string& queueLabel() const { return queueLabel_.str(); }
  uint64_t qos() const { return qos_; }

  // A copy whose text is `message` (the same text object); every other field is kept.
  LGLogMessage withMessage(LGText message) const;
  // A copy that records `facts` as its caller facts.
  LGLogMessage withCallerFacts(LGCallerFacts facts) const;

  // Equality of every field; the tag by the platform's equality or identity.
  bool operator==(const LGLogMessage& other) const;
  size_t hash() const;

  // The last path component of `file`, cut before its last "." when it has one.
  static std::string fileNameFromPath(std::string_view file);

 private:
  friend class LGLog;  // the hub gives a queued message its text before handing it out

  LGText message_;
  uint64_t level_ = 0;
  uint64_t flag_ = 0;
  int64_t context_ = 0;
  LGRecurringText file_;
  LGRecurringText fileName_;
  LGRecurringText function_;
  uint64_t line_ = 0;
  plat::Value representedObject_;
  int64_t options_ = 0;
  std::optional<plat::NSDate> timestamp_;
  std::string threadID_;
  std::string threadName_;
  LGRecurringText queueLabel_;
  uint64_t qos_ = 0;
};
