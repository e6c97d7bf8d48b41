// URL parsing and resolution: a base and a reference (one per line). Whatever parses has an
// absolute text that parses again to the same parts; a relative reference resolved against
// a base keeps the base's scheme and authority (a path never turns into a host); and
// percent-encoding round-trips.

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NSURL.h"

using plat::NSURL;
using plat::NSURLRef;

namespace {

void touch(const NSURLRef& url) {
  (void)url->scheme();
  (void)url->resourceSpecifier();
  (void)url->host();
  (void)url->port();
  (void)url->user();
  (void)url->password();
  (void)url->path();
  (void)url->lastPathComponent();
  (void)url->pathExtension();
  (void)url->pathComponents();
  (void)url->description();
  (void)url->isFileURL();
  if (auto u = url->URLByAppendingPathComponent("x y")) (void)u->absoluteString();
  if (auto u = url->URLByDeletingLastPathComponent()) (void)u->absoluteString();
  if (auto u = url->URLByAppendingPathExtension("e")) (void)u->absoluteString();
  if (auto u = url->URLByDeletingPathExtension()) (void)u->absoluteString();
}

// The absolute text of a parsed URL is itself a URL with the same parts.
void checkReparses(const NSURLRef& url, const std::string& context) {
  auto again = NSURL::URLWithString(url->absoluteString());
  if (url->absoluteString().empty()) return;  // an empty relative reference
  FUZZ_CHECK(again, context + " -> " + url->absoluteString());
  FUZZ_CHECK(again->scheme() == url->scheme() && again->host() == url->host() &&
                 again->percentEncodedPath() == url->percentEncodedPath() &&
                 again->query() == url->query() && again->fragment() == url->fragment(),
             context + " -> " + url->absoluteString());
}

bool hasSchemeOrAuthority(std::string_view ref) {
  if (ref.substr(0, 2) == "//") return true;
  size_t stop = ref.find_first_of(":/?#");
  if (stop == std::string_view::npos || ref[stop] != ':' || stop == 0) return false;
  // RFC 3986 scheme: a letter, then letters, digits, "+", "-", ".".
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!alpha(ref[0])) return false;
  for (char c : ref.substr(0, stop))
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  std::string base(in.field());
  std::string ref(in.rest());

  NSURLRef baseURL = NSURL::URLWithString(base);
  NSURLRef refURL = NSURL::URLWithString(ref);
  if (baseURL) {
    touch(baseURL);
    checkReparses(baseURL, base);
  }
  if (refURL) touch(refURL);

  if (baseURL) {
    NSURLRef resolved = NSURL::URLWithStringRelativeToURL(ref, baseURL);
    const std::string context = "'" + ref + "' against '" + base + "'";
    // Every valid reference resolves against a valid base.
    // Every valid reference resolves against a valid base (an empty one means the base).
    if (!ref.empty()) FUZZ_CHECK(!refURL == !resolved, context);
    if (resolved) {
      touch(resolved);
      (void)resolved->absoluteURL();
      checkReparses(resolved, context);
      if (!hasSchemeOrAuthority(ref)) {
        auto absoluteBase = baseURL->absoluteURL();
        FUZZ_CHECK(resolved->scheme() == absoluteBase->scheme(), context);
        FUZZ_CHECK(resolved->host() == absoluteBase->host() &&
                       resolved->port() == absoluteBase->port(),
                   context + " -> " + resolved->absoluteString());
      }
      // Resolving against the resolved URL works too (it has a base of its own).
      (void)NSURL::URLWithStringRelativeToURL("a/../b", resolved);
    }
  }

  // Percent-encoding: what is encoded decodes to the same bytes when they are UTF-8.
  for (const auto& set : {plat::URLCharacterSet::URLQueryAllowedCharacterSet(),
                          plat::URLCharacterSet::URLPathAllowedCharacterSet(),
                          plat::URLCharacterSet::URLUserAllowedCharacterSet()}) {
    std::string encoded = plat::addingPercentEncoding(ref, set);
    auto decoded = plat::removingPercentEncoding(encoded);
    if (decoded) FUZZ_CHECK(*decoded == ref, ref);
  }
  (void)plat::removingPercentEncoding(ref);
  return 0;
}
