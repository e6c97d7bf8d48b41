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
  std::deque<Event> events;
  {
    std::lock_guard<std::mutex> lock(mu_);
    events.swap(pending_);
    drainPosted_ = false;
  }
  for (auto& e : events) {
    if (isStopped()) return;
    switch (e.kind) {
      case Event::Response:
        if (sink_.response) sink_.response(e.response);
        break;
      case Event::Bytes:
        if (sink_.data) sink_.data(e.data);
        break;
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

void WKURLSchemeTask::didReceiveData(const Data& data) {
  std::lock_guard<std::mutex> lock(mu_);
  if (accept(false)) enqueue(Event{Event::Bytes, nullptr, data, nullptr});
}

void WKURLSchemeTask::didReceiveData(Data&& data) {
  std::lock_guard<std::mutex> lock(mu_);
  if (accept(false)) enqueue(Event{Event::Bytes, nullptr, std::move(data), nullptr});
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
