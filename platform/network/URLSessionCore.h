#pragma once
// Internal to plat_network: the state behind NSURLSession and its tasks, shared by the
// session's files. Not part of the public interface.

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/network/NSURLSession.h"
#include "platform/network/URLCredentialStore.h"

namespace plat::detail {

struct Transfer;

// The most body bytes of a data task that wait for the delegate queue: past them the transfer
// stops reading until a delivery takes them, so that memory follows what the delegate takes,
// not what the peer sends.
inline constexpr size_t kMaxPendingDeliveryBytes = size_t{4} << 20;

enum class TaskKind { Data, Upload, Download };

struct URLTaskCore {
  std::mutex mu;  // guards everything below unless marked otherwise
  std::shared_ptr<URLSessionCore> session;
  std::weak_ptr<NSURLSessionTask> owner;
  TaskKind kind = TaskKind::Data;
  uint64_t identifier = 0;
  std::string description;
  NSURLRequestRef original;
  NSURLRequestRef current;
  NSURLResponseRef response;
  NSURLSessionTaskState state = NSURLSessionTaskStateSuspended;
  NSErrorRef error;
  int64_t received = 0;
  int64_t sent = 0;
  int64_t expectedToSend = 0;
  int64_t expectedToReceive = NSURLSessionTransferSizeUnknown;
  bool started = false;
  bool reported = false;  // the completion has been handed to the delegate queue

  // Body of an upload (or of a data task's request).
  std::optional<Data> uploadData;
  std::optional<std::string> uploadFile;

  // Download resumed from resume data.
  std::string resumePath;
  int64_t resumeOffset = 0;
  // The partial file this task holds for itself (released when it ends or goes away).
  std::string claimedPartial;
  bool partialIsCopy = false;  // made for this task: removed when the task never ran
  std::string resumeValidator;
  std::function<void(const Data&)> resumeDataCompletion;

  // Counter observers.
  struct Observer {
    uint64_t token;
    std::string keyPath;
    std::shared_ptr<NSURLSessionTask::CounterObserver> fn;
  };
  std::vector<Observer> observers;
  uint64_t nextObserverToken = 1;

  // Coalesced deliveries to the delegate queue.
  Data pendingData;
  Data spareData;  // an empty buffer a delivery handed back, for the bytes after the next one
  bool dataDeliveryScheduled = false;
  // Bytes a delivery handed on that their consumer has not taken yet (a delegate of the
  // platform that passes them on asynchronously counts them): they wait like pendingData.
  int64_t bytesAwaitingConsumer = 0;
  // Body bytes in the delegate's hands during a delivery: they count as waiting until it
  // returns, when any it handed on are counted in bytesAwaitingConsumer.
  int64_t bytesInDelivery = 0;
  // The transfer stopped reading with kMaxPendingDeliveryBytes waiting; what takes them lets it
  // read on.
  bool pausedForDelivery = false;
  int64_t sentReported = 0;
  bool sendReportScheduled = false;
  int64_t writtenReported = 0;
  bool writeReportScheduled = false;

  // The delegate's allow of a response that came while the task was suspended: the body and
  // the completion it would release wait for the task's resume.
  std::function<void()> heldAllow;

  // A decision the transfer thread is blocked on (trust, new body stream).
  std::condition_variable decisionCv;

  // Worker-thread only.
  std::shared_ptr<Transfer> transfer;
  // HTTP authentication: the challenges answered and the credential last sent.
  TaskAuthentication auth;

  ~URLTaskCore();
  NSURLSessionTaskRef ownerRef() { return owner.lock(); }
  // Lets go of claimedPartial. REQUIRES: mu held.
  void releaseClaimLocked();
  // Calls the observers of `keyPath` with `value` (caller must not hold mu).
  void notifyCounter(const char* keyPath, int64_t value);
};

struct URLSessionCore : std::enable_shared_from_this<URLSessionCore> {
  std::mutex mu;
  NSURLSessionConfigurationRef config;
  NSURLSessionDelegateRef delegate;
  NSOperationQueueRef queue;
  std::string sessionDescription;
  NSURLSessionRef selfRef;  // held until the delegate is told of invalidation
  std::weak_ptr<NSURLSession> weakSelf;
  std::vector<NSURLSessionTaskRef> tasks;  // not yet completed, creation order
  uint64_t nextIdentifier = 1;
  bool invalidated = false;
  bool invalidationReported = false;
  // Responses are cached in NSURLCache::sharedURLCache() as it is when each request starts,
  // instead of the configuration's cache (the connections' session). Set before any task.
  bool usesSharedURLCache = false;
  // The credentials kept for this session's later tasks (thread-safe on its own).
  URLCredentialStore credentials;

