#pragma once
// plat::Object: the base of every object with identity that can travel inside a plat::Value
// (views, controllers, sessions, tasks, models, errors). Identity is the object's address.
// Thread-safety: the base holds only the associated objects (guarded by the runtime);
// subclasses document their own contract.

#include <memory>
#include <string>

namespace plat {

class Object : public std::enable_shared_from_this<Object> {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  // The class name as the system names it ("NSObject" unless a subclass says otherwise).
  virtual std::string className() const { return "NSObject"; }
  // The text form used by "%@". Default: "<ClassName: 0xADDRESS>".
  virtual std::string description() const;
  // Equality as the platform's isEqual:. Default: identity.
  virtual bool isEqual(const Object& other) const { return this == &other; }

 private:
  // Associated objects (platform/runtime/AssociatedObjects.h): created on first use, released
  // with the object.
  friend struct AssociatedObjectsAccess;
  std::shared_ptr<void> associations_;
};

using ObjectRef = std::shared_ptr<Object>;

}  // namespace plat
