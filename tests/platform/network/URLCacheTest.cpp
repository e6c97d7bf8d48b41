// The response cache: HTTP's freshness and validator rules, the memory and disk tiers
// (persistence, eviction, damaged files), and sessions answering from it, revalidating with
// 304 answers and asking their delegate before storing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sys/file.h>

#include "platform/foundation/NSPropertyListSerialization.h"

#include "platform/network/NSURLCache.h"
#include "platform/network/NSURLSession.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/platform/network/RecordingDelegate.h"

using namespace plat;
using testing_loop::runUntil;
using Decision = NSURLCacheRules::Decision;

namespace {

std::string freshFolder() {
  static int counter = 0;
  auto dir = std::filesystem::temp_directory_path() /
             ("url-cache-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  std::filesystem::remove_all(dir);
  return dir.string();
}

NSCachedURLResponseRef entry(const std::string& url, std::vector<std::pair<std::string, std::string>> fields,
                             const std::string& body, double storedAt,
                             NSURLCacheStoragePolicy policy = NSURLCacheStorageAllowed) {
  HTTPHeaderFields headers;
  for (auto& [k, v] : fields) headers.set(k, v);
  return std::make_shared<NSCachedURLResponse>(NSHTTPURLResponse::make(url, 200, headers),
                                               Data::fromString(body), policy, storedAt);
}

NSURLRequestRef get(const std::string& url, std::vector<std::pair<std::string, std::string>> fields = {}) {
  auto r = NSMutableURLRequest::requestWithURL(url);
  for (auto& [k, v] : fields) r->setValueForHTTPHeaderField(v, k);
  return r;
}

std::vector<std::string> cacheFiles(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& item : std::filesystem::directory_iterator(folder, ec)) {
    if (item.path().extension() == ".cache") out.push_back(item.path().string());
  }
  return out;
}

}  // namespace

