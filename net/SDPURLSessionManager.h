#pragma once
// SDPURLSessionManager owns one URL session and is its delegate. It creates data, upload and
// download tasks, attaches a record (SDPURLSessionManagerTaskDelegate) to each that collects
// the body, tracks progress and finally runs the response serializer and the caller's
// completion handler, answers server-trust challenges with its security policy, forwards
// every session callback to an optional caller block, and posts
// "com.sdpkit.networking.task.resume" / ".suspend" (main queue) when its own tasks resume or
// suspend.
//
// Lifetime: the session holds the manager (its delegate) until the session is invalidated
// (invalidateSessionCancelingTasks), as the platform's sessions hold their delegates.
//
// Thread-safety: configure the manager (serializer, policy, queues, blocks) before creating
// tasks. Task creation and the delegate map are thread-safe. Session callbacks and the
// caller blocks run on the delegate queue (operationQueue, width 1); completion handlers on
// the completion queue (main by default). tasks()/dataTasks()/... block until the session
// answers and must not be called from the delegate queue (they then answer empty).

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/SDPHTTPResponseSerializer.h"
#include "net/SDPNetworkReachabilityManager.h"
#include "net/SDPSecurityPolicy.h"
#include "net/SDPURLSessionManagerTaskDelegate.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSCoding.h"
#include "platform/network/NSURLSession.h"

inline constexpr const char* SDPNetworkingTaskDidResumeNotification =
    "com.sdpkit.networking.task.resume";
inline constexpr const char* SDPNetworkingTaskDidSuspendNotification =
    "com.sdpkit.networking.task.suspend";
inline constexpr const char* SDPURLSessionDidInvalidateNotification =
    "com.sdpkit.networking.session.invalidate";
// Posted (object: the task) by every task resume that leaves a non-running state and every
// suspend that leaves a non-suspended state, on the calling thread.
inline constexpr const char* SDPNSURLSessionTaskDidResumeNotification =
    "com.sdpkit.networking.nsurlsessiontask.resume";
inline constexpr const char* SDPNSURLSessionTaskDidSuspendNotification =
    "com.sdpkit.networking.nsurlsessiontask.suspend";
// The name of each manager's lock over its task records.
inline constexpr const char* SDPURLSessionManagerLockName =
    "com.sdpkit.networking.session.manager.lock";

// The process-wide queues and group of the completion pipeline.
plat::DispatchQueueRef SDPSharedSerializationQueue();
plat::DispatchGroupRef SDPSharedCompletionGroup();
// The serial queue "com.sdpkit.networking.session.manager.creation", on which task creation
// runs only for platform versions whose sessions could not create tasks concurrently. This
// platform's sessions can, so tasks are created on the caller's thread and the queue stays
// idle.
plat::DispatchQueueRef SDPSharedTaskCreationQueue();

