#include "platform/foundation/NSKeyedUnarchiver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/PlistSupport.h"

namespace plat {

using plist_support::Node;

struct NSKeyedUnarchiver::State {
  Node root;
  plist_t objects = nullptr;
  uint32_t count = 0;
  plist_t current = nullptr;
  enum : uint8_t { kUnseen, kActive, kDone };
  std::vector<uint8_t> status;
  std::vector<Value> cache;
};

namespace {

std::string escapeKey(std::string_view key) {
  std::string k(key);
  return !k.empty() && k.front() == '$' ? "$" + k : k;
}

// A reference: a UID node, or the XML spelling {"CF$UID": n}.
bool asUid(plist_t node, uint64_t* uid) {
  if (!node) return false;
  plist_type t = plist_get_node_type(node);
  if (t == PLIST_UID) {
    plist_get_uid_val(node, uid);
    return true;
  }
  if (t == PLIST_DICT && plist_dict_get_size(node) == 1) {
    plist_t n = plist_dict_get_item(node, "CF$UID");
    if (n && plist_get_node_type(n) == PLIST_UINT) {
      plist_get_uint_val(n, uid);
      return true;
    }
  }
  return false;
}

bool isScalar(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN:
    case PLIST_UINT:
    case PLIST_REAL:
    case PLIST_STRING:
    case PLIST_DATA:
    case PLIST_DATE:
      return true;
    default:
      return false;
  }
}

std::string stringOf(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return "";
  char* s = nullptr;
  plist_get_string_val(node, &s);
  std::string out = s ? s : "";
  std::free(s);
  return out;
}

bool isOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

}  // namespace

NSKeyedUnarchiver::NSKeyedUnarchiver() : state_(std::make_unique<State>()) {}
NSKeyedUnarchiver::~NSKeyedUnarchiver() = default;

std::unique_ptr<NSKeyedUnarchiver> NSKeyedUnarchiver::unarchiverForReadingFromData(
    const Data& data, NSErrorRef* error) {
  auto corrupt = [&](const std::string& why) -> std::unique_ptr<NSKeyedUnarchiver> {
    if (error)
      *error = NSError::make(NSCocoaErrorDomain, NSCoderReadCorruptError,
                             "The data couldn’t be read because it isn’t in the correct "
                             "format. (" +
                                 why + ")");
    return nullptr;
  };
  std::string why;
  Node root = plist_support::parseNode(data, nullptr, &why);
  if (!root) return corrupt(why);
  plist_t r = static_cast<plist_t>(root.get());
  if (plist_get_node_type(r) != PLIST_DICT) return corrupt("not a keyed archive");
  plist_t objects = plist_dict_get_item(r, "$objects");
  plist_t top = plist_dict_get_item(r, "$top");
  if (stringOf(plist_dict_get_item(r, "$archiver")) != "NSKeyedArchiver" || !objects ||
      plist_get_node_type(objects) != PLIST_ARRAY || !top || plist_get_node_type(top) != PLIST_DICT)
    return corrupt("not a keyed archive");
  std::unique_ptr<NSKeyedUnarchiver> u(new NSKeyedUnarchiver());
  State& s = *u->state_;
  s.objects = objects;
  s.count = plist_array_get_size(objects);
  s.current = top;
  s.status.assign(s.count, State::kUnseen);
  s.cache.assign(s.count, Value());
  s.root = std::move(root);
  return u;
}

Value NSKeyedUnarchiver::unarchiveObjectWithData(const Data& data, NSErrorRef* error) {
  auto u = unarchiverForReadingFromData(data, error);
  if (!u) return Value();
  if (!u->containsValueForKey("root")) {
    if (error)
      *error = NSError::make(NSCocoaErrorDomain, NSCoderValueNotFoundError,
                             "The archive has no root object.");
    return Value();
  }
  Value v = u->decodeObjectForKey("root");
  if (u->error()) {
    if (error) *error = u->error();
    return Value();
  }
  return v;
}

