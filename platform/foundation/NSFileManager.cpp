#include "platform/foundation/NSFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace plat {

namespace fs = std::filesystem;

namespace {

std::string lastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  return slash == std::string::npos ? path.substr(0, end) : path.substr(slash + 1, end - slash - 1);
}

std::string parentFolder(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool writeAll(int fd, const uint8_t* p, size_t n, int* err) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      *err = errno;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool fail(NSErrorRef* error, int posixError, const std::string& path, bool writing) {
  if (error) *error = fileErrorFromErrno(posixError, path, writing);
  return false;
}

// A path with a NUL byte: refused with the invalid-name code, nothing touched.
bool invalidName(NSErrorRef* error, const std::string& path, bool writing) {
  if (error) {
    Dictionary info;
    info.set(NSLocalizedDescriptionKey, std::string("The file name is invalid."));
    info.set(NSFilePathErrorKey, path);
    info.set(NSUnderlyingErrorKey,
             Value(NSError::make(NSPOSIXErrorDomain, EINVAL, std::strerror(EINVAL))));
    *error =
        NSError::make(NSCocoaErrorDomain,
                      writing ? NSFileWriteInvalidFileNameError : NSFileReadInvalidFileNameError,
                      std::move(info));
  }
  return false;
}

bool exists(const std::string& path) {
  struct stat st;
  return isValidFilePath(path) && ::lstat(path.c_str(), &st) == 0;
}

std::string userName(const std::string& name) {
  return name.rfind("user.", 0) == 0 ? name : "user." + name;
}

// Copies source to destination (which must not exist) with std::filesystem; errno-style
// result.
int copyTree(const std::string& source, const std::string& destination) {
  std::error_code ec;
  fs::file_status st = fs::symlink_status(source, ec);
  if (ec) return ec.value();
  if (fs::is_symlink(st)) {
    fs::copy_symlink(source, destination, ec);
  } else if (fs::is_directory(st)) {
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             ec);
  } else {
    fs::copy_file(source, destination, fs::copy_options::none, ec);
  }
  if (ec) {
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    return ec.value();
  }
  return 0;
}

}  // namespace

NSErrorRef fileErrorFromErrno(int posixError, const std::string& path, bool writing) {
  int64_t code;
  std::string name = lastComponent(path);
  std::string text;
  switch (posixError) {
    case ENOENT:
    case ENOTDIR:
      code = writing ? NSFileNoSuchFileError : NSFileReadNoSuchFileError;
      text = "The file “" + name + "” couldn’t be opened because there is no such file.";
      break;
    case EEXIST:
    case ENOTEMPTY:
      code = NSFileWriteFileExistsError;
      text = "The file “" + name +
             "” couldn’t be saved because a file with the same name "
             "already exists.";
      break;
    case EACCES:
    case EPERM:
      code = writing ? NSFileWriteNoPermissionError : NSFileReadNoPermissionError;
      text = "You don’t have permission to access the file “" + name + "”.";
      break;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      code = NSFileWriteOutOfSpaceError;
      text = "The file “" + name + "” couldn’t be saved because there isn’t enough space.";
      break;
    case EROFS:
      code = NSFileWriteVolumeReadOnlyError;
      text = "The file “" + name + "” couldn’t be saved because the volume is read only.";
      break;
    default:
      code = writing ? NSFileWriteUnknownError : NSFileReadUnknownError;
      text = "The file “" + name + "” couldn’t be " + (writing ? "saved." : "opened.");
  }
  Dictionary info;
  info.set(NSLocalizedDescriptionKey, text);
  info.set(NSFilePathErrorKey, path);
  info.set(NSUnderlyingErrorKey,
           Value(NSError::make(NSPOSIXErrorDomain, posixError, std::strerror(posixError))));
  return NSError::make(NSCocoaErrorDomain, code, std::move(info));
}

