#include "aggregation/KMDevice.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <mutex>

#include "aggregation/KMNetWorkUtil.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/security/SecItem.h"

namespace {

constexpr const char* kZeroUUID = "00000000-0000-0000-0000-000000000000";
constexpr double kGB = 1024.0 * 1024.0 * 1024.0;

plat::Dictionary itemQuery(const std::string& identifier) {
  return plat::Dictionary{{plat::kSecClass, plat::kSecClassGenericPassword},
                          {plat::kSecAttrService, identifier},
                          {plat::kSecAttrAccount, identifier}};
}

plat::DeviceProfile& device() { return plat::DeviceProfile::current(); }

std::mutex& instanceMutex() {
  static auto* m = new std::mutex();
  return *m;
}

}  // namespace

KMDevice& KMDevice::sharedInstance() {
  static KMDevice* instance = [] {
    std::lock_guard<std::mutex> lock(instanceMutex());
    return new KMDevice();
  }();
  return *instance;
}

void KMDevice::resetForTesting() { sharedInstance().setData(); }

void KMDevice::setData() {
  platform = 2;
  deviceImei = deviceImsi = bluetoothMac = osDefaultbrowser = osFlashversion = "";
  deviceDpi = deviceLongitude = deviceLatitude = 0.0;
  osJavasupport = 0;
  deviceID = updateDeviceID();
  idfa = updateIDFA();
  deviceName = updateDeviceName();
  deviceIsMobile = updateDeviceIsMobile();
  deviceWifiMac = updateDeviceWifiMac();
  netType = localNetworkType();
  screen_Height = updateDeviceScreenHeight();
  screen_Width = updateDeviceScreenWidth();
  setDevice_pushToken(updateDevicePushToken());
  osName = updateOsName();
  os_version = updateOsVersion();
  osLanguage = updateOsLanguage();
  osCountryCode = updateOsCountryCode();
  deviceCustomeName = device().name();
  mobileProviderCode = mobileNetProvider();
  wifiName = getWifiName();
  wifiIP = getDeviceIPAddress();
  capacityAll = getTotalDiskSize();
  capacityLast = getAvailableDiskSize();
  powerLast = getBatteryQuantity();
}

std::string KMDevice::updateDeviceID() {
  auto stored = getDataWithIdentifier(kKMDeviceIdentifier);
  if (stored && !stored->empty() && *stored != kZeroUUID) return *stored;
  std::string id = device().advertisingIdentifier();
  if (id.empty() || id == kZeroUUID) id = plat::format("IDFV%@", device().identifierForVendor());
  saveMessageWithDataIdentifier(id, kKMDeviceIdentifier);
  return id;
}

std::string KMDevice::updateIDFA() {
  return device().isAdvertisingTrackingEnabled() ? device().advertisingIdentifier() : "";
}

std::string KMDevice::updateDeviceName() { return device().modelIdentifier(); }

int64_t KMDevice::updateDeviceIsMobile() {
  return deviceName.find("iPhone") != std::string::npos ? 1 : 0;
}

std::string KMDevice::localNetworkType() {
  return plat::format("%d", KMNetWorkUtil::sharedInstance().networkType() == 1 ? 2 : 0);
}

std::optional<std::string> KMDevice::mobileNetProvider() {
  auto carrier = device().carrier();
  if (!carrier) return std::string();
  plat::NSLog("运营商:%@", carrier->carrierName);
  return carrier->mobileNetworkCode;
}

double KMDevice::updateDeviceScreenHeight() { return device().screenPixelSize().second; }
double KMDevice::updateDeviceScreenWidth() { return device().screenPixelSize().first; }
std::string KMDevice::updateOsName() { return device().systemName(); }
std::string KMDevice::updateOsVersion() { return device().systemVersion(); }

std::string KMDevice::updateOsLanguage() { return device().languageCode().value_or(""); }

std::string KMDevice::updateOsCountryCode() { return device().countryCode().value_or(""); }

std::string KMDevice::getWifiName() { return device().wifiSSID().value_or(""); }

std::string KMDevice::getDeviceIPAddress() {
  // The platform's list names the Wi-Fi interface "en0" as the phone does.
  std::string result;
  auto list = plat::InterfaceAddresses::list();
  if (!list) return result;
  for (const auto& a : *list) {
    if (a.family != AF_INET || a.address.size() != 4 || a.name != "en0") continue;
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, a.address.data(), buf, sizeof(buf));
    result = buf;
  }
  return result;
}

float KMDevice::getTotalDiskSize() {
  auto s = device().fileSystemStatistics("/var");
  return s ? static_cast<float>(static_cast<double>(s->totalBytes) / kGB) : 16.0f;
}

float KMDevice::getAvailableDiskSize() {
  auto s = device().fileSystemStatistics("/var");
  return s ? static_cast<float>(static_cast<double>(s->availableBytes) / kGB) : 16.0f;
}

float KMDevice::getBatteryQuantity() {
  device().setBatteryMonitoringEnabled(true);
  float level = device().batteryLevel();
  if (level < 0) level = 1;
  if (level < 0.01f) return 1;
  return level * 100;
}

void KMDevice::saveMessageWithDataIdentifier(const std::string& value,
                                             const std::string& identifier) {
  plat::Data archive = plat::NSKeyedArchiver::archivedDataWithRootObject(
      plat::Value(plat::Dictionary{{kKMDeviceDataKey, value}}));
  plat::Dictionary query = itemQuery(identifier);
  plat::SecItemDelete(query);
  query.set(plat::kSecAttrAccessible, plat::kSecAttrAccessibleAfterFirstUnlock);
  query.set(plat::kSecValueData, archive);
  plat::SecItemAdd(query);
}

std::optional<std::string> KMDevice::getDataWithIdentifier(const std::string& identifier) {
  plat::Dictionary query = itemQuery(identifier);
  query.set(plat::kSecReturnData, true);
  query.set(plat::kSecMatchLimit, plat::kSecMatchLimitOne);
  plat::Value result;
  if (plat::SecItemCopyMatching(query, &result) != plat::errSecSuccess) return std::nullopt;
  if (!result.isData()) {
    plat::NSLog("%@在keychain中,没有获取到数据", identifier);
    return std::nullopt;
  }
  plat::NSErrorRef error;
  plat::Value dict = plat::NSKeyedUnarchiver::unarchiveObjectWithData(*result.data(), &error);
  if (error || !dict.dictionary()) {
    plat::NSLog("Unarchive of %@ failed: %@", identifier,
                error ? plat::Value(error) : plat::Value("not a dictionary"));
    return std::nullopt;
  }
  const plat::Value& v = dict[kKMDeviceDataKey];
  if (!v.isString()) return std::nullopt;
  return *v.string();
}

void KMDevice::removeDataWithIdentifier(const std::string& identifier) {
  plat::Dictionary query = itemQuery(identifier);
  plat::SecItemDelete(query);
  query.set(plat::kSecAttrAccessible, plat::kSecAttrAccessibleAfterFirstUnlock);
  plat::SecItemAdd(query);
}

void KMDevice::savePushToken(const std::string& token) {
  if (token.empty()) return;
  setDevice_pushToken(token);
  auto defaults = plat::NSUserDefaults::standardUserDefaults();
  defaults->setObjectForKey(plat::Value(token), kKMPushTokenDefaultsKey);
  defaults->synchronize();
}

std::string KMDevice::device_pushToken() const {
  std::lock_guard<std::mutex> lock(pushTokenMu_);
  return pushToken_;
}

void KMDevice::setDevice_pushToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(pushTokenMu_);
  pushToken_ = token;
}
