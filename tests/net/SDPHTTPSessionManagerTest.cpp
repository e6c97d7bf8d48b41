// The HTTP session manager: verbs against a base URL, success and failure routing, form,
// JSON and multipart bodies as they arrive on the wire, and authorization.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "net/SDPHTTPSessionManager.h"
#include "net/SDPJSONRequestSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

namespace {

struct Outcome {
  int successes = 0;
  int failures = 0;
  plat::NSURLSessionDataTaskRef task;
  plat::Value object;
  plat::NSErrorRef error;
  bool done() const { return successes + failures > 0; }
};

SDPHTTPSessionManager::Success onSuccess(Outcome& o) {
  return [&o](const plat::NSURLSessionDataTaskRef& task, const plat::Value& object) {
    EXPECT_TRUE(plat::dispatch_is_main_thread());
    ++o.successes;
    o.task = task;
    o.object = object;
  };
}
SDPHTTPSessionManager::Failure onFailure(Outcome& o) {
  return [&o](const plat::NSURLSessionDataTaskRef& task, const plat::NSErrorRef& error) {
    EXPECT_TRUE(plat::dispatch_is_main_thread());
    ++o.failures;
    o.task = task;
    o.error = error;
  };
}

// Echoes what the server saw as JSON.
void echo(const testing_net::Request& req, testing_net::Response& r) {
  plat::Dictionary seen{
      {"method", req.method}, {"path", req.path}, {"query", req.query}, {"body", req.body}};
  if (auto auth = req.header("Authorization")) seen.set("authorization", *auth);
  if (auto type = req.header("Content-Type")) seen.set("contentType", *type);
  r.body = plat::NSJSONSerialization::stringWithJSONObject(plat::Value(seen));
  r.contentType = "application/json";
}

// A one-request HTTP server that keeps the request exactly as it arrived on the socket
// (multipart bodies included, which the shared loopback server parses as forms).
class RawOneShotServer {
 public:
  RawOneShotServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 1);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawOneShotServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload"; }
  // Header block and body, once the request was read.
  std::string head;
  std::string body;
  std::atomic<bool> received{false};

 private:
  void serve() {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    std::string data;
    char buffer[65536];
    size_t headerEnd = std::string::npos;
    size_t length = 0;
    while (true) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      data.append(buffer, static_cast<size_t>(n));
      if (headerEnd == std::string::npos &&
          (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
        std::string lower = data.substr(0, headerEnd);
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t at = lower.find("content-length:");
        if (at != std::string::npos) length = std::stoul(lower.substr(at + 15));
      }
      if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + length) break;
    }
    if (headerEnd != std::string::npos) {
      head = data.substr(0, headerEnd);
      body = data.substr(headerEnd + 4);
    }
    received = true;
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
        "Connection: close\r\n\r\n{}";
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(fd);
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

class SDPHTTPSessionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.route("/api/items", echo);
    manager_ = SDPHTTPSessionManager::initWithBaseURL(server_.url("/api"));
  }
  void TearDown() override {
    auto session = manager_->session();
    manager_->invalidateSessionCancelingTasks(true);
    testing_loop::runUntil([&] { return !session->delegate(); });
  }

  Outcome run(const std::function<plat::NSURLSessionDataTaskRef(Outcome&)>& start) {
    Outcome o;
    auto task = start(o);
    EXPECT_TRUE(testing_loop::runUntil([&] { return o.done(); }));
    if (task) {
      EXPECT_EQ(o.task, task);
    }
    return o;
  }

  testing_net::LoopbackServer server_;
  std::shared_ptr<SDPHTTPSessionManager> manager_;
};

}  // namespace

TEST(SDPHTTPSessionManagerBaseURLTest, PathsGetATrailingSlash) {
  EXPECT_EQ(SDPNormalizedBaseURL("http://h/api"), "http://h/api/");
  EXPECT_EQ(SDPNormalizedBaseURL("http://h/api/"), "http://h/api/");
  EXPECT_EQ(SDPNormalizedBaseURL("http://h"), "http://h");
  EXPECT_EQ(SDPNormalizedBaseURL("http://h/a/b?x=1"), "http://h/a/b/?x=1");
  auto manager = SDPHTTPSessionManager::initWithBaseURL("http://h/api");
  EXPECT_EQ(manager->baseURL(), "http://h/api/");
  auto plain = SDPHTTPSessionManager::manager();
  EXPECT_EQ(plain->baseURL(), "");
  // A session holds its manager until invalidated.
  for (const auto& m : {manager, plain}) {
    auto session = m->session();
    m->invalidateSessionCancelingTasks(true);
    testing_loop::runUntil([&] { return !session->delegate(); });
  }
}

