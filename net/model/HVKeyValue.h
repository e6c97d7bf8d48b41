#pragma once
// Declaring model classes for the key-value mapper, and the optional hooks they may offer.
//
//   class HVSuCouponModel : public plat::NSObject {
//    public:
//     std::string Id;
//     std::string title;
//     int64_t amount = 0;
//     HV_MODEL(HVSuCouponModel, plat::NSObject,
//              PLAT_PROPERTY(Id), PLAT_PROPERTY(title), PLAT_PROPERTY(amount))
//     static plat::Dictionary kv_replacedKeyFromPropertyName() { return {{"Id", "id"}}; }
//   };
//
// Class hooks (static members; all optional, inherited by subclasses):
//   static plat::Dictionary kv_replacedKeyFromPropertyName();      name -> key text or array
//   static plat::Value kv_replacedKeyFromPropertyName121(const std::string& name);
//   static plat::Dictionary kv_objectClassInArray();  name -> class name or Class::value()
//   static std::vector<std::string> kv_allowedPropertyNames();   (and kv_ignoredPropertyNames,
//       kv_allowedCodingPropertyNames, kv_ignoredCodingPropertyNames)
//   older names: replacedKeyFromPropertyName, replacedKeyFromPropertyName121,
//       objectClassInArray, and
//   static plat::Value newValueFromOldValueProperty(const plat::Value& old, HVProperty* p);
// Instance hooks (members):
//   plat::Value kv_newValueFromOldValueProperty(const plat::Value& old, HVProperty* p);
//   void kv_keyValuesDidFinishConvertingToObject();
//   void kv_objectDidFinishConvertingToKeyValues();
// Hooks are found when the class registers; they are fixed from then on.

#include <concepts>
#include <string>
#include <vector>

#include "net/model/HVProperty.h"
#include "platform/runtime/NSObject.h"

// Hook names and the shapes they are stored under in the class registry.
namespace hv_hooks {
inline constexpr const char* kReplacedKey = "kv_replacedKeyFromPropertyName";
inline constexpr const char* kReplacedKeyOld = "replacedKeyFromPropertyName";
inline constexpr const char* kReplacedKey121 = "kv_replacedKeyFromPropertyName121";
inline constexpr const char* kReplacedKey121Old = "replacedKeyFromPropertyName121";
inline constexpr const char* kObjectClassInArray = "kv_objectClassInArray";
inline constexpr const char* kObjectClassInArrayOld = "objectClassInArray";
inline constexpr const char* kAllowedNames = "kv_allowedPropertyNames";
inline constexpr const char* kIgnoredNames = "kv_ignoredPropertyNames";
inline constexpr const char* kAllowedCodingNames = "kv_allowedCodingPropertyNames";
inline constexpr const char* kIgnoredCodingNames = "kv_ignoredCodingPropertyNames";
inline constexpr const char* kClassNewValueOld = "newValueFromOldValueProperty";
inline constexpr const char* kNewValue = "kv_newValueFromOldValueProperty";
inline constexpr const char* kDidFinishToObject = "kv_keyValuesDidFinishConvertingToObject";
inline constexpr const char* kDidFinishToKeyValues = "kv_objectDidFinishConvertingToKeyValues";

using DictionaryHook = plat::Dictionary (*)();
using ReplacedKeyHook = plat::Value (*)(const std::string&);
using NameListHook = std::vector<std::string> (*)();
using ClassNewValueHook = plat::Value (*)(const plat::Value&, HVProperty*);
using NewValueHook = plat::Value (*)(plat::Object&, const plat::Value&, HVProperty*);
using NotifyHook = void (*)(plat::Object&);
}  // namespace hv_hooks

