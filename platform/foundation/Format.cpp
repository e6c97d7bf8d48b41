#include "platform/foundation/Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/foundation/NumberText.h"
#include "platform/foundation/UTF16.h"

namespace plat {

namespace {

// Widths and precisions beyond this are clamped, so that a hostile format cannot make us
// allocate gigabytes.
constexpr int kMaxWidth = 100000;

struct Conversion {
  std::string flags;
  int width = -1;
  int precision = -1;
  std::string length;  // "", "h", "hh", "l", "ll", ...
  char conv = 0;
  bool leftAlign() const { return flags.find('-') != std::string::npos; }
};

const FormatArg* argAt(const FormatArg* args, size_t count, size_t index) {
  return index < count ? &args[index] : nullptr;
}

template <class T>
T saturateDouble(double d) {
  if (std::isnan(d)) return 0;
  if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(d);
}

// An integer taken from any argument: its value, whether it is signed and its width in bits.
struct IntArg {
  bool isSigned = true;
  int bits = 64;
  int64_t s = 0;
  uint64_t u = 0;
};

IntArg intFromValue(const Value& v) {
  IntArg r;
  if (v.type() == Value::Type::UInt) {
    r.isSigned = false;
    r.u = v.unsignedIntegerValue();
  } else {
    r.s = v.longLongValue();
  }
  return r;
}

IntArg intFrom(const FormatArg* a) {
  IntArg r;
  if (!a) return r;
  switch (a->kind()) {
    case FormatArg::Kind::Signed:
      r.s = a->signedValue();
      r.bits = a->bits();
      break;
    case FormatArg::Kind::Unsigned:
      r.isSigned = false;
      r.u = a->unsignedValue();
      r.bits = a->bits();
      break;
    case FormatArg::Kind::Double:
      r.s = saturateDouble<int64_t>(a->doubleValue());
      break;
    case FormatArg::Kind::CString:
      r.s = a->cString() ? Value(a->cString()).longLongValue() : 0;
      break;
    case FormatArg::Kind::Text:
      r.s = Value(a->text()).longLongValue();
      break;
    case FormatArg::Kind::Pointer:
      r.isSigned = false;
      r.u = reinterpret_cast<uintptr_t>(a->pointer());
      break;
    case FormatArg::Kind::ObjectPtr:
      r.isSigned = false;
      r.u = reinterpret_cast<uintptr_t>(a->object());
      break;
    case FormatArg::Kind::ValueRef:
    case FormatArg::Kind::Owned:
      r = intFromValue(a->value());
      break;
  }
  return r;
}

double doubleFrom(const FormatArg* a) {
  if (!a) return 0;
  switch (a->kind()) {
    case FormatArg::Kind::Signed: return static_cast<double>(a->signedValue());
    case FormatArg::Kind::Unsigned: return static_cast<double>(a->unsignedValue());
    case FormatArg::Kind::Double: return a->doubleValue();
    case FormatArg::Kind::CString: return a->cString() ? Value(a->cString()).doubleValue() : 0;
    case FormatArg::Kind::Text: return Value(a->text()).doubleValue();
    case FormatArg::Kind::ValueRef:
    case FormatArg::Kind::Owned: return a->value().doubleValue();
    default: return 0;
  }
}

std::string pointerText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

// The "%@" text of an argument.
std::string objectText(const FormatArg* a) {
  if (!a) return "(null)";
  switch (a->kind()) {
    case FormatArg::Kind::Signed: return std::to_string(a->signedValue());
    case FormatArg::Kind::Unsigned: return std::to_string(a->unsignedValue());
    case FormatArg::Kind::Double:
      if (a->bits() == 32) return Value(static_cast<float>(a->doubleValue())).description();
      return numtext::shortestDouble(a->doubleValue());
    case FormatArg::Kind::CString: return a->cString() ? a->cString() : "(null)";
    case FormatArg::Kind::Text: return std::string(a->text());
    case FormatArg::Kind::Pointer: return a->pointer() ? pointerText(a->pointer()) : "(null)";
    case FormatArg::Kind::ObjectPtr: return a->object() ? a->object()->description() : "(null)";
    case FormatArg::Kind::ValueRef:
    case FormatArg::Kind::Owned: return a->value().description();
  }
  return "(null)";
}

size_t codePointCount(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// The first `n` code points of s.
std::string_view codePointPrefix(std::string_view s, size_t n) {
  size_t i = 0;
  while (i < s.size()) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == 0) break;
      --n;
    }
    ++i;
  }
  return s.substr(0, i);
}

void appendPadded(std::string& out, std::string_view text, const Conversion& cv) {
  if (cv.precision >= 0) text = codePointPrefix(text, static_cast<size_t>(cv.precision));
  size_t len = codePointCount(text);
  size_t pad = cv.width > 0 && static_cast<size_t>(cv.width) > len
                   ? static_cast<size_t>(cv.width) - len
                   : 0;
  if (!cv.leftAlign()) out.append(pad, ' ');
  out.append(text);
  if (cv.leftAlign()) out.append(pad, ' ');
}

