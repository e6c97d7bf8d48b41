#pragma once
// The key-value model mapper: decoded JSON (dictionaries, arrays, strings, numbers), JSON text
// and JSON data into model objects by their declared properties, and model objects back into
// dictionaries and JSON. Steered by the model class's hooks and setups (net/model/HVKeyValue.h,
// net/model/NSObject+HVProperty.h).
//
// Failures never throw: a wrong kind of input gives a nil result (or the unchanged receiver)
// and sets the class-wide last error (kv_error) of the class operated on. Every error has code
// 250, no user info, and its message as the error's domain:
//   "keyValues参数不是一个字典"       input to fill or create an object is not a dictionary
//   "keyValuesArray参数不是一个数组"  input to create an object array is not an array
//   "不是自定义的模型类"              an object of a platform class turned into a dictionary
//   "objectArray参数不是一个数组"     input to turn objects into dictionaries is not an array
//   the setter's reason text          a property whose value could not be set or written back
// A value of the wrong kind for its property is dropped silently (the property keeps what it
// had). Numbers saturate into narrower integer properties.
//
// Thread-safety: may be called from any thread; the shared tables are locked. The last error
// is per class, so threads mapping the same class at once overwrite each other's error. An
// object must not be filled from two threads at once.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/runtime/NSObject.h"

// Instance operations (any object; platform values are plat::Value).

// Fills `object` from a dictionary, JSON text or JSON data (a model object is read through
// its dictionary). Returns `object`. A null object is returned as is.
plat::ObjectRef kv_setKeyValues(const plat::ObjectRef& object, const plat::Value& keyValues);
template <class T>
std::shared_ptr<T> kv_setKeyValues(const std::shared_ptr<T>& object, const plat::Value& keyValues) {
  kv_setKeyValues(plat::ObjectRef(object), keyValues);
  return object;
}

// The object's properties as a dictionary (see kv_keyValuesWithKeysIgnoredKeys). A value that
// is not a model object (a string, a number, a dictionary...) is returned as itself.
plat::Value kv_keyValues(const plat::Value& object);
// Only the named properties (all when `keys` is empty).
plat::Value kv_keyValuesWithKeys(const plat::Value& object, const std::vector<std::string>& keys);
// All but the named properties.
plat::Value kv_keyValuesWithIgnoredKeys(const plat::Value& object,
                                        const std::vector<std::string>& ignoredKeys);
// Nested models become dictionaries, arrays of models arrays of dictionaries. When the class
// answers YES to kv_isReferenceReplacedKeyWhenCreatingKeyValues (the default), each value is
// written at the property's first key path, creating the dictionaries and arrays on the way
// ("a.b[2]" gives {"a": {"b": [null, null, value]}}); a container of the wrong kind already on
// the path, or an index that is negative or above 65536, records an error and skips that
// property.
plat::Value kv_keyValuesWithKeysIgnoredKeys(const plat::Value& object,
                                            const std::vector<std::string>& keys,
                                            const std::vector<std::string>& ignoredKeys);

// Text is parsed as JSON, data is parsed as JSON (nil when either does not parse); anything
// else gives kv_keyValues.
plat::Value kv_JSONObject(const plat::Value& object);
// Text gives its UTF-8 bytes, data itself, anything else the JSON of kv_JSONObject (empty when
// it cannot be written as JSON).
plat::Data kv_JSONData(const plat::Value& object);
// Text gives itself, data its UTF-8 text ("" when the bytes are not UTF-8), anything else the
// text of kv_JSONData.
std::string kv_JSONString(const plat::Value& object);

// Class operations.

// A new instance of `cls` filled from a dictionary, JSON text or JSON data. Null (and the
// class's error set) when the input is not a dictionary after decoding or `cls` cannot be
// instantiated; null for a null class.
plat::ObjectRef kv_objectWithKeyValues(plat::Class* cls, const plat::Value& keyValues);
template <class T>
std::shared_ptr<T> kv_objectWithKeyValues(const plat::Value& keyValues) {
  return std::dynamic_pointer_cast<T>(kv_objectWithKeyValues(T::staticClass(), keyValues));
}
// Reads a property-list dictionary from the main bundle's resource `filename` (no type) or
// from the file at `file`, then kv_objectWithKeyValues. Empty name or path: "filename参数为nil"
// or "file参数为nil" and null. A missing or unreadable file fails as input that is not a
// dictionary.
plat::ObjectRef kv_objectWithFilename(plat::Class* cls, const std::string& filename);
plat::ObjectRef kv_objectWithFile(plat::Class* cls, const std::string& file);

