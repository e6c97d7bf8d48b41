#pragma once
// plat::NSStream, NSInputStream, NSOutputStream: synchronous byte streams in the shape of the
// platform's streams, over data in memory or a file. Subclasses (a multipart body, for
// example) override open/close/readMaxLength/hasBytesAvailable and report their status
// through setStreamStatus/setStreamError.
//
// A stream is not synchronized: it is used by one thread at a time (a URL session reads a
// request's body stream on its transfer thread once the task runs).
//
// Statuses follow the platform: 0 not open, 1 opening, 2 open, 3 reading, 4 writing, 5 at
// end, 6 closed, 7 error.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {

class RunLoop;

enum NSStreamStatus : uint64_t {
  NSStreamStatusNotOpen = 0,
  NSStreamStatusOpening = 1,
  NSStreamStatusOpen = 2,
  NSStreamStatusReading = 3,
  NSStreamStatusWriting = 4,
  NSStreamStatusAtEnd = 5,
  NSStreamStatusClosed = 6,
  NSStreamStatusError = 7,
};

// Property key of a memory output stream: its bytes so far (as Data).
inline constexpr const char* NSStreamDataWrittenToMemoryStreamKey =
    "NSStreamDataWrittenToMemoryStreamKey";
inline constexpr const char* NSStreamFileCurrentOffsetKey = "NSStreamFileCurrentOffsetKey";

class NSStream : public Object {
 public:
  std::string className() const override { return "NSStream"; }
  virtual void open() = 0;
  virtual void close() = 0;
  virtual NSStreamStatus streamStatus() const { return status_; }
  virtual NSErrorRef streamError() const { return error_; }
  // Run-loop scheduling: these streams are synchronous, so scheduling does nothing.
  virtual void scheduleInRunLoopForMode(RunLoop* runLoop, const std::string& mode) {}
  virtual void removeFromRunLoopForMode(RunLoop* runLoop, const std::string& mode) {}
  // nil / false unless a subclass knows the key.
  virtual Value propertyForKey(const std::string& key) const { return Value(); }
  virtual bool setPropertyForKey(const Value& property, const std::string& key) { return false; }

 protected:
  void setStreamStatus(NSStreamStatus status) { status_ = status; }
  // Sets the error and the error status.
  void setStreamError(NSErrorRef error) {
    error_ = std::move(error);
    status_ = NSStreamStatusError;
  }

 private:
  NSStreamStatus status_ = NSStreamStatusNotOpen;
  NSErrorRef error_;
};

class NSInputStream : public NSStream {
 public:
  std::string className() const override { return "NSInputStream"; }

  // Over a copy of `data`.
  static std::shared_ptr<NSInputStream> inputStreamWithData(Data data);
  // Over a file, opened by open(). A missing file is reported by open() (status 7 with a
  // POSIX error). Always returns a stream.
  static std::shared_ptr<NSInputStream> inputStreamWithFileAtPath(std::string path);

  // Reads up to maxLength bytes. Returns the count (> 0), 0 at the end, or -1 on error
  // (streamError() then tells why) and when the stream is not open.
  virtual int64_t readMaxLength(uint8_t* buffer, uint64_t maxLength) = 0;
  // Whether a read may return bytes (true while open and not at the end).
  virtual bool hasBytesAvailable() const = 0;
  // Direct buffer access: not offered by these streams (false).
  virtual bool getBufferLength(uint8_t** buffer, uint64_t* length) { return false; }
  // A fresh, unopened stream over the same bytes, for the platform's copying protocol:
  // null when the stream cannot be copied (the base streams cannot).
  virtual std::shared_ptr<NSInputStream> copyStream() const { return nullptr; }
};
using NSInputStreamRef = std::shared_ptr<NSInputStream>;

class NSOutputStream : public NSStream {
 public:
  std::string className() const override { return "NSOutputStream"; }

  // Collects the bytes in memory (read them with NSStreamDataWrittenToMemoryStreamKey).
  static std::shared_ptr<NSOutputStream> outputStreamToMemory();
  // Writes to a file, created on open(), truncated unless `append`. Only a regular file is
  // written: open() fails (EISDIR, EINVAL) for anything else, and never blocks.
  static std::shared_ptr<NSOutputStream> outputStreamToFileAtPath(std::string path, bool append);

  // Writes up to length bytes. Returns the count written, 0 when the stream is full or at
  // its end, -1 on error or when not open.
  virtual int64_t writeMaxLength(const uint8_t* buffer, uint64_t length) = 0;
  virtual bool hasSpaceAvailable() const = 0;
};
using NSOutputStreamRef = std::shared_ptr<NSOutputStream>;

}  // namespace plat