std::string cFormatFor(const Conversion& cv, std::string_view length, char conv) {
  std::string s = "%" + cv.flags;
  if (cv.width >= 0) s += std::to_string(cv.width);
  if (cv.precision >= 0) {
    s += '.';
    s += std::to_string(cv.precision);
  }
  s += length;
  s += conv;
  return s;
}

template <class T>
void appendPrintf(std::string& out, const std::string& fmt, T value) {
  char buf[128];
  int n = std::snprintf(buf, sizeof buf, fmt.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), fmt.c_str(), value);
  big.resize(static_cast<size_t>(n));
  out += big;
}

// Digits of `u` in base 8, 10 or 16 (upper-case letters when asked), with a minus sign.
void appendDigits(std::string& out, uint64_t u, bool negative, unsigned base, bool upper) {
  char buf[24];
  char* end = buf + sizeof buf;
  char* p = end;
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    *--p = digits[u % base];
    u /= base;
  } while (u != 0);
  if (negative) *--p = '-';
  out.append(p, static_cast<size_t>(end - p));
}

void appendInteger(std::string& out, const Conversion& cv, const FormatArg* a) {
  IntArg v = intFrom(a);
  bool narrowed = cv.length.find('h') != std::string::npos;
  if (cv.flags.empty() && cv.width < 0 && cv.precision < 0 && !narrowed) {
    // The plain conversions ("%d", "%u", "%x"...) need no printf: the same digits directly.
    bool signedConv = cv.conv == 'd' || cv.conv == 'i';
    unsigned base = cv.conv == 'o' ? 8 : (cv.conv == 'x' || cv.conv == 'X') ? 16 : 10;
    if (signedConv && v.isSigned) {
      bool negative = v.s < 0;
      uint64_t magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(v.s)
                                    : static_cast<uint64_t>(v.s);
      appendDigits(out, magnitude, negative, 10, false);
      return;
    }
    uint64_t u = v.u;
    if (!signedConv && v.isSigned) {
      // A negative argument shows its two's complement at its own width, as C does.
      u = static_cast<uint64_t>(v.s);
      if (v.bits < 64) u &= (uint64_t{1} << v.bits) - 1;
    }
    appendDigits(out, u, false, signedConv ? 10 : base, cv.conv == 'X');
    return;
  }
  int narrow = cv.length == "hh" ? 8 : cv.length == "h" ? 16 : 0;
  bool signedConv = cv.conv == 'd' || cv.conv == 'i';
  if (narrow) {
    uint64_t raw = v.isSigned ? static_cast<uint64_t>(v.s) : v.u;
    uint64_t mask = (uint64_t{1} << narrow) - 1;
    raw &= mask;
    v.bits = narrow;
    if (signedConv) {
      v.isSigned = true;
      v.s = (raw & (uint64_t{1} << (narrow - 1))) ? static_cast<int64_t>(raw | ~mask)
                                                  : static_cast<int64_t>(raw);
    } else {
      v.isSigned = false;
      v.u = raw;
    }
  }
  if (signedConv) {
    if (v.isSigned) {
      appendPrintf(out, cFormatFor(cv, "ll", 'd'), static_cast<long long>(v.s));
    } else {
      // An unsigned argument keeps its value: no reinterpretation as negative.
      appendPrintf(out, cFormatFor(cv, "ll", 'u'), static_cast<unsigned long long>(v.u));
    }
    return;
  }
  uint64_t u = v.u;
  if (v.isSigned) {
    // A negative argument shows its two's complement at its own width, as C does.
    u = static_cast<uint64_t>(v.s);
    if (v.bits < 64) u &= (uint64_t{1} << v.bits) - 1;
  }
  appendPrintf(out, cFormatFor(cv, "ll", cv.conv), static_cast<unsigned long long>(u));
}

void appendDouble(std::string& out, const Conversion& cv, const FormatArg* a) {
  appendPrintf(out, cFormatFor(cv, "", cv.conv), doubleFrom(a));
}

void appendChar(std::string& out, const Conversion& cv, const FormatArg* a) {
  IntArg v = intFrom(a);
  uint64_t cp = v.isSigned ? static_cast<uint64_t>(v.s) : v.u;
  if (cv.conv == 'c' && v.isSigned && v.s < 0) cp = static_cast<uint8_t>(v.s);
  std::string ch;
  if (cp != 0) appendUTF8(ch, cp > 0x10FFFF ? 0xFFFD : static_cast<uint32_t>(cp));
  Conversion s = cv;
  s.precision = -1;
  appendPadded(out, ch, s);
}

// Parses a decimal number at fmt[i]; -1 when there is none.
int parseNumber(std::string_view fmt, size_t& i) {
  if (i >= fmt.size() || fmt[i] < '0' || fmt[i] > '9') return -1;
  long n = 0;
  while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
    n = std::min<long>(n * 10 + (fmt[i] - '0'), 1L << 30);
    ++i;
  }
  return static_cast<int>(n);
}

}  // namespace

