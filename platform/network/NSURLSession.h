#pragma once
// plat::NSURLSession and its tasks: HTTP(S) transfers over libcurl.
//
// A session runs its transfers on one transfer thread of its own (a libcurl multi handle,
// started with the first task that runs and ended when the session is invalidated). Every
// delegate callback is posted, in order, to the session's delegate queue (a queue of width 1
// when none is given). Decisions that a transfer waits for (server trust, redirection,
// response disposition, a new body stream) hold that transfer until the delegate answers:
// nothing of it reaches the delegate meanwhile (body bytes that arrive while the response
// decision is pending are held back, and reading stops once 4 MiB are held); cancelling the
// task releases them. Only the transfer thread waits for a trust or body-stream answer.
// HTTP status codes are not errors: a task fails only with an error of NSURLErrorDomain (see
// NSURLError.h). Responses may arrive compressed (gzip, deflate): bodies are delivered
// decoded, and the counters count decoded bytes.
//
// Response cache: data tasks of a session whose configuration has a URLCache answer GET
// requests from it as the request's cache policy and HTTP's rules say (NSURLCache.h): a
// fresh entry without the network, a stale one with validators by a conditional request (a
// 304 answer whose validators are the entry's delivers the stored body), and store storable
// responses after asking the delegate. A request with conditions of the app's own is sent as
// it is and gets the server's answer, a 304 too. A cached answer reaches the delegate like a
// network one.
//
// Authentication: a 401 answer with a Basic or Digest challenge is held back and the delegate
// is asked at task level (NSURLAuthenticationMethodHTTPBasic / ...HTTPDigest, with the
// protection space's realm, the count of earlier refusals in this task, the credential last
// sent and the 401 response). A user credential sends the request again with it; no
// credential, or declining the space, delivers the 401 as the response; default handling
// uses the request URL's user and password once (they are never sent before a challenge).
// A credential answered with persistence ForSession serves the session's later tasks to the
// same space without asking (Permanent: every non-ephemeral session of the process; nothing is
// written to disk) until the server refuses it. A Digest challenge saying only that the nonce
// is stale is answered again with the same credential and counts as no refusal. After 6
// challenges in one task the 401 is the response. Cookies: requests that handle cookies, in
// sessions whose configuration sets cookies, use NSHTTPCookieStorage's jar; a "Cookie" field
// of the request is sent in the same line as the jar's cookies.
//
// Redirects (301, 302, 303, 307, 308 with a Location) are followed by the session, after
// asking the delegate, with the platform's method rules: 303 turns any method but HEAD into
// GET without body, 301 and 302 turn POST into GET without body, 307 and 308 keep method and
// body. A redirect to another scheme, host or port drops the request's "Authorization",
// "Proxy-Authorization" and "Cookie" fields. At most 16 redirects, then
// NSURLErrorHTTPTooManyRedirects.
//
// Answers whose head frames the body ambiguously (Content-Length lines or members that differ
// or are not numbers, white space before a field's colon, a folded line with no field before
// it) fail with NSURLErrorBadServerResponse, and their connection is closed. Request fields
// whose name is not an RFC 9110 token are left out with a log; an empty value is sent empty.
//
// Threading: a session and its tasks are thread-safe. Byte-counter observers are called on
// the transfer thread; delegate callbacks on the delegate queue.
//
// Lifetime: the session holds its delegate strongly until it has been invalidated and has
// told the delegate so (URLSessionDidBecomeInvalidWithError). A task holds its session.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"
#include "platform/network/NSOperationQueue.h"
#include "platform/network/NSStream.h"
#include "platform/network/NSURLAuthenticationChallenge.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLResponse.h"
#include "platform/network/NSURLSessionConfiguration.h"

