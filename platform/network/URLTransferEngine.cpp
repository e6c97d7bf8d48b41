// The transfer engine of URL sessions: a libcurl multi handle driven by one transfer thread per
// session, with server trust, redirects, the response cache and time-outs.

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/HostName.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"
#include "platform/network/ConnectionReuse.h"
#include "platform/network/HTTPAuthentication.h"
#include "platform/network/HTTPHeaderParser.h"
#include "platform/network/MessageBody.h"
#include "platform/network/NSHTTPCookieStorage.h"
#include "platform/network/NSStream.h"
#include "platform/network/NSURLCache.h"
#include "platform/network/RedirectPolicy.h"
#include "platform/network/URLSessionCore.h"

namespace plat {

using detail::HTTPAuthChallenge;
using detail::TaskKind;
using detail::Transfer;
using detail::URLSessionCore;
using detail::URLTaskCore;

namespace {

// thread may still be using them: a session that goes away on its own transfer thread leaves
// that thread to finish on its own. Like every process-wide service here, OpenSSL stays up
// until the process is gone. This must come before any other use of OpenSSL, hence a static
// initializer.
const bool gOpenSSLKeptAtExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

// Transfer threads of stopped sessions. After a session has reported itself invalid, its transfer
// thread still closes the connections and then runs its thread-exit cleanup (OpenSSL's among
// it), and nothing of the session may be left to join it. Such threads are joined here: those
// that have ended whenever another one is handed over, and all of them at exit, before the
// libraries' exit handlers run (OpenSSL frees its locks at exit after all when a library loaded
// before ours initialised it first, as the test servers' HTTP library does).
class StoppedWorkers {
 public:
  static StoppedWorkers& shared() {
    // Never destroyed: a thread may be handed over while the process exits.
    static StoppedWorkers* workers = [] {
      auto* w = new StoppedWorkers;
      std::atexit([] { shared().joinAll(); });
      return w;
    }();
    return *workers;
  }

  // Keeps `thread`, which sets `ended` as its last step, until it is joined.
  void keep(std::thread thread, std::shared_ptr<std::atomic<bool>> ended) {
    std::vector<std::thread> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (exiting_) {
        thread.detach();
        return;
      }
      for (auto it = kept_.begin(); it != kept_.end();) {
        if (it->ended->load(std::memory_order_acquire)) {
          done.push_back(std::move(it->thread));
          it = kept_.erase(it);
        } else {
          ++it;
        }
      }
      kept_.push_back({std::move(thread), std::move(ended)});
    }
    for (auto& t : done) t.join();
  }

 private:
  struct Kept {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };

  void joinAll() {
    std::vector<Kept> all;
    {
      std::lock_guard<std::mutex> lock(mu_);
      exiting_ = true;
      all.swap(kept_);
    }
    for (auto& k : all) {
      if (k.thread.get_id() == std::this_thread::get_id()) {
        k.thread.detach();  // the process exits from this transfer thread
      } else {
        k.thread.join();
      }
    }
  }

  std::mutex mu_;
  std::vector<Kept> kept_;
  bool exiting_ = false;
};

void globalCurlInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Transfer: the transfer thread's record of one running task.

namespace detail {

struct Transfer {
  std::shared_ptr<URLTaskCore> task;
  std::shared_ptr<URLSessionCore> session;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  NSURLRequestRef request;      // the request being sent
  NSURLRequestRef sentRequest;  // its fields as sent, without the body (requestAsSent)
  std::string url;
  bool handlesCookies = false;  // the jar's cookies go out and "Set-Cookie" fills it
  std::string host;
  int64_t port = 0;
  std::string scheme;

  // Request body.
  enum class BodyKind { None, Bytes, File, Stream } bodyKind = BodyKind::None;
  Data bodyBytes;
  size_t bodyOffset = 0;
  FILE* bodyFile = nullptr;
  NSInputStreamRef bodyStream;
  int64_t streamRead = 0;
  // The length the request declares (-1: chunked). A file or stream body that turns out
  // longer or shorter fails the transfer: the extra bytes would otherwise go out on a
  // kept-alive connection as the start of another request.
  int64_t bodyLength = -1;
  int64_t bodyRead = 0;  // of a file or stream body, since the last rewind

  // Response.
  int64_t status = 0;
  HTTPHeaderParser head;
  bool headersComplete = false;
  size_t headerBytes = 0;  // of every response head of this request (interim ones too)
  bool isRedirect = false;
  // The body's Content-Encoding, undone here so that a coded stream that does not end is
  // known (libcurl takes it as whole); `codedSkip` counts the bytes of a piece handed back
  // paused that were decoded already (libcurl hands the same bytes again).
  std::unique_ptr<ContentDecoder> decoder;
  size_t codedSkip = 0;
  bool undecodable = false;  // a Content-Encoding that cannot be undone
  // The connection the request was about to go out on held bytes of no request: it is sent
  // again on a fresh connection (`freshConnection`).
  bool staleConnection = false;
  bool freshConnection = false;
  // A resumed download's 206 that does not continue its file: the file starts again.
  bool restartFromZero = false;
  // A body read to the close; over TLS, whether the peer's closure alert came.
  bool readToClose = false;
  std::shared_ptr<std::atomic<bool>> closureAlert;
  HeldBody heldBody;  // the body of a redirect or of an authentication challenge
  // A 401 with a challenge the engine can answer (the response waits like a redirect's).
  bool isAuthChallenge = false;
  NSHTTPURLResponseRef authResponse;
  std::optional<HTTPAuthChallenge> authChallenge;
  NSHTTPURLResponseRef redirectResponse;
  int redirectCount = 0;

  // The response decision. Guarded by task->mu: the delegate's answer may arrive on any
  // thread, and an "allow" is applied right there (no round trip through this thread).
  bool awaitingDisposition = false;
  bool doneWhileAwaiting = false;
  bool pausedByCallback = false;
  Data deferredBody;  // bytes held back until the response is allowed

  bool userPaused = false;
  NSErrorRef failure;  // an error decided by a callback (trust, stream, file)

  // Download.
  FILE* file = nullptr;
  std::string filePath;
  int64_t fileOffset = 0;
  bool resumeChecked = false;
  std::optional<AppendedRange> appended;  // the part a resumed download's 206 appends

  // Response cache (data tasks of sessions with a cache).
  NSURLCacheRef cache;                  // where a storable response goes
  NSCachedURLResponseRef revalidating;  // the entry a conditional request asks about
  bool reloadWithoutConditions = false;  // a 304 that is not the entry's: ask again plainly
  bool answeredFromCache = false;       // the response is a cached one
  bool collecting = false;              // the body is kept for the cache
  uint64_t collectLimit = 0;
  Data cacheBody;

  // Time-outs (plat::Clock nanoseconds).
  int64_t idleTimeoutNs = 0;
  int64_t lastActivityNs = 0;
  int64_t resourceDeadlineNs = 0;

