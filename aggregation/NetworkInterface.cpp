#include "aggregation/NetworkInterface.h"

#include <memory>
#include <mutex>

#include "aggregation/NSString+Extend.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSLog.h"
#include "platform/network/NSURLSession.h"
#include "platform/network/NSURLSessionConfiguration.h"

namespace {

// Collects one task's body and hands body, error and HTTP status (0 when there is none) to
// `done` on the delegate queue. A body longer than kMaxAnswerBytes (announced or received) ends
// the task at once: its bytes are dropped, the transfer stops reading, and `done` gets the
// error NSURLErrorDataLengthExceedsMaximum.
class RequestDelegate : public plat::NSURLSessionDelegate {
 public:
  using Done =
      std::function<void(const plat::Data& body, const plat::NSErrorRef& error, int64_t status)>;
  explicit RequestDelegate(Done done) : done_(std::move(done)) {}

  bool URLSessionDataTaskDidReceiveResponseCompletionHandler(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef&,
      const plat::NSURLResponseRef& response,
      std::function<void(plat::NSURLSessionResponseDisposition)> completion) override {
    bool tooLong = response && response->expectedContentLength() > 0 &&
                   static_cast<uint64_t>(response->expectedContentLength()) >
                       NetworkInterface::kMaxAnswerBytes;
    if (tooLong) tooLong_ = true;
    completion(tooLong ? plat::NSURLSessionResponseCancel : plat::NSURLSessionResponseAllow);
    return true;
  }
  void URLSessionDataTaskDidReceiveData(const plat::NSURLSessionRef&,
                                        const plat::NSURLSessionDataTaskRef& task,
                                        const plat::Data& data) override {
    if (tooLong_) return;
    if (body_.length() + data.length() > NetworkInterface::kMaxAnswerBytes) {
      tooLong_ = true;
      body_ = plat::Data();
      if (task) task->cancel();
      return;
    }
    body_.append(data);
  }
  bool URLSessionDidReceiveChallengeCompletionHandler(
      const plat::NSURLSessionRef& session, const plat::NSURLAuthenticationChallengeRef& challenge,
      ChallengeCompletion completion) override {
    NetworkInterface::sharedInstance().URLSessionDidReceiveChallengeCompletionHandler(
        session, challenge, completion);
    return true;
  }
  void URLSessionTaskDidCompleteWithError(const plat::NSURLSessionRef& session,
                                          const plat::NSURLSessionTaskRef& task,
                                          const plat::NSErrorRef& error) override {
    Done done = std::move(done_);
    done_ = nullptr;
    plat::NSErrorRef failure = error;
    if (tooLong_) {
      plat::NSLog("KTLog:answer longer than %lu bytes dropped", NetworkInterface::kMaxAnswerBytes);
      failure = plat::makeURLError(
          plat::NSURLErrorDataLengthExceedsMaximum,
          task && task->originalRequest() ? task->originalRequest()->URL() : std::string());
    }
    int64_t status = 0;
    if (auto http =
            std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(task ? task->response() : nullptr)) {
      status = http->statusCode();
    }
    if (done) done(tooLong_ ? plat::Data() : body_, failure, status);
    session->finishTasksAndInvalidate();
  }

 private:
  plat::Data body_;
  bool tooLong_ = false;  // delegate queue only
  Done done_;
};

plat::NSURLRequestRef makeRequest(const std::string& url, const std::string& param,
                                  const std::string& method, double timeout, bool escape,
                                  bool logGet) {
  auto request = std::make_shared<plat::NSMutableURLRequest>(url);
  if (method == "POST") {
    plat::Data body = plat::Data::fromString(param);
    request->setHTTPMethod("POST");
    request->setHTTPBody(body);
    request->setValueForHTTPHeaderField(plat::format("%lu", body.length()), "Content-Length");
  } else {
    if (logGet) plat::NSLog("发起GET请求:%@", url);
    if (!param.empty()) {
      request->setURL(
          url + plat::format("?%@", escape ? NetworkInterface::legacyPercentEscape(param) : param));
    }
    request->setHTTPMethod("GET");
  }
  request->setTimeoutInterval(timeout);
  return request;
}

// Starts the request in a session of its own, delegate callbacks on `queue` (null: a queue
// of the session's own). The request's time-out bounds the whole transfer from its start (the
// session's resource time-out), not only the silences between bytes: a server that trickles
// its answer fails with the same time-out error as a silent one.
void start(const plat::NSURLRequestRef& request, const plat::NSOperationQueueRef& queue,
           RequestDelegate::Done done) {
  auto delegate = std::make_shared<RequestDelegate>(std::move(done));
  auto config = plat::NSURLSessionConfiguration::defaultSessionConfiguration();
  if (request->timeoutInterval() > 0)
    config->setTimeoutIntervalForResource(request->timeoutInterval());
  auto session =
      plat::NSURLSession::sessionWithConfigurationDelegateDelegateQueue(config, delegate, queue);
  auto task = session->dataTaskWithRequest(request);
  if (task) task->resume();
}

struct SyncResult {
  std::mutex mu;
  plat::Data body;
  plat::NSErrorRef error;
};

// True (and a log) on the main thread, where a synchronous request must not wait.
bool refusedOnMainThread(const std::string& url) {
  if (!plat::NSThread::isMainThread()) return false;
  plat::NSLog("KTLog:synchronous request on the main thread refused: %@", url);
  return true;
}

// Runs the request and waits for its end.
void runSync(const plat::NSURLRequestRef& request, SyncResult* result) {
  auto sema = plat::dispatch_semaphore_create(0);
  start(request, nullptr,
        [result, sema](const plat::Data& body, const plat::NSErrorRef& error, int64_t) {
          {
            std::lock_guard<std::mutex> lock(result->mu);
            result->body = body;
            result->error = error;
          }
          plat::dispatch_semaphore_signal(sema);
        });
  plat::dispatch_semaphore_wait(sema, plat::DISPATCH_TIME_FOREVER);
}

plat::Dictionary dictionaryOf(const plat::Data& body) {
  plat::Value v = NSDictionary_Extend::dictionaryFromJsonData(body);
  return v.dictionary() ? *v.dictionary() : plat::Dictionary();
}

}  // namespace

