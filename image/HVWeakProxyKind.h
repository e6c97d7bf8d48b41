#pragma once
// The questions about its target's kind that a weak proxy answers for it. Derived has
// target(), returning a shared pointer to the target or null once it is gone; a gone target
// answers false, as a message to nil would. Called on whatever thread the proxy is used on.

#include <typeinfo>

template <class Derived>
class HVWeakProxyKind {
 public:
  // Whether the target is a T (or derives from it).
  template <class T>
  bool isKindOfClass() const {
    return dynamic_cast<const T*>(self().target().get()) != nullptr;
  }
  // Whether the target is exactly a T.
  template <class T>
  bool isMemberOfClass() const {
    auto target = self().target();
    if (!target) return false;
    const auto& object = *target;
    return typeid(object) == typeid(T);
  }
  // Whether the target implements the abstract class P.
  template <class P>
  bool conformsToProtocol() const {
    return isKindOfClass<P>();
  }

 private:
  const Derived& self() const { return static_cast<const Derived&>(*this); }
};
