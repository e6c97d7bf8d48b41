#pragma once
// plat::NSBundle: a folder of resources. The main bundle is the application's folder: its
// "Info.plist" (XML, binary or text property list), configuration files, resource bundles
// such as "Lumora.bundle" (opened with bundleWithPath), and localized string tables in
// "<language>.lproj/<table>.strings".
//
// Resource lookup looks in the bundle's folder (or the given subfolder), then in the
// language folders of preferredLocalizations(). String tables are parsed once and kept.
//
// Thread-safe. Bundles are shared: bundleWithPath returns the same object for the same
// folder until the main bundle's folder is set again.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

namespace plat {

class NSBundle : public Object {
 public:
  // The application's bundle: the folder set with setMainBundlePath, or else the folder of
  // the running executable. Never null.
  static std::shared_ptr<NSBundle> mainBundle();
  // Chooses the main bundle's folder (the host program and tests).
  static void setMainBundlePath(const std::string& path);
  // The bundle at path, or nullptr when path is not a folder.
  static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);

  explicit NSBundle(std::string path);
  std::string className() const override { return "NSBundle"; }

  const std::string& bundlePath() const { return path_; }
  const std::string& resourcePath() const { return path_; }

  // The parsed Info.plist; an empty dictionary when it is missing or not a dictionary.
  const Dictionary& infoDictionary() const;
  // The Info.plist value for key, of whatever type it has there; nil when missing.
  Value objectForInfoDictionaryKey(std::string_view key) const;
  // "CFBundleIdentifier", or "" when the Info.plist has none.
  std::string bundleIdentifier() const;

  // The path of resource "name.type" ("name" alone when type is empty; a leading "." of
  // type is ignored; name may hold subfolders). Files and folders both count. Returns ""
  // when there is no such resource or name is empty.
  std::string pathForResourceOfType(std::string_view name, std::string_view type) const;
  std::string pathForResourceOfTypeInDirectory(std::string_view name, std::string_view type,
                                               std::string_view subdirectory) const;
  // Every resource with extension type (all when type is empty) in the subfolder (the
  // bundle's folder when empty) and its language folders, sorted by path.
  std::vector<std::string> pathsForResourcesOfTypeInDirectory(
      std::string_view type, std::string_view subdirectory = {}) const;

  // The text for key in the string table ("Localizable" when table is empty), looked up in
  // the language folders in the order of preferredLocalizations(), then in a table at the
  // bundle's top. When no table has the key: value when it is not empty, else key.
  std::string localizedStringForKeyValueTable(std::string_view key, std::string_view value = {},
                                              std::string_view table = {}) const;

  // The bundle's language folders without ".lproj", sorted (listed once: bundles are
  // read-only).
  std::vector<std::string> localizations() const;
  // "CFBundleDevelopmentRegion", or "en".
  std::string developmentLocalization() const;
  // The localizations to use, best first: those matching NSLocale::preferredLanguages()
  // (an exact tag, then the tag with trailing subtags dropped: "zh-Hans-CN", "zh-Hans",
  // "zh"), then the development localization and "Base" when the bundle has them.
  std::vector<std::string> preferredLocalizations() const;

 private:
  const Dictionary& stringTable(const std::string& folder, const std::string& table) const;

  std::string path_;
  mutable std::once_flag infoOnce_;
  mutable Dictionary info_;
  mutable std::once_flag localizationsOnce_;
  mutable std::vector<std::string> localizations_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, Dictionary> tables_;  // "<folder>/<table>" -> entries
};

}  // namespace plat
