#include "net/SDPURLSessionManager.h"

#include <cstdio>
#include <cstdlib>

#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPNetworkingPrivate.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

plat::DispatchQueueRef SDPSharedSerializationQueue() {
  static auto* queue = new plat::DispatchQueueRef(plat::dispatch_queue_create(
      "com.sdpkit.networking.session.manager.processing", plat::DISPATCH_QUEUE_CONCURRENT));
  return *queue;
}

plat::DispatchGroupRef SDPSharedCompletionGroup() {
  static auto* group = new plat::DispatchGroupRef(plat::dispatch_group_create());
  return *group;
}

plat::DispatchQueueRef SDPSharedTaskCreationQueue() {
  static auto* queue = new plat::DispatchQueueRef(plat::dispatch_queue_create(
      "com.sdpkit.networking.session.manager.creation", plat::DISPATCH_QUEUE_SERIAL));
  return *queue;
}

namespace {

// Makes every task resume/suspend post the internal notifications the managers listen to.
// The platform offers process-wide hooks on its task class for this.
void installTaskStateHooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    plat::NSURLSessionTask::setResumeHook(
        [](const plat::NSURLSessionTaskRef& task, plat::NSURLSessionTaskState before) {
          if (before != plat::NSURLSessionTaskStateRunning) {
            plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(
                SDPNSURLSessionTaskDidResumeNotification, plat::Value(task));
          }
        });
    plat::NSURLSessionTask::setSuspendHook(
        [](const plat::NSURLSessionTaskRef& task, plat::NSURLSessionTaskState before) {
          if (before != plat::NSURLSessionTaskStateSuspended) {
            plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(
                SDPNSURLSessionTaskDidSuspendNotification, plat::Value(task));
          }
        });
  });
}

template <class T>
std::vector<plat::NSURLSessionTaskRef> asTasks(const std::vector<std::shared_ptr<T>>& list) {
  return std::vector<plat::NSURLSessionTaskRef>(list.begin(), list.end());
}

}  // namespace

std::shared_ptr<SDPURLSessionManager> SDPURLSessionManager::initWithSessionConfiguration(
    const plat::NSURLSessionConfigurationRef& configuration) {
  std::shared_ptr<SDPURLSessionManager> manager(new SDPURLSessionManager());
  manager->setUpWithSessionConfiguration(configuration);
  return manager;
}

void SDPURLSessionManager::setUpWithSessionConfiguration(
    const plat::NSURLSessionConfigurationRef& configuration) {
  installTaskStateHooks();
  configuration_ = configuration ? configuration
                                 : plat::NSURLSessionConfiguration::defaultSessionConfiguration();
  operationQueue_ = std::make_shared<plat::NSOperationQueue>();
  operationQueue_->setMaxConcurrentOperationCount(1);
  taskDescription_ = plat::format("%p", static_cast<const void*>(this));
  responseSerializer_ = SDPJSONResponseSerializer::serializer();
  securityPolicy_ = SDPSecurityPolicy::defaultPolicy();
  reachabilityManager_ = SDPNetworkReachabilityManager::sharedManager();

  auto self = std::static_pointer_cast<SDPURLSessionManager>(shared_from_this());
  plat::NSURLSessionDelegateRef delegate(self, static_cast<plat::NSURLSessionDelegate*>(this));
  session_ = plat::NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      configuration_, std::move(delegate), operationQueue_);

  // Tasks the session already has get records without blocks.
  std::weak_ptr<SDPURLSessionManager> weak = self;
  session_->getTasksWithCompletionHandler(
      [weak](std::vector<plat::NSURLSessionDataTaskRef> data,
             std::vector<plat::NSURLSessionUploadTaskRef> upload,
             std::vector<plat::NSURLSessionDownloadTaskRef> download) {
        auto manager = weak.lock();
        if (!manager) return;
        for (const auto& task : data) {
          if (!manager->delegateForTask(task))
            manager->addDelegateForDataTask(task, nullptr, nullptr, nullptr);
        }
        for (const auto& task : upload) {
          if (!manager->delegateForTask(task))
            manager->addDelegateForUploadTask(task, nullptr, nullptr);
        }
        for (const auto& task : download) {
          if (!manager->delegateForTask(task)) {
            manager->addDelegateForDownloadTask(task, nullptr, nullptr, nullptr);
          }
        }
      });
}

