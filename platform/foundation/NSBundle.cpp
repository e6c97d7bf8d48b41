#include "platform/foundation/NSBundle.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace plat {

namespace {

constexpr const char* kInfoPlist = "Info.plist";
constexpr const char* kLprojSuffix = ".lproj";

struct BundleRegistry {
  std::mutex mutex;
  std::string mainPath;
  std::shared_ptr<NSBundle> main;
  std::unordered_map<std::string, std::shared_ptr<NSBundle>> byPath;
};

BundleRegistry& registry() {
  static BundleRegistry* r = new BundleRegistry();
  return *r;
}

std::string normalize(const std::string& path) {
  std::string p = std::filesystem::path(path).lexically_normal().string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string executableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string join(const std::string& a, std::string_view b) {
  if (b.empty()) return a;
  return a + "/" + std::string(b);
}

bool isFolder(const std::string& path) {
  bool dir = false;
  return NSFileManager::defaultManager().fileExistsAtPath(path, &dir) && dir;
}

std::string fileName(std::string_view name, std::string_view type) {
  if (!type.empty() && type.front() == '.') type.remove_prefix(1);
  std::string file(name);
  if (!type.empty()) file.append(".").append(type);
  return file;
}

}  // namespace

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
  BundleRegistry& r = registry();
  std::string path;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.main) return r.main;
    path = r.mainPath.empty() ? executableFolder() : r.mainPath;
  }
  auto bundle = std::make_shared<NSBundle>(normalize(path));
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.main) r.main = bundle;
  return r.main;
}

void NSBundle::setMainBundlePath(const std::string& path) {
  BundleRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.mainPath = path;
  r.main.reset();
  // A new folder may hold other bundles under the same names: start afresh.
  r.byPath.clear();
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
  if (path.empty() || !isFolder(path)) return nullptr;
  std::string key = normalize(path);
  BundleRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto& slot = r.byPath[key];
  if (!slot) slot = std::make_shared<NSBundle>(key);
  return slot;
}

NSBundle::NSBundle(std::string path) : path_(std::move(path)) {}

const Dictionary& NSBundle::infoDictionary() const {
  std::call_once(infoOnce_, [this] {
    auto bytes = dataWithContentsOfFile(join(path_, kInfoPlist));
    if (!bytes) return;
    Value v = NSPropertyListSerialization::propertyListWithData(*bytes);
    if (const Dictionary* d = v.dictionary()) info_ = *d;
  });
  return info_;
}

Value NSBundle::objectForInfoDictionaryKey(std::string_view key) const {
  return infoDictionary().get(key);
}

std::string NSBundle::bundleIdentifier() const {
  return infoDictionary().get("CFBundleIdentifier").stringOr();
}

std::string NSBundle::pathForResourceOfType(std::string_view name, std::string_view type) const {
  return pathForResourceOfTypeInDirectory(name, type, {});
}

std::string NSBundle::pathForResourceOfTypeInDirectory(std::string_view name, std::string_view type,
                                                       std::string_view subdirectory) const {
  if (name.empty()) return "";
  std::string file = fileName(name, type);
  auto& fm = NSFileManager::defaultManager();
  std::string direct = join(join(path_, subdirectory), file);
  if (fm.fileExistsAtPath(direct)) return direct;
  for (const std::string& lang : preferredLocalizations()) {
    std::string localized = join(join(join(path_, subdirectory), lang + kLprojSuffix), file);
    if (fm.fileExistsAtPath(localized)) return localized;
  }
  return "";
}

std::vector<std::string> NSBundle::pathsForResourcesOfTypeInDirectory(
    std::string_view type, std::string_view subdirectory) const {
  if (!type.empty() && type.front() == '.') type.remove_prefix(1);
  std::string suffix;
  if (!type.empty()) suffix.append(".").append(type);
  auto& fm = NSFileManager::defaultManager();
  std::vector<std::string> folders{join(path_, subdirectory)};
  std::vector<std::string> langs = preferredLocalizations();
  if (!langs.empty()) folders.push_back(join(folders.front(), langs.front() + kLprojSuffix));
  std::vector<std::string> paths;
  for (const std::string& folder : folders) {
    for (const std::string& name : fm.contentsOfDirectoryAtPathError(folder)) {
      if (suffix.empty()
              ? name.size() > std::string(kLprojSuffix).size() && name.ends_with(kLprojSuffix)
              : !(name.size() > suffix.size() && name.ends_with(suffix)))
        continue;
      paths.push_back(join(folder, name));
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

const Dictionary& NSBundle::stringTable(const std::string& folder, const std::string& table) const {
  std::string key = folder + "/" + table;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tables_.find(key);
  if (it != tables_.end()) return it->second;
  Dictionary entries;
  if (auto bytes = dataWithContentsOfFile(join(folder, table + ".strings"))) {
    Value v = NSPropertyListSerialization::propertyListWithData(*bytes);
    if (const Dictionary* d = v.dictionary()) entries = *d;
  }
  return tables_.emplace(key, std::move(entries)).first->second;
}

std::string NSBundle::localizedStringForKeyValueTable(std::string_view key, std::string_view value,
                                                      std::string_view table) const {
  std::string tableName = table.empty() ? "Localizable" : std::string(table);
  std::vector<std::string> folders;
  for (const std::string& lang : preferredLocalizations())
    folders.push_back(join(path_, lang + kLprojSuffix));
  folders.push_back(path_);
  for (const std::string& folder : folders) {
    const Value& found = stringTable(folder, tableName).get(key);
    if (found.isString()) return *found.string();
  }
  return std::string(value.empty() ? key : value);
}

std::vector<std::string> NSBundle::localizations() const {
  // A bundle's folder is read-only: list its language folders once.
  std::call_once(localizationsOnce_, [this] {
    for (const std::string& name :
         NSFileManager::defaultManager().contentsOfDirectoryAtPathError(path_)) {
      if (name.size() > 6 && name.ends_with(kLprojSuffix) && isFolder(join(path_, name)))
        localizations_.push_back(name.substr(0, name.size() - 6));
    }
  });
  return localizations_;
}

std::string NSBundle::developmentLocalization() const {
  const Value& v = infoDictionary().get("CFBundleDevelopmentRegion");
  return v.isString() && !v.string()->empty() ? *v.string() : "en";
}

std::vector<std::string> NSBundle::preferredLocalizations() const {
  std::vector<std::string> available = localizations();
  std::vector<std::string> out;
  auto add = [&](const std::string& lang) {
    if (std::find(available.begin(), available.end(), lang) != available.end() &&
        std::find(out.begin(), out.end(), lang) == out.end())
      out.push_back(lang);
  };
  for (std::string tag : NSLocale::preferredLanguages()) {
    std::replace(tag.begin(), tag.end(), '_', '-');
    for (;;) {
      size_t before = out.size();
      add(tag);
      if (out.size() > before) break;
      size_t dash = tag.rfind('-');
      if (dash == std::string::npos) break;
      tag.resize(dash);
    }
  }
  add(developmentLocalization());
  add("Base");
  return out;
}

}  // namespace plat
