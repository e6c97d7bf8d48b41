// Class-level reflection: class walks, setups, hooks, and the cached per-class tables.
#include <unordered_map>

#include "net/model/HVFoundation.h"
#include "net/model/HVModelCache.h"
#include "net/model/HVModelLock.h"
#include "net/model/NSObject+HVProperty.h"

using namespace hv_model_detail;

namespace {

const char* const kNameListSlots[] = {"HVAllowedPropertyNames", "HVIgnoredPropertyNames",
                                      "HVAllowedCodingPropertyNames",
                                      "HVIgnoredCodingPropertyNames"};
const char* const kNameListHooks[] = {hv_hooks::kAllowedNames, hv_hooks::kIgnoredNames,
                                      hv_hooks::kAllowedCodingNames, hv_hooks::kIgnoredCodingNames};

struct ClassCache {
  std::shared_ptr<const Plan> plan;
  std::shared_ptr<const Names> totals[4];
  uint64_t newValueGeneration = ~uint64_t{0};
  std::shared_ptr<const ClassHooks> newValue;
};

struct Caches {
  std::unordered_map<const plat::Class*, ClassCache> byClass;
  uint64_t newValueGeneration = 0;
};

// REQUIRES: modelLock() held.
Caches& caches() {
  static Caches* c = new Caches;
  return *c;
}

template <class T>
T hookOf(plat::Class* cls, const char* name) {
  std::any h = cls->hook(name);
  if (auto p = std::any_cast<T>(&h)) return *p;
  return nullptr;
}

template <class T>
std::optional<T> slotOf(plat::Class* cls, const char* key) {
  std::any s = cls->slot(key);
  if (auto p = std::any_cast<T>(&s)) return *p;
  return std::nullopt;
}

bool isNilOrEqual(const plat::Value& r, const std::string& n) {
  return r.isNil() || (r.isString() && *r.string() == n);
}

void setupNames(plat::Class* cls, NameList list, const HVNameListBlock& block) {
  if (!cls) return;
  if (block)
    cls->setSlot(kNameListSlots[list], block());
  else
    cls->setSlot(kNameListSlots[list], std::any());
  std::lock_guard lock(modelLock());
  for (auto& [c, cache] : caches().byClass) cache.totals[list].reset();
}

void clearPlans() {
  std::lock_guard lock(modelLock());
  for (auto& [c, cache] : caches().byClass) cache.plan.reset();
}

}  // namespace

namespace hv_model_detail {

std::shared_ptr<const Plan> planFor(plat::Class* cls) {
  {
    std::lock_guard lock(modelLock());
    auto it = caches().byClass.find(cls);
    if (it != caches().byClass.end() && it->second.plan) return it->second.plan;
  }
  // Built outside the lock: the key and element-class lookups run the class's hooks.
  auto plan = std::make_shared<Plan>();
  kv_enumerateClasses(cls, [&](plat::Class* c, bool&) {
    for (const plat::Property& declared : c->properties()) {
      HVProperty* p = HVProperty::cachedPropertyWithProperty(&declared);
      if (HVFoundation::isClassFromFoundation(declared.declaringClass())) continue;
      p->setSrcClass(c);
      p->setOriginKeyForClass(kv_propertyKey(cls, p->name()), cls);
      // Without a configured element class, a typed array property (a vector of model
      // pointers) takes the class its C++ type names.
      plat::Class* element = kv_propertyObjectClassInArray(cls, p->name());
      if (!element) element = declared.ensureElementClass();
      p->setObjectClassInArrayForClass(element, cls);
      plan->push_back(
          PlanEntry{p, p->propertyKeysForClass(cls), p->objectClassInArrayForClass(cls)});
    }
  });
  std::lock_guard lock(modelLock());
  auto& slot = caches().byClass[cls].plan;
  if (!slot) slot = std::move(plan);
  return slot;
}

std::shared_ptr<const Names> totalNames(plat::Class* cls, NameList list) {
  {
    std::lock_guard lock(modelLock());
    auto it = caches().byClass.find(cls);
    if (it != caches().byClass.end() && it->second.totals[list]) return it->second.totals[list];
  }
  auto names = std::make_shared<Names>();
  if (auto hook = hookOf<hv_hooks::NameListHook>(cls, kNameListHooks[list])) {
    for (auto& n : hook()) names->push_back(n);
  }
  kv_enumerateAllClasses(cls, [&](plat::Class* c, bool&) {
    if (auto stored = slotOf<Names>(c, kNameListSlots[list])) {
      names->insert(names->end(), stored->begin(), stored->end());
    }
  });
  std::lock_guard lock(modelLock());
  auto& slot = caches().byClass[cls].totals[list];
  if (!slot) slot = std::move(names);
  return slot;
}

std::shared_ptr<const ClassHooks> hooksFor(plat::Class* cls) {
  uint64_t generation;
  {
    std::lock_guard lock(modelLock());
    generation = caches().newValueGeneration;
    auto it = caches().byClass.find(cls);
    if (it != caches().byClass.end() && it->second.newValue &&
        it->second.newValueGeneration == generation) {
      return it->second.newValue;
    }
  }
  auto source = std::make_shared<ClassHooks>();
  source->didFinishToObject = hookOf<hv_hooks::NotifyHook>(cls, hv_hooks::kDidFinishToObject);
  source->didFinishToKeyValues = hookOf<hv_hooks::NotifyHook>(cls, hv_hooks::kDidFinishToKeyValues);
  source->instanceHook = hookOf<hv_hooks::NewValueHook>(cls, hv_hooks::kNewValue);
  source->classHook = hookOf<hv_hooks::ClassNewValueHook>(cls, hv_hooks::kClassNewValueOld);
  kv_enumerateAllClasses(cls, [&](plat::Class* c, bool& stop) {
    if (auto block = slotOf<HVNewValueBlock>(c, kSlotNewValueBlock)) {
      source->block = *block;
      stop = true;
    }
  });
  std::lock_guard lock(modelLock());
  auto& entry = caches().byClass[cls];
  entry.newValue = source;
  entry.newValueGeneration = generation;
  return source;
}

MappingTables mappingTablesFor(plat::Class* cls, NameList allowed, NameList ignored) {
  {
    std::lock_guard lock(modelLock());
    Caches& c = caches();
    auto it = c.byClass.find(cls);
    if (it != c.byClass.end()) {
      const ClassCache& e = it->second;
      if (e.totals[allowed] && e.totals[ignored] && e.plan && e.newValue &&
          e.newValueGeneration == c.newValueGeneration) {
        return {e.totals[allowed], e.totals[ignored], e.plan, e.newValue};
      }
    }
  }
  MappingTables t;
  t.allowed = totalNames(cls, allowed);
  t.ignored = totalNames(cls, ignored);
  t.plan = planFor(cls);
  t.hooks = hooksFor(cls);
  return t;
}

}  // namespace hv_model_detail

