// Background tasks of the application object. Nothing suspends this process, so a task only
// records that work asked for time; tests expire tasks to play the system running out of it.

#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIApplication.h"

namespace plat {

UIBackgroundTaskIdentifier UIApplication::beginBackgroundTaskWithExpirationHandler(
    std::function<void()> handler) {
  std::lock_guard<std::mutex> hold(tasksMutex_);
  UIBackgroundTaskIdentifier id = ++lastTask_;
  if (id == UIBackgroundTaskInvalid) id = ++lastTask_;
  tasks_.emplace(id, std::move(handler));
  return id;
}

void UIApplication::endBackgroundTask(UIBackgroundTaskIdentifier identifier) {
  size_t erased;
  {
    std::lock_guard<std::mutex> hold(tasksMutex_);
    erased = tasks_.erase(identifier);
  }
  if (!erased) {
    NSLog("Can't end BackgroundTask: no background task exists with identifier %llu, or it "
          "may have already been ended.",
          static_cast<unsigned long long>(identifier));
  }
}

size_t UIApplication::backgroundTaskCountForTesting() const {
  std::lock_guard<std::mutex> hold(tasksMutex_);
  return tasks_.size();
}

void UIApplication::expireAllBackgroundTasksForTesting() {
  std::vector<std::function<void()>> handlers;
  {
    std::lock_guard<std::mutex> hold(tasksMutex_);
    for (auto& [id, handler] : tasks_) {
      if (handler) handlers.push_back(std::move(handler));
      handler = nullptr;
    }
  }
  // Outside the lock: a handler ends its own task.
  for (auto& h : handlers) h();
}

void UIApplication::resetBackgroundTasksForTesting() {
  std::map<UIBackgroundTaskIdentifier, std::function<void()>> dropped;
  std::lock_guard<std::mutex> hold(tasksMutex_);
  dropped.swap(tasks_);
}

}  // namespace plat
