#pragma once
// plat::JSONDocument: JSON text parsed by simdjson into its compact read-only form, for readers
// that walk the document themselves instead of building Values for all of it (the model mapper
// maps straight from it). NSJSONSerialization reads through it too.
//
// The document accepts only text that NSJSONSerialization reads, and its nodes give the same
// values (valueOf). It turns down some text that NSJSONSerialization still reads (numbers out
// of the 64-bit or double range) and every text that NSJSONSerialization refuses: when parse()
// fails, ask NSJSONSerialization for the value or the error.
//
// Not thread-safe; a document and its nodes are used on one thread and live no longer than
// the document. Nodes are simdjson DOM elements.

#include <simdjson.h>

#include <memory>
#include <string_view>

#include "platform/foundation/Value.h"

namespace plat {

class JSONDocument {
 public:
  using Node = simdjson::dom::element;

  JSONDocument();
  ~JSONDocument();
  JSONDocument(const JSONDocument&) = delete;
  JSONDocument& operator=(const JSONDocument&) = delete;

  // Parses `text` (a leading UTF-8 byte order mark skipped). False when the text is not a
  // JSON value this reader accepts; the previous root is gone either way.
  bool parse(std::string_view text);
  // The top-level value. REQUIRES: the last parse() succeeded.
  Node root() const { return root_; }

  static bool isObject(Node n) { return n.type() == simdjson::dom::element_type::OBJECT; }
  static bool isArray(Node n) { return n.type() == simdjson::dom::element_type::ARRAY; }
  static bool isNull(Node n) { return n.type() == simdjson::dom::element_type::NULL_VALUE; }
  // The member of an object node under `key`; of duplicate keys the last, as a Dictionary
  // read from the text keeps. False when `object` is not an object or has no such key.
  static bool member(Node object, std::string_view key, Node* out);
  // The element of an array node at `index`. False when `array` is not an array or the index
  // is out of range.
  static bool element(Node array, size_t index, Node* out);
  // The node as NSJSONSerialization reads it (containers in full).
  static Value valueOf(Node n);

 private:
  simdjson::dom::parser* parser_;
  bool borrowed_ = false;
  std::unique_ptr<simdjson::dom::parser> own_;
  Node root_;
};

// The reader NSJSONSerialization falls back on for text the document turns down: nlohmann's,
// with the same rules and the error messages. The parsed value, or nil with *message set.
Value readJSONWithFallbackReader(std::string_view text, std::string* message);

}  // namespace plat
