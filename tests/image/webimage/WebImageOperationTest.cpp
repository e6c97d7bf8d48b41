// The web image manager and operation against loopback servers: request fields, the sources
// of a result, failures and the blacklist, the raw bytes kept for the disk cache, cancellation
// and the activity count.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <type_traits>
#include <vector>

#include "image/HVImage.h"
#include "image/HVWebImageManager.h"
#include "image/HVWebImageOperation.h"
#include "image/cache/HVImageCache.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSException.h"
#include "platform/network/NSHTTPCookieStorage.h"
#include "platform/network/NSURLCache.h"
#include "platform/network/NSURLError.h"
#include "platform/security/SecTrust.h"
#include "platform/uikit/UIApplication.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"
#include "tests/image/webimage/LargeBlocks.h"

namespace {

using testing_loop::runUntil;

struct Result {
  plat::UIImageRef image;
  plat::NSURLRef url;
  HVWebImageSource source;
  HVWebImagePhase phase;
  plat::NSErrorRef error;
};

// Collects completion calls (any thread) of one operation and fails the test as soon as it
// reports a second finished or cancelled result.
class Recorder {
 public:
  HVWebImageCompletionHandler handler() {
    return [this](const plat::UIImageRef& image, const plat::NSURLRef& url, HVWebImageSource from,
                  HVWebImagePhase phase, const plat::NSErrorRef& error) {
      std::lock_guard<std::mutex> lock(mu_);
      if (phase != HVWebImagePhasePartial && finals_++ > 0) {
        ADD_FAILURE() << "a second finished or cancelled report (phase " << phase << ")";
      }
      results_.push_back({image, url, from, phase, error});
    };
  }
  std::vector<Result> results() const {
    std::lock_guard<std::mutex> lock(mu_);
    return results_;
  }
  size_t finals() const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (auto& r : results_) n += r.phase != HVWebImagePhasePartial;
    return n;
  }
  Result waitFinal() {
    EXPECT_TRUE(runUntil([this] { return finals() > 0; }, 20));
    for (auto& r : results()) {
      if (r.phase != HVWebImagePhasePartial) return r;
    }
    return {};
  }

 private:
  mutable std::mutex mu_;
  std::vector<Result> results_;
  size_t finals_ = 0;
};

plat::Data servedJPEG(int w = 24, int h = 16) {
  return fixtures::jpegData(fixtures::gradient(w, h), false, 90);
}

std::string str(const plat::Data& d) { return d.toString(); }

// Each test uses paths of its own: the blacklist lives for the process.
std::string uniquePath(const std::string& name) {
  static std::atomic<int> counter{0};
  return "/" + name + "-" + std::to_string(counter.fetch_add(1)) + ".jpg";
}

class WebImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cachePath_ = root_.path() + "/webimage-cache";
    cache_ = HVImageCache::initWithPath(cachePath_);
    ASSERT_TRUE(cache_);
    HVWebImageManager::resetNetworkActivityForTesting();
  }
  void TearDown() override {
    // Let every operation's steps drain before the cache and the server go.
    runUntil([] { return HVWebImageManager::currentNetworkActivityCount() == 0; }, 10);
    testing_loop::runUntilIdle();
    HVWebImageManager::resetNetworkActivityForTesting();
    HVWebImageSetAppExtensionForTesting(std::nullopt);
  }

  std::string serveJPEG(const std::string& name, const plat::Data& jpeg) {
    std::string path = uniquePath(name);
    server_.respond(path, 200, str(jpeg), "image/jpeg");
    return path;
  }
  size_t hits(const std::string& path) const {
    size_t n = 0;
    for (auto& r : server_.requests()) n += r.path == path;
    return n;
  }

  testing_device::TempDeviceRoot root_;
  std::string cachePath_;
  std::shared_ptr<HVImageCache> cache_;
  testing_net::LoopbackServer server_;
};

// Neither exists bare: a manager without its "Accept" field, an operation without a request.
static_assert(!std::is_default_constructible_v<HVWebImageManager>);
static_assert(!std::is_default_constructible_v<HVWebImageOperation>);

TEST_F(WebImageTest, ManagerBuildsRequestsFromItsSettings) {
  EXPECT_THROW(HVWebImageManager::init(), plat::NSException);
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  EXPECT_EQ(manager->timeout(), 15);
  auto path = serveJPEG("fields", servedJPEG());
  auto url = plat::NSURL::URLWithString(server_.url(path));
  EXPECT_EQ(manager->requestImageWithURLOptionsProgressTransformCompletion(nullptr, 0, {}, {}, {}),
            nullptr);

  Recorder rec;
  auto op =
      manager->requestImageWithURLOptionsProgressTransformCompletion(url, 0, {}, {}, rec.handler());
  ASSERT_TRUE(op);
  // Without a queue the operation starts before the call returns.
  EXPECT_TRUE(op->isExecuting() || op->isFinished());
  EXPECT_FALSE(op->request()->HTTPShouldHandleCookies());
  EXPECT_EQ(op->request()->cachePolicy(), plat::NSURLRequestReloadIgnoringLocalCacheData);
  EXPECT_EQ(op->request()->timeoutInterval(), 15);
  EXPECT_EQ(op->request()->valueForHTTPHeaderField("Accept").value_or(""), "image/*;q=0.8");
  EXPECT_EQ(op->cacheKey(), url->absoluteString());
  EXPECT_FALSE(op->credential());
  auto r = rec.waitFinal();
  EXPECT_EQ(r.source, HVWebImageSourceNetwork);
  EXPECT_EQ(r.phase, HVWebImagePhaseFinished);
  ASSERT_TRUE(r.image);
  EXPECT_EQ(r.image->CGImage()->width(), 24u);
  EXPECT_EQ(server_.requests().back().header("Accept").value_or(""), "image/*;q=0.8");

  // Filters answering nothing: no header fields, and the URL as key. A credential needs both
  // user name and password.
  manager->setHeadersFilter(
      [](const plat::NSURLRef&, const plat::Dictionary&) { return plat::Dictionary(); });
  manager->setCacheKeyFilter([](const plat::NSURLRef&) { return std::string(); });
  manager->setUsername("user");
  Recorder rec2;
  auto op2 = manager->requestImageWithURLOptionsProgressTransformCompletion(
      url, HVWebImageOptionSendCookies | HVWebImageOptionURLLoadingCache, {}, {}, rec2.handler());
  EXPECT_TRUE(op2->request()->allHTTPHeaderFields().empty());
  EXPECT_EQ(op2->cacheKey(), url->absoluteString());
  EXPECT_TRUE(op2->request()->HTTPShouldHandleCookies());
  EXPECT_EQ(op2->request()->cachePolicy(), plat::NSURLRequestUseProtocolCachePolicy);
  EXPECT_FALSE(op2->credential());
  rec2.waitFinal();
  manager->setPassword("secret");
  Recorder rec3;
  auto op3 = manager->requestImageWithURLOptionsProgressTransformCompletion(url, 0, {}, {},
                                                                            rec3.handler());
  ASSERT_TRUE(op3->credential());
  EXPECT_EQ(op3->credential()->user(), "user");
  EXPECT_EQ(op3->credential()->persistence(), plat::NSURLCredentialPersistenceForSession);
  rec3.waitFinal();
}

