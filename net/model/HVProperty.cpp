#include "net/model/HVProperty.h"

#include <memory>

#include "net/model/HVModelLock.h"

namespace hv_model_detail {
std::mutex& modelLock() {
  static std::mutex* mu = new std::mutex;
  return *mu;
}
}  // namespace hv_model_detail

using hv_model_detail::modelLock;

HVProperty::HVProperty(const plat::Property* property) : property_(property) {
  // Registers the class an object property names, so that its code resolves to a class.
  property->ensureTypeClass();
  property->ensureElementClass();
  type_ = HVPropertyType::cachedTypeWithCode(property->typeCode());
}

HVProperty* HVProperty::cachedPropertyWithProperty(const plat::Property* property) {
  if (!property) return nullptr;
  static auto* cache = new std::unordered_map<const plat::Property*, std::unique_ptr<HVProperty>>;
  {
    std::lock_guard lock(modelLock());
    auto it = cache->find(property);
    if (it != cache->end()) return it->second.get();
  }
  // Made outside the lock: making it may register classes.
  std::unique_ptr<HVProperty> made(new HVProperty(property));
  std::lock_guard lock(modelLock());
  auto [it, inserted] = cache->emplace(property, std::move(made));
  return it->second.get();
}

plat::Class* HVProperty::srcClass() const {
  std::lock_guard lock(modelLock());
  return srcClass_;
}

void HVProperty::setSrcClass(plat::Class* cls) {
  std::lock_guard lock(modelLock());
  srcClass_ = cls;
}

plat::Value HVProperty::valueForObject(const plat::Object& object) const {
  if (type_->isKVCDisabled()) return plat::Value::null();
  return property_->getValue(object);
}

bool HVProperty::setValueForObject(const plat::Value& value, plat::Object& object,
                                   std::string* reason) const {
  if (value.isNil() || type_->isKVCDisabled()) return true;
  return property_->setValue(object, value, reason);
}

HVKeyPath HVProperty::propertyKeysWithStringKey(std::string_view key) {
  HVKeyPath steps;
  if (key.empty()) return steps;
  size_t start = 0;
  while (start <= key.size()) {
    size_t dot = key.find('.', start);
    if (dot == std::string_view::npos) dot = key.size();
    std::string part(key.substr(start, dot - start));
    start = dot + 1;
    size_t p = part.find('[');
    if (p == std::string::npos) {
      steps.emplace_back(HVPropertyKey::HVPropertyKeyTypeDictionary, part);
      continue;
    }
    std::string rest = part;
    if (p > 0) {
      std::string head = part.substr(0, p);
      steps.emplace_back(HVPropertyKey::HVPropertyKeyTypeDictionary, head);
      // Every occurrence of the head is removed from the part.
      std::string stripped;
      for (size_t i = 0; i < rest.size();) {
        if (rest.compare(i, head.size(), head) == 0) {
          i += head.size();
        } else {
          stripped += rest[i++];
        }
      }
      rest = stripped;
    } else {
      // A part that begins with "[" contributes no step.
      continue;
    }
    std::string noOpen;
    for (char c : rest) {
      if (c != '[') noOpen += c;
    }
    // Each piece before a "]" is an index; the text after the last "]" is dropped.
    size_t from = 0;
    for (size_t close = noOpen.find(']'); close != std::string::npos;
         close = noOpen.find(']', from)) {
      steps.emplace_back(HVPropertyKey::HVPropertyKeyTypeArray, noOpen.substr(from, close - from));
      from = close + 1;
    }
  }
  return steps;
}

void HVProperty::setOriginKeyForClass(const plat::Value& originKey, plat::Class* cls) {
  std::vector<HVKeyPath> paths;
  if (auto s = originKey.string()) {
    auto steps = propertyKeysWithStringKey(*s);
    if (!steps.empty()) paths.push_back(std::move(steps));
  } else if (auto a = originKey.array()) {
    for (auto& k : *a) {
      if (!k.isString()) continue;
      auto steps = propertyKeysWithStringKey(*k.string());
      if (!steps.empty()) paths.push_back(std::move(steps));
    }
  }
  setPorpertyKeysForClass(std::move(paths), cls);
}

void HVProperty::setPorpertyKeysForClass(std::vector<HVKeyPath> keys, plat::Class* cls) {
  if (keys.empty() || !cls) return;
  std::lock_guard lock(modelLock());
  propertyKeysDict_[cls->name()] = std::move(keys);
}

std::vector<HVKeyPath> HVProperty::propertyKeysForClass(plat::Class* cls) const {
  if (!cls) return {};
  std::lock_guard lock(modelLock());
  auto it = propertyKeysDict_.find(cls->name());
  return it == propertyKeysDict_.end() ? std::vector<HVKeyPath>{} : it->second;
}

void HVProperty::setObjectClassInArrayForClass(plat::Class* elementClass, plat::Class* cls) {
  if (!elementClass || !cls) return;
  std::lock_guard lock(modelLock());
  objectClassInArrayDict_[cls->name()] = elementClass;
}

plat::Class* HVProperty::objectClassInArrayForClass(plat::Class* cls) const {
  if (!cls) return nullptr;
  std::lock_guard lock(modelLock());
  auto it = objectClassInArrayDict_.find(cls->name());
  return it == objectClassInArrayDict_.end() ? nullptr : it->second;
}
