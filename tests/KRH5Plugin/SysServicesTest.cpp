// The real device services behind the Sys commands, against a temporary device root: files
// (and their confinement to the app container), device and network facts, launch
// information, keychain and clipboard, alerts, thumbnails, camera capture and search items.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "KRH5Plugin/NetworkInfo.h"
#include "KRH5Plugin/PhotographHandler.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/UIAlertViewController.h"
#include "KRH5Plugin/Utils.h"
#include "platform/device/AVCaptureSession.h"
#include "platform/device/AudioServices.h"
#include "platform/device/CSSearchableIndex.h"
#include "platform/device/DNSServers.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/device/PermissionStore.h"
#include "platform/device/UIImagePickerController.h"
#include "platform/device/UIPasteboard.h"
#include "platform/device/URLOpener.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/network/SCNetworkReachability.h"
#include "platform/security/SecItem.h"
#include "platform/uikit/UIAlertView.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/uikit/Pixels.h"
#include "tests/logging/LGTestSupport.h"

using namespace plat;
using namespace testing_uikit;
namespace fs = std::filesystem;

namespace {

Value json(const std::optional<std::string>& text) {
  return text ? NSJSONSerialization::JSONObjectWithString(*text) : Value();
}

void write(const std::string& path, const std::string& bytes) { std::ofstream(path) << bytes; }

std::string read(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct SysServicesTest : ::testing::Test {
  testing_device::TempDeviceRoot root;
  SysInterface sys;
  std::string docs = *Utils::GetDocumentPath();

  void TearDown() override {
    sys.ReleaseSDK();
    DeviceProfile::current().resetForTesting();
    UIPasteboard::generalPasteboard().resetForTesting();
    PermissionStore::shared().resetForTesting();
    CSSearchableIndex::defaultSearchableIndex().resetForTesting();
    URLOpener::shared().resetForTesting();
    AudioServicesResetForTesting();
    AVCaptureFakeCamera::setPicture(nullptr);
  }
};

// A page that sees the events the services raise: the scripts evaluated through the bridge.
struct PageEvents {
  WKWebViewRef web = WKWebView::make(CGRectMake(0, 0, 320, 480), WKWebViewConfiguration::make());
  UIViewControllerRef rootController = std::make_shared<UIViewController>();
  std::vector<std::string> scripts;
  PageEvents() {
    SysPlugin::SetWebView(web);
    IOSPlugin::SetRootController(rootController);
    IOSPluginSetScriptObserver([this](const std::string& s) { scripts.push_back(s); });
  }
  ~PageEvents() {
    IOSPluginSetScriptObserver({});
    SysPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
    UIAlertViewController::ResetForTesting();
    UIAlertView::resetForTesting();
  }
  bool waitFor(const std::string& script) {
    return testing_loop::runUntil(
        [&] { return std::find(scripts.begin(), scripts.end(), script) != scripts.end(); });
  }
};

TEST_F(SysServicesTest, FileManagerCorners) {
  const std::string a = docs + "/a";
  EXPECT_EQ(sys.GetDocumentPath(), docs);
  EXPECT_TRUE(sys.CreateDir(a + "/b/c"));
  EXPECT_TRUE(sys.CreateDir(a + "/b/c"));                    // exists already: still YES
  EXPECT_FALSE(sys.GetFilesAtPath(a + "/b/c").has_value());  // empty folder
  EXPECT_EQ(json(sys.GetFilesAtPath(a)), Value(Array{}));    // only a subfolder
  EXPECT_EQ(json(sys.GetDirsAtPath(a)), Value(Array{"b"}));
  write(a + "/f.txt", "one");
  write(a + "/.hidden", "");
  EXPECT_EQ(json(sys.GetFilesAtPath(a)), Value(Array{".hidden", "f.txt"}));
  // A name that is no UTF-8 is left out; the other entries are still listed.
  write(a + "/bad\xff\xfe.txt", "");
  fs::create_directories(a + "/dir\xc3");
  EXPECT_EQ(json(sys.GetFilesAtPath(a)), Value(Array{".hidden", "f.txt"}));
  EXPECT_EQ(json(sys.GetDirsAtPath(a)), Value(Array{"b"}));
  fs::remove(a + "/bad\xff\xfe.txt");
  fs::remove(a + "/dir\xc3");
  EXPECT_TRUE(sys.IsExistAtPath(a + "/f.txt"));
  EXPECT_FALSE(sys.IsDirAtPath(a + "/f.txt"));
  EXPECT_TRUE(sys.IsDirAtPath(a + "/b"));
  EXPECT_FALSE(sys.IsExistAtPath(a + "/none"));

  // Copy, move: never onto an existing item; bad arguments answer NO.
  auto pair = [](const std::string& s, const std::string& d) {
    return "{\"srcPath\":\"" + s + "\",\"dstPath\":\"" + d + "\"}";
  };
  EXPECT_TRUE(sys.CopyFile(pair(a + "/f.txt", a + "/g.txt")));
  EXPECT_FALSE(sys.CopyFile(pair(a + "/f.txt", a + "/g.txt")));
  write(a + "/g.txt", "two");
  EXPECT_FALSE(sys.MoveFile(pair(a + "/f.txt", a + "/g.txt")));
  EXPECT_EQ(read(a + "/f.txt"), "one");
  EXPECT_EQ(read(a + "/g.txt"), "two");
  EXPECT_TRUE(sys.MoveFile(pair(a + "/f.txt", a + "/h.txt")));
  // A folder never goes into itself.
  EXPECT_FALSE(sys.CopyFile(pair(a, a + "/b/inner")));
  EXPECT_FALSE(sys.MoveFile(pair(a, a + "/b/inner")));
  EXPECT_FALSE(fs::exists(a + "/b/inner"));
  EXPECT_EQ(read(a + "/h.txt"), "one");
  for (const char* bad : {"{\"srcPath\":\"\",\"dstPath\":\"/x\"}", "{\"dstPath\":\"/x\"}",
                          "{\"srcPath\":5,\"dstPath\":\"/x\"}", "not json", "[1]"}) {
    EXPECT_FALSE(sys.MoveFile(std::string(bad))) << bad;
    EXPECT_FALSE(sys.CopyFile(std::string(bad))) << bad;
  }
  EXPECT_FALSE(sys.MoveFile(std::nullopt));
  for (const auto& empty : {std::optional<std::string>(), std::optional<std::string>("")}) {
    EXPECT_FALSE(sys.CreateDir(empty));
    EXPECT_FALSE(sys.IsExistAtPath(empty));
    EXPECT_FALSE(sys.DeleteAtPath(empty));
    EXPECT_FALSE(sys.GetDirsAtPath(empty).has_value());
  }
  EXPECT_TRUE(sys.DeleteAtPath(a));  // a folder with its contents
  EXPECT_FALSE(fs::exists(a));
  EXPECT_FALSE(sys.DeleteAtPath(a));
}

TEST_F(SysServicesTest, PathsStayInsideTheAppContainer) {
  const std::string outside = root.path() + "/outside";
  fs::create_directories(outside);
  write(outside + "/secret", "s");
  fs::create_symlink(outside, docs + "/link");

  EXPECT_FALSE(sys.IsExistAtPath(outside + "/secret"));
  EXPECT_FALSE(sys.IsExistAtPath(docs + "/../../outside/secret"));
  EXPECT_FALSE(sys.IsExistAtPath(docs + "/link/secret"));
  EXPECT_FALSE(sys.GetFilesAtPath(docs + "/link").has_value());
  EXPECT_FALSE(sys.CreateDir(outside + "/made"));
  EXPECT_FALSE(sys.CreateDir("relative/path"));
  EXPECT_FALSE(
      sys.CopyFile("{\"srcPath\":\"" + outside + "/secret\",\"dstPath\":\"" + docs + "/copy\"}"));
  EXPECT_FALSE(sys.DeleteAtPath(docs));  // the container's own folders stay
  EXPECT_FALSE(sys.DeleteAtPath(docs + "/sub/../"));
  // Removing the link removes the link, not what it points to.
  EXPECT_TRUE(sys.DeleteAtPath(docs + "/link"));
  EXPECT_TRUE(fs::exists(outside + "/secret"));
  EXPECT_FALSE(fs::exists(outside + "/made"));
  // Library and tmp belong to the container too.
  EXPECT_TRUE(sys.CreateDir(DeviceRoot::cachesPath() + "/x"));
  EXPECT_TRUE(sys.CreateDir(DeviceRoot::temporaryPath() + "/y"));
}

// A NUL byte in a page path would end it early for the system: ".../Documents/..\0" names
// the whole container. Every command refuses such a path.
TEST_F(SysServicesTest, APathWithANulByteIsRefused) {
  write(docs + "/keep", "k");
  fs::create_directories(DeviceRoot::cachesPath() + "/c");
  const std::string nul("\0", 1);
  auto pair = [](const std::string& s, const std::string& d) {
    return NSJSONSerialization::stringWithJSONObject(
        Value(Dictionary{{"srcPath", s}, {"dstPath", d}}));
  };
  EXPECT_FALSE(sys.DeleteAtPath(docs + "/.." + nul));
  EXPECT_FALSE(sys.DeleteAtPath(docs + "/keep" + nul + "x"));
  EXPECT_FALSE(sys.IsExistAtPath(docs + "/keep" + nul + "x"));
  EXPECT_FALSE(sys.IsDirAtPath(docs + "/.." + nul));
  EXPECT_FALSE(sys.GetDirsAtPath(docs + "/.." + nul).has_value());
  EXPECT_FALSE(sys.CreateDir(docs + "/made" + nul + "x"));
  EXPECT_FALSE(sys.MoveFile(pair(docs + "/keep", docs + "/moved" + nul + "x")));
  EXPECT_FALSE(sys.MoveFile(pair(docs + "/keep" + nul + "x", docs + "/moved")));
  EXPECT_FALSE(sys.CopyFile(pair(docs + "/keep", docs + "/copied" + nul)));
  EXPECT_EQ(read(docs + "/keep"), "k");
  EXPECT_TRUE(fs::exists(DeviceRoot::cachesPath() + "/c"));
  EXPECT_FALSE(fs::exists(docs + "/made"));
  EXPECT_FALSE(fs::exists(docs + "/moved"));
  EXPECT_FALSE(fs::exists(docs + "/copied"));
}

// The container's top folders exist already: creating one answers YES, as the file manager
// does for any existing folder; removing one stays refused.
TEST_F(SysServicesTest, CreatingATopFolderAnswersYes) {
  EXPECT_TRUE(sys.CreateDir(docs));
  EXPECT_TRUE(sys.CreateDir(docs + "/"));
  EXPECT_TRUE(sys.CreateDir(DeviceRoot::libraryPath()));
  EXPECT_TRUE(sys.CreateDir(DeviceRoot::temporaryPath()));
  EXPECT_FALSE(sys.CreateDir(root.path()));
  EXPECT_FALSE(sys.DeleteAtPath(DeviceRoot::libraryPath()));
  EXPECT_TRUE(fs::is_directory(DeviceRoot::libraryPath()));
}

TEST_F(SysServicesTest, DeviceFactsAndBattery) {
  auto& device = DeviceProfile::current();
  device.setName("Ann's phone");
  device.setSystemName("iOS");
  device.setSystemVersion("11.4");
  device.setModelIdentifier("iPhone10,3");
  device.setLocalizedModel("iPhone");
  Value info = json(sys.GetDeviceInfo());
  EXPECT_EQ(info, Value(Dictionary{{"device", "Ann's phone"},
                                   {"display", "iOS"},
                                   {"manufacturer", "Apple"},
                                   {"model", "iPhone10,3"},
                                   {"product", "iPhone"},
                                   {"sdkVersion", "11.4"}}));
  EXPECT_NE(sys.GetDeviceInfo().find("\n  "), std::string::npos);  // pretty-printed
  EXPECT_EQ(sys.GetAdId(), device.advertisingIdentifier());
  EXPECT_EQ(sys.GetIDFV(), device.identifierForVendor());

  // Battery from a power-supply folder.
  const std::string supply = root.path() + "/power";
  fs::create_directories(supply + "/AC");
  fs::create_directories(supply + "/BAT0");
  write(supply + "/AC/type", "Mains\n");
  write(supply + "/BAT0/type", "Battery\n");
  write(supply + "/BAT0/capacity", "57\n");
  device.setPowerSupplyRoot(supply);
  EXPECT_EQ(json(sys.GetDeviceState())["batteryLevel"].integerValue(), 57);
  EXPECT_TRUE(device.isBatteryMonitoringEnabled());
  // Every whole percent the supply reports reaches the page unchanged (53 and 59 among them).
  for (int percent = 0; percent <= 100; ++percent) {
    write(supply + "/BAT0/capacity", std::to_string(percent) + "\n");
    EXPECT_EQ(json(sys.GetDeviceState())["batteryLevel"].integerValue(), percent);
  }
  device.setPowerSupplyRoot(root.path() + "/none");
  EXPECT_EQ(json(sys.GetDeviceState())["batteryLevel"].integerValue(), -1);
  device.setBatteryLevel(0.567f);
  EXPECT_EQ(json(sys.GetDeviceState())["batteryLevel"].integerValue(), 56);
}

TEST_F(SysServicesTest, NetworkInfoFromFakeSources) {
  using R = KRReachability;
  EXPECT_EQ(R::networkStatusForFlags(0x2 | 0x4), R::NotReachable);
  EXPECT_EQ(R::networkStatusForFlags(0x2 | 0x4 | 0x8), R::ReachableViaWiFi);
  EXPECT_EQ(R::networkStatusForFlags(0x2 | 0x4 | 0x8 | 0x10), R::NotReachable);
  EXPECT_EQ(R::networkStatusForFlags(0x2 | 0x4 | 0x40000), R::ReachableViaWWAN);
  EXPECT_EQ(R::networkStatusForFlags(0x40000), R::NotReachable);

  auto source = std::make_shared<FakeReachabilitySource>(0);
  ReachabilitySource::install(source);
  std::vector<InterfaceAddress> interfaces;
  InterfaceAddresses::setSourceForTesting([&] { return std::optional(interfaces); });
  const std::string resolv = root.path() + "/resolv.conf";
  write(resolv, "nameserver 192.0.2.1\nnameserver 192.0.2.2\n");
  DNSServers::setResolvConfPath(resolv);

  // Flight mode.
  Value offline = json(sys.GetNetworkInfo());
  EXPECT_EQ(offline, Value(Dictionary{{"wifiState", 1},
                                      {"networkType", 2},
                                      {"available", false},
                                      {"rssiLevel", -1},
                                      {"deviceIp", "127.0.0.1"},
                                      {"dnsIp", "192.0.2.1"}}));
  // Cellular only; then Wi-Fi. The DNS server found earlier stays when none is found.
  source->setFlags(kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN);
  write(resolv, "");
  Value cellular = json(sys.GetNetworkInfo());
  EXPECT_EQ(cellular["wifiState"].integerValue(), 1);
  EXPECT_EQ(cellular["networkType"].integerValue(), 0);
  EXPECT_TRUE(cellular["available"].boolValue());
  EXPECT_EQ(cellular["dnsIp"].stringOr(), "192.0.2.1");
  source->setFlags(kSCNetworkReachabilityFlagsReachable);
  Value wifi = json(sys.GetNetworkInfo());
  EXPECT_EQ(wifi["wifiState"].integerValue(), 3);
  EXPECT_EQ(wifi["networkType"].integerValue(), 1);

  // The device address.
  auto v4 = [](uint8_t last) { return InterfaceAddress{"en0", AF_INET, {10, 0, 0, last}}; };
  InterfaceAddress linkLocal{
      "en0", AF_INET6, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
  InterfaceAddress global{
      "pdp_ip0", AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}};
  interfaces = {{"lo", AF_INET, {127, 0, 0, 1}}, {"eth1", AF_INET, {192, 168, 1, 2}}};
  EXPECT_EQ(NetworkInfo::GetDeviceIPAddress(), "127.0.0.1");
  interfaces = {linkLocal, v4(5), global};
  EXPECT_EQ(NetworkInfo::GetDeviceIPAddress(), "2001:db8::9");
  interfaces = {v4(5), linkLocal};  // a link-local address never replaces an IPv4 one
  EXPECT_EQ(NetworkInfo::GetDeviceIPAddress(), "10.0.0.5");
  interfaces = {linkLocal};
  EXPECT_EQ(NetworkInfo::GetDeviceIPAddress(), "127.0.0.1");
  interfaces = {v4(5), v4(6)};
  EXPECT_EQ(json(sys.GetNetworkInfo())["deviceIp"].stringOr(), "10.0.0.6");

  // A running monitor tells of changes; one that went away is not called back.
  NetworkInfo::ResetForTesting();    // its monitors would post too
  std::vector<const void*> changes;  // the objects, not kept alive
  auto token = NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
      kNetworkReachabilityChangedNotification, Value(), nullptr,
      [&](const NSNotification& n) { changes.push_back(n.object.object().get()); });
  auto monitor = KRReachability::reachabilityWithHostName("game.example.org");
  ASSERT_TRUE(monitor && monitor->startNotifier());
  source->setFlags(0);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !changes.empty(); }));
  EXPECT_EQ(changes[0], monitor.get());
  EXPECT_EQ(monitor->currentReachabilityStatus(), KRReachability::NotReachable);
  testing_loop::runUntilIdle();
  size_t seen = changes.size();
  monitor.reset();
  source->setFlags(kSCNetworkReachabilityFlagsReachable);
  testing_loop::runUntilIdle();
  NSNotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(changes.size(), seen);
  EXPECT_FALSE(KRReachability::reachabilityWithHostName(""));

  EXPECT_FALSE(NetworkInfo::GetIPV4DNSWithHostName("").has_value());
  auto local = NetworkInfo::GetIPV4DNSWithHostName("localhost");
  ASSERT_TRUE(local.has_value());
  EXPECT_NE(std::find(local->begin(), local->end(), "127.0.0.1"), local->end());

  InterfaceAddresses::resetForTesting();
  DNSServers::setResolvConfPath("");
  ReachabilitySource::install(nullptr);
}

