#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/device/AudioServices.h"
#include "platform/device/CSSearchableIndex.h"
#include "platform/device/DNSServers.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/device/PermissionStore.h"
#include "platform/device/URLOpener.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

namespace {

TEST(URLOpenerTest, OpensThroughSchemeHandlersAndAlwaysPostsTheAnswer) {
  auto& opener = plat::URLOpener::shared();
  opener.resetForTesting();
  std::vector<std::string> handled;
  opener.setSchemeHandler("MyApp", [&](const std::string& url) {
    handled.push_back(url);
    return true;
  });
  opener.setSchemeHandler("refuse", [](const std::string&) { return false; });

  std::vector<std::pair<std::string, bool>> answers;
  for (const char* url : {"myapp://a?b=1", "refuse:x", "other://x", "not a url", ""}) {
    opener.openURL(url, [&answers, url](bool ok) { answers.emplace_back(url, ok); });
  }
  EXPECT_TRUE(answers.empty());  // never answered inside the call
  ASSERT_TRUE(testing_loop::runUntil([&] { return answers.size() == 5; }));
  EXPECT_EQ(answers[0], std::make_pair(std::string("myapp://a?b=1"), true));
  EXPECT_FALSE(answers[1].second);
  EXPECT_FALSE(answers[2].second);
  EXPECT_FALSE(answers[3].second);
  EXPECT_FALSE(answers[4].second);
  EXPECT_EQ(handled, std::vector<std::string>{"myapp://a?b=1"});
  EXPECT_TRUE(opener.canOpenURL("MYAPP:x"));
  EXPECT_FALSE(opener.canOpenURL("http://x"));
  EXPECT_EQ(opener.openedURLs().size(), 5u);
  opener.resetForTesting();
}

TEST(SystemServicesTest, SoundsSearchIndexAndPermissions) {
  plat::AudioServicesResetForTesting();
  plat::AudioServicesPlaySystemSound(plat::kSystemSoundID_Vibrate);
  EXPECT_EQ(plat::AudioServicesPlayedSystemSounds(), std::vector<plat::SystemSoundID>{4095});
  plat::AudioServicesResetForTesting();

  auto& index = plat::CSSearchableIndex::defaultSearchableIndex();
  index.resetForTesting();
  plat::CSSearchableItem a;
  a.uniqueIdentifier = "1";
  a.attributeSet.title = "first";
  plat::CSSearchableItem b = a;
  b.attributeSet.title = "replaced";
  index.indexSearchableItemsCompletionHandler({a});
  index.indexSearchableItemsCompletionHandler({b, plat::CSSearchableItem{}});
  index.indexSearchableItemsCompletionHandler({});
  ASSERT_EQ(index.items().size(), 2u);
  EXPECT_EQ(index.items()[0].attributeSet.title, "replaced");
  index.deleteAllSearchableItemsWithCompletionHandler();
  EXPECT_TRUE(index.items().empty());
  auto log = index.callLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2].itemCount, 0u);
  EXPECT_EQ(log[3].call, plat::CSSearchableIndex::Call::DeleteAll);
  index.resetForTesting();

  auto& permissions = plat::PermissionStore::shared();
  permissions.resetForTesting();
  EXPECT_EQ(permissions.cameraStatus(), plat::AuthorizationStatusNotDetermined);
  EXPECT_TRUE(permissions.setCameraStatus(2));
  EXPECT_FALSE(permissions.setPhotoLibraryStatus(4));
  EXPECT_FALSE(permissions.setPhotoLibraryStatus(-1));
  EXPECT_EQ(permissions.cameraStatus(), plat::AuthorizationStatusDenied);
  EXPECT_EQ(permissions.photoLibraryStatus(), plat::AuthorizationStatusNotDetermined);
  permissions.resetForTesting();
}

TEST(InterfaceAddressesTest, LinuxNamesMapToThePhoneNames) {
  auto map = plat::InterfaceAddresses::defaultNameMap({"lo", "eth0", "wlp2s0", "wwan0"});
  EXPECT_EQ(map["wlp2s0"], "en0");
  EXPECT_EQ(map["wwan0"], "pdp_ip0");
  EXPECT_EQ(map.count("eth0"), 0u);
  EXPECT_EQ(plat::InterfaceAddresses::defaultNameMap({"lo", "enp0s3"})["enp0s3"], "en0");

  // The real list: loopback is always there and keeps its name and address.
  auto list = plat::InterfaceAddresses::list();
  ASSERT_TRUE(list.has_value());
  bool loopback = false;
  for (const auto& e : *list) {
    if (e.name == "lo" && e.family == AF_INET) {
      loopback = e.address == std::vector<uint8_t>{127, 0, 0, 1};
    }
  }
  EXPECT_TRUE(loopback);

  plat::InterfaceAddresses::setSourceForTesting(
      [] { return std::optional<std::vector<plat::InterfaceAddress>>(); });
  EXPECT_FALSE(plat::InterfaceAddresses::list().has_value());
  plat::InterfaceAddresses::resetForTesting();
}

TEST(DNSServersTest, ReadsNameserverLinesOfARegularFileOnly) {
  EXPECT_EQ(plat::DNSServers::parse("# comment\nnameserver 10.0.0.1\n"
                                    "nameserver   fe80::1%eth0 \n"
                                    "nameserver not-an-address\nnameserver\n"
                                    "search example.org\nnameserver 2001:db8::0:1\n"),
            (std::vector<std::string>{"10.0.0.1", "fe80::1", "2001:db8::1"}));

  testing_device::TempDeviceRoot root;
  std::string path = root.path() + "/resolv.conf";
  std::ofstream(path) << "nameserver 192.0.2.53\n";
  plat::DNSServers::setResolvConfPath(path);
  EXPECT_EQ(plat::DNSServers::addresses(), std::vector<std::string>{"192.0.2.53"});

  std::string fifo = root.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  plat::DNSServers::setResolvConfPath(fifo);  // must not hang
  EXPECT_TRUE(plat::DNSServers::addresses().empty());
  plat::DNSServers::setResolvConfPath(root.path() + "/missing");
  EXPECT_TRUE(plat::DNSServers::addresses().empty());
  plat::DNSServers::setResolvConfPath("");
}

}  // namespace
