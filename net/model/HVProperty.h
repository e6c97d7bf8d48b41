#pragma once
// HVProperty: the mapper's descriptor of one declared property, shared by every class that
// inherits the property and kept for the life of the process. Besides the name and parsed
// type it records, per mapped class, the dictionary key paths the property reads from and the
// element class of an array property.
//
// Thread-safety: the per-class tables are read and written under the mapper's lock, so every
// operation may be called from any thread.

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/model/HVPropertyKey.h"
#include "net/model/HVPropertyType.h"
#include "platform/runtime/Runtime.h"

class HVProperty {
 public:
  // The one descriptor of `property`, made on first request. Null for null.
  static HVProperty* cachedPropertyWithProperty(const plat::Property* property);

  const plat::Property* property() const { return property_; }
  const std::string& name() const { return property_->name(); }
  const HVPropertyType* type() const { return type_; }
  // The class that declares the property (recorded while a property list is built).
  plat::Class* srcClass() const;
  void setSrcClass(plat::Class* cls);

  // The object's value: the null object for a KVC-disabled type, else the boxed value.
  // REQUIRES: object is an instance of the declaring class or a subclass.
  plat::Value valueForObject(const plat::Object& object) const;
  // Sets the object's value by key-value access. Does nothing (and succeeds) for nil or a
  // KVC-disabled type. Returns false and sets *reason when the value's kind does not fit.
  bool setValueForObject(const plat::Value& value, plat::Object& object,
                         std::string* reason = nullptr) const;

  // Parses a key text into steps: "data.list[0].name" gives data, list, [0], name;
  // "a[1][2]" gives a, [1], [2]; "a[0]b" gives a, [0]; "[0]" gives nothing. Empty text
  // gives an empty list.
  static HVKeyPath propertyKeysWithStringKey(std::string_view key);
  // A string gives one key path; an array of strings one path per element (empty results
  // dropped). The list is stored for `cls` unless it is empty.
  void setOriginKeyForClass(const plat::Value& originKey, plat::Class* cls);
  // Stores a non-empty list of key paths for `cls`.
  void setPorpertyKeysForClass(std::vector<HVKeyPath> keys, plat::Class* cls);
  // The key paths stored for `cls`; empty when none.
  std::vector<HVKeyPath> propertyKeysForClass(plat::Class* cls) const;
  // Stores a non-null element class for `cls`.
  void setObjectClassInArrayForClass(plat::Class* elementClass, plat::Class* cls);
  // The element class stored for `cls`, or null.
  plat::Class* objectClassInArrayForClass(plat::Class* cls) const;

  HVProperty(const HVProperty&) = delete;
  HVProperty& operator=(const HVProperty&) = delete;

 private:
  explicit HVProperty(const plat::Property* property);
  const plat::Property* property_;
  const HVPropertyType* type_;
  // Guarded by the mapper lock.
  plat::Class* srcClass_ = nullptr;
  std::unordered_map<std::string, std::vector<HVKeyPath>> propertyKeysDict_;
  std::unordered_map<std::string, plat::Class*> objectClassInArrayDict_;
};
