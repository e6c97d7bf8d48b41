#include "platform/foundation/JSONDocument.h"

namespace plat {

namespace {

// Nesting deeper than NSJSONSerialization reads is turned down (it then gives the error).
constexpr size_t kMaxDepth = 512;
// A thread's parser keeps its buffers (about 14 bytes a byte of text) between documents
// unless they were made for text longer than this; a larger document allocates afresh, which
// costs little beside its parse.
constexpr size_t kKeptCapacity = size_t{64} << 10;

// Each thread's parser, lent to one document at a time; a document made while it is lent
// (a hook of a walk that parses again) gets a parser of its own.
struct ThreadParser {
  simdjson::dom::parser parser;
  bool lent = false;
};
thread_local ThreadParser tParser;

using simdjson::dom::element_type;

}  // namespace

JSONDocument::JSONDocument() {
  if (!tParser.lent) {
    tParser.lent = true;
    borrowed_ = true;
    parser_ = &tParser.parser;
  } else {
    own_ = std::make_unique<simdjson::dom::parser>();
    parser_ = own_.get();
  }
}

JSONDocument::~JSONDocument() {
  if (!borrowed_) return;
  if (parser_->capacity() > kKeptCapacity) *parser_ = simdjson::dom::parser();
  tParser.lent = false;
}

bool JSONDocument::parse(std::string_view text) {
  root_ = Node();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (parser_->max_depth() != kMaxDepth &&
      parser_->allocate(std::max<size_t>(text.size(), 64), kMaxDepth) != simdjson::SUCCESS) {
    return false;
  }
  return parser_->parse(text.data(), text.size(), true).get(root_) == simdjson::SUCCESS;
}

bool JSONDocument::member(Node object, std::string_view key, Node* out) {
  if (!isObject(object)) return false;
  bool found = false;
  simdjson::dom::object fields = object.get_object().value_unsafe();
  for (auto field : fields) {
    if (field.key == key) {
      *out = field.value;
      found = true;
    }
  }
  return found;
}

bool JSONDocument::element(Node array, size_t index, Node* out) {
  if (!isArray(array)) return false;
  simdjson::dom::array items = array.get_array().value_unsafe();
  return items.at(index).get(*out) == simdjson::SUCCESS;
}

Value JSONDocument::valueOf(Node n) {
  switch (n.type()) {
    case element_type::NULL_VALUE: return Value::null();
    case element_type::BOOL: return Value(bool(n.get_bool().value_unsafe()));
    case element_type::INT64:
      return Value(static_cast<long long>(n.get_int64().value_unsafe()));
    case element_type::UINT64: {
      uint64_t u = n.get_uint64().value_unsafe();
      if (u <= static_cast<uint64_t>(INT64_MAX)) return Value(static_cast<long long>(u));
      return Value(static_cast<unsigned long long>(u));
    }
    case element_type::DOUBLE: return Value(n.get_double().value_unsafe());
    case element_type::STRING: return Value(std::string(n.get_string().value_unsafe()));
    case element_type::ARRAY: {
      simdjson::dom::array a = n.get_array().value_unsafe();
      Array r;
      r.reserve(a.size());
      for (Node item : a) r.push_back(valueOf(item));
      return Value(std::move(r));
    }
    case element_type::OBJECT: {
      simdjson::dom::object fields = n.get_object().value_unsafe();
      Dictionary d;
      for (auto field : fields) d.set(std::string(field.key), valueOf(field.value));
      return Value(std::move(d));
    }
  }
  return Value();
}

}  // namespace plat
