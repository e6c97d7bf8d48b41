// The cookie jar: cookies in memory, read from "Set-Cookie" and matched to requests by the
// rules of RFC 6265 (5.2 parsing, 5.3 storage, 5.4 retrieval), public suffixes by libpsl.

#include "platform/network/NSHTTPCookieStorage.h"

#include <libpsl.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/HostName.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/HTTPDate.h"

namespace plat {

namespace {

// Bounds on what one server can make the jar hold.
constexpr size_t kMaxNameAndValue = 4096;
constexpr size_t kMaxCookies = 3000;
constexpr size_t kMaxCookiesPerSite = 180;
constexpr double kLatestDate = 253402300799.0;  // 9999-12-31 23:59:59

double nowSince1970() { return Clock::current()->date().timeIntervalSince1970(); }

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool isIPAddress(const std::string& host) {
  return host.find(':') != std::string::npos || std::all_of(host.begin(), host.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == '.';
         });
}

// RFC 6265 5.1.3: the host is the domain, or a name under it (never an IP address).
bool domainMatches(const std::string& host, const std::string& domain) {
  if (host == domain) return true;
  return host.size() > domain.size() && !isIPAddress(host) &&
         host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}

// RFC 6265 5.1.4.
bool pathMatches(const std::string& requestPath, const std::string& cookiePath) {
  if (requestPath == cookiePath) return true;
  return requestPath.rfind(cookiePath, 0) == 0 &&
         (cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/');
}

std::string defaultPath(const std::string& uriPath) {
  if (uriPath.empty() || uriPath[0] != '/') return "/";
  const size_t last = uriPath.rfind('/');
  return last == 0 ? "/" : uriPath.substr(0, last);
}

// What cookies need of a request URL: its host in canonical form (as the connection reaches
// it), its path as sent and whether it is https. nullopt for other schemes and for hosts that
// are not plain names or addresses (a percent-decoded NUL or '/' must not read as part of a
// name).
struct Target {
  std::string host;
  std::string path;
  bool https;
};
std::optional<Target> targetOf(const std::string& url) {
  const std::optional<std::string> canonical = URLWithCanonicalHost(url);
  auto parsed = canonical ? NSURL::URLWithString(*canonical) : nullptr;
  if (!parsed) return std::nullopt;
  const std::string scheme = lower(parsed->scheme());
  std::string host = parsed->host();
  if ((scheme != "http" && scheme != "https") || host.empty()) return std::nullopt;
  for (unsigned char c : host) {
    if (!std::isalnum(c) && c != '-' && c != '.' && c != '_' && c != ':') return std::nullopt;
  }
  const std::string& path = parsed->percentEncodedPath();
  return Target{std::move(host), path.empty() ? "/" : path, scheme == "https"};
}

// A cookie's domain in the hosts' canonical form (see canonicalHostName), its leading '.' (the
// domain and the names under it) kept: "Bücher.Example." -> "xn--bcher-kva.example",
// ".Bücher.Example" -> ".xn--bcher-kva.example". Every domain that enters the jar or is looked
// up in it goes through here, so it compares with requests' hosts (targetOf) as they are
// reached. nullopt for a domain that names no host.
std::optional<std::string> cookieDomainInHostForm(std::string_view domain) {
  const bool withSubdomains = !domain.empty() && domain.front() == '.';
  if (withSubdomains) domain.remove_prefix(1);
  std::optional<std::string> host = canonicalHostName(domain);
  if (host && withSubdomains) host->insert(0, 1, '.');
  return host;
}

// `cookie` with its domain in the hosts' form (itself when it already is); null when the
// domain names no host.
NSHTTPCookieRef inHostForm(const NSHTTPCookieRef& cookie) {
  const std::optional<std::string> domain = cookieDomainInHostForm(cookie->domain());
  if (!domain) return nullptr;
  if (*domain == cookie->domain()) return cookie;
  return std::make_shared<NSHTTPCookie>(cookie->name(), cookie->value(), *domain, cookie->path(),
                                        cookie->expiresDate(), cookie->isSecure(),
                                        cookie->isHTTPOnly());
}

// Whether a Domain attribute is one a cookie may be set for from `host` (not a public suffix
// such as "com" or "co.uk"); libpsl's rule, as the jar had when libcurl kept it.
const psl_ctx_t* publicSuffixes() {
  static const psl_ctx_t* psl = psl_latest(nullptr);  // process-wide, never freed
  return psl;
}

bool acceptableDomain(const std::string& host, const std::string& domain) {
  const psl_ctx_t* psl = publicSuffixes();
  if (!psl) return domainMatches(host, domain) && domain.find('.') != std::string::npos;
  return psl_is_cookie_domain_acceptable(psl, host.c_str(), domain.c_str()) != 0;
}

// Whether a Domain attribute equal to the request's host keeps the cookie to that host alone
// (RFC 6265 section 5.3 step 5): the host is an address or a public suffix.
bool staysHostOnly(const std::string& host) {
  if (isIPAddress(host)) return true;
  const psl_ctx_t* psl = publicSuffixes();
  return psl ? psl_is_public_suffix(psl, host.c_str()) != 0 : host.find('.') == std::string::npos;
}

// The site a cookie belongs to, for the jar's bounds: its registrable domain (the domain itself
// where it has none), lower case, so one server's subdomains share one bound.
std::string siteOf(const NSHTTPCookie& cookie) {
  std::string domain = lower(cookie.domain());
  if (!domain.empty() && domain[0] == '.') domain.erase(0, 1);
  const psl_ctx_t* psl = publicSuffixes();
  const char* registrable = psl ? psl_registrable_domain(psl, domain.c_str()) : nullptr;
  return registrable ? std::string(registrable) : domain;
}

// Whether a cookie's domain is `site` (lower case) or a name under it, in any case; without
// copying, as the jar's bound asks it of every cookie held.
bool inSite(const NSHTTPCookie& cookie, const std::string& site) {
  std::string_view domain = cookie.domain();
  if (!domain.empty() && domain[0] == '.') domain.remove_prefix(1);
  if (domain.size() < site.size()) return false;
  const size_t at = domain.size() - site.size();
  if (at > 0 && domain[at - 1] != '.') return false;
  for (size_t i = 0; i < site.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(domain[at + i])) != site[i]) return false;
  }
  return true;
}

