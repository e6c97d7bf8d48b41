// The key-value model mapper: dictionaries and JSON into model objects and back.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "net/model/HVFoundation.h"
#include "net/model/HVModelCache.h"
#include "net/model/NSObject+HVKeyValue.h"
#include "net/model/NSString+HVExtension.h"
#include "platform/foundation/JSONDocument.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/UTF16.h"

using namespace hv_model_detail;
using Document = plat::JSONDocument;
using Node = plat::JSONDocument::Node;

namespace {

constexpr const char* kErrNotDictionary = "keyValues参数不是一个字典";
constexpr const char* kErrNotArray = "keyValuesArray参数不是一个数组";
constexpr const char* kErrNotModelClass = "不是自定义的模型类";
constexpr const char* kErrObjectArrayNotArray = "objectArray参数不是一个数组";
constexpr const char* kErrNoFilename = "filename参数为nil";
constexpr const char* kErrNoFile = "file参数为nil";
constexpr int64_t kErrorCode = 250;

// Nesting deeper than this (a reference cycle between models, or absurdly deep input) fails
// the whole mapping instead of exhausting the stack. It is the JSON reader's own limit, so
// every model that valid JSON can describe is mapped whole.
constexpr int kMaxNesting = 512;
constexpr const char* kErrTooDeep = "模型嵌套过深";
thread_local int tNesting = 0;
// Set when a nested step went too deep; the outermost operation then fails as a whole.
thread_local bool tTooDeep = false;
thread_local int tOperations = 0;

struct NestingGuard {
  NestingGuard() { ++tNesting; }
  ~NestingGuard() { --tNesting; }
  bool tooDeep() const {
    if (tNesting <= kMaxNesting) return false;
    tTooDeep = true;
    return true;
  }
};

// Marks one public operation. Operations call each other for nested models; only the
// outermost one reports a mapping that went too deep, with a nil result and the error on
// its own class, so that no caller is handed a model cut short.
class OperationScope {
 public:
  OperationScope() : outer_(tOperations++ == 0) {
    if (outer_) tTooDeep = false;
  }
  ~OperationScope() { --tOperations; }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;
  // True (and `cls`'s error set) when this is the outermost operation and it went too deep.
  bool failedTooDeep(plat::Class* cls);

 private:
  bool outer_;
};

plat::NSErrorRef makeError(std::string message) {
  return plat::NSError::make(std::move(message), kErrorCode, plat::Dictionary{});
}

void setError(plat::Class* cls, std::string message) {
  if (cls) cls->setSlot(kSlotError, makeError(std::move(message)));
}

// The same, for the fixed messages: errors are immutable, so one instance each is shared.
void setError(plat::Class* cls, const char* message) {
  static const auto* shared = new std::unordered_map<std::string_view, plat::NSErrorRef>{
      {kErrNotDictionary, makeError(kErrNotDictionary)},
      {kErrNotArray, makeError(kErrNotArray)},
      {kErrNotModelClass, makeError(kErrNotModelClass)},
      {kErrObjectArrayNotArray, makeError(kErrObjectArrayNotArray)},
      {kErrNoFilename, makeError(kErrNoFilename)},
      {kErrNoFile, makeError(kErrNoFile)},
      {kErrTooDeep, makeError(kErrTooDeep)}};
  if (!cls) return;
  auto it = shared->find(message);
  cls->setSlot(kSlotError, it != shared->end() ? it->second : makeError(message));
}

void clearError(plat::Class* cls) {
  if (cls) cls->setSlot(kSlotError, std::any());
}

plat::Class* classOfObject(const plat::Object& o) {
  if (auto n = dynamic_cast<const plat::NSObject*>(&o)) return n->classObject();
  return plat::Runtime::classOfValue(
      plat::Value(std::const_pointer_cast<plat::Object>(o.shared_from_this())));
}

plat::Class* namedClass(const char* name) { return plat::Runtime::classNamed(name); }

struct Classes {
  // The classes of decoded dictionaries and arrays.
  plat::Class* dictionary = plat::Runtime::classOfValue(plat::Value(plat::Dictionary{}));
  plat::Class* array = plat::Runtime::classOfValue(plat::Value(plat::Array{}));
  plat::Class* string = namedClass("NSString");
  plat::Class* url = namedClass("NSURL");
  plat::Class* decimal = namedClass("NSDecimalNumber");
  plat::Class* number = namedClass("NSNumber");
  plat::Class* root = plat::Runtime::rootClass();
};
const Classes& classes() {
  static const Classes* c = new Classes;
  return *c;
}

// The platform number formatter in its default configuration: an optional sign, digits with
// an optional fraction (the decimal separator is "."), an optional exponent, nothing else.
// Integers that fit 64 bits stay integers. Nil when the text is not such a number.
plat::Value numberFromString(const std::string& s) {
  size_t i = 0, n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  size_t intDigits = 0, fracDigits = 0;
  while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++intDigits;
  bool integral = true;
  if (i < n && s[i] == '.') {
    integral = false;
    ++i;
    while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return {};
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    integral = false;
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++expDigits;
    if (expDigits == 0) return {};
  }
  if (i != n) return {};
  if (integral) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno == 0) return plat::Value(v);
  }
  return plat::Value(std::strtod(s.c_str(), nullptr));
}

