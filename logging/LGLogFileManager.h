#pragma once
// LGLogFileManager: decides where the file logger's files live, how they are named, created,
// listed and pruned. The file logger calls every operation on its own queue; implementations
// document anything else.
//
// The archive notifications are optional: didArchiveLogFileWasRolled falls back to
// didRollAndArchiveLogFile (rolled) or didArchiveLogFile (not rolled), which do nothing by
// default.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "logging/LGLogFileInfo.h"
#include "platform/foundation/NSError.h"

class LGLogFileManager {
 public:
  virtual ~LGLogFileManager() = default;

  // The path of a new, empty (or header-only) log file; nullopt with *error set on failure.
  // A manager that gives only the older createNewLogFile may leave this out: the default
  // falls back to it, and aborts with "Invalid log file manager! Responds neither to
  // `-createNewLogFileWithError:` nor `-createNewLogFile`!" when neither is given.
  virtual std::optional<std::string> createNewLogFileWithError(plat::NSErrorRef* error);
  // Optional older form without the error: the new file's path, or "" on failure;
  // nullopt means not implemented.
  virtual std::optional<std::string> createNewLogFile() { return std::nullopt; }

  virtual uint64_t maximumNumberOfLogFiles() const = 0;
  virtual void setMaximumNumberOfLogFiles(uint64_t count) = 0;
  virtual uint64_t logFilesDiskQuota() const = 0;
  virtual void setLogFilesDiskQuota(uint64_t bytes) = 0;

  virtual std::string logsDirectory() = 0;
  virtual std::vector<std::string> unsortedLogFilePaths() = 0;
  virtual std::vector<std::string> unsortedLogFileNames() = 0;
  virtual std::vector<LGLogFileInfoRef> unsortedLogFileInfos() = 0;
  // Newest first.
  virtual std::vector<std::string> sortedLogFilePaths() = 0;
  virtual std::vector<std::string> sortedLogFileNames() = 0;
  virtual std::vector<LGLogFileInfoRef> sortedLogFileInfos() = 0;

  virtual void didArchiveLogFileWasRolled(const std::string& path, bool wasRolled) {
    if (wasRolled) {
      didRollAndArchiveLogFile(path);
    } else {
      didArchiveLogFile(path);
    }
  }
  virtual void didArchiveLogFile(const std::string& path) {}
  virtual void didRollAndArchiveLogFile(const std::string& path) {}
};

using LGLogFileManagerRef = std::shared_ptr<LGLogFileManager>;
