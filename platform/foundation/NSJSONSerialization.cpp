#include "platform/foundation/NSJSONSerialization.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "platform/foundation/JSONDocument.h"
#include "platform/foundation/NumberText.h"
#include "platform/foundation/UTF16.h"

namespace plat {

namespace {

constexpr int64_t kReadError = 3840;   // NSPropertyListReadCorruptError
constexpr int64_t kWriteError = 3851;  // NSPropertyListWriteInvalidError
constexpr const char* kDebugDescriptionKey = "NSDebugDescription";
// Deeper input is refused rather than risking the stack in code that walks the result.
constexpr size_t kMaxDepth = 512;
// Number literals this long or longer may overflow a double; see LongLiterals.
constexpr size_t kLongLiteral = 300;

// Whether `literal` is a placeholder: "0E" followed by zeros, a number reading as zero.
bool isPlaceholder(std::string_view literal) {
  return literal.size() >= kLongLiteral && literal.substr(0, 2) == "0E" &&
         literal.find_first_not_of('0', 2) == std::string_view::npos;
}

// nlohmann's reader refuses the whole text on an integer too long for a double (309 digits
// and more). The text is read with each long number literal swapped for a placeholder of the
// same length (so that error positions hold), and the builder takes the literals back in text
// order: integers keep their digits, as the shorter big integers do. A literal already shaped
// like a placeholder is recorded too, so that the order holds.
struct LongLiterals {
  std::string text;                   // the text with placeholders
  std::vector<std::string> literals;  // the literals they stand for, in text order
};

// Nullopt when the text holds no long literal (the common case: nothing is copied).
std::optional<LongLiterals> findLongLiterals(std::string_view text) {
  std::optional<LongLiterals> found;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    if (c != '-' && (c < '0' || c > '9')) continue;
    size_t end = text.find_first_not_of("0123456789+-.eE", i);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view literal = text.substr(i, end - i);
    if (literal.size() >= kLongLiteral &&
        (Value::decimalNumber(std::string(literal)) || isPlaceholder(literal))) {
      if (!found) found = LongLiterals{std::string(text), {}};
      found->literals.emplace_back(literal);
      found->text.replace(i, literal.size(), "0E" + std::string(literal.size() - 2, '0'));
    }
    i = end - 1;
  }
  return found;
}

void setError(NSErrorRef* error, int64_t code, std::string message) {
  if (!error) return;
  Dictionary info;
  info.set(kDebugDescriptionKey, std::move(message));
  *error = NSError::make(NSCocoaErrorDomain, code, std::move(info));
}

// Builds plat::Values from nlohmann's SAX events, keeping the order of object keys.
class ValueBuilder {
 public:
  using number_integer_t = int64_t;
  using number_unsigned_t = uint64_t;
  using number_float_t = double;
  using string_t = std::string;
  using binary_t = std::vector<std::uint8_t>;

  bool null() { return add(Value::null()); }
  bool boolean(bool b) { return add(Value(b)); }
  bool number_integer(int64_t i) { return add(Value(static_cast<long long>(i))); }
  bool number_unsigned(uint64_t u) {
    if (u <= static_cast<uint64_t>(INT64_MAX)) return add(Value(static_cast<long long>(u)));
    return add(Value(static_cast<unsigned long long>(u)));
  }
  bool number_float(double d, const std::string& literal) {
    if (longLiterals_ && isPlaceholder(literal) && nextLong_ < longLiterals_->size()) {
      const std::string& original = (*longLiterals_)[nextLong_++];
      if (Value decimal = Value::decimalNumber(original)) return add(std::move(decimal));
      return add(Value(d));  // a placeholder-shaped literal of the text: zero
    }
    // An integer beyond 64 bits keeps its digits (as a decimal number), so that long numeric
    // ids are not rounded to the nearest double.
    if (literal.find_first_of(".eE") == std::string::npos) {
      if (Value decimal = Value::decimalNumber(literal)) return add(std::move(decimal));
    }
    return add(Value(d));
  }
  bool string(std::string& s) { return add(Value(std::move(s))); }
  bool binary(binary_t&) { return fail("Unexpected binary value."); }
  bool start_object(size_t) { return open(Value(Dictionary())); }
  bool key(std::string& k) {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(size_t) { return open(Value(Array())); }
  bool end_array() { return close(); }
  bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception&) {
    errorPosition_ = position;
    failed_ = true;
    return false;
  }