std::string lowercase(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool sameValue(const plat::Value& a, const plat::Value& b) {
  if (a.isObject() || b.isObject()) return a.isIdenticalTo(b);
  return a.type() == b.type() && a == b;
}

bool isKindOf(const plat::Value& v, plat::Class* k) {
  // Decimal numbers are numbers here.
  if (k == classes().decimal && v.isNumber()) return true;
  return plat::Runtime::valueIsKindOfClass(v, k);
}

// Turning a decoded dictionary or array into key values (as kv_JSONObject does before mapping
// it) records on its class that it is no model class.
void noteNotModelClass(plat::Class* foundationClass) {
  setError(foundationClass, kErrNotModelClass);
}

plat::ObjectRef objectWithKeyValues(plat::Class* cls, const plat::Value& keyValues);
void fill(plat::Object& o, plat::Class* cls, const plat::Value& keyValues);

void setProperty(HVProperty* p, const plat::Value& value, plat::Object& o, plat::Class* cls) {
  std::string reason;
  if (!p->setValueForObject(value, o, &reason)) setError(cls, reason);
}

// Converts `v` (what the input holds for the property, or nil) by the property's type and sets
// it on `o`, after the class's new-value hooks.
void convertValue(const PlanEntry& entry, plat::Value v, plat::Object& o, plat::Class* cls,
                  const ClassHooks& hooks) {
  HVProperty* p = entry.property;
  auto set = [&](const plat::Value& value) { setProperty(p, value, o, cls); };

  if (hooks.hasNewValue()) {
    plat::Value n;
    if (hooks.instanceHook)
      n = hooks.instanceHook(o, v, p);
    else if (hooks.classHook)
      n = hooks.classHook(v, p);
    else
      n = hooks.block(o, v, p);
    if (!sameValue(n, v)) return set(n);
  }
  if (v.isNil() || v.isNull()) return;

  const HVPropertyType* t = p->type();
  plat::Class* k = t->typeClass();
  if (k && !t->isFromFoundation()) {
    return set(objectWithKeyValues(k, v));
  }
  const Classes& c = classes();
  if (entry.elementClass) {
    if (entry.elementClass == c.url && v.isArray()) {
      plat::Array urls;
      for (auto& item : *v.array()) {
        if (auto s = item.string()) {
          if (auto u = kv_url(*s)) urls.push_back(plat::Value(u));
        }
      }
      return set(plat::Value(std::move(urls)));
    }
    return set(kv_objectArrayWithKeyValuesArray(entry.elementClass, v));
  }
  if (k == c.string) {
    if (v.isNumber())
      v = plat::Value(v.description());
    else if (auto u = v.objectAs<plat::NSURL>())
      v = plat::Value(u->absoluteString());
  } else if (auto s = v.string(); s && k == c.url) {
    v = plat::Value(kv_url(*s));
  } else if (auto s = v.string(); s && t->isNumberType()) {
    plat::Value number = numberFromString(*s);
    if (t->isBoolType()) {
      std::string lower = lowercase(*s);
      if (lower == "yes" || lower == "true")
        number = plat::Value(true);
      else if (lower == "no" || lower == "false")
        number = plat::Value(false);
    }
    v = number;
  }
  if (k && !v.isNil() && !isKindOf(v, k)) return;
  set(v);
}

// Converts and sets one property of `o` from dictionary `d`.
void convertProperty(const PlanEntry& entry, const plat::Value& d, plat::Object& o,
                     plat::Class* cls, const ClassHooks& hooks) {
  const plat::Value* found = &plat::Value::nilValue();
  for (const HVKeyPath& path : entry.keys) {
    const plat::Value* cur = &d;
    for (const HVPropertyKey& step : path) {
      cur = &step.valueInObject(*cur);
      if (cur->isNil()) break;
    }
    if (!cur->isNil()) {
      found = cur;
      break;
    }
  }
  convertValue(entry, *found, o, cls, hooks);
}

bool OperationScope::failedTooDeep(plat::Class* cls) {
  if (!outer_ || !tTooDeep) return false;
  tTooDeep = false;
  setError(cls, kErrTooDeep);
  return true;
}

// Sets the properties of `o` (of class `cls`) that the class maps, each through `convert`,
// then tells the object it is done. The class's error is already cleared.
template <class Convert>
void fillProperties(plat::Object& o, plat::Class* cls, Convert&& convert) {
  NestingGuard nesting;
  if (nesting.tooDeep()) {
    setError(cls, kErrTooDeep);
    return;
  }
  MappingTables tables = mappingTablesFor(cls, kAllowed, kIgnored);
  const Names* allowed = tables.allowed.get();
  const Names* ignored = tables.ignored.get();
  const ClassHooks* hooks = tables.hooks.get();
  for (const PlanEntry& entry : *tables.plan) {
    const std::string& name = entry.property->name();
    if (!allowed->empty() && !contains(*allowed, name)) continue;
    if (contains(*ignored, name)) continue;
    convert(entry, *hooks);
  }
  if (hooks->didFinishToObject) hooks->didFinishToObject(o);
}

void fill(plat::Object& o, plat::Class* cls, const plat::Value& keyValues) {
  plat::Value d = kv_JSONObject(keyValues);
  clearError(cls);
  if (!d.isDictionary()) {
    setError(cls, kErrNotDictionary);
    return;
  }
  fillProperties(o, cls, [&](const PlanEntry& entry, const ClassHooks& hooks) {
    convertProperty(entry, d, o, cls, hooks);
  });
}

// Mapping straight from a parsed JSON document, without decoding its dictionaries and arrays
// into Values first. Each function does what its counterpart does for the decoded input; a
// node that is not a dictionary or array on its way into a model (and every value handed to
// a hook) is decoded and goes the decoded way.

plat::ObjectRef objectFromNode(plat::Class* cls, Node dictionary, bool decoded);
plat::Value arrayFromNode(plat::Class* cls, Node array, bool decoded);

// The node at the first of the key paths that leads to something (JSON null included).
bool findInNode(Node d, const std::vector<HVKeyPath>& keys, Node* found) {
  for (const HVKeyPath& path : keys) {
    Node cur = d;
    bool ok = true;
    for (const HVPropertyKey& step : path) {
      ok = step.type() == HVPropertyKey::HVPropertyKeyTypeDictionary
               ? Document::member(cur, step.name(), &cur)
               : step.index() >= 0 &&
                     Document::element(cur, static_cast<size_t>(step.index()), &cur);
      if (!ok) break;
    }
    if (ok) {
      *found = cur;
      return true;
    }
  }
  return false;
}

void convertPropertyFromNode(const PlanEntry& entry, Node d, plat::Object& o, plat::Class* cls,
                             const ClassHooks& hooks) {
  Node found;
  if (!findInNode(d, entry.keys, &found)) return convertValue(entry, plat::Value(), o, cls, hooks);
  if (!hooks.hasNewValue()) {
    HVProperty* p = entry.property;
    const HVPropertyType* t = p->type();
    plat::Class* k = t->typeClass();
    if (k && !t->isFromFoundation()) {
      if (Document::isObject(found)) return setProperty(p, objectFromNode(k, found, true), o, cls);
    } else if (entry.elementClass && entry.elementClass != classes().url &&
               Document::isArray(found) &&
               !HVFoundation::isClassFromFoundation(entry.elementClass)) {
      return setProperty(p, arrayFromNode(entry.elementClass, found, true), o, cls);
    }
  }
  convertValue(entry, Document::valueOf(found), o, cls, hooks);
}

// `decoded`: the dictionary stands for a decoded one (else for the input text itself).
void fillFromNode(plat::Object& o, plat::Class* cls, Node dictionary, bool decoded) {
  if (decoded) noteNotModelClass(classes().dictionary);
  clearError(cls);
  fillProperties(o, cls, [&](const PlanEntry& entry, const ClassHooks& hooks) {
    convertPropertyFromNode(entry, dictionary, o, cls, hooks);
  });
}

// REQUIRES: cls is not a platform class.
plat::ObjectRef objectFromNode(plat::Class* cls, Node dictionary, bool decoded) {
  plat::ObjectRef o = cls->createInstance();
  if (!o) {
    if (decoded) noteNotModelClass(classes().dictionary);
    setError(cls, cls->name() + " cannot be instantiated (abstract or not default-constructible)");
    return nullptr;
  }
  fillFromNode(*o, cls, dictionary, true);
  return o;
}

// REQUIRES: cls is not a platform class.
plat::Value arrayFromNode(plat::Class* cls, Node array, bool decoded) {
  if (decoded) noteNotModelClass(classes().array);
  clearError(cls);
  NestingGuard nesting;
  if (nesting.tooDeep()) {
    setError(cls, kErrTooDeep);
    return {};
  }
  simdjson::dom::array items = array.get_array().value_unsafe();
  plat::Array r;
  r.reserve(items.size());
  for (Node item : items) {
    if (Document::isArray(item)) {
      r.push_back(arrayFromNode(cls, item, true));
    } else if (auto o = Document::isObject(item)
                            ? objectFromNode(cls, item, true)
                            : objectWithKeyValues(cls, Document::valueOf(item))) {
      r.push_back(plat::Value(std::move(o)));
    }
  }
  return plat::Value(std::move(r));
}

// The JSON text of input given as text or data.
std::optional<std::string_view> jsonText(const plat::Value& keyValues) {
  if (auto s = keyValues.string()) return std::string_view(*s);
  if (auto d = keyValues.data()) {
    return std::string_view(reinterpret_cast<const char*>(d->bytes()), d->length());
  }
  return std::nullopt;
}

plat::ObjectRef objectWithKeyValues(plat::Class* cls, const plat::Value& keyValues) {
  if (!cls) return nullptr;
  if (auto text = jsonText(keyValues); text && !HVFoundation::isClassFromFoundation(cls)) {
    Document document;
    if (document.parse(*text) && Document::isObject(document.root())) {
      return objectFromNode(cls, document.root(), false);
    }
  }
  plat::Value d = kv_JSONObject(keyValues);
  // The class's last error is cleared by fill, or replaced below.
  if (!d.isDictionary()) {
    setError(cls, kErrNotDictionary);
    return nullptr;
  }
  plat::ObjectRef o = cls->createInstance();
  if (!o) {
    setError(cls, cls->name() + " cannot be instantiated (abstract or not default-constructible)");
    return nullptr;
  }
  fill(*o, cls, d);
  return o;
}

// Arrays created or padded while writing back never grow past this many elements, so that a
// key path such as "a[99999999]" cannot exhaust memory.
constexpr int32_t kMaxWriteBackIndex = 1 << 16;

// Writes v into dictionary r at key path `path`, creating containers on the way. Returns
// false (r unchanged) when a container of the wrong kind stands on the path or an index is
// negative or beyond kMaxWriteBackIndex.
bool writeAtKeyPath(plat::Value& r, const HVKeyPath& path, const plat::Value& v) {
  using K = HVPropertyKey;
  // First check the containers already on the path, so that a failure changes nothing.
  for (const K& step : path) {
    if (step.type() == K::HVPropertyKeyTypeArray &&
        (step.index() < 0 || step.index() > kMaxWriteBackIndex)) {
      return false;
    }
  }
  const plat::Value* cur = &r;
  for (size_t i = 0; i < path.size(); ++i) {
    const K& step = path[i];
    bool wantArray = step.type() == K::HVPropertyKeyTypeArray;
    if (wantArray ? !cur->isArray() : !cur->isDictionary()) return false;
    if (i + 1 == path.size()) break;
    const plat::Value& next = step.valueInObject(*cur);
    if (next.isNil() || next.isNull()) break;  // created from here on
    cur = &next;
  }
  plat::Value* at = &r;
  for (size_t i = 0; i < path.size(); ++i) {
    const K& step = path[i];
    plat::Value* slot;
    if (step.type() == K::HVPropertyKeyTypeArray) {
      plat::Array* a = at->mutableArray();
      size_t index = static_cast<size_t>(step.index());
      if (index >= a->size()) a->resize(index + 1, plat::Value::null());
      slot = &(*a)[index];
    } else {
      plat::Dictionary* d = at->mutableDictionary();
      slot = d->find(step.name());
      if (!slot) {
        d->set(step.name(), plat::Value::null());
        slot = d->find(step.name());
      }
    }
    if (i + 1 == path.size()) {
      *slot = v;
      break;
    }
    if (slot->isNil() || slot->isNull()) {
      bool nextIsIndex = path[i + 1].type() == K::HVPropertyKeyTypeArray;
      *slot = nextIsIndex ? plat::Value(plat::Array{}) : plat::Value(plat::Dictionary{});
    }
    if (auto* a = slot->mutableArray(); a && path[i + 1].type() == K::HVPropertyKeyTypeArray) {
      size_t need = static_cast<size_t>(path[i + 1].index()) + 1;
      if (a->size() < need) a->resize(need, plat::Value::null());
    }
    at = slot;
  }
  return true;
}

plat::Value keyValuesOf(const plat::Object& o, plat::Class* cls,
                        const std::vector<std::string>& keys,
                        const std::vector<std::string>& ignoredKeys) {
  clearError(cls);
  NestingGuard nesting;
  if (nesting.tooDeep()) {
    setError(cls, kErrTooDeep);
    return plat::Value(plat::Dictionary{});
  }
  auto allowed = totalNames(cls, kAllowed);
  auto ignored = totalNames(cls, kIgnored);
  auto plan = planFor(cls);
  auto hooks = hooksFor(cls);
  bool reference = kv_isReferenceReplacedKeyWhenCreatingKeyValues(cls);
  plat::Value r{plat::Dictionary{}};
  for (const PlanEntry& entry : *plan) {
    HVProperty* p = entry.property;
    const std::string& name = p->name();
    if (!allowed->empty() && !contains(*allowed, name)) continue;
    if (contains(*ignored, name)) continue;
    if (!keys.empty() && !contains(keys, name)) continue;
    if (contains(ignoredKeys, name)) continue;
    plat::Value v = p->valueForObject(o);
    if (v.isNil()) continue;
    const HVPropertyType* t = p->type();
    if (t->typeClass() && !t->isFromFoundation()) {
      v = kv_keyValues(v);
    } else if (v.isArray()) {
      v = kv_keyValuesArrayWithObjectArray(classes().root, v);
    } else if (auto u = v.objectAs<plat::NSURL>(); u && t->typeClass() == classes().url) {
      v = plat::Value(u->absoluteString());
    }
    if (reference) {
      if (entry.keys.empty()) continue;
      if (!writeAtKeyPath(r, entry.keys.front(), v)) {
        setError(cls, cls->name() + "." + name +
                          ": the key path meets a value of another kind or an index out of range");
      }
    } else {
      r.mutableDictionary()->set(name, std::move(v));
    }
  }
  if (hooks->didFinishToKeyValues) hooks->didFinishToKeyValues(const_cast<plat::Object&>(o));
  return r;
}

plat::Value keyValuesArrayOf(plat::Class* cls, const plat::Value& objectArray,
                             const std::vector<std::string>& keys,
                             const std::vector<std::string>& ignoredKeys) {
  clearError(cls);
  auto a = objectArray.array();
  if (!a) {
    setError(cls, kErrObjectArrayNotArray);
    return {};
  }
  plat::Array r;
  r.reserve(a->size());
  for (auto& item : *a) {
    r.push_back(keys.empty() ? kv_keyValuesWithIgnoredKeys(item, ignoredKeys)
                             : kv_keyValuesWithKeys(item, keys));
  }
  return plat::Value(std::move(r));
}

plat::Value keyValuesArray(plat::Class* cls, const plat::Value& objectArray,
                           const std::vector<std::string>& keys,
                           const std::vector<std::string>& ignoredKeys) {
  OperationScope scope;
  plat::Value r = keyValuesArrayOf(cls, objectArray, keys, ignoredKeys);
  if (scope.failedTooDeep(cls)) return {};
  return r;
}

// The property list in the file at `path`, or nil when it cannot be read or parsed.
// The platform's reader refuses a path holding a NUL (which would name another file) and
// anything but a regular file (a named pipe would block the read forever).
plat::Value propertyListAtPath(const std::string& path) {
  auto data = plat::dataWithContentsOfFile(path);
  if (!data) return {};
  return plat::NSPropertyListSerialization::propertyListWithData(*data);
}

std::string mainBundlePath(const std::string& filename) {
  auto bundle = plat::NSBundle::mainBundle();
  return bundle ? bundle->pathForResourceOfType(filename, "") : std::string();
}

}  // namespace

