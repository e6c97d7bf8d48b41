// The console logger: terminal detection, colour tables and profiles, and the line format.
// Each test sets the environment and has the console logger detect the terminal again.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "logging/LGTTYLogger.h"
#include "platform/foundation/NSLog.h"
#include "tests/logging/LGTestSupport.h"

namespace {

// Runs `fn` with standard error redirected to a file and returns what was written.
std::string captureStderr(const std::function<void()>& fn) {
  TempDir dir;
  std::string path = dir.path() + "/stderr.txt";
  int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  int saved = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  fn();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(fd);
  return readFile(path);
}

void useTerminal(const char* term, const char* xcodeColors = nullptr) {
  if (term) {
    ::setenv("TERM", term, 1);
  } else {
    ::unsetenv("TERM");
  }
  if (xcodeColors) {
    ::setenv("XcodeColors", xcodeColors, 1);
  } else {
    ::unsetenv("XcodeColors");
  }
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  LGTTYLogger::resetForTesting();
}

// Restores the environment the test changed and the console logger's first settings.
class LGTTYLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"TERM", "XcodeColors", "TZ"}) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    ::tzset();
    LGTTYLogger::resetForTesting();
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

LGLogMessage message(
    const std::string& text, uint64_t flag = LGLogFlagError, int64_t context = 0,
    plat::Value tag = plat::Value(),
    std::optional<plat::NSDate> when = plat::NSDate::fromNanoseconds1970(1714979289010999000LL)) {
  if (!when) {
    // Only a plain message has no timestamp.
    return LGLogMessage()
        .withMessage(LGMakeText(text))
        .withCallerFacts({"123456789012", "", "", 0});
  }
  LGLogMessage timed(LGMakeText(text), 3, flag, context, "", "", 0, std::move(tag), 0, when);
  return timed.withCallerFacts({"123456789012", "", "", 0});
}

std::string write(const std::shared_ptr<LGTTYLogger>& logger, const LGLogMessage& m) {
  return captureStderr(
      [&] { plat::dispatch_sync(logger->loggerQueue(), [&] { logger->logMessage(m); }); });
}

// Waits until profile changes submitted before it have run.
void settle(const std::shared_ptr<LGTTYLogger>& logger) { (void)logger->colorsEnabled(); }

}  // namespace

TEST_F(LGTTYLoggerTest, PlainTerminalWritesTheStandardLineWithoutEscapes) {
  useTerminal("dumb");
  auto logger = LGTTYLogger::sharedInstance();
  EXPECT_EQ(LGTTYLogger::init(), nullptr);
  EXPECT_FALSE(LGTTYLogger::isColorTerminal());
  EXPECT_EQ(logger->loggerName(), "vestrel.ttyLogger");
  logger->setColorsEnabled(true);
  settle(logger);
  EXPECT_EQ(logger->colorProfilesArray().size(), 2u);  // the defaults, with empty sequences

  std::string expected = "2024-05-06 07:08:09:010 " + logger->appName() + "[" +
                         logger->processID() + ":12345678] hello\n";
  EXPECT_EQ(write(logger, message("hello")), expected);
  EXPECT_EQ(write(logger, message("done\n")), expected.substr(0, expected.size() - 6) + "done\n");
  // Without a timestamp the line starts with the blank.
  EXPECT_EQ(write(logger, message("t", 1, 0, plat::Value(), std::nullopt))
                .substr(0, logger->appName().size() + 1),
            " " + logger->appName());
  // An empty text still gives a line.
  EXPECT_EQ(write(logger, message("")), expected.substr(0, expected.size() - 6) + "\n");

  // Long texts are written whole, on either side of the stack buffer's size.
  for (size_t n : {4095u, 4096u, 10000u}) {
    std::string out = write(logger, message(std::string(n, 'q')));
    EXPECT_EQ(out.size(), expected.size() - 6 + n + 1) << n;
  }
}

TEST_F(LGTTYLoggerTest, DatesBefore1677KeepTheirMilliseconds) {
  useTerminal("dumb");
  auto logger = LGTTYLogger::sharedInstance();
  std::string tail = " " + logger->appName() + "[" + logger->processID() + ":12345678] old\n";
  EXPECT_EQ(write(logger, message("old", LGLogFlagError, 0, plat::Value(),
                                  plat::NSDate::fromSeconds1970(-10000000000LL, 250000000))),
            "1653-02-10 06:13:20:250" + tail);
  EXPECT_EQ(write(logger, message("old", LGLogFlagError, 0, plat::Value(),
                                  plat::NSDate::fromNanoseconds1970(-1))),
            "1969-12-31 23:59:59:999" + tail);
}

