#pragma once
// LMKeyChainStore: keychain items of one service (generic passwords) or one server (internet
// passwords), read, written and removed by key (the item's account); the value is the item's
// data, or its UTF-8 text for the string forms.
//
// Results: NO / nil on failure, plus an error in the domain "com.tesmarik.lmkeychainstore"
// when one is asked for: code 1 (argument), -67594 (conversion), the keychain's status
// (security) or -99999 (unexpected). Every error is written to the system log when it is
// made. Not found is no failure: reading gives nil without error, removing gives YES.
//
// Thread-safety: no locking of its own; the keychain calls are serialised by the platform.
// The application uses its one store on the main thread. The completions of the shared web
// credential operations run on the main queue (or at once, for an argument error).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

inline constexpr const char* kLMKeyChainStoreErrorDomain = "com.tesmarik.lmkeychainstore";

enum LMKeyChainStoreItemClass : int64_t {
  LMKeyChainStoreItemClassGenericPassword = 1,
  LMKeyChainStoreItemClassInternetPassword = 2,
};

// 1 when unlocked ... 7 always, this device only; see accessibilityConstant().
enum LMKeyChainStoreAccessibility : int64_t {
  LMKeyChainStoreAccessibilityWhenUnlocked = 1,
  LMKeyChainStoreAccessibilityAfterFirstUnlock = 2,
  LMKeyChainStoreAccessibilityAlways = 3,
  LMKeyChainStoreAccessibilityWhenPasscodeSetThisDeviceOnly = 4,
  LMKeyChainStoreAccessibilityWhenUnlockedThisDeviceOnly = 5,
  LMKeyChainStoreAccessibilityAfterFirstUnlockThisDeviceOnly = 6,
  LMKeyChainStoreAccessibilityAlwaysThisDeviceOnly = 7,
};

enum LMKeyChainStoreErrorCode : int64_t {
  LMKeyChainStoreErrorInvalidArguments = 1,
  LMKeyChainStoreErrorConversion = -67594,
  LMKeyChainStoreErrorUnexpected = -99999,
};

class LMKeyChainStore;
using LMKeyChainStoreRef = std::shared_ptr<LMKeyChainStore>;

class LMKeyChainStore : public plat::Object {
 public:
  // Generic passwords of `service` (the default service when nullopt).
  static LMKeyChainStoreRef keyChainStore();
  static LMKeyChainStoreRef keyChainStoreWithService(std::optional<std::string> service);
  static LMKeyChainStoreRef keyChainStoreWithServiceAccessGroup(
      std::optional<std::string> service, std::optional<std::string> accessGroup);
  // Internet passwords of `server` (authentication type 8, default, unless given).
  static LMKeyChainStoreRef keyChainStoreWithServerProtocolType(const plat::NSURLRef& server,
                                                                int64_t protocolType);
  static LMKeyChainStoreRef keyChainStoreWithServerProtocolTypeAuthenticationType(
      const plat::NSURLRef& server, int64_t protocolType, int64_t authenticationType);

  // The main bundle's identifier ("" without one) until replaced.
  static std::string defaultService();
  static void setDefaultService(std::string service);

  std::string className() const override { return "LMKeyChainStore"; }

  int64_t itemClass() const { return itemClass_; }
  const std::string& service() const { return service_; }
  const std::optional<std::string>& accessGroup() const { return accessGroup_; }
  const plat::NSURLRef& server() const { return server_; }
  int64_t protocolType() const { return protocolType_; }
  int64_t authenticationType() const { return authenticationType_; }

  bool synchronizable() const { return synchronizable_; }
  void setSynchronizable(bool value);
  int64_t accessibility() const { return accessibility_; }
  void setAccessibility(int64_t accessibility) { accessibility_ = accessibility; }
  int64_t authenticationPolicy() const { return authenticationPolicy_; }
  void setAccessibilityAuthenticationPolicy(int64_t accessibility, int64_t policy);
  const std::optional<std::string>& authenticationPrompt() const { return authenticationPrompt_; }
  void setAuthenticationPrompt(std::optional<std::string> prompt) {
    authenticationPrompt_ = std::move(prompt);
  }

