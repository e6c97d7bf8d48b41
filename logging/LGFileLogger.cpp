#include "logging/LGFileLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cfloat>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "logging/LGDiagnostics.h"
#include "logging/LGLog.h"
#include "logging/LGLogFileFormatterDefault.h"
#include "logging/LGLogFileManagerDefault.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"

namespace {

constexpr const char* kFileLoggerName = "vestrel.fileLogger";
constexpr const char* kLtOnLoggerQueue = "lt_ methods should be on logger queue.";
constexpr double kMaxTimerSeconds = 9223372036.0;

// Exceptions caught while writing, process-wide.
std::atomic<int> gWriteExceptionCount{0};

std::string errnoText(int err) { return std::string(std::strerror(err)); }

bool isRegularFile(const std::string& path) {
  struct stat st;
  return plat::isValidFilePath(path) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Opens `path` for appending. The open never blocks (a FIFO without a reader would stop the
// logger, and every synchronous log with it); anything but a regular file is closed again
// with *notRegular set. Returns the descriptor, or -1 with errno set.
int openRegularFileForAppending(const std::string& path, bool* notRegular) {
  if (!plat::isValidFilePath(path)) {  // the system would open a shorter path
    errno = EINVAL;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  struct stat st;
  if (fd < 0) {
    *notRegular = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *notRegular = true;
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
  return fd;
}

}  // namespace

LGFileLogger::LGFileLogger() : LGFileLogger(std::make_shared<LGLogFileManagerDefault>()) {}

LGFileLogger::LGFileLogger(LGLogFileManagerRef manager, plat::DispatchQueueRef completionQueue)
    : LGAbstractLogger(kFileLoggerName),
      logFileManager_(std::move(manager)),
      completionQueue_(completionQueue ? std::move(completionQueue)
                                       : plat::dispatch_get_global_queue(
                                             plat::DISPATCH_QUEUE_PRIORITY_DEFAULT)) {
  formatter_ = std::make_shared<LGLogFileFormatterDefault>();
}

LGFileLogger::~LGFileLogger() {
  // Clean-up runs on the logger's queue: inline when the last reference dropped there (a
  // timer or watcher handler), otherwise waiting for the queue.
  if (isOnInternalLoggerQueue()) {
    lt_cleanup();
  } else {
    plat::dispatch_sync(queue(), [this] { lt_cleanup(); });
  }
}

// ---- settings ------------------------------------------------------------------------------

uint64_t LGFileLogger::maximumFileSize() {
  uint64_t result = 0;
  readOnLoggerQueue([&] { result = maximumFileSize_; });
  return result;
}

void LGFileLogger::setMaximumFileSize(uint64_t bytes) {
  LGPrecondition(!isOnInternalLoggerQueue(), kLGAccessIvarDirectly);
  auto me = self();
  applyOnLoggerQueue([me, bytes] {
    me->maximumFileSize_ = bytes;
    if (me->lt_currentLogFileHandle() >= 0) me->lt_maybeRollLogFileDueToSize();
  });
}

double LGFileLogger::rollingFrequency() {
  double result = 0;
  readOnLoggerQueue([&] { result = rollingFrequency_; });
  return result;
}

void LGFileLogger::setRollingFrequency(double seconds) {
  LGPrecondition(!isOnInternalLoggerQueue(), kLGAccessIvarDirectly);
  auto me = self();
  applyOnLoggerQueue([me, seconds] {
    me->rollingFrequency_ = seconds;
    me->lt_maybeRollLogFileDueToAge();
  });
}

LGLogFileInfoRef LGFileLogger::currentLogFileInfo() {
  std::string path;
  readOnLoggerQueue([&] {
    LGLogFileInfoRef info = lt_currentLogFileInfo();
    if (info) path = info->filePath();
  });
  return LGLogFileInfo::logFileWithPath(path);
}

// ---- public operations ---------------------------------------------------------------------

void LGFileLogger::rollLogFileWithCompletionBlock(std::function<void()> completion) {
  auto me = self();
  auto work = [me, completion = std::move(completion)] {
    me->lt_rollLogFileNow();
    if (completion) plat::dispatch_async(me->completionQueue_, completion);
  };
  if (isOnInternalLoggerQueue()) {
    work();
    return;
  }
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  plat::DispatchQueueRef q = queue();
  LGLog::submitAsync([q, work = std::move(work)] { plat::dispatch_async(q, work); });
}

void LGFileLogger::logData(std::string_view data) {
  if (isOnInternalLoggerQueue()) {
    lt_logData(data);
    return;
  }
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  LGLog::submitSync([&] { plat::dispatch_sync(queue(), [&] { lt_logData(data); }); });
}

void LGFileLogger::flush() {
  if (isOnInternalLoggerQueue()) {
    lt_flush();
    return;
  }
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  LGLog::submitSync([&] { plat::dispatch_sync(queue(), [&] { lt_flush(); }); });
}

void LGFileLogger::willRemoveLogger() { lt_rollLogFileNow(); }

void LGFileLogger::logMessage(const LGLogMessage& message) {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  LGText text;
  std::string_view data;
  bool appendNewline = false;
  if (!textForMessage(message, &text, &data, &appendNewline)) return;
  try {
    logPieces(data, appendNewline);
    if (line_.capacity() > kGatherBytes) std::string().swap(line_);  // after a huge line
  } catch (const std::exception& e) {
    int count = ++gWriteExceptionCount;
    if (count <= 10) {
      LGDiagnosticLog(plat::format("LGFileLogger.logMessage: %@", std::string(e.what())));
      if (count == 10) {
        LGDiagnosticLog(
            "LGFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
      }
    }
  }
}

void LGFileLogger::logMessages(const LGLogMessage* const* messages, size_t count) {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  // Whatever a message does (a subclass may throw), the gathered lines are written before
  // the call returns.
  struct Gathering {
    LGFileLogger* logger;
    explicit Gathering(LGFileLogger* l) : logger(l) { logger->gathering_ = true; }
    ~Gathering() {
      logger->gathering_ = false;
      logger->writeGathered();
    }
  } gathering(this);
  endReadThisHandOver_ = false;
  for (size_t i = 0; i < count; ++i) logMessage(*messages[i]);
}

void LGFileLogger::didLogMessage(const LGLogFileInfoRef& info) { maybeRollDueToSize(); }

// ---- steps on the logger's queue -----------------------------------------------------------

bool LGFileLogger::textForMessage(const LGLogMessage& message, LGText* text, std::string_view* data,
                                  bool* appendNewline) {
  const auto* formatter = formatter_.get();
  if (formatter && typeid(*formatter) == typeid(LGLogFileFormatterDefault)) {
    // The default line is always a new, non-empty text: made in place, without a text
    // object of its own.
    static_cast<LGLogFileFormatterDefault&>(*formatter_).formatLogMessageInto(message, line_);
    *data = line_;
    *appendNewline = line_.back() != '\n' && appendNewlineForCustom_.load();
    return true;
  }
  if (!lt_textForMessage(message, text, appendNewline)) return false;
  *data = **text;
  return true;
}

bool LGFileLogger::lt_textForMessage(const LGLogMessage& message, LGText* text,
                                     bool* appendNewline) {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  *text = message.message();
  bool isFormatted = false;
  if (formatter_) {
    *text = formatter_->formatLogMessage(message);
    isFormatted = *text != message.message();
  }
  if (!*text || (*text)->empty()) return false;
  bool endsWithNewline = (*text)->back() == '\n';
  *appendNewline = !endsWithNewline && (!isFormatted || appendNewlineForCustom_.load());
  return true;
}

std::string LGFileLogger::lt_dataForMessage(const LGLogMessage& message) {
  LGText text;
  bool appendNewline = false;
  if (!lt_textForMessage(message, &text, &appendNewline)) return {};
  std::string data;
  data.reserve(text->size() + 1);
  data.append(*text);
  if (appendNewline) data.push_back('\n');
  return data;
}

void LGFileLogger::lt_logData(std::string_view data) { lt_logPieces(data, false); }

void LGFileLogger::lt_logPieces(std::string_view data, bool appendNewline) {
  LGPrecondition(isOnInternalLoggerQueue(),
                 "logMessage should only be executed on internal queue.");
  logPieces(data, appendNewline);
}

void LGFileLogger::logPieces(std::string_view data, bool appendNewline) {
  if (data.empty()) return;
  // The file is chosen (and made, after a roll) first, so the hook learns which file the
  // message goes into, the first message of a new file included.
  if (currentLogFileHandle() < 0) return;
  willLogMessage();
  int fd = currentLogFileHandle();  // the hook may have rolled the file
  if (fd < 0) return;
  size_t length = data.size() + (appendNewline ? 1 : 0);
  if (gathering_) {
    gathered_.append(data);
    if (appendNewline) gathered_.push_back('\n');
    if (currentLogFileOffset_ >= 0) currentLogFileOffset_ += static_cast<off_t>(length);
    if (gathered_.size() >= kGatherBytes) writeGathered();
    didLogMessage();
    return;
  }
  // The file is open for appending: every write lands at its end, as one piece.
  static char newline[] = "\n";
  iovec pieces[2] = {{const_cast<char*>(data.data()), data.size()}, {newline, 1}};
  if (int err = writeWhole(fd, pieces, appendNewline ? 2 : 1); err != 0) {
    LGDiagnosticLog(plat::format("LGFileLogger: Failed to write data: %@", errnoText(err)));
    return;
  }
  // Appending writes end at the end of the file; others appending to it too are seen at the
  // next open.
  if (currentLogFileOffset_ >= 0) currentLogFileOffset_ += static_cast<off_t>(length);
  didLogMessage();
}

void LGFileLogger::writeGathered() {
  if (gathered_.empty()) return;
  int fd = currentLogFileHandle_;
  if (fd >= 0) {
    iovec piece = {gathered_.data(), gathered_.size()};
    if (int err = writeWhole(fd, &piece, 1); err != 0) {
      LGDiagnosticLog(plat::format("LGFileLogger: Failed to write data: %@", errnoText(err)));
    }
  }
  gathered_.clear();
  // One huge message should not pin its memory for the life of the logger.
  if (gathered_.capacity() > 4 * kGatherBytes) gathered_.shrink_to_fit();
}

int LGFileLogger::writeWhole(int fd, iovec* pieces, int count) {
  static char newline[] = "\n";
  iovec v[3];
  int n = 0;
  if (lineCut_) v[n++] = {newline, 1};
  for (int i = 0; i < count && n < 3; ++i) v[n++] = pieces[i];
  // The bytes as they go out (the write uses `v` up), to find the last whole line should the
  // write fail.
  iovec out[3];
  std::copy(v, v + n, out);
  size_t written = 0, lastWrite = 0;
  int err = plat::writevFully(fd, v, n, &written, &lastWrite);
  if (err == 0) {
    lineCut_ = false;
    return 0;
  }
  // The failed messages are lost, but no part of their lines may stay: the next line would
  // be glued onto it. What was written up to its last line feed is kept.
  size_t whole = 0;
  for (size_t i = 0, at = 0; i < static_cast<size_t>(n) && at < written; ++i) {
    const char* bytes = static_cast<const char*>(out[i].iov_base);
    for (size_t k = std::min(out[i].iov_len, written - at); k > 0; --k) {
      if (bytes[k - 1] == '\n') {
        whole = at + k;
        break;
      }
    }
    at += out[i].iov_len;
  }
  const size_t partial = written - whole;
  // Each appending write lands at the file's end of the moment and leaves the offset after its
  // bytes: the part-written line ends the file only while the offset is still its end. The
  // offset is read first (reading the end moves it).
  const off_t ours = ::lseek(fd, 0, SEEK_CUR);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  currentLogFileOffset_ = end;
  if (partial == 0) {
    // The file ends as before the write, or on a line feed of this write.
    if (whole > 0) lineCut_ = false;
    return err;
  }
  if (ours < 0 || end != ours || partial > lastWrite) {
    // Another writer appended after the part-written line (it ended up inside their bytes):
    // cutting back would cut their lines, so it stays, and the file ends with their bytes.
    lineCut_ = false;
    return err;
  }
  if (::ftruncate(fd, end - static_cast<off_t>(partial)) == 0) {
    // The file ends on a line feed of this write, or as before it.
    if (whole > 0) lineCut_ = false;
    currentLogFileOffset_ = end - static_cast<off_t>(partial);
    return err;
  }
  LGDiagnosticLog(plat::format("LGFileLogger: Failed to truncate file: %@", errnoText(errno)));
  // The part-written line stays: the next write starts on a new line.
  lineCut_ = true;
  return err;
}

LGLogFileInfoRef LGFileLogger::lt_currentLogFileInfo() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  LGLogFileInfoRef candidate = currentLogFileInfo_;
  bool isResuming = !candidate;
  if (isResuming) {
    auto sorted = logFileManager_->sortedLogFileInfos();
    if (!sorted.empty()) candidate = sorted.front();
  }
  if (candidate && lt_shouldUseLogFileIsResuming(candidate, isResuming)) {
    currentLogFileInfo_ = candidate;
    return currentLogFileInfo_;
  }
  if (currentLogFileHandle_ >= 0) {
    // The open file was marked archived behind the logger's back: stop writing to it.
    closeCurrentFile();
    if (rollingTimer_) {
      plat::dispatch_source_cancel(rollingTimer_);
      rollingTimer_ = nullptr;
    }
  }
  plat::NSErrorRef error;
  std::optional<std::string> path = logFileManager_->createNewLogFileWithError(&error);
  if (!path) {
    LGDiagnosticLog(plat::format("LGFileLogger: Failed to create new log file: %@", error));
    currentLogFileInfo_ = nullptr;
    return nullptr;
  }
  currentLogFileInfo_ = LGLogFileInfo::logFileWithPath(*path);
  return currentLogFileInfo_;
}

bool LGFileLogger::lt_shouldUseLogFileIsResuming(const LGLogFileInfoRef& info, bool isResuming) {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  LGPrecondition(info != nullptr, "Invalid parameter not satisfying: logFileInfo");
  // Something else carrying a log file's name (a FIFO, a folder) is never written to.
  if (!isRegularFile(info->filePath())) return false;
  if (info->isArchived()) return false;
  if (!isResuming) return true;
  if (!doNotReuseLogFiles_.load() && !lt_shouldLogFileBeArchived(info)) return true;
  info->setIsArchived(true);
  archiveNotify(info->filePath(), false);
  return false;
}

bool LGFileLogger::lt_shouldLogFileBeArchived(const LGLogFileInfoRef& info) {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  if (shouldArchiveRecentLogFileInfo(info)) return true;
  if (maximumFileSize_ > 0 && info->fileSize() >= maximumFileSize_) return true;
  if (rollingFrequency_ > 0 && info->age() >= rollingFrequency_) return true;
  // File protection classes do not exist on this platform: that rule never applies.
  return false;
}

int LGFileLogger::lt_currentLogFileHandle() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  return currentLogFileHandle();
}

int LGFileLogger::currentLogFileHandle() {
  if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
  int fd = -1;
  // A second try follows only when the chosen file was not a regular file: that choice is
  // dropped, and the next one (refusing it) is a new file.
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    LGLogFileInfoRef info = lt_currentLogFileInfo();
    if (!info) return -1;
    bool notRegular = false;
    fd = openRegularFileForAppending(info->filePath(), &notRegular);
    if (fd >= 0) break;
    if (!notRegular) {
      LGDiagnosticLog(plat::format("LGFileLogger: Failed to open file: %@ (%@)", info->filePath(),
                                   errnoText(errno)));
      return -1;
    }
    LGDiagnosticLog(plat::format("LGFileLogger: Not a regular file: %@", info->filePath()));
    currentLogFileInfo_ = nullptr;
  }
  if (fd < 0) return -1;
  currentLogFileOffset_ = ::lseek(fd, 0, SEEK_END);
  if (currentLogFileOffset_ < 0) {
    LGDiagnosticLog(
        plat::format("LGFileLogger: Failed to seek to end of file: %@", errnoText(errno)));
  }
  currentLogFileHandle_ = fd;
  lt_scheduleTimerToRollLogFileDueToAge();
  lt_monitorCurrentLogFileForExternalChanges();
  return fd;
}

void LGFileLogger::lt_monitorCurrentLogFileForExternalChanges() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  LGPrecondition(currentLogFileHandle_ >= 0, "Can not monitor without handle.");
  if (currentLogFileVnode_) plat::dispatch_source_cancel(currentLogFileVnode_);
  auto source = plat::dispatch_source_create(
      plat::DISPATCH_SOURCE_TYPE_VNODE, static_cast<uintptr_t>(currentLogFileHandle_),
      plat::DISPATCH_VNODE_DELETE | plat::DISPATCH_VNODE_RENAME | plat::DISPATCH_VNODE_REVOKE,
      queue());
  currentLogFileVnode_ = source;
  if (!source) return;
  std::weak_ptr<LGFileLogger> weak = weakSelf();
  plat::dispatch_source_set_event_handler(source, [weak] {
    if (auto me = weak.lock()) me->lt_rollLogFileNow();
  });
  plat::dispatch_activate(source);
}

void LGFileLogger::lt_scheduleTimerToRollLogFileDueToAge() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  if (rollingTimer_) {
    plat::dispatch_source_cancel(rollingTimer_);
    rollingTimer_ = nullptr;
  }
  // (A frequency that is not a number never rolls either.)
  if (!currentLogFileInfo_ || !(rollingFrequency_ > 0)) return;
  auto created = currentLogFileInfo_->creationDate();
  if (!created) return;
  double createdSeconds = created->timeIntervalSince1970();
  double frequency = std::min(rollingFrequency_, DBL_MAX - createdSeconds);
  double due = createdSeconds + frequency;
  double remaining = due - plat::Clock::current()->date().timeIntervalSince1970();
  remaining = std::max(0.0, std::min(remaining, kMaxTimerSeconds));
  auto timer = plat::dispatch_source_create(plat::DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue());
  if (!timer) return;
  std::weak_ptr<LGFileLogger> weak = weakSelf();
  plat::dispatch_source_set_event_handler(timer, [weak] {
    if (auto me = weak.lock()) me->lt_maybeRollLogFileDueToAge();
  });
  plat::dispatch_source_set_timer(
      timer, plat::dispatch_time(plat::DISPATCH_TIME_NOW, static_cast<int64_t>(remaining * 1e9)),
      plat::DISPATCH_TIME_FOREVER, plat::NSEC_PER_SEC);
  rollingTimer_ = timer;
  plat::dispatch_activate(timer);
}

