#include "platform/foundation/PlistSupport.h"

#include <expat.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

#include "platform/foundation/CalendarMath.h"
#include "platform/foundation/NumberText.h"
#include "platform/foundation/UTF16.h"

namespace plat::plist_support {

namespace {

using Format = NSPropertyListSerialization::NSPropertyListFormat;
using Int128 = __int128;
using UInt128 = unsigned __int128;
constexpr int kMaxDepth = NSPropertyListSerialization::kMaxDepth;
constexpr uint64_t kMaxNodes = NSPropertyListSerialization::kMaxNodes;
static_assert(kMaxNodes <= UINT32_MAX, "the binary reader counts values in 32 bits");
constexpr const char* kUIDKey = "CF$UID";
// Seconds from 1970 of 0000-01-01T00:00:00Z and of 10000-01-01T00:00:00Z (proleptic
// Gregorian): the dates a property list holds. That is every date python's plistlib reads and
// writes (years 1 to 9999), and the distant past (0000-12-30 in that calendar).
constexpr int64_t kFirstSecond = -62167219200;
constexpr int64_t kEndSecond = 253402300800;

size_t skipBomAndSpace(const Data& data) {
  const uint8_t* p = data.bytes();
  size_t n = data.length(), i = 0;
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
  while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n')) ++i;
  return i;
}

bool isBinary(const Data& data) {
  return data.length() >= 8 && std::memcmp(data.bytes(), "bplist0", 7) == 0;
}

uint64_t readBE(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

std::string int128Text(Int128 v) {
  UInt128 u = v < 0 ? -static_cast<UInt128>(v) : static_cast<UInt128>(v);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  } while (u);
  return v < 0 ? "-" + digits : digits;
}

// An integer as the narrowest Value: Int, UInt above INT64_MAX, else a decimal number.
Value integerValue(Int128 v) {
  if (v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max())
    return Value(static_cast<long long>(v));
  if (v > 0 && v <= std::numeric_limits<uint64_t>::max())
    return Value(static_cast<unsigned long long>(v));
  return Value::decimalNumber(int128Text(v));
}

// The 128-bit value of an integer Value (decimal digits included); false beyond 128 bits.
bool int128Of(const Value& v, Int128* out) {
  switch (v.type()) {
    case Value::Type::Int:
      *out = v.longLongValue();
      return true;
    case Value::Type::UInt:
      *out = v.unsignedIntegerValue();
      return true;
    case Value::Type::Decimal: {
      const std::string digits = v.description();
      const bool negative = digits[0] == '-';
      // Magnitudes up to 2^127 (the most negative value) are gathered unsigned.
      const UInt128 limit = static_cast<UInt128>(1) << 127;
      UInt128 u = 0;
      for (size_t i = negative ? 1 : 0; i < digits.size(); ++i) {
        const unsigned d = static_cast<unsigned>(digits[i] - '0');
        if (u > (limit - d) / 10) return false;
        u = u * 10 + d;
      }
      if (!negative && u == limit) return false;
      *out = negative ? static_cast<Int128>(-u) : static_cast<Int128>(u);
      return true;
    }
    default:
      return false;
  }
}

// Dates: a binary date is a double of seconds since 2001, read to the microsecond.
bool dateFromReferenceSeconds(double seconds, NSDate* out) {
  if (!std::isfinite(seconds)) return false;
  const double whole = std::floor(seconds);
  const double s1970 = whole + static_cast<double>(NSDate::kReferenceDateOffset);
  if (s1970 < static_cast<double>(kFirstSecond) || s1970 >= static_cast<double>(kEndSecond))
    return false;
  int64_t sec = static_cast<int64_t>(s1970);
  int64_t micros = std::llround((seconds - whole) * 1e6);
  if (micros >= 1000000) {
    ++sec;
    micros -= 1000000;
  }
  *out = NSDate::fromSeconds1970(sec, micros * 1000);
  return true;
}

bool dateInRange(const NSDate& d) {
  return d.seconds1970() >= kFirstSecond && d.seconds1970() < kEndSecond;
}

// The double a binary list stores for d, or false when d lies outside years 0 to 9999. Near
// year 10000 a double steps by about 30 microseconds, so the last instants of 9999 would round
// up to 10000-01-01, which no reader takes: they are stored as the last step before it.
bool binaryDateSeconds(const NSDate& d, double* out) {
  if (!dateInRange(d)) return false;
  double seconds = d.timeIntervalSinceReferenceDate();
  NSDate back;
  if (!dateFromReferenceSeconds(seconds, &back))
    seconds = std::nextafter(static_cast<double>(kEndSecond - NSDate::kReferenceDateOffset), 0.0);
  *out = seconds;
  return true;
}

// "YYYY-MM-DDTHH:MM:SSZ"; REQUIRES: dateInRange(d).
std::string isoDate(const NSDate& d) {
  const int64_t s = d.seconds1970();
  const int64_t days = (s >= 0 ? s : s - 86399) / 86400;
  const int64_t rest = s - days * 86400;
  const calendar::CivilDate c = calendar::gregorianCivilFromDays(days);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02lld:%02lld:%02lldZ",
                static_cast<long long>(c.year), c.month, c.day, static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return buf;
}

// Reads "YYYY[-MM[-DD[THH[:MM[:SS]]]]]Z" (the forms python's plistlib reads).
bool parseIsoDate(std::string_view t, NSDate* out) {
  int fields[6] = {0, 1, 1, 0, 0, 0};
  const char separators[6] = {0, '-', '-', 'T', ':', ':'};
  const int widths[6] = {4, 2, 2, 2, 2, 2};
  size_t i = 0;
  int count = 0;
  for (; count < 6; ++count) {
    if (count > 0) {
      if (i >= t.size() || t[i] != separators[count]) break;
      ++i;
    }
    if (i + widths[count] > t.size()) return false;
    int v = 0;
    for (int k = 0; k < widths[count]; ++k, ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      v = v * 10 + (t[i] - '0');
    }
    fields[count] = v;
  }
  if (count == 0 || i + 1 != t.size() || t[i] != 'Z') return false;
  const int year = fields[0], month = fields[1], day = fields[2];
  if (month < 1 || month > 12 || day < 1 || day > calendar::gregorianDaysInMonth(year, month) ||
      fields[3] > 23 || fields[4] > 59 || fields[5] > 59)
    return false;
  const int64_t days = calendar::gregorianDaysFromCivil(year, month, day);
  *out = NSDate::fromSeconds1970(days * 86400 + fields[3] * 3600 + fields[4] * 60 + fields[5]);
  return true;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const Data& data) {
  const uint8_t* p = data.bytes();
  const size_t n = data.length();
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t v = (uint32_t{p[i]} << 16) | (i + 1 < n ? uint32_t{p[i + 1]} << 8 : 0) |
                       (i + 2 < n ? p[i + 2] : 0);
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < n ? kBase64[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kBase64[v & 63] : '=';
  }
  return out;
}

// Base64 with white space anywhere and optional padding; false on any other character.
bool base64Decode(std::string_view text, Data* out) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  bool padded = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    const char* at = c ? std::strchr(kBase64, c) : nullptr;
    if (!at || padded) return false;
    acc = (acc << 6) | static_cast<uint32_t>(at - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  *out = Data(std::move(bytes));
  return true;
}

// Whether the character can stand in an XML 1.0 document (as itself or a reference).
bool isXMLChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// ---- The binary form ----

// A binary property list: its trailer, the checks of its object graph, and the reading of its
// objects into Values.
class BinaryReader {
 public:
  explicit BinaryReader(const Data& data) : p_(data.bytes()), n_(data.length()) {}