  ~Transfer() {
    if (headerList) curl_slist_free_all(headerList);
    if (bodyFile) std::fclose(bodyFile);
    if (file) std::fclose(file);
    if (bodyStream) bodyStream->close();
  }
  void touch() { lastActivityNs = Clock::nowNs(); }
};

URLTaskCore::~URLTaskCore() {
  if (partialIsCopy && !claimedPartial.empty()) unlink(claimedPartial.c_str());
  releaseClaimLocked();
}

void URLTaskCore::releaseClaimLocked() {
  if (claimedPartial.empty()) return;
  releasePartialDownload(claimedPartial);
  claimedPartial.clear();
}

void URLTaskCore::notifyCounter(const char* keyPath, int64_t value) {
  std::vector<std::shared_ptr<NSURLSessionTask::CounterObserver>> fns;
  NSURLSessionTaskRef ownerTask;
  {
    std::lock_guard<std::mutex> lock(mu);
    for (auto& o : observers) {
      if (o.keyPath == keyPath) fns.push_back(o.fn);
    }
    if (fns.empty()) return;
    ownerTask = owner.lock();
  }
  if (!ownerTask) return;
  for (auto& f : fns) (*f)(*ownerTask, keyPath, value);
}

}  // namespace detail

namespace {

// ---- Helpers of the transfer thread ----------------------------------------------------------

struct ParsedURL {
  bool ok = false;
  std::string scheme, host;
  std::string user, password;  // decoded; empty when the URL carries none
  // The normalized URL libcurl is given: without user and password, which are sent only to
  // answer a challenge (libcurl would send them as Basic with the first request).
  std::string wire;
  std::string target;  // path and query as sent
  int64_t port = 0;
  bool unmappableHost = false;  // a host that names no server (see canonicalHostName)
};

ParsedURL parseURLUncached(const std::string& text) {
  ParsedURL r;
  if (text.empty()) return r;
  CURLU* u = curl_url();
  if (curl_url_set(u, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char *scheme = nullptr, *host = nullptr, *port = nullptr, *full = nullptr;
    char *user = nullptr, *password = nullptr, *path = nullptr, *query = nullptr;
    curl_url_get(u, CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(u, CURLUPART_HOST, &host, 0);
    // The host in its one canonical form. libcurl gets the URL with that name, so it connects
    // to, and sends "Host:" for, exactly the name the trust check, cookies and the cache see,
    // and converts nothing itself.
    std::optional<std::string> canonicalHost;
    if (host) {
      std::string_view bare(host);
      if (bare.size() > 2 && bare.front() == '[') bare = bare.substr(1, bare.size() - 2);
      canonicalHost = canonicalHostName(bare);
      if (canonicalHost && canonicalHost->find(':') == std::string::npos &&
          *canonicalHost != bare &&
          curl_url_set(u, CURLUPART_HOST, canonicalHost->c_str(), 0) != CURLUE_OK) {
        canonicalHost.reset();  // never a name libcurl would convert on its own
      }
    }
    curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
    curl_url_get(u, CURLUPART_URL, &full, 0);
    curl_url_get(u, CURLUPART_USER, &user, CURLU_URLDECODE);
    curl_url_get(u, CURLUPART_PASSWORD, &password, CURLU_URLDECODE);
    curl_url_get(u, CURLUPART_PATH, &path, 0);
    curl_url_get(u, CURLUPART_QUERY, &query, 0);
    if (user) r.user = user;
    if (password) r.password = password;
    const bool userinfo = user || password;
    r.target = path ? path : "/";
    if (query) r.target += std::string("?") + query;
    curl_free(user);
    curl_free(password);
    curl_free(path);
    curl_free(query);
    if (scheme && host && full) {
      r.scheme = scheme;
      for (auto& c : r.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      r.unmappableHost = !canonicalHost && (r.scheme == "http" || r.scheme == "https");
      r.host = canonicalHost.value_or("");
      r.port = port ? std::atoll(port) : 0;
      r.wire = full;
      if (userinfo) {
        char* bare = nullptr;
        curl_url_set(u, CURLUPART_USER, nullptr, 0);
        curl_url_set(u, CURLUPART_PASSWORD, nullptr, 0);
        if (curl_url_get(u, CURLUPART_URL, &bare, 0) == CURLUE_OK && bare) r.wire = bare;
        curl_free(bare);
      }
      r.ok = (r.scheme == "http" || r.scheme == "https") && !r.host.empty();
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_free(full);
  }
  curl_url_cleanup(u);
  return r;
}

// Parses `text`, remembering the last answer of this thread: a client mostly asks the same
// URL again and again, and libcurl's parser costs more than the rest of setting up a request.
ParsedURL parseURL(const std::string& text) {
  thread_local std::string lastText;
  thread_local ParsedURL lastParsed;
  if (text.empty() || text != lastText) {
    lastParsed = parseURLUncached(text);
    lastText = text;
  }
  return lastParsed;
}

// `location` resolved against `base`; empty when it cannot be.
std::string resolveURL(const std::string& base, const std::string& location) {
  CURLU* u = curl_url();
  std::string out;
  if (curl_url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK) {
    char* full = nullptr;
    if (curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK && full) out = full;
    curl_free(full);
  }
  curl_url_cleanup(u);
  return out;
}

int64_t errorCodeForCurl(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
      return NSURLErrorUnsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return NSURLErrorTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
      return NSURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
      return NSURLErrorSecureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2_STREAM:  // an HTTP/2 stream reset with an error before it ended
      return NSURLErrorNetworkConnectionLost;
    case CURLE_WRITE_ERROR:
      return NSURLErrorCannotWriteToFile;
    case CURLE_BAD_CONTENT_ENCODING:
      return NSURLErrorCannotDecodeRawData;
    case CURLE_WEIRD_SERVER_REPLY:
    // Schemes are checked before a request reaches libcurl, so this is an answer that is not
    // HTTP at all (libcurl refuses HTTP/0.9), not an unsupported URL.
    case CURLE_UNSUPPORTED_PROTOCOL:
      return NSURLErrorBadServerResponse;
    default:
      return NSURLErrorUnknown;
  }
}

constexpr std::string_view kPartialPrefix = "CFNetworkDownload_";
constexpr std::string_view kPartialSuffix = ".tmp";

std::filesystem::path downloadDirectory() {
  std::error_code ec;
  auto dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  return dir;
}

// openRegularFile as a FILE: null with errno set for anything but a regular file.
FILE* openRegularFileStream(const std::string& path, int flags, const char* mode) {
  int fd = openRegularFile(path, flags);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, mode);
  if (!file) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

std::string makeTempFile(FILE** out) {
  std::string tmpl =
      (downloadDirectory() / (std::string(kPartialPrefix) + "XXXXXX" + std::string(kPartialSuffix)))
          .string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = mkstemps(buf.data(), 4);
  if (fd < 0) return {};
  *out = fdopen(fd, "wb");
  if (!*out) {
    close(fd);
    unlink(buf.data());
    return {};
  }
  return buf.data();
}

// Whether `path` is a partial download this layer made: a regular file (not a link) in the
// download directory, named like makeTempFile's files. Resume data comes from outside the
// session (an app stores it), so nothing else may be appended to or deleted through it.

}  // namespace

// ---------------------------------------------------------------------------------------------
// The transfer engine (runs on the session's transfer thread).

namespace detail {

namespace {

void finishTransfer(const std::shared_ptr<Transfer>& t, NSErrorRef error);
void startTransfer(const std::shared_ptr<URLSessionCore>& s,
                   const std::shared_ptr<URLTaskCore>& task, NSURLRequestRef request,
                   int redirectCount, bool freshConnection = false);

void applyPause(Transfer& t) {
  if (!t.easy) return;
  bool pause = t.userPaused;
  curl_easy_pause(t.easy, pause ? CURLPAUSE_ALL : CURLPAUSE_CONT);
  if (!pause) t.touch();
}

// Whether the body bytes that wait for the delegate, or for the consumer it handed them to,
// reach their bound. REQUIRES: task.mu held.
bool tooManyWaitingLocked(const URLTaskCore& task) {
  return static_cast<int64_t>(task.pendingData.length()) + task.bytesInDelivery +
             task.bytesAwaitingConsumer >=
         static_cast<int64_t>(kMaxPendingDeliveryBytes);
}

// Whether a transfer stopped with too many body bytes waiting may read on; if so, clears the
// stop. REQUIRES: task.mu held.
bool readOnLocked(URLTaskCore& task) {
  if (!task.pausedForDelivery || tooManyWaitingLocked(task)) return false;
  task.pausedForDelivery = false;
  return true;
}

void resumeReading(const std::shared_ptr<URLTaskCore>& task) {
  task->session->enqueue([task] {
    if (auto t = task->transfer) applyPause(*t);
  });
}

// Posts the delivery of the task's pending body bytes. REQUIRES: task->mu held (so that the
// delivery is queued before anything posted after the bytes were appended).
// A streamed body (`streaming`) goes out at once, so that the delegate consumes it while
// the transfer thread reads on, instead of at the end of a turn that may read megabytes.
void scheduleDataDeliveryLocked(const std::shared_ptr<URLSessionCore>& s,
                                const std::shared_ptr<URLTaskCore>& task, bool streaming = false) {
  if (task->dataDeliveryScheduled) return;
  task->dataDeliveryScheduled = true;
  auto deliver = [s, task] {
    Data chunk;
    NSURLSessionTaskRef owner;
    bool readOn;
    int64_t delivered;
    {
      std::lock_guard<std::mutex> lock(task->mu);
      chunk = std::move(task->pendingData);
      // The bytes that follow go into the buffer an earlier delivery handed back, so that a
      // long body is not received into fresh memory (regrowth, page faults) chunk by chunk.
      task->pendingData = std::move(task->spareData);
      task->spareData = Data();
      task->dataDeliveryScheduled = false;
      owner = task->owner.lock();
      delivered = static_cast<int64_t>(chunk.length());
      task->bytesInDelivery += delivered;
      // The transfer reads the next bytes while the delegate takes these.
      readOn = readOnLocked(*task);
    }
    if (readOn) resumeReading(task);
    auto delegate = s->delegateRef();
    auto dataTask = std::dynamic_pointer_cast<NSURLSessionDataTask>(owner);
    if (delegate && dataTask && !chunk.empty()) {
      delegate->URLSessionDataTaskDidReceiveData(s->sessionRef(), dataTask, chunk);
    }
    {
      std::lock_guard<std::mutex> lock(task->mu);
      task->bytesInDelivery -= delivered;
      readOn = readOnLocked(*task);
    }
    if (readOn) resumeReading(task);
    // A Data shortened to nothing keeps its buffer, which its length measured.
    constexpr size_t kMaxKeptBuffer = 32u << 20;
    const size_t size = chunk.length();
    if (size == 0 || size > kMaxKeptBuffer) return;
    chunk.setLength(0);
    std::lock_guard<std::mutex> lock(task->mu);
    if (task->state == NSURLSessionTaskStateCompleted || task->spareData.bytes() != nullptr) {
      return;  // the task already holds a buffer handed back
    }
    task->spareData = std::move(chunk);
  };
  if (streaming) {
    s->postNow(std::move(deliver));
  } else {
    s->post(std::move(deliver));
  }
}

// Coalesced delivery of body bytes to the delegate.
void deliverData(Transfer& t, const char* bytes, size_t length) {
  auto task = t.task;
  int64_t received;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    task->pendingData.append(bytes, length);
    task->received += static_cast<int64_t>(length);
    received = task->received;
    // Bytes in large pieces are a long body being streamed.
    constexpr size_t kStreamingPiece = 16 * 1024;
    scheduleDataDeliveryLocked(t.session, task, length >= kStreamingPiece);
  }
  task->notifyCounter(kCountOfBytesReceived, received);
}

}  // namespace

void countBytesAwaitingConsumer(const std::shared_ptr<URLTaskCore>& task, int64_t n) {
  bool readOn;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    task->bytesAwaitingConsumer += n;
    readOn = readOnLocked(*task);
  }
  if (readOn) resumeReading(task);
}

namespace {

// Adds `n` to the task's counter `count`, tells the observers of `keyPath` and, unless a
// report is already waiting, posts one. The posted report coalesces what arrived meanwhile:
// under the task's lock it takes the counter's growth since the last report (`reported`) and
// `figures(task)` (total, expected), then calls `report(session, owner, delta, total,
// expected)` outside the lock.
template <class Figures, class Report>
void countAndPostReport(Transfer& t, int64_t n, int64_t URLTaskCore::*count,
                        int64_t URLTaskCore::*reported, bool URLTaskCore::*scheduled,
                        const char* keyPath, Figures figures, Report report) {
  auto task = t.task;
  bool schedule = false;
  int64_t value;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    (*task).*count += n;
    value = (*task).*count;
    if (!((*task).*scheduled)) {
      (*task).*scheduled = true;
      schedule = true;
    }
  }
  task->notifyCounter(keyPath, value);
  if (!schedule) return;
  auto s = t.session;
  s->post([s, task, count, reported, scheduled, figures, report] {
    int64_t delta;
    std::pair<int64_t, int64_t> totalAndExpected;
    NSURLSessionTaskRef owner;
    {
      std::lock_guard<std::mutex> lock(task->mu);
      (*task).*scheduled = false;
      delta = (*task).*count - (*task).*reported;
      (*task).*reported = (*task).*count;
      totalAndExpected = figures(*task);
      owner = task->owner.lock();
    }
    report(s, owner, delta, totalAndExpected.first, totalAndExpected.second);
  });
}

void reportSent(Transfer& t, int64_t n) {
  countAndPostReport(
      t, n, &URLTaskCore::sent, &URLTaskCore::sentReported, &URLTaskCore::sendReportScheduled,
      kCountOfBytesSent,
      [](const URLTaskCore& task) { return std::make_pair(task.sent, task.expectedToSend); },
      [](const std::shared_ptr<URLSessionCore>& s, const NSURLSessionTaskRef& owner, int64_t delta,
         int64_t total, int64_t expected) {
        if (s->delegateRef() && owner && delta > 0) {
          s->delegateRef()->URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(
              s->sessionRef(), owner, delta, total, expected);
        }
      });
}

void reportWritten(Transfer& t, int64_t n) {
  int64_t base = t.fileOffset;
  countAndPostReport(
      t, n, &URLTaskCore::received, &URLTaskCore::writtenReported,
      &URLTaskCore::writeReportScheduled, kCountOfBytesReceived,
      [base](const URLTaskCore& task) {
        int64_t expected =
            task.expectedToReceive < 0 ? task.expectedToReceive : task.expectedToReceive + base;
        return std::make_pair(task.received + base, expected);
      },
      [](const std::shared_ptr<URLSessionCore>& s, const NSURLSessionTaskRef& owner, int64_t delta,
         int64_t total, int64_t expected) {
        auto dl = std::dynamic_pointer_cast<NSURLSessionDownloadTask>(owner);
        if (s->delegateRef() && dl && delta > 0) {
          s->delegateRef()
              ->URLSessionDownloadTaskDidWriteDataTotalBytesWrittenTotalBytesExpectedToWrite(
                  s->sessionRef(), dl, delta, total, expected);
        }
      });
}

bool isCancelled(const std::shared_ptr<URLTaskCore>& task) {
  std::lock_guard<std::mutex> lock(task->mu);
  return task->state == NSURLSessionTaskStateCanceling ||
         task->state == NSURLSessionTaskStateCompleted;
}

// Blocks the transfer thread until `answered` holds or the task is cancelled. Returns false
// when cancelled.
bool waitForDecision(const std::shared_ptr<URLTaskCore>& task,
                     const std::function<bool()>& answered) {
  task->session->flushPosts();  // the question is among them
  std::unique_lock<std::mutex> lock(task->mu);
  task->decisionCv.wait(lock, [&] {
    return answered() || task->state == NSURLSessionTaskStateCanceling ||
           task->state == NSURLSessionTaskStateCompleted;
  });
  return answered();
}

// ---- Server trust ----

struct TrustAnswer {
  bool answered = false;
  bool accepted = false;
  int64_t errorCode = 0;
};

bool defaultTrustEvaluation(const SecTrustRef& trust, const std::string& host) {
  SecTrustSetPolicies(trust, {SecPolicyCreateSSL(true, host)});
  return SecTrustEvaluateWithError(trust, nullptr);
}

int verifyCallback(X509_STORE_CTX* ctx, void* arg) {
  auto* t = static_cast<Transfer*>(arg);
  std::vector<SecCertificateRef> chain;
  STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(ctx);
  X509* leaf = X509_STORE_CTX_get0_cert(ctx);
  if (leaf) chain.push_back(SecCertificate::fromX509(leaf));
  for (int i = 0; untrusted && i < sk_X509_num(untrusted); ++i) {
    X509* c = sk_X509_value(untrusted, i);
    if (c == leaf) continue;
    chain.push_back(SecCertificate::fromX509(c));
  }
  SecTrustRef trust;
  if (chain.empty() || SecTrustCreateWithCertificates(chain, {SecPolicyCreateSSL(true, t->host)},
                                                      &trust) != errSecSuccess) {
    t->failure = makeURLError(NSURLErrorServerCertificateUntrusted, t->url);
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  auto task = t->task;
  auto s = t->session;
  auto answer = std::make_shared<TrustAnswer>();
  auto delegate = s->delegateRef();
  std::string host = t->host;
  if (!delegate) {
    answer->answered = true;
    answer->accepted = defaultTrustEvaluation(trust, host);
    answer->errorCode = answer->accepted ? 0 : NSURLErrorServerCertificateUntrusted;
  } else {
    auto space = std::make_shared<NSURLProtectionSpace>(
        host, t->port, NSURLProtectionSpaceHTTPS, "", NSURLAuthenticationMethodServerTrust, trust);
    auto challenge =
        std::make_shared<NSURLAuthenticationChallenge>(space, nullptr, 0, nullptr, nullptr);
    auto once = std::make_shared<std::once_flag>();
    NSURLSessionDelegate::ChallengeCompletion completion =
        [task, answer, once, trust, host](NSURLSessionAuthChallengeDisposition d,
                                          NSURLCredentialRef credential) {
          std::call_once(*once, [&] {
            bool accepted = false;
            int64_t code = 0;
            switch (d) {
              case NSURLSessionAuthChallengeUseCredential:
                if (credential && credential->trust()) {
                  accepted = true;
                } else {
                  accepted = defaultTrustEvaluation(trust, host);
                }
                break;
              case NSURLSessionAuthChallengeCancelAuthenticationChallenge:
                code = NSURLErrorCancelled;
                break;
              case NSURLSessionAuthChallengeRejectProtectionSpace:
                code = NSURLErrorServerCertificateUntrusted;
                break;
              default:
                accepted = defaultTrustEvaluation(trust, host);
                break;
            }
            if (!accepted && code == 0) code = NSURLErrorServerCertificateUntrusted;
            std::lock_guard<std::mutex> lock(task->mu);
            answer->accepted = accepted;
            answer->errorCode = code;
            answer->answered = true;
            task->decisionCv.notify_all();
          });
        };
    s->post([s, task, challenge, completion] {
      auto owner = task->ownerRef();
      auto session = s->sessionRef();
      auto d = s->delegateRef();
      // Server trust is a session-wide challenge: the session-level operation is asked
      // first, and the task-level one only when the delegate does not implement it.
      if (d && d->URLSessionDidReceiveChallengeCompletionHandler(session, challenge, completion)) {
        return;
      }
      if (d && owner &&
          d->URLSessionTaskDidReceiveChallengeCompletionHandler(session, owner, challenge,
                                                                completion)) {
        return;
      }
      completion(NSURLSessionAuthChallengePerformDefaultHandling, nullptr);
    });
    if (!waitForDecision(task, [&] { return answer->answered; })) {
      t->failure = makeURLError(NSURLErrorCancelled, t->url);
      X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
      return 0;
    }
  }
  if (answer->accepted) {
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
  }
  t->failure = makeURLError(answer->errorCode, t->url);
  X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

CURLcode sslContextCallback(CURL*, void* sslctx, void* arg) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslctx), verifyCallback, arg);
  // libcurl takes a connection that ends without the peer's closure alert as the end of a body
  // read to the close: whether the alert came is looked at when the transfer is done.
  watchClosureAlerts(sslctx);
  return CURLE_OK;
}

// ---- Body streams ----

// Asks the delegate for a new body stream, blocking the transfer thread. Null when none.
NSInputStreamRef askNewBodyStream(Transfer& t) {
  auto task = t.task;
  auto s = t.session;
  if (!s->delegateRef()) return nullptr;
  struct Answer {
    bool answered = false;
    NSInputStreamRef stream;
  };
  auto answer = std::make_shared<Answer>();
  auto once = std::make_shared<std::once_flag>();
  std::function<void(NSInputStreamRef)> completion = [task, answer, once](NSInputStreamRef st) {
    std::call_once(*once, [&] {
      std::lock_guard<std::mutex> lock(task->mu);
      answer->stream = std::move(st);
      answer->answered = true;
      task->decisionCv.notify_all();
    });
  };
  s->post([s, task, completion] {
    auto owner = task->ownerRef();
    auto d = s->delegateRef();
    if (d && owner && d->URLSessionTaskNeedNewBodyStream(s->sessionRef(), owner, completion))
      return;
    completion(nullptr);
  });
  if (!waitForDecision(task, [&] { return answer->answered; })) return nullptr;
  return answer->stream;
}

// Reads up to `max` bytes of a file or stream body: the count, 0 at its end, or -1 after a
// read error (recorded as the transfer's failure).
int64_t readBodySource(Transfer& t, char* buffer, size_t max) {
  if (t.bodyKind == Transfer::BodyKind::File) {
    size_t n = std::fread(buffer, 1, max, t.bodyFile);
    if (n == 0 && std::ferror(t.bodyFile)) {
      t.failure = makeURLError(NSURLErrorUnknown, t.url,
                               NSError::make(NSPOSIXErrorDomain, errno ? errno : EIO,
                                             "The body file could not be read"));
      return -1;
    }
    return static_cast<int64_t>(n);
  }
  int64_t r = t.bodyStream->readMaxLength(reinterpret_cast<uint8_t*>(buffer), max);
  if (r < 0) {
    t.failure = makeURLError(NSURLErrorUnknown, t.url, t.bodyStream->streamError());
    return -1;
  }
  t.streamRead += r;
  return r;
}

// The length a file body declares: its size, or -1 (sent chunked, read to its end) for a file
// whose size reads as 0 but that has content (the kernel's generated files) or that cannot be
// read (the first read then fails the transfer).
int64_t fileBodyLength(Transfer& t) {
  struct stat st;
  if (fstat(fileno(t.bodyFile), &st) != 0) return -1;
  if (st.st_size > 0) return st.st_size;
  const int first = std::fgetc(t.bodyFile);
  if (first == EOF) return std::ferror(t.bodyFile) ? -1 : 0;
  std::ungetc(first, t.bodyFile);
  return -1;
}

// Reads the next bytes of a file or stream body, never past its declared length: a body that
// ends early or holds more fails the transfer (curl then closes the connection).
size_t readBoundedBody(Transfer& t, char* buffer, size_t max) {
  size_t want = max;
  if (t.bodyLength >= 0) {
    want = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(max), t.bodyLength - t.bodyRead));
  }
  int64_t r = want ? readBodySource(t, buffer, want) : 0;
  if (r < 0) return CURL_READFUNC_ABORT;
  t.bodyRead += r;
  if (t.bodyLength < 0) return static_cast<size_t>(r);
  if (r == 0 && t.bodyRead < t.bodyLength) {
    t.failure = makeURLError(NSURLErrorRequestBodyStreamExhausted, t.url);
    return CURL_READFUNC_ABORT;
  }
  if (r > 0 && t.bodyRead == t.bodyLength) {
    char extra;
    int64_t more = readBodySource(t, &extra, 1);
    if (more != 0) {
      if (more > 0) t.failure = makeURLError(NSURLErrorDataLengthExceedsMaximum, t.url);
      return CURL_READFUNC_ABORT;
    }
  }
  return static_cast<size_t>(r);
}

