#pragma once
// Class-level reflection for the model mapper: the walk up a class chain, the per-class
// configuration (setup calls, kept per class and not inherited), the class hooks (inherited),
// and the cached property list of each class.
//
// Class hooks are static members of a model class declared with HV_MODEL (see
// net/model/HVKeyValue.h); setup calls store the same configuration from outside the class.
// Configure a class before its first mapping: the replaced-key, replaced-key-block and
// array-element setups empty the cached property lists, the name-list setups empty that
// list's totals; the new-value setup takes effect at once.
//
// Thread-safety: every operation may be called from any thread. The per-class tables and the
// caches are guarded by one lock, never held while hooks or blocks run.

#include <functional>
#include <string>
#include <vector>

#include "net/model/HVProperty.h"
#include "platform/runtime/Runtime.h"

// Block shapes of the setup calls.
using HVNameListBlock = std::function<std::vector<std::string>()>;
using HVDictionaryBlock = std::function<plat::Dictionary()>;
// Property name -> key text, array of key texts, or nil.
using HVReplacedKeyBlock = std::function<plat::Value(const std::string& propertyName)>;
// (object, old value, property) -> new value.
using HVNewValueBlock = std::function<plat::Value(plat::Object& object, const plat::Value& oldValue,
                                                  HVProperty* property)>;

// NSObject(HVClass)

// Calls block for `cls`, then each superclass; stops after a call that sets stop, at the end
// of the chain, or before the first platform class (HVFoundation).
void kv_enumerateClasses(plat::Class* cls,
                         const std::function<void(plat::Class*, bool& stop)>& block);
// The same walk up to and including the root class.
void kv_enumerateAllClasses(plat::Class* cls,
                            const std::function<void(plat::Class*, bool& stop)>& block);
// Store the block's result (nothing when the block is empty) in the class's own slot and
// empty that list's totals for all classes.
void kv_setupAllowedPropertyNames(plat::Class* cls, const HVNameListBlock& block);
void kv_setupIgnoredPropertyNames(plat::Class* cls, const HVNameListBlock& block);
void kv_setupAllowedCodingPropertyNames(plat::Class* cls, const HVNameListBlock& block);
void kv_setupIgnoredCodingPropertyNames(plat::Class* cls, const HVNameListBlock& block);
// The names of the class hook (kv_allowedPropertyNames ...) followed by the names stored by
// the setup calls of the class and of every superclass. Duplicates are kept. Cached.
std::vector<std::string> kv_totalAllowedPropertyNames(plat::Class* cls);
std::vector<std::string> kv_totalIgnoredPropertyNames(plat::Class* cls);
std::vector<std::string> kv_totalAllowedCodingPropertyNames(plat::Class* cls);
std::vector<std::string> kv_totalIgnoredCodingPropertyNames(plat::Class* cls);

// NSObject(Property)

// The class's property descriptors: its own in declaration order, then each superclass's,
// stopping before the first platform class. Cached per class. Empty for null. An array
// property's element class is the one kv_propertyObjectClassInArray names, else, for a
// vector of model pointers, the model class of its C++ type.
std::vector<HVProperty*> kv_properties(plat::Class* cls);
// Walks kv_properties in order until the block sets stop.
void kv_enumerateProperties(plat::Class* cls,
                            const std::function<void(HVProperty*, bool& stop)>& block);
// Replaced-key table: property name -> key text or array of key texts.
void kv_setupReplacedKeyFromPropertyName(plat::Class* cls, const HVDictionaryBlock& block);
void kv_setupReplacedKeyFromPropertyName121(plat::Class* cls, HVReplacedKeyBlock block);
// Array element classes: property name -> class (Class::value()) or class name.
void kv_setupObjectClassInArray(plat::Class* cls, const HVDictionaryBlock& block);
void kv_setupNewValueFromOldValue(plat::Class* cls, HVNewValueBlock block);
// The key text (or array of key texts) property `name` of `cls` reads: the 121 hooks, the
// replaced-key blocks of the chain, the replaced-key hooks, the replaced-key tables of the
// chain, else the name itself.
plat::Value kv_propertyKey(plat::Class* cls, const std::string& name);
// The element class of array property `name` of `cls`, or null. A class name that names no
// registered class gives null.
plat::Class* kv_propertyObjectClassInArray(plat::Class* cls, const std::string& name);
// The value to set instead of `oldValue`: the object's kv_newValueFromOldValueProperty, the
// class's newValueFromOldValueProperty, the first new-value block along the chain, else
// oldValue itself.
plat::Value kv_getNewValueFromObject(plat::Class* cls, plat::Object& object,
                                     const plat::Value& oldValue, HVProperty* property);
