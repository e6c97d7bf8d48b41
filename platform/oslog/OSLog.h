#pragma once
// plat::OSLog: the unified system log. A handle names a (subsystem, category) pair or is the
// default handle; writing sends one text at one log type to the current backend.
//
// The default backend is syslog(3): error and fault go out as LOG_ERR, default and info as
// LOG_INFO, debug as LOG_DEBUG, and the text of a named handle is prefixed with
// "[subsystem:category] ". The text is always passed as an argument, never as a format, and
// a NUL byte in it is written as the two characters "\0" (syslog takes a C string, which
// would end at the NUL and drop the rest).
// Tests install a RecordingOSLogBackend to see what was written.
//
// Thread-safety: handles are immutable and may be used from any thread; the backend may be
// swapped at any time (a write in flight finishes on the backend it started with).

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

enum class OSLogType : uint8_t {
  Default = 0x00,
  Info = 0x01,
  Debug = 0x02,
  Error = 0x10,
  Fault = 0x11
};

class OSLog;
using OSLogRef = std::shared_ptr<const OSLog>;

class OSLog {
 public:
  // A handle for the subsystem and category.
  static OSLogRef create(std::string subsystem, std::string category);
  // The process's default handle (no subsystem, no category). Never null.
  static OSLogRef defaultLog();

  OSLog(const OSLog&) = delete;
  OSLog& operator=(const OSLog&) = delete;

  bool isDefault() const { return default_; }
  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  // Sends `text` at `type` through the current backend.
  void write(OSLogType type, std::string_view text) const;

 private:
  OSLog(std::string subsystem, std::string category, bool isDefault)
      : subsystem_(std::move(subsystem)), category_(std::move(category)), default_(isDefault) {}
  std::string subsystem_;
  std::string category_;
  bool default_;
};

// Where written texts go. Implementations must be thread-safe.
class OSLogBackend {
 public:
  virtual ~OSLogBackend() = default;
  virtual void write(const OSLog& log, OSLogType type, std::string_view text) = 0;
};

// syslog(3) backend (the default).
class SyslogOSLogBackend : public OSLogBackend {
 public:
  // Receives each finished line with its priority (tests); the default calls syslog(3).
  using Sender = std::function<void(int priority, const char* line)>;
  explicit SyslogOSLogBackend(Sender sender = nullptr);
  // The syslog priority for a log type.
  static int priorityForType(OSLogType type);
  void write(const OSLog& log, OSLogType type, std::string_view text) override;

 private:
  Sender sender_;
};

// Keeps every write in memory, in order. Thread-safe.
class RecordingOSLogBackend : public OSLogBackend {
 public:
  struct Record {
    bool isDefault = true;
    std::string subsystem;
    std::string category;
    OSLogType type = OSLogType::Default;
    std::string text;
  };
  void write(const OSLog& log, OSLogType type, std::string_view text) override;
  std::vector<Record> records() const;
  void clear();

 private:
  mutable std::mutex mu_;
  std::vector<Record> records_;
};

// Installs `backend` for every later write; null restores the syslog backend.
void setOSLogBackend(std::shared_ptr<OSLogBackend> backend);
std::shared_ptr<OSLogBackend> currentOSLogBackend();

}  // namespace plat