size_t readCallback(char* buffer, size_t size, size_t nitems, void* arg) {
  auto* t = static_cast<Transfer*>(arg);
  if (t->userPaused) return CURL_READFUNC_PAUSE;
  size_t max = size * nitems;
  size_t n = 0;
  switch (t->bodyKind) {
    case Transfer::BodyKind::None:
      return 0;
    case Transfer::BodyKind::Bytes:
      n = std::min(max, t->bodyBytes.length() - t->bodyOffset);
      if (n) std::memcpy(buffer, t->bodyBytes.bytes() + t->bodyOffset, n);
      t->bodyOffset += n;
      break;
    case Transfer::BodyKind::File:
    case Transfer::BodyKind::Stream:
      n = readBoundedBody(*t, buffer, max);
      if (n == CURL_READFUNC_ABORT) return n;
      break;
  }
  t->touch();
  if (n) reportSent(*t, static_cast<int64_t>(n));
  return n;
}

int seekCallback(void* arg, curl_off_t offset, int origin) {
  auto* t = static_cast<Transfer*>(arg);
  if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  switch (t->bodyKind) {
    case Transfer::BodyKind::None:
      return CURL_SEEKFUNC_OK;
    case Transfer::BodyKind::Bytes:
      if (static_cast<size_t>(offset) > t->bodyBytes.length()) return CURL_SEEKFUNC_FAIL;
      t->bodyOffset = static_cast<size_t>(offset);
      break;
    case Transfer::BodyKind::File:
      if (fseeko(t->bodyFile, offset, SEEK_SET) != 0) return CURL_SEEKFUNC_FAIL;
      t->bodyRead = offset;
      break;
    case Transfer::BodyKind::Stream: {
      if (offset == 0 && t->streamRead == 0) return CURL_SEEKFUNC_OK;
      if (offset != 0) return CURL_SEEKFUNC_CANTSEEK;
      auto fresh = askNewBodyStream(*t);
      if (!fresh) {
        t->failure = makeURLError(NSURLErrorRequestBodyStreamExhausted, t->url);
        return CURL_SEEKFUNC_FAIL;
      }
      t->bodyStream->close();
      t->bodyStream = fresh;
      t->bodyStream->open();
      t->streamRead = 0;
      t->bodyRead = 0;
      break;
    }
  }
  // Bytes sent before the rewind are sent again; the counters keep counting.
  return CURL_SEEKFUNC_OK;
}

// ---- Responses ----

void beginResponse(const std::shared_ptr<Transfer>& t, const NSHTTPURLResponseRef& response);
void answerNotModified(const std::shared_ptr<Transfer>& t, const NSHTTPURLResponseRef& notModified);

// Keeps accepted body bytes for the response cache, up to the largest entry it takes.
void collectForCache(Transfer& t, const char* bytes, size_t n) {
  if (!t.collecting) return;
  if (t.cacheBody.length() + n > t.collectLimit) {
    t.collecting = false;
    t.cacheBody = Data();
    return;
  }
  t.cacheBody.append(bytes, n);
}

// The bound of a request's response heads (libcurl's own bound of one header line is 100 KiB).
constexpr size_t kMaxResponseHeadBytes = 256 * 1024;

size_t headerCallback(char* buffer, size_t size, size_t nitems, void* arg) {
  auto* t = static_cast<Transfer*>(arg);
  size_t n = size * nitems;
  std::string_view line(buffer, n);
  t->touch();
  // Header lines are kept until the head ends: a server that never ends it is cut off.
  t->headerBytes += n;
  if (t->headerBytes > kMaxResponseHeadBytes) {
    t->failure = makeURLError(NSURLErrorDataLengthExceedsMaximum, t->url);
    return 0;
  }
  switch (t->head.addLine(line)) {
    case HTTPHeaderParser::Event::kLine:
      if (t->head.status() == 101 &&
          framingOf(t->request->HTTPMethod(), 101, HTTPHeaderFields(),
                    t->sentRequest->valueForHTTPHeaderField("Upgrade").has_value())
              .refused) {
        // Switching protocols unasked: what follows is no answer to this request.
        NSLogMessage("NSURLSession: refused the answer of " + t->url + ": 101 to no upgrade");
        t->failure = makeURLError(NSURLErrorBadServerResponse, t->url);
        return 0;
      }
      return n;
    case HTTPHeaderParser::Event::kRefused:
      // Returning 0 ends the transfer and closes its connection: nothing after this head on
      // it can be trusted.
      NSLogMessage("NSURLSession: refused the answer of " + t->url + ": " + t->head.refusal());
      t->failure = makeURLError(NSURLErrorBadServerResponse, t->url);
      return 0;
    case HTTPHeaderParser::Event::kComplete:
      break;
  }
  t->status = t->head.status();
  if (t->scheme == "https") {
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(t->easy, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info &&
        info->backend == CURLSSLBACKEND_OPENSSL && info->internals) {
      t->closureAlert = closureAlertOf(info->internals);
    }
  }
  if (t->handlesCookies) {
    for (const std::string& cookie : t->head.takeSetCookieLines())
      NSHTTPCookieStorage::sharedHTTPCookieStorage()->setCookieFromSetCookieHeaderForURL(cookie,
                                                                                         t->url);
  }
  t->headersComplete = true;
  auto response = std::make_shared<NSHTTPURLResponse>(t->url, t->status, t->head.httpVersion(),
                                                      t->head.takeFields());
  const ResponseFraming framing =
      framingOf(t->request->HTTPMethod(), t->status, response->headerFields(), false);
  if (framing.refused) {
    NSLogMessage("NSURLSession: refused the answer of " + t->url +
                 ": chunked is not the last transfer coding");
    t->failure = makeURLError(NSURLErrorBadServerResponse, t->url);
    return 0;
  }
  if (!framing.reusable) curl_easy_setopt(t->easy, CURLOPT_FORBID_REUSE, 1L);
  t->readToClose = framing.readToClose && isHTTP1(t->head.httpVersion());
  if (auto coding = response->valueForHTTPHeaderField("Content-Encoding")) {
    t->decoder = ContentDecoder::forContentEncoding(*coding, &t->undecodable);
  }
  auto location = response->valueForHTTPHeaderField("Location");
  if (RedirectPolicy::isRedirectStatus(t->status) && location && !location->empty()) {
    t->isRedirect = true;
    t->redirectResponse = response;
    return n;
  }
  t->isRedirect = false;
  t->isAuthChallenge = false;
  if (t->status == 401) {
    auto header = response->valueForHTTPHeaderField("WWW-Authenticate");
    if (header) t->authChallenge = chooseAuthChallenge(parseAuthenticateHeader(*header));
    if (header && t->authChallenge) {
      t->isAuthChallenge = true;
      t->authResponse = response;
      return n;
    }
  }
  if (t->revalidating && t->status == 304) {
    if (NSURLCacheRules::notModifiedUpdates(t->sentRequest, t->revalidating, response)) {
      answerNotModified(t->task->transfer, response);
      return n;
    }
    // The conditions were the cache's, not the caller's: the caller gets no 304.
    t->reloadWithoutConditions = true;
    return 0;
  }
  if (!t->file && !t->filePath.empty() && (t->status == 206 || t->status == 416)) {
    // A resumed download appends only the rest of its file, of the version it holds (an
    // uncoded part under the same validator): anything else would make a file that never
    // was, and the download starts again from zero.
    std::string validator;
    {
      std::lock_guard<std::mutex> lock(t->task->mu);
      validator = t->task->resumeValidator;
    }
    if (t->status == 206 && !t->decoder && !t->undecodable &&
        isSameVersion(validator, response->valueForHTTPHeaderField("ETag"),
                      response->valueForHTTPHeaderField("Last-Modified"))) {
      t->appended = AppendedRange::continuing(response->valueForHTTPHeaderField("Content-Range"),
                                              t->fileOffset);
    }
    if (!t->appended) {
      t->restartFromZero = true;
      return 0;
    }
  }
  // The transfer's shared pointer lives in the session's map; find it through the task.
  beginResponse(t->task->transfer, response);
  return n;
}

