#include "logging/LGTTYLogger.h"

#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "logging/LGDiagnostics.h"
#include "logging/LGLog.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSProcessInfo.h"

namespace {

constexpr const char* kTTYLoggerName = "vestrel.ttyLogger";
constexpr size_t kStackBufferSize = 4096;

struct ColorState {
  bool colorTerminal = false;
  bool terminal256 = false;
  bool rgbEscapeConsole = false;
  bool tablesBuilt = false;
  std::vector<std::string> fgCodes;
  std::vector<std::string> bgCodes;
  std::vector<LGColor> colors;
};

ColorState& colorState() {
  static auto* state = new ColorState;
  return *state;
}

std::mutex& tableMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::atomic<bool> gSharedExists{false};

const int k16Colors[16][3] = {
    {0, 0, 0},       {194, 54, 33},  {37, 188, 36},  {173, 173, 39},
    {73, 46, 225},   {211, 56, 211}, {51, 187, 200}, {203, 204, 205},
    {129, 131, 131}, {252, 57, 31},  {49, 231, 34},  {234, 236, 35},
    {88, 51, 255},   {249, 53, 248}, {20, 240, 240}, {233, 235, 235},
};

// Measured rows of the 256-colour palette; the rest of the cube follows the common
// 0/95/135/175/215/255 levels and the grey ramp continues its measured steps.
const int kCubeRow16[12][3] = {{47, 49, 49},   {60, 42, 144},  {66, 44, 183},  {73, 46, 222},
                               {81, 50, 253},  {88, 51, 255},  {42, 128, 37},  {42, 127, 128},
                               {44, 126, 169}, {56, 125, 209}, {59, 124, 245}, {66, 123, 255}};
const int kCubeRow124[12][3] = {{214, 57, 30},   {211, 59, 126},  {209, 57, 168},  {208, 55, 208},
                                {207, 58, 247},  {206, 61, 255},  {204, 121, 32},  {202, 121, 121},
                                {201, 121, 161}, {200, 120, 202}, {200, 120, 241}, {198, 119, 255}};
const int kGreyRow232[12][3] = {{52, 53, 53},    {57, 58, 59},    {66, 67, 67},    {75, 76, 76},
                                {83, 85, 85},    {92, 93, 94},    {101, 102, 102}, {109, 111, 111},
                                {118, 119, 119}, {126, 127, 128}, {134, 136, 136}, {143, 144, 145}};

LGColor color256(int n) {
  if (n >= 16 && n < 28)
    return LGColor::fromRGB255(kCubeRow16[n - 16][0], kCubeRow16[n - 16][1], kCubeRow16[n - 16][2]);
  if (n >= 124 && n < 136) {
    return LGColor::fromRGB255(kCubeRow124[n - 124][0], kCubeRow124[n - 124][1],
                               kCubeRow124[n - 124][2]);
  }
  if (n >= 232 && n < 244) {
    return LGColor::fromRGB255(kGreyRow232[n - 232][0], kGreyRow232[n - 232][1],
                               kGreyRow232[n - 232][2]);
  }
  if (n >= 244) {
    int v = 143 + static_cast<int>(std::lround((n - 243) * 8.5));
    return LGColor::fromRGB255(v, v + 1, v + 1);
  }
  static const int levels[6] = {0, 95, 135, 175, 215, 255};
  int i = n - 16;
  return LGColor::fromRGB255(levels[i / 36], levels[(i / 6) % 6], levels[i % 6]);
}

void buildTables(bool use256) {
  std::lock_guard<std::mutex> lock(tableMutex());
  ColorState& s = colorState();
  if (s.tablesBuilt) return;
  if (use256) {
    for (int n = 16; n < 256; ++n) {
      s.fgCodes.push_back(plat::format("38;5;%dm", n));
      s.bgCodes.push_back(plat::format("48;5;%dm", n));
      s.colors.push_back(color256(n));
    }
  } else {
    for (int i = 0; i < 16; ++i) {
      const char* bold = i >= 8 ? "1;" : "";
      s.fgCodes.push_back(plat::format("%s3%dm", bold, i % 8));
      s.bgCodes.push_back(plat::format("%s4%dm", bold, i % 8));
      s.colors.push_back(LGColor::fromRGB255(k16Colors[i][0], k16Colors[i][1], k16Colors[i][2]));
    }
  }
  LGPrecondition(s.fgCodes.size() == s.bgCodes.size() && s.bgCodes.size() == s.colors.size(),
                 "Invalid colors/codes array(s)");
  s.tablesBuilt = true;
}

// Reads the environment into the colour state. REQUIRES: the state is still the default.
void detectTerminalNow() {
  ColorState& s = colorState();
  const char* xcodeColors = std::getenv("XcodeColors");
  const char* term = std::getenv("TERM");
  if (xcodeColors && std::strcmp(xcodeColors, "YES") == 0) {
    s.rgbEscapeConsole = true;
  } else if (term && strcasestr(term, "color")) {
    s.colorTerminal = true;
    if (strcasestr(term, "256")) {
      s.terminal256 = true;
      LGTTYLogger::initialize_colors_256();
    } else {
      LGTTYLogger::initialize_colors_16();
    }
  }
}

void detectTerminal() {
  static std::once_flag once;
  std::call_once(once, detectTerminalNow);
}

uint8_t component255(double fraction) {
  double v = fraction * 255.0;
  if (v < 0) v = 0;
  if (v > 255) v = 255;
  return static_cast<uint8_t>(v);  // truncated
}

}  // namespace

