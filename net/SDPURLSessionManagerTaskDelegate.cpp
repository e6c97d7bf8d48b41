#include "net/SDPURLSessionManagerTaskDelegate.h"

#include <atomic>

#include "net/SDPURLSessionManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/network/NSURLError.h"

namespace {

// Bodies up to this size are serialized on the delegate queue.
constexpr size_t kInlineSerializationLimit = 32 * 1024;

std::atomic<int64_t> gMaxResponseDataLength{
    SDPURLSessionManagerTaskDelegate::kMaxResponseDataLength};

void postOnMain(const char* name, plat::Value object, plat::Value userInfo) {
  plat::dispatch_async(plat::dispatch_get_main_queue(),
                       [name, object = std::move(object), userInfo = std::move(userInfo)] {
                         plat::NSNotificationCenter::defaultCenter()
                             .postNotificationNameObjectUserInfo(name, object, userInfo);
                       });
}

}  // namespace

plat::NSErrorRef SDPMoveDownloadedFile(const std::string& from, const std::string& to,
                                       const plat::NSURLSessionTaskRef& task) {
  // The file manager's move never replaces an existing file (516), as on the phone.
  plat::NSErrorRef error;
  if (plat::NSFileManager::defaultManager().moveItemAtPathToPathError(from, to, &error)) {
    return nullptr;
  }
  if (!error) error = plat::NSError::make(plat::NSCocoaErrorDomain, 512 /* write failure */, plat::Dictionary{});
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      SDPURLSessionDownloadTaskDidFailToMoveFileNotification, plat::Value(task),
      plat::Value(error->userInfo()));
  return error;
}

int64_t SDPURLSessionManagerTaskDelegate::maxResponseDataLength() {
  return gMaxResponseDataLength.load();
}

void SDPURLSessionManagerTaskDelegate::setMaxResponseDataLengthForTesting(
    std::optional<int64_t> length) {
  gMaxResponseDataLength.store(length.value_or(kMaxResponseDataLength));
}

SDPURLSessionManagerTaskDelegate::SDPURLSessionManagerTaskDelegate()
    : uploadProgress_(plat::NSProgress::progressWithTotalUnitCount(plat::NSURLSessionTransferSizeUnknown)),
      downloadProgress_(plat::NSProgress::progressWithTotalUnitCount(plat::NSURLSessionTransferSizeUnknown)),
      mutableData_(plat::Data()) {}

SDPURLSessionManagerTaskDelegate::~SDPURLSessionManagerTaskDelegate() = default;

std::string SDPURLSessionManagerTaskDelegate::downloadFileURL() const {
  std::lock_guard<std::mutex> lock(mu_);
  return downloadFileURL_;
}

void SDPURLSessionManagerTaskDelegate::setDownloadFileURL(std::string path) {
  std::lock_guard<std::mutex> lock(mu_);
  downloadFileURL_ = std::move(path);
}

plat::NSErrorRef SDPURLSessionManagerTaskDelegate::downloadMoveError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return downloadMoveError_;
}

void SDPURLSessionManagerTaskDelegate::setDownloadMoveError(plat::NSErrorRef error) {
  std::lock_guard<std::mutex> lock(mu_);
  downloadMoveError_ = std::move(error);
}

