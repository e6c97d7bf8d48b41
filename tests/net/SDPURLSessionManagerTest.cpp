// The session manager and its completion pipeline against loopback servers: completions on
// the main queue, notifications, cancellation, redirects, uploads, downloads, trust.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "net/SDPHTTPRequestSerializer.h"
#include "net/SDPHTTPResponseSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPStreamingMultipartFormData.h"
#include "net/SDPURLSessionManager.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/network/NSURLCache.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "testing/net/RawLoopbackServer.h"

namespace {

struct Result {
  bool done = false;
  bool onMain = false;
  plat::NSURLResponseRef response;
  plat::Value object;
  plat::NSErrorRef error;
};

SDPURLSessionManager::CompletionHandler recordInto(Result& result) {
  return [&result](const plat::NSURLResponseRef& response, const plat::Value& object,
                   const plat::NSErrorRef& error) {
    result.onMain = plat::dispatch_is_main_thread();
    result.response = response;
    result.object = object;
    result.error = error;
    result.done = true;
  };
}

// Collects notifications of one name.
class NoteRecorder {
 public:
  explicit NoteRecorder(const std::string& name) {
    token_ = plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
        name, plat::Value(), nullptr,
        [this](const plat::NSNotification& note) { notes.push_back(note); });
  }
  ~NoteRecorder() { plat::NSNotificationCenter::defaultCenter().removeObserver(token_); }
  size_t countFor(const plat::NSURLSessionTaskRef& task) const {
    size_t n = 0;
    for (const auto& note : notes)
      n += note.object.objectAs<plat::NSURLSessionTask>() == task ? 1 : 0;
    return n;
  }
  std::vector<plat::NSNotification> notes;

 private:
  plat::NSNotificationCenter::ObserverToken token_;
};

class SDPURLSessionManagerTest : public ::testing::Test {
 protected:
  void TearDown() override { shutDownManagers(); }

  // Invalidates every manager's session, closing its connections.
  void shutDownManagers() {
    for (auto& manager : managers_) {
      auto session = manager->session();
      manager->invalidateSessionCancelingTasks(true);
      testing_loop::runUntil([&] { return !session->delegate(); });
    }
    managers_.clear();
    // The last references to the sessions go with the invalidation work on their queues,
    // which joins their transfer threads: let it finish before the next test (or the exit).
    testing_loop::runUntilIdle();
  }

  std::shared_ptr<SDPURLSessionManager> makeManager() {
    managers_.push_back(SDPURLSessionManager::manager());
    return managers_.back();
  }

  static plat::NSURLRequestRef get(const std::string& url) {
    return plat::NSURLRequest::requestWithURL(url);
  }

  testing_net::LoopbackServer server_;
  std::vector<std::shared_ptr<SDPURLSessionManager>> managers_;
};

std::string tempDir() {
  auto dir = std::filesystem::temp_directory_path() / ("sdp-session-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir.string();
}

}  // namespace

TEST_F(SDPURLSessionManagerTest, DataTaskCompletesOnMainWithParsedJSONThenNotifies) {
  server_.respond("/json", 200, R"({"a":1})", "application/json");
  auto manager = makeManager();
  NoteRecorder complete(SDPNetworkingTaskDidCompleteNotification);
  Result result;
  bool handlerBeforeNote = false;
  auto task = manager->dataTaskWithRequestCompletionHandler(
      get(server_.url("/json")), [&](auto& response, auto& object, auto& error) {
        handlerBeforeNote = complete.notes.empty();
        recordInto(result)(response, object, error);
      });
  ASSERT_TRUE(task);
  EXPECT_EQ(task->taskDescription(), manager->taskDescriptionForSessionTasks());
  EXPECT_TRUE(manager->delegateForTask(task));
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return complete.countFor(task) == 1; }));
  EXPECT_TRUE(result.done);
  EXPECT_TRUE(result.onMain);
  EXPECT_TRUE(handlerBeforeNote);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.object["a"], plat::Value(1));
  auto http = std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(result.response);
  ASSERT_TRUE(http);
  EXPECT_EQ(http->statusCode(), 200);

  const plat::Value& info = complete.notes[0].userInfo;
  EXPECT_TRUE(info[SDPNetworkingTaskDidCompleteResponseSerializerKey].isObject());
  EXPECT_EQ(info[SDPNetworkingTaskDidCompleteResponseDataKey],
            plat::Value(plat::Data::fromString(R"({"a":1})")));
  EXPECT_EQ(info[SDPNetworkingTaskDidCompleteSerializedResponseKey]["a"], plat::Value(1));
  EXPECT_TRUE(info[SDPNetworkingTaskDidCompleteErrorKey].isNil());
  // The record is gone once the task completed.
  EXPECT_FALSE(manager->delegateForTask(task));
}