  // ---- Class forms. A store of `service` (the default service when nullopt) and
  // `accessGroup` does the work and hands its error back through `error`; a nullopt key is
  // the argument error and nullopt / NO, a nullopt value removes the item. The shorter forms
  // (stringForKey:, stringForKey:service:, ... removeAllItems, removeAllItemsForService:) are
  // these with the trailing arguments left out.
  static std::optional<std::string> stringForKeyServiceAccessGroup(
      const std::optional<std::string>& key, const std::optional<std::string>& service = {},
      const std::optional<std::string>& accessGroup = {}, plat::NSErrorRef* error = nullptr);
  static bool setStringForKeyServiceAccessGroupGenericAttribute(
      const std::optional<std::string>& value, const std::optional<std::string>& key,
      const std::optional<std::string>& service = {},
      const std::optional<std::string>& accessGroup = {}, const plat::Value& genericAttribute = {},
      plat::NSErrorRef* error = nullptr);
  static std::optional<plat::Data> dataForKeyServiceAccessGroup(
      const std::optional<std::string>& key, const std::optional<std::string>& service = {},
      const std::optional<std::string>& accessGroup = {}, plat::NSErrorRef* error = nullptr);
  static bool setDataForKeyServiceAccessGroupGenericAttribute(
      const std::optional<plat::Data>& value, const std::optional<std::string>& key,
      const std::optional<std::string>& service = {},
      const std::optional<std::string>& accessGroup = {}, const plat::Value& genericAttribute = {},
      plat::NSErrorRef* error = nullptr);
  static bool removeItemForKeyServiceAccessGroup(const std::optional<std::string>& key,
                                                 const std::optional<std::string>& service = {},
                                                 const std::optional<std::string>& accessGroup = {},
                                                 plat::NSErrorRef* error = nullptr);
  static bool removeAllItemsForServiceAccessGroup(
      const std::optional<std::string>& service = {},
      const std::optional<std::string>& accessGroup = {}, plat::NSErrorRef* error = nullptr);

  // Every item of the class (2: internet passwords, any other value: generic passwords) in
  // the readable form of allItems, whatever its service or server. Empty when there is none,
  // nullopt on failure.
  static std::optional<plat::Array> allItemsWithItemClass(int64_t itemClass);
  // For every item of the class, {"service", "key"} (generic passwords) or {"server", "key"}
  // (internet passwords), "" standing for a missing value. Empty when there is none, nullopt
  // on failure.
  static std::optional<plat::Array> allKeysWithItemClass(int64_t itemClass);

  // ---- Shared web credentials (the store's server host is the domain).
  using SharedPasswordCompletion =
      std::function<void(const std::optional<std::string>& account,
                         const std::optional<std::string>& password, const plat::NSErrorRef&)>;
  using PasswordCompletion =
      std::function<void(const std::optional<std::string>& password, const plat::NSErrorRef&)>;
  using ErrorCompletion = std::function<void(const plat::NSErrorRef&)>;
  using CredentialsCompletion =
      std::function<void(const plat::Array& credentials, const plat::NSErrorRef&)>;
  // The first shared credential of the server's host: its account and password, or nothing,
  // with the platform's error. Without a server host: the argument error at once.
  void sharedPasswordWithCompletion(SharedPasswordCompletion completion);
  // The password of `account` at the server's host.
  void sharedPasswordForAccountCompletion(const std::optional<std::string>& account,
                                          PasswordCompletion completion);
  // Adds the credential (or, with a nullopt password, removes it).
  void setSharedPasswordForAccountCompletion(const std::optional<std::string>& password,
                                             const std::optional<std::string>& account,
                                             ErrorCompletion completion);
  void removeSharedPasswordForAccountCompletion(const std::optional<std::string>& account,
                                                ErrorCompletion completion);
  // The shared credentials of `domain` and `account` (any when nullopt) as dictionaries of
  // "server", "account" and "password" (each when present), with the platform's error; an
  // error other than not-found is logged.
  static void requestSharedWebCredentialWithCompletion(CredentialsCompletion completion);
  static void requestSharedWebCredentialForDomainAccountCompletion(
      const std::optional<std::string>& domain, const std::optional<std::string>& account,
      CredentialsCompletion completion);
  // The platform's generated shared-credential password.
  static std::optional<std::string> generatePassword();

