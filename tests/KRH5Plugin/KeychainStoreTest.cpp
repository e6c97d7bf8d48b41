// The keychain store against the platform keychain of a temporary device root.

#include <gtest/gtest.h>

#include <regex>

#include "KRH5Plugin/LMKeyChainStore.h"
#include "platform/security/SecItem.h"
#include "platform/security/SecSharedCredential.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

size_t itemCount(const std::string& service) {
  Dictionary query{{kSecClass, kSecClassGenericPassword},
                   {kSecAttrService, service},
                   {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                   {kSecReturnAttributes, true},
                   {kSecMatchLimit, kSecMatchLimitAll}};
  Value result;
  if (SecItemCopyMatching(query, &result) != 0) return 0;
  return result.count();
}

TEST(KeychainStoreTest, WritesUpdateInPlaceReadsAndRemoves) {
  testing_device::TempDeviceRoot root;
  auto store = LMKeyChainStore::keyChainStoreWithService("svc");
  EXPECT_TRUE(store->setStringForKey("one", "k"));
  EXPECT_TRUE(store->setStringForKey("two \xE4\xB8\xAD", "k"));
  EXPECT_EQ(itemCount("svc"), 1u);  // updated, not added twice
  EXPECT_EQ(store->stringForKey("k"), "two \xE4\xB8\xAD");
  EXPECT_TRUE(store->contains("k"));

  // Another store of the same service sees the item; another service does not.
  EXPECT_EQ(LMKeyChainStore::keyChainStoreWithService("svc")->stringForKey("k"),
            "two \xE4\xB8\xAD");
  auto other = LMKeyChainStore::keyChainStoreWithService("other");
  EXPECT_FALSE(other->stringForKey("k").has_value());
  EXPECT_TRUE(other->setStringForKey("x", "k"));

  NSErrorRef error;
  EXPECT_TRUE(store->setStringForKey(std::nullopt, "k", &error));  // nil removes
  EXPECT_FALSE(store->stringForKey("k", &error).has_value());
  EXPECT_FALSE(error);  // missing is no failure
  EXPECT_TRUE(store->removeItemForKey("never-there", &error));
  EXPECT_FALSE(error);

  EXPECT_TRUE(store->removeAllItems());  // nothing left of "svc": still YES
  EXPECT_EQ(other->stringForKey("k"), "x");
  EXPECT_TRUE(other->removeAllItems());
  EXPECT_EQ(itemCount("other"), 0u);
}

TEST(KeychainStoreTest, ArgumentAndConversionErrors) {
  testing_device::TempDeviceRoot root;
  auto store = LMKeyChainStore::keyChainStoreWithService("svc");
  ASSERT_TRUE(store->setStringForKey("kept", "k"));

  for (const auto& value : {std::optional<std::string>("v"), std::optional<std::string>()}) {
    NSErrorRef error;
    EXPECT_FALSE(store->setStringForKey(value, std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "com.tesmarik.lmkeychainstore");
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->localizedDescription(), "the key must not to be nil");
  }
  NSErrorRef error;
  EXPECT_FALSE(store->removeItemForKey(std::nullopt, &error));
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(store->stringForKey("k"), "kept");  // nothing was deleted

  // Data that is no UTF-8 reads back as data, not as text.
  const uint8_t raw[] = {0xff, 0xfe, 'a'};
  ASSERT_TRUE(store->setDataForKey(Data(raw, sizeof raw), "bin"));
  error.reset();
  EXPECT_FALSE(store->stringForKey("bin", &error).has_value());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -67594);
  EXPECT_EQ(store->dataForKey("bin"), Data(raw, sizeof raw));
  error.reset();
  EXPECT_FALSE(store->setStringForKey(std::string("\xc3"), "t", &error));
  EXPECT_EQ(error->code(), -67594);
}

TEST(KeychainStoreTest, AKeyWithANulByteIsRefusedAndHidesNothing) {
  testing_device::TempDeviceRoot root;
  auto store = LMKeyChainStore::keyChainStoreWithService("svc");
  ASSERT_TRUE(store->setStringForKey("old", "token"));
  const std::string cut("token\0x", 7);
  NSErrorRef error;
  EXPECT_FALSE(store->setStringForKey("x", cut, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), errSecParam);
  EXPECT_FALSE(store->stringForKey(cut).has_value());
  EXPECT_FALSE(store->contains(cut));
  EXPECT_EQ(itemCount("svc"), 1u);
  EXPECT_TRUE(store->setStringForKey("new", "token"));
  EXPECT_EQ(store->stringForKey("token"), "new");
}