class SDPURLSessionManager : public plat::Object,
                             public plat::NSURLSessionDelegate,
                             public plat::NSCoding {
 public:
  using CompletionHandler = SDPURLSessionManagerTaskDelegate::CompletionHandler;
  using ProgressBlock = SDPURLSessionManagerTaskDelegate::ProgressBlock;
  // (temporary file path, the task's response) -> destination path ("" to leave it)
  using DestinationBlock = std::function<std::string(const std::string& targetPath,
                                                     const plat::NSURLResponseRef& response)>;
  using ChallengeBlock = std::function<plat::NSURLSessionAuthChallengeDisposition(
      const plat::NSURLSessionRef&, const plat::NSURLAuthenticationChallengeRef&,
      plat::NSURLCredentialRef* credential)>;
  using TaskChallengeBlock = std::function<plat::NSURLSessionAuthChallengeDisposition(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&,
      const plat::NSURLAuthenticationChallengeRef&, plat::NSURLCredentialRef* credential)>;

  // A manager over a new session with `configuration` (null: the default configuration).
  static std::shared_ptr<SDPURLSessionManager> initWithSessionConfiguration(
      const plat::NSURLSessionConfigurationRef& configuration);
  static std::shared_ptr<SDPURLSessionManager> init() {
    return initWithSessionConfiguration(nullptr);
  }
  static std::shared_ptr<SDPURLSessionManager> manager() {
    return initWithSessionConfiguration(nullptr);
  }
  ~SDPURLSessionManager() override;

  std::string className() const override { return "SDPURLSessionManager"; }
  // "<SDPURLSessionManager: 0x..., session: ..., operationQueue: ...>"
  std::string description() const override;

  const plat::NSURLSessionRef& session() const { return session_; }
  const plat::NSOperationQueueRef& operationQueue() const { return operationQueue_; }
  const plat::NSURLSessionConfigurationRef& sessionConfiguration() const { return configuration_; }
  // This manager's address as "%p"; every task it creates carries it as task description.
  const std::string& taskDescriptionForSessionTasks() const { return taskDescription_; }

  SDPURLResponseSerializationRef responseSerializer() const;
  void setResponseSerializer(SDPURLResponseSerializationRef serializer);
  std::shared_ptr<SDPSecurityPolicy> securityPolicy() const;
  void setSecurityPolicy(std::shared_ptr<SDPSecurityPolicy> policy);
  const std::shared_ptr<SDPNetworkReachabilityManager>& reachabilityManager() const {
    return reachabilityManager_;
  }
  void setReachabilityManager(std::shared_ptr<SDPNetworkReachabilityManager> manager) {
    reachabilityManager_ = std::move(manager);
  }
  // Null: the main queue.
  plat::DispatchQueueRef completionQueue() const;
  void setCompletionQueue(plat::DispatchQueueRef queue);
  // Null: SDPSharedCompletionGroup().
  plat::DispatchGroupRef completionGroup() const;
  void setCompletionGroup(plat::DispatchGroupRef group);
  bool attemptsToRecreateUploadTasksForBackgroundSessions() const { return recreateUploads_; }
  void setAttemptsToRecreateUploadTasksForBackgroundSessions(bool v) { recreateUploads_ = v; }

  // Task creation. Each returns the task, not resumed, or null when the session made none
  // (no record is kept then).
  plat::NSURLSessionDataTaskRef dataTaskWithRequestCompletionHandler(
      const plat::NSURLRequestRef& request, CompletionHandler completionHandler);
  plat::NSURLSessionDataTaskRef dataTaskWithRequestUploadProgressDownloadProgressCompletionHandler(
      const plat::NSURLRequestRef& request, ProgressBlock uploadProgress,
      ProgressBlock downloadProgress, CompletionHandler completionHandler);
  plat::NSURLSessionUploadTaskRef uploadTaskWithRequestFromFileProgressCompletionHandler(
      const plat::NSURLRequestRef& request, const std::string& filePath, ProgressBlock progress,
      CompletionHandler completionHandler);
  plat::NSURLSessionUploadTaskRef uploadTaskWithRequestFromDataProgressCompletionHandler(
      const plat::NSURLRequestRef& request, const plat::Data& body, ProgressBlock progress,
      CompletionHandler completionHandler);
  plat::NSURLSessionUploadTaskRef uploadTaskWithStreamedRequestProgressCompletionHandler(
      const plat::NSURLRequestRef& request, ProgressBlock progress,
      CompletionHandler completionHandler);
  // The completion's response object is the destination path when a destination was given;
  // when the download could not be moved there (a file already there, a missing folder), the
  // move's error comes with it (and the file-move-error notification is posted).
  plat::NSURLSessionDownloadTaskRef downloadTaskWithRequestProgressDestinationCompletionHandler(
      const plat::NSURLRequestRef& request, ProgressBlock progress, DestinationBlock destination,
      CompletionHandler completionHandler);
  plat::NSURLSessionDownloadTaskRef downloadTaskWithResumeDataProgressDestinationCompletionHandler(
      const plat::Data& resumeData, ProgressBlock progress, DestinationBlock destination,
      CompletionHandler completionHandler);

  // The record of a task, or null.
  std::shared_ptr<SDPURLSessionManagerTaskDelegate> delegateForTask(
      const plat::NSURLSessionTaskRef& task) const;
  plat::NSProgressRef uploadProgressForTask(const plat::NSURLSessionTaskRef& task) const;
  plat::NSProgressRef downloadProgressForTask(const plat::NSURLSessionTaskRef& task) const;

  // The session's unfinished tasks (blocks until the session answers).
  std::vector<plat::NSURLSessionTaskRef> tasks() const;
  std::vector<plat::NSURLSessionTaskRef> dataTasks() const;
  std::vector<plat::NSURLSessionTaskRef> uploadTasks() const;
  std::vector<plat::NSURLSessionTaskRef> downloadTasks() const;

  // On the main queue: invalidateAndCancel (true) or finishTasksAndInvalidate (false).
  void invalidateSessionCancelingTasks(bool cancelPendingTasks);

  // A new manager of the receiver's class over the same configuration. This class gives
  // it the default serializer and policy; subclasses add their own state (setUpAsCopyOf).
  std::shared_ptr<SDPURLSessionManager> copyWithZone() const;

  static constexpr bool supportsSecureCoding() { return true; }
  // The name of the lock that guards the map of task records.
  const std::string& lockName() const { return lockName_; }
  // Keyed coding: the session's configuration under "sessionConfiguration". A decoded
  // manager is a new manager over that configuration (the default one when the archive has
  // none), with the default serializer and policy; subclasses add their own state.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;
  // Registers the class with the archive class lookup (done once at load).
  static bool registerCodingClass();

  // Caller block types.
  using SessionDidBecomeInvalidBlock =
      std::function<void(const plat::NSURLSessionRef&, const plat::NSErrorRef&)>;
  using DidFinishEventsForBackgroundURLSessionBlock =
      std::function<void(const plat::NSURLSessionRef&)>;
  // Returns the request to follow; null refuses the redirect.
  using TaskWillPerformHTTPRedirectionBlock = std::function<plat::NSURLRequestRef(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&,
      const plat::NSHTTPURLResponseRef&, const plat::NSURLRequestRef&)>;
  using TaskNeedNewBodyStreamBlock = std::function<plat::NSInputStreamRef(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&)>;
  using TaskDidSendBodyDataBlock = std::function<void(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&, int64_t bytesSent,
      int64_t totalBytesSent, int64_t totalBytesExpectedToSend)>;
  using TaskDidCompleteBlock = std::function<void(
      const plat::NSURLSessionRef&, const plat::NSURLSessionTaskRef&, const plat::NSErrorRef&)>;
  using DataTaskDidReceiveResponseBlock = std::function<plat::NSURLSessionResponseDisposition(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef&,
      const plat::NSURLResponseRef&)>;
  using DataTaskDidBecomeDownloadTaskBlock =
      std::function<void(const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef&,
                         const plat::NSURLSessionDownloadTaskRef&)>;
  using DataTaskDidReceiveDataBlock = std::function<void(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef&, const plat::Data&)>;
  // Given the response the session proposes to cache, returns the one to cache (null: none).
  using DataTaskWillCacheResponseBlock = std::function<plat::NSCachedURLResponseRef(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDataTaskRef&,
      const plat::NSCachedURLResponseRef&)>;
  // Returns the destination path ("" to let the record handle the file).
  using DownloadTaskDidFinishDownloadingBlock = std::function<std::string(
      const plat::NSURLSessionRef&, const plat::NSURLSessionDownloadTaskRef&,
      const std::string& location)>;
  using DownloadTaskDidWriteDataBlock =
      std::function<void(const plat::NSURLSessionRef&, const plat::NSURLSessionDownloadTaskRef&,
                         int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalExpected)>;
  using DownloadTaskDidResumeBlock =
      std::function<void(const plat::NSURLSessionRef&, const plat::NSURLSessionDownloadTaskRef&,
                         int64_t fileOffset, int64_t expectedTotalBytes)>;

// Each caller block is a property `name()` / `setName(block)` with the setter operation
// `setNameBlock(block)` beside it; both store the block. Set them before creating tasks:
// they are read on the delegate queue without a lock.
#define SDP_CALLER_BLOCK(Type, name, Name)                          \
 public:                                                            \
  const Type& name() const { return name##_; }                      \
  void set##Name(Type block) { name##_ = std::move(block); }        \
  void set##Name##Block(Type block) { name##_ = std::move(block); } \
                                                                    \
 private:                                                           \
  Type name##_;

  SDP_CALLER_BLOCK(SessionDidBecomeInvalidBlock, sessionDidBecomeInvalid, SessionDidBecomeInvalid)
  SDP_CALLER_BLOCK(ChallengeBlock, sessionDidReceiveAuthenticationChallenge,
                   SessionDidReceiveAuthenticationChallenge)
  // Called with the session on the main queue when its background events are finished
  // (the platform here has no background transfers, so only a direct call reaches it).
  SDP_CALLER_BLOCK(DidFinishEventsForBackgroundURLSessionBlock,
                   didFinishEventsForBackgroundURLSession, DidFinishEventsForBackgroundURLSession)
  SDP_CALLER_BLOCK(TaskWillPerformHTTPRedirectionBlock, taskWillPerformHTTPRedirection,
                   TaskWillPerformHTTPRedirection)
  SDP_CALLER_BLOCK(TaskChallengeBlock, taskDidReceiveAuthenticationChallenge,
                   TaskDidReceiveAuthenticationChallenge)
  SDP_CALLER_BLOCK(TaskNeedNewBodyStreamBlock, taskNeedNewBodyStream, TaskNeedNewBodyStream)
  SDP_CALLER_BLOCK(TaskDidSendBodyDataBlock, taskDidSendBodyData, TaskDidSendBodyData)
  SDP_CALLER_BLOCK(TaskDidCompleteBlock, taskDidComplete, TaskDidComplete)
  SDP_CALLER_BLOCK(DataTaskDidReceiveResponseBlock, dataTaskDidReceiveResponse,
                   DataTaskDidReceiveResponse)
  SDP_CALLER_BLOCK(DataTaskDidBecomeDownloadTaskBlock, dataTaskDidBecomeDownloadTask,
                   DataTaskDidBecomeDownloadTask)
  SDP_CALLER_BLOCK(DataTaskDidReceiveDataBlock, dataTaskDidReceiveData, DataTaskDidReceiveData)
  SDP_CALLER_BLOCK(DataTaskWillCacheResponseBlock, dataTaskWillCacheResponse,
                   DataTaskWillCacheResponse)
  SDP_CALLER_BLOCK(DownloadTaskDidFinishDownloadingBlock, downloadTaskDidFinishDownloading,
                   DownloadTaskDidFinishDownloading)
  SDP_CALLER_BLOCK(DownloadTaskDidWriteDataBlock, downloadTaskDidWriteData,
                   DownloadTaskDidWriteData)
  SDP_CALLER_BLOCK(DownloadTaskDidResumeBlock, downloadTaskDidResume, DownloadTaskDidResume)
#undef SDP_CALLER_BLOCK

 public:
  // plat::NSURLSessionDelegate (called by the session on the delegate queue).
  void URLSessionDidBecomeInvalidWithError(const plat::NSURLSessionRef& session,
                                           const plat::NSErrorRef& error) override;
  bool URLSessionDidReceiveChallengeCompletionHandler(
      const plat::NSURLSessionRef& session, const plat::NSURLAuthenticationChallengeRef& challenge,
      ChallengeCompletion completion) override;
  void URLSessionDidFinishEventsForBackgroundURLSession(
      const plat::NSURLSessionRef& session) override;
  bool URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
      const plat::NSHTTPURLResponseRef& response, const plat::NSURLRequestRef& newRequest,
      std::function<void(plat::NSURLRequestRef)> completion) override;
  bool URLSessionTaskDidReceiveChallengeCompletionHandler(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
      const plat::NSURLAuthenticationChallengeRef& challenge,
      ChallengeCompletion completion) override;
  bool URLSessionTaskNeedNewBodyStream(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
      std::function<void(plat::NSInputStreamRef)> completion) override;
  void URLSessionTaskDidSendBodyDataTotalBytesSentTotalBytesExpectedToSend(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
      int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend) override;
  void URLSessionTaskDidCompleteWithError(const plat::NSURLSessionRef& session,
                                          const plat::NSURLSessionTaskRef& task,
                                          const plat::NSErrorRef& error) override;
  bool URLSessionDataTaskDidReceiveResponseCompletionHandler(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionDataTaskRef& dataTask,
      const plat::NSURLResponseRef& response,
      std::function<void(plat::NSURLSessionResponseDisposition)> completion) override;
  void URLSessionDataTaskDidBecomeDownloadTask(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionDataTaskRef& dataTask,
      const plat::NSURLSessionDownloadTaskRef& downloadTask) override;
  void URLSessionDataTaskDidReceiveData(const plat::NSURLSessionRef& session,
                                        const plat::NSURLSessionDataTaskRef& dataTask,
                                        const plat::Data& data) override;
  bool URLSessionDataTaskWillCacheResponseCompletionHandler(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionDataTaskRef& dataTask,
      const plat::NSCachedURLResponseRef& proposedResponse,
      std::function<void(plat::NSCachedURLResponseRef)> completion) override;
  void URLSessionDownloadTaskDidFinishDownloadingToURL(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
      const std::string& location) override;
  void URLSessionDownloadTaskDidWriteDataTotalBytesWrittenTotalBytesExpectedToWrite(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
      int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
  void URLSessionDownloadTaskDidResumeAtOffsetExpectedTotalBytes(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
      int64_t fileOffset, int64_t expectedTotalBytes) override;

 protected:
  SDPURLSessionManager() = default;
  // Second phase of creation, once the manager is owned by a shared_ptr.
  void setUpWithSessionConfiguration(const plat::NSURLSessionConfigurationRef& configuration);
  // Creates an instance of the receiver's class for copying and decoding (not set up).
  // Every subclass overrides it, so that a copy is of the original's class.
  virtual std::shared_ptr<SDPURLSessionManager> makeInstance() const;
  // Sets up a new instance (from makeInstance) as a copy of `original`. Subclasses call
  // their base's version or set up the whole object themselves, so that no part of a copy
  // is left unset.
  virtual void setUpAsCopyOf(const SDPURLSessionManager& original);

 private:
  void addDelegateForDataTask(const plat::NSURLSessionTaskRef& task, ProgressBlock uploadProgress,
                              ProgressBlock downloadProgress, CompletionHandler completionHandler);
  void addDelegateForUploadTask(const plat::NSURLSessionTaskRef& task, ProgressBlock progress,
                                CompletionHandler completionHandler);
  void addDelegateForDownloadTask(const plat::NSURLSessionTaskRef& task, ProgressBlock progress,
                                  DestinationBlock destination,
                                  CompletionHandler completionHandler);
  void setDelegateForTask(std::shared_ptr<SDPURLSessionManagerTaskDelegate> delegate,
                          const plat::NSURLSessionTaskRef& task);
  void removeDelegateForTask(const plat::NSURLSessionTaskRef& task);
  std::vector<plat::NSURLSessionTaskRef> tasksForKeyPath(const std::string& keyPath) const;
  plat::NSURLSessionAuthChallengeDisposition evaluateChallenge(
      const plat::NSURLAuthenticationChallengeRef& challenge, plat::NSURLCredentialRef* credential,
      bool taskLevel) const;

  plat::NSURLSessionConfigurationRef configuration_;
  plat::NSOperationQueueRef operationQueue_;
  plat::NSURLSessionRef session_;
  std::string taskDescription_;
  std::shared_ptr<SDPNetworkReachabilityManager> reachabilityManager_;
  bool recreateUploads_ = false;

  mutable std::mutex settingsMu_;  // guards the four settings below
  SDPURLResponseSerializationRef responseSerializer_;
  std::shared_ptr<SDPSecurityPolicy> securityPolicy_;
  plat::DispatchQueueRef completionQueue_;
  plat::DispatchGroupRef completionGroup_;

  mutable std::mutex lock_;  // guards the delegate map; named lockName_
  // Kept beside the lock so that a debugger shows what the lock guards.
  const std::string lockName_ = SDPURLSessionManagerLockName;
  std::unordered_map<uint64_t, std::shared_ptr<SDPURLSessionManagerTaskDelegate>> delegates_;
};
