// NSURLSession and its tasks: the public objects and the session's bookkeeping of its tasks.
// The transfers themselves run in the transfer engine (URLTransferEngine.cpp).

#include "platform/network/NSURLSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/network/URLSessionCore.h"

namespace plat {

using detail::TaskKind;
using detail::URLSessionCore;
using detail::URLTaskCore;

namespace {

std::mutex gHookMu;
NSURLSessionTask::StateHook gResumeHook;
NSURLSessionTask::StateHook gSuspendHook;

std::string addressOf(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

const char* stateName(NSURLSessionTaskState s) {
  switch (s) {
    case NSURLSessionTaskStateRunning:
      return "running";
    case NSURLSessionTaskStateSuspended:
      return "suspended";
    case NSURLSessionTaskStateCanceling:
      return "canceling";
    default:
      return "completed";
  }
}

}  // namespace

namespace detail {

template <class T>
std::shared_ptr<T> URLSessionCore::makeTask(TaskKind kind, const NSURLRequestRef& request) {
  auto core = std::make_shared<URLTaskCore>();
  std::shared_ptr<T> task;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (invalidated) return nullptr;
    core->session = shared_from_this();
    core->kind = kind;
    core->identifier = nextIdentifier++;
    core->original = request ? request->copy() : nullptr;
    core->current = core->original;
    task = newTaskObject<T>(core);
    core->owner = task;
    tasks.push_back(task);
  }
  return task;
}

void URLSessionCore::taskCompleted(const std::shared_ptr<URLTaskCore>& task, NSErrorRef error) {
  NSURLSessionTaskRef owner;
  std::function<void(const Data&)> resumeCompletion;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    if (task->reported) return;
    task->reported = true;
    task->state = NSURLSessionTaskStateCompleted;
    task->error = error;
    // Receive buffers kept for reuse are not needed any more (bytes still waiting for their
    // delivery stay).
    task->spareData = Data();
    if (task->pendingData.empty()) task->pendingData = Data();
    owner = task->owner.lock();
    resumeCompletion = std::move(task->resumeDataCompletion);
    task->decisionCv.notify_all();
  }
  auto self = shared_from_this();
  if (resumeCompletion) {
    Data resumeData;
    std::string path, validator, url;
    int64_t offset = 0;
    {
      std::lock_guard<std::mutex> lock(task->mu);
      path = task->resumePath;
      offset = task->resumeOffset;
      validator = task->resumeValidator;
      url = task->current ? task->current->URL() : "";
    }
    if (!path.empty() && offset > 0 && !validator.empty()) {
      Dictionary d;
      d.set("url", url);
      d.set("path", path);
      d.set("offset", Value(static_cast<long long>(offset)));
      d.set("validator", validator);
      resumeData = NSJSONSerialization::dataWithJSONObject(Value(d));
    } else if (!path.empty()) {
      unlink(path.c_str());
    }
    post([resumeCompletion, resumeData] { resumeCompletion(resumeData); });
  }
  if (delegateRef() && owner) {
    post([self, owner, error] {
      auto d = self->delegateRef();
      if (d) d->URLSessionTaskDidCompleteWithError(self->sessionRef(), owner, error);
    });
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    tasks.erase(std::remove(tasks.begin(), tasks.end(), owner), tasks.end());
    tasks.erase(
        std::remove_if(tasks.begin(), tasks.end(), [&](auto& x) { return x->core() == task; }),
        tasks.end());
  }
  checkInvalidation();
}

void URLSessionCore::checkInvalidation() {
  NSURLSessionRef session;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!invalidated || invalidationReported || !tasks.empty()) return;
    invalidationReported = true;
    session = selfRef;
  }
  auto self = shared_from_this();
  post([self, session] {
    NSURLSessionDelegateRef d;
    {
      std::lock_guard<std::mutex> lock(self->mu);
      d = self->delegate;
    }
    if (d) d->URLSessionDidBecomeInvalidWithError(session, nullptr);
    std::thread stopped;
    {
      std::lock_guard<std::mutex> lock(self->mu);
      self->delegate = nullptr;
      self->selfRef = nullptr;  // the session may go away now
      stopped = self->stopWorkerLocked();
    }
    // The worker ends on its own now, maybe after the session is gone.
    if (stopped.joinable())
      URLSessionCore::keepStoppedWorker(std::move(stopped), self->workerEnded);
  });
}

}  // namespace detail

