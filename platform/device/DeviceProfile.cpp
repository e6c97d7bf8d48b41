#include "platform/device/DeviceProfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/NSUUID.h"
#include "platform/uikit/UIScreen.h"

namespace plat {

namespace {

constexpr const char* kStateFile = "DeviceProfile.plist";
constexpr const char* kAdvertisingKey = "advertisingIdentifier";
constexpr const char* kVendorKey = "identifierForVendor";

// Reads a small regular file; never opens a pipe or device for blocking reads.
std::optional<std::string> readSmallFile(const std::string& path, size_t limit = 1 << 16) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::optional<std::string> out;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string buf(limit, '\0');
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n >= 0) out = buf.substr(0, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

struct utsname unameOf() {
  struct utsname u {};
  uname(&u);
  return u;
}

}  // namespace

DeviceProfile& DeviceProfile::current() {
  static auto* profile = new DeviceProfile();
  return *profile;
}

void DeviceProfile::resetForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  advertisingId_.reset();
  vendorId_.reset();
  name_.reset();
  systemName_.reset();
  systemVersion_.reset();
  model_.reset();
  localizedModel_.reset();
  language_.reset();
  country_.reset();
  ssid_.reset();
  localeSet_ = false;
  trackingEnabled_ = true;
  screen_.reset();
  batteryMonitoring_ = false;
  battery_.reset();
  powerSupplyRoot_ = "/sys/class/power_supply";
  carrier_.reset();
  fsStats_.reset();
}

std::string DeviceProfile::storedIdentifierLocked(const char* key) {
  std::string path = DeviceRoot::platformStatePath() + "/" + kStateFile;
  Dictionary stored;
  if (auto bytes = readSmallFile(path)) {
    Value v = NSPropertyListSerialization::propertyListWithData(Data::fromString(*bytes));
    if (v.dictionary()) stored = *v.dictionary();
  }
  const Value& existing = stored.get(key);
  if (existing.isString() && NSUUID::fromString(*existing.string())) return *existing.string();
  std::string made = NSUUID().UUIDString();
  stored.set(key, made);
  Data out = NSPropertyListSerialization::dataWithPropertyList(
      Value(stored), NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0);
  // Written whole under a temporary name, then renamed, so a crash never leaves half a file.
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    bool ok = ::write(fd, out.bytes(), out.length()) == static_cast<ssize_t>(out.length());
    ::close(fd);
    if (ok) rename(tmp.c_str(), path.c_str());
    else unlink(tmp.c_str());
  }
  return made;
}

std::string DeviceProfile::advertisingIdentifier() {
  std::lock_guard<std::mutex> lock(mu_);
  return advertisingId_ ? *advertisingId_ : storedIdentifierLocked(kAdvertisingKey);
}
void DeviceProfile::setAdvertisingIdentifier(std::optional<std::string> uuid) {
  std::lock_guard<std::mutex> lock(mu_);
  advertisingId_ = std::move(uuid);
}
bool DeviceProfile::isAdvertisingTrackingEnabled() {
  std::lock_guard<std::mutex> lock(mu_);
  return trackingEnabled_;
}
void DeviceProfile::setAdvertisingTrackingEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  trackingEnabled_ = enabled;
}
std::string DeviceProfile::identifierForVendor() {
  std::lock_guard<std::mutex> lock(mu_);
  return vendorId_ ? *vendorId_ : storedIdentifierLocked(kVendorKey);
}
void DeviceProfile::setIdentifierForVendor(std::optional<std::string> uuid) {
  std::lock_guard<std::mutex> lock(mu_);
  vendorId_ = std::move(uuid);
}

std::string DeviceProfile::name() {
  std::lock_guard<std::mutex> lock(mu_);
  if (name_) return *name_;
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  return host;
}
void DeviceProfile::setName(std::optional<std::string> name) {
  std::lock_guard<std::mutex> lock(mu_);
  name_ = std::move(name);
}
std::string DeviceProfile::systemName() {
  std::lock_guard<std::mutex> lock(mu_);
  return systemName_ ? *systemName_ : std::string(unameOf().sysname);
}
void DeviceProfile::setSystemName(std::optional<std::string> name) {
  std::lock_guard<std::mutex> lock(mu_);
  systemName_ = std::move(name);
}
std::string DeviceProfile::systemVersion() {
  std::lock_guard<std::mutex> lock(mu_);
  return systemVersion_ ? *systemVersion_ : std::string(unameOf().release);
}
void DeviceProfile::setSystemVersion(std::optional<std::string> version) {
  std::lock_guard<std::mutex> lock(mu_);
  systemVersion_ = std::move(version);
}
std::string DeviceProfile::modelIdentifier() {
  std::lock_guard<std::mutex> lock(mu_);
  return model_ ? *model_ : std::string(unameOf().machine);
}
void DeviceProfile::setModelIdentifier(std::optional<std::string> model) {
  std::lock_guard<std::mutex> lock(mu_);
  model_ = std::move(model);
}

