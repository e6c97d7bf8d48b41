#pragma once
// LGFileLogger: the sink that writes log lines into files and rolls them. It chooses the
// current file (continuing the newest existing one after a restart when allowed), appends
// each formatted line, and rolls (closes the file, marks it archived, lets the next message
// start a new one) when the file reaches maximumFileSize, when its age reaches
// rollingFrequency, when it is deleted, renamed or revoked from outside, on demand, and when
// the logger is removed from the hub. Where files live and how many are kept is the
// business of its LGLogFileManager; what a line looks like, of its formatter
// (LGLogFileFormatterDefault unless replaced).
//
// Threading: all state lives on the logger's serial queue. The hub calls logMessage, flush
// and willRemoveLogger there; timers and the file watcher deliver there. Getters and setters
// of the rolling settings travel through the global logging queue into the logger's queue,
// so they take effect in order with messages queued before them; they must not be called on
// either queue (the process aborts). lt_ operations must run on the logger's queue.
// Manager notifications and completion blocks run on the completion queue.
//
// Each message is written as one piece (its line and line feed together). Messages the hub
// hands over together (logMessages) are gathered in memory and written in blocks of up to
// kGatherBytes; every gathered byte reaches the file before that call returns, before a roll
// or flush, and before the file is closed. Writes loop over short writes and EINTR, so a line
// is never cut silently. Failures are written to the diagnostic log; the affected messages
// are lost and a later message tries again. A write that fails part-way (a full disk) leaves
// no part of a line: the file is cut back to the end of its last whole line, or, where it
// cannot be cut, the next write starts on a new line. Where another writer appended to the
// file after the part-written line, nothing is cut (their lines would be): that part stays.
// (A writer appending between the check and the cut is not seen: no lock is shared.)

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "logging/LGAbstractLogger.h"
#include "logging/LGLogFileInfo.h"
#include "logging/LGLogFileManager.h"
#include "platform/dispatch/Dispatch.h"

class LGBufferedProxy;

class LGFileLogger : public LGAbstractLogger {
 public:
  static constexpr uint64_t kDefaultMaximumFileSize = 1024 * 1024;
  static constexpr double kDefaultRollingFrequency = 60 * 60 * 24;
  // Largest block of gathered lines written at once.
  static constexpr size_t kGatherBytes = 64 * 1024;

  // Default manager (LGLogFileManagerDefault) and completion queue (the default global queue).
  LGFileLogger();
  explicit LGFileLogger(LGLogFileManagerRef manager,
                        plat::DispatchQueueRef completionQueue = nullptr);
  ~LGFileLogger() override;

  const LGLogFileManagerRef& logFileManager() const { return logFileManager_; }

  // REQUIRES (these five): not on the global logging queue or the logger's queue.
  uint64_t maximumFileSize();
  // 0 turns rolling by size off. Checks the current file (opening or creating it) at once.
  void setMaximumFileSize(uint64_t bytes);
  double rollingFrequency();
  // 0 or less turns rolling by age off. Rolls at once when the file is already too old.
  void setRollingFrequency(double seconds);
  // A fresh info for the current file (opening the choice, creating a file if needed);
  // nullptr when no file can be had.
  LGLogFileInfoRef currentLogFileInfo();

