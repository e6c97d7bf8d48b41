#pragma once
// plat::NSObject: the root of registered classes. A subclass declares itself and its
// properties with PLAT_OBJECT, one line per property:
//
//   class User : public plat::NSObject {
//    public:
//     std::string name;
//     int64_t age = 0;
//     std::shared_ptr<Dog> dog;
//     PLAT_OBJECT(User, plat::NSObject,
//                 PLAT_PROPERTY(name),
//                 PLAT_PROPERTY(age),
//                 PLAT_PROPERTY(dog))
//   };
//
// The class registers the first time User::staticClass() is called (by the caller, by the
// mapper, or by a class that has a property of this type), never at static-init time.
// Supported property types and their codes are listed in platform/runtime/PropertyTraits.h.
// Thread-safety: as plat::Object; registration itself is thread-safe.

#include <string>

#include "platform/runtime/PropertyTraits.h"
#include "platform/runtime/Runtime.h"

namespace plat {

class NSObject : public Object {
 public:
  static constexpr const char* kPlatClassName = "NSObject";
  // The root class "NSObject".
  static Class* staticClass() { return Runtime::rootClass(); }
  // This object's class. Overridden by PLAT_OBJECT.
  virtual Class* classObject() const { return staticClass(); }
  std::string className() const override { return classObject()->name(); }
  bool isKindOfClass(const Class* cls) const { return classObject()->isSubclassOfClass(cls); }
  bool isMemberOfClass(const Class* cls) const { return classObject() == cls; }
};

}  // namespace plat

// Declares the enclosing class `Cls` (derived from `Super`, itself NSObject or a class
// declared with PLAT_OBJECT) to the registry, with its own properties in order.
// REQUIRES: every registered subclass uses the macro itself.
#define PLAT_OBJECT(Cls, Super, ...) PLAT_OBJECT_WITH_INSTALLER(Cls, Super, nullptr, __VA_ARGS__)

// As PLAT_OBJECT, calling `installer(cls)` once when the class registers (to add hooks).
#define PLAT_OBJECT_WITH_INSTALLER(Cls, Super, installer, ...)                   \
 public:                                                                         \
  static constexpr const char* kPlatClassName = #Cls;                            \
  static ::plat::Class* staticClass() {                                          \
    using Self [[maybe_unused]] = Cls;                                           \
    static ::plat::Class* const platClass = ::plat::registerClassOf<Cls, Super>( \
        #Cls, std::vector<::plat::Property>{__VA_ARGS__}, installer);            \
    return platClass;                                                            \
  }                                                                              \
  ::plat::Class* classObject() const override { return staticClass(); }

// One property of the class being declared, named after its member.
#define PLAT_PROPERTY(member) ::plat::propertyOf<&Self::member>(#member)
// One property with an explicit type code, for a plat::Value member that holds one kind
// ("@\"NSNumber\"") or a container declared mutable ("@\"NSMutableArray\"").
// REQUIRES: the code names a kind the member's C++ type can hold.
#define PLAT_PROPERTY_CODE(member, code) ::plat::propertyOf<&Self::member>(#member, code)
