#pragma once
// plat::Value: the platform's object values in one type: nil, the null object (<null>),
// booleans, signed and unsigned 64-bit integers, doubles, decimal numbers (integers beyond
// 64 bits, kept by their digits), strings (UTF-8), data, dates, arrays, insertion-ordered
// dictionaries with string keys, and handles to objects with identity (plat::Object).
//
// Values have value semantics. Arrays and dictionaries are shared copy-on-write, so copying
// a Value is cheap. Not synchronized: a Value may be read from many threads at once, but
// not written while others read it.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSDate.h"
#include "platform/foundation/Object.h"

namespace plat {

class Value;
class Dictionary;
using Array = std::vector<Value>;

class Value {
 public:
  enum class Type {
    Nil,
    Null,
    Bool,
    Int,
    UInt,
    Double,
    String,
    Data,
    Date,
    Array,
    Dictionary,
    Object,
    Decimal
  };
  struct NullTag {
    bool operator==(const NullTag&) const = default;
  };

  Value() = default;  // nil
  static Value null() { return Value(NullTag{}); }
  Value(NullTag) : v_(NullTag{}) {}
  Value(std::nullptr_t) {}  // nil
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<int64_t>(i)) {}
  Value(long i) : v_(static_cast<int64_t>(i)) {}
  Value(long long i) : v_(static_cast<int64_t>(i)) {}
  Value(unsigned i) : v_(static_cast<int64_t>(i)) {}
  Value(unsigned long i) : v_(static_cast<uint64_t>(i)) {}
  Value(unsigned long long i) : v_(static_cast<uint64_t>(i)) {}
  Value(double d) : v_(d) {}
  // A float is kept as the double nearest to its shortest decimal form, so that 0.1f shows
  // and serializes as "0.1", as the platform's float numbers do (floatValue() gives f back).
  Value(float f);
  Value(const char* s);  // nullptr gives nil
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(plat::Data d) : v_(std::move(d)) {}
  Value(NSDate d) : v_(d) {}
  Value(plat::Array a);
  Value(plat::Dictionary d);
  Value(ObjectRef o);  // a null pointer gives nil
  template <class T, class = std::enable_if_t<std::is_base_of_v<plat::Object, T>>>
  Value(std::shared_ptr<T> o) : Value(std::static_pointer_cast<plat::Object>(std::move(o))) {}
  // A decimal number (the platform's NSDecimalNumber) holding an integer too large for 64
  // bits, as JSON reading gives one: its text keeps every digit, and its coercions go through
  // the nearest double (integers saturate). Nil unless `digits` is an optional "-" and decimal
  // digits without a leading zero.
  static Value decimalNumber(std::string digits);

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNil() const { return type() == Type::Nil; }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  // Booleans, integers, doubles and decimal numbers are all numbers (the platform's NSNumber).
  bool isNumber() const {
    auto t = type();
    return t == Type::Bool || t == Type::Int || t == Type::UInt || t == Type::Double ||
           t == Type::Decimal;
  }
  bool isInteger() const { return type() == Type::Int || type() == Type::UInt; }
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isObject() const { return type() == Type::Object; }
  explicit operator bool() const { return !isNil(); }

  // Exact accessors: nullptr when the value is of another kind.
  const std::string* string() const { return std::get_if<std::string>(&v_); }
  const plat::Data* data() const { return std::get_if<plat::Data>(&v_); }
  const NSDate* date() const { return std::get_if<NSDate>(&v_); }
  const plat::Array* array() const;
  const plat::Dictionary* dictionary() const;
  // Mutable access; copies a shared container first (copy-on-write). nullptr for other kinds.
  plat::Array* mutableArray();
  plat::Dictionary* mutableDictionary();
  // The object handle, or null when this is not an object.
  ObjectRef object() const;
  template <class T>
  std::shared_ptr<T> objectAs() const {
    return std::dynamic_pointer_cast<T>(object());
  }
  // The string, or "" for other kinds (no conversion).
  const std::string& stringOr(const std::string& fallback = emptyString()) const;

  // Number coercions with the platform's rules: numbers convert (saturating, doubles
  // truncate toward zero), numeric text is parsed as the platform parses it (leading white
  // space and sign skipped, prefix parse, saturation), everything else gives 0 / NO.
  int32_t intValue() const;
  int64_t integerValue() const;
  int64_t longLongValue() const;
  uint64_t unsignedIntegerValue() const;
  float floatValue() const;
  double doubleValue() const;
  // Text: YES on Y, y, T, t or a digit 1-9 after skipping white space, sign and zeros.
  bool boolValue() const;

  // The text form used by "%@": nil "(null)", null "<null>", booleans "1"/"0", integers in
  // decimal, doubles in shortest round-trip form without ".0", strings as is, arrays and
  // dictionaries in the platform's multi-line description form, objects by description().
  std::string description() const;
  // The form a value takes nested inside an array or dictionary description at nesting level
  // `indent` (4 spaces a level). Containers are laid out over several lines ("(\n    1,\n
  // ...)" and "{\n    key = value;\n}" with keys in ascending order); every other item shows
  // its text form, quoted unless it is made of ASCII letters and digits only, with quotes,
  // backslashes and control characters escaped and non-ASCII text as \Uxxxx UTF-16 units.
  std::string descriptionInContainer(int indent) const;

  // Container conveniences: nil when this is not the right container or the item is missing.
  const Value& operator[](std::string_view key) const;
  const Value& operator[](size_t index) const;
  const Value& operator[](int index) const { return (*this)[static_cast<size_t>(index)]; }
  const Value& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  // Element count of an array or dictionary; 0 otherwise.
  size_t count() const;

  // isEqual: semantics: numbers compare by value (YES equals 1), strings, data, dates and
  // containers by content, objects by Object::isEqual (identity by default).
  bool operator==(const Value& other) const;
  // Identity of object handles (same pointer). False for non-objects.
  bool isIdenticalTo(const Value& other) const;

  static const Value& nilValue();
  static const std::string& emptyString();

 private:
  // The digits of a decimal number.
  struct DecimalDigits {
    std::string digits;
  };
  std::variant<std::monostate, NullTag, bool, int64_t, uint64_t, double, std::string, plat::Data,
               NSDate, std::shared_ptr<plat::Array>, std::shared_ptr<plat::Dictionary>, ObjectRef,
               DecimalDigits>
      v_;
};

// An insertion-ordered dictionary with string keys. Setting an existing key replaces the
// value in place; removal keeps the order of the rest. Lookup is by hash once large.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;
  using iterator = std::vector<Entry>::iterator;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);

  size_t size() const { return entries_.size(); }
  size_t count() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // The value for key, or nil.
  const Value& get(std::string_view key) const;
  const Value& operator[](std::string_view key) const { return get(key); }
  // Sets key to value. Setting nil removes the key (as the platform's setValue:forKey:).
  void set(std::string key, Value value);
  bool remove(std::string_view key);
  void clear();
  std::vector<std::string> keys() const;
  std::vector<Value> values() const;

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }

  bool operator==(const Dictionary& other) const;  // same keys and equal values, any order

 private:
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  void reindex();
  std::vector<Entry> entries_;
  // Key -> position, kept only once the dictionary is larger than kIndexThreshold.
  std::unordered_map<std::string, size_t, KeyHash, std::equal_to<>> index_;
  static constexpr size_t kIndexThreshold = 12;
};

}  // namespace plat