TEST(URLCacheRules, FreshnessValidatorsAndPolicies) {
  const double t0 = 1'000'000;
  auto maxAge = entry("http://h/a", {{"Cache-Control", "public, max-age=60"}}, "x", t0);
  auto request = get("http://h/a");
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, maxAge, t0 + 30), Decision::UseCached);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, maxAge, t0 + 61), Decision::Load);
  // An Age header counts against the lifetime.
  auto aged = entry("http://h/a", {{"Cache-Control", "max-age=60"}, {"Age", "50"}}, "x", t0);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, aged, t0 + 20), Decision::Load);

  // Stale or "no-cache" entries with a validator are revalidated.
  auto tagged = entry("http://h/a", {{"Cache-Control", "max-age=60"}, {"ETag", "\"v1\""}}, "x", t0);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, tagged, t0 + 61), Decision::Revalidate);
  EXPECT_EQ(NSURLCacheRules::decide(get("http://h/a", {{"Cache-Control", "no-cache"}}), 0, tagged, t0 + 1),
            Decision::Revalidate);
  EXPECT_EQ(NSURLCacheRules::decide(get("http://h/a", {{"Pragma", "no-cache"}}), 0, tagged, t0 + 1),
            Decision::Revalidate);
  EXPECT_EQ(NSURLCacheRules::decide(get("http://h/a", {{"Cache-Control", "max-age=0"}}), 0, tagged, t0 + 1),
            Decision::Revalidate);
  EXPECT_EQ(NSURLCacheRules::validatorsFor(tagged).get("If-None-Match"), "\"v1\"");

  // Expires counts from the response's Date; Last-Modified alone gives a tenth of its age.
  auto expires = entry("http://h/a",
                       {{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"}, {"Expires", "Sun, 06 Nov 1994 08:51:17 GMT"}},
                       "x", 784111777);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, expires, 784111777 + 99), Decision::UseCached);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, expires, 784111777 + 101), Decision::Load);
  auto modified = entry("http://h/a",
                        {{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"}, {"Last-Modified", "Sun, 06 Nov 1994 08:32:57 GMT"}},
                        "x", 784111777);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, modified, 784111777 + 99), Decision::UseCached);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, modified, 784111777 + 101), Decision::Revalidate);
  EXPECT_EQ(NSURLCacheRules::validatorsFor(modified).get("If-Modified-Since"), "Sun, 06 Nov 1994 08:32:57 GMT");
  auto badExpires = entry("http://h/a", {{"Expires", "0"}}, "x", t0);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, badExpires, t0), Decision::Load);

  // Request policies.
  EXPECT_EQ(NSURLCacheRules::decide(request, NSURLRequestReturnCacheDataElseLoad, maxAge, t0 + 1e6),
            Decision::UseCached);
  EXPECT_EQ(NSURLCacheRules::decide(request, NSURLRequestReturnCacheDataDontLoad, nullptr, t0),
            Decision::Unavailable);
  EXPECT_EQ(NSURLCacheRules::decide(request, NSURLRequestReloadIgnoringLocalCacheData, maxAge, t0),
            Decision::Load);
  EXPECT_EQ(NSURLCacheRules::decide(request, NSURLRequestReloadRevalidatingCacheData, tagged, t0),
            Decision::Revalidate);
  auto post = NSMutableURLRequest::requestWithURL("http://h/a");
  post->setHTTPMethod("POST");
  EXPECT_EQ(NSURLCacheRules::decide(post, 0, maxAge, t0), Decision::Load);
  EXPECT_EQ(NSURLCacheRules::decide(get("http://h/a", {{"Range", "bytes=0-1"}}), 0, maxAge, t0), Decision::Load);

  // What may be stored.
  auto response = [](int status, std::vector<std::pair<std::string, std::string>> fields) {
    HTTPHeaderFields headers;
    for (auto& [k, v] : fields) headers.set(k, v);
    return NSHTTPURLResponse::make("http://h/a", status, headers);
  };
  EXPECT_TRUE(NSURLCacheRules::isStorable(request, response(200, {{"Cache-Control", "max-age=5"}})));
  EXPECT_TRUE(NSURLCacheRules::isStorable(request, response(404, {{"ETag", "\"e\""}})));
  EXPECT_FALSE(NSURLCacheRules::isStorable(request, response(200, {})));
  EXPECT_FALSE(NSURLCacheRules::isStorable(request, response(500, {{"Cache-Control", "max-age=5"}})));
  EXPECT_FALSE(NSURLCacheRules::isStorable(request, response(200, {{"Cache-Control", "max-age=5, no-store"}})));
  EXPECT_FALSE(NSURLCacheRules::isStorable(request, response(200, {{"Cache-Control", "max-age=5"}, {"Vary", "*"}})));
  EXPECT_FALSE(NSURLCacheRules::isStorable(get("http://h/a", {{"Cache-Control", "no-store"}}),
                                           response(200, {{"Cache-Control", "max-age=5"}})));
  EXPECT_FALSE(NSURLCacheRules::isStorable(post, response(200, {{"Cache-Control", "max-age=5"}})));
  EXPECT_FALSE(NSURLCacheRules::isStorable(
      request, response(200, {{"Cache-Control", "max-age=5"}, {"Vary", "Accept, *"}})));

  // A two-digit year is 1994, not the year 94: a tenth of 22 years is over after three.
  const double date2016 = 1478422177;  // Sun, 06 Nov 2016 08:49:37 GMT
  auto old = entry("http://h/a", {{"Date", "Sun, 06 Nov 2016 08:49:37 GMT"},
                                  {"Last-Modified", "Sun, 06 Nov 94 08:49:37 GMT"}}, "x", date2016);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, old, date2016 + 365 * 86400), Decision::UseCached);
  EXPECT_EQ(NSURLCacheRules::decide(request, 0, old, date2016 + 3 * 365 * 86400),
            Decision::Revalidate);

  // An unsafe request forgets its target and same-origin locations, and only after success.
  NSURLCache cache(1 << 20, 0, "");
  auto hold = [&](const std::string& url) {
    cache.storeCachedResponseForRequest(entry(url, {{"Cache-Control", "max-age=60"}}, "x", 0),
                                        get(url));
  };
  auto held = [&](const std::string& url) { return !!cache.cachedResponseForRequest(get(url)); };
  for (auto url : {"http://h/a", "http://h/b", "http://h/c", "http://other/a"}) hold(url);
  auto put = NSMutableURLRequest::requestWithURL("http://h/a#part");
  put->setHTTPMethod("PUT");
  NSURLCacheRules::invalidateAfterUnsafeRequest(
      cache, put, NSHTTPURLResponse::make("http://h/a", 500, {}));
  EXPECT_TRUE(held("http://h/a"));
  HTTPHeaderFields moved;
  moved.set("Location", "/b");
  moved.set("Content-Location", "http://other/a");
  NSURLCacheRules::invalidateAfterUnsafeRequest(
      cache, put, NSHTTPURLResponse::make("http://h/a", 201, moved));
  EXPECT_FALSE(held("http://h/a"));
  EXPECT_FALSE(held("http://h/b"));
  EXPECT_TRUE(held("http://h/c"));
  EXPECT_TRUE(held("http://other/a"));
}

