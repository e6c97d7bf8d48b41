#include "platform/foundation/NSLocale.h"

#include <cstdlib>
#include <mutex>

namespace plat {

namespace {

struct LocaleState {
  std::mutex mutex;
  std::vector<std::string> languages;  // set by the host or tests; empty: the environment
};

LocaleState& state() {
  static LocaleState* s = new LocaleState();
  return *s;
}

std::string environmentLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (v && *v) return v;
  }
  return "";
}

}  // namespace

std::string NSLocale::languageTagFromPOSIXLocale(const std::string& posixName) {
  std::string name = posixName.substr(0, posixName.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return "en-US";
  std::string lang = name, region;
  if (size_t sep = name.find_first_of("_-"); sep != std::string::npos) {
    lang = name.substr(0, sep);
    region = name.substr(sep + 1);
  }
  if (lang == "zh" && region.find('-') == std::string::npos) {
    bool traditional = region == "TW" || region == "HK" || region == "MO";
    lang += traditional ? "-Hant" : "-Hans";
  }
  return region.empty() ? lang : lang + "-" + region;
}

std::vector<std::string> NSLocale::preferredLanguages() {
  {
    LocaleState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.languages.empty()) return s.languages;
  }
  return {languageTagFromPOSIXLocale(environmentLocale())};
}

void NSLocale::setPreferredLanguages(std::vector<std::string> languages) {
  LocaleState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.languages = std::move(languages);
}

std::string NSLocale::currentLocaleIdentifier() {
  std::string tag = preferredLanguages().front();
  // "zh-Hans-CN" -> "zh_CN": the script is not part of the POSIX-style identifier.
  std::string lang = tag.substr(0, tag.find('-'));
  size_t last = tag.rfind('-');
  if (last == std::string::npos) return lang;
  std::string region = tag.substr(last + 1);
  bool isRegion = region.size() == 2 || (region.size() == 3 && isdigit(region[0]));
  return isRegion ? lang + "_" + region : lang;
}

}  // namespace plat
