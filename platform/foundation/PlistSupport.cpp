#include "platform/foundation/PlistSupport.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/foundation/UTF16.h"

namespace plat::plist_support {

namespace {

using Format = NSPropertyListSerialization::NSPropertyListFormat;
constexpr int kMaxDepth = NSPropertyListSerialization::kMaxDepth;
constexpr uint64_t kMaxNodes = NSPropertyListSerialization::kMaxNodes;

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

bool startsWithAt(const uint8_t* p, size_t n, size_t i, const char* lit) {
  size_t l = std::strlen(lit);
  return i + l <= n && std::memcmp(p + i, lit, l) == 0;
}

// Nesting depth of <array> and <dict> elements in an XML property list. libplist's XML
// reader recurses per level, so deep input must be refused before it runs.
bool xmlDepthOK(const Data& data) {
  const uint8_t* p = data.bytes();
  size_t n = data.length();
  int depth = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != '<') continue;
    if (startsWithAt(p, n, i, "<!--")) {
      const void* end = memmem(p + i, n - i, "-->", 3);
      if (!end) return true;  // the parser reports the unterminated comment
      i = static_cast<const uint8_t*>(end) - p + 2;
      continue;
    }
    if (startsWithAt(p, n, i, "<![CDATA[")) {
      const void* end = memmem(p + i, n - i, "]]>", 3);
      if (!end) return true;
      i = static_cast<const uint8_t*>(end) - p + 2;
      continue;
    }
    bool closing = i + 1 < n && p[i + 1] == '/';
    size_t s = i + (closing ? 2 : 1), e = s;
    while (e < n && p[e] != '>' && p[e] != '/' && p[e] != ' ' && p[e] != '\t' && p[e] != '\n' &&
           p[e] != '\r')
      ++e;
    std::string_view name(reinterpret_cast<const char*>(p + s), e - s);
    if (name != "array" && name != "dict") continue;
    size_t gt = e;
    while (gt < n && p[gt] != '>') ++gt;
    bool selfClosing = gt < n && gt > 0 && p[gt - 1] == '/';
    if (closing) {
      --depth;
    } else if (!selfClosing && ++depth > kMaxDepth) {
      return false;
    }
    i = gt;
  }
  return true;
}

