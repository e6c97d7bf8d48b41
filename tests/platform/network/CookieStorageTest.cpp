// The cookie jar: cookies a server sets come back with later requests of sessions and
// connections that handle cookies, and only with those; the storage lists, adds and deletes.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/NSLog.h"
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

// A site setting cookies without end pushes out only its own oldest ones (its subdomains count
// with it); past the jar's own bound expired cookies go before any live one.
TEST_F(CookieFixture, AFloodingSiteLosesItsOwnCookiesFirst) {
  testing_loop::VirtualClockScope clock;
  auto set = [&](const std::string& name, const std::string& domain,
                 std::optional<double> expires = std::nullopt) {
    jar->setCookie(std::make_shared<NSHTTPCookie>(name, "v", domain, "/", expires));
  };
  auto held = [&](const std::string& name) {
    auto all = jar->cookies();
    return std::any_of(all.begin(), all.end(), [&](auto& c) { return c->name() == name; });
  };
  set("keep", "other.example");
  set("soon", "third.example", Clock::current()->date().timeIntervalSince1970() + 10);
  for (int i = 0; i < 1000; ++i)
    set("f" + std::to_string(i), i % 2 ? ".flood.example" : "a.Flood.example");
  EXPECT_EQ(jar->cookies().size(), 182u);
  EXPECT_TRUE(held("keep") && held("soon") && held("f999"));
  EXPECT_FALSE(held("f819"));  // the flood's oldest went

  testing_loop::advance(20);  // "soon" expires, still held until a bound needs room
  for (int site = 0; site < 16; ++site) {
    for (int i = 0; i < 176; ++i) set(std::to_string(i), "s" + std::to_string(site) + ".example");
  }
  for (int i = 0; i < 3; ++i) set(std::to_string(i), "last.example");
  EXPECT_EQ(jar->cookies().size(), 3000u);
  EXPECT_TRUE(held("keep")) << "the expired cookie made room before the oldest live one";
}

}  // namespace

namespace {

TEST_F(CookieFixture, SetCookieFieldsAreReadStoredAndMatchedAsSpecified) {
  struct Case {
    std::vector<const char*> fields;  // "Set-Cookie" values, in order
    const char* from;                 // the URL that answered them
    const char* to;                   // a later request
    const char* sent;                 // its "Cookie" ("" for none)
  };
  const Case cases[] = {
      // An expiry in the past removes the cookie, also one only the cookie date rules read.
      {{"d=1", "d=2; Expires=Mon, 01 Jan 1900 00:00:00 GMT"}, "http://h.test/", "http://h.test/", ""},
      {{"d=1", "d=2; Expires=Thu, 01 Jan 1965 00:00:00 GMT"}, "http://h.test/", "http://h.test/", ""},
      {{"d=1", "d=2; expires=16:33:12 10-aPr-1980"}, "http://h.test/", "http://h.test/", ""},
      {{"d=1", "d=2; Max-Age=0"}, "http://h.test/", "http://h.test/", ""},
      {{"d=1; Max-Age=-5"}, "http://h.test/", "http://h.test/", ""},
      {{"d=1; Expires=Mon, 01 Jan 1900 00:00:00 GMT; Max-Age=60"}, "http://h.test/", "http://h.test/", "d=1"},
      {{"d=1; Expires=Fri, 01 Jan 2100 00:00:00 GMT"}, "http://h.test/", "http://h.test/", "d=1"},
      {{"d=1; Expires=soon"}, "http://h.test/", "http://h.test/", "d=1"},
      // Secure whatever its value; secure cookies go over https only.
      {{"s=1; Secure=aaaa"}, "https://h.test/", "http://h.test/", ""},
      {{"s=1; Secure =x"}, "https://h.test/", "http://h.test/", ""},
      {{"s=1; Secure= x"}, "https://h.test/", "http://h.test/", ""},
      {{"s=1; sEcUrE"}, "https://h.test/", "https://h.test/", "s=1"},
      // Paths: "/a/b/" is not a prefix of "/a/b"; "/p" and "/p/" are two cookies, the longer
      // path first; no Path (or one not starting with '/') is the answering URL's folder.
      {{"p=1; Path=/a/b/"}, "http://h.test/", "http://h.test/a/b", ""},
      {{"p=1; Path=/a/b/"}, "http://h.test/", "http://h.test/a/b/c", "p=1"},
      {{"p=1; Path=/p", "p=2; Path=/p/"}, "http://h.test/", "http://h.test/p/x", "p=2; p=1"},
      {{"p=1; Path=/p"}, "http://h.test/", "http://h.test/px", ""},
      {{"p=1"}, "http://h.test/dir/page", "http://h.test/dir/x", "p=1"},
      {{"p=1; Path=x"}, "http://h.test/dir/page", "http://h.test/", ""},
      // Domains: subdomains of the attribute's, never hosts that only decode to look like one,
      // never a public suffix or a domain the host is not within.
      {{"g=1; Domain=.good.com"}, "http://www.good.com/", "http://a.good.com/", "g=1"},
      {{"g=1; Domain=good.com"}, "http://good.com/", "http://www.good.com/", "g=1"},
      {{"g=1; Domain=127.0.0.1"}, "http://127.0.0.1/", "http://127.0.0.1/", "g=1"},
      {{"g=1; Domain=.good.com"}, "http://www.good.com/", "http://evil.com%00.good.com/", ""},
      {{"g=1; Domain=.good.com"}, "http://www.good.com/", "http://evil.com%2F.good.com/", ""},
      {{"g=1; Domain=com"}, "http://www.good.com/", "http://www.good.com/", ""},
      {{"g=1; Domain=other.com"}, "http://www.good.com/", "http://other.com/", ""},
      {{"g=1"}, "http://www.good.com/", "http://a.www.good.com/", ""},
      // Not cookies.
      {{"noequals", "=v", " ; a=1"}, "http://h.test/", "http://h.test/", ""},
      {{"a=1"}, "http://evil.com%00.good.com/", "http://evil.com%00.good.com/", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fields[0]) + " -> " + c.to);
    for (const char* field : c.fields) jar->setCookieFromSetCookieHeaderForURL(field, c.from);
    EXPECT_EQ(NSHTTPCookie::requestHeaderValueWithCookies(jar->cookiesForURL(c.to)), c.sent);
    for (auto& cookie : jar->cookies()) jar->deleteCookie(cookie);
  }
}