void SDPURLSessionManagerTaskDelegate::setupProgressForTask(const plat::NSURLSessionTaskRef& task) {
  uploadProgress_->setTotalUnitCount(task->countOfBytesExpectedToSend());
  downloadProgress_->setTotalUnitCount(task->countOfBytesExpectedToReceive());

  std::weak_ptr<plat::NSURLSessionTask> weakTask = task;
  for (const auto& progress : {uploadProgress_, downloadProgress_}) {
    progress->setCancellable(true);
    progress->setPausable(true);
    progress->setCancellationHandler([weakTask] {
      if (auto t = weakTask.lock()) t->cancel();
    });
    progress->setPausingHandler([weakTask] {
      if (auto t = weakTask.lock()) t->suspend();
    });
    progress->setResumingHandler([weakTask] {
      if (auto t = weakTask.lock()) t->resume();
    });
  }

  // Counter changes arrive on the transfer thread; the progress objects are thread-safe.
  std::weak_ptr<plat::NSProgress> up = uploadProgress_, down = downloadProgress_;
  auto observe = [&](const char* keyPath, void (plat::NSProgress::*set)(int64_t), bool upload) {
    std::weak_ptr<plat::NSProgress> target = upload ? up : down;
    counterTokens_.push_back(task->addObserver(
        keyPath, [target, set](plat::NSURLSessionTask&, const std::string&, int64_t value) {
          if (auto p = target.lock()) ((*p).*set)(value);
        }));
  };
  observe(plat::kCountOfBytesReceived, &plat::NSProgress::setCompletedUnitCount, false);
  observe(plat::kCountOfBytesExpectedToReceive, &plat::NSProgress::setTotalUnitCount, false);
  observe(plat::kCountOfBytesSent, &plat::NSProgress::setCompletedUnitCount, true);
  observe(plat::kCountOfBytesExpectedToSend, &plat::NSProgress::setTotalUnitCount, true);

  std::weak_ptr<SDPURLSessionManagerTaskDelegate> weakSelf = weak_from_this();
  downloadProgressToken_ = downloadProgress_->addObserver(
      "fractionCompleted", [weakSelf](plat::NSProgress&, const std::string&) {
        auto self = weakSelf.lock();
        if (self && self->downloadProgressBlock) self->downloadProgressBlock(self->downloadProgress_);
      });
  uploadProgressToken_ = uploadProgress_->addObserver(
      "fractionCompleted", [weakSelf](plat::NSProgress&, const std::string&) {
        auto self = weakSelf.lock();
        if (self && self->uploadProgressBlock) self->uploadProgressBlock(self->uploadProgress_);
      });
}

void SDPURLSessionManagerTaskDelegate::cleanUpProgressForTask(const plat::NSURLSessionTaskRef& task) {
  for (uint64_t token : counterTokens_) task->removeObserver(token);
  counterTokens_.clear();
  downloadProgress_->removeObserver(downloadProgressToken_);
  uploadProgress_->removeObserver(uploadProgressToken_);
}

void SDPURLSessionManagerTaskDelegate::URLSessionDataTaskDidReceiveData(
    const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef& dataTask,
    const plat::Data& data) {
  if (!mutableData_) return;
  // A body past the bound, announced or received, ends the task: an endless answer must not
  // fill the memory. What was held goes at once.
  const int64_t limit = maxResponseDataLength();
  const int64_t expected =
      mutableData_->empty() && dataTask ? dataTask->countOfBytesExpectedToReceive() : -1;
  if (expected > limit || static_cast<int64_t>(mutableData_->length() + data.length()) > limit) {
    tooLong_ = true;
    mutableData_.reset();
    if (dataTask) dataTask->cancel();
    return;
  }
  // Room for the announced body up front, so that a large body is not copied on every
  // growth (the announced length is within the bound).
  if (expected > 0) mutableData_->reserve(static_cast<size_t>(expected));
  mutableData_->append(data);
}

void SDPURLSessionManagerTaskDelegate::URLSessionDownloadTaskDidFinishDownloadingToURL(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
    const std::string& location) {
  setDownloadFileURL("");
  setDownloadMoveError(nullptr);
  if (!downloadTaskDidFinishDownloading) return;
  std::string destination = downloadTaskDidFinishDownloading(session, downloadTask, location);
  setDownloadFileURL(destination);
  if (destination.empty()) return;
  setDownloadMoveError(SDPMoveDownloadedFile(location, destination, downloadTask));
}