TEST_F(WebImageTest, ResultsComeFromMemoryDiskOrNetwork) {
  auto queue = std::make_shared<plat::NSOperationQueue>();
  auto manager = HVWebImageManager::initWithCacheQueue(cache_, queue);
  auto jpeg = servedJPEG();
  auto path = serveJPEG("sources", jpeg);
  auto url = plat::NSURL::URLWithString(server_.url(path));
  auto request = [&](HVWebImageOptionFlags options) {
    Recorder rec;
    manager->requestImageWithURLOptionsProgressTransformCompletion(url, options, {}, {},
                                                                   rec.handler());
    auto r = rec.waitFinal();
    EXPECT_TRUE(runUntil([&] { return queue->operationCount() == 0; }));
    EXPECT_EQ(rec.finals(), 1u);
    return r;
  };

  auto first = request(0);
  EXPECT_EQ(first.source, HVWebImageSourceNetwork);
  ASSERT_TRUE(first.image);
  EXPECT_EQ(hits(path), 1u);
  // The stored bytes are the served JPEG, byte for byte.
  ASSERT_TRUE(runUntil([&] { return !cache_->getImageDataForKey(url->absoluteString()).empty(); }));
  EXPECT_EQ(cache_->getImageDataForKey(url->absoluteString()), jpeg);

  EXPECT_EQ(request(0).source, HVWebImageSourceMemory);
  cache_->memoryCache()->removeAllObjects();
  EXPECT_EQ(request(0).source, HVWebImageSourceDisk);
  EXPECT_EQ(request(0).source, HVWebImageSourceMemory);  // the disk hit went to memory
  EXPECT_EQ(hits(path), 1u);

  EXPECT_EQ(request(HVWebImageOptionURLLoadingCache).source, HVWebImageSourceNetwork);
  EXPECT_EQ(request(HVWebImageOptionReloadImageCache).source, HVWebImageSourceNetwork);
  EXPECT_EQ(hits(path), 3u);

  // Bit 8: memory only, in both directions.
  auto path2 = serveJPEG("memory-only", jpeg);
  auto url2 = plat::NSURL::URLWithString(server_.url(path2));
  url = url2;
  EXPECT_EQ(request(HVWebImageOptionSkipDiskCache).source, HVWebImageSourceNetwork);
  ASSERT_TRUE(runUntil([&] {
    return cache_->containsImageForKeyWithType(url2->absoluteString(), HVCacheTierMemory);
  }));
  testing_loop::runUntilIdle();
  EXPECT_FALSE(cache_->containsImageForKeyWithType(url2->absoluteString(), HVCacheTierDisk));
}

TEST_F(WebImageTest, OnlyTheURLLoadingCacheOptionUsesTheURLCache) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  auto jpeg = servedJPEG();
  std::string path = uniquePath("url-cache");
  server_.route(path, [&](const testing_net::Request&, testing_net::Response& res) {
    res.setHeader("Cache-Control", "max-age=600");
    res.body = str(jpeg);
    res.contentType = "image/jpeg";
  });
  auto url = plat::NSURL::URLWithString(server_.url(path));
  auto load = [&](HVWebImageOptionFlags options) {
    Recorder rec;
    auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(url, options, {}, {},
                                                                             rec.handler());
    EXPECT_TRUE(rec.waitFinal().image);
  };
  load(0);  // reloads and stores nothing
  load(HVWebImageOptionURLLoadingCache);
  EXPECT_EQ(hits(path), 2u);
  load(HVWebImageOptionURLLoadingCache);  // answered by the URL cache
  EXPECT_EQ(hits(path), 2u);
  load(0);
  EXPECT_EQ(hits(path), 3u);
  plat::NSURLCache::sharedURLCache()->removeAllCachedResponses();
}