std::string formatArgs(std::string_view fmt, const FormatArg* args, size_t count) {
  std::string out;
  out.reserve(fmt.size() + 16 * count);
  size_t next = 0;  // the next sequential argument
  size_t i = 0;
  while (i < fmt.size()) {
    size_t pct = fmt.find('%', i);
    if (pct == std::string_view::npos) {
      out.append(fmt.substr(i));
      break;
    }
    out.append(fmt.substr(i, pct - i));
    size_t p = pct + 1;
    if (p < fmt.size() && fmt[p] == '%') {
      out += '%';
      i = p + 1;
      continue;
    }
    Conversion cv;
    // Positional argument "n$".
    long position = -1;
    {
      size_t q = p;
      int n = parseNumber(fmt, q);
      if (n > 0 && q < fmt.size() && fmt[q] == '$') {
        position = n - 1;
        p = q + 1;
      }
    }
    while (p < fmt.size() && std::string_view("-+ #0'").find(fmt[p]) != std::string_view::npos) {
      if (fmt[p] != '\'') cv.flags += fmt[p];
      ++p;
    }
    // Width: digits, "*" or "*n$".
    auto starArg = [&](size_t& q) -> int {
      size_t r = q;
      int n = parseNumber(fmt, r);
      const FormatArg* a;
      if (n > 0 && r < fmt.size() && fmt[r] == '$') {
        a = argAt(args, count, static_cast<size_t>(n - 1));
        q = r + 1;
      } else {
        a = argAt(args, count, next++);
      }
      IntArg v = intFrom(a);
      int64_t x = v.isSigned ? v.s : static_cast<int64_t>(std::min<uint64_t>(v.u, INT32_MAX));
      return static_cast<int>(std::clamp<int64_t>(x, -kMaxWidth, kMaxWidth));
    };
    if (p < fmt.size() && fmt[p] == '*') {
      ++p;
      int w = starArg(p);
      if (w < 0) {
        cv.flags += '-';
        w = -w;
      }
      cv.width = w;
    } else {
      cv.width = parseNumber(fmt, p);
    }
    if (p < fmt.size() && fmt[p] == '.') {
      ++p;
      if (p < fmt.size() && fmt[p] == '*') {
        ++p;
        int pr = starArg(p);
        cv.precision = pr < 0 ? -1 : pr;
      } else {
        int pr = parseNumber(fmt, p);
        cv.precision = pr < 0 ? 0 : pr;
      }
    }
    cv.width = std::min(cv.width, kMaxWidth);
    cv.precision = std::min(cv.precision, kMaxWidth);
    while (p < fmt.size() && std::string_view("hlqLzjt").find(fmt[p]) != std::string_view::npos)
      cv.length += fmt[p++];
    if (p >= fmt.size()) {
      out.append(fmt.substr(pct));  // an incomplete conversion at the end is kept as is
      break;
    }
    cv.conv = fmt[p];
    i = p + 1;
    auto takeArg = [&]() -> const FormatArg* {
      if (position >= 0) return argAt(args, count, static_cast<size_t>(position));
      return argAt(args, count, next++);
    };
    switch (cv.conv) {
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'D': case 'U': case 'O':
        if (cv.conv == 'D') cv.conv = 'd';
        if (cv.conv == 'U') cv.conv = 'u';
        if (cv.conv == 'O') cv.conv = 'o';
        appendInteger(out, cv, takeArg());
        break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        appendDouble(out, cv, takeArg());
        break;
      case 'c': case 'C':
        appendChar(out, cv, takeArg());
        break;
      case 's': case 'S': case '@':
        appendPadded(out, objectText(takeArg()), cv);
        break;
      case 'p': {
        const FormatArg* a = takeArg();
        const void* ptr = nullptr;
        if (a) {
          if (a->kind() == FormatArg::Kind::Pointer) ptr = a->pointer();
          else if (a->kind() == FormatArg::Kind::CString) ptr = a->cString();
          else if (a->kind() == FormatArg::Kind::ObjectPtr) ptr = a->object();
          else if (a->kind() == FormatArg::Kind::ValueRef || a->kind() == FormatArg::Kind::Owned)
            ptr = a->value().object().get();
          else {
            IntArg v = intFrom(a);
            uint64_t bits = v.isSigned ? static_cast<uint64_t>(v.s) : v.u;
            ptr = reinterpret_cast<const void*>(static_cast<uintptr_t>(bits));
          }
        }
        Conversion s = cv;
        s.precision = -1;
        appendPadded(out, pointerText(ptr), s);
        break;
      }
      case '%':
        out += '%';  // "%5%" and the like print a percent sign
        break;
      case 'n':
        takeArg();  // consumes its argument, writes nothing
        break;
      default:
        out.append(fmt.substr(pct, i - pct));  // unknown: copied as is
        break;
    }
  }
  return out;
}

}  // namespace plat
