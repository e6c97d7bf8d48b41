// Device facts: stored identifiers, the battery from a power-supply folder, settable facts.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/NSUUID.h"
#include "testing/device/TempDeviceRoot.h"

using namespace plat;

namespace {

class DeviceProfileTest : public ::testing::Test {
 protected:
  void TearDown() override { DeviceProfile::current().resetForTesting(); }
  void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
  }
  DeviceProfile& profile = DeviceProfile::current();
  testing_device::TempDeviceRoot root_;
};

TEST_F(DeviceProfileTest, IdentifiersAreUUIDsKeptPerDeviceRoot) {
  std::string vendor = profile.identifierForVendor();
  std::string ad = profile.advertisingIdentifier();
  EXPECT_TRUE(NSUUID::fromString(vendor));
  EXPECT_TRUE(NSUUID::fromString(ad));
  EXPECT_NE(vendor, ad);
  EXPECT_EQ(profile.identifierForVendor(), vendor);
  {
    testing_device::TempDeviceRoot other;
    EXPECT_NE(profile.identifierForVendor(), vendor);
  }
  EXPECT_EQ(profile.identifierForVendor(), vendor);
  profile.setAdvertisingIdentifier("00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(profile.advertisingIdentifier(), "00000000-0000-0000-0000-000000000000");
  EXPECT_TRUE(profile.isAdvertisingTrackingEnabled());
}

TEST_F(DeviceProfileTest, BatteryComesFromTheFirstBatterySupplyWhileMonitored) {
  std::string ps = root_.path() + "/power";
  writeFile(ps + "/AC/type", "Mains\n");
  writeFile(ps + "/AC/capacity", "100\n");
  writeFile(ps + "/BAT0/type", "Battery\n");
  writeFile(ps + "/BAT0/capacity", "42\n");
  profile.setPowerSupplyRoot(ps);
  EXPECT_EQ(profile.batteryLevel(), -1.0f) << "monitoring is off";
  profile.setBatteryMonitoringEnabled(true);
  EXPECT_FLOAT_EQ(profile.batteryLevel(), 0.42f);
  writeFile(ps + "/BAT0/capacity", "garbage\n");
  EXPECT_EQ(profile.batteryLevel(), -1.0f);
  // A pipe in place of the capacity file is not waited on.
  std::filesystem::remove(ps + "/BAT0/capacity");
  ASSERT_EQ(mkfifo((ps + "/BAT0/capacity").c_str(), 0600), 0);
  EXPECT_EQ(profile.batteryLevel(), -1.0f);
  profile.setPowerSupplyRoot(root_.path() + "/missing");
  EXPECT_EQ(profile.batteryLevel(), -1.0f);
  profile.setBatteryLevel(0.005f);
  EXPECT_FLOAT_EQ(profile.batteryLevel(), 0.005f);
}

TEST_F(DeviceProfileTest, FactsLinuxLacksAreAbsentUntilSet) {
  EXPECT_FALSE(profile.carrier());
  EXPECT_FALSE(profile.wifiSSID());
  profile.setCarrier(CarrierInfo{"Carrier", std::nullopt, "460"});
  profile.setWifiSSID("home");
  EXPECT_EQ(profile.carrier()->carrierName, "Carrier");
  EXPECT_EQ(*profile.wifiSSID(), "home");

  EXPECT_FALSE(profile.modelIdentifier().empty());
  profile.setModelIdentifier("iPad8,1");
  EXPECT_EQ(profile.modelIdentifier(), "iPad8,1");
  profile.setLocale("zh", std::nullopt);
  EXPECT_EQ(*profile.languageCode(), "zh");
  EXPECT_FALSE(profile.countryCode());

  auto stats = profile.fileSystemStatistics(root_.path());
  ASSERT_TRUE(stats);
  EXPECT_GT(stats->totalBytes, 0u);
  EXPECT_LE(stats->availableBytes, stats->totalBytes);
  EXPECT_FALSE(profile.fileSystemStatistics(root_.path() + "/missing"));
}

}  // namespace
