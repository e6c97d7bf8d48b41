#pragma once
// Fake loggers and helpers shared by the logging tests.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/LGAbstractLogger.h"
#include "logging/LGDiagnostics.h"
#include "logging/LGLog.h"
#include "platform/foundation/NSProcessInfo.h"
#include "testing/loop/Pump.h"

// Base of tests that use the hub: each leaves it as it found it, with no logger registered
// (a registered logger would outlive the test's objects it points at) and the machine's
// processor count.
class HubTest : public ::testing::Test {
 protected:
  void TearDown() override {
    plat::NSProcessInfo::processInfo().setProcessorCount(0);
    LGLog::resetForTesting();
  }
};

// Records every message it receives, in order.
class RecordingLogger : public LGAbstractLogger {
 public:
  explicit RecordingLogger(std::string name = "test.recording")
      : LGAbstractLogger(std::move(name)) {}
  void logMessage(const LGLogMessage& message) override {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.push_back(message);
  }
  void flush() override { ++flushes; }
  void didAddLogger() override { ++added; }
  void willRemoveLogger() override { ++removed; }
  std::vector<LGLogMessage> messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& m : messages()) out.push_back(m.text());
    return out;
  }
  std::atomic<int> flushes{0};
  std::atomic<int> added{0};
  std::atomic<int> removed{0};

 private:
  std::mutex mu_;
  std::vector<LGLogMessage> messages_;
};

// Logs a message from this file with the given flag and text.
inline void logText(bool async, uint64_t flag, const std::string& text, int64_t context = 0) {
  LGLog::logMessageLevelFlagContextFileFunctionLineTag(
      async, LGMakeText(text), 3, flag, context, __FILE__, "-[Test run]", __LINE__, plat::Value());
}

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

// A fresh folder under the test output folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("LUMORA_TEST_OUTPUT");
    std::string root = base && *base ? base : "/tmp";
    std::filesystem::create_directories(root);
    std::string templ = root + "/logging-XXXXXX";
    char* made = ::mkdtemp(templ.data());
    path_ = made ? made : root;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// How many of this process's descriptors are open on `path`.
inline int openDescriptorsOn(const std::string& path) {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    auto target = std::filesystem::read_symlink(entry.path(), linkError);
    if (!linkError && target == path) ++count;
  }
  return count;
}

// The source file a log record names. A build that compiles with relative paths names it
// from the build folder: it is looked for from the working folder and each folder above it.
inline std::string sourceFileOf(const LGLogMessage& message) {
  std::filesystem::path file(message.file());
  if (file.is_absolute()) return file.string();
  std::filesystem::path inTree;  // the path without its leading ".." parts
  for (const auto& part : file) {
    if (inTree.empty() && (part == ".." || part == ".")) continue;
    inTree /= part;
  }
  std::error_code ec;
  for (auto dir = std::filesystem::current_path(ec); !ec; dir = dir.parent_path()) {
    for (const auto& candidate : {dir / file, dir / inTree}) {
      std::error_code missing;
      if (std::filesystem::is_regular_file(candidate, missing)) return candidate.string();
    }
    if (dir == dir.parent_path()) break;
  }
  return file.string();
}

// Whether `message` names the line of its call: its file's line `line()` (or one of the two
// after it, where the call goes on) holds `text`.
inline bool callSiteHolds(const LGLogMessage& message, const std::string& text) {
  std::ifstream in(sourceFileOf(message));
  std::string line;
  for (uint64_t n = 1; std::getline(in, line); ++n) {
    if (n >= message.line() && n < message.line() + 3 && line.find(text) != std::string::npos)
      return true;
  }
  return false;
}
