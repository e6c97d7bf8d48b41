// HTTPS through URL sessions: the server-trust challenge and each disposition, the default
// evaluation against a replaceable system anchor store, and the trust a delegate receives.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/network/NSHTTPCookieStorage.h"
#include "platform/network/NSURLCache.h"
#include "platform/network/NSURLSession.h"
#include "platform/security/SecTrust.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/platform/network/RecordingDelegate.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::LoopbackServer;
using testing_net::TestPKI;
using testing_net::TLSIdentity;

namespace {

struct TrustFixture : ::testing::Test {
  // Servers outlive the session, so that closing the session ends their connections.
  std::vector<std::unique_ptr<LoopbackServer>> servers;
  LoopbackServer& serve(const TLSIdentity& identity) {
    servers.push_back(std::make_unique<LoopbackServer>(identity));
    servers.back()->respond("/t", 200, "secret");
    return *servers.back();
  }
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  NSURLSessionRef session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      nullptr, delegate, NSOperationQueue::mainQueue());

  TrustFixture() {
    // The test's root is the only system anchor.
    SecTrustSetSystemAnchorCertificates({SecCertificateCreateWithData(TestPKI::shared().root.der)});
  }
  ~TrustFixture() override {
    session->invalidateAndCancel();
    runUntil([&] { return delegate->invalidated; }, 10);
    SecTrustResetSystemAnchorCertificates();
  }

  // Runs one GET against `server` and returns the task once completed.
  NSURLSessionTaskRef get(LoopbackServer& server, const std::string& url = "") {
    size_t before = delegate->completed;
    auto task = session->dataTaskWithURL(url.empty() ? server.url("/t") : url);
    task->resume();
    EXPECT_TRUE(runUntil([&] { return delegate->completed > before; }, 20));
    return task;
  }
};

TEST_F(TrustFixture, DefaultHandlingAcceptsAValidChainAndRefusesBadOnes) {
  auto& good = serve(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  auto ok = get(good);
  EXPECT_FALSE(ok->error());
  EXPECT_EQ(delegate->bodies[ok->taskIdentifier()], "secret");

  auto& expired = serve(TLSIdentity::withIntermediate(TestPKI::shared().expiredLeaf));
  auto e = get(expired);
  ASSERT_TRUE(e->error());
  EXPECT_EQ(e->error()->code(), NSURLErrorServerCertificateUntrusted);

  auto& wrongHost = serve(TLSIdentity::withIntermediate(TestPKI::shared().otherHostLeaf));
  auto w = get(wrongHost);
  ASSERT_TRUE(w->error());
  EXPECT_EQ(w->error()->code(), NSURLErrorServerCertificateUntrusted);

  auto& unknownRoot = serve(TLSIdentity::alone(TestPKI::shared().otherRootLeaf));
  auto u = get(unknownRoot);
  ASSERT_TRUE(u->error());
  EXPECT_EQ(u->error()->code(), NSURLErrorServerCertificateUntrusted);

  // A server certificate the phone refuses (here: valid for 10 years, or without serverAuth)
  // although it chains to the root.
  testing_net::CertificateSpec longLived;
  longLived.notAfterDays = 3650;
  testing_net::CertificateSpec noUsage;
  noUsage.serverAuth = false;
  size_t refusedRequests = 0;
  for (auto& spec : {longLived, noUsage}) {
    auto& refused =
        serve(TLSIdentity::withIntermediate(TestPKI::issue(TestPKI::shared().intermediate, spec)));
    auto r = get(refused);
    ASSERT_TRUE(r->error());
    EXPECT_EQ(r->error()->code(), NSURLErrorServerCertificateUntrusted);
    refusedRequests += refused.requestCount();
  }

  // A refused server never saw the request.
  EXPECT_EQ(expired.requestCount() + wrongHost.requestCount() + unknownRoot.requestCount() +
                refusedRequests,
            0u);
}

TEST_F(TrustFixture, TheDelegateSeesTheServerTrustAndDecides) {
  auto& server = serve(TLSIdentity::alone(TestPKI::shared().otherRootLeaf));
  SecTrustRef seen;
  std::string host;
  int64_t port = 0;
  delegate->onChallenge = [&](const NSURLAuthenticationChallengeRef& c) {
    seen = c->protectionSpace()->serverTrust();
    host = c->protectionSpace()->host();
    port = c->protectionSpace()->port();
    return std::make_pair(NSURLSessionAuthChallengeUseCredential,
                          NSURLCredential::credentialForTrust(seen));
  };
  // Accepting the trust lets an otherwise untrusted server through.
  auto task = get(server);
  EXPECT_FALSE(task->error());
  EXPECT_EQ(delegate->events.front(), "challenge NSURLAuthenticationMethodServerTrust");
  ASSERT_TRUE(seen);
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, server.port());
  EXPECT_EQ(SecCertificateCopyData(SecTrustGetCertificateAtIndex(seen, 0)),
            TestPKI::shared().otherRootLeaf.der);
  EXPECT_TRUE(SecKeyCopyExternalRepresentation(SecTrustCopyPublicKey(seen)).length() > 0);
}

