#pragma once
// How C++ member types become declared properties: their type code, a boxing getter and an
// unboxing key-value setter. Used through PLAT_PROPERTY (platform/runtime/NSObject.h).
//
//   member type                          code                 setter accepts
//   bool                                 "B"                  numbers, text (boolValue rules)
//   char, int8_t / int16_t / int32_t /   "c" "s" "i" "q"      numbers (saturating), numeric
//     int64_t, and the unsigned kinds    "C" "S" "I" "Q"      text (prefix parse, saturating)
//   float, double                        "f" "d"              numbers, numeric text
//   std::string                          "@\"NSString\""      text only
//   plat::Value                          "@"                  anything
//   plat::Array / plat::Dictionary       "@\"NSArray\"" ...   that container only
//   plat::Data / plat::NSDate            "@\"NSData\"" ...    that kind only
//   std::shared_ptr<plat::NSURL>         "@\"NSURL\""          a URL object only
//   std::shared_ptr<M> (M registered)    "@\"M\""             an object that is an M
//   std::vector<std::shared_ptr<M>>      "@\"NSArray\""       an array of M objects only
//   std::optional<T>                     as T                 as T (nullopt boxes to nil)
//
// An unsupported member type fails to compile.

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/foundation/NSURL.h"
#include "platform/runtime/Runtime.h"

namespace plat {

// A short name of a value's kind for failure reasons: "nil", "null", "number", "string",
// "data", "date", "array", "dictionary", or the class name of an object.
std::string valueKindName(const Value& value);

namespace runtime_detail {

template <class T>
T clampInt64(int64_t x) {
  using L = std::numeric_limits<T>;
  if constexpr (std::is_signed_v<T>) {
    if (x < static_cast<int64_t>(L::min())) return L::min();
    if (x > static_cast<int64_t>(L::max())) return L::max();
    return static_cast<T>(x);
  } else {
    if (x < 0) return 0;
    if (static_cast<uint64_t>(x) > static_cast<uint64_t>(L::max())) return L::max();
    return static_cast<T>(x);
  }
}

template <class T>
T clampUInt64(uint64_t x) {
  using L = std::numeric_limits<T>;
  if (x > static_cast<uint64_t>(L::max())) return L::max();
  return static_cast<T>(x);
}

template <class T>
T clampDouble(double d) {
  using L = std::numeric_limits<T>;
  if (std::isnan(d)) return 0;
  if (d <= static_cast<double>(L::min())) return L::min();
  if (d >= static_cast<double>(L::max())) return L::max();
  return static_cast<T>(d);
}

inline bool fail(std::string* why, const char* expected, const Value& v) {
  if (why) *why = std::string("expects ") + expected + ", got " + valueKindName(v);
  return false;
}

}  // namespace runtime_detail

template <class T, class = void>
struct PropertyTraits;  // no definition: the member type is not supported

template <>
struct PropertyTraits<bool> {
  static std::string code() { return "B"; }
  static Value box(bool b) { return Value(b); }
  static bool unbox(const Value& v, bool& out, std::string* why) {
    if (v.type() == Value::Type::Double) {
      out = v.doubleValue() != 0;
      return true;
    }
    if (v.isNumber() || v.isString()) {
      out = v.isString() ? v.boolValue() : v.longLongValue() != 0;
      return true;
    }
    return runtime_detail::fail(why, "a number", v);
  }
  static constexpr Property::ClassFn typeClass() { return nullptr; }
  static constexpr Property::ClassFn elementClass() { return nullptr; }
};

template <class T>
struct PropertyTraits<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static std::string code() {
    constexpr bool s = std::is_signed_v<T>;
    switch (sizeof(T)) {
      case 1:
        return s ? "c" : "C";
      case 2:
        return s ? "s" : "S";
      case 4:
        return s ? "i" : "I";
      default:
        return s ? "q" : "Q";
    }
  }
  static Value box(T x) {
    if constexpr (std::is_signed_v<T>)
      return Value(static_cast<long long>(x));
    else
      return Value(static_cast<unsigned long long>(x));
  }
  static bool unbox(const Value& v, T& out, std::string* why) {
    using namespace runtime_detail;
    switch (v.type()) {
      case Value::Type::Bool:
      case Value::Type::Int:
      case Value::Type::String:
        out = clampInt64<T>(v.longLongValue());
        return true;
      case Value::Type::UInt:
        out = clampUInt64<T>(v.unsignedIntegerValue());
        return true;
      case Value::Type::Double:
      case Value::Type::Decimal:
        out = clampDouble<T>(v.doubleValue());
        return true;
      default:
        return fail(why, "a number", v);
    }
  }
  static constexpr Property::ClassFn typeClass() { return nullptr; }
  static constexpr Property::ClassFn elementClass() { return nullptr; }
};