TEST_F(SysServicesTest, LaunchInfoMetaDataPermissionsClipboardAndSearchItems) {
  EXPECT_FALSE(sys.GetAppLaunchInfo().has_value());
  sys.SetAppLaunchUrl(NSURL::URLWithString("game://host"));
  EXPECT_EQ(json(sys.GetAppLaunchInfo()), Value(Dictionary{{"scheme", "game"}, {"host", "host"}}));
  sys.SetAppLaunchUrl(NSURL::URLWithString("game://h/p?a=1&b=&c&d=1=2&a=%20x"));
  EXPECT_EQ(json(sys.GetAppLaunchInfo()),
            Value(Dictionary{{"scheme", "game"},
                             {"host", "h"},
                             {"path", "/p"},
                             {"query", "a=1&b=&c&d=1=2&a=%20x"},
                             {"args", Dictionary{{"a", "%20x"}, {"b", ""}}}}));
  // An empty query is still a query: sent as "query", with no "args" to split from it.
  sys.SetAppLaunchUrl(NSURL::URLWithString("game://h?#frag"));
  EXPECT_EQ(json(sys.GetAppLaunchInfo()),
            Value(Dictionary{{"scheme", "game"}, {"host", "h"}, {"query", ""}}));
  sys.SetAppLaunchUrl(NSURL::URLWithString("game://h#a?b"));
  EXPECT_EQ(json(sys.GetAppLaunchInfo()), Value(Dictionary{{"scheme", "game"}, {"host", "h"}}));

  testing_device::TempAppBundle bundle(Dictionary{
      {"Name", "a \"game\""}, {"Count", 5}, {"Nested", Dictionary{{"k", Array{1, "x y"}}}}});
  EXPECT_EQ(sys.GetMetaData("Name"), "a \"game\"");
  EXPECT_EQ(sys.GetMetaData("Count"), "5");
  EXPECT_EQ(sys.GetMetaData("Nested"), "{\"k\":[1,\"x y\"]}");
  EXPECT_FALSE(sys.GetMetaData("Missing").has_value());
  EXPECT_FALSE(sys.GetMetaData(std::nullopt).has_value());

  EXPECT_TRUE(sys.CheckPermission("PHOTO"));  // never asked: available
  PermissionStore::shared().setPhotoLibraryStatus(AuthorizationStatusDenied);
  PermissionStore::shared().setCameraStatus(AuthorizationStatusAuthorized);
  EXPECT_FALSE(sys.CheckPermission("photo"));
  EXPECT_TRUE(sys.CheckPermission("Camera"));
  EXPECT_FALSE(sys.CheckPermission("microphone"));
  EXPECT_FALSE(sys.CheckPermission(std::nullopt));

  EXPECT_FALSE(sys.GetClipboardText().has_value());
  sys.SetClipboardText(std::nullopt);
  EXPECT_EQ(UIPasteboard::generalPasteboard().changeCount(), 0);
  sys.SetClipboardText("copied \"text\"");
  EXPECT_EQ(sys.GetClipboardText(), "copied \"text\"");

  auto& index = CSSearchableIndex::defaultSearchableIndex();
  sys.AddSearchItems(
      "[{\"id\":\"1\",\"domain\":\"d\",\"title\":\"T\",\"description\":\"D\","
      "\"keywords\":[\"a\",2,\"b\"]}, 7, {\"title\":3}]");
  sys.AddSearchItems("[]");
  sys.AddSearchItems("{\"id\":\"x\"}");
  sys.AddSearchItems("not json");
  ASSERT_EQ(index.callLog().size(), 2u);
  auto items = index.items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].uniqueIdentifier, "1");
  EXPECT_EQ(items[0].domainIdentifier, "d");
  EXPECT_EQ(items[0].attributeSet.contentDescription, "D");
  EXPECT_EQ(items[0].attributeSet.keywords, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(items[1].attributeSet.title.has_value());  // a number is no title
  sys.ClearSearchItems();
  EXPECT_TRUE(index.items().empty());

  sys.Vibrate();
  EXPECT_EQ(AudioServicesPlayedSystemSounds(), std::vector<SystemSoundID>{4095});
}