NetworkInterface& NetworkInterface::sharedInstance() {
  static auto* instance = new NetworkInterface();
  return *instance;
}

std::string NetworkInterface::legacyPercentEscape(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  static const std::string illegal = "\"%<>[\\]^`{|}";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f || illegal.find(static_cast<char>(c)) != std::string::npos) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void NetworkInterface::URLSessionDidReceiveChallengeCompletionHandler(
    const plat::NSURLSessionRef&, const plat::NSURLAuthenticationChallengeRef&,
    const plat::NSURLSessionDelegate::ChallengeCompletion& completion) {
  if (completion) completion(plat::NSURLSessionAuthChallengePerformDefaultHandling, nullptr);
}

void NetworkInterface::connectionWillSendRequestForAuthenticationChallenge(
    const plat::NSURLConnectionRef&, const plat::NSURLAuthenticationChallengeRef& challenge) {
  if (challenge && challenge->sender()) {
    challenge->sender()->continueWithoutCredentialForAuthenticationChallenge(challenge);
  }
}

void NetworkInterface::addHttpRequestParamMethodCompletionBlockTimeout(
    const std::string& url, const std::string& param, const std::string& method,
    Completion completion, double timeout, bool failUnlessObject) {
  auto request = makeRequest(url, param, method, timeout, true, false);
  start(request, plat::NSOperationQueue::mainQueue(),
        [completion, failUnlessObject](const plat::Data& body, const plat::NSErrorRef& error,
                                       int64_t status) {
          if (!completion) return;
          bool failedStatus = failUnlessObject && (status < 200 || status > 299);
          if (error || body.empty() || failedStatus) {
            completion(plat::Value());
            return;
          }
          plat::Value decoded = NSDictionary_Extend::dictionaryFromJsonData(body);
          if (failUnlessObject && !decoded.dictionary()) {
            completion(plat::Value());
            return;
          }
          plat::Value answer(decoded.dictionary() ? *decoded.dictionary() : plat::Dictionary());
          plat::dispatch_async(plat::dispatch_get_main_queue(),
                               [completion, answer] { completion(answer); });
        });
}

void NetworkInterface::addHttpRequestParamMethodCompletionBlock(const std::string& url,
                                                                const std::string& param,
                                                                const std::string& method,
                                                                Completion completion) {
  addHttpRequestParamMethodCompletionBlockTimeout(url, param, method, std::move(completion),
                                                  defaultRequesTimeOut());
}

plat::Value NetworkInterface::addSyncHttpRequestParamMethod(const std::string& url,
                                                            const std::string& param,
                                                            const std::string& method) {
  return addSyncHttpRequestParamMethodTimeout(url, param, method, defaultRequesTimeOut());
}

plat::Value NetworkInterface::addSyncHttpRequestParamMethodTimeout(const std::string& url,
                                                                   const std::string& param,
                                                                   const std::string& method,
                                                                   double timeout,
                                                                   bool escapeQuery) {
  if (refusedOnMainThread(url)) return plat::Value();
  SyncResult result;
  runSync(makeRequest(url, param, method, timeout, escapeQuery, true), &result);
  std::lock_guard<std::mutex> lock(result.mu);
  if (result.error) return plat::Value();
  if (result.body.empty()) return plat::Value(plat::Dictionary());
  return plat::Value(dictionaryOf(result.body));
}

plat::Array NetworkInterface::addSyncHttpRequest2ParamMethod(const std::string& url,
                                                             const std::string& param,
                                                             const std::string& method) {
  if (refusedOnMainThread(url)) return {};
  auto request = makeRequest(url, param, method, 3.0, false, false);
  std::static_pointer_cast<plat::NSMutableURLRequest>(request)->setCachePolicy(
      plat::NSURLRequestReloadIgnoringLocalCacheData);
  SyncResult result;
  runSync(request, &result);
  std::lock_guard<std::mutex> lock(result.mu);
  plat::Array out;
  if (!result.body.empty()) {
    plat::Value v = NSDictionary_Extend::arrayFromJsonData(result.body);
    if (const plat::Array* a = v.array()) out = *a;
  }
  return out;
}
