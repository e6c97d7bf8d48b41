// Number and boolean coercions of plat::Value with the platform's rules.
#include <locale.h>
#include <stdlib.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/foundation/Value.h"

namespace plat {

namespace {

template <class T>
T saturate(double d) {
  if (std::isnan(d)) return 0;
  if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(d);
}

// Prefix-parses a decimal integer the way the platform's text scanner does: leading white
// space, an optional sign, digits; saturates on overflow. Stops at the first non-digit.
int64_t parseInteger(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  uint64_t acc = 0;
  bool overflow = false;
  for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
    unsigned d = static_cast<unsigned>(s[i] - '0');
    if (acc > (UINT64_MAX - d) / 10) {
      overflow = true;
      break;
    }
    acc = acc * 10 + d;
  }
  if (neg) {
    if (overflow || acc > static_cast<uint64_t>(INT64_MAX) + 1) return INT64_MIN;
    return acc == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(acc);
  }
  if (overflow || acc > static_cast<uint64_t>(INT64_MAX)) return INT64_MAX;
  return static_cast<int64_t>(acc);
}

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Prefix-parses a decimal floating-point number as the platform's text scanner does: leading
// white space, a sign, digits with an optional point and fraction, an optional exponent.
// Hexadecimal, "inf" and "nan" are not numbers here (they read as 0). Overflow gives
// +-infinity.
double parseDouble(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  size_t start = i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && isDigit(s[j])) {
      while (j < s.size() && isDigit(s[j])) ++j;
      i = j;
    }
  }
  // strtod in the C locale, so that the decimal point is always '.'.
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  std::string prefix = s.substr(start, i - start);
  return strtod_l(prefix.c_str(), nullptr, cLocale);
}

}  // namespace

int64_t Value::longLongValue() const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Type::Int: return std::get<int64_t>(v_);
    case Type::UInt: return static_cast<int64_t>(std::get<uint64_t>(v_));
    case Type::Double: return saturate<int64_t>(std::get<double>(v_));
    case Type::Decimal:
      return saturate<int64_t>(doubleValue());
    case Type::String: return parseInteger(std::get<std::string>(v_));
    default: return 0;
  }
}

int64_t Value::integerValue() const { return longLongValue(); }

int32_t Value::intValue() const {
  if (type() == Type::Double || type() == Type::Decimal) return saturate<int32_t>(doubleValue());
  if (type() == Type::String) {
    int64_t v = parseInteger(std::get<std::string>(v_));
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
  }
  // Numbers truncate to the low 32 bits, as a C conversion of the stored value.
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(longLongValue())));
}

uint64_t Value::unsignedIntegerValue() const {
  switch (type()) {
    case Type::UInt: return std::get<uint64_t>(v_);
    case Type::Double:
    case Type::Decimal: {
      double d = doubleValue();
      if (d < 0) return static_cast<uint64_t>(saturate<int64_t>(d));
      return saturate<uint64_t>(d);
    }
    default: return static_cast<uint64_t>(longLongValue());
  }
}

double Value::doubleValue() const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Type::Int: return static_cast<double>(std::get<int64_t>(v_));
    case Type::UInt: return static_cast<double>(std::get<uint64_t>(v_));
    case Type::Double: return std::get<double>(v_);
    case Type::Decimal:
      return std::strtod(std::get<DecimalDigits>(v_).digits.c_str(), nullptr);
    case Type::String: return parseDouble(std::get<std::string>(v_));
    default: return 0.0;
  }
}

float Value::floatValue() const { return static_cast<float>(doubleValue()); }

bool Value::boolValue() const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(v_);
    case Type::Int: return std::get<int64_t>(v_) != 0;
    case Type::UInt: return std::get<uint64_t>(v_) != 0;
    case Type::Double: return std::get<double>(v_) != 0.0;
    case Type::Decimal:
      return true;  // never 0: it lies beyond the 64-bit integers
    case Type::String: {
      const std::string& s = std::get<std::string>(v_);
      size_t i = 0;
      while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
      while (i < s.size() && s[i] == '0') ++i;
      if (i >= s.size()) return false;
      char c = s[i];
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default: return false;
  }
}

}  // namespace plat