SDPURLSessionManager::~SDPURLSessionManager() {
  std::lock_guard<std::mutex> lock(lock_);
  for (auto& [id, record] : delegates_) {
    for (auto& token : record->notificationTokens()) {
      plat::NSNotificationCenter::defaultCenter().removeObserver(token);
    }
  }
}

std::string SDPURLSessionManager::description() const {
  return plat::format("<%@: %p, session: %@, operationQueue: %@>", className(),
                      static_cast<const void*>(this), plat::Value(session_),
                      plat::Value(operationQueue_));
}

SDPURLResponseSerializationRef SDPURLSessionManager::responseSerializer() const {
  std::lock_guard<std::mutex> lock(settingsMu_);
  return responseSerializer_;
}
void SDPURLSessionManager::setResponseSerializer(SDPURLResponseSerializationRef serializer) {
  std::lock_guard<std::mutex> lock(settingsMu_);
  responseSerializer_ = std::move(serializer);
}
std::shared_ptr<SDPSecurityPolicy> SDPURLSessionManager::securityPolicy() const {
  std::lock_guard<std::mutex> lock(settingsMu_);
  return securityPolicy_;
}
void SDPURLSessionManager::setSecurityPolicy(std::shared_ptr<SDPSecurityPolicy> policy) {
  std::lock_guard<std::mutex> lock(settingsMu_);
  securityPolicy_ = std::move(policy);
}
plat::DispatchQueueRef SDPURLSessionManager::completionQueue() const {
  std::lock_guard<std::mutex> lock(settingsMu_);
  return completionQueue_;
}
void SDPURLSessionManager::setCompletionQueue(plat::DispatchQueueRef queue) {
  std::lock_guard<std::mutex> lock(settingsMu_);
  completionQueue_ = std::move(queue);
}
plat::DispatchGroupRef SDPURLSessionManager::completionGroup() const {
  std::lock_guard<std::mutex> lock(settingsMu_);
  return completionGroup_;
}
void SDPURLSessionManager::setCompletionGroup(plat::DispatchGroupRef group) {
  std::lock_guard<std::mutex> lock(settingsMu_);
  completionGroup_ = std::move(group);
}

// ---- Delegate map -------------------------------------------------------------------------

std::shared_ptr<SDPURLSessionManagerTaskDelegate> SDPURLSessionManager::delegateForTask(
    const plat::NSURLSessionTaskRef& task) const {
  if (!task) return nullptr;
  std::lock_guard<std::mutex> lock(lock_);
  auto it = delegates_.find(task->taskIdentifier());
  return it == delegates_.end() ? nullptr : it->second;
}

void SDPURLSessionManager::setDelegateForTask(
    std::shared_ptr<SDPURLSessionManagerTaskDelegate> delegate,
    const plat::NSURLSessionTaskRef& task) {
  std::lock_guard<std::mutex> lock(lock_);
  delegate->setupProgressForTask(task);
  // Resume and suspend of this task reach this manager, which posts its own notifications
  // for tasks it made (recognised by their task description).
  std::weak_ptr<SDPURLSessionManager> weak =
      std::static_pointer_cast<SDPURLSessionManager>(shared_from_this());
  auto relay = [weak](const char* name) {
    return [weak, name](const plat::NSNotification& note) {
      auto self = weak.lock();
      auto task = note.object.objectAs<plat::NSURLSessionTask>();
      if (!self || !task || task->taskDescription() != self->taskDescriptionForSessionTasks())
        return;
      plat::dispatch_async(plat::dispatch_get_main_queue(), [name, task] {
        plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(name,
                                                                               plat::Value(task));
      });
    };
  };
  auto& center = plat::NSNotificationCenter::defaultCenter();
  delegate->notificationTokens().push_back(center.addObserverForNameObjectQueueUsingBlock(
      SDPNSURLSessionTaskDidResumeNotification, plat::Value(task), nullptr,
      relay(SDPNetworkingTaskDidResumeNotification)));
  delegate->notificationTokens().push_back(center.addObserverForNameObjectQueueUsingBlock(
      SDPNSURLSessionTaskDidSuspendNotification, plat::Value(task), nullptr,
      relay(SDPNetworkingTaskDidSuspendNotification)));
  delegates_[task->taskIdentifier()] = std::move(delegate);
}

