#include "platform/foundation/NSUserDefaults.h"

#include <cctype>
#include <cstdio>

#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace plat {

namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<NSUserDefaults> standard;
};

Shared& shared() {
  static Shared* s = new Shared();
  return *s;
}

const char* kindName(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null:
      return "null";
    case Value::Type::Object:
      return "object";
    case Value::Type::Decimal:
      return "integer beyond 128 bits";
    case Value::Type::Date:
      return "date out of range";
    default:
      return "value";
  }
}

// The property-list part of v: nil when v itself has no property-list form; containers
// keep only their valid entries. `dropped` collects what was left out.
Value plistPart(const Value& v, const std::string& where, std::string* dropped) {
  if (const Array* a = v.array()) {
    Array out;
    for (size_t i = 0; i < a->size(); ++i) {
      Value item = plistPart((*a)[i], where + "[" + std::to_string(i) + "]", dropped);
      if (!item.isNil()) out.push_back(std::move(item));
    }
    return Value(std::move(out));
  }
  if (const Dictionary* d = v.dictionary()) {
    Dictionary out;
    for (const auto& [key, item] : *d) {
      Value part = plistPart(item, where + "." + key, dropped);
      if (!part.isNil()) out.set(key, std::move(part));
    }
    return Value(std::move(out));
  }
  if (NSPropertyListSerialization::propertyListIsValidForFormat(
          v, NSPropertyListSerialization::NSPropertyListBinaryFormat_v1_0))
    return v;
  if (!dropped->empty()) *dropped += ", ";
  *dropped += where + " (" + kindName(v) + ")";
  return Value();
}

}  // namespace

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.standard) s.standard = std::make_shared<NSUserDefaults>();
  return s.standard;
}

void NSUserDefaults::resetStandardUserDefaults() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.standard.reset();
}

NSUserDefaults::NSUserDefaults(std::string suiteName) {
  if (suiteName.empty()) suiteName = NSBundle::mainBundle()->bundleIdentifier();
  if (suiteName.empty()) suiteName = "Application";
  // A suite name is one file name: no folders.
  for (char& c : suiteName)
    if (c == '/') c = '_';
  std::string folder = DeviceRoot::platformStatePath() + "/Preferences";
  NSFileManager::defaultManager().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(
      folder, true);
  path_ = folder + "/" + suiteName + ".plist";
  NSErrorRef error;
  auto bytes = dataWithContentsOfFile(path_, &error);
  if (!bytes) return;  // no file yet
  Value v = NSPropertyListSerialization::propertyListWithData(*bytes);
  if (const Dictionary* d = v.dictionary()) {
    values_ = *d;
  } else {
    std::string aside = path_ + ".corrupt";
    std::rename(path_.c_str(), aside.c_str());
    NSLog("NSUserDefaults: unreadable defaults file moved to %@", aside);
  }
}

Value NSUserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const Value* v = values_.find(key)) return *v;
  return registered_.get(key);
}

void NSUserDefaults::setObjectForKey(const Value& value, std::string_view key) {
  if (value.isNil()) {
    removeObjectForKey(key);
    return;
  }
  std::string dropped;
  Value stored = plistPart(value, std::string(key), &dropped);
  if (!dropped.empty()) NSLog("NSUserDefaults: not a property-list value, left out: %@", dropped);
  if (stored.isNil()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  values_.set(std::string(key), std::move(stored));
  dirty_ = true;
  saveLocked();
}

void NSUserDefaults::removeObjectForKey(std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!values_.remove(key)) return;
  dirty_ = true;
  saveLocked();
}

std::optional<std::string> NSUserDefaults::stringForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (v.isString()) return *v.string();
  if (v.isNumber()) return v.description();
  return std::nullopt;
}

int64_t NSUserDefaults::integerForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isNumber() || v.isString() ? v.integerValue() : 0;
}

double NSUserDefaults::doubleForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isNumber() || v.isString() ? v.doubleValue() : 0;
}

float NSUserDefaults::floatForKey(std::string_view key) const {
  return static_cast<float>(doubleForKey(key));
}

bool NSUserDefaults::boolForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (const std::string* s = v.string()) {
    // The platform also reads "YES" / "true" (any case) as true.
    std::string lower;
    for (char c : *s) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "yes" || lower == "true") return true;
  }
  return v.isNumber() || v.isString() ? v.boolValue() : false;
}

std::optional<Data> NSUserDefaults::dataForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (const Data* d = v.data()) return *d;
  return std::nullopt;
}

Value NSUserDefaults::arrayForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isArray() ? v : Value();
}

Value NSUserDefaults::dictionaryForKey(std::string_view key) const {
  Value v = objectForKey(key);
  return v.isDictionary() ? v : Value();
}

void NSUserDefaults::setIntegerForKey(int64_t value, std::string_view key) {
  setObjectForKey(Value(value), key);
}
void NSUserDefaults::setDoubleForKey(double value, std::string_view key) {
  setObjectForKey(Value(value), key);
}
void NSUserDefaults::setFloatForKey(float value, std::string_view key) {
  setObjectForKey(Value(value), key);
}
void NSUserDefaults::setBoolForKey(bool value, std::string_view key) {
  setObjectForKey(Value(value), key);
}

void NSUserDefaults::registerDefaults(const Dictionary& defaults) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [key, value] : defaults) registered_.set(key, value);
}

Dictionary NSUserDefaults::dictionaryRepresentation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Dictionary all = registered_;
  for (const auto& [key, value] : values_) all.set(key, value);
  return all;
}

bool NSUserDefaults::synchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !dirty_ || saveLocked();
}

bool NSUserDefaults::saveLocked() {
  NSErrorRef error;
  Data bytes = NSPropertyListSerialization::dataWithPropertyList(
      Value(values_), NSPropertyListSerialization::NSPropertyListBinaryFormat_v1_0, 0, &error);
  if (bytes.empty() || !writeDataToFile(bytes, path_, NSDataWritingAtomic, &error)) {
    NSLog("NSUserDefaults: could not write %@: %@", path_,
          error ? error->localizedDescription() : std::string("unknown error"));
    return false;
  }
  dirty_ = false;
  return true;
}

}  // namespace plat
