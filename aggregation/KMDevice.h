#pragma once
// KMDevice: the device facts the aggregation SDK sends to its servers, gathered once when
// the shared instance is made (setData), plus a device identifier that persists in the
// keychain (item "com.zolnetic.deviceid") across reinstalls.
//
// Threading: the shared instance is made once, thread-safely; its facts are then read from
// any thread. The push token is guarded by a lock of its own: savePushToken may be called
// from any thread while device_pushToken is read on another. The keychain helpers may be
// called from any thread; writes to the other facts are meant for the main thread.

#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

inline constexpr const char* kKMDeviceIdentifier = "com.zolnetic.deviceid";
inline constexpr const char* kKMDeviceDataKey = "com.zolnetic.data";
inline constexpr const char* kKMPushTokenDefaultsKey = "KEY_PUSH_TOKEN_KEY";

class KMDevice {
 public:
  static KMDevice& sharedInstance();
  // Gathers the facts again (tests change the device between cases).
  static void resetForTesting();

  int64_t platform = 2;
  std::string deviceImei, deviceImsi, bluetoothMac, osDefaultbrowser, osFlashversion;
  double deviceDpi = 0, deviceLongitude = 0, deviceLatitude = 0;
  int64_t osJavasupport = 0;
  std::string deviceID, idfa, deviceName;
  int64_t deviceIsMobile = 0;
  std::string deviceWifiMac, netType;
  double screen_Height = 0, screen_Width = 0;
  std::string osName, os_version, osLanguage, osCountryCode, deviceCustomeName;
  std::optional<std::string> mobileProviderCode;  // nullopt: a carrier without a network code
  std::string wifiName, wifiIP;
  float capacityAll = 0, capacityLast = 0, powerLast = 0;

  void setData();

  // The stored identifier, else the advertising identifier, else "IDFV" + vendor identifier;
  // stored when it was not.
  std::string updateDeviceID();
  std::string updateIDFA();
  std::string updateDeviceName();
  int64_t updateDeviceIsMobile();
  std::string updateDeviceWifiMac() { return ""; }
  std::string localNetworkType();
  std::optional<std::string> mobileNetProvider();
  double updateDeviceScreenHeight();
  double updateDeviceScreenWidth();
  std::string updateDevicePushToken() { return "v2"; }
  std::string updateOsName();
  std::string updateOsVersion();
  std::string updateOsLanguage();
  std::string updateOsCountryCode();
  std::string getWifiName();
  std::string getDeviceIPAddress();
  // Gigabytes of the file system of "/var" (16 when unreadable).
  float getTotalDiskSize();
  float getAvailableDiskSize();
  // Battery percent: 1 for a level below 0.01, 100 when unknown, else level x 100.
  float getBatteryQuantity();

  // Keychain: the identifier's item holds a keyed archive of {"com.zolnetic.data": value}.
  void saveMessageWithDataIdentifier(const std::string& value, const std::string& identifier);
  // The stored value; nullopt when there is none (or it cannot be read).
  std::optional<std::string> getDataWithIdentifier(const std::string& identifier);
  // Leaves an item without data, so the next updateDeviceID makes a new identifier.
  void removeDataWithIdentifier(const std::string& identifier);

  // "v2" until a push token is saved. Any thread.
  std::string device_pushToken() const;
  void setDevice_pushToken(const std::string& token);
  // Ignores "". Otherwise device_pushToken and the user default "KEY_PUSH_TOKEN_KEY"
  // (synchronised). Any thread.
  void savePushToken(const std::string& token);

 private:
  KMDevice() { setData(); }
  mutable std::mutex pushTokenMu_;
  std::string pushToken_;
};