TEST(SDPHTTPSessionManagerBaseURLTest, ConfigurationOnlyCreationMakesAnHTTPManager) {
  auto configuration = plat::NSURLSessionConfiguration::ephemeralSessionConfiguration();
  std::shared_ptr<SDPHTTPSessionManager> manager =
      SDPHTTPSessionManager::initWithSessionConfiguration(configuration);
  EXPECT_EQ(manager->className(), "SDPHTTPSessionManager");
  EXPECT_EQ(manager->baseURL(), "");
  EXPECT_EQ(manager->sessionConfiguration(), configuration);
  EXPECT_TRUE(manager->requestSerializer());
  EXPECT_TRUE(std::dynamic_pointer_cast<SDPJSONResponseSerializer>(manager->responseSerializer()));
  auto session = manager->session();
  manager->invalidateSessionCancelingTasks(true);
  testing_loop::runUntil([&] { return !session->delegate(); });
}

TEST_F(SDPHTTPSessionManagerTest, VerbsResolveAgainstTheBaseURLAndEncodeParameters) {
  plat::Value params(plat::Dictionary{{"q", "a b"}, {"n", 1}});
  auto get = run([&](Outcome& o) {
    return manager_->GETParametersSuccessFailure("items", params, onSuccess(o), onFailure(o));
  });
  ASSERT_EQ(get.successes, 1);
  EXPECT_EQ(get.object["method"], plat::Value("GET"));
  EXPECT_EQ(get.object["path"], plat::Value("/api/items"));
  EXPECT_EQ(get.object["query"], plat::Value("n=1&q=a%20b"));
  EXPECT_EQ(get.object["body"], plat::Value(""));

  for (const char* method : {"POST", "PUT", "PATCH"}) {
    auto o = run([&](Outcome& o) {
      std::string m = method;
      if (m == "POST")
        return manager_->POSTParametersSuccessFailure("items", params, onSuccess(o), onFailure(o));
      if (m == "PUT")
        return manager_->PUTParametersSuccessFailure("items", params, onSuccess(o), onFailure(o));
      return manager_->PATCHParametersSuccessFailure("items", params, onSuccess(o), onFailure(o));
    });
    ASSERT_EQ(o.successes, 1) << method;
    EXPECT_EQ(o.object["method"], plat::Value(method));
    EXPECT_EQ(o.object["body"], plat::Value("n=1&q=a%20b"));
    EXPECT_EQ(o.object["query"], plat::Value(""));
    EXPECT_EQ(o.object["contentType"], plat::Value("application/x-www-form-urlencoded"));
  }

  auto del = run([&](Outcome& o) {
    return manager_->DELETEParametersSuccessFailure("items", params, onSuccess(o), onFailure(o));
  });
  EXPECT_EQ(del.object["query"], plat::Value("n=1&q=a%20b"));

  // A full URL string is used as it stands.
  auto full = run([&](Outcome& o) {
    return manager_->GETParametersSuccessFailure(server_.url("/api/items"), plat::Value(),
                                                 onSuccess(o), onFailure(o));
  });
  EXPECT_EQ(full.object["path"], plat::Value("/api/items"));
}

