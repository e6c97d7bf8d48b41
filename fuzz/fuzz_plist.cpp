// Property lists in all three formats: reading never crashes, and what was read writes
// back (XML and binary) and reads again as the same value.

#include <cmath>

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NSPropertyListSerialization.h"

using plat::NSPropertyListSerialization;

namespace {

// Equal values. Dates compare to the whole second when the written form (XML) keeps no more,
// and otherwise to the microsecond, or to what a double of seconds since 2001 holds far from
// it (the binary form's date).
bool same(const plat::Value& a, const plat::Value& b, bool wholeSeconds) {
  if (a.isDate() && b.isDate()) {
    if (wholeSeconds) return a.date()->seconds1970() == b.date()->seconds1970();
    const double far = std::abs(a.date()->timeIntervalSinceReferenceDate());
    return std::abs(a.date()->timeIntervalSinceDate(*b.date())) <= 1.5e-6 + far * 4e-16;
  }
  if (const plat::Array* x = a.array()) {
    const plat::Array* y = b.array();
    if (!y || x->size() != y->size()) return false;
    for (size_t i = 0; i < x->size(); ++i)
      if (!same((*x)[i], (*y)[i], wholeSeconds)) return false;
    return true;
  }
  if (const plat::Dictionary* x = a.dictionary()) {
    const plat::Dictionary* y = b.dictionary();
    if (!y || x->size() != y->size()) return false;
    for (const auto& [key, item] : *x) {
      const plat::Value* other = y->find(key);
      if (!other || !same(item, *other, wholeSeconds)) return false;
    }
    return true;
  }
  if (a.type() == plat::Value::Type::Double && b.type() == plat::Value::Type::Double &&
      std::isnan(a.doubleValue()) && std::isnan(b.doubleValue()))
    return true;  // a stored NaN reads back as NaN
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::Data bytes(data, size);
  NSPropertyListSerialization::NSPropertyListFormat format{};
  plat::NSErrorRef error;
  plat::Value value = NSPropertyListSerialization::propertyListWithData(bytes, 0, &format, &error);
  FUZZ_CHECK(value.isNil() == (error != nullptr), "read result and error disagree");
  if (value.isNil()) return 0;
  (void)value.description();

  for (auto target : {NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0,
                      NSPropertyListSerialization::NSPropertyListBinaryFormat_v1_0}) {
    plat::NSErrorRef writeError;
    plat::Data written =
        NSPropertyListSerialization::dataWithPropertyList(value, target, 0, &writeError);
    // Some values read from the old text format or from foreign lists have no written form
    // here (documented: NUL in text, characters XML cannot hold, integers beyond 128 bits in
    // binary); the writer must say so.
    if (writeError) {
      FUZZ_CHECK(written.empty(), "a failed write returned bytes");
      FUZZ_CHECK(!NSPropertyListSerialization::propertyListIsValidForFormat(value, target),
                 "validity check and writer disagree");
      continue;
    }
    plat::NSErrorRef rereadError;
    plat::Value again =
        NSPropertyListSerialization::propertyListWithData(written, 0, nullptr, &rereadError);
    FUZZ_CHECK(same(value, again, target == NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0), value.description() + "\n--- read back as ---\n" +
                                   again.description() +
                                   (rereadError ? "\n" + rereadError->localizedDescription() : ""));
  }
  return 0;
}