namespace plat {

class NSURLSession;
class NSURLSessionTask;
class NSURLSessionDataTask;
class NSURLSessionUploadTask;
class NSURLSessionDownloadTask;
class NSURLSessionDelegate;
using NSURLSessionRef = std::shared_ptr<NSURLSession>;
using NSURLSessionTaskRef = std::shared_ptr<NSURLSessionTask>;
using NSURLSessionDataTaskRef = std::shared_ptr<NSURLSessionDataTask>;
using NSURLSessionUploadTaskRef = std::shared_ptr<NSURLSessionUploadTask>;
using NSURLSessionDownloadTaskRef = std::shared_ptr<NSURLSessionDownloadTask>;
using NSURLSessionDelegateRef = std::shared_ptr<NSURLSessionDelegate>;

namespace detail {
struct URLTaskCore;
struct URLSessionCore;
}  // namespace detail

// The platform's "size unknown" value of the byte counters.
inline constexpr int64_t NSURLSessionTransferSizeUnknown = -1;

enum NSURLSessionTaskState : int64_t {
  NSURLSessionTaskStateRunning = 0,
  NSURLSessionTaskStateSuspended = 1,
  NSURLSessionTaskStateCanceling = 2,
  NSURLSessionTaskStateCompleted = 3,
};

enum NSURLSessionResponseDisposition : int64_t {
  NSURLSessionResponseCancel = 0,
  NSURLSessionResponseAllow = 1,
  NSURLSessionResponseBecomeDownload = 2,
};

// Key paths of the byte counters, for NSURLSessionTask::addObserver.
inline constexpr const char* kCountOfBytesReceived = "countOfBytesReceived";
inline constexpr const char* kCountOfBytesExpectedToReceive = "countOfBytesExpectedToReceive";
inline constexpr const char* kCountOfBytesSent = "countOfBytesSent";
inline constexpr const char* kCountOfBytesExpectedToSend = "countOfBytesExpectedToSend";

class NSURLSessionTask : public Object {
 public:
  // (task, the state it had before the call). See setResumeHook.
  using StateHook =
      std::function<void(const NSURLSessionTaskRef& task, NSURLSessionTaskState stateBefore)>;
  // (task, key path, new value)
  using CounterObserver =
      std::function<void(NSURLSessionTask& task, const std::string& keyPath, int64_t value)>;

  ~NSURLSessionTask() override;
  std::string className() const override { return "NSURLSessionTask"; }
  // "<ClassName: 0x...>{ taskIdentifier: N } { running|suspended|canceling|completed }"
  std::string description() const override;

  // Unique within the session, counting from 1 in creation order.
  uint64_t taskIdentifier() const;
  std::string taskDescription() const;
  void setTaskDescription(std::string description);
  // The request the task was made with (a copy); null for a download made from resume data
  // that named no URL.
  NSURLRequestRef originalRequest() const;
  // The request being sent now (differs from the original after a redirect).
  NSURLRequestRef currentRequest() const;
  // The final response once its header has arrived; null before.
  NSURLResponseRef response() const;
  NSURLSessionTaskState state() const;
  // The error the task completed with; null while running or after success.
  NSErrorRef error() const;

  int64_t countOfBytesReceived() const;
  int64_t countOfBytesSent() const;
  // Body size of the request; -1 when unknown (a stream without "Content-Length").
  int64_t countOfBytesExpectedToSend() const;
  // The response's "Content-Length"; -1 until known or when unknown.
  int64_t countOfBytesExpectedToReceive() const;
  // Observes one of the four counters (kCountOfBytes...): the observer is called on the
  // transfer thread after each change. Returns a token for removeObserver.
  uint64_t addObserver(std::string keyPath, CounterObserver observer);
  void removeObserver(uint64_t token);

  // Suspended -> running: starts (or continues) the transfer. No effect in other states.
  void resume();
  // Running -> suspended: pauses the transfer (no bytes move until resumed). A suspended
  // task never times out. No effect in other states.
  void suspend();
  // Running or suspended -> canceling: the task completes with NSURLErrorCancelled (a
  // pending delegate decision is released). No effect once canceling or completed.
  void cancel();

  // Process-wide hooks run after every resume() / suspend() on the calling thread, with the
  // state the task had before (also when the call changed nothing). Replacing the hook is
  // thread-safe; an empty function removes it.
  static void setResumeHook(StateHook hook);
  static void setSuspendHook(StateHook hook);

  // Internal: the session's record of the task.
  const std::shared_ptr<detail::URLTaskCore>& core() const { return core_; }

 protected:
  explicit NSURLSessionTask(std::shared_ptr<detail::URLTaskCore> core) : core_(std::move(core)) {}

 private:
  friend struct detail::URLSessionCore;
  std::shared_ptr<detail::URLTaskCore> core_;
};

class NSURLSessionDataTask : public NSURLSessionTask {
 public:
  std::string className() const override { return "NSURLSessionDataTask"; }

 protected:
  friend struct detail::URLSessionCore;
  using NSURLSessionTask::NSURLSessionTask;
};

class NSURLSessionUploadTask : public NSURLSessionDataTask {
 public:
  std::string className() const override { return "NSURLSessionUploadTask"; }

 protected:
  friend struct detail::URLSessionCore;
  using NSURLSessionDataTask::NSURLSessionDataTask;
};

class NSURLSessionDownloadTask : public NSURLSessionTask {
 public:
  std::string className() const override { return "NSURLSessionDownloadTask"; }
  // Cancels the task; `completion` (on the delegate queue) receives data from which
  // downloadTaskWithResumeData continues the transfer, or empty data when it cannot resume
  // (no bytes yet, or a response without a strong ETag or a Last-Modified; a partial file that
  // no resume data name is removed). Any thread. A download whose whole body had arrived
  // finishes as downloaded instead, and `completion` receives empty data.
  void cancelByProducingResumeData(std::function<void(const Data& resumeData)> completion);

