// URL sessions against loopback servers: delegate callbacks and their order, bodies, uploads,
// redirects, decisions, cancellation, suspension, time-outs, downloads and invalidation.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/network/NSURLSession.h"
#include "platform/network/URLSessionCore.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "testing/net/RawLoopbackServer.h"
#include "tests/platform/network/OwnTemporaryFolder.h"
#include "tests/platform/network/RecordingDelegate.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::LoopbackServer;

namespace {

struct SessionFixture : ::testing::Test {
  LoopbackServer server;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  NSURLSessionRef session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      NSURLSessionConfiguration::defaultSessionConfiguration(), delegate,
      NSOperationQueue::mainQueue());

  ~SessionFixture() override {
    session->invalidateAndCancel();
    runUntil([&] { return delegate->invalidated; }, 10);
  }

  NSMutableURLRequestRef request(const std::string& path, const std::string& method = "GET") {
    auto r = NSMutableURLRequest::requestWithURL(server.url(path));
    r->setHTTPMethod(method);
    return r;
  }
  bool waitCompleted(size_t n = 1) {
    return runUntil([&] { return delegate->completed >= n; }, 20);
  }
};

TEST_F(SessionFixture, DataTaskDeliversResponseBodyAndCompletionInOrderOnTheMainThread) {
  server.route("/hello", [](const testing_net::Request& req, testing_net::Response& res) {
    res.body = "hello " + req.header("X-Name").value_or("?");
    res.contentType = "text/plain; charset=utf-8";
    res.setHeader("X-Reply", "yes");
  });
  auto r = request("/hello");
  r->setValueForHTTPHeaderField("world", "X-Name");
  auto task = session->dataTaskWithRequest(r);
  ASSERT_TRUE(task);
  EXPECT_EQ(task->state(), NSURLSessionTaskStateSuspended);
  EXPECT_EQ(task->taskIdentifier(), 1u);
  EXPECT_EQ(task->description().rfind("<NSURLSessionDataTask: 0x", 0), 0u);
  EXPECT_NE(task->description().find(">{ taskIdentifier: 1 } { suspended }"), std::string::npos);
  std::atomic<bool> offMain{false};
  delegate->onResponse = [&](const NSURLResponseRef&) {
    if (!dispatch_is_main_thread()) offMain = true;
    return NSURLSessionResponseAllow;
  };
  task->resume();
  EXPECT_EQ(task->state(), NSURLSessionTaskStateRunning);
  ASSERT_TRUE(waitCompleted());
  EXPECT_FALSE(offMain);
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"response 200", "data", "complete 1 ok"}));
  EXPECT_EQ(delegate->bodies[1], "hello world");
  EXPECT_EQ(task->state(), NSURLSessionTaskStateCompleted);
  EXPECT_NE(task->description().find("{ completed }"), std::string::npos);
  auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response());
  ASSERT_TRUE(response);
  EXPECT_EQ(response->statusCode(), 200);
  EXPECT_EQ(response->MIMEType(), "text/plain");
  EXPECT_EQ(response->textEncodingName(), "utf-8");
  EXPECT_EQ(response->valueForHTTPHeaderField("x-reply"), "yes");
  EXPECT_EQ(task->countOfBytesReceived(), 11);
  // No interim round trip and no proxy or form defaults sneak into the request.
  auto sent = server.requests().at(0);
  EXPECT_FALSE(sent.header("Expect"));
}

TEST_F(SessionFixture, StatusCodesAreNotErrorsAndEmptyBodiesComplete) {
  server.respond("/fail", 500, "{\"error\":1}", "application/json");
  server.respond("/empty", 204, "");
  auto a = session->dataTaskWithRequest(request("/fail"));
  auto b = session->dataTaskWithRequest(request("/empty"));
  a->resume();
  b->resume();
  ASSERT_TRUE(waitCompleted(2));
  EXPECT_FALSE(a->error());
  EXPECT_FALSE(b->error());
  EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(a->response())->statusCode(), 500);
  EXPECT_EQ(delegate->bodies[1], "{\"error\":1}");
  EXPECT_EQ(delegate->bodies.count(2), 0u);
  EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(b->response())->statusCode(), 204);
}

// Answers on 127.0.0.1 with fixed bytes (for wire forms the server library cannot produce),
// after reading the request head, then closes the connection.
struct RawResponder : testing_net::RawLoopbackServer {
  explicit RawResponder(std::string reply)
      : RawLoopbackServer([reply](const std::string&) { return Reply{reply, true}; }) {}
};

TEST_F(SessionFixture, TrailersAfterAChunkedBodyDoNotStartASecondResponse) {
  RawResponder raw(
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n"
      "Trailer: X-Checksum\r\nConnection: close\r\n\r\n"
      "5\r\nhello\r\n0\r\nX-Checksum: 42\r\n\r\n");
  auto task = session->dataTaskWithURL(raw.url());
  task->resume();
  ASSERT_TRUE(waitCompleted());
  runUntil([] { return false; }, 0.1);
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"response 200", "data", "complete 1 ok"}));
  EXPECT_EQ(delegate->bodies[1], "hello");
  EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response())->statusCode(), 200);
}

TEST_F(SessionFixture, BrokenAnswersFailInsteadOfLookingComplete) {
  RawResponder truncated(
      "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nonly ten..");
  RawResponder nothing("");
  RawResponder garbage("SSH-2.0-not-http\r\n\r\n");
  auto a = session->dataTaskWithURL(truncated.url());
  auto b = session->dataTaskWithURL(nothing.url());
  auto c = session->dataTaskWithURL(garbage.url());
  for (auto& t : {a, b, c}) t->resume();
  ASSERT_TRUE(waitCompleted(3));
  ASSERT_TRUE(a->error() && b->error() && c->error());
  EXPECT_EQ(a->error()->code(), NSURLErrorNetworkConnectionLost);
  EXPECT_EQ(b->error()->code(), NSURLErrorNetworkConnectionLost);
  EXPECT_EQ(c->error()->code(), NSURLErrorBadServerResponse);
}

TEST_F(SessionFixture, HeadAndVerbsCarryTheirMethodAndBody) {
  server.respond("/v", 200, "body");
  auto head = session->dataTaskWithRequest(request("/v", "HEAD"));
  auto put = request("/v", "PUT");
  put->setHTTPBody(Data::fromString("a=1"));
  put->setValueForHTTPHeaderField("application/x-www-form-urlencoded", "Content-Type");
  auto del = request("/v", "DELETE");
  auto post = request("/v", "POST");
  post->setHTTPBody(Data());
  head->resume();
  ASSERT_TRUE(waitCompleted(1));
  session->dataTaskWithRequest(put)->resume();
  ASSERT_TRUE(waitCompleted(2));
  session->dataTaskWithRequest(del)->resume();
  ASSERT_TRUE(waitCompleted(3));
  session->dataTaskWithRequest(post)->resume();
  ASSERT_TRUE(waitCompleted(4));
  // Transfers reuse what earlier ones set up: nothing of the verbs before may stick.
  session->dataTaskWithRequest(request("/v"))->resume();
  ASSERT_TRUE(waitCompleted(5));
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 5u);
  EXPECT_EQ(reqs[0].method, "HEAD");
  EXPECT_EQ(delegate->bodies.count(1), 0u);
  EXPECT_EQ(reqs[1].method, "PUT");
  EXPECT_EQ(reqs[1].body, "a=1");
  EXPECT_EQ(reqs[1].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(reqs[2].method, "DELETE");
  EXPECT_EQ(reqs[2].body, "");
  EXPECT_EQ(reqs[3].method, "POST");
  EXPECT_EQ(reqs[3].header("Content-Length"), "0");
  EXPECT_FALSE(reqs[3].header("Content-Type"));
  EXPECT_EQ(reqs[4].method, "GET");
  EXPECT_EQ(reqs[4].body, "");
  EXPECT_FALSE(reqs[4].header("Content-Length"));
  EXPECT_EQ(delegate->bodies[5], "body");
}

