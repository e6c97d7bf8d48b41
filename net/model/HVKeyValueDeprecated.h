#pragma once
// The mapper's older operation names, each forwarding to the current kv_ operation with the
// same arguments and result. The "...Error" forms run the current operation and then hand out
// the class-wide kv_error of the receiver's class (of the given class for class operations).
// Thread-safety: as the operations they forward to.

#include "net/model/HVKeyValue.h"

namespace hv_deprecated_detail {
inline void takeError(plat::Class* cls, plat::NSErrorRef* error) {
  if (error) *error = kv_error(cls);
}
inline plat::Class* classOf(const plat::Value& v) { return plat::Runtime::classOfValue(v); }
}  // namespace hv_deprecated_detail

// NSObject(HVKeyValueDeprecated_v_2_5_16)
inline plat::ObjectRef setKeyValues(const plat::ObjectRef& o, const plat::Value& kv) {
  return kv_setKeyValues(o, kv);
}
inline plat::ObjectRef setKeyValuesError(const plat::ObjectRef& o, const plat::Value& kv,
                                         plat::NSErrorRef* error) {
  kv_setKeyValues(o, kv);
  if (o) hv_deprecated_detail::takeError(hv_deprecated_detail::classOf(plat::Value(o)), error);
  return o;
}
inline plat::ObjectRef setKeyValuesContext(const plat::ObjectRef& o, const plat::Value& kv,
                                           const HVManagedObjectContextRef& context) {
  return kv_setKeyValuesContext(o, kv, context);
}
inline plat::ObjectRef setKeyValuesContextError(const plat::ObjectRef& o, const plat::Value& kv,
                                                const HVManagedObjectContextRef& context,
                                                plat::NSErrorRef* error) {
  kv_setKeyValuesContext(o, kv, context);
  if (o) hv_deprecated_detail::takeError(hv_deprecated_detail::classOf(plat::Value(o)), error);
  return o;
}
inline void referenceReplacedKeyWhenCreatingKeyValues(plat::Class* cls, bool reference) {
  kv_referenceReplacedKeyWhenCreatingKeyValues(cls, reference);
}
inline plat::Value keyValues(const plat::Value& o) { return kv_keyValues(o); }
inline plat::Value keyValuesWithError(const plat::Value& o, plat::NSErrorRef* error) {
  plat::Value r = kv_keyValues(o);
  hv_deprecated_detail::takeError(hv_deprecated_detail::classOf(o), error);
  return r;
}
inline plat::Value keyValuesWithKeys(const plat::Value& o, const std::vector<std::string>& keys) {
  return kv_keyValuesWithKeys(o, keys);
}
inline plat::Value keyValuesWithKeysError(const plat::Value& o,
                                          const std::vector<std::string>& keys,
                                          plat::NSErrorRef* error) {
  plat::Value r = kv_keyValuesWithKeys(o, keys);
  hv_deprecated_detail::takeError(hv_deprecated_detail::classOf(o), error);
  return r;
}
inline plat::Value keyValuesWithIgnoredKeys(const plat::Value& o,
                                            const std::vector<std::string>& ignoredKeys) {
  return kv_keyValuesWithIgnoredKeys(o, ignoredKeys);
}
inline plat::Value keyValuesWithIgnoredKeysError(const plat::Value& o,
                                                 const std::vector<std::string>& ignoredKeys,
                                                 plat::NSErrorRef* error) {
  plat::Value r = kv_keyValuesWithIgnoredKeys(o, ignoredKeys);
  hv_deprecated_detail::takeError(hv_deprecated_detail::classOf(o), error);
  return r;
}
inline plat::Value keyValuesArrayWithObjectArray(plat::Class* cls, const plat::Value& a) {
  return kv_keyValuesArrayWithObjectArray(cls, a);
}
inline plat::Value keyValuesArrayWithObjectArrayError(plat::Class* cls, const plat::Value& a,
                                                      plat::NSErrorRef* error) {
  plat::Value r = kv_keyValuesArrayWithObjectArray(cls, a);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::Value keyValuesArrayWithObjectArrayKeys(plat::Class* cls, const plat::Value& a,
                                                     const std::vector<std::string>& keys) {
  return kv_keyValuesArrayWithObjectArrayKeys(cls, a, keys);
}
inline plat::Value keyValuesArrayWithObjectArrayKeysError(plat::Class* cls, const plat::Value& a,
                                                          const std::vector<std::string>& keys,
                                                          plat::NSErrorRef* error) {
  plat::Value r = kv_keyValuesArrayWithObjectArrayKeys(cls, a, keys);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::Value keyValuesArrayWithObjectArrayIgnoredKeys(
    plat::Class* cls, const plat::Value& a, const std::vector<std::string>& ignoredKeys) {
  return kv_keyValuesArrayWithObjectArrayIgnoredKeys(cls, a, ignoredKeys);
}
inline plat::Value keyValuesArrayWithObjectArrayIgnoredKeysError(
    plat::Class* cls, const plat::Value& a, const std::vector<std::string>& ignoredKeys,
    plat::NSErrorRef* error) {
  plat::Value r = kv_keyValuesArrayWithObjectArrayIgnoredKeys(cls, a, ignoredKeys);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::ObjectRef objectWithKeyValues(plat::Class* cls, const plat::Value& kv) {
  return kv_objectWithKeyValues(cls, kv);
}
inline plat::ObjectRef objectWithKeyValuesError(plat::Class* cls, const plat::Value& kv,
                                                plat::NSErrorRef* error) {
  auto r = kv_objectWithKeyValues(cls, kv);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::ObjectRef objectWithKeyValuesContext(plat::Class* cls, const plat::Value& kv,
                                                  const HVManagedObjectContextRef& context) {
  return kv_objectWithKeyValuesContext(cls, kv, context);
}
inline plat::ObjectRef objectWithKeyValuesContextError(plat::Class* cls, const plat::Value& kv,
                                                       const HVManagedObjectContextRef& context,
                                                       plat::NSErrorRef* error) {
  auto r = kv_objectWithKeyValuesContext(cls, kv, context);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::ObjectRef objectWithFilename(plat::Class* cls, const std::string& filename) {
  return kv_objectWithFilename(cls, filename);
}
inline plat::ObjectRef objectWithFilenameError(plat::Class* cls, const std::string& filename,
                                               plat::NSErrorRef* error) {
  auto r = kv_objectWithFilename(cls, filename);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::ObjectRef objectWithFile(plat::Class* cls, const std::string& file) {
  return kv_objectWithFile(cls, file);
}
inline plat::ObjectRef objectWithFileError(plat::Class* cls, const std::string& file,
                                           plat::NSErrorRef* error) {
  auto r = kv_objectWithFile(cls, file);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::Value objectArrayWithKeyValuesArray(plat::Class* cls, const plat::Value& a) {
  return kv_objectArrayWithKeyValuesArray(cls, a);
}
inline plat::Value objectArrayWithKeyValuesArrayError(plat::Class* cls, const plat::Value& a,
                                                      plat::NSErrorRef* error) {
  plat::Value r = kv_objectArrayWithKeyValuesArray(cls, a);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::Value objectArrayWithKeyValuesArrayContext(plat::Class* cls, const plat::Value& a,
                                                        const HVManagedObjectContextRef& context) {
  return kv_objectArrayWithKeyValuesArrayContext(cls, a, context);
}
inline plat::Value objectArrayWithKeyValuesArrayContextError(
    plat::Class* cls, const plat::Value& a, const HVManagedObjectContextRef& context,
    plat::NSErrorRef* error) {
  plat::Value r = kv_objectArrayWithKeyValuesArrayContext(cls, a, context);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::Value objectArrayWithFilename(plat::Class* cls, const std::string& filename) {
  return kv_objectArrayWithFilename(cls, filename);
}
inline plat::Value objectArrayWithFilenameError(plat::Class* cls, const std::string& filename,
                                                plat::NSErrorRef* error) {
  plat::Value r = kv_objectArrayWithFilename(cls, filename);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::Value objectArrayWithFile(plat::Class* cls, const std::string& file) {
  return kv_objectArrayWithFile(cls, file);
}
inline plat::Value objectArrayWithFileError(plat::Class* cls, const std::string& file,
                                            plat::NSErrorRef* error) {
  plat::Value r = kv_objectArrayWithFile(cls, file);
  hv_deprecated_detail::takeError(cls, error);
  return r;
}
inline plat::Data JSONData(const plat::Value& o) { return kv_JSONData(o); }
inline plat::Value JSONObject(const plat::Value& o) { return kv_JSONObject(o); }
inline std::string JSONString(const plat::Value& o) { return kv_JSONString(o); }

// NSObject(HVPropertyDeprecated_v_2_5_16)
inline void enumerateProperties(plat::Class* cls,
                                const std::function<void(HVProperty*, bool&)>& block) {
  kv_enumerateProperties(cls, block);
}
inline void setupNewValueFromOldValue(plat::Class* cls, HVNewValueBlock block) {
  kv_setupNewValueFromOldValue(cls, std::move(block));
}
inline plat::Value getNewValueFromObjectOldValueProperty(plat::Class* cls, plat::Object& object,
                                                         const plat::Value& oldValue,
                                                         HVProperty* property) {
  return kv_getNewValueFromObject(cls, object, oldValue, property);
}
inline void setupReplacedKeyFromPropertyName(plat::Class* cls, const HVDictionaryBlock& block) {
  kv_setupReplacedKeyFromPropertyName(cls, block);
}
inline void setupReplacedKeyFromPropertyName121(plat::Class* cls, HVReplacedKeyBlock block) {
  kv_setupReplacedKeyFromPropertyName121(cls, std::move(block));
}
inline void setupObjectClassInArray(plat::Class* cls, const HVDictionaryBlock& block) {
  kv_setupObjectClassInArray(cls, block);
}

// NSString(HVExtensionDeprecated_v_2_5_16)
inline std::string underlineFromCamel(std::string_view s) { return kv_underlineFromCamel(s); }
inline std::string camelFromUnderline(std::string_view s) { return kv_camelFromUnderline(s); }
inline std::string firstCharLower(std::string_view s) { return kv_firstCharLower(s); }
inline std::string firstCharUpper(std::string_view s) { return kv_firstCharUpper(s); }
inline bool isPureInt(std::string_view s) { return kv_isPureInt(s); }
inline plat::NSURLRef url(std::string_view s) { return kv_url(s); }