  // Checks the trailer and offsets, refuses cycles, more than kMaxDepth nested containers and
  // shared references that would expand to more than kMaxNodes values or too many bytes of
  // text and data (each is read as a copy).
  bool check(std::string* why) {
    if (n_ < 8 + 32) return *why = "truncated binary property list", false;
    const uint8_t* t = p_ + n_ - 32;
    offSize_ = t[6];
    refSize_ = t[7];
    count_ = readBE(t + 8, 8);
    top_ = readBE(t + 16, 8);
    table_ = readBE(t + 24, 8);
    const uint64_t trailerStart = n_ - 32;
    if (offSize_ < 1 || offSize_ > 8 || refSize_ < 1 || refSize_ > 8 || count_ == 0 ||
        top_ >= count_ || table_ < 8 || table_ >= trailerStart ||
        count_ > (trailerStart - table_) / offSize_)
      return *why = "corrupt binary property list trailer", false;
    return graphOK(why);
  }

  // The top object. REQUIRES: check() succeeded.
  Value read(std::string* why) { return object(top_, why); }

 private:
  struct Header {
    uint8_t kind;    // the marker's high nibble
    uint8_t low;     // its low nibble
    uint64_t count;  // for lengths: the element count
    uint64_t pos;    // where the object's content starts
  };

  bool offsetOf(uint64_t index, uint64_t* out) const {
    const uint64_t off = readBE(p_ + table_ + index * offSize_, offSize_);
    if (off < 8 || off >= table_) return false;
    *out = off;
    return true;
  }

  static bool hasCount(uint8_t kind) {
    return kind == 0x4 || kind == 0x5 || kind == 0x6 || kind == 0x7 || kind == 0xA || kind == 0xC ||
           kind == 0xD;
  }

  // The marker and (for kinds with a length) the element count of object `index`.
  bool header(uint64_t index, Header* h) const {
    uint64_t off;
    if (!offsetOf(index, &off)) return false;
    const uint8_t marker = p_[off];
    *h = Header{static_cast<uint8_t>(marker >> 4), static_cast<uint8_t>(marker & 0x0F),
                static_cast<uint64_t>(marker & 0x0F), off + 1};
    if (!hasCount(h->kind) || h->count != 0x0F) return true;
    if (h->pos >= table_) return false;
    const uint8_t im = p_[h->pos];
    if ((im >> 4) != 0x1 || (im & 0x0F) > 3) return false;
    const size_t w = size_t{1} << (im & 0x0F);
    if (h->pos + 1 + w > table_) return false;
    h->count = readBE(p_ + h->pos + 1, w);
    h->pos += 1 + w;
    return true;
  }