TEST_F(TrustFixture, CancelAndRejectFailWithTheirErrors) {
  auto& server = serve(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  delegate->onChallenge = [](const NSURLAuthenticationChallengeRef&) {
    return std::make_pair(NSURLSessionAuthChallengeCancelAuthenticationChallenge,
                          NSURLCredentialRef());
  };
  EXPECT_EQ(get(server)->error()->code(), NSURLErrorCancelled);
  delegate->onChallenge = [](const NSURLAuthenticationChallengeRef&) {
    return std::make_pair(NSURLSessionAuthChallengeRejectProtectionSpace, NSURLCredentialRef());
  };
  EXPECT_EQ(get(server)->error()->code(), NSURLErrorServerCertificateUntrusted);
  delegate->onChallenge = [](const NSURLAuthenticationChallengeRef&) {
    return std::make_pair(NSURLSessionAuthChallengePerformDefaultHandling, NSURLCredentialRef());
  };
  EXPECT_FALSE(get(server)->error());
  EXPECT_EQ(server.requestCount(), 1u);
}

// Every way of writing a host reaches one name: the connection goes to it and sends it as
// "Host", the trust check and the delegate's protection space see it, and cookies and cached
// answers are kept under it. A host that names no server fails before anything is sent.
TEST_F(TrustFixture, EveryUserOfAHostSeesTheNameTheConnectionReaches) {
  struct MemoryCache {  // the shared cache, memory only, for this test
    NSURLCacheRef previous = NSURLCache::sharedURLCache();
    MemoryCache() { NSURLCache::setSharedURLCache(std::make_shared<NSURLCache>(1 << 20, 0, "")); }
    ~MemoryCache() { NSURLCache::setSharedURLCache(previous); }
  } memoryCache;
  struct Jar {  // the jar is the process's
    ~Jar() {
      auto jar = NSHTTPCookieStorage::sharedHTTPCookieStorage();
      for (auto& c : jar->cookies()) jar->deleteCookie(c);
    }
  } jar;
  auto& server = serve(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  server.route("/kept", [](const testing_net::Request&, testing_net::Response& res) {
    res.setHeader(
        "Set-Cookie",
        "flavour=oat; Path=/; Domain=\uFF2C\uFF2F\uFF23\uFF21\uFF2C\uFF28\uFF2F\uFF33\uFF34");
    res.setHeader("Cache-Control", "max-age=600");
    res.body = "kept";
  });
  server.route("/echo", [](const testing_net::Request& req, testing_net::Response& res) {
    res.body = req.header("Cookie").value_or("none");
  });
  std::vector<std::string> spaceHosts;
  delegate->onChallenge = [&](const NSURLAuthenticationChallengeRef& c) {
    spaceHosts.push_back(c->protectionSpace()->host());
    return std::make_pair(NSURLSessionAuthChallengePerformDefaultHandling, NSURLCredentialRef());
  };
  const std::string port = ":" + std::to_string(server.port());
  const std::string fullWidthLocalhost = "\uFF2C\uFF2F\uFF23\uFF21\uFF2C\uFF28\uFF2F\uFF33\uFF34";
  struct Case {
    std::string host;     // as the URL writes it
    std::string reached;  // the one name
  };
  const Case cases[] = {
      {fullWidthLocalhost, "localhost"},
      {"%EF%BC%AC%EF%BC%AF%EF%BC%A3%EF%BC%A1%EF%BC%AC%EF%BC%A8%EF%BC%AF%EF%BC%B3%EF%BC%B4",
       "localhost"},
      {"LocalHost.", "localhost"},
      {"127%E3%80%820%EF%BC%8E0%EF%BD%A11", "127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const size_t before = server.requestCount();
    auto task = get(server, "https://" + c.host + port + "/t");
    EXPECT_FALSE(task->error());
    ASSERT_EQ(server.requestCount(), before + 1);
    EXPECT_EQ(server.requests().back().header("Host"), c.reached + port);
    ASSERT_FALSE(spaceHosts.empty());
    EXPECT_EQ(spaceHosts.back(), c.reached);
  }

  // A cookie (its Domain in yet another form) and a cached answer got by one form of the host
  // serve the others.
  auto kept = get(server, "https://" + fullWidthLocalhost + port + "/kept");
  EXPECT_FALSE(kept->error());
  auto cached = get(server, "https://localhost." + port + "/kept");
  EXPECT_EQ(delegate->bodies[cached->taskIdentifier()], "kept");
  auto echo = get(server, "https://LOCALHOST" + port + "/echo");
  EXPECT_EQ(delegate->bodies[echo->taskIdentifier()], "flavour=oat");
  size_t keptRequests = 0;
  for (auto& r : server.requests()) keptRequests += r.path == "/kept";
  EXPECT_EQ(keptRequests, 1u);

  const size_t sent = server.requestCount();
  for (const std::string host : {"local%EF%BF%BDhost", "localhost.."}) {
    SCOPED_TRACE(host);
    auto task = get(server, "https://" + host + port + "/t");
    ASSERT_TRUE(task->error());
    EXPECT_EQ(task->error()->code(), NSURLErrorBadURL);
  }
  EXPECT_EQ(server.requestCount(), sent);
}

// The session-level operation implemented: server-trust challenges reach it, and the
// task-level one (when implemented too) is not asked.
struct SessionLevelDelegate : RecordingDelegate {
  int asked = 0;
  bool URLSessionDidReceiveChallengeCompletionHandler(const NSURLSessionRef&,
                                                      const NSURLAuthenticationChallengeRef& c,
                                                      ChallengeCompletion completion) override {
    ++asked;
    completion(NSURLSessionAuthChallengeUseCredential,
               NSURLCredential::credentialForTrust(c->protectionSpace()->serverTrust()));
    return true;
  }
};

TEST(ServerTrust, SessionLevelDelegatesAndDelegatelessSessions) {
  SecTrustSetSystemAnchorCertificates({SecCertificateCreateWithData(TestPKI::shared().root.der)});
  LoopbackServer good(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  LoopbackServer expired(TLSIdentity::withIntermediate(TestPKI::shared().expiredLeaf));
  good.respond("/t", 200, "ok");
  expired.respond("/t", 200, "ok");

  auto delegate = std::make_shared<SessionLevelDelegate>();
  int taskLevelAsked = 0;
  delegate->onChallenge = [&](const NSURLAuthenticationChallengeRef&) {
    ++taskLevelAsked;
    return std::make_pair(NSURLSessionAuthChallengeRejectProtectionSpace, NSURLCredentialRef());
  };
  auto session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      nullptr, delegate, NSOperationQueue::mainQueue());
  auto accepted = session->dataTaskWithURL(expired.url("/t"));
  accepted->resume();
  ASSERT_TRUE(runUntil([&] { return delegate->completed == 1; }, 20));
  EXPECT_FALSE(accepted->error());
  EXPECT_EQ(delegate->asked, 1);
  EXPECT_EQ(taskLevelAsked, 0);

  // Without a delegate the standard evaluation decides; the task is watched by its state.
  auto plain = NSURLSession::sessionWithConfiguration(nullptr);
  auto ok = plain->dataTaskWithURL(good.url("/t"));
  auto bad = plain->dataTaskWithURL(expired.url("/t"));
  ok->resume();
  bad->resume();
  ASSERT_TRUE(runUntil(
      [&] {
        return ok->state() == NSURLSessionTaskStateCompleted &&
               bad->state() == NSURLSessionTaskStateCompleted;
      },
      20));
  EXPECT_FALSE(ok->error());
  ASSERT_TRUE(bad->error());
  EXPECT_EQ(bad->error()->code(), NSURLErrorServerCertificateUntrusted);

  session->finishTasksAndInvalidate();
  plain->finishTasksAndInvalidate();
  ASSERT_TRUE(runUntil([&] { return delegate->invalidated; }, 20));
  SecTrustResetSystemAnchorCertificates();
}

// A process that exits right after its last session reported itself invalid: the session's
// transfer thread is still closing its TLS connection then. The exit waits for it instead of
// tearing OpenSSL down under it (the test servers' library registers OpenSSL's exit cleanup),
// which the thread sanitizer reports as races and which can crash the exit.
TEST(ServerTrustDeathTest, ExitRightAfterTheLastSessionStopsWaitsForItsTransferThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The thread is still busy only in some runs: three processes.
  for (int run = 0; run < 3; ++run) {
    EXPECT_EXIT(
        {
          SecTrustSetSystemAnchorCertificates(
              {SecCertificateCreateWithData(TestPKI::shared().root.der)});
          // Kept to the end, so that nothing after the transfer touches OpenSSL before the exit.
          static auto* server =
              new LoopbackServer(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
          server->respond("/t", 200, "ok");
          auto delegate = std::make_shared<RecordingDelegate>();
          auto session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
              nullptr, delegate, NSOperationQueue::mainQueue());
          session->dataTaskWithURL(server->url("/t"))->resume();
          session->finishTasksAndInvalidate();
          session.reset();  // as callers do: the session goes away on its own once stopped
          bool stopped = runUntil([&] { return delegate->invalidated; }, 20);
          std::exit(stopped && delegate->completed == 1 && !delegate->errors.begin()->second ? 0
                                                                                             : 2);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

// A delegate that never answers: the transfer waits until the task is cancelled.
struct SilentDelegate : RecordingDelegate {
  ChallengeCompletion held;
  bool URLSessionTaskDidReceiveChallengeCompletionHandler(const NSURLSessionRef&,
                                                          const NSURLSessionTaskRef&,
                                                          const NSURLAuthenticationChallengeRef&,
                                                          ChallengeCompletion completion) override {
    held = completion;
    return true;
  }
};

TEST(ServerTrust, CancellingReleasesAPendingChallenge) {
  SecTrustSetSystemAnchorCertificates({SecCertificateCreateWithData(TestPKI::shared().root.der)});
  LoopbackServer server(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  auto delegate = std::make_shared<SilentDelegate>();
  auto session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      nullptr, delegate, NSOperationQueue::mainQueue());
  auto task = session->dataTaskWithURL(server.url("/t"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->held); }, 20));
  task->cancel();
  ASSERT_TRUE(runUntil([&] { return delegate->completed == 1; }, 20));
  EXPECT_EQ(task->error()->code(), NSURLErrorCancelled);
  delegate->held(NSURLSessionAuthChallengeUseCredential, nullptr);  // too late: ignored
  session->finishTasksAndInvalidate();
  ASSERT_TRUE(runUntil([&] { return delegate->invalidated; }, 20));
  EXPECT_EQ(server.requestCount(), 0u);
  SecTrustResetSystemAnchorCertificates();
}

}  // namespace
