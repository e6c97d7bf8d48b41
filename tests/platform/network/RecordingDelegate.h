#pragma once
// A session delegate for tests: records every callback as a line of text, collects the body
// of each task, and answers decisions as the test configured. Used on the main queue only.

#include <map>
#include <string>
#include <vector>

#include "platform/network/NSURLSession.h"

class RecordingDelegate : public plat::NSURLSessionDelegate {
 public:
  std::vector<std::string> events;
  std::map<uint64_t, std::string> bodies;
  std::map<uint64_t, plat::NSErrorRef> errors;
  std::map<uint64_t, std::string> downloads;  // file contents at didFinishDownloading
  size_t completed = 0;
  bool invalidated = false;

  // Decisions (unset: not implemented, the session acts by itself).
  std::function<plat::NSURLSessionResponseDisposition(const plat::NSURLResponseRef&)> onResponse;
  std::function<plat::NSURLRequestRef(const plat::NSHTTPURLResponseRef&,
                                      const plat::NSURLRequestRef&)>
      onRedirect;
  std::function<std::pair<plat::NSURLSessionAuthChallengeDisposition, plat::NSURLCredentialRef>(
      const plat::NSURLAuthenticationChallengeRef&)>
      onChallenge;
  std::function<plat::NSInputStreamRef()> onNeedStream;
  // Holds the response decision instead of answering (the test answers later).
  bool holdResponse = false;
  std::function<void(plat::NSURLSessionResponseDisposition)> heldResponse;
  // The same for the redirect and new-body-stream decisions.
  bool holdRedirect = false;
  std::function<void(plat::NSURLRequestRef)> heldRedirect;
  plat::NSURLRequestRef heldRedirectRequest;
  bool holdStream = false;
  std::function<void(plat::NSInputStreamRef)> heldStream;

  void URLSessionDidBecomeInvalidWithError(const plat::NSURLSessionRef&,
                                           const plat::NSErrorRef&) override {
    events.push_back("invalid");
    invalidated = true;
  }
  bool URLSessionTaskDidReceiveChallengeCompletionHandler(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&,
      const plat::NSURLAuthenticationChallengeRef& challenge,
      ChallengeCompletion completion) override {
    if (!onChallenge) return false;
    events.push_back("challenge " + challenge->protectionSpace()->authenticationMethod());
    auto [d, c] = onChallenge(challenge);
    completion(d, c);
    return true;
  }
  bool URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&,
      const plat::NSHTTPURLResponseRef& response, const plat::NSURLRequestRef& request,
      std::function<void(plat::NSURLRequestRef)> completion) override {
    events.push_back("redirect " + std::to_string(response->statusCode()) + " " +
                     request->HTTPMethod() + " " + request->URL());
    if (holdRedirect) {
      heldRedirect = completion;
      heldRedirectRequest = request;
      return true;
    }
    if (!onRedirect) return false;
    completion(onRedirect(response, request));
    return true;
  }
  bool URLSessionTaskNeedNewBodyStream(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&,
      std::function<void(plat::NSInputStreamRef)> completion) override {
    events.push_back("needStream");
    if (holdStream) {
      heldStream = completion;
      return true;
    }
    if (!onNeedStream) return false;
    completion(onNeedStream());
    return true;
  }
  void URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&, int64_t, int64_t total,
      int64_t expected) override {
    lastSent = total;
    lastExpectedToSend = expected;
  }
  void URLSessionTaskDidCompleteWithError(const plat::NSURLSessionRef&,
                                          const plat::NSURLSessionTaskRef& task,
                                          const plat::NSErrorRef& error) override {
    events.push_back("complete " + std::to_string(task->taskIdentifier()) + " " +
                     (error ? std::to_string(error->code()) : std::string("ok")));
    errors[task->taskIdentifier()] = error;
    ++completed;
  }
  bool URLSessionDataTaskDidReceiveResponseCompletionHandler(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef&,
      const plat::NSURLResponseRef& response,
      std::function<void(plat::NSURLSessionResponseDisposition)> completion) override {
    auto http = std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(response);
    events.push_back("response " + std::to_string(http ? http->statusCode() : 0));
    if (holdResponse) {
      heldResponse = completion;
      return true;
    }
    if (!onResponse) return false;
    completion(onResponse(response));
    return true;
  }
  void URLSessionDataTaskDidBecomeDownloadTask(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef&,
      const plat::NSURLSessionDownloadTaskRef& dl) override {
    events.push_back("becameDownload " + std::to_string(dl->taskIdentifier()));
  }
  void URLSessionDataTaskDidReceiveData(const plat::NSURLSessionRef&,
                                        const plat::NSURLSessionDataTaskRef& task,
                                        const plat::Data& data) override {
    if (events.empty() || events.back() != "data") events.push_back("data");
    bodies[task->taskIdentifier()] += data.toString();
  }
  void URLSessionDownloadTaskDidFinishDownloadingToURL(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDownloadTaskRef& task,
      const std::string& location) override {
    events.push_back("finished download");
    FILE* f = std::fopen(location.c_str(), "rb");
    std::string content;
    if (f) {
      char buf[65536];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
      std::fclose(f);
    }
    downloads[task->taskIdentifier()] = content;
    downloadPath = location;
  }
  void URLSessionDownloadTaskDidWriteDataTotalBytesWrittenTotalBytesExpectedToWrite(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDownloadTaskRef&, int64_t,
      int64_t total, int64_t expected) override {
    lastWritten = total;
    lastExpectedToWrite = expected;
  }
  void URLSessionDownloadTaskDidResumeAtOffsetExpectedTotalBytes(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDownloadTaskRef&, int64_t offset,
      int64_t expected) override {
    events.push_back("resumed at " + std::to_string(offset) + " of " + std::to_string(expected));
  }

  int64_t lastSent = 0;
  int64_t lastExpectedToSend = 0;
  int64_t lastWritten = 0;
  int64_t lastExpectedToWrite = 0;
  std::string downloadPath;
};
