// Keychain items on SQLite: statuses, matching, persistence and accessibility.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/foundation/DeviceRoot.h"
#include "platform/security/SecItem.h"
#include "testing/device/TempDeviceRoot.h"

using namespace plat;

namespace {

Dictionary generic(const std::string& service, const std::string& account) {
  return Dictionary{{kSecClass, kSecClassGenericPassword},
                    {kSecAttrService, service},
                    {kSecAttrAccount, account}};
}

Dictionary with(Dictionary d, const std::string& key, Value v) {
  d.set(key, std::move(v));
  return d;
}

std::string readData(const Dictionary& query) {
  Value out;
  OSStatus s = SecItemCopyMatching(with(query, kSecReturnData, true), &out);
  if (s != errSecSuccess) return "status " + std::to_string(s);
  return out.data() ? out.data()->toString() : "no data";
}

class KeychainTest : public ::testing::Test {
 protected:
  void TearDown() override { setKeychainDeviceLockedForTesting(false); }
  testing_device::TempDeviceRoot root_;
};

TEST_F(KeychainTest, AddFindUpdateDeleteWithThePlatformStatuses) {
  auto item = generic("svc", "alice");
  EXPECT_EQ(SecItemCopyMatching(item, nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd(with(item, kSecValueData, Data::fromString("one"))), errSecSuccess);
  EXPECT_EQ(SecItemAdd(with(item, kSecValueData, Data::fromString("two"))), errSecDuplicateItem);
  EXPECT_EQ(readData(item), "one");
  // Same account under another service is another item.
  EXPECT_EQ(SecItemAdd(with(generic("other", "alice"), kSecValueData, Data::fromString("x"))),
            errSecSuccess);

  EXPECT_EQ(SecItemUpdate(item, {{kSecValueData, Data::fromString("three")}}), errSecSuccess);
  EXPECT_EQ(readData(item), "three");
  EXPECT_EQ(readData(generic("other", "alice")), "x");
  // Renaming onto an existing item would make a duplicate: refused, nothing changed.
  EXPECT_EQ(SecItemUpdate(generic("other", "alice"), {{kSecAttrService, "svc"}}),
            errSecDuplicateItem);
  EXPECT_EQ(readData(generic("other", "alice")), "x");
  EXPECT_EQ(SecItemUpdate(generic("svc", "nobody"), {{kSecAttrLabel, "l"}}), errSecItemNotFound);

  // All items of the service, with their attributes.
  Value all;
  ASSERT_EQ(SecItemCopyMatching({{kSecClass, kSecClassGenericPassword},
                                 {kSecReturnAttributes, true},
                                 {kSecMatchLimit, kSecMatchLimitAll}},
                                &all),
            errSecSuccess);
  ASSERT_TRUE(all.isArray());
  EXPECT_EQ(all.count(), 2u);
  EXPECT_EQ(all[0][kSecAttrAccount].stringOr(), "alice");
  EXPECT_FALSE(all[0].dictionary()->contains(kSecValueData));

  EXPECT_EQ(SecItemDelete(item), errSecSuccess);
  EXPECT_EQ(SecItemDelete(item), errSecItemNotFound);
  EXPECT_EQ(readData(item), "status -25300");

  // Bad input: no class, an unknown class, a key class, data of the wrong kind.
  EXPECT_EQ(SecItemAdd({{kSecAttrService, "svc"}}), errSecParam);
  EXPECT_EQ(SecItemAdd({{kSecClass, "nope"}}), errSecParam);
  EXPECT_EQ(SecItemAdd({{kSecClass, "keys"}}), errSecUnimplemented);
  EXPECT_EQ(SecItemAdd(with(item, kSecValueData, "text, not data")), errSecParam);
}

TEST_F(KeychainTest, EmptyDataIsKeptApartFromMissingData) {
  auto a = generic("svc", "empty");
  auto b = generic("svc", "none");
  ASSERT_EQ(SecItemAdd(with(a, kSecValueData, Data())), errSecSuccess);
  ASSERT_EQ(SecItemAdd(b), errSecSuccess);
  Value out;
  ASSERT_EQ(SecItemCopyMatching(with(a, kSecReturnData, true), &out), errSecSuccess);
  EXPECT_TRUE(out.isData());
  ASSERT_EQ(SecItemCopyMatching(with(b, kSecReturnData, true), &out), errSecSuccess);
  EXPECT_TRUE(out.isNil());
}

// "token\0x" is not another spelling of "token": a text attribute with a NUL byte is refused,
// so it can neither add a second "token" item nor hide the first one.
TEST_F(KeychainTest, ATextAttributeWithANulByteIsRefused) {
  const std::string cut("token\0x", 7);
  auto token = generic("svc", "token");
  ASSERT_EQ(SecItemAdd(with(token, kSecValueData, Data::fromString("old"))), errSecSuccess);
  EXPECT_EQ(SecItemAdd(with(generic("svc", cut), kSecValueData, Data::fromString("x"))),
            errSecParam);
  EXPECT_EQ(SecItemAdd(with(generic(cut, "a"), kSecValueData, Data::fromString("x"))),
            errSecParam);
  EXPECT_EQ(SecItemAdd(with(with(token, kSecAttrLabel, cut), kSecValueData, Data::fromString("x"))),
            errSecParam);
  EXPECT_EQ(SecItemCopyMatching(with(generic("svc", cut), kSecReturnData, true), nullptr),
            errSecParam);
  EXPECT_EQ(SecItemUpdate(generic("svc", cut), {{kSecValueData, Data::fromString("x")}}),
            errSecParam);
  EXPECT_EQ(SecItemUpdate(token, {{kSecAttrComment, cut}}), errSecParam);
  EXPECT_EQ(SecItemDelete(generic("svc", cut)), errSecParam);

  EXPECT_EQ(SecItemUpdate(token, {{kSecValueData, Data::fromString("new")}}), errSecSuccess);
  EXPECT_EQ(readData(token), "new");
  Value all;
  ASSERT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword},
                                           {kSecReturnAttributes, true},
                                           {kSecMatchLimit, kSecMatchLimitAll}},
                                &all),
            errSecSuccess);
  EXPECT_EQ(all.count(), 1u);
}