int openRegularFile(const std::string& path, int flags, unsigned mode) {
  if (path.find('\0') != std::string::npos) {
    errno = ENOENT;
    return -1;
  }
  const bool truncate = (flags & O_TRUNC) != 0;
  int fd = ::open(path.c_str(), (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
             (truncate && ::ftruncate(fd, 0) != 0)) {
    error = errno;
  }
  if (error) {
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool writeDataToFile(const Data& data, const std::string& path, unsigned options,
                     NSErrorRef* error) {
  if (path.empty()) return fail(error, ENOENT, path, true);
  if (!isValidFilePath(path)) return invalidName(error, path, true);
  int err = 0;
  if (!(options & NSDataWritingAtomic)) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC |
                ((options & NSDataWritingWithoutOverwriting) ? O_EXCL : O_TRUNC);
    int fd = openRegularFile(path, flags, 0666);
    if (fd < 0) return fail(error, errno, path, true);
    bool ok = writeAll(fd, data.bytes(), data.length(), &err);
    if (::close(fd) != 0 && ok) {
      ok = false;
      err = errno;
    }
    return ok ? true : fail(error, err, path, true);
  }

  std::string temp = parentFolder(path) + "/." + lastComponent(path) + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return fail(error, errno, path, true);
  // Keep the mode of the file being replaced; new files get the usual 0644.
  struct stat old;
  mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  bool ok = writeAll(fd, data.bytes(), data.length(), &err);
  if (ok && ::fchmod(fd, mode) != 0) ok = false, err = errno;
  if (ok && ::fsync(fd) != 0) ok = false, err = errno;
  if (::close(fd) != 0 && ok) ok = false, err = errno;
  if (ok) {
    if (options & NSDataWritingWithoutOverwriting) {
      // link() refuses an existing name atomically; the temporary name is then dropped.
      if (::link(temp.c_str(), path.c_str()) != 0) ok = false, err = errno;
    } else if (::rename(temp.c_str(), path.c_str()) != 0) {
      ok = false, err = errno;
    }
  }
  if (!ok || (options & NSDataWritingWithoutOverwriting)) ::unlink(temp.c_str());
  return ok ? true : fail(error, err, path, true);
}

std::optional<Data> dataWithContentsOfFile(const std::string& path, NSErrorRef* error) {
  if (!isValidFilePath(path)) {
    invalidName(error, path, false);
    return std::nullopt;
  }
  // Opened without blocking and checked before reading: a named pipe or a device would
  // otherwise hold the caller until some other process writes to it.
  int fd = openRegularFile(path, O_RDONLY);
  if (fd < 0) {
    fail(error, errno, path, false);
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    fail(error, e, path, false);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  if (st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[65536];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      fail(error, e, path, false);
      return std::nullopt;
    }
    if (r == 0) break;
    bytes.insert(bytes.end(), buf, buf + r);
  }
  ::close(fd);
  return Data(std::move(bytes));
}

NSFileManager& NSFileManager::defaultManager() {
  static NSFileManager* manager = new NSFileManager();
  return *manager;
}

bool NSFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
  struct stat st;
  if (path.empty() || !isValidFilePath(path) || ::stat(path.c_str(), &st) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
  return true;
}

bool NSFileManager::isReadableFileAtPath(const std::string& path) const {
  return !path.empty() && isValidFilePath(path) && ::access(path.c_str(), R_OK) == 0;
}

bool NSFileManager::isWritableFileAtPath(const std::string& path) const {
  return !path.empty() && isValidFilePath(path) && ::access(path.c_str(), W_OK) == 0;
}

bool NSFileManager::createDirectoryAtPathWithIntermediateDirectoriesAttributesError(
    const std::string& path, bool createIntermediates, const Dictionary& attributes,
    NSErrorRef* error) const {
  if (path.empty()) return fail(error, ENOENT, path, true);
  if (!isValidFilePath(path)) return invalidName(error, path, true);
  const Value* perms = attributes.find(NSFilePosixPermissions);
  mode_t mode = perms ? static_cast<mode_t>(perms->integerValue() & 07777) : 0755;
  if (!createIntermediates) {
    if (::mkdir(path.c_str(), mode) != 0) return fail(error, errno, path, true);
    return true;
  }
  // Create each missing component in turn; an existing folder anywhere is fine.
  std::string current;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    current = path.substr(0, slash);
    pos = slash + 1;
    if (current.empty()) continue;  // the root
    if (::mkdir(current.c_str(), mode) != 0) {
      int e = errno;
      struct stat st;
      if (e == EEXIST && ::stat(current.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      return fail(error, e, path, true);
    }
  }
  return true;
}

bool NSFileManager::createFileAtPathContentsAttributes(const std::string& path,
                                                       const Data& contents,
                                                       const Dictionary& attributes) const {
  if (!writeDataToFile(contents, path, NSDataWritingAtomic)) return false;
  if (const Value* perms = attributes.find(NSFilePosixPermissions))
    ::chmod(path.c_str(), static_cast<mode_t>(perms->integerValue() & 07777));
  return true;
}

std::optional<Data> NSFileManager::contentsAtPath(const std::string& path) const {
  return dataWithContentsOfFile(path);
}

bool NSFileManager::removeItemAtPathError(const std::string& path, NSErrorRef* error) const {
  if (!isValidFilePath(path)) return invalidName(error, path, true);
  if (path.empty() || !exists(path)) return fail(error, ENOENT, path, true);
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return fail(error, ec.value(), path, true);
  return true;
}

bool NSFileManager::moveItemAtPathToPathError(const std::string& source,
                                              const std::string& destination,
                                              NSErrorRef* error) const {
  if (!isValidFilePath(source)) return invalidName(error, source, true);
  if (!isValidFilePath(destination)) return invalidName(error, destination, true);
  if (source.empty() || !exists(source)) return fail(error, ENOENT, source, true);
  if (destination.empty()) return fail(error, ENOENT, destination, true);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  int e = errno;
  if (e == EINVAL || e == ENOSYS) {
    // The file system cannot refuse replacement by itself: check, then rename.
    if (exists(destination)) return fail(error, EEXIST, destination, true);
    if (::rename(source.c_str(), destination.c_str()) == 0) return true;
    e = errno;
  }
  if (e != EXDEV) return fail(error, e, e == EEXIST ? destination : source, true);
  // Across file systems: copy, then delete the source.
  if (exists(destination)) return fail(error, EEXIST, destination, true);
  if (int c = copyTree(source, destination)) return fail(error, c, destination, true);
  std::error_code ec;
  fs::remove_all(source, ec);
  if (ec) return fail(error, ec.value(), source, true);
  return true;
}

bool NSFileManager::copyItemAtPathToPathError(const std::string& source,
                                              const std::string& destination,
                                              NSErrorRef* error) const {
  if (!isValidFilePath(source)) return invalidName(error, source, false);
  if (!isValidFilePath(destination)) return invalidName(error, destination, true);
  if (source.empty() || !exists(source)) return fail(error, ENOENT, source, false);
  if (destination.empty()) return fail(error, ENOENT, destination, true);
  if (exists(destination)) return fail(error, EEXIST, destination, true);
  if (int c = copyTree(source, destination)) return fail(error, c, destination, true);
  return true;
}

std::vector<std::string> NSFileManager::contentsOfDirectoryAtPathError(const std::string& path,
                                                                       NSErrorRef* error) const {
  std::vector<std::string> names;
  if (!isValidFilePath(path)) {
    invalidName(error, path, false);
    return names;
  }
  DIR* dir = path.empty() ? nullptr : ::opendir(path.c_str());
  if (!dir) {
    fail(error, path.empty() ? ENOENT : errno, path, false);
    return names;
  }
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

Dictionary NSFileManager::attributesOfItemAtPathError(const std::string& path,
                                                      NSErrorRef* error) const {
  Dictionary attrs;
  struct statx stx;
  std::memset(&stx, 0, sizeof stx);
  if (path.empty()) {
    fail(error, ENOENT, path, false);
    return attrs;
  }
  if (!isValidFilePath(path)) {
    invalidName(error, path, false);
    return attrs;
  }
  uint64_t size;
  mode_t mode;
  NSDate modified, created;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) ==
      0) {
    size = stx.stx_size;
    mode = stx.stx_mode;
    modified = NSDate::fromSeconds1970(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
    created = (stx.stx_mask & STATX_BTIME)
                  ? NSDate::fromSeconds1970(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec)
                  : modified;
  } else {
    if (errno != ENOSYS) {
      fail(error, errno, path, false);
      return attrs;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      fail(error, errno, path, false);
      return attrs;
    }
    size = static_cast<uint64_t>(st.st_size);
    mode = st.st_mode;
    modified = NSDate::fromSeconds1970(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    created = modified;
  }
  const char* type = S_ISREG(mode)   ? NSFileTypeRegular
                     : S_ISDIR(mode) ? NSFileTypeDirectory
                     : S_ISLNK(mode) ? NSFileTypeSymbolicLink
                                     : NSFileTypeUnknown;
  attrs.set(NSFileType, type);
  attrs.set(NSFileSize, Value(size));
  attrs.set(NSFileModificationDate, Value(modified));
  attrs.set(NSFileCreationDate, Value(created));
  attrs.set(NSFilePosixPermissions, Value(static_cast<int64_t>(mode & 07777)));
  return attrs;
}

bool NSFileManager::setAttributesOfItemAtPathError(const Dictionary& attributes,
                                                   const std::string& path,
                                                   NSErrorRef* error) const {
  if (!isValidFilePath(path)) return invalidName(error, path, true);
  if (path.empty() || !exists(path)) return fail(error, ENOENT, path, true);
  if (const Value* perms = attributes.find(NSFilePosixPermissions)) {
    if (::chmod(path.c_str(), static_cast<mode_t>(perms->integerValue() & 07777)) != 0)
      return fail(error, errno, path, true);
  }
  if (const Value* date = attributes.find(NSFileModificationDate); date && date->isDate()) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(date->date()->seconds1970());
    times[1].tv_nsec = date->date()->nanosecondOfSecond();
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return fail(error, errno, path, true);
  }
  return true;
}

std::optional<Data> NSFileManager::extendedAttribute(const std::string& path,
                                                     const std::string& name) const {
  if (!isValidFilePath(path) || !isValidFilePath(name)) return std::nullopt;
  std::string key = userName(name);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ssize_t size = ::getxattr(path.c_str(), key.c_str(), nullptr, 0);
    if (size < 0) return std::nullopt;
    std::vector<uint8_t> buf(static_cast<size_t>(size));
    ssize_t got = ::getxattr(path.c_str(), key.c_str(), buf.data(), buf.size());
    if (got >= 0) {
      buf.resize(static_cast<size_t>(got));
      return Data(std::move(buf));
    }
    if (errno != ERANGE) return std::nullopt;  // ERANGE: it grew meanwhile; ask again
  }
  return std::nullopt;
}

bool NSFileManager::setExtendedAttribute(const std::string& path, const std::string& name,
                                         const Data& value, NSErrorRef* error) const {
  if (!isValidFilePath(path) || !isValidFilePath(name)) return invalidName(error, path, true);
  if (::setxattr(path.c_str(), userName(name).c_str(), value.bytes(), value.length(), 0) != 0)
    return fail(error, errno, path, true);
  return true;
}

bool NSFileManager::removeExtendedAttribute(const std::string& path, const std::string& name,
                                            NSErrorRef* error) const {
  if (!isValidFilePath(path) || !isValidFilePath(name)) return invalidName(error, path, true);
  if (::removexattr(path.c_str(), userName(name).c_str()) != 0 && errno != ENODATA)
    return fail(error, errno, path, true);
  return true;
}

}  // namespace plat