bool hasControl(const std::string& text) {
  for (unsigned char ch : text) {
    if (ch < 0x20 || ch == 0x7f) return true;
  }
  return false;
}

bool usable(const NSHTTPCookie& c) {
  return !c.name().empty() && !c.domain().empty() && !hasControl(c.name()) &&
         !hasControl(c.value()) && !hasControl(c.domain()) && !hasControl(c.path()) &&
         c.name().find_first_of("=;") == std::string::npos &&
         c.value().find(';') == std::string::npos && c.domain().find('#') != 0 &&
         c.name().size() + c.value().size() <= kMaxNameAndValue;
}

bool sameCookie(const NSHTTPCookie& a, const NSHTTPCookie& b) {
  return a.name() == b.name() && a.path() == b.path() &&
         strcasecmp(a.domain().c_str(), b.domain().c_str()) == 0;
}

bool expired(const NSHTTPCookie& c, double now) {
  return c.expiresDate() && *c.expiresDate() <= now;
}

}  // namespace

NSHTTPCookie::NSHTTPCookie(std::string name, std::string value, std::string domain,
                           std::string path, std::optional<double> expiresDate, bool secure,
                           bool HTTPOnly)
    : name_(std::move(name)),
      value_(std::move(value)),
      domain_(std::move(domain)),
      path_(path.empty() ? "/" : std::move(path)),
      expires_(expiresDate),
      secure_(secure),
      httpOnly_(HTTPOnly) {}