TEST_F(SessionFixture, UploadsFromDataFileAndStreamArriveByteForByte) {
  server.respond("/up", 201, "ok", "application/octet-stream");  // sent as is, not compressed
  std::string payload;
  for (int i = 0; i < 200000; ++i) payload += static_cast<char>('a' + i % 26);
  payload[7] = '\0';
  auto path = std::filesystem::temp_directory_path() / ("upload-" + std::to_string(getpid()));
  std::ofstream(path, std::ios::binary) << payload;

  auto fromData =
      session->uploadTaskWithRequestFromData(request("/up", "POST"), Data::fromString(payload));
  EXPECT_EQ(fromData->countOfBytesExpectedToSend(), static_cast<int64_t>(payload.size()));
  std::atomic<int64_t> observedSent{0}, observedExpected{-2}, removedCalls{0};
  fromData->addObserver(kCountOfBytesSent, [&](NSURLSessionTask&, const std::string&, int64_t v) {
    observedSent = v;
  });
  fromData->addObserver(kCountOfBytesExpectedToReceive, [&](NSURLSessionTask&, const std::string&,
                                                            int64_t v) { observedExpected = v; });
  auto removed = fromData->addObserver(
      kCountOfBytesSent, [&](NSURLSessionTask&, const std::string&, int64_t) { ++removedCalls; });
  fromData->removeObserver(removed);
  fromData->resume();
  ASSERT_TRUE(waitCompleted(1));
  EXPECT_EQ(observedSent.load(), static_cast<int64_t>(payload.size()));
  EXPECT_EQ(observedExpected.load(), fromData->countOfBytesExpectedToReceive());
  EXPECT_GT(observedExpected.load(), 0);
  EXPECT_EQ(removedCalls.load(), 0);
  EXPECT_EQ(delegate->lastSent, static_cast<int64_t>(payload.size()));
  EXPECT_EQ(delegate->lastExpectedToSend, static_cast<int64_t>(payload.size()));
  EXPECT_FALSE(server.requests().at(0).header("Expect"));  // a large body goes at once

  session->uploadTaskWithRequestFromFile(request("/up", "PUT"), path.string())->resume();
  ASSERT_TRUE(waitCompleted(2));

  auto streamed = request("/up", "POST");
  streamed->setHTTPBodyStream(NSInputStream::inputStreamWithData(Data::fromString(payload)));
  auto st = session->uploadTaskWithStreamedRequest(streamed);
  EXPECT_EQ(st->countOfBytesExpectedToSend(), NSURLSessionTransferSizeUnknown);
  st->resume();
  ASSERT_TRUE(waitCompleted(3));

  auto missing =
      session->uploadTaskWithRequestFromFile(request("/up", "POST"), path.string() + ".none");
  missing->resume();
  ASSERT_TRUE(waitCompleted(4));
  EXPECT_EQ(missing->error()->code(), NSURLErrorFileDoesNotExist);

  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 3u);
  for (auto& r : reqs) EXPECT_EQ(r.body, payload) << r.method;
  EXPECT_EQ(reqs[2].header("Transfer-Encoding"), "chunked");
  std::filesystem::remove(path);
}

