#include "net/model/HVFoundation.h"

const std::vector<plat::Class*>& HVFoundation::foundationClasses() {
  static const std::vector<plat::Class*>* set = [] {
    auto* v = new std::vector<plat::Class*>;
    for (const char* n : {"NSURL", "NSDate", "NSValue", "NSData", "NSError", "NSArray",
                          "NSDictionary", "NSString", "NSAttributedString"}) {
      if (plat::Class* c = plat::Runtime::classNamed(n)) v->push_back(c);
    }
    return v;
  }();
  return *set;
}

bool HVFoundation::isClassFromFoundation(const plat::Class* cls) {
  if (!cls) return false;
  if (cls == plat::Runtime::rootClass()) return true;
  for (plat::Class* f : foundationClasses()) {
    if (cls->isSubclassOfClass(f)) return true;
  }
  return false;
}
