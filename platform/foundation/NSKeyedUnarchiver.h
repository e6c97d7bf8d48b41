#pragma once
// plat::NSKeyedUnarchiver: reads keyed archives (see NSKeyedArchiver.h) written by this
// platform or by the phone's, in binary or XML property-list form.
//
// Numbers are interchangeable between the two sides: an integer encoded with
// encodeIntegerForKey reads back as a number from decodeObjectForKey, and a number object
// reads back from decodeIntegerForKey. The platform's collection classes (NSArray,
// NSDictionary, NSSet and their mutable and ordered forms), NSString, NSData, NSDate and
// NSNull read as plain values; other classes are created through NSCodingClasses and
// filled with NSCoding::initWithCoder.
//
// Damaged archives never crash: references out of range, collections that contain
// themselves, reference chains deeper than NSPropertyListSerialization::kMaxDepth and
// unknown classes give nil, and error() reports NSCoderReadCorruptError (4864).
//
// Not synchronized: one unarchiver is used by one thread.

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/Value.h"

namespace plat {

class NSKeyedUnarchiver {
 public:
  // An unarchiver positioned on the archive's top level, or nullptr and *error when data is
  // not a keyed archive.
  static std::unique_ptr<NSKeyedUnarchiver> unarchiverForReadingFromData(
      const Data& data, NSErrorRef* error = nullptr);
  // The root object ("root"). Nil and *error when the archive is damaged or its root cannot
  // be decoded.
  static Value unarchiveObjectWithData(const Data& data, NSErrorRef* error = nullptr);

  ~NSKeyedUnarchiver();
  NSKeyedUnarchiver(const NSKeyedUnarchiver&) = delete;
  NSKeyedUnarchiver& operator=(const NSKeyedUnarchiver&) = delete;

  // Decoders for the object being read (the top level outside initWithCoder). A missing
  // key gives nil, false, 0.
  bool containsValueForKey(std::string_view key) const;
  Value decodeObjectForKey(std::string_view key);
  bool decodeBoolForKey(std::string_view key);
  // Integers saturate to the type's range; doubles truncate toward zero.
  int32_t decodeIntForKey(std::string_view key);
  int32_t decodeInt32ForKey(std::string_view key);
  int64_t decodeInt64ForKey(std::string_view key);
  int64_t decodeIntegerForKey(std::string_view key);
  float decodeFloatForKey(std::string_view key);
  double decodeDoubleForKey(std::string_view key);

  void finishDecoding() {}
  // The first decoding failure, or null.
  NSErrorRef error() const { return error_; }

 private:
  struct State;
  NSKeyedUnarchiver();
  Value decodeReference(uint64_t uid);
  Value decodeClassInstance(uint64_t uid, const Dictionary* node);
  Value numberForKey(std::string_view key);
  void fail(const std::string& why);

  std::unique_ptr<State> state_;
  NSErrorRef error_;
  int depth_ = 0;
};

}  // namespace plat
