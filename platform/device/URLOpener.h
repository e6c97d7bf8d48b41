#pragma once
// plat::URLOpener: the application's "open this URL" service. Nothing leaves the process:
// a URL is opened by the handler registered for its scheme (lower-case comparison), which
// answers whether it took the URL. A URL whose scheme has no handler is not opened. Nothing
// is ever handed to a shell or another program.
//
// Thread-safety: has internal synchronization. openURL may be called from any thread; its
// completion is always posted to the main queue (never run inside the call). Handlers run on
// the main queue too.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

class URLOpener {
 public:
  using SchemeHandler = std::function<bool(const std::string& url)>;

  static URLOpener& shared();

  // Opens `url`: on the main queue, the handler of its scheme runs and `completion` gets its
  // answer; NO when the text has no scheme or no handler is registered for it.
  void openURL(const std::string& url, std::function<void(bool opened)> completion);
  // Whether a handler is registered for the URL's scheme.
  bool canOpenURL(const std::string& url);

  // Registers (replacing) or, with an empty handler, removes the handler of `scheme`.
  void setSchemeHandler(const std::string& scheme, SchemeHandler handler);
  // Every URL given to openURL, in order (tests).
  std::vector<std::string> openedURLs();
  // Drops the handlers and the log.
  void resetForTesting();

  // The scheme of `url` in lower case: letters, digits, "+", "-" and "." after a leading
  // letter, up to ":". Empty when the text does not start with one.
  static std::string schemeOf(const std::string& url);

 private:
  URLOpener() = default;
  std::mutex mu_;
  std::map<std::string, SchemeHandler> handlers_;
  std::vector<std::string> log_;
};

}  // namespace plat
