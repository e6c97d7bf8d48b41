// The date reader: any text reads as a date in range or as none, in both its forms, never a
// crash.

#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/network/HTTPDate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto http = plat::HTTPDate::parse(text, 1796601600.0);
  if (http) FUZZ_CHECK(*http > -62200000000 && *http < 253403000000, "a date outside 0-9999");
  auto cookie = plat::HTTPDate::parseCookieDate(text);
  if (cookie) FUZZ_CHECK(*cookie >= -11676096000, "a cookie date before 1601");
  return 0;
}
