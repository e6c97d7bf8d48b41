#pragma once
// Associated objects: values attached to a plat::Object under a key address, held strongly
// and released when the object dies (or when replaced or removed).
//
// Thread-safety: all operations may be called from any thread. A replaced or removed value is
// let go after the internal lock is released, so its destructor may use associations too.

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {

// Attaches `value` to `object` under `key`; a nil value removes the association. A null object
// does nothing.
void objc_setAssociatedObject(const ObjectRef& object, const void* key, const Value& value);
// The value under `key`, or nil.
Value objc_getAssociatedObject(const ObjectRef& object, const void* key);
// Drops every association of `object`.
void objc_removeAssociatedObjects(const ObjectRef& object);

}  // namespace plat