 protected:
  friend struct detail::URLSessionCore;
  using NSURLSessionTask::NSURLSessionTask;
};

// The session's delegate (the platform's session, task, data and download delegate
// protocols in one class). Every operation is optional. Operations that take a completion
// handler answer whether they are implemented: return false (the default) to let the
// session act by itself (default trust evaluation, follow the redirect, allow the response,
// no new body stream); return true to promise that `completion` will be called, once, on
// any thread. The transfer waits for it.
class NSURLSessionDelegate {
 public:
  using ChallengeCompletion =
      std::function<void(NSURLSessionAuthChallengeDisposition, NSURLCredentialRef)>;

  virtual ~NSURLSessionDelegate() = default;

  // Session.
  virtual void URLSessionDidBecomeInvalidWithError(const NSURLSessionRef& session,
                                                   const NSErrorRef& error) {}
  // Session-wide challenges (server trust). Asked first; when this is not implemented the
  // task-level operation is asked instead.
  virtual bool URLSessionDidReceiveChallengeCompletionHandler(
      const NSURLSessionRef& session, const NSURLAuthenticationChallengeRef& challenge,
      ChallengeCompletion completion) {
    return false;
  }
  // Never called: no background transfer outlives the process here.
  virtual void URLSessionDidFinishEventsForBackgroundURLSession(const NSURLSessionRef& session) {}

