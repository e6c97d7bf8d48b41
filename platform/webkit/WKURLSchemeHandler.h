#pragma once
// Custom URL schemes of a web view: a WKURLSchemeHandler registered for a scheme in the
// configuration is started with a WKURLSchemeTask for every load of that scheme (documents,
// scripts, XMLHttpRequest) and answers through the task.
//
// Thread-safety: the handler is started and stopped on the main thread. The task's
// didReceiveResponse / didReceiveData / didFinish / didFailWithError may be called from any
// thread; they are delivered to the page on the main thread in call order. Calls after the
// task was stopped or finished are ignored (and counted, for tests). didReceiveData called
// off the main thread waits while more than kMaxBufferedBytes given earlier are still
// unread by the engine, so a fast producer never makes the web view hold a large body whole.
// The engine takes an answer as fast as it is written, whatever the page reads, and tells no
// stop once it has taken the whole answer: a handler bounds what it reads for a page by the
// size of the answers it gives.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLResponse.h"

namespace plat {

class WKWebView;

class WKURLSchemeTask : public Object {
 public:
  // What the web view does with the task's answers; set by the loader.
  struct Sink {
    std::function<void(const std::shared_ptr<NSURLResponse>&)> response;
    // Takes the bytes: the sink may keep them without a copy.
    std::function<void(Data&&)> data;
    std::function<void()> finish;
    std::function<void(const NSErrorRef&)> fail;
    // True when the sink reports read bytes itself through bytesConsumed(); otherwise bytes
    // count as read once handed to `data`.
    bool reportsConsumption = false;
  };
  static constexpr int64_t kMaxBufferedBytes = 4 << 20;
  WKURLSchemeTask(NSURLRequestRef request, Sink sink);
  std::string className() const override { return "WKURLSchemeTask"; }

  const NSURLRequestRef& request() const { return request_; }
  void didReceiveResponse(const std::shared_ptr<NSURLResponse>& response);
  void didReceiveData(const Data& data);
  void didReceiveData(Data&& data);  // takes the bytes without copying them
  void didFinish();
  void didFailWithError(const NSErrorRef& error);

  // Calls ignored because the task was stopped or had already finished or failed.
  int64_t ignoredCallCount() const { return ignored_.load(); }
  bool isStopped() const { return stopped_.load(); }

  // Internal: the web view stopped the task (no more answers are delivered).
  void markStopped();
  // Internal: the page read `n` bytes given earlier.
  void bytesConsumed(int64_t n);

 private:
  // Answers wait here until the main thread takes them; one drain is posted per burst, so a
  // task answered quickly from another thread costs one hop, not one per call.
  struct Event {
    enum Kind { Response, Bytes, Finish, Fail } kind;
    std::shared_ptr<NSURLResponse> response;
    Data data;
    NSErrorRef error;
  };
  bool accept(bool terminal);
  void enqueue(Event event);
  void drain();
  void deliver(std::vector<Event>& events);
  NSURLRequestRef request_;
  Sink sink_;
  std::mutex mu_;
  std::vector<Event> pending_;
  std::vector<Event> spare_;  // the drained list, kept for its capacity; guarded by mu_
  bool drainPosted_ = false;
  bool finished_ = false;
  std::atomic<bool> stopped_{false};
  std::atomic<int64_t> ignored_{0};
  std::condition_variable drained_;
  int64_t buffered_ = 0;  // guarded by mu_
};
using WKURLSchemeTaskRef = std::shared_ptr<WKURLSchemeTask>;

class WKURLSchemeHandler {
 public:
  virtual ~WKURLSchemeHandler() = default;
  virtual void webViewStartURLSchemeTask(const std::shared_ptr<WKWebView>& webView,
                                         const WKURLSchemeTaskRef& task) = 0;
  // The load no longer wants answers (superseded, stopped, or the web view is gone).
  virtual void webViewStopURLSchemeTask(const std::shared_ptr<WKWebView>& webView,
                                        const WKURLSchemeTaskRef& task) = 0;
  // Whether the handler reads request bodies (the task's request()->HTTPBody()). A handler
  // that answers false gets requests without a body, whatever the page sent.
  // The engine cannot hand over a body that holds blobs (a Blob, a FormData with a file, a
  // canvas's toBlob result): for schemes whose handler reads bodies, the web view's own page
  // script turns such bodies of fetch and asynchronous XMLHttpRequest into bytes before they
  // leave the page; a synchronous XMLHttpRequest sends such a body as absent. Bodies from
  // workers and from form posts holding files are not turned into bytes.
  virtual bool readsRequestBody() const { return true; }
};
using WKURLSchemeHandlerRef = std::shared_ptr<WKURLSchemeHandler>;

}  // namespace plat
