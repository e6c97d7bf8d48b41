#pragma once
// plat::NSCoding: the interface of objects that encode themselves by key into a keyed
// archive (NSKeyedArchiver) and decode themselves from one (NSKeyedUnarchiver), and
// plat::NSCodingClasses, the class lookup the unarchiver uses to create such objects by the
// class name stored in the archive.
//
// An archivable class derives from both plat::Object (its className() is the name written
// to the archive) and plat::NSCoding, and is registered by name, with a factory, before
// archives holding it are read. Names not registered here are asked of a fallback lookup,
// which the runtime's class registry installs.
//
// Thread-safety: NSCodingClasses has internal synchronization. Coders themselves are not
// synchronized (see their headers).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Object.h"

namespace plat {

class NSKeyedArchiver;
class NSKeyedUnarchiver;

class NSCoding {
 public:
  virtual ~NSCoding() = default;
  // Writes the object's state with the coder's encode...ForKey operations.
  virtual void encodeWithCoder(NSKeyedArchiver& coder) const = 0;
  // Reads the state back from a freshly created instance. Returns false when the archive
  // does not describe a valid object; the unarchiver then answers nil in its place.
  virtual bool initWithCoder(NSKeyedUnarchiver& coder) = 0;
};

class NSCodingClasses {
 public:
  using Factory = std::function<std::shared_ptr<Object>()>;
  struct Entry {
    Factory factory;
    // Superclass names from the direct superclass up, written to "$classes" after the class
    // name ("NSObject" is added when missing).
    std::vector<std::string> superclasses;
  };

  // Registers (or replaces) the class `name`.
  static void registerClass(std::string name, Factory factory,
                            std::vector<std::string> superclasses = {});
  // Installs the lookup consulted for names not registered here (one at a time; an empty
  // function removes it).
  static void setFallbackLookup(std::function<std::optional<Entry>(std::string_view)> lookup);
  // The registered class, else the fallback's answer, else nullopt.
  static std::optional<Entry> find(std::string_view name);
  // "$classes" for an object of class `name`: the name, its superclasses, "NSObject".
  static std::vector<std::string> classChain(const std::string& name);
};

}  // namespace plat