TEST_F(SDPHTTPSessionManagerTest, HeadSucceedsWithTheTaskAlone) {
  server_.respond("/api/head", 200, "", "text/plain");
  int calls = 0;
  bool done = false;
  auto task = manager_->HEADParametersSuccessFailure(
      "head", plat::Value(),
      [&](const plat::NSURLSessionDataTaskRef& t) {
        ++calls;
        done = t != nullptr;
      },
      [&](auto&, auto&) { done = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(server_.requests().back().method, "HEAD");
  EXPECT_EQ(task->state(), plat::NSURLSessionTaskStateCompleted);
}

TEST_F(SDPHTTPSessionManagerTest, FailedStatusAndWrongTypeReachOnlyFailure) {
  server_.respond("/api/broken", 500, R"({"error":"boom"})", "application/json");
  auto broken = run([&](Outcome& o) {
    return manager_->GETParametersSuccessFailure("broken", plat::Value(), onSuccess(o),
                                                 onFailure(o));
  });
  EXPECT_EQ(broken.successes, 0);
  ASSERT_EQ(broken.failures, 1);
  EXPECT_EQ(broken.error->code(), -1011);
  EXPECT_EQ(broken.error->domain(), SDPURLResponseSerializationErrorDomain);

  server_.respond("/api/html", 200, "<html></html>", "text/html");
  auto html = run([&](Outcome& o) {
    return manager_->GETParametersSuccessFailure("html", plat::Value(), onSuccess(o), onFailure(o));
  });
  ASSERT_EQ(html.failures, 1);
  EXPECT_EQ(html.error->code(), -1016);

  // Accepting "text/html" (as the channel transport does) turns it into a parse attempt.
  auto json = std::dynamic_pointer_cast<SDPHTTPResponseSerializer>(manager_->responseSerializer());
  auto types = *json->acceptableContentTypes();
  types.insert("text/html");
  json->setAcceptableContentTypes(types);
  server_.respond("/api/htmljson", 200, R"({"ok":true})", "text/html");
  auto accepted = run([&](Outcome& o) {
    return manager_->POSTParametersSuccessFailure("htmljson", plat::Value(), onSuccess(o),
                                                  onFailure(o));
  });
  ASSERT_EQ(accepted.successes, 1);
  EXPECT_EQ(accepted.object["ok"], plat::Value(true));

  // A connection that cannot be made fails with the network error and a task.
  auto refused = run([&](Outcome& o) {
    return manager_->GETParametersSuccessFailure(
        "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort()) + "/x",
        plat::Value(), onSuccess(o), onFailure(o));
  });
  ASSERT_EQ(refused.failures, 1);
  EXPECT_EQ(refused.error->code(), -1004);
  EXPECT_TRUE(refused.task);
}

TEST_F(SDPHTTPSessionManagerTest, RequestsThatCannotBeBuiltFailWithoutATask) {
  auto serializer = SDPHTTPRequestSerializer::serializer();
  serializer->setQueryStringSerializationWithBlock(
      [](const plat::NSURLRequest&, const plat::Value&, plat::NSErrorRef* error) {
        *error = plat::NSError::make("test", 42);
        return std::string();
      });
  manager_->setRequestSerializer(serializer);
  Outcome o;
  auto task = manager_->GETParametersSuccessFailure(
      "items", plat::Value(plat::Dictionary{{"a", 1}}), onSuccess(o), onFailure(o));
  EXPECT_FALSE(task);
  EXPECT_FALSE(o.done());  // reported later, never inline
  ASSERT_TRUE(testing_loop::runUntil([&] { return o.done(); }));
  EXPECT_EQ(o.failures, 1);
  EXPECT_FALSE(o.task);
  EXPECT_EQ(o.error->code(), 42);

  // A body the JSON writer cannot hold is an error too: nothing is sent without it.
  manager_->setRequestSerializer(SDPJSONRequestSerializer::serializer());
  Outcome unwritable;
  EXPECT_FALSE(manager_->POSTParametersSuccessFailure(
      "items", plat::Value(plat::Dictionary{{"d", plat::Data::fromString("x")}}),
      onSuccess(unwritable), onFailure(unwritable)));
  ASSERT_TRUE(testing_loop::runUntil([&] { return unwritable.done(); }));
  EXPECT_EQ(unwritable.successes, 0);
  EXPECT_EQ(unwritable.failures, 1);
  EXPECT_FALSE(unwritable.task);
  ASSERT_TRUE(unwritable.error);
  EXPECT_EQ(server_.requestCount(), 0u);

  // A URL that cannot be parsed gives a task that fails as unsupported.
  manager_->setRequestSerializer(SDPHTTPRequestSerializer::serializer());
  auto bad = run([&](Outcome& o) {
    return manager_->GETParametersSuccessFailure("http://bad host/", plat::Value(), onSuccess(o),
                                                 onFailure(o));
  });
  ASSERT_EQ(bad.failures, 1);
  EXPECT_EQ(bad.error->code(), -1002);
}

TEST_F(SDPHTTPSessionManagerTest, AnInvalidatedManagerStillAnswers) {
  auto session = manager_->session();
  manager_->invalidateSessionCancelingTasks(false);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !session->delegate(); }));
  Outcome o;
  EXPECT_FALSE(
      manager_->GETParametersSuccessFailure("items", plat::Value(), onSuccess(o), onFailure(o)));
  ASSERT_TRUE(testing_loop::runUntil([&] { return o.done(); }));
  EXPECT_EQ(o.failures, 1);
  EXPECT_FALSE(o.task);
  EXPECT_EQ(o.error->code(), -999);
}

