#include "platform/network/NSProgress.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace plat {

struct NSProgress::State {
  std::mutex mu;
  int64_t total = 0;
  int64_t completed = 0;
  bool cancellable = true;
  bool pausable = false;
  bool cancelled = false;
  bool paused = false;
  Handler cancellationHandler;
  Handler pausingHandler;
  Handler resumingHandler;
  uint64_t nextToken = 1;
  struct Entry {
    uint64_t token;
    std::string keyPath;
    std::shared_ptr<Observer> observer;
  };
  std::vector<Entry> observers;
};

NSProgress::NSProgress() : state_(std::make_unique<State>()) {}
NSProgress::~NSProgress() = default;

std::shared_ptr<NSProgress> NSProgress::progressWithTotalUnitCount(int64_t total) {
  auto p = std::make_shared<NSProgress>();
  p->state_->total = total;
  return p;
}

std::string NSProgress::description() const {
  char buf[160];
  std::lock_guard<std::mutex> lock(state_->mu);
  double fraction = state_->total > 0 ? static_cast<double>(state_->completed) /
                                            static_cast<double>(state_->total)
                                      : 0.0;
  std::snprintf(buf, sizeof buf,
                "<NSProgress: %p> : Fraction completed: %.4f / Completed: %lld of %lld",
                static_cast<const void*>(this), fraction, static_cast<long long>(state_->completed),
                static_cast<long long>(state_->total));
  return buf;
}

int64_t NSProgress::totalUnitCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->total;
}

int64_t NSProgress::completedUnitCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->completed;
}

void NSProgress::setTotalUnitCount(int64_t total) {
  std::vector<std::pair<std::string, std::shared_ptr<Observer>>> toCall;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->total = total;
    for (auto& e : state_->observers) {
      if (e.keyPath == "totalUnitCount" || e.keyPath == "fractionCompleted") {
        toCall.emplace_back(e.keyPath, e.observer);
      }
    }
  }
  for (auto& [k, o] : toCall) (*o)(*this, k);
}

void NSProgress::setCompletedUnitCount(int64_t completed) {
  std::vector<std::pair<std::string, std::shared_ptr<Observer>>> toCall;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->completed = completed;
    for (auto& e : state_->observers) {
      if (e.keyPath == "completedUnitCount" || e.keyPath == "fractionCompleted") {
        toCall.emplace_back(e.keyPath, e.observer);
      }
    }
  }
  for (auto& [k, o] : toCall) (*o)(*this, k);
}

double NSProgress::fractionCompleted() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->total <= 0) return 0.0;
  return static_cast<double>(state_->completed) / static_cast<double>(state_->total);
}

bool NSProgress::isIndeterminate() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->total < 0 || state_->completed < 0 ||
         (state_->total == 0 && state_->completed == 0);
}

bool NSProgress::isFinished() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->total > 0 && state_->completed >= state_->total;
}

bool NSProgress::isCancellable() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->cancellable;
}
void NSProgress::setCancellable(bool v) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->cancellable = v;
}
bool NSProgress::isPausable() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->pausable;
}
void NSProgress::setPausable(bool v) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->pausable = v;
}
bool NSProgress::isCancelled() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->cancelled;
}
bool NSProgress::isPaused() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->paused;
}

void NSProgress::cancel() {
  Handler h;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->cancelled) return;
    state_->cancelled = true;
    h = state_->cancellationHandler;
  }
  if (h) h();
}

void NSProgress::pause() {
  Handler h;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->paused) return;
    state_->paused = true;
    h = state_->pausingHandler;
  }
  if (h) h();
}

void NSProgress::resume() {
  Handler h;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (!state_->paused) return;
    state_->paused = false;
    h = state_->resumingHandler;
  }
  if (h) h();
}

void NSProgress::setCancellationHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->cancellationHandler = std::move(handler);
}
void NSProgress::setPausingHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->pausingHandler = std::move(handler);
}
void NSProgress::setResumingHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->resumingHandler = std::move(handler);
}

uint64_t NSProgress::addObserver(std::string keyPath, Observer observer) {
  std::lock_guard<std::mutex> lock(state_->mu);
  uint64_t token = state_->nextToken++;
  state_->observers.push_back(
      {token, std::move(keyPath), std::make_shared<Observer>(std::move(observer))});
  return token;
}

void NSProgress::removeObserver(uint64_t token) {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto& v = state_->observers;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it->token == token) {
      v.erase(it);
      return;
    }
  }
}

}  // namespace plat