void SDPURLSessionManager::removeDelegateForTask(const plat::NSURLSessionTaskRef& task) {
  auto delegate = delegateForTask(task);
  if (!delegate) return;
  std::lock_guard<std::mutex> lock(lock_);
  delegate->cleanUpProgressForTask(task);
  for (auto& token : delegate->notificationTokens()) {
    plat::NSNotificationCenter::defaultCenter().removeObserver(token);
  }
  delegate->notificationTokens().clear();
  delegates_.erase(task->taskIdentifier());
}

void SDPURLSessionManager::addDelegateForDataTask(const plat::NSURLSessionTaskRef& task,
                                                  ProgressBlock uploadProgress,
                                                  ProgressBlock downloadProgress,
                                                  CompletionHandler completionHandler) {
  auto delegate = std::make_shared<SDPURLSessionManagerTaskDelegate>();
  delegate->manager = std::static_pointer_cast<SDPURLSessionManager>(shared_from_this());
  delegate->completionHandler = std::move(completionHandler);
  task->setTaskDescription(taskDescription_);
  delegate->uploadProgressBlock = std::move(uploadProgress);
  delegate->downloadProgressBlock = std::move(downloadProgress);
  setDelegateForTask(std::move(delegate), task);
}

void SDPURLSessionManager::addDelegateForUploadTask(const plat::NSURLSessionTaskRef& task,
                                                    ProgressBlock progress,
                                                    CompletionHandler completionHandler) {
  auto delegate = std::make_shared<SDPURLSessionManagerTaskDelegate>();
  delegate->manager = std::static_pointer_cast<SDPURLSessionManager>(shared_from_this());
  delegate->completionHandler = std::move(completionHandler);
  task->setTaskDescription(taskDescription_);
  delegate->uploadProgressBlock = std::move(progress);
  setDelegateForTask(std::move(delegate), task);
}

void SDPURLSessionManager::addDelegateForDownloadTask(const plat::NSURLSessionTaskRef& task,
                                                      ProgressBlock progress,
                                                      DestinationBlock destination,
                                                      CompletionHandler completionHandler) {
  auto delegate = std::make_shared<SDPURLSessionManagerTaskDelegate>();
  delegate->manager = std::static_pointer_cast<SDPURLSessionManager>(shared_from_this());
  delegate->completionHandler = std::move(completionHandler);
  if (destination) {
    delegate->downloadTaskDidFinishDownloading =
        [destination](const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef& task,
                      const std::string& location) {
          return destination(location, task->response());
        };
  }
  task->setTaskDescription(taskDescription_);
  delegate->downloadProgressBlock = std::move(progress);
  setDelegateForTask(std::move(delegate), task);
}

plat::NSProgressRef SDPURLSessionManager::uploadProgressForTask(
    const plat::NSURLSessionTaskRef& task) const {
  auto delegate = delegateForTask(task);
  return delegate ? delegate->uploadProgress() : nullptr;
}

plat::NSProgressRef SDPURLSessionManager::downloadProgressForTask(
    const plat::NSURLSessionTaskRef& task) const {
  auto delegate = delegateForTask(task);
  return delegate ? delegate->downloadProgress() : nullptr;
}

// ---- Task creation ------------------------------------------------------------------------

plat::NSURLSessionDataTaskRef SDPURLSessionManager::dataTaskWithRequestCompletionHandler(
    const plat::NSURLRequestRef& request, CompletionHandler completionHandler) {
  return dataTaskWithRequestUploadProgressDownloadProgressCompletionHandler(
      request, nullptr, nullptr, std::move(completionHandler));
}