TEST_F(WebImageTest, FailuresAreReportedOnceWithTheirCodes) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  auto load = [&](const std::string& target, HVWebImageOptionFlags options = 0) {
    Recorder rec;
    // Without a queue the caller keeps the operation alive.
    auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
        plat::NSURL::URLWithString(target), options, {}, {}, rec.handler());
    auto r = rec.waitFinal();
    EXPECT_EQ(rec.finals(), 1u);
    return r;
  };
  auto jpeg = servedJPEG();
  for (int status : {404, 500, 304}) {
    std::string path = uniquePath("status");
    server_.respond(path, status, status == 304 ? "" : "no", "text/plain");
    auto r = load(server_.url(path));
    EXPECT_FALSE(r.image);
    EXPECT_EQ(r.source, HVWebImageSourceNone);
    ASSERT_TRUE(r.error) << status << " phase " << r.phase << " source " << r.source << " image "
                         << (r.image != nullptr);
    EXPECT_EQ(r.error->domain(), plat::NSURLErrorDomain);
    EXPECT_EQ(r.error->code(), status);
  }
  std::string ok399 = uniquePath("status399");
  server_.respond(ok399, 399, str(jpeg), "image/jpeg");
  EXPECT_TRUE(load(server_.url(ok399)).image);

  auto refused = load("http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort()) +
                      "/refused.jpg");
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.source, HVWebImageSourceNone);

  std::string html = uniquePath("html");
  server_.respond(html, 200, "<html><body>not an image</body></html>", "text/html");
  auto bad = load(server_.url(html));
  EXPECT_FALSE(bad.image);
  EXPECT_EQ(bad.source, HVWebImageSourceNetwork);
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.error->domain(), "com.orvane.image");
  EXPECT_EQ(bad.error->code(), -1);
  EXPECT_EQ(bad.error->localizedDescription(), "Web image decode fail.");
}

TEST_F(WebImageTest, ABodyPastTheLimitFailsAndNothingOfItIsKept) {
  auto jpeg = servedJPEG(64, 48);
  const int64_t length = static_cast<int64_t>(jpeg.length());
  struct Restore {
    ~Restore() { HVWebImageOperation::setMaxDownloadLengthForTesting(std::nullopt); }
  } restore;
  auto manager = HVWebImageManager::initWithCacheQueue(cache_, nullptr);
  // Reloading stores even what cannot be decoded; progressive display decodes as data comes.
  for (auto options : {HVWebImageOptionFlags(0), HVWebImageOptionReloadImageCache,
                       HVWebImageOptionProgressiveDisplay | HVWebImageOptionFailedURLBlacklist}) {
    SCOPED_TRACE(options);
    for (int64_t limit : {length, length - 1}) {
      HVWebImageOperation::setMaxDownloadLengthForTesting(limit);
      std::string path = serveJPEG("limit", jpeg);
      auto url = plat::NSURL::URLWithString(server_.url(path));
      Recorder rec;
      auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(url, options, {}, {},
                                                                               rec.handler());
      auto r = rec.waitFinal();
      testing_loop::runUntilIdle();
      if (limit == length) {
        EXPECT_TRUE(r.image);
        EXPECT_TRUE(runUntil([&] { return cache_->containsImageForKey(url->absoluteString()); }));
        continue;
      }
      EXPECT_FALSE(r.image);
      EXPECT_EQ(r.source, HVWebImageSourceNone);
      ASSERT_TRUE(r.error);
      EXPECT_EQ(r.error->domain(), plat::NSURLErrorDomain);
      EXPECT_EQ(r.error->code(), plat::NSURLErrorDataLengthExceedsMaximum);
      EXPECT_FALSE(cache_->containsImageForKey(url->absoluteString()));
      EXPECT_EQ(HVWebImageOperation::HVWebImageURLIsBlacklisted(url),
                (options & HVWebImageOptionFailedURLBlacklist) != 0);
    }
  }
}

TEST_F(WebImageTest, BlacklistedURLsFailWithoutARequest) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  std::string missing = uniquePath("blacklisted");
  server_.respond(missing, 404, "gone");
  auto url = plat::NSURL::URLWithString(server_.url(missing));
  auto load = [&] {
    Recorder rec;
    auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
        url, HVWebImageOptionFailedURLBlacklist, {}, {}, rec.handler());
    return rec.waitFinal();
  };
  auto first = load();
  ASSERT_TRUE(first.error);
  EXPECT_EQ(first.error->code(), 404);
  EXPECT_FALSE(HVWebImageOperation::HVWebImageURLIsBlacklisted(nullptr));
  EXPECT_TRUE(HVWebImageOperation::HVWebImageURLIsBlacklisted(url));
  auto second = load();
  ASSERT_TRUE(second.error);
  EXPECT_EQ(second.error->code(), -1100);
  EXPECT_EQ(second.error->localizedDescription(), "Failed to load URL, blacklisted.");
  EXPECT_EQ(hits(missing), 1u);

  // A decode failure is listed too.
  std::string html = uniquePath("blacklisted-html");
  server_.respond(html, 200, "<html></html>", "text/html");
  auto htmlURL = plat::NSURL::URLWithString(server_.url(html));
  Recorder rec;
  auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
      htmlURL, HVWebImageOptionFailedURLBlacklist, {}, {}, rec.handler());
  auto decodeFailure = rec.waitFinal();
  ASSERT_TRUE(decodeFailure.error);
  EXPECT_EQ(decodeFailure.error->code(), -1);
  EXPECT_TRUE(HVWebImageOperation::HVWebImageURLIsBlacklisted(htmlURL));
}

