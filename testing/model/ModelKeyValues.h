#pragma once
// For checks that compare mapped models: a value with every model object in it (at any depth,
// also inside arrays and dictionaries) turned into its key values, so that two mappings can be
// compared by value.

#include "net/model/HVKeyValue.h"

namespace testing_model {

inline plat::Value keyValuesThroughout(const plat::Value& v) {
  if (auto a = v.array()) {
    plat::Array items;
    for (auto& item : *a) items.push_back(keyValuesThroughout(item));
    return plat::Value(std::move(items));
  }
  if (auto d = v.dictionary()) {
    plat::Dictionary entries;
    for (auto& [key, item] : *d) entries.set(key, keyValuesThroughout(item));
    return plat::Value(std::move(entries));
  }
  return v.isObject() ? keyValuesThroughout(kv_keyValues(v)) : v;
}

}  // namespace testing_model