plat::NSURLSessionDataTaskRef
SDPURLSessionManager::dataTaskWithRequestUploadProgressDownloadProgressCompletionHandler(
    const plat::NSURLRequestRef& request, ProgressBlock uploadProgress,
    ProgressBlock downloadProgress, CompletionHandler completionHandler) {
  auto task = session_->dataTaskWithRequest(request);
  if (!task) return nullptr;
  addDelegateForDataTask(task, std::move(uploadProgress), std::move(downloadProgress),
                         std::move(completionHandler));
  return task;
}

plat::NSURLSessionUploadTaskRef
SDPURLSessionManager::uploadTaskWithRequestFromFileProgressCompletionHandler(
    const plat::NSURLRequestRef& request, const std::string& filePath, ProgressBlock progress,
    CompletionHandler completionHandler) {
  auto task = session_->uploadTaskWithRequestFromFile(request, filePath);
  if (!task && recreateUploads_ && !configuration_->identifier().empty()) {
    for (int attempt = 0; attempt < 3 && !task; ++attempt) {
      task = session_->uploadTaskWithRequestFromFile(request, filePath);
    }
  }
  if (!task) return nullptr;
  addDelegateForUploadTask(task, std::move(progress), std::move(completionHandler));
  return task;
}

plat::NSURLSessionUploadTaskRef
SDPURLSessionManager::uploadTaskWithRequestFromDataProgressCompletionHandler(
    const plat::NSURLRequestRef& request, const plat::Data& body, ProgressBlock progress,
    CompletionHandler completionHandler) {
  auto task = session_->uploadTaskWithRequestFromData(request, body);
  if (!task) return nullptr;
  addDelegateForUploadTask(task, std::move(progress), std::move(completionHandler));
  return task;
}

plat::NSURLSessionUploadTaskRef
SDPURLSessionManager::uploadTaskWithStreamedRequestProgressCompletionHandler(
    const plat::NSURLRequestRef& request, ProgressBlock progress,
    CompletionHandler completionHandler) {
  auto task = session_->uploadTaskWithStreamedRequest(request);
  if (!task) return nullptr;
  addDelegateForUploadTask(task, std::move(progress), std::move(completionHandler));
  return task;
}

plat::NSURLSessionDownloadTaskRef
SDPURLSessionManager::downloadTaskWithRequestProgressDestinationCompletionHandler(
    const plat::NSURLRequestRef& request, ProgressBlock progress, DestinationBlock destination,
    CompletionHandler completionHandler) {
  auto task = session_->downloadTaskWithRequest(request);
  if (!task) return nullptr;
  addDelegateForDownloadTask(task, std::move(progress), std::move(destination),
                             std::move(completionHandler));
  return task;
}

plat::NSURLSessionDownloadTaskRef
SDPURLSessionManager::downloadTaskWithResumeDataProgressDestinationCompletionHandler(
    const plat::Data& resumeData, ProgressBlock progress, DestinationBlock destination,
    CompletionHandler completionHandler) {
  auto task = session_->downloadTaskWithResumeData(resumeData);
  if (!task) return nullptr;
  addDelegateForDownloadTask(task, std::move(progress), std::move(destination),
                             std::move(completionHandler));
  return task;
}

// ---- Task lists and invalidation ----------------------------------------------------------