template <class T>
struct PropertyTraits<T, std::enable_if_t<std::is_floating_point_v<T>>> {
  static std::string code() { return sizeof(T) == sizeof(float) ? "f" : "d"; }
  static Value box(T x) { return Value(static_cast<double>(x)); }
  static bool unbox(const Value& v, T& out, std::string* why) {
    if (!v.isNumber() && !v.isString()) return runtime_detail::fail(why, "a number", v);
    double d = v.doubleValue();
    if constexpr (sizeof(T) < sizeof(double)) {
      constexpr double m = std::numeric_limits<T>::max();
      if (std::isfinite(d) && d > m) d = m;
      if (std::isfinite(d) && d < -m) d = -m;
    }
    out = static_cast<T>(d);
    return true;
  }
  static constexpr Property::ClassFn typeClass() { return nullptr; }
  static constexpr Property::ClassFn elementClass() { return nullptr; }
};

// Members holding one exact kind of value.
template <class T>
struct ExactPropertyTraits {
  static Value box(const T& x) { return Value(x); }
  static constexpr Property::ClassFn typeClass() { return nullptr; }
  static constexpr Property::ClassFn elementClass() { return nullptr; }
};

template <>
struct PropertyTraits<std::string> : ExactPropertyTraits<std::string> {
  static std::string code() { return "@\"NSString\""; }
  static bool unbox(const Value& v, std::string& out, std::string* why) {
    if (auto s = v.string()) return out = *s, true;
    return runtime_detail::fail(why, "a string", v);
  }
};

template <>
struct PropertyTraits<Value> : ExactPropertyTraits<Value> {
  static std::string code() { return "@"; }
  static bool unbox(const Value& v, Value& out, std::string*) { return out = v, true; }
};

template <>
struct PropertyTraits<Array> : ExactPropertyTraits<Array> {
  static std::string code() { return "@\"NSArray\""; }
  static bool unbox(const Value& v, Array& out, std::string* why) {
    if (auto a = v.array()) return out = *a, true;
    return runtime_detail::fail(why, "an array", v);
  }
};

template <>
struct PropertyTraits<Dictionary> : ExactPropertyTraits<Dictionary> {
  static std::string code() { return "@\"NSDictionary\""; }
  static bool unbox(const Value& v, Dictionary& out, std::string* why) {
    if (auto d = v.dictionary()) return out = *d, true;
    return runtime_detail::fail(why, "a dictionary", v);
  }
};

template <>
struct PropertyTraits<Data> : ExactPropertyTraits<Data> {
  static std::string code() { return "@\"NSData\""; }
  static bool unbox(const Value& v, Data& out, std::string* why) {
    if (auto d = v.data()) return out = *d, true;
    return runtime_detail::fail(why, "data", v);
  }
};

template <>
struct PropertyTraits<NSDate> : ExactPropertyTraits<NSDate> {
  static std::string code() { return "@\"NSDate\""; }
  static bool unbox(const Value& v, NSDate& out, std::string* why) {
    if (auto d = v.date()) return out = *d, true;
    return runtime_detail::fail(why, "a date", v);
  }
};

template <>
struct PropertyTraits<NSURLRef> {
  static std::string code() { return "@\"NSURL\""; }
  static Value box(const NSURLRef& x) { return Value(x); }
  static bool unbox(const Value& v, NSURLRef& out, std::string* why) {
    if (auto u = v.objectAs<NSURL>()) return out = std::move(u), true;
    return runtime_detail::fail(why, "a URL", v);
  }
  static constexpr Property::ClassFn typeClass() { return nullptr; }
  static constexpr Property::ClassFn elementClass() { return nullptr; }
};