constexpr size_t kMaxDeferredBytes = 4 * 1024 * 1024;
// The longest the transfer thread sleeps when nothing it watches is due sooner.
constexpr int kLongestPollMs = 60000;
constexpr int64_t kLongestPollNs = int64_t{kLongestPollMs} * 1000000;
// How long a session's transfer thread outlives its last transfer.
constexpr int64_t kIdleWorkerLingerNs = int64_t{30} * 1000000000;

// Takes `n` body bytes as they are to be delivered: n, CURL_WRITEFUNC_PAUSE when they are
// not taken now, or 0 to end the transfer.
size_t acceptBody(Transfer* t, const char* buffer, size_t n) {
  if (t->answeredFromCache) return n;  // a 304 answer has no body of its own
  {
    std::lock_guard<std::mutex> lock(t->task->mu);
    auto state = t->task->state;
    if (state == NSURLSessionTaskStateCanceling || state == NSURLSessionTaskStateCompleted) {
      return 0;  // cancelled: nothing more is read (the transfer ends as cancelled)
    }
    if (t->awaitingDisposition) {
      // Hold the bytes until the delegate decides; stop reading once too many are held.
      if (t->deferredBody.length() + n > kMaxDeferredBytes) {
        t->pausedByCallback = true;
        return CURL_WRITEFUNC_PAUSE;
      }
      t->deferredBody.append(buffer, n);
      collectForCache(*t, buffer, n);
      return n;
    }
    if (!t->file && tooManyWaitingLocked(*t->task)) {
      // The delegate has not taken what waits for it: these bytes wait in libcurl until a
      // delivery drains the queue and resumes the transfer.
      t->task->pausedForDelivery = true;
      return CURL_WRITEFUNC_PAUSE;
    }
  }
  if (t->file) {
    if (t->appended && !t->appended->take(n)) {
      t->failure = makeURLError(NSURLErrorBadServerResponse, t->url);  // past its range
      return 0;
    }
    if (std::fwrite(buffer, 1, n, t->file) != n) {
      t->failure = makeURLError(NSURLErrorCannotWriteToFile, t->url);
      return 0;
    }
    reportWritten(*t, static_cast<int64_t>(n));
    return n;
  }
  collectForCache(*t, buffer, n);
  deliverData(*t, buffer, n);
  return n;
}

// Decodes coded body bytes into acceptBody. Bytes handed back paused come again: those
// decoded already are skipped, and a decoded piece not taken is offered first.
size_t acceptCodedBody(Transfer* t, const char* buffer, size_t n) {
  if (t->undecodable) {
    t->failure = makeURLError(NSURLErrorCannotDecodeRawData, t->url);
    return 0;
  }
  // libcurl may hand the bytes again in other pieces: what is left to skip after this one
  // stays counted.
  const size_t skip = std::min(t->codedSkip, n);
  const size_t skipLeft = t->codedSkip - skip;
  bool ended = false;
  const ContentDecoder::Sink sink = [t, &ended](const char* bytes, size_t length) {
    const size_t r = acceptBody(t, bytes, length);
    if (r == length) return true;
    ended = r != CURL_WRITEFUNC_PAUSE;
    return false;
  };
  size_t taken = 0;
  switch (t->decoder->write(buffer + skip, n - skip, &taken, sink, kMaxDeferredBytes)) {
    case ContentDecoder::Result::kTaken:
      t->codedSkip = skipLeft;
      return n;
    case ContentDecoder::Result::kStopped:
      if (ended) return 0;
      t->codedSkip = skip + taken + skipLeft;
      return CURL_WRITEFUNC_PAUSE;
    case ContentDecoder::Result::kSpent:
      // The rest decodes in a later turn, after the session's other transfers and commands.
      t->codedSkip = skip + taken + skipLeft;
      resumeReading(t->task);
      return CURL_WRITEFUNC_PAUSE;
    case ContentDecoder::Result::kFailed:
      break;
  }
  t->failure = makeURLError(NSURLErrorCannotDecodeRawData, t->url);
  return 0;
}

size_t writeCallback(char* buffer, size_t size, size_t nitems, void* arg) {
  auto* t = static_cast<Transfer*>(arg);
  size_t n = size * nitems;
  t->touch();
  if (t->userPaused) return CURL_WRITEFUNC_PAUSE;  // a pause made before the transfer began
  if (t->isRedirect || t->isAuthChallenge) {
    // Held as it came until the delegate decides, and decoded only if it is delivered.
    if (isCancelled(t->task)) return 0;
    t->heldBody.append(buffer, n);
    return n;
  }
  if (t->decoder || t->undecodable) return acceptCodedBody(t, buffer, n);
  return acceptBody(t, buffer, n);
}

// Before a request goes out on a connection: one that already carried an answer and holds
// bytes since belongs to no request now (its bytes would be taken as this request's answer).
int prerequestCallback(void* arg, char*, char*, int peerPort, int localPort) {
  auto* t = static_cast<Transfer*>(arg);
  void* ssl = nullptr;
  if (t->scheme == "https") {
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(t->easy, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info &&
        info->backend == CURLSSLBACKEND_OPENSSL) {
      ssl = info->internals;
    }
  }
  if (!idleConnectionHasBytes(localPort, peerPort, ssl)) return CURL_PREREQFUNC_OK;
  NSLogMessage("NSURLSession: bytes of no request on an idle connection to " + t->host +
               "; sending on a fresh one");
  t->staleConnection = true;
  return CURL_PREREQFUNC_ABORT;  // libcurl closes a connection whose transfer was aborted
}

void completeSuccess(const std::shared_ptr<Transfer>& t);
void offerToCache(const std::shared_ptr<URLSessionCore>& s,
                  const std::shared_ptr<URLTaskCore>& task, const std::shared_ptr<Transfer>& t);

// Hands held-back bytes on like bytes received (transfer thread).
void flushDeferred(Transfer& t) {
  Data body;
  {
    std::lock_guard<std::mutex> lock(t.task->mu);
    body = std::move(t.deferredBody);
    t.deferredBody = Data();
  }
  if (body.empty() || t.failure) return;
  if (t.file) {
    if (std::fwrite(body.bytes(), 1, body.length(), t.file) != body.length()) {
      t.failure = makeURLError(NSURLErrorCannotWriteToFile, t.url);
    } else {
      reportWritten(t, static_cast<int64_t>(body.length()));
    }
  } else {
    deliverData(t, reinterpret_cast<const char*>(body.bytes()), body.length());
  }
}

void finishTransfer(const std::shared_ptr<Transfer>& t, NSErrorRef error);

// The delegate allowed the response: hand on the held-back bytes and, when the transfer has
// already ended, complete the task right here (any thread).
void allowResponse(const std::shared_ptr<URLSessionCore>& s,
                   const std::shared_ptr<URLTaskCore>& task, const std::shared_ptr<Transfer>& tr) {
  bool done, paused;
  int64_t received = -1;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    if (!tr->awaitingDisposition || task->state == NSURLSessionTaskStateCanceling ||
        task->state == NSURLSessionTaskStateCompleted) {
      return;
    }
    if (task->state == NSURLSessionTaskStateSuspended) {
      // A suspended task takes nothing further, not even a body that already arrived whole:
      // the answer is carried out when the task is resumed. Weak references, so that a task
      // never resumed is not kept alive by its own held answer.
      std::weak_ptr<URLSessionCore> ws = s;
      std::weak_ptr<URLTaskCore> wt = task;
      std::weak_ptr<Transfer> wtr = tr;
      task->heldAllow = [ws, wt, wtr] {
        auto s2 = ws.lock();
        auto t2 = wt.lock();
        auto tr2 = wtr.lock();
        if (s2 && t2 && tr2) allowResponse(s2, t2, tr2);
      };
      return;
    }
    tr->awaitingDisposition = false;
    done = tr->doneWhileAwaiting;
    paused = tr->pausedByCallback;
    tr->pausedByCallback = false;
    if (!tr->deferredBody.empty() && !(done && tr->failure)) {
      task->received += static_cast<int64_t>(tr->deferredBody.length());
      received = task->received;
      task->pendingData.append(tr->deferredBody);
      scheduleDataDeliveryLocked(s, task);
    }
    tr->deferredBody = Data();
  }
  if (received >= 0) task->notifyCounter(kCountOfBytesReceived, received);
  if (done) {
    if (!tr->failure) offerToCache(s, task, tr);
    s->taskCompleted(task, tr->failure);
    // Only bookkeeping is left (the easy handle is gone): it rides along with the transfer
    // thread's next wake-up instead of causing one.
    s->enqueue(
        [task, tr] {
          if (task->transfer == tr) task->transfer = nullptr;
        },
        /*wake=*/false);
  } else if (paused) {
    s->enqueue([task, tr] {
      if (task->transfer == tr) applyPause(*tr);
    });
  } else if ((tr->idleTimeoutNs > 0 && tr->idleTimeoutNs < kLongestPollNs) ||
             tr->resourceDeadlineNs > 0) {
    // The transfer thread sleeps up to its longest poll while a response awaits the
    // delegate: woken now, it watches a shorter time-out again, for a body that may stall.
    s->enqueue([] {});
  }
}

void completeSuccess(const std::shared_ptr<Transfer>& t);