TEST_F(SysServicesTest, KeychainCommands) {
  EXPECT_FALSE(sys.GetKeychain("k").has_value());  // no store yet
  sys.SetKeychain("{\"key\":\"k\",\"value\":\"v\"}");
  sys.InitKeychain("first");
  sys.InitKeychain("second");
  ASSERT_TRUE(SysInterface::KeychainStore());
  EXPECT_EQ(SysInterface::KeychainStore()->service(), "first");
  EXPECT_EQ(SysInterface::KeychainStore()->accessibility(), 1);
  EXPECT_FALSE(sys.GetKeychain("k").has_value());
  sys.SetKeychain("{\"key\":\"k\",\"value\":\"v \\\"q\\\"\"}");
  sys.SetKeychain("{\"key\":\"n\",\"value\":\"x\"}");
  sys.SetKeychain("{\"value\":\"no key\"}");
  EXPECT_EQ(sys.GetKeychain("k"), "v \"q\"");
  sys.SetKeychain("{\"key\":\"k\"}");  // no value: removes
  EXPECT_FALSE(sys.GetKeychain("k").has_value());
  sys.DelKeychain("n");
  EXPECT_FALSE(sys.GetKeychain("n").has_value());
  sys.SetKeychain("{\"key\":\"p\",\"value\":\"kept\"}");

  // The items outlive the store; after a release the page must initialise again.
  sys.ReleaseSDK();
  EXPECT_FALSE(sys.GetKeychain("p").has_value());
  sys.InitKeychain("first");
  EXPECT_EQ(sys.GetKeychain("p"), "kept");
  sys.ResetKeychain();
  EXPECT_FALSE(sys.GetKeychain("p").has_value());
}