TEST_F(LGTTYLoggerTest, CustomFormatterOutputAndItsLineFeedRule) {
  useTerminal("dumb");
  auto logger = LGTTYLogger::sharedInstance();
  class Bracket : public LGLogFormatter {
   public:
    LGText formatLogMessage(const LGLogMessage& m) override {
      return LGMakeText("[" + m.text() + "]");
    }
  };
  class Same : public LGLogFormatter {
   public:
    LGText formatLogMessage(const LGLogMessage& m) override { return m.message(); }
  };
  logger->setLogFormatter(std::make_shared<Bracket>());
  settle(logger);
  EXPECT_EQ(write(logger, message("a")), "[a]\n");
  logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
  EXPECT_EQ(write(logger, message("a")), "[a]");
  // The message's own text is not custom output: the standard line is written.
  logger->setLogFormatter(std::make_shared<Same>());
  settle(logger);
  std::string line = write(logger, message("own"));
  EXPECT_EQ(line.substr(0, 24), "2024-05-06 07:08:09:010 ");
  EXPECT_EQ(line.substr(line.size() - 4), "own\n");
}

TEST_F(LGTTYLoggerTest, SixteenColourTerminalUsesTheNearestBasicColours) {
  useTerminal("xterm-COLOR");
  auto logger = LGTTYLogger::sharedInstance();
  ASSERT_TRUE(LGTTYLogger::isColorTerminal());
  EXPECT_FALSE(LGTTYLogger::is256ColorTerminal());
  ASSERT_EQ(LGTTYLogger::foregroundCodes().size(), 16u);
  EXPECT_EQ(LGTTYLogger::foregroundCodes()[9], "1;31m");
  EXPECT_EQ(LGTTYLogger::backgroundCodes()[15], "1;47m");

  logger->setColorsEnabled(true);
  settle(logger);
  auto profiles = logger->colorProfilesArray();
  ASSERT_EQ(profiles.size(), 2u);
  EXPECT_EQ(profiles[0]->fgCodeIndex, 1u);
  EXPECT_EQ(profiles[0]->fgCodeRaw, "31m");
  EXPECT_EQ(profiles[1]->fgCodeIndex, 3u);
  EXPECT_EQ(profiles[1]->fgCodeRaw, "33m");
  EXPECT_EQ(std::string(profiles[0]->fgCode.data()), "\033[31m");
  EXPECT_EQ(profiles[0]->fg_r, 214);
  EXPECT_NE(profiles[0]->description().find("fgCode:31m"), std::string::npos);

  std::string line = write(logger, message("boom"));
  EXPECT_EQ(line.substr(0, 5), "\033[31m");
  EXPECT_EQ(line.substr(line.size() - 9), "boom\n\033[0m");
  // Flags without a profile stay plain.
  EXPECT_EQ(write(logger, message("info", LGLogFlagInfo)).substr(0, 4), "2024");
  // Colours off: no escapes.
  logger->setColorsEnabled(false);
  settle(logger);
  EXPECT_EQ(write(logger, message("boom")).substr(0, 4), "2024");
}

TEST_F(LGTTYLoggerTest, TwoFiftySixColourTerminalHitsTheDefaultColoursExactly) {
  useTerminal("XTERM-256Color");
  auto logger = LGTTYLogger::sharedInstance();
  ASSERT_TRUE(LGTTYLogger::is256ColorTerminal());
  ASSERT_EQ(LGTTYLogger::foregroundCodes().size(), 240u);
  EXPECT_EQ(LGTTYLogger::foregroundCodes()[0], "38;5;16m");
  EXPECT_EQ(LGTTYLogger::foregroundCodes()[239], "38;5;255m");
  EXPECT_EQ(LGTTYLogger::codeIndexForColor(LGColor::fromRGB255(214, 57, 30)), 108u);
  EXPECT_EQ(LGTTYLogger::codeIndexForColor(LGColor::fromRGB255(204, 121, 32)), 114u);
  logger->loadDefaultColorProfiles();
  settle(logger);
  auto profiles = logger->colorProfilesArray();
  ASSERT_EQ(profiles.size(), 2u);
  EXPECT_EQ(std::string(profiles[0]->fgCode.data()), "\033[38;5;124m");
  EXPECT_EQ(std::string(profiles[1]->fgCode.data()), "\033[38;5;130m");
}

