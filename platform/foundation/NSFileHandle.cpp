#include "platform/foundation/NSFileHandle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/foundation/NSFileManager.h"

namespace plat {

std::shared_ptr<NSFileHandle> NSFileHandle::open(const std::string& path, int flags) {
  // A NUL byte would make the system open a shorter path than the one asked for.
  if (path.empty() || !isValidFilePath(path)) return nullptr;
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_shared<NSFileHandle>(fd, true);
}

std::shared_ptr<NSFileHandle> NSFileHandle::fileHandleForReadingAtPath(const std::string& path) {
  return open(path, O_RDONLY);
}

std::shared_ptr<NSFileHandle> NSFileHandle::fileHandleForWritingAtPath(const std::string& path) {
  return open(path, O_WRONLY);
}

std::shared_ptr<NSFileHandle> NSFileHandle::fileHandleForUpdatingAtPath(const std::string& path) {
  return open(path, O_RDWR);
}

NSFileHandle::NSFileHandle(int fd, bool closeOnDealloc)
    : fd_(fd), closeOnDealloc_(closeOnDealloc) {}

NSFileHandle::~NSFileHandle() {
  if (closeOnDealloc_) closeFile();
}

Data NSFileHandle::readDataOfLength(size_t length) {
  std::vector<uint8_t> bytes;
  if (fd_ < 0) return Data();
  uint8_t buf[65536];
  while (bytes.size() < length) {
    size_t want = std::min(sizeof buf, length - bytes.size());
    ssize_t r = ::read(fd_, buf, want);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    bytes.insert(bytes.end(), buf, buf + r);
  }
  return Data(std::move(bytes));
}

Data NSFileHandle::readDataToEndOfFile() { return readDataOfLength(SIZE_MAX); }

bool NSFileHandle::writeDataError(const Data& data, NSErrorRef* error) {
  if (fd_ < 0) {
    if (error) *error = fileErrorFromErrno(EBADF, "", true);
    return false;
  }
  const uint8_t* p = data.bytes();
  size_t n = data.length();
  while (n > 0) {
    ssize_t w = ::write(fd_, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (error) *error = fileErrorFromErrno(errno, "", true);
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

uint64_t NSFileHandle::offsetInFile() const {
  if (fd_ < 0) return 0;
  off_t off = ::lseek(fd_, 0, SEEK_CUR);
  return off < 0 ? 0 : static_cast<uint64_t>(off);
}

bool NSFileHandle::seekToFileOffset(uint64_t offset) {
  return fd_ >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

uint64_t NSFileHandle::seekToEndOfFile() {
  if (fd_ < 0) return 0;
  off_t off = ::lseek(fd_, 0, SEEK_END);
  return off < 0 ? 0 : static_cast<uint64_t>(off);
}

bool NSFileHandle::truncateFileAtOffset(uint64_t offset) {
  if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(offset)) != 0) return false;
  return seekToFileOffset(offset);
}

bool NSFileHandle::synchronizeFile() { return fd_ >= 0 && ::fsync(fd_) == 0; }

void NSFileHandle::closeFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace plat