// ---- NSURLSessionTask ------------------------------------------------------------------------

NSURLSessionTask::~NSURLSessionTask() = default;

std::string NSURLSessionTask::description() const {
  return "<" + className() + ": " + addressOf(this) +
         ">{ taskIdentifier: " + std::to_string(taskIdentifier()) + " } { " + stateName(state()) +
         " }";
}

uint64_t NSURLSessionTask::taskIdentifier() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->identifier;
}
std::string NSURLSessionTask::taskDescription() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->description;
}
void NSURLSessionTask::setTaskDescription(std::string description) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->description = std::move(description);
}
NSURLRequestRef NSURLSessionTask::originalRequest() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->original;
}
NSURLRequestRef NSURLSessionTask::currentRequest() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->current;
}
NSURLResponseRef NSURLSessionTask::response() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->response;
}
NSURLSessionTaskState NSURLSessionTask::state() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->state;
}
NSErrorRef NSURLSessionTask::error() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->error;
}
int64_t NSURLSessionTask::countOfBytesReceived() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->received;
}
int64_t NSURLSessionTask::countOfBytesSent() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->sent;
}
int64_t NSURLSessionTask::countOfBytesExpectedToSend() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->expectedToSend;
}
int64_t NSURLSessionTask::countOfBytesExpectedToReceive() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->expectedToReceive;
}

uint64_t NSURLSessionTask::addObserver(std::string keyPath, CounterObserver observer) {
  std::lock_guard<std::mutex> lock(core_->mu);
  uint64_t token = core_->nextObserverToken++;
  core_->observers.push_back(
      {token, std::move(keyPath), std::make_shared<CounterObserver>(std::move(observer))});
  return token;
}

void NSURLSessionTask::removeObserver(uint64_t token) {
  std::lock_guard<std::mutex> lock(core_->mu);
  auto& v = core_->observers;
  v.erase(std::remove_if(v.begin(), v.end(), [&](auto& o) { return o.token == token; }), v.end());
}

void NSURLSessionTask::resume() {
  NSURLSessionTaskState before;
  bool start = false, unpause = false;
  std::function<void()> heldAllow;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    before = core_->state;
    if (before == NSURLSessionTaskStateSuspended) {
      core_->state = NSURLSessionTaskStateRunning;
      start = !core_->started;
      unpause = core_->started;
      core_->started = true;
      heldAllow = std::move(core_->heldAllow);
      core_->heldAllow = nullptr;
    }
  }
  if (start || unpause) core_->session->startOrUnpause(core_, start);
  if (heldAllow) heldAllow();
  StateHook hook;
  {
    std::lock_guard<std::mutex> lock(gHookMu);
    hook = gResumeHook;
  }
  if (hook) hook(std::static_pointer_cast<NSURLSessionTask>(shared_from_this()), before);
}

void NSURLSessionTask::suspend() {
  NSURLSessionTaskState before;
  bool pause = false;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    before = core_->state;
    if (before == NSURLSessionTaskStateRunning) {
      core_->state = NSURLSessionTaskStateSuspended;
      pause = true;
    }
  }
  if (pause) core_->session->pause(core_);
  StateHook hook;
  {
    std::lock_guard<std::mutex> lock(gHookMu);
    hook = gSuspendHook;
  }
  if (hook) hook(std::static_pointer_cast<NSURLSessionTask>(shared_from_this()), before);
}

void NSURLSessionTask::cancel() {
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    if (core_->state != NSURLSessionTaskStateRunning &&
        core_->state != NSURLSessionTaskStateSuspended) {
      return;
    }
    core_->state = NSURLSessionTaskStateCanceling;
    core_->decisionCv.notify_all();
  }
  core_->session->cancel(core_, false);
}

void NSURLSessionTask::setResumeHook(StateHook hook) {
  std::lock_guard<std::mutex> lock(gHookMu);
  gResumeHook = std::move(hook);
}

void NSURLSessionTask::setSuspendHook(StateHook hook) {
  std::lock_guard<std::mutex> lock(gHookMu);
  gSuspendHook = std::move(hook);
}