TEST(URLCache, TiersPersistEvictAndSurviveDamagedFiles) {
  const std::string folder = freshFolder();
  const std::string big(60 * 1024, 'b');
  {
    NSURLCache cache(100 * 1024, 2 * 1024 * 1024, folder);
    cache.storeCachedResponseForRequest(entry("http://h/small", {{"ETag", "\"s\""}}, "small body", 0), get("http://h/small#frag"));
    cache.storeCachedResponseForRequest(entry("http://h/big", {{"ETag", "\"b\""}}, big, 0), get("http://h/big"));
    cache.storeCachedResponseForRequest(entry("http://h/mem", {}, "memory", 0, NSURLCacheStorageAllowedInMemoryOnly),
                                        get("http://h/mem"));
    cache.storeCachedResponseForRequest(entry("http://h/none", {}, "none", 0, NSURLCacheStorageNotAllowed),
                                        get("http://h/none"));
    // Only the small entries are held in memory (a twentieth of its capacity at most).
    EXPECT_GT(cache.currentMemoryUsage(), 0u);
    EXPECT_LT(cache.currentMemoryUsage(), big.size());
    auto small = cache.cachedResponseForRequest(get("http://h/small"));
    ASSERT_TRUE(small);
    EXPECT_EQ(small->data().toString(), "small body");
    EXPECT_GT(small->storageDate(), 0);
    EXPECT_TRUE(cache.cachedResponseForRequest(get("http://h/mem")));
    EXPECT_FALSE(cache.cachedResponseForRequest(get("http://h/none")));
  }
  {
    // A new cache over the same folder finds the disk entries, with their header fields.
    NSURLCache reopened(100 * 1024, 2 * 1024 * 1024, folder);
    auto big2 = reopened.cachedResponseForRequest(get("http://h/big"));
    ASSERT_TRUE(big2);
    EXPECT_EQ(big2->data().length(), big.size());
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(big2->response());
    ASSERT_TRUE(http);
    EXPECT_EQ(http->statusCode(), 200);
    EXPECT_EQ(http->valueForHTTPHeaderField("ETag"), "\"b\"");
    EXPECT_FALSE(reopened.cachedResponseForRequest(get("http://h/mem")));

    // Storing past the disk capacity drops the least recently used entries.
    for (int i = 0; i < 40; ++i) {
      reopened.storeCachedResponseForRequest(entry("http://h/n" + std::to_string(i), {}, big, 0),
                                             get("http://h/n" + std::to_string(i)));
    }
    EXPECT_LE(reopened.currentDiskUsage(), reopened.diskCapacity());
    EXPECT_FALSE(reopened.cachedResponseForRequest(get("http://h/n0")));
    EXPECT_TRUE(reopened.cachedResponseForRequest(get("http://h/n39")));
    reopened.removeAllCachedResponses();
    EXPECT_TRUE(cacheFiles(folder).empty());
    EXPECT_EQ(reopened.currentDiskUsage(), 0u);
  }
  {
    // A damaged file is a miss and goes; a named pipe in an entry's place is never opened
    // for a blocking read.
    NSURLCache writer(0, 1024 * 1024, folder);
    writer.storeCachedResponseForRequest(entry("http://h/d", {}, "d", 0), get("http://h/d"));
    writer.storeCachedResponseForRequest(entry("http://h/p", {}, "p", 0), get("http://h/p"));
    auto files = cacheFiles(folder);
    ASSERT_EQ(files.size(), 2u);
    std::ofstream(files[0], std::ios::trunc) << "not a record";
    std::filesystem::remove(files[1]);
    ASSERT_EQ(::mkfifo(files[1].c_str(), 0600), 0);
    NSURLCache reader(0, 1024 * 1024, folder);
    EXPECT_FALSE(reader.cachedResponseForRequest(get("http://h/d")));
    EXPECT_FALSE(reader.cachedResponseForRequest(get("http://h/p")));
    EXPECT_FALSE(std::filesystem::exists(files[0]));
  }
  std::filesystem::remove_all(folder);
}