std::string NSHTTPCookie::description() const {
  return "<NSHTTPCookie name:" + name_ + " value:" + value_ + " domain:" + domain_ +
         " path:" + path_ + ">";
}

NSHTTPCookieRef NSHTTPCookie::cookieWithSetCookieHeaderForURL(std::string_view field,
                                                              const std::string& url, double now) {
  auto target = targetOf(url);
  if (!target) return nullptr;
  const size_t semi = field.find(';');
  const std::string_view pair = field.substr(0, semi);
  const size_t eq = pair.find('=');
  if (eq == std::string_view::npos) return nullptr;
  std::string name(trimmed(pair.substr(0, eq)));
  std::string value(trimmed(pair.substr(eq + 1)));
  if (name.empty()) return nullptr;

  // The attributes; the last of each name counts.
  std::optional<double> expires, maxAge;
  std::optional<std::string> domain, path;
  bool secure = false, httpOnly = false;
  std::string_view rest =
      semi == std::string_view::npos ? std::string_view() : field.substr(semi + 1);
  while (!rest.empty()) {
    const size_t next = rest.find(';');
    const std::string_view av = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    const size_t avEq = av.find('=');
    const std::string attribute = lower(trimmed(av.substr(0, avEq)));
    const std::string_view v =
        avEq == std::string_view::npos ? std::string_view() : trimmed(av.substr(avEq + 1));
    if (attribute == "expires") {
      if (auto date = HTTPDate::parseCookieDate(v)) expires = static_cast<double>(*date);
    } else if (attribute == "max-age") {
      const bool negative = !v.empty() && v[0] == '-';
      const std::string_view digits = v.substr(negative ? 1 : 0);
      if (digits.empty() ||
          !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        continue;
      }
      double delta = 0;
      for (char c : digits) delta = std::min(delta * 10 + (c - '0'), kLatestDate);
      maxAge = negative || delta == 0 ? 0.0 : std::min(now + delta, kLatestDate);
    } else if (attribute == "domain") {
      std::string_view d = v;
      if (!d.empty() && d[0] == '.') d.remove_prefix(1);
      // In the hosts' form; one that cannot be mapped, or ends in a dot, matches no host.
      if (!d.empty()) {
        auto canonical = d.back() == '.' ? std::nullopt : cookieDomainInHostForm(d);
        domain = canonical ? *canonical : lower(d);
      }
    } else if (attribute == "path") {
      path = !v.empty() && v[0] == '/' ? std::string(v) : defaultPath(target->path);
    } else if (attribute == "secure") {
      secure = true;
    } else if (attribute == "httponly") {
      httpOnly = true;
    }
  }

  std::string cookieDomain = target->host;  // host-only unless a Domain widens it
  if (domain && (*domain != target->host || !staysHostOnly(target->host))) {
    if (!domainMatches(target->host, *domain) || !acceptableDomain(target->host, *domain)) {
      return nullptr;
    }
    cookieDomain = "." + *domain;
  }
  return std::make_shared<NSHTTPCookie>(std::move(name), std::move(value), std::move(cookieDomain),
                                        path.value_or(defaultPath(target->path)),
                                        maxAge ? maxAge : expires, secure, httpOnly);
}

std::string NSHTTPCookie::requestHeaderValueWithCookies(
    const std::vector<NSHTTPCookieRef>& cookies) {
  std::string out;
  for (const auto& c : cookies) {
    if (!out.empty()) out += "; ";
    out += c->name() + "=" + c->value();
  }
  return out;
}

struct NSHTTPCookieStorage::Impl {
  mutable std::mutex mu;
  mutable std::vector<NSHTTPCookieRef> held;  // in the order first set; guarded by mu

  // Drops the expired cookies. REQUIRES: mu held.
  void purgeLocked(double now) const {
    held.erase(std::remove_if(held.begin(), held.end(),
                              [&](const NSHTTPCookieRef& c) { return expired(*c, now); }),
               held.end());
  }
};

