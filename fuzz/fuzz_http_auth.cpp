// "WWW-Authenticate" values from a server: the engine reads any header into at most 32
// challenges of at most 32 parameters, and any chosen challenge yields a one-line answer,
// never a crash.

#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/network/HTTPAuthentication.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string header(reinterpret_cast<const char*>(data), size);
  auto challenges = plat::detail::parseAuthenticateHeader(header);
  FUZZ_CHECK(challenges.size() <= 32, header);
  for (const auto& c : challenges) FUZZ_CHECK(c.params.size() <= 32 && !c.scheme.empty(), header);
  if (auto chosen = plat::detail::chooseAuthChallenge(challenges)) {
    std::string answer = plat::detail::isDigest(*chosen)
                             ? plat::detail::digestAuthorization(*chosen, "GET", "/p?q", "u\"",
                                                                 "p", 1, "c")
                             : plat::detail::basicAuthorization("u", "p");
    FUZZ_CHECK(answer.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, header);
  }
  return 0;
}