TEST_F(SDPURLSessionManagerTest, EmptyBodyReachesTheSerializerAsEmptyData) {
  server_.respond("/empty", 200, "", "application/json");
  auto manager = makeManager();
  NoteRecorder complete(SDPNetworkingTaskDidCompleteNotification);
  Result result;
  auto task =
      manager->dataTaskWithRequestCompletionHandler(get(server_.url("/empty")), recordInto(result));
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return complete.countFor(task) == 1; }));
  EXPECT_TRUE(result.object.isNil());
  EXPECT_FALSE(result.error);
  EXPECT_EQ(complete.notes[0].userInfo[SDPNetworkingTaskDidCompleteResponseDataKey],
            plat::Value(plat::Data()));
}

TEST_F(SDPURLSessionManagerTest, ResumeAndSuspendNotifyOnlyForTheManagersOwnTasks) {
  server_.route("/hang",
                [](const testing_net::Request&, testing_net::Response& r) { r.hang = true; });
  auto manager = makeManager();
  auto other = makeManager();
  NoteRecorder resumed(SDPNetworkingTaskDidResumeNotification);
  NoteRecorder suspended(SDPNetworkingTaskDidSuspendNotification);

  auto task = manager->dataTaskWithRequestCompletionHandler(get(server_.url("/hang")), nullptr);
  auto foreign = other->dataTaskWithRequestCompletionHandler(get(server_.url("/hang")), nullptr);
  auto raw = manager->session()->dataTaskWithRequest(get(server_.url("/hang")));
  task->resume();
  task->resume();  // already running: nothing new
  foreign->resume();
  raw->resume();  // not made by a manager: no notification
  testing_loop::runUntilIdle();
  EXPECT_EQ(resumed.countFor(task), 1u);
  EXPECT_EQ(resumed.countFor(foreign), 1u);  // from its own manager only
  EXPECT_EQ(resumed.countFor(raw), 0u);

  task->suspend();
  task->suspend();
  testing_loop::runUntilIdle();
  EXPECT_EQ(suspended.countFor(task), 1u);
  task->resume();
  testing_loop::runUntilIdle();
  EXPECT_EQ(resumed.countFor(task), 2u);
  for (const auto& t : {task, foreign, raw}) t->cancel();
}

TEST_F(SDPURLSessionManagerTest, CancelledTaskReportsTheCancellation) {
  server_.route("/hang",
                [](const testing_net::Request&, testing_net::Response& r) { r.hang = true; });
  auto manager = makeManager();
  NoteRecorder complete(SDPNetworkingTaskDidCompleteNotification);
  Result result;
  auto task =
      manager->dataTaskWithRequestCompletionHandler(get(server_.url("/hang")), recordInto(result));
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return server_.requestCount() == 1; }));
  // Cancelling the progress cancels the task.
  manager->downloadProgressForTask(task)->cancel();
  ASSERT_TRUE(testing_loop::runUntil([&] { return complete.countFor(task) == 1; }));
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->domain(), plat::NSURLErrorDomain);
  EXPECT_EQ(result.error->code(), -999);
  EXPECT_TRUE(result.object.isNil());
  auto noted =
      complete.notes[0].userInfo[SDPNetworkingTaskDidCompleteErrorKey].objectAs<plat::NSError>();
  ASSERT_TRUE(noted);
  EXPECT_EQ(noted->code(), -999);
}

TEST_F(SDPURLSessionManagerTest, RedirectsFollowUnlessTheBlockRefuses) {
  server_.route("/old", [](const testing_net::Request&, testing_net::Response& r) {
    r.status = 302;
    r.setHeader("Location", "/new");
  });
  server_.respond("/new", 200, "[7]", "application/json");
  auto manager = makeManager();
  Result followed;
  manager->dataTaskWithRequestCompletionHandler(get(server_.url("/old")), recordInto(followed))
      ->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return followed.done; }));
  EXPECT_EQ(followed.object, plat::Value(plat::Array{7}));
  EXPECT_EQ(followed.response->URL(), server_.url("/new"));

  int asked = 0;
  manager->setTaskWillPerformHTTPRedirectionBlock([&](auto&, auto&, auto&, auto&) {
    ++asked;
    return plat::NSURLRequestRef();
  });
  Result refused;
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  manager->dataTaskWithRequestCompletionHandler(get(server_.url("/old")), recordInto(refused))
      ->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return refused.done; }));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(std::dynamic_pointer_cast<plat::NSHTTPURLResponse>(refused.response)->statusCode(),
            302);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code(), -1011);
}

TEST_F(SDPURLSessionManagerTest, UploadFromDataSendsTheBytesAndReportsProgress) {
  server_.route("/up", [](const testing_net::Request& req, testing_net::Response& r) {
    r.body = std::to_string(req.body.size());
    r.contentType = "text/plain";
  });
  auto manager = makeManager();
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  std::string payload(200000, 'u');
  payload[12345] = '\0';
  auto request = plat::NSMutableURLRequest::requestWithURL(server_.url("/up"));
  request->setHTTPMethod("POST");
  Result result;
  std::atomic<int64_t> lastCompleted{0};
  auto task = manager->uploadTaskWithRequestFromDataProgressCompletionHandler(
      request, plat::Data::fromString(payload),
      [&](const plat::NSProgressRef& progress) { lastCompleted = progress->completedUnitCount(); },
      recordInto(result));
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return result.done; }));
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.object, plat::Value(plat::Data::fromString("200000")));
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(server_.requests()[0].body, payload);
  EXPECT_EQ(lastCompleted.load(), 200000);
}

