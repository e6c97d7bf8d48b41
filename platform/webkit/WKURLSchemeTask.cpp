#include "platform/dispatch/Dispatch.h"
#include "platform/webkit/WKURLSchemeHandler.h"

namespace plat {

WKURLSchemeTask::WKURLSchemeTask(NSURLRequestRef request, Sink sink)
    : request_(std::move(request)), sink_(std::move(sink)) {}

// REQUIRES: mu_ held. Whether a call is delivered: not after a stop or a finish/failure.
bool WKURLSchemeTask::accept(bool terminal) {
  if (stopped_.load() || finished_) {
    ignored_.fetch_add(1);
    return false;
  }
  if (terminal) finished_ = true;
  return true;
}

// REQUIRES: mu_ held. Calls from several threads are queued in call order.
void WKURLSchemeTask::enqueue(Event event) {
  pending_.push_back(std::move(event));
  if (drainPosted_) return;
  drainPosted_ = true;
  auto self = std::static_pointer_cast<WKURLSchemeTask>(shared_from_this());
  dispatch_async(dispatch_get_main_queue(), [self] { self->drain(); });
}

void WKURLSchemeTask::drain() {
  std::vector<Event> events;
  {
    std::lock_guard<std::mutex> lock(mu_);
    events.swap(pending_);
    pending_.swap(spare_);
    drainPosted_ = false;
  }
  deliver(events);
  events.clear();
  std::lock_guard<std::mutex> lock(mu_);
  if (spare_.capacity() < events.capacity()) spare_.swap(events);
}

void WKURLSchemeTask::deliver(std::vector<Event>& events) {
  for (auto& e : events) {
    if (isStopped()) return;
    switch (e.kind) {
      case Event::Response:
        if (sink_.response) sink_.response(e.response);
        break;
      case Event::Bytes: {
        auto n = static_cast<int64_t>(e.data.length());
        if (sink_.data) sink_.data(std::move(e.data));
        if (!sink_.reportsConsumption) bytesConsumed(n);
        break;
      }
      case Event::Finish:
        if (sink_.finish) sink_.finish();
        break;
      case Event::Fail:
        if (sink_.fail) sink_.fail(e.error);
        break;
    }
  }
}

void WKURLSchemeTask::didReceiveResponse(const std::shared_ptr<NSURLResponse>& response) {
  std::lock_guard<std::mutex> lock(mu_);
  if (accept(false)) enqueue(Event{Event::Response, response, {}, nullptr});
}

void WKURLSchemeTask::didReceiveData(const Data& data) { didReceiveData(Data(data)); }

void WKURLSchemeTask::didReceiveData(Data&& data) {
  std::unique_lock<std::mutex> lock(mu_);
  // The main thread never waits: it is the one that lets the page read.
  if (!dispatch_is_main_thread()) {
    drained_.wait(lock, [&] { return buffered_ <= kMaxBufferedBytes || stopped_.load(); });
  }
  if (!accept(false)) return;
  buffered_ += static_cast<int64_t>(data.length());
  enqueue(Event{Event::Bytes, nullptr, std::move(data), nullptr});
}

void WKURLSchemeTask::bytesConsumed(int64_t n) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    buffered_ -= n;
  }
  drained_.notify_all();
}

void WKURLSchemeTask::markStopped() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_.store(true);
  }
  drained_.notify_all();
}

void WKURLSchemeTask::didFinish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (accept(true)) enqueue(Event{Event::Finish, nullptr, {}, nullptr});
}

void WKURLSchemeTask::didFailWithError(const NSErrorRef& error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (accept(true)) enqueue(Event{Event::Fail, nullptr, {}, error});
}

}  // namespace plat