  // Whether `bytes` bytes from `pos` lie within the objects.
  bool fits(uint64_t pos, uint64_t bytes) const { return pos <= table_ && bytes <= table_ - pos; }

  // Where a container's references lie: `count` of them from `pos` (keys, then values for a
  // dictionary).
  struct Refs {
    uint64_t pos = 0;
    uint64_t count = 0;
  };

  // Reference `i` of refs; it may name no object (checked by graphOK()).
  uint64_t refAt(const Refs& refs, uint64_t i) const {
    return readBE(p_ + refs.pos + i * refSize_, refSize_);
  }

  // Checks object `index` as far as it can be alone. For a container, *refs receives where
  // its references lie; for text and data, *bytes the most bytes its Value holds (its own
  // content; a container's own is 0). False when the object is malformed.
  bool inspect(uint64_t index, bool* container, Refs* refs, uint64_t* bytes) const {
    Header h;
    if (!header(index, &h)) return false;
    *container = false;
    *bytes = 0;
    if (h.kind == 0x4) {
      if (!fits(h.pos, h.count)) return false;
      *bytes = h.count;
      return true;
    }
    if (h.kind == 0x5 || h.kind == 0x6 || h.kind == 0x7) {
      // Text holding a NUL is refused: other readers cut it short, and it has no
      // property-list form when writing either.
      const uint64_t unit = h.kind == 0x6 ? 2 : 1;
      if (h.count > (table_ - h.pos) / unit) return false;
      for (uint64_t i = 0; i < h.count; ++i) {
        const uint8_t* c = p_ + h.pos + i * unit;
        if (c[0] == 0 && (unit == 1 || c[1] == 0)) return false;
        // As UTF-8: a Latin-1 byte above 0x7F takes 2 bytes, a UTF-16 unit up to 3.
        *bytes += h.kind == 0x7 ? 1 : h.kind == 0x5 ? 1 + (c[0] >> 7) : 3;
      }
      return true;
    }
    if (h.kind != 0xA && h.kind != 0xC && h.kind != 0xD) return true;  // another leaf
    const uint64_t count = h.kind == 0xD ? h.count * 2 : h.count;
    if (h.count > table_ || count > (table_ - h.pos) / refSize_) return false;
    *container = true;
    *refs = Refs{h.pos, count};
    return true;
  }

  // Walks the graph from the top object depth first, holding one small frame per open
  // container (references are read from the bytes as they are needed, so overlapping
  // objects cost nothing per level), and totals what each object expands to.
  bool graphOK(std::string* why) const {
    enum : uint8_t { kUnseen, kActive, kDone };
    // Shared references are read as copies: past this many bytes of text and data the
    // result is refused. A list without shared references reads to at most 3 bytes a byte
    // (UTF-16 to UTF-8), so 4 times the input always passes; the floor leaves room for the
    // sharing that writers do of equal values in smaller lists.
    const uint64_t maxBytes = (uint64_t{64} << 20) + 4 * uint64_t{n_};
    std::vector<uint8_t> state(count_, kUnseen);
    std::vector<uint32_t> expanded(count_, 0);  // values, at most kMaxNodes
    std::vector<uint64_t> bytes(count_, 0);
    std::vector<uint16_t> height(count_, 0);  // containers nested in it and itself
    struct Frame {
      uint64_t index;
      Refs refs;
      uint64_t next = 0;
      uint64_t expanded = 1, bytes = 0;
      uint16_t height = 1;
    };
    std::vector<Frame> stack;
    // A finished object adds to the container holding it.
    auto add = [&](Frame& f, uint64_t kid) {
      f.expanded += expanded[kid];
      f.bytes += bytes[kid];
      if (f.expanded > kMaxNodes || f.bytes > maxBytes)
        return *why = "binary property list expands too far", false;
      f.height = std::max<uint16_t>(f.height, height[kid] + 1);
      if (f.height > kMaxDepth) return *why = "nesting too deep", false;
      return true;
    };
    // A leaf is done at once; a container opens a frame.
    auto visit = [&](uint64_t index) {
      bool container;
      Refs refs;
      if (!inspect(index, &container, &refs, &bytes[index]))
        return *why = "corrupt binary property list object", false;
      if (!container) {
        expanded[index] = 1;
        state[index] = kDone;
        return true;
      }
      if (stack.size() >= static_cast<size_t>(kMaxDepth)) return *why = "nesting too deep", false;
      state[index] = kActive;
      stack.push_back(Frame{index, refs});
      return true;
    };
    if (!visit(top_)) return false;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.next < f.refs.count) {
        const uint64_t kid = refAt(f.refs, f.next++);
        if (kid >= count_) return *why = "corrupt binary property list object", false;
        if (state[kid] == kActive) return *why = "cyclic binary property list", false;
        if (state[kid] == kUnseen && !visit(kid)) return false;
        if (state[kid] == kDone && !add(stack.back(), kid)) return false;
        continue;
      }
      const Frame done = f;
      expanded[done.index] = static_cast<uint32_t>(done.expanded);
      bytes[done.index] = done.bytes;
      height[done.index] = done.height;
      state[done.index] = kDone;
      stack.pop_back();
      if (!stack.empty() && !add(stack.back(), done.index)) return false;
    }
    return true;
  }

