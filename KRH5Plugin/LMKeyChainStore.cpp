#include "KRH5Plugin/LMKeyChainStore.h"

#include <array>
#include <mutex>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/security/SecItem.h"

namespace {

constexpr const char* kKeyMustNotBeNil = "the key must not to be nil";
constexpr const char* kStringToDataFailed = "failed to convert string to data";
constexpr const char* kDataToStringFailed = "failed to convert data to string";
constexpr const char* kUnexpectedError = "Unexpected error has occurred.";
constexpr const char* kSecurityError = "Security error has occurred.";
constexpr const char* kBothPolicyAndSync =
    "Cannot specify both an authenticationPolicy and a synchronizable";

constexpr std::array<const char*, 8> kAuthenticationTypes = {
    "ntlm", "msna", "dpaa", "rpaa", "http", "httd", "form", "dflt"};
constexpr std::array<const char*, 29> kProtocols = {
    "ftp ", "ftpa", "http", "irc ", "nntp", "pop3", "smtp", "sox ", "imap", "ldap",
    "atlk", "afp ", "teln", "ssh ", "ftps", "htps", "htpx", "htsx", "ftpx", "smb ",
    "rtsp", "rtsx", "daap", "eppc", "ntps", "ldps", "tels", "ircs", "pops"};

struct DefaultService {
  std::mutex mu;
  std::optional<std::string> value;
};

DefaultService& defaultServiceSlot() {
  static DefaultService* const d = new DefaultService();
  return *d;
}

std::string localized(const char* text) {
  return plat::NSBundle::mainBundle()->localizedStringForKeyValueTable(text);
}

// Makes an error of the store's domain, logs it and hands it back when asked for.
void fail(plat::NSErrorRef* out, int64_t code, const std::string& description,
          bool securityError = false) {
  auto error = plat::NSError::make(kLMKeyChainStoreErrorDomain, code, description);
  plat::NSLog(securityError ? "OSStatus error: [%@] %@" : "error: [%@] %@", code, description);
  if (out) *out = error;
}

void securityFailure(plat::NSErrorRef* out, plat::OSStatus status) {
  fail(out, status, localized(kSecurityError), true);
}

bool validUTF8(const std::string& s) {
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  while (i < s.size()) {
    unsigned char c = at(i);
    size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                                                          : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((at(i + k) & 0xC0) != 0x80) return false;
    if (n == 3 && ((c == 0xE0 && at(i + 1) < 0xA0) || (c == 0xED && at(i + 1) > 0x9F)))
      return false;
    if (n == 4 && ((c == 0xF0 && at(i + 1) < 0x90) || (c == 0xF4 && at(i + 1) > 0x8F)))
      return false;
    i += n;
  }
  return true;
}

}  // namespace

std::string LMKeyChainStore::defaultService() {
  auto& slot = defaultServiceSlot();
  std::lock_guard<std::mutex> lock(slot.mu);
  if (!slot.value) slot.value = plat::NSBundle::mainBundle()->bundleIdentifier();
  return *slot.value;
}

void LMKeyChainStore::setDefaultService(std::string service) {
  auto& slot = defaultServiceSlot();
  std::lock_guard<std::mutex> lock(slot.mu);
  slot.value = std::move(service);
}

LMKeyChainStoreRef LMKeyChainStore::keyChainStore() { return keyChainStoreWithService({}); }

LMKeyChainStoreRef LMKeyChainStore::keyChainStoreWithService(std::optional<std::string> service) {
  return keyChainStoreWithServiceAccessGroup(std::move(service), std::nullopt);
}

LMKeyChainStoreRef LMKeyChainStore::keyChainStoreWithServiceAccessGroup(
    std::optional<std::string> service, std::optional<std::string> accessGroup) {
  LMKeyChainStoreRef store(new LMKeyChainStore());
  store->itemClass_ = LMKeyChainStoreItemClassGenericPassword;
  store->service_ = service ? std::move(*service) : defaultService();
  store->accessGroup_ = std::move(accessGroup);
  return store;
}

LMKeyChainStoreRef LMKeyChainStore::keyChainStoreWithServerProtocolType(
    const plat::NSURLRef& server, int64_t protocolType) {
  return keyChainStoreWithServerProtocolTypeAuthenticationType(server, protocolType, 8);
}

LMKeyChainStoreRef LMKeyChainStore::keyChainStoreWithServerProtocolTypeAuthenticationType(
    const plat::NSURLRef& server, int64_t protocolType, int64_t authenticationType) {
  LMKeyChainStoreRef store(new LMKeyChainStore());
  store->itemClass_ = LMKeyChainStoreItemClassInternetPassword;
  store->server_ = server;
  store->protocolType_ = protocolType;
  store->authenticationType_ = authenticationType;
  return store;
}