  // The literals placeholders in the text stand for (see LongLiterals); must outlive parsing.
  void setLongLiterals(const std::vector<std::string>* literals) { longLiterals_ = literals; }
  bool failed() const { return failed_; }
  size_t errorPosition() const { return errorPosition_; }
  const std::string& message() const { return message_; }
  Value takeResult() { return std::move(result_); }

 private:
  bool fail(std::string message) {
    message_ = std::move(message);
    failed_ = true;
    return false;
  }
  bool add(Value v) {
    if (stack_.empty()) {
      result_ = std::move(v);
      return true;
    }
    Value& top = stack_.back();
    if (auto a = top.mutableArray()) a->push_back(std::move(v));
    else top.mutableDictionary()->set(std::move(keys_.back()), std::move(v));
    return true;
  }
  bool open(Value container) {
    if (stack_.size() >= kMaxDepth) return fail("Too many nested arrays or dictionaries.");
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }
  bool close() {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return add(std::move(done));
  }

  std::vector<Value> stack_;
  std::vector<std::string> keys_;
  const std::vector<std::string>* longLiterals_ = nullptr;
  size_t nextLong_ = 0;
  Value result_;
  bool failed_ = false;
  size_t errorPosition_ = 0;
  std::string message_;
};

std::string positionText(std::string_view text, size_t position) {
  position = std::min(position, text.size());
  size_t line = 1, column = 0;
  for (size_t i = 0; i < position; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
  return "around line " + std::to_string(line) + ", column " + std::to_string(column) + ".";
}

// Writer.

struct Writer {
  bool pretty;
  bool sorted;
  bool escapeSlashes;
  std::string out;
  std::string failure;

  void newline(int depth) {
    out += '\n';
    out.append(static_cast<size_t>(depth) * 2, ' ');
  }

  bool writeString(const std::string& s) {
    if (!isValidUTF8(s)) {
      failure = "Invalid UTF-8 in string in JSON write";
      return false;
    }
    out += '"';
    for (char ch : s) {
      unsigned char c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += escapeSlashes ? "\\/" : "/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
          } else {
            out += ch;
          }
      }
    }
    out += '"';
    return true;
  }

  bool write(const Value& v, int depth) {
    // The readers take at most kMaxDepth containers, one inside the other: so many are written.
    if ((v.isArray() || v.isDictionary()) && static_cast<size_t>(depth) >= kMaxDepth) {
      failure = "Too many nested arrays or dictionaries in JSON write";
      return false;
    }
    switch (v.type()) {
      case Value::Type::Null: out += "null"; return true;
      case Value::Type::Bool: out += v.boolValue() ? "true" : "false"; return true;
      case Value::Type::Int: out += std::to_string(v.longLongValue()); return true;
      case Value::Type::UInt: out += std::to_string(v.unsignedIntegerValue()); return true;
      case Value::Type::Decimal:
        out += v.description();
        return true;
      case Value::Type::Double: {
        double d = v.doubleValue();
        if (!std::isfinite(d)) {
          failure = std::isnan(d) ? "Invalid number value (NaN) in JSON write"
                                  : "Invalid number value (infinite) in JSON write";
          return false;
        }
        out += numtext::shortestDouble(d);
        return true;
      }
      case Value::Type::String: return writeString(*v.string());
      case Value::Type::Array: {
        const Array& a = *v.array();
        out += '[';
        if (a.empty() && pretty) out += '\n';
        for (size_t i = 0; i < a.size(); ++i) {
          if (i) out += ',';
          if (pretty) newline(depth + 1);
          if (!write(a[i], depth + 1)) return false;
        }
        if (pretty) newline(depth);
        out += ']';
        return true;
      }
      case Value::Type::Dictionary: {
        const Dictionary& d = *v.dictionary();
        std::vector<const Dictionary::Entry*> entries;
        entries.reserve(d.size());
        for (auto& e : d) entries.push_back(&e);
        if (sorted)
          std::sort(entries.begin(), entries.end(),
                    [](auto* x, auto* y) { return x->first < y->first; });
        out += '{';
        if (entries.empty() && pretty) out += '\n';
        for (size_t i = 0; i < entries.size(); ++i) {
          if (i) out += ',';
          if (pretty) newline(depth + 1);
          if (!writeString(entries[i]->first)) return false;
          out += pretty ? " : " : ":";
          if (!write(entries[i]->second, depth + 1)) return false;
        }
        if (pretty) newline(depth);
        out += '}';
        return true;
      }
      case Value::Type::Nil: failure = "Invalid type in JSON write (nil)"; return false;
      case Value::Type::Data: failure = "Invalid type in JSON write (NSData)"; return false;
      case Value::Type::Date: failure = "Invalid type in JSON write (NSDate)"; return false;
      case Value::Type::Object:
        failure = "Invalid type in JSON write (" + v.object()->className() + ")";
        return false;
    }
    return false;
  }
};