// The delegate turned the data task into a download task (transfer thread).
void becomeDownload(const std::shared_ptr<URLSessionCore>& s,
                    const std::shared_ptr<URLTaskCore>& task, const std::shared_ptr<Transfer>& tr) {
  if (task->transfer != tr) return;
  bool done;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    if (!tr->awaitingDisposition) return;
    tr->awaitingDisposition = false;
    tr->pausedByCallback = false;
    done = tr->doneWhileAwaiting;
  }
  tr->collecting = false;  // a download's body is not a cached response
  auto dlCore = std::make_shared<URLTaskCore>();
  NSURLSessionDownloadTaskRef dl;
  {
    std::lock_guard<std::mutex> lock(s->mu);
    std::lock_guard<std::mutex> tlock(task->mu);
    dlCore->session = s;
    dlCore->kind = TaskKind::Download;
    dlCore->identifier = s->nextIdentifier++;
    dlCore->description = task->description;
    dlCore->original = task->original;
    dlCore->current = task->current;
    dlCore->response = task->response;
    dlCore->state = NSURLSessionTaskStateRunning;
    dlCore->started = true;
    dlCore->expectedToReceive = task->expectedToReceive;
    dlCore->sent = task->sent;
    dlCore->expectedToSend = task->expectedToSend;
    task->state = NSURLSessionTaskStateCompleted;
    task->reported = true;  // the data task ends here without a completion of its own
    dl = URLSessionCore::newTaskObject<NSURLSessionDownloadTask>(dlCore);
    dlCore->owner = dl;
    auto& list = s->tasks;
    auto old = task->ownerRef();
    list.erase(std::remove(list.begin(), list.end(), old), list.end());
    list.push_back(dl);
  }
  Data held;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    held = std::move(tr->deferredBody);
    tr->deferredBody = Data();
  }
  tr->task = dlCore;
  dlCore->transfer = tr;
  task->transfer = nullptr;
  tr->filePath = makeTempFile(&tr->file);
  if (!tr->file) tr->failure = makeURLError(NSURLErrorCannotCreateFile, tr->url);
  {
    std::lock_guard<std::mutex> lock(dlCore->mu);
    tr->deferredBody = std::move(held);
  }
  auto dataTask = std::dynamic_pointer_cast<NSURLSessionDataTask>(task->ownerRef());
  s->post([s, dataTask, dl] {
    auto d = s->delegateRef();
    if (d && dataTask) d->URLSessionDataTaskDidBecomeDownloadTask(s->sessionRef(), dataTask, dl);
  });
  flushDeferred(*tr);
  if (done) {
    completeSuccess(tr);
  } else {
    applyPause(*tr);
  }
}

// Called when the final response header has arrived (or a refused redirect's response).
void beginResponse(const std::shared_ptr<Transfer>& t, const NSHTTPURLResponseRef& response) {
  auto task = t->task;
  TaskKind kind;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    task->response = response;
    task->expectedToReceive = response->expectedContentLength();
    kind = task->kind;
  }
  task->notifyCounter(kCountOfBytesExpectedToReceive, response->expectedContentLength());
  auto s = t->session;
  if (t->cache) NSURLCacheRules::invalidateAfterUnsafeRequest(*t->cache, t->request, response);
  if (kind == TaskKind::Download) {
    if (!t->file) {
      // A resumed download continues its file only on a partial answer.
      if (!t->filePath.empty() && response->statusCode() == 206) {
        t->file = openRegularFileStream(t->filePath, O_WRONLY | O_APPEND, "ab");
      } else {
        if (!t->filePath.empty()) unlink(t->filePath.c_str());
        t->fileOffset = 0;
        t->filePath = makeTempFile(&t->file);
      }
      if (!t->file) t->failure = makeURLError(NSURLErrorCannotCreateFile, t->url);
      bool resumed;
      {
        std::lock_guard<std::mutex> lock(task->mu);
        resumed = !task->resumePath.empty();
      }
      if (!t->resumeChecked && resumed) {
        t->resumeChecked = true;
        int64_t offset = t->fileOffset;
        int64_t expected = response->expectedContentLength() < 0
                               ? NSURLSessionTransferSizeUnknown
                               : response->expectedContentLength() + offset;
        s->post([s, task, offset, expected] {
          auto dl = std::dynamic_pointer_cast<NSURLSessionDownloadTask>(task->ownerRef());
          if (s->delegateRef() && dl) {
            s->delegateRef()->URLSessionDownloadTaskDidResumeAtOffsetExpectedTotalBytes(
                s->sessionRef(), dl, offset, expected);
          }
        });
      }
    }
    return;
  }
  if (t->cache && !t->answeredFromCache) {
    bool complete;
    {
      std::lock_guard<std::mutex> lock(task->mu);
      complete = t->doneWhileAwaiting;  // a body handed over whole (a refused redirect)
    }
    t->collecting = !complete && NSURLCacheRules::isStorable(t->request, response);
    t->collectLimit = std::max(t->cache->memoryCapacity(), t->cache->diskCapacity()) / 20;
  }
  if (!s->delegateRef()) return;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    t->awaitingDisposition = true;
  }
  auto once = std::make_shared<std::once_flag>();
  std::shared_ptr<Transfer> tr = t;
  std::function<void(NSURLSessionResponseDisposition)> completion =
      [s, task, tr, once](NSURLSessionResponseDisposition d) {
        std::call_once(*once, [&] {
          if (d == NSURLSessionResponseAllow || d == NSURLSessionResponseBecomeDownload) {
            if (d == NSURLSessionResponseAllow) {
              allowResponse(s, task, tr);
            } else {
              s->enqueue([s, task, tr] { becomeDownload(s, task, tr); });
            }
            return;
          }
          // Cancel: from now on the task is cancelling, whatever the transfer does next.
          {
            std::lock_guard<std::mutex> lock(task->mu);
            if (!tr->awaitingDisposition) return;
            tr->awaitingDisposition = false;
            if (task->state == NSURLSessionTaskStateRunning ||
                task->state == NSURLSessionTaskStateSuspended) {
              task->state = NSURLSessionTaskStateCanceling;
            }
            task->decisionCv.notify_all();
          }
          s->cancel(task, false);
        });
      };
  auto dataTask = std::dynamic_pointer_cast<NSURLSessionDataTask>(task->ownerRef());
  s->post([s, dataTask, response, completion] {
    auto d = s->delegateRef();
    if (d && dataTask &&
        d->URLSessionDataTaskDidReceiveResponseCompletionHandler(s->sessionRef(), dataTask,
                                                                 response, completion)) {
      return;
    }
    completion(NSURLSessionResponseAllow);
  });
}

// ---- Response cache ----

// Offers the collected response to the delegate (URLSessionDataTaskWillCacheResponse...) and
// stores what it answers. Posted before the task's completion, so the delegate is asked
// first.
void offerToCache(const std::shared_ptr<URLSessionCore>& s,
                  const std::shared_ptr<URLTaskCore>& task, const std::shared_ptr<Transfer>& t) {
  if (!t->collecting || !t->cache) return;
  t->collecting = false;
  NSURLResponseRef response;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    response = task->response;
  }
  if (!response) return;
  auto proposed = std::make_shared<NSCachedURLResponse>(response, std::move(t->cacheBody));
  t->cacheBody = Data();
  auto cache = t->cache;
  auto request = t->sentRequest;
  auto dataTask = std::dynamic_pointer_cast<NSURLSessionDataTask>(task->ownerRef());
  s->post([s, dataTask, proposed, cache, request] {
    auto once = std::make_shared<std::once_flag>();
    std::function<void(NSCachedURLResponseRef)> completion = [cache, request,
                                                              once](NSCachedURLResponseRef chosen) {
      std::call_once(*once, [&] {
        if (chosen) cache->storeCachedResponseForRequest(chosen, request);
      });
    };
    auto d = s->delegateRef();
    if (d && dataTask &&
        d->URLSessionDataTaskWillCacheResponseCompletionHandler(s->sessionRef(), dataTask, proposed,
                                                                completion)) {
      return;
    }
    completion(proposed);
  });
}

// Answers the task with `response` and the whole of `body` (transfer thread): the body waits
// until the delegate lets the response through, then goes out and the task completes.
void answerWithWholeBody(const std::shared_ptr<Transfer>& t, const NSHTTPURLResponseRef& response,
                         Data body) {
  auto task = t->task;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    t->deferredBody = std::move(body);
    t->doneWhileAwaiting = true;
  }
  beginResponse(t, response);
  bool awaiting;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    awaiting = t->awaitingDisposition;
  }
  if (!awaiting) {
    flushDeferred(*t);
    completeSuccess(t);
  }
}

// Answers the task with a cached response, without the network (transfer thread). False
// when the entry is not an HTTP response (the request is then sent).
bool answerFromCache(const std::shared_ptr<Transfer>& t, const NSCachedURLResponseRef& cached) {
  auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(cached->response());
  if (!http) return false;
  t->answeredFromCache = true;
  t->headersComplete = true;
  answerWithWholeBody(t, http, cached->data());
  return true;
}

// A 304 answered a conditional request: the stored response, brought up to date, is the
// task's response and the stored body its body (transfer thread).
void answerNotModified(const std::shared_ptr<Transfer>& t,
                       const NSHTTPURLResponseRef& notModified) {
  auto merged = NSURLCacheRules::updateAfterNotModified(*t->cache, t->sentRequest, t->revalidating,
                                                        notModified);
  auto task = t->task;
  t->answeredFromCache = true;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    t->deferredBody = t->revalidating->data();
  }
  beginResponse(t, merged);
  bool awaiting;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    awaiting = t->awaitingDisposition;
  }
  if (!awaiting) flushDeferred(*t);
}

// ---- Completion ----

void releaseEasy(Transfer& t) {
  if (!t.easy) return;
  forgetStreamEnd(t.easy);
  curl_multi_remove_handle(t.session->multi, t.easy);
  curl_easy_cleanup(t.easy);
  t.easy = nullptr;
}

// A cancel that asks for resume data, wherever the transfer ends for it, has the partial file
// named in them: the bytes written so far and the validator they are of (none: the file
// cannot be resumed). Before the response came, the resume data the task began with stays.
void recordResumeData(Transfer& t) {
  if (!t.file) return;
  auto task = t.task;
  struct stat st;
  const int64_t length =
      std::fflush(t.file) == 0 && fstat(fileno(t.file), &st) == 0 ? st.st_size : 0;
  std::lock_guard<std::mutex> lock(task->mu);
  if (!task->resumeDataCompletion) return;
  auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response);
  std::string validator;
  if (response && !t.failure && !t.decoder && !t.undecodable) {
    if (t.appended) {
      validator = task->resumeValidator;  // the version the 206 continued
    } else if (response->statusCode() == 200) {
      validator = resumeValidatorOf(response->valueForHTTPHeaderField("ETag"),
                                    response->valueForHTTPHeaderField("Last-Modified"));
    }
  }
  task->resumePath = t.filePath;
  task->resumeOffset = length;
  task->resumeValidator = validator;
}

void finishTransfer(const std::shared_ptr<Transfer>& t, NSErrorRef error) {
  releaseEasy(*t);
  auto task = t->task;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    task->releaseClaimLocked();
  }
  if (task->transfer == t) task->transfer = nullptr;
  if (error) recordResumeData(*t);
  if (t->file) {
    std::fclose(t->file);
    t->file = nullptr;
  }
  if (error && !t->filePath.empty()) {
    bool keep = false;
    {
      // Resume data name it (the task's completion removes a file they cannot resume from).
      std::lock_guard<std::mutex> lock(task->mu);
      keep = task->resumeDataCompletion && task->resumePath == t->filePath;
    }
    if (!keep) unlink(t->filePath.c_str());
  }
  t->session->taskCompleted(task, error);
}

void completeSuccess(const std::shared_ptr<Transfer>& t) {
  auto task = t->task;
  auto s = t->session;
  if (t->failure) {
    finishTransfer(t, t->failure);
    return;
  }
  TaskKind kind;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    kind = task->kind;
  }
  if (kind == TaskKind::Download) {
    if (t->file) {
      std::fclose(t->file);
      t->file = nullptr;
    }
    std::string path = t->filePath;
    t->filePath.clear();
    {
      // The file is the download's now: no resume data names it (a cancel came too late).
      std::lock_guard<std::mutex> lock(task->mu);
      task->resumePath.clear();
    }
    auto dl = std::dynamic_pointer_cast<NSURLSessionDownloadTask>(task->ownerRef());
    s->post([s, dl, path] {
      if (s->delegateRef() && dl) {
        s->delegateRef()->URLSessionDownloadTaskDidFinishDownloadingToURL(s->sessionRef(), dl,
                                                                          path);
      }
      unlink(path.c_str());
    });
  } else {
    offerToCache(s, task, t);
  }
  finishTransfer(t, nullptr);
}

