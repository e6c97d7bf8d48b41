// URL connections against loopback servers and files: calls on the starting thread's run loop
// and their order, redirects, cancellation, the response cache, trust challenges through the
// sender, time-outs and file URLs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "platform/dispatch/NSThread.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/NSURLConnection.h"
#include "platform/security/SecTrust.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::LoopbackServer;
using testing_net::TestPKI;
using testing_net::TLSIdentity;

namespace {

// Records every call as text; answers the questions as the test sets.
struct Recorder : NSURLConnectionDelegate {
  std::mutex mu;
  std::vector<std::string> events;
  std::string body;
  std::atomic<bool> done{false};
  std::atomic<bool> offThread{false};
  std::thread::id thread = std::this_thread::get_id();
  NSURLResponseRef response;
  NSErrorRef error;
  std::function<std::optional<NSURLRequestRef>(const NSURLRequestRef&, const NSURLResponseRef&)>
      onRequest;
  std::function<bool(const NSURLConnectionRef&, const NSURLAuthenticationChallengeRef&)>
      onChallenge;
  std::function<std::optional<NSCachedURLResponseRef>(const NSCachedURLResponseRef&)> onCache;
  std::function<void(const NSURLConnectionRef&)> onData;

  void note(std::string e) {
    if (std::this_thread::get_id() != thread) offThread = true;
    std::lock_guard<std::mutex> lock(mu);
    events.push_back(std::move(e));
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mu);
    return events;
  }

  std::optional<NSURLRequestRef> connectionWillSendRequestRedirectResponse(
      const NSURLConnectionRef&, const NSURLRequestRef& request,
      const NSURLResponseRef& redirect) override {
    note(redirect ? "redirect" : "request");
    return onRequest ? onRequest(request, redirect) : std::nullopt;
  }
  void connectionDidReceiveResponse(const NSURLConnectionRef&,
                                    const NSURLResponseRef& r) override {
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(r);
    note("response " + std::to_string(http ? http->statusCode() : 0));
    response = r;
  }
  void connectionDidReceiveData(const NSURLConnectionRef& c, const Data& data) override {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (events.empty() || events.back() != "data") events.push_back("data");
      body.append(reinterpret_cast<const char*>(data.bytes()), data.length());
    }
    if (onData) onData(c);
  }
  bool connectionWillSendRequestForAuthenticationChallenge(
      const NSURLConnectionRef& c, const NSURLAuthenticationChallengeRef& challenge) override {
    note("challenge " + challenge->protectionSpace()->authenticationMethod());
    return onChallenge && onChallenge(c, challenge);
  }
  std::optional<NSCachedURLResponseRef> connectionWillCacheResponse(
      const NSURLConnectionRef&, const NSCachedURLResponseRef& proposed) override {
    note("cache?");
    return onCache ? onCache(proposed) : std::nullopt;
  }
  void connectionDidFinishLoading(const NSURLConnectionRef&) override {
    note("finish");
    done = true;
  }
  void connectionDidFailWithError(const NSURLConnectionRef&, const NSErrorRef& e) override {
    note("fail " + std::to_string(e->code()));
    error = e;
    done = true;
  }
};

struct ConnectionFixture : ::testing::Test {
  LoopbackServer server;
  std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();

  NSURLConnectionRef load(const std::string& url) {
    return NSURLConnection::connectionWithRequestDelegate(NSURLRequest::requestWithURL(url), rec);
  }
  bool waitDone() { return runUntil([&] { return rec->done.load(); }, 20); }
};

