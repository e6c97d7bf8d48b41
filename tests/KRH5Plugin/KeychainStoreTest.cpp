// The keychain store against the platform keychain of a temporary device root.

#include <gtest/gtest.h>

#include "KRH5Plugin/LMKeyChainStore.h"
#include "platform/security/SecItem.h"
#include "testing/device/TempDeviceRoot.h"

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
  EXPECT_EQ(LMKeyChainStore::keyChainStoreWithService("svc")->stringForKey("k"), "two \xE4\xB8\xAD");
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

}  // namespace