// A keychain write that cannot be stored (the item may only change while the device is
// unlocked) reaches the page as "onKeychainError", with its key and the keychain's status.
TEST_F(SysServicesTest, KeychainWriteFailuresReachThePage) {
  PageEvents page;
  sys.InitKeychain("svc");
  sys.SetKeychain("{\"key\":\"k\",\"value\":\"v\"}");
  setKeychainDeviceLockedForTesting(true);
  sys.SetKeychain("{\"key\":\"k\",\"value\":\"w\"}");
  sys.DelKeychain("k");
  sys.ResetKeychain();
  setKeychainDeviceLockedForTesting(false);
  EXPECT_EQ(sys.GetKeychain("k"), "v");
  auto heard = [&](const std::string& payload) {
    return testing_loop::runUntil([&] {
      return std::any_of(page.scripts.begin(), page.scripts.end(), [&](const std::string& s) {
        return s.find("onKeychainError") != std::string::npos &&
               s.find(payload) != std::string::npos;
      });
    });
  };
  EXPECT_TRUE(heard(R"(JSON.parse("{\"error\":-25308,\"key\":\"k\"}"))"));
  EXPECT_TRUE(heard(R"(JSON.parse("{\"error\":-25308}"))"));
  EXPECT_EQ(std::count_if(page.scripts.begin(), page.scripts.end(),
                          [](const std::string& s) {
                            return s.find("onKeychainError") != std::string::npos;
                          }),
            3);
}

// Warnings the services write to the log, for the length of one test.
struct LoggedWarnings {
  std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
  LoggedWarnings() { LGLog::addLogger(logger); }
  ~LoggedWarnings() { LGLog::removeLogger(logger); }
  std::vector<std::string> texts() {
    LGLog::flushLog();
    return logger->texts();
  }
};

TEST_F(SysServicesTest, KeychainRefusesValuesThatAreNoTextAndKeysWithNulBytes) {
  LoggedWarnings log;
  sys.InitKeychain("svc");
  sys.SetKeychain("{\"key\":\"token\",\"value\":\"old\"}");
  // A value that is no text keeps the item (only a missing value removes it).
  for (const char* value : {"5", "null", "{}", "[\"x\"]", "true"}) {
    sys.SetKeychain(std::string("{\"key\":\"token\",\"value\":") + value + "}");
    EXPECT_EQ(sys.GetKeychain("token"), "old") << value;
  }
  EXPECT_EQ(log.texts(), std::vector<std::string>(5, "LM_IOS.SetKeychain param error"));
  // "token\0x" is no second name of "token": refused, and "token" stays writable.
  sys.SetKeychain("{\"key\":\"token\\u0000x\",\"value\":\"cut\"}");
  EXPECT_FALSE(sys.GetKeychain(std::string("token\0x", 7)).has_value());
  sys.SetKeychain("{\"key\":\"token\",\"value\":\"new\"}");
  EXPECT_EQ(sys.GetKeychain("token"), "new");
  sys.DelKeychain(std::string("token\0x", 7));
  EXPECT_EQ(sys.GetKeychain("token"), "new");
}

// A thumbnail box beyond the readers' pixel cap is refused before anything is drawn.
TEST_F(SysServicesTest, AThumbnailLargerThanThePixelCapIsRefused) {
  LoggedWarnings log;
  auto image = twoColourImage(40, 20);
  const std::string source = docs + "/src.png";
  write(source, UIImagePNGRepresentation(image).toString());
  sys.SaveThumbnail("{\"sourcePath\":\"" + source + "\",\"savePath\":\"" + docs +
                    "/big.png\",\"width\":9000,\"height\":9000}");
  EXPECT_FALSE(fs::exists(docs + "/big.png"));
  EXPECT_EQ(log.texts(), std::vector<std::string>{"LM_IOS.SaveThumbnail param error"});
  EXPECT_FALSE(Utils::GetThumbnail(image, 9000, 9000, true, false, false));
  EXPECT_FALSE(Utils::GetThumbnail(image, 2147483647, 2147483647, false, false, false));
  // Long and thin within the cap is fine.
  auto strip = Utils::GetThumbnail(image, 8192, 4, true, false, false);
  ASSERT_TRUE(strip);
  EXPECT_EQ(strip->CGImage()->width(), 8192u);
}

TEST_F(SysServicesTest, ThumbnailGeometryAndPixels) {
  auto image = twoColourImage(400, 200);
  auto crop = Utils::GetThumbnail(image, 100, 100, true, false, false);
  ASSERT_TRUE(crop);
  EXPECT_EQ(crop->CGImage()->width(), 100u);
  EXPECT_EQ(crop->CGImage()->height(), 100u);
  // Drawn 200 x 100 at (-50, 0): red and blue meet in the middle.
  EXPECT_EQ(crop->CGImage()->pixelAt(40, 50), 0xFFFF0000u);
  EXPECT_EQ(crop->CGImage()->pixelAt(60, 50), 0xFF0000FFu);
  auto fit = Utils::GetThumbnail(image, 100, 100, false, false, false);
  ASSERT_TRUE(fit);
  EXPECT_EQ(fit->CGImage()->width(), 100u);
  EXPECT_EQ(fit->CGImage()->height(), 50u);
  EXPECT_EQ(fit->CGImage()->pixelAt(10, 25), 0xFFFF0000u);
  EXPECT_EQ(fit->CGImage()->pixelAt(90, 25), 0xFF0000FFu);
  // A circle on an opaque canvas has opaque corners; with alpha they are clear.
  auto circle = Utils::GetThumbnail(image, 100, 100, true, true, false);
  EXPECT_EQ(circle->CGImage()->pixelAt(0, 0) >> 24, 0xFFu);
  auto clear = Utils::GetThumbnail(image, 100, 100, true, true, true);
  EXPECT_EQ(clear->CGImage()->pixelAt(0, 0) >> 24, 0u);
  EXPECT_FALSE(Utils::GetThumbnail(image, 0, 10, true, false, false));
  EXPECT_FALSE(Utils::GetThumbnail(nullptr, 10, 10, true, false, false));

  // The command: PNG with alpha whatever the name, JPEG otherwise; width 0 writes nothing.
  const std::string source = docs + "/src.png";
  write(source, UIImagePNGRepresentation(image).toString());
  auto command = [&](const std::string& save, const std::string& extra) {
    sys.SaveThumbnail("{\"sourcePath\":\"" + source + "\",\"savePath\":\"" + save + "\"" + extra +
                      "}");
  };
  command(docs + "/t.jpg", ",\"width\":50,\"height\":\"50\",\"alpha\":true");
  EXPECT_EQ(read(docs + "/t.jpg").substr(1, 3), "PNG");
  command(docs + "/u.png", ",\"width\":50,\"height\":50");
  EXPECT_EQ(read(docs + "/u.png").substr(0, 2), "\xFF\xD8");
  command(docs + "/v.png", ",\"width\":0,\"height\":50");
  command(docs + "/w.png", ",\"width\":\"x\",\"height\":50");
  EXPECT_FALSE(fs::exists(docs + "/v.png"));
  EXPECT_FALSE(fs::exists(docs + "/w.png"));
  // A named pipe as the source is never opened.
  ASSERT_EQ(mkfifo((docs + "/pipe").c_str(), 0600), 0);
  sys.SaveThumbnail("{\"sourcePath\":\"" + docs + "/pipe\",\"savePath\":\"" + docs +
                    "/p.png\",\"width\":5,\"height\":5}");
  EXPECT_FALSE(fs::exists(docs + "/p.png"));
  // A failed write keeps the old file: the target's folder is read-only.
  fs::create_directories(docs + "/ro");
  write(docs + "/ro/t.png", "old");
  chmod((docs + "/ro").c_str(), 0500);
  command(docs + "/ro/t.png", ",\"width\":50,\"height\":50");
  chmod((docs + "/ro").c_str(), 0700);
  if (geteuid() != 0) EXPECT_EQ(read(docs + "/ro/t.png"), "old");
}

TEST_F(SysServicesTest, AlertButtonsAndCancel) {
  PageEvents page;
  EXPECT_FALSE(UIAlertViewController::AddButton("early"));
  EXPECT_FALSE(UIAlertViewController::Show());
  sys.CreateAlert("{\"message\":\"no title\"}");
  EXPECT_FALSE(UIAlertViewController::Pending());
  sys.CreateAlert("{\"title\":\"T\",\"message\":\"M\"}");
  sys.CreateAlert("{\"title\":\"Other\",\"message\":\"M\"}");  // one alert at a time
  for (const char* b : {"zero", "one", "two"}) sys.AddAlertButton(std::string(b));
  sys.ShowAlert();
  auto shown = UIAlertViewController::Pending();
  ASSERT_TRUE(shown && shown->alertView());
  EXPECT_EQ(shown->alertView()->title(), "T");
  EXPECT_EQ(shown->alertView()->message(), "M");
  EXPECT_TRUE(shown->alertView()->isVisible());
  ASSERT_EQ(shown->alertView()->numberOfButtons(), 3);
  auto first = shown->alertView();
  EXPECT_TRUE(first->tapButtonAtIndex(2));
  // The page answers at once, before the dismissal has ended: a new alert, not the old one.
  sys.CreateAlert("{\"title\":\"Next\",\"message\":\"M\"}");
  EXPECT_TRUE(UIAlertViewController::Show());
  ASSERT_TRUE(UIAlertViewController::Pending());
  EXPECT_EQ(UIAlertViewController::Pending()->alertView()->title(), "Next");
  EXPECT_FALSE(first->isVisible());
  EXPECT_TRUE(page.waitFor("LM_IOS.CallFunc(\"onAlertViewClick\", 2);"));
  testing_loop::runUntilIdle();
  ASSERT_TRUE(UIAlertViewController::Pending());
  EXPECT_TRUE(UIAlertViewController::Pending()->alertView()->tapButtonAtIndex(0));
  EXPECT_TRUE(page.waitFor("LM_IOS.CallFunc(\"onAlertViewClick\", 0);"));
  EXPECT_TRUE(testing_loop::runUntil([] { return !UIAlertViewController::Pending(); }));

  sys.CreateAlert("{\"title\":\"Again\",\"message\":\"\"}");
  sys.AddAlertButton(std::string("ok"));
  sys.ShowAlert();
  ASSERT_TRUE(UIAlertViewController::Pending());
  EXPECT_TRUE(UIAlertViewController::Pending()->alertView()->cancel());
  EXPECT_TRUE(page.waitFor("LM_IOS.CallFunc(\"onAlertViewClick\", -1);"));
  EXPECT_TRUE(testing_loop::runUntil([] { return !UIAlertViewController::Pending(); }));
}

// Another screen on top of the root (a picker, scanner, crop screen, web page or camera) does
// not keep the alert from showing, and the alerts after it work as well.
TEST_F(SysServicesTest, AlertsShowOverAnotherScreenAndOneWithoutButtonsCanBeClosed) {
  PageEvents page;
  auto window = make<UIWindow>(UIScreen::mainScreen().bounds());
  window->setRootViewController(page.rootController);
  window->makeKeyAndVisible();
  page.rootController->presentViewControllerAnimatedCompletion(std::make_shared<UIViewController>(),
                                                               false);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    page.scripts.clear();
    sys.CreateAlert("{\"title\":\"T\",\"message\":\"M\"}");
    sys.AddAlertButton(std::string("ok"));
    EXPECT_TRUE(UIAlertViewController::Show());
    auto alert = UIAlertViewController::Pending()->alertView();
    ASSERT_TRUE(alert->isVisible());
    EXPECT_EQ(UIWindow::allWindows().back(), alert->alertWindow());
    EXPECT_TRUE(alert->tapButtonAtIndex(0));
    EXPECT_TRUE(page.waitFor("LM_IOS.CallFunc(\"onAlertViewClick\", 0);"));
    EXPECT_TRUE(testing_loop::runUntil([] { return !UIAlertViewController::Pending(); }));
  }
  // No button given: the alert still has one that closes it.
  sys.CreateAlert("{\"title\":\"Bare\",\"message\":\"M\"}");
  sys.ShowAlert();
  auto bare = UIAlertViewController::Pending()->alertView();
  ASSERT_EQ(bare->numberOfButtons(), 1);
  EXPECT_FALSE(bare->buttonTitleAtIndex(0).empty());
  EXPECT_TRUE(bare->tapButtonAtIndex(0));
  EXPECT_TRUE(page.waitFor("LM_IOS.CallFunc(\"onAlertViewClick\", 0);"));
  EXPECT_TRUE(testing_loop::runUntil([] { return !UIAlertViewController::Pending(); }));
}

TEST_F(SysServicesTest, CameraCaptureAndOpenUrl) {
  PageEvents page;
  const std::string save = docs + "/photo.png";
  sys.Photograph("{\"savePath\":\"" + save + "\",\"width\":20,\"height\":10,\"crop\":true}");
  auto picker = std::dynamic_pointer_cast<UIImagePickerController>(
      page.rootController->presentedViewController());
  ASSERT_TRUE(picker);
  EXPECT_EQ(picker->sourceType(), UIImagePickerControllerSourceTypeCamera);
  testing_loop::runUntilIdle();
  EXPECT_TRUE(picker->finishPickingImage(twoColourImage(400, 200)));
  EXPECT_TRUE(page.waitFor("LM_IOS.CallFunc(\"onPhotograph\", \"{\\\"result\\\":true}\");"));
  auto saved = UIImage::imageWithContentsOfFile(save);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->CGImage()->width(), 20u);
  testing_loop::runUntil([&] { return !page.rootController->presentedViewController(); });

  sys.Photograph("{\"savePath\":\"" + save + "\"}");
  picker = std::dynamic_pointer_cast<UIImagePickerController>(
      page.rootController->presentedViewController());
  ASSERT_TRUE(picker);
  testing_loop::runUntilIdle();
  picker->cancel();
  EXPECT_TRUE(
      page.waitFor("LM_IOS.CallFunc(\"onPhotograph\", \"{\\\"result\\\":false,\\\"msg\\\":\\\"user "
                   "cancel\\\"}\");"));
  testing_loop::runUntil([&] { return !page.rootController->presentedViewController(); });

  PermissionStore::shared().setCameraAvailable(false);
  sys.Photograph("{\"savePath\":\"" + save + "\"}");
  EXPECT_FALSE(page.rootController->presentedViewController());
  EXPECT_TRUE(
      page.waitFor("LM_IOS.CallFunc(\"onPhotograph\", "
                   "\"{\\\"result\\\":false,\\\"msg\\\":\\\"camera unavailable\\\"}\");"));

  URLOpener::shared().setSchemeHandler("game", [](const std::string&) { return true; });
  sys.OpenUrl("game://open");
  sys.OpenUrl("nohandler://x");
  sys.OpenUrl("not a url");
  EXPECT_TRUE(page.waitFor(
      "LM_IOS.CallFunc(\"onOpenUrl\", "
      "JSON.parse(\"{\\\"url\\\":\\\"game:\\\\/\\\\/open\\\",\\\"result\\\":true}\"));"));
  EXPECT_TRUE(page.waitFor(
      "LM_IOS.CallFunc(\"onOpenUrl\", "
      "JSON.parse(\"{\\\"url\\\":\\\"nohandler:\\\\/\\\\/x\\\",\\\"result\\\":false}\"));"));
  EXPECT_TRUE(
      page.waitFor("LM_IOS.CallFunc(\"onOpenUrl\", JSON.parse(\"{\\\"url\\\":\\\"not a "
                   "url\\\",\\\"result\\\":false}\"));"));
}

