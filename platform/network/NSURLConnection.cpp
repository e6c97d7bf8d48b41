// NSURLConnection: network loads are tasks of one process-wide internal URL session, whose
// transfer engine runs them; its delegate hands every event on to the connection's run loop.
// File URLs are read on a global dispatch queue, one chunk at a time.

#include "platform/network/NSURLConnection.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/MIMEType.h"
#include "platform/network/NSURLSession.h"
#include "platform/network/URLSessionCore.h"

namespace plat {

struct NSURLConnection::State : std::enable_shared_from_this<NSURLConnection::State> {
  mutable std::mutex mu;
  std::weak_ptr<NSURLConnection> owner;
  NSURLConnectionRef selfRef;  // held while the load runs
  std::weak_ptr<NSURLConnectionDelegate> delegate;
  NSURLRequestRef original;
  NSURLRequestRef current;
  RunLoopRef loop;
  NSURLSessionDataTaskRef task;
  bool started = false;
  bool ended = false;
  bool authCancelled = false;  // the delegate cancelled a challenge
  std::atomic<bool> cancelled{false};

  // Runs `block` on the connection's run loop.
  void post(std::function<void()> block) {
    RunLoopRef l;
    {
      std::lock_guard<std::mutex> lock(mu);
      l = loop;
    }
    if (l) l->perform(std::move(block));
  }
  // The connection and its delegate when a call may go out now (not cancelled, both alive).
  bool target(NSURLConnectionRef& connection, NSURLConnectionDelegateRef& d) {
    if (cancelled.load()) return false;
    std::lock_guard<std::mutex> lock(mu);
    if (ended) return false;
    connection = owner.lock();
    d = delegate.lock();
    return connection && d;
  }
  bool hasDelegate() const {
    std::lock_guard<std::mutex> lock(mu);
    return !delegate.expired();
  }
  // The load is over: no call follows, and the connection no longer keeps itself alive.
  void end() {
    NSURLConnectionRef keep;  // released last, after the lock
    std::lock_guard<std::mutex> lock(mu);
    ended = true;
    task = nullptr;
    keep = std::move(selfRef);
  }

  // Runs `block` on the connection's run loop; when the loop's thread ends without running
  // it, `dropped` runs instead, so that a posted question is always answered.
  void postGuarded(std::function<void()> dropped, std::function<void()> block);
  // On the connection's run loop: ends the load and tells the delegate it finished.
  void finish();

  void begin();
  void loadFile(const std::string& path, const std::string& url);
  void fail(NSErrorRef error);
};

namespace {

// Runs `dropped` when destroyed unless disarmed first. A question posted to a connection's run
// loop is answered even when the loop's thread ends without running it (the loop drops the
// block), so that the load, and the transfer thread that may wait for the answer, go on.
class AnswerGuard {
 public:
  explicit AnswerGuard(std::function<void()> dropped) : dropped_(std::move(dropped)) {}
  ~AnswerGuard() {
    if (dropped_) dropped_();
  }
  AnswerGuard(const AnswerGuard&) = delete;
  AnswerGuard& operator=(const AnswerGuard&) = delete;
  void disarm() { dropped_ = nullptr; }

 private:
  std::function<void()> dropped_;
};

std::shared_ptr<AnswerGuard> guard(std::function<void()> dropped) {
  return std::make_shared<AnswerGuard>(std::move(dropped));
}

}  // namespace

void NSURLConnection::State::postGuarded(std::function<void()> dropped,
                                         std::function<void()> block) {
  auto g = guard(std::move(dropped));
  post([g, block = std::move(block)] {
    g->disarm();
    block();
  });
}

void NSURLConnection::State::finish() {
  auto self = shared_from_this();
  postGuarded([self] { self->end(); },
              [self] {
                NSURLConnectionRef c;
                NSURLConnectionDelegateRef d;
                bool deliver = self->target(c, d);
                self->end();
                if (deliver) d->connectionDidFinishLoading(c);
              });
}

namespace {

// The internal session's delegate: finds the connection of each task and hands the event on.
class ConnectionLoader : public NSURLSessionDelegate {
 public:
  using StateRef = std::shared_ptr<NSURLConnection::State>;