TEST_F(SDPURLSessionManagerTest, DownloadsMoveToTheDestinationAndFailedMovesAreReported) {
  server_.respond("/file", 200, std::string(5000, 'd'), "application/octet-stream");
  auto manager = makeManager();
  const std::string target = tempDir() + "/downloaded.bin";
  std::filesystem::remove(target);
  Result moved;
  manager
      ->downloadTaskWithRequestProgressDestinationCompletionHandler(
          get(server_.url("/file")), nullptr,
          [&](const std::string&, const plat::NSURLResponseRef&) { return target; },
          recordInto(moved))
      ->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return moved.done; }));
  EXPECT_FALSE(moved.error);
  EXPECT_EQ(moved.object, plat::Value(target));
  EXPECT_EQ(std::filesystem::file_size(target), 5000u);

  NoteRecorder moveFailed(SDPURLSessionDownloadTaskDidFailToMoveFileNotification);
  const std::string nowhere = tempDir() + "/missing-dir/x.bin";
  Result failed;
  auto task = manager->downloadTaskWithRequestProgressDestinationCompletionHandler(
      get(server_.url("/file")), nullptr,
      [&](const std::string&, const plat::NSURLResponseRef&) { return nowhere; },
      recordInto(failed));
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return failed.done; }));
  EXPECT_EQ(failed.object, plat::Value(nowhere));
  ASSERT_TRUE(failed.error);
  EXPECT_EQ(failed.error->domain(), plat::NSCocoaErrorDomain);
  EXPECT_EQ(moveFailed.countFor(task), 1u);

  // An existing file at the destination is kept: the move fails with "file exists" (516).
  { std::ofstream(target, std::ios::trunc) << "mine"; }
  Result refused;
  auto again = manager->downloadTaskWithRequestProgressDestinationCompletionHandler(
      get(server_.url("/file")), nullptr,
      [&](const std::string&, const plat::NSURLResponseRef&) { return target; },
      recordInto(refused));
  again->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return refused.done; }));
  EXPECT_EQ(refused.object, plat::Value(target));
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code(), 516);
  EXPECT_EQ(moveFailed.countFor(again), 1u);
  EXPECT_FALSE(moveFailed.notes.back().userInfo.isNil());

  // The same through the manager's own destination block.
  manager->setDownloadTaskDidFinishDownloadingBlock([&](const plat::NSURLSessionRef&,
                                                        const plat::NSURLSessionDownloadTaskRef&,
                                                        const std::string&) { return target; });
  Result viaBlock;
  auto third = manager->downloadTaskWithRequestProgressDestinationCompletionHandler(
      get(server_.url("/file")), nullptr, nullptr, recordInto(viaBlock));
  third->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return viaBlock.done; }));
  ASSERT_TRUE(viaBlock.error);
  EXPECT_EQ(viaBlock.error->code(), 516);
  EXPECT_EQ(moveFailed.countFor(third), 1u);
  std::ifstream kept(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "mine");
  std::filesystem::remove(target);
}

TEST_F(SDPURLSessionManagerTest, UnparsableURLFailsTheTask) {
  auto manager = makeManager();
  Result result;
  auto task = manager->dataTaskWithRequestCompletionHandler(plat::NSURLRequest::requestWithURL(""),
                                                            recordInto(result));
  ASSERT_TRUE(task);
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return result.done; }));
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code(), -1002);
}

TEST_F(SDPURLSessionManagerTest, CompletionAfterTheManagerIsGoneIsACancellation) {
  server_.respond("/json", 200, "[1]", "application/json");
  auto manager = makeManager();
  auto task = manager->dataTaskWithRequestCompletionHandler(get(server_.url("/json")), nullptr);
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil(
      [&] { return task->state() == plat::NSURLSessionTaskStateCompleted; }));
  // A record whose manager no longer exists.
  auto record = std::make_shared<SDPURLSessionManagerTaskDelegate>();
  Result result;
  record->completionHandler = recordInto(result);
  record->URLSessionTaskDidCompleteWithError(manager->session(), task, nullptr);
  ASSERT_TRUE(testing_loop::runUntil([&] { return result.done; }));
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code(), -999);
  EXPECT_TRUE(result.object.isNil());
}

