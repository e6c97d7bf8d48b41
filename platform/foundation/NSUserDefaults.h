#pragma once
// plat::NSUserDefaults: the application's persistent key-value settings, kept as a binary
// property list under the device root ("<platform state>/Preferences/<suite>.plist"; the
// standard defaults use the main bundle's identifier as the suite, "Application" when it
// has none).
//
// Only property-list values are stored. A null, an object handle or another value with no
// property-list form is dropped (the key keeps its old value; inside an array or
// dictionary only the offending entries are left out) and logged with NSLog, never thrown.
// Setting nil removes the key. Every change is written through at once (atomically);
// synchronize() writes again if an earlier write failed. A file that cannot be read as a
// property list is moved aside to "<name>.corrupt" instead of being overwritten.
//
// Thread-safe: has internal synchronization and may be used from any thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace plat {

class NSUserDefaults : public Object {
 public:
  // The shared defaults of the application, created on first use and never destroyed.
  static std::shared_ptr<NSUserDefaults> standardUserDefaults();
  // Forgets the shared defaults, so the next standardUserDefaults() reads the file again
  // (the device root or main bundle may have changed).
  static void resetStandardUserDefaults();
  // Defaults of a named suite; an empty name gives the application's suite.
  explicit NSUserDefaults(std::string suiteName = {});
  std::string className() const override { return "NSUserDefaults"; }

  // The stored value, else the registered default, else nil.
  Value objectForKey(std::string_view key) const;
  // Stores value (see above for what is dropped). Nil removes the key.
  void setObjectForKey(const Value& value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // Typed reads with the platform's conversions: strings give numbers their text form,
  // numbers and numeric text give numbers; anything else gives the empty answer.
  std::optional<std::string> stringForKey(std::string_view key) const;
  int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  std::optional<Data> dataForKey(std::string_view key) const;
  // The value when it is an array / dictionary, else nil.
  Value arrayForKey(std::string_view key) const;
  Value dictionaryForKey(std::string_view key) const;

  void setIntegerForKey(int64_t value, std::string_view key);
  void setDoubleForKey(double value, std::string_view key);
  void setFloatForKey(float value, std::string_view key);
  void setBoolForKey(bool value, std::string_view key);

  // Defaults that answer when a key has no stored value. Kept in memory only.
  void registerDefaults(const Dictionary& defaults);
  // The registered defaults overlaid with the stored values.
  Dictionary dictionaryRepresentation() const;

  // Writes pending changes. False when the file cannot be written.
  bool synchronize();
  // The file the defaults live in.
  const std::string& filePath() const { return path_; }

 private:
  bool saveLocked();
  std::string path_;
  mutable std::mutex mutex_;
  Dictionary values_;
  Dictionary registered_;
  bool dirty_ = false;
};

}  // namespace plat