uint64_t readBE(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

// Walks the object graph of a binary property list without building it: checks the
// trailer and offsets, refuses cycles, nesting deeper than kMaxDepth and shared references
// that would expand to more than kMaxNodes values (libplist copies every shared object).
bool binaryGraphOK(const Data& data, std::string* why) {
  const uint8_t* p = data.bytes();
  const size_t n = data.length();
  if (n < 8 + 32) return *why = "truncated binary property list", false;
  const uint8_t* t = p + n - 32;
  const size_t offSize = t[6], refSize = t[7];
  const uint64_t numObjects = readBE(t + 8, 8), top = readBE(t + 16, 8),
                 tableOffset = readBE(t + 24, 8);
  const uint64_t trailerStart = n - 32;
  if (offSize < 1 || offSize > 8 || refSize < 1 || refSize > 8 || numObjects == 0 ||
      top >= numObjects || tableOffset < 8 || tableOffset >= trailerStart ||
      numObjects > (trailerStart - tableOffset) / offSize)
    return *why = "corrupt binary property list trailer", false;

  auto objectOffset = [&](uint64_t index, uint64_t* out) {
    uint64_t off = readBE(p + tableOffset + index * offSize, offSize);
    if (off < 8 || off >= tableOffset) return false;
    *out = off;
    return true;
  };
  // Children of object `index` (references), or false when the object is malformed.
  auto children = [&](uint64_t index, std::vector<uint64_t>* out) {
    out->clear();
    uint64_t off;
    if (!objectOffset(index, &off)) return false;
    uint8_t marker = p[off];
    uint8_t kind = marker >> 4;
    const bool text = kind == 0x5 || kind == 0x6 || kind == 0x7;
    if (kind != 0xA && kind != 0xC && kind != 0xD && !text) return true;  // another leaf
    uint64_t count = marker & 0x0F;
    uint64_t pos = off + 1;
    if (count == 0x0F) {
      if (pos >= tableOffset) return false;
      uint8_t im = p[pos];
      if ((im >> 4) != 0x1 || (im & 0x0F) > 3) return false;
      size_t w = size_t{1} << (im & 0x0F);
      if (pos + 1 + w > tableOffset) return false;
      count = readBE(p + pos + 1, w);
      pos += 1 + w;
    }
    if (text) {
      // libplist cuts ASCII and UTF-8 text at a NUL and aborts on one in UTF-16 text, so
      // text holding a NUL is refused here (it has no property-list form when writing
      // either).
      const uint64_t unit = kind == 0x6 ? 2 : 1;
      if (count > (tableOffset - pos) / unit) return false;
      for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* c = p + pos + i * unit;
        if (c[0] == 0 && (unit == 1 || c[1] == 0)) return false;
      }
      return true;
    }
    uint64_t refs = kind == 0xD ? count * 2 : count;
    if (count > tableOffset || refs > (tableOffset - pos) / refSize) return false;
    out->reserve(refs);
    for (uint64_t r = 0; r < refs; ++r) {
      uint64_t ref = readBE(p + pos + r * refSize, refSize);
      if (ref >= numObjects) return false;
      out->push_back(ref);
    }
    return true;
  };

  enum : uint8_t { kUnseen, kActive, kDone };
  std::vector<uint8_t> state(numObjects, kUnseen);
  std::vector<uint64_t> expanded(numObjects, 0);
  std::vector<uint16_t> height(numObjects, 0);
  struct Frame {
    uint64_t index;
    std::vector<uint64_t> kids;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  auto push = [&](uint64_t index) {
    if (stack.size() >= static_cast<size_t>(kMaxDepth)) return *why = "nesting too deep", false;
    Frame f{index, {}, 0};
    if (!children(index, &f.kids)) return *why = "corrupt binary property list object", false;
    state[index] = kActive;
    stack.push_back(std::move(f));
    return true;
  };
  if (!push(top)) return false;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.kids.size()) {
      uint64_t kid = f.kids[f.next++];
      if (state[kid] == kActive) return *why = "cyclic binary property list", false;
      if (state[kid] == kUnseen && !push(kid)) return false;
      continue;
    }
    uint64_t total = 1;
    uint16_t h = 0;
    for (uint64_t kid : f.kids) {
      total += expanded[kid];
      if (total > kMaxNodes) return *why = "binary property list expands too far", false;
      if (height[kid] > h) h = height[kid];
    }
    if (h + 1 > kMaxDepth) return *why = "nesting too deep", false;
    expanded[f.index] = total;
    height[f.index] = static_cast<uint16_t>(h + 1);
    state[f.index] = kDone;
    stack.pop_back();
  }
  return true;
}

Node nodeFromValueAt(const Value& v, std::string* why, int depth, bool wholeSeconds) {
  if (depth > kMaxDepth) return *why = "property list nested too deeply", nullptr;
  switch (v.type()) {
    case Value::Type::Bool:
      return Node(plist_new_bool(v.boolValue() ? 1 : 0));
    case Value::Type::Int:
      return Node(plist_new_uint(static_cast<uint64_t>(v.longLongValue())));
    case Value::Type::UInt: {
      uint64_t u = v.unsignedIntegerValue();
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return *why = "unsigned integer too large for a property list", nullptr;
      return Node(plist_new_uint(u));
    }
    case Value::Type::Double:
    case Value::Type::Decimal:  // beyond the integers a property list holds
      return Node(plist_new_real(v.doubleValue()));
    case Value::Type::String:
      if (!textOK(*v.string(), why)) return nullptr;
      return Node(plist_new_string(v.string()->c_str()));
    case Value::Type::Data: {
      const Data& d = *v.data();
      return Node(plist_new_data(reinterpret_cast<const char*>(d.bytes()), d.length()));
    }
    case Value::Type::Date: {
      int32_t sec, usec;
      if (!dateToPlist(*v.date(), &sec, &usec))
        return *why = "date out of property-list range", nullptr;
      // The XML form holds whole seconds, which libplist takes by truncating toward 2001: a
      // date before 2001 would come out a second late unless its fraction is dropped here.
      if (wholeSeconds) usec = 0;
      return Node(plist_new_date(sec, usec));
    }
    case Value::Type::Array: {
      Node arr(plist_new_array());
      for (const Value& item : *v.array()) {
        Node child = nodeFromValueAt(item, why, depth + 1, wholeSeconds);
        if (!child) return nullptr;
        plist_array_append_item(arr.get(), child.release());
      }
      return arr;
    }
    case Value::Type::Dictionary: {
      Node dict(plist_new_dict());
      for (const auto& [key, item] : *v.dictionary()) {
        if (!textOK(key, why)) return nullptr;
        Node child = nodeFromValueAt(item, why, depth + 1, wholeSeconds);
        if (!child) return nullptr;
        plist_dict_set_item(dict.get(), key.c_str(), child.release());
      }
      return dict;
    }
    case Value::Type::Nil:
      return *why = "nil has no property-list form", nullptr;
    case Value::Type::Null:
      return *why = "the null object has no property-list form", nullptr;
    case Value::Type::Object:
      return *why = "an object has no property-list form", nullptr;
  }
  return nullptr;
}

}  // namespace

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

