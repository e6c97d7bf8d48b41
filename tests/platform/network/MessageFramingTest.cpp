// The wire as the transfer engine reads and writes it: response heads that would let the
// engine and libcurl disagree on a body or a field are errors on a closed connection, and
// request fields go out as set or not at all.

#include <gtest/gtest.h>

#include "platform/network/NSHTTPCookieStorage.h"
#include "platform/network/NSURLSession.h"
#include "platform/security/SecTrust.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "testing/net/RawLoopbackServer.h"
#include "tests/platform/network/RecordingDelegate.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::RawLoopbackServer;
using testing_net::TestPKI;
using testing_net::TLSIdentity;

namespace {

constexpr const char* kSound = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nsound";

struct WireFixture : ::testing::Test {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  NSURLSessionRef session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      nullptr, delegate, NSOperationQueue::mainQueue());
  ~WireFixture() override {
    session->invalidateAndCancel();
    runUntil([&] { return delegate->invalidated; }, 10);
  }
  NSURLSessionTaskRef run(const NSURLRequestRef& request) {
    size_t before = delegate->completed;
    auto task = session->dataTaskWithRequest(request);
    task->resume();
    EXPECT_TRUE(runUntil([&] { return delegate->completed > before; }, 20));
    return task;
  }
};

TEST_F(WireFixture, HeadsThatFrameTheBodyAmbiguouslyFailAndTheirConnectionIsNotReused) {
  struct Case {
    const char* name;
    std::string head;  // status line and fields, without the empty line
    bool refused;      // else the answer is read as `body` with `note` in X-Note
    std::string note = "";
  };
  const std::vector<Case> cases = {
      {"differing lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 7", true},
      {"a list of lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2, 7", true},
      {"a length with letters", "HTTP/1.1 200 OK\r\nContent-Length: 2abc", true},
      {"space before the colon", "HTTP/1.1 200 OK\r\nContent-Length : 2", true},
      {"a fold with no field", "HTTP/1.1 200 OK\r\n Content-Length: 2", true},
      {"a fold first after an interim answer",
       "HTTP/1.1 100 Continue\r\nX-A: b\r\n\r\nHTTP/1.1 200 OK\r\n Content-Length: 2", true},
      {"a folded length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n 7", true},
      {"the same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2", false},
      {"a list of one length", "HTTP/1.1 200 OK\r\nContent-Length: 2 , 2", false},
      {"a fold holding a Location",
       "HTTP/1.1 302 Found\r\nX-Note: see\r\n Location: /elsewhere\r\nContent-Length: 2", false,
       "see Location: /elsewhere"},
      {"a bare CR in a value", "HTTP/1.1 200 OK\r\nX-Note: a\rLocation: /x\r\nContent-Length: 2",
       false, "a Location: /x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // What follows the two body bytes is read as the next answer on a reused connection.
    RawLoopbackServer server([&](const std::string& target) {
      if (target == "/next") return RawLoopbackServer::Reply{kSound};
      return RawLoopbackServer::Reply{c.head +
                                      "\r\n\r\nokHTTP/1.1 200 OK\r\nContent-Length: "
                                      "8\r\n\r\nsmuggled"};
    });
    auto task = run(NSURLRequest::requestWithURL(server.url("/case")));
    auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response());
    if (c.refused) {
      EXPECT_EQ(task->error() ? task->error()->code() : 0, NSURLErrorBadServerResponse);
      auto next = run(NSURLRequest::requestWithURL(server.url("/next")));
      EXPECT_FALSE(next->error());
      EXPECT_EQ(delegate->bodies[next->taskIdentifier()], "sound");
      EXPECT_EQ(server.connections(), 2u);
    } else {
      EXPECT_FALSE(task->error());
      if (!response) continue;
      EXPECT_EQ(delegate->bodies[task->taskIdentifier()], "ok");
      EXPECT_FALSE(response->valueForHTTPHeaderField("Location"));
      if (!c.note.empty()) EXPECT_EQ(response->valueForHTTPHeaderField("X-Note"), c.note);
      EXPECT_EQ(server.heads().size(), 1u);  // nothing was followed
    }
  }
}

