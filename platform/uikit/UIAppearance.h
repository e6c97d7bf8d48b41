#pragma once
// Appearance proxies reduced to what the system reads: colours set for a class when contained
// in a container class ("appearanceWhenContainedInInstancesOfClasses"), by property name.
// Main thread only.

#include <string>

#include "platform/uikit/UIColor.h"

namespace plat {

class UIAppearance {
 public:
  // The colour set for (class, container, property), or nil.
  static UIColorRef colorFor(const std::string& className, const std::string& containerClass,
                             const std::string& property);
  // Sets (nil clears) the colour for (class, container, property).
  static void setColorFor(const std::string& className, const std::string& containerClass,
                          const std::string& property, UIColorRef color);
  static void resetForTesting();
};

}  // namespace plat