TEST_F(SDPURLSessionManagerTest, TaskListsCopiesAndCompletionQueue) {
  server_.route("/hang",
                [](const testing_net::Request&, testing_net::Response& r) { r.hang = true; });
  auto manager = makeManager();
  auto a = manager->dataTaskWithRequestCompletionHandler(get(server_.url("/hang")), nullptr);
  auto b = manager->uploadTaskWithRequestFromDataProgressCompletionHandler(
      get(server_.url("/hang")), plat::Data::fromString("x"), nullptr, nullptr);
  EXPECT_EQ(manager->tasks().size(), 2u);
  EXPECT_EQ(manager->dataTasks().size(), 1u);
  EXPECT_EQ(manager->uploadTasks().size(), 1u);
  EXPECT_EQ(manager->downloadTasks().size(), 0u);
  a->cancel();
  b->cancel();

  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  auto copy = manager->copyWithZone();
  managers_.push_back(copy);
  EXPECT_TRUE(std::dynamic_pointer_cast<SDPJSONResponseSerializer>(copy->responseSerializer()));
  EXPECT_NE(copy->taskDescriptionForSessionTasks(), manager->taskDescriptionForSessionTasks());

  server_.respond("/ok", 200, "[]", "application/json");
  auto queue = plat::dispatch_queue_create("test.completion");
  auto group = plat::dispatch_group_create();
  copy->setCompletionQueue(queue);
  copy->setCompletionGroup(group);
  std::atomic<bool> onQueue{false};
  std::atomic<bool> done{false};
  copy->dataTaskWithRequestCompletionHandler(
          get(server_.url("/ok")),
          [&](auto&, auto&, auto&) {
            onQueue = plat::dispatch_queue_get_label(plat::DISPATCH_CURRENT_QUEUE_LABEL) ==
                      "test.completion";
            done = true;
          })
      ->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return done.load(); }));
  EXPECT_TRUE(onQueue);
}

TEST_F(SDPURLSessionManagerTest, ServerTrustFollowsTheSecurityPolicy) {
  const auto& pki = testing_net::TestPKI::shared();
  testing_net::LoopbackServer tls(testing_net::TLSIdentity::withIntermediate(pki.leaf));
  tls.respond("/secure", 200, "[1]", "application/json");
  plat::SecTrustSetSystemAnchorCertificates({plat::SecCertificateCreateWithData(pki.root.der)});
  // Each policy gets a fresh manager: a session reuses its connections, and trust is decided
  // once per connection.
  auto fetch = [&](std::shared_ptr<SDPSecurityPolicy> policy) {
    auto manager = makeManager();
    if (policy) manager->setSecurityPolicy(policy);
    Result result;
    manager->dataTaskWithRequestCompletionHandler(get(tls.url("/secure")), recordInto(result))
        ->resume();
    EXPECT_TRUE(testing_loop::runUntil([&] { return result.done; }));
    return result.error;
  };

  auto error = fetch(nullptr);
  EXPECT_FALSE(error) << error->description();

  // Pinning by public key: the re-issued certificate with the same key is accepted, another
  // key is refused with the untrusted-certificate error; pinning another root is refused.
  error = fetch(SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModePublicKey, std::vector<plat::Data>{pki.reissuedLeaf.der}));
  EXPECT_FALSE(error);
  error = fetch(SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModePublicKey, std::vector<plat::Data>{pki.otherRootLeaf.der}));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1202);
  error = fetch(SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModeCertificate, std::vector<plat::Data>{pki.intermediate.der}));
  EXPECT_FALSE(error);
  error = fetch(SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModeCertificate, std::vector<plat::Data>{pki.otherRoot.der}));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1202);

  // The default policy checks the host name: the leaf does not name this host.
  testing_net::LoopbackServer wrongHost(
      testing_net::TLSIdentity::withIntermediate(pki.otherHostLeaf));
  wrongHost.respond("/secure", 200, "[1]", "application/json");
  auto manager = makeManager();
  Result misnamed;
  manager->dataTaskWithRequestCompletionHandler(get(wrongHost.url("/secure")), recordInto(misnamed))
      ->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return misnamed.done; }));
  ASSERT_TRUE(misnamed.error);
  EXPECT_EQ(misnamed.error->code(), -1202);

  // A session-level block decides server trust before the task level is consulted: it can
  // accept the misnamed server, and the task-level block is not asked.
  auto lenient = makeManager();
  int sessionAsked = 0, taskAsked = 0;
  lenient->setSessionDidReceiveAuthenticationChallengeBlock(
      [&](const plat::NSURLSessionRef&, const plat::NSURLAuthenticationChallengeRef& challenge,
          plat::NSURLCredentialRef* credential) {
        ++sessionAsked;
        *credential =
            plat::NSURLCredential::credentialForTrust(challenge->protectionSpace()->serverTrust());
        return plat::NSURLSessionAuthChallengeUseCredential;
      });
  lenient->setTaskDidReceiveAuthenticationChallengeBlock(
      [&](auto&, auto&, auto&, plat::NSURLCredentialRef*) {
        ++taskAsked;
        return plat::NSURLSessionAuthChallengeRejectProtectionSpace;
      });
  Result accepted;
  lenient->dataTaskWithRequestCompletionHandler(get(wrongHost.url("/secure")), recordInto(accepted))
      ->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return accepted.done; }));
  EXPECT_FALSE(accepted.error);
  EXPECT_EQ(sessionAsked, 1);
  EXPECT_EQ(taskAsked, 0);
  plat::SecTrustResetSystemAnchorCertificates();
  shutDownManagers();  // before the servers of this test stop
}