// A response held back whole (a refused redirect, an unanswered authentication challenge)
// becomes the task's response, with its body (transfer thread).
void deliverHeldResponse(const std::shared_ptr<Transfer>& t, const NSHTTPURLResponseRef& response) {
  HeldBody::Decoded held = t->heldBody.take(t->decoder.get(), t->undecodable);
  if (held.error) {
    finishTransfer(t, makeURLError(held.error, t->url));
    return;
  }
  t->isRedirect = false;
  t->isAuthChallenge = false;
  answerWithWholeBody(t, response, std::move(held.body));
}

// Sends the task's request again with `authorization` (transfer thread). A streamed body
// asks the delegate for a new stream first.
void retryWithAuthorization(const std::shared_ptr<Transfer>& t, const std::string& authorization) {
  auto task = t->task;
  auto s = t->session;
  auto next = t->request->mutableCopy();
  next->setValueForHTTPHeaderField(authorization, "Authorization");
  task->transfer = nullptr;
  if (next->HTTPBodyStream() && t->bodyKind == Transfer::BodyKind::Stream) {
    auto fresh = askNewBodyStream(*t);
    if (!fresh) {
      s->taskCompleted(task, makeURLError(isCancelled(task) ? NSURLErrorCancelled
                                                            : NSURLErrorRequestBodyStreamExhausted,
                                          t->url));
      return;
    }
    next->setHTTPBodyStream(fresh);
  }
  startTransfer(s, task, next, t->redirectCount);
}

// A 401 with a Basic or Digest challenge (transfer thread): sent again, asked of the delegate
// (task level), or answered by the engine itself without one (the request URL's user and
// password, once), as the task's TaskAuthentication decides.
void handleAuthChallenge(const std::shared_ptr<Transfer>& t) {
  auto task = t->task;
  auto s = t->session;
  releaseEasy(*t);
  const HTTPAuthChallenge challenge = *t->authChallenge;
  const bool digest = isDigest(challenge);
  const std::string realm = challenge.param("realm");
  const char* method =
      digest ? NSURLAuthenticationMethodHTTPDigest : NSURLAuthenticationMethodHTTPBasic;
  const std::string spaceKey =
      t->scheme + "://" + t->host + ":" + std::to_string(t->port) + " " + method + " " + realm;
  ParsedURL parsed = parseURL(t->url);
  NSURLCredentialRef urlCredential;
  if (!parsed.user.empty()) {
    urlCredential = NSURLCredential::credentialWithUserPasswordPersistence(
        parsed.user, parsed.password, NSURLCredentialPersistenceNone);
  }
  bool ephemeral;
  {
    std::lock_guard<std::mutex> lock(s->mu);
    ephemeral = s->config->isEphemeral();
  }
  const auto step =
      task->auth.next(spaceKey, t->request->valueForHTTPHeaderField("Authorization").has_value(),
                      digest && strcasecmp(challenge.param("stale").c_str(), "true") == 0,
                      urlCredential, s->credentials, ephemeral);
  const std::string httpMethod = t->request->HTTPMethod();
  const std::string uri = parsed.target;
  auto send = [t, task, challenge, spaceKey, httpMethod,
               uri](const NSURLCredentialRef& credential) {
    const uint32_t nc = task->auth.willSend(spaceKey, credential, challenge.param("nonce"));
    retryWithAuthorization(
        t, isDigest(challenge) ? digestAuthorization(challenge, httpMethod, uri, credential->user(),
                                                     credential->password(), nc, makeClientNonce())
                               : basicAuthorization(credential->user(), credential->password()));
  };
  if (step.kind == TaskAuthentication::Step::kGiveUp) {
    deliverHeldResponse(t, t->authResponse);
    return;
  }
  if (step.kind == TaskAuthentication::Step::kSend) {
    send(step.credential);
    return;
  }
  const int64_t previous = step.previousFailureCount;
  auto space = std::make_shared<NSURLProtectionSpace>(
      t->host, t->port, t->scheme == "https" ? NSURLProtectionSpaceHTTPS : NSURLProtectionSpaceHTTP,
      realm, method);
  auto asked = std::make_shared<NSURLAuthenticationChallenge>(space, step.credential, previous,
                                                              t->authResponse, nullptr);
  auto answer = [s, task, t, spaceKey, previous, urlCredential, ephemeral, send](
                    NSURLSessionAuthChallengeDisposition d, NSURLCredentialRef credential) {
    if (task->transfer != t) return;  // cancelled meanwhile
    if (d == NSURLSessionAuthChallengeCancelAuthenticationChallenge) {
      finishTransfer(t, makeURLError(NSURLErrorCancelled, t->url));
      return;
    }
    if (d == NSURLSessionAuthChallengePerformDefaultHandling) {
      credential = previous == 0 ? urlCredential : nullptr;
    } else if (d != NSURLSessionAuthChallengeUseCredential) {
      credential = nullptr;  // the protection space is declined
    }
    if (!credential || credential->trust() || credential->user().empty()) {
      deliverHeldResponse(t, t->authResponse);  // continue without credential
      return;
    }
    s->credentials.remember(spaceKey, credential, ephemeral);
    send(credential);
  };
  auto once = std::make_shared<std::once_flag>();
  NSURLSessionDelegate::ChallengeCompletion completion = [s, answer, once](
                                                             NSURLSessionAuthChallengeDisposition d,
                                                             NSURLCredentialRef credential) {
    std::call_once(*once, [&] { s->enqueue([answer, d, credential] { answer(d, credential); }); });
  };
  if (!s->delegateRef()) {
    answer(NSURLSessionAuthChallengePerformDefaultHandling, nullptr);
    return;
  }
  auto owner = task->ownerRef();
  s->post([s, owner, asked, completion] {
    auto d = s->delegateRef();
    if (d && owner &&
        d->URLSessionTaskDidReceiveChallengeCompletionHandler(s->sessionRef(), owner, asked,
                                                              completion)) {
      return;
    }
    completion(NSURLSessionAuthChallengePerformDefaultHandling, nullptr);
  });
}

// Gives up the partial file a resumed download began with (task->mu held): it is removed, no
// resume data name it, and the download starts from zero without a Range.
void dropPartialDownloadLocked(URLTaskCore& task) {
  if (!task.resumePath.empty()) unlink(task.resumePath.c_str());
  task.resumePath.clear();
  task.resumeOffset = 0;
  task.resumeValidator.clear();
}

void handleRedirect(const std::shared_ptr<Transfer>& t) {
  auto task = t->task;
  auto s = t->session;
  auto response = t->redirectResponse;
  if (t->cache) NSURLCacheRules::invalidateAfterUnsafeRequest(*t->cache, t->request, response);
  if (t->redirectCount >= RedirectPolicy::kMaxRedirects) {
    finishTransfer(t, makeURLError(NSURLErrorHTTPTooManyRedirects, t->url));
    return;
  }
  std::string target =
      resolveURL(t->url, response->valueForHTTPHeaderField("Location").value_or(""));
  ParsedURL from = parseURL(t->url), to = parseURL(target);
  const bool sameOrigin =
      to.ok && from.host == to.host && from.port == to.port && from.scheme == to.scheme;
  auto proposal =
      RedirectPolicy::proposedRequest(t->request, response->statusCode(), target, sameOrigin);
  const bool toGet = proposal.toGet;
  releaseEasy(*t);
  NSURLRequestRef proposed = proposal.request;
  int count = t->redirectCount + 1;
  auto once = std::make_shared<std::once_flag>();
  std::function<void(NSURLRequestRef)> completion = [s, task, t, once, count,
                                                     toGet](NSURLRequestRef chosen) {
    std::call_once(*once, [&] {
      s->enqueue([s, task, t, chosen, count, toGet] {
        if (task->transfer != t) return;  // cancelled meanwhile
        if (!chosen) {
          // Refused: the redirect response is the answer, with its body.
          deliverHeldResponse(t, t->redirectResponse);
          return;
        }
        NSURLRequestRef request = chosen;
        bool needsStream = !toGet && request->HTTPBodyStream() != nullptr;
        task->transfer = nullptr;
        {
          std::lock_guard<std::mutex> lock(task->mu);
          task->current = request;
          // Another request, of another resource maybe: a resumed download's part is not of it.
          dropPartialDownloadLocked(*task);
        }
        if (needsStream) {
          auto fresh = askNewBodyStream(*t);
          if (!fresh) {
            // A cancel that released the wait ends the task as cancelled, not as exhausted.
            t->session->taskCompleted(
                task, makeURLError(isCancelled(task) ? NSURLErrorCancelled
                                                     : NSURLErrorRequestBodyStreamExhausted,
                                   t->url));
            return;
          }
          auto m = request->mutableCopy();
          m->setHTTPBodyStream(fresh);
          request = m;
        }
        startTransfer(s, task, request, count);
      });
    });
  };
  auto owner = task->ownerRef();
  s->post([s, owner, response, proposed, completion] {
    auto d = s->delegateRef();
    if (d && owner &&
        d->URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
            s->sessionRef(), owner, response, proposed, completion)) {
      return;
    }
    completion(proposed);
  });
}

// Sends the transfer's request again on a new transfer: on a fresh connection, without its
// partial file (a partial download that cannot go on), or without the cache's conditions.
void restartTransfer(const std::shared_ptr<Transfer>& t) {
  auto task = t->task;
  releaseEasy(*t);
  if (t->restartFromZero) {
    unlink(t->filePath.c_str());  // as for a whole answer to a resumed download
    std::lock_guard<std::mutex> lock(task->mu);
    task->resumePath.clear();
    task->resumeOffset = 0;
    task->resumeValidator.clear();
  }
  auto request = t->request;
  if (t->reloadWithoutConditions) {
    auto plain = request->mutableCopy();
    plain->setCachePolicy(NSURLRequestReloadIgnoringLocalCacheData);
    request = plain;
  }
  t->bodyStream = nullptr;  // not read yet: the new transfer sends it
  task->transfer = nullptr;
  startTransfer(t->session, task, request, t->redirectCount, t->staleConnection);
}

// Whether a download cancelled for resume data after its whole body arrived finishes all the
// same: its file is whole, not a part to resume.
bool finishesDespiteCancel(const Transfer& t, CURLcode result) {
  if (result != CURLE_OK || !t.file || t.isRedirect || t.isAuthChallenge) return false;
  std::lock_guard<std::mutex> lock(t.task->mu);
  return static_cast<bool>(t.task->resumeDataCompletion);
}

void onDone(const std::shared_ptr<Transfer>& t, CURLcode result) {
  auto task = t->task;
  if (isCancelled(task) && !finishesDespiteCancel(*t, result)) {
    finishTransfer(t, makeURLError(NSURLErrorCancelled, t->url));
    return;
  }
  if ((t->staleConnection && !t->freshConnection) || t->restartFromZero ||
      t->reloadWithoutConditions) {
    restartTransfer(t);
    return;
  }
  if (result == CURLE_OK) {
    curl_socket_t socket = CURL_SOCKET_BAD;
    // An HTTP/2 connection frames its streams itself (and may hold frames of its own).
    if (isHTTP1(t->head.httpVersion()) &&
        curl_easy_getinfo(t->easy, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK) {
      markConnectionCarried(socket);
    }
    const bool held = t->isRedirect || t->isAuthChallenge;  // its coding is undone later
    const bool http2 = t->headersComplete && !isHTTP1(t->head.httpVersion());
    const int64_t cut = judgeBodyEnd({.http2 = http2,
                                      .streamEnded = http2 && streamEnded(t->easy),
                                      .closeOverTLS = t->readToClose && t->scheme == "https",
                                      .closureAlert = t->closureAlert && t->closureAlert->load(),
                                      .decoder = held ? nullptr : t->decoder.get(),
                                      .appended = t->appended ? &*t->appended : nullptr});
    if (!t->failure && cut) t->failure = makeURLError(cut, t->url);
  }
  if (t->failure) {
    finishTransfer(t, isCancelled(task) ? makeURLError(NSURLErrorCancelled, t->url) : t->failure);
    return;
  }
  if (result != CURLE_OK) {
    // libcurl refuses a header line over its bound as out of memory, and a folded line with no
    // field before it as a bad argument.
    const int64_t code = t->headersComplete              ? errorCodeForCurl(result)
                         : result == CURLE_OUT_OF_MEMORY ? NSURLErrorDataLengthExceedsMaximum
                         : result == CURLE_BAD_FUNCTION_ARGUMENT ? NSURLErrorBadServerResponse
                                                                 : errorCodeForCurl(result);
    finishTransfer(t, makeURLError(code, t->url));
    return;
  }
  if (t->isRedirect) {
    handleRedirect(t);
    return;
  }
  if (t->isAuthChallenge) {
    handleAuthChallenge(t);
    return;
  }
  if (!t->headersComplete) {
    finishTransfer(t, makeURLError(NSURLErrorBadServerResponse, t->url));
    return;
  }
  bool awaiting;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    awaiting = t->awaitingDisposition;
    if (awaiting) t->doneWhileAwaiting = true;  // the delegate's answer completes the task
  }
  if (awaiting) {
    releaseEasy(*t);
    return;
  }
  flushDeferred(*t);
  completeSuccess(t);
}