void LGFileLogger::lt_maybeRollLogFileDueToAge() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  if (rollingFrequency_ > 0 && currentLogFileInfo_ &&
      currentLogFileInfo_->age() + 1.0 >= rollingFrequency_) {
    lt_rollLogFileNow();
  } else {
    lt_scheduleTimerToRollLogFileDueToAge();
  }
}

void LGFileLogger::lt_maybeRollLogFileDueToSize() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  maybeRollDueToSize();
}

void LGFileLogger::maybeRollDueToSize() {
  if (currentLogFileHandle_ < 0 || maximumFileSize_ == 0) return;
  // The file's real end counts, since another writer may have grown it too. It is read once
  // per hand-over: for a lone message at each write, for messages handed over together at
  // the first; after that the logger's own count (that end plus every byte since, gathered
  // bytes included) serves, sparing a system call per message.
  if (!gathering_ || !endReadThisHandOver_ || currentLogFileOffset_ < 0) {
    off_t end = ::lseek(currentLogFileHandle_, 0, SEEK_END);
    if (end < 0) {
      LGDiagnosticLog(plat::format("LGFileLogger: Failed to get offset: %@", errnoText(errno)));
      return;
    }
    currentLogFileOffset_ = end + static_cast<off_t>(gathered_.size());
    endReadThisHandOver_ = gathering_;
  }
  if (static_cast<uint64_t>(currentLogFileOffset_) >= maximumFileSize_) lt_rollLogFileNow();
}