bool isContainer(const Value& v) { return v.isArray() || v.isDictionary(); }

}  // namespace

Value readJSONWithFallbackReader(std::string_view text, std::string* message) {
  // nlohmann's reader takes a NUL byte for the end of the text and would drop what follows;
  // JSON has no place for one (raw control characters are not allowed in strings either).
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    *message = "Invalid NUL byte " + positionText(text, nul);
    return Value();
  }
  ValueBuilder builder;
  const std::optional<LongLiterals> longLiterals = findLongLiterals(text);
  if (longLiterals) {
    text = longLiterals->text;
    builder.setLongLiterals(&longLiterals->literals);
  }
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                   nlohmann::json::input_format_t::json, true, false);
  } catch (const std::exception&) {
    ok = false;  // never let a library exception out
  }
  if (!ok || builder.failed()) {
    *message = builder.message();
    if (message->empty()) {
      *message = "Invalid value " +
                 positionText(text, builder.errorPosition() ? builder.errorPosition() - 1 : 0);
    }
    return Value();
  }
  return builder.takeResult();
}

Value NSJSONSerialization::JSONObjectWithString(std::string_view text, unsigned options,
                                                NSErrorRef* error) {
  if (error) *error = nullptr;
  std::string_view body = text;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);  // a UTF-8 byte order mark
  if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    setError(error, kReadError, "Unable to parse empty data.");
    return Value();
  }
  // The fast reader takes nearly all text; what it turns down the fallback reader decides
  // (and words the error of).
  Value result;
  {
    JSONDocument document;
    if (document.parse(body)) result = JSONDocument::valueOf(document.root());
  }
  if (result.isNil()) {
    std::string message;
    result = readJSONWithFallbackReader(body, &message);
    if (result.isNil()) {
      setError(error, kReadError, std::move(message));
      return Value();
    }
  }
  if (!isContainer(result) && !(options & NSJSONReadingFragmentsAllowed)) {
    setError(error, kReadError,
             "JSON text did not start with array or object and option to allow fragments not "
             "set. around line 1, column 0.");
    return Value();
  }
  return result;
}

Value NSJSONSerialization::JSONObjectWithData(const Data& data, unsigned options,
                                              NSErrorRef* error) {
  return JSONObjectWithString(
      std::string_view(reinterpret_cast<const char*>(data.bytes()), data.length()), options,
      error);
}

std::string NSJSONSerialization::stringWithJSONObject(const Value& value, unsigned options,
                                                      NSErrorRef* error) {
  if (error) *error = nullptr;
  if (!isContainer(value) && !(options & NSJSONWritingFragmentsAllowed)) {
    setError(error, kWriteError, "Invalid top-level type in JSON write");
    return std::string();
  }
  Writer w{(options & NSJSONWritingPrettyPrinted) != 0, (options & NSJSONWritingSortedKeys) != 0,
           (options & NSJSONWritingWithoutEscapingSlashes) == 0, {}, {}};
  if (!w.write(value, 0)) {
    setError(error, kWriteError, w.failure);
    return std::string();
  }
  return std::move(w.out);
}

Data NSJSONSerialization::dataWithJSONObject(const Value& value, unsigned options,
                                             NSErrorRef* error) {
  return Data::fromString(stringWithJSONObject(value, options, error));
}

bool NSJSONSerialization::isValidJSONObject(const Value& value) {
  if (!isContainer(value)) return false;
  Writer w{false, false, true, {}, {}};
  return w.write(value, 0);
}

}  // namespace plat