// ---- profiles ------------------------------------------------------------------------------

LGTTYLoggerColorProfileRef
LGTTYLoggerColorProfile::initWithForegroundColorBackgroundColorFlagContext(
    std::optional<LGColor> fg, std::optional<LGColor> bg, uint64_t mask, int64_t context) {
  auto p = std::make_shared<LGTTYLoggerColorProfile>();
  p->mask = mask;
  p->context = context;
  const ColorState& s = colorState();
  auto setCode = [&](const std::optional<LGColor>& color, bool foreground) {
    std::array<char, 24>& code = foreground ? p->fgCode : p->bgCode;
    uint64_t& len = foreground ? p->fgCodeLen : p->bgCodeLen;
    if (!color) return;
    uint8_t r = component255(color->red), g = component255(color->green),
            b = component255(color->blue);
    if (foreground) {
      p->fg_r = r, p->fg_g = g, p->fg_b = b;
    } else {
      p->bg_r = r, p->bg_g = g, p->bg_b = b;
    }
    if (s.colorTerminal) {
      uint64_t index = LGTTYLogger::codeIndexForColor(*color);
      const std::vector<std::string>& table = foreground ? s.fgCodes : s.bgCodes;
      std::string raw = index < table.size() ? table[index] : std::string();
      (foreground ? p->fgCodeIndex : p->bgCodeIndex) = index;
      (foreground ? p->fgCodeRaw : p->bgCodeRaw) = raw;
      std::string seq = "\033[" + raw;
      size_t n = std::min(seq.size(), code.size() - 1);
      std::memcpy(code.data(), seq.data(), n);
      code[n] = '\0';
      len = n;
    } else if (s.rgbEscapeConsole) {
      int n = std::snprintf(code.data(), code.size(),
                            foreground ? "%sfg%u,%u,%u;" : "%sbg%u,%u,%u;", "\033[", r, g, b);
      len = static_cast<uint64_t>(std::min<int>(std::max(n, 0), static_cast<int>(code.size()) - 1));
    }
  };
  setCode(fg, true);
  setCode(bg, false);
  const char* reset = s.colorTerminal ? "\033[0m" : s.rgbEscapeConsole ? "\033[;" : "";
  p->resetCodeLen = std::strlen(reset);
  std::memcpy(p->resetCode.data(), reset, p->resetCodeLen + 1);
  return p;
}

std::string LGTTYLoggerColorProfile::description() const {
  return plat::format(
      "<LGTTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u fgCode:%@ bgCode:%@>",
      static_cast<const void*>(this), static_cast<int>(mask), static_cast<long>(context),
      unsigned(fg_r), unsigned(fg_g), unsigned(fg_b), unsigned(bg_r), unsigned(bg_g),
      unsigned(bg_b), fgCodeRaw, bgCodeRaw);
}

