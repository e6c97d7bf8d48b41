#include "net/SDPHTTPSessionManager.h"

#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPNetworkingPrivate.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/NSURLError.h"

std::string SDPNormalizedBaseURL(const std::string& baseURL) {
  auto url = plat::NSURL::URLWithString(baseURL);
  if (!url) return baseURL;
  const std::string& absolute = url->absoluteString();
  if (url->percentEncodedPath().empty() || url->hasDirectoryPath()) return absolute;
  // Append "/" to the path, before any query or fragment.
  size_t end = absolute.find_first_of("?#");
  if (end == std::string::npos) end = absolute.size();
  return absolute.substr(0, end) + "/" + absolute.substr(end);
}

std::shared_ptr<SDPHTTPSessionManager> SDPHTTPSessionManager::manager() {
  return initWithBaseURLSessionConfiguration("", nullptr);
}

std::shared_ptr<SDPHTTPSessionManager> SDPHTTPSessionManager::initWithBaseURL(
    const std::string& baseURL) {
  return initWithBaseURLSessionConfiguration(baseURL, nullptr);
}

std::shared_ptr<SDPHTTPSessionManager> SDPHTTPSessionManager::initWithBaseURLSessionConfiguration(
    const std::string& baseURL, const plat::NSURLSessionConfigurationRef& configuration) {
  std::shared_ptr<SDPHTTPSessionManager> manager(new SDPHTTPSessionManager());
  manager->setUpWithBaseURLSessionConfiguration(baseURL, configuration);
  return manager;
}

void SDPHTTPSessionManager::setUpWithBaseURLSessionConfiguration(
    const std::string& baseURL, const plat::NSURLSessionConfigurationRef& configuration) {
  setUpWithSessionConfiguration(configuration);
  baseURL_ = baseURL.empty() ? "" : SDPNormalizedBaseURL(baseURL);
  requestSerializer_ = SDPHTTPRequestSerializer::serializer();
  setResponseSerializer(SDPJSONResponseSerializer::serializer());
}

std::shared_ptr<SDPURLSessionManager> SDPHTTPSessionManager::makeInstance() const {
  return std::shared_ptr<SDPHTTPSessionManager>(new SDPHTTPSessionManager());
}

std::string SDPHTTPSessionManager::description() const {
  return plat::format("<%@: %p, baseURL: %@, session: %@, operationQueue: %@>", className(),
                      static_cast<const void*>(this),
                      baseURL_.empty() ? plat::Value() : plat::Value(baseURL_),
                      plat::Value(session()), plat::Value(operationQueue()));
}

std::shared_ptr<SDPHTTPRequestSerializer> SDPHTTPSessionManager::requestSerializer() const {
  std::lock_guard<std::mutex> lock(serializerMu_);
  return requestSerializer_;
}

void SDPHTTPSessionManager::setRequestSerializer(
    std::shared_ptr<SDPHTTPRequestSerializer> serializer) {
  std::lock_guard<std::mutex> lock(serializerMu_);
  requestSerializer_ = std::move(serializer);
}

std::string SDPHTTPSessionManager::resolve(const std::string& URLString) const {
  return SDPURLStringRelativeToURL(URLString, baseURL_);
}

void SDPHTTPSessionManager::failLater(Failure failure, plat::NSErrorRef error) const {
  if (!failure) return;
  auto queue = completionQueue();
  if (!queue) queue = plat::dispatch_get_main_queue();
  plat::dispatch_async(queue, [failure = std::move(failure), error] { failure(nullptr, error); });
}

SDPURLSessionManager::CompletionHandler SDPHTTPSessionManager::completionFor(
    std::shared_ptr<std::weak_ptr<plat::NSURLSessionTask>> taskSlot, Success success,
    Failure failure) {
  return [taskSlot, success = std::move(success), failure = std::move(failure)](
             const plat::NSURLResponseRef&, const plat::Value& responseObject,
             const plat::NSErrorRef& error) {
    auto task = std::static_pointer_cast<plat::NSURLSessionDataTask>(taskSlot->lock());
    if (error) {
      if (failure) failure(task, error);
    } else if (success) {
      success(task, responseObject);
    }
  };
}