std::vector<plat::NSURLSessionTaskRef> SDPURLSessionManager::tasksForKeyPath(
    const std::string& keyPath) const {
  if (operationQueue_->isCurrent()) {
    SDPNetworkingLog("SDPURLSessionManager: task lists cannot be read on the delegate queue");
    return {};
  }
  std::vector<plat::NSURLSessionTaskRef> result;
  auto pick = [&result, &keyPath](std::vector<plat::NSURLSessionDataTaskRef> data,
                                  std::vector<plat::NSURLSessionUploadTaskRef> upload,
                                  std::vector<plat::NSURLSessionDownloadTaskRef> download) {
    if (keyPath == "dataTasks") {
      result = asTasks(data);
    } else if (keyPath == "uploadTasks") {
      result = asTasks(upload);
    } else if (keyPath == "downloadTasks") {
      result = asTasks(download);
    } else if (keyPath == "tasks") {
      result = asTasks(data);
      for (auto& t : upload) result.push_back(t);
      for (auto& t : download) result.push_back(t);
    }
  };
  if (session_->isOnTransferThread()) {
    // A progress block runs on the transfer thread, which posts the asynchronous answer
    // itself: waiting for it there would never end, so the lists are read at once.
    std::vector<plat::NSURLSessionDataTaskRef> data;
    std::vector<plat::NSURLSessionUploadTaskRef> upload;
    std::vector<plat::NSURLSessionDownloadTaskRef> download;
    session_->getTasksNow(&data, &upload, &download);
    pick(std::move(data), std::move(upload), std::move(download));
    return result;
  }
  auto semaphore = plat::dispatch_semaphore_create(0);
  session_->getTasksWithCompletionHandler(
      [&pick, semaphore](std::vector<plat::NSURLSessionDataTaskRef> data,
                         std::vector<plat::NSURLSessionUploadTaskRef> upload,
                         std::vector<plat::NSURLSessionDownloadTaskRef> download) {
        pick(std::move(data), std::move(upload), std::move(download));
        plat::dispatch_semaphore_signal(semaphore);
      });
  plat::dispatch_semaphore_wait(semaphore, plat::DISPATCH_TIME_FOREVER);
  return result;
}

std::vector<plat::NSURLSessionTaskRef> SDPURLSessionManager::tasks() const {
  return tasksForKeyPath("tasks");
}
std::vector<plat::NSURLSessionTaskRef> SDPURLSessionManager::dataTasks() const {
  return tasksForKeyPath("dataTasks");
}
std::vector<plat::NSURLSessionTaskRef> SDPURLSessionManager::uploadTasks() const {
  return tasksForKeyPath("uploadTasks");
}
std::vector<plat::NSURLSessionTaskRef> SDPURLSessionManager::downloadTasks() const {
  return tasksForKeyPath("downloadTasks");
}

void SDPURLSessionManager::invalidateSessionCancelingTasks(bool cancelPendingTasks) {
  auto session = session_;
  plat::dispatch_async(plat::dispatch_get_main_queue(), [session, cancelPendingTasks] {
    if (cancelPendingTasks) {
      session->invalidateAndCancel();
    } else {
      session->finishTasksAndInvalidate();
    }
  });
}

std::shared_ptr<SDPURLSessionManager> SDPURLSessionManager::makeInstance() const {
  return std::shared_ptr<SDPURLSessionManager>(new SDPURLSessionManager());
}

void SDPURLSessionManager::setUpAsCopyOf(const SDPURLSessionManager& original) {
  setUpWithSessionConfiguration(original.session_->configuration());
}

bool SDPURLSessionManager::registerCodingClass() {
  plat::NSCodingClasses::registerClass("SDPURLSessionManager", [] {
    return std::static_pointer_cast<plat::Object>(
        std::shared_ptr<SDPURLSessionManager>(new SDPURLSessionManager()));
  });
  return true;
}

namespace {
const bool kManagerCodingRegistered = SDPURLSessionManager::registerCodingClass();
}  // namespace

void SDPURLSessionManager::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  coder.encodeObjectForKey(plat::Value(session_->configuration()), "sessionConfiguration");
}

bool SDPURLSessionManager::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kManagerCodingRegistered;
  if (session_) return false;  // already set up: not a fresh instance
  setUpWithSessionConfiguration(
      coder.decodeObjectForKey("sessionConfiguration").objectAs<plat::NSURLSessionConfiguration>());
  return true;
}

std::shared_ptr<SDPURLSessionManager> SDPURLSessionManager::copyWithZone() const {
  auto copy = makeInstance();
  copy->setUpAsCopyOf(*this);
  return copy;
}

// ---- Session delegate ---------------------------------------------------------------------

