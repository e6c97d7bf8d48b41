#pragma once
// Keychain items in the shape of the platform's Security item functions: SecItemAdd,
// SecItemCopyMatching, SecItemUpdate and SecItemDelete over attribute dictionaries.
//
// Items are generic passwords (service, account) and internet passwords (server, port,
// protocol, authentication type, path, account), each with an optional access group, label,
// comment, generic attribute, accessibility, synchronizable mark and value data. They live in
// an SQLite database in the platform's state folder (plat::DeviceRoot::platformStatePath(),
// file "keychain.db", mode 0600), outside the application container, so they survive a
// reinstall of the application as on the phone. Every call is one transaction; lookups go
// through the database's indexes (class, service or server, account), so a call costs the
// same with ten items or ten thousand. The file stays readable by earlier versions, and a file
// they wrote is brought up to date in place.
//
// Several processes may use one file (two programs on one device root). Readers never wait for
// a writer. A writer waits while another process holds the database, up to the calling
// thread's busy wait (5 s unless a KeychainBusyWaitScope says otherwise); past it the call
// answers errSecNotAvailable and has changed nothing, so it can be made again.
//
// Matching: a query attribute given must equal the item's; an absent one matches any value.
// kSecAttrSynchronizable absent or false matches local items only, true synchronised items
// only, kSecAttrSynchronizableAny both. Two items of a class with equal primary attributes
// (generic: service, account, access group, synchronizable; internet: server, port,
// protocol, authentication type, path, account, access group, synchronizable) are
// duplicates.
//
// Accessibility: while the device is marked locked (setKeychainDeviceLockedForTesting), items
// readable only when unlocked (kSecAttrAccessibleWhenUnlocked..., WhenPasscodeSet...) are
// refused with errSecInteractionNotAllowed on reads and writes.
//
// Thread-safety: every function may be called from any thread; calls are serialised.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/security/SecTrust.h"

namespace plat {

inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
// The database stayed locked by another process past the busy wait; nothing was changed.
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;

// Attribute keys and values (the texts are the platform's own short names).
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecClassInternetPassword = "inet";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrAccessGroup = "agrp";
inline constexpr const char* kSecAttrServer = "srvr";
inline constexpr const char* kSecAttrPort = "port";
inline constexpr const char* kSecAttrProtocol = "ptcl";
inline constexpr const char* kSecAttrAuthenticationType = "atyp";
inline constexpr const char* kSecAttrPath = "path";
inline constexpr const char* kSecAttrLabel = "labl";
inline constexpr const char* kSecAttrComment = "icmt";
inline constexpr const char* kSecAttrGeneric = "gena";
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrAccessControl = "accc";
inline constexpr const char* kSecAttrSynchronizable = "sync";
inline constexpr const char* kSecAttrSynchronizableAny = "syna";
inline constexpr const char* kSecAttrCreationDate = "cdat";
inline constexpr const char* kSecAttrModificationDate = "mdat";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";
inline constexpr const char* kSecUseOperationPrompt = "u_OpPrompt";
inline constexpr const char* kSecUseAuthenticationUI = "u_AuthUI";
inline constexpr const char* kSecUseAuthenticationUIAllow = "u_AuthUIA";
inline constexpr const char* kSecUseAuthenticationUIFail = "u_AuthUIF";
inline constexpr const char* kSecUseAuthenticationUISkip = "u_AuthUIS";

inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "ak";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr const char* kSecAttrAccessibleAlways = "dk";
inline constexpr const char* kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly = "akpu";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "dku";

// Access control: an accessibility with flags. Stored with the item as its accessibility
// (the flags are kept but there is no user to ask, so they ask for nothing).
class SecAccessControl : public Object {
 public:
  SecAccessControl(std::string protection, uint64_t flags)
      : protection_(std::move(protection)), flags_(flags) {}
  std::string className() const override { return "SecAccessControl"; }
  const std::string& protection() const { return protection_; }
  uint64_t flags() const { return flags_; }

 private:
  std::string protection_;
  uint64_t flags_;
};
using SecAccessControlRef = std::shared_ptr<SecAccessControl>;

// Null and *error (NSOSStatusErrorDomain, errSecParam) when `protection` is not one of the
// accessibility values above.
SecAccessControlRef SecAccessControlCreateWithFlags(const Value& protection, uint64_t flags,
                                                    NSErrorRef* error = nullptr);

// Every function answers errSecParam when a text attribute (class, service, account, access
// group, server, protocol, authentication type, path, label, comment) holds a NUL byte.
//
// Adds one item. errSecParam when the class is missing or unknown, when an attribute has the
// wrong kind, or with kSecAttrSynchronizableAny; errSecUnimplemented for other item classes
// (keys, certificates); errSecDuplicateItem when a duplicate exists. `result` (may be null)
// receives what kSecReturnData / kSecReturnAttributes ask for.
OSStatus SecItemAdd(const Dictionary& attributes, Value* result = nullptr);
// Finds items. With kSecReturnData alone the result is the data; with kSecReturnAttributes
// a dictionary of the attributes (plus kSecValueData when data is asked for too); with
// kSecMatchLimitAll an array of those; without any return key the result stays nil.
// errSecItemNotFound when nothing matches.
OSStatus SecItemCopyMatching(const Dictionary& query, Value* result);
// Changes the attributes (and data) of every matching item. errSecItemNotFound when none
// matches; errSecDuplicateItem (nothing changed) when a change would make duplicates;
// errSecParam when `attributesToUpdate` holds the class or return/match keys.
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
// Deletes every matching item. errSecItemNotFound when none matches.
OSStatus SecItemDelete(const Dictionary& query);

// Sets the busy wait of the keychain calls this thread makes while the scope lives (0: do not
// wait at all), and restores the previous one after. Scopes nest.
class KeychainBusyWaitScope {
 public:
  explicit KeychainBusyWaitScope(double seconds);
  ~KeychainBusyWaitScope();
  KeychainBusyWaitScope(const KeychainBusyWaitScope&) = delete;
  KeychainBusyWaitScope& operator=(const KeychainBusyWaitScope&) = delete;

 private:
  double previous_;
};

// Marks the device locked or unlocked (see Accessibility above). Unlocked at start.
void setKeychainDeviceLockedForTesting(bool locked);
// The database file of the current device root.
std::string keychainDatabasePath();

}  // namespace plat