void kv_enumerateClasses(plat::Class* cls, const std::function<void(plat::Class*, bool&)>& block) {
  bool stop = false;
  for (plat::Class* c = cls; c && !stop; c = c->superclass()) {
    if (HVFoundation::isClassFromFoundation(c)) break;
    block(c, stop);
  }
}

void kv_enumerateAllClasses(plat::Class* cls,
                            const std::function<void(plat::Class*, bool&)>& block) {
  bool stop = false;
  for (plat::Class* c = cls; c && !stop; c = c->superclass()) block(c, stop);
}

void kv_setupAllowedPropertyNames(plat::Class* cls, const HVNameListBlock& block) {
  setupNames(cls, kAllowed, block);
}
void kv_setupIgnoredPropertyNames(plat::Class* cls, const HVNameListBlock& block) {
  setupNames(cls, kIgnored, block);
}
void kv_setupAllowedCodingPropertyNames(plat::Class* cls, const HVNameListBlock& block) {
  setupNames(cls, kAllowedCoding, block);
}
void kv_setupIgnoredCodingPropertyNames(plat::Class* cls, const HVNameListBlock& block) {
  setupNames(cls, kIgnoredCoding, block);
}

std::vector<std::string> kv_totalAllowedPropertyNames(plat::Class* cls) {
  return cls ? *totalNames(cls, kAllowed) : Names{};
}
std::vector<std::string> kv_totalIgnoredPropertyNames(plat::Class* cls) {
  return cls ? *totalNames(cls, kIgnored) : Names{};
}
std::vector<std::string> kv_totalAllowedCodingPropertyNames(plat::Class* cls) {
  return cls ? *totalNames(cls, kAllowedCoding) : Names{};
}
std::vector<std::string> kv_totalIgnoredCodingPropertyNames(plat::Class* cls) {
  return cls ? *totalNames(cls, kIgnoredCoding) : Names{};
}

std::vector<HVProperty*> kv_properties(plat::Class* cls) {
  std::vector<HVProperty*> r;
  if (!cls) return r;
  for (auto& e : *planFor(cls)) r.push_back(e.property);
  return r;
}

void kv_enumerateProperties(plat::Class* cls,
                            const std::function<void(HVProperty*, bool&)>& block) {
  bool stop = false;
  for (HVProperty* p : kv_properties(cls)) {
    block(p, stop);
    if (stop) break;
  }
}

