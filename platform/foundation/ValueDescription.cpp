// Text forms of plat::Value: the "%@" form and the platform's multi-line description of
// arrays and dictionaries.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/foundation/NumberText.h"
#include "platform/foundation/UTF16.h"
#include "platform/foundation/Value.h"

namespace plat {

namespace numtext {

std::string shortestDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  // The shortest round-trip digits, laid out as "%.17g" lays out numbers: positional for
  // decimal exponents -4 ... 16, scientific otherwise.
  char sci[64];
  auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  int digits = 0;
  char* p = sci;
  for (; p < res.ptr && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') ++digits;
  int exponent = 0;
  if (p < res.ptr) {
    const char* e = p + 1;
    if (e < res.ptr && *e == '+') ++e;  // from_chars takes '-' but not '+'
    std::from_chars(e, res.ptr, exponent);
  }
  digits = std::max(digits, 1);
  char buf[64];
  if (exponent >= -4 && exponent < 17) {
    std::snprintf(buf, sizeof buf, "%.*f", std::max(0, digits - 1 - exponent), d);
  } else {
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, d);
  }
  return buf;
}

}  // namespace numtext

namespace {

std::string indentText(int level) { return std::string(static_cast<size_t>(level) * 4, ' '); }

bool isPlainChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A text as it appears inside an array or dictionary description: bare when it is made of
// ASCII letters and digits only; otherwise quoted, with quotes, backslashes and control
// characters escaped and non-ASCII characters written as \Uxxxx UTF-16 units.
std::string quotedIfNeeded(const std::string& s) {
  if (!s.empty() && std::all_of(s.begin(), s.end(), isPlainChar)) return s;
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\U%04x", c);
            out += buf;
          } else {
            out += static_cast<char>(c);
          }
      }
      continue;
    }
    uint32_t cp = decodeUTF8(s, i);
    auto unit = [&](uint32_t u) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\U%04x", u);
      out += buf;
    };
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  out += '"';
  return out;
}

}  // namespace

std::string Value::description() const {
  switch (type()) {
    case Type::Nil: return "(null)";
    case Type::Null: return "<null>";
    case Type::Bool: return std::get<bool>(v_) ? "1" : "0";
    case Type::Int: return std::to_string(std::get<int64_t>(v_));
    case Type::UInt: return std::to_string(std::get<uint64_t>(v_));
    case Type::Double: return numtext::shortestDouble(std::get<double>(v_));
    case Type::String: return std::get<std::string>(v_);
    case Type::Data: return data()->description();
    case Type::Date: return date()->description();
    case Type::Array:
    case Type::Dictionary: return descriptionInContainer(0);
    case Type::Object: return object()->description();
    case Type::Decimal:
      return std::get<DecimalDigits>(v_).digits;
  }
  return std::string();
}

std::string Value::descriptionInContainer(int indent) const {
  // Every item that is not itself a container shows its text form under the quoting rule:
  // "<null>", "-1", "2.5", dates and object descriptions come out quoted, 42 and abc bare.
  if (type() == Type::String) return quotedIfNeeded(std::get<std::string>(v_));
  if (auto a = array()) {
    std::string out = indentText(indent) + "(\n";
    for (size_t i = 0; i < a->size(); ++i) {
      out += indentText(indent + 1);
      out += (*a)[i].descriptionInContainer(indent + 1);
      out += i + 1 < a->size() ? ",\n" : "\n";
    }
    out += indentText(indent) + ")";
    return out;
  }
  if (auto d = dictionary()) {
    // Entries are listed in ascending key order, as the platform does for string keys.
    std::vector<const Dictionary::Entry*> entries;
    entries.reserve(d->size());
    for (auto& e : *d) entries.push_back(&e);
    std::sort(entries.begin(), entries.end(),
              [](const Dictionary::Entry* x, const Dictionary::Entry* y) { return x->first < y->first; });
    std::string out = indentText(indent) + "{\n";
    for (auto* e : entries) {
      out += indentText(indent + 1);
      out += quotedIfNeeded(e->first);
      out += " = ";
      out += e->second.descriptionInContainer(indent + 1);
      out += ";\n";
    }
    out += indentText(indent) + "}";
    return out;
  }
  return quotedIfNeeded(description());
}

std::string Data::description() const {
  static const char* hex = "0123456789abcdef";
  constexpr size_t kEdge = 24;  // bytes shown at each end of long data
  auto appendHex = [&](std::string& out, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      out += hex[bytes_[i] >> 4];
      out += hex[bytes_[i] & 0xF];
    }
  };
  std::string out = "{length = " + std::to_string(length_) + ", bytes = 0x";
  if (length_ <= 2 * kEdge) {
    appendHex(out, 0, length_);
  } else {
    appendHex(out, 0, kEdge);
    out += " ... ";
    appendHex(out, length_ - kEdge, length_);
  }
  out += "}";
  return out;
}

}  // namespace plat
