#pragma once
// HVPropertyType: a parsed property type code, shared per distinct code.
//
// Codes are the platform's type encodings: "@" any object, "@\"Class\"" an object of a class,
// one-letter scalar codes ("i", "s", "c", "B", "f", "d", "l", "q" and the unsigned upper-case
// forms), ":" a selector and "^{objc_ivar=}" / "^{objc_method=}" runtime handles.
// Thread-safety: cachedTypeWithCode() may be called from any thread; a shared type never
// changes once handed out.

#include <string>
#include <string_view>

#include "platform/runtime/Runtime.h"

class HVPropertyType {
 public:
  HVPropertyType() = default;
  // The shared type for `code`, made on first request. A class code whose class was not
  // registered yet is parsed again once the class is known.
  static const HVPropertyType* cachedTypeWithCode(std::string_view code);

  // Parses `code` into this (fresh) type.
  void setCode(std::string code);

  bool isIdType() const { return idType_; }
  // A scalar number, or an object class that is a kind of NSNumber.
  bool isNumberType() const { return numberType_; }
  // The code lower-cased is "c" or "b".
  bool isBoolType() const { return boolType_; }
  bool isFromFoundation() const { return fromFoundation_; }
  // Values of this type are never read or written.
  bool isKVCDisabled() const { return KVCDisabled_; }
  // The code; for class codes the class name.
  const std::string& code() const { return code_; }
  // The class named by a class code; null for other codes and unknown names (a name that
  // carries a protocol list, "NSString<P>", names no class).
  plat::Class* typeClass() const { return typeClass_; }

 private:
  bool idType_ = false;
  bool numberType_ = false;
  bool boolType_ = false;
  bool fromFoundation_ = false;
  bool KVCDisabled_ = false;
  bool isClassCode_ = false;
  std::string code_;
  plat::Class* typeClass_ = nullptr;
};
