#pragma once
// The per-task record of SDPURLSessionManager: keeps the task's upload and download progress
// in step with its byte counters, collects a data task's body, moves a finished download to
// its destination, and on completion runs the manager's response serializer (a body of up to
// 32 KiB on the delegate queue once the manager's own completion work is done, a larger one
// on the shared serialization queue) and hands (response, object, error) to the caller's
// completion handler on the manager's completion queue (main by default), inside its
// completion group, followed by the "com.sdpkit.networking.task.complete" notification on
// the main queue.
//
// A body held in memory is bounded: one longer than maxResponseDataLength(), announced or
// received, cancels its task, is dropped, and the completion gets NSURLErrorDomain -1103
// (NSURLErrorDataLengthExceedsMaximum). A download goes to its file and is not held.
//
// Thread-safety: the session callbacks arrive one at a time on the manager's delegate queue;
// counter observers run on the transfer thread and only touch the (thread-safe) progress
// objects. The record holds its manager weakly.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSProgress.h"
#include "platform/network/NSURLSession.h"

class SDPURLSessionManager;

// Notification names and user-info keys of task completion.
inline constexpr const char* SDPNetworkingTaskDidCompleteNotification =
    "com.sdpkit.networking.task.complete";
inline constexpr const char* SDPNetworkingTaskDidCompleteResponseSerializerKey =
    "com.sdpkit.networking.task.complete.responseserializer";
inline constexpr const char* SDPNetworkingTaskDidCompleteAssetPathKey =
    "com.sdpkit.networking.task.complete.assetpath";
inline constexpr const char* SDPNetworkingTaskDidCompleteResponseDataKey =
    "com.sdpkit.networking.complete.finish.responsedata";
inline constexpr const char* SDPNetworkingTaskDidCompleteErrorKey =
    "com.sdpkit.networking.task.complete.error";
inline constexpr const char* SDPNetworkingTaskDidCompleteSerializedResponseKey =
    "com.sdpkit.networking.task.complete.serializedresponse";
inline constexpr const char* SDPURLSessionDownloadTaskDidFailToMoveFileNotification =
    "com.sdpkit.networking.session.download.file-manager-error";

class SDPURLSessionManagerTaskDelegate
    : public std::enable_shared_from_this<SDPURLSessionManagerTaskDelegate> {
 public:
  // (URL response, response object, error)
  using CompletionHandler = std::function<void(const plat::NSURLResponseRef& response,
                                               const plat::Value& responseObject,
                                               const plat::NSErrorRef& error)>;
  using ProgressBlock = std::function<void(const plat::NSProgressRef& progress)>;
  // (session, task, temporary file path) -> destination path ("" for none)
  using DownloadTaskDidFinishDownloading = std::function<std::string(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionTaskRef& task,
      const std::string& location)>;

  // Largest body a data or upload task holds for its completion; the first buffer never
  // reserves more either.
  static constexpr int64_t kMaxResponseDataLength = int64_t{256} << 20;
  // The bound in force: kMaxResponseDataLength unless a test lowered it.
  static int64_t maxResponseDataLength();
  // Lowers (or, with nullopt, restores) the bound. Tests only.
  static void setMaxResponseDataLengthForTesting(std::optional<int64_t> length);

  SDPURLSessionManagerTaskDelegate();
  ~SDPURLSessionManagerTaskDelegate();
  SDPURLSessionManagerTaskDelegate(const SDPURLSessionManagerTaskDelegate&) = delete;
  SDPURLSessionManagerTaskDelegate& operator=(const SDPURLSessionManagerTaskDelegate&) = delete;

  std::weak_ptr<SDPURLSessionManager> manager;
  CompletionHandler completionHandler;
  ProgressBlock uploadProgressBlock;
  ProgressBlock downloadProgressBlock;
  DownloadTaskDidFinishDownloading downloadTaskDidFinishDownloading;

  const plat::NSProgressRef& uploadProgress() const { return uploadProgress_; }
  const plat::NSProgressRef& downloadProgress() const { return downloadProgress_; }
  // Where the finished download was moved ("" until then).
  std::string downloadFileURL() const;
  void setDownloadFileURL(std::string path);
  // Why the move to downloadFileURL() failed (null when it moved): the completion reports it.
  plat::NSErrorRef downloadMoveError() const;
  void setDownloadMoveError(plat::NSErrorRef error);

  // Progress totals from the task, cancel/pause/resume of the progress objects acting on the
  // task, and observation of the task's four byte counters.
  void setupProgressForTask(const plat::NSURLSessionTaskRef& task);
  // Ends the observations begun by setupProgressForTask.
  void cleanUpProgressForTask(const plat::NSURLSessionTaskRef& task);
  // Notification observers of the manager for this task (kept here, removed with it).
  std::vector<plat::NSNotificationCenter::ObserverToken>& notificationTokens() { return notificationTokens_; }

  // Session callbacks forwarded by the manager (delegate queue).
  void URLSessionTaskDidCompleteWithError(const plat::NSURLSessionRef& session,
                                          const plat::NSURLSessionTaskRef& task,
                                          const plat::NSErrorRef& error);
  void URLSessionDataTaskDidReceiveData(const plat::NSURLSessionRef& session,
                                        const plat::NSURLSessionDataTaskRef& dataTask,
                                        const plat::Data& data);
  void URLSessionDownloadTaskDidFinishDownloadingToURL(
      const plat::NSURLSessionRef& session, const plat::NSURLSessionDownloadTaskRef& downloadTask,
      const std::string& location);

 private:
  plat::NSProgressRef uploadProgress_;
  plat::NSProgressRef downloadProgress_;
  std::optional<plat::Data> mutableData_;
  bool tooLong_ = false;   // the body passed the bound (delegate queue only)
  mutable std::mutex mu_;  // guards downloadFileURL_ and downloadMoveError_
  std::string downloadFileURL_;
  plat::NSErrorRef downloadMoveError_;
  std::vector<uint64_t> counterTokens_;
  uint64_t uploadProgressToken_ = 0;
  uint64_t downloadProgressToken_ = 0;
  std::vector<plat::NSNotificationCenter::ObserverToken> notificationTokens_;
};

// Moves the file at `from` to `to` with the file manager (a copy and delete across file
// systems); an existing file at `to` is never replaced (NSCocoaErrorDomain 516). Returns null
// on success, else the error, which is also posted as the file-move-error notification with
// `task` as object.
plat::NSErrorRef SDPMoveDownloadedFile(const std::string& from, const std::string& to,
                                       const plat::NSURLSessionTaskRef& task);
