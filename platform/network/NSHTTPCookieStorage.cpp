// The cookie jar over a libcurl share handle: every transfer that handles cookies is attached
// to the share, and the storage reads and writes the jar through an easy handle of its own.

#include "platform/network/NSHTTPCookieStorage.h"

#include <curl/curl.h>
#include <strings.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/foundation/NSURL.h"

namespace plat {

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

struct NSHTTPCookieStorage::Impl {
  CURLSH* share = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];
  mutable std::mutex probeMu;  // guards probe
  CURL* probe = nullptr;       // attached to the share, for reading and writing the jar

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Impl*>(user)->locks[data].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Impl*>(user)->locks[data].unlock();
  }

  // The jar's cookies. REQUIRES: probeMu held.
  std::vector<NSHTTPCookieRef> readLocked() const {
    std::vector<NSHTTPCookieRef> out;
    curl_slist* list = nullptr;
    if (curl_easy_getinfo(probe, CURLINFO_COOKIELIST, &list) != CURLE_OK) return out;
    const long long now = static_cast<long long>(std::time(nullptr));
    for (curl_slist* item = list; item; item = item->next) {
      // domain, subdomains, path, secure, expires, name, value (tab-separated)
      std::vector<std::string> f;
      std::string line = item->data;
      size_t start = 0;
      for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        f.push_back(line.substr(start, tab - start));
      }
      f.push_back(line.substr(start));
      if (f.size() < 7) continue;
      bool httpOnly = false;
      constexpr std::string_view kHTTPOnly = "#HttpOnly_";
      if (f[0].rfind(kHTTPOnly, 0) == 0) {
        httpOnly = true;
        f[0] = f[0].substr(kHTTPOnly.size());
      }
      long long expires = std::atoll(f[4].c_str());
      if (expires != 0 && expires <= now) continue;
      std::optional<double> date;
      if (expires != 0) date = static_cast<double>(expires);
      out.push_back(std::make_shared<NSHTTPCookie>(f[5], f[6], f[0], f[2], date, f[3] == "TRUE",
                                                   httpOnly));
    }
    curl_slist_free_all(list);
    return out;
  }

  // Writes `cookie` into the jar (`expires` overrides its date: 1 removes it). REQUIRES:
  // probeMu held.
  void writeLocked(const NSHTTPCookie& c, std::optional<long long> expires = std::nullopt) {
    long long when = expires ? *expires
                             : (c.expiresDate() ? static_cast<long long>(*c.expiresDate()) : 0);
    if (when < 0) when = 1;
    std::string line = std::string(c.isHTTPOnly() ? "#HttpOnly_" : "") + c.domain() + "\t" +
                       (!c.domain().empty() && c.domain()[0] == '.' ? "TRUE" : "FALSE") + "\t" +
                       c.path() + "\t" + (c.isSecure() ? "TRUE" : "FALSE") + "\t" +
                       std::to_string(when) + "\t" + c.name() + "\t" + c.value();
    curl_easy_setopt(probe, CURLOPT_COOKIELIST, line.c_str());
  }
};

namespace {

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
         c.value().find(';') == std::string::npos && c.domain().find('#') != 0;
}

bool sameCookie(const NSHTTPCookie& a, const NSHTTPCookie& b) {
  return a.name() == b.name() && a.path() == b.path() &&
         strcasecmp(a.domain().c_str(), b.domain().c_str()) == 0;
}

}  // namespace

NSHTTPCookieStorage::NSHTTPCookieStorage() : impl_(std::make_unique<Impl>()) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  impl_->share = curl_share_init();
  curl_share_setopt(impl_->share, CURLSHOPT_LOCKFUNC, &Impl::lock);
  curl_share_setopt(impl_->share, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
  curl_share_setopt(impl_->share, CURLSHOPT_USERDATA, impl_.get());
  curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  impl_->probe = curl_easy_init();
  curl_easy_setopt(impl_->probe, CURLOPT_SHARE, impl_->share);
}

NSHTTPCookieStorage::~NSHTTPCookieStorage() {
  curl_easy_cleanup(impl_->probe);
  curl_share_cleanup(impl_->share);
}

NSHTTPCookieStorageRef NSHTTPCookieStorage::sharedHTTPCookieStorage() {
  // Never destroyed: transfers may use the jar while the process exits.
  static auto* shared = new NSHTTPCookieStorageRef(std::make_shared<NSHTTPCookieStorage>());
  return *shared;
}

void* NSHTTPCookieStorage::curlShare() const { return impl_->share; }

std::vector<NSHTTPCookieRef> NSHTTPCookieStorage::cookies() const {
  std::lock_guard<std::mutex> lock(impl_->probeMu);
  return impl_->readLocked();
}

std::vector<NSHTTPCookieRef> NSHTTPCookieStorage::cookiesForURL(const std::string& url) const {
  std::vector<NSHTTPCookieRef> out;
  auto parsed = NSURL::URLWithString(url);
  if (!parsed) return out;
  std::string scheme = parsed->scheme(), host = parsed->host();
  for (auto& ch : scheme) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  for (auto& ch : host) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if ((scheme != "http" && scheme != "https") || host.empty()) return out;
  std::string path = parsed->percentEncodedPath().empty() ? "/" : parsed->percentEncodedPath();
  // As the transfers send them: secure cookies over https, and to this machine over http too.
  const bool secureContext = scheme == "https" || host == "localhost" || host == "127.0.0.1" ||
                             host == "[::1]" || host == "::1";
  for (auto& c : cookies()) {
    std::string domain = c->domain();
    for (auto& ch : domain) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    bool domainOK;
    if (!domain.empty() && domain[0] == '.') {
      std::string bare = domain.substr(1);
      domainOK = host == bare || (host.size() > domain.size() &&
                                  host.compare(host.size() - domain.size(), domain.size(),
                                               domain) == 0);
    } else {
      domainOK = host == domain;
    }
    const std::string& cp = c->path();
    bool pathOK = cp.empty() || path == cp || (path.rfind(cp, 0) == 0 &&
                                 (cp.back() == '/' || path[cp.size()] == '/'));
    if (domainOK && pathOK && (!c->isSecure() || secureContext)) out.push_back(c);
  }
  return out;
}

void NSHTTPCookieStorage::setCookie(const NSHTTPCookieRef& cookie) {
  if (!cookie || !usable(*cookie)) return;
  std::lock_guard<std::mutex> lock(impl_->probeMu);
  impl_->writeLocked(*cookie);
}

void NSHTTPCookieStorage::deleteCookie(const NSHTTPCookieRef& cookie) {
  if (!cookie || !usable(*cookie)) return;
  std::lock_guard<std::mutex> lock(impl_->probeMu);
  for (auto& held : impl_->readLocked()) {
    // Replaced by an expired copy, which the jar drops.
    if (sameCookie(*held, *cookie)) impl_->writeLocked(*held, 1);
  }
}

}  // namespace plat
