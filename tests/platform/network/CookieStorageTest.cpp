// The cookie jar: cookies a server sets come back with later requests of sessions and
// connections that handle cookies, and only with those; the storage lists, adds and deletes.

#include <gtest/gtest.h>

#include "platform/network/NSHTTPCookieStorage.h"
#include "platform/network/NSURLConnection.h"
#include "platform/network/NSURLSession.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/platform/network/RecordingDelegate.h"

using namespace plat;
using testing_loop::runUntil;
using testing_net::LoopbackServer;

namespace {

struct CookieFixture : ::testing::Test {
  LoopbackServer server;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  NSURLSessionRef session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      nullptr, delegate, NSOperationQueue::mainQueue());
  NSHTTPCookieStorageRef jar = NSHTTPCookieStorage::sharedHTTPCookieStorage();

  CookieFixture() {
    server.route("/set", [](const testing_net::Request&, testing_net::Response& res) {
      res.setHeader("Set-Cookie", "flavour=oat; Path=/");
      res.body = "set";
    });
    server.route("/echo", [](const testing_net::Request& req, testing_net::Response& res) {
      res.body = req.header("Cookie").value_or("none");
    });
  }
  ~CookieFixture() override {
    session->invalidateAndCancel();
    runUntil([&] { return delegate->invalidated; }, 10);
    for (auto& c : jar->cookies()) jar->deleteCookie(c);  // the jar is the process's
  }

  std::string get(const std::string& path, bool handleCookies = true) {
    size_t before = delegate->completed;
    auto r = NSMutableURLRequest::requestWithURL(server.url(path));
    r->setHTTPShouldHandleCookies(handleCookies);
    auto task = session->dataTaskWithRequest(r);
    task->resume();
    EXPECT_TRUE(runUntil([&] { return delegate->completed > before; }, 20));
    return delegate->bodies[task->taskIdentifier()];
  }
};

TEST_F(CookieFixture, ResponsesFillTheJarAndRequestsThatHandleCookiesSendIt) {
  // A request that does not handle cookies neither stores nor sends them.
  get("/set", false);
  EXPECT_TRUE(jar->cookies().empty());
  get("/set");
  auto held = jar->cookiesForURL(server.url("/echo"));
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]->name(), "flavour");
  EXPECT_EQ(held[0]->value(), "oat");
  EXPECT_TRUE(held[0]->isSessionOnly());
  EXPECT_EQ(get("/echo"), "flavour=oat");
  EXPECT_EQ(get("/echo", false), "none");

  // Connections share the jar.
  struct Body : NSURLConnectionDelegate {
    std::string body;
    bool done = false;
    void connectionDidReceiveData(const NSURLConnectionRef&, const Data& d) override {
      body += d.toString();
    }
    void connectionDidFinishLoading(const NSURLConnectionRef&) override { done = true; }
  };
  auto d = std::make_shared<Body>();
  NSURLConnection::connectionWithRequestDelegate(NSURLRequest::requestWithURL(server.url("/echo")),
                                                 d);
  ASSERT_TRUE(runUntil([&] { return d->done; }, 20));
  EXPECT_EQ(d->body, "flavour=oat");
}

TEST_F(CookieFixture, TheStorageAddsMatchesAndDeletes) {
  jar->setCookie(std::make_shared<NSHTTPCookie>("a", "1", "127.0.0.1", "/echo"));
  jar->setCookie(std::make_shared<NSHTTPCookie>("b", "2", "127.0.0.1", "/other"));
  jar->setCookie(std::make_shared<NSHTTPCookie>("s", "3", "www.example.org", "/", std::nullopt,
                                                 true));
  jar->setCookie(std::make_shared<NSHTTPCookie>("old", "4", "127.0.0.1", "/", 1000.0));
  jar->setCookie(std::make_shared<NSHTTPCookie>("bad", "x\r\nInjected: 1", "127.0.0.1"));
  EXPECT_EQ(jar->cookies().size(), 3u);  // the expired and the malformed ones are not kept
  auto forEcho = jar->cookiesForURL(server.url("/echo"));
  ASSERT_EQ(forEcho.size(), 1u);  // not the other path, not another host's
  EXPECT_EQ(forEcho[0]->name(), "a");
  EXPECT_TRUE(jar->cookiesForURL("http://www.example.org/").empty());  // secure: https only
  EXPECT_EQ(jar->cookiesForURL("https://www.example.org/x").size(), 1u);
  EXPECT_TRUE(jar->cookiesForURL("https://127.0.0.1.example/echo").empty());
  EXPECT_EQ(get("/echo"), "a=1");

  jar->deleteCookie(std::make_shared<NSHTTPCookie>("a", "", "127.0.0.1", "/echo"));
  EXPECT_EQ(jar->cookies().size(), 2u);
  EXPECT_EQ(get("/echo"), "none");
  auto sub = std::make_shared<NSHTTPCookie>("d", "5", ".example.org");
  jar->setCookie(sub);
  EXPECT_EQ(jar->cookiesForURL("http://www.example.org/").size(), 1u);
  EXPECT_EQ(jar->cookiesForURL("http://example.org/").size(), 1u);
  EXPECT_EQ(jar->cookiesForURL("https://www.example.org/").size(), 2u);
  EXPECT_TRUE(jar->cookiesForURL("http://badexample.org/").empty());
}

}  // namespace