// The request as sent, without its body: its URL, method and header fields, the
// configuration's additional ones it lacks and, when it handles cookies, the jar's cookies
// joined to its own "Cookie" field. The cache matches "Vary" against these.
NSURLRequestRef requestAsSent(const NSURLRequestRef& request,
                              const NSURLSessionConfiguration& config, bool handlesCookies) {
  auto sent = NSMutableURLRequest::requestWithURL(request->URL());
  sent->setHTTPMethod(request->HTTPMethod());
  for (const auto& [k, v] : request->headerFields().fields())
    sent->setValueForHTTPHeaderField(v, k);
  for (const auto& [k, v] : config.HTTPAdditionalHeaders()) {
    if (auto str = v.string(); str && !sent->valueForHTTPHeaderField(k)) {
      sent->setValueForHTTPHeaderField(*str, k);
    }
  }
  if (handlesCookies) {
    const std::string jar = NSHTTPCookie::requestHeaderValueWithCookies(
        NSHTTPCookieStorage::sharedHTTPCookieStorage()->cookiesForURL(request->URL()));
    const auto own = sent->valueForHTTPHeaderField("Cookie");
    if (!jar.empty())
      sent->setValueForHTTPHeaderField(own && !own->empty() ? *own + "; " + jar : jar, "Cookie");
  }
  return sent;
}

// Builds and adds the easy handle of a task's (next) request.
void startTransfer(const std::shared_ptr<URLSessionCore>& s,
                   const std::shared_ptr<URLTaskCore>& task, NSURLRequestRef request,
                   int redirectCount, bool freshConnection) {
  auto t = std::make_shared<Transfer>();
  t->freshConnection = freshConnection;
  t->task = task;
  t->session = s;
  t->request = request;
  t->redirectCount = redirectCount;
  t->url = request ? request->URL() : "";
  task->transfer = t;
  ParsedURL parsed = parseURL(t->url);
  if (!request || !parsed.ok || parsed.unmappableHost) {
    // Nothing is sent: a partial file a resumed download began with goes, as whatever else
    // ends the download, unless resume data are to name it.
    {
      std::lock_guard<std::mutex> lock(task->mu);
      if (!task->resumeDataCompletion) dropPartialDownloadLocked(*task);
    }
    const bool badURL = request && parsed.unmappableHost;
    finishTransfer(t, makeURLError(badURL ? NSURLErrorBadURL : NSURLErrorUnsupportedURL, t->url));
    return;
  }
  t->host = parsed.host;
  t->port = parsed.port;
  t->scheme = parsed.scheme;

  TaskKind kind;
  std::optional<Data> uploadData;
  std::optional<std::string> uploadFile;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    kind = task->kind;
    uploadData = task->uploadData;
    uploadFile = task->uploadFile;
    t->userPaused = task->state == NSURLSessionTaskStateSuspended;
    if (kind == TaskKind::Download && !task->resumePath.empty() && redirectCount == 0) {
      if (isResumeValidator(task->resumeValidator)) {
        t->filePath = task->resumePath;
        t->fileOffset = task->resumeOffset;
      } else {
        // No validator to send as If-Range, so no answer could be trusted to continue the
        // file: the download starts from zero.
        dropPartialDownloadLocked(*task);
      }
    }
  }
  NSURLSessionConfigurationRef config;
  {
    std::lock_guard<std::mutex> lock(s->mu);
    config = s->config;
  }
  // The process's cookie jar, for requests that handle cookies: its cookies go out with the
  // request, and every answer's "Set-Cookie" goes to it.
  t->handlesCookies = config->HTTPShouldSetCookies() && request->HTTPShouldHandleCookies();
  t->sentRequest = requestAsSent(request, *config, t->handlesCookies);
  const NSURLCacheRef cache =
      s->usesSharedURLCache ? NSURLCache::sharedURLCache() : config->URLCache();
  if (kind == TaskKind::Data && cache) {
    uint64_t policy = request->cachePolicy();
    if (policy == NSURLRequestUseProtocolCachePolicy) policy = config->requestCachePolicy();
    NSCachedURLResponseRef cached;
    if (request->HTTPMethod() == "GET") cached = cache->cachedResponseForRequest(t->sentRequest);
    switch (NSURLCacheRules::decide(request, policy, cached,
                                    Clock::current()->date().timeIntervalSince1970())) {
      case NSURLCacheRules::Decision::Unavailable:
        finishTransfer(t, makeURLError(NSURLErrorResourceUnavailable, t->url));
        return;
      case NSURLCacheRules::Decision::UseCached:
        t->cache = cache;
        if (answerFromCache(t, cached)) return;
        break;
      case NSURLCacheRules::Decision::Revalidate:
        t->revalidating = cached;
        break;
      case NSURLCacheRules::Decision::Load:
        break;
    }
    t->cache = cache;
  } else if (cache && request->HTTPMethod() != "GET") {
    t->cache = cache;  // only to forget what an unsafe request changes
  }
  const std::string& method = request->HTTPMethod();
  bool bodyless = method == "GET" || method == "HEAD";
  // Body: an upload's own body wins over the request's, also for each redirect that keeps
  // the body (the file is opened anew for every request), unless the delegate gave the
  // redirected request a body stream of its own.
  if (!bodyless) {
    const bool ownBody = redirectCount == 0 || !request->HTTPBodyStream();
    if (uploadFile && ownBody) {
      t->bodyKind = Transfer::BodyKind::File;
      // Never opened blocking on the transfer thread: a named pipe would stall every task.
      t->bodyFile = openRegularFileStream(*uploadFile, O_RDONLY, "rb");
      if (!t->bodyFile) {
        const int error = errno;
        const int64_t code = error == ENOENT || error == ENOTDIR ? NSURLErrorFileDoesNotExist
                             : error == EISDIR                   ? NSURLErrorFileIsDirectory
                             : error == EACCES || error == EPERM ? NSURLErrorNoPermissionsToReadFile
                                                                 : NSURLErrorCannotOpenFile;
        finishTransfer(t,
                       makeURLError(code, t->url, fileErrorFromErrno(error, *uploadFile, false)));
        return;
      }
    } else if (uploadData && ownBody) {
      t->bodyKind = Transfer::BodyKind::Bytes;
      t->bodyBytes = *uploadData;
    } else if (request->HTTPBodyStream()) {
      t->bodyKind = Transfer::BodyKind::Stream;
      t->bodyStream = request->HTTPBodyStream();
      if (t->bodyStream->streamStatus() == NSStreamStatusNotOpen) t->bodyStream->open();
      if (t->bodyStream->streamStatus() == NSStreamStatusError) {
        finishTransfer(t, makeURLError(NSURLErrorUnknown, t->url, t->bodyStream->streamError()));
        return;
      }
    } else if (request->HTTPBody()) {
      t->bodyKind = Transfer::BodyKind::Bytes;
      t->bodyBytes = *request->HTTPBody();
    }
  }

  // Every request gets a handle of its own. A reset handle would keep a pointer to the last
  // header line of its previous response, which libcurl then follows when a new response
  // begins with a folded line (memory already freed).
  CURL* e = curl_easy_init();
  t->easy = e;
  curl_easy_setopt(e, CURLOPT_URL, parsed.wire.c_str());
  curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROXY, "");  // never through a proxy of the environment
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  // Every coding libcurl knows is asked for; the engine undoes it itself.
  curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, openConnectionSocket);
  curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, closeConnectionSocket);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, prerequestCallback);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, t.get());
  if (freshConnection) curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, headerCallback);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, writeCallback);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024L);
  // HTTP/2 (offered over TLS) only where the end of its streams is seen.
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                   watchesHTTP2StreamEnds() ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
  if (parsed.scheme == "https") {
    watchStreamEnd(e);
    // The trust decision is made by verifyCallback (delegate or default evaluation).
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, sslContextCallback);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, t.get());
  }
  if (method == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else if (method == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  // Header fields: the request's, the configuration's additional ones it lacks, the jar's.
  HTTPHeaderFields fields = t->sentRequest->headerFields();
  // An empty Content-Type of the app's is sent empty; one the engine adds below only removes
  // libcurl's form content type.
  const bool appContentType = fields.get("Content-Type").has_value();
  int64_t bodyLength = -1;
  if (t->bodyKind == Transfer::BodyKind::Bytes)
    bodyLength = static_cast<int64_t>(t->bodyBytes.length());
  if (t->bodyKind == Transfer::BodyKind::File) bodyLength = fileBodyLength(*t);
  if (t->bodyKind == Transfer::BodyKind::Stream) {
    if (auto cl = fields.get("Content-Length")) {
      char* end = nullptr;
      long long v = std::strtoll(cl->c_str(), &end, 10);
      if (end && *end == '\0' && v >= 0) bodyLength = v;
    }
  }
  t->bodyLength = bodyLength;
  if (t->bodyKind != Transfer::BodyKind::None) {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, readCallback);
    curl_easy_setopt(e, CURLOPT_READDATA, t.get());
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, seekCallback);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, t.get());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    // curl would otherwise add a form content type, and a chunked body carries no length.
    if (!fields.get("Content-Type")) fields.set("Content-Type", "");
    fields.remove("Content-Length");
    if (bodyLength < 0) fields.set("Transfer-Encoding", "chunked");
  } else if (!bodyless) {
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, 0L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, "");
    if (!fields.get("Content-Type")) fields.set("Content-Type", "");
    fields.remove("Content-Length");
  }
  if (kind == TaskKind::Download && t->fileOffset > 0) {
    fields.set("Range", "bytes=" + std::to_string(t->fileOffset) + "-");
    std::lock_guard<std::mutex> lock(task->mu);
    if (!task->resumeValidator.empty()) fields.set("If-Range", task->resumeValidator);
  }
  if (t->revalidating) {
    const HTTPHeaderFields validators = NSURLCacheRules::validatorsFor(t->revalidating);
    for (const auto& [k, v] : validators.fields()) {
      if (!fields.get(k)) fields.set(k, v);
    }
  }
  fields.remove("Expect");
  for (auto& [k, v] : fields.fields()) {
    // Fields from the configuration or a delegate's request can hold anything: a name that is
    // not a token, or a line that would split into more lines, is left out.
    if (!appContentType && v.empty() && k == "Content-Type") {
      t->headerList = curl_slist_append(t->headerList, "Content-Type:");
      continue;
    }
    auto line = requestHeaderLine(k, v);
    if (!line) {
      NSLogMessage("NSURLSession: left out the header field \"" + escapedForLog(k) +
                   "\", whose name is not a token or whose name or value holds a line break");
      continue;
    }
    t->headerList = curl_slist_append(t->headerList, line->c_str());
  }
  t->headerList = curl_slist_append(t->headerList, "Expect:");  // no 100-continue round trip
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);

  bool expectedChanged = false;
  int64_t expectedToSend = t->bodyKind == Transfer::BodyKind::None ? 0 : bodyLength;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    if (redirectCount == 0 && task->expectedToSend != expectedToSend) {
      task->expectedToSend = expectedToSend;
      expectedChanged = true;
    }
  }
  if (expectedChanged) task->notifyCounter(kCountOfBytesExpectedToSend, expectedToSend);
  double idle = request->hasExplicitTimeout() ? request->timeoutInterval()
                                              : config->timeoutIntervalForRequest();
  t->idleTimeoutNs = idle > 0 ? static_cast<int64_t>(idle * 1e9) : 0;
  double resource = config->timeoutIntervalForResource();
  t->touch();
  t->resourceDeadlineNs =
      resource > 0 ? t->lastActivityNs + static_cast<int64_t>(resource * 1e9) : 0;

  curl_multi_add_handle(s->multi, e);
  if (t->userPaused) curl_easy_pause(e, CURLPAUSE_ALL);
}

}  // namespace

