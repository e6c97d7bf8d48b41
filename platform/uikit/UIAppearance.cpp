#include "platform/uikit/UIAppearance.h"

#include <map>
#include <tuple>

namespace plat {

namespace {
using Key = std::tuple<std::string, std::string, std::string>;
std::map<Key, UIColor>& table() {
  static auto* t = new std::map<Key, UIColor>;
  return *t;
}
}  // namespace

UIColorRef UIAppearance::colorFor(const std::string& className, const std::string& containerClass,
                                  const std::string& property) {
  auto it = table().find({className, containerClass, property});
  if (it == table().end()) return std::nullopt;
  return it->second;
}

void UIAppearance::setColorFor(const std::string& className, const std::string& containerClass,
                               const std::string& property, UIColorRef color) {
  Key k{className, containerClass, property};
  if (color) table()[k] = *color;
  else table().erase(k);
}

void UIAppearance::resetForTesting() { table().clear(); }

}  // namespace plat
