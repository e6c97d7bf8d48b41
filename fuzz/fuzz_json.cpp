// JSON read and write-back: whatever the reader accepts, the writer writes, and reading the
// written text gives the same value again. The fast document reader accepts nothing the
// fallback reader refuses and reads every value exactly as it does (same kinds, same key
// order).

#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/JSONDocument.h"
#include "platform/foundation/NSJSONSerialization.h"

using plat::NSJSONSerialization;

namespace {

// Equal and of the same kind all the way down, dictionaries in the same key order.
bool identical(const plat::Value& a, const plat::Value& b) {
  if (a.type() != b.type()) return false;
  if (auto x = a.array()) {
    const plat::Array& y = *b.array();
    if (x->size() != y.size()) return false;
    for (size_t i = 0; i < x->size(); ++i) {
      if (!identical((*x)[i], y[i])) return false;
    }
    return true;
  }
  if (auto x = a.dictionary()) {
    const plat::Dictionary& y = *b.dictionary();
    if (x->size() != y.size()) return false;
    for (auto i = x->begin(), j = y.begin(); i != x->end(); ++i, ++j) {
      if (i->first != j->first || !identical(i->second, j->second)) return false;
    }
    return true;
  }
  if (a.type() == plat::Value::Type::Double) {
    // Same bits: tells 0.0 from -0.0.
    double x = a.doubleValue(), y = b.doubleValue();
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  return a == b;
}

void checkFastReader(std::string_view text) {
  plat::JSONDocument document;
  if (!document.parse(text)) return;
  plat::Value fast = plat::JSONDocument::valueOf(document.root());
  std::string_view body = text;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  std::string message;
  plat::Value reference = plat::readJSONWithFallbackReader(body, &message);
  FUZZ_CHECK(!reference.isNil(), "accepted only by the fast reader: " + std::string(text));
  FUZZ_CHECK(identical(fast, reference), "read differently: " + std::string(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  const unsigned readOptions = choice & 0x7;
  std::string_view text = in.rest();
  checkFastReader(text);

  plat::NSErrorRef error;
  plat::Value value = NSJSONSerialization::JSONObjectWithString(text, readOptions, &error);
  FUZZ_CHECK(value.isNil() == (error != nullptr), std::string(text));
  if (value.isNil()) return 0;
  FUZZ_CHECK(text.find('\0') == std::string_view::npos, "read past a NUL: " + std::string(text));

  unsigned writeOptions = NSJSONSerialization::NSJSONWritingFragmentsAllowed;
  if (choice & 0x10) writeOptions |= NSJSONSerialization::NSJSONWritingPrettyPrinted;
  if (choice & 0x20) writeOptions |= NSJSONSerialization::NSJSONWritingSortedKeys;
  if (choice & 0x40) writeOptions |= NSJSONSerialization::NSJSONWritingWithoutEscapingSlashes;
  plat::NSErrorRef writeError;
  std::string written = NSJSONSerialization::stringWithJSONObject(value, writeOptions, &writeError);
  FUZZ_CHECK(!writeError, std::string(text));

  plat::Value again = NSJSONSerialization::JSONObjectWithString(
      written, NSJSONSerialization::NSJSONReadingFragmentsAllowed);
  FUZZ_CHECK(again == value, std::string(text) + "\n--- written as ---\n" + written);
  (void)value.description();
  return 0;
}