  static ConnectionLoader& shared() {
    // Never destroyed: loads may still run while the process exits.
    static ConnectionLoader* loader = [] {
      auto delegate = std::make_shared<ConnectionLoader>();
      auto* raw = delegate.get();
      auto queue = std::make_shared<NSOperationQueue>();
      queue->setMaxConcurrentOperationCount(1);
      // The loader holds its session, which holds the loader: both live for the process.
      raw->session_ = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
          NSURLSessionConfiguration::defaultSessionConfiguration(), delegate, queue);
      raw->session_->core()->usesSharedURLCache = true;  // the shared cache of each load's start
      return raw;
    }();
    return *loader;
  }

  // Starts a task for `request` on behalf of `state`.
  void start(const StateRef& state, const NSURLRequestRef& request) {
    auto task = session_->dataTaskWithRequest(request);
    if (!task) {
      state->fail(makeURLError(NSURLErrorUnsupportedURL, request->URL()));
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      byTask_[task.get()] = state;
    }
    {
      std::lock_guard<std::mutex> lock(state->mu);
      state->task = task;
    }
    if (state->cancelled.load()) {
      task->cancel();
    } else {
      task->resume();
    }
  }

  bool URLSessionTaskDidReceiveChallengeCompletionHandler(
      const NSURLSessionRef&, const NSURLSessionTaskRef& task,
      const NSURLAuthenticationChallengeRef& challenge, ChallengeCompletion completion) override;

  bool URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      const NSURLSessionRef&, const NSURLSessionTaskRef& task,
      const NSHTTPURLResponseRef& response, const NSURLRequestRef& newRequest,
      std::function<void(NSURLRequestRef)> completion) override {
    auto st = stateFor(task);
    if (!st || !st->hasDelegate()) return false;
    st->postGuarded([completion] { completion(nullptr); },
                    [st, response, newRequest, completion] {
                      NSURLConnectionRef c;
                      NSURLConnectionDelegateRef d;
                      if (!st->target(c, d)) {
                        completion(st->cancelled.load() ? nullptr : newRequest);
                        return;
                      }
                      auto answer =
                          d->connectionWillSendRequestRedirectResponse(c, newRequest, response);
                      NSURLRequestRef chosen = answer ? *answer : newRequest;
                      if (chosen) {
                        std::lock_guard<std::mutex> lock(st->mu);
                        st->current = chosen;
                      }
                      completion(chosen);
                    });
    return true;
  }

  bool URLSessionTaskNeedNewBodyStream(const NSURLSessionRef&, const NSURLSessionTaskRef& task,
                                       std::function<void(NSInputStreamRef)> completion) override {
    auto st = stateFor(task);
    if (!st || !st->hasDelegate()) return false;
    auto request = task->currentRequest();
    st->postGuarded([completion] { completion(nullptr); },
                    [st, request, completion] {
                      NSURLConnectionRef c;
                      NSURLConnectionDelegateRef d;
                      if (!st->target(c, d)) {
                        completion(nullptr);
                        return;
                      }
                      completion(d->connectionNeedNewBodyStream(c, request).value_or(nullptr));
                    });
    return true;
  }

  void URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(
      const NSURLSessionRef&, const NSURLSessionTaskRef& task, int64_t sent, int64_t total,
      int64_t expected) override {
    auto st = stateFor(task);
    if (!st) return;
    st->post([st, sent, total, expected] {
      NSURLConnectionRef c;
      NSURLConnectionDelegateRef d;
      if (st->target(c, d)) {
        d->connectionDidSendBodyDataTotalBytesWrittenTotalBytesExpectedToWrite(c, sent, total,
                                                                               expected);
      }
    });
  }

