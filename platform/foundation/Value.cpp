#include "platform/foundation/Value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace plat {

namespace {
template <class T>
std::shared_ptr<T>* cowGet(std::shared_ptr<T>* p) {
  if (!p) return nullptr;
  if (!*p) *p = std::make_shared<T>();
  else if (p->use_count() > 1) *p = std::make_shared<T>(**p);
  return p;
}
}  // namespace

Value::Value(float f) {
  if (!std::isfinite(f)) {
    v_ = static_cast<double>(f);
    return;
  }
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, f);
  double d = static_cast<double>(f);
  std::from_chars(buf, res.ptr, d);
  v_ = d;
}

Value::Value(const char* s) {
  if (s) v_ = std::string(s);
}
Value Value::decimalNumber(std::string digits) {
  const size_t start = !digits.empty() && digits[0] == '-' ? 1 : 0;
  if (digits.size() == start || (digits[start] == '0' && digits.size() > start + 1)) return {};
  for (size_t i = start; i < digits.size(); ++i) {
    if (digits[i] < '0' || digits[i] > '9') return {};
  }
  Value v;
  v.v_ = DecimalDigits{std::move(digits)};
  return v;
}

Value::Value(plat::Array a) : v_(std::make_shared<plat::Array>(std::move(a))) {}
Value::Value(plat::Dictionary d) : v_(std::make_shared<plat::Dictionary>(std::move(d))) {}
Value::Value(ObjectRef o) {
  if (o) v_ = std::move(o);
}

const plat::Array* Value::array() const {
  auto p = std::get_if<std::shared_ptr<plat::Array>>(&v_);
  return p ? p->get() : nullptr;
}
const plat::Dictionary* Value::dictionary() const {
  auto p = std::get_if<std::shared_ptr<plat::Dictionary>>(&v_);
  return p ? p->get() : nullptr;
}
plat::Array* Value::mutableArray() {
  auto p = cowGet(std::get_if<std::shared_ptr<plat::Array>>(&v_));
  return p ? p->get() : nullptr;
}
plat::Dictionary* Value::mutableDictionary() {
  auto p = cowGet(std::get_if<std::shared_ptr<plat::Dictionary>>(&v_));
  return p ? p->get() : nullptr;
}
ObjectRef Value::object() const {
  auto p = std::get_if<ObjectRef>(&v_);
  return p ? *p : nullptr;
}
const std::string& Value::stringOr(const std::string& fallback) const {
  auto s = string();
  return s ? *s : fallback;
}

const Value& Value::nilValue() {
  static const Value* nil = new Value();
  return *nil;
}
const std::string& Value::emptyString() {
  static const std::string* empty = new std::string();
  return *empty;
}

const Value& Value::operator[](std::string_view key) const {
  auto d = dictionary();
  return d ? d->get(key) : nilValue();
}
const Value& Value::operator[](size_t index) const {
  auto a = array();
  return (a && index < a->size()) ? (*a)[index] : nilValue();
}
size_t Value::count() const {
  if (auto a = array()) return a->size();
  if (auto d = dictionary()) return d->size();
  return 0;
}

bool Value::isIdenticalTo(const Value& other) const {
  auto a = object();
  return a && a == other.object();
}

bool Value::operator==(const Value& other) const {
  if (isNumber() && other.isNumber()) {
    auto t1 = type(), t2 = other.type();
    if (t1 == Type::Decimal || t2 == Type::Decimal) {
      // A decimal number lies beyond every 64-bit integer; it equals another decimal number
      // of the same digits, or a double of exactly its value.
      const Value& dec = t1 == Type::Decimal ? *this : other;
      const Value& rest = t1 == Type::Decimal ? other : *this;
      const std::string& digits = std::get<DecimalDigits>(dec.v_).digits;
      if (rest.type() == Type::Decimal) return digits == std::get<DecimalDigits>(rest.v_).digits;
      if (rest.type() != Type::Double) return false;
      const double d = std::get<double>(rest.v_);
      if (!std::isfinite(d) || d != std::floor(d)) return false;
      char exact[400];
      std::snprintf(exact, sizeof exact, "%.0f", d);
      return digits == exact;
    }
    if (t1 == Type::Double && t2 == Type::Double) return doubleValue() == other.doubleValue();
    if (t1 == Type::Double || t2 == Type::Double) {
      // A double equals an integer only when it is that exact integer (no rounding of
      // large integers to the nearest double).
      const Value& dv = t1 == Type::Double ? *this : other;
      const Value& iv = t1 == Type::Double ? other : *this;
      double d = std::get<double>(dv.v_);
      if (d != std::floor(d) || std::isnan(d)) return false;
      if (iv.type() == Type::UInt) {
        return d >= 0 && d < 18446744073709551616.0 &&
               static_cast<uint64_t>(d) == std::get<uint64_t>(iv.v_);
      }
      return d >= -9223372036854775808.0 && d < 9223372036854775808.0 &&
             static_cast<int64_t>(d) == iv.longLongValue();
    }
    bool neg1 = (t1 == Type::Int) && std::get<int64_t>(v_) < 0;
    bool neg2 = (t2 == Type::Int) && std::get<int64_t>(other.v_) < 0;
    if (neg1 != neg2) return false;
    if (neg1) return integerValue() == other.integerValue();
    return unsignedIntegerValue() == other.unsignedIntegerValue();
  }
  if (type() != other.type()) return false;
  switch (type()) {
    case Type::Nil:
    case Type::Null:
      return true;
    case Type::String:
      return *string() == *other.string();
    case Type::Data:
      return *data() == *other.data();
    case Type::Date:
      return *date() == *other.date();
    case Type::Array:
      return *array() == *other.array();
    case Type::Dictionary:
      return *dictionary() == *other.dictionary();
    case Type::Object: {
      auto a = object(), b = other.object();
      return a == b || a->isEqual(*b);
    }
    default:
      return false;
  }
}

// Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (auto& e : entries) set(e.first, e.second);
}

const Value* Dictionary::find(std::string_view key) const {
  return const_cast<Dictionary*>(this)->find(key);
}

Value* Dictionary::find(std::string_view key) {
  if (!index_.empty()) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  for (auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

const Value& Dictionary::get(std::string_view key) const {
  auto v = find(key);
  return v ? *v : Value::nilValue();
}

void Dictionary::set(std::string key, Value value) {
  if (value.isNil()) {
    remove(key);
    return;
  }
  if (auto v = find(key)) {
    *v = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  if (!index_.empty()) {
    index_.emplace(entries_.back().first, entries_.size() - 1);
  } else if (entries_.size() > kIndexThreshold) {
    reindex();
  }
}

bool Dictionary::remove(std::string_view key) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.first == key; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  reindex();
  return true;
}

void Dictionary::clear() {
  entries_.clear();
  index_.clear();
}

void Dictionary::reindex() {
  index_.clear();
  if (entries_.size() <= kIndexThreshold) return;
  index_.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (auto& e : entries_) out.push_back(e.first);
  return out;
}

std::vector<Value> Dictionary::values() const {
  std::vector<Value> out;
  out.reserve(entries_.size());
  for (auto& e : entries_) out.push_back(e.second);
  return out;
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  for (auto& e : entries_) {
    auto v = other.find(e.first);
    if (!v || !(*v == e.second)) return false;
  }
  return true;
}

}  // namespace plat
