#include "platform/webkit/WKWebViewConfiguration.h"

#include <cctype>

#include "platform/foundation/NSLog.h"

namespace plat {

namespace {
std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
bool validScheme(const std::string& s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  return true;
}
}  // namespace

bool WKWebViewConfiguration::handlesURLScheme(const std::string& scheme) {
  static const char* const kBuiltIn[] = {"http", "https", "file", "about", "data", "blob",
                                         "javascript", "ws", "wss"};
  std::string s = lower(scheme);
  for (auto b : kBuiltIn)
    if (s == b) return true;
  return false;
}

bool WKWebViewConfiguration::setURLSchemeHandlerForURLScheme(const WKURLSchemeHandlerRef& handler,
                                                             const std::string& scheme) {
  std::string s = lower(scheme);
  if (!handler || !validScheme(s)) {
    NSLogMessage("'" + scheme + "' is not a valid URL scheme");
    return false;
  }
  if (handlesURLScheme(s)) {
    NSLogMessage("'" + scheme + "' is a URL scheme that WKWebView handles natively");
    return false;
  }
  if (schemeHandlers_.count(s)) {
    NSLogMessage("URL scheme '" + scheme + "' already has a registered URL scheme handler");
    return false;
  }
  schemeHandlers_[s] = handler;
  return true;
}

WKURLSchemeHandlerRef WKWebViewConfiguration::urlSchemeHandlerForURLScheme(
    const std::string& scheme) const {
  auto it = schemeHandlers_.find(lower(scheme));
  return it == schemeHandlers_.end() ? nullptr : it->second;
}

std::shared_ptr<WKWebViewConfiguration> WKWebViewConfiguration::copy() const {
  auto c = std::make_shared<WKWebViewConfiguration>();
  c->preferences_ = preferences_;
  c->userContent_ = userContent_;
  c->inlineMedia_ = inlineMedia_;
  c->mediaUserAction_ = mediaUserAction_;
  c->airPlay_ = airPlay_;
  c->schemeHandlers_ = schemeHandlers_;
  c->related_ = related_;
  return c;
}

}  // namespace plat