TEST_F(KeychainTest, SynchronizableItemsMatchOnlyWhenAsked) {
  auto local = generic("svc", "acct");
  auto synced = with(local, kSecAttrSynchronizable, true);
  ASSERT_EQ(SecItemAdd(with(local, kSecValueData, Data::fromString("local"))), errSecSuccess);
  // The synchronised twin is no duplicate of the local one.
  ASSERT_EQ(SecItemAdd(with(synced, kSecValueData, Data::fromString("cloud"))), errSecSuccess);
  EXPECT_EQ(readData(local), "local");
  EXPECT_EQ(readData(synced), "cloud");
  Value all;
  ASSERT_EQ(SecItemCopyMatching(with(with(local, kSecAttrSynchronizable, kSecAttrSynchronizableAny),
                                     kSecMatchLimit, kSecMatchLimitAll),
                                nullptr),
            errSecSuccess);
  EXPECT_EQ(SecItemDelete(with(local, kSecAttrSynchronizable, kSecAttrSynchronizableAny)),
            errSecSuccess);
  EXPECT_EQ(SecItemCopyMatching(synced, nullptr), errSecItemNotFound);
  // "Any" says which items to find; it cannot be written.
  EXPECT_EQ(SecItemAdd(with(local, kSecAttrSynchronizable, kSecAttrSynchronizableAny)),
            errSecParam);
}

TEST_F(KeychainTest, InternetPasswordsMatchByServerPortAndProtocol) {
  Dictionary item{{kSecClass, kSecClassInternetPassword},
                  {kSecAttrServer, "example.com"},
                  {kSecAttrPort, 443},
                  {kSecAttrAccount, "bob"}};
  ASSERT_EQ(SecItemAdd(with(item, kSecValueData, Data::fromString("pw"))), errSecSuccess);
  EXPECT_EQ(SecItemAdd(item), errSecDuplicateItem);
  EXPECT_EQ(SecItemAdd(with(item, kSecAttrPort, 8443)), errSecSuccess);
  EXPECT_EQ(readData(item), "pw");
  EXPECT_EQ(SecItemCopyMatching({{kSecClass, kSecClassGenericPassword}}, nullptr),
            errSecItemNotFound);
}