TEST_F(WebImageTest, StillGIFsAreReencodedAndAnimatedOnesKept) {
  auto queue = std::make_shared<plat::NSOperationQueue>();
  auto manager = HVWebImageManager::initWithCacheQueue(cache_, queue);
  auto still = fixtures::gifData(8, 8, {fixtures::gifSolid(0, 0, 8, 8, 1)});
  auto animated = fixtures::gifData(
      8, 8, {fixtures::gifSolid(0, 0, 8, 8, 1), fixtures::gifSolid(0, 0, 8, 8, 2)});
  std::string stillPath = uniquePath("still-gif"), animPath = uniquePath("anim-gif");
  server_.respond(stillPath, 200, str(still), "image/gif");
  server_.respond(animPath, 200, str(animated), "image/gif");
  std::string jpegPath = serveJPEG("identity", servedJPEG());

  auto load = [&](const std::string& path, HVWebImageTransformHandler transform = {}) {
    Recorder rec;
    auto url = plat::NSURL::URLWithString(server_.url(path));
    manager->requestImageWithURLOptionsProgressTransformCompletion(url, 0, {}, transform,
                                                                   rec.handler());
    EXPECT_TRUE(rec.waitFinal().image);
    EXPECT_TRUE(
        runUntil([&] { return !cache_->getImageDataForKey(url->absoluteString()).empty(); }));
    return cache_->getImageDataForKey(url->absoluteString());
  };
  auto stored = load(stillPath);
  EXPECT_NE(stored, still);
  EXPECT_NE(HVSniffImageType(stored), HVImageKindGIF);
  EXPECT_EQ(load(animPath), animated);
  // A transform that hands its input back keeps the served bytes; one that makes a new image
  // has that image stored.
  EXPECT_EQ(load(jpegPath, [](const plat::UIImageRef& i, const plat::NSURLRef&) { return i; }),
            servedJPEG());
  std::string flipped = serveJPEG("transformed", servedJPEG());
  auto stored2 = load(flipped, [](const plat::UIImageRef& i, const plat::NSURLRef&) {
    return plat::UIImage::imageWithCGImage(i->CGImage(), 1);
  });
  EXPECT_FALSE(stored2.empty());
  EXPECT_NE(stored2, servedJPEG());
}

TEST_F(WebImageTest, CancelBeforeStartReportsOnceWhenStarted) {
  Recorder rec;
  auto request = plat::NSURLRequest::requestWithURL(server_.url(uniquePath("never")));
  EXPECT_FALSE(HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
      nullptr, 0, nullptr, "", {}, {}, rec.handler()));
  auto op = HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
      request, 0, nullptr, "", {}, {}, rec.handler());
  EXPECT_EQ(op->cacheKey(), request->URL());
  op->cancel();
  EXPECT_TRUE(op->isCancelled());
  EXPECT_FALSE(op->isFinished());
  op->start();
  EXPECT_TRUE(op->isFinished());
  auto r = rec.waitFinal();
  EXPECT_EQ(r.phase, HVWebImagePhaseCancelled);
  EXPECT_FALSE(r.image);
  EXPECT_FALSE(r.error);
  op->start();
  op->cancel();
  testing_loop::runUntilIdle();
  EXPECT_EQ(rec.finals(), 1u);
  EXPECT_EQ(server_.requestCount(), 0u);
}

// Records "key=value" for each state notice an operation sends, the value read in the notice.
class StateNotices {
 public:
  explicit StateNotices(const HVWebImageOperationRef& op) : op_(op) {
    for (const char* key : {plat::kNSOperationIsExecutingKey, plat::kNSOperationIsFinishedKey,
                            plat::kNSOperationIsCancelledKey}) {
      tokens_.push_back(op->addObserverForKeyPath(key, [this](const std::string& k) {
        bool v = k == plat::kNSOperationIsExecutingKey  ? op_->isExecuting()
                 : k == plat::kNSOperationIsFinishedKey ? op_->isFinished()
                                                        : op_->isCancelled();
        std::lock_guard<std::mutex> lock(mu_);
        seen_.push_back(k + "=" + (v ? "YES" : "NO"));
      }));
    }
  }
  ~StateNotices() {
    for (auto& t : tokens_) op_->removeObserverForKeyPath(t);
  }
  std::vector<std::string> seen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  HVWebImageOperationRef op_;
  std::vector<plat::NSKeyValueObservable::ObserverToken> tokens_;
  mutable std::mutex mu_;
  std::vector<std::string> seen_;
};

TEST_F(WebImageTest, StateNoticesComeFromTheOperationOncePerChange) {
  for (const char* key : {"isExecuting", "isFinished", "isCancelled"})
    EXPECT_FALSE(HVWebImageOperation::automaticallyNotifiesObserversForKey(key)) << key;
  EXPECT_TRUE(HVWebImageOperation::automaticallyNotifiesObserversForKey("isReady"));
  EXPECT_TRUE(HVWebImageOperation::automaticallyNotifiesObserversForKey("executing"));

  auto make = [&](const std::string& path, Recorder& rec) {
    return HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
        plat::NSURLRequest::requestWithURL(server_.url(path)), 0, nullptr, "", {}, {},
        rec.handler());
  };
  // A download: running, then done.
  Recorder rec;
  auto op = make(serveJPEG("notices", servedJPEG()), rec);
  StateNotices notices(op);
  op->start();
  op->start();
  EXPECT_TRUE(rec.waitFinal().image);
  ASSERT_TRUE(runUntil([&] { return notices.seen().size() == 3; }));
  op->cancel();  // finished: still marked cancelled, announced once
  op->cancel();
  testing_loop::runUntilIdle();
  EXPECT_EQ(notices.seen(), (std::vector<std::string>{"isExecuting=YES", "isExecuting=NO",
                                                      "isFinished=YES", "isCancelled=YES"}));

  // Cancelled before it starts: one notice for the cancel, one for the end at start.
  Recorder early;
  auto unstarted = make(uniquePath("unstarted"), early);
  StateNotices earlyNotices(unstarted);
  unstarted->cancel();
  unstarted->cancel();
  unstarted->start();
  unstarted->start();
  EXPECT_EQ(early.waitFinal().phase, HVWebImagePhaseCancelled);
  testing_loop::runUntilIdle();
  EXPECT_EQ(earlyNotices.seen(), (std::vector<std::string>{"isCancelled=YES", "isFinished=YES"}));
}