plat::NSURLSessionDataTaskRef
SDPHTTPSessionManager::dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
    const std::string& method, const std::string& URLString, const plat::Value& parameters,
    ProgressBlock uploadProgress, ProgressBlock downloadProgress, Success success,
    Failure failure) {
  plat::NSErrorRef serializationError;
  auto request = requestSerializer()->requestWithMethodURLStringParametersError(
      method, resolve(URLString), parameters, &serializationError);
  // A serializer may report an error together with a request (parameters its body writer
  // cannot hold leave the body out): that request is not sent.
  if (!request || serializationError) {
    failLater(std::move(failure), serializationError);
    return nullptr;
  }
  // The task completes after it is returned, so the handler finds it through this slot.
  auto taskSlot = std::make_shared<std::weak_ptr<plat::NSURLSessionTask>>();
  auto task = dataTaskWithRequestUploadProgressDownloadProgressCompletionHandler(
      request, std::move(uploadProgress), std::move(downloadProgress),
      completionFor(taskSlot, success, failure));
  if (!task) {
    // The session makes no more tasks (it was invalidated): the caller still hears back.
    failLater(std::move(failure), plat::makeURLError(plat::NSURLErrorCancelled, request->URL()));
    return nullptr;
  }
  *taskSlot = task;
  return task;
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::GETParametersSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, Success success,
    Failure failure) {
  return GETParametersProgressSuccessFailure(URLString, parameters, nullptr, std::move(success),
                                             std::move(failure));
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::GETParametersProgressSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, ProgressBlock downloadProgress,
    Success success, Failure failure) {
  auto task = dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
      "GET", URLString, parameters, nullptr, std::move(downloadProgress), std::move(success),
      std::move(failure));
  if (task) task->resume();
  return task;
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::HEADParametersSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, HeadSuccess success,
    Failure failure) {
  Success wrapped;
  if (success) {
    wrapped = [success = std::move(success)](const plat::NSURLSessionDataTaskRef& task,
                                             const plat::Value&) { success(task); };
  }
  auto task = dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
      "HEAD", URLString, parameters, nullptr, nullptr, std::move(wrapped), std::move(failure));
  if (task) task->resume();
  return task;
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::POSTParametersSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, Success success,
    Failure failure) {
  return POSTParametersProgressSuccessFailure(URLString, parameters, nullptr, std::move(success),
                                              std::move(failure));
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::POSTParametersProgressSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, ProgressBlock uploadProgress,
    Success success, Failure failure) {
  auto task = dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
      "POST", URLString, parameters, std::move(uploadProgress), nullptr, std::move(success),
      std::move(failure));
  if (task) task->resume();
  return task;
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::POSTParametersConstructingBodyWithBlockSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, ConstructingBody block,
    Success success, Failure failure) {
  return POSTParametersConstructingBodyWithBlockProgressSuccessFailure(
      URLString, parameters, std::move(block), nullptr, std::move(success), std::move(failure));
}

plat::NSURLSessionDataTaskRef
SDPHTTPSessionManager::POSTParametersConstructingBodyWithBlockProgressSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, ConstructingBody block,
    ProgressBlock uploadProgress, Success success, Failure failure) {
  plat::NSErrorRef serializationError;
  auto request =
      requestSerializer()->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", resolve(URLString), parameters, block, &serializationError);
  if (!request || serializationError) {
    failLater(std::move(failure), serializationError);
    return nullptr;
  }
  auto taskSlot = std::make_shared<std::weak_ptr<plat::NSURLSessionTask>>();
  auto task = uploadTaskWithStreamedRequestProgressCompletionHandler(
      request, std::move(uploadProgress), completionFor(taskSlot, success, failure));
  if (!task) {
    failLater(std::move(failure), plat::makeURLError(plat::NSURLErrorCancelled, request->URL()));
    return nullptr;
  }
  *taskSlot = task;
  task->resume();
  return task;
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::PUTParametersSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, Success success,
    Failure failure) {
  auto task = dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
      "PUT", URLString, parameters, nullptr, nullptr, std::move(success), std::move(failure));
  if (task) task->resume();
  return task;
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::PATCHParametersSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, Success success,
    Failure failure) {
  auto task = dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
      "PATCH", URLString, parameters, nullptr, nullptr, std::move(success), std::move(failure));
  if (task) task->resume();
  return task;
}