plat::ObjectRef kv_objectWithFilename(plat::Class* cls, const std::string& filename) {
  if (filename.empty()) {
    clearError(cls);
    setError(cls, kErrNoFilename);
    return nullptr;
  }
  return kv_objectWithFile(cls, mainBundlePath(filename));
}

plat::ObjectRef kv_objectWithFile(plat::Class* cls, const std::string& file) {
  if (file.empty()) {
    clearError(cls);
    setError(cls, kErrNoFile);
    return nullptr;
  }
  plat::Value list = propertyListAtPath(file);
  return kv_objectWithKeyValues(cls, list.isDictionary() ? list : plat::Value());
}

plat::Value kv_objectArrayWithFilename(plat::Class* cls, const std::string& filename) {
  if (filename.empty()) {
    clearError(cls);
    setError(cls, kErrNoFilename);
    return {};
  }
  return kv_objectArrayWithFile(cls, mainBundlePath(filename));
}

plat::Value kv_objectArrayWithFile(plat::Class* cls, const std::string& file) {
  if (file.empty()) {
    clearError(cls);
    setError(cls, kErrNoFile);
    return {};
  }
  plat::Value list = propertyListAtPath(file);
  return kv_objectArrayWithKeyValuesArray(cls, list.isArray() ? list : plat::Value());
}