// Finds the hooks model class T offers and records them on its class.
template <class T>
struct HVKeyValueHooks {
  static void install(plat::Class* c) {
    using namespace hv_hooks;
#define HV_DICTIONARY_HOOK(fn, key)                                                 \
  if constexpr (requires {                                                          \
                  { T::fn() } -> std::convertible_to<plat::Dictionary>;             \
                }) {                                                                \
    c->setHook(key, DictionaryHook(+[]() -> plat::Dictionary { return T::fn(); })); \
  }
#define HV_NAMES_HOOK(fn, key)                                                            \
  if constexpr (requires {                                                                \
                  { T::fn() } -> std::convertible_to<std::vector<std::string>>;           \
                }) {                                                                      \
    c->setHook(key, NameListHook(+[]() -> std::vector<std::string> { return T::fn(); })); \
  }
#define HV_REPLACED_KEY_HOOK(fn, key)                                                           \
  if constexpr (requires(const std::string& n) {                                                \
                  { T::fn(n) } -> std::convertible_to<plat::Value>;                             \
                }) {                                                                            \
    c->setHook(key,                                                                             \
               ReplacedKeyHook(+[](const std::string& n) -> plat::Value { return T::fn(n); })); \
  }
    HV_DICTIONARY_HOOK(kv_replacedKeyFromPropertyName, kReplacedKey)
    HV_DICTIONARY_HOOK(replacedKeyFromPropertyName, kReplacedKeyOld)
    HV_DICTIONARY_HOOK(kv_objectClassInArray, kObjectClassInArray)
    HV_DICTIONARY_HOOK(objectClassInArray, kObjectClassInArrayOld)
    HV_REPLACED_KEY_HOOK(kv_replacedKeyFromPropertyName121, kReplacedKey121)
    HV_REPLACED_KEY_HOOK(replacedKeyFromPropertyName121, kReplacedKey121Old)
    HV_NAMES_HOOK(kv_allowedPropertyNames, kAllowedNames)
    HV_NAMES_HOOK(kv_ignoredPropertyNames, kIgnoredNames)
    HV_NAMES_HOOK(kv_allowedCodingPropertyNames, kAllowedCodingNames)
    HV_NAMES_HOOK(kv_ignoredCodingPropertyNames, kIgnoredCodingNames)
#undef HV_DICTIONARY_HOOK
#undef HV_NAMES_HOOK
#undef HV_REPLACED_KEY_HOOK
    if constexpr (requires(const plat::Value& v, HVProperty* p) {
                    { T::newValueFromOldValueProperty(v, p) } -> std::convertible_to<plat::Value>;
                  }) {
      c->setHook(kClassNewValueOld,
                 ClassNewValueHook(+[](const plat::Value& v, HVProperty* p) -> plat::Value {
                   return T::newValueFromOldValueProperty(v, p);
                 }));
    }
    if constexpr (requires(T & t, const plat::Value& v, HVProperty* p) {
                    { t.kv_newValueFromOldValueProperty(v, p) } -> std::convertible_to<plat::Value>;
                  }) {
      c->setHook(kNewValue, NewValueHook(+[](plat::Object& o, const plat::Value& v,
                                             HVProperty* p) -> plat::Value {
                   return static_cast<T&>(o).kv_newValueFromOldValueProperty(v, p);
                 }));
    }
    if constexpr (requires(T & t) { t.kv_keyValuesDidFinishConvertingToObject(); }) {
      c->setHook(kDidFinishToObject, NotifyHook(+[](plat::Object& o) {
                   static_cast<T&>(o).kv_keyValuesDidFinishConvertingToObject();
                 }));
    }
    if constexpr (requires(T & t) { t.kv_objectDidFinishConvertingToKeyValues(); }) {
      c->setHook(kDidFinishToKeyValues, NotifyHook(+[](plat::Object& o) {
                   static_cast<T&>(o).kv_objectDidFinishConvertingToKeyValues();
                 }));
    }
  }
};

// Declares model class `Cls` (derived from `Super`) with its properties and its hooks.
// Model classes register when the program is loaded, as the platform's classes are known
// from the start: a class named only by text (an array element class given as a class name,
// a class name stored in a keyed archive) is found even before any code has used it.
// REQUIRES: `Cls` is a namespace-scope class (not local to a function).
#define HV_MODEL(Cls, Super, ...)                                                    \
  PLAT_OBJECT_WITH_INSTALLER(Cls, Super, &::HVKeyValueHooks<Cls>::install, __VA_ARGS__) \
                                                                                     \
 private:                                                                            \
  [[maybe_unused]] static inline ::plat::Class* const kvClassAtLoad_ = staticClass(); \
                                                                                     \
 public:

#include "net/model/NSObject+HVKeyValue.h"
#include "net/model/NSObject+HVProperty.h"
#include "net/model/NSString+HVExtension.h"
