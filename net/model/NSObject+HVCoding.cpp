#include "net/model/HVModelCache.h"
#include "net/model/NSObject+HVCoding.h"

using namespace hv_model_detail;

namespace {

plat::Class* classOf(const plat::Object& o) {
  if (auto n = dynamic_cast<const plat::NSObject*>(&o)) return n->classObject();
  return nullptr;
}

template <class F>
void forEachCodingProperty(plat::Class* cls, F&& f) {
  if (!cls) return;
  auto allowed = totalNames(cls, kAllowedCoding);
  auto ignored = totalNames(cls, kIgnoredCoding);
  for (const PlanEntry& e : *planFor(cls)) {
    const std::string& name = e.property->name();
    if (!allowed->empty() && !contains(*allowed, name)) continue;
    if (contains(*ignored, name)) continue;
    f(e.property);
  }
}

}  // namespace

void kv_encode(const plat::Object& object, plat::NSKeyedArchiver& coder) {
  forEachCodingProperty(classOf(object), [&](HVProperty* p) {
    plat::Value v = p->valueForObject(object);
    if (!v.isNil()) coder.encodeObjectForKey(v, p->name());
  });
}

void kv_decode(plat::Object& object, plat::NSKeyedUnarchiver& coder) {
  plat::Class* cls = classOf(object);
  forEachCodingProperty(cls, [&](HVProperty* p) {
    plat::Value v = coder.decodeObjectForKey(p->name());
    if (v.isNil()) v = coder.decodeObjectForKey("_" + p->name());
    if (v.isNil()) return;
    std::string reason;
    if (!p->setValueForObject(v, object, &reason))
      setKv_error(cls, plat::NSError::make(reason, 250, plat::Dictionary{}));
  });
}