TEST(KeychainStoreTest, LockedDeviceRefusesWithoutAddingASecondItem) {
  testing_device::TempDeviceRoot root;
  auto store = LMKeyChainStore::keyChainStoreWithService("svc");
  store->setAccessibility(LMKeyChainStoreAccessibilityWhenUnlocked);
  ASSERT_TRUE(store->setStringForKey("old", "k"));
  setKeychainDeviceLockedForTesting(true);
  NSErrorRef error;
  EXPECT_FALSE(store->setStringForKey("new", "k", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), errSecInteractionNotAllowed);
  setKeychainDeviceLockedForTesting(false);
  EXPECT_EQ(itemCount("svc"), 1u);
  EXPECT_EQ(store->stringForKey("k"), "old");
}

TEST(KeychainStoreTest, DefaultServiceAndInternetPasswords) {
  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle(Dictionary{{"CFBundleIdentifier", "com.example.game"}});
  LMKeyChainStore::setDefaultService("com.example.game");
  EXPECT_EQ(LMKeyChainStore::keyChainStore()->service(), "com.example.game");
  EXPECT_EQ(LMKeyChainStore::keyChainStoreWithService(std::nullopt)->service(), "com.example.game");

  auto web = LMKeyChainStore::keyChainStoreWithServerProtocolType(
      NSURL::URLWithString("https://login.example.org:8443/path"), 16);
  EXPECT_EQ(web->authenticationType(), 8);
  ASSERT_TRUE(web->setStringForKey("secret", "alice"));
  EXPECT_EQ(web->stringForKey("alice"), "secret");
  auto otherPort = LMKeyChainStore::keyChainStoreWithServerProtocolType(
      NSURL::URLWithString("https://login.example.org:9443/"), 16);
  EXPECT_FALSE(otherPort->stringForKey("alice").has_value());
  EXPECT_FALSE(LMKeyChainStore::keyChainStore()->stringForKey("alice").has_value());
  EXPECT_TRUE(web->removeAllItems());
  EXPECT_FALSE(web->stringForKey("alice").has_value());
}