TEST_F(SessionFixture, UploadsReadOnlyRegularFilesNamedWithoutANul) {
  server.respond("/up", 200, "ok");
  server.respond("/other", 200, "other");
  auto dir = std::filesystem::temp_directory_path() / ("upload-kinds-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "secret", std::ios::binary) << "secret";
  const auto fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Should the transfer thread be stuck opening the pipe, opening its other end lets it go.
  struct Unblock {
    std::filesystem::path fifo, dir;
    ~Unblock() {
      int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
      std::filesystem::remove_all(dir);
    }
  } unblock{fifo, dir};

  const std::string withNul = (dir / "secret").string() + std::string(1, '\0') + ".txt";
  auto nul = session->uploadTaskWithRequestFromFile(request("/up", "POST"), withNul);
  EXPECT_EQ(nul->countOfBytesExpectedToSend(), 0);
  auto pipe = session->uploadTaskWithRequestFromFile(request("/up", "POST"), fifo.string());
  auto folder = session->uploadTaskWithRequestFromFile(request("/up", "POST"), dir.string());
  for (auto& task : {nul, pipe, folder}) task->resume();
  // The other tasks of the session go on meanwhile.
  auto other = session->dataTaskWithRequest(request("/other"));
  other->resume();
  ASSERT_TRUE(runUntil([&] { return other->state() == NSURLSessionTaskStateCompleted; }, 10));
  EXPECT_FALSE(other->error());
  ASSERT_TRUE(waitCompleted(4));
  ASSERT_TRUE(nul->error() && pipe->error() && folder->error());
  EXPECT_EQ(nul->error()->code(), NSURLErrorFileDoesNotExist);
  EXPECT_EQ(pipe->error()->code(), NSURLErrorCannotOpenFile);
  EXPECT_EQ(folder->error()->code(), NSURLErrorFileIsDirectory);
  for (auto& req : server.requests()) EXPECT_EQ(req.path, "/other");
}

// A file whose size reads as 0 but that has content (the kernel's generated files) is read to
// its end and sent chunked; an empty file still declares its length of 0.
TEST_F(SessionFixture, AFileWhoseSizeReadsAsZeroIsSentWhole) {
  server.respond("/up", 200, "ok");
  auto generated =
      session->uploadTaskWithRequestFromFile(request("/up", "POST"), "/proc/self/status");
  auto empty =
      std::filesystem::temp_directory_path() / ("upload-empty-" + std::to_string(getpid()));
  std::ofstream(empty, std::ios::binary).flush();
  auto none = session->uploadTaskWithRequestFromFile(request("/up", "PUT"), empty.string());
  generated->resume();
  none->resume();
  ASSERT_TRUE(waitCompleted(2));
  EXPECT_FALSE(generated->error());
  EXPECT_FALSE(none->error());
  std::filesystem::remove(empty);
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  if (reqs[0].method != "POST") std::swap(reqs[0], reqs[1]);
  EXPECT_EQ(reqs[0].body.rfind("Name:", 0), 0u) << reqs[0].body;
  EXPECT_NE(reqs[0].body.find("\nPid:"), std::string::npos);
  EXPECT_EQ(reqs[0].header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(generated->countOfBytesSent(), static_cast<int64_t>(reqs[0].body.size()));
  EXPECT_EQ(reqs[1].body, "");
  EXPECT_EQ(reqs[1].header("Content-Length"), "0");
}

// A stream that fails part way.
class FailingStream : public NSInputStream {
 public:
  void open() override { setStreamStatus(NSStreamStatusOpen); }
  void close() override { setStreamStatus(NSStreamStatusClosed); }
  int64_t readMaxLength(uint8_t* buffer, uint64_t max) override {
    if (reads++ == 0) {
      buffer[0] = 'x';
      return 1;
    }
    setStreamError(NSError::make(NSPOSIXErrorDomain, 5, "I/O error"));
    return -1;
  }
  bool hasBytesAvailable() const override { return streamStatus() == NSStreamStatusOpen; }
  int reads = 0;
};

TEST_F(SessionFixture, ABodyStreamReadErrorFailsTheTaskInsteadOfSendingATruncatedBody) {
  server.respond("/up", 200, "ok");
  auto r = request("/up", "POST");
  r->setHTTPBodyStream(std::make_shared<FailingStream>());
  auto task = session->uploadTaskWithStreamedRequest(r);
  task->resume();
  ASSERT_TRUE(waitCompleted());
  ASSERT_TRUE(task->error());
  EXPECT_EQ(task->error()->domain(), NSURLErrorDomain);
  ASSERT_TRUE(task->error()->underlyingError());
  EXPECT_EQ(task->error()->underlyingError()->code(), 5);
  for (auto& req : server.requests()) EXPECT_NE(req.body, "x");
}

TEST_F(SessionFixture, RedirectsFollowThePlatformMethodRules) {
  server.route("/see-other", [&](const testing_net::Request&, testing_net::Response& res) {
    res.status = 303;
    res.setHeader("Location", "/final");
  });
  server.route("/temp", [&](const testing_net::Request&, testing_net::Response& res) {
    res.status = 307;
    res.setHeader("Location", server.url("/final"));
  });
  server.route("/found", [&](const testing_net::Request&, testing_net::Response& res) {
    res.status = 302;
    res.setHeader("Location", "final?x=1");
    res.body = "moved";
  });
  server.route("/final", [](const testing_net::Request& req, testing_net::Response& res) {
    res.body = req.method + ":" + req.body;
  });
  auto post = [&](const std::string& path) {
    auto r = request(path, "POST");
    r->setHTTPBody(Data::fromString("payload"));
    return r;
  };
  auto a = session->dataTaskWithRequest(post("/see-other"));
  a->resume();
  ASSERT_TRUE(waitCompleted(1));
  EXPECT_EQ(delegate->bodies[1], "GET:");
  EXPECT_EQ(a->currentRequest()->URL(), server.url("/final"));
  EXPECT_EQ(a->originalRequest()->URL(), server.url("/see-other"));

  session->dataTaskWithRequest(post("/temp"))->resume();
  ASSERT_TRUE(waitCompleted(2));
  EXPECT_EQ(delegate->bodies[2], "POST:payload");

  session->dataTaskWithRequest(post("/found"))->resume();
  ASSERT_TRUE(waitCompleted(3));
  EXPECT_EQ(delegate->bodies[3], "GET:");
  EXPECT_EQ(server.requests().back().query, "x=1");

  // The delegate saw each redirect (with the new method) before the final response.
  EXPECT_EQ(delegate->events[0], "redirect 303 GET " + server.url("/final"));
  EXPECT_EQ(delegate->events[4], "redirect 307 POST " + server.url("/final"));
}

TEST_F(SessionFixture, AStreamedBodyFollowingA307AsksForANewStream) {
  server.route("/temp", [](const testing_net::Request&, testing_net::Response& res) {
    res.status = 307;
    res.setHeader("Location", "/final");
  });
  server.route("/final", [](const testing_net::Request& req, testing_net::Response& res) {
    res.body = req.method + ":" + req.body;
  });
  auto streamed = [&] {
    auto r = request("/temp", "POST");
    r->setHTTPBodyStream(NSInputStream::inputStreamWithData(Data::fromString("streamed body")));
    r->setValueForHTTPHeaderField("13", "Content-Length");
    return r;
  };
  delegate->onNeedStream = [] {
    return NSInputStream::inputStreamWithData(Data::fromString("streamed body"));
  };
  auto task = session->uploadTaskWithStreamedRequest(streamed());
  EXPECT_EQ(task->countOfBytesExpectedToSend(), 13);
  task->resume();
  ASSERT_TRUE(waitCompleted(1));
  EXPECT_FALSE(task->error());
  EXPECT_EQ(delegate->bodies[1], "POST:streamed body");
  EXPECT_EQ(delegate->lastExpectedToSend, 13);
  EXPECT_NE(std::find(delegate->events.begin(), delegate->events.end(), "needStream"),
            delegate->events.end());
  EXPECT_EQ(server.requests().at(0).header("Content-Length"), "13");

  // Without a new stream the body cannot be sent again.
  delegate->onNeedStream = [] { return NSInputStreamRef(); };
  auto second = session->uploadTaskWithStreamedRequest(streamed());
  second->resume();
  ASSERT_TRUE(waitCompleted(2));
  ASSERT_TRUE(second->error());
  EXPECT_EQ(second->error()->code(), NSURLErrorRequestBodyStreamExhausted);
}

TEST_F(SessionFixture, ARedirectLoopEndsWithTooManyRedirects) {
  server.route("/loop", [](const testing_net::Request&, testing_net::Response& res) {
    res.status = 302;
    res.setHeader("Location", "/loop");
  });
  auto task = session->dataTaskWithRequest(request("/loop"));
  task->resume();
  ASSERT_TRUE(waitCompleted());
  EXPECT_EQ(task->error()->code(), NSURLErrorHTTPTooManyRedirects);
  EXPECT_EQ(server.requestCount(), 17u);
}

TEST_F(SessionFixture, ARefusedRedirectDeliversTheRedirectResponseAndItsBody) {
  server.route("/found", [](const testing_net::Request&, testing_net::Response& res) {
    res.status = 302;
    res.setHeader("Location", "/elsewhere");
    res.body = "moved";
  });
  delegate->onRedirect = [](const NSHTTPURLResponseRef&, const NSURLRequestRef&) {
    return NSURLRequestRef();
  };
  auto task = session->dataTaskWithRequest(request("/found"));
  task->resume();
  ASSERT_TRUE(waitCompleted());
  EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response())->statusCode(), 302);
  EXPECT_EQ(delegate->bodies[1], "moved");
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(SessionFixture, ResponseDispositionPausesTheTransferUntilAnswered) {
  std::string big(300000, 'z');
  server.respond("/big", 200, big, "application/octet-stream");
  delegate->holdResponse = true;
  auto task = session->dataTaskWithRequest(request("/big"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->heldResponse); }, 20));
  // Nothing is delivered while the decision is pending.
  testing_loop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(delegate->bodies.count(1), 0u);
  EXPECT_EQ(delegate->completed, 0u);
  delegate->heldResponse(NSURLSessionResponseAllow);
  ASSERT_TRUE(waitCompleted());
  EXPECT_EQ(delegate->bodies[1].size(), big.size());
  EXPECT_FALSE(task->error());
}

TEST_F(SessionFixture, AnAllowGivenWhileSuspendedWaitsForTheResume) {
  // The body may arrive whole while the decision is pending; a suspended task still delivers
  // and completes nothing until it is resumed.
  server.respond("/small", 200, "abc");
  delegate->holdResponse = true;
  auto task = session->dataTaskWithRequest(request("/small"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->heldResponse); }, 20));
  task->suspend();
  testing_loop::runUntil([] { return false; }, 0.2);
  delegate->heldResponse(NSURLSessionResponseAllow);
  testing_loop::runUntil([] { return false; }, 0.3);
  EXPECT_EQ(delegate->bodies.count(1), 0u);
  EXPECT_EQ(delegate->completed, 0u);
  EXPECT_EQ(task->state(), NSURLSessionTaskStateSuspended);
  task->resume();
  ASSERT_TRUE(waitCompleted());
  EXPECT_FALSE(task->error());
  EXPECT_EQ(delegate->bodies[1], "abc");

  // Cancelled while its allow is held: it ends cancelled, and the held answer goes with it.
  delegate->heldResponse = nullptr;
  auto second = session->dataTaskWithRequest(request("/small"));
  second->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->heldResponse); }, 20));
  second->suspend();
  delegate->heldResponse(NSURLSessionResponseAllow);
  second->cancel();
  ASSERT_TRUE(waitCompleted(2));
  EXPECT_EQ(second->error()->code(), NSURLErrorCancelled);
  EXPECT_EQ(delegate->bodies.count(second->taskIdentifier()), 0u);
}

TEST_F(SessionFixture, ABodyLargerThanWhatIsHeldBackArrivesWholeOnceAllowed) {
  // More than the session holds back while the decision is pending: reading stops, and
  // resumes without losing, repeating or reordering bytes.
  std::string big(9 * 1024 * 1024 + 123, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 4093) & 0xff);
  server.respond("/big", 200, big, "application/octet-stream");
  delegate->holdResponse = true;
  auto task = session->dataTaskWithRequest(request("/big"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->heldResponse); }, 20));
  runUntil([] { return false; }, 0.3);
  EXPECT_EQ(delegate->bodies.count(1), 0u);
  EXPECT_EQ(task->countOfBytesReceived(), 0);
  delegate->heldResponse(NSURLSessionResponseAllow);
  ASSERT_TRUE(waitCompleted());
  EXPECT_FALSE(task->error());
  EXPECT_EQ(delegate->bodies[1].size(), big.size());
  EXPECT_TRUE(delegate->bodies[1] == big);
  EXPECT_EQ(task->countOfBytesReceived(), static_cast<int64_t>(big.size()));
}