  double readDouble(uint64_t pos, size_t width) const {
    if (width == 4) {
      const uint32_t bits = static_cast<uint32_t>(readBE(p_ + pos, 4));
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    const uint64_t bits = readBE(p_ + pos, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // Object `index` as a Value. Recursion is bounded by the depth check().
  Value object(uint64_t index, std::string* why) {
    Header h;
    auto corrupt = [&] {
      *why = "corrupt binary property list object";
      return Value();
    };
    if (!header(index, &h)) return corrupt();
    switch (h.kind) {
      case 0x0:
        if (h.low == 0x8 || h.low == 0x9) return Value(h.low == 0x9);
        return corrupt();
      case 0x1: {
        // 1, 2 and 4 bytes unsigned, 8 bytes signed, 16 bytes a signed 128-bit integer
        // (other writers use it for unsigned 64-bit values above INT64_MAX).
        if (h.low > 4) return corrupt();
        const size_t width = size_t{1} << h.low;
        if (!fits(h.pos, width)) return corrupt();
        if (width < 8) return Value(static_cast<long long>(readBE(p_ + h.pos, width)));
        if (width == 8) return Value(static_cast<long long>(readBE(p_ + h.pos, 8)));
        const UInt128 u =
            (static_cast<UInt128>(readBE(p_ + h.pos, 8)) << 64) | readBE(p_ + h.pos + 8, 8);
        return integerValue(static_cast<Int128>(u));
      }
      case 0x2: {
        if (h.low != 2 && h.low != 3) return corrupt();
        const size_t width = size_t{1} << h.low;
        if (!fits(h.pos, width)) return corrupt();
        return Value(readDouble(h.pos, width));
      }
      case 0x3: {
        NSDate date;
        if (h.low != 3 || !fits(h.pos, 8) || !dateFromReferenceSeconds(readDouble(h.pos, 8), &date))
          return *why = "date out of property-list range", Value();
        return Value(date);
      }
      case 0x4:
        if (!fits(h.pos, h.count)) return corrupt();
        return Value(Data(p_ + h.pos, h.count));
      case 0x5: {
        // ASCII; a byte above 0x7F (written by nobody careful) reads as Latin-1.
        std::string s;
        s.reserve(h.count);
        for (uint64_t i = 0; i < h.count; ++i) {
          const uint8_t c = p_[h.pos + i];
          if (c < 0x80) {
            s += static_cast<char>(c);
          } else {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
          }
        }
        return Value(std::move(s));
      }
      case 0x6: {
        // A surrogate without its other half is no character: refused, not replaced.
        std::u16string units(h.count, u'\0');
        for (uint64_t i = 0; i < h.count; ++i)
          units[i] = static_cast<char16_t>(readBE(p_ + h.pos + 2 * i, 2));
        for (uint64_t i = 0; i < h.count; ++i) {
          const bool high = units[i] >= 0xD800 && units[i] < 0xDC00;
          const bool low = units[i] >= 0xDC00 && units[i] < 0xE000;
          if (low) return *why = "unpaired surrogate in text", Value();
          if (!high) continue;
          if (i + 1 == h.count || units[i + 1] < 0xDC00 || units[i + 1] >= 0xE000)
            return *why = "unpaired surrogate in text", Value();
          ++i;
        }
        return Value(fromUTF16(units));
      }
      case 0x7: {
        std::string s(reinterpret_cast<const char*>(p_ + h.pos), h.count);
        if (!isValidUTF8(s)) return corrupt();
        return Value(std::move(s));
      }
      case 0x8: {
        if (!fits(h.pos, h.low + 1u) || h.low > 7) return corrupt();
        return uidValue(readBE(p_ + h.pos, h.low + 1u));
      }
      case 0xA:
      case 0xC:
      case 0xD: {
        bool container;
        Refs refs;
        uint64_t bytes;
        if (!inspect(index, &container, &refs, &bytes)) return corrupt();
        if (h.kind != 0xD) {
          Array a;
          a.reserve(refs.count);
          for (uint64_t r = 0; r < refs.count; ++r) {
            a.push_back(object(refAt(refs, r), why));
            if (a.back().isNil()) return Value();
          }
          return Value(std::move(a));
        }
        Dictionary d;
        const uint64_t n = refs.count / 2;
        for (uint64_t i = 0; i < n; ++i) {
          Value key = object(refAt(refs, i), why);
          if (key.isNil()) return Value();
          if (!key.isString()) return *why = "dictionary key that is not text", Value();
          Value item = object(refAt(refs, n + i), why);
          if (item.isNil()) return Value();
          d.set(*key.string(), std::move(item));
        }
        return Value(std::move(d));
      }
      default:
        return corrupt();
    }
  }

  const uint8_t* p_;
  size_t n_;
  size_t offSize_ = 0, refSize_ = 0;
  uint64_t count_ = 0, top_ = 0, table_ = 0;
};

// Whether a container inside `depth` others may be written: the readers take kMaxDepth nested
// containers (what they hold that is not a container does not count).
bool containerFits(int depth, std::string* why) {
  if (depth < kMaxDepth) return true;
  *why = "property list nested too deeply";
  return false;
}

// Why a value of a kind with no property-list form has none.
const char* withoutForm(const Value& v) {
  if (v.isNull()) return "the null object has no property-list form";
  if (v.isObject()) return "an object has no property-list form";
  return "nil has no property-list form";
}

}  // namespace

bool uidOf(const Value& v, uint64_t* uid) {
  const Dictionary* d = v.dictionary();
  if (!d || d->size() != 1) return false;
  const Value* n = d->find(kUIDKey);
  if (!n || !n->isInteger() || n->longLongValue() < 0) return false;
  *uid = n->unsignedIntegerValue();
  return true;
}

Value uidValue(uint64_t uid) {
  return Value(Dictionary{{kUIDKey, Value(static_cast<long long>(uid))}});
}

namespace {

void appendBE(std::string* out, uint64_t v, size_t width) {
  for (size_t i = width; i-- > 0;) out->push_back(static_cast<char>(v >> (8 * i)));
}

size_t widthFor(uint64_t v) { return v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFF ? 4 : 8; }

// Writes the binary form: scalars are written once and shared (as other writers do), each
// container is an object of its own, the top object first.
class BinaryWriter {
 public:
  BinaryWriter(std::string* why, bool uids) : why_(why), uids_(uids) {}

  std::optional<Data> write(const Value& top) {
    if (!add(top, 0)) return std::nullopt;
    const size_t refSize = widthFor(objects_.size());
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Object& o : objects_) {
      offsets.push_back(out.size());
      out += o.bytes;
      for (uint64_t ref : o.refs) appendBE(&out, ref, refSize);
    }
    const uint64_t table = out.size();
    const size_t offSize = widthFor(table);
    for (uint64_t off : offsets) appendBE(&out, off, offSize);
    out.append(6, '\0');
    out.push_back(static_cast<char>(offSize));
    out.push_back(static_cast<char>(refSize));
    appendBE(&out, objects_.size(), 8);
    appendBE(&out, 0, 8);
    appendBE(&out, table, 8);
    return Data::fromString(out);
  }

 private:
  struct Object {
    std::string bytes;           // the marker and content (a container's count)
    std::vector<uint64_t> refs;  // a container's references, written after bytes
  };

  static std::string marker(uint8_t kind, uint64_t count) {
    std::string m(1, static_cast<char>((kind << 4) | (count < 15 ? count : 0x0F)));
    if (count >= 15) {
      const size_t w = widthFor(count);
      m.push_back(static_cast<char>(0x10 | (w == 1 ? 0 : w == 2 ? 1 : w == 4 ? 2 : 3)));
      appendBE(&m, count, w);
    }
    return m;
  }

  static std::string doubleBytes(uint8_t marker, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    std::string s(1, static_cast<char>(marker));
    appendBE(&s, bits, 8);
    return s;
  }

  uint64_t scalar(std::string bytes) {
    auto [it, added] = scalars_.emplace(std::move(bytes), objects_.size());
    if (added) objects_.push_back(Object{it->first, {}});
    return it->second;
  }

  bool fail(const char* why) {
    *why_ = why;
    return false;
  }

  // Adds value (and what it holds), which `depth` containers hold; the index of its object
  // in *index.
  bool add(const Value& v, int depth, uint64_t* index = nullptr) {
    uint64_t at = 0;
    switch (v.type()) {
      case Value::Type::Bool:
        at = scalar(std::string(1, v.boolValue() ? '\x09' : '\x08'));
        break;
      case Value::Type::Int:
      case Value::Type::UInt:
      case Value::Type::Decimal: {
        Int128 i;
        if (!int128Of(v, &i)) return fail("integer too large for a binary property list");
        std::string s;
        if (i >= 0 && i <= 0xFFFFFFFF) {
          const size_t w = widthFor(static_cast<uint64_t>(i));
          s.push_back(static_cast<char>(0x10 | (w == 1 ? 0 : w == 2 ? 1 : 2)));
          appendBE(&s, static_cast<uint64_t>(i), w);
        } else if (i >= std::numeric_limits<int64_t>::min() &&
                   i <= std::numeric_limits<int64_t>::max()) {
          s.push_back('\x13');
          appendBE(&s, static_cast<uint64_t>(i), 8);
        } else {
          s.push_back('\x14');
          appendBE(&s, static_cast<uint64_t>(static_cast<UInt128>(i) >> 64), 8);
          appendBE(&s, static_cast<uint64_t>(i), 8);
        }
        at = scalar(std::move(s));
        break;
      }
      case Value::Type::Double:
        at = scalar(doubleBytes(0x23, v.doubleValue()));
        break;
      case Value::Type::Date: {
        double seconds;
        if (!binaryDateSeconds(*v.date(), &seconds)) return fail("date out of property-list range");
        at = scalar(doubleBytes(0x33, seconds));
        break;
      }
      case Value::Type::Data: {
        const Data& d = *v.data();
        at = scalar(marker(0x4, d.length()) + d.toString());
        break;
      }
      case Value::Type::String:
        if (!textOK(*v.string(), why_)) return false;
        at = scalar(textBytes(*v.string()));
        break;
      case Value::Type::Array: {
        if (!containerFits(depth, why_)) return false;
        at = objects_.size();
        objects_.push_back(Object{marker(0xA, v.array()->size()), {}});
        std::vector<uint64_t> refs;
        refs.reserve(v.array()->size());
        for (const Value& item : *v.array()) {
          if (!add(item, depth + 1, &refs.emplace_back())) return false;
        }
        objects_[at].refs = std::move(refs);
        break;
      }
      case Value::Type::Dictionary: {
        uint64_t uid;
        if (uids_ && uidOf(v, &uid)) {
          const size_t w = widthFor(uid);
          std::string s(1, static_cast<char>(0x80 | (w - 1)));
          appendBE(&s, uid, w);
          at = scalar(std::move(s));
          break;
        }
        if (!containerFits(depth, why_)) return false;
        const Dictionary& d = *v.dictionary();
        at = objects_.size();
        objects_.push_back(Object{marker(0xD, d.size()), {}});
        std::vector<uint64_t> keys, refs;
        keys.reserve(d.size());
        refs.reserve(d.size());
        for (const auto& [key, item] : d) {
          if (!add(Value(key), depth + 1, &keys.emplace_back()) ||
              !add(item, depth + 1, &refs.emplace_back()))
            return false;
        }
        keys.insert(keys.end(), refs.begin(), refs.end());
        objects_[at].refs = std::move(keys);
        break;
      }
      case Value::Type::Nil:
      case Value::Type::Null:
      case Value::Type::Object:
        return fail(withoutForm(v));
    }
    if (index) *index = at;
    return true;
  }

  // ASCII text as bytes, other text as UTF-16 big-endian units.
  static std::string textBytes(const std::string& s) {
    bool ascii = true;
    for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return marker(0x5, s.size()) + s;
    const std::u16string units = toUTF16(s);
    std::string out = marker(0x6, units.size());
    for (char16_t u : units) appendBE(&out, u, 2);
    return out;
  }

  std::string* why_;
  bool uids_;
  std::vector<Object> objects_;
  std::map<std::string, uint64_t> scalars_;
};

// ---- The XML form ----

// Writes the XML form as other writers lay it out (a tab a level).
class XMLWriter {
 public:
  explicit XMLWriter(std::string* why) : why_(why) {}

  std::optional<Data> write(const Value& top) {
    out_ =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    if (!add(top, 0)) return std::nullopt;
    out_ += "</plist>\n";
    return Data::fromString(out_);
  }

 private:
  bool fail(const char* why) {
    *why_ = why;
    return false;
  }

  void line(int depth, std::string_view text) {
    out_.append(static_cast<size_t>(depth), '\t');
    out_ += text;
    out_ += '\n';
  }

  // <tag>text</tag> with the text escaped; a CR is written as a reference (a reader would
  // read a raw one as a line feed), and characters XML 1.0 cannot hold are refused.
  bool element(int depth, const char* tag, const std::string& text) {
    if (!textOK(text, why_)) return false;
    out_.append(static_cast<size_t>(depth), '\t');
    out_ += '<';
    out_ += tag;
    out_ += '>';
    for (size_t i = 0; i < text.size();) {
      const size_t start = i;
      const uint32_t c = decodeUTF8(text, i);
      if (!isXMLChar(c)) return fail("text holding a character XML cannot hold");
      switch (c) {
        case '&':
          out_ += "&amp;";
          break;
        case '<':
          out_ += "&lt;";
          break;
        case '>':
          out_ += "&gt;";
          break;
        case '\r':
          out_ += "&#13;";
          break;
        default:
          out_.append(text, start, i - start);
      }
    }
    out_ += "</";
    out_ += tag;
    out_ += ">\n";
    return true;
  }

  // Writes value, which `depth` containers hold.
  bool add(const Value& v, int depth) {
    switch (v.type()) {
      case Value::Type::Bool:
        line(depth, v.boolValue() ? "<true/>" : "<false/>");
        return true;
      case Value::Type::Int:
      case Value::Type::UInt:
      case Value::Type::Decimal:
        return element(depth, "integer", v.description());
      case Value::Type::Double: {
        // Other readers take "nan", "+infinity" and "-infinity"; "-0" keeps its sign.
        const double d = v.doubleValue();
        std::string text = numtext::shortestDouble(d);
        if (std::isinf(d)) text = d > 0 ? "+infinity" : "-infinity";
        return element(depth, "real", text);
      }
      case Value::Type::Date:
        if (!dateInRange(*v.date())) return fail("date out of property-list range");
        return element(depth, "date", isoDate(*v.date()));
      case Value::Type::Data:
        return element(depth, "data", base64Encode(*v.data()));
      case Value::Type::String:
        return element(depth, "string", *v.string());
      case Value::Type::Array:
        if (!containerFits(depth, why_)) return false;
        if (v.array()->empty()) {
          line(depth, "<array/>");
          return true;
        }
        line(depth, "<array>");
        for (const Value& item : *v.array()) {
          if (!add(item, depth + 1)) return false;
        }
        line(depth, "</array>");
        return true;
      case Value::Type::Dictionary:
        if (!containerFits(depth, why_)) return false;
        if (v.dictionary()->empty()) {
          line(depth, "<dict/>");
          return true;
        }
        line(depth, "<dict>");
        for (const auto& [key, item] : *v.dictionary()) {
          if (!element(depth + 1, "key", key) || !add(item, depth + 1)) return false;
        }
        line(depth, "</dict>");
        return true;
      case Value::Type::Nil:
      case Value::Type::Null:
      case Value::Type::Object:
        return fail(withoutForm(v));
    }
    return false;
  }

  std::string* why_;
  std::string out_;
};

// Reads the XML form with expat (which checks well-formedness, decodes references and
// normalises line ends) into Values.
class XMLReader {
 public:
  Value read(const Data& data, std::string* why) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) return *why = "out of memory", Value();
    parser_ = parser;
    XML_SetUserData(parser, this);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(parser, &XMLReader::onStart, &XMLReader::onEnd);
    XML_SetCharacterDataHandler(parser, &XMLReader::onText);
    XML_SetEntityDeclHandler(parser, &XMLReader::onEntity);
    const bool parsed = XML_Parse(parser, reinterpret_cast<const char*>(data.bytes()),
                                  static_cast<int>(data.length()), XML_TRUE) == XML_STATUS_OK;
    if (!parsed && error_.empty()) error_ = XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    if (error_.empty() && result_.isNil()) error_ = "property list without a value";
    if (!error_.empty()) return *why = "corrupt XML property list: " + error_, Value();
    return std::move(result_);
  }

