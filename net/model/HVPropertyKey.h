#pragma once
// HVPropertyKey: one step of a dictionary key path: a dictionary key (type 0) or an array
// index (type 1, `name` holding the index in decimal). Immutable values; thread-safe.

#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"

class HVPropertyKey {
 public:
  enum Type : int32_t { HVPropertyKeyTypeDictionary = 0, HVPropertyKeyTypeArray = 1 };

  HVPropertyKey(Type type, std::string name);

  Type type() const { return type_; }
  const std::string& name() const { return name_; }
  // For index steps: the 32-bit integer value of the name ("x" gives 0, "-1" gives -1).
  int32_t index() const { return index_; }

  // A key step into a dictionary gives the value under the name; an index step into an array
  // gives the element when the index is below the count. Every other case (and a negative
  // index) gives nil. The result refers into `object`.
  const plat::Value& valueInObject(const plat::Value& object) const;

  bool operator==(const HVPropertyKey& o) const { return type_ == o.type_ && name_ == o.name_; }

 private:
  Type type_;
  std::string name_;
  int32_t index_ = 0;
};

using HVKeyPath = std::vector<HVPropertyKey>;