plat::ObjectRef kv_setKeyValues(const plat::ObjectRef& object, const plat::Value& keyValues) {
  if (!object) return object;
  OperationScope scope;
  plat::Class* cls = classOfObject(*object);
  if (auto text = jsonText(keyValues); text && !HVFoundation::isClassFromFoundation(cls)) {
    Document document;
    if (document.parse(*text) && Document::isObject(document.root())) {
      fillFromNode(*object, cls, document.root(), false);
      scope.failedTooDeep(cls);
      return object;
    }
  }
  fill(*object, cls, keyValues);
  scope.failedTooDeep(cls);
  return object;
}

plat::Value kv_keyValues(const plat::Value& object) {
  return kv_keyValuesWithKeysIgnoredKeys(object, {}, {});
}

plat::Value kv_keyValuesWithKeys(const plat::Value& object, const std::vector<std::string>& keys) {
  return kv_keyValuesWithKeysIgnoredKeys(object, keys, {});
}

plat::Value kv_keyValuesWithIgnoredKeys(const plat::Value& object,
                                        const std::vector<std::string>& ignoredKeys) {
  return kv_keyValuesWithKeysIgnoredKeys(object, {}, ignoredKeys);
}

plat::Value kv_keyValuesWithKeysIgnoredKeys(const plat::Value& object,
                                            const std::vector<std::string>& keys,
                                            const std::vector<std::string>& ignoredKeys) {
  plat::Class* cls = plat::Runtime::classOfValue(object);
  if (!cls) return object;
  if (HVFoundation::isClassFromFoundation(cls) || !object.isObject()) {
    noteNotModelClass(cls);
    return object;
  }
  OperationScope scope;
  plat::Value r = keyValuesOf(*object.object(), cls, keys, ignoredKeys);
  if (scope.failedTooDeep(cls)) return {};
  return r;
}