void NSKeyedUnarchiver::fail(const std::string& why) {
  if (!error_)
    error_ = NSError::make(
        NSCocoaErrorDomain, NSCoderReadCorruptError,
        "The data couldn’t be read because it isn’t in the correct format. (" + why + ")");
}

Value NSKeyedUnarchiver::decodeReference(uint64_t uid) {
  State& s = *state_;
  if (uid == 0) return Value();
  if (uid >= s.count) {
    fail("reference out of range");
    return Value();
  }
  if (s.status[uid] == State::kDone) return s.cache[uid];
  if (s.status[uid] == State::kActive) {
    // An object being filled may be referred to from inside itself; a collection may not.
    if (s.cache[uid].isObject()) return s.cache[uid];
    fail("a collection contains itself");
    return Value();
  }
  if (depth_ >= NSPropertyListSerialization::kMaxDepth) {
    fail("references nested too deeply");
    return Value();
  }
  plist_t node = plist_array_get_item(s.objects, static_cast<uint32_t>(uid));
  Value v;
  uint64_t ignored;
  if (plist_get_node_type(node) == PLIST_DICT && !asUid(node, &ignored)) {
    s.status[uid] = State::kActive;
    ++depth_;
    v = decodeClassInstance(uid, node);
    --depth_;
  } else if (isScalar(node)) {
    v = plist_support::valueFromNode(node);
  } else {
    fail("unexpected object in archive");
  }
  s.status[uid] = State::kDone;
  s.cache[uid] = v;
  return v;
}

Value NSKeyedUnarchiver::decodeClassInstance(uint64_t uid, void* rawNode) {
  State& s = *state_;
  plist_t node = static_cast<plist_t>(rawNode);
  uint64_t classUid = 0;
  if (!asUid(plist_dict_get_item(node, "$class"), &classUid) || classUid == 0 ||
      classUid >= s.count) {
    fail("object without a class");
    return Value();
  }
  plist_t cls = plist_array_get_item(s.objects, static_cast<uint32_t>(classUid));
  if (plist_get_node_type(cls) != PLIST_DICT) {
    fail("bad class entry");
    return Value();
  }
  std::string name = stringOf(plist_dict_get_item(cls, "$classname"));

  // The references in the array under key (empty when missing); false when malformed.
  auto refs = [&](const char* key, std::vector<uint64_t>* out) {
    plist_t arr = plist_dict_get_item(node, key);
    if (!arr) return true;
    if (plist_get_node_type(arr) != PLIST_ARRAY) return false;
    uint32_t n = plist_array_get_size(arr);
    for (uint32_t i = 0; i < n; ++i) {
      uint64_t r;
      if (!asUid(plist_array_get_item(arr, i), &r)) return false;
      out->push_back(r);
    }
    return true;
  };

  if (isOneOf(name, {"NSArray", "NSMutableArray", "NSSet", "NSMutableSet", "NSOrderedSet",
                     "NSMutableOrderedSet"})) {
    std::vector<uint64_t> items;
    if (!refs("NS.objects", &items)) {
      fail("bad array");
      return Value();
    }
    Array out;
    out.reserve(items.size());
    for (uint64_t r : items) {
      Value item = decodeReference(r);
      if (!item.isNil()) out.push_back(std::move(item));
    }
    return Value(std::move(out));
  }
  if (isOneOf(name, {"NSDictionary", "NSMutableDictionary"})) {
    std::vector<uint64_t> keys, values;
    if (!refs("NS.keys", &keys) || !refs("NS.objects", &values) || keys.size() != values.size()) {
      fail("bad dictionary");
      return Value();
    }
    Dictionary out;
    for (size_t i = 0; i < keys.size(); ++i) {
      Value key = decodeReference(keys[i]);
      Value item = decodeReference(values[i]);
      if (item.isNil()) continue;
      if (key.isString()) {
        out.set(*key.string(), std::move(item));
      } else if (key.isNumber()) {
        out.set(key.description(), std::move(item));  // keys here are text
      }
    }
    return Value(std::move(out));
  }
  if (isOneOf(name, {"NSString", "NSMutableString"})) {
    plist_t str = plist_dict_get_item(node, "NS.string");
    uint64_t r;
    if (asUid(str, &r)) return decodeReference(r);
    if (str && plist_get_node_type(str) == PLIST_STRING) return Value(stringOf(str));
    fail("bad string");
    return Value();
  }
  if (isOneOf(name, {"NSData", "NSMutableData"})) {
    plist_t d = plist_dict_get_item(node, "NS.data");
    if (!d) d = plist_dict_get_item(node, "NS.bytes");
    if (d && plist_get_node_type(d) == PLIST_DATA) return plist_support::valueFromNode(d);
    fail("bad data");
    return Value();
  }
  if (name == "NSDate") {
    plist_t t = plist_dict_get_item(node, "NS.time");
    if (!t || plist_get_node_type(t) != PLIST_REAL) {
      fail("bad date");
      return Value();
    }
    double seconds = 0;
    plist_get_real_val(t, &seconds);
    return Value(NSDate::dateWithTimeIntervalSinceReferenceDate(seconds));
  }
  if (name == "NSNull") return Value::null();

  // A class of the application: by name, else the nearest superclass that can be created.
  std::optional<NSCodingClasses::Entry> entry = NSCodingClasses::find(name);
  if (!entry || !entry->factory) {
    entry.reset();
    plist_t chain = plist_dict_get_item(cls, "$classes");
    uint32_t n =
        chain && plist_get_node_type(chain) == PLIST_ARRAY ? plist_array_get_size(chain) : 0;
    for (uint32_t i = 0; i < n && !entry; ++i) {
      std::string super = stringOf(plist_array_get_item(chain, i));
      if (super == name || super == "NSObject") continue;
      entry = NSCodingClasses::find(super);
      if (entry && !entry->factory) entry.reset();
    }
  }
  ObjectRef object = entry && entry->factory ? entry->factory() : nullptr;
  auto* coding = dynamic_cast<NSCoding*>(object.get());
  if (!coding) {
    fail("cannot decode object of class (" + name + ")");
    return Value();
  }
  s.cache[uid] = Value(object);  // so that references from inside resolve to it
  plist_t saved = s.current;
  s.current = node;
  bool ok = coding->initWithCoder(*this);
  s.current = saved;
  return ok ? Value(object) : Value();
}