 private:
  enum class Leaf { None, Key, String, Integer, Real, Date, Data };
  struct Frame {
    Value container;
    std::string key;
    bool hasKey = false;
  };

  void stop(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    XML_StopParser(parser_, XML_FALSE);
  }

  // Places a finished value in the container being read, or makes it the result.
  void place(Value v) {
    if (stack_.empty()) {
      if (!result_.isNil()) return stop("more than one top-level value");
      result_ = std::move(v);
      return;
    }
    Frame& f = stack_.back();
    if (Array* a = f.container.mutableArray()) {
      a->push_back(std::move(v));
    } else if (!f.hasKey) {
      stop("dictionary value without a key");
    } else {
      f.container.mutableDictionary()->set(std::move(f.key), std::move(v));
      f.hasKey = false;
    }
  }

  static void onEntity(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                       const XML_Char*, const XML_Char*, const XML_Char*) {
    // Entity declarations have no use in a property list and can expand without bound.
    static_cast<XMLReader*>(self)->stop("entity declaration");
  }

  static void onStart(void* self, const XML_Char* name, const XML_Char**) {
    auto* r = static_cast<XMLReader*>(self);
    if (!r->error_.empty()) return;  // stopped: calls that expat still makes
    const std::string_view n(name);
    if (r->leaf_ != Leaf::None || r->inBool_) return r->stop("element inside a value");
    r->text_.clear();
    if (n == "plist") {
      if (r->inPlist_ || !r->stack_.empty() || !r->result_.isNil())
        return r->stop("misplaced plist element");
      r->inPlist_ = true;
    } else if (n == "dict" || n == "array") {
      if (r->stack_.size() >= static_cast<size_t>(kMaxDepth)) return r->stop("nesting too deep");
      r->stack_.push_back(Frame{n == "dict" ? Value(Dictionary()) : Value(Array()), {}, false});
    } else if (n == "true" || n == "false") {
      r->inBool_ = true;
    } else if (n == "key") {
      if (r->stack_.empty() || !r->stack_.back().container.isDictionary() ||
          r->stack_.back().hasKey)
        return r->stop("misplaced key");
      r->leaf_ = Leaf::Key;
    } else if (n == "string") {
      r->leaf_ = Leaf::String;
    } else if (n == "integer") {
      r->leaf_ = Leaf::Integer;
    } else if (n == "real") {
      r->leaf_ = Leaf::Real;
    } else if (n == "date") {
      r->leaf_ = Leaf::Date;
    } else if (n == "data") {
      r->leaf_ = Leaf::Data;
    } else {
      r->stop("unknown element " + std::string(n));
    }
  }

