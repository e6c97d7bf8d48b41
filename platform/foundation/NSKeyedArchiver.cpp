#include "platform/foundation/NSKeyedArchiver.h"

#include <limits>

#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/PlistSupport.h"

namespace plat {

using plist_support::Node;

struct NSKeyedArchiver::State {
  std::vector<Node> objects;  // index = UID; null while an object is being written
  Node top{plist_new_dict()};
  plist_t current = nullptr;  // the dictionary receiving encode...ForKey
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
  state_->objects.emplace_back(plist_new_string("$null"));
  state_->current = state_->top.get();
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

void NSKeyedArchiver::setEntry(std::string_view key, void* node) {
  if (state_->finished) {
    plist_free(static_cast<plist_t>(node));
    return;
  }
  plist_dict_set_item(state_->current, escapeKey(key).c_str(), static_cast<plist_t>(node));
}

uint64_t NSKeyedArchiver::reserve() {
  state_->objects.emplace_back(nullptr);
  return state_->objects.size() - 1;
}

uint64_t NSKeyedArchiver::classReference(const std::string& name) {
  auto it = state_->classes.find(name);
  if (it != state_->classes.end()) return it->second;
  Node cls(plist_new_dict());
  plist_dict_set_item(cls.get(), "$classname", plist_new_string(name.c_str()));
  plist_t chain = plist_new_array();
  for (const std::string& c : NSCodingClasses::classChain(name))
    plist_array_append_item(chain, plist_new_string(c.c_str()));
  plist_dict_set_item(cls.get(), "$classes", chain);
  state_->objects.push_back(std::move(cls));
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
  auto instance = [&](uint64_t uid, Node dict, const char* cls) {
    plist_dict_set_item(dict.get(), "$class", plist_new_uid(classReference(cls)));
    objects[uid] = std::move(dict);
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
      objects.emplace_back(plist_new_string(value.string()->c_str()));
      state_->strings.emplace(*value.string(), objects.size() - 1);
      return objects.size() - 1;
    }
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double:
    case Value::Type::Decimal:
    case Value::Type::Data: {
      std::string why;
      Node node = plist_support::nodeFromValue(value, &why);
      if (!node) {
        fail(why);
        return 0;
      }
      objects.push_back(std::move(node));
      return objects.size() - 1;
    }
    case Value::Type::Date: {
      uint64_t uid = reserve();
      Node dict(plist_new_dict());
      plist_dict_set_item(dict.get(), "NS.time",
                          plist_new_real(value.date()->timeIntervalSinceReferenceDate()));
      return instance(uid, std::move(dict), "NSDate");
    }
    case Value::Type::Null:
      return instance(reserve(), Node(plist_new_dict()), "NSNull");
    case Value::Type::Array: {
      uint64_t uid = reserve();
      plist_t refs = plist_new_array();
      Node dict(plist_new_dict());
      plist_dict_set_item(dict.get(), "NS.objects", refs);
      for (const Value& item : *value.array())
        plist_array_append_item(refs, plist_new_uid(encodeValue(item, depth + 1)));
      return instance(uid, std::move(dict), "NSArray");
    }
    case Value::Type::Dictionary: {
      uint64_t uid = reserve();
      Node dict(plist_new_dict());
      plist_t keys = plist_new_array();
      plist_t refs = plist_new_array();
      plist_dict_set_item(dict.get(), "NS.keys", keys);
      plist_dict_set_item(dict.get(), "NS.objects", refs);
      for (const auto& [key, item] : *value.dictionary()) {
        plist_array_append_item(keys, plist_new_uid(encodeValue(Value(key), depth + 1)));
        plist_array_append_item(refs, plist_new_uid(encodeValue(item, depth + 1)));
      }
      return instance(uid, std::move(dict), "NSDictionary");
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
      Node dict(plist_new_dict());
      plist_t raw = dict.get();
      objects[uid] = std::move(dict);
      plist_t saved = state_->current;
      int savedDepth = depth_;
      state_->current = raw;
      depth_ = depth;
      coding->encodeWithCoder(*this);
      state_->current = saved;
      depth_ = savedDepth;
      plist_dict_set_item(raw, "$class", plist_new_uid(classReference(object->className())));
      return uid;
    }
  }
  return 0;
}

void NSKeyedArchiver::encodeObjectForKey(const Value& object, std::string_view key) {
  if (state_->finished) return;
  setEntry(key, plist_new_uid(encodeValue(object, depth_ + 1)));
}

void NSKeyedArchiver::encodeBoolForKey(bool value, std::string_view key) {
  setEntry(key, plist_new_bool(value ? 1 : 0));
}
void NSKeyedArchiver::encodeIntForKey(int32_t value, std::string_view key) {
  encodeInt64ForKey(value, key);
}
void NSKeyedArchiver::encodeInt32ForKey(int32_t value, std::string_view key) {
  encodeInt64ForKey(value, key);
}
void NSKeyedArchiver::encodeInt64ForKey(int64_t value, std::string_view key) {
  setEntry(key, plist_new_uint(static_cast<uint64_t>(value)));
}
void NSKeyedArchiver::encodeIntegerForKey(int64_t value, std::string_view key) {
  encodeInt64ForKey(value, key);
}
void NSKeyedArchiver::encodeFloatForKey(float value, std::string_view key) {
  setEntry(key, plist_new_real(static_cast<double>(value)));
}
void NSKeyedArchiver::encodeDoubleForKey(double value, std::string_view key) {
  setEntry(key, plist_new_real(value));
}

void NSKeyedArchiver::finishEncoding() {
  State& s = *state_;
  if (s.finished) return;
  s.finished = true;
  if (error_) return;
  Node root(plist_new_dict());
  plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
  plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
  plist_dict_set_item(root.get(), "$top", s.top.release());
  plist_t objects = plist_new_array();
  for (Node& o : s.objects)
    plist_array_append_item(objects,
                            o ? static_cast<plist_t>(o.release()) : plist_new_string("$null"));
  plist_dict_set_item(root.get(), "$objects", objects);
  s.objects.clear();
  s.result = plist_support::serializeNode(static_cast<plist_t>(root.get()), true);
  s.keepAlive.clear();
}

Data NSKeyedArchiver::encodedData() {
  finishEncoding();
  return error_ ? Data() : state_->result;
}

}  // namespace plat
