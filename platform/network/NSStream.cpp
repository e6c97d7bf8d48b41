#include "platform/network/NSStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/foundation/NSFileManager.h"

namespace plat {

namespace {

NSErrorRef posixError(int code, const std::string& path) {
  Dictionary info;
  info.set(NSLocalizedDescriptionKey, std::string(std::strerror(code)));
  if (!path.empty()) info.set(NSFilePathErrorKey, path);
  return NSError::make(NSPOSIXErrorDomain, code, std::move(info));
}

class DataInputStream : public NSInputStream {
 public:
  explicit DataInputStream(Data data) : data_(std::move(data)) {}
  void open() override {
    if (streamStatus() == NSStreamStatusNotOpen) {
      setStreamStatus(data_.empty() ? NSStreamStatusAtEnd : NSStreamStatusOpen);
    }
  }
  void close() override { setStreamStatus(NSStreamStatusClosed); }
  int64_t readMaxLength(uint8_t* buffer, uint64_t maxLength) override {
    auto s = streamStatus();
    if (s == NSStreamStatusAtEnd) return 0;
    if (s != NSStreamStatusOpen || !buffer) return -1;
    size_t n = static_cast<size_t>(std::min<uint64_t>(maxLength, data_.length() - offset_));
    if (n) std::memcpy(buffer, data_.bytes() + offset_, n);
    offset_ += n;
    if (offset_ >= data_.length()) setStreamStatus(NSStreamStatusAtEnd);
    return static_cast<int64_t>(n);
  }
  bool hasBytesAvailable() const override {
    return streamStatus() == NSStreamStatusOpen && offset_ < data_.length();
  }

 private:
  Data data_;
  size_t offset_ = 0;
};

class FileInputStream : public NSInputStream {
 public:
  explicit FileInputStream(std::string path) : path_(std::move(path)) {}
  ~FileInputStream() override {
    if (file_) std::fclose(file_);
  }
  void open() override {
    if (streamStatus() != NSStreamStatusNotOpen) return;
    int fd = openRegularFile(path_, O_RDONLY);
    file_ = fd < 0 ? nullptr : fdopen(fd, "rb");
    if (fd >= 0 && !file_) ::close(fd);
    if (!file_) {
      setStreamError(posixError(errno, path_));
      return;
    }
    setStreamStatus(NSStreamStatusOpen);
  }
  void close() override {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    setStreamStatus(NSStreamStatusClosed);
  }
  int64_t readMaxLength(uint8_t* buffer, uint64_t maxLength) override {
    auto s = streamStatus();
    if (s == NSStreamStatusAtEnd) return 0;
    if (s != NSStreamStatusOpen || !buffer) return -1;
    if (maxLength == 0) return 0;
    size_t n = std::fread(buffer, 1, static_cast<size_t>(maxLength), file_);
    if (n == 0) {
      if (std::ferror(file_)) {
        setStreamError(posixError(errno ? errno : EIO, path_));
        return -1;
      }
      setStreamStatus(NSStreamStatusAtEnd);
      return 0;
    }
    return static_cast<int64_t>(n);
  }
  bool hasBytesAvailable() const override { return streamStatus() == NSStreamStatusOpen; }
  Value propertyForKey(const std::string& key) const override {
    if (key == NSStreamFileCurrentOffsetKey && file_) {
      return Value(static_cast<long long>(std::ftell(file_)));
    }
    return Value();
  }

 private:
  std::string path_;
  FILE* file_ = nullptr;
};

class MemoryOutputStream : public NSOutputStream {
 public:
  void open() override {
    if (streamStatus() == NSStreamStatusNotOpen) setStreamStatus(NSStreamStatusOpen);
  }
  void close() override { setStreamStatus(NSStreamStatusClosed); }
  int64_t writeMaxLength(const uint8_t* buffer, uint64_t length) override {
    if (streamStatus() != NSStreamStatusOpen || (!buffer && length)) return -1;
    data_.append(buffer, static_cast<size_t>(length));
    return static_cast<int64_t>(length);
  }
  bool hasSpaceAvailable() const override { return streamStatus() == NSStreamStatusOpen; }
  Value propertyForKey(const std::string& key) const override {
    if (key == NSStreamDataWrittenToMemoryStreamKey) return Value(data_);
    return Value();
  }

 private:
  Data data_;
};

class FileOutputStream : public NSOutputStream {
 public:
  FileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
  ~FileOutputStream() override {
    if (file_) std::fclose(file_);
  }
  void open() override {
    if (streamStatus() != NSStreamStatusNotOpen) return;
    int fd = openRegularFile(path_, O_WRONLY | O_CREAT | (append_ ? O_APPEND : O_TRUNC));
    file_ = fd < 0 ? nullptr : fdopen(fd, append_ ? "ab" : "wb");
    if (fd >= 0 && !file_) ::close(fd);
    if (!file_) {
      setStreamError(posixError(errno, path_));
      return;
    }
    setStreamStatus(NSStreamStatusOpen);
  }
  void close() override {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    setStreamStatus(NSStreamStatusClosed);
  }
  int64_t writeMaxLength(const uint8_t* buffer, uint64_t length) override {
    if (streamStatus() != NSStreamStatusOpen || (!buffer && length)) return -1;
    size_t n = std::fwrite(buffer, 1, static_cast<size_t>(length), file_);
    if (n < length && std::ferror(file_)) {
      setStreamError(posixError(errno ? errno : EIO, path_));
      return -1;
    }
    if (std::fflush(file_) != 0) {
      setStreamError(posixError(errno ? errno : EIO, path_));
      return -1;
    }
    return static_cast<int64_t>(n);
  }
  bool hasSpaceAvailable() const override { return streamStatus() == NSStreamStatusOpen; }

 private:
  std::string path_;
  bool append_;
  FILE* file_ = nullptr;
};

}  // namespace

std::shared_ptr<NSInputStream> NSInputStream::inputStreamWithData(Data data) {
  return std::make_shared<DataInputStream>(std::move(data));
}

std::shared_ptr<NSInputStream> NSInputStream::inputStreamWithFileAtPath(std::string path) {
  return std::make_shared<FileInputStream>(std::move(path));
}

std::shared_ptr<NSOutputStream> NSOutputStream::outputStreamToMemory() {
  return std::make_shared<MemoryOutputStream>();
}

std::shared_ptr<NSOutputStream> NSOutputStream::outputStreamToFileAtPath(std::string path,
                                                                         bool append) {
  return std::make_shared<FileOutputStream>(std::move(path), append);
}

}  // namespace plat
