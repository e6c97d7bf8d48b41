#pragma once
// HVFoundation: the platform classes at which model reflection stops: URL, date, value
// (covering numbers), data, error, array, dictionary, string and attributed string.
// Thread-safe.

#include <vector>

#include "platform/runtime/Runtime.h"

class HVFoundation {
 public:
  // The stop set, built once on first use.
  static const std::vector<plat::Class*>& foundationClasses();
  // YES for the root class and for a member of the stop set or a subclass of one (the
  // mutable kinds). NO for every other class and for null.
  static bool isClassFromFoundation(const plat::Class* cls);
};