plat::NSURLSessionDataTaskRef SDPHTTPSessionManager::DELETEParametersSuccessFailure(
    const std::string& URLString, const plat::Value& parameters, Success success,
    Failure failure) {
  auto task = dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
      "DELETE", URLString, parameters, nullptr, nullptr, std::move(success), std::move(failure));
  if (task) task->resume();
  return task;
}

void SDPHTTPSessionManager::setUpAsCopyOf(const SDPURLSessionManager& original) {
  auto* http = dynamic_cast<const SDPHTTPSessionManager*>(&original);
  if (!http) {
    // Only reached through a subclass that makes instances of another family: still a
    // complete manager, with this class's defaults.
    setUpWithBaseURLSessionConfiguration("", original.session()->configuration());
    return;
  }
  setUpWithBaseURLSessionConfiguration(http->baseURL_, http->session()->configuration());
  if (auto serializer = http->requestSerializer()) setRequestSerializer(serializer->copyWithZone());
  if (auto serializer = http->responseSerializer()) setResponseSerializer(serializer->copyWithZone());
  if (auto policy = http->securityPolicy()) setSecurityPolicy(policy->copyWithZone());
}

bool SDPHTTPSessionManager::registerCodingClass() {
  plat::NSCodingClasses::registerClass(
      "SDPHTTPSessionManager",
      [] {
        return std::static_pointer_cast<plat::Object>(
            std::shared_ptr<SDPHTTPSessionManager>(new SDPHTTPSessionManager()));
      },
      {"SDPURLSessionManager"});
  return true;
}

namespace {
const bool kHTTPManagerCodingRegistered = SDPHTTPSessionManager::registerCodingClass();
}  // namespace

void SDPHTTPSessionManager::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  SDPURLSessionManager::encodeWithCoder(coder);
  coder.encodeObjectForKey(baseURL_.empty() ? plat::Value() : plat::Value(plat::NSURL::URLWithString(baseURL_)),
                           "baseURL");
  // Every configuration of this platform is archivable, so the identifier alone is never
  // needed.
  coder.encodeObjectForKey(plat::Value(session()->configuration()), "sessionConfiguration");
  coder.encodeObjectForKey(plat::Value(requestSerializer()), "requestSerializer");
  coder.encodeObjectForKey(plat::Value(std::dynamic_pointer_cast<plat::Object>(responseSerializer())),
                           "responseSerializer");
  coder.encodeObjectForKey(plat::Value(securityPolicy()), "securityPolicy");
}

bool SDPHTTPSessionManager::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kHTTPManagerCodingRegistered;
  if (session()) return false;  // already set up: not a fresh instance
  std::string baseURL;
  plat::Value base = coder.decodeObjectForKey("baseURL");
  if (auto url = base.objectAs<plat::NSURL>()) {
    baseURL = url->absoluteString();
  } else if (base.string()) {
    baseURL = *base.string();
  }
  auto configuration =
      coder.decodeObjectForKey("sessionConfiguration").objectAs<plat::NSURLSessionConfiguration>();
  if (!configuration) {
    plat::Value identifier = coder.decodeObjectForKey("identifier");
    if (identifier.string()) {
      configuration =
          plat::NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(*identifier.string());
    }
  }
  setUpWithBaseURLSessionConfiguration(baseURL, configuration);
  if (auto serializer = coder.decodeObjectForKey("requestSerializer").objectAs<SDPHTTPRequestSerializer>()) {
    setRequestSerializer(serializer);
  }
  if (auto serializer = coder.decodeObjectForKey("responseSerializer").objectAs<SDPHTTPResponseSerializer>()) {
    setResponseSerializer(serializer);
  }
  if (auto policy = coder.decodeObjectForKey("securityPolicy").objectAs<SDPSecurityPolicy>()) {
    setSecurityPolicy(policy);
  }
  return true;
}