// The camera that cannot come up (no root controller, or the root shows another screen) is
// reported once as a failure, and its handler is let go.
TEST_F(SysServicesTest, ACameraThatCannotBeShownIsReportedAndLetGo) {
  PageEvents page;
  const std::string failed =
      "LM_IOS.CallFunc(\"onPhotograph\", "
      "\"{\\\"result\\\":false,\\\"msg\\\":\\\"show camera fail\\\"}\");";
  auto other = std::make_shared<UIViewController>();
  page.rootController->presentViewControllerAnimatedCompletion(other, false);
  std::weak_ptr<PhotographHandler> weak;
  {
    auto handler = PhotographHandler::make();
    handler->setSavePath(docs + "/p.png");
    weak = handler;
    handler->Handle();
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(page.rootController->presentedViewController(), other);
  EXPECT_TRUE(page.waitFor(failed));

  page.scripts.clear();
  IOSPlugin::SetRootController(nullptr);
  sys.Photograph("{\"savePath\":\"" + docs + "/p.png\"}");
  EXPECT_TRUE(page.waitFor(failed));
  testing_loop::runUntilIdle();
  EXPECT_EQ(std::count(page.scripts.begin(), page.scripts.end(), failed), 1);
  EXPECT_FALSE(fs::exists(docs + "/p.png"));
}

// With a picture standing in for the camera, the camera screen takes it by itself.
TEST_F(SysServicesTest, TheCameraStandInTakesItsPicture) {
  PageEvents page;
  AVCaptureFakeCamera::setPicture(twoColourImage(40, 20));
  sys.Photograph("{\"savePath\":\"" + docs + "/taken.png\"}");
  EXPECT_TRUE(page.waitFor("LM_IOS.CallFunc(\"onPhotograph\", \"{\\\"result\\\":true}\");"));
  auto saved = UIImage::imageWithContentsOfFile(docs + "/taken.png");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->CGImage()->width(), 40u);
  EXPECT_EQ(saved->CGImage()->pixelAt(35, 10), 0xFF0000FFu);
  EXPECT_TRUE(
      testing_loop::runUntil([&] { return !page.rootController->presentedViewController(); }));
}

