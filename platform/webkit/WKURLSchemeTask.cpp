#include "platform/dispatch/Dispatch.h"
#include "platform/webkit/WKURLSchemeHandler.h"

namespace plat {

WKURLSchemeTask::WKURLSchemeTask(NSURLRequestRef request, Sink sink)
    : request_(std::move(request)), sink_(std::move(sink)) {}

// Decides under the lock whether a call is delivered, and posts it while still holding the
// lock so that calls from several threads reach the main thread in call order.
bool WKURLSchemeTask::accept(bool terminal) {
  if (stopped_.load() || finished_) {
    ignored_.fetch_add(1);
    return false;
  }
  if (terminal) finished_ = true;
  return true;
}

void WKURLSchemeTask::didReceiveResponse(const std::shared_ptr<NSURLResponse>& response) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!accept(false)) return;
  auto self = std::static_pointer_cast<WKURLSchemeTask>(shared_from_this());
  dispatch_async(dispatch_get_main_queue(), [self, response] {
    if (!self->isStopped() && self->sink_.response) self->sink_.response(response);
  });
}

void WKURLSchemeTask::didReceiveData(const Data& data) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!accept(false)) return;
  auto self = std::static_pointer_cast<WKURLSchemeTask>(shared_from_this());
  dispatch_async(dispatch_get_main_queue(), [self, data] {
    if (!self->isStopped() && self->sink_.data) self->sink_.data(data);
  });
}

void WKURLSchemeTask::didFinish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!accept(true)) return;
  auto self = std::static_pointer_cast<WKURLSchemeTask>(shared_from_this());
  dispatch_async(dispatch_get_main_queue(), [self] {
    if (!self->isStopped() && self->sink_.finish) self->sink_.finish();
  });
}

void WKURLSchemeTask::didFailWithError(const NSErrorRef& error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!accept(true)) return;
  auto self = std::static_pointer_cast<WKURLSchemeTask>(shared_from_this());
  dispatch_async(dispatch_get_main_queue(), [self, error] {
    if (!self->isStopped() && self->sink_.fail) self->sink_.fail(error);
  });
}

}  // namespace plat
