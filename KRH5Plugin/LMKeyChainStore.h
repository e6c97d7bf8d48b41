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
// The application uses its one store on the main thread.

#include <cstdint>
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

  // Writes (adds or updates in place) the text under `key`; nullopt text removes the item.
  bool setStringForKey(const std::optional<std::string>& string,
                       const std::optional<std::string>& key, plat::NSErrorRef* error = nullptr);
  bool setStringForKeyGenericAttributeLabelComment(
      const std::optional<std::string>& string, const std::optional<std::string>& key,
      const plat::Value& genericAttribute, const std::optional<std::string>& label,
      const std::optional<std::string>& comment, plat::NSErrorRef* error = nullptr);
  bool setDataForKey(const std::optional<plat::Data>& data, const std::optional<std::string>& key,
                     plat::NSErrorRef* error = nullptr);
  bool setDataForKeyGenericAttributeLabelComment(
      const std::optional<plat::Data>& data, const std::optional<std::string>& key,
      const plat::Value& genericAttribute, const std::optional<std::string>& label,
      const std::optional<std::string>& comment, plat::NSErrorRef* error = nullptr);

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