  // Writes (adds or updates in place) the text under `key`; nullopt text removes the item.
  bool setStringForKey(const std::optional<std::string>& string,
                       const std::optional<std::string>& key, plat::NSErrorRef* error = nullptr);
  bool setStringForKeyGenericAttribute(const std::optional<std::string>& string,
                                       const std::optional<std::string>& key,
                                       const plat::Value& genericAttribute,
                                       plat::NSErrorRef* error = nullptr);
  bool setStringForKeyLabelComment(const std::optional<std::string>& string,
                                   const std::optional<std::string>& key,
                                   const std::optional<std::string>& label,
                                   const std::optional<std::string>& comment,
                                   plat::NSErrorRef* error = nullptr);
  bool setStringForKeyGenericAttributeLabelComment(const std::optional<std::string>& string,
                                                   const std::optional<std::string>& key,
                                                   const plat::Value& genericAttribute,
                                                   const std::optional<std::string>& label,
                                                   const std::optional<std::string>& comment,
                                                   plat::NSErrorRef* error = nullptr);
  bool setDataForKey(const std::optional<plat::Data>& data, const std::optional<std::string>& key,
                     plat::NSErrorRef* error = nullptr);
  bool setDataForKeyGenericAttribute(const std::optional<plat::Data>& data,
                                     const std::optional<std::string>& key,
                                     const plat::Value& genericAttribute,
                                     plat::NSErrorRef* error = nullptr);
  bool setDataForKeyLabelComment(const std::optional<plat::Data>& data,
                                 const std::optional<std::string>& key,
                                 const std::optional<std::string>& label,
                                 const std::optional<std::string>& comment,
                                 plat::NSErrorRef* error = nullptr);
  bool setDataForKeyGenericAttributeLabelComment(const std::optional<plat::Data>& data,
                                                 const std::optional<std::string>& key,
                                                 const plat::Value& genericAttribute,
                                                 const std::optional<std::string>& label,
                                                 const std::optional<std::string>& comment,
                                                 plat::NSErrorRef* error = nullptr);

  // nullopt when missing (no error) or on failure (error).
  std::optional<std::string> stringForKey(const std::optional<std::string>& key,
                                          plat::NSErrorRef* error = nullptr);
  std::optional<plat::Data> dataForKey(const std::optional<std::string>& key,
                                       plat::NSErrorRef* error = nullptr);
  // Whether an item exists under `key`.
  bool contains(const std::optional<std::string>& key);

  bool removeItemForKey(const std::optional<std::string>& key, plat::NSErrorRef* error = nullptr);
  // Removes every item of the service (or server).
  bool removeAllItems(plat::NSErrorRef* error = nullptr);

  // Subscript access: stringForKey; setStringForKey, or removeItemForKey for nullopt.
  std::optional<std::string> objectForKeyedSubscript(const std::optional<std::string>& key) {
    return stringForKey(key);
  }
  void setObjectForKeyedSubscript(const std::optional<std::string>& object,
                                  const std::optional<std::string>& key);

  // The items of the service (or server) with their attributes and data, as the platform
  // gives them. Empty when there is none, nullopt on failure.
  std::optional<plat::Array> items() const;
  // The items made readable: "class" ("GenericPassword" with "service" and "accessGroup", or
  // "InternetPassword" with "server", "protocol" and "authenticationType"), "key", "value"
  // (UTF-8 text, or the data when it is no UTF-8), "accessibility" and "synchronizable", each
  // when present. Empty when there is none, nullopt on failure.
  std::optional<plat::Array> allItems() const;
  // The "key" values of allItems, in order.
  std::optional<plat::Array> allKeys() const;

  // Nothing to do: items are written at once.
  void synchronize() {}
  bool synchronizeWithError(plat::NSErrorRef* error = nullptr) { return true; }

  // "()" without items, else "(\n", "    %@" for each readable item, and ")".
  std::string description() const override;
  // The raw items formatted with "%@".
  std::string debugDescription() const;

  // The platform constant for an accessibility number; nullopt when it maps to none.
  static std::optional<std::string> accessibilityConstant(int64_t accessibility);

 private:
  LMKeyChainStore() = default;
  plat::Dictionary baseQuery() const;
  // The write attributes; nullopt and *error when they cannot be built.
  std::optional<plat::Dictionary> attributesWithKey(const std::optional<std::string>& key,
                                                    const plat::Data& data,
                                                    plat::NSErrorRef* error) const;

  int64_t itemClass_ = LMKeyChainStoreItemClassGenericPassword;
  std::string service_;
  std::optional<std::string> accessGroup_;
  plat::NSURLRef server_;
  int64_t protocolType_ = 0;
  int64_t authenticationType_ = 0;
  bool synchronizable_ = false;
  int64_t accessibility_ = LMKeyChainStoreAccessibilityAfterFirstUnlock;
  int64_t authenticationPolicy_ = 0;
  std::optional<std::string> authenticationPrompt_;
};