// An array of new instances from an array (or JSON text or data of one): dictionary elements
// become objects, array elements nested arrays, other elements are dropped. Nil (and the
// class's error set) when the input is not an array. For a platform class, the array itself.
plat::Value kv_objectArrayWithKeyValuesArray(plat::Class* cls, const plat::Value& keyValuesArray);
// The same, typed: the objects of the top level only (nested arrays are left out).
template <class T>
std::vector<std::shared_ptr<T>> kv_objectArrayWithKeyValuesArray(
    const plat::Value& keyValuesArray) {
  std::vector<std::shared_ptr<T>> r;
  plat::Value a = kv_objectArrayWithKeyValuesArray(T::staticClass(), keyValuesArray);
  if (auto items = a.array()) {
    for (auto& item : *items) {
      if (auto t = item.objectAs<T>()) r.push_back(std::move(t));
    }
  }
  return r;
}
// As the object loaders, reading a property-list array.
plat::Value kv_objectArrayWithFilename(plat::Class* cls, const std::string& filename);
plat::Value kv_objectArrayWithFile(plat::Class* cls, const std::string& file);

// Each element of `objectArray` through kv_keyValuesWithKeys (when `keys` is not empty) or
// kv_keyValuesWithIgnoredKeys. Nil and "objectArray参数不是一个数组" when not an array.
plat::Value kv_keyValuesArrayWithObjectArray(plat::Class* cls, const plat::Value& objectArray);
plat::Value kv_keyValuesArrayWithObjectArrayKeys(plat::Class* cls, const plat::Value& objectArray,
                                                 const std::vector<std::string>& keys);
plat::Value kv_keyValuesArrayWithObjectArrayIgnoredKeys(
    plat::Class* cls, const plat::Value& objectArray, const std::vector<std::string>& ignoredKeys);
plat::Value kv_keyValuesArrayWithObjectArrayKeysIgnoredKeys(
    plat::Class* cls, const plat::Value& objectArray, const std::vector<std::string>& keys,
    const std::vector<std::string>& ignoredKeys);

// The last error of `cls` (not inherited); null when the last operation on it succeeded.
plat::NSErrorRef kv_error(plat::Class* cls);
void setKv_error(plat::Class* cls, plat::NSErrorRef error);

// Whether kv_keyValues writes values at their replaced key paths (YES) or under the property
// names (NO). Read along the chain; the root answers YES.
void kv_referenceReplacedKeyWhenCreatingKeyValues(plat::Class* cls, bool reference);
bool kv_isReferenceReplacedKeyWhenCreatingKeyValues(plat::Class* cls);

// The forms that take a managed-object context. This platform has no object-graph store, so
// the context is opaque and ignored: plain instances are made and filled exactly as by the
// forms without it.
using HVManagedObjectContextRef = std::shared_ptr<void>;
inline plat::ObjectRef kv_setKeyValuesContext(const plat::ObjectRef& object,
                                              const plat::Value& keyValues,
                                              const HVManagedObjectContextRef& /*context*/) {
  return kv_setKeyValues(object, keyValues);
}
inline plat::ObjectRef kv_objectWithKeyValuesContext(plat::Class* cls, const plat::Value& keyValues,
                                                     const HVManagedObjectContextRef& /*context*/) {
  return kv_objectWithKeyValues(cls, keyValues);
}
inline plat::Value kv_objectArrayWithKeyValuesArrayContext(
    plat::Class* cls, const plat::Value& keyValuesArray,
    const HVManagedObjectContextRef& /*context*/) {
  return kv_objectArrayWithKeyValuesArray(cls, keyValuesArray);
}
