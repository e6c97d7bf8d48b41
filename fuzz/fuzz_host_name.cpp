// Host names and URLs mapped to the canonical host form: whatever maps, maps again to itself
// (one form, whichever way it was written), holds only what a host name may hold, and a URL
// keeps its scheme and everything after its host.

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/HostName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto host = plat::canonicalHostName(text)) {
    const std::string context = std::string(text) + " -> " + *host;
    FUZZ_CHECK(plat::canonicalHostName(*host) == host, context);
    FUZZ_CHECK(!host->empty(), context);
    if (host->find(':') == std::string::npos) {  // not an IPv6 address (its zone stays as written)
      FUZZ_CHECK(host->back() != '.', context);
      for (char c : *host) {
        FUZZ_CHECK(
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.',
            context);
      }
    }
  }

  if (auto url = plat::URLWithCanonicalHost(text)) {
    const std::string context = std::string(text) + " -> " + *url;
    FUZZ_CHECK(plat::URLWithCanonicalHost(*url) == url, context);
    const size_t authority = text.find("://");
    if (authority != std::string_view::npos) {
      FUZZ_CHECK(url->compare(0, authority + 3, text.substr(0, authority + 3)) == 0, context);
    }
    const size_t tail =
        text.find_first_of("/?#", authority == std::string_view::npos ? 0 : authority + 3);
    if (tail != std::string_view::npos && authority != std::string_view::npos) {
      const std::string_view rest = text.substr(tail);
      FUZZ_CHECK(url->size() >= rest.size() &&
                     url->compare(url->size() - rest.size(), rest.size(), rest) == 0,
                 context);
    }
  }
  return 0;
}