TEST_F(WebImageTest, CancelMidDownloadAndReleaseWhileRunningReportCancelled) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  std::string path = uniquePath("hanging");
  std::atomic<int> started{0};
  std::vector<testing_net::GateRef> gates;
  std::mutex gatesMu;
  server_.route(path, [&](const testing_net::Request&, testing_net::Response& res) {
    auto gate = std::make_shared<testing_net::Gate>(
        std::vector<std::string>{std::string(64, '\xFF'), std::string(64, '\xD9')});
    gate->release();
    {
      std::lock_guard<std::mutex> lock(gatesMu);
      gates.push_back(gate);
    }
    ++started;
    res.contentType = "image/jpeg";
    res.gate = gate;
  });
  auto url = plat::NSURL::URLWithString(server_.url(path));

  Recorder rec;
  std::atomic<int64_t> received{0};
  auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
      url, HVWebImageOptionActivityIndicator, [&](int64_t n, int64_t) { received = n; }, {},
      rec.handler());
  ASSERT_TRUE(runUntil([&] { return received.load() == 64; }));
  ASSERT_TRUE(runUntil([] { return HVWebImageManager::currentNetworkActivityCount() == 1; }));
  op->cancel();
  auto r = rec.waitFinal();
  EXPECT_EQ(r.phase, HVWebImagePhaseCancelled);
  EXPECT_TRUE(op->isFinished());
  EXPECT_TRUE(runUntil([] { return HVWebImageManager::currentNetworkActivityCount() == 0; }));
  // The server sees the connection go.
  EXPECT_TRUE(runUntil([&] {
    std::lock_guard<std::mutex> lock(gatesMu);
    return gates[0]->disconnected();
  }));

  // Dropped by its last owner while downloading: the cancel is still reported.
  Recorder rec2;
  auto op2 = manager->requestImageWithURLOptionsProgressTransformCompletion(
      url, HVWebImageOptionActivityIndicator, {}, {}, rec2.handler());
  ASSERT_TRUE(runUntil([&] { return started.load() == 2; }));
  std::weak_ptr<HVWebImageOperation> weak = op2;
  op2.reset();
  auto r2 = rec2.waitFinal();
  EXPECT_EQ(r2.phase, HVWebImagePhaseCancelled);
  EXPECT_TRUE(runUntil([&] { return weak.expired(); }));
  EXPECT_TRUE(runUntil([] { return HVWebImageManager::currentNetworkActivityCount() == 0; }));
  EXPECT_EQ(rec2.finals(), 1u);
}

TEST_F(WebImageTest, CancelRacingTheLastChunkTakesTheDownloadOffTheCount) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  std::string path = uniquePath("racing-end");
  std::atomic<bool> started{false};
  server_.route(path, [&](const testing_net::Request&, testing_net::Response& res) {
    started = true;
    res.chunks = {std::string(32, 'x')};
    res.hangAfterChunks = true;
  });
  Recorder rec;
  auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
      plat::NSURL::URLWithString(server_.url(path)), HVWebImageOptionActivityIndicator, {}, {},
      rec.handler());
  ASSERT_TRUE(runUntil([&] { return started.load(); }));
  ASSERT_TRUE(runUntil([] { return HVWebImageManager::currentNetworkActivityCount() == 1; }));
  // The cancel lands just before the connection's last call on the network thread.
  plat::performSelectorOnThread(
      HVWebImageOperation::_networkThread(),
      [op] {
        op->cancel();
        op->connectionDidFinishLoading(nullptr);
      },
      true);
  EXPECT_EQ(rec.waitFinal().phase, HVWebImagePhaseCancelled);
  EXPECT_TRUE(runUntil([] { return HVWebImageManager::currentNetworkActivityCount() == 0; }));
  EXPECT_EQ(rec.finals(), 1u);
}

TEST_F(WebImageTest, ADeclaredLengthOnlySizesTheBufferUpToABound) {
  Recorder rec;
  std::vector<std::pair<int64_t, int64_t>> progress;
  auto url = server_.url(uniquePath("forged-length"));
  auto op = HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
      plat::NSURLRequest::requestWithURL(url), 0, nullptr, "",
      [&](int64_t received, int64_t expected) { progress.emplace_back(received, expected); }, {},
      rec.handler());
  plat::HTTPHeaderFields headers;
  headers.set("Content-Type", "image/jpeg");
  headers.set("Content-Length", std::to_string(int64_t(1) << 46));  // 64 TiB
  op->connectionDidReceiveResponse(nullptr, plat::NSHTTPURLResponse::make(url, 200, headers));
  op->connectionDidReceiveData(nullptr, servedJPEG());
  ASSERT_EQ(progress.size(), 2u);
  EXPECT_EQ(progress[0], std::make_pair(int64_t(0), int64_t(1) << 46));
  EXPECT_EQ(progress[1].first, int64_t(servedJPEG().length()));
}

TEST_F(WebImageTest, RandomCancelsEndWithOneReportEachAndNoCount) {
  auto queue = std::make_shared<plat::NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(8);
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, queue);
  auto jpeg = servedJPEG(8, 8);
  std::string path = serveJPEG("racing", jpeg);
  std::mt19937 rng(28);
  constexpr int kCount = 200;
  std::vector<std::unique_ptr<Recorder>> recs;
  std::vector<HVWebImageOperationRef> ops;
  for (int i = 0; i < kCount; ++i) {
    recs.push_back(std::make_unique<Recorder>());
    auto url = plat::NSURL::URLWithString(server_.url(path + "?n=" + std::to_string(i)));
    ops.push_back(manager->requestImageWithURLOptionsProgressTransformCompletion(
        url, HVWebImageOptionActivityIndicator, {}, {}, recs.back()->handler()));
    if (rng() % 2) ops[rng() % ops.size()]->cancel();
  }
  for (auto& op : ops) {
    if (rng() % 3 == 0) op->cancel();
  }
  ASSERT_TRUE(runUntil([&] { return queue->operationCount() == 0; }, 60));
  ASSERT_TRUE(runUntil(
      [&] {
        for (auto& r : recs)
          if (r->finals() == 0) return false;
        return true;
      },
      30));
  testing_loop::runUntilIdle();
  for (auto& r : recs) EXPECT_EQ(r->finals(), 1u);
  EXPECT_TRUE(runUntil([] { return HVWebImageManager::currentNetworkActivityCount() == 0; }));
}