void SDPURLSessionManagerTaskDelegate::URLSessionTaskDidCompleteWithError(
    const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
    const plat::NSErrorRef& sessionError) {
  // A task ended for a body past the bound reports that instead of its cancellation.
  plat::NSErrorRef error = sessionError;
  if (tooLong_) {
    auto request = task->originalRequest();
    error = plat::makeURLError(plat::NSURLErrorDataLengthExceedsMaximum,
                               request ? request->URL() : std::string());
  }
  auto strongManager = manager.lock();
  auto self = shared_from_this();
  const plat::NSURLResponseRef response = task->response();

  // Where the completion runs: the manager's queue and group, or main and the shared group
  // once the manager is gone.
  plat::DispatchQueueRef queue = strongManager ? strongManager->completionQueue() : nullptr;
  if (!queue) queue = plat::dispatch_get_main_queue();
  plat::DispatchGroupRef group = strongManager ? strongManager->completionGroup() : nullptr;
  if (!group) group = SDPSharedCompletionGroup();

  plat::Dictionary userInfo;
  SDPURLResponseSerializationRef serializer =
      strongManager ? strongManager->responseSerializer() : nullptr;
  if (auto object = std::dynamic_pointer_cast<plat::Object>(serializer)) {
    userInfo.set(SDPNetworkingTaskDidCompleteResponseSerializerKey, plat::Value(object));
  }

  // The body moves along the pipeline without copies; it joins the notification's user info
  // only after the completion handler ran.
  std::shared_ptr<plat::Data> body;
  if (mutableData_) {
    body = std::make_shared<plat::Data>(std::move(*mutableData_));
    mutableData_.reset();
  }
  const std::string downloadFile = downloadFileURL();
  if (!downloadFile.empty()) {
    userInfo.set(SDPNetworkingTaskDidCompleteAssetPathKey, downloadFile);
    body.reset();
  }
  const size_t mutableBodyLength = body ? body->length() : 0;

  auto deliver = [self, task, queue, group, response](
                     std::shared_ptr<plat::Data> body, plat::Value object, plat::NSErrorRef error,
                     plat::Dictionary userInfo) mutable {
    plat::dispatch_group_async(
        group, queue,
        [self, task, response, body = std::move(body), object = std::move(object), error,
         userInfo = std::move(userInfo)]() mutable {
          if (self->completionHandler) self->completionHandler(response, object, error);
          if (body) userInfo.set(SDPNetworkingTaskDidCompleteResponseDataKey, plat::Value(std::move(*body)));
          if (!object.isNil()) {
            userInfo.set(SDPNetworkingTaskDidCompleteSerializedResponseKey, std::move(object));
          }
          postOnMain(SDPNetworkingTaskDidCompleteNotification, plat::Value(task),
                     plat::Value(std::move(userInfo)));
        });
  };

  if (error || !strongManager) {
    // A manager that is gone cannot serialize: its caller is told the task was cancelled
    // instead of receiving an empty success.
    plat::NSErrorRef finalError =
        error ? error : plat::makeURLError(plat::NSURLErrorCancelled, response ? response->URL() : "");
    userInfo.set(SDPNetworkingTaskDidCompleteErrorKey, plat::Value(finalError));
    deliver(std::move(body), plat::Value(), finalError, std::move(userInfo));
    return;
  }

  auto serialize = [self, serializer, response, body = std::move(body),
                    userInfo = std::move(userInfo), deliver]() mutable {
    plat::NSErrorRef serializationError;
    plat::Value object;
    if (serializer) {
      object = serializer->responseObjectForResponseDataError(response, body.get(),
                                                              &serializationError);
    }
    // The completion names the destination; a failed move (also posted as its notification)
    // is its error, since the file there is not the download.
    const std::string downloadFile = self->downloadFileURL();
    if (!downloadFile.empty()) object = plat::Value(downloadFile);
    if (!serializationError && !downloadFile.empty())
      serializationError = self->downloadMoveError();
    if (serializationError) {
      userInfo.set(SDPNetworkingTaskDidCompleteErrorKey, plat::Value(serializationError));
    }
    deliver(std::move(body), std::move(object), serializationError, std::move(userInfo));
  };
  // A small body is parsed on the delegate queue, right after the manager's bookkeeping for
  // this completion (the queue is serial and already running, so this wakes no thread):
  // handing it to the serialization queue would cost a thread wake-up, more than the parse
  // itself. Larger bodies are parsed there so that the delegate queue keeps serving other
  // tasks meanwhile.
  plat::NSOperationQueueRef delegateQueue = session ? session->delegateQueue() : nullptr;
  if (delegateQueue && delegateQueue != plat::NSOperationQueue::mainQueue() &&
      mutableBodyLength <= kInlineSerializationLimit) {
    delegateQueue->addOperationWithBlock(std::move(serialize));
  } else {
    plat::dispatch_async(SDPSharedSerializationQueue(), std::move(serialize));
  }
}