void SDPURLSessionManager::URLSessionDidBecomeInvalidWithError(const plat::NSURLSessionRef& session,
                                                               const plat::NSErrorRef& error) {
  if (sessionDidBecomeInvalid_) sessionDidBecomeInvalid_(session, error);
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(
      SDPURLSessionDidInvalidateNotification, plat::Value(session));
}

void SDPURLSessionManager::URLSessionDidFinishEventsForBackgroundURLSession(
    const plat::NSURLSessionRef& session) {
  if (!didFinishEventsForBackgroundURLSession_) return;
  auto block = didFinishEventsForBackgroundURLSession_;
  plat::dispatch_async(plat::dispatch_get_main_queue(), [block, session] { block(session); });
}

plat::NSURLSessionAuthChallengeDisposition SDPURLSessionManager::evaluateChallenge(
    const plat::NSURLAuthenticationChallengeRef& challenge, plat::NSURLCredentialRef* credential,
    bool taskLevel) const {
  const auto& space = challenge->protectionSpace();
  if (!space || space->authenticationMethod() != plat::NSURLAuthenticationMethodServerTrust) {
    return plat::NSURLSessionAuthChallengePerformDefaultHandling;
  }
  auto policy = securityPolicy();
  if (!policy || !policy->evaluateServerTrustForDomain(space->serverTrust(), space->host())) {
    return plat::NSURLSessionAuthChallengeRejectProtectionSpace;
  }
  *credential = plat::NSURLCredential::credentialForTrust(space->serverTrust());
  if (taskLevel || *credential) return plat::NSURLSessionAuthChallengeUseCredential;
  return plat::NSURLSessionAuthChallengePerformDefaultHandling;
}

bool SDPURLSessionManager::URLSessionDidReceiveChallengeCompletionHandler(
    const plat::NSURLSessionRef& session, const plat::NSURLAuthenticationChallengeRef& challenge,
    ChallengeCompletion completion) {
  plat::NSURLCredentialRef credential;
  plat::NSURLSessionAuthChallengeDisposition disposition;
  if (sessionDidReceiveAuthenticationChallenge_) {
    disposition = sessionDidReceiveAuthenticationChallenge_(session, challenge, &credential);
  } else {
    disposition = evaluateChallenge(challenge, &credential, false);
  }
  if (completion) completion(disposition, credential);
  return true;
}

bool SDPURLSessionManager::URLSessionTaskDidReceiveChallengeCompletionHandler(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
    const plat::NSURLAuthenticationChallengeRef& challenge, ChallengeCompletion completion) {
  plat::NSURLCredentialRef credential;
  plat::NSURLSessionAuthChallengeDisposition disposition;
  if (taskDidReceiveAuthenticationChallenge_) {
    disposition = taskDidReceiveAuthenticationChallenge_(session, task, challenge, &credential);
  } else {
    disposition = evaluateChallenge(challenge, &credential, true);
  }
  if (completion) completion(disposition, credential);
  return true;
}

bool SDPURLSessionManager::URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
    const plat::NSHTTPURLResponseRef& response, const plat::NSURLRequestRef& newRequest,
    std::function<void(plat::NSURLRequestRef)> completion) {
  // Without a block the session follows the redirect by itself.
  if (!taskWillPerformHTTPRedirection_) return false;
  completion(taskWillPerformHTTPRedirection_(session, task, response, newRequest));
  return true;
}

bool SDPURLSessionManager::URLSessionTaskNeedNewBodyStream(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
    std::function<void(plat::NSInputStreamRef)> completion) {
  plat::NSInputStreamRef stream;
  if (taskNeedNewBodyStream_) {
    stream = taskNeedNewBodyStream_(session, task);
  } else if (auto original = task->originalRequest(); original && original->HTTPBodyStream()) {
    stream = original->HTTPBodyStream()->copyStream();
  }
  completion(stream);
  return true;
}

void SDPURLSessionManager::URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task, int64_t bytesSent,
    int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
  int64_t expected = totalBytesExpectedToSend;
  if (expected == plat::NSURLSessionTransferSizeUnknown) {
    if (auto original = task->originalRequest()) {
      if (auto length = original->valueForHTTPHeaderField("Content-Length")) {
        expected = std::strtoll(length->c_str(), nullptr, 10);
      }
    }
  }
  if (taskDidSendBodyData_)
    taskDidSendBodyData_(session, task, bytesSent, totalBytesSent, expected);
}