TEST_F(ConnectionFixture, LoadsOnTheStartingThreadsLoopInOrderAndKeepsItselfAlive) {
  server.respond("/a", 200, "alpha beta");
  server.respond("/missing", 404, "no such thing");
  // The caller drops the connection at once: the load goes on.
  load(server.url("/a"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log(), (std::vector<std::string>{"request", "response 200", "data", "finish"}));
  EXPECT_EQ(rec->body, "alpha beta");
  EXPECT_FALSE(rec->offThread);

  // An HTTP error status is a response, not a failure.
  rec = std::make_shared<Recorder>();
  auto c = load(server.url("/missing"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log(), (std::vector<std::string>{"request", "response 404", "data", "finish"}));
  EXPECT_EQ(c->originalRequest()->URL(), server.url("/missing"));

  EXPECT_FALSE(NSURLConnection::connectionWithRequestDelegate(nullptr, rec));
  EXPECT_TRUE(NSURLConnection::canHandleRequest(NSURLRequest::requestWithURL("file:///tmp/x")));
  EXPECT_FALSE(NSURLConnection::canHandleRequest(NSURLRequest::requestWithURL("ftp://h/x")));
}

TEST_F(ConnectionFixture, CallsComeOnANetworkThreadThatRunsItsLoop) {
  server.respond("/n", 200, "net");
  auto thread = NSThread::detachNewThreadWithBlock([] { RunLoop::current()->run(); });
  std::atomic<bool> started{false};
  performSelectorOnThread(
      thread,
      [&] {
        rec->thread = std::this_thread::get_id();
        load(server.url("/n"));
        started = true;
      },
      false);
  ASSERT_TRUE(waitDone());
  EXPECT_TRUE(started);
  EXPECT_FALSE(rec->offThread);
  EXPECT_EQ(rec->body, "net");
  thread->cancel();
}

TEST_F(ConnectionFixture, BytesComeAsTheServerReleasesThemAndACutBodyFails) {
  auto gate = std::make_shared<testing_net::Gate>(
      std::vector<std::string>{"first ", "second ", "third"});
  auto cut = std::make_shared<testing_net::Gate>(std::vector<std::string>{"only part"}, 1000);
  server.route("/g", [&](const testing_net::Request&, testing_net::Response& res) {
    res.gate = gate;
  });
  server.route("/cut", [&](const testing_net::Request&, testing_net::Response& res) {
    res.gate = cut;
  });
  load(server.url("/g"));
  ASSERT_TRUE(runUntil([&] { return rec->response != nullptr; }, 20));
  EXPECT_EQ(rec->response->expectedContentLength(), 18);
  EXPECT_TRUE(rec->body.empty());
  gate->release();
  ASSERT_TRUE(runUntil([&] { return rec->body == "first "; }, 20));
  gate->release();
  ASSERT_TRUE(runUntil([&] { return rec->body == "first second "; }, 20));
  EXPECT_FALSE(rec->done);
  gate->release();
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->body, "first second third");
  // The server counts a chunk once its write returns, which may be after the client has it.
  EXPECT_TRUE(runUntil([&] { return gate->sent() == 3u; }, 20));

  // Closed after its first chunk, short of the 1000 bytes it declared.
  rec = std::make_shared<Recorder>();
  load(server.url("/cut"));
  cut->release();
  ASSERT_TRUE(runUntil([&] { return rec->body == "only part"; }, 20));
  EXPECT_EQ(rec->response->expectedContentLength(), 1000);
  cut->closeConnection();
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log().back(), "fail -1005");
}