TEST_F(WebImageTest, ActivityChangesCoalesceAndExtensionsCountNothing) {
  testing_loop::VirtualClockScope clock;
  auto& app = plat::UIApplication::sharedApplication();
  EXPECT_EQ(HVWebImageManager::currentNetworkActivityCount(), 0);
  uint64_t changes = app.networkActivityIndicatorChangeCount();
  HVWebImageManager::incrementNetworkActivityCount();
  HVWebImageManager::decrementNetworkActivityCount();
  testing_loop::advance(1.0 / 30 + 0.001);
  EXPECT_FALSE(app.isNetworkActivityIndicatorVisible());
  EXPECT_EQ(app.networkActivityIndicatorChangeCount(), changes);

  HVWebImageManager::incrementNetworkActivityCount();
  EXPECT_EQ(HVWebImageManager::currentNetworkActivityCount(), 1);
  EXPECT_FALSE(app.isNetworkActivityIndicatorVisible());
  testing_loop::advance(1.0 / 30 + 0.001);
  EXPECT_TRUE(app.isNetworkActivityIndicatorVisible());
  HVWebImageManager::decrementNetworkActivityCount();
  testing_loop::advance(0.02);
  EXPECT_TRUE(app.isNetworkActivityIndicatorVisible());
  testing_loop::advance(0.02);
  EXPECT_FALSE(app.isNetworkActivityIndicatorVisible());
  EXPECT_EQ(app.networkActivityIndicatorChangeCount(), changes + 2);

  // Inside an app extension (a main bundle whose path ends with ".appex") nothing counts.
  EXPECT_EQ(HVWebImageSharedApplication(), &app);
  std::string previousBundle = plat::NSBundle::mainBundle()->bundlePath();
  std::string extension = root_.path() + "/Widget.appex";
  std::filesystem::create_directories(extension);
  plat::NSBundle::setMainBundlePath(extension);
  HVWebImageSetAppExtensionForTesting(std::nullopt);  // decide again, from the bundle
  EXPECT_EQ(HVWebImageSharedApplication(), nullptr);
  plat::NSBundle::setMainBundlePath(previousBundle);
  EXPECT_EQ(HVWebImageSharedApplication(), nullptr);  // decided once
  HVWebImageManager::incrementNetworkActivityCount();
  testing_loop::runUntilIdle();
  EXPECT_EQ(HVWebImageManager::currentNetworkActivityCount(), 0);
}

TEST_F(WebImageTest, ServerTrustIsEvaluatedUnlessAllCertificatesAreTrusted) {
  const auto& pki = testing_net::TestPKI::shared();
  testing_net::LoopbackServer trusted(testing_net::TLSIdentity::withIntermediate(pki.leaf));
  testing_net::LoopbackServer untrusted(testing_net::TLSIdentity::alone(pki.otherRootLeaf));
  auto jpeg = servedJPEG();
  std::string path = uniquePath("tls");
  trusted.respond(path, 200, str(jpeg), "image/jpeg");
  untrusted.respond(path, 200, str(jpeg), "image/jpeg");
  plat::SecTrustSetSystemAnchorCertificates({plat::SecCertificateCreateWithData(pki.root.der)});
  struct ResetAnchors {
    ~ResetAnchors() { plat::SecTrustResetSystemAnchorCertificates(); }
  } resetAnchors;
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  auto load = [&](const std::string& url, HVWebImageOptionFlags options) {
    Recorder rec;
    auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
        plat::NSURL::URLWithString(url), options, {}, {}, rec.handler());
    return rec.waitFinal();
  };
  EXPECT_TRUE(load(trusted.url(path), 0).image);
  auto refused = load(untrusted.url(path), 0);
  EXPECT_FALSE(refused.image);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code(), plat::NSURLErrorServerCertificateUntrusted);
  EXPECT_TRUE(load(untrusted.url(path), HVWebImageOptionTrustAllCertificates).image);
}

TEST_F(WebImageTest, CredentialsAnswerBasicAndDigestChallengesOnce) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  auto jpeg = servedJPEG();
  auto load = [&](const std::string& path) {
    Recorder rec;
    auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
        plat::NSURL::URLWithString(server_.url(path)), 0, {}, {}, rec.handler());
    return rec.waitFinal();
  };
  std::string basic = uniquePath("basic");
  server_.route(basic, [&](const testing_net::Request& req, testing_net::Response& res) {
    if (req.header("Authorization").value_or("") ==
        testing_net::basicAuthorization("user", "secret")) {
      res.body = str(jpeg);
      res.contentType = "image/jpeg";
    } else {
      res.status = 401;
      res.setHeader("WWW-Authenticate", "Basic realm=\"images\"");
      res.body = "no";
    }
  });
  testing_net::DigestAuth digestAuth;
  digestAuth.user = "user";
  digestAuth.password = "secret";
  std::string digest = uniquePath("digest");
  server_.route(digest, [&](const testing_net::Request& req, testing_net::Response& res) {
    if (!digestAuth.check(req, res)) return;
    res.body = str(jpeg);
    res.contentType = "image/jpeg";
  });

  for (const auto& path : {basic, digest}) {
    manager->setUsername("");
    manager->setPassword("");
    auto denied = load(path);
    ASSERT_TRUE(denied.error);
    EXPECT_EQ(denied.error->code(), 401);
    // A refused credential is not offered again: the failure response ends the load.
    manager->setUsername("user");
    manager->setPassword("wrong");
    auto refused = load(path);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code(), 401);
    manager->setPassword("secret");
    EXPECT_TRUE(load(path).image) << path;
  }
}

