#include "platform/device/URLOpener.h"

#include <cctype>

#include "platform/dispatch/Dispatch.h"

namespace plat {

URLOpener& URLOpener::shared() {
  static URLOpener* const opener = new URLOpener();
  return *opener;
}

std::string URLOpener::schemeOf(const std::string& url) {
  if (url.empty() || !std::isalpha(static_cast<unsigned char>(url[0]))) return {};
  std::string scheme;
  for (char c : url) {
    if (c == ':') return scheme;
    unsigned char u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return {};
    scheme += static_cast<char>(std::tolower(u));
  }
  return {};
}

void URLOpener::openURL(const std::string& url, std::function<void(bool)> completion) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back(url);
  }
  dispatch_async(dispatch_get_main_queue(), [this, url, completion = std::move(completion)] {
    SchemeHandler handler;
    std::string scheme = schemeOf(url);
    if (!scheme.empty()) {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = handlers_.find(scheme);
      if (it != handlers_.end()) handler = it->second;
    }
    bool opened = handler ? handler(url) : false;
    if (completion) completion(opened);
  });
}

bool URLOpener::canOpenURL(const std::string& url) {
  std::string scheme = schemeOf(url);
  std::lock_guard<std::mutex> lock(mu_);
  return !scheme.empty() && handlers_.count(scheme) != 0;
}

void URLOpener::setSchemeHandler(const std::string& scheme, SchemeHandler handler) {
  std::string key;
  for (char c : scheme) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::lock_guard<std::mutex> lock(mu_);
  if (handler) {
    handlers_[key] = std::move(handler);
  } else {
    handlers_.erase(key);
  }
}

std::vector<std::string> URLOpener::openedURLs() {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

void URLOpener::resetForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  handlers_.clear();
  log_.clear();
}

}  // namespace plat
