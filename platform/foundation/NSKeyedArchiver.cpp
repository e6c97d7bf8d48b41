#include "platform/foundation/NSKeyedArchiver.h"

#include <limits>

#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/PlistSupport.h"

namespace plat {

struct NSKeyedArchiver::State {
  std::vector<Value> objects;  // index = UID; nil while an object is being written
  Value top{Dictionary()};
  Dictionary* current = nullptr;  // the dictionary receiving encode...ForKey
  std::unordered_map<std::string, uint64_t> strings;
  std::unordered_map<std::string, uint64_t> classes;
  std::unordered_map<const Object*, uint64_t> byIdentity;
  std::vector<ObjectRef> keepAlive;  // so that identities stay unique while encoding
  bool finished = false;
  Data result;
};

namespace {

std::string escapeKey(std::string_view key) {
  std::string k(key);
  return !k.empty() && k.front() == '$' ? "$" + k : k;
}

}  // namespace

NSKeyedArchiver::NSKeyedArchiver() : state_(std::make_unique<State>()) {
  state_->objects.emplace_back("$null");
  state_->current = state_->top.mutableDictionary();
}

NSKeyedArchiver::~NSKeyedArchiver() = default;

Data NSKeyedArchiver::archivedDataWithRootObject(const Value& root, NSErrorRef* error) {
  NSKeyedArchiver archiver;
  archiver.encodeObjectForKey(root, "root");
  Data data = archiver.encodedData();
  if (archiver.error() && error) *error = archiver.error();
  return data;
}

void NSKeyedArchiver::fail(const std::string& why) {
  if (!error_) error_ = NSError::make(NSCocoaErrorDomain, NSCoderInvalidValueError, why);
}

void NSKeyedArchiver::setEntry(std::string_view key, Value entry) {
  if (state_->finished) return;
  state_->current->set(escapeKey(key), std::move(entry));
}

uint64_t NSKeyedArchiver::reserve() {
  state_->objects.emplace_back();
  return state_->objects.size() - 1;
}

uint64_t NSKeyedArchiver::classReference(const std::string& name) {
  auto it = state_->classes.find(name);
  if (it != state_->classes.end()) return it->second;
  Array chain;
  for (const std::string& c : NSCodingClasses::classChain(name)) chain.push_back(Value(c));
  state_->objects.push_back(
      Value(Dictionary{{"$classname", Value(name)}, {"$classes", Value(std::move(chain))}}));
  uint64_t uid = state_->objects.size() - 1;
  state_->classes.emplace(name, uid);
  return uid;
}

uint64_t NSKeyedArchiver::encodeValue(const Value& value, int depth) {
  if (depth > NSPropertyListSerialization::kMaxDepth) {
    fail("object graph nested too deeply to archive");
    return 0;
  }
  auto& objects = state_->objects;
  auto instance = [&](uint64_t uid, Dictionary dict, const char* cls) {
    dict.set("$class", plist_support::uidValue(classReference(cls)));
    objects[uid] = Value(std::move(dict));
    return uid;
  };
  switch (value.type()) {
    case Value::Type::Nil:
      return 0;
    case Value::Type::String: {
      auto it = state_->strings.find(*value.string());
      if (it != state_->strings.end()) return it->second;
      std::string why;
      if (!plist_support::textOK(*value.string(), &why)) {
        fail(why);
        return 0;
      }
      objects.push_back(value);
      state_->strings.emplace(*value.string(), objects.size() - 1);
      return objects.size() - 1;
    }
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double:
    case Value::Type::Decimal:
    case Value::Type::Data:
      // Checked when the archive is written (an integer beyond 128 bits has no form).
      objects.push_back(value);
      return objects.size() - 1;
    case Value::Type::Date: {
      // Only a time the unarchiver takes back is written.
      const double seconds = value.date()->timeIntervalSinceReferenceDate();
      if (!plist_support::archivedTimeInRange(seconds)) {
        fail("a date beyond the range an archive holds: " + value.date()->description());
        return 0;
      }
      return instance(reserve(), Dictionary{{"NS.time", Value(seconds)}}, "NSDate");
    }
    case Value::Type::Null:
      return instance(reserve(), Dictionary(), "NSNull");
    case Value::Type::Array: {
      uint64_t uid = reserve();
      Array refs;
      for (const Value& item : *value.array()) {
        // Readers take $null as the null object; nil has no form in an array.
        if (item.isNil()) {
          fail("an array holds nil");
          return 0;
        }
        refs.push_back(plist_support::uidValue(encodeValue(item, depth + 1)));
      }
      return instance(uid, Dictionary{{"NS.objects", Value(std::move(refs))}}, "NSArray");
    }
    case Value::Type::Dictionary: {
      uint64_t uid = reserve();
      Array keys, refs;
      for (const auto& [key, item] : *value.dictionary()) {
        keys.push_back(plist_support::uidValue(encodeValue(Value(key), depth + 1)));
        refs.push_back(plist_support::uidValue(encodeValue(item, depth + 1)));
      }
      return instance(
          uid,
          Dictionary{{"NS.keys", Value(std::move(keys))}, {"NS.objects", Value(std::move(refs))}},
          "NSDictionary");
    }
    case Value::Type::Object: {
      ObjectRef object = value.object();
      auto known = state_->byIdentity.find(object.get());
      if (known != state_->byIdentity.end()) return known->second;
      auto* coding = dynamic_cast<const NSCoding*>(object.get());
      if (!coding) {
        fail("an object of class " + object->className() + " cannot be archived");
        return 0;
      }
      uint64_t uid = reserve();
      state_->byIdentity.emplace(object.get(), uid);
      state_->keepAlive.push_back(object);
      objects[uid] = Value(Dictionary());
      Dictionary* raw = objects[uid].mutableDictionary();
      Dictionary* saved = state_->current;
      int savedDepth = depth_;
      state_->current = raw;
      depth_ = depth;
      coding->encodeWithCoder(*this);
      state_->current = saved;
      depth_ = savedDepth;
      raw->set("$class", plist_support::uidValue(classReference(object->className())));
      return uid;
    }
  }
  return 0;
}

void NSKeyedArchiver::encodeObjectForKey(const Value& object, std::string_view key) {
  if (state_->finished) return;
  setEntry(key, plist_support::uidValue(encodeValue(object, depth_ + 1)));
}

void NSKeyedArchiver::encodeBoolForKey(bool value, std::string_view key) {
  setEntry(key, Value(value));
}
void NSKeyedArchiver::encodeIntForKey(int32_t value, std::string_view key) {
  encodeInt64ForKey(value, key);
}
void NSKeyedArchiver::encodeInt32ForKey(int32_t value, std::string_view key) {
  encodeInt64ForKey(value, key);
}
void NSKeyedArchiver::encodeInt64ForKey(int64_t value, std::string_view key) {
  setEntry(key, Value(static_cast<long long>(value)));
}
void NSKeyedArchiver::encodeIntegerForKey(int64_t value, std::string_view key) {
  encodeInt64ForKey(value, key);
}
void NSKeyedArchiver::encodeFloatForKey(float value, std::string_view key) {
  setEntry(key, Value(static_cast<double>(value)));
}
void NSKeyedArchiver::encodeDoubleForKey(double value, std::string_view key) {
  setEntry(key, Value(value));
}

void NSKeyedArchiver::finishEncoding() {
  State& s = *state_;
  if (s.finished) return;
  s.finished = true;
  if (error_) return;
  Array objects;
  objects.reserve(s.objects.size());
  for (Value& o : s.objects) objects.push_back(o.isNil() ? Value("$null") : std::move(o));
  s.objects.clear();
  s.keepAlive.clear();
  Value root(Dictionary{{"$version", Value(100000)},
                        {"$archiver", Value("NSKeyedArchiver")},
                        {"$top", std::move(s.top)},
                        {"$objects", Value(std::move(objects))}});
  std::string why;
  std::optional<Data> bytes = plist_support::serialize(root, true, &why, true);
  if (!bytes) {
    fail(why);
    return;
  }
  s.result = std::move(*bytes);
}

Data NSKeyedArchiver::encodedData() {
  finishEncoding();
  return error_ ? Data() : state_->result;
}

}  // namespace plat
