#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/UTF16.h"

#include <cstring>
#include <optional>

#include "platform/foundation/PlistSupport.h"

namespace plat {

namespace {

NSErrorRef readError(const std::string& why) {
  return NSError::make(
      NSCocoaErrorDomain, NSPropertyListSerialization::NSPropertyListReadCorruptError,
      "The data couldn’t be read because it isn’t in the correct format. (" + why + ")");
}

// The text of an old-style property list: UTF-16 (with a byte-order mark) is converted to
// UTF-8; a UTF-8 mark is dropped.
std::string decodeText(const Data& data) {
  const uint8_t* p = data.bytes();
  size_t n = data.length();
  if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
    bool le = p[0] == 0xFF;
    std::string out;
    auto unit = [&](size_t i) -> uint32_t {
      return le ? (p[i] | (p[i + 1] << 8)) : ((p[i] << 8) | p[i + 1]);
    };
    for (size_t i = 2; i + 1 < n; i += 2) {
      uint32_t u = unit(i);
      if (u >= 0xD800 && u <= 0xDBFF && i + 3 < n) {
        uint32_t lo = unit(i + 2);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          appendUTF8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
          i += 2;
          continue;
        }
      }
      appendUTF8(out, u);
    }
    return out;
  }
  size_t skip = (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) ? 3 : 0;
  return std::string(reinterpret_cast<const char*>(p) + skip, n - skip);
}

// Parser of the old text format: "quoted" or unquoted strings, ( arrays ), { dictionaries
// with key = value; }, <hex data>, and // or /* */ comments; plus the string-table form
// (a dictionary without braces, where a lone "key"; means key = key).
class OpenStepParser {
 public:
  explicit OpenStepParser(std::string text) : s_(std::move(text)) {}

  std::optional<Value> parseTop(std::string* why) {
    if (!skip()) return fail(why);
    if (pos_ >= s_.size()) return Value(Dictionary());  // an empty string table
    size_t start = pos_;
    auto v = parseValue(0);
    if (v && skip() && pos_ >= s_.size()) return v;
    if (error_.empty() || (v && v->isString())) {
      // Not one value: read it as a string table.
      error_.clear();
      pos_ = start;
      Dictionary d;
      if (parseEntries(&d, '\0', 1)) return Value(std::move(d));
    }
    return fail(why);
  }

 private:
  std::optional<Value> fail(std::string* why) {
    *why = error_.empty() ? "unexpected text" : error_;
    *why += " at offset " + std::to_string(pos_);
    return std::nullopt;
  }
  bool err(const char* what) {
    if (error_.empty()) error_ = what;
    return false;
  }