TEST_F(SysServicesTest, ScreensAreReachedWithTheirArguments) {
  std::vector<std::string> calls;
  SysScreens screens;
  screens.showImagePicker = [&](uint64_t type, uint64_t max) {
    calls.push_back("picker " + std::to_string(type) + " " + std::to_string(max));
  };
  screens.cropImage = [&](const UIImageRef& image, const std::string& path, bool png, uint64_t w,
                          uint64_t h) {
    calls.push_back(std::string("crop ") + (image ? "image " : "none ") +
                    fs::path(path).filename().string() + (png ? " png " : " jpeg ") +
                    std::to_string(w) + "x" + std::to_string(h));
  };
  screens.createQRCode = [&](const std::string& text, double size) {
    calls.push_back("qr " + text + " " + std::to_string(static_cast<int>(size)));
    return text == "none" ? nullptr : twoColourImage(size, size);
  };
  SysInterface::SetScreens(screens);
  for (int n : {0, 2, 9, -5}) sys.SelectImage(n);
  sys.CropImage("{\"sourcePath\":\"" + docs + "/missing.png\",\"savePath\":\"" + docs +
                "/c.png\"}");
  sys.CropImage("{\"sourcePath\":\"" + docs + "/m\",\"savePath\":\"" + docs +
                "/d.png\",\"isPng\":1,\"maxWidth\":\"64\",\"maxHeight\":1e30}");
  sys.CreateQRCode("{\"savePath\":\"" + docs + "/qr.jpg\",\"text\":\"hello\",\"imagePath\":\"" +
                   docs + "/nologo.png\"}");
  write(docs + "/old.jpg", "old");
  sys.CreateQRCode("{\"savePath\":\"" + docs + "/old.jpg\",\"text\":\"none\"}");
  sys.CreateQRCode("{\"savePath\":\"" + docs + "/x.jpg\",\"text\":\"\"}");
  SysInterface::SetScreens({});
  EXPECT_EQ(calls, (std::vector<std::string>{"picker 1 1", "picker 1 2", "picker 1 4", "picker 1 1",
                                             "crop none c.png jpeg 512x512",
                                             "crop none d.png png 64x18446744073709551615",
                                             "qr hello 256", "qr none 256"}));
  auto qr = UIImage::imageWithContentsOfFile(docs + "/qr.jpg");
  ASSERT_TRUE(qr);
  EXPECT_EQ(qr->CGImage()->width(), 256u);
  EXPECT_EQ(read(docs + "/old.jpg"), "old");  // no code: the earlier file stays
}

}  // namespace
