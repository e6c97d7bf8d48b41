#pragma once
// plat::format: the platform's string formatting (printf conversions plus "%@"), type-safe.
//
// Arguments are captured by type, never read through C varargs, so a mismatch between a
// conversion and its argument is converted, not undefined behaviour:
//   %d %i %u %o %x %X %c %C   integers (a Value argument converts with integerValue; a
//                             double truncates); length modifiers h and hh narrow as in C,
//                             l ll q z j t L are accepted and otherwise ignored: the value
//                             of the argument is printed in full.
//   %f %F %e %E %g %G %a %A   floating point (integers convert).
//   %s                        text: const char* ("(null)" for nullptr), std::string, or any
//                             other argument's "%@" form.
//   %@                        the "%@" text form (Value::description()).
//   %p                        a pointer as "0x..." ("0x0" for nullptr).
//   %%                        a percent sign.
// Flags (- + space # 0), width, precision, '*' and positional arguments ("%2$@") work as in
// printf. A conversion with no argument left prints as if given nil ("(null)" for %@ and %s,
// 0 for numbers). %n writes nothing and prints nothing. An unknown conversion is copied as is.
// Thread-safe (no shared state).

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/foundation/Value.h"

namespace plat {

// One captured argument of plat::format. Holds references to the caller's arguments, so it
// lives only for the duration of the call.
class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Double, CString, Text, Pointer, ValueRef, ObjectPtr, Owned };

  FormatArg(bool b) : kind_(Kind::Signed), bits_(8) { i_ = b ? 1 : 0; }
  FormatArg(char c) : kind_(Kind::Signed), bits_(8) { i_ = static_cast<signed char>(c); }
  FormatArg(signed char c) : kind_(Kind::Signed), bits_(8) { i_ = c; }
  FormatArg(unsigned char c) : kind_(Kind::Unsigned), bits_(8) { u_ = c; }
  FormatArg(char16_t c) : kind_(Kind::Unsigned), bits_(16) { u_ = c; }
  FormatArg(char32_t c) : kind_(Kind::Unsigned), bits_(32) { u_ = c; }
  FormatArg(short i) : kind_(Kind::Signed), bits_(16) { i_ = i; }
  FormatArg(unsigned short i) : kind_(Kind::Unsigned), bits_(16) { u_ = i; }
  FormatArg(int i) : kind_(Kind::Signed), bits_(32) { i_ = i; }
  FormatArg(unsigned i) : kind_(Kind::Unsigned), bits_(32) { u_ = i; }
  FormatArg(long i) : kind_(Kind::Signed), bits_(64) { i_ = i; }
  FormatArg(unsigned long i) : kind_(Kind::Unsigned), bits_(64) { u_ = i; }
  FormatArg(long long i) : kind_(Kind::Signed), bits_(64) { i_ = i; }
  FormatArg(unsigned long long i) : kind_(Kind::Unsigned), bits_(64) { u_ = i; }
  FormatArg(float d) : kind_(Kind::Double), bits_(32) { d_ = d; }
  FormatArg(double d) : kind_(Kind::Double) { d_ = d; }
  FormatArg(long double d) : kind_(Kind::Double) { d_ = static_cast<double>(d); }
  FormatArg(const char* s) : kind_(Kind::CString) { s_ = s; }
  FormatArg(char* s) : kind_(Kind::CString) { s_ = s; }
  FormatArg(const std::string& s) : kind_(Kind::Text) { sv_ = s; }
  FormatArg(std::string_view s) : kind_(Kind::Text) { sv_ = s; }
  FormatArg(std::nullptr_t) : kind_(Kind::Pointer) { p_ = nullptr; }
  FormatArg(const Value& v) : kind_(Kind::ValueRef) { v_ = &v; }
  template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
  FormatArg(const std::shared_ptr<T>& o) : kind_(Kind::ObjectPtr) {
    o_ = o.get();
  }
  template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
  FormatArg(const T& o) : kind_(Kind::ObjectPtr) {
    o_ = &o;
  }
  // A raw object pointer prints its description with %@ ("(null)" for nullptr) and its
  // address with %p.
  template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
  FormatArg(T* o) : kind_(Kind::ObjectPtr) {
    o_ = o;
  }
  // Raw pointers other than char pointers print with %p (and as "0x..." for %@).
  template <class T, std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char> &&
                                          !std::is_base_of_v<Object, T>,
                                      int> = 0>
  FormatArg(T* p) : kind_(Kind::Pointer) {
    p_ = static_cast<const void*>(p);
  }
  // Anything else a Value can be made of (Data, NSDate, Array, Dictionary, ...).
  template <class T, std::enable_if_t<!std::is_pointer_v<std::decay_t<T>> &&
                                          !std::is_arithmetic_v<std::decay_t<T>> &&
                                          !std::is_base_of_v<Object, std::decay_t<T>> &&
                                          std::is_constructible_v<Value, const T&>,
                                      int> = 0>
  FormatArg(const T& v) : kind_(Kind::Owned), owned_(v) {}

  Kind kind() const { return kind_; }
  int bits() const { return bits_; }
  int64_t signedValue() const { return i_; }
  uint64_t unsignedValue() const { return u_; }
  double doubleValue() const { return d_; }
  const char* cString() const { return s_; }
  std::string_view text() const { return sv_; }
  const void* pointer() const { return p_; }
  const Value& value() const { return kind_ == Kind::Owned ? owned_ : *v_; }
  const Object* object() const { return o_; }

 private:
  Kind kind_;
  int bits_ = 64;
  union {
    int64_t i_;
    uint64_t u_;
    double d_;
    const char* s_;
    const void* p_;
    const Value* v_;
    const Object* o_;
  };
  std::string_view sv_;
  Value owned_;
};

// Formats `args` by `fmt`. See the top of this header for the conversions.
std::string formatArgs(std::string_view fmt, const FormatArg* args, size_t count);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return formatArgs(fmt, nullptr, 0);
  } else {
    const FormatArg captured[] = {FormatArg(args)...};
    return formatArgs(fmt, captured, sizeof...(Args));
  }
}

// The platform's stringWithFormat: under its own name.
template <class... Args>
std::string stringWithFormat(std::string_view fmt, const Args&... args) {
  return format(fmt, args...);
}

}  // namespace plat
