// JSON read and write-back: whatever the reader accepts, the writer writes, and reading the
// written text gives the same value again.

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NSJSONSerialization.h"

using plat::NSJSONSerialization;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  const unsigned readOptions = choice & 0x7;
  std::string_view text = in.rest();

  plat::NSErrorRef error;
  plat::Value value = NSJSONSerialization::JSONObjectWithString(text, readOptions, &error);
  FUZZ_CHECK(value.isNil() == (error != nullptr), std::string(text));
  if (value.isNil()) return 0;

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
