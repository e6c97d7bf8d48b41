#pragma once
// The class registry that stands in for the platform's object runtime: classes looked up by
// name, is-kind-of along the superclass chain, declared properties with their type codes and
// key-value access, class-level hooks inherited along the chain, and per-class slots that are
// not inherited.
//
// Classes register explicitly, the first time their staticClass() is called (see the
// PLAT_OBJECT macro in platform/runtime/NSObject.h); a class that was never asked for is not
// known to name lookup. Class records live for the life of the process. The registry also
// answers the keyed unarchiver's class lookup (plat::NSCodingClasses), so registered classes
// that implement plat::NSCoding can be read back from archives.
//
// Thread-safety: the registry and every class's hooks and slots are guarded by one internal
// lock; all operations may be called from any thread. A class's name, superclass, factory and
// properties never change after registration.

#include <any>
#include <cstdint>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {

class Class;

// One declared property of a registered class.
class Property {
 public:
  // Boxes the property's value of `object` into a Value.
  using Getter = Value (*)(const Object& object);
  // Unboxes `value` into the property of `object`. Returns false and sets *why to a short
  // reason when the value is of a kind the property cannot hold; the property is unchanged.
  using Setter = bool (*)(Object& object, const Value& value, std::string* why);
  // Registers (if needed) and returns the class named by an object type code; null otherwise.
  using ClassFn = Class* (*)();

  Property(std::string name, std::string typeCode, Getter getter, Setter setter,
           ClassFn typeClassFn = nullptr, ClassFn elementClassFn = nullptr)
      : name_(std::move(name)),
        typeCode_(std::move(typeCode)),
        getter_(getter),
        setter_(setter),
        typeClassFn_(typeClassFn),
        elementClassFn_(elementClassFn) {}

  const std::string& name() const { return name_; }
  // The platform's type encoding: "@\"NSString\"", "@\"Model\"", "@", "i", "q", "B", "d"...
  const std::string& typeCode() const { return typeCode_; }
  // The class that declares the property (set at registration).
  Class* declaringClass() const { return declaringClass_; }
  bool hasGetter() const { return getter_ != nullptr; }
  bool hasSetter() const { return setter_ != nullptr; }

  // The boxed value. Returns nil when the property has no getter.
  // REQUIRES: object is an instance of declaringClass() or of a subclass.
  Value getValue(const Object& object) const;
  // Key-value setting: numbers saturate into narrower integer properties, numeric text is
  // read as the platform reads it, text into a BOOL follows the platform's boolValue.
  // Returns false and sets *reason ("<Class>.<name>: <why>") when the value has a kind the
  // property cannot hold, when the value is nil, or when the property has no setter.
  // REQUIRES: object is an instance of declaringClass() or of a subclass.
  bool setValue(Object& object, const Value& value, std::string* reason = nullptr) const;

  // Makes sure the classes this property's C++ type names are registered (the class of an
  // object property, the element class of a typed array property) and returns them.
  Class* ensureTypeClass() const { return typeClassFn_ ? typeClassFn_() : nullptr; }
  Class* ensureElementClass() const { return elementClassFn_ ? elementClassFn_() : nullptr; }

 private:
  friend class Runtime;
  std::string name_;
  std::string typeCode_;
  Getter getter_;
  Setter setter_;
  ClassFn typeClassFn_;
  ClassFn elementClassFn_;
  Class* declaringClass_ = nullptr;
};

// A registered class. Also an object, so that a class can travel inside a plat::Value (for
// example as the element class in a table of array element classes).
class Class : public Object {
 public:
  using Factory = ObjectRef (*)();

  const std::string& name() const { return name_; }
  // The superclass; null for the root class "NSObject".
  Class* superclass() const { return superclass_; }
  // True for the root and the platform's value classes at which model reflection stops
  // (URL, date, value and number, data, error, array, dictionary, string, attributed string,
  // with their mutable kinds).
  bool isFoundation() const { return foundation_; }
  // True when `other` is this class or one of its superclasses. False for null.
  bool isSubclassOfClass(const Class* other) const;
  // A new instance, or null when the class has no factory (abstract or not default-constructible).
  ObjectRef createInstance() const { return factory_ ? factory_() : nullptr; }
  bool canCreateInstances() const { return factory_ != nullptr; }
  // The properties this class itself declares, in declaration order.
  const std::vector<Property>& properties() const { return properties_; }
  // The property of that name declared by this class or the nearest superclass; null if none.
  const Property* propertyNamed(std::string_view name) const;

  // Class-level operations, inherited: hook() answers the nearest class along the chain that
  // set one under `name` (as the platform answers respondsToSelector: on a class). An empty
  // value removes this class's own hook.
  void setHook(std::string_view name, std::any hook);
  std::any hook(std::string_view name) const;
  bool respondsToHook(std::string_view name) const { return hook(name).has_value(); }

  // Per-class values, not inherited. An empty value removes the slot.
  void setSlot(std::string_view key, std::any value);
  std::any slot(std::string_view key) const;

  // This class as a Value (an object handle).
  Value value() { return Value(shared_from_this()); }

  std::string className() const override { return "Class"; }
  std::string description() const override { return name_; }

  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

 private:
  friend class Runtime;
  friend class RuntimeBootstrap;
  Class() = default;
  std::string name_;
  Class* superclass_ = nullptr;
  bool foundation_ = false;
  bool bootstrap_ = false;  // one of the platform classes the registry starts with
  const std::type_info* type_ = nullptr;
  Factory factory_ = nullptr;
  std::vector<Property> properties_;
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using AnyMap = std::unordered_map<std::string, std::any, KeyHash, std::equal_to<>>;
  // Guarded by the registry lock.
  AnyMap hooks_;
  AnyMap slots_;
};

class Runtime {
 public:
  // The class registered under `name`, or null (NSClassFromString).
  static Class* classNamed(std::string_view name);
  // Every registered class, in registration order.
  static std::vector<Class*> classList();
  // The root class "NSObject".
  static Class* rootClass();

  // Conveniences by class name for per-class values and hooks (for example a per-class log
  // level). setSlotForClassName returns false, storing nothing, when no class has that name;
  // the readers give an empty value then.
  static bool setSlotForClassName(std::string_view className, std::string_view key, std::any value);
  static std::any slotForClassName(std::string_view className, std::string_view key);
  static std::any hookForClassName(std::string_view className, std::string_view hookName);

  // Registers a class made of C++ type `type`. When the name is taken by the same type,
  // returns that class. When it is taken by another type (two C++ classes declared under one
  // name), the new class is made but not published: it works for its own objects, name
  // lookup keeps answering the first, and a warning goes to stderr. A null superclass means
  // the root class.
  static Class* registerClass(std::string name, Class* superclass, Class::Factory factory,
                              std::vector<Property> properties, void (*install)(Class*) = nullptr,
                              const std::type_info* type = nullptr);

  // The class of a value as the platform sees it: NSNumber for numbers and booleans, the
  // mutable string, array, dictionary and data classes (values are mutable copies here),
  // NSDate, NSNull, and for objects their class: a plat::NSObject's own class; for other
  // objects the platform class named by className() ("NSError", "NSURL"), else the root (never
  // a registered C++ class, whose properties such an object does not have). Null for nil.
  static Class* classOfValue(const Value& value);
  // isKindOfClass: of the value's class. False for nil or a null class.
  static bool valueIsKindOfClass(const Value& value, const Class* cls);
};

}  // namespace plat