TEST(URLCache, VariantsAndStrayTemporariesOnDisk) {
  const std::string folder = freshFolder();
  std::filesystem::create_directories(folder);
  // What a save killed before its rename leaves, and a save still being written by another
  // process (it holds the lock on its temporary).
  const std::string stray = folder + "/.0123456789abcdef.cache.Ab3xYz";
  const std::string live = folder + "/.fedcba9876543210.cache.Qr7sTu";
  std::ofstream(stray) << std::string(5000, 's');
  std::ofstream(live) << "w";
  int liveFd = ::open(live.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(liveFd, LOCK_EX), 0);
  const std::string url = "http://h/v";
  {
    NSURLCache cache(0, 1 << 20, folder);
    EXPECT_EQ(cache.currentDiskUsage(), 0u);
    EXPECT_FALSE(std::filesystem::exists(stray));
    EXPECT_TRUE(std::filesystem::exists(live));
    cache.storeCachedResponseForRequest(
        entry(url, {{"Cache-Control", "max-age=60"}, {"Vary", "Accept-Language, X-Absent"}}, "en", 0),
        get(url, {{"Accept-Language", "en"}}));
  }
  ::close(liveFd);
  // The variant survives on disk; an entry written before variants were kept never matches.
  NSURLCache reader(0, 1 << 20, folder);
  EXPECT_TRUE(reader.cachedResponseForRequest(get(url, {{"Accept-Language", " en"}})));
  EXPECT_FALSE(reader.cachedResponseForRequest(get(url, {{"Accept-Language", "fr"}})));
  EXPECT_FALSE(reader.cachedResponseForRequest(get(url)));
  EXPECT_FALSE(reader.cachedResponseForRequest(
      get(url, {{"Accept-Language", "en"}, {"X-Absent", "1"}})));
  auto files = cacheFiles(folder);
  ASSERT_EQ(files.size(), 1u);
  std::ifstream in(files[0], std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Value record = NSPropertyListSerialization::propertyListWithData(Data::fromString(bytes));
  ASSERT_TRUE(record.dictionary());
  Dictionary older = *record.dictionary();
  older.remove("vary");
  Data olderBytes = NSPropertyListSerialization::dataWithPropertyList(
      Value(older), NSPropertyListSerialization::NSPropertyListBinaryFormat_v1_0);
  std::ofstream(files[0], std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(olderBytes.bytes()),
             static_cast<std::streamsize>(olderBytes.length()));
  NSURLCache older2(0, 1 << 20, folder);
  EXPECT_FALSE(older2.cachedResponseForRequest(get(url, {{"Accept-Language", "en"}})));
  std::filesystem::remove_all(folder);
}

namespace {

// Records the cache proposals and answers them as the test says.
struct CachingDelegate : RecordingDelegate {
  int proposals = 0;
  bool refuse = false;
  bool URLSessionDataTaskWillCacheResponseCompletionHandler(
      const NSURLSessionRef&, const NSURLSessionDataTaskRef&, const NSCachedURLResponseRef& proposed,
      std::function<void(NSCachedURLResponseRef)> completion) override {
    ++proposals;
    events.push_back("willCache " + proposed->data().toString());
    completion(refuse ? nullptr : proposed);
    return true;
  }
};

struct CacheSession : ::testing::Test {
  testing_loop::VirtualClockScope clock;
  testing_net::LoopbackServer server;
  std::string folder = freshFolder();
  NSURLCacheRef cache = std::make_shared<NSURLCache>(1024 * 1024, 4 * 1024 * 1024, folder);
  std::shared_ptr<CachingDelegate> delegate = std::make_shared<CachingDelegate>();
  NSURLSessionRef session;

  CacheSession() {
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setURLCache(cache);
    session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(configuration, delegate,
                                                                          NSOperationQueue::mainQueue());
  }
  ~CacheSession() override {
    session->invalidateAndCancel();
    runUntil([&] { return delegate->invalidated; }, 10);
    std::filesystem::remove_all(folder);
  }

  // Runs one request; returns the task once completed.
  NSURLSessionTaskRef fetch(const NSURLRequestRef& request) {
    size_t before = delegate->completed;
    auto task = session->dataTaskWithRequest(request);
    task->resume();
    EXPECT_TRUE(runUntil([&] { return delegate->completed > before; }, 20));
    return task;
  }
};

}  // namespace

TEST_F(CacheSession, FreshAnswersComeFromTheCacheAndStaleOnesAreRevalidated) {
  std::atomic<int> served{0};
  std::string seenCondition;
  server.route("/r", [&](const testing_net::Request& req, testing_net::Response& res) {
    ++served;
    res.setHeader("Cache-Control", "max-age=60");
    res.setHeader("ETag", "\"v1\"");
    if (req.header("If-None-Match")) {
      seenCondition = *req.header("If-None-Match");
      res.status = 304;
      res.setHeader("X-Checked", "yes");
      return;
    }
    res.body = "payload";
    res.contentType = "text/plain";
  });

  auto first = fetch(get(server.url("/r")));
  EXPECT_EQ(delegate->bodies[first->taskIdentifier()], "payload");
  EXPECT_EQ(delegate->proposals, 1);

  // Fresh: answered without the network, with the same callbacks.
  delegate->events.clear();
  auto second = fetch(get(server.url("/r")));
  EXPECT_EQ(served.load(), 1);
  EXPECT_EQ(delegate->bodies[second->taskIdentifier()], "payload");
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"response 200", "data",
                                                        "complete " + std::to_string(second->taskIdentifier()) + " ok"}));
  EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(second->response())->statusCode(), 200);

  // Stale: a conditional request; its 304 delivers the stored body under the stored status,
  // with the new header fields.
  testing_loop::advance(61);
  auto third = fetch(get(server.url("/r")));
  EXPECT_EQ(served.load(), 2);
  EXPECT_EQ(seenCondition, "\"v1\"");
  EXPECT_EQ(delegate->bodies[third->taskIdentifier()], "payload");
  auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(third->response());
  ASSERT_TRUE(http);
  EXPECT_EQ(http->statusCode(), 200);
  EXPECT_EQ(http->valueForHTTPHeaderField("X-Checked"), "yes");
  // The 304 refreshed the entry: fresh again.
  fetch(get(server.url("/r")));
  EXPECT_EQ(served.load(), 2);
  EXPECT_EQ(delegate->proposals, 1);

  // A reload ignores the entry.
  auto reload = NSMutableURLRequest::requestWithURL(server.url("/r"));
  reload->setCachePolicy(NSURLRequestReloadIgnoringLocalCacheData);
  fetch(reload);
  EXPECT_EQ(served.load(), 3);
}