  bool doNotReuseLogFiles() const { return doNotReuseLogFiles_.load(); }
  void setDoNotReuseLogFiles(bool v) { doNotReuseLogFiles_.store(v); }
  bool automaticallyAppendNewlineForCustomFormatters() const {
    return appendNewlineForCustom_.load();
  }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool v) {
    appendNewlineForCustom_.store(v);
  }

  // Rolls now; `completion` (if any) then runs on the completion queue. From the logger's
  // queue at once; otherwise through the global logging queue (not callable there).
  void rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }
  void rollLogFileWithCompletionBlock(std::function<void()> completion);

  // Writes raw bytes to the current file as a message would be written; waits.
  // REQUIRES: not on the global logging queue.
  void logData(std::string_view data);

  // A new LGBufferedProxy around this logger (register the proxy in its place).
  std::shared_ptr<LGBufferedProxy> wrapWithBuffer();
  // This logger itself.
  std::shared_ptr<LGFileLogger> unwrapFromBuffer() { return self(); }

  // LGLogger
  void logMessage(const LGLogMessage& message) override;
  // Gathers the lines of the messages and writes them in blocks (see above); the size rule
  // and the hooks still apply after each message.
  void logMessages(const LGLogMessage* const* messages, size_t count) override;
  // Makes the current file durable. Waits (inline on the logger's queue).
  void flush() override;
  void willRemoveLogger() override;

  // Hooks for subclasses, on the logger's queue, around each write: both get the file the
  // bytes go into (never null; neither runs when no file could be opened). didLogMessage
  // checks the size.
  virtual void willLogMessage(const LGLogFileInfoRef& info) {}
  virtual void didLogMessage(const LGLogFileInfoRef& info);
  // The parameterless forms: the logger calls these; by default they call the forms above
  // with the current file, so a subclass that overrides one has it called in their place.
  virtual void willLogMessage() { willLogMessage(currentLogFileInfo_); }
  virtual void didLogMessage() { didLogMessage(currentLogFileInfo_); }
  // Answers false.
  virtual bool shouldArchiveRecentLogFileInfo(const LGLogFileInfoRef& info) { return false; }

  // Steps on the logger's queue ("lt_ methods should be on logger queue.").
  LGLogFileInfoRef lt_currentLogFileInfo();
  bool lt_shouldUseLogFileIsResuming(const LGLogFileInfoRef& info, bool isResuming);
  bool lt_shouldLogFileBeArchived(const LGLogFileInfoRef& info);
  // The open file's descriptor, opening the current file if needed; -1 when none. Only a
  // regular file is opened, without blocking: a FIFO or device named like the current file is
  // left alone and a new file is started instead.
  int lt_currentLogFileHandle();
  void lt_monitorCurrentLogFileForExternalChanges();
  void lt_scheduleTimerToRollLogFileDueToAge();
  void lt_maybeRollLogFileDueToAge();
  void lt_maybeRollLogFileDueToSize();
  void lt_rollLogFileNow();
  // The bytes the logger writes for the message: the formatted line with its line feed
  // (UTF-8); empty when the message is dropped.
  std::string lt_dataForMessage(const LGLogMessage& message);
  void lt_logData(std::string_view data);
  // The text to write for a message and whether a line feed must follow it; false when the
  // message is dropped.
  bool lt_textForMessage(const LGLogMessage& message, LGText* text, bool* appendNewline);
  // Writes `data` (and a line feed) as one piece.
  void lt_logPieces(std::string_view data, bool appendNewline);
  void lt_flush();
  void lt_cleanup();

 private:
  std::shared_ptr<LGFileLogger> self() {
    return std::static_pointer_cast<LGFileLogger>(shared_from_this());
  }
  std::weak_ptr<LGFileLogger> weakSelf() {
    return std::static_pointer_cast<LGFileLogger>(shared_from_this());
  }
  void archiveNotify(const std::string& path, bool wasRolled);
  // The unchecked steps behind logMessage (which checks the queue once per message).
  // textForMessage leaves the bytes to write in *data: in *text, or in line_ for the
  // default formatter.
  bool textForMessage(const LGLogMessage& message, LGText* text, std::string_view* data,
                      bool* appendNewline);
  void logPieces(std::string_view data, bool appendNewline);
  int currentLogFileHandle();
  void maybeRollDueToSize();
  // Writes the gathered bytes to the open file and empties the gathering buffer.
  void writeGathered();
  // Writes the pieces to the open file, starting on a new line when an earlier failure left
  // a cut line. On failure, cuts the file back to its last whole line. Returns the errno.
  int writeWhole(int fd, iovec* pieces, int count);
  void closeCurrentFile();

  const LGLogFileManagerRef logFileManager_;
  const plat::DispatchQueueRef completionQueue_;
  std::atomic<bool> doNotReuseLogFiles_{false};
  std::atomic<bool> appendNewlineForCustom_{true};

  // Touched only on the logger's queue.
  uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
  double rollingFrequency_ = kDefaultRollingFrequency;
  LGLogFileInfoRef currentLogFileInfo_;
  int currentLogFileHandle_ = -1;
  // The write position: the end of the file after each write, gathered bytes included (the
  // size rule reads the file's real end once per hand-over, so bytes others appended count
  // too).
  int64_t currentLogFileOffset_ = -1;
  bool gathering_ = false;  // inside logMessages: lines go to gathered_
  // Inside logMessages: the size rule has read the file's real end in this hand-over.
  bool endReadThisHandOver_ = false;
  std::string gathered_;  // lines accepted for the open file but not yet written
  // A failed write left part of a line that could not be cut off: the next write begins
  // with a line feed.
  bool lineCut_ = false;
  std::string line_;  // the default formatter's line for the current message
  plat::DispatchSourceRef currentLogFileVnode_;
  plat::DispatchSourceRef rollingTimer_;
};
