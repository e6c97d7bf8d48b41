#include "platform/foundation/NSKeyedUnarchiver.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/PlistSupport.h"

namespace plat {

struct NSKeyedUnarchiver::State {
  Value root;
  const Array* objects = nullptr;
  uint64_t count = 0;
  const Dictionary* current = nullptr;
  enum : uint8_t { kUnseen, kActive, kDone };
  std::vector<uint8_t> status;
  std::vector<Value> cache;
};

namespace {

std::string escapeKey(std::string_view key) {
  std::string k(key);
  return !k.empty() && k.front() == '$' ? "$" + k : k;
}

// A reference: {"CF$UID": n}, as a UID reads.
bool asUid(const Value* v, uint64_t* uid) { return v && plist_support::uidOf(*v, uid); }

bool isScalar(const Value& v) {
  switch (v.type()) {
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Decimal:
    case Value::Type::Double:
    case Value::Type::String:
    case Value::Type::Data:
    case Value::Type::Date:
      return true;
    default:
      return false;
  }
}

std::string stringOf(const Value* v) { return v ? v->stringOr() : std::string(); }

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
  Value root = plist_support::parse(data, nullptr, &why);
  if (root.isNil()) return corrupt(why);
  const Dictionary* r = root.dictionary();
  if (!r) return corrupt("not a keyed archive");
  const Array* objects = r->get("$objects").array();
  const Dictionary* top = r->get("$top").dictionary();
  if (stringOf(r->find("$archiver")) != "NSKeyedArchiver" || !objects || !top)
    return corrupt("not a keyed archive");
  std::unique_ptr<NSKeyedUnarchiver> u(new NSKeyedUnarchiver());
  State& s = *u->state_;
  s.objects = objects;
  s.count = objects->size();
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
  const Value& node = (*s.objects)[uid];
  Value v;
  uint64_t ignored;
  if (node.isDictionary() && !asUid(&node, &ignored)) {
    s.status[uid] = State::kActive;
    ++depth_;
    v = decodeClassInstance(uid, node.dictionary());
    --depth_;
  } else if (isScalar(node)) {
    v = node;
  } else {
    fail("unexpected object in archive");
  }
  s.status[uid] = State::kDone;
  s.cache[uid] = v;
  return v;
}

Value NSKeyedUnarchiver::decodeClassInstance(uint64_t uid, const Dictionary* node) {
  State& s = *state_;
  uint64_t classUid = 0;
  if (!asUid(node->find("$class"), &classUid) || classUid == 0 || classUid >= s.count) {
    fail("object without a class");
    return Value();
  }
  const Dictionary* cls = (*s.objects)[classUid].dictionary();
  if (!cls) {
    fail("bad class entry");
    return Value();
  }
  std::string name = stringOf(cls->find("$classname"));

  // The references in the array under key (empty when missing); false when malformed.
  auto refs = [&](const char* key, std::vector<uint64_t>* out) {
    const Value* arr = node->find(key);
    if (!arr) return true;
    if (!arr->isArray()) return false;
    for (const Value& item : *arr->array()) {
      uint64_t r;
      if (!asUid(&item, &r)) return false;
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
    // A member written as $null (other writers' nil) is kept in its place as the null object.
    for (uint64_t r : items) {
      Value item = decodeReference(r);
      if (error_) return Value();
      out.push_back(item.isNil() ? Value::null() : std::move(item));
    }
    return Value(std::move(out));
  }
  if (isOneOf(name, {"NSDictionary", "NSMutableDictionary"})) {
    std::vector<uint64_t> keys, values;
    if (!refs("NS.keys", &keys) || !refs("NS.objects", &values) || keys.size() != values.size()) {
      fail("bad dictionary");
      return Value();
    }
    // Keys here are text: a number key is kept as its text; any other key (data, a date, a
    // collection) has no form here and fails the read, as do two keys of the same text.
    Dictionary out;
    for (size_t i = 0; i < keys.size(); ++i) {
      Value key = decodeReference(keys[i]);
      Value item = decodeReference(values[i]);
      if (error_) return Value();
      std::string text;
      if (key.isString()) {
        text = *key.string();
      } else if (key.isNumber()) {
        text = key.description();
      } else {
        fail("dictionary key that is not text");
        return Value();
      }
      if (out.contains(text)) {
        fail("dictionary key twice");
        return Value();
      }
      out.set(std::move(text), item.isNil() ? Value::null() : std::move(item));
    }
    return Value(std::move(out));
  }
  if (isOneOf(name, {"NSString", "NSMutableString"})) {
    const Value* str = node->find("NS.string");
    uint64_t r;
    if (asUid(str, &r)) return decodeReference(r);
    if (str && str->isString()) return *str;
    fail("bad string");
    return Value();
  }
  if (isOneOf(name, {"NSData", "NSMutableData"})) {
    const Value* d = node->find("NS.data");
    if (!d) d = node->find("NS.bytes");
    if (d && d->isData()) return *d;
    fail("bad data");
    return Value();
  }
  if (name == "NSDate") {
    // Any time a date holds is kept (the archiver writes no other); one beyond would change,
    // so it fails.
    const Value* t = node->find("NS.time");
    if (!t || t->type() != Value::Type::Double ||
        !plist_support::archivedTimeInRange(t->doubleValue())) {
      fail("bad date");
      return Value();
    }
    return Value(NSDate::dateWithTimeIntervalSinceReferenceDate(t->doubleValue()));
  }
  if (name == "NSNull") return Value::null();

  // A class of the application: by name, else the nearest superclass that can be created.
  std::optional<NSCodingClasses::Entry> entry = NSCodingClasses::find(name);
  if (!entry || !entry->factory) {
    entry.reset();
    const Array* chain = cls->get("$classes").array();
    const size_t n = chain ? chain->size() : 0;
    for (size_t i = 0; i < n && !entry; ++i) {
      std::string super = (*chain)[i].stringOr();
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
  const Dictionary* saved = s.current;
  s.current = node;
  bool ok = coding->initWithCoder(*this);
  s.current = saved;
  return ok ? Value(object) : Value();
}

bool NSKeyedUnarchiver::containsValueForKey(std::string_view key) const {
  return state_->current->contains(escapeKey(key));
}

Value NSKeyedUnarchiver::decodeObjectForKey(std::string_view key) {
  const Value* node = state_->current->find(escapeKey(key));
  if (!node) return Value();
  uint64_t uid;
  if (asUid(node, &uid)) return decodeReference(uid);
  if (isScalar(*node)) return *node;
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
