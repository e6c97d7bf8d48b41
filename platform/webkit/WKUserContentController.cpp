#include "platform/webkit/WKUserContentController.h"

#include <algorithm>

#include "platform/foundation/NSLog.h"

namespace plat {

bool WKUserContentController::addScriptMessageHandlerName(const WKScriptMessageHandlerRef& handler,
                                                          const std::string& name) {
  if (!handler || name.empty()) return false;
  if (handlerForName(name)) {
    NSLogMessage("Attempt to add script message handler with name '" + name +
                 "' when one already exists.");
    return false;
  }
  handlers_.emplace_back(name, handler);
  notify();
  return true;
}

void WKUserContentController::removeScriptMessageHandlerForName(const std::string& name) {
  auto it = std::find_if(handlers_.begin(), handlers_.end(),
                         [&](const auto& h) { return h.first == name; });
  if (it == handlers_.end()) return;
  handlers_.erase(it);
  notify();
}

void WKUserContentController::removeAllScriptMessageHandlers() {
  if (handlers_.empty()) return;
  handlers_.clear();
  notify();
}

WKScriptMessageHandlerRef WKUserContentController::handlerForName(const std::string& name) const {
  for (auto& h : handlers_)
    if (h.first == name) return h.second;
  return nullptr;
}

std::vector<std::string> WKUserContentController::handlerNames() const {
  std::vector<std::string> names;
  for (auto& h : handlers_) names.push_back(h.first);
  return names;
}

void WKUserContentController::addUserScript(const WKUserScriptRef& script) {
  if (script) userScripts_.push_back(script);
}

void WKUserContentController::removeAllUserScripts() { userScripts_.clear(); }

void WKUserContentController::addObserver(const std::shared_ptr<Observer>& o) {
  // Views that shared this controller and have gone leave nothing behind.
  observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                  [](const auto& w) { return w.expired(); }),
                   observers_.end());
  observers_.push_back(o);
}

void WKUserContentController::notify() {
  auto observers = observers_;
  for (auto& w : observers)
    if (auto o = w.lock()) o->handlersChanged();
  observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                  [](const auto& w) { return w.expired(); }),
                   observers_.end());
}

}  // namespace plat