TEST_F(SDPURLSessionManagerTest, PinsMatchOnlyTheChainBuiltFromTheLeaf) {
  const auto& pki = testing_net::TestPKI::shared();
  plat::SecTrustSetSystemAnchorCertificates({plat::SecCertificateCreateWithData(pki.root.der)});
  testing_net::LoopbackServer real(testing_net::TLSIdentity::withIntermediate(pki.leaf));
  // A man in the middle with a key of its own for this host, which appends the real server's
  // public certificates to its own.
  auto forgedIdentity = testing_net::TLSIdentity::alone(pki.otherRootLeaf);
  forgedIdentity.chainPEM.insert(forgedIdentity.chainPEM.end(),
                                 {pki.leaf.certPEM, pki.intermediate.certPEM, pki.root.certPEM});
  testing_net::LoopbackServer forged(forgedIdentity);
  for (auto* server : {&real, &forged}) server->respond("/secure", 200, "[1]", "application/json");

  auto fetch = [&](testing_net::LoopbackServer& server, SDPSSLPinningMode mode,
                   const plat::Data& pinned, bool validatesDomainName) {
    auto policy = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
        mode, std::vector<plat::Data>{pinned});
    policy->setAllowInvalidCertificates(true);
    policy->setValidatesDomainName(validatesDomainName);
    auto manager = makeManager();
    manager->setSecurityPolicy(policy);
    Result result;
    manager->dataTaskWithRequestCompletionHandler(get(server.url("/secure")), recordInto(result))
        ->resume();
    EXPECT_TRUE(testing_loop::runUntil([&] { return result.done; }));
    return result.error;
  };
  // The leaf pinned as for a private server, and the root pinned with the host name checked.
  for (auto mode : {SDPSSLPinningModePublicKey, SDPSSLPinningModeCertificate}) {
    for (auto [pinned, validates] : {std::pair{&pki.leaf, false}, std::pair{&pki.root, true}}) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << " validates " << validates);
      auto error = fetch(real, mode, pinned->der, validates);
      EXPECT_FALSE(error) << error->description();
      error = fetch(forged, mode, pinned->der, validates);
      EXPECT_TRUE(error && (error->code() == -999 || error->code() == -1202))
          << (error ? error->description() : "accepted");
    }
  }
  plat::SecTrustResetSystemAnchorCertificates();
  shutDownManagers();  // before the servers of this test stop
}

TEST_F(SDPURLSessionManagerTest, CallerBlocksAreSetEitherWayAndBackgroundEventsReachMain) {
  auto manager = makeManager();
  int received = 0;
  manager->setDataTaskDidReceiveData([&](auto&, auto&, const plat::Data&) { ++received; });
  ASSERT_TRUE(manager->dataTaskDidReceiveData());
  manager->setDataTaskDidReceiveDataBlock(nullptr);
  EXPECT_FALSE(manager->dataTaskDidReceiveData());

  // Background events end with the block on the main queue, never inline.
  int finished = 0;
  manager->setDidFinishEventsForBackgroundURLSessionBlock(
      [&](const plat::NSURLSessionRef& session) {
        EXPECT_TRUE(plat::dispatch_is_main_thread());
        EXPECT_EQ(session, manager->session());
        ++finished;
      });
  std::thread([&] {
    manager->URLSessionDidFinishEventsForBackgroundURLSession(manager->session());
  }).join();
  EXPECT_EQ(finished, 0);
  ASSERT_TRUE(testing_loop::runUntil([&] { return finished == 1; }));
  manager->setDidFinishEventsForBackgroundURLSession(nullptr);
  EXPECT_EQ(received, 0);
}

