#pragma once
// plat::NSURLConnection: the platform's older URL loader. One connection loads one request
// (http, https or file) and reports to its delegate on the run loop of the thread that
// started it.
//
// Network loads run in the URL transfer engine, as those of NSURLSession (NSURLSession.h):
// redirects (followed after asking the delegate), compressed bodies delivered decoded, the
// request's idle time-out (NSURLRequest::timeoutInterval), server trust and HTTP Basic and
// Digest authentication, the response cache (NSURLCache::sharedURLCache, as the request's
// cache policy says; the delegate is asked before a response is stored) and cookies
// (NSHTTPCookieStorage::sharedHTTPCookieStorage, for requests that handle cookies). Body bytes
// come as they arrive; the bytes of one transfer turn may come as one chunk. A file URL is
// read from the file: its response has the file's size as expected length and a MIME type
// from the file's extension.
//
// Threading: a connection is made and started on a thread whose run loop runs (the main
// thread, or a network thread running its loop); every delegate call comes on that loop, in
// order, in any of its modes. cancel() may be called on any thread: once it has returned on
// the delegate's thread, no further delegate call comes (from another thread, a call already
// running finishes). When that thread ends, the load ends with it: the questions its loop
// dropped are answered as a cancel, and no call follows. The loads of all connections share
// one transfer thread, which waits while a trust challenge or a new body stream is asked for:
// answer those promptly.
//
// Lifetime: a started connection keeps itself alive until its load ends (the caller need not
// hold it). The delegate is held weakly: calls for a delegate that is gone are dropped, and
// questions are answered as if the delegate did not implement them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"
#include "platform/network/NSStream.h"
#include "platform/network/NSURLAuthenticationChallenge.h"
#include "platform/network/NSURLCache.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLResponse.h"

namespace plat {

class NSURLConnection;
class NSURLConnectionDelegate;
using NSURLConnectionRef = std::shared_ptr<NSURLConnection>;
using NSURLConnectionDelegateRef = std::shared_ptr<NSURLConnectionDelegate>;

// The connection's delegate (the platform's connection and connection data delegate protocols
// in one class). Every operation is optional; those with a result answer std::nullopt (the
// default) when not implemented, and the connection then acts by itself.
class NSURLConnectionDelegate {
 public:
  virtual ~NSURLConnectionDelegate() = default;

  // The last call of a failed load (never after cancel()).
  virtual void connectionDidFailWithError(const NSURLConnectionRef& connection,
                                          const NSErrorRef& error) {}
  // Asked before the first challenge for a user credential. There is no credential storage
  // here: the answer changes nothing.
  virtual std::optional<bool> connectionShouldUseCredentialStorage(
      const NSURLConnectionRef& connection) {
    return std::nullopt;
  }
  // Server trust and HTTP authentication challenges. Return true to promise an answer through
  // challenge->sender() (once, on any thread; the load waits for it); false (the default)
  // lets the connection handle the challenge by itself: the standard trust evaluation, and
  // the request URL's user and password for HTTP authentication, once.
  virtual bool connectionWillSendRequestForAuthenticationChallenge(
      const NSURLConnectionRef& connection, const NSURLAuthenticationChallengeRef& challenge) {
    return false;
  }

  // Asked with the request about to be sent: first the request itself (null redirect
  // response), then each redirect's new request. Answer the request to send (the proposal or
  // another one). Null refuses: the first request ends the load without further calls; a
  // refused redirect's response is delivered as the response, with its body.
  virtual std::optional<NSURLRequestRef> connectionWillSendRequestRedirectResponse(
      const NSURLConnectionRef& connection, const NSURLRequestRef& request,
      const NSURLResponseRef& redirectResponse) {
    return std::nullopt;
  }
  virtual void connectionDidReceiveResponse(const NSURLConnectionRef& connection,
                                            const NSURLResponseRef& response) {}
  // Body bytes in order; chunks may be merged.
  virtual void connectionDidReceiveData(const NSURLConnectionRef& connection, const Data& data) {}
  // Asked when a streamed body must be sent again (a redirect keeping the body): a new stream
  // over the same bytes, or null to fail the load with NSURLErrorRequestBodyStreamExhausted.
  virtual std::optional<NSInputStreamRef> connectionNeedNewBodyStream(
      const NSURLConnectionRef& connection, const NSURLRequestRef& request) {
    return std::nullopt;
  }
  virtual void connectionDidSendBodyDataTotalBytesWrittenTotalBytesExpectedToWrite(
      const NSURLConnectionRef& connection, int64_t bytesWritten, int64_t totalBytesWritten,
      int64_t totalBytesExpectedToWrite) {}
  // Asked, before connectionDidFinishLoading, with a storable response and its whole body:
  // answer what to store (the proposal, another one, or null to store nothing).
  virtual std::optional<NSCachedURLResponseRef> connectionWillCacheResponse(
      const NSURLConnectionRef& connection, const NSCachedURLResponseRef& cachedResponse) {
    return std::nullopt;
  }
  // The last call of a successful load (never after cancel()).
  virtual void connectionDidFinishLoading(const NSURLConnectionRef& connection) {}
};

class NSURLConnection : public Object {
 public:
  ~NSURLConnection() override;

  // A connection for `request`, started at once on the calling thread's run loop. Null when
  // the request is null. A request the loader cannot handle fails through the delegate
  // (NSURLErrorUnsupportedURL).
  static NSURLConnectionRef connectionWithRequestDelegate(const NSURLRequestRef& request,
                                                          NSURLConnectionDelegateRef delegate);
  // The same; with `startImmediately` false nothing happens until start().
  static NSURLConnectionRef connectionWithRequestDelegateStartImmediately(
      const NSURLRequestRef& request, NSURLConnectionDelegateRef delegate,
      bool startImmediately);
  // Whether the loader handles the request's scheme (http, https, file).
  static bool canHandleRequest(const NSURLRequestRef& request);

  std::string className() const override { return "NSURLConnection"; }

  // Starts the load on the calling thread's run loop; later calls, and calls after cancel(),
  // do nothing.
  void start();
  // Ends the load: the server's connection is closed and no delegate call follows. Any
  // thread; a second call does nothing.
  void cancel();

  // The request the connection was made with (a copy).
  NSURLRequestRef originalRequest() const;
  // The request being sent now (after redirects, the last one followed).
  NSURLRequestRef currentRequest() const;
  NSURLConnectionDelegateRef delegate() const;

  struct State;

 private:
  NSURLConnection() = default;
  std::shared_ptr<State> state_;
};

}  // namespace plat