void LGFileLogger::closeCurrentFile() {
  int fd = currentLogFileHandle_;
  if (fd < 0) return;
  writeGathered();
  currentLogFileHandle_ = -1;
  lineCut_ = false;  // the next file starts clean
  if (::fsync(fd) != 0 && errno != EINVAL) {
    LGDiagnosticLog(plat::format("LGFileLogger: Failed to synchronize file: %@", errnoText(errno)));
  }
  if (currentLogFileVnode_) {
    // The watcher reads the descriptor until its cancellation completes: close it there.
    plat::dispatch_source_set_cancel_handler(currentLogFileVnode_, [fd] {
      if (::close(fd) != 0) {
        LGDiagnosticLog(plat::format("LGFileLogger: Failed to close file: %@", errnoText(errno)));
      }
    });
    plat::dispatch_source_cancel(currentLogFileVnode_);
    currentLogFileVnode_ = nullptr;
  } else if (::close(fd) != 0) {
    LGDiagnosticLog(plat::format("LGFileLogger: Failed to close file: %@", errnoText(errno)));
  }
}

void LGFileLogger::lt_rollLogFileNow() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  if (currentLogFileHandle_ < 0) return;
  closeCurrentFile();
  if (currentLogFileInfo_) {
    currentLogFileInfo_->setIsArchived(true);
    archiveNotify(currentLogFileInfo_->filePath(), true);
  }
  currentLogFileInfo_ = nullptr;
  if (rollingTimer_) {
    plat::dispatch_source_cancel(rollingTimer_);
    rollingTimer_ = nullptr;
  }
}

void LGFileLogger::archiveNotify(const std::string& path, bool wasRolled) {
  LGLogFileManagerRef manager = logFileManager_;
  plat::dispatch_async(completionQueue_, [manager, path, wasRolled] {
    manager->didArchiveLogFileWasRolled(path, wasRolled);
  });
}

void LGFileLogger::lt_flush() {
  LGPrecondition(isOnInternalLoggerQueue(), "flush should only be executed on internal queue.");
  writeGathered();
  if (currentLogFileHandle_ >= 0 && ::fsync(currentLogFileHandle_) != 0 && errno != EINVAL) {
    LGDiagnosticLog(plat::format("LGFileLogger: Failed to synchronize file: %@", errnoText(errno)));
  }
}

void LGFileLogger::lt_cleanup() {
  LGPrecondition(isOnInternalLoggerQueue(), kLtOnLoggerQueue);
  closeCurrentFile();
  if (currentLogFileVnode_) {
    plat::dispatch_source_cancel(currentLogFileVnode_);
    currentLogFileVnode_ = nullptr;
  }
  if (rollingTimer_) {
    plat::dispatch_source_cancel(rollingTimer_);
    rollingTimer_ = nullptr;
  }
}