void kv_setupReplacedKeyFromPropertyName(plat::Class* cls, const HVDictionaryBlock& block) {
  if (!cls) return;
  if (block)
    cls->setSlot(kSlotReplacedKeyTable, block());
  else
    cls->setSlot(kSlotReplacedKeyTable, std::any());
  clearPlans();
}

void kv_setupReplacedKeyFromPropertyName121(plat::Class* cls, HVReplacedKeyBlock block) {
  if (!cls) return;
  if (block)
    cls->setSlot(kSlotReplacedKeyBlock, std::move(block));
  else
    cls->setSlot(kSlotReplacedKeyBlock, std::any());
  clearPlans();
}

void kv_setupObjectClassInArray(plat::Class* cls, const HVDictionaryBlock& block) {
  if (!cls) return;
  if (block)
    cls->setSlot(kSlotObjectClassInArrayTable, block());
  else
    cls->setSlot(kSlotObjectClassInArrayTable, std::any());
  clearPlans();
}

void kv_setupNewValueFromOldValue(plat::Class* cls, HVNewValueBlock block) {
  if (!cls) return;
  if (block)
    cls->setSlot(kSlotNewValueBlock, std::move(block));
  else
    cls->setSlot(kSlotNewValueBlock, std::any());
  std::lock_guard lock(modelLock());
  ++caches().newValueGeneration;
}

plat::Value kv_propertyKey(plat::Class* cls, const std::string& name) {
  plat::Value r;
  if (!cls) return plat::Value(name);
  if (auto h = hookOf<hv_hooks::ReplacedKeyHook>(cls, hv_hooks::kReplacedKey121)) r = h(name);
  if (auto h = hookOf<hv_hooks::ReplacedKeyHook>(cls, hv_hooks::kReplacedKey121Old)) r = h(name);
  if (r.isNil()) {
    kv_enumerateAllClasses(cls, [&](plat::Class* c, bool& stop) {
      if (auto block = slotOf<HVReplacedKeyBlock>(c, kSlotReplacedKeyBlock)) {
        r = (*block)(name);
        if (!r.isNil()) stop = true;
      }
    });
  }
  if (isNilOrEqual(r, name)) {
    if (auto h = hookOf<hv_hooks::DictionaryHook>(cls, hv_hooks::kReplacedKey)) r = h().get(name);
  }
  if (isNilOrEqual(r, name)) {
    if (auto h = hookOf<hv_hooks::DictionaryHook>(cls, hv_hooks::kReplacedKeyOld))
      r = h().get(name);
  }
  if (isNilOrEqual(r, name)) {
    kv_enumerateAllClasses(cls, [&](plat::Class* c, bool& stop) {
      if (auto table = slotOf<plat::Dictionary>(c, kSlotReplacedKeyTable)) {
        r = table->get(name);
        if (!isNilOrEqual(r, name)) stop = true;
      }
    });
  }
  if (r.isNil()) r = plat::Value(name);
  return r;
}

plat::Class* kv_propertyObjectClassInArray(plat::Class* cls, const std::string& name) {
  if (!cls) return nullptr;
  plat::Value r;
  if (auto h = hookOf<hv_hooks::DictionaryHook>(cls, hv_hooks::kObjectClassInArray))
    r = h().get(name);
  if (auto h = hookOf<hv_hooks::DictionaryHook>(cls, hv_hooks::kObjectClassInArrayOld))
    r = h().get(name);
  if (r.isNil()) {
    kv_enumerateAllClasses(cls, [&](plat::Class* c, bool& stop) {
      if (auto table = slotOf<plat::Dictionary>(c, kSlotObjectClassInArrayTable)) {
        if (auto v = table->find(name)) {
          r = *v;
          stop = true;
        }
      }
    });
  }
  if (auto s = r.string()) return plat::Runtime::classNamed(*s);
  if (auto c = r.objectAs<plat::Class>()) return c.get();
  return nullptr;
}

plat::Value kv_getNewValueFromObject(plat::Class* cls, plat::Object& object,
                                     const plat::Value& oldValue, HVProperty* property) {
  if (auto* o = dynamic_cast<plat::NSObject*>(&object)) {
    if (auto h = hookOf<hv_hooks::NewValueHook>(o->classObject(), hv_hooks::kNewValue)) {
      return h(object, oldValue, property);
    }
  }
  if (!cls) return oldValue;
  if (auto h = hookOf<hv_hooks::ClassNewValueHook>(cls, hv_hooks::kClassNewValueOld)) {
    return h(oldValue, property);
  }
  plat::Value r = oldValue;
  kv_enumerateAllClasses(cls, [&](plat::Class* c, bool& stop) {
    if (auto block = slotOf<HVNewValueBlock>(c, kSlotNewValueBlock)) {
      r = (*block)(object, oldValue, property);
      stop = true;
    }
  });
  return r;
}