  static void onText(void* self, const XML_Char* s, int len) {
    auto* r = static_cast<XMLReader*>(self);
    if (!r->error_.empty()) return;  // stopped: calls that expat still makes
    const std::string_view text(s, static_cast<size_t>(len));
    if (r->leaf_ != Leaf::None) {
      r->text_.append(text);
    } else if (text.find_first_not_of(" \t\r\n") != std::string_view::npos) {
      r->stop("text outside a value");
    }
  }

  static void onEnd(void* self, const XML_Char* name) {
    auto* r = static_cast<XMLReader*>(self);
    if (!r->error_.empty()) return;  // stopped: calls that expat still makes
    const std::string_view n(name);
    if (n == "plist") {
      r->inPlist_ = false;
    } else if (n == "dict" || n == "array") {
      Frame f = std::move(r->stack_.back());
      r->stack_.pop_back();
      if (f.hasKey) return r->stop("key without a value");
      r->place(std::move(f.container));
    } else if (n == "true" || n == "false") {
      r->inBool_ = false;
      r->place(Value(n == "true"));
    } else {
      const Leaf leaf = r->leaf_;
      r->leaf_ = Leaf::None;
      if (leaf == Leaf::Key) {
        if (!textOK(r->text_, &r->error_)) return r->stop(r->error_);
        r->stack_.back().key = std::move(r->text_);
        r->stack_.back().hasKey = true;
        return;
      }
      Value v = leafValue(leaf, r->text_);
      if (v.isNil()) return r->stop("bad " + std::string(n) + " value");
      r->place(std::move(v));
    }
  }