// A registered class M (declared with PLAT_OBJECT, or plat::NSObject itself).
template <class M>
struct PropertyTraits<std::shared_ptr<M>, std::void_t<decltype(M::kPlatClassName)>> {
  static std::string code() { return std::string("@\"") + M::kPlatClassName + "\""; }
  static Value box(const std::shared_ptr<M>& x) { return Value(x); }
  static bool unbox(const Value& v, std::shared_ptr<M>& out, std::string* why) {
    if (auto m = v.objectAs<M>()) return out = std::move(m), true;
    return runtime_detail::fail(why, M::kPlatClassName, v);
  }
  static constexpr Property::ClassFn typeClass() { return &M::staticClass; }
  static constexpr Property::ClassFn elementClass() { return nullptr; }
};

template <class M>
struct PropertyTraits<std::vector<std::shared_ptr<M>>, std::void_t<decltype(M::kPlatClassName)>> {
  static std::string code() { return "@\"NSArray\""; }
  static Value box(const std::vector<std::shared_ptr<M>>& xs) {
    Array a;
    a.reserve(xs.size());
    for (auto& x : xs) a.push_back(x ? Value(x) : Value::null());
    return Value(std::move(a));
  }
  static bool unbox(const Value& v, std::vector<std::shared_ptr<M>>& out, std::string* why) {
    auto a = v.array();
    if (!a) return runtime_detail::fail(why, "an array", v);
    std::vector<std::shared_ptr<M>> r;
    r.reserve(a->size());
    for (auto& e : *a) {
      auto m = e.objectAs<M>();
      if (!m)
        return runtime_detail::fail(why, (std::string("an array of ") + M::kPlatClassName).c_str(),
                                    e);
      r.push_back(std::move(m));
    }
    out = std::move(r);
    return true;
  }
  static constexpr Property::ClassFn typeClass() { return nullptr; }
  static constexpr Property::ClassFn elementClass() { return &M::staticClass; }
};

template <class T>
struct PropertyTraits<std::optional<T>> {
  static std::string code() { return PropertyTraits<T>::code(); }
  static Value box(const std::optional<T>& x) { return x ? PropertyTraits<T>::box(*x) : Value(); }
  static bool unbox(const Value& v, std::optional<T>& out, std::string* why) {
    T t{};
    if (!PropertyTraits<T>::unbox(v, t, why)) return false;
    out = std::move(t);
    return true;
  }
  static constexpr Property::ClassFn typeClass() { return PropertyTraits<T>::typeClass(); }
  static constexpr Property::ClassFn elementClass() { return PropertyTraits<T>::elementClass(); }
};

template <class>
struct MemberPointerTraits;
template <class C, class M>
struct MemberPointerTraits<M C::*> {
  using Owner = C;
  using Member = M;
};

// The property for member pointer MP, named `name`, with the member type's code unless
// `code` is given.
template <auto MP>
Property propertyOf(const char* name, const char* code = nullptr) {
  using Owner = typename MemberPointerTraits<decltype(MP)>::Owner;
  using Tr = PropertyTraits<typename MemberPointerTraits<decltype(MP)>::Member>;
  Property::Getter get = [](const Object& o) -> Value {
    return Tr::box(static_cast<const Owner&>(o).*MP);
  };
  Property::Setter set = [](Object& o, const Value& v, std::string* why) -> bool {
    return Tr::unbox(v, static_cast<Owner&>(o).*MP, why);
  };
  return Property(name, code ? std::string(code) : Tr::code(), get, set, Tr::typeClass(),
                  Tr::elementClass());
}

// Registers class T under `name` with superclass Super and its own properties.
template <class T, class Super>
Class* registerClassOf(const char* name, std::vector<Property> properties,
                       void (*install)(Class*)) {
  static_assert(std::is_base_of_v<Super, T>, "Super must be a base of the class");
  Class::Factory factory = nullptr;
  if constexpr (std::is_default_constructible_v<T> && !std::is_abstract_v<T>) {
    factory = []() -> ObjectRef { return std::make_shared<T>(); };
  }
  return Runtime::registerClass(name, Super::staticClass(), factory, std::move(properties), install,
                                &typeid(T));
}

}  // namespace plat
