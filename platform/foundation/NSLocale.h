#pragma once
// plat::NSLocale: the user's language preferences. The preferred languages come from the
// environment (LC_ALL, then LC_MESSAGES, then LANG: "zh_CN.UTF-8" reads as "zh-Hans-CN",
// "zh_TW" as "zh-Hant-TW", "en_US" as "en-US"; "C", "POSIX" or nothing as "en-US"), unless
// the host or a test sets them.
//
// Thread-safe.

#include <string>
#include <vector>

namespace plat {

class NSLocale {
 public:
  // Language tags in order of preference; never empty.
  static std::vector<std::string> preferredLanguages();
  // Replaces the preferred languages; an empty list goes back to the environment.
  static void setPreferredLanguages(std::vector<std::string> languages);
  // The current locale's identifier with "_" ("en_US", "zh_CN"), from the same source.
  static std::string currentLocaleIdentifier();
  // The language tag of a POSIX locale name ("zh_CN.UTF-8@x" -> "zh-Hans-CN").
  static std::string languageTagFromPOSIXLocale(const std::string& posixName);
};

}  // namespace plat
