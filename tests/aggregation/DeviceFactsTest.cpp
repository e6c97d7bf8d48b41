// Device facts with injected sources, and the device identifier kept in the keychain.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "aggregation/KMDevice.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/network/SCNetworkReachability.h"
#include "platform/security/SecItem.h"
#include "testing/device/TempDeviceRoot.h"

using namespace plat;

namespace {

constexpr const char* kZero = "00000000-0000-0000-0000-000000000000";
constexpr const char* kAd = "AAAAAAAA-1111-2222-3333-444444444444";
constexpr const char* kVendor = "BBBBBBBB-1111-2222-3333-444444444444";

class DeviceFactsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NSUserDefaults::resetStandardUserDefaults();
    profile.setAdvertisingIdentifier(kAd);
    profile.setIdentifierForVendor(kVendor);
  }
  void TearDown() override {
    InterfaceAddresses::resetForTesting();
    profile.resetForTesting();
    NSUserDefaults::resetStandardUserDefaults();
  }
  KMDevice& fresh() {
    KMDevice::resetForTesting();
    return KMDevice::sharedInstance();
  }
  testing_device::TempDeviceRoot root;
  DeviceProfile& profile = DeviceProfile::current();
};

TEST_F(DeviceFactsTest, DeviceIdentifierPersistsInTheKeychain) {
  EXPECT_EQ(fresh().deviceID, kAd);
  // Stored as a keyed archive of {"com.zolnetic.data": id} under service and account.
  Value data;
  ASSERT_EQ(SecItemCopyMatching({{kSecClass, kSecClassGenericPassword},
                                 {kSecAttrService, "com.zolnetic.deviceid"},
                                 {kSecAttrAccount, "com.zolnetic.deviceid"},
                                 {kSecReturnData, true}},
                                &data),
            errSecSuccess);
  ASSERT_TRUE(data.isData());
  EXPECT_EQ(NSKeyedUnarchiver::unarchiveObjectWithData(*data.data())["com.zolnetic.data"],
            Value(kAd));

  // Kept across launches even when the advertising identifier changes.
  profile.setAdvertisingIdentifier("CCCCCCCC-1111-2222-3333-444444444444");
  EXPECT_EQ(fresh().deviceID, kAd);

  // Reset: the item loses its data, so the next launch makes a new identifier.
  KMDevice::sharedInstance().removeDataWithIdentifier(kKMDeviceIdentifier);
  EXPECT_FALSE(KMDevice::sharedInstance().getDataWithIdentifier(kKMDeviceIdentifier));
  EXPECT_EQ(KMDevice::sharedInstance().deviceID, kAd) << "the running instance keeps its id";
  EXPECT_EQ(fresh().deviceID, "CCCCCCCC-1111-2222-3333-444444444444");

  // A stored all-zero identifier is replaced; an all-zero advertising id falls back to IDFV.
  KMDevice::sharedInstance().saveMessageWithDataIdentifier(kZero, kKMDeviceIdentifier);
  profile.setAdvertisingIdentifier(kZero);
  EXPECT_EQ(fresh().deviceID, std::string("IDFV") + kVendor);
  EXPECT_EQ(*KMDevice::sharedInstance().getDataWithIdentifier(kKMDeviceIdentifier),
            std::string("IDFV") + kVendor);
}

TEST_F(DeviceFactsTest, AdvertisingTrackingOffHidesTheIdfaOnly) {
  profile.setAdvertisingTrackingEnabled(false);
  KMDevice& d = fresh();
  EXPECT_EQ(d.idfa, "");
  EXPECT_EQ(d.deviceID, kAd);
}

TEST_F(DeviceFactsTest, NetworkTypeIsTwoOnCellularOnly) {
  auto source = std::make_shared<FakeReachabilitySource>(kSCNetworkReachabilityFlagsReachable |
                                                         kSCNetworkReachabilityFlagsIsWWAN);
  ReachabilitySource::install(source);
  EXPECT_EQ(fresh().netType, "2");
  source->setFlags(kSCNetworkReachabilityFlagsReachable);
  EXPECT_EQ(fresh().netType, "0");
  ReachabilitySource::install(nullptr);
}