TEST_F(CacheSession, TheDelegateDecidesWhatIsStoredAndUncachedLoadsFailWithoutNetwork) {
  std::atomic<int> served{0};
  server.route("/p", [&](const testing_net::Request&, testing_net::Response& res) {
    ++served;
    res.setHeader("Cache-Control", "max-age=600");
    res.body = "private";
  });
  server.route("/plain", [&](const testing_net::Request&, testing_net::Response& res) {
    ++served;
    res.body = "no freshness";
  });
  delegate->refuse = true;
  fetch(get(server.url("/p")));
  fetch(get(server.url("/p")));
  EXPECT_EQ(served.load(), 2);
  EXPECT_FALSE(cache->cachedResponseForRequest(get(server.url("/p"))));

  // Responses without freshness or validators are not even proposed.
  const int before = delegate->proposals;
  fetch(get(server.url("/plain")));
  EXPECT_EQ(delegate->proposals, before);

  auto offline = NSMutableURLRequest::requestWithURL(server.url("/never"));
  offline->setCachePolicy(NSURLRequestReturnCacheDataDontLoad);
  auto task = fetch(offline);
  ASSERT_TRUE(task->error());
  EXPECT_EQ(task->error()->code(), NSURLErrorResourceUnavailable);
  EXPECT_EQ(served.load(), 3);

  // Default configurations share the process-wide cache; ephemeral ones keep their own.
  EXPECT_EQ(NSURLSessionConfiguration::defaultSessionConfiguration()->URLCache(), NSURLCache::sharedURLCache());
  auto ephemeral = NSURLSessionConfiguration::ephemeralSessionConfiguration()->URLCache();
  ASSERT_TRUE(ephemeral);
  EXPECT_NE(ephemeral, NSURLCache::sharedURLCache());
  EXPECT_EQ(ephemeral->diskCapacity(), 0u);
}

