// The transport against loopback servers: request forms, answers, failures, trust, threads.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "aggregation/NetworkInterface.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/foundation/NSLog.h"
#include "platform/security/SecTrust.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

using plat::Value;
using testing_net::LoopbackServer;

namespace {

// Runs `work` on a background queue and pumps the main loop until it has finished.
template <class T>
T offMain(std::function<T()> work) {
  auto result = std::make_shared<T>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [=] {
    *result = work();
    *done = true;
  });
  EXPECT_TRUE(testing_loop::runUntil([&] { return done->load(); }, 30));
  return *result;
}

Value asyncRequest(const std::string& url, const std::string& param, const std::string& method,
                   double timeout = 6) {
  bool called = false;
  Value answer;
  NetworkInterface::sharedInstance().addHttpRequestParamMethodCompletionBlockTimeout(
      url, param, method,
      [&](const Value& v) {
        EXPECT_TRUE(plat::NSThread::isMainThread());
        called = true;
        answer = v;
      },
      timeout);
  EXPECT_TRUE(testing_loop::runUntil([&] { return called; }, 30));
  return answer;
}

// Moves the virtual clock on until `done()` holds: a request's time-out fires only once the
// clock has passed it.
bool advanceUntil(const std::function<bool()>& done, double step) {
  for (int i = 0; i < 200 && !done(); ++i) {
    testing_loop::advance(step);
    testing_loop::runUntil(done, 0.05);
  }
  return done();
}

class NetworkInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.route("/api", [](const testing_net::Request&, testing_net::Response& r) {
      r.body = R"({"result":true,"n":1})";
      r.contentType = "application/json";
    });
    server.respond("/empty", 200, "");
    server.respond("/list", 200, R"(["h1","h2"])", "application/json");
    server.route("/hang",
                 [](const testing_net::Request&, testing_net::Response& r) { r.hang = true; });
  }
  // Requests time out on the virtual clock only: a slow run cannot turn an answer into a
  // time-out.
  testing_loop::VirtualClockScope clock;
  NetworkInterface& net = NetworkInterface::sharedInstance();
  LoopbackServer server;
};

TEST_F(NetworkInterfaceTest, GetAndPostRequestForms) {
  Value a = offMain<Value>(
      [&] { return net.addSyncHttpRequestParamMethod(server.url("/api"), "a=1 2&b=中", "GET"); });
  EXPECT_EQ(a["n"].integerValue(), 1);
  offMain<Value>([&] { return net.addSyncHttpRequestParamMethod(server.url("/api"), "", "GET"); });
  offMain<plat::Array>(
      [&] { return net.addSyncHttpRequest2ParamMethod(server.url("/list"), "x=1&y=+/?", "GET"); });
  asyncRequest(server.url("/api"), "0123456789", "POST");

  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].method, "GET");
  EXPECT_EQ(reqs[0].query, "a=1%202&b=%E4%B8%AD");
  EXPECT_EQ(reqs[1].target, "/api") << "no '?' without parameters";
  EXPECT_EQ(reqs[2].query, "x=1&y=+/?");
  EXPECT_EQ(reqs[3].method, "POST");
  EXPECT_EQ(reqs[3].body, "0123456789");
  EXPECT_EQ(reqs[3].header("Content-Length"), "10");
  EXPECT_EQ(reqs[3].target, "/api");
}

TEST_F(NetworkInterfaceTest, AnswersEmptyBodiesAndOtherTopLevels) {
  EXPECT_EQ(asyncRequest(server.url("/api"), "", "GET")["result"], Value(true));
  EXPECT_TRUE(asyncRequest(server.url("/empty"), "", "GET").isNil());
  Value empty = offMain<Value>(
      [&] { return net.addSyncHttpRequestParamMethod(server.url("/empty"), "", "GET"); });
  ASSERT_TRUE(empty.isDictionary());
  EXPECT_EQ(empty.count(), 0u);
  // A JSON array where a dictionary is expected decodes to an empty dictionary.
  Value notObject = offMain<Value>(
      [&] { return net.addSyncHttpRequestParamMethod(server.url("/list"), "", "GET"); });
  ASSERT_TRUE(notObject.isDictionary());
  EXPECT_EQ(notObject.count(), 0u);
  auto list = offMain<plat::Array>(
      [&] { return net.addSyncHttpRequest2ParamMethod(server.url("/list"), "", "GET"); });
  EXPECT_EQ(list, (plat::Array{"h1", "h2"}));
  EXPECT_TRUE(offMain<plat::Array>([&] {
                return net.addSyncHttpRequest2ParamMethod(server.url("/api"), "", "GET");
              }).empty());
}

