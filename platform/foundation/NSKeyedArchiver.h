#pragma once
// plat::NSKeyedArchiver: writes a value graph as the platform's keyed archive, a binary
// property list of the form
//   { "$version" = 100000; "$archiver" = "NSKeyedArchiver"; "$top" = { root = UID; };
//     "$objects" = ( "$null", ... ); }
// where objects refer to each other by UID, UID 0 ("$null") is nil, and class instances are
// dictionaries whose "$class" refers to { "$classname"; "$classes" } entries.
//
// Strings, numbers, booleans and data are stored as plain property-list objects; dates as
// NSDate, arrays as NSArray, dictionaries as NSDictionary, the null object as NSNull, and
// objects that implement plat::NSCoding as their own class (shared objects are stored once,
// so identity and cycles survive). Keys beginning with "$" are written with another "$" in
// front, as the platform does, so they cannot clash with the archive's own keys.
//
// Values with no archive form (objects that do not implement NSCoding, unsigned integers
// above INT64_MAX, text holding a NUL or invalid UTF-8) make the archive fail: encodedData() is
// then empty and error() says why.
//
// Not synchronized: one archiver is used by one thread.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

namespace plat {

// NSCocoaErrorDomain codes of the coders.
inline constexpr int64_t NSCoderReadCorruptError = 4864;
inline constexpr int64_t NSCoderValueNotFoundError = 4865;
inline constexpr int64_t NSCoderInvalidValueError = 4866;

class NSKeyedArchiver {
 public:
  NSKeyedArchiver();
  ~NSKeyedArchiver();
  NSKeyedArchiver(const NSKeyedArchiver&) = delete;
  NSKeyedArchiver& operator=(const NSKeyedArchiver&) = delete;

  // The archive of root (stored under "root"). Empty Data and *error when it cannot be
  // archived.
  static Data archivedDataWithRootObject(const Value& root, NSErrorRef* error = nullptr);

  // Encoders for the object being written (the top level before any object). Encoding nil
  // as an object stores the "$null" reference.
  void encodeObjectForKey(const Value& object, std::string_view key);
  void encodeBoolForKey(bool value, std::string_view key);
  void encodeIntForKey(int32_t value, std::string_view key);
  void encodeInt32ForKey(int32_t value, std::string_view key);
  void encodeInt64ForKey(int64_t value, std::string_view key);
  void encodeIntegerForKey(int64_t value, std::string_view key);
  void encodeFloatForKey(float value, std::string_view key);
  void encodeDoubleForKey(double value, std::string_view key);

  // Completes the archive; later encoding is ignored.
  void finishEncoding();
  // The archive (finishing it first). Empty when encoding failed.
  Data encodedData();
  // Why encoding failed, or null.
  NSErrorRef error() const { return error_; }

 private:
  struct State;
  uint64_t encodeValue(const Value& value, int depth);
  uint64_t classReference(const std::string& name);
  uint64_t reserve();
  void fail(const std::string& why);
  void setEntry(std::string_view key, Value entry);

  std::unique_ptr<State> state_;
  NSErrorRef error_;
  int depth_ = 0;
};

}  // namespace plat
