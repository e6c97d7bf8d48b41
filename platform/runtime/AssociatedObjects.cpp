#include "platform/runtime/AssociatedObjects.h"

#include <array>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace plat {

using AssociationMap = std::unordered_map<const void*, Value>;

struct AssociatedObjectsAccess {
  static std::shared_ptr<void>& slot(Object& object) { return object.associations_; }
};

namespace {

// Striped locks keyed by the object's address: the slot lives in the object, so no lock is
// owned by (or freed with) the object itself.
std::mutex& lockFor(const Object* object) {
  static std::array<std::mutex, 64>* locks = new std::array<std::mutex, 64>();
  return (*locks)[std::hash<const void*>()(object) % locks->size()];
}

}  // namespace

void objc_setAssociatedObject(const ObjectRef& object, const void* key, const Value& value) {
  if (!object) return;
  Value old;
  {
    std::lock_guard<std::mutex> g(lockFor(object.get()));
    auto& slot = AssociatedObjectsAccess::slot(*object);
    if (!slot) {
      if (value.isNil()) return;
      slot = std::make_shared<AssociationMap>();
    }
    auto& map = *static_cast<AssociationMap*>(slot.get());
    auto it = map.find(key);
    if (value.isNil()) {
      if (it == map.end()) return;
      old = std::move(it->second);
      map.erase(it);
    } else if (it != map.end()) {
      old = std::move(it->second);
      it->second = value;
    } else {
      map.emplace(key, value);
    }
  }
}

Value objc_getAssociatedObject(const ObjectRef& object, const void* key) {
  if (!object) return Value();
  std::lock_guard<std::mutex> g(lockFor(object.get()));
  auto& slot = AssociatedObjectsAccess::slot(*object);
  if (!slot) return Value();
  auto& map = *static_cast<AssociationMap*>(slot.get());
  auto it = map.find(key);
  return it == map.end() ? Value() : it->second;
}

void objc_removeAssociatedObjects(const ObjectRef& object) {
  if (!object) return;
  std::shared_ptr<void> old;
  {
    std::lock_guard<std::mutex> g(lockFor(object.get()));
    old = std::move(AssociatedObjectsAccess::slot(*object));
  }
}

}  // namespace plat
