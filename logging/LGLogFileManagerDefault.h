#pragma once
// LGLogFileManagerDefault: the default LGLogFileManager. Files live in one folder (default:
// the application's caches folder joined with "Logs") and are named
// "<application name> <creation date>.log", the date as yyyy-MM-dd--HH-mm-ss-SSS in GMT.
// After each new file, and when a limit changes, old files are deleted on a shared
// background queue: beyond maximumNumberOfLogFiles (default 5; 0 = no limit) and beyond
// logFilesDiskQuota bytes (default 20 MiB; 0 = no quota), newest kept first. A newest file
// that is not marked archived is never deleted, nor is the file this manager made last
// until it is marked archived.
//
// Newest first, in the order the files were made: each new file carries a creation number
// one above the highest in the folder (the extended attribute "user.vestrel.log.order";
// where the file system keeps no user attributes, a line of the record ".vestrel.log.order"
// in the folder, changed under an advisory lock on the folder, its lines kept for every file
// still there, the line following a file renamed with LGLogFileInfo::renameFile), and
// numbered files come first, highest first. A file without a number (its line could not be
// written, or its rename could not be recorded) goes just above the numbered files whose
// dates are no later than its own; files placed alike go by date. The dates are those in the
// names, else the creation dates. So a step of the clock (a time server's correction, a
// user's change of the time) reorders no numbered file: a file made after the clock went back
// is not taken for an old one and deleted, in this run or the next. Only what is on disk
// orders the files, so every process on the folder and every run sees the same order.
//
// Thread-safety: the limits are atomics and may be read and set from any thread; the other
// operations touch only the file system and immutable settings and may run on any queue
// (deletion of old files overlaps with logging by design).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "logging/LGLogFileManager.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/NSDateFormatter.h"

class LGLogFileManagerDefault : public LGLogFileManager,
                                public std::enable_shared_from_this<LGLogFileManagerDefault> {
 public:
  static constexpr uint64_t kDefaultMaximumNumberOfLogFiles = 5;
  static constexpr uint64_t kDefaultLogFilesDiskQuota = 20 * 1024 * 1024;

  // The default folder.
  LGLogFileManagerDefault() : LGLogFileManagerDefault(std::string()) {}
  // An empty folder means the default folder.
  explicit LGLogFileManagerDefault(const std::string& logsDirectory);
  // Keeps `protectionLevel` only when it is one of the platform's four data-protection
  // classes ("NSFileProtectionNone", "NSFileProtectionComplete",
  // "NSFileProtectionCompleteUnlessOpen",
  // "NSFileProtectionCompleteUntilFirstUserAuthentication").
  LGLogFileManagerDefault(const std::string& logsDirectory, const std::string& protectionLevel);

  std::optional<std::string> createNewLogFileWithError(plat::NSErrorRef* error) override;

  uint64_t maximumNumberOfLogFiles() const override { return maximumNumberOfLogFiles_.load(); }
  // Deletes old files (in the background) when the value changed.
  void setMaximumNumberOfLogFiles(uint64_t count) override;
  uint64_t logFilesDiskQuota() const override { return logFilesDiskQuota_.load(); }
  void setLogFilesDiskQuota(uint64_t bytes) override;

  // Creates the folder (with parents) on every call; a failure is logged and the path is
  // returned all the same. A folder path holding a NUL byte names no folder: it is never
  // created, listed or written into (creating a file fails with 514).
  std::string logsDirectory() override;
  std::vector<std::string> unsortedLogFilePaths() override;
  std::vector<std::string> unsortedLogFileNames() override;
  std::vector<LGLogFileInfoRef> unsortedLogFileInfos() override;
  std::vector<std::string> sortedLogFilePaths() override;
  std::vector<std::string> sortedLogFileNames() override;
  std::vector<LGLogFileInfoRef> sortedLogFileInfos() override;

  // "<application name> <now in the file date format>.log".
  std::string newLogFileName();
  // A header written at the top of every new file; none by default.
  virtual std::optional<std::string> logFileHeader() { return std::nullopt; }
  // The header as UTF-8 ending in a line break, or empty.
  std::string logFileHeaderData();
  const plat::NSDateFormatter& logFileDateFormatter() const { return fileDateFormatter_; }
  // Begins with the application name and one blank, ends with ".log".
  bool isLogFile(const std::string& fileName) const;
  // The Info.plist "CFBundleIdentifier", else the process name, else "", each made safe for
  // a file name first (fileSafeApplicationName). Fixed per process.
  static const std::string& applicationName();
  // `name` fit to begin a file name inside the logs folder: "/" and NUL become "_", and "."
  // or ".." (which would name a folder) give "". So no name leads a log file out of the
  // folder, where the manager would never list, count or delete it.
  static std::string fileSafeApplicationName(std::string name);
  // The protection class new files get (not enforced on this platform).
  std::string logFileProtection() const;
  const std::string& defaultFileProtectionLevel() const { return defaultFileProtectionLevel_; }
  static std::string defaultLogsDirectory();

  // Deletes files beyond the count and the quota (see the class comment). Any queue.
  void deleteOldLogFiles();
  // Runs deleteOldLogFiles on the shared background queue.
  void deleteOldFilesForConfigurationChange();

  // Where `folder` keeps an order record: the creation number recorded for `fromName` is
  // recorded for `toName` instead (a file renamed in the folder keeps its place), and a line
  // `toName` had before is dropped. Nothing is written where neither name has a line.
  static void moveCreationNumber(const std::string& folder, const std::string& fromName,
                                 const std::string& toName);

  // While set, every manager acts as on a file system without user extended attributes.
  static void setExtendedAttributesUnavailableForTesting(bool unavailable);
  // While set, writing any folder's order record fails (a full or failing disk).
  static void setOrderRecordWritesFailForTesting(bool fail);

 private:
  // The creation date a file's name tells, or nullopt.
  std::optional<plat::NSDate> dateFromFileName(const std::string& fileName) const;

  // Gives the new file at `path` its creation number. REQUIRES: fileOpsMu_ held.
  void numberNewFile(const std::string& path);

  // Notes `path` as made by this manager, the newest so far (and forgets the oldest notes
  // beyond a bound); `made` false takes back the note of a file that could not be made.
  void noteCreated(const std::string& path, bool made);

  plat::NSDateFormatter fileDateFormatter_;
  // The paths of the files this manager made, oldest first (bounded).
  std::mutex createdMu_;
  // Held while a file is made and numbered, and while old files are deleted.
  std::mutex fileOpsMu_;
  std::vector<std::string> created_;  // guarded by createdMu_
  std::atomic<uint64_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
  std::atomic<uint64_t> logFilesDiskQuota_{kDefaultLogFilesDiskQuota};
  const std::string logsDirectory_;
  std::string defaultFileProtectionLevel_;
};