plat::Value kv_JSONObject(const plat::Value& object) {
  if (auto s = object.string()) return plat::NSJSONSerialization::JSONObjectWithString(*s);
  if (auto d = object.data()) return plat::NSJSONSerialization::JSONObjectWithData(*d);
  return kv_keyValues(object);
}

plat::Data kv_JSONData(const plat::Value& object) {
  if (auto s = object.string()) return plat::Data::fromString(*s);
  if (auto d = object.data()) return *d;
  return plat::NSJSONSerialization::dataWithJSONObject(kv_JSONObject(object));
}

std::string kv_JSONString(const plat::Value& object) {
  if (auto s = object.string()) return *s;
  // Bytes that are not UTF-8 decode to no text at all, as the platform's decoding answers.
  if (auto d = object.data()) {
    std::string text = d->toString();
    return plat::isValidUTF8(text) ? text : std::string();
  }
  return kv_JSONData(object).toString();
}

plat::ObjectRef kv_objectWithKeyValues(plat::Class* cls, const plat::Value& keyValues) {
  OperationScope scope;
  plat::ObjectRef o = objectWithKeyValues(cls, keyValues);
  if (scope.failedTooDeep(cls)) return nullptr;
  return o;
}

namespace {
plat::Value objectArrayWithKeyValuesArray(plat::Class* cls, const plat::Value& keyValuesArray);
}  // namespace