TEST_F(SDPURLSessionManagerTest, SessionCallbacksWithoutBlocksFallBackSensibly) {
  auto manager = makeManager();
  auto request =
      SDPHTTPRequestSerializer::serializer()
          ->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
              "POST", server_.url("/up"), plat::Value(plat::Dictionary{{"a", "abc"}}), nullptr,
              nullptr);
  auto task =
      manager->uploadTaskWithStreamedRequestProgressCompletionHandler(request, nullptr, nullptr);
  ASSERT_TRUE(task);
  const int64_t length = std::stoll(*request->valueForHTTPHeaderField("Content-Length"));

  // An unknown total is taken from the request's Content-Length.
  int64_t reported = 0;
  manager->setTaskDidSendBodyDataBlock(
      [&](auto&, auto&, int64_t, int64_t, int64_t expected) { reported = expected; });
  manager->URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(manager->session(),
                                                                               task, 10, 10, -1);
  EXPECT_EQ(reported, length);

  // A body stream needed again is a fresh copy of the original one.
  plat::NSInputStreamRef again;
  EXPECT_TRUE(manager->URLSessionTaskNeedNewBodyStream(
      manager->session(), task, [&](plat::NSInputStreamRef s) { again = s; }));
  ASSERT_TRUE(again);
  EXPECT_NE(again, request->HTTPBodyStream());
  again->open();
  std::vector<uint8_t> buffer(4096);
  EXPECT_EQ(again->readMaxLength(buffer.data(), buffer.size()), length);

  // Redirects and responses are left to the session without blocks; challenges other than
  // server trust get the default handling.
  EXPECT_FALSE(manager->URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      manager->session(), task, nullptr, request, [](plat::NSURLRequestRef) {}));
  EXPECT_FALSE(manager->URLSessionDataTaskDidReceiveResponseCompletionHandler(
      manager->session(), task, nullptr, [](plat::NSURLSessionResponseDisposition) {}));
  auto space = std::make_shared<plat::NSURLProtectionSpace>(
      "127.0.0.1", 80, "http", "realm", plat::NSURLAuthenticationMethodHTTPBasic);
  auto challenge =
      std::make_shared<plat::NSURLAuthenticationChallenge>(space, nullptr, 0, nullptr, nullptr);
  int64_t disposition = -1;
  manager->URLSessionTaskDidReceiveChallengeCompletionHandler(
      manager->session(), task, challenge,
      [&](plat::NSURLSessionAuthChallengeDisposition d, plat::NSURLCredentialRef) {
        disposition = d;
      });
  EXPECT_EQ(disposition, plat::NSURLSessionAuthChallengePerformDefaultHandling);
  task->cancel();
}

namespace {

// A JSON serializer that notes the thread and the body size it parsed on.
class RecordingJSONSerializer : public SDPJSONResponseSerializer {
 public:
  plat::Value responseObjectForResponseDataError(const plat::NSURLResponseRef& response,
                                                 const plat::Data* data,
                                                 plat::NSErrorRef* error) const override {
    {
      std::lock_guard<std::mutex> lock(mu);
      onMain.push_back(plat::dispatch_is_main_thread());
      sizes.push_back(data ? data->length() : 0);
    }
    return SDPJSONResponseSerializer::responseObjectForResponseDataError(response, data, error);
  }
  mutable std::mutex mu;
  mutable std::vector<bool> onMain;
  mutable std::vector<size_t> sizes;
};

std::string jsonArrayOfSize(size_t bytes) {
  std::string json = "[";
  while (json.size() + 8 < bytes) json += "1234567,";
  json += "0]";
  return json;
}

}  // namespace

// Small bodies are parsed right on the delegate queue, large ones on the serialization
// queue: either way the parse is off the main thread, sees the whole body, and the
// completions arrive on main in the order the requests finished.
TEST_F(SDPURLSessionManagerTest, SmallAndLargeBodiesParseOffMainAndCompleteOnMain) {
  const std::string small = jsonArrayOfSize(1024), large = jsonArrayOfSize(512 * 1024);
  server_.respond("/small", 200, small, "application/json");
  server_.respond("/large", 200, large, "application/json");
  auto manager = makeManager();
  auto serializer = std::make_shared<RecordingJSONSerializer>();
  manager->setResponseSerializer(serializer);

  for (const auto& [path, body] : {std::pair{"/small", &small}, std::pair{"/large", &large}}) {
    Result result;
    manager->dataTaskWithRequestCompletionHandler(get(server_.url(path)), recordInto(result))
        ->resume();
    ASSERT_TRUE(testing_loop::runUntil([&] { return result.done; })) << path;
    EXPECT_FALSE(result.error) << path;
    EXPECT_TRUE(result.onMain) << path;
    ASSERT_TRUE(result.object.isArray()) << path;
    EXPECT_EQ(result.object.array()->size(), (body->size() - 3) / 8 + 1) << path;
  }
  std::lock_guard<std::mutex> lock(serializer->mu);
  EXPECT_EQ(serializer->sizes, (std::vector<size_t>{small.size(), large.size()}));
  EXPECT_EQ(serializer->onMain, (std::vector<bool>{false, false}));
}

// Requests sent one after another on one session each complete once, with their own body,
// and the session still winds down promptly afterwards.
TEST_F(SDPURLSessionManagerTest, SequentialRequestsEachCompleteOnce) {
  for (int i = 0; i < 3; ++i) {
    server_.respond("/n" + std::to_string(i), 200, "body " + std::to_string(i), "text/plain");
  }
  auto manager = makeManager();
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  std::vector<std::string> bodies;
  int completions = 0;
  for (int i = 0; i < 30; ++i) {
    Result result;
    manager
        ->dataTaskWithRequestCompletionHandler(get(server_.url("/n" + std::to_string(i % 3))),
                                               [&](auto& response, auto& object, auto& error) {
                                                 ++completions;
                                                 recordInto(result)(response, object, error);
                                               })
        ->resume();
    ASSERT_TRUE(testing_loop::runUntil([&] { return result.done; })) << i;
    ASSERT_FALSE(result.error) << i;
    ASSERT_TRUE(result.object.data());
    bodies.push_back(result.object.data()->toString());
  }
  testing_loop::runUntilIdle();
  EXPECT_EQ(completions, 30);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(bodies[i], "body " + std::to_string(i % 3));
  EXPECT_EQ(server_.requests().size(), 30u);
}