TEST_F(KeychainTest, ItemsLiveInAPrivateFileOutsideTheAppContainer) {
  auto item = generic("svc", "acct");
  ASSERT_EQ(SecItemAdd(with(item, kSecValueData, Data::fromString("kept"))), errSecSuccess);
  struct stat st;
  ASSERT_EQ(stat(keychainDatabasePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Deleting the application (its container) keeps the items.
  std::filesystem::remove_all(DeviceRoot::homePath());
  EXPECT_EQ(readData(item), "kept");
}

TEST_F(KeychainTest, ANonRegularDatabaseFileFailsInsteadOfHanging) {
  ASSERT_EQ(mkfifo(keychainDatabasePath().c_str(), 0600), 0);
  EXPECT_EQ(SecItemAdd(generic("svc", "acct")), errSecIO);
  EXPECT_EQ(SecItemCopyMatching(generic("svc", "acct"), nullptr), errSecIO);
}

TEST_F(KeychainTest, LockedDeviceRefusesItemsThatNeedUnlocking) {
  auto whenUnlocked = with(generic("svc", "a"), kSecAttrAccessible, kSecAttrAccessibleWhenUnlocked);
  auto afterFirst =
      with(generic("svc", "b"), kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlock);
  ASSERT_EQ(SecItemAdd(with(whenUnlocked, kSecValueData, Data::fromString("1"))), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(afterFirst, kSecValueData, Data::fromString("2"))), errSecSuccess);
  setKeychainDeviceLockedForTesting(true);
  EXPECT_EQ(readData(generic("svc", "a")), "status -25308");
  EXPECT_EQ(readData(generic("svc", "b")), "2");
  EXPECT_EQ(SecItemDelete(generic("svc", "a")), errSecInteractionNotAllowed);
  setKeychainDeviceLockedForTesting(false);
  EXPECT_EQ(readData(generic("svc", "a")), "1");

  // Access control carries the accessibility.
  NSErrorRef error;
  EXPECT_FALSE(SecAccessControlCreateWithFlags("bogus", 0, &error));
  ASSERT_TRUE(error);
  auto ac = SecAccessControlCreateWithFlags(kSecAttrAccessibleAlways, 1);
  ASSERT_TRUE(ac);
  ASSERT_EQ(SecItemAdd(with(generic("svc", "c"), kSecAttrAccessControl, Value(ac))), errSecSuccess);
  Value attrs;
  ASSERT_EQ(SecItemCopyMatching(with(generic("svc", "c"), kSecReturnAttributes, true), &attrs),
            errSecSuccess);
  EXPECT_EQ(attrs[kSecAttrAccessible].stringOr(), kSecAttrAccessibleAlways);
}

// A keychain file the previous version wrote (its table alone, in the old journal mode) opens
// with its items, which are found, changed and kept unique through the indexes added in place.
TEST_F(KeychainTest, AKeychainOfThePreviousVersionOpensAndIsBroughtUpToDate) {
  std::filesystem::create_directories(DeviceRoot::platformStatePath());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(keychainDatabasePath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE items(id INTEGER PRIMARY KEY, cls TEXT NOT NULL,"
                         " svce TEXT, acct TEXT, agrp TEXT, srvr TEXT, ptcl TEXT, atyp TEXT,"
                         " path TEXT, labl TEXT, icmt TEXT, port INTEGER, gena BLOB,"
                         " pdmn TEXT NOT NULL, acfl INTEGER NOT NULL, sync INTEGER NOT NULL,"
                         " data BLOB, cdat REAL, mdat REAL);"
                         "INSERT INTO items(cls, svce, acct, pdmn, acfl, sync, data)"
                         " VALUES('genp', 'svc', 'old', 'ck', 0, 0, x'6b657074');"
                         "INSERT INTO items(cls, acct, pdmn, acfl, sync, data)"
                         " VALUES('genp', 'no service', 'ck', 0, 0, x'');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  EXPECT_EQ(readData(generic("svc", "old")), "kept");
  EXPECT_EQ(SecItemAdd(generic("svc", "old")), errSecDuplicateItem);
  // A missing service is the empty one, as before.
  EXPECT_EQ(SecItemAdd(generic("", "no service")), errSecDuplicateItem);
  EXPECT_EQ(SecItemUpdate(generic("svc", "old"), Dictionary{{kSecAttrAccount, "no service"},
                                                            {kSecAttrService, ""}}),
            errSecDuplicateItem);
  EXPECT_EQ(SecItemUpdate(generic("svc", "old"), Dictionary{{kSecValueData, Data::fromString("new")}}),
            errSecSuccess);
  EXPECT_EQ(readData(generic("svc", "old")), "new");

  ASSERT_EQ(sqlite3_open(keychainDatabasePath().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'index'", -1,
                               &st, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 2);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

}  // namespace