  // Transfer thread.
  std::thread worker;  // handed to the stopped-thread joiner once the session stops it
  std::shared_ptr<std::atomic<bool>> workerEnded;  // set by the worker as its last step
  bool workerRunning = false;
  bool workerStop = false;
  std::vector<std::function<void()>> commands;
  // The worker is (about to be) asleep in curl_multi_poll: commands must wake it. While it
  // runs, it takes queued commands before it sleeps again, so enqueue skips the wake-up.
  bool workerPolling = false;
  CURLM* multi = nullptr;  // worker-only after start
  // Blocks posted on the transfer thread and not yet handed to the delegate queue. Lock order:
  // a task's mu, then outboxMu, then the delegate queue's locks.
  std::mutex outboxMu;
  std::vector<std::function<void()>> outbox;

  ~URLSessionCore();

  // Makes and registers a task (null once invalidated).
  template <class T>
  std::shared_ptr<T> makeTask(TaskKind kind, const NSURLRequestRef& request);

  // The public object of a task core (the task classes admit only the session core).
  template <class T>
  static std::shared_ptr<T> newTaskObject(std::shared_ptr<URLTaskCore> core) {
    return std::shared_ptr<T>(new T(std::move(core)));
  }

  // Runs `command` on the transfer thread (starting it when needed). Without `wake`, a
  // running thread takes the command at its next wake-up (for bookkeeping that nothing waits
  // on; invalidation and every transfer event wake it).
  void enqueue(std::function<void()> command, bool wake = true);
  // Posts `block` to the delegate queue. Blocks posted on the transfer thread are held until
  // the end of its turn (flushPosts), so that the events of one turn reach the queue together
  // and wake it once; blocks posted elsewhere go out at once, after any held ones, so that
  // the order of all posts is kept.
  void post(std::function<void()> block);
  // Posts `block` at once (after the held ones), also on the transfer thread.
  void postNow(std::function<void()> block);
  // Hands the held blocks to the delegate queue (transfer thread; before it sleeps or waits).
  void flushPosts();
  NSURLSessionRef sessionRef();
  // The delegate (null once released after invalidation).
  NSURLSessionDelegateRef delegateRef() {
    std::lock_guard<std::mutex> lock(mu);
    return delegate;
  }

  // Called on the worker when a task ended.
  void taskCompleted(const std::shared_ptr<URLTaskCore>& task, NSErrorRef error);
  void checkInvalidation();
  void workerLoop();
  // Whether the caller runs on this session's transfer thread.
  bool isTransferThread() const;

  // Tells the transfer thread to end once its queued commands have run, and hands it over to
  // be joined through keepStoppedWorker (an empty thread when it never started).
  // REQUIRES: mu held.
  std::thread stopWorkerLocked();
  // Joins `worker`, which sets `ended` as its last step, once it has ended (or at exit): the
  // thread may outlive its session.
  static void keepStoppedWorker(std::thread worker, std::shared_ptr<std::atomic<bool>> ended);

  // Task operations (any thread).
  void startOrUnpause(const std::shared_ptr<URLTaskCore>& task, bool start);
  void pause(const std::shared_ptr<URLTaskCore>& task);
  void cancel(const std::shared_ptr<URLTaskCore>& task, bool produceResumeData);
};

// Counts `n` body bytes of `task` that a delegate handed on to a consumer which has not taken
// them yet (n > 0), or that it has taken (n < 0): the transfer does not read on while they and
// the bytes waiting for the delegate reach kMaxPendingDeliveryBytes. Any thread.
void countBytesAwaitingConsumer(const std::shared_ptr<URLTaskCore>& task, int64_t n);

// Whether `path` is a partial download the engine made (a regular file of `size` bytes, not a
// link, named as the engine names them in the download directory).
bool isPartialDownloadFile(const std::string& path, int64_t size);

// Partial files are appended to by one task at a time: resume data can be used twice.
// Claims `path` for one task; false when another task holds it.
bool claimPartialDownload(const std::string& path);
void releasePartialDownload(const std::string& path);
// A new partial file holding the first `length` bytes of `path`; empty when it cannot be made.
std::string copyPartialDownload(const std::string& path, int64_t length);

}  // namespace plat::detail