TEST_F(SDPHTTPSessionManagerTest, AuthorizationAndJSONBodiesArrive) {
  auto serializer = SDPJSONRequestSerializer::serializer();
  serializer->setAuthorizationHeaderFieldWithUsernamePassword("aladdin", "open sesame");
  manager_->setRequestSerializer(serializer);
  auto o = run([&](Outcome& o) {
    return manager_->POSTParametersSuccessFailure(
        "items", plat::Value(plat::Dictionary{{"list", plat::Array{1, "two"}}}), onSuccess(o),
        onFailure(o));
  });
  ASSERT_EQ(o.successes, 1);
  EXPECT_EQ(o.object["authorization"], plat::Value("Basic YWxhZGRpbjpvcGVuIHNlc2FtZQ=="));
  EXPECT_EQ(o.object["contentType"], plat::Value("application/json"));
  EXPECT_EQ(plat::NSJSONSerialization::JSONObjectWithString(o.object["body"].stringOr()),
            plat::Value(plat::Dictionary{{"list", plat::Array{1, "two"}}}));
}

TEST_F(SDPHTTPSessionManagerTest, MultipartPostArrivesByteForByte) {
  std::string payload(70000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 % 251);
  RawOneShotServer raw;
  std::atomic<int64_t> sent{0};
  auto o = run([&](Outcome& o) {
    return manager_->POSTParametersConstructingBodyWithBlockProgressSuccessFailure(
        raw.url(), plat::Value(plat::Dictionary{{"field", "value"}}),
        [&](SDPMultipartFormData& form) {
          form.appendPartWithFileDataNameFileNameMimeType(plat::Data::fromString(payload), "blob",
                                                          "b.bin", "application/octet-stream");
        },
        [&](const plat::NSProgressRef& p) { sent = p->completedUnitCount(); }, onSuccess(o),
        onFailure(o));
  });
  ASSERT_EQ(o.successes, 1) << (o.error ? o.error->description() : "");
  ASSERT_TRUE(raw.received);
  const std::string marker = "multipart/form-data; boundary=";
  const size_t at = raw.head.find(marker);
  ASSERT_NE(at, std::string::npos) << raw.head;
  const std::string boundary =
      raw.head.substr(at + marker.size(), raw.head.find("\r\n", at) - at - marker.size());
  const std::string expected =
      "--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"field\"\r\n\r\nvalue"
      "\r\n--" +
      boundary +
      "\r\nContent-Disposition: form-data; name=\"blob\"; filename=\"b.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      payload + "\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(raw.body.size(), expected.size());
  EXPECT_TRUE(raw.body == expected);
  EXPECT_NE(raw.head.find("Content-Length: " + std::to_string(expected.size())), std::string::npos);
  EXPECT_EQ(sent.load(), static_cast<int64_t>(expected.size()));
}

TEST_F(SDPHTTPSessionManagerTest, CopiesKeepBaseURLAndSerializers) {
  auto serializer = SDPJSONRequestSerializer::serializer();
  serializer->setValueForHTTPHeaderField("yes", "X-Copied");
  manager_->setRequestSerializer(serializer);
  auto json = SDPJSONResponseSerializer::serializer();
  json->setAcceptableContentTypes(std::set<std::string>{"text/html"});
  manager_->setResponseSerializer(json);
  // Copied through the base class, as a generic caller copies: the copy is a complete
  // manager of the same class.
  std::shared_ptr<SDPURLSessionManager> original = manager_;
  auto copy = std::dynamic_pointer_cast<SDPHTTPSessionManager>(original->copyWithZone());
  ASSERT_TRUE(copy);
  ASSERT_TRUE(copy->requestSerializer());
  EXPECT_EQ(copy->baseURL(), manager_->baseURL());
  EXPECT_FALSE(copy->baseURL().empty());
  auto copiedJSON =
      std::dynamic_pointer_cast<SDPJSONResponseSerializer>(copy->responseSerializer());
  ASSERT_TRUE(copiedJSON);
  EXPECT_NE(copiedJSON, json);
  EXPECT_TRUE(std::dynamic_pointer_cast<SDPJSONRequestSerializer>(copy->requestSerializer()));
  EXPECT_EQ(copy->requestSerializer()->valueForHTTPHeaderField("X-Copied"), "yes");
  EXPECT_NE(copy->requestSerializer(), manager_->requestSerializer());
  auto o = run([&](Outcome& o) {
    return copy->GETParametersSuccessFailure("items", plat::Value(), onSuccess(o), onFailure(o));
  });
  EXPECT_EQ(o.successes, 1);
  copy->invalidateSessionCancelingTasks(true);
  testing_loop::runUntil([&] { return !copy->session()->delegate(); });
}
