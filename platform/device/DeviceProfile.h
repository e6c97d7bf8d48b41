#pragma once
// plat::DeviceProfile: the facts a phone tells about itself (its identifiers, name, system,
// model, screen, battery, locale, carrier, Wi-Fi network and disk), answered from Linux
// where Linux has them and settable by tests and by the host where it does not.
//
// Defaults on Linux:
//   advertising identifier  a UUID kept in the platform state (tracking enabled)
//   vendor identifier       a UUID kept in the platform state
//   device name             the host name
//   system name / version   uname's sysname / release
//   model identifier        uname's machine
//   localized model         "Linux"
//   screen pixels           the main screen's bounds times its scale
//   battery level           /sys/class/power_supply (the first "Battery" supply's
//                           "capacity" / 100) while monitoring is on; -1 when unknown or off
//   locale                  language and region of plat::NSLocale's current identifier
//   carrier, Wi-Fi SSID     none
//   disk statistics         statvfs of the asked path
// The two identifiers live in "DeviceProfile.plist" of the platform state folder, so they
// stay the same across launches on one device root (and change with the root).
//
// Thread-safety: has internal synchronization; every operation may be called from any
// thread, except screenPixelSize(), whose default reads the main screen (main thread).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

struct CarrierInfo {
  std::string carrierName;
  std::optional<std::string> mobileNetworkCode;  // may be absent on the phone as well
  std::optional<std::string> mobileCountryCode;
};

struct FileSystemStatistics {
  uint64_t totalBytes = 0;
  uint64_t availableBytes = 0;  // available to unprivileged users
};

class DeviceProfile {
 public:
  // The process-wide profile (created once, never destroyed).
  static DeviceProfile& current();
  // Forgets every setting (back to the Linux defaults) and the loaded identifiers.
  void resetForTesting();

  // The advertising identifier's UUID text (upper case).
  std::string advertisingIdentifier();
  void setAdvertisingIdentifier(std::optional<std::string> uuid);
  bool isAdvertisingTrackingEnabled();
  void setAdvertisingTrackingEnabled(bool enabled);
  // The vendor identifier's UUID text (upper case).
  std::string identifierForVendor();
  void setIdentifierForVendor(std::optional<std::string> uuid);

  std::string name();
  void setName(std::optional<std::string> name);
  std::string systemName();
  void setSystemName(std::optional<std::string> name);
  std::string systemVersion();
  void setSystemVersion(std::optional<std::string> version);
  // The hardware model identifier ("iPhone10,3" on a phone, uname's machine here).
  std::string modelIdentifier();
  void setModelIdentifier(std::optional<std::string> model);
  // The model's name for people ("iPhone" on a phone); "Linux" here unless set.
  std::string localizedModel();
  void setLocalizedModel(std::optional<std::string> model);

  // Width and height in pixels of the main screen's current mode.
  // REQUIRES: main thread unless a size was set.
  std::pair<double, double> screenPixelSize();
  void setScreenPixelSize(std::optional<std::pair<double, double>> size);

  bool isBatteryMonitoringEnabled();
  void setBatteryMonitoringEnabled(bool enabled);
  // 0 to 1; -1 when unknown or while monitoring is off.
  float batteryLevel();
  // A fixed level (nullopt: read the power-supply folder again).
  void setBatteryLevel(std::optional<float> level);
  // The folder read for the battery ("/sys/class/power_supply" by default).
  void setPowerSupplyRoot(std::string path);

  // Language and country code of the current locale; nullopt when the locale has none.
  std::optional<std::string> languageCode();
  std::optional<std::string> countryCode();
  void setLocale(std::optional<std::string> language, std::optional<std::string> country);

  // The subscriber's cellular provider; none on Linux.
  std::optional<CarrierInfo> carrier();
  void setCarrier(std::optional<CarrierInfo> carrier);
  // The current Wi-Fi network's SSID; none on Linux.
  std::optional<std::string> wifiSSID();
  void setWifiSSID(std::optional<std::string> ssid);

  // Statistics of the file system holding `path`; nullopt when they cannot be read.
  std::optional<FileSystemStatistics> fileSystemStatistics(const std::string& path);
  // Fixed statistics for every path (nullopt: statvfs again).
  void setFileSystemStatistics(std::optional<FileSystemStatistics> stats);

 private:
  DeviceProfile() = default;
  // The stored identifier under `key`, made and stored when missing. REQUIRES: mu_ held.
  std::string storedIdentifierLocked(const char* key);

  std::mutex mu_;
  std::optional<std::string> advertisingId_, vendorId_, name_, systemName_, systemVersion_,
      model_, localizedModel_, language_, country_, ssid_;
  bool localeSet_ = false;
  bool trackingEnabled_ = true;
  std::optional<std::pair<double, double>> screen_;
  bool batteryMonitoring_ = false;
  std::optional<float> battery_;
  std::string powerSupplyRoot_ = "/sys/class/power_supply";
  std::optional<CarrierInfo> carrier_;
  std::optional<FileSystemStatistics> fsStats_;
};

}  // namespace plat
