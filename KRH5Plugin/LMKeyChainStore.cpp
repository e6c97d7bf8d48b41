#include "KRH5Plugin/LMKeyChainStore.h"

#include <array>
#include <mutex>

#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/security/SecItem.h"
#include "platform/security/SecSharedCredential.h"

namespace {

constexpr const char* kKeyMustNotBeNil = "the key must not to be nil";
constexpr const char* kStringToDataFailed = "failed to convert string to data";
constexpr const char* kDataToStringFailed = "failed to convert data to string";
constexpr const char* kUnexpectedError = "Unexpected error has occurred.";
constexpr const char* kSecurityError = "Security error has occurred.";
constexpr const char* kBothPolicyAndSync =
    "Cannot specify both an authenticationPolicy and a synchronizable";
constexpr const char* kServerMustNotBeNil =
    "the server property must not to be nil, should use 'keyChainStoreWithServer:protocolType:' "
    "initializer to instantiate keychain store";

constexpr std::array<const char*, 8> kAuthenticationTypes = {"ntlm", "msna", "dpaa", "rpaa",
                                                             "http", "httd", "form", "dflt"};
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

// Whether `key` is nil, in which case the invalid-arguments error is reported.
bool refusedNilKey(const std::optional<std::string>& key, plat::NSErrorRef* error) {
  if (key) return false;
  fail(error, LMKeyChainStoreErrorInvalidArguments, localized(kKeyMustNotBeNil));
  return true;
}

bool validUTF8(const std::string& s) {
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  while (i < s.size()) {
    unsigned char c = at(i);
    size_t n = c < 0x80                   ? 1
               : (c >= 0xC2 && c <= 0xDF) ? 2
               : (c >= 0xE0 && c <= 0xEF) ? 3
               : (c >= 0xF0 && c <= 0xF4) ? 4
                                          : 0;
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

const char* itemClassConstant(int64_t itemClass) {
  return itemClass == LMKeyChainStoreItemClassInternetPassword ? plat::kSecClassInternetPassword
                                                               : plat::kSecClassGenericPassword;
}

// A list answer of the keychain: the items, an empty list for none, nullopt (logged) for a
// failure.
std::optional<plat::Array> listAnswer(plat::OSStatus status, const plat::Value& result) {
  if (status == plat::errSecItemNotFound) return plat::Array{};
  if (status != 0) {
    securityFailure(nullptr, status);
    return std::nullopt;
  }
  if (const plat::Array* list = result.array()) return *list;
  return plat::Array{};
}

// The readable form of raw items (see allItems).
plat::Array prettify(const plat::Array& items) {
  plat::Array out;
  for (const auto& raw : items) {
    const plat::Dictionary* item = raw.dictionary();
    if (!item) continue;
    plat::Dictionary pretty;
    auto copy = [&](const char* from, const char* to) {
      const plat::Value* v = item->find(from);
      if (v && !v->isNil()) pretty.set(to, *v);
    };
    if (item->get(plat::kSecClass).stringOr() == plat::kSecClassInternetPassword) {
      pretty.set("class", "InternetPassword");
      copy(plat::kSecAttrServer, "server");
      copy(plat::kSecAttrProtocol, "protocol");
      copy(plat::kSecAttrAuthenticationType, "authenticationType");
    } else {
      pretty.set("class", "GenericPassword");
      copy(plat::kSecAttrService, "service");
      copy(plat::kSecAttrAccessGroup, "accessGroup");
    }
    copy(plat::kSecAttrAccount, "key");
    if (const plat::Data* data = item->get(plat::kSecValueData).data()) {
      std::string text = data->toString();
      pretty.set("value", validUTF8(text) ? plat::Value(text) : plat::Value(*data));
    }
    copy(plat::kSecAttrAccessible, "accessibility");
    copy(plat::kSecAttrSynchronizable, "synchronizable");
    out.push_back(plat::Value(std::move(pretty)));
  }
  return out;
}

// The credentials of the platform in the store's words: "server", "account", "password".
plat::Array credentialsOf(const plat::Array& raw) {
  plat::Array out;
  for (const auto& c : raw) {
    const plat::Dictionary* d = c.dictionary();
    if (!d) continue;
    plat::Dictionary credential;
    auto copy = [&](const char* from, const char* to) {
      const plat::Value* v = d->find(from);
      if (v && !v->isNil()) credential.set(to, *v);
    };
    copy(plat::kSecAttrServer, "server");
    copy(plat::kSecAttrAccount, "account");
    copy(plat::kSecSharedPassword, "password");
    out.push_back(plat::Value(std::move(credential)));
  }
  return out;
}

std::optional<std::string> textOf(const plat::Value& v) {
  if (const std::string* s = v.string()) return *s;
  return std::nullopt;
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
    case 1:
      return plat::kSecAttrAccessibleWhenUnlocked;
    case 2:
      return plat::kSecAttrAccessibleAfterFirstUnlock;
    case 3:
      return plat::kSecAttrAccessibleAlways;
    case 4:
      return plat::kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly;
    case 5:
      return plat::kSecAttrAccessibleWhenUnlockedThisDeviceOnly;
    case 6:
      return plat::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
    case 7:
      return plat::kSecAttrAccessibleAlwaysThisDeviceOnly;
    default:
      return std::nullopt;
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
    const std::optional<std::string>& key, const plat::Data& data, plat::NSErrorRef* error) const {
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
  if (refusedNilKey(key, error)) return false;
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
  if (refusedNilKey(key, error)) return false;
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

  // Another process may add or remove the item between the look and the write: an add that
  // meets a duplicate becomes an update, an update that finds nothing becomes an add.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (status == 0 || status == plat::errSecInteractionNotAllowed) {
      plat::Dictionary match = baseQuery();
      match.set(plat::kSecAttrAccount, *key);
      auto changes = attributesWithKey(std::nullopt, *data, error);
      if (!changes) return false;
      addExtras(*changes);
      status = plat::SecItemUpdate(match, *changes);
      if (status == 0) return true;
      if (status == plat::errSecItemNotFound) continue;
      break;
    }
    if (status != plat::errSecItemNotFound) break;
    auto attributes = attributesWithKey(key, *data, error);
    if (!attributes) return false;
    addExtras(*attributes);
    status = plat::SecItemAdd(*attributes);
    if (status == 0) return true;
    if (status != plat::errSecDuplicateItem) break;
    status = 0;  // update it next
  }
  if (status == 0) status = plat::errSecDuplicateItem;  // it kept changing under us
  securityFailure(error, status);
  return false;
}

std::optional<plat::Data> LMKeyChainStore::dataForKey(const std::optional<std::string>& key,
                                                      plat::NSErrorRef* error) {
  if (refusedNilKey(key, error)) return std::nullopt;
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
  if (refusedNilKey(key, error)) return false;
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

// ---- Longer forms ----

bool LMKeyChainStore::setStringForKeyGenericAttribute(const std::optional<std::string>& string,
                                                      const std::optional<std::string>& key,
                                                      const plat::Value& genericAttribute,
                                                      plat::NSErrorRef* error) {
  return setStringForKeyGenericAttributeLabelComment(string, key, genericAttribute, std::nullopt,
                                                     std::nullopt, error);
}

bool LMKeyChainStore::setStringForKeyLabelComment(const std::optional<std::string>& string,
                                                  const std::optional<std::string>& key,
                                                  const std::optional<std::string>& label,
                                                  const std::optional<std::string>& comment,
                                                  plat::NSErrorRef* error) {
  return setStringForKeyGenericAttributeLabelComment(string, key, {}, label, comment, error);
}

bool LMKeyChainStore::setDataForKeyGenericAttribute(const std::optional<plat::Data>& data,
                                                    const std::optional<std::string>& key,
                                                    const plat::Value& genericAttribute,
                                                    plat::NSErrorRef* error) {
  return setDataForKeyGenericAttributeLabelComment(data, key, genericAttribute, std::nullopt,
                                                   std::nullopt, error);
}

bool LMKeyChainStore::setDataForKeyLabelComment(const std::optional<plat::Data>& data,
                                                const std::optional<std::string>& key,
                                                const std::optional<std::string>& label,
                                                const std::optional<std::string>& comment,
                                                plat::NSErrorRef* error) {
  return setDataForKeyGenericAttributeLabelComment(data, key, {}, label, comment, error);
}

void LMKeyChainStore::setObjectForKeyedSubscript(const std::optional<std::string>& object,
                                                 const std::optional<std::string>& key) {
  if (object) {
    setStringForKey(object, key);
  } else {
    removeItemForKey(key);
  }
}

// ---- Class forms ----

std::optional<std::string> LMKeyChainStore::stringForKeyServiceAccessGroup(
    const std::optional<std::string>& key, const std::optional<std::string>& service,
    const std::optional<std::string>& accessGroup, plat::NSErrorRef* error) {
  if (refusedNilKey(key, error)) return std::nullopt;
  return keyChainStoreWithServiceAccessGroup(service, accessGroup)->stringForKey(key, error);
}

bool LMKeyChainStore::setStringForKeyServiceAccessGroupGenericAttribute(
    const std::optional<std::string>& value, const std::optional<std::string>& key,
    const std::optional<std::string>& service, const std::optional<std::string>& accessGroup,
    const plat::Value& genericAttribute, plat::NSErrorRef* error) {
  if (refusedNilKey(key, error)) return false;
  return keyChainStoreWithServiceAccessGroup(service, accessGroup)
      ->setStringForKeyGenericAttribute(value, key, genericAttribute, error);
}

std::optional<plat::Data> LMKeyChainStore::dataForKeyServiceAccessGroup(
    const std::optional<std::string>& key, const std::optional<std::string>& service,
    const std::optional<std::string>& accessGroup, plat::NSErrorRef* error) {
  if (refusedNilKey(key, error)) return std::nullopt;
  return keyChainStoreWithServiceAccessGroup(service, accessGroup)->dataForKey(key, error);
}

bool LMKeyChainStore::setDataForKeyServiceAccessGroupGenericAttribute(
    const std::optional<plat::Data>& value, const std::optional<std::string>& key,
    const std::optional<std::string>& service, const std::optional<std::string>& accessGroup,
    const plat::Value& genericAttribute, plat::NSErrorRef* error) {
  if (refusedNilKey(key, error)) return false;
  return keyChainStoreWithServiceAccessGroup(service, accessGroup)
      ->setDataForKeyGenericAttribute(value, key, genericAttribute, error);
}

bool LMKeyChainStore::removeItemForKeyServiceAccessGroup(
    const std::optional<std::string>& key, const std::optional<std::string>& service,
    const std::optional<std::string>& accessGroup, plat::NSErrorRef* error) {
  if (refusedNilKey(key, error)) return false;
  return keyChainStoreWithServiceAccessGroup(service, accessGroup)->removeItemForKey(key, error);
}

bool LMKeyChainStore::removeAllItemsForServiceAccessGroup(
    const std::optional<std::string>& service, const std::optional<std::string>& accessGroup,
    plat::NSErrorRef* error) {
  return keyChainStoreWithServiceAccessGroup(service, accessGroup)->removeAllItems(error);
}

// ---- Listing ----

std::optional<plat::Array> LMKeyChainStore::items() const {
  plat::Dictionary query = baseQuery();
  query.set(plat::kSecMatchLimit, plat::kSecMatchLimitAll);
  query.set(plat::kSecReturnAttributes, true);
  query.set(plat::kSecReturnData, true);
  plat::Value result;
  plat::OSStatus status = plat::SecItemCopyMatching(query, &result);
  return listAnswer(status, result);
}

std::optional<plat::Array> LMKeyChainStore::allItems() const {
  auto raw = items();
  if (!raw) return std::nullopt;
  return prettify(*raw);
}

std::optional<plat::Array> LMKeyChainStore::allKeys() const {
  auto all = allItems();
  if (!all) return std::nullopt;
  plat::Array keys;
  for (const auto& item : *all) {
    const plat::Value& key = item["key"];
    if (!key.isNil()) keys.push_back(key);
  }
  return keys;
}

std::optional<plat::Array> LMKeyChainStore::allItemsWithItemClass(int64_t itemClass) {
  plat::Dictionary query{{plat::kSecClass, itemClassConstant(itemClass)},
                         {plat::kSecAttrSynchronizable, plat::kSecAttrSynchronizableAny},
                         {plat::kSecMatchLimit, plat::kSecMatchLimitAll},
                         {plat::kSecReturnAttributes, true},
                         {plat::kSecReturnData, true}};
  plat::Value result;
  auto raw = listAnswer(plat::SecItemCopyMatching(query, &result), result);
  if (!raw) return std::nullopt;
  return prettify(*raw);
}

std::optional<plat::Array> LMKeyChainStore::allKeysWithItemClass(int64_t itemClass) {
  bool internet = itemClass == LMKeyChainStoreItemClassInternetPassword;
  plat::Dictionary query{{plat::kSecClass, itemClassConstant(itemClass)},
                         {plat::kSecAttrSynchronizable, plat::kSecAttrSynchronizableAny},
                         {plat::kSecMatchLimit, plat::kSecMatchLimitAll},
                         {plat::kSecReturnAttributes, true}};
  plat::Value result;
  auto raw = listAnswer(plat::SecItemCopyMatching(query, &result), result);
  if (!raw) return std::nullopt;
  plat::Array keys;
  for (const auto& item : *raw) {
    plat::Dictionary entry;
    const char* where = internet ? plat::kSecAttrServer : plat::kSecAttrService;
    entry.set(internet ? "server" : "service", textOf(item[where]).value_or(""));
    entry.set("key", textOf(item[plat::kSecAttrAccount]).value_or(""));
    keys.push_back(plat::Value(std::move(entry)));
  }
  return keys;
}

std::string LMKeyChainStore::description() const {
  auto all = allItems();
  if (!all || all->empty()) return "()";
  std::string text = "(\n";
  for (const auto& item : *all) text += plat::format("    %@", item);
  return text + ")";
}

std::string LMKeyChainStore::debugDescription() const {
  auto raw = items();
  return plat::format("%@", raw ? plat::Value(*raw) : plat::Value());
}

// ---- Shared web credentials ----

void LMKeyChainStore::sharedPasswordWithCompletion(SharedPasswordCompletion completion) {
  std::string host = server_ ? server_->host() : std::string();
  if (host.empty()) {
    plat::NSErrorRef error;
    fail(&error, LMKeyChainStoreErrorInvalidArguments, localized(kServerMustNotBeNil));
    if (completion) completion(std::nullopt, std::nullopt, error);
    return;
  }
  requestSharedWebCredentialForDomainAccountCompletion(
      host, std::nullopt,
      [completion = std::move(completion)](const plat::Array& credentials,
                                           const plat::NSErrorRef& error) {
        if (!completion) return;
        if (credentials.empty()) {
          completion(std::nullopt, std::nullopt, error);
        } else {
          completion(textOf(credentials.front()["account"]),
                     textOf(credentials.front()["password"]), error);
        }
      });
}

void LMKeyChainStore::sharedPasswordForAccountCompletion(const std::optional<std::string>& account,
                                                         PasswordCompletion completion) {
  std::string host = server_ ? server_->host() : std::string();
  if (host.empty()) {
    plat::NSErrorRef error;
    fail(&error, LMKeyChainStoreErrorInvalidArguments, localized(kServerMustNotBeNil));
    if (completion) completion(std::nullopt, error);
    return;
  }
  requestSharedWebCredentialForDomainAccountCompletion(
      host, account,
      [completion = std::move(completion)](const plat::Array& credentials,
                                           const plat::NSErrorRef& error) {
        if (!completion) return;
        completion(credentials.empty() ? std::nullopt : textOf(credentials.front()["password"]),
                   error);
      });
}

void LMKeyChainStore::setSharedPasswordForAccountCompletion(
    const std::optional<std::string>& password, const std::optional<std::string>& account,
    ErrorCompletion completion) {
  std::string host = server_ ? server_->host() : std::string();
  if (host.empty()) {
    plat::NSErrorRef error;
    fail(&error, LMKeyChainStoreErrorInvalidArguments, localized(kServerMustNotBeNil));
    if (completion) completion(error);
    return;
  }
  plat::SecAddSharedWebCredential(
      host, account.value_or(""), password,
      [completion = std::move(completion)](const plat::NSErrorRef& error) {
        if (completion) completion(error);
      });
}

void LMKeyChainStore::removeSharedPasswordForAccountCompletion(
    const std::optional<std::string>& account, ErrorCompletion completion) {
  setSharedPasswordForAccountCompletion(std::nullopt, account, std::move(completion));
}

void LMKeyChainStore::requestSharedWebCredentialWithCompletion(CredentialsCompletion completion) {
  requestSharedWebCredentialForDomainAccountCompletion(std::nullopt, std::nullopt,
                                                       std::move(completion));
}

void LMKeyChainStore::requestSharedWebCredentialForDomainAccountCompletion(
    const std::optional<std::string>& domain, const std::optional<std::string>& account,
    CredentialsCompletion completion) {
  plat::SecRequestSharedWebCredential(
      domain, account,
      [completion = std::move(completion)](const plat::Array& credentials,
                                           const plat::NSErrorRef& error) {
        if (error && error->code() != plat::errSecItemNotFound)
          plat::NSLog("error: [%@] %@", error->code(), error->localizedDescription());
        if (completion) completion(credentialsOf(credentials), error);
      });
}

std::optional<std::string> LMKeyChainStore::generatePassword() {
  return plat::SecCreateSharedWebCredentialPassword();
}
