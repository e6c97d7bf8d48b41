#pragma once
// NetworkInterface: the aggregation SDK's HTTP transport. It turns a URL text, a parameter
// text and a method into one request (POST: the parameter text is the body; otherwise a GET
// with the parameter text as query), sends it and decodes the JSON answer.
//
// A request's time-out bounds the whole transfer from its start: an answer not complete by
// then fails as a time-out, however steadily its bytes trickle in.
//
// An answer is bounded: a body longer than kMaxAnswerBytes, announced or received, ends the
// request as a failure as soon as it is known, and its bytes are not kept.
//
// Server certificates are checked against the platform's anchors (the system's and the
// device root's); an untrusted server fails like an unreachable one.
//
// Threading: the asynchronous operations may be called from any thread; their completions
// run on the main thread. The synchronous operations block their caller while the transfer
// runs on the session's own threads; they never need the main thread. Called on the main
// thread they are refused with a log (and answer nil / an empty array), because a blocked
// main thread must not wait on the network.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/network/NSURLConnection.h"
#include "platform/network/NSURLSession.h"

class NetworkInterface {
 public:
  // A dictionary, or nil when the request failed or the answer was empty.
  using Completion = std::function<void(const plat::Value& answer)>;

  static NetworkInterface& sharedInstance();
  static double defaultRequesTimeOut() { return 6.0; }
  // The longest answer body taken (far above any answer of the aggregation servers).
  static constexpr uint64_t kMaxAnswerBytes = 4u << 20;

  // Asynchronous: `completion` gets nil at once (on the main thread) for a failed request or
  // an empty body; otherwise the decoded dictionary (empty when the body is not a JSON
  // object) in a further step on the main thread. With `failUnlessObject`, an HTTP status
  // outside 200-299 and a body that is not a JSON object also give nil.
  void addHttpRequestParamMethodCompletionBlockTimeout(const std::string& url,
                                                       const std::string& param,
                                                       const std::string& method,
                                                       Completion completion, double timeout,
                                                       bool failUnlessObject = false);
  void addHttpRequestParamMethodCompletionBlock(const std::string& url, const std::string& param,
                                                const std::string& method, Completion completion);
  // Synchronous: nil for a failed request; an empty dictionary for an empty body or one that
  // is not a JSON object; else the decoded dictionary. 6 s time-out unless given.
  plat::Value addSyncHttpRequestParamMethod(const std::string& url, const std::string& param,
                                            const std::string& method);
  // `escapeQuery` false: a GET's parameter text is already escaped and is appended as it is.
  // A GET logs its URL before the query is added.
  plat::Value addSyncHttpRequestParamMethodTimeout(const std::string& url, const std::string& param,
                                                   const std::string& method, double timeout,
                                                   bool escapeQuery = true);
  // Synchronous with a 3 s time-out, the parameter text appended unescaped: the decoded
  // array's entries, empty when the request failed or the body is no JSON array.
  plat::Array addSyncHttpRequest2ParamMethod(const std::string& url, const std::string& param,
                                             const std::string& method);

  // Challenges of the transport's sessions and connections. A server-trust challenge is left
  // to the platform's standard evaluation (no server is accepted unchecked); any other
  // challenge gets the default handling (sessions) or goes on without a credential
  // (connections).
  void URLSessionDidReceiveChallengeCompletionHandler(
      const plat::NSURLSessionRef& session, const plat::NSURLAuthenticationChallengeRef& challenge,
      const plat::NSURLSessionDelegate::ChallengeCompletion& completion);
  void connectionWillSendRequestForAuthenticationChallenge(
      const plat::NSURLConnectionRef& connection,
      const plat::NSURLAuthenticationChallengeRef& challenge);

  // The platform's legacy URL escaping (UTF-8): characters that may not stand in a URL
  // (controls, space, non-ASCII, and " % < > [ \ ] ^ ` { | }) become %XX; the rest stays.
  static std::string legacyPercentEscape(const std::string& text);

 private:
  NetworkInterface() = default;
};