TEST_F(WireFixture, RequestFieldsGoOutAsSetOrAreLeftOut) {
  RawLoopbackServer server([](const std::string&) { return RawLoopbackServer::Reply{kSound}; });
  auto jar = NSHTTPCookieStorage::sharedHTTPCookieStorage();
  auto jarCookie = std::make_shared<NSHTTPCookie>("jar", "1", "127.0.0.1");
  jar->setCookie(jarCookie);
  auto r = NSMutableURLRequest::requestWithURL(server.url("/h"));
  r->setValueForHTTPHeaderField("", "X-Empty");
  r->setValueForHTTPHeaderField("v", "Bad Name");
  r->setValueForHTTPHeaderField("v", "X(paren)");
  r->setValueForHTTPHeaderField("v", "X-Kept");
  r->setValueForHTTPHeaderField("app=2", "Cookie");
  run(r);
  jar->deleteCookie(jarCookie);
  ASSERT_EQ(server.heads().size(), 1u);
  const std::string head = server.heads()[0];
  EXPECT_NE(head.find("\r\nX-Empty:\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nX-Kept: v\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Bad Name"), std::string::npos) << head;
  EXPECT_EQ(head.find("paren"), std::string::npos) << head;
  // The app's cookie and the jar's share one line.
  size_t first = head.find("\r\nCookie: ");
  ASSERT_NE(first, std::string::npos) << head;
  EXPECT_EQ(head.find("\r\nCookie", first + 1), std::string::npos) << head;
  std::string line = head.substr(first + 2, head.find("\r\n", first + 2) - first - 2);
  EXPECT_NE(line.find("jar=1"), std::string::npos) << line;
  EXPECT_NE(line.find("app=2"), std::string::npos) << line;

  // A body without a type goes without one (libcurl would add a form's).
  auto post = NSMutableURLRequest::requestWithURL(server.url("/p"));
  post->setHTTPMethod("POST");
  post->setHTTPBody(Data::fromString("raw"));
  run(post);
  ASSERT_EQ(server.heads().size(), 2u);
  EXPECT_EQ(server.heads()[1].find("Content-Type"), std::string::npos) << server.heads()[1];
}

TEST_F(WireFixture, EachRequestGetsItsOwnAnswerAndAnAmbiguousOneEndsItsConnection) {
  SecTrustSetSystemAnchorCertificates({SecCertificateCreateWithData(TestPKI::shared().root.der)});
  constexpr const char* kStray = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nSTRAY";
  struct Case {
    const char* name;
    bool tls;
    const char* method;
    RawLoopbackServer::Reply first;
    int64_t error;          // of the first request
    std::string body;       // of the first request
    int64_t expected = -2;  // its expected length (-2: not looked at)
  };
  const std::vector<Case> cases = {
      {"a HEAD answer whose body comes late",
       false,
       "HEAD",
       {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", false, kStray},
       0,
       "",
       5},
      {"a 304 with late bytes over TLS",
       true,
       "GET",
       {"HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", false, kStray},
       0,
       ""},
      {"a 408 on the idle connection",
       false,
       "GET",
       {kSound, true, "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\n\r\n"},
       0,
       "sound"},
      {"a 101 nobody asked for",
       false,
       "GET",
       {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\nConnection: Upgrade\r\n\r\nbytes"},
       NSURLErrorBadServerResponse,
       ""},
      {"a length beside chunked",
       false,
       "GET",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 40\r\n\r\n"
        "2\r\nok\r\n0\r\n\r\n"},
       0,
       "ok",
       -1},
      {"chunked before another coding",
       false,
       "GET",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n2\r\nok\r\n0\r\n\r\n"},
       NSURLErrorBadServerResponse,
       ""},
      {"a transfer coding that is not chunked last",
       false,
       "GET",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nokmore", true},
       0,
       "okmore",
       -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto reply = [&](const std::string& target) {
      return target == "/next" ? RawLoopbackServer::Reply{kSound} : c.first;
    };
    auto server = c.tls ? std::make_unique<RawLoopbackServer>(
                              reply, TLSIdentity::withIntermediate(TestPKI::shared().leaf))
                        : std::make_unique<RawLoopbackServer>(reply);
    auto first = NSMutableURLRequest::requestWithURL(server->url("/first"));
    first->setHTTPMethod(c.method);
    auto task = run(first);
    EXPECT_EQ(task->error() ? task->error()->code() : 0, c.error);
    EXPECT_EQ(delegate->bodies[task->taskIdentifier()], c.body);
    if (c.expected != -2 && task->response()) {
      EXPECT_EQ(task->response()->expectedContentLength(), c.expected);
    }
    if (!c.first.stray.empty()) {
      server->releaseStray();
      ASSERT_TRUE(runUntil([&] { return server->strays() == 1; }, 10));
    }
    // The next request gets its own answer, on a connection of its own.
    auto next = run(NSURLRequest::requestWithURL(server->url("/next")));
    EXPECT_FALSE(next->error());
    EXPECT_EQ(delegate->bodies[next->taskIdentifier()], "sound");
    EXPECT_EQ(server->connections(), 2u);
    EXPECT_EQ(server->heads().size(), 2u);
  }
  SecTrustResetSystemAnchorCertificates();
}

}  // namespace