TEST_F(CacheSession, VariantsAndUnsafeRequestsDecideWhatTheCacheAnswers) {
  std::string vary;  // of the GET answers
  int status = 200;  // of the unsafe answers
  std::string location;
  std::atomic<int> gets{0};
  auto handler = [&](const testing_net::Request& req, testing_net::Response& res) {
    if (req.method == "GET") {
      ++gets;
      res.setHeader("Cache-Control", "max-age=600");
      if (!vary.empty()) res.setHeader("Vary", vary);
      res.body = req.header("Accept-Language").value_or("") + req.header("Authorization").value_or("");
      return;
    }
    res.status = status;
    if (!location.empty()) res.setHeader("Location", location);
    if (status != 204) res.body = "saved";
  };
  server.route("/item", handler);
  server.route("/other", handler);
  using Fields = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    const char* vary;
    Fields first;
    const char* method;  // an unsafe request between the two GETs, or none
    const char* path;
    bool upload;
    int status;
    const char* location;
    Fields second;
    bool cached;  // the second GET is answered from the cache
  };
  const Fields en{{"Accept-Language", "en"}}, fr{{"Accept-Language", "fr"}};
  const Case cases[] = {
      {"same variant", "Accept-Language", en, nullptr, "", false, 0, "", en, true},
      {"other language", "Accept-Language", en, nullptr, "", false, 0, "", fr, false},
      {"other user", "Authorization", {{"Authorization", "Basic YTph"}}, nullptr, "", false, 0, "",
       {{"Authorization", "Basic Yjpi"}}, false},
      {"star in the list", "Accept, *", {}, nullptr, "", false, 0, "", {}, false},
      {"no vary", "", en, nullptr, "", false, 0, "", fr, true},
      {"POST", "", {}, "POST", "/item", false, 200, "", {}, false},
      {"PUT uploaded", "", {}, "PUT", "/item", true, 204, "", {}, false},
      {"DELETE failed", "", {}, "DELETE", "/item", false, 404, "", {}, true},
      {"POST elsewhere", "", {}, "POST", "/other", false, 200, "", {}, true},
      {"POST with Location", "", {}, "POST", "/other", false, 201, "/item", {}, false},
      {"redirected POST", "", {}, "POST", "/item", false, 303, "/other", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cache->removeAllCachedResponses();
    vary = c.vary;
    status = c.status;
    location = c.location;
    fetch(get(server.url("/item"), c.first));
    if (c.method) {
      auto unsafe = NSMutableURLRequest::requestWithURL(server.url(c.path));
      unsafe->setHTTPMethod(c.method);
      if (c.upload) {
        size_t before = delegate->completed;
        session->uploadTaskWithRequestFromData(unsafe, Data::fromString("body"))->resume();
        ASSERT_TRUE(runUntil([&] { return delegate->completed > before; }, 20));
      } else {
        fetch(unsafe);
      }
    }
    const int before = gets.load();
    auto second = fetch(get(server.url("/item"), c.second));
    EXPECT_EQ(gets.load() == before, c.cached);
    std::string expected;
    for (auto& [k, v] : c.cached ? c.first : c.second) expected += v;
    EXPECT_EQ(delegate->bodies[second->taskIdentifier()], expected);
  }

  // The fields a session adds to its requests are theirs.
  cache->removeAllCachedResponses();
  vary = "Accept-Language";
  fetch(get(server.url("/item"), en));
  auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setURLCache(cache);
  configuration->setHTTPAdditionalHeaders(Dictionary{{"Accept-Language", "de"}});
  auto german = std::make_shared<RecordingDelegate>();
  auto other = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      configuration, german, NSOperationQueue::mainQueue());
  auto task = other->dataTaskWithRequest(get(server.url("/item")));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return german->completed > 0; }, 20));
  EXPECT_EQ(german->bodies[task->taskIdentifier()], "de");
  other->invalidateAndCancel();
  runUntil([&] { return german->invalidated; }, 10);
}

