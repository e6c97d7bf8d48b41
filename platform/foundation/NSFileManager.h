#pragma once
// plat::NSFileManager: file-system operations with the platform's semantics, plus whole-file
// reading and (atomic) writing of plat::Data.
//
// Semantics that callers rely on:
// - move and copy fail with code 516 (NSFileWriteFileExistsError) when the destination
//   exists; a move across file systems copies and then deletes the source;
// - creating a folder with intermediates succeeds when the folder already exists;
// - removing a missing path fails with code 4 (NSFileNoSuchFileError);
// - listings hold every name (hidden ones too), sorted;
// - extended attributes live in the "user." name space (added when missing).
// - a path (or attribute name) holding a NUL byte is refused, never cut short at the NUL:
//   the operation fails with 258 (reading) or 514 (writing) and touches nothing; the
//   queries answer NO / nullopt.
// Failures come back as NSError values in NSCocoaErrorDomain with the POSIX error under
// NSUnderlyingErrorKey and the path under NSFilePathErrorKey.
//
// Thread-safe: the manager has no state; concurrent operations on the same paths race as
// the underlying system calls do.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

namespace plat {

// NSCocoaErrorDomain codes for file errors.
inline constexpr int64_t NSFileNoSuchFileError = 4;
inline constexpr int64_t NSFileReadUnknownError = 256;
inline constexpr int64_t NSFileReadNoPermissionError = 257;
inline constexpr int64_t NSFileReadInvalidFileNameError = 258;
inline constexpr int64_t NSFileReadNoSuchFileError = 260;
inline constexpr int64_t NSFileWriteUnknownError = 512;
inline constexpr int64_t NSFileWriteNoPermissionError = 513;
inline constexpr int64_t NSFileWriteInvalidFileNameError = 514;
inline constexpr int64_t NSFileWriteFileExistsError = 516;
inline constexpr int64_t NSFileWriteOutOfSpaceError = 640;
inline constexpr int64_t NSFileWriteVolumeReadOnlyError = 642;

// Attribute keys and file types of attributesOfItemAtPathError.
inline constexpr const char* NSFileSize = "NSFileSize";
inline constexpr const char* NSFileModificationDate = "NSFileModificationDate";
inline constexpr const char* NSFileCreationDate = "NSFileCreationDate";
inline constexpr const char* NSFileType = "NSFileType";
inline constexpr const char* NSFilePosixPermissions = "NSFilePosixPermissions";
inline constexpr const char* NSFileProtectionKey = "NSFileProtectionKey";
inline constexpr const char* NSFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* NSFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* NSFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* NSFileTypeUnknown = "NSFileTypeUnknown";

// Options of writeDataToFile.
enum NSDataWritingOptions : unsigned {
  NSDataWritingAtomic = 1 << 0,              // temp file in the same folder, then rename
  NSDataWritingWithoutOverwriting = 1 << 1,  // fail with 516 when the file exists
};

// Writes data to path. Atomic: the bytes go to a temporary file in the same folder, are
// flushed, and the file is renamed over path, so a failed write leaves the old file as it
// was and no temporary file behind. Without overwriting: an existing file fails with 516
// (EEXIST of an exclusive create) and is left untouched; combined with atomic, the complete
// file appears under its name or not at all. Returns false and sets *error on failure.
bool writeDataToFile(const Data& data, const std::string& path, unsigned options,
                     NSErrorRef* error = nullptr);
// The whole contents of a regular file, or nullopt with *error (260 when missing).
std::optional<Data> dataWithContentsOfFile(const std::string& path, NSErrorRef* error = nullptr);

// Opens `path` (open(2) `flags`, `mode` for a created file) without ever blocking: a named
// pipe or a device would hold the calling thread until someone opened its other end. Keeps
// the descriptor only when it is a regular file, and makes it blocking again. Returns -1 with
// errno set otherwise: ENOENT for a path holding a NUL (it names no file), EISDIR for a
// folder, EINVAL for anything else that is not a regular file. O_TRUNC is applied only once
// the file is known to be regular. Any thread.
int openRegularFile(const std::string& path, int flags, unsigned mode = 0644);

// Builds the NSCocoaErrorDomain error for a failed file operation on path (errno value
// `posixError`; `writing` selects the write codes over the read codes).
NSErrorRef fileErrorFromErrno(int posixError, const std::string& path, bool writing);

// Whether `path` can name a file at all: no NUL byte inside (the system would stop at it
// and act on another path).
inline bool isValidFilePath(const std::string& path) {
  return path.find('\0') == std::string::npos;
}

class NSFileManager {
 public:
  static NSFileManager& defaultManager();

  bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;
  bool isReadableFileAtPath(const std::string& path) const;
  bool isWritableFileAtPath(const std::string& path) const;

  // Creates the folder (and, with intermediates, its missing parents). With intermediates
  // an existing folder is success; without, it fails with 516. Attributes understood:
  // NSFilePosixPermissions.
  bool createDirectoryAtPathWithIntermediateDirectoriesAttributesError(
      const std::string& path, bool createIntermediates, const Dictionary& attributes = {},
      NSErrorRef* error = nullptr) const;
  // Writes contents to path atomically, replacing an existing file. False on failure
  // (missing folder, no permission).
  bool createFileAtPathContentsAttributes(const std::string& path, const Data& contents,
                                          const Dictionary& attributes = {}) const;
  // The file's contents, or nullopt when it cannot be read.
  std::optional<Data> contentsAtPath(const std::string& path) const;

  // Removes a file, a link or a folder with everything in it. A missing path fails (4).
  bool removeItemAtPathError(const std::string& path, NSErrorRef* error = nullptr) const;
  bool moveItemAtPathToPathError(const std::string& source, const std::string& destination,
                                 NSErrorRef* error = nullptr) const;
  // Copies a file, link or folder tree. Fails with 516 when the destination exists.
  bool copyItemAtPathToPathError(const std::string& source, const std::string& destination,
                                 NSErrorRef* error = nullptr) const;

  // Names in the folder (not paths), hidden ones included, sorted. Empty with *error when
  // the folder cannot be read (260 when missing).
  std::vector<std::string> contentsOfDirectoryAtPathError(const std::string& path,
                                                          NSErrorRef* error = nullptr) const;

  // NSFileSize (unsigned), NSFileModificationDate, NSFileCreationDate (birth time where the
  // file system records it, else the modification date), NSFileType,
  // NSFilePosixPermissions. Links are not followed. Empty with *error on failure.
  Dictionary attributesOfItemAtPathError(const std::string& path,
                                         NSErrorRef* error = nullptr) const;
  // Applies NSFileModificationDate and NSFilePosixPermissions; NSFileProtectionKey is
  // accepted and ignored (no protection classes here). False with *error on failure.
  bool setAttributesOfItemAtPathError(const Dictionary& attributes, const std::string& path,
                                      NSErrorRef* error = nullptr) const;

  // Extended attributes. `name` is used in the "user." name space. get returns nullopt
  // when the attribute or the file is missing or the file system has no user attributes.
  std::optional<Data> extendedAttribute(const std::string& path, const std::string& name) const;
  bool setExtendedAttribute(const std::string& path, const std::string& name, const Data& value,
                            NSErrorRef* error = nullptr) const;
  // Removing an attribute that is not there succeeds.
  bool removeExtendedAttribute(const std::string& path, const std::string& name,
                               NSErrorRef* error = nullptr) const;

 private:
  NSFileManager() = default;
};

}  // namespace plat
