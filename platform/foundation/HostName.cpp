#include "platform/foundation/HostName.h"

#include <arpa/inet.h>
#include <unicode/uidna.h>

#include <algorithm>
#include <cstdint>

#include "platform/foundation/NSURL.h"

namespace plat {

namespace {

// The UTS #46 mapper names are looked up with, made once for the process and never freed
// (an instance is immutable and may be used from any thread).
const UIDNA* uts46() {
  static const UIDNA* idna = [] {
    UErrorCode status = U_ZERO_ERROR;
    UIDNA* made = uidna_openUTS46(
        UIDNA_NONTRANSITIONAL_TO_ASCII | UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ, &status);
    return U_SUCCESS(status) ? made : nullptr;
  }();
  return idna;
}

// `name` (UTF-8 with some non-ASCII) mapped to A-labels; std::nullopt when the mapping finds
// an error. A name too long for DNS is left to the lookup to fail, as an ASCII one is.
std::optional<std::string> toASCII(std::string_view name) {
  const UIDNA* idna = uts46();
  if (!idna || name.size() > INT32_MAX / 4) return std::nullopt;
  std::string out(name.size() * 2 + 64, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    int32_t length =
        uidna_nameToASCII_UTF8(idna, name.data(), static_cast<int32_t>(name.size()), out.data(),
                               static_cast<int32_t>(out.size()), &info, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && attempt == 0) {
      out.assign(static_cast<size_t>(length), '\0');
      continue;
    }
    const uint32_t tolerated = UIDNA_ERROR_LABEL_TOO_LONG | UIDNA_ERROR_DOMAIN_NAME_TOO_LONG;
    if (U_FAILURE(status) || (info.errors & ~tolerated) != 0) return std::nullopt;
    out.resize(static_cast<size_t>(length));
    return out;
  }
  return std::nullopt;
}

// An IPv4 address in any form inet_aton takes ("127.1", "0x7f.1", "2130706433"), as dotted
// decimal; std::nullopt for anything else (a DNS name).
std::optional<std::string> dottedIPv4(const std::string& name) {
  if (name.empty() || name[0] < '0' || name[0] > '9') return std::nullopt;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == 'x' || c == '.')) {
      return std::nullopt;
    }
  }
  in_addr address{};
  char text[INET_ADDRSTRLEN];
  if (inet_aton(name.c_str(), &address) == 0 || !inet_ntop(AF_INET, &address, text, sizeof text)) {
    return std::nullopt;
  }
  return std::string(text);
}

// An IPv6 address (with an optional zone id after '%') in its shortest text, lower case.
std::optional<std::string> shortIPv6(std::string_view host) {
  const size_t percent = host.find('%');
  const std::string address(host.substr(0, percent));
  in6_addr bytes{};
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET6, address.c_str(), &bytes) != 1 ||
      !inet_ntop(AF_INET6, &bytes, text, sizeof text)) {
    return std::nullopt;
  }
  std::string out(text);
  if (percent != std::string_view::npos) {
    // Written into URLs as it stands: unreserved characters only (RFC 6874).
    std::string_view zone = host.substr(percent + 1);
    if (zone.empty() || !std::all_of(zone.begin(), zone.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~';
        })) {
      return std::nullopt;
    }
    out += '%';
    out += zone;
  }
  return out;
}

}  // namespace

std::optional<std::string> canonicalHostName(std::string_view host) {
  if (host.find(':') != std::string_view::npos) return shortIPv6(host);
  bool ascii = true;
  for (unsigned char c : host) ascii = ascii && c < 0x80;
  std::string name;
  if (ascii) {
    name.assign(host);
    for (char& c : name) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  } else {
    auto mapped = toASCII(host);
    if (!mapped) return std::nullopt;
    name = std::move(*mapped);
  }
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.front() == '.' || name.back() == '.' ||
      name.find("..") != std::string::npos) {
    return std::nullopt;
  }
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.')) {
      return std::nullopt;
    }
  }
  if (auto address = dottedIPv4(name)) return address;
  return name;
}

std::optional<std::string> URLWithCanonicalHost(std::string_view url) {
  // The scheme, then "//": otherwise there is no authority to change.
  size_t colon = 0;
  while (colon < url.size() && url[colon] != ':') {
    const char c = url[colon];
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!(alpha || (colon > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))) {
      return std::string(url);
    }
    ++colon;
  }
  if (colon == 0 || url.compare(colon, 3, "://") != 0) return std::string(url);
  const size_t authority = colon + 3;
  size_t end = url.find_first_of("/?#", authority);
  if (end == std::string_view::npos) end = url.size();
  size_t hostStart = authority;
  const size_t at = url.find('@', authority);
  if (at < end) {
    if (url.find('@', at + 1) < end) return std::nullopt;
    hostStart = at + 1;
  }
  size_t hostEnd;
  std::string canonical;
  if (hostStart < end && url[hostStart] == '[') {
    const size_t close = url.find(']', hostStart);
    if (close >= end || (close + 1 < end && url[close + 1] != ':')) return std::nullopt;
    hostEnd = close + 1;
    auto decoded = removingPercentEncoding(url.substr(hostStart + 1, close - hostStart - 1));
    auto address = decoded ? canonicalHostName(*decoded) : std::nullopt;
    if (!address || address->find(':') == std::string::npos) return std::nullopt;
    canonical = "[";
    for (char c : *address) canonical += c == '%' ? std::string("%25") : std::string(1, c);
    canonical += ']';
  } else {
    hostEnd = std::min(url.find(':', hostStart), end);
    if (hostEnd == hostStart) return std::string(url);
    auto decoded = removingPercentEncoding(url.substr(hostStart, hostEnd - hostStart));
    auto name = decoded ? canonicalHostName(*decoded) : std::nullopt;
    if (!name || name->find(':') != std::string::npos) return std::nullopt;
    canonical = std::move(*name);
  }
  if (url.substr(hostStart, hostEnd - hostStart) == canonical) return std::string(url);
  std::string out;
  out.reserve(url.size() + canonical.size());
  out.append(url.substr(0, hostStart)).append(canonical).append(url.substr(hostEnd));
  return out;
}

}  // namespace plat