TEST_F(ConnectionFixture, RedirectsAskTheDelegateWhichMayChangeOrRefuseThem) {
  server.route("/from", [&](const testing_net::Request&, testing_net::Response& res) {
    res.status = 302;
    res.setHeader("Location", "/to");
    res.body = "moved";
  });
  server.respond("/to", 200, "arrived");
  server.respond("/elsewhere", 200, "elsewhere");
  auto c = load(server.url("/from"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log(),
            (std::vector<std::string>{"request", "redirect", "response 200", "data", "finish"}));
  EXPECT_EQ(rec->body, "arrived");
  EXPECT_EQ(c->currentRequest()->URL(), server.url("/to"));

  // The first request is asked about too, and may be replaced.
  rec = std::make_shared<Recorder>();
  rec->onRequest = [&](const NSURLRequestRef& r, const NSURLResponseRef& redirect) {
    return redirect ? NSURLRequestRef() : NSURLRequest::requestWithURL(server.url("/elsewhere"));
  };
  load(server.url("/to"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->body, "elsewhere");

  // A refused redirect delivers the redirect response with its body.
  rec = std::make_shared<Recorder>();
  rec->onRequest = [](const NSURLRequestRef& r, const NSURLResponseRef& redirect) {
    return redirect ? std::optional<NSURLRequestRef>(nullptr) : std::nullopt;
  };
  load(server.url("/from"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log(),
            (std::vector<std::string>{"request", "redirect", "response 302", "data", "finish"}));
  EXPECT_EQ(rec->body, "moved");
}

TEST_F(ConnectionFixture, CancelEndsTheLoadWithNoLaterCall) {
  auto gate =
      std::make_shared<testing_net::Gate>(std::vector<std::string>{"first chunk ", "second"});
  server.route("/slow", [&](const testing_net::Request&, testing_net::Response& res) {
    res.gate = gate;
  });
  rec->onData = [](const NSURLConnectionRef& c) { c->cancel(); };
  load(server.url("/slow"));
  gate->release();
  ASSERT_TRUE(runUntil([&] { return !rec->body.empty(); }, 20));
  // The server sees the connection closed; whatever was on its way is dropped.
  ASSERT_TRUE(runUntil([&] { return gate->disconnected(); }, 20));
  runUntil([] { return false; }, 0.2);
  EXPECT_EQ(rec->log(), (std::vector<std::string>{"request", "response 200", "data"}));
  EXPECT_FALSE(rec->done);
  EXPECT_EQ(gate->sent(), 1u);

  // Cancelled before its loop ran: nothing at all.
  rec = std::make_shared<Recorder>();
  load(server.url("/slow"))->cancel();
  runUntil([] { return false; }, 0.3);
  EXPECT_TRUE(rec->log().empty());
}

TEST_F(ConnectionFixture, TheDelegateIsHeldWeakly) {
  server.respond("/w", 200, "weak");
  std::weak_ptr<Recorder> weak = rec;
  auto c = load(server.url("/w"));
  rec.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(c->delegate());
  // The load still ends and lets the connection go.
  std::weak_ptr<NSURLConnection> weakConnection = c;
  c.reset();
  EXPECT_TRUE(runUntil([&] { return weakConnection.expired(); }, 20));
}

TEST_F(ConnectionFixture, TheCachePolicyAndTheDelegateDecideWhatTheCacheKeeps) {
  // Loads use the shared cache of the moment, also after earlier loads.
  server.respond("/first", 200, "first");
  load(server.url("/first"));
  ASSERT_TRUE(waitDone());
  rec = std::make_shared<Recorder>();
  auto cache = std::make_shared<NSURLCache>(1 << 20, 0, "");
  NSURLCache::setSharedURLCache(cache);
  std::atomic<int> hits{0};
  server.route("/c", [&](const testing_net::Request&, testing_net::Response& res) {
    ++hits;
    res.body = "cached body";
    res.setHeader("Cache-Control", "max-age=600");
  });
  auto request = [&](uint64_t policy) {
    auto r = NSMutableURLRequest::requestWithURL(server.url("/c"));
    r->setCachePolicy(policy);
    return r;
  };
  // The delegate refuses: nothing is stored, the next load goes to the server.
  rec->onCache = [](const NSCachedURLResponseRef&) { return NSCachedURLResponseRef(); };
  NSURLConnection::connectionWithRequestDelegate(request(NSURLRequestUseProtocolCachePolicy), rec);
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log(), (std::vector<std::string>{"request", "response 200", "data", "cache?",
                                                  "finish"}));
  rec = std::make_shared<Recorder>();
  NSURLConnection::connectionWithRequestDelegate(request(NSURLRequestUseProtocolCachePolicy), rec);
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(hits, 2);
  // Stored by default: the protocol policy answers from the cache, reloading ignores it.
  rec = std::make_shared<Recorder>();
  NSURLConnection::connectionWithRequestDelegate(request(NSURLRequestUseProtocolCachePolicy), rec);
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->body, "cached body");
  EXPECT_EQ(hits, 2);
  EXPECT_TRUE(cache->cachedResponseForRequest(request(NSURLRequestUseProtocolCachePolicy)));
  rec = std::make_shared<Recorder>();
  NSURLConnection::connectionWithRequestDelegate(request(NSURLRequestReloadIgnoringLocalCacheData),
                                                 rec);
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(hits, 3);
  NSURLCache::setSharedURLCache(nullptr);
}

TEST_F(ConnectionFixture, TrustChallengesGoThroughTheSender) {
  SecTrustSetSystemAnchorCertificates({SecCertificateCreateWithData(TestPKI::shared().root.der)});
  LoopbackServer good(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  LoopbackServer other(TLSIdentity::alone(TestPKI::shared().otherRootLeaf));
  good.respond("/t", 200, "secret");
  other.respond("/t", 200, "other");

  // Without the operation: the standard evaluation.
  struct Plain : NSURLConnectionDelegate {
    std::atomic<int64_t> code{1};
    void connectionDidFinishLoading(const NSURLConnectionRef&) override { code = 0; }
    void connectionDidFailWithError(const NSURLConnectionRef&, const NSErrorRef& e) override {
      code = e->code();
    }
  };
  auto plain = std::make_shared<Plain>();
  NSURLConnection::connectionWithRequestDelegate(NSURLRequest::requestWithURL(good.url("/t")),
                                                 plain);
  ASSERT_TRUE(runUntil([&] { return plain->code != 1; }, 20));
  EXPECT_EQ(plain->code, 0);

  // Default handling refuses the unknown root; a trust credential accepts it; cancelling the
  // challenge is a cancelled authentication.
  rec->onChallenge = [](const NSURLConnectionRef&, const NSURLAuthenticationChallengeRef& ch) {
    EXPECT_TRUE(ch->sender()->performDefaultHandlingForAuthenticationChallenge(ch));
    return true;
  };
  load(other.url("/t"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log().back(), "fail -1202");

  rec = std::make_shared<Recorder>();
  rec->onChallenge = [](const NSURLConnectionRef&, const NSURLAuthenticationChallengeRef& ch) {
    ch->sender()->useCredentialForAuthenticationChallenge(
        NSURLCredential::credentialForTrust(ch->protectionSpace()->serverTrust()), ch);
    return true;
  };
  load(other.url("/t"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->body, "other");

  // (A new server: the first one's connection is kept alive and trusted already.)
  LoopbackServer fresh(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  fresh.respond("/t", 200, "secret");
  rec = std::make_shared<Recorder>();
  rec->onChallenge = [](const NSURLConnectionRef&, const NSURLAuthenticationChallengeRef& ch) {
    ch->sender()->cancelAuthenticationChallenge(ch);
    return true;
  };
  load(fresh.url("/t"));
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log().back(), "fail -1012");
  SecTrustResetSystemAnchorCertificates();
}

TEST_F(ConnectionFixture, AThreadThatEndsLeavesNoQuestionUnansweredAndTheEngineGoesOn) {
  SecTrustSetSystemAnchorCertificates({SecCertificateCreateWithData(TestPKI::shared().root.der)});
  LoopbackServer secure(TLSIdentity::withIntermediate(TestPKI::shared().leaf));
  secure.respond("/t", 200, "secret");
  // The connection's thread ends as soon as the load has begun: the trust question and every
  // later call are dropped with its loop.
  std::atomic<bool> begun{false};
  rec->onRequest = [&](const NSURLRequestRef&, const NSURLResponseRef&) {
    begun = true;
    return std::nullopt;
  };
  std::weak_ptr<NSURLConnection> orphan;
  auto thread = NSThread::detachNewThreadWithBlock([&] {
    orphan = NSURLConnection::connectionWithRequestDelegate(
        NSURLRequest::requestWithURL(secure.url("/t")), rec);
    while (!begun) RunLoop::current()->runOnce(kCFRunLoopDefaultMode, 0.05);
  });
  ASSERT_TRUE(runUntil([&] { return thread->isFinished(); }, 20));
  EXPECT_TRUE(begun);
  EXPECT_TRUE(runUntil([&] { return orphan.expired(); }, 20));
  EXPECT_FALSE(rec->done);

  // Another load through the same engine completes.
  auto other = std::make_shared<Recorder>();
  NSURLConnection::connectionWithRequestDelegate(NSURLRequest::requestWithURL(secure.url("/t")),
                                                 other);
  ASSERT_TRUE(runUntil([&] { return other->done.load(); }, 20));
  EXPECT_EQ(other->body, "secret");
  SecTrustResetSystemAnchorCertificates();
}

TEST_F(ConnectionFixture, AnIdleRequestTimesOutOnTheClock) {
  testing_loop::VirtualClockScope clock;
  server.route("/hang", [](const testing_net::Request&, testing_net::Response& res) {
    res.hang = true;
  });
  auto r = NSMutableURLRequest::requestWithURL(server.url("/hang"));
  r->setTimeoutInterval(15);
  NSURLConnection::connectionWithRequestDelegate(r, rec);
  ASSERT_TRUE(runUntil([&] { return server.requestCount() == 1; }, 20));
  testing_loop::advance(16);
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log().back(), "fail -1001");
}

TEST_F(ConnectionFixture, FileURLsDeliverTheFileWithItsSizeAsExpectedLength) {
  auto dir = std::filesystem::temp_directory_path() / ("conn-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string big(700 * 1024, 'x');
  big[123456] = 'y';
  std::ofstream(dir / "big file.png", std::ios::binary) << big;
  auto url = NSURL::fileURLWithPath((dir / "big file.png").string())->absoluteString();
  load(url);
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log().front(), "request");
  EXPECT_EQ(rec->log().back(), "finish");
  EXPECT_EQ(rec->response->expectedContentLength(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(rec->response->MIMEType(), "image/png");
  EXPECT_TRUE(rec->body == big);

  // A missing file, a directory and a named pipe fail at once (the pipe is never opened).
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  for (auto [name, code] : {std::pair<std::string, int64_t>{"missing", NSURLErrorFileDoesNotExist},
                            {"", NSURLErrorFileIsDirectory},
                            {"pipe", NSURLErrorResourceUnavailable}}) {
    rec = std::make_shared<Recorder>();
    load(NSURL::fileURLWithPath((dir / name).string())->absoluteString());
    ASSERT_TRUE(waitDone()) << name;
    EXPECT_EQ(rec->log().back(), "fail " + std::to_string(code)) << name;
  }
  // A NUL inside the path is refused, not cut short.
  rec = std::make_shared<Recorder>();
  load("file://" + (dir / "big%00file.png").string());
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(rec->log().back(), "fail -1100");
  std::filesystem::remove_all(dir);
}

}  // namespace