TEST_F(NetworkInterfaceTest, RefusedConnectionsAndTimeOutsGiveNothing) {
  std::string refused =
      "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort()) + "/";
  EXPECT_TRUE(asyncRequest(refused, "", "GET").isNil());
  EXPECT_TRUE(offMain<Value>([&] {
                return net.addSyncHttpRequestParamMethod(refused, "", "POST");
              }).isNil());
  EXPECT_TRUE(offMain<plat::Array>([&] {
                return net.addSyncHttpRequest2ParamMethod(refused, "", "GET");
              }).empty());

  // A server that never answers: both forms give nothing once the time-out has passed.
  struct Answers {
    std::atomic<bool> syncDone{false};
    bool asyncDone = false;
    Value sync{"unset"}, async{"unset"};
  };
  auto answers = std::make_shared<Answers>();
  std::string hang = server.url("/hang");
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [answers, hang, &n = net] {
    answers->sync = n.addSyncHttpRequestParamMethodTimeout(hang, "", "GET", 0.3);
    answers->syncDone = true;
  });
  net.addHttpRequestParamMethodCompletionBlockTimeout(
      hang, "", "GET",
      [answers](const Value& v) {
        answers->async = v;
        answers->asyncDone = true;
      },
      0.3);
  ASSERT_TRUE(advanceUntil([&] { return answers->syncDone && answers->asyncDone; }, 0.1));
  EXPECT_TRUE(answers->sync.isNil());
  EXPECT_TRUE(answers->async.isNil());
}

TEST_F(NetworkInterfaceTest, ATricklingAnswerEndsAtTheTimeOutCountedFromTheStart) {
  // One byte every 2 s: never silent for a whole time-out, yet far from done within one.
  auto trickle = [&](const std::string& path, const std::string& open, const std::string& close) {
    std::vector<std::string> chunks{open};
    chunks.insert(chunks.end(), 30, " ");
    chunks.push_back(close);
    auto gate = std::make_shared<testing_net::Gate>(chunks);
    server.route(path, [gate](const testing_net::Request&, testing_net::Response& r) {
      r.contentType = "application/json";
      r.gate = gate;
    });
    return gate;
  };
  std::vector<testing_net::GateRef> gates{trickle("/t-sync", "{\"a\":", "1}"),
                                          trickle("/t-list", "[", "\"h\"]"),
                                          trickle("/t-async", "{\"a\":", "1}")};
  struct Answers {
    std::atomic<int> done{0};
    Value sync{"unset"}, async{"unset"};
    plat::Array list{Value("unset")};
    std::atomic<double> syncAt{0}, listAt{0}, asyncAt{0};
  };
  auto answers = std::make_shared<Answers>();
  auto elapsed = std::make_shared<std::atomic<double>>(0);
  std::string syncURL = server.url("/t-sync"), listURL = server.url("/t-list");
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [=, &n = net] {
    answers->sync = n.addSyncHttpRequestParamMethodTimeout(syncURL, "", "GET", 6.0);
    answers->syncAt = elapsed->load();
    ++answers->done;
  });
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [=, &n = net] {
    answers->list = n.addSyncHttpRequest2ParamMethod(listURL, "", "GET");
    answers->listAt = elapsed->load();
    ++answers->done;
  });
  net.addHttpRequestParamMethodCompletionBlockTimeout(
      server.url("/t-async"), "", "GET",
      [=](const Value& v) {
        answers->async = v;
        answers->asyncAt = elapsed->load();
        ++answers->done;
      },
      6.0);
  ASSERT_TRUE(testing_loop::runUntil([&] {
    return std::all_of(gates.begin(), gates.end(), [](auto& g) { return g->started(); });
  }));
  for (int second = 1; second <= 70 && answers->done < 3; ++second) {
    testing_loop::advance(1);
    *elapsed = second;
    if (second % 2 == 0) {
      for (auto& g : gates) g->release();
    }
    testing_loop::runUntil([&] { return answers->done == 3; }, 0.05);
  }
  ASSERT_EQ(answers->done, 3);
  EXPECT_TRUE(answers->sync.isNil());
  EXPECT_TRUE(answers->async.isNil());
  EXPECT_TRUE(answers->list.empty());
  EXPECT_LE(answers->syncAt, 8);
  EXPECT_LE(answers->asyncAt, 8);
  EXPECT_LE(answers->listAt, 5);
}