bool NSKeyedUnarchiver::containsValueForKey(std::string_view key) const {
  return plist_dict_get_item(state_->current, escapeKey(key).c_str()) != nullptr;
}

Value NSKeyedUnarchiver::decodeObjectForKey(std::string_view key) {
  plist_t node = plist_dict_get_item(state_->current, escapeKey(key).c_str());
  if (!node) return Value();
  uint64_t uid;
  if (asUid(node, &uid)) return decodeReference(uid);
  if (isScalar(node)) return plist_support::valueFromNode(node);
  return Value();
}

Value NSKeyedUnarchiver::numberForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  return v.isNumber() ? v : Value();
}

bool NSKeyedUnarchiver::decodeBoolForKey(std::string_view key) {
  return numberForKey(key).boolValue();
}
int32_t NSKeyedUnarchiver::decodeIntForKey(std::string_view key) { return decodeInt32ForKey(key); }
int32_t NSKeyedUnarchiver::decodeInt32ForKey(std::string_view key) {
  int64_t v = numberForKey(key).longLongValue();
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}
int64_t NSKeyedUnarchiver::decodeInt64ForKey(std::string_view key) {
  return numberForKey(key).longLongValue();
}
int64_t NSKeyedUnarchiver::decodeIntegerForKey(std::string_view key) {
  return numberForKey(key).integerValue();
}
float NSKeyedUnarchiver::decodeFloatForKey(std::string_view key) {
  return numberForKey(key).floatValue();
}
double NSKeyedUnarchiver::decodeDoubleForKey(std::string_view key) {
  return numberForKey(key).doubleValue();
}

}  // namespace plat
