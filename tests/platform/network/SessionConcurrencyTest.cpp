// URL sessions whose delegate runs on a queue of its own while the main thread cancels tasks,
// answers held decisions late and invalidates the session with transfers in flight: every
// task completes exactly once, nothing reaches the delegate about a task after its
// completion, and nothing at all after the session became invalid.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/network/NSURLSession.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::LoopbackServer;

namespace {

// Records callbacks per task from whatever thread the session calls it on.
class ThreadedDelegate : public NSURLSessionDelegate {
 public:
  std::mutex mu;
  std::map<uint64_t, int> completions;
  std::vector<std::string> violations;
  std::vector<std::function<void(NSURLSessionResponseDisposition)>> heldResponses;
  std::vector<std::function<void(NSURLRequestRef)>> heldRedirects;
  std::vector<NSURLRequestRef> heldRedirectRequests;
  bool invalid = false;

  void note(const NSURLSessionTaskRef& task, const std::string& what) {
    std::lock_guard<std::mutex> lock(mu);
    if (invalid) violations.push_back(what + " after invalidation");
    if (task && completions.count(task->taskIdentifier())) {
      violations.push_back(what + " after completion of " + std::to_string(task->taskIdentifier()));
    }
  }

  void URLSessionDidBecomeInvalidWithError(const NSURLSessionRef&, const NSErrorRef&) override {
    note(nullptr, "invalid");
    std::lock_guard<std::mutex> lock(mu);
    invalid = true;
  }
  bool URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      const NSURLSessionRef&, const NSURLSessionTaskRef& task, const NSHTTPURLResponseRef&,
      const NSURLRequestRef& request, std::function<void(NSURLRequestRef)> completion) override {
    note(task, "redirect");
    if (task->taskIdentifier() % 2) return false;
    std::lock_guard<std::mutex> lock(mu);
    heldRedirects.push_back(completion);
    heldRedirectRequests.push_back(request);
    return true;
  }
  bool URLSessionDataTaskDidReceiveResponseCompletionHandler(
      const NSURLSessionRef&, const NSURLSessionDataTaskRef& task, const NSURLResponseRef&,
      std::function<void(NSURLSessionResponseDisposition)> completion) override {
    note(task, "response");
    if (task->taskIdentifier() % 3) return false;
    std::lock_guard<std::mutex> lock(mu);
    heldResponses.push_back(completion);
    return true;
  }
  void URLSessionDataTaskDidReceiveData(const NSURLSessionRef&,
                                        const NSURLSessionDataTaskRef& task,
                                        const Data&) override {
    note(task, "data");
  }
  void URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(
      const NSURLSessionRef&, const NSURLSessionTaskRef& task, int64_t, int64_t,
      int64_t) override {
    note(task, "sent");
  }
  void URLSessionTaskDidCompleteWithError(const NSURLSessionRef&, const NSURLSessionTaskRef& task,
                                          const NSErrorRef& error) override {
    note(task, "complete");
    std::lock_guard<std::mutex> lock(mu);
    if (error && error->code() != NSURLErrorCancelled) {
      violations.push_back("task " + std::to_string(task->taskIdentifier()) + " failed with " +
                           std::to_string(error->code()));
    }
    ++completions[task->taskIdentifier()];
  }

  size_t completed() {
    std::lock_guard<std::mutex> lock(mu);
    return completions.size();
  }
  bool isInvalid() {
    std::lock_guard<std::mutex> lock(mu);
    return invalid;
  }
};

TEST(SessionConcurrency, CancelsLateAnswersAndInvalidationWhileCallbacksAreInFlight) {
  LoopbackServer server;
  server.respond("/body", 200, std::string(256 * 1024, 'b'), "application/octet-stream");
  server.route("/moved", [](const testing_net::Request&, testing_net::Response& res) {
    res.status = 302;
    res.setHeader("Location", "/body");
  });
  server.respond("/up", 200, "ok");

  for (int round = 0; round < 3; ++round) {
    auto delegate = std::make_shared<ThreadedDelegate>();
    auto session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
        NSURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
    std::vector<NSURLSessionTaskRef> tasks;
    for (int i = 0; i < 36; ++i) {
      NSURLSessionTaskRef task;
      switch (i % 3) {
        case 0:
          task = session->dataTaskWithURL(server.url("/body"));
          break;
        case 1:
          task = session->dataTaskWithURL(server.url("/moved"));
          break;
        default: {
          auto r = NSMutableURLRequest::requestWithURL(server.url("/up"));
          r->setHTTPMethod("POST");
          task = session->uploadTaskWithRequestFromData(r, Data::fromString(std::string(70000, 'u')));
        }
      }
      ASSERT_TRUE(task);
      tasks.push_back(task);
      task->resume();
      if (i % 4 == round) task->cancel();  // at once, before the transfer starts
    }

    // Some tasks finish, some wait on held decisions; cancel a few of those mid-flight.
    runUntil([&] { return delegate->completed() >= 12; }, 20);
    for (size_t i = 0; i < tasks.size(); i += 5) tasks[i]->cancel();
    {
      std::lock_guard<std::mutex> lock(delegate->mu);
      for (size_t i = 0; i < delegate->heldResponses.size(); i += 2) {
        delegate->heldResponses[i](NSURLSessionResponseAllow);
      }
    }
    session->invalidateAndCancel();
    ASSERT_TRUE(runUntil([&] { return delegate->isInvalid(); }, 20)) << "round " << round;

    // Answers that come after everything ended change nothing.
    std::vector<std::function<void(NSURLSessionResponseDisposition)>> responses;
    std::vector<std::function<void(NSURLRequestRef)>> redirects;
    std::vector<NSURLRequestRef> redirectRequests;
    {
      std::lock_guard<std::mutex> lock(delegate->mu);
      responses = delegate->heldResponses;
      redirects = delegate->heldRedirects;
      redirectRequests = delegate->heldRedirectRequests;
    }
    for (auto& answer : responses) answer(NSURLSessionResponseAllow);
    for (size_t i = 0; i < redirects.size(); ++i) redirects[i](redirectRequests[i]);
    session->delegateQueue()->waitUntilAllOperationsAreFinished();

    std::lock_guard<std::mutex> lock(delegate->mu);
    EXPECT_TRUE(delegate->violations.empty()) << delegate->violations.front();
    EXPECT_EQ(delegate->completions.size(), tasks.size());
    for (auto& task : tasks) {
      EXPECT_EQ(delegate->completions[task->taskIdentifier()], 1) << task->taskIdentifier();
      EXPECT_EQ(task->state(), NSURLSessionTaskStateCompleted);
    }
    EXPECT_FALSE(session->delegate());
  }
}

}  // namespace