NSHTTPCookieStorage::NSHTTPCookieStorage() : impl_(std::make_unique<Impl>()) {}

NSHTTPCookieStorage::~NSHTTPCookieStorage() = default;

NSHTTPCookieStorageRef NSHTTPCookieStorage::sharedHTTPCookieStorage() {
  // Never destroyed: transfers may use the jar while the process exits.
  static auto* shared = new NSHTTPCookieStorageRef(std::make_shared<NSHTTPCookieStorage>());
  return *shared;
}

std::vector<NSHTTPCookieRef> NSHTTPCookieStorage::cookies() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->purgeLocked(nowSince1970());
  return impl_->held;
}

std::vector<NSHTTPCookieRef> NSHTTPCookieStorage::cookiesForURL(const std::string& url) const {
  std::vector<NSHTTPCookieRef> out;
  auto target = targetOf(url);
  if (!target) return out;
  // As the transfers send them: secure cookies over https, and to this machine over http too.
  const std::string& host = target->host;
  const bool secureContext =
      target->https || host == "localhost" || host == "127.0.0.1" || host == "::1";
  for (auto& c : cookies()) {
    const std::string domain = lower(c->domain());
    const bool domainOK = !domain.empty() && domain[0] == '.'
                              ? domainMatches(host, domain.substr(1))
                              : host == domain;
    if (domainOK && pathMatches(target->path, c->path()) && (!c->isSecure() || secureContext)) {
      out.push_back(c);
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const NSHTTPCookieRef& a, const NSHTTPCookieRef& b) {
    return a->path().size() > b->path().size();
  });
  return out;
}

void NSHTTPCookieStorage::setCookie(const NSHTTPCookieRef& given) {
  if (!given || !usable(*given)) return;
  const NSHTTPCookieRef cookie = inHostForm(given);
  if (!cookie) {
    NSLog("Cookie \"%s\" not stored: its domain \"%s\" names no host", given->name(),
          given->domain());
    return;
  }
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto& held = impl_->held;
  auto it = std::find_if(held.begin(), held.end(),
                         [&](const NSHTTPCookieRef& c) { return sameCookie(*c, *cookie); });
  if (expired(*cookie, nowSince1970())) {
    if (it != held.end()) held.erase(it);
    return;
  }
  if (it != held.end()) {
    *it = cookie;  // keeps its place: the first one's creation orders it
    return;
  }
  held.push_back(cookie);
  // Past a bound (RFC 6265 5.3 step 12): the oldest cookie of a site holding too many goes
  // first, so one site cannot push the others out; then expired ones; then the oldest.
  if (held.size() > kMaxCookiesPerSite) {
    const std::string site = siteOf(*cookie);
    auto first = held.end();
    size_t ofSite = 0;
    for (auto c = held.begin(); c != held.end(); ++c) {
      if (!inSite(**c, site)) continue;
      if (ofSite++ == 0) first = c;
    }
    if (ofSite > kMaxCookiesPerSite) held.erase(first);
  }
  if (held.size() > kMaxCookies) impl_->purgeLocked(nowSince1970());
  if (held.size() > kMaxCookies) held.erase(held.begin());
}

void NSHTTPCookieStorage::setCookieFromSetCookieHeaderForURL(std::string_view field,
                                                             const std::string& url) {
  setCookie(NSHTTPCookie::cookieWithSetCookieHeaderForURL(field, url, nowSince1970()));
}

void NSHTTPCookieStorage::deleteCookie(const NSHTTPCookieRef& given) {
  const NSHTTPCookieRef cookie = given ? inHostForm(given) : nullptr;
  if (!cookie) return;  // no cookie held has a domain that names no host
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto& held = impl_->held;
  held.erase(std::remove_if(held.begin(), held.end(),
                            [&](const NSHTTPCookieRef& c) { return sameCookie(*c, *cookie); }),
             held.end());
}

}  // namespace plat