TEST_F(SDPURLSessionManagerTest, CompletionHandlersRunInsideTheCompletionGroup) {
  server_.respond("/ok", 200, "[1]", "application/json");
  server_.route("/hang",
                [](const testing_net::Request&, testing_net::Response& r) { r.hang = true; });
  // With no group of its own, the manager uses the shared group; with one, that group.
  for (bool ownGroup : {false, true}) {
    auto manager = makeManager();
    auto group = ownGroup ? plat::dispatch_group_create() : SDPSharedCompletionGroup();
    if (ownGroup) manager->setCompletionGroup(group);
    bool inGroup = false;
    bool done = false;
    manager
        ->dataTaskWithRequestCompletionHandler(get(server_.url("/ok")),
                                               [&](auto&, auto&, auto&) {
                                                 inGroup = plat::dispatch_group_wait(
                                                               group, plat::DISPATCH_TIME_NOW) != 0;
                                                 done = true;
                                               })
        ->resume();
    // A failed task (cancelled here) goes through the group as well.
    bool cancelInGroup = false;
    bool cancelled = false;
    auto hanging = manager->dataTaskWithRequestCompletionHandler(
        get(server_.url("/hang")), [&](auto&, auto&, const plat::NSErrorRef& error) {
          cancelInGroup = plat::dispatch_group_wait(group, plat::DISPATCH_TIME_NOW) != 0;
          cancelled = error && error->code() == -999;
        });
    hanging->resume();
    hanging->cancel();
    ASSERT_TRUE(testing_loop::runUntil([&] { return done && cancelled; })) << ownGroup;
    EXPECT_TRUE(inGroup) << ownGroup;
    EXPECT_TRUE(cancelInGroup) << ownGroup;
    EXPECT_TRUE(testing_loop::runUntil(
        [&] { return plat::dispatch_group_wait(group, plat::DISPATCH_TIME_NOW) == 0; }));
  }
}

TEST_F(SDPURLSessionManagerTest, DownloadProgressFollowsTheAnnouncedAndReceivedBytes) {
  const std::string body(50000, 'd');
  // A type the server does not compress, so that the announced length is the body's.
  server_.respond("/big", 200, body, "application/octet-stream");
  auto manager = makeManager();
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  std::atomic<int64_t> lastTotal{0};
  std::atomic<int64_t> lastCompleted{0};
  std::atomic<int> uploadReports{0};
  Result result;
  auto task = manager->dataTaskWithRequestUploadProgressDownloadProgressCompletionHandler(
      get(server_.url("/big")), [&](const plat::NSProgressRef&) { ++uploadReports; },
      [&](const plat::NSProgressRef& progress) {
        lastTotal = progress->totalUnitCount();
        lastCompleted = progress->completedUnitCount();
      },
      recordInto(result));
  auto progress = manager->downloadProgressForTask(task);
  ASSERT_TRUE(progress);
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return result.done; }));
  EXPECT_EQ(result.object, plat::Value(plat::Data::fromString(body)));
  EXPECT_EQ(lastTotal.load(), 50000);
  EXPECT_EQ(lastCompleted.load(), 50000);
  EXPECT_EQ(progress->completedUnitCount(), 50000);
  EXPECT_EQ(uploadReports.load(), 0);  // a GET sends no body
  // The record goes once the task completed: the completion handler may run on the main
  // queue before the session's queue has dropped it.
  EXPECT_TRUE(testing_loop::runUntil([&] { return !manager->downloadProgressForTask(task); }));
}

TEST_F(SDPURLSessionManagerTest, AProgressBlockCanReadTheTaskLists) {
  server_.respond("/big", 200, std::string(50000, 'd'), "application/octet-stream");
  auto manager = makeManager();
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  std::mutex mu;
  std::vector<size_t> listed;  // tasks, then data tasks, per report
  Result result;
  auto task = manager->dataTaskWithRequestUploadProgressDownloadProgressCompletionHandler(
      get(server_.url("/big")), nullptr,
      [&](const plat::NSProgressRef&) {
        auto all = manager->tasks();
        auto data = manager->dataTasks();
        std::lock_guard<std::mutex> lock(mu);
        listed.push_back(all.size());
        listed.push_back(data.size());
      },
      recordInto(result));
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return result.done; }));
  EXPECT_FALSE(result.error);
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(listed[0], 1u);
  EXPECT_EQ(listed[1], 1u);
}