void NSURLSessionDownloadTask::cancelByProducingResumeData(
    std::function<void(const Data& resumeData)> completion) {
  auto c = core();
  {
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->state != NSURLSessionTaskStateRunning && c->state != NSURLSessionTaskStateSuspended) {
      if (completion) c->session->post([completion] { completion(Data()); });
      return;
    }
    c->state = NSURLSessionTaskStateCanceling;
    c->resumeDataCompletion = completion ? std::move(completion) : [](const Data&) {};
    c->decisionCv.notify_all();
  }
  c->session->cancel(c, true);
}

// ---- NSURLSession ----------------------------------------------------------------------------

NSURLSession::~NSURLSession() = default;

NSURLSessionRef NSURLSession::sessionWithConfiguration(const NSURLSessionConfigurationRef& config) {
  return sessionWithConfigurationDelegateDelegateQueue(config, nullptr, nullptr);
}

NSURLSessionRef NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
    const NSURLSessionConfigurationRef& config, NSURLSessionDelegateRef delegate,
    NSOperationQueueRef delegateQueue) {
  auto session = std::shared_ptr<NSURLSession>(new NSURLSession());
  auto core = std::make_shared<URLSessionCore>();
  core->config = config ? config->copy() : NSURLSessionConfiguration::defaultSessionConfiguration();
  core->delegate = std::move(delegate);
  if (!delegateQueue) {
    delegateQueue = std::make_shared<NSOperationQueue>();
    delegateQueue->setMaxConcurrentOperationCount(1);
  }
  core->queue = std::move(delegateQueue);
  core->selfRef = session;
  core->weakSelf = session;
  session->core_ = core;
  return session;
}

std::string NSURLSession::description() const { return "<NSURLSession: " + addressOf(this) + ">"; }

NSURLSessionConfigurationRef NSURLSession::configuration() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->config->copy();
}

NSURLSessionDelegateRef NSURLSession::delegate() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->delegate;
}

const NSOperationQueueRef& NSURLSession::delegateQueue() const { return core_->queue; }

std::string NSURLSession::sessionDescription() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->sessionDescription;
}

void NSURLSession::setSessionDescription(std::string description) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->sessionDescription = std::move(description);
}

NSURLSessionDataTaskRef NSURLSession::dataTaskWithRequest(const NSURLRequestRef& request) {
  if (!request) return nullptr;
  auto task = core_->makeTask<NSURLSessionDataTask>(TaskKind::Data, request);
  if (task) {
    auto c = task->core();
    std::lock_guard<std::mutex> lock(c->mu);
    if (request->HTTPBody()) {
      c->expectedToSend = static_cast<int64_t>(request->HTTPBody()->length());
    } else if (request->HTTPBodyStream()) {
      auto cl = request->valueForHTTPHeaderField("Content-Length");
      c->expectedToSend = cl ? std::atoll(cl->c_str()) : NSURLSessionTransferSizeUnknown;
    }
  }
  return task;
}

NSURLSessionDataTaskRef NSURLSession::dataTaskWithURL(const std::string& url) {
  return dataTaskWithRequest(NSURLRequest::requestWithURL(url));
}

NSURLSessionUploadTaskRef NSURLSession::uploadTaskWithRequestFromFile(
    const NSURLRequestRef& request, const std::string& filePath) {
  if (!request) return nullptr;
  auto task = core_->makeTask<NSURLSessionUploadTask>(TaskKind::Upload, request);
  if (task) {
    auto c = task->core();
    struct stat st;
    std::lock_guard<std::mutex> lock(c->mu);
    c->uploadFile = filePath;
    // A path holding a NUL names no file (the engine refuses it); stat would read a shorter one.
    c->expectedToSend =
        isValidFilePath(filePath) && ::stat(filePath.c_str(), &st) == 0 ? st.st_size : 0;
  }
  return task;
}

NSURLSessionUploadTaskRef NSURLSession::uploadTaskWithRequestFromData(
    const NSURLRequestRef& request, const Data& body) {
  if (!request) return nullptr;
  auto task = core_->makeTask<NSURLSessionUploadTask>(TaskKind::Upload, request);
  if (task) {
    auto c = task->core();
    std::lock_guard<std::mutex> lock(c->mu);
    c->uploadData = body;
    c->expectedToSend = static_cast<int64_t>(body.length());
  }
  return task;
}

