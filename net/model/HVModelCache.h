#pragma once
// Internal to net/model: the per-class slots and the cached reflection results the mapper
// reads on its hot path. Everything here is guarded by hv_model_detail::modelLock().

#include <memory>
#include <string>
#include <vector>

#include "net/model/HVKeyValue.h"

namespace hv_model_detail {

// Per-class slot keys in the class registry (not inherited).
inline constexpr const char* kSlotReplacedKeyTable = "HVReplacedKeyTable";
inline constexpr const char* kSlotReplacedKeyBlock = "HVReplacedKeyBlock";
inline constexpr const char* kSlotObjectClassInArrayTable = "HVObjectClassInArrayTable";
inline constexpr const char* kSlotNewValueBlock = "HVNewValueBlock";
inline constexpr const char* kSlotReferenceReplacedKey = "HVReferenceReplacedKey";
inline constexpr const char* kSlotError = "HVError";

enum NameList { kAllowed = 0, kIgnored = 1, kAllowedCoding = 2, kIgnoredCoding = 3 };

// One property of a class's list, with what it has for that class.
struct PlanEntry {
  HVProperty* property;
  std::vector<HVKeyPath> keys;  // key paths for the class
  plat::Class* elementClass;    // array element class for the class, or null
};
using Plan = std::vector<PlanEntry>;
using Names = std::vector<std::string>;

std::shared_ptr<const Plan> planFor(plat::Class* cls);
std::shared_ptr<const Names> totalNames(plat::Class* cls, NameList list);

// The hooks and blocks the mapper calls for each object of a class, resolved once: where new
// values come from (as kv_getNewValueFromObject), and the two completion notices.
struct ClassHooks {
  hv_hooks::NewValueHook instanceHook = nullptr;
  hv_hooks::ClassNewValueHook classHook = nullptr;
  HVNewValueBlock block;
  hv_hooks::NotifyHook didFinishToObject = nullptr;
  hv_hooks::NotifyHook didFinishToKeyValues = nullptr;
  bool hasNewValue() const { return instanceHook || classHook || block; }
};
std::shared_ptr<const ClassHooks> hooksFor(plat::Class* cls);

// What mapping one object of a class needs, in one look at the caches when all of it is
// cached (else as totalNames, totalNames, planFor and hooksFor in that order).
struct MappingTables {
  std::shared_ptr<const Names> allowed;
  std::shared_ptr<const Names> ignored;
  std::shared_ptr<const Plan> plan;
  std::shared_ptr<const ClassHooks> hooks;
};
MappingTables mappingTablesFor(plat::Class* cls, NameList allowed, NameList ignored);

inline bool contains(const Names& names, const std::string& n) {
  for (auto& x : names) {
    if (x == n) return true;
  }
  return false;
}

}  // namespace hv_model_detail