  void URLSessionTaskDidCompleteWithError(const NSURLSessionRef&, const NSURLSessionTaskRef& task,
                                          const NSErrorRef& error) override {
    StateRef st;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = byTask_.find(task.get());
      if (it == byTask_.end()) return;
      st = it->second.lock();
      byTask_.erase(it);
    }
    if (!st) return;
    if (error) {
      st->fail(error);
      return;
    }
    st->finish();
  }

  bool URLSessionDataTaskDidReceiveResponseCompletionHandler(
      const NSURLSessionRef&, const NSURLSessionDataTaskRef& task, const NSURLResponseRef& response,
      std::function<void(NSURLSessionResponseDisposition)> completion) override {
    auto st = stateFor(task);
    if (!st || !st->hasDelegate()) return false;
    st->postGuarded(
        [completion] { completion(NSURLSessionResponseCancel); },
        [st, response, completion] {
          NSURLConnectionRef c;
          NSURLConnectionDelegateRef d;
          if (st->target(c, d)) d->connectionDidReceiveResponse(c, response);
          completion(st->cancelled.load() ? NSURLSessionResponseCancel : NSURLSessionResponseAllow);
        });
    return true;
  }

  bool URLSessionDataTaskWillCacheResponseCompletionHandler(
      const NSURLSessionRef&, const NSURLSessionDataTaskRef& task,
      const NSCachedURLResponseRef& proposed,
      std::function<void(NSCachedURLResponseRef)> completion) override {
    auto st = stateFor(task);
    if (!st || !st->hasDelegate()) return false;
    st->postGuarded([completion] { completion(nullptr); },
                    [st, proposed, completion] {
                      NSURLConnectionRef c;
                      NSURLConnectionDelegateRef d;
                      if (!st->target(c, d)) {
                        completion(st->cancelled.load() ? nullptr : proposed);
                        return;
                      }
                      completion(d->connectionWillCacheResponse(c, proposed).value_or(proposed));
                    });
    return true;
  }

  void URLSessionDataTaskDidReceiveData(const NSURLSessionRef&,
                                        const NSURLSessionDataTaskRef& task,
                                        const Data& data) override {
    auto st = stateFor(task);
    if (!st || !st->hasDelegate()) return;
    // Until the connection's delegate has the bytes, they wait for it: the transfer reads on
    // only as it takes them.
    auto core = task->core();
    const auto n = static_cast<int64_t>(data.length());
    detail::countBytesAwaitingConsumer(core, n);
    st->postGuarded([core, n] { detail::countBytesAwaitingConsumer(core, -n); },
                    [st, data, core, n] {
                      NSURLConnectionRef c;
                      NSURLConnectionDelegateRef d;
                      if (st->target(c, d)) d->connectionDidReceiveData(c, data);
                      detail::countBytesAwaitingConsumer(core, -n);
                    });
  }

 private:
  StateRef stateFor(const NSURLSessionTaskRef& task) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = byTask_.find(task.get());
    return it == byTask_.end() ? nullptr : it->second.lock();
  }

  NSURLSessionRef session_;
  std::mutex mu_;
  std::unordered_map<const NSURLSessionTask*, std::weak_ptr<NSURLConnection::State>> byTask_;
};

// The answers of one challenge, handed on to the session's completion once.
class ChallengeSender : public NSURLAuthenticationChallengeSender {
 public:
  ChallengeSender(std::weak_ptr<NSURLConnection::State> state,
                  NSURLSessionDelegate::ChallengeCompletion completion)
      : state_(std::move(state)), completion_(std::move(completion)) {}

  void useCredentialForAuthenticationChallenge(const NSURLCredentialRef& credential,
                                               const NSURLAuthenticationChallengeRef&) override {
    answer(NSURLSessionAuthChallengeUseCredential, credential);
  }
  void continueWithoutCredentialForAuthenticationChallenge(
      const NSURLAuthenticationChallengeRef&) override {
    answer(NSURLSessionAuthChallengeUseCredential, nullptr);
  }
  void cancelAuthenticationChallenge(const NSURLAuthenticationChallengeRef&) override {
    if (auto st = state_.lock()) {
      std::lock_guard<std::mutex> lock(st->mu);
      st->authCancelled = true;
    }
    answer(NSURLSessionAuthChallengeCancelAuthenticationChallenge, nullptr);
  }
  bool performDefaultHandlingForAuthenticationChallenge(
      const NSURLAuthenticationChallengeRef&) override {
    answer(NSURLSessionAuthChallengePerformDefaultHandling, nullptr);
    return true;
  }
  bool rejectProtectionSpaceAndContinueWithChallenge(
      const NSURLAuthenticationChallengeRef&) override {
    answer(NSURLSessionAuthChallengeRejectProtectionSpace, nullptr);
    return true;
  }

  void answer(NSURLSessionAuthChallengeDisposition disposition, NSURLCredentialRef credential) {
    std::call_once(once_, [&] { completion_(disposition, std::move(credential)); });
  }

 private:
  std::weak_ptr<NSURLConnection::State> state_;
  NSURLSessionDelegate::ChallengeCompletion completion_;
  std::once_flag once_;
};

