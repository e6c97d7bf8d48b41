#include "logging/LGLogFileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "logging/LGDiagnostics.h"
#include "logging/LGLogFileManagerDefault.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSFileManager.h"

namespace {

// Archived marks that could not be stored on disk: (path, attribute name).
struct MemoryMarks {
  std::mutex mu;
  std::set<std::pair<std::string, std::string>> marks;
};

MemoryMarks& memoryMarks() {
  static auto* m = new MemoryMarks;
  return *m;
}

bool hasMemoryMark(const std::string& path, const std::string& name) {
  MemoryMarks& m = memoryMarks();
  std::lock_guard<std::mutex> lock(m.mu);
  return m.marks.count({path, name}) != 0;
}

void setMemoryMark(const std::string& path, const std::string& name, bool on) {
  MemoryMarks& m = memoryMarks();
  std::lock_guard<std::mutex> lock(m.mu);
  if (on) {
    m.marks.insert({path, name});
  } else {
    m.marks.erase({path, name});
  }
}

plat::NSDate dateFromTimestamp(int64_t sec, uint32_t nsec) {
  return plat::NSDate::fromNanoseconds1970(sec * 1000000000LL + nsec);
}

std::string folderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

LGLogFileInfoRef LGLogFileInfo::logFileWithPath(const std::string& path) {
  if (path.empty()) return nullptr;
  return std::make_shared<LGLogFileInfo>(path);
}

std::string LGLogFileInfo::onDiskAttributeName(const std::string& name) { return "user." + name; }

const std::string& LGLogFileInfo::fileName() {
  if (!fileName_) {
    size_t slash = filePath_.find_last_of('/');
    fileName_ = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
  }
  return *fileName_;
}

const plat::Dictionary& LGLogFileInfo::fileAttributes() {
  if (!fileAttributes_) {
    plat::Dictionary attrs;
    struct statx stx {};
    if (!plat::isValidFilePath(filePath_)) {
      // The system would stop at the NUL and describe another file.
      LGDiagnosticLog(plat::format("LGLogFileInfo: Failed to read file attributes: %@",
                                   std::string("the path holds a NUL byte")));
    } else if (!filePath_.empty()) {
      if (statx(AT_FDCWD, filePath_.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
        plat::NSDate created = (stx.stx_mask & STATX_BTIME)
                                   ? dateFromTimestamp(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec)
                                   : dateFromTimestamp(stx.stx_ctime.tv_sec, stx.stx_ctime.tv_nsec);
        attrs.set(kFileCreationDate, created);
        attrs.set(kFileModificationDate,
                  dateFromTimestamp(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec));
        attrs.set(kFileSize, static_cast<uint64_t>(stx.stx_size));
      } else {
        LGDiagnosticLog(plat::format("LGLogFileInfo: Failed to read file attributes: %@",
                                     plat::format("%s (%s)", std::strerror(errno), filePath_)));
      }
    }
    fileAttributes_ = std::move(attrs);
  }
  return *fileAttributes_;
}

std::optional<plat::NSDate> LGLogFileInfo::creationDate() {
  if (!creationDate_) {
    const plat::Value& v = fileAttributes().get(kFileCreationDate);
    creationDate_ = v.date() ? std::optional<plat::NSDate>(*v.date()) : std::nullopt;
  }
  return *creationDate_;
}

std::optional<plat::NSDate> LGLogFileInfo::modificationDate() {
  if (!modificationDate_) {
    const plat::Value& v = fileAttributes().get(kFileModificationDate);
    modificationDate_ = v.date() ? std::optional<plat::NSDate>(*v.date()) : std::nullopt;
  }
  return *modificationDate_;
}

uint64_t LGLogFileInfo::fileSize() {
  if (fileSize_ == 0) fileSize_ = fileAttributes().get(kFileSize).unsignedIntegerValue();
  return fileSize_;
}

double LGLogFileInfo::age() {
  auto created = creationDate();
  if (!created) return 0;
  // Judged by the clock's date, so that a virtual clock ages files too.
  return plat::Clock::current()->date().timeIntervalSinceDate(*created);
}

bool LGLogFileInfo::isArchived() { return hasExtendedAttributeWithName(kArchivedAttributeName); }

void LGLogFileInfo::setIsArchived(bool archived) {
  if (archived) {
    addExtendedAttributeWithName(kArchivedAttributeName);
  } else {
    removeExtendedAttributeWithName(kArchivedAttributeName);
  }
}

void LGLogFileInfo::reset() {
  fileName_.reset();
  fileAttributes_.reset();
  creationDate_.reset();
  modificationDate_.reset();
}

void LGLogFileInfo::renameFile(const std::string& newFileName) {
  if (newFileName == fileName()) return;
  // The new name stays in the same folder, and neither path may hold a NUL byte (the system
  // would act on shorter paths, that is on other files).
  if (newFileName.empty() || newFileName.find('/') != std::string::npos ||
      !plat::isValidFilePath(newFileName) || !plat::isValidFilePath(filePath_)) {
    LGDiagnosticLog(plat::format("LGLogFileInfo: Error renaming file (%@): %@", fileName(),
                                 std::string("invalid file name")));
    return;
  }
  std::string folder = folderOf(filePath_);
  struct stat st {};
  LGPrecondition(::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode),
                 "Containing directory must exist.");
  std::string newPath = folder == "/" ? "/" + newFileName : folder + "/" + newFileName;
  if (::unlink(newPath.c_str()) != 0 && errno != ENOENT) {
    LGDiagnosticLog(plat::format("LGLogFileInfo: Error deleting archive (%@): %@", fileName(),
                                 std::string(std::strerror(errno))));
  }
  if (::rename(filePath_.c_str(), newPath.c_str()) != 0) {
    LGDiagnosticLog(plat::format("LGLogFileInfo: Error renaming file (%@): %@", fileName(),
                                 std::string(std::strerror(errno))));
  } else {
    // What the file's attributes would carry along where the file system keeps none: the
    // archived mark, and the creation number in the folder's order record.
    if (hasMemoryMark(filePath_, kArchivedAttributeName)) {
      setMemoryMark(filePath_, kArchivedAttributeName, false);
      setMemoryMark(newPath, kArchivedAttributeName, true);
    }
    LGLogFileManagerDefault::moveCreationNumber(folder, fileName(), newFileName);
  }
  filePath_ = newPath;
  reset();
}

bool LGLogFileInfo::hasExtendedAttributeWithName(const std::string& name) {
  if (!plat::isValidFilePath(filePath_) || !plat::isValidFilePath(name)) return false;
  std::string diskName = onDiskAttributeName(name);
  unsigned char value = 0;
  ssize_t n = ::getxattr(filePath_.c_str(), diskName.c_str(), &value, 1);
  if (n < 0) return hasMemoryMark(filePath_, name);
  if (n == 1 && value == 0x01) return true;
  // Any other readable value still counts; store the canonical one.
  addExtendedAttributeWithName(name);
  return true;
}

void LGLogFileInfo::addExtendedAttributeWithName(const std::string& name) {
  if (!plat::isValidFilePath(filePath_) || !plat::isValidFilePath(name)) {
    LGDiagnosticLog(plat::format("LGLogFileInfo: setxattr(%@, %@): error = %s", name, filePath_,
                                 std::strerror(EINVAL)));
    return;
  }
  std::string diskName = onDiskAttributeName(name);
  const unsigned char value = 0x01;
  if (::setxattr(filePath_.c_str(), diskName.c_str(), &value, 1, 0) == 0) return;
  int err = errno;
  if (err == ENOENT) return;
  // The mark must hold even where the file system takes no user attributes.
  setMemoryMark(filePath_, name, true);
  LGDiagnosticLog(plat::format("LGLogFileInfo: setxattr(%@, %@): error = %s", name, filePath_,
                               std::strerror(err)));
}

void LGLogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
  setMemoryMark(filePath_, name, false);
  if (!plat::isValidFilePath(filePath_) || !plat::isValidFilePath(name)) return;
  std::string diskName = onDiskAttributeName(name);
  if (::removexattr(filePath_.c_str(), diskName.c_str()) == 0) return;
  int err = errno;
  if (err == ENODATA || err == ENOTSUP || err == ENOENT) return;
  LGDiagnosticLog(plat::format("LGLogFileInfo: removexattr(%@, %@): error = %s", name, fileName(),
                               std::strerror(err)));
}

bool LGLogFileInfo::reverseCompareByCreationDate(LGLogFileInfo& other) {
  auto mine = creationDate().value_or(plat::NSDate::now());
  auto theirs = other.creationDate().value_or(plat::NSDate::now());
  return theirs < mine;
}

bool LGLogFileInfo::reverseCompareByModificationDate(LGLogFileInfo& other) {
  auto mine = modificationDate().value_or(plat::NSDate::now());
  auto theirs = other.modificationDate().value_or(plat::NSDate::now());
  return theirs < mine;
}

std::string LGLogFileInfo::description() {
  plat::Dictionary d;
  auto orEmpty = [](std::optional<plat::NSDate> date) {
    return date ? plat::Value(*date) : plat::Value(std::string());
  };
  d.set("filePath", filePath_);
  d.set("fileName", fileName());
  d.set("fileAttributes", fileAttributes());
  d.set("creationDate", orEmpty(creationDate()));
  d.set("modificationDate", orEmpty(modificationDate()));
  d.set("fileSize", fileSize());
  d.set("age", age());
  d.set("isArchived", isArchived());
  return plat::Value(std::move(d)).description();
}
