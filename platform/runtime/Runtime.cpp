#include "platform/runtime/Runtime.h"

#include <mutex>

#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSLog.h"
#include "platform/runtime/NSObject.h"
#include "platform/runtime/PropertyTraits.h"

namespace plat {

namespace {

struct KeyHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// The platform classes the runtime knows from the start. Members of the stop set (and the
// root) are marked foundation.
struct Builtins {
  Class* root = nullptr;
  Class* number = nullptr;
  Class* decimal = nullptr;
  Class* string = nullptr;
  Class* array = nullptr;
  Class* dictionary = nullptr;
  Class* data = nullptr;
  Class* date = nullptr;
  Class* null = nullptr;
};

struct Registry {
  std::mutex mu;
  std::unordered_map<std::string, std::shared_ptr<Class>, KeyHash, std::equal_to<>> byName;
  std::vector<Class*> order;
  // Classes whose name was taken by another C++ type; kept alive, not found by name.
  std::vector<std::shared_ptr<Class>> unpublished;
  Builtins builtins;
};

}  // namespace

// Builds class records without taking the lock (used while the registry is created).
class RuntimeBootstrap {
 public:
  static Class* add(Registry& r, const char* name, Class* super, bool foundation) {
    auto c = std::shared_ptr<Class>(new Class());
    c->name_ = name;
    c->superclass_ = super;
    c->foundation_ = foundation;
    c->bootstrap_ = true;
    Class* raw = c.get();
    r.byName.emplace(name, std::move(c));
    r.order.push_back(raw);
    return raw;
  }
};

namespace {

Registry& registry() {
  static Registry* r = [] {
    auto* reg = new Registry;
    auto add = [&](const char* n, Class* s, bool f) {
      return RuntimeBootstrap::add(*reg, n, s, f);
    };
    Builtins& b = reg->builtins;
    b.root = add("NSObject", nullptr, true);
    Class* value = add("NSValue", b.root, true);
    b.number = add("NSNumber", value, true);
    b.decimal = add("NSDecimalNumber", b.number, true);
    Class* string = add("NSString", b.root, true);
    b.string = add("NSMutableString", string, true);
    Class* attributed = add("NSAttributedString", b.root, true);
    add("NSMutableAttributedString", attributed, true);
    Class* array = add("NSArray", b.root, true);
    b.array = add("NSMutableArray", array, true);
    Class* dictionary = add("NSDictionary", b.root, true);
    b.dictionary = add("NSMutableDictionary", dictionary, true);
    Class* data = add("NSData", b.root, true);
    b.data = add("NSMutableData", data, true);
    b.date = add("NSDate", b.root, true);
    add("NSURL", b.root, true);
    add("NSError", b.root, true);
    b.null = add("NSNull", b.root, false);
    return reg;
  }();
  static const bool codingLookupInstalled = [] {
    // The unarchiver creates registered classes by the name stored in an archive.
    NSCodingClasses::setFallbackLookup(
        [](std::string_view name) -> std::optional<NSCodingClasses::Entry> {
          Class* c = Runtime::classNamed(name);
          if (!c || !c->canCreateInstances()) return std::nullopt;
          NSCodingClasses::Entry e;
          e.factory = [c] { return c->createInstance(); };
          for (Class* s = c->superclass(); s; s = s->superclass())
            e.superclasses.push_back(s->name());
          return e;
        });
    return true;
  }();
  (void)codingLookupInstalled;
  return *r;
}

}  // namespace

std::string valueKindName(const Value& v) {
  switch (v.type()) {
    case Value::Type::Nil:
      return "nil";
    case Value::Type::Null:
      return "null";
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double:
    case Value::Type::Decimal:
      return "number";
    case Value::Type::String:
      return "string";
    case Value::Type::Data:
      return "data";
    case Value::Type::Date:
      return "date";
    case Value::Type::Array:
      return "array";
    case Value::Type::Dictionary:
      return "dictionary";
    case Value::Type::Object: {
      auto o = v.object();
      return o ? o->className() : "object";
    }
  }
  return "value";
}

Value Property::getValue(const Object& object) const { return getter_ ? getter_(object) : Value(); }

bool Property::setValue(Object& object, const Value& value, std::string* reason) const {
  std::string why;
  bool ok = false;
  if (!setter_) {
    why = "not key-value settable";
  } else if (value.isNil()) {
    why = "nil value";
  } else {
    ok = setter_(object, value, &why);
  }
  if (!ok && reason) {
    *reason =
        (declaringClass_ ? declaringClass_->name() : std::string("?")) + "." + name_ + ": " + why;
  }
  return ok;
}

bool Class::isSubclassOfClass(const Class* other) const {
  if (!other) return false;
  for (const Class* c = this; c; c = c->superclass_) {
    if (c == other) return true;
  }
  return false;
}

const Property* Class::propertyNamed(std::string_view name) const {
  for (const Class* c = this; c; c = c->superclass_) {
    for (auto& p : c->properties_) {
      if (p.name() == name) return &p;
    }
  }
  return nullptr;
}

void Class::setHook(std::string_view name, std::any hook) {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  if (hook.has_value())
    hooks_.insert_or_assign(std::string(name), std::move(hook));
  else if (auto it = hooks_.find(name); it != hooks_.end())
    hooks_.erase(it);
}

std::any Class::hook(std::string_view name) const {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  for (const Class* c = this; c; c = c->superclass_) {
    if (auto it = c->hooks_.find(name); it != c->hooks_.end()) return it->second;
  }
  return {};
}

void Class::setSlot(std::string_view key, std::any value) {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  if (value.has_value())
    slots_.insert_or_assign(std::string(key), std::move(value));
  else if (auto it = slots_.find(key); it != slots_.end())
    slots_.erase(it);
}

std::any Class::slot(std::string_view key) const {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  if (auto it = slots_.find(key); it != slots_.end()) return it->second;
  return {};
}

Class* Runtime::classNamed(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  auto it = r.byName.find(name);
  return it == r.byName.end() ? nullptr : it->second.get();
}

std::vector<Class*> Runtime::classList() {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  return r.order;
}

Class* Runtime::rootClass() { return registry().builtins.root; }

bool Runtime::setSlotForClassName(std::string_view className, std::string_view key,
                                  std::any value) {
  Class* c = classNamed(className);
  if (!c) return false;
  c->setSlot(key, std::move(value));
  return true;
}

std::any Runtime::slotForClassName(std::string_view className, std::string_view key) {
  Class* c = classNamed(className);
  return c ? c->slot(key) : std::any();
}

std::any Runtime::hookForClassName(std::string_view className, std::string_view hookName) {
  Class* c = classNamed(className);
  return c ? c->hook(hookName) : std::any();
}

Class* Runtime::registerClass(std::string name, Class* superclass, Class::Factory factory,
                              std::vector<Property> properties, void (*install)(Class*),
                              const std::type_info* type) {
  Registry& r = registry();
  auto sameType = [&](const Class* c) {
    return c->type_ == type || (c->type_ && type && *c->type_ == *type);
  };
  {
    std::lock_guard lock(r.mu);
    if (auto it = r.byName.find(name); it != r.byName.end() && sameType(it->second.get())) {
      return it->second.get();
    }
  }
  auto c = std::shared_ptr<Class>(new Class());
  c->name_ = name;
  c->superclass_ = superclass ? superclass : r.builtins.root;
  c->factory_ = factory;
  c->type_ = type;
  c->properties_ = std::move(properties);
  for (auto& p : c->properties_) p.declaringClass_ = c.get();
  // Hooks are installed before the class is published, so nobody sees it half made.
  if (install) install(c.get());
  std::lock_guard lock(r.mu);
  auto [it, inserted] = r.byName.emplace(name, c);
  if (inserted) {
    r.order.push_back(c.get());
    return c.get();
  }
  if (sameType(it->second.get())) return it->second.get();
  writeToStandardError("plat::Runtime: class " + name +
                       " is declared by two C++ types; lookup by name answers the first");
  r.unpublished.push_back(c);
  return c.get();
}

Class* Runtime::classOfValue(const Value& value) {
  const Builtins& b = registry().builtins;
  switch (value.type()) {
    case Value::Type::Nil:
      return nullptr;
    case Value::Type::Null:
      return b.null;
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double:
      return b.number;
    case Value::Type::Decimal:
      return b.decimal;
    case Value::Type::String:
      return b.string;
    case Value::Type::Data:
      return b.data;
    case Value::Type::Date:
      return b.date;
    case Value::Type::Array:
      return b.array;
    case Value::Type::Dictionary:
      return b.dictionary;
    case Value::Type::Object: {
      auto o = value.object();
      if (auto n = dynamic_cast<const NSObject*>(o.get())) return n->classObject();
      if (o) {
        Class* c = classNamed(o->className());
        if (c && c->bootstrap_) return c;
      }
      return b.root;
    }
  }
  return nullptr;
}

bool Runtime::valueIsKindOfClass(const Value& value, const Class* cls) {
  Class* c = classOfValue(value);
  return c && c->isSubclassOfClass(cls);
}

}  // namespace plat