// ---- class operations ----------------------------------------------------------------------

void LGTTYLogger::initialize_colors_16() { buildTables(false); }
void LGTTYLogger::initialize_colors_256() { buildTables(true); }

bool LGTTYLogger::isColorTerminal() { return colorState().colorTerminal; }
bool LGTTYLogger::is256ColorTerminal() { return colorState().terminal256; }
bool LGTTYLogger::isRGBEscapeConsole() { return colorState().rgbEscapeConsole; }
const std::vector<std::string>& LGTTYLogger::foregroundCodes() { return colorState().fgCodes; }
const std::vector<std::string>& LGTTYLogger::backgroundCodes() { return colorState().bgCodes; }
const std::vector<LGColor>& LGTTYLogger::tableColors() { return colorState().colors; }

void LGTTYLogger::getRedGreenBlueFromColor(double* red, double* green, double* blue,
                                           const LGColor& color) {
  if (red) *red = color.red;
  if (green) *green = color.green;
  if (blue) *blue = color.blue;
}

uint64_t LGTTYLogger::codeIndexForColor(const LGColor& color) {
  double r, g, b;
  getRedGreenBlueFromColor(&r, &g, &b, color);
  double best = 100.0;
  uint64_t bestIndex = 0;
  const std::vector<LGColor>& colors = colorState().colors;
  for (size_t i = 0; i < colors.size(); ++i) {
    double r1, g1, b1;
    getRedGreenBlueFromColor(&r1, &g1, &b1, colors[i]);
    double d = std::sqrt((r1 - r) * (r1 - r) + (g1 - g) * (g1 - g) + (b1 - b) * (b1 - b));
    if (d < best) {
      best = d;
      bestIndex = i;
    }
  }
  return bestIndex;
}

const std::shared_ptr<LGTTYLogger>& LGTTYLogger::sharedInstance() {
  static auto* shared = [] {
    detectTerminal();
    auto* p = new std::shared_ptr<LGTTYLogger>(init());
    gSharedExists = true;
    return p;
  }();
  return *shared;
}

void LGTTYLogger::resetForTesting() {
  const auto& shared = sharedInstance();
  {
    std::lock_guard<std::mutex> lock(tableMutex());
    colorState() = ColorState();
  }
  detectTerminalNow();
  shared->setLogFormatter(nullptr);
  shared->setAutomaticallyAppendNewlineForCustomFormatters(true);
  shared->applyProfileChange([](LGTTYLogger& me) {
    me.colorsEnabled_ = false;
    me.colorProfilesArray_.clear();
    me.colorProfilesDict_.clear();
  });
  (void)shared->colorsEnabled();  // waits for the changes above
}

std::shared_ptr<LGTTYLogger> LGTTYLogger::init() {
  if (gSharedExists.load()) return nullptr;
  return std::shared_ptr<LGTTYLogger>(new LGTTYLogger);
}

LGTTYLogger::LGTTYLogger() : LGAbstractLogger(kTTYLoggerName) {
  std::string name = plat::NSProcessInfo::processInfo().processName();
  appName_ = name.empty() ? "<UnnamedApp>" : name;
  processID_ = plat::format("%i", plat::NSProcessInfo::processInfo().processIdentifier());
  // This platform has the unified system log.
  LGDiagnosticLog(
      "Vestrel: Warning: Usage of LGTTYLogger detected when LGOSLogger is available and can be "
      "used! Please consider migrating to LGOSLogger.");
}

// ---- settings and profiles -----------------------------------------------------------------

bool LGTTYLogger::colorsEnabled() {
  bool result = false;
  readOnLoggerQueue([&] { result = colorsEnabled_; });
  return result;
}

void LGTTYLogger::setColorsEnabled(bool enabled) {
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  LGPrecondition(!isOnInternalLoggerQueue(), kLGAccessIvarDirectly);
  applyProfileChange([enabled](LGTTYLogger& me) {
    me.colorsEnabled_ = enabled;
    if (me.colorProfilesArray_.empty()) me.loadDefaultColorProfiles();
  });
}

