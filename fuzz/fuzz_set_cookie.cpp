// "Set-Cookie" fields as the jar reads them: any text sets a well-formed cookie for the
// answering host or none, never a crash; the cookie goes out only where it belongs.

#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/network/NSHTTPCookieStorage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view field(reinterpret_cast<const char*>(data), size);
  auto cookie = plat::NSHTTPCookie::cookieWithSetCookieHeaderForURL(
      field, "https://www.example.co.uk/dir/page", 1796601600.0);
  if (!cookie) return 0;
  FUZZ_CHECK(!cookie->name().empty(), "a cookie without a name");
  FUZZ_CHECK(!cookie->path().empty() && cookie->path()[0] == '/', "a path not starting with '/'");
  const std::string& domain = cookie->domain();
  FUZZ_CHECK(
      domain == "www.example.co.uk" || domain == ".www.example.co.uk" || domain == ".example.co.uk",
      "a domain the host is not within, or a public suffix");
  (void)plat::NSHTTPCookie::requestHeaderValueWithCookies({cookie});
  return 0;
}