plat::Value kv_objectArrayWithKeyValuesArray(plat::Class* cls, const plat::Value& keyValuesArray) {
  OperationScope scope;
  plat::Value r = objectArrayWithKeyValuesArray(cls, keyValuesArray);
  if (scope.failedTooDeep(cls)) return {};
  return r;
}

namespace {
plat::Value objectArrayWithKeyValuesArray(plat::Class* cls, const plat::Value& keyValuesArray) {
  if (!cls) return {};
  if (auto text = jsonText(keyValuesArray); text && !HVFoundation::isClassFromFoundation(cls)) {
    Document document;
    if (document.parse(*text) && Document::isArray(document.root())) {
      return arrayFromNode(cls, document.root(), false);
    }
  }
  plat::Value decoded = kv_JSONObject(keyValuesArray);
  clearError(cls);
  auto a = decoded.array();
  if (!a) {
    setError(cls, kErrNotArray);
    return {};
  }
  if (HVFoundation::isClassFromFoundation(cls)) return decoded;
  NestingGuard nesting;
  if (nesting.tooDeep()) {
    setError(cls, kErrTooDeep);
    return {};
  }
  plat::Array r;
  r.reserve(a->size());
  for (auto& item : *a) {
    if (item.isArray()) {
      r.push_back(objectArrayWithKeyValuesArray(cls, item));
    } else if (auto o = objectWithKeyValues(cls, item)) {
      r.push_back(plat::Value(std::move(o)));
    }
  }
  return plat::Value(std::move(r));
}
}  // namespace