TEST_F(LGTTYLoggerTest, RGBEscapeConsoleWinsOverTheTerminal) {
  useTerminal("xterm-256color", "YES");
  auto logger = LGTTYLogger::sharedInstance();
  EXPECT_TRUE(LGTTYLogger::isRGBEscapeConsole());
  EXPECT_FALSE(LGTTYLogger::isColorTerminal());
  EXPECT_TRUE(LGTTYLogger::foregroundCodes().empty());
  auto p = LGTTYLoggerColorProfile::initWithForegroundColorBackgroundColorFlagContext(
      LGColor::fromRGB255(214, 57, 30), LGColor::fromRGB255(1, 2, 3), 1, 0);
  EXPECT_EQ(std::string(p->fgCode.data()), "\033[fg214,57,30;");
  EXPECT_EQ(std::string(p->bgCode.data()), "\033[bg1,2,3;");
  EXPECT_EQ(std::string(p->resetCode.data()), "\033[;");
}

TEST_F(LGTTYLoggerTest, ProfileChoiceByContextTagAndClearing) {
  useTerminal("xterm-color");
  auto logger = LGTTYLogger::sharedInstance();
  LGColor red = LGColor::fromRGB255(194, 54, 33), green = LGColor::fromRGB255(37, 188, 36),
          blue = LGColor::fromRGB255(73, 46, 225);
  logger->setColorsEnabled(true);  // installs the defaults
  logger->setForegroundColorBackgroundColorForFlag(red, std::nullopt, LGLogFlagWarning);
  logger->setForegroundColorBackgroundColorForFlagContext(green, std::nullopt, LGLogFlagWarning, 5);
  settle(logger);
  EXPECT_EQ(logger->colorProfilesArray().size(), 3u);  // the warning default was replaced
  EXPECT_EQ(write(logger, message("w", LGLogFlagWarning, 5)).substr(0, 5), "\033[32m");
  EXPECT_EQ(write(logger, message("w", LGLogFlagWarning, 6)).substr(0, 5), "\033[31m");

  // The exact-context profile wins even when it comes first.
  logger->clearColorsForAllFlags();
  logger->setForegroundColorBackgroundColorForFlagContext(green, std::nullopt, LGLogFlagWarning, 5);
  logger->setForegroundColorBackgroundColorForFlag(red, std::nullopt, LGLogFlagWarning);
  settle(logger);
  EXPECT_EQ(write(logger, message("w", LGLogFlagWarning, 5)).substr(0, 5), "\033[32m");

  // A tag's profile wins over the flag's.
  logger->setForegroundColorBackgroundColorForTag(blue, std::nullopt, plat::Value("net"));
  settle(logger);
  EXPECT_EQ(write(logger, message("t", LGLogFlagWarning, 5, plat::Value("net"))).substr(0, 5),
            "\033[34m");
  logger->clearColorsForTag(plat::Value("net"));
  settle(logger);
  EXPECT_EQ(logger->colorProfilesTagCount(), 0u);

  // clearColorsForFlag targets context 0, not the every-context default.
  logger->clearAllColors();
  logger->loadDefaultColorProfiles();
  logger->clearColorsForFlag(LGLogFlagError);
  settle(logger);
  EXPECT_EQ(logger->colorProfilesArray().size(), 2u);
  logger->clearColorsForFlagContext(LGLogFlagError, LGTTYLogger::kEveryContext);
  settle(logger);
  EXPECT_EQ(logger->colorProfilesArray().size(), 1u);
}

namespace {

// Points standard error at a pipe whose reader has gone, with SIGPIPE's default action
// (ending the process), then logs through the console logger and the platform's diagnostic
// log. Exits 0 when both lines were dropped and no SIGPIPE is left pending.
[[noreturn]] void logToAClosedPipe() {
  ::signal(SIGPIPE, SIG_DFL);
  int fds[2];
  if (::pipe(fds) != 0) ::_exit(3);
  ::close(fds[0]);
  ::dup2(fds[1], STDERR_FILENO);
  LGLog::addLogger(LGTTYLogger::sharedInstance());
  logText(false, LGLogFlagError, "nobody reads this");
  plat::NSLog("nor this");
  LGLog::flushLog();
  sigset_t pending;
  sigpending(&pending);
  ::_exit(sigismember(&pending, SIGPIPE) ? 2 : 0);
}

}  // namespace

TEST(LGTTYLoggerDeathTest, AReaderOfStandardErrorThatWentAwayEndsNoProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(logToAClosedPipe(), ::testing::ExitedWithCode(0), "");
}
