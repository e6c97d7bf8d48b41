#pragma once
// plat::NSFileHandle: an open file descriptor with the platform's file-handle operations.
// Writes loop over short writes and EINTR, so a successful write wrote every byte.
//
// Not synchronized: use a handle from one thread or queue at a time. Operations on a
// closed handle fail (false, empty data, offset 0) instead of raising.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"

namespace plat {

class NSFileHandle : public Object {
 public:
  // nullptr when the file cannot be opened or the path holds a NUL byte. Writing and updating
  // do not create the file.
  static std::shared_ptr<NSFileHandle> fileHandleForReadingAtPath(const std::string& path);
  static std::shared_ptr<NSFileHandle> fileHandleForWritingAtPath(const std::string& path);
  static std::shared_ptr<NSFileHandle> fileHandleForUpdatingAtPath(const std::string& path);
  // Wraps an open descriptor; with closeOnDealloc the handle closes it when destroyed.
  NSFileHandle(int fd, bool closeOnDealloc);
  ~NSFileHandle() override;

  std::string className() const override { return "NSFileHandle"; }
  int fileDescriptor() const { return fd_; }

  // Reads up to length bytes (fewer at the end of the file; empty at the end or on error).
  Data readDataOfLength(size_t length);
  Data readDataToEndOfFile();
  // Writes all of data at the current offset. False and *error on failure.
  bool writeDataError(const Data& data, NSErrorRef* error = nullptr);
  // The current offset (0 when it cannot be told).
  uint64_t offsetInFile() const;
  // Seeks; returns false when the descriptor cannot seek.
  bool seekToFileOffset(uint64_t offset);
  // Seeks to the end and returns the new offset.
  uint64_t seekToEndOfFile();
  bool truncateFileAtOffset(uint64_t offset);
  // Flushes written bytes to storage.
  bool synchronizeFile();
  // Closes the descriptor; later operations fail. Closing twice is harmless.
  void closeFile();

 private:
  static std::shared_ptr<NSFileHandle> open(const std::string& path, int flags);
  int fd_;
  bool closeOnDealloc_;
};

}  // namespace plat