void LMKeyChainStore::setSynchronizable(bool value) {
  synchronizable_ = value;
  if (authenticationPolicy_ != 0) plat::NSLogMessage(kBothPolicyAndSync);
}

void LMKeyChainStore::setAccessibilityAuthenticationPolicy(int64_t accessibility, int64_t policy) {
  accessibility_ = accessibility;
  authenticationPolicy_ = policy;
  if (synchronizable_) plat::NSLogMessage(kBothPolicyAndSync);
}

std::optional<std::string> LMKeyChainStore::accessibilityConstant(int64_t accessibility) {
  switch (accessibility) {
    case 1: return plat::kSecAttrAccessibleWhenUnlocked;
    case 2: return plat::kSecAttrAccessibleAfterFirstUnlock;
    case 3: return plat::kSecAttrAccessibleAlways;
    case 4: return plat::kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly;
    case 5: return plat::kSecAttrAccessibleWhenUnlockedThisDeviceOnly;
    case 6: return plat::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
    case 7: return plat::kSecAttrAccessibleAlwaysThisDeviceOnly;
    default: return std::nullopt;
  }
}

plat::Dictionary LMKeyChainStore::baseQuery() const {
  plat::Dictionary query;
  bool internet = itemClass_ == LMKeyChainStoreItemClassInternetPassword;
  query.set(plat::kSecClass,
            internet ? plat::kSecClassInternetPassword : plat::kSecClassGenericPassword);
  query.set(plat::kSecAttrSynchronizable, plat::kSecAttrSynchronizableAny);
  if (!internet) {
    query.set(plat::kSecAttrService, service_);
    if (accessGroup_) query.set(plat::kSecAttrAccessGroup, *accessGroup_);
  } else {
    if (server_ && !server_->host().empty()) query.set(plat::kSecAttrServer, server_->host());
    if (server_ && server_->port()) query.set(plat::kSecAttrPort, *server_->port());
    if (protocolType_ >= 1 && protocolType_ <= static_cast<int64_t>(kProtocols.size()))
      query.set(plat::kSecAttrProtocol, kProtocols[protocolType_ - 1]);
    if (authenticationType_ >= 1 &&
        authenticationType_ <= static_cast<int64_t>(kAuthenticationTypes.size()))
      query.set(plat::kSecAttrAuthenticationType, kAuthenticationTypes[authenticationType_ - 1]);
  }
  if (authenticationPrompt_) query.set(plat::kSecUseOperationPrompt, *authenticationPrompt_);
  return query;
}

std::optional<plat::Dictionary> LMKeyChainStore::attributesWithKey(
    const std::optional<std::string>& key, const plat::Data& data,
    plat::NSErrorRef* error) const {
  plat::Dictionary attributes;
  if (key) {
    attributes = baseQuery();
    attributes.set(plat::kSecAttrAccount, *key);
  }
  attributes.set(plat::kSecValueData, data);
  auto protection = accessibilityConstant(accessibility_);
  if (authenticationPolicy_ == 0 || !protection) {
    if (protection) attributes.set(plat::kSecAttrAccessible, *protection);
  } else {
    plat::NSErrorRef platformError;
    auto control = plat::SecAccessControlCreateWithFlags(
        *protection, static_cast<uint64_t>(authenticationPolicy_), &platformError);
    if (platformError) {
      plat::NSLog("error: [%@] %@", platformError->code(), platformError->localizedDescription());
      if (error) *error = platformError;
      return std::nullopt;
    }
    if (!control) {
      fail(error, LMKeyChainStoreErrorUnexpected, localized(kUnexpectedError));
      return std::nullopt;
    }
    attributes.set(plat::kSecAttrAccessControl, plat::Value(control));
  }
  attributes.set(plat::kSecAttrSynchronizable, synchronizable_);
  return attributes;
}

bool LMKeyChainStore::setStringForKey(const std::optional<std::string>& string,
                                      const std::optional<std::string>& key,
                                      plat::NSErrorRef* error) {
  return setStringForKeyGenericAttributeLabelComment(string, key, {}, std::nullopt, std::nullopt,
                                                     error);
}

bool LMKeyChainStore::setStringForKeyGenericAttributeLabelComment(
    const std::optional<std::string>& string, const std::optional<std::string>& key,
    const plat::Value& genericAttribute, const std::optional<std::string>& label,
    const std::optional<std::string>& comment, plat::NSErrorRef* error) {
  if (!key) {
    fail(error, LMKeyChainStoreErrorInvalidArguments, localized(kKeyMustNotBeNil));
    return false;
  }
  if (!string) return removeItemForKey(key, error);
  // Every std::string is bytes already; a text that is no UTF-8 cannot become item text.
  if (!validUTF8(*string)) {
    fail(error, LMKeyChainStoreErrorConversion, localized(kStringToDataFailed));
    return false;
  }
  plat::Data data = plat::Data::fromString(*string);
  return setDataForKeyGenericAttributeLabelComment(data, key, genericAttribute, label, comment,
                                                   error);
}