  static std::string_view trimmed(std::string_view t) {
    const size_t b = t.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    return t.substr(b, t.find_last_not_of(" \t\r\n") - b + 1);
  }

  static Value leafValue(Leaf leaf, const std::string& text) {
    switch (leaf) {
      case Leaf::String:
        return text.find('\0') == std::string::npos ? Value(text) : Value();
      case Leaf::Integer: {
        // Decimal digits with an optional sign, beyond 64 bits a decimal number; or
        // hexadecimal ones after "0x" (up to 128 bits), which other readers take too.
        std::string_view t = trimmed(text);
        bool negative = false;
        if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
          negative = t[0] == '-';
          t.remove_prefix(1);
        }
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
          UInt128 u = 0;
          for (char c : t.substr(2)) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0 || u >> 123) return Value();
            u = (u << 4) | static_cast<unsigned>(digit);  // below 2^127: checked above
          }
          return integerValue(negative ? -static_cast<Int128>(u) : static_cast<Int128>(u));
        }
        if (t.empty() || t.find_first_not_of("0123456789") != std::string_view::npos)
          return Value();
        const size_t nz = t.find_first_not_of('0');
        const std::string digits(nz == std::string_view::npos ? "0" : t.substr(nz));
        uint64_t u = 0;
        if (std::from_chars(digits.data(), digits.data() + digits.size(), u).ec == std::errc()) {
          if (!negative) return integerValue(u);
          if (u <= uint64_t{1} << 63) return integerValue(-static_cast<Int128>(u));
        }
        return Value::decimalNumber(negative ? "-" + digits : digits);
      }
      case Leaf::Real: {
        std::string_view t = trimmed(text);
        if (!t.empty() && t[0] == '+') t.remove_prefix(1);
        double d = 0;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), d);
        if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size()) return Value();
        return Value(d);
      }
      case Leaf::Date: {
        NSDate date;
        if (!parseIsoDate(trimmed(text), &date)) return Value();
        return Value(date);
      }
      case Leaf::Data: {
        Data d;
        if (!base64Decode(text, &d)) return Value();
        return Value(std::move(d));
      }
      default:
        return Value();
    }
  }

  XML_Parser parser_ = nullptr;
  std::vector<Frame> stack_;
  Value result_;
  Leaf leaf_ = Leaf::None;
  bool inBool_ = false;
  bool inPlist_ = false;
  std::string text_;
  std::string error_;
};

}  // namespace