void SDPURLSessionManager::URLSessionTaskDidCompleteWithError(const plat::NSURLSessionRef& session,
                                                              const plat::NSURLSessionTaskRef& task,
                                                              const plat::NSErrorRef& error) {
  if (auto delegate = delegateForTask(task)) {
    // The record leaves the map before it dispatches the completion, so that a completion
    // handler never finds the finished task still registered.
    removeDelegateForTask(task);
    delegate->URLSessionTaskDidCompleteWithError(session, task, error);
  }
  if (taskDidComplete_) taskDidComplete_(session, task, error);
}

bool SDPURLSessionManager::URLSessionDataTaskDidReceiveResponseCompletionHandler(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionDataTaskRef& dataTask,
    const plat::NSURLResponseRef& response,
    std::function<void(plat::NSURLSessionResponseDisposition)> completion) {
  if (!dataTaskDidReceiveResponse_) return false;
  completion(dataTaskDidReceiveResponse_(session, dataTask, response));
  return true;
}

void SDPURLSessionManager::URLSessionDataTaskDidBecomeDownloadTask(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionDataTaskRef& dataTask,
    const plat::NSURLSessionDownloadTaskRef& downloadTask) {
  if (auto delegate = delegateForTask(dataTask)) {
    removeDelegateForTask(dataTask);
    setDelegateForTask(delegate, downloadTask);
  }
  if (dataTaskDidBecomeDownloadTask_)
    dataTaskDidBecomeDownloadTask_(session, dataTask, downloadTask);
}

void SDPURLSessionManager::URLSessionDataTaskDidReceiveData(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionDataTaskRef& dataTask,
    const plat::Data& data) {
  if (auto delegate = delegateForTask(dataTask)) {
    delegate->URLSessionDataTaskDidReceiveData(session, dataTask, data);
  }
  if (dataTaskDidReceiveData_) dataTaskDidReceiveData_(session, dataTask, data);
}

bool SDPURLSessionManager::URLSessionDataTaskWillCacheResponseCompletionHandler(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionDataTaskRef& dataTask,
    const plat::NSCachedURLResponseRef& proposedResponse,
    std::function<void(plat::NSCachedURLResponseRef)> completion) {
  // Without a block the session caches its proposal by itself.
  if (!dataTaskWillCacheResponse_) return false;
  completion(dataTaskWillCacheResponse_(session, dataTask, proposedResponse));
  return true;
}

void SDPURLSessionManager::URLSessionDownloadTaskDidFinishDownloadingToURL(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
    const std::string& location) {
  auto delegate = delegateForTask(downloadTask);
  if (downloadTaskDidFinishDownloading_) {
    std::string destination = downloadTaskDidFinishDownloading_(session, downloadTask, location);
    if (!destination.empty()) {
      auto moveError = SDPMoveDownloadedFile(location, destination, downloadTask);
      if (delegate) {
        delegate->setDownloadFileURL(destination);
        delegate->setDownloadMoveError(std::move(moveError));
      }
      return;
    }
  }
  if (delegate)
    delegate->URLSessionDownloadTaskDidFinishDownloadingToURL(session, downloadTask, location);
}

void SDPURLSessionManager::
    URLSessionDownloadTaskDidWriteDataTotalBytesWrittenTotalBytesExpectedToWrite(
        const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
        int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
  if (downloadTaskDidWriteData_) {
    downloadTaskDidWriteData_(session, downloadTask, bytesWritten, totalBytesWritten,
                              totalBytesExpectedToWrite);
  }
}

void SDPURLSessionManager::URLSessionDownloadTaskDidResumeAtOffsetExpectedTotalBytes(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
    int64_t fileOffset, int64_t expectedTotalBytes) {
  if (downloadTaskDidResume_)
    downloadTaskDidResume_(session, downloadTask, fileOffset, expectedTotalBytes);
}