bool ConnectionLoader::URLSessionTaskDidReceiveChallengeCompletionHandler(
    const NSURLSessionRef&, const NSURLSessionTaskRef& task,
    const NSURLAuthenticationChallengeRef& challenge, ChallengeCompletion completion) {
  auto st = stateFor(task);
  if (!st || !st->hasDelegate()) return false;
  auto sender = std::make_shared<ChallengeSender>(st, std::move(completion));
  auto asked = std::make_shared<NSURLAuthenticationChallenge>(
      challenge->protectionSpace(), challenge->proposedCredential(),
      challenge->previousFailureCount(), challenge->failureResponse(), challenge->error(), sender);
  st->postGuarded(
      [sender] { sender->answer(NSURLSessionAuthChallengeCancelAuthenticationChallenge, nullptr); },
      [st, sender, asked] {
        NSURLConnectionRef c;
        NSURLConnectionDelegateRef d;
        if (!st->target(c, d)) {
          sender->answer(st->cancelled.load()
                             ? NSURLSessionAuthChallengeCancelAuthenticationChallenge
                             : NSURLSessionAuthChallengePerformDefaultHandling,
                         nullptr);
          return;
        }
        if (asked->protectionSpace()->authenticationMethod() !=
            NSURLAuthenticationMethodServerTrust) {
          d->connectionShouldUseCredentialStorage(c);
        }
        if (!d->connectionWillSendRequestForAuthenticationChallenge(c, asked)) {
          sender->performDefaultHandlingForAuthenticationChallenge(asked);
        }
      });
  return true;
}

bool isFileURLText(const std::string& url) {
  return url.size() >= 5 && strncasecmp(url.c_str(), "file:", 5) == 0;
}

}  // namespace

// ---- The load ------------------------------------------------------------------------------

void NSURLConnection::State::fail(NSErrorRef error) {
  auto self = shared_from_this();
  postGuarded([self] { self->end(); },
              [self, error] {
                NSURLConnectionRef c;
                NSURLConnectionDelegateRef d;
                bool deliver = self->target(c, d);
                bool authCancelled;
                {
                  std::lock_guard<std::mutex> lock(self->mu);
                  authCancelled = self->authCancelled;
                }
                self->end();
                if (!deliver) return;
                NSErrorRef e = error;
                // A challenge the delegate cancelled ends the load as cancelled authentication.
                if (authCancelled && e && e->code() == NSURLErrorCancelled) {
                  const std::string* url =
                      e->userInfo()[NSURLErrorFailingURLStringErrorKey].string();
                  e = makeURLError(NSURLErrorUserCancelledAuthentication, url ? *url : "");
                }
                d->connectionDidFailWithError(c, e);
              });
}

// On the connection's run loop: asks about the first request, then starts the load.
void NSURLConnection::State::begin() {
  NSURLConnectionRef c;
  NSURLConnectionDelegateRef d;
  NSURLRequestRef request;
  {
    std::lock_guard<std::mutex> lock(mu);
    request = current;
  }
  if (target(c, d)) {
    auto answer = d->connectionWillSendRequestRedirectResponse(c, request, nullptr);
    if (answer) request = *answer;
    if (!request) {
      end();  // refused before it began: nothing follows
      return;
    }
    std::lock_guard<std::mutex> lock(mu);
    current = request;
  }
  if (cancelled.load()) {
    end();
    return;
  }
  const std::string& url = request->URL();
  if (isFileURLText(url)) {
    auto parsed = NSURL::URLWithString(url);
    std::string path = parsed && parsed->isFileURL() ? parsed->path() : "";
    if (path.empty() || path.find('\0') != std::string::npos) {
      fail(makeURLError(path.empty() ? NSURLErrorBadURL : NSURLErrorFileDoesNotExist, url));
      return;
    }
    auto self = shared_from_this();
    dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                   [self, path, url] { self->loadFile(path, url); });
    return;
  }
  ConnectionLoader::shared().start(shared_from_this(), request);
}