std::string DeviceProfile::localizedModel() {
  std::lock_guard<std::mutex> lock(mu_);
  return localizedModel_.value_or("Linux");
}
void DeviceProfile::setLocalizedModel(std::optional<std::string> model) {
  std::lock_guard<std::mutex> lock(mu_);
  localizedModel_ = std::move(model);
}

std::pair<double, double> DeviceProfile::screenPixelSize() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (screen_) return *screen_;
  }
  CGRect r = UIScreen::mainScreen().nativeBounds();
  return {r.size.width, r.size.height};
}
void DeviceProfile::setScreenPixelSize(std::optional<std::pair<double, double>> size) {
  std::lock_guard<std::mutex> lock(mu_);
  screen_ = size;
}

bool DeviceProfile::isBatteryMonitoringEnabled() {
  std::lock_guard<std::mutex> lock(mu_);
  return batteryMonitoring_;
}
void DeviceProfile::setBatteryMonitoringEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  batteryMonitoring_ = enabled;
}
float DeviceProfile::batteryLevel() {
  std::string root;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!batteryMonitoring_) return -1;
    if (battery_) return *battery_;
    root = powerSupplyRoot_;
  }
  DIR* d = opendir(root.c_str());
  if (!d) return -1;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (auto& n : names) {
    auto type = readSmallFile(root + "/" + n + "/type", 64);
    if (!type || trim(*type) != "Battery") continue;
    auto cap = readSmallFile(root + "/" + n + "/capacity", 64);
    if (!cap) continue;
    std::string c = trim(*cap);
    if (c.empty() || c.size() > 3 || !std::all_of(c.begin(), c.end(), ::isdigit)) continue;
    int percent = std::stoi(c);
    if (percent > 100) continue;
    return static_cast<float>(percent) / 100.0f;
  }
  return -1;
}
void DeviceProfile::setBatteryLevel(std::optional<float> level) {
  std::lock_guard<std::mutex> lock(mu_);
  battery_ = level;
}
void DeviceProfile::setPowerSupplyRoot(std::string path) {
  std::lock_guard<std::mutex> lock(mu_);
  powerSupplyRoot_ = std::move(path);
}

std::optional<std::string> DeviceProfile::languageCode() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (localeSet_) return language_;
  }
  std::string id = NSLocale::currentLocaleIdentifier();
  std::string lang = id.substr(0, id.find('_'));
  if (lang.empty()) return std::nullopt;
  return lang;
}
std::optional<std::string> DeviceProfile::countryCode() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (localeSet_) return country_;
  }
  std::string id = NSLocale::currentLocaleIdentifier();
  size_t us = id.find('_');
  if (us == std::string::npos || us + 1 >= id.size()) return std::nullopt;
  return id.substr(us + 1);
}
void DeviceProfile::setLocale(std::optional<std::string> language,
                              std::optional<std::string> country) {
  std::lock_guard<std::mutex> lock(mu_);
  localeSet_ = true;
  language_ = std::move(language);
  country_ = std::move(country);
}

std::optional<CarrierInfo> DeviceProfile::carrier() {
  std::lock_guard<std::mutex> lock(mu_);
  return carrier_;
}
void DeviceProfile::setCarrier(std::optional<CarrierInfo> carrier) {
  std::lock_guard<std::mutex> lock(mu_);
  carrier_ = std::move(carrier);
}
std::optional<std::string> DeviceProfile::wifiSSID() {
  std::lock_guard<std::mutex> lock(mu_);
  return ssid_;
}
void DeviceProfile::setWifiSSID(std::optional<std::string> ssid) {
  std::lock_guard<std::mutex> lock(mu_);
  ssid_ = std::move(ssid);
}

std::optional<FileSystemStatistics> DeviceProfile::fileSystemStatistics(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (fsStats_) return fsStats_;
  }
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) return std::nullopt;
  FileSystemStatistics s;
  s.totalBytes = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  s.availableBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return s;
}
void DeviceProfile::setFileSystemStatistics(std::optional<FileSystemStatistics> stats) {
  std::lock_guard<std::mutex> lock(mu_);
  fsStats_ = stats;
}

}  // namespace plat