  // Tasks.
  // `completion(nullptr)` refuses the redirect: the redirect response is then delivered as
  // the task's response, with its body.
  virtual bool URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      const NSURLSessionRef& session, const NSURLSessionTaskRef& task,
      const NSHTTPURLResponseRef& response, const NSURLRequestRef& newRequest,
      std::function<void(NSURLRequestRef)> completion) {
    return false;
  }
  // Challenges of one task: HTTP authentication, and server trust when the session-level
  // operation is not implemented.
  virtual bool URLSessionTaskDidReceiveChallengeCompletionHandler(
      const NSURLSessionRef& session, const NSURLSessionTaskRef& task,
      const NSURLAuthenticationChallengeRef& challenge, ChallengeCompletion completion) {
    return false;
  }
  // Asked when a streamed body must be sent again (a redirect keeping the body, a retry on
  // a new connection). A null stream fails the task with NSURLErrorRequestBodyStreamExhausted.
  virtual bool URLSessionTaskNeedNewBodyStream(const NSURLSessionRef& session,
                                               const NSURLSessionTaskRef& task,
                                               std::function<void(NSInputStreamRef)> completion) {
    return false;
  }
  virtual void URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(
      const NSURLSessionRef& session, const NSURLSessionTaskRef& task, int64_t bytesSent,
      int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {}
  // The last callback of every task. `error` is null on success.
  virtual void URLSessionTaskDidCompleteWithError(const NSURLSessionRef& session,
                                                  const NSURLSessionTaskRef& task,
                                                  const NSErrorRef& error) {}

  // Data tasks (and upload tasks).
  virtual bool URLSessionDataTaskDidReceiveResponseCompletionHandler(
      const NSURLSessionRef& session, const NSURLSessionDataTaskRef& dataTask,
      const NSURLResponseRef& response,
      std::function<void(NSURLSessionResponseDisposition)> completion) {
    return false;
  }
  // After NSURLSessionResponseBecomeDownload: the body goes on as `downloadTask` (a new
  // task identifier); the data task gets no completion of its own.
  virtual void URLSessionDataTaskDidBecomeDownloadTask(
      const NSURLSessionRef& session, const NSURLSessionDataTaskRef& dataTask,
      const NSURLSessionDownloadTaskRef& downloadTask) {}
  // Asked, before the task completes, with a storable response of a data task and its whole
  // body: `completion` receives what to store (the proposal, another response, or null to
  // store nothing). Without it the proposal is stored.
  virtual bool URLSessionDataTaskWillCacheResponseCompletionHandler(
      const NSURLSessionRef& session, const NSURLSessionDataTaskRef& dataTask,
      const NSCachedURLResponseRef& proposedResponse,
      std::function<void(NSCachedURLResponseRef)> completion) {
    return false;
  }
  // Body bytes in order; chunks may be merged.
  virtual void URLSessionDataTaskDidReceiveData(const NSURLSessionRef& session,
                                                const NSURLSessionDataTaskRef& dataTask,
                                                const Data& data) {}

  // Download tasks.
  // `location` is the path of the downloaded file; it is deleted when this returns, so move
  // it away here.
  virtual void URLSessionDownloadTaskDidFinishDownloadingToURL(
      const NSURLSessionRef& session, const NSURLSessionDownloadTaskRef& downloadTask,
      const std::string& location) {}
  virtual void URLSessionDownloadTaskDidWriteDataTotalBytesWrittenTotalBytesExpectedToWrite(
      const NSURLSessionRef& session, const NSURLSessionDownloadTaskRef& downloadTask,
      int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {}
  virtual void URLSessionDownloadTaskDidResumeAtOffsetExpectedTotalBytes(
      const NSURLSessionRef& session, const NSURLSessionDownloadTaskRef& downloadTask,
      int64_t fileOffset, int64_t expectedTotalBytes) {}
};
using NSURLSessionTaskDelegate = NSURLSessionDelegate;
using NSURLSessionDataDelegate = NSURLSessionDelegate;
using NSURLSessionDownloadDelegate = NSURLSessionDelegate;

class NSURLSession : public Object {
 public:
  ~NSURLSession() override;

  // A session without delegate. A null configuration means the default one.
  static NSURLSessionRef sessionWithConfiguration(const NSURLSessionConfigurationRef& config);
  // A null queue makes a queue of width 1 for the session.
  static NSURLSessionRef sessionWithConfigurationDelegateDelegateQueue(
      const NSURLSessionConfigurationRef& config, NSURLSessionDelegateRef delegate,
      NSOperationQueueRef delegateQueue);

  std::string className() const override { return "NSURLSession"; }
  // "<NSURLSession: 0x...>"
  std::string description() const override;

  // A copy of the configuration the session was made with.
  NSURLSessionConfigurationRef configuration() const;
  // Null once the session has told its delegate that it became invalid.
  NSURLSessionDelegateRef delegate() const;
  const NSOperationQueueRef& delegateQueue() const;
  std::string sessionDescription() const;
  void setSessionDescription(std::string description);

  // Task factories. Each returns a new suspended task, or null when the request is null or
  // the session has been invalidated (no task is made then). A request without a usable URL
  // still gives a task, which fails with NSURLErrorUnsupportedURL when resumed.
  NSURLSessionDataTaskRef dataTaskWithRequest(const NSURLRequestRef& request);
  NSURLSessionDataTaskRef dataTaskWithURL(const std::string& url);
  // The body is read from the file at `filePath` when the task runs (a missing file fails
  // the task with NSURLErrorFileDoesNotExist).
  NSURLSessionUploadTaskRef uploadTaskWithRequestFromFile(const NSURLRequestRef& request,
                                                          const std::string& filePath);
  NSURLSessionUploadTaskRef uploadTaskWithRequestFromData(const NSURLRequestRef& request,
                                                          const Data& body);
  // The body is the request's HTTPBodyStream (an empty body when it has none).
  NSURLSessionUploadTaskRef uploadTaskWithStreamedRequest(const NSURLRequestRef& request);
  NSURLSessionDownloadTaskRef downloadTaskWithRequest(const NSURLRequestRef& request);
  // Continues a download cancelled with cancelByProducingResumeData: it finishes only with the
  // whole file of one version, continued under the same validator (sent as If-Range), or
  // starts again from zero when the answer is another version or refuses the range; a part
  // that is not exactly the range it names fails the task. Malformed resume data,
  // or data whose partial file is gone, gives null. So does data naming any file other than
  // a partial download of this layer (in the temporary directory): the session never writes
  // to or deletes another file on the word of resume data.
  NSURLSessionDownloadTaskRef downloadTaskWithResumeData(const Data& resumeData);

  // The tasks not yet completed, by kind (upload tasks are not listed as data tasks), in
  // creation order; `completion` runs on the delegate queue.
  void getTasksWithCompletionHandler(std::function<void(std::vector<NSURLSessionDataTaskRef>,
                                                        std::vector<NSURLSessionUploadTaskRef>,
                                                        std::vector<NSURLSessionDownloadTaskRef>)>
                                         completion);
  // The same lists, taken at once (any thread). For callers on the session's transfer thread
  // (counter observers run there), where waiting for getTasksWithCompletionHandler would never
  // end: its answer is posted from that very thread.
  void getTasksNow(std::vector<NSURLSessionDataTaskRef>* data,
                   std::vector<NSURLSessionUploadTaskRef>* upload,
                   std::vector<NSURLSessionDownloadTaskRef>* download) const;
  // Whether the caller runs on this session's transfer thread.
  bool isOnTransferThread() const;

  // No new tasks; running tasks finish; then the delegate is told the session became
  // invalid (null error) and released. Later calls do nothing.
  void finishTasksAndInvalidate();
  // The same, cancelling every task first.
  void invalidateAndCancel();

  // Internal.
  const std::shared_ptr<detail::URLSessionCore>& core() const { return core_; }

 private:
  NSURLSession() = default;
  std::shared_ptr<detail::URLSessionCore> core_;
};

}  // namespace plat
