#pragma once
// STTextBackedString: the plain text that a run of attributed text stands for (an emoji's
// code behind the emoji, for example). Carried as the value of the attribute
// "STTextBackedString"; archivable under the key "string" and copyable.
// Main thread only.

#include <memory>
#include <string>

#include "platform/foundation/NSCoding.h"
#include "platform/foundation/Object.h"

// The name of the text-backed attribute.
extern const char* const STTextBackedStringAttributeName;

class STTextBackedString : public plat::Object, public plat::NSCoding {
 public:
  std::string className() const override { return "STTextBackedString"; }
  static std::shared_ptr<STTextBackedString> stringWithString(std::string text);

  const std::string& string() const { return string_; }
  void setString(std::string text) { string_ = std::move(text); }

  // A new instance of the receiver's own class with the same text.
  virtual std::shared_ptr<STTextBackedString> copy() const;

  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  // A missing or non-string "string" decodes as an empty text.
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

  // Registers the class with the unarchiver. Runs when the program loads; calling it again
  // does nothing.
  static void registerForCoding();

 protected:
  // Creates an empty instance of the receiver's class (subclasses override for copies).
  virtual std::shared_ptr<STTextBackedString> makeEmpty() const;

 private:
  std::string string_;
};

using STTextBackedStringRef = std::shared_ptr<STTextBackedString>;