TEST(KeychainStoreTest, ClassFormsAndSubscriptsWorkThroughAStoreOfTheService) {
  testing_device::TempDeviceRoot root;
  LMKeyChainStore::setDefaultService("com.example.default");
  EXPECT_TRUE(LMKeyChainStore::setStringForKeyServiceAccessGroupGenericAttribute("v", "k", "svc"));
  EXPECT_EQ(LMKeyChainStore::stringForKeyServiceAccessGroup("k", "svc"), "v");
  EXPECT_EQ(LMKeyChainStore::keyChainStoreWithService("svc")->stringForKey("k"), "v");
  EXPECT_FALSE(LMKeyChainStore::stringForKeyServiceAccessGroup("k").has_value());  // default
  EXPECT_TRUE(
      LMKeyChainStore::setDataForKeyServiceAccessGroupGenericAttribute(Data::fromString("d"), "k"));
  EXPECT_EQ(LMKeyChainStore::keyChainStore()->stringForKey("k"), "d");
  EXPECT_EQ(LMKeyChainStore::dataForKeyServiceAccessGroup("k"), Data::fromString("d"));

  NSErrorRef error;
  EXPECT_FALSE(LMKeyChainStore::stringForKeyServiceAccessGroup(std::nullopt, "svc", {}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  error.reset();
  EXPECT_FALSE(
      LMKeyChainStore::removeItemForKeyServiceAccessGroup(std::nullopt, "svc", {}, &error));
  EXPECT_EQ(error->code(), 1);
  EXPECT_TRUE(
      LMKeyChainStore::setStringForKeyServiceAccessGroupGenericAttribute(std::nullopt, "k", "svc"));
  EXPECT_FALSE(LMKeyChainStore::stringForKeyServiceAccessGroup("k", "svc").has_value());

  auto store = LMKeyChainStore::keyChainStoreWithService("svc");
  store->setObjectForKeyedSubscript("x", "s");
  EXPECT_EQ(store->objectForKeyedSubscript("s"), "x");
  store->setObjectForKeyedSubscript(std::nullopt, "s");
  EXPECT_FALSE(store->contains("s"));
  EXPECT_TRUE(LMKeyChainStore::removeAllItemsForServiceAccessGroup());
  EXPECT_FALSE(LMKeyChainStore::keyChainStore()->contains("k"));
  EXPECT_TRUE(store->synchronizeWithError());
  LMKeyChainStore::setDefaultService("");
}

TEST(KeychainStoreTest, ListingsInReadableFormAndDescription) {
  testing_device::TempDeviceRoot root;
  auto store = LMKeyChainStore::keyChainStoreWithService("svc");
  EXPECT_EQ(store->items(), Array{});
  EXPECT_EQ(store->allKeys(), Array{});
  EXPECT_EQ(store->description(), "()");
  ASSERT_TRUE(store->setStringForKeyLabelComment("one", "a", "label", "comment"));
  const uint8_t raw[] = {0xff, 0x00};
  ASSERT_TRUE(store->setDataForKey(Data(raw, sizeof raw), "b"));
  ASSERT_TRUE(LMKeyChainStore::keyChainStoreWithService("other")->setStringForKey("o", "c"));
  auto web = LMKeyChainStore::keyChainStoreWithServerProtocolType(
      NSURL::URLWithString("https://example.org/"), 16);
  ASSERT_TRUE(web->setStringForKey("pw", "alice"));

  ASSERT_EQ(store->items()->size(), 2u);
  auto all = store->allItems();
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ((*all)[0], Value(Dictionary{{"class", "GenericPassword"},
                                        {"service", "svc"},
                                        {"key", "a"},
                                        {"value", "one"},
                                        {"accessibility", kSecAttrAccessibleAfterFirstUnlock},
                                        {"synchronizable", false}}));
  EXPECT_EQ((*all)[1]["value"], Value(Data(raw, sizeof raw)));  // no UTF-8: the data itself
  EXPECT_EQ(store->allKeys(), (Array{"a", "b"}));
  auto webItems = web->allItems();
  ASSERT_TRUE(webItems && webItems->size() == 1);
  EXPECT_EQ((*webItems)[0]["class"], Value("InternetPassword"));
  EXPECT_EQ((*webItems)[0]["server"], Value("example.org"));
  EXPECT_EQ((*webItems)[0]["protocol"], Value("htps"));
  EXPECT_EQ((*webItems)[0]["authenticationType"], Value("dflt"));

  // The class forms cover every service (or server).
  EXPECT_EQ(LMKeyChainStore::allItemsWithItemClass(1)->size(), 3u);
  EXPECT_EQ(LMKeyChainStore::allKeysWithItemClass(1),
            (Array{Dictionary{{"service", "svc"}, {"key", "a"}},
                   Dictionary{{"service", "svc"}, {"key", "b"}},
                   Dictionary{{"service", "other"}, {"key", "c"}}}));
  EXPECT_EQ(LMKeyChainStore::allKeysWithItemClass(2),
            (Array{Dictionary{{"server", "example.org"}, {"key", "alice"}}}));

  std::string text = store->description();
  EXPECT_EQ(text.rfind("(\n    {", 0), 0u) << text;
  EXPECT_EQ(text.back(), ')');
  EXPECT_NE(text.find("one"), std::string::npos);
  EXPECT_NE(store->debugDescription().find("svc"), std::string::npos);
}

TEST(KeychainStoreTest, SharedWebCredentialsAnswerAsADeviceWithoutThem) {
  testing_device::TempDeviceRoot root;
  // Without a server host: the argument error at once.
  auto local = LMKeyChainStore::keyChainStoreWithService("svc");
  NSErrorRef immediate;
  local->sharedPasswordWithCompletion([&](const std::optional<std::string>&,
                                          const std::optional<std::string>&,
                                          const NSErrorRef& e) { immediate = e; });
  ASSERT_TRUE(immediate);
  EXPECT_EQ(immediate->code(), 1);
  EXPECT_EQ(immediate->localizedDescription().rfind("the server property must not to be nil", 0),
            0u);

  auto web = LMKeyChainStore::keyChainStoreWithServerProtocolType(
      NSURL::URLWithString("https://example.org/"), 16);
  bool answered = false;
  std::optional<std::string> password = "unset";
  NSErrorRef error;
  web->sharedPasswordForAccountCompletion(
      "alice", [&](const std::optional<std::string>& p, const NSErrorRef& e) {
        answered = true, password = p, error = e;
      });
  EXPECT_FALSE(answered);  // later, on the main queue
  ASSERT_TRUE(testing_loop::runUntil([&] { return answered; }));
  EXPECT_FALSE(password.has_value());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), errSecItemNotFound);

  answered = false;
  web->setSharedPasswordForAccountCompletion(
      "pw", "alice", [&](const NSErrorRef& e) { answered = true, error = e; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return answered; }));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), errSecMissingEntitlement);

  answered = false;
  LMKeyChainStore::requestSharedWebCredentialWithCompletion(
      [&](const Array& credentials, const NSErrorRef& e) {
        answered = true, error = e;
        EXPECT_TRUE(credentials.empty());
      });
  ASSERT_TRUE(testing_loop::runUntil([&] { return answered; }));

  auto generated = LMKeyChainStore::generatePassword();
  ASSERT_TRUE(generated);
  EXPECT_TRUE(std::regex_match(*generated, std::regex("[A-Za-z2-9]{3}(-[A-Za-z2-9]{3}){3}")))
      << *generated;
  EXPECT_NE(generated, LMKeyChainStore::generatePassword());
}

}  // namespace