TEST_F(CookieFixture, TransfersStoreWhatServersSetAndDelete) {
  std::vector<std::string> next;
  server.route("/seq", [&](const testing_net::Request&, testing_net::Response& res) {
    if (!next.empty()) res.setHeader("Set-Cookie", next.front());
    if (!next.empty()) next.erase(next.begin());
  });
  next = {"d=1; Path=/", "d=2; Path=/; Expires=Mon, 01 Jan 1900 00:00:00 GMT",
          "s=1; Secure=aaaa; Path=/", "p=1; Path=/echo/", "p=2; Path=/echo"};
  get("/seq");
  EXPECT_EQ(get("/echo"), "d=1");
  get("/seq");
  EXPECT_EQ(get("/echo"), "none");
  get("/seq");
  auto held = jar->cookies();
  EXPECT_EQ(held.size(), 1u);
  for (auto& cookie : held) {
    EXPECT_TRUE(cookie->name() != "s" || cookie->isSecure());
    jar->deleteCookie(cookie);
  }
  get("/seq");
  EXPECT_EQ(get("/echo"), "none");  // "/echo/" is not a prefix of "/echo"
  get("/seq");
  EXPECT_EQ(jar->cookies().size(), 2u);
  EXPECT_EQ(get("/echo"), "p=2");

  // A host that decodes to a NUL or a '/' is no subdomain.
  jar->setCookie(std::make_shared<NSHTTPCookie>("g", "1", ".good.com"));
  EXPECT_EQ(jar->cookiesForURL("http://a.good.com/").size(), 1u);
  EXPECT_TRUE(jar->cookiesForURL("http://evil.com%00.good.com/").empty());
  EXPECT_TRUE(jar->cookiesForURL("http://evil.com%2F.good.com/").empty());
}

}  // namespace

namespace {

// A cookie the app makes is held, matched and deleted by its domain in the form the
// connection reaches the host (A-labels, lower case, no trailing dot); one whose domain names
// no host is refused, with a line logged.
TEST_F(CookieFixture, AppCookiesMatchEveryFormOfTheirHost) {
  struct Row {
    const char* domain;     // as the app gives it
    const char* sentTo;     // a request that sends it (nullptr: refused, nothing held)
    const char* notSentTo;  // one that does not
    const char* otherForm;  // the domain written otherwise: the same cookie
  };
  const Row rows[] = {
      {"Bücher.Example", "https://xn--bcher-kva.example/", "http://www.bücher.example/",
       "BÜCHER.example."},
      {"xn--bcher-kva.example", "http://bücher.example/", "http://bucher.example/",
       "Bücher.Example"},
      {"WWW.EXAMPLE.ORG.", "http://www.example.org./", "http://example.org/", "www.example.org"},
      {".Bücher.Example", "http://www.BÜCHER.example./", "http://bücher.example.org/",
       ".xn--bcher-kva.example"},
      {"\uFF25\uFF38\uFF21\uFF2D\uFF30\uFF2C\uFF25\uFF0Eorg", "http://example.org/",
       "http://www.example.org/", "Example.Org"},
      {"two words.example", nullptr, nullptr, nullptr},
      {".", nullptr, nullptr, nullptr},
  };
  std::vector<std::string> logged;
  setNSLogCaptureForTesting([&](const std::string& line) { logged.push_back(line); });
  for (const Row& row : rows) {
    SCOPED_TRACE(row.domain);
    logged.clear();
    jar->setCookie(std::make_shared<NSHTTPCookie>("c", "1", row.domain));
    if (!row.sentTo) {
      EXPECT_TRUE(jar->cookies().empty());
      EXPECT_EQ(logged.size(), 1u);
      continue;
    }
    // Set again in another form: the same cookie, replaced.
    jar->setCookie(std::make_shared<NSHTTPCookie>("c", "2", row.otherForm));
    EXPECT_EQ(jar->cookies().size(), 1u);
    EXPECT_EQ(NSHTTPCookie::requestHeaderValueWithCookies(jar->cookiesForURL(row.sentTo)), "c=2");
    EXPECT_TRUE(jar->cookiesForURL(row.notSentTo).empty());
    jar->deleteCookie(std::make_shared<NSHTTPCookie>("c", "", row.domain));
    EXPECT_TRUE(jar->cookies().empty());
    for (auto& cookie : jar->cookies()) jar->deleteCookie(cookie);  // for the next row
  }
  setNSLogCaptureForTesting({});
}

}  // namespace
