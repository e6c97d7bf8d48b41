#pragma once
// LGTTYLogger: the console sink. Writes every message as one line to standard error with a
// single vectored write (looping over short writes and EINTR), optionally coloured with
// terminal escape sequences chosen by flag and context or by tag. A reader of standard error
// that has gone away drops the line; the write never raises SIGPIPE.
//
// Colour support is detected once per process, when sharedInstance is first called: the
// environment variable "XcodeColors" equal to "YES" selects RGB escapes; otherwise a "TERM"
// containing "color" (any case) selects a colour terminal, with 256 colours when it also
// contains "256"; otherwise sequences are empty and lines carry no escape bytes.
//
// Threading: logMessage and all profile changes run on the logger's own queue. Profile
// operations called there apply at once; from elsewhere they travel through the global
// logging queue (not callable there: the process aborts). colorsEnabled() reads through both
// queues (not callable on either).

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/LGAbstractLogger.h"

// An RGB colour with components from 0 to 1.
struct LGColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  static LGColor fromRGB255(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0, 1}; }
};

class LGTTYLoggerColorProfile {
 public:
  // Builds the escape sequences for the detected terminal. nullptr when a code cannot be
  // represented (never with the built-in tables).
  static std::shared_ptr<LGTTYLoggerColorProfile> initWithForegroundColorBackgroundColorFlagContext(
      std::optional<LGColor> foreground, std::optional<LGColor> background, uint64_t mask,
      int64_t context);

  uint64_t mask = 0;
  int64_t context = 0;
  uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
  uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
  uint64_t fgCodeIndex = 0;
  std::string fgCodeRaw;
  uint64_t bgCodeIndex = 0;
  std::string bgCodeRaw;
  std::array<char, 24> fgCode{};
  uint64_t fgCodeLen = 0;
  std::array<char, 24> bgCode{};
  uint64_t bgCodeLen = 0;
  std::array<char, 8> resetCode{};
  uint64_t resetCodeLen = 0;

  std::string description() const;
};

using LGTTYLoggerColorProfileRef = std::shared_ptr<LGTTYLoggerColorProfile>;

class LGTTYLogger : public LGAbstractLogger {
 public:
  static constexpr int64_t kEveryContext = 2147483647;

  // Detects the terminal (once) and creates the one console logger.
  static const std::shared_ptr<LGTTYLogger>& sharedInstance();
  // A console logger; nullptr once the shared logger exists (only sharedInstance makes it).
  static std::shared_ptr<LGTTYLogger> init();
  // Detects the terminal again from the environment and gives the shared logger its first
  // settings back: no colours, no profiles, no formatter (tests only).
  // REQUIRES: nothing else uses the console logger meanwhile.
  static void resetForTesting();

  // Table building (done by the detection). Each does nothing once tables exist.
  static void initialize_colors_16();
  static void initialize_colors_256();
  // The fractions of a colour (any out-pointer may be null).
  static void getRedGreenBlueFromColor(double* red, double* green, double* blue,
                                       const LGColor& color);
  // The index of the nearest table colour (ties keep the lower index); 0 without tables.
  static uint64_t codeIndexForColor(const LGColor& color);

  // Detection results.
  static bool isColorTerminal();
  static bool is256ColorTerminal();
  static bool isRGBEscapeConsole();
  // The table codes (empty without a colour terminal).
  static const std::vector<std::string>& foregroundCodes();
  static const std::vector<std::string>& backgroundCodes();
  static const std::vector<LGColor>& tableColors();

  ~LGTTYLogger() override = default;

  const std::string& appName() const { return appName_; }
  const std::string& processID() const { return processID_; }

  // REQUIRES: not on the global logging queue or the logger's queue.
  bool colorsEnabled();
  // Returns at once. Installs the default profiles when none are installed.
  void setColorsEnabled(bool enabled);

  void setForegroundColorBackgroundColorForFlag(std::optional<LGColor> fg,
                                                std::optional<LGColor> bg, uint64_t mask) {
    setForegroundColorBackgroundColorForFlagContext(fg, bg, mask, kEveryContext);
  }
  void setForegroundColorBackgroundColorForFlagContext(std::optional<LGColor> fg,
                                                       std::optional<LGColor> bg, uint64_t mask,
                                                       int64_t context);
  // Tags are plat::Values; REQUIRES: a non-nil tag ("Invalid tag").
  void setForegroundColorBackgroundColorForTag(std::optional<LGColor> fg, std::optional<LGColor> bg,
                                               const plat::Value& tag);
  // Context 0 (not every context).
  void clearColorsForFlag(uint64_t mask) { clearColorsForFlagContext(mask, 0); }
  void clearColorsForFlagContext(uint64_t mask, int64_t context);
  void clearColorsForTag(const plat::Value& tag);
  void clearColorsForAllFlags();
  void clearColorsForAllTags();
  void clearAllColors();
  // Error (flag 1) RGB 214 57 30 and warning (flag 2) RGB 204 121 32, every context.
  void loadDefaultColorProfiles();

  bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewlineForCustom_; }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool v) { appendNewlineForCustom_ = v; }

  void logMessage(const LGLogMessage& message) override;

  // Snapshots of the profiles (from the logger's queue, or after the changes have run).
  std::vector<LGTTYLoggerColorProfileRef> colorProfilesArray();
  size_t colorProfilesTagCount();

 private:
  LGTTYLogger();
  // The profile for a message, or null.
  const LGTTYLoggerColorProfile* lt_profileForMessage(const LGLogMessage& message) const;
  void applyProfileChange(std::function<void(LGTTYLogger&)> change);

  std::string appName_;
  std::string processID_;
  std::atomic<bool> appendNewlineForCustom_{true};

  // Touched only on the logger's queue.
  bool colorsEnabled_ = false;
  std::vector<LGTTYLoggerColorProfileRef> colorProfilesArray_;
  std::vector<std::pair<plat::Value, LGTTYLoggerColorProfileRef>> colorProfilesDict_;
};