// A loopback server whose answers never end: each connection gets a 200 header (with a huge
// "Content-Length" when `declared`, else none) and then the same 64 KiB block again and again,
// up to kCap bytes, for as long as the client reads. It counts the body bytes the client took
// (those its kernel accepted). Without reading, memory stays flat on both sides.
class EndlessServer {
 public:
  static constexpr uint64_t kCap = 256u << 20;
  explicit EndlessServer(bool declared) : declared_(declared) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(::listen(fd_, 4), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~EndlessServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/answer"; }
  // Body bytes handed to the client so far, over all connections.
  uint64_t sent() const { return sent_; }

 private:
  bool wait(int fd, short events) {
    pollfd p{fd, events, 0};
    while (!stop_) {
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }
  void serve() {
    while (wait(fd_, POLLIN)) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      answer(c);
      ::close(c);
    }
  }
  void answer(int c) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && wait(c, POLLIN)) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<size_t>(n));
    }
    std::string head = declared_ ? "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n"
                                 : "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
    if (::send(c, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size()))
      return;
    std::string block(64 * 1024, ' ');
    uint64_t total = 0;
    while (total < kCap && wait(c, POLLOUT)) {
      ssize_t n = ::send(c, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return;
      total += static_cast<uint64_t>(n);
      sent_ += static_cast<uint64_t>(n);
    }
  }
  bool declared_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  std::thread thread_;
};

TEST_F(NetworkInterfaceTest, AnEndlessAnswerFailsOnceItPassesTheBoundAndIsReadNoFurther) {
  for (bool declared : {false, true}) {
    EndlessServer endless(declared);
    std::string url = endless.url();
    EXPECT_TRUE(
        offMain<Value>([&] { return net.addSyncHttpRequestParamMethod(url, "", "GET"); }).isNil())
        << "declared " << declared;
    EXPECT_TRUE(offMain<plat::Array>([&] {
                  return net.addSyncHttpRequest2ParamMethod(url, "", "GET");
                }).empty());
    EXPECT_TRUE(asyncRequest(url, "", "GET").isNil());
    // Three requests, each ended once past the bound: the transport stopped reading long before
    // the end of the stream (what it had read ahead before the cancel took hold is dropped as
    // it is handed over, never collected).
    EXPECT_LT(endless.sent(), 3 * (EndlessServer::kCap / 4)) << "declared " << declared;
    if (declared) EXPECT_LT(endless.sent(), 3 * (16u << 20)) << "refused at the header";
  }
}

TEST_F(NetworkInterfaceTest, SynchronousCallsOnTheMainThreadAreRefused) {
  std::vector<std::string> logs;
  std::mutex mu;
  plat::setNSLogCaptureForTesting([&](const std::string& line) {
    std::lock_guard<std::mutex> lock(mu);
    logs.push_back(line);
  });
  EXPECT_TRUE(net.addSyncHttpRequestParamMethod(server.url("/api"), "", "GET").isNil());
  EXPECT_TRUE(net.addSyncHttpRequest2ParamMethod(server.url("/list"), "", "GET").empty());
  plat::setNSLogCaptureForTesting(nullptr);
  EXPECT_EQ(server.requestCount(), 0u);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(logs.size(), 2u);
}

TEST(NetworkInterfaceTrustTest, ServersAreCheckedAgainstThePlatformAnchors) {
  // Every request reads the trust store and shakes hands anew: slow under valgrind, so the
  // requests' time-outs run on a virtual clock.
  testing_loop::VirtualClockScope clock;
  testing_device::TempDeviceRoot root;
  auto& pki = testing_net::TestPKI::shared();
  LoopbackServer tls(testing_net::TLSIdentity::withIntermediate(pki.leaf));
  tls.respond("/api", 200, R"({"ok":1})", "application/json");
  // An unknown CA is refused like an unreachable server.
  EXPECT_TRUE(asyncRequest(tls.url("/api"), "", "GET").isNil());
  ASSERT_TRUE(
      plat::SecTrustAddDeviceAnchorCertificate(plat::SecCertificateCreateWithData(pki.root.der)));
  EXPECT_EQ(asyncRequest(tls.url("/api"), "", "GET")["ok"].integerValue(), 1);
  EXPECT_EQ(offMain<Value>([&] {
              return NetworkInterface::sharedInstance().addSyncHttpRequestParamMethod(
                  tls.url("/api"), "", "GET");
            })["ok"]
                .integerValue(),
            1);
}

}  // namespace