bool LMKeyChainStore::setDataForKey(const std::optional<plat::Data>& data,
                                    const std::optional<std::string>& key,
                                    plat::NSErrorRef* error) {
  return setDataForKeyGenericAttributeLabelComment(data, key, {}, std::nullopt, std::nullopt,
                                                   error);
}

bool LMKeyChainStore::setDataForKeyGenericAttributeLabelComment(
    const std::optional<plat::Data>& data, const std::optional<std::string>& key,
    const plat::Value& genericAttribute, const std::optional<std::string>& label,
    const std::optional<std::string>& comment, plat::NSErrorRef* error) {
  if (!key) {
    fail(error, LMKeyChainStoreErrorInvalidArguments, localized(kKeyMustNotBeNil));
    return false;
  }
  if (!data) return removeItemForKey(key, error);

  plat::Dictionary probe = baseQuery();
  probe.set(plat::kSecAttrAccount, *key);
  probe.set(plat::kSecUseAuthenticationUI, plat::kSecUseAuthenticationUIFail);
  plat::OSStatus status = plat::SecItemCopyMatching(probe, nullptr);

  auto addExtras = [&](plat::Dictionary& attributes) {
    if (genericAttribute) attributes.set(plat::kSecAttrGeneric, genericAttribute);
    if (label) attributes.set(plat::kSecAttrLabel, *label);
    if (comment) attributes.set(plat::kSecAttrComment, *comment);
  };

  if (status == 0 || status == plat::errSecInteractionNotAllowed) {
    plat::Dictionary match = baseQuery();
    match.set(plat::kSecAttrAccount, *key);
    auto changes = attributesWithKey(std::nullopt, *data, error);
    if (!changes) return false;
    addExtras(*changes);
    status = plat::SecItemUpdate(match, *changes);
    if (status != 0) {
      securityFailure(error, status);
      return false;
    }
    return true;
  }
  if (status == plat::errSecItemNotFound) {
    auto attributes = attributesWithKey(key, *data, error);
    if (!attributes) return false;
    addExtras(*attributes);
    status = plat::SecItemAdd(*attributes);
    if (status != 0) {
      securityFailure(error, status);
      return false;
    }
    return true;
  }
  securityFailure(error, status);
  return false;
}

std::optional<plat::Data> LMKeyChainStore::dataForKey(const std::optional<std::string>& key,
                                                      plat::NSErrorRef* error) {
  if (!key) {
    fail(error, LMKeyChainStoreErrorInvalidArguments, localized(kKeyMustNotBeNil));
    return std::nullopt;
  }
  plat::Dictionary query = baseQuery();
  query.set(plat::kSecMatchLimit, plat::kSecMatchLimitOne);
  query.set(plat::kSecReturnData, true);
  query.set(plat::kSecAttrAccount, *key);
  plat::Value result;
  plat::OSStatus status = plat::SecItemCopyMatching(query, &result);
  if (status == plat::errSecItemNotFound) return std::nullopt;
  if (status != 0) {
    securityFailure(error, status);
    return std::nullopt;
  }
  if (!result.data()) {
    fail(error, LMKeyChainStoreErrorUnexpected, localized(kUnexpectedError));
    return std::nullopt;
  }
  return *result.data();
}

std::optional<std::string> LMKeyChainStore::stringForKey(const std::optional<std::string>& key,
                                                         plat::NSErrorRef* error) {
  auto data = dataForKey(key, error);
  if (!data) return std::nullopt;
  std::string text = data->toString();
  if (!validUTF8(text)) {
    fail(error, LMKeyChainStoreErrorConversion, localized(kDataToStringFailed));
    return std::nullopt;
  }
  return text;
}

bool LMKeyChainStore::contains(const std::optional<std::string>& key) {
  if (!key) return false;
  plat::Dictionary query = baseQuery();
  query.set(plat::kSecAttrAccount, *key);
  return plat::SecItemCopyMatching(query, nullptr) == 0;
}

bool LMKeyChainStore::removeItemForKey(const std::optional<std::string>& key,
                                       plat::NSErrorRef* error) {
  if (!key) {
    fail(error, LMKeyChainStoreErrorInvalidArguments, localized(kKeyMustNotBeNil));
    return false;
  }
  plat::Dictionary query = baseQuery();
  query.set(plat::kSecAttrAccount, *key);
  plat::OSStatus status = plat::SecItemDelete(query);
  if (status != 0 && status != plat::errSecItemNotFound) {
    securityFailure(error, status);
    return false;
  }
  return true;
}

bool LMKeyChainStore::removeAllItems(plat::NSErrorRef* error) {
  plat::OSStatus status = plat::SecItemDelete(baseQuery());
  if (status != 0 && status != plat::errSecItemNotFound) {
    securityFailure(error, status);
    return false;
  }
  return true;
}