TEST_F(CacheSession, ListedAgesQuotedDirectivesAndTheAppsOwnValidators) {
  // A listed Age is stale, a comma or escaped quote in a quoted string ends no directive, and
  // a stale entry is not revalidated with the app's own conditions.
  const double t0 = 1'000'000;
  const std::vector<std::pair<std::string, std::string>> tagged{{"ETag", "\"v1\""}};
  const struct {
    std::string cacheControl, age, condition;
    Decision expected;
  } rows[] = {
      {"max-age=3600", "7200, 0", "", Decision::Revalidate},
      {"ext=\"a, max-age=3600, b\", max-age=0", "", "", Decision::Revalidate},
      {"ext=\"a\\\", max-age=3600, b\", max-age=0", "", "", Decision::Revalidate},
      {"max-age=0", "", "If-None-Match", Decision::Load},
      {"max-age=0", "", "If-Modified-Since", Decision::Load},
  };
  for (const auto& row : rows) {
    auto fields = tagged;
    fields.emplace_back("Cache-Control", row.cacheControl);
    if (!row.age.empty()) fields.emplace_back("Age", row.age);
    auto request =
        row.condition.empty() ? get("http://h/a") : get("http://h/a", {{row.condition, "x"}});
    EXPECT_EQ(NSURLCacheRules::decide(request, 0, entry("http://h/a", fields, "x", t0), t0 + 1),
              row.expected)
        << row.cacheControl << " " << row.age << " " << row.condition;
  }
  // A 304 whose tag is another than the entry's does not update it.
  auto updates = [&](const std::string& tag) {
    HTTPHeaderFields fields;
    if (!tag.empty()) fields.set("ETag", tag);
    return NSURLCacheRules::notModifiedUpdates(get("http://h/a"),
                                               entry("http://h/a", tagged, "x", t0),
                                               NSHTTPURLResponse::make("http://h/a", 304, fields));
  };
  EXPECT_TRUE(updates("W/\"v1\"") && updates(""));
  EXPECT_FALSE(updates("\"v2\""));

  // Through a session: the app's own condition gets the server's 304 and the entry stays as it
  // was, revalidated later with its own tag.
  int version = 1;
  std::vector<std::string> conditions;
  server.route("/v", [&](const testing_net::Request& req, testing_net::Response& res) {
    const std::string tag = "\"v" + std::to_string(version) + "\"";
    conditions.push_back(req.header("If-None-Match").value_or(""));
    res.setHeader("Cache-Control", version == 1 ? "max-age=60" : "max-age=3600");
    res.setHeader("ETag", tag);
    if (req.header("If-None-Match") == tag)
      res.status = 304;
    else
      res.body = version == 1 ? "old" : "new";
  });
  fetch(get(server.url("/v")));
  version = 2;
  testing_loop::advance(61);
  auto own = fetch(get(server.url("/v"), {{"If-None-Match", "\"v2\""}}));
  EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(own->response())->statusCode(), 304);
  EXPECT_EQ(cache->cachedResponseForRequest(get(server.url("/v")))->data().toString(), "old");
  auto plain = fetch(get(server.url("/v")));
  EXPECT_EQ(delegate->bodies[plain->taskIdentifier()], "new");
  EXPECT_EQ(conditions, (std::vector<std::string>{"", "\"v2\"", "\"v1\""}));
}