namespace {

// A delegate on its own queue that falls behind: it stops the queue after its first body
// delivery, or hands every delivery on to a consumer (counted as not yet taken) until the test
// releases them. It collects the body and the completion.
class LaggingDelegate : public NSURLSessionDelegate {
 public:
  enum class Lag { StopsItsQueue, HandsOn, None };
  LaggingDelegate(Lag lag, NSOperationQueueRef queue) : lag_(lag), queue_(std::move(queue)) {}
  std::shared_ptr<detail::URLTaskCore> core;

  void URLSessionDataTaskDidReceiveData(const NSURLSessionRef&, const NSURLSessionDataTaskRef&,
                                        const Data& data) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (body_.empty() && lag_ == Lag::StopsItsQueue) queue_->setMaxConcurrentOperationCount(0);
    if (lag_ == Lag::HandsOn) {
      handedOn_ += static_cast<int64_t>(data.length());
      detail::countBytesAwaitingConsumer(core, static_cast<int64_t>(data.length()));
    }
    body_.append(reinterpret_cast<const char*>(data.bytes()), data.length());
  }
  void URLSessionTaskDidCompleteWithError(const NSURLSessionRef&, const NSURLSessionTaskRef&,
                                          const NSErrorRef& error) override {
    std::lock_guard<std::mutex> lock(mu_);
    error_ = error;
    completed_ = true;
  }
  void URLSessionDidBecomeInvalidWithError(const NSURLSessionRef&, const NSErrorRef&) override {
    invalidated = true;
  }
  // Bytes delivered and not waiting for a consumer.
  int64_t taken() {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int64_t>(body_.size()) - handedOn_;
  }
  void catchUp() {
    int64_t handedOn;
    {
      std::lock_guard<std::mutex> lock(mu_);
      lag_ = Lag::None;
      handedOn = handedOn_;
      handedOn_ = 0;
    }
    queue_->setMaxConcurrentOperationCount(1);
    detail::countBytesAwaitingConsumer(core, -handedOn);
  }
  bool completed(std::string* body, NSErrorRef* error) {
    std::lock_guard<std::mutex> lock(mu_);
    if (completed_) *body = body_, *error = error_;
    return completed_;
  }
  std::atomic<bool> invalidated{false};

 private:
  Lag lag_;
  NSOperationQueueRef queue_;
  std::mutex mu_;
  std::string body_;
  int64_t handedOn_ = 0;
  NSErrorRef error_;
  bool completed_ = false;
};

}  // namespace

// A delegate that does not take the body holds the transfer back, whether it stops its queue
// or hands the bytes on to a consumer that keeps them waiting: no more than a bound of bytes
// waits, whatever the peer sends; once they are taken, the body arrives whole and in order.
TEST(URLSessionFlow, ADelegateThatFallsBehindHoldsTheTransferBack) {
  LoopbackServer server;
  std::string big(16 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 13 + i / 65521) & 0xff);
  server.respond("/big", 200, big, "application/octet-stream");
  const auto total = static_cast<int64_t>(big.size());
  for (auto lag : {LaggingDelegate::Lag::StopsItsQueue, LaggingDelegate::Lag::HandsOn}) {
    SCOPED_TRACE(static_cast<int>(lag));
    auto queue = std::make_shared<NSOperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
    auto delegate = std::make_shared<LaggingDelegate>(lag, queue);
    auto session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
        NSURLSessionConfiguration::defaultSessionConfiguration(), delegate, queue);
    auto task =
        session->dataTaskWithRequest(NSMutableURLRequest::requestWithURL(server.url("/big")));
    const auto core = task->core();
    delegate->core = core;
    auto paused = [&] {
      std::lock_guard<std::mutex> lock(core->mu);
      return core->pausedForDelivery;
    };
    task->resume();
    ASSERT_TRUE(runUntil([&] { return paused() || task->countOfBytesReceived() == total; }, 30));
    EXPECT_TRUE(paused());
    // Read and not taken: the bound, and at most one read of libcurl past it.
    EXPECT_LE(task->countOfBytesReceived() - delegate->taken(),
              static_cast<int64_t>(detail::kMaxPendingDeliveryBytes + (512 << 10)));
    EXPECT_LT(task->countOfBytesReceived(), total);

    delegate->catchUp();
    std::string body;
    NSErrorRef error;
    ASSERT_TRUE(runUntil([&] { return delegate->completed(&body, &error); }, 60));
    EXPECT_FALSE(error);
    EXPECT_EQ(body.size(), big.size());
    EXPECT_TRUE(body == big);
    session->invalidateAndCancel();
    EXPECT_TRUE(runUntil([&] { return delegate->invalidated.load(); }, 10));
  }
}

TEST_F(SessionFixture, CancelDispositionAndCancelReleaseAPendingDecisionWithCancelled) {
  server.respond("/a", 200, "abc");
  delegate->holdResponse = true;
  auto task = session->dataTaskWithRequest(request("/a"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->heldResponse); }, 20));
  task->cancel();
  EXPECT_GE(task->state(), NSURLSessionTaskStateCanceling);
  ASSERT_TRUE(waitCompleted());
  EXPECT_EQ(task->error()->code(), NSURLErrorCancelled);
  EXPECT_EQ(task->state(), NSURLSessionTaskStateCompleted);
  delegate->heldResponse(NSURLSessionResponseAllow);  // a late answer changes nothing

  delegate->holdResponse = false;
  delegate->onResponse = [](const NSURLResponseRef&) { return NSURLSessionResponseCancel; };
  auto second = session->dataTaskWithRequest(request("/a"));
  second->resume();
  ASSERT_TRUE(waitCompleted(2));
  EXPECT_EQ(second->error()->code(), NSURLErrorCancelled);
  EXPECT_EQ(delegate->bodies.count(2), 0u);
}

TEST_F(SessionFixture, CancelReleasesPendingRedirectAndNewBodyStreamDecisions) {
  server.route("/temp", [](const testing_net::Request&, testing_net::Response& res) {
    res.status = 307;
    res.setHeader("Location", "/final");
  });
  server.respond("/final", 200, "final");
  auto streamed = [&] {
    auto r = request("/temp", "POST");
    r->setHTTPBodyStream(NSInputStream::inputStreamWithData(Data::fromString("body")));
    r->setValueForHTTPHeaderField("4", "Content-Length");
    return r;
  };

  // A redirect decision held by the delegate.
  delegate->holdRedirect = true;
  auto redirected = session->dataTaskWithRequest(request("/temp"));
  redirected->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->heldRedirect); }, 20));
  redirected->cancel();
  ASSERT_TRUE(waitCompleted(1));
  EXPECT_EQ(redirected->error()->code(), NSURLErrorCancelled);
  delegate->heldRedirect(delegate->heldRedirectRequest);  // a late answer starts nothing
  delegate->holdRedirect = false;

  // A new body stream asked for after a 307: the transfer thread waits for it.
  delegate->holdStream = true;
  auto upload = session->uploadTaskWithStreamedRequest(streamed());
  upload->resume();
  ASSERT_TRUE(runUntil([&] { return static_cast<bool>(delegate->heldStream); }, 20));
  upload->cancel();
  ASSERT_TRUE(waitCompleted(2));
  EXPECT_EQ(upload->error()->code(), NSURLErrorCancelled);
  delegate->heldStream(NSInputStream::inputStreamWithData(Data::fromString("body")));

  // The session's thread is free again and nothing reached /final.
  delegate->holdStream = false;
  auto after = session->dataTaskWithRequest(request("/final"));
  after->resume();
  ASSERT_TRUE(waitCompleted(3));
  EXPECT_FALSE(after->error());
  EXPECT_EQ(delegate->completed, 3u);
  EXPECT_EQ(server.requestCount(), 3u);  // two to /temp, one to /final
}