void LGTTYLogger::applyProfileChange(std::function<void(LGTTYLogger&)> change) {
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  auto me = std::static_pointer_cast<LGTTYLogger>(shared_from_this());
  applyOnLoggerQueue([me, change = std::move(change)] { change(*me); });
}

void LGTTYLogger::setForegroundColorBackgroundColorForFlagContext(std::optional<LGColor> fg,
                                                                  std::optional<LGColor> bg,
                                                                  uint64_t mask, int64_t context) {
  applyProfileChange([fg, bg, mask, context](LGTTYLogger& me) {
    auto profile = LGTTYLoggerColorProfile::initWithForegroundColorBackgroundColorFlagContext(
        fg, bg, mask, context);
    if (!profile) return;
    for (auto& existing : me.colorProfilesArray_) {
      if (existing->mask == mask && existing->context == context) {
        existing = profile;
        return;
      }
    }
    me.colorProfilesArray_.push_back(profile);
  });
}

void LGTTYLogger::setForegroundColorBackgroundColorForTag(std::optional<LGColor> fg,
                                                          std::optional<LGColor> bg,
                                                          const plat::Value& tag) {
  LGPrecondition(!tag.isNil(), "Invalid tag");
  applyProfileChange([fg, bg, tag](LGTTYLogger& me) {
    auto profile =
        LGTTYLoggerColorProfile::initWithForegroundColorBackgroundColorFlagContext(fg, bg, 0, 0);
    if (!profile) return;
    for (auto& entry : me.colorProfilesDict_) {
      if (entry.first == tag) {
        entry.second = profile;
        return;
      }
    }
    me.colorProfilesDict_.emplace_back(tag, profile);
  });
}

void LGTTYLogger::clearColorsForFlagContext(uint64_t mask, int64_t context) {
  applyProfileChange([mask, context](LGTTYLogger& me) {
    auto& list = me.colorProfilesArray_;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if ((*it)->mask == mask && (*it)->context == context) {
        list.erase(it);
        return;
      }
    }
  });
}

void LGTTYLogger::clearColorsForTag(const plat::Value& tag) {
  LGPrecondition(!tag.isNil(), "Invalid tag");
  applyProfileChange([tag](LGTTYLogger& me) {
    auto& dict = me.colorProfilesDict_;
    for (auto it = dict.begin(); it != dict.end(); ++it) {
      if (it->first == tag) {
        dict.erase(it);
        return;
      }
    }
  });
}

void LGTTYLogger::clearColorsForAllFlags() {
  applyProfileChange([](LGTTYLogger& me) { me.colorProfilesArray_.clear(); });
}

void LGTTYLogger::clearColorsForAllTags() {
  applyProfileChange([](LGTTYLogger& me) { me.colorProfilesDict_.clear(); });
}

void LGTTYLogger::clearAllColors() {
  applyProfileChange([](LGTTYLogger& me) {
    me.colorProfilesArray_.clear();
    me.colorProfilesDict_.clear();
  });
}

void LGTTYLogger::loadDefaultColorProfiles() {
  setForegroundColorBackgroundColorForFlag(LGColor::fromRGB255(214, 57, 30), std::nullopt,
                                           LGLogFlagError);
  setForegroundColorBackgroundColorForFlag(LGColor::fromRGB255(204, 121, 32), std::nullopt,
                                           LGLogFlagWarning);
}

std::vector<LGTTYLoggerColorProfileRef> LGTTYLogger::colorProfilesArray() {
  if (isOnInternalLoggerQueue()) return colorProfilesArray_;
  std::vector<LGTTYLoggerColorProfileRef> copy;
  readOnLoggerQueue([&] { copy = colorProfilesArray_; });
  return copy;
}

size_t LGTTYLogger::colorProfilesTagCount() {
  if (isOnInternalLoggerQueue()) return colorProfilesDict_.size();
  size_t n = 0;
  readOnLoggerQueue([&] { n = colorProfilesDict_.size(); });
  return n;
}

// ---- writing -------------------------------------------------------------------------------

