#include "net/model/HVPropertyKey.h"

HVPropertyKey::HVPropertyKey(Type type, std::string name) : type_(type), name_(std::move(name)) {
  if (type_ == HVPropertyKeyTypeArray) index_ = plat::Value(name_).intValue();
}

const plat::Value& HVPropertyKey::valueInObject(const plat::Value& object) const {
  if (type_ == HVPropertyKeyTypeDictionary) {
    if (auto d = object.dictionary()) return d->get(name_);
  } else if (auto a = object.array()) {
    if (index_ >= 0 && static_cast<size_t>(index_) < a->size())
      return (*a)[static_cast<size_t>(index_)];
  }
  return plat::Value::nilValue();
}
