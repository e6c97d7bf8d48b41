#pragma once
// LGLogFileInfo: a lazily filled description of one log file on disk. Values are read the
// first time they are asked for and then kept (a later change of the file shows only after
// reset()). The "archived" mark lives in the file's extended attribute
// "vestrel.log.archived" (in the "user." name space on disk), value the single byte 0x01.
// Where the file system refuses user attributes, the mark is also remembered in memory for
// the life of the process, so an archived file is never taken for a fresh one.
//
// A path (or attribute name, or new file name) holding a NUL byte names no file: such an
// info reads no attributes, has no mark and renames nothing (each logged).
//
// Thread-safety: not synchronized; an info belongs to one queue at a time. The in-memory
// archived marks are shared process-wide under a lock.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSDate.h"
#include "platform/foundation/Value.h"

class LGLogFileInfo;
using LGLogFileInfoRef = std::shared_ptr<LGLogFileInfo>;

class LGLogFileInfo {
 public:
  static constexpr const char* kArchivedAttributeName = "vestrel.log.archived";
  // Keys of fileAttributes().
  static constexpr const char* kFileCreationDate = "NSFileCreationDate";
  static constexpr const char* kFileModificationDate = "NSFileModificationDate";
  static constexpr const char* kFileSize = "NSFileSize";

  // nullptr for an empty path.
  static LGLogFileInfoRef logFileWithPath(const std::string& path);
  explicit LGLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

  const std::string& filePath() const { return filePath_; }
  const std::string& fileName();
  // The file system's attributes (creation and modification dates, size); empty when they
  // cannot be read (written to the diagnostic log).
  const plat::Dictionary& fileAttributes();
  // Creation date (birth time where the file system records it, else the status-change
  // time); nullopt when unknown.
  std::optional<plat::NSDate> creationDate();
  std::optional<plat::NSDate> modificationDate();
  // Bytes; read again while it is 0.
  uint64_t fileSize();
  // Seconds from the creation date to plat::Clock's date (positive for the past); 0 when
  // unknown.
  double age();

  bool isArchived();
  void setIsArchived(bool archived);

  // Forgets the cached name, attributes and dates (the size stays).
  void reset();
  // Renames the file within its folder; the same name does nothing. Any file at the new path
  // is removed first. REQUIRES: the folder exists ("Containing directory must exist.").
  void renameFile(const std::string& newFileName);

  bool hasExtendedAttributeWithName(const std::string& name);
  void addExtendedAttributeWithName(const std::string& name);
  void removeExtendedAttributeWithName(const std::string& name);

  // Ordering helpers: true when `other` is older than this one (so sorting with them puts
  // the newest first). A missing date counts as now.
  bool reverseCompareByCreationDate(LGLogFileInfo& other);
  bool reverseCompareByModificationDate(LGLogFileInfo& other);

  bool operator==(const LGLogFileInfo& other) const { return filePath_ == other.filePath_; }
  size_t hash() const { return std::hash<std::string>{}(filePath_); }
  std::string description();

  // The name used on disk for a user attribute (the "user." name space is added).
  static std::string onDiskAttributeName(const std::string& name);

 private:
  std::string filePath_;
  std::optional<std::string> fileName_;
  std::optional<plat::Dictionary> fileAttributes_;
  std::optional<std::optional<plat::NSDate>> creationDate_;
  std::optional<std::optional<plat::NSDate>> modificationDate_;
  uint64_t fileSize_ = 0;
};
