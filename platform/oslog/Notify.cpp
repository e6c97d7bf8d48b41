#include "platform/oslog/Notify.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace plat {

namespace {

struct Registration {
  std::string name;
  DispatchQueueRef queue;
  notify_handler_t handler;
  std::atomic<bool> cancelled{false};
  // A delivery is submitted and has not started yet: further posts join it.
  std::atomic<bool> pending{false};
};

struct Registry {
  std::mutex mu;
  int nextToken = 1;
  std::map<int, std::shared_ptr<Registration>> byToken;
};

Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

}  // namespace

uint32_t notify_register_dispatch(const std::string& name, int* outToken,
                                  const DispatchQueueRef& queue, notify_handler_t handler) {
  if (name.empty()) return NOTIFY_STATUS_INVALID_NAME;
  if (!outToken || !queue || !handler) return NOTIFY_STATUS_FAILED;
  auto reg = std::make_shared<Registration>();
  reg->name = name;
  reg->queue = queue;
  reg->handler = std::move(handler);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  int token = r.nextToken++;
  r.byToken[token] = std::move(reg);
  *outToken = token;
  return NOTIFY_STATUS_OK;
}

uint32_t notify_cancel(int token) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.byToken.find(token);
  if (it == r.byToken.end()) return NOTIFY_STATUS_INVALID_TOKEN;
  it->second->cancelled = true;
  r.byToken.erase(it);
  return NOTIFY_STATUS_OK;
}

uint32_t notify_post(const std::string& name) {
  if (name.empty()) return NOTIFY_STATUS_INVALID_NAME;
  std::vector<std::pair<int, std::shared_ptr<Registration>>> targets;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    for (const auto& [token, reg] : r.byToken) {
      if (reg->name == name) targets.emplace_back(token, reg);
    }
  }
  for (auto& [token, reg] : targets) {
    // Posts that come while a delivery waits are answered by that delivery (the handler
    // learns that something happened, not how often). A post during a running handler
    // submits the next delivery, so none is missed.
    if (reg->pending.exchange(true)) continue;
    dispatch_async(reg->queue, [token = token, reg = reg] {
      reg->pending = false;
      if (!reg->cancelled) reg->handler(token);
    });
  }
  return NOTIFY_STATUS_OK;
}

}  // namespace plat
