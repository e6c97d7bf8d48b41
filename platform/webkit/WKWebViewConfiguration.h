#pragma once
// What a web view is made with: preferences, media flags, URL scheme handlers and the user
// content controller (shared with the web view made from it).
// Thread-safety: main thread only.

#include <map>
#include <memory>
#include <string>

#include "platform/webkit/WKURLSchemeHandler.h"
#include "platform/webkit/WKUserContentController.h"

namespace plat {

class WKPreferences : public Object {
 public:
  std::string className() const override { return "WKPreferences"; }
  bool javaScriptEnabled() const { return javaScriptEnabled_; }
  void setJavaScriptEnabled(bool v) { javaScriptEnabled_ = v; }
  bool javaScriptCanOpenWindowsAutomatically() const { return canOpenWindows_; }
  void setJavaScriptCanOpenWindowsAutomatically(bool v) { canOpenWindows_ = v; }
  double minimumFontSize() const { return minimumFontSize_; }
  void setMinimumFontSize(double v) { minimumFontSize_ = v; }

 private:
  bool javaScriptEnabled_ = true;
  bool canOpenWindows_ = false;
  double minimumFontSize_ = 0;
};

enum WKAudiovisualMediaTypes : uint64_t {
  WKAudiovisualMediaTypeNone = 0,
  WKAudiovisualMediaTypeAudio = 1 << 0,
  WKAudiovisualMediaTypeVideo = 1 << 1,
  WKAudiovisualMediaTypeAll = ~0ULL,
};

class WKWebViewConfiguration : public Object {
 public:
  static std::shared_ptr<WKWebViewConfiguration> make() {
    return std::make_shared<WKWebViewConfiguration>();
  }
  std::string className() const override { return "WKWebViewConfiguration"; }

  const std::shared_ptr<WKPreferences>& preferences() const { return preferences_; }
  void setPreferences(std::shared_ptr<WKPreferences> p) { if (p) preferences_ = std::move(p); }
  const WKUserContentControllerRef& userContentController() const { return userContent_; }
  void setUserContentController(WKUserContentControllerRef c) { if (c) userContent_ = std::move(c); }

  bool allowsInlineMediaPlayback() const { return inlineMedia_; }
  void setAllowsInlineMediaPlayback(bool v) { inlineMedia_ = v; }
  uint64_t mediaTypesRequiringUserActionForPlayback() const { return mediaUserAction_; }
  void setMediaTypesRequiringUserActionForPlayback(uint64_t v) { mediaUserAction_ = v; }
  bool mediaPlaybackRequiresUserAction() const { return mediaUserAction_ != 0; }
  void setMediaPlaybackRequiresUserAction(bool v) {
    mediaUserAction_ = v ? WKAudiovisualMediaTypeAll : WKAudiovisualMediaTypeNone;
  }
  bool allowsAirPlayForMediaPlayback() const { return airPlay_; }
  void setAllowsAirPlayForMediaPlayback(bool v) { airPlay_ = v; }

  // Registers `handler` for `scheme` (compared without case). Refused, returning false and
  // reported on the console log, for a scheme the web view handles itself (http, https,
  // file, about, data, blob, javascript), an invalid scheme, or one already registered.
  bool setURLSchemeHandlerForURLScheme(const WKURLSchemeHandlerRef& handler,
                                       const std::string& scheme);
  // The handler for `scheme`, or null.
  WKURLSchemeHandlerRef urlSchemeHandlerForURLScheme(const std::string& scheme) const;
  // Whether the web view handles `scheme` itself.
  static bool handlesURLScheme(const std::string& scheme);

  // The registered handlers by lower-case scheme.
  const std::map<std::string, WKURLSchemeHandlerRef>& schemeHandlers() const { return schemeHandlers_; }

  // Set on the configuration handed to createWebView for window.open: the web view made
  // with it shows the opened window. Held weakly.
  std::shared_ptr<WKWebView> relatedWebViewForOpening() const { return related_.lock(); }
  void setRelatedWebViewForOpening(const std::shared_ptr<WKWebView>& v) { related_ = v; }

  // A copy sharing the user content controller, preferences and handlers, as the web view
  // keeps one when it is made.
  std::shared_ptr<WKWebViewConfiguration> copy() const;

 private:
  std::shared_ptr<WKPreferences> preferences_ = std::make_shared<WKPreferences>();
  WKUserContentControllerRef userContent_ = WKUserContentController::make();
  bool inlineMedia_ = false;
  uint64_t mediaUserAction_ = WKAudiovisualMediaTypeAll;
  bool airPlay_ = true;
  std::map<std::string, WKURLSchemeHandlerRef> schemeHandlers_;
  std::weak_ptr<WKWebView> related_;
};
using WKWebViewConfigurationRef = std::shared_ptr<WKWebViewConfiguration>;

}  // namespace plat
