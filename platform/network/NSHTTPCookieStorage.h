#pragma once
// plat::NSHTTPCookie and plat::NSHTTPCookieStorage: the process's cookie jar. URL sessions
// whose configuration sets cookies (HTTPShouldSetCookies, the default) and URL connections
// store the cookies of every response and send the matching ones with every request, for
// requests that handle cookies (NSURLRequest::HTTPShouldHandleCookies, the default). The jar
// is libcurl's cookie engine, shared by every transfer; it lives in memory for the process.
//
// Thread-safety: the storage may be used from any thread; cookies are immutable.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace plat {

class NSHTTPCookie;
class NSHTTPCookieStorage;
using NSHTTPCookieRef = std::shared_ptr<NSHTTPCookie>;
using NSHTTPCookieStorageRef = std::shared_ptr<NSHTTPCookieStorage>;

class NSHTTPCookie : public Object {
 public:
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

  // Every cookie held (expired ones are gone), in the jar's order.
  std::vector<NSHTTPCookieRef> cookies() const;
  // The cookies a request to `url` sends (domain, path and, for secure cookies, https or
  // this machine: "localhost", 127.0.0.1, ::1).
  // Empty for a text that is not an http(s) URL.
  std::vector<NSHTTPCookieRef> cookiesForURL(const std::string& url) const;
  // Adds the cookie, replacing one of the same name, domain and path. A cookie whose text
  // holds a control character, or a name with '=' or ';', or a value with ';', is ignored.
  void setCookie(const NSHTTPCookieRef& cookie);
  // Removes the cookie of the same name, domain and path, if held.
  void deleteCookie(const NSHTTPCookieRef& cookie);

  // Internal: the libcurl share handle holding the jar (a CURLSH*).
  void* curlShare() const;

  struct Impl;
  NSHTTPCookieStorage();
  ~NSHTTPCookieStorage() override;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace plat