// ---- URLSessionCore --------------------------------------------------------------------------

URLSessionCore::~URLSessionCore() {
  {
    std::lock_guard<std::mutex> lock(mu);
    workerStop = true;
  }
  if (multi) curl_multi_wakeup(multi);
  if (worker.joinable()) {
    if (worker.get_id() == std::this_thread::get_id()) {
      StoppedWorkers::shared().keep(std::move(worker), workerEnded);
    } else {
      worker.join();
    }
  }
  if (multi) curl_multi_cleanup(multi);
}

NSURLSessionRef URLSessionCore::sessionRef() {
  std::lock_guard<std::mutex> lock(mu);
  return weakSelf.lock();
}

namespace {
// The session whose transfer thread this is.
thread_local const URLSessionCore* tWorkerOf = nullptr;
}  // namespace

bool URLSessionCore::isTransferThread() const { return tWorkerOf == this; }

void URLSessionCore::post(std::function<void()> block) {
  if (tWorkerOf == this) {
    std::lock_guard<std::mutex> lock(outboxMu);
    outbox.push_back(std::move(block));
    return;
  }
  postNow(std::move(block));
}

void URLSessionCore::postNow(std::function<void()> block) {
  std::lock_guard<std::mutex> lock(outboxMu);
  for (auto& held : outbox) queue->addOperationWithBlock(std::move(held));
  outbox.clear();
  queue->addOperationWithBlock(std::move(block));
}

void URLSessionCore::flushPosts() {
  std::lock_guard<std::mutex> lock(outboxMu);
  // Handed on under the lock: a block posted meanwhile by another thread must come after.
  for (auto& held : outbox) queue->addOperationWithBlock(std::move(held));
  outbox.clear();
}

void URLSessionCore::enqueue(std::function<void()> command, bool wake) {
  std::lock_guard<std::mutex> lock(mu);
  if (workerStop) return;  // invalidated and finished: nothing runs any more
  commands.push_back(std::move(command));
  if (!workerRunning) {
    globalCurlInit();
    multi = curl_multi_init();
    int64_t perHost = config->HTTPMaximumConnectionsPerHost();
    if (perHost > 0)
      curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(perHost));
    workerRunning = true;
    // The worker holds only a weak reference so that the core can go away.
    std::weak_ptr<URLSessionCore> weak = shared_from_this();
    workerEnded = std::make_shared<std::atomic<bool>>(false);
    StoppedWorkers::shared();  // its exit handler must run before those registered so far
    worker = std::thread([weak, ended = workerEnded] {
      if (auto s = weak.lock()) s->workerLoop();
      ended->store(true, std::memory_order_release);
    });
    return;
  }
  if (wake && workerPolling) {
    workerPolling = false;  // one wake-up is enough until the worker polls again
    curl_multi_wakeup(multi);
  }
}

void URLSessionCore::workerLoop() {
  // Note: runs with a strong reference to the core (taken by the thread's lambda).
  tWorkerOf = this;
  // Kept across turns so that a turn allocates nothing for its own bookkeeping.
  std::vector<std::function<void()>> batch;
  std::vector<std::shared_ptr<URLTaskCore>> active;
  // Since when (plat::Clock) no task has had a transfer; -1 while one has.
  int64_t idleSinceNs = -1;
  // What the thread closes when it ends.
  CURLM* m = nullptr;
  std::thread self;  // when it ends idle: handed over to be joined
  std::shared_ptr<std::atomic<bool>> ended;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu);
      batch.swap(commands);
      if (workerStop && batch.empty()) break;
    }
    for (auto& c : batch) c();
    batch.clear();
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      Transfer* raw = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
      CURLcode result = msg->data.result;
      if (raw && raw->task->transfer.get() == raw) {
        auto t = raw->task->transfer;
        onDone(t, result);
      }
    }
    // Time-outs on plat::Clock (so a virtual clock drives them in tests).
    int64_t now = Clock::nowNs();
    bool timed = false;
    active.clear();
    {
      std::lock_guard<std::mutex> lock(mu);
      for (auto& task : tasks) active.push_back(task->core());
    }
    bool transferring = false;
    for (auto& task : active) {
      auto t = task->transfer;
      // A transfer without a handle waits for a delegate, whose answer comes as a command.
      transferring = transferring || (t && t->easy);
      if (!t || !t->easy) continue;
      bool awaiting;
      {
        std::lock_guard<std::mutex> lock(task->mu);
        // Waiting for the delegate (its decision, or to take the bytes already read) is no
        // idle peer.
        awaiting = t->awaitingDisposition || task->pausedForDelivery;
      }
      if (t->userPaused || awaiting) {
        t->touch();
        continue;
      }
      timed = true;
      if ((t->idleTimeoutNs && now - t->lastActivityNs >= t->idleTimeoutNs) ||
          (t->resourceDeadlineNs && now >= t->resourceDeadlineNs)) {
        finishTransfer(t, makeURLError(NSURLErrorTimedOut, t->url));
      }
    }
    active.clear();
    // The turn's events go to the delegate queue together, once per turn.
    flushPosts();
    // A session left without transfers for a while lets its thread and connections go (a
    // session that is never invalidated would keep them for the life of the process); the
    // next command starts them again.
    if (transferring) {
      idleSinceNs = -1;
    } else if (idleSinceNs < 0) {
      idleSinceNs = now;
    }
    const bool lingerOver = idleSinceNs >= 0 && now - idleSinceNs >= kIdleWorkerLingerNs;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (workerStop && commands.empty()) break;
      if (!commands.empty()) continue;
      if (lingerOver && !workerStop) {
        // Handed back in the same step as the check, so that the next command (queued from
        // here on) starts a new thread with a new multi handle.
        workerRunning = false;
        workerPolling = false;
        m = multi;
        multi = nullptr;
        self = std::move(worker);
        ended = workerEnded;
        break;
      }
      // Set together with the check above, so a command queued from here on wakes the poll
      // (a wake-up that comes before the poll starts makes it return at once).
      workerPolling = true;
    }
    long curlTimeout = -1;
    curl_multi_timeout(multi, &curlTimeout);
    int wait = kLongestPollMs;
    if (curlTimeout >= 0) wait = static_cast<int>(std::min<long>(curlTimeout, wait));
    if (timed) wait = std::min(wait, 50);
    if (idleSinceNs >= 0) {
      // A virtual clock moves in steps a test makes: it is looked at as often as transfers'.
      const int64_t leftMs = (kIdleWorkerLingerNs - (now - idleSinceNs)) / 1000000 + 1;
      wait = Clock::current()->isVirtual() ? std::min(wait, 50)
                                           : static_cast<int>(std::min<int64_t>(wait, leftMs));
    }
    curl_multi_poll(multi, nullptr, 0, wait, nullptr);
    std::lock_guard<std::mutex> lock(mu);
    workerPolling = false;
  }
  // Stopped (after invalidation, when no task is left) or idle: close the connections now.
  if (!self.joinable()) {
    std::lock_guard<std::mutex> lock(mu);
    m = multi;
    multi = nullptr;
    commands.clear();
  }
  curl_multi_cleanup(m);
  flushPosts();
  tWorkerOf = nullptr;
  if (self.joinable()) StoppedWorkers::shared().keep(std::move(self), std::move(ended));
}

std::thread URLSessionCore::stopWorkerLocked() {
  workerStop = true;
  if (multi) {
    curl_multi_wakeup(multi);
    return std::move(worker);
  }
  workerRunning = true;  // never started: nothing to stop
  return std::thread();
}

void URLSessionCore::keepStoppedWorker(std::thread worker,
                                       std::shared_ptr<std::atomic<bool>> ended) {
  StoppedWorkers::shared().keep(std::move(worker), std::move(ended));
}

void URLSessionCore::startOrUnpause(const std::shared_ptr<URLTaskCore>& task, bool start) {
  auto self = shared_from_this();
  if (start) {
    NSURLRequestRef request;
    {
      std::lock_guard<std::mutex> lock(task->mu);
      request = task->current;
    }
    enqueue([self, task, request] {
      if (isCancelled(task)) {
        auto t = std::make_shared<Transfer>();
        t->task = task;
        t->session = self;
        t->url = request ? request->URL() : "";
        finishTransfer(t, makeURLError(NSURLErrorCancelled, t->url));
        return;
      }
      startTransfer(self, task, request, 0);
    });
  } else {
    enqueue([task] {
      auto t = task->transfer;
      if (!t) return;
      t->userPaused = false;
      applyPause(*t);
    });
  }
}

void URLSessionCore::pause(const std::shared_ptr<URLTaskCore>& task) {
  enqueue([task] {
    auto t = task->transfer;
    if (!t) return;
    t->userPaused = true;
    applyPause(*t);
  });
}

void URLSessionCore::cancel(const std::shared_ptr<URLTaskCore>& task, bool produceResumeData) {
  auto self = shared_from_this();
  enqueue([self, task, produceResumeData] {
    auto t = task->transfer;
    if (!t) {
      bool started, completed;
      {
        std::lock_guard<std::mutex> lock(task->mu);
        started = task->started;
        completed = task->state == NSURLSessionTaskStateCompleted;
      }
      // Not started, or between two requests (a redirect awaiting the delegate).
      if (!started || !completed) {
        auto dummy = std::make_shared<Transfer>();
        dummy->task = task;
        dummy->session = self;
        {
          std::lock_guard<std::mutex> lock(task->mu);
          dummy->url = task->current ? task->current->URL() : "";
          // A copy of a partial download made for this task alone goes with it, unless new
          // resume data is to name it.
          if (!started && !produceResumeData && task->partialIsCopy &&
              !task->claimedPartial.empty()) {
            unlink(task->claimedPartial.c_str());
            task->resumePath.clear();
          }
        }
        finishTransfer(dummy, makeURLError(NSURLErrorCancelled, dummy->url));
      }
      return;
    }
    finishTransfer(t, makeURLError(NSURLErrorCancelled, t->url));  // with any resume data
  });
}

}  // namespace detail

// Whether `path` is a partial download this layer made: a regular file (not a link) in the
// download directory, named like makeTempFile's files. Resume data comes from outside the
// session (an app stores it), so nothing else may be appended to or deleted through it.
bool detail::isPartialDownloadFile(const std::string& path, int64_t size) {
  if (!isValidFilePath(path)) return false;  // the system would look at a shorter path
  std::filesystem::path p(path);
  std::string name = p.filename().string();
  if (downloadDirectory() / name != p ||
      name.size() != kPartialPrefix.size() + 6 + kPartialSuffix.size() ||
      name.compare(0, kPartialPrefix.size(), kPartialPrefix) != 0 ||
      name.compare(name.size() - kPartialSuffix.size(), kPartialSuffix.size(), kPartialSuffix) !=
          0) {
    return false;
  }
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size;
}

namespace {
std::mutex gClaimedMu;
std::set<std::string>& claimedPartials() {
  static auto* claimed = new std::set<std::string>;  // never destroyed: tasks may outlive exit
  return *claimed;
}
}  // namespace

bool detail::claimPartialDownload(const std::string& path) {
  std::lock_guard<std::mutex> lock(gClaimedMu);
  return claimedPartials().insert(path).second;
}

void detail::releasePartialDownload(const std::string& path) {
  std::lock_guard<std::mutex> lock(gClaimedMu);
  claimedPartials().erase(path);
}

std::string detail::copyPartialDownload(const std::string& path, int64_t length) {
  FILE* in = openRegularFileStream(path, O_RDONLY, "rb");
  if (!in) return {};
  FILE* out = nullptr;
  std::string copy = makeTempFile(&out);
  bool ok = !copy.empty();
  char buffer[64 * 1024];
  for (int64_t left = length; ok && left > 0;) {
    size_t n =
        std::fread(buffer, 1, static_cast<size_t>(std::min<int64_t>(left, sizeof buffer)), in);
    ok = n > 0 && std::fwrite(buffer, 1, n, out) == n;
    left -= static_cast<int64_t>(n);
  }
  std::fclose(in);
  if (out && std::fclose(out) != 0) ok = false;
  if (!ok && !copy.empty()) unlink(copy.c_str());
  return ok ? copy : std::string();
}

}  // namespace plat