// The Wi-Fi address is the last IPv4 address of the interface the platform names "en0".
TEST_F(DeviceFactsTest, WifiAddressIsTheLastIpv4OfEn0) {
  InterfaceAddresses::setSourceForTesting([] {
    return std::optional<std::vector<InterfaceAddress>>(
        std::vector<InterfaceAddress>{{"lo0", AF_INET, {127, 0, 0, 1}},
                                      {"en0", AF_INET, {192, 168, 1, 5}},
                                      {"en0", AF_INET6, std::vector<uint8_t>(16, 1)},
                                      {"en0", AF_INET, {10, 0, 0, 7}},
                                      {"pdp_ip0", AF_INET, {100, 64, 0, 2}}});
  });
  EXPECT_EQ(fresh().wifiIP, "10.0.0.7");
  InterfaceAddresses::setSourceForTesting([] {
    return std::optional<std::vector<InterfaceAddress>>(
        std::vector<InterfaceAddress>{{"pdp_ip0", AF_INET, {100, 64, 0, 2}}});
  });
  EXPECT_EQ(fresh().wifiIP, "");
}

TEST_F(DeviceFactsTest, BatteryModelCarrierAndDisk) {
  auto battery = [&](std::optional<float> level) {
    profile.setBatteryLevel(level);
    return fresh().powerLast;
  };
  EXPECT_FLOAT_EQ(battery(0.005f), 1);
  EXPECT_FLOAT_EQ(battery(0.42f), 42);
  EXPECT_FLOAT_EQ(battery(-1), 100);
  EXPECT_FLOAT_EQ(battery(1), 100);

  profile.setModelIdentifier("iPhone10,3");
  EXPECT_EQ(fresh().deviceIsMobile, 1);
  profile.setModelIdentifier("iPad8,1");
  KMDevice& d = fresh();
  EXPECT_EQ(d.deviceIsMobile, 0);
  EXPECT_EQ(d.deviceName, "iPad8,1");
  EXPECT_EQ(d.mobileProviderCode, std::optional<std::string>(""));
  EXPECT_EQ(d.wifiName, "");
  EXPECT_EQ(d.device_pushToken(), "v2");
  EXPECT_EQ(d.netType, "0");

  profile.setCarrier(CarrierInfo{"Carrier", std::nullopt, std::nullopt});
  EXPECT_FALSE(fresh().mobileProviderCode);
  profile.setCarrier(CarrierInfo{"Carrier", "01", "460"});
  profile.setWifiSSID("home");
  profile.setLocale("zh", std::nullopt);
  profile.setScreenPixelSize(std::make_pair(750.0, 1334.0));
  profile.setFileSystemStatistics(FileSystemStatistics{64ull << 30, 8ull << 30});
  KMDevice& e = fresh();
  EXPECT_EQ(e.mobileProviderCode, std::optional<std::string>("01"));
  EXPECT_EQ(e.wifiName, "home");
  EXPECT_EQ(e.osLanguage, "zh");
  EXPECT_EQ(e.osCountryCode, "") << "a missing value is never sent as the text (null)";
  EXPECT_EQ(e.screen_Width, 750);
  EXPECT_EQ(e.screen_Height, 1334);
  EXPECT_FLOAT_EQ(e.capacityAll, 64);
  EXPECT_FLOAT_EQ(e.capacityLast, 8);

  e.savePushToken("");
  EXPECT_EQ(e.device_pushToken(), "v2");
  e.savePushToken("dG9rZW4=");
  EXPECT_EQ(e.device_pushToken(), "dG9rZW4=");
  EXPECT_EQ(NSUserDefaults::standardUserDefaults()->stringForKey(kKMPushTokenDefaultsKey),
            std::optional<std::string>("dG9rZW4="));
}

}  // namespace

namespace {

TEST_F(DeviceFactsTest, APushTokenSavedOffTheMainThreadIsNeverReadTorn) {
  KMDevice& d = fresh();
  const std::string a(64, 'a'), b(64, 'b');
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) d.savePushToken(i % 2 ? a : b);
  });
  int torn = 0;
  for (int i = 0; i < 300000; ++i) {
    std::string t = d.device_pushToken();
    if (t != a && t != b && t != "v2") ++torn;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