Node parseNode(const Data& data, Format* format, std::string* why) {
  if (data.length() > std::numeric_limits<uint32_t>::max())
    return *why = "property list too large", nullptr;
  const char* bytes = reinterpret_cast<const char*>(data.bytes());
  plist_t root = nullptr;
  if (isBinary(data)) {
    if (!binaryGraphOK(data, why)) return nullptr;
    plist_from_bin(bytes, static_cast<uint32_t>(data.length()), &root);
    if (format) *format = NSPropertyListSerialization::NSPropertyListBinaryFormat_v1_0;
  } else if (looksLikeBinaryOrXML(data)) {
    // A NUL byte is never part of XML text; libplist would abort on one inside a string.
    if (std::memchr(data.bytes(), 0, data.length()))
      return *why = "XML property list holding a NUL byte", nullptr;
    if (!xmlDepthOK(data)) return *why = "nesting too deep", nullptr;
    plist_from_xml(bytes, static_cast<uint32_t>(data.length()), &root);
    if (format) *format = NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0;
  } else {
    return *why = "not a binary or XML property list", nullptr;
  }
  if (!root) *why = "corrupt property list";
  return Node(root);
}

Node nodeFromValue(const Value& value, std::string* why, bool wholeSeconds) {
  return nodeFromValueAt(value, why, 0, wholeSeconds);
}

Value valueFromNode(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      // libplist keeps every integer as 64 bits; the property-list integer is signed.
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      Value v(std::string(s ? s : ""));
      std::free(s);
      return v;
    }
    case PLIST_KEY: {
      char* s = nullptr;
      plist_get_key_val(node, &s);
      Value v(std::string(s ? s : ""));
      std::free(s);
      return v;
    }
    case PLIST_DATA: {
      char* b = nullptr;
      uint64_t len = 0;
      plist_get_data_val(node, &b, &len);
      Value v(Data(b, b ? len : 0));
      std::free(b);
      return v;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(dateFromPlist(sec, usec));
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      Dictionary d;
      d.set("CF$UID", Value(static_cast<int64_t>(u)));
      return Value(std::move(d));
    }
    case PLIST_ARRAY: {
      Array a;
      uint32_t n = plist_array_get_size(node);
      a.reserve(n);
      for (uint32_t i = 0; i < n; ++i) a.push_back(valueFromNode(plist_array_get_item(node, i)));
      return Value(std::move(a));
    }
    case PLIST_DICT: {
      Dictionary d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        d.set(key ? key : "", valueFromNode(item));
        std::free(key);
      }
      std::free(it);
      return Value(std::move(d));
    }
    default:
      return Value();
  }
}

Data serializeNode(plist_t node, bool binary) {
  char* out = nullptr;
  uint32_t len = 0;
  if (binary) {
    plist_to_bin(node, &out, &len);
  } else {
    plist_to_xml(node, &out, &len);
  }
  Data d(out, out ? len : 0);
  if (out) {
    if (binary) {
      plist_to_bin_free(out);
    } else {
      plist_to_xml_free(out);
    }
  }
  return d;
}

bool dateToPlist(const NSDate& date, int32_t* sec, int32_t* usec) {
  int64_t s = date.seconds1970() - NSDate::kReferenceDateOffset;
  if (s < std::numeric_limits<int32_t>::min() || s > std::numeric_limits<int32_t>::max())
    return false;
  *sec = static_cast<int32_t>(s);
  *usec = date.nanosecondOfSecond() / 1000;
  return true;
}

NSDate dateFromPlist(int32_t sec, int32_t usec) {
  int64_t s = static_cast<int64_t>(sec) + NSDate::kReferenceDateOffset;
  int64_t us = usec;
  // libplist reads a negative time as its truncated seconds and the magnitude of the
  // fraction (-1.5 comes back as -1 and 500000), so the fraction counts away from zero.
  // A time within one second before 2001 is ambiguous and reads as after it.
  if (sec < 0 && us > 0) us = -us;
  s += us / 1000000;
  us %= 1000000;
  if (us < 0) {
    us += 1000000;
    s -= 1;
  }
  return NSDate::fromSeconds1970(s, us * 1000);
}

}  // namespace plat::plist_support