namespace {

constexpr size_t kFileChunk = 256 * 1024;

// Reads the next chunk of `fd` and hands it to the loop, which asks for the next one after
// delivering it: at most one chunk is in flight, however large the file.
void readFileChunk(const std::shared_ptr<NSURLConnection::State>& st, int fd,
                   const std::string& url) {
  if (st->cancelled.load()) {
    ::close(fd);
    st->end();
    return;
  }
  Data chunk = Data::uninitialized(kFileChunk);
  ssize_t n;
  do {
    n = ::read(fd, chunk.mutableBytes(), kFileChunk);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    ::close(fd);
    st->fail(makeURLError(NSURLErrorNoPermissionsToReadFile, url));
    return;
  }
  if (n == 0) {
    ::close(fd);
    st->finish();
    return;
  }
  chunk.setLength(static_cast<size_t>(n));
  st->postGuarded(
      [st, fd] {
        ::close(fd);
        st->end();
      },
      [st, fd, url, chunk = std::move(chunk)] {
        NSURLConnectionRef c;
        NSURLConnectionDelegateRef d;
        if (st->target(c, d)) d->connectionDidReceiveData(c, chunk);
        dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                       [st, fd, url] { readFileChunk(st, fd, url); });
      });
}

}  // namespace

// On a global queue: checks the file's type before opening it (a named pipe would block the
// open and every read), then delivers the response and the bytes.
void NSURLConnection::State::loadFile(const std::string& path, const std::string& url) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    fail(makeURLError(errno == EACCES ? NSURLErrorNoPermissionsToReadFile
                                      : NSURLErrorFileDoesNotExist,
                      url));
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    fail(makeURLError(NSURLErrorFileIsDirectory, url));
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    fail(makeURLError(NSURLErrorResourceUnavailable, url));
    return;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (fd >= 0) ::close(fd);
    fail(makeURLError(NSURLErrorNoPermissionsToReadFile, url));
    return;
  }
  auto dot = path.find_last_of("./");
  std::string extension =
      dot != std::string::npos && path[dot] == '.' ? path.substr(dot + 1) : std::string();
  auto response = std::make_shared<NSURLResponse>(
      url, MIMETypeForPathExtension(extension).value_or("application/octet-stream"),
      static_cast<int64_t>(info.st_size), "");
  auto self = shared_from_this();
  postGuarded(
      [self, fd] {
        ::close(fd);
        self->end();
      },
      [self, response, fd, url] {
        NSURLConnectionRef c;
        NSURLConnectionDelegateRef d;
        if (self->target(c, d)) d->connectionDidReceiveResponse(c, response);
        dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                       [self, fd, url] { readFileChunk(self, fd, url); });
      });
}

// ---- NSURLConnection -------------------------------------------------------------------------

NSURLConnection::~NSURLConnection() = default;

NSURLConnectionRef NSURLConnection::connectionWithRequestDelegate(
    const NSURLRequestRef& request, NSURLConnectionDelegateRef delegate) {
  return connectionWithRequestDelegateStartImmediately(request, std::move(delegate), true);
}

NSURLConnectionRef NSURLConnection::connectionWithRequestDelegateStartImmediately(
    const NSURLRequestRef& request, NSURLConnectionDelegateRef delegate, bool startImmediately) {
  if (!request) return nullptr;
  auto connection = std::shared_ptr<NSURLConnection>(new NSURLConnection());
  auto st = std::make_shared<State>();
  st->owner = connection;
  st->delegate = delegate;
  st->original = request->copy();
  st->current = st->original;
  connection->state_ = st;
  if (startImmediately) connection->start();
  return connection;
}

bool NSURLConnection::canHandleRequest(const NSURLRequestRef& request) {
  if (!request) return false;
  auto url = NSURL::URLWithString(request->URL());
  if (!url) return false;
  std::string scheme = url->scheme();
  for (auto& ch : scheme) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return scheme == "http" || scheme == "https" || (scheme == "file" && !url->path().empty());
}

void NSURLConnection::start() {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->started || state_->cancelled.load()) return;
    state_->started = true;
    state_->loop = RunLoop::current();
    state_->selfRef = std::static_pointer_cast<NSURLConnection>(shared_from_this());
  }
  auto st = state_;
  st->postGuarded(
      [st] {
        st->cancelled = true;  // never begun: nothing may start later
        st->end();
      },
      [st] { st->begin(); });
}

void NSURLConnection::cancel() {
  if (state_->cancelled.exchange(true)) return;
  NSURLSessionDataTaskRef task;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    task = state_->task;
  }
  if (task) task->cancel();
  // Keeps this object alive to the end of the call, should the load's own hold be the last.
  auto self = shared_from_this();
  state_->end();
}

NSURLRequestRef NSURLConnection::originalRequest() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->original;
}

NSURLRequestRef NSURLConnection::currentRequest() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->current;
}

NSURLConnectionDelegateRef NSURLConnection::delegate() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->delegate.lock();
}

}  // namespace plat