plat::Value kv_keyValuesArrayWithObjectArray(plat::Class* cls, const plat::Value& objectArray) {
  return keyValuesArray(cls, objectArray, {}, {});
}

plat::Value kv_keyValuesArrayWithObjectArrayKeys(plat::Class* cls, const plat::Value& objectArray,
                                                 const std::vector<std::string>& keys) {
  return keyValuesArray(cls, objectArray, keys, {});
}

plat::Value kv_keyValuesArrayWithObjectArrayIgnoredKeys(
    plat::Class* cls, const plat::Value& objectArray, const std::vector<std::string>& ignoredKeys) {
  return keyValuesArray(cls, objectArray, {}, ignoredKeys);
}

plat::Value kv_keyValuesArrayWithObjectArrayKeysIgnoredKeys(
    plat::Class* cls, const plat::Value& objectArray, const std::vector<std::string>& keys,
    const std::vector<std::string>& ignoredKeys) {
  return keyValuesArray(cls, objectArray, keys, ignoredKeys);
}

plat::NSErrorRef kv_error(plat::Class* cls) {
  if (!cls) return nullptr;
  std::any e = cls->slot(kSlotError);
  auto p = std::any_cast<plat::NSErrorRef>(&e);
  return p ? *p : nullptr;
}

void setKv_error(plat::Class* cls, plat::NSErrorRef error) {
  if (!cls) return;
  if (error)
    cls->setSlot(kSlotError, std::move(error));
  else
    cls->setSlot(kSlotError, std::any());
}

void kv_referenceReplacedKeyWhenCreatingKeyValues(plat::Class* cls, bool reference) {
  if (cls) cls->setSlot(kSlotReferenceReplacedKey, reference);
}

bool kv_isReferenceReplacedKeyWhenCreatingKeyValues(plat::Class* cls) {
  for (plat::Class* c = cls; c; c = c->superclass()) {
    std::any s = c->slot(kSlotReferenceReplacedKey);
    if (auto b = std::any_cast<bool>(&s)) return *b;
    // The root answers YES unless something was stored on it.
    if (c == plat::Runtime::rootClass()) return true;
  }
  return false;
}