const LGTTYLoggerColorProfile* LGTTYLogger::lt_profileForMessage(
    const LGLogMessage& message) const {
  if (!message.tag().isNil()) {
    for (const auto& entry : colorProfilesDict_) {
      if (entry.first == message.tag()) return entry.second.get();
    }
    return nullptr;
  }
  const LGTTYLoggerColorProfile* chosen = nullptr;
  for (const auto& profile : colorProfilesArray_) {
    if (!(profile->mask & message.flag())) continue;
    if (profile->context == message.context()) return profile.get();
    if (profile->context == kEveryContext) chosen = profile.get();
  }
  return chosen;
}

void LGTTYLogger::logMessage(const LGLogMessage& message) {
  LGText text = message.message();
  bool isFormatted = false;
  if (formatter_) {
    text = formatter_->formatLogMessage(message);
    isFormatted = text != message.message();
  }
  if (!text) return;
  const LGTTYLoggerColorProfile* profile = colorsEnabled_ ? lt_profileForMessage(message) : nullptr;

  // The text as a zero-terminated UTF-8 buffer: on the stack when short, else on the heap.
  size_t len = text->size();
  char stackBuffer[kStackBufferSize];
  std::unique_ptr<char[]> heapBuffer;
  char* buffer = stackBuffer;
  if (len + 1 > kStackBufferSize) {
    heapBuffer.reset(new (std::nothrow) char[len + 1]);
    if (!heapBuffer) return;
    buffer = heapBuffer.get();
  }
  std::memcpy(buffer, text->data(), len);
  buffer[len] = '\0';
  bool endsWithNewline = len > 0 && buffer[len - 1] == '\n';

  static char newline[] = "\n";
  static char empty[] = "";
  char* fg = profile ? const_cast<char*>(profile->fgCode.data()) : empty;
  size_t fgLen = profile ? profile->fgCodeLen : 0;
  char* bg = profile ? const_cast<char*>(profile->bgCode.data()) : empty;
  size_t bgLen = profile ? profile->bgCodeLen : 0;
  char* reset = profile ? const_cast<char*>(profile->resetCode.data()) : empty;
  size_t resetLen = profile ? profile->resetCodeLen : 0;

  if (isFormatted) {
    iovec v[5];
    int n = 0;
    v[n++] = {fg, fgLen};
    v[n++] = {bg, bgLen};
    v[n++] = {buffer, len};
    if (appendNewlineForCustom_ && !endsWithNewline) v[n++] = {newline, 1};
    v[n++] = {reset, resetLen};
    plat::writevToStream(STDERR_FILENO, v, n);
    return;
  }

  char ts[32] = {0};
  size_t tsLen = 0;
  if (message.timestamp()) {
    // Whole seconds and the milliseconds within them: exact for every date (nanoseconds
    // since 1970 would overflow before 1677).
    int64_t sec = message.timestamp()->seconds1970();
    int ms = message.timestamp()->nanosecondOfSecond() / 1000000;
    time_t t = static_cast<time_t>(sec);
    struct tm tm {};
    localtime_r(&t, &tm);
    int w = std::snprintf(ts, 24, "%04d-%02d-%02d %02d:%02d:%02d:%03d", tm.tm_year + 1900,
                          tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    tsLen = static_cast<size_t>(std::min(std::max(w, 0), 23));
  }
  char tid[9] = {0};
  size_t tidLen = std::min<size_t>(message.threadID().size(), 8);
  std::memcpy(tid, message.threadID().data(), tidLen);

  static char blank[] = " ";
  static char open[] = "[";
  static char colon[] = ":";
  static char close[] = "] ";
  iovec v[13] = {
      {fg, fgLen},
      {bg, bgLen},
      {ts, tsLen},
      {blank, 1},
      {const_cast<char*>(appName_.data()), appName_.size()},
      {open, 1},
      {const_cast<char*>(processID_.data()), processID_.size()},
      {colon, 1},
      {tid, tidLen},
      {close, 2},
      {buffer, len},
      {newline, endsWithNewline ? 0u : 1u},
      {reset, resetLen},
  };
  plat::writevToStream(STDERR_FILENO, v, 13);
}
