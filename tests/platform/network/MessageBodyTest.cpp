// When a response body is whole: a coded stream must end, a TLS body read to the close must
// end with the closure alert, and a resumed download appends only exactly the part that
// continues its file, of the same version. Nothing cut is delivered as complete or stored in
// the URL cache.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/foundation/NSJSONSerialization.h"
#include "platform/network/NSURLSession.h"
#include "platform/security/SecTrust.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "testing/net/RawLoopbackServer.h"
#include "tests/platform/network/CachingSessionFixture.h"
#include "tests/platform/network/OwnTemporaryFolder.h"
#include "tests/platform/network/RecordingDelegate.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::RawLoopbackServer;
using testing_net::TestPKI;
using testing_net::TLSIdentity;

namespace {

std::string zstdCoded(const std::string& text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3));
  return out;
}

using BodyFixture = CachingSessionFixture;

TEST_F(BodyFixture, ACodedOrTLSBodyIsWholeOnlyWhenItsStreamEnded) {
  std::string text;
  for (int i = 0; text.size() < 160000; ++i)
    text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  const std::string gzip = zlibCoded(text, 16 + MAX_WBITS);
  const std::string deflate = zlibCoded(text, MAX_WBITS);
  const std::string zstd = zstdCoded(text);
  // Codings applied in the order listed: the last one is undone first.
  const std::string deflateGzip = zlibCoded(deflate, 16 + MAX_WBITS);
  const std::string gzipZstd = zstdCoded(gzip);
  std::string gzipTimes[7] = {text};
  for (int i = 1; i < 7; ++i) gzipTimes[i] = zlibCoded(gzipTimes[i - 1], 16 + MAX_WBITS);
  struct Case {
    const char* name;
    std::string coding;  // Content-Encoding; empty: none
    std::string body;    // as sent, read to the close
    int64_t error;
    std::string decoded = "";  // when no error
    bool tls = false;
    bool closeNotify = true;
  };
  const std::vector<Case> cases = {
      {"gzip whole", "gzip", gzip, 0, text},
      {"gzip cut in half", "gzip", gzip.substr(0, gzip.size() / 2),
       NSURLErrorCannotDecodeContentData},
      {"only the gzip header", "gzip", gzip.substr(0, 10), NSURLErrorCannotDecodeContentData},
      {"gzip without its trailer", "gzip", gzip.substr(0, gzip.size() - 8),
       NSURLErrorCannotDecodeContentData},
      {"two gzip members", "gzip", gzip + zlibCoded("tail", 16 + MAX_WBITS), 0, text + "tail"},
      {"gzip and garbage", "gzip", gzip + "garbage!", NSURLErrorCannotDecodeRawData},
      {"deflate cut", "deflate", deflate.substr(0, deflate.size() - 3),
       NSURLErrorCannotDecodeContentData},
      {"zstd whole", "zstd", zstd, 0, text},
      {"zstd cut", "zstd", zstd.substr(0, zstd.size() - 1), NSURLErrorCannotDecodeContentData},
      {"deflate then gzip", "deflate, identity, gzip", deflateGzip, 0, text},
      {"gzip then zstd", "gzip,zstd", gzipZstd, 0, text},
      {"gzip then zstd cut", "gzip, zstd", gzipZstd.substr(0, gzipZstd.size() - 1),
       NSURLErrorCannotDecodeContentData},
      {"gzip then zstd, the inner stream cut", "gzip, zstd",
       zstdCoded(gzip.substr(0, gzip.size() - 4)), NSURLErrorCannotDecodeContentData},
      {"gzip five times", "gzip, gzip, gzip, gzip, gzip", gzipTimes[5], 0, text},
      {"gzip six times: more codings than are undone", "gzip, gzip, gzip, gzip, gzip, gzip",
       gzipTimes[6], NSURLErrorCannotDecodeRawData},
      {"TLS with its closure alert", "", "all of it", 0, "all of it", true, true},
      {"TLS cut without its closure alert", "", "half of i", NSURLErrorNetworkConnectionLost, "",
       true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawLoopbackServer::Reply reply{
        "HTTP/1.1 200 OK\r\nCache-Control: max-age=600\r\n" +
            (c.coding.empty() ? "" : "Content-Encoding: " + c.coding + "\r\n") +
            "Connection: close\r\n\r\n" + c.body,
        true};
    reply.closeNotify = c.closeNotify;
    auto respond = [&](const std::string&) { return reply; };
    auto server = c.tls ? std::make_unique<RawLoopbackServer>(
                              respond, TLSIdentity::withIntermediate(TestPKI::shared().leaf))
                        : std::make_unique<RawLoopbackServer>(respond);
    // Asked twice: a whole body comes the second time from the cache, a cut one again from
    // the server, failing again.
    for (int round = 0; round < 2; ++round) {
      auto task = run(session->dataTaskWithURL(server->url("/body")));
      EXPECT_EQ(task->error() ? task->error()->code() : 0, c.error);
      if (!c.error) {
        const std::string& got = delegate->bodies[task->taskIdentifier()];
        EXPECT_TRUE(got == c.decoded) << got.size() << " bytes of " << c.decoded.size();
      }
    }
    EXPECT_EQ(server->heads().size(), c.error ? 2u : 1u);
    cache->removeAllCachedResponses();
  }

  // A few coded kilobytes decode to far more than is held while the delegate decides: the
  // decoding stops and goes on where it stopped, nothing decoded twice or lost, through one
  // coding or two.
  std::string big;
  while (big.size() < (12u << 20)) big += "the same line again and again, ";
  const std::string bigGzip = zlibCoded(big, 16 + MAX_WBITS);
  const std::string bigCases[][2] = {{"gzip", bigGzip}, {"gzip, zstd", zstdCoded(bigGzip)}};
  for (const auto& c : bigCases) {
    SCOPED_TRACE(c[0]);
    RawLoopbackServer server([&](const std::string&) {
      return RawLoopbackServer::Reply{
          "HTTP/1.1 200 OK\r\nContent-Encoding: " + c[0] + "\r\nConnection: close\r\n\r\n" + c[1],
          true};
    });
    delegate->holdResponse = true;
    delegate->heldResponse = nullptr;
    const size_t before = delegate->completed;
    auto task = session->dataTaskWithURL(server.url("/big"));
    task->resume();
    ASSERT_TRUE(runUntil([&] { return delegate->heldResponse != nullptr; }, 20));
    delegate->heldResponse(NSURLSessionResponseAllow);
    ASSERT_TRUE(runUntil([&] { return delegate->completed > before; }, 60));
    EXPECT_FALSE(task->error());
    EXPECT_TRUE(delegate->bodies[task->taskIdentifier()] == big);
  }
}

TEST_F(BodyFixture, AResumedDownloadFinishesOnlyWithTheWholeFileOfOneVersion) {
  OwnTemporaryFolder tmp;
  const std::string whole = "0123456789ABCDEFGHIJ";
  const std::string rest = "ABCDEFGHIJ";
  const std::string date = "Tue, 01 Dec 2026 10:00:00 GMT";
  // A 206 to "Range: bytes=10-" of version "v1", with `fields` and a body of `part`.
  auto partial = [](const std::string& fields, const std::string& part) {
    return "HTTP/1.1 206 Partial Content\r\n" + fields +
           "Content-Length: " + std::to_string(part.size()) + "\r\n\r\n" + part;
  };
  auto ranged = [&](const std::string& contentRange, const std::string& part) {
    return partial("ETag: \"v1\"\r\n" +
                       (contentRange.empty() ? "" : "Content-Range: " + contentRange + "\r\n"),
                   part);
  };
  const std::string redirect =
      "HTTP/1.1 302 Found\r\nLocation: /other\r\nContent-Length: 0\r\n\r\n";
  const std::string tenBytes =
      "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 20\r\n\r\n0123456789";
  enum class Cancel { kNo, kBeforeTheAnswer, kAfterTenBytes };
  struct Case {
    const char* name;
    std::string reply;  // to the resumed request
    size_t requests;    // 2: the download started again from zero, without a Range
    int64_t error = 0;  // 0: it finishes with the whole file
    bool close = false;
    std::string validator = "\"v1\"";
    std::optional<std::string> then = std::nullopt;  // to the next request; none: the file
    Cancel cancel = Cancel::kNo;                     // for resume data
    std::string resumeFrom = "";  // the URL path resume data for 10 bytes name; "": none
    std::string url = "";         // the URL the resume data name; "": the server's "/file"
  };
  const std::vector<Case> cases = {
      {"the rest of the file", ranged("bytes 10-19/20", rest), 1},
      {"the rest of a file of unknown length", ranged("bytes 10-19/*", rest), 1},
      {"a part from zero", ranged("bytes 0-19/20", whole), 2},
      {"a part from further on", ranged("bytes 15-19/20", "FGHIJ"), 2},
      {"a part that ends early", ranged("bytes 10-14/20", "ABCDE"), 2},
      {"a part of another length", ranged("bytes 10-19/30", rest), 2},
      {"a part without a range", ranged("", rest), 2},
      // The body must be the range it names, however it is framed.
      {"a part short of its range", ranged("bytes 10-19/20", "ABCDE"), 1,
       NSURLErrorNetworkConnectionLost},
      {"a part past its range", ranged("bytes 10-19/20", rest + "KLMNO"), 1,
       NSURLErrorBadServerResponse},
      {"a chunked part short of its range",
       "HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: bytes 10-19/20\r\n"
       "Transfer-Encoding: chunked\r\n\r\n5\r\nABCDE\r\n0\r\n\r\n",
       1, NSURLErrorNetworkConnectionLost},
      {"a part cut at the close",
       "HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: bytes 10-19/20\r\n"
       "Connection: close\r\n\r\nABCDE",
       1, NSURLErrorNetworkConnectionLost, true},
      // Parts combine only under one strong validator.
      {"a part of another version",
       partial("ETag: \"v2\"\r\nContent-Range: bytes 10-19/20\r\n", rest), 2},
      {"a part without the validator", partial("Content-Range: bytes 10-19/20\r\n", rest), 2},
      {"a part modified later",
       partial("Last-Modified: Wed, 02 Dec 2026 10:00:00 GMT\r\nContent-Range: bytes 10-19/20\r\n",
               rest),
       2, 0, false, date},
      {"a part modified at the same instant, written otherwise",
       partial("Last-Modified: Tuesday, 01-Dec-26 10:00:00 GMT\r\n"
               "Content-Range: bytes 10-19/20\r\n",
               rest),
       1, 0, false, date},
      {"a weak validator", "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n" + whole, 1, 0, false,
       "W/\"v1\""},
      {"the range refused",
       "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */20\r\n"
       "Content-Length: 5\r\n\r\nnope!",
       2},
      // A redirect leads to another resource: the part goes, and the download starts from
      // zero there.
      {.name = "a redirect followed", .reply = redirect, .requests = 2},
      {.name = "a redirect followed, then a cut answer",
       .reply = redirect,
       .requests = 2,
       .error = NSURLErrorNetworkConnectionLost,
       .close = true,
       .then = tenBytes},
      {.name = "a redirect followed, then a cancel before the answer",
       .reply = redirect,
       .requests = 2,
       .error = NSURLErrorCancelled,
       .then = "",
       .cancel = Cancel::kBeforeTheAnswer},
      {.name = "a redirect followed, then a cancel for what arrived",
       .reply = redirect,
       .requests = 2,
       .error = NSURLErrorCancelled,
       .then = tenBytes,
       .cancel = Cancel::kAfterTenBytes,
       .resumeFrom = "/other"},
      // Resume data whose URL names no server fail at once, and their part goes too.
      {.name = "a URL that does not parse",
       .requests = 0,
       .error = NSURLErrorUnsupportedURL,
       .url = "http://[::1/file"},
      {.name = "a host that cannot be mapped",
       .requests = 0,
       .error = NSURLErrorBadURL,
       .url = "http://a..b.example/file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> asked{0};
    RawLoopbackServer server([&](const std::string&) {
      if (asked++ == 0) return RawLoopbackServer::Reply{c.reply, c.close};
      if (c.then) return RawLoopbackServer::Reply{*c.then, c.close};
      return RawLoopbackServer::Reply{
          "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 20\r\n\r\n" + whole};
    });
    std::string path =
        (std::filesystem::temp_directory_path() / "CFNetworkDownload_XXXXXX.tmp").string();
    const int fd = mkstemps(path.data(), 4);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, whole.data(), 10), 10);
    close(fd);
    Dictionary d;
    d.set("url", c.url.empty() ? server.url("/file") : c.url);
    d.set("path", path);
    d.set("offset", Value(static_cast<long long>(10)));
    d.set("validator", c.validator);
    auto task = session->downloadTaskWithResumeData(
        NSJSONSerialization::dataWithJSONObject(Value(Dictionary(d))));
    ASSERT_TRUE(task);
    const size_t before = delegate->completed;
    task->resume();
    Data resumeData;
    bool gotData = c.cancel == Cancel::kNo;
    if (c.cancel != Cancel::kNo) {
      ASSERT_TRUE(runUntil([&] {
        return c.cancel == Cancel::kBeforeTheAnswer ? server.heads().size() == 2
                                                    : task->countOfBytesReceived() == 10;
      }));
      task->cancelByProducingResumeData([&](const Data& data) {
        resumeData = data;
        gotData = true;
      });
    }
    ASSERT_TRUE(runUntil([&] { return gotData && delegate->completed > before; }, 20));
    EXPECT_EQ(task->error() ? task->error()->code() : 0, c.error);
    if (!c.error) EXPECT_EQ(delegate->downloads[task->taskIdentifier()], whole);
    const auto heads = server.heads();
    EXPECT_EQ(heads.size(), c.requests);
    if (c.requests == 0) {
      // nothing went out
    } else if (c.validator.rfind("W/", 0) == 0) {
      EXPECT_EQ(heads.at(0).find("If-Range"), std::string::npos);  // never a weak one
    } else {
      EXPECT_NE(heads.at(0).find("Range: bytes=10-"), std::string::npos);
      EXPECT_NE(heads.at(0).find("If-Range: " + c.validator), std::string::npos);
    }
    if (heads.size() == 2) EXPECT_EQ(heads[1].find("Range"), std::string::npos);
    // The one partial file left is the one resume data name, with the bytes they say.
    std::vector<std::string> named;
    if (!c.resumeFrom.empty()) {
      Value v = NSJSONSerialization::JSONObjectWithData(resumeData);
      auto text = [&](const char* key) { return v[key].string() ? *v[key].string() : ""; };
      EXPECT_EQ(text("url"), server.url(c.resumeFrom));
      EXPECT_EQ(v["offset"].integerValue(), 10);
      named.push_back(text("path"));
      std::ifstream in(named.back(), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), whole.substr(0, 10));
    } else {
      EXPECT_TRUE(resumeData.empty());
    }
    EXPECT_EQ(tmp.files(), named);
    for (const auto& f : tmp.files()) std::filesystem::remove(f);
  }
}

}  // namespace