NSURLSessionUploadTaskRef NSURLSession::uploadTaskWithStreamedRequest(
    const NSURLRequestRef& request) {
  if (!request) return nullptr;
  auto task = core_->makeTask<NSURLSessionUploadTask>(TaskKind::Upload, request);
  if (task) {
    auto c = task->core();
    std::lock_guard<std::mutex> lock(c->mu);
    if (request->HTTPBodyStream()) {
      auto cl = request->valueForHTTPHeaderField("Content-Length");
      c->expectedToSend = cl ? std::atoll(cl->c_str()) : NSURLSessionTransferSizeUnknown;
    } else {
      c->uploadData = request->HTTPBody().value_or(Data());
      c->expectedToSend = static_cast<int64_t>(c->uploadData->length());
    }
  }
  return task;
}

NSURLSessionDownloadTaskRef NSURLSession::downloadTaskWithRequest(const NSURLRequestRef& request) {
  if (!request) return nullptr;
  return core_->makeTask<NSURLSessionDownloadTask>(TaskKind::Download, request);
}

NSURLSessionDownloadTaskRef NSURLSession::downloadTaskWithResumeData(const Data& resumeData) {
  Value v = NSJSONSerialization::JSONObjectWithData(resumeData);
  auto url = v["url"].string();
  auto path = v["path"].string();
  auto validator = v["validator"].string();
  int64_t offset = v["offset"].integerValue();
  // The validator goes out as If-Range: one that would split the header is refused.
  if (!url || !path || !validator || offset <= 0 || !isSafeHeaderLine("If-Range", *validator) ||
      !detail::isPartialDownloadFile(*path, offset)) {
    return nullptr;
  }
  auto task = core_->makeTask<NSURLSessionDownloadTask>(TaskKind::Download,
                                                        NSURLRequest::requestWithURL(*url));
  if (task) {
    // The partial file goes to the first task made from it; another one resumes from a copy
    // of it, or starts over when no copy can be made.
    std::string partial = *path;
    if (!detail::claimPartialDownload(partial)) {
      partial = detail::copyPartialDownload(partial, offset);
      if (!partial.empty() && !detail::claimPartialDownload(partial)) partial.clear();
    }
    auto c = task->core();
    std::lock_guard<std::mutex> lock(c->mu);
    if (!partial.empty()) {
      c->claimedPartial = partial;
      c->partialIsCopy = partial != *path;
      c->resumePath = partial;
      c->resumeOffset = offset;
      c->resumeValidator = *validator;
    }
  }
  return task;
}

void NSURLSession::getTasksWithCompletionHandler(
    std::function<void(std::vector<NSURLSessionDataTaskRef>, std::vector<NSURLSessionUploadTaskRef>,
                       std::vector<NSURLSessionDownloadTaskRef>)>
        completion) {
  if (!completion) return;
  std::vector<NSURLSessionDataTaskRef> data;
  std::vector<NSURLSessionUploadTaskRef> upload;
  std::vector<NSURLSessionDownloadTaskRef> download;
  getTasksNow(&data, &upload, &download);
  core_->post([completion, data, upload, download] { completion(data, upload, download); });
}

void NSURLSession::getTasksNow(std::vector<NSURLSessionDataTaskRef>* data,
                               std::vector<NSURLSessionUploadTaskRef>* upload,
                               std::vector<NSURLSessionDownloadTaskRef>* download) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  for (auto& t : core_->tasks) {
    if (t->state() == NSURLSessionTaskStateCompleted) continue;
    if (auto u = std::dynamic_pointer_cast<NSURLSessionUploadTask>(t)) {
      upload->push_back(u);
    } else if (auto d = std::dynamic_pointer_cast<NSURLSessionDataTask>(t)) {
      data->push_back(d);
    } else if (auto dl = std::dynamic_pointer_cast<NSURLSessionDownloadTask>(t)) {
      download->push_back(dl);
    }
  }
}

bool NSURLSession::isOnTransferThread() const { return core_->isTransferThread(); }

void NSURLSession::finishTasksAndInvalidate() {
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    if (core_->invalidated) return;
    core_->invalidated = true;
  }
  core_->checkInvalidation();
}

void NSURLSession::invalidateAndCancel() {
  std::vector<NSURLSessionTaskRef> tasks;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    if (core_->invalidated) return;
    core_->invalidated = true;
    tasks = core_->tasks;
  }
  for (auto& t : tasks) t->cancel();
  core_->checkInvalidation();
}

}  // namespace plat
