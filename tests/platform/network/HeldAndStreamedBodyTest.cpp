// When a body the engine holds back or receives over HTTP/2 is whole: a held body (a redirect's,
// an authentication challenge's) is read within bounds and can be cancelled without stalling
// the session, and an HTTP/2 response is whole only when END_STREAM ended its stream.

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <map>

#include "platform/network/NSURLSession.h"
#include "platform/security/SecTrust.h"
#include "testing/loop/Pump.h"
#include "testing/net/H2LoopbackServer.h"
#include "testing/net/LoopbackServer.h"
#include "testing/net/RawLoopbackServer.h"
#include "tests/platform/network/CachingSessionFixture.h"
#include "tests/platform/network/RecordingDelegate.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::H2LoopbackServer;
using testing_net::RawLoopbackServer;
using testing_net::TestPKI;
using testing_net::TLSIdentity;

namespace {

std::string gzipped(const std::string& text) {
  return zlibCoded(text, 16 + MAX_WBITS, Z_BEST_COMPRESSION);
}

// Zeros coded with gzip once per fan-out and once more: 1 MiB of zeros as a gzip member, then
// each coding of `fanOut` members of the one before, one after another.
std::string gzipBomb(const std::vector<int>& fanOut) {
  std::string coded = gzipped(std::string(1 << 20, '\0'));
  for (int members : fanOut) {
    std::string repeated;
    for (int i = 0; i < members; ++i) repeated += coded;
    coded = gzipped(repeated);
  }
  return coded;
}

using SessionFixture = CachingSessionFixture;

TEST_F(SessionFixture, ABodyIsDecodedWithinBoundsAndNeverStallsTheSession) {
  const std::string bomb = gzipBomb({1024, 1024});  // "gzip, gzip, gzip" of 1 TiB
  const std::string gibibyte = gzipBomb({1024});    // "gzip, gzip" of 1 GiB
  const std::string small = "a small body, whole";
  const std::string smallGzip = gzipped(small);
  auto held = [](const std::string& status, const std::string& field, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + field +
           "\r\nContent-Encoding: gzip, gzip, gzip\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string found = "302 Found", unauthorized = "401 Unauthorized";
  const std::string location = "Location: /hang", challenge = "WWW-Authenticate: Basic realm=\"r\"";
  std::map<std::string, std::string> replies = {
      {"/302", held(found, location, bomb)},
      {"/401", held(unauthorized, challenge, bomb)},
      {"/302-small", held(found, location, gzipped(gzipped(smallGzip)))},
      {"/302-cut", held(found, location, gzipped(gzipped(smallGzip.substr(0, 12))))},
      {"/hang", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"},  // never ends
      {"/next", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext"},
      {"/download", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip, gzip\r\nContent-Length: " +
                        std::to_string(gibibyte.size()) + "\r\n\r\n" + gibibyte},
  };
  RawLoopbackServer server(
      [&](const std::string& target) { return RawLoopbackServer::Reply{replies.at(target)}; });
  using Challenge = std::pair<NSURLSessionAuthChallengeDisposition, NSURLCredentialRef>;
  struct Case {
    const char* name;
    std::string path;
    bool refuseRedirect;                          // else the redirect is followed
    NSURLSessionAuthChallengeDisposition answer;  // to a 401's challenge
    int64_t error;
    std::string body = "";
  };
  const std::vector<Case> cases = {
      {"302 followed, cancelled while the next request waits", "/302", false,
       NSURLSessionAuthChallengePerformDefaultHandling, NSURLErrorCancelled},
      {"302 refused: the held body delivered decodes past its bound", "/302", true,
       NSURLSessionAuthChallengePerformDefaultHandling, NSURLErrorDataLengthExceedsMaximum},
      {"401 whose challenge is cancelled", "/401", false,
       NSURLSessionAuthChallengeCancelAuthenticationChallenge, NSURLErrorCancelled},
      {"401 given up: the held body delivered decodes past its bound", "/401", false,
       NSURLSessionAuthChallengePerformDefaultHandling, NSURLErrorDataLengthExceedsMaximum},
      {"302 refused with a small coded body", "/302-small", true,
       NSURLSessionAuthChallengePerformDefaultHandling, 0, small},
      {"302 refused with a cut coded body", "/302-cut", true,
       NSURLSessionAuthChallengePerformDefaultHandling, NSURLErrorCannotDecodeContentData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    delegate->onRedirect = [&](const NSHTTPURLResponseRef&, const NSURLRequestRef& proposed) {
      return c.refuseRedirect ? NSURLRequestRef() : proposed;
    };
    delegate->onChallenge = [&](const NSURLAuthenticationChallengeRef&) {
      return Challenge(c.answer, nullptr);
    };
    const size_t before = delegate->completed, heads = server.heads().size();
    auto task = session->dataTaskWithURL(server.url(c.path));
    task->resume();
    if (c.path == "/302" && !c.refuseRedirect) {
      ASSERT_TRUE(runUntil([&] { return server.heads().size() == heads + 2; }, 20));
      task->cancel();
    }
    ASSERT_TRUE(runUntil([&] { return delegate->completed > before; }, 20));
    EXPECT_EQ(task->error() ? task->error()->code() : 0, c.error);
    if (!c.error) {
      EXPECT_EQ(delegate->bodies[task->taskIdentifier()], c.body);
    }
    // The session's next task runs.
    auto next = run(session->dataTaskWithURL(server.url("/next")));
    EXPECT_FALSE(next->error());
    EXPECT_EQ(delegate->bodies[next->taskIdentifier()], "next");
  }

  // A delivered body decodes a bounded share per turn: the session's next task runs while a
  // download of a few coded kilobytes still writes its gibibyte.
  const size_t before = delegate->completed;
  auto download =
      session->downloadTaskWithRequest(NSURLRequest::requestWithURL(server.url("/download")));
  download->resume();
  ASSERT_TRUE(runUntil([&] { return delegate->lastWritten > 0; }, 20));
  auto next = run(session->dataTaskWithURL(server.url("/next")));
  EXPECT_FALSE(next->error());
  EXPECT_EQ(delegate->completed, before + 1);
  download->cancel();
  ASSERT_TRUE(runUntil([&] { return delegate->completed == before + 2; }, 20));
  EXPECT_EQ(download->error() ? download->error()->code() : 0, NSURLErrorCancelled);
}

TEST_F(SessionFixture, AnHTTP2ResponseIsWholeOnlyWhenEndStreamEndedIt) {
  std::string body;
  for (int i = 0; body.size() < 100000; ++i) body += "row " + std::to_string(i) + "\n";
  body.resize(100000);
  using End = H2LoopbackServer::Reply::End;
  struct Case {
    const char* name;
    H2LoopbackServer::Reply reply;
    int64_t error;
  };
  const std::string half = body.substr(0, 49063);
  const std::vector<Case> cases = {
      {"END_STREAM on the last DATA frame", {200, {{"cache-control", "max-age=600"}}, body}, 0},
      {"END_STREAM on trailers",
       {200, {{"cache-control", "max-age=600"}}, body, End::kTrailers},
       0},
      {"END_STREAM on the HEADERS of an empty body",
       {200, {{"cache-control", "max-age=600"}}, ""},
       0},
      {"reset with NO_ERROR before END_STREAM",
       {200, {{"cache-control", "max-age=600"}}, half, End::kResetNoError},
       NSURLErrorNetworkConnectionLost},
      {"reset with an error before END_STREAM",
       {200, {{"cache-control", "max-age=600"}}, half, End::kResetError},
       NSURLErrorNetworkConnectionLost},
      {"a coded body cut, then END_STREAM",
       {200, {{"content-encoding", "gzip"}}, gzipped(body).substr(0, 1000)},
       NSURLErrorCannotDecodeContentData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    H2LoopbackServer server([&](const std::string&) { return c.reply; },
                            TLSIdentity::withIntermediate(TestPKI::shared().leaf));
    // Asked twice: a whole body comes the second time from the cache, a cut one again from
    // the server, failing again.
    for (int round = 0; round < 2; ++round) {
      auto task = run(session->dataTaskWithURL(server.url("/h2")));
      EXPECT_EQ(task->error() ? task->error()->code() : 0, c.error);
      if (!c.error) {
        EXPECT_TRUE(delegate->bodies[task->taskIdentifier()] == c.reply.body);
      }
    }
    // A download task ends the same way.
    auto download =
        run(session->downloadTaskWithRequest(NSURLRequest::requestWithURL(server.url("/h2"))));
    EXPECT_EQ(download->error() ? download->error()->code() : 0, c.error);
    if (!c.error) {
      EXPECT_TRUE(delegate->downloads[download->taskIdentifier()] == c.reply.body);
    }
    EXPECT_EQ(server.requests(), c.error ? 3u : 2u);
    cache->removeAllCachedResponses();
  }
}

}  // namespace