TEST_F(CacheSession, APlainRequestNeverGetsA304) {
  // The cache revalidates a stale entry. A 304 that is not the entry's (another tag, another
  // instant, a validator the entry lacks) updates nothing, and the request goes again without
  // conditions: the caller gets a 200 and a body. A 304 naming the entry's date in another form
  // is the entry's. A 304 that says no-store answers this request and removes the entry; a
  // request that says it leaves the entry as it was.
  const std::string imf = "Sun, 06 Nov 1994 08:49:37 GMT";
  using Fields = std::vector<std::pair<std::string, std::string>>;
  enum Outcome { kReload, kUpdate, kRemove, kKeep };
  const struct {
    const char* name;
    Fields stored, notModified;
    Outcome outcome;
    Fields request = {};
  } rows[] = {
      {"another tag", {{"ETag", "\"v1\""}}, {{"ETag", "\"v9\""}}, kReload},
      {"RFC 850 date",
       {{"Last-Modified", imf}},
       {{"Last-Modified", "Sunday, 06-Nov-94 08:49:37 GMT"}},
       kUpdate},
      {"asctime date",
       {{"Last-Modified", imf}},
       {{"Last-Modified", "Sun Nov  6 08:49:37 1994"}},
       kUpdate},
      {"another date",
       {{"Last-Modified", imf}},
       {{"Last-Modified", "Sunday, 06-Nov-94 08:49:38 GMT"}},
       kReload},
      {"a date for a tag", {{"ETag", "\"v1\""}}, {{"Last-Modified", imf}}, kReload},
      {"no-store",
       {{"ETag", "\"v1\""}, {"Last-Modified", imf}},
       {{"ETag", "\"v1\""}, {"Cache-Control", "no-store"}},
       kRemove},
      {"no-store with max-age",
       {{"ETag", "\"v1\""}, {"Last-Modified", imf}},
       {{"ETag", "\"v1\""}, {"Cache-Control", "no-store, max-age=3600"}},
       kRemove},
      {"a request saying no-store",
       {{"ETag", "\"v1\""}},
       {{"ETag", "\"v1\""}},
       kKeep,
       {{"Cache-Control", "no-store"}}},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = "/nm" + std::to_string(n++);
    auto asked = std::make_shared<std::vector<bool>>();  // whether each request had a condition
    server.route(path, [&row, asked](const testing_net::Request& req, testing_net::Response& res) {
      const bool conditional = req.header("If-None-Match") || req.header("If-Modified-Since");
      asked->push_back(conditional);
      if (conditional) {
        res.status = 304;
        for (const auto& [k, v] : row.notModified) res.setHeader(k, v);
        res.setHeader("X-From-304", "yes");
      } else if (asked->size() == 1) {
        for (const auto& [k, v] : row.stored) res.setHeader(k, v);
        res.setHeader("Cache-Control", "max-age=0");
        res.body = "old";
      } else {
        res.setHeader("Cache-Control", "max-age=600");
        res.body = "new";
      }
    });
    fetch(get(server.url(path)));
    auto task = fetch(get(server.url(path), row.request));
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response());
    ASSERT_TRUE(http);
    EXPECT_EQ(http->statusCode(), 200);
    EXPECT_EQ(task->error(), nullptr);
    EXPECT_EQ(delegate->bodies[task->taskIdentifier()], row.outcome == kReload ? "new" : "old");
    auto entry = cache->cachedResponseForRequest(get(server.url(path)));
    if (row.outcome == kRemove) {
      EXPECT_EQ(entry, nullptr);
      fetch(get(server.url(path)));
      EXPECT_EQ(*asked, (std::vector<bool>{false, true, false}));
      continue;
    }
    ASSERT_TRUE(entry);
    auto stored = std::dynamic_pointer_cast<NSHTTPURLResponse>(entry->response());
    EXPECT_EQ(entry->data().toString(), row.outcome == kReload ? "new" : "old");
    EXPECT_EQ(stored->valueForHTTPHeaderField("X-From-304").has_value(), row.outcome == kUpdate);
    EXPECT_EQ(*asked, row.outcome == kReload ? (std::vector<bool>{false, true, false})
                                             : (std::vector<bool>{false, true}));
  }
}