// A large download is held once on its way to the image: the decoder and the image source
// beneath it read the buffer it arrived in, and the bytes move on into the cache, whose disk
// store writes them from that buffer. The picture itself is small, so its bitmap is far below
// the body's size: one block of that size at most is alive at any time.
TEST_F(WebImageTest, ALargeDownloadIsHeldOnceOnItsWayToTheImage) {
  if (!LargeBlocks::available()) GTEST_SKIP() << "needs the sanitizer's allocation hooks";
  std::string body = str(servedJPEG(64, 48));
  body.resize(size_t(8) << 20, '\0');  // bytes after the end of the picture are ignored
  std::string file = root_.path() + "/large.jpg";
  {
    FILE* f = fopen(file.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(body.data(), 1, body.size(), f);
    fclose(f);
  }
  auto manager = HVWebImageManager::initWithCacheQueue(cache_, nullptr);
  for (auto options : {HVWebImageOptionFlags(0), HVWebImageOptionFirstFrameOnly}) {
    SCOPED_TRACE(options);
    cache_->removeImageForKey(plat::NSURL::fileURLWithPath(file)->absoluteString());
    Recorder rec;
    LargeBlocks::start(body.size());
    auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
        plat::NSURL::fileURLWithPath(file), options, {}, {}, rec.handler());
    EXPECT_TRUE(rec.waitFinal().image);
    EXPECT_TRUE(
        runUntil([&] { return cache_->diskCache()->containsObjectForKey(op->cacheKey()); }));
    testing_loop::runUntilIdle();
    EXPECT_LE(LargeBlocks::stop(), 1u);
  }
}

TEST_F(WebImageTest, CookiesGoOnlyWithTheirOption) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  auto jpeg = servedJPEG();
  std::string folder = uniquePath("cookies");
  std::string setter = folder + "/set", reader = folder + "/read";
  std::string cookieName = "webimage" + std::to_string(server_.port());
  server_.route(setter, [&](const testing_net::Request&, testing_net::Response& res) {
    res.setHeader("Set-Cookie", cookieName + "=1; Path=" + folder);
    res.body = str(jpeg);
    res.contentType = "image/jpeg";
  });
  server_.respond(reader, 200, str(jpeg), "image/jpeg");
  auto load = [&](const std::string& path, HVWebImageOptionFlags options) {
    Recorder rec;
    auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
        plat::NSURL::URLWithString(server_.url(path)), options, {}, {}, rec.handler());
    EXPECT_TRUE(rec.waitFinal().image);
    return server_.requests().back().header("Cookie").value_or("");
  };
  auto jar = plat::NSHTTPCookieStorage::sharedHTTPCookieStorage();
  load(setter, 0);
  EXPECT_TRUE(jar->cookiesForURL(server_.url(reader)).empty());
  load(setter, HVWebImageOptionSendCookies);
  EXPECT_EQ(jar->cookiesForURL(server_.url(reader)).size(), 1u);
  EXPECT_EQ(load(reader, 0), "");
  EXPECT_EQ(load(reader, HVWebImageOptionSendCookies), cookieName + "=1");
  for (auto& cookie : jar->cookiesForURL(server_.url(reader))) jar->deleteCookie(cookie);
}

TEST_F(WebImageTest, FileURLsLoadWithoutTheActivityCount) {
  auto jpeg = servedJPEG();
  std::string file = root_.path() + "/picture.jpg";
  {
    FILE* f = fopen(file.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(jpeg.bytes(), 1, jpeg.length(), f);
    fclose(f);
  }
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  Recorder rec;
  std::vector<int64_t> expected;
  std::mutex mu;
  auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
      plat::NSURL::fileURLWithPath(file), HVWebImageOptionActivityIndicator,
      [&](int64_t, int64_t e) {
        std::lock_guard<std::mutex> lock(mu);
        expected.push_back(e);
      },
      {}, rec.handler());
  auto r = rec.waitFinal();
  ASSERT_TRUE(r.image);
  EXPECT_EQ(r.source, HVWebImageSourceNetwork);
  EXPECT_EQ(HVWebImageManager::currentNetworkActivityCount(), 0);
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(expected.front(), int64_t(jpeg.length()));
}

TEST_F(WebImageTest, TimeOutsAndLoopsFailAndOnlyTimeOutsStayOffTheBlacklist) {
  testing_loop::VirtualClockScope clock;
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  manager->setTimeout(2);
  std::string slow = uniquePath("slow");
  std::atomic<bool> asked{false};
  server_.route(slow, [&](const testing_net::Request&, testing_net::Response& res) {
    asked = true;
    res.hang = true;
  });
  auto url = plat::NSURL::URLWithString(server_.url(slow));
  Recorder rec;
  auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
      url, HVWebImageOptionFailedURLBlacklist, {}, {}, rec.handler());
  ASSERT_TRUE(runUntil([&] { return asked.load(); }));
  testing_loop::advance(2.5);
  auto r = rec.waitFinal();
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code(), plat::NSURLErrorTimedOut);
  EXPECT_FALSE(HVWebImageOperation::HVWebImageURLIsBlacklisted(url));

  std::string loop = uniquePath("loop");
  server_.route(loop, [&](const testing_net::Request&, testing_net::Response& res) {
    res.status = 302;
    res.setHeader("Location", loop);
  });
  Recorder rec2;
  auto op2 = manager->requestImageWithURLOptionsProgressTransformCompletion(
      plat::NSURL::URLWithString(server_.url(loop)), 0, {}, {}, rec2.handler());
  auto looped = rec2.waitFinal();
  EXPECT_FALSE(looped.image);
  EXPECT_TRUE(looped.error);
}