TEST_F(SessionFixture, CancellingBeforeResumeAndTwiceCompletesOnce) {
  auto task = session->dataTaskWithRequest(request("/never"));
  task->cancel();
  task->cancel();
  ASSERT_TRUE(waitCompleted());
  runUntil([] { return false; }, 0.1);
  EXPECT_EQ(delegate->completed, 1u);
  EXPECT_EQ(task->error()->code(), NSURLErrorCancelled);
  EXPECT_EQ(server.requestCount(), 0u);
  task->resume();  // no effect once completed
  EXPECT_EQ(task->state(), NSURLSessionTaskStateCompleted);
}

TEST_F(SessionFixture, UnusableURLsAndRefusedConnectionsFailWithURLErrors) {
  auto bad = session->dataTaskWithRequest(NSURLRequest::requestWithURL("not a url"));
  auto none = session->dataTaskWithRequest(NSURLRequest::requestWithURL(""));
  auto ftp = session->dataTaskWithRequest(NSURLRequest::requestWithURL("ftp://127.0.0.1/x"));
  auto refused = session->dataTaskWithRequest(NSURLRequest::requestWithURL(
      "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort()) + "/"));
  // A redirect may not lead the session out of HTTP(S), to a local file for example.
  server.route("/tofile", [](const testing_net::Request&, testing_net::Response& res) {
    res.status = 302;
    res.setHeader("Location", "file:///etc/hostname");
  });
  auto toFile = session->dataTaskWithRequest(request("/tofile"));
  ASSERT_TRUE(bad && none && ftp && refused && toFile);
  for (auto& t : {bad, none, ftp, refused, toFile}) t->resume();
  ASSERT_TRUE(waitCompleted(5));
  EXPECT_EQ(toFile->error()->code(), NSURLErrorUnsupportedURL);
  EXPECT_EQ(delegate->bodies.count(toFile->taskIdentifier()), 0u);
  EXPECT_EQ(bad->error()->code(), NSURLErrorUnsupportedURL);
  EXPECT_EQ(none->error()->code(), NSURLErrorUnsupportedURL);
  EXPECT_EQ(ftp->error()->code(), NSURLErrorUnsupportedURL);
  EXPECT_EQ(refused->error()->code(), NSURLErrorCannotConnectToHost);
  EXPECT_EQ(refused->error()->userInfo()[NSURLErrorFailingURLStringErrorKey],
            Value(refused->originalRequest()->URL()));
  EXPECT_FALSE(session->dataTaskWithRequest(nullptr));
}

TEST_F(SessionFixture, AnIdleRequestTimesOutOnTheVirtualClock) {
  testing_loop::VirtualClockScope clock;
  server.route("/hang",
               [](const testing_net::Request&, testing_net::Response& res) { res.hang = true; });
  auto r = request("/hang");
  r->setTimeoutInterval(30);
  auto task = session->dataTaskWithRequest(r);
  task->resume();
  ASSERT_TRUE(runUntil([&] { return server.requestCount() == 1; }, 20));
  runUntil([] { return false; }, 0.2);
  EXPECT_EQ(delegate->completed, 0u);
  clock.clock().advanceBy(31);
  ASSERT_TRUE(waitCompleted());
  EXPECT_EQ(task->error()->code(), NSURLErrorTimedOut);
}

TEST_F(SessionFixture, SuspendHoldsTheTransferAndResumeContinuesIt) {
  std::string big(2 * 1024 * 1024, 'q');
  server.respond("/big", 200, big, "application/octet-stream");
  auto task = session->dataTaskWithRequest(request("/big"));
  std::atomic<int64_t> observed{0};
  task->addObserver(kCountOfBytesReceived,
                    [&](NSURLSessionTask&, const std::string&, int64_t v) { observed = v; });
  std::vector<std::pair<NSURLSessionTaskState, NSURLSessionTaskState>> hooks;
  NSURLSessionTask::setResumeHook([&](const NSURLSessionTaskRef& t, NSURLSessionTaskState before) {
    hooks.emplace_back(before, t->state());
  });
  NSURLSessionTask::setSuspendHook([&](const NSURLSessionTaskRef& t, NSURLSessionTaskState before) {
    hooks.emplace_back(before, t->state());
  });
  task->resume();
  task->suspend();
  task->suspend();
  EXPECT_EQ(task->state(), NSURLSessionTaskStateSuspended);
  runUntil([] { return false; }, 0.3);
  EXPECT_EQ(delegate->completed, 0u);
  task->resume();
  task->resume();
  ASSERT_TRUE(waitCompleted());
  NSURLSessionTask::setResumeHook(nullptr);
  NSURLSessionTask::setSuspendHook(nullptr);
  EXPECT_EQ(delegate->bodies[1].size(), big.size());
  EXPECT_EQ(observed.load(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(task->countOfBytesExpectedToReceive(), static_cast<int64_t>(big.size()));
  using S = NSURLSessionTaskState;
  ASSERT_EQ(hooks.size(), 5u);
  EXPECT_EQ(std::vector(hooks.begin(), hooks.begin() + 3),
            (std::vector<std::pair<S, S>>{
                {NSURLSessionTaskStateSuspended, NSURLSessionTaskStateRunning},
                {NSURLSessionTaskStateRunning, NSURLSessionTaskStateSuspended},
                {NSURLSessionTaskStateSuspended, NSURLSessionTaskStateSuspended}}));
  // Once resumed, the body held back meanwhile may arrive whole before a hook looks: the
  // task is then already completed, but never suspended again.
  EXPECT_EQ(hooks[3].first, NSURLSessionTaskStateSuspended);
  EXPECT_NE(hooks[3].second, NSURLSessionTaskStateSuspended);
  EXPECT_NE(hooks[4].first, NSURLSessionTaskStateSuspended);
  EXPECT_NE(hooks[4].second, NSURLSessionTaskStateSuspended);
}

TEST_F(SessionFixture, DownloadsWriteAFileThatIsRemovedAfterTheDelegateSawIt) {
  std::string body(100000, 'd');
  server.respond("/file.bin", 200, body, "application/octet-stream");
  auto task = session->downloadTaskWithRequest(request("/file.bin"));
  task->resume();
  ASSERT_TRUE(waitCompleted());
  EXPECT_FALSE(task->error());
  EXPECT_EQ(delegate->downloads[1], body);
  EXPECT_EQ(delegate->lastWritten, static_cast<int64_t>(body.size()));
  EXPECT_FALSE(std::filesystem::exists(delegate->downloadPath));
  EXPECT_EQ(delegate->events.back(), "complete 1 ok");
}

TEST_F(SessionFixture, BecomeDownloadMovesTheBodyToANewDownloadTask) {
  server.respond("/x", 200, "converted body", "application/octet-stream");
  delegate->onResponse = [](const NSURLResponseRef&) { return NSURLSessionResponseBecomeDownload; };
  auto task = session->dataTaskWithRequest(request("/x"));
  task->resume();
  ASSERT_TRUE(waitCompleted());
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"response 200", "becameDownload 2",
                                                        "finished download", "complete 2 ok"}));
  EXPECT_EQ(delegate->downloads[2], "converted body");
}

TEST_F(SessionFixture, ACancelledDownloadResumesFromItsResumeDataEvenTwice) {
  std::string body(3 * 1024 * 1024, 'r');
  for (size_t i = 0; i < body.size(); i += 4096) body[i] = static_cast<char>('a' + (i / 4096) % 26);
  const size_t firstPart = 1024 * 1024;
  std::atomic<bool> rangeSeen{false};
  server.route("/r", [&](const testing_net::Request& req, testing_net::Response& res) {
    res.setHeader("ETag", "\"v1\"");
    res.contentType = "application/octet-stream";
    auto range = req.header("Range");
    if (range && req.header("If-Range") == "\"v1\"") {
      // The server library answers the range (206 with Content-Range) from the whole body.
      rangeSeen = true;
      res.status = 206;
      res.body = body;
    } else {
      // The first answer stalls after a part of the body.
      res.chunks = {body.substr(0, firstPart)};
      res.hangAfterChunks = true;
    }
  });
  auto task = std::static_pointer_cast<NSURLSessionDownloadTask>(
      session->downloadTaskWithRequest(request("/r")));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return task->countOfBytesReceived() == int64_t(firstPart); }, 20));
  Data resumeData;
  bool gotData = false;
  task->cancelByProducingResumeData([&](const Data& d) {
    resumeData = d;
    gotData = true;
  });
  ASSERT_TRUE(runUntil([&] { return gotData && delegate->completed == 1; }, 20));
  EXPECT_EQ(task->error()->code(), NSURLErrorCancelled);
  ASSERT_FALSE(resumeData.empty());
  // A validator that would split the If-Range header is refused.
  Dictionary altered = *NSJSONSerialization::JSONObjectWithData(resumeData).dictionary();
  altered.set("validator", "\"v1\"\r\nX-Injected: 1");
  EXPECT_FALSE(
      session->downloadTaskWithResumeData(NSJSONSerialization::dataWithJSONObject(Value(altered))));
  // The same resume data used twice: each task ends with the whole body of its own.
  auto resumed = session->downloadTaskWithResumeData(resumeData);
  auto twin = session->downloadTaskWithResumeData(resumeData);
  ASSERT_TRUE(resumed && twin);
  resumed->resume();
  twin->resume();
  ASSERT_TRUE(waitCompleted(3));
  EXPECT_TRUE(rangeSeen);
  EXPECT_NE(
      std::find(delegate->events.begin(), delegate->events.end(),
                "resumed at " + std::to_string(firstPart) + " of " + std::to_string(body.size())),
      delegate->events.end());
  for (auto& t : {resumed, twin}) {
    EXPECT_FALSE(t->error());
    EXPECT_TRUE(delegate->downloads[t->taskIdentifier()] == body)
        << delegate->downloads[t->taskIdentifier()].size();
  }
  EXPECT_FALSE(session->downloadTaskWithResumeData(Data::fromString("garbage")));
}