TEST_F(SDPURLSessionManagerTest, WillCacheResponseBlockDecidesWhatTheCacheKeeps) {
  std::atomic<int> served{0};
  server_.route("/cached", [&](const testing_net::Request&, testing_net::Response& r) {
    ++served;
    r.setHeader("Cache-Control", "max-age=600");
    r.contentType = "application/json";
    r.body = "[" + std::to_string(served.load()) + "]";
  });
  const std::string folder = tempDir() + "/url-cache";
  std::filesystem::remove_all(folder);
  auto configuration = plat::NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setURLCache(std::make_shared<plat::NSURLCache>(1 << 20, 1 << 20, folder));
  managers_.push_back(SDPURLSessionManager::initWithSessionConfiguration(configuration));
  auto manager = managers_.back();
  auto fetch = [&] {
    Result result;
    manager->dataTaskWithRequestCompletionHandler(get(server_.url("/cached")), recordInto(result))
        ->resume();
    EXPECT_TRUE(testing_loop::runUntil([&] { return result.done; }));
    return result.object;
  };

  // The block refuses: nothing is kept, the next request goes to the server.
  int asked = 0;
  manager->setDataTaskWillCacheResponseBlock(
      [&](auto&, auto&, const plat::NSCachedURLResponseRef& proposed) {
        ++asked;
        EXPECT_EQ(proposed->data().toString(), "[" + std::to_string(asked) + "]");
        return plat::NSCachedURLResponseRef();
      });
  EXPECT_EQ(fetch(), plat::Value(plat::Array{1}));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(fetch(), plat::Value(plat::Array{2}));

  // Without the block the session keeps its proposal: the next answer is the cached one.
  manager->setDataTaskWillCacheResponse(nullptr);
  EXPECT_EQ(fetch(), plat::Value(plat::Array{3}));
  EXPECT_EQ(fetch(), plat::Value(plat::Array{3}));
  EXPECT_EQ(served.load(), 3);
  shutDownManagers();
  std::filesystem::remove_all(folder);
}

TEST_F(SDPURLSessionManagerTest, AnAnswerHeldInMemoryIsBounded) {
  SDPURLSessionManagerTaskDelegate::setMaxResponseDataLengthForTesting(64 * 1024);
  struct Restore {
    ~Restore() { SDPURLSessionManagerTaskDelegate::setMaxResponseDataLengthForTesting({}); }
  } restore;
  // An answer that never ends, and one that announces more than the bound.
  server_.route("/endless", [](const testing_net::Request&, testing_net::Response& res) {
    res.contentType = "application/octet-stream";
    res.chunks.assign(8, std::string(16 * 1024, 'e'));
    res.hangAfterChunks = true;
  });
  server_.respond("/long", 200, std::string(100 * 1024, 'l'), "application/octet-stream");
  auto manager = makeManager();
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  NoteRecorder complete(SDPNetworkingTaskDidCompleteNotification);
  for (const char* path : {"/endless", "/long"}) {
    SCOPED_TRACE(path);
    Result result;
    auto task =
        manager->dataTaskWithRequestCompletionHandler(get(server_.url(path)), recordInto(result));
    task->resume();
    EXPECT_TRUE(testing_loop::runUntil([&] { return complete.countFor(task) == 1; }));
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain(), plat::NSURLErrorDomain);
    EXPECT_EQ(result.error->code(), plat::NSURLErrorDataLengthExceedsMaximum);
    EXPECT_TRUE(result.object.isNil());
    EXPECT_TRUE(
        complete.notes.back().userInfo[SDPNetworkingTaskDidCompleteResponseDataKey].isNil());
  }
}

TEST_F(SDPURLSessionManagerTest, ADownloadCancelledFromItsProgressBlockGivesResumeData) {
  // The progress block runs on the transfer thread, with the bytes after the first chunk
  // already there (head and chunks go out in one write).
  const std::string a(1000, 'a'), b(1000, 'b');
  testing_net::RawLoopbackServer raw([&](const std::string&) {
    return testing_net::RawLoopbackServer::Reply{
        "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" + a +
        "\r\n3e8\r\n" + b + "\r\n"};
  });
  auto manager = makeManager();
  std::weak_ptr<plat::NSURLSessionDownloadTask> weakTask;
  plat::Data resumeData;
  bool gotData = false;
  Result result;
  auto task = manager->downloadTaskWithRequestProgressDestinationCompletionHandler(
      get(raw.url("/f")),
      [&](const plat::NSProgressRef& progress) {
        auto t = weakTask.lock();
        if (t && progress->completedUnitCount() == 1000) {
          t->cancelByProducingResumeData([&](const plat::Data& d) {
            resumeData = d;
            gotData = true;
          });
        }
      },
      nullptr, recordInto(result));
  weakTask = task;
  task->resume();
  ASSERT_TRUE(testing_loop::runUntil([&] { return gotData && result.done; }));
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code(), plat::NSURLErrorCancelled);
  ASSERT_FALSE(resumeData.empty());
  auto v = plat::NSJSONSerialization::JSONObjectWithData(resumeData);
  EXPECT_EQ(v["offset"].integerValue(), 1000);
  std::filesystem::remove((v["path"].string() ? *v["path"].string() : std::string()));
}
