// Messages of the system log store as the log capture reads them, with arbitrary "Level",
// "Time", "TimeNanoSec" and "Message" values, and log file names as the log file manager
// sorts them. Every message with a text whose flag the capture level admits reaches the hub
// once, with its text unchanged, a flag of the table and a timestamp; names never crash the
// date reading.

#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "logging/LGASLLogCapture.h"
#include "logging/LGAbstractLogger.h"
#include "logging/LGLog.h"
#include "logging/LGLogFileManagerDefault.h"

namespace {

class Recorder : public LGAbstractLogger {
 public:
  Recorder() : LGAbstractLogger(std::string("fuzz.recorder")) {}
  void logMessage(const LGLogMessage& message) override {
    std::lock_guard<std::mutex> lock(mu);
    messages.push_back(message);
  }
  std::vector<LGLogMessage> take() {
    std::lock_guard<std::mutex> lock(mu);
    return std::move(messages);
  }
  std::mutex mu;
  std::vector<LGLogMessage> messages;
};

Recorder& recorder() {
  static auto* shared = [] {
    auto* r = new std::shared_ptr<Recorder>(std::make_shared<Recorder>());
    LGLog::addLogger(*r);
    return r;
  }();
  return **shared;
}

const LGLogFileManagerDefault& manager() {
  static auto* m = new std::shared_ptr<LGLogFileManagerDefault>(
      std::make_shared<LGLogFileManagerDefault>("/tmp/fuzz_log_store_messages"));
  return **m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::quietLogs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Recorder& rec = recorder();
  fuzz::Input in(data, size);
  uint8_t present = in.byte();
  LGASLLogCapture::setCaptureLevel(in.byte() & 0x1f);
  plat::ASLMessage message;
  const char* keys[] = {plat::ASL_KEY_LEVEL, plat::ASL_KEY_TIME, plat::ASL_KEY_TIME_NSEC,
                        plat::ASL_KEY_MSG};
  std::string text;
  for (int k = 0; k < 4; ++k) {
    std::string value(in.field());
    if (present & (1 << k)) message.set(keys[k], value);
    if (k == 3) text = value;
  }
  std::string fileName(in.rest());

  LGASLLogCapture::aslMessageReceived(message);
  LGLog::flushLog();
  std::vector<LGLogMessage> got = rec.take();
  const std::string* stored = message.get(plat::ASL_KEY_MSG);
  FUZZ_CHECK(got.size() <= 1, std::to_string(got.size()));
  if (!stored) FUZZ_CHECK(got.empty(), "a message without text was captured");
  for (const LGLogMessage& m : got) {
    FUZZ_CHECK(m.text() == *stored, m.text());
    FUZZ_CHECK(m.flag() == LGLogFlagError || m.flag() == LGLogFlagWarning ||
                   m.flag() == LGLogFlagInfo || m.flag() == LGLogFlagDebug ||
                   m.flag() == LGLogFlagVerbose,
               std::to_string(m.flag()));
    FUZZ_CHECK((m.flag() & LGASLLogCapture::captureLevel()) != 0, std::to_string(m.flag()));
    FUZZ_CHECK(m.fileName() == LGASLLogCapture::kCaptureFileName, m.fileName());
    FUZZ_CHECK(m.timestamp().has_value(), "no timestamp");
    FUZZ_CHECK(!std::isnan(m.timestamp()->timeIntervalSince1970()), "NaN timestamp");
  }

  // The date part of a log file name, as sorting reads it.
  (void)manager().isLogFile(fileName);
  size_t blank = fileName.find_last_of(' ');
  std::string piece = blank == std::string::npos ? fileName : fileName.substr(blank + 1);
  (void)manager().logFileDateFormatter().dateFromString(piece);
  std::string name = LGLogMessage::fileNameFromPath(fileName);
  FUZZ_CHECK(name.size() <= fileName.size() && name.find('/') == std::string::npos, name);
  return 0;
}