TEST_F(SessionFixture, ACancelGivesResumeDataForWhatArrivedFromAnyThreadAndLeavesNoOtherFile) {
  OwnTemporaryFolder tmp;
  const std::string date = "Tue, 01 Dec 2026 10:00:00 GMT";
  const std::string a(1000, 'a'), b(1000, 'b'), c(1000, 'c');
  enum class Cancel {
    kOnTheTransferThread,  // by an observer of the received bytes, as they arrive
    kFromAnotherThread,    // while the transfer thread waits, with more bytes behind
    kAfterTheBytesStopped,
    kAtTheLastByte,  // the whole body has arrived when the cancel comes
  };
  struct Case {
    const char* name;
    std::string validators;  // header lines
    Cancel cancel;
    std::string resumeValidator;  // empty: no resume data
    bool finishes = false;
  };
  const std::vector<Case> cases = {
      {"a strong ETag", "ETag: \"v1\"\r\nLast-Modified: " + date + "\r\n",
       Cancel::kOnTheTransferThread, "\"v1\""},
      {"a date", "Last-Modified: " + date + "\r\n", Cancel::kFromAnotherThread, date},
      {"only a weak ETag", "ETag: W/\"v1\"\r\n", Cancel::kAfterTheBytesStopped, ""},
      {"the whole body", "ETag: \"v1\"\r\n", Cancel::kAtTheLastByte, "", true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    // Head and chunks in one write, so the bytes after the first chunk are there at once.
    auto chunk = [](const std::string& s) { return "3e8\r\n" + s + "\r\n"; };
    const std::string reply = "HTTP/1.1 200 OK\r\n" + k.validators +
                              "Transfer-Encoding: chunked\r\n\r\n" + chunk(a) + chunk(b) +
                              chunk(c) + (k.cancel == Cancel::kAtTheLastByte ? "0\r\n\r\n" : "");
    // The connection stays open: no more bytes come unless the reply ended the body.
    testing_net::RawLoopbackServer raw(
        [&](const std::string&) { return testing_net::RawLoopbackServer::Reply{reply}; });
    auto task = std::static_pointer_cast<NSURLSessionDownloadTask>(
        session->downloadTaskWithRequest(NSURLRequest::requestWithURL(raw.url("/f"))));
    Data resumeData;
    bool gotData = false;
    auto produce = [&] {
      return [&](const Data& d) {
        resumeData = d;
        gotData = true;
      };
    };
    std::mutex mu;
    std::condition_variable cv;
    bool asked = false, cancelled = false;
    const int64_t at = k.cancel == Cancel::kAtTheLastByte ? 3000 : 1000;
    task->addObserver(
        kCountOfBytesReceived, [&, at](NSURLSessionTask& t, const std::string&, int64_t value) {
          if (value != at) return;
          if (k.cancel == Cancel::kOnTheTransferThread || k.cancel == Cancel::kAtTheLastByte) {
            static_cast<NSURLSessionDownloadTask&>(t).cancelByProducingResumeData(produce());
          } else if (k.cancel == Cancel::kFromAnotherThread) {
            std::unique_lock<std::mutex> lock(mu);
            asked = true;
            cv.wait_for(lock, std::chrono::seconds(20), [&] { return cancelled; });
          }
        });
    const size_t before = delegate->completed;
    task->resume();
    if (k.cancel == Cancel::kFromAnotherThread) {
      ASSERT_TRUE(runUntil([&] {
        std::lock_guard<std::mutex> lock(mu);
        return asked;
      }));
      task->cancelByProducingResumeData(produce());
      std::lock_guard<std::mutex> lock(mu);
      cancelled = true;
      cv.notify_all();
    } else if (k.cancel == Cancel::kAfterTheBytesStopped) {
      ASSERT_TRUE(runUntil([&] { return task->countOfBytesReceived() == 3000; }));
      task->cancelByProducingResumeData(produce());
    }
    ASSERT_TRUE(runUntil([&] { return gotData && delegate->completed > before; }, 20));
    if (k.finishes) {
      EXPECT_FALSE(task->error());
      EXPECT_TRUE(delegate->downloads[task->taskIdentifier()] == a + b + c);
    } else {
      ASSERT_TRUE(task->error());
      EXPECT_EQ(task->error()->code(), NSURLErrorCancelled);
    }
    if (k.resumeValidator.empty()) {
      EXPECT_TRUE(resumeData.empty());
      EXPECT_EQ(tmp.files(), std::vector<std::string>());
    } else if (resumeData.empty()) {
      ADD_FAILURE() << "no resume data";
    } else {
      Value v = NSJSONSerialization::JSONObjectWithData(resumeData);
      EXPECT_EQ((v["validator"].string() ? *v["validator"].string() : std::string()),
                k.resumeValidator);
      // Exactly the bytes taken before the cancel, in the one file left.
      EXPECT_EQ(v["offset"].integerValue(), 1000);
      const std::string path = (v["path"].string() ? *v["path"].string() : std::string());
      EXPECT_EQ(tmp.files(), std::vector<std::string>{path});
      std::ifstream in(path, std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), a);
    }
    for (const auto& f : tmp.files()) std::filesystem::remove(f);
  }
}

TEST_F(SessionFixture, ACopiedPartialFileGoesWithATaskCancelledBeforeItStarts) {
  namespace fs = std::filesystem;
  OwnTemporaryFolder tmp;
  const fs::path dir = tmp.dir;
  std::ofstream(dir / "CFNetworkDownload_abcdef.tmp", std::ios::binary) << "partial!";
  Dictionary d;
  d.set("url", server.url("/r"));
  d.set("path", (dir / "CFNetworkDownload_abcdef.tmp").string());
  d.set("offset", Value(static_cast<long long>(8)));
  d.set("validator", "\"v1\"");
  Data resumeData = NSJSONSerialization::dataWithJSONObject(Value(d));
  {
    // The first task takes the file itself, the second a copy of it.
    auto first = session->downloadTaskWithResumeData(resumeData);
    auto second = session->downloadTaskWithResumeData(resumeData);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(tmp.files().size(), 2u);
    first->cancel();
    second->cancel();
    EXPECT_TRUE(waitCompleted(2));
  }
  // The copy is gone; the file the resume data names stays for another try.
  EXPECT_EQ(tmp.files(), std::vector<std::string>{(dir / "CFNetworkDownload_abcdef.tmp").string()});
}