  // Skips white space and comments. False on an unterminated comment.
  bool skip() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
        size_t end = s_.find("*/", pos_ + 2);
        if (end == std::string::npos) return err("unterminated comment");
        pos_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  static bool isUnquoted(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '/' || c == ':' || c == '.' || c == '-' || c == '+';
  }
  static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::optional<std::string> parseString() {
    if (pos_ >= s_.size()) return err("missing value"), std::nullopt;
    char q = s_[pos_];
    if (q != '"' && q != '\'') {
      size_t start = pos_;
      while (pos_ < s_.size() && isUnquoted(s_[pos_])) ++pos_;
      if (pos_ == start) return err("unexpected character"), std::nullopt;
      return s_.substr(start, pos_ - start);
    }
    ++pos_;
    std::string out;
    uint32_t pendingHigh = 0;
    while (pos_ < s_.size() && s_[pos_] != q) {
      char c = s_[pos_++];
      if (c != '\\') {
        if (pendingHigh) return err("unpaired surrogate"), std::nullopt;
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) break;
      char e = s_[pos_++];
      // A high surrogate must be followed at once by its low half.
      if (pendingHigh && e != 'U' && e != 'u') return err("unpaired surrogate"), std::nullopt;
      switch (e) {
        case 'a':
          out += '\a';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'v':
          out += '\v';
          break;
        case 'U':
        case 'u': {
          uint32_t cp = 0;
          int digits = 0;
          while (digits < 4 && pos_ < s_.size() && hexValue(s_[pos_]) >= 0) {
            cp = cp * 16 + hexValue(s_[pos_++]);
            ++digits;
          }
          const bool low = cp >= 0xDC00 && cp <= 0xDFFF;
          if (low != (pendingHigh != 0)) return err("unpaired surrogate"), std::nullopt;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            pendingHigh = cp;
            continue;
          }
          if (low) cp = 0x10000 + ((pendingHigh - 0xD800) << 10) + (cp - 0xDC00);
          appendUTF8(out, cp);
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            uint32_t v = e - '0';
            for (int k = 0; k < 2 && pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '7'; ++k)
              v = v * 8 + (s_[pos_++] - '0');
            appendUTF8(out, v & 0xFF);
          } else {
            out += e;  // \" \' \\ and any other character stand for themselves
          }
      }
      pendingHigh = 0;
    }
    if (pos_ >= s_.size()) return err("unterminated string"), std::nullopt;
    if (pendingHigh) return err("unpaired surrogate"), std::nullopt;
    ++pos_;
    return out;
  }

  // A value that `depth` containers hold; at most kMaxDepth containers nest, as in the other
  // formats.
  std::optional<Value> parseValue(int depth) {
    if (!skip()) return std::nullopt;
    if (pos_ >= s_.size()) return err("missing value"), std::nullopt;
    char c = s_[pos_];
    if ((c == '{' || c == '(') && depth >= NSPropertyListSerialization::kMaxDepth)
      return err("nesting too deep"), std::nullopt;
    if (c == '{') {
      ++pos_;
      Dictionary d;
      if (!parseEntries(&d, '}', depth + 1)) return std::nullopt;
      return Value(std::move(d));
    }
    if (c == '(') {
      ++pos_;
      Array a;
      if (!skip()) return std::nullopt;
      while (pos_ < s_.size() && s_[pos_] != ')') {
        auto item = parseValue(depth + 1);
        if (!item) return std::nullopt;
        a.push_back(std::move(*item));
        if (!skip()) return std::nullopt;
        if (pos_ < s_.size() && s_[pos_] == ',') {
          ++pos_;
          if (!skip()) return std::nullopt;
        } else if (pos_ < s_.size() && s_[pos_] != ')') {
          return err("expected ',' or ')'"), std::nullopt;
        }
      }
      if (pos_ >= s_.size()) return err("unterminated array"), std::nullopt;
      ++pos_;
      return Value(std::move(a));
    }
    if (c == '<') {
      ++pos_;
      Data d;
      int high = -1;
      while (pos_ < s_.size() && s_[pos_] != '>') {
        char h = s_[pos_++];
        if (h == ' ' || h == '\t' || h == '\r' || h == '\n') continue;
        int v = hexValue(h);
        if (v < 0) return err("bad data"), std::nullopt;
        if (high < 0) {
          high = v;
        } else {
          uint8_t byte = static_cast<uint8_t>(high * 16 + v);
          d.append(&byte, 1);
          high = -1;
        }
      }
      if (pos_ >= s_.size() || high >= 0) return err("bad data"), std::nullopt;
      ++pos_;
      return Value(std::move(d));
    }
    auto s = parseString();
    if (!s) return std::nullopt;
    return Value(std::move(*s));
  }

  // key = value; entries up to `close` ('\0' for the end of the text).
  bool parseEntries(Dictionary* d, char close, int depth) {
    for (;;) {
      if (!skip()) return false;
      if (pos_ >= s_.size()) return close == '\0' ? true : err("unterminated dictionary");
      if (s_[pos_] == close) {
        ++pos_;
        return true;
      }
      auto key = parseString();
      if (!key) return false;
      if (!skip()) return false;
      if (pos_ < s_.size() && s_[pos_] == ';' && close == '\0') {
        ++pos_;
        d->set(*key, Value(*key));
        continue;
      }
      if (pos_ >= s_.size() || s_[pos_] != '=') return err("expected '='");
      ++pos_;
      auto value = parseValue(depth);
      if (!value) return false;
      if (!skip()) return false;
      if (pos_ >= s_.size() || s_[pos_] != ';') return err("expected ';'");
      ++pos_;
      d->set(std::move(*key), std::move(*value));
    }
  }

  std::string s_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

Value NSPropertyListSerialization::propertyListWithData(const Data& data, unsigned /*options*/,
                                                        NSPropertyListFormat* format,
                                                        NSErrorRef* error) {
  std::string why;
  if (data.empty()) {
    if (error) *error = readError("no data");
    return Value();
  }
  if (plist_support::looksLikeBinaryOrXML(data)) {
    NSPropertyListFormat detected = NSPropertyListXMLFormat_v1_0;
    Value root = plist_support::parse(data, &detected, &why);
    if (root.isNil()) {
      if (error) *error = readError(why);
      return Value();
    }
    if (format) *format = detected;
    return root;
  }
  OpenStepParser parser(decodeText(data));
  auto v = parser.parseTop(&why);
  if (!v) {
    if (error) *error = readError(why);
    return Value();
  }
  if (format) *format = NSPropertyListOpenStepFormat;
  return std::move(*v);
}

Data NSPropertyListSerialization::dataWithPropertyList(const Value& value,
                                                       NSPropertyListFormat format,
                                                       unsigned /*options*/, NSErrorRef* error) {
  auto fail = [&](const std::string& why) {
    if (error)
      *error = NSError::make(NSCocoaErrorDomain, NSPropertyListWriteInvalidError,
                             "Property list invalid for format: " + why);
    return Data();
  };
  if (format != NSPropertyListXMLFormat_v1_0 && format != NSPropertyListBinaryFormat_v1_0)
    return fail("the format cannot be written");
  std::string why;
  std::optional<Data> bytes =
      plist_support::serialize(value, format == NSPropertyListBinaryFormat_v1_0, &why);
  if (!bytes) return fail(why);
  return std::move(*bytes);
}

bool NSPropertyListSerialization::propertyListIsValidForFormat(const Value& value,
                                                               NSPropertyListFormat format) {
  if (format != NSPropertyListXMLFormat_v1_0 && format != NSPropertyListBinaryFormat_v1_0)
    return false;
  std::string why;
  return plist_support::serialize(value, format == NSPropertyListBinaryFormat_v1_0, &why)
      .has_value();
}

}  // namespace plat
