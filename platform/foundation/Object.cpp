#include "platform/foundation/Object.h"

#include <cstdio>

namespace plat {

std::string Object::description() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(this));
  std::string out = "<";
  out += className();
  out += ": ";
  out += buf;
  out += '>';
  return out;
}

}  // namespace plat
