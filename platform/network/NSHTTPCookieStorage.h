#pragma once
// plat::NSHTTPCookie and plat::NSHTTPCookieStorage: the process's cookie jar. URL sessions
// whose configuration sets cookies (HTTPShouldSetCookies, the default) and URL connections
// store the cookies of every response and send the matching ones with every request, for
// requests that handle cookies (NSURLRequest::HTTPShouldHandleCookies, the default). The jar
// reads "Set-Cookie" and matches cookies to requests as cookies are specified for HTTP (RFC
// 6265 sections 5.2 to 5.4); it lives in memory for the process.
//
// Thread-safety: the storage may be used from any thread; cookies are immutable.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Object.h"

namespace plat {

class NSHTTPCookie;
class NSHTTPCookieStorage;
using NSHTTPCookieRef = std::shared_ptr<NSHTTPCookie>;
using NSHTTPCookieStorageRef = std::shared_ptr<NSHTTPCookieStorage>;

class NSHTTPCookie : public Object {
 public:
  // The cookie a "Set-Cookie" field value sets when it arrives in the answer to `url` at
  // `now` (seconds since 1970), or null when the field is to be ignored: no '=' in its first
  // part, an empty name, a Domain the URL's host is not within (or a public suffix), or a URL
  // that is not http(s) with a usable host. The cookie's expiresDate is in the past when the
  // field deletes it (an Expires date before now, Max-Age 0 or less).
  static NSHTTPCookieRef cookieWithSetCookieHeaderForURL(std::string_view field,
                                                         const std::string& url, double now);
  // The "Cookie" field value that sends `cookies` ("a=1; b=2"), in their order.
  static std::string requestHeaderValueWithCookies(const std::vector<NSHTTPCookieRef>& cookies);

  // `domain` starting with "." also matches its subdomains; otherwise only that host.
  // `expiresDate` in seconds since 1970; none for a session cookie.
  NSHTTPCookie(std::string name, std::string value, std::string domain, std::string path = "/",
               std::optional<double> expiresDate = std::nullopt, bool secure = false,
               bool HTTPOnly = false);
  std::string className() const override { return "NSHTTPCookie"; }
  // "<NSHTTPCookie name:... value:... domain:... path:...>"
  std::string description() const override;

  const std::string& name() const { return name_; }
  const std::string& value() const { return value_; }
  const std::string& domain() const { return domain_; }
  const std::string& path() const { return path_; }
  const std::optional<double>& expiresDate() const { return expires_; }
  bool isSessionOnly() const { return !expires_; }
  bool isSecure() const { return secure_; }
  bool isHTTPOnly() const { return httpOnly_; }

 private:
  std::string name_, value_, domain_, path_;
  std::optional<double> expires_;
  bool secure_, httpOnly_;
};

class NSHTTPCookieStorage : public Object {
 public:
  // The one jar of the process (never destroyed).
  static NSHTTPCookieStorageRef sharedHTTPCookieStorage();
  std::string className() const override { return "NSHTTPCookieStorage"; }

  // Every cookie held (expired ones are gone), in the order they were first set.
  std::vector<NSHTTPCookieRef> cookies() const;
  // The cookies a request to `url` sends (domain, path and, for secure cookies, https or
  // this machine: "localhost", 127.0.0.1, ::1), longer paths first, then older ones first.
  // Empty for a text that is not an http(s) URL, or whose host holds anything but letters,
  // digits, '-', '.', '_' and ':' (a host that decodes to a NUL or '/' matches no cookie).
  std::vector<NSHTTPCookieRef> cookiesForURL(const std::string& url) const;
  // Adds the cookie, replacing one of the same name, domain and path (paths compare exactly:
  // "/p" and "/p/" are two cookies); a cookie whose expiresDate has passed only removes that
  // one. A cookie whose text holds a control character, or a name with '=' or ';', or a value
  // with ';', is ignored. The jar holds the cookie with its domain in the hosts' canonical
  // form (plat::canonicalHostName; a leading '.' kept), so "Bücher.Example." is held as
  // "xn--bcher-kva.example" and matches every form of that host; a cookie whose domain names
  // no host is not stored, and a line is logged.
  void setCookie(const NSHTTPCookieRef& cookie);
  // Stores what a "Set-Cookie" field of an answer from `url` sets (see
  // NSHTTPCookie::cookieWithSetCookieHeaderForURL), at the clock's current date.
  void setCookieFromSetCookieHeaderForURL(std::string_view field, const std::string& url);
  // Removes the cookie of the same name, domain (in any form of the host) and path, if held.
  void deleteCookie(const NSHTTPCookieRef& cookie);

  struct Impl;
  NSHTTPCookieStorage();
  ~NSHTTPCookieStorage() override;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace plat