bool archivedTimeInRange(double seconds) {
  constexpr double kLowest =
      static_cast<double>(-NSDate::kMaxSeconds1970 - NSDate::kReferenceDateOffset);
  constexpr double kHighest =
      static_cast<double>(NSDate::kMaxSeconds1970 - NSDate::kReferenceDateOffset);
  return seconds >= kLowest && seconds <= kHighest;
}

bool textOK(const std::string& s, std::string* why) {
  if (s.find('\0') != std::string::npos) return *why = "text with a NUL character", false;
  if (!isValidUTF8(s)) return *why = "text that is not valid UTF-8", false;
  return true;
}

bool looksLikeBinaryOrXML(const Data& data) {
  if (isBinary(data)) return true;
  size_t i = skipBomAndSpace(data);
  return i < data.length() && data.bytes()[i] == '<';
}

Value parse(const Data& data, Format* format, std::string* why) {
  if (data.length() > static_cast<size_t>(std::numeric_limits<int>::max()))
    return *why = "property list too large", Value();
  if (isBinary(data)) {
    BinaryReader reader(data);
    if (!reader.check(why)) return Value();
    Value v = reader.read(why);
    if (format) *format = NSPropertyListSerialization::NSPropertyListBinaryFormat_v1_0;
    return v;
  }
  if (!looksLikeBinaryOrXML(data)) return *why = "not a binary or XML property list", Value();
  // A NUL byte is never part of XML text.
  if (std::memchr(data.bytes(), 0, data.length()))
    return *why = "XML property list holding a NUL byte", Value();
  Value v = XMLReader().read(data, why);
  if (format) *format = NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0;
  return v;
}

std::optional<Data> serialize(const Value& value, bool binary, std::string* why, bool uids) {
  if (binary) return BinaryWriter(why, uids).write(value);
  return XMLWriter(why).write(value);
}

}  // namespace plat::plist_support