TEST_F(SessionFixture, ResumeDataNamingAnyOtherFileIsRefused) {
  // Resume data is stored by apps and may come back altered: the session must not append to
  // or delete a file it did not make. Each victim below has the size the data claims.
  namespace fs = std::filesystem;
  auto tmp = fs::temp_directory_path();
  std::string pid = std::to_string(getpid() % 900 + 100);
  auto dir = tmp / ("resume-test-" + pid);
  fs::create_directories(dir);
  auto elsewhere = dir / ("CFNetworkDownload_abc" + pid + ".tmp");  // right name, wrong place
  auto plain = tmp / ("keep-" + pid + ".txt");
  auto link = tmp / ("CFNetworkDownload_lnk" + pid + ".tmp");  // a link to a victim
  auto shorter = tmp / ("CFNetworkDownload_" + pid);           // named by a path cut at a NUL
  auto withNul = fs::path(shorter.string() + std::string(1, '\0') + "xx.tmp");
  for (auto& f : {elsewhere, plain, shorter}) std::ofstream(f, std::ios::binary) << "precious";
  fs::remove(link);
  fs::create_symlink(plain, link);
  auto resumeDataFor = [&](const fs::path& path) {
    Dictionary d;
    d.set("url", server.url("/r"));
    d.set("path", path.string());
    d.set("offset", Value(static_cast<long long>(8)));
    d.set("validator", "\"v1\"");
    return NSJSONSerialization::dataWithJSONObject(Value(d));
  };
  for (auto& path :
       {elsewhere, plain, link, tmp / ".." / tmp.filename() / plain.filename(), withNul}) {
    EXPECT_FALSE(session->downloadTaskWithResumeData(resumeDataFor(path))) << path;
  }
  for (auto& f : {elsewhere, plain, shorter}) {
    std::ifstream in(f, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious") << f;
  }
  fs::remove(link);
  fs::remove(plain);
  fs::remove(shorter);
  fs::remove_all(dir);
}

TEST_F(SessionFixture, GetTasksListsUnfinishedTasksByKind) {
  auto d = session->dataTaskWithRequest(request("/a"));
  auto u = session->uploadTaskWithRequestFromData(request("/a", "POST"), Data::fromString("x"));
  auto dl = session->downloadTaskWithRequest(request("/a"));
  bool answered = false;
  session->getTasksWithCompletionHandler([&](std::vector<NSURLSessionDataTaskRef> data,
                                             std::vector<NSURLSessionUploadTaskRef> up,
                                             std::vector<NSURLSessionDownloadTaskRef> down) {
    answered = true;
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0], d);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0], u);
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0], dl);
  });
  ASSERT_TRUE(runUntil([&] { return answered; }, 10));
}

TEST_F(SessionFixture, FinishTasksAndInvalidateLetsRunningTasksEndThenReleasesTheDelegate) {
  server.respond("/a", 200, "a");
  auto task = session->dataTaskWithRequest(request("/a"));
  task->resume();
  session->finishTasksAndInvalidate();
  EXPECT_FALSE(session->dataTaskWithRequest(request("/a")));
  ASSERT_TRUE(runUntil([&] { return delegate->invalidated; }, 20));
  EXPECT_EQ(delegate->events.back(), "invalid");
  EXPECT_EQ(delegate->events[delegate->events.size() - 2], "complete 1 ok");
  EXPECT_FALSE(session->delegate());
}

TEST_F(SessionFixture, InvalidateAndCancelCancelsEveryTask) {
  server.route("/hang",
               [](const testing_net::Request&, testing_net::Response& res) { res.hang = true; });
  auto a = session->dataTaskWithRequest(request("/hang"));
  auto b = session->dataTaskWithRequest(request("/hang"));
  a->resume();
  ASSERT_TRUE(runUntil([&] { return server.requestCount() == 1; }, 20));
  session->invalidateAndCancel();
  ASSERT_TRUE(runUntil([&] { return delegate->invalidated; }, 20));
  EXPECT_EQ(a->error()->code(), NSURLErrorCancelled);
  EXPECT_EQ(b->error()->code(), NSURLErrorCancelled);
}

TEST(URLSessionConfiguration, AdditionalHeadersApplyUnlessTheRequestHasThem) {
  LoopbackServer server;
  server.respond("/h", 200, "");
  auto config = NSURLSessionConfiguration::defaultSessionConfiguration();
  config->setHTTPAdditionalHeaders(Dictionary{{"X-A", "session"}, {"X-B", "session"}});
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      config, delegate, NSOperationQueue::mainQueue());
  config->setHTTPAdditionalHeaders({});  // the session keeps its own copy
  auto r = NSMutableURLRequest::requestWithURL(server.url("/h"));
  r->setValueForHTTPHeaderField("request", "x-b");
  session->dataTaskWithRequest(r)->resume();
  ASSERT_TRUE(runUntil([&] { return delegate->completed == 1; }, 20));
  auto sent = server.requests().at(0);
  EXPECT_EQ(sent.header("X-A"), "session");
  EXPECT_EQ(sent.header("X-B"), "request");
  EXPECT_EQ(
      NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("bg")->identifier(),
      "bg");
  session->finishTasksAndInvalidate();
  ASSERT_TRUE(runUntil([&] { return delegate->invalidated; }, 20));
}

TEST_F(SessionFixture, UploadedFilesAreSentAgainThroughRedirectsThatKeepTheBody) {
  for (auto [path, code] : {std::pair{"/r307", 307}, {"/r308", 308}, {"/r301", 301}}) {
    server.route(path, [code = code](const testing_net::Request&, testing_net::Response& res) {
      res.status = code;
      res.setHeader("Location", "/final");
    });
  }
  server.route("/final", [](const testing_net::Request& req, testing_net::Response& res) {
    res.body = req.method + ":" + req.body;
  });
  auto path = std::filesystem::temp_directory_path() / ("redirect-up-" + std::to_string(getpid()));
  std::ofstream(path, std::ios::binary) << "file body";
  session->uploadTaskWithRequestFromFile(request("/r307", "POST"), path.string())->resume();
  session->uploadTaskWithRequestFromFile(request("/r308", "POST"), path.string())->resume();
  session->uploadTaskWithRequestFromFile(request("/r301", "PUT"), path.string())->resume();
  ASSERT_TRUE(waitCompleted(3));
  std::filesystem::remove(path);
  EXPECT_EQ(delegate->bodies[1], "POST:file body");
  EXPECT_EQ(delegate->bodies[2], "POST:file body");
  EXPECT_EQ(delegate->bodies[3], "PUT:file body");
}

// A stream that yields `text` in pieces of at most `piece` bytes.
class PiecewiseStream : public NSInputStream {
 public:
  PiecewiseStream(std::string text, size_t piece) : text_(std::move(text)), piece_(piece) {}
  void open() override { setStreamStatus(NSStreamStatusOpen); }
  void close() override { setStreamStatus(NSStreamStatusClosed); }
  int64_t readMaxLength(uint8_t* buffer, uint64_t max) override {
    size_t n = std::min<size_t>({static_cast<size_t>(max), piece_, text_.size() - at_});
    std::memcpy(buffer, text_.data() + at_, n);
    at_ += n;
    return static_cast<int64_t>(n);
  }
  bool hasBytesAvailable() const override { return at_ < text_.size(); }

 private:
  std::string text_;
  size_t piece_;
  size_t at_ = 0;
};