TEST_F(WebImageTest, ExpiredBackgroundTimeCancelsTheLoad) {
  auto manager = HVWebImageManager::initWithCacheQueue(nullptr, nullptr);
  std::string path = uniquePath("background");
  std::atomic<bool> asked{false};
  server_.route(path, [&](const testing_net::Request&, testing_net::Response& res) {
    asked = true;
    res.hang = true;
  });
  auto& app = plat::UIApplication::sharedApplication();
  size_t before = app.backgroundTaskCountForTesting();
  Recorder rec;
  auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
      plat::NSURL::URLWithString(server_.url(path)), HVWebImageOptionBackgroundTask, {}, {},
      rec.handler());
  EXPECT_EQ(app.backgroundTaskCountForTesting(), before + 1);
  ASSERT_TRUE(runUntil([&] { return asked.load(); }));
  app.expireAllBackgroundTasksForTesting();
  EXPECT_EQ(rec.waitFinal().phase, HVWebImagePhaseCancelled);
  EXPECT_TRUE(op->isFinished());
  EXPECT_TRUE(runUntil([&] { return app.backgroundTaskCountForTesting() == before; }));
}

TEST_F(WebImageTest, SkippingTheDiskCacheDownloadsWhatOnlyTheDiskHolds) {
  auto queue = std::make_shared<plat::NSOperationQueue>();
  auto manager = HVWebImageManager::initWithCacheQueue(cache_, queue);
  auto jpeg = servedJPEG();
  auto path = serveJPEG("disk-only", jpeg);
  auto url = plat::NSURL::URLWithString(server_.url(path));
  auto image = HVImage::initWithDataScale(jpeg, 1);
  ASSERT_TRUE(image);
  cache_->setImageImageDataForKeyWithType(image, jpeg, url->absoluteString(), HVCacheTierDisk);
  ASSERT_TRUE(cache_->containsImageForKeyWithType(url->absoluteString(), HVCacheTierDisk));
  auto load = [&](HVWebImageOptionFlags options) {
    Recorder rec;
    manager->requestImageWithURLOptionsProgressTransformCompletion(url, options, {}, {},
                                                                   rec.handler());
    auto r = rec.waitFinal();
    EXPECT_TRUE(runUntil([&] { return queue->operationCount() == 0; }));
    return r.source;
  };
  EXPECT_EQ(load(HVWebImageOptionSkipDiskCache), HVWebImageSourceNetwork);
  EXPECT_EQ(hits(path), 1u);
  testing_loop::runUntilIdle();
}

TEST_F(WebImageTest, AProxyWhoseOperationIsGoneDoesNothing) {
  EXPECT_THROW(HVWebImageOperation::init(), plat::NSException);
  Recorder rec;
  auto url = server_.url(uniquePath("proxy"));
  auto op = HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
      plat::NSURLRequest::requestWithURL(url), HVWebImageOptionURLLoadingCache, nullptr, "", {}, {},
      rec.handler());
  auto proxy = _HVWebImageWeakProxy::proxyWithTarget(op);
  EXPECT_EQ(proxy->target(), op);
  EXPECT_EQ(proxy->connectionShouldUseCredentialStorage(nullptr), std::optional<bool>(true));
  plat::HTTPHeaderFields headers;
  headers.set("Content-Length", "4");
  auto response = plat::NSHTTPURLResponse::make(url, 200, headers);
  auto cached = std::make_shared<plat::NSCachedURLResponse>(response, plat::Data("abcd", 4));
  EXPECT_EQ(proxy->connectionWillCacheResponse(nullptr, cached).value_or(nullptr), cached);
  // Questions about the object are answered for the operation.
  EXPECT_TRUE(proxy->isProxy());
  EXPECT_EQ(proxy->className(), "HVWebImageOperation");
  EXPECT_EQ(proxy->description(), op->description());
  EXPECT_EQ(proxy->debugDescription(), op->description());
  EXPECT_TRUE(proxy->isEqual(*op));
  EXPECT_EQ(proxy->hash(), reinterpret_cast<size_t>(op.get()));
  EXPECT_TRUE(proxy->isKindOfClass<plat::NSOperation>());
  EXPECT_TRUE(proxy->isMemberOfClass<HVWebImageOperation>());
  EXPECT_FALSE(proxy->isMemberOfClass<plat::NSOperation>());
  EXPECT_FALSE(proxy->conformsToProtocol<plat::NSURLConnectionDelegate>());

  auto other = HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
      plat::NSURLRequest::requestWithURL(url), 0, nullptr, "", {}, {}, {});
  op.reset();
  EXPECT_FALSE(proxy->target());
  EXPECT_EQ(proxy->className(), "");
  EXPECT_EQ(proxy->description(), "");
  EXPECT_FALSE(proxy->isEqual(*other));
  EXPECT_EQ(proxy->hash(), 0u);
  EXPECT_FALSE(proxy->isKindOfClass<plat::NSOperation>());
  EXPECT_FALSE(proxy->isMemberOfClass<HVWebImageOperation>());
  // Questions are left to the connection or answered "no"; calls change nothing.
  EXPECT_EQ(proxy->connectionShouldUseCredentialStorage(nullptr), std::nullopt);
  EXPECT_FALSE(proxy->connectionWillSendRequestForAuthenticationChallenge(nullptr, nullptr));
  EXPECT_EQ(proxy->connectionWillCacheResponse(nullptr, cached).value_or(cached), nullptr);
  proxy->connectionDidReceiveResponse(nullptr, response);
  proxy->connectionDidReceiveData(nullptr, plat::Data("abcd", 4));
  proxy->connectionDidFinishLoading(nullptr);
  proxy->connectionDidFailWithError(nullptr, plat::NSError::make(plat::NSURLErrorDomain, -1));
  testing_loop::runUntilIdle();
  EXPECT_TRUE(rec.results().empty());
}

}  // namespace