TEST_F(SessionFixture, StreamedBodiesNeverRunPastOrFallShortOfTheirDeclaredLength) {
  server.respond("/up", 200, "ok");
  server.respond("/smuggled", 200, "smuggled");
  auto streamed = [&](std::string body, const std::string& declared, size_t piece) {
    auto r = request("/up", "POST");
    r->setValueForHTTPHeaderField(declared, "Content-Length");
    r->setHTTPBodyStream(std::make_shared<PiecewiseStream>(std::move(body), piece));
    return session->uploadTaskWithStreamedRequest(r);
  };
  // Warm a kept-alive connection, then send bodies that hold more (in one read and in several)
  // or fewer bytes than declared, then one that is right.
  session->dataTaskWithRequest(request("/up"))->resume();
  ASSERT_TRUE(waitCompleted(1));
  const std::string extra = "GET /smuggled HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  auto longOne = streamed("abc" + extra, "3", 1 << 20);
  longOne->resume();
  ASSERT_TRUE(waitCompleted(2));
  auto longInPieces = streamed("abc" + extra, "3", 3);
  longInPieces->resume();
  ASSERT_TRUE(waitCompleted(3));
  auto shortOne = streamed("ab", "10", 1 << 20);
  shortOne->resume();
  ASSERT_TRUE(waitCompleted(4));
  auto exact = streamed("exact", "5", 2);
  exact->resume();
  ASSERT_TRUE(waitCompleted(5));
  for (auto& task : {longOne, longInPieces}) {
    ASSERT_TRUE(task->error());
    EXPECT_EQ(task->error()->code(), NSURLErrorDataLengthExceedsMaximum);
  }
  ASSERT_TRUE(shortOne->error());
  EXPECT_EQ(shortOne->error()->code(), NSURLErrorRequestBodyStreamExhausted);
  EXPECT_FALSE(exact->error());
  for (auto& req : server.requests()) EXPECT_NE(req.path, "/smuggled");
  EXPECT_EQ(server.requests().back().body, "exact");
}

TEST_F(SessionFixture, ABodyStallingAfterTheHeaderTimesOutOnAReusedConnection) {
  testing_loop::VirtualClockScope clock;
  server.respond("/warm", 200, "warm");
  server.route("/stall", [](const testing_net::Request&, testing_net::Response& res) {
    res.chunks = {"first"};
    res.hangAfterChunks = true;
  });
  session->dataTaskWithRequest(request("/warm"))->resume();
  ASSERT_TRUE(waitCompleted(1));
  auto r = request("/stall");
  r->setTimeoutInterval(2);
  auto task = session->dataTaskWithRequest(r);
  task->resume();
  ASSERT_TRUE(runUntil([&] { return task->countOfBytesReceived() == 5; }, 20));
  clock.clock().advanceBy(3);
  // The transfer thread checks the clock at least every 50 ms while a transfer runs.
  ASSERT_TRUE(runUntil([&] { return delegate->completed == 2; }, 10));
  EXPECT_EQ(task->error()->code(), NSURLErrorTimedOut);
}

TEST_F(SessionFixture, HeaderValuesWithLineBreaksAreRefusedWhereverTheyComeFrom) {
  server.respond("/h", 200, "");
  auto r = request("/h");
  r->setValueForHTTPHeaderField("kept", "X-Token");
  r->setValueForHTTPHeaderField("evil\r\nX-Injected: 1", "X-Token");
  r->addValueForHTTPHeaderField("more\nX-Injected: 2", "X-Token");
  r->setValueForHTTPHeaderField("v", "X-Bad\r\nX-Injected: 3");
  r->setAllHTTPHeaderFields(Dictionary{{"X-Token", "kept"}, {"X-Other", "a\rX-Injected: 4"}});
  EXPECT_EQ(r->valueForHTTPHeaderField("X-Token"), "kept");
  EXPECT_FALSE(r->valueForHTTPHeaderField("X-Other"));
  // A session's additional headers are not checked where they are set: the engine leaves a
  // broken one out.
  auto config = NSURLSessionConfiguration::defaultSessionConfiguration();
  config->setHTTPAdditionalHeaders(Dictionary{{"X-Session", "s\r\nX-Injected: 5"}});
  auto other = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      config, delegate, NSOperationQueue::mainQueue());
  other->dataTaskWithRequest(r)->resume();
  ASSERT_TRUE(waitCompleted(1));
  other->finishTasksAndInvalidate();
  ASSERT_TRUE(runUntil([&] { return delegate->invalidated; }, 20));
  delegate->invalidated = false;
  auto sent = server.requests().at(0);
  EXPECT_EQ(sent.header("X-Token"), "kept");
  EXPECT_FALSE(sent.header("X-Injected"));
  EXPECT_FALSE(sent.header("X-Session"));
}

TEST_F(SessionFixture, UndecodableBodiesAndOversizedHeadersFailWithTheirOwnCodes) {
  RawResponder corrupt(
      "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 12\r\nConnection: close\r\n"
      "\r\nnot gzip at!");
  RawResponder huge("HTTP/1.1 200 OK\r\nX-Big: " + std::string(400 * 1024, 'b') +
                    "\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  std::string lines;
  while (lines.size() < 300 * 1024) lines += "X-Line: " + std::string(1000, 'l') + "\r\n";
  RawResponder endless("HTTP/1.1 200 OK\r\n" + lines + "Content-Length: 2\r\n\r\nok");
  auto a = session->dataTaskWithURL(corrupt.url());
  auto b = session->dataTaskWithURL(huge.url());
  auto c = session->dataTaskWithURL(endless.url());
  for (auto& t : {a, b, c}) t->resume();
  ASSERT_TRUE(waitCompleted(3));
  ASSERT_TRUE(a->error() && b->error() && c->error());
  EXPECT_EQ(a->error()->code(), NSURLErrorCannotDecodeRawData);
  EXPECT_EQ(b->error()->code(), NSURLErrorDataLengthExceedsMaximum);
  EXPECT_EQ(c->error()->code(), NSURLErrorDataLengthExceedsMaximum);
}

// Entries of a /proc/self folder (threads or open descriptors).
size_t countEntries(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

TEST(URLSessionLifetime, AnIdleSessionLetsItsThreadAndConnectionsGoAndStartsThemAgain) {
  testing_loop::VirtualClockScope clock;
  LoopbackServer server;
  server.respond("/a", 200, "a");
  auto delegate = std::make_shared<RecordingDelegate>();
  std::vector<NSURLSessionRef> sessions;
  for (int i = 0; i < 8; ++i) {
    sessions.push_back(NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
        NSURLSessionConfiguration::defaultSessionConfiguration(), delegate,
        NSOperationQueue::mainQueue()));
  }
  auto okCount = [&] {
    return std::count_if(delegate->events.begin(), delegate->events.end(), [](auto& e) {
      return e.rfind("complete ", 0) == 0 && e.size() > 3 && e.substr(e.size() - 3) == " ok";
    });
  };
  // Every process-wide helper thread is up once a first request has gone through.
  sessions[0]->dataTaskWithURL(server.url("/a"))->resume();
  ASSERT_TRUE(runUntil([&] { return delegate->completed == 1; }, 20));
  const size_t threads = countEntries("/proc/self/task");  // the first session's among them
  const size_t fds = countEntries("/proc/self/fd");
  for (auto& s : sessions) s->dataTaskWithURL(server.url("/a"))->resume();
  ASSERT_TRUE(runUntil([&] { return delegate->completed == 9; }, 20));
  EXPECT_GE(countEntries("/proc/self/task"), threads + sessions.size() - 1);
  clock.clock().advanceBy(29);
  runUntil([] { return false; }, 0.2);
  EXPECT_GE(countEntries("/proc/self/task"), threads + sessions.size() - 1);
  clock.clock().advanceBy(2);
  EXPECT_TRUE(runUntil([&] { return countEntries("/proc/self/task") < threads; }, 20))
      << countEntries("/proc/self/task") << " threads, " << threads << " before";
  EXPECT_TRUE(runUntil([&] { return countEntries("/proc/self/fd") < fds; }, 20))
      << countEntries("/proc/self/fd") << " descriptors, " << fds << " before";
  // The sessions still work.
  for (auto& s : sessions) s->dataTaskWithURL(server.url("/a"))->resume();
  ASSERT_TRUE(runUntil([&] { return delegate->completed == 17; }, 20));
  EXPECT_EQ(okCount(), 17);
  for (auto& s : sessions) s->invalidateAndCancel();
  ASSERT_TRUE(runUntil(
      [&] {
        return std::all_of(sessions.begin(), sessions.end(),
                           [](auto& s) { return !s->delegate(); });
      },
      20));
}

}  // namespace
