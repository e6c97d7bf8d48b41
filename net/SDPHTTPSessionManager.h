#pragma once
// SDPHTTPSessionManager adds to SDPURLSessionManager a base URL, a request serializer and one
// operation per HTTP verb: each builds the request, creates a data task, resumes it and
// reports through a success block (task, response object) and a failure block (task, error),
// both on the completion queue (main by default). When the response serializer returns an
// object together with an error (a JSON body of a failed status), only failure runs.
//
// Thread-safety: as SDPURLSessionManager; the verb operations may be called from any thread
// once the manager is configured.

#include <functional>
#include <memory>
#include <string>

#include "net/SDPHTTPRequestSerializer.h"
#include "net/SDPStreamingMultipartFormData.h"
#include "net/SDPURLSessionManager.h"

class SDPHTTPSessionManager : public SDPURLSessionManager {
 public:
  using Success = std::function<void(const plat::NSURLSessionDataTaskRef& task,
                                     const plat::Value& responseObject)>;
  using Failure =
      std::function<void(const plat::NSURLSessionDataTaskRef& task, const plat::NSErrorRef& error)>;
  using HeadSuccess = std::function<void(const plat::NSURLSessionDataTaskRef& task)>;
  using ConstructingBody = std::function<void(SDPMultipartFormData& formData)>;

  // A manager without base URL over the default configuration.
  static std::shared_ptr<SDPHTTPSessionManager> manager();
  // `baseURL` "" means none. A base URL with a non-empty path not ending in "/" gets the
  // "/" added, so that relative paths resolve below it. A null configuration means the
  // default one.
  static std::shared_ptr<SDPHTTPSessionManager> initWithBaseURL(const std::string& baseURL);
  // Without base URL: `init` over the default configuration, `initWithSessionConfiguration`
  // over `configuration`. Both hide the base class's, which would make a plain manager.
  static std::shared_ptr<SDPHTTPSessionManager> init() { return manager(); }
  static std::shared_ptr<SDPHTTPSessionManager> initWithSessionConfiguration(
      const plat::NSURLSessionConfigurationRef& configuration) {
    return initWithBaseURLSessionConfiguration("", configuration);
  }
  static std::shared_ptr<SDPHTTPSessionManager> initWithBaseURLSessionConfiguration(
      const std::string& baseURL, const plat::NSURLSessionConfigurationRef& configuration);

  std::string className() const override { return "SDPHTTPSessionManager"; }
  // "<SDPHTTPSessionManager: 0x..., baseURL: ..., session: ..., operationQueue: ...>"
  std::string description() const override;

  const std::string& baseURL() const { return baseURL_; }
  std::shared_ptr<SDPHTTPRequestSerializer> requestSerializer() const;
  void setRequestSerializer(std::shared_ptr<SDPHTTPRequestSerializer> serializer);

  // The verbs. Each returns the resumed task, or null when the request could not be built
  // or the session makes no more tasks (invalidated); failure then gets a null task and the
  // error (-999 for an invalidated session), later, on the completion queue. URL strings are
  // resolved against baseURL.
  plat::NSURLSessionDataTaskRef GETParametersSuccessFailure(const std::string& URLString,
                                                            const plat::Value& parameters,
                                                            Success success, Failure failure);
  plat::NSURLSessionDataTaskRef GETParametersProgressSuccessFailure(const std::string& URLString,
                                                                    const plat::Value& parameters,
                                                                    ProgressBlock downloadProgress,
                                                                    Success success,
                                                                    Failure failure);
  plat::NSURLSessionDataTaskRef HEADParametersSuccessFailure(const std::string& URLString,
                                                             const plat::Value& parameters,
                                                             HeadSuccess success, Failure failure);
  plat::NSURLSessionDataTaskRef POSTParametersSuccessFailure(const std::string& URLString,
                                                             const plat::Value& parameters,
                                                             Success success, Failure failure);
  plat::NSURLSessionDataTaskRef POSTParametersProgressSuccessFailure(const std::string& URLString,
                                                                     const plat::Value& parameters,
                                                                     ProgressBlock uploadProgress,
                                                                     Success success,
                                                                     Failure failure);
  // Multipart POST: the parameters as form fields, then the parts `block` appends; streamed.
  plat::NSURLSessionDataTaskRef POSTParametersConstructingBodyWithBlockSuccessFailure(
      const std::string& URLString, const plat::Value& parameters, ConstructingBody block,
      Success success, Failure failure);
  plat::NSURLSessionDataTaskRef POSTParametersConstructingBodyWithBlockProgressSuccessFailure(
      const std::string& URLString, const plat::Value& parameters, ConstructingBody block,
      ProgressBlock uploadProgress, Success success, Failure failure);
  plat::NSURLSessionDataTaskRef PUTParametersSuccessFailure(const std::string& URLString,
                                                            const plat::Value& parameters,
                                                            Success success, Failure failure);
  plat::NSURLSessionDataTaskRef PATCHParametersSuccessFailure(const std::string& URLString,
                                                              const plat::Value& parameters,
                                                              Success success, Failure failure);
  plat::NSURLSessionDataTaskRef DELETEParametersSuccessFailure(const std::string& URLString,
                                                               const plat::Value& parameters,
                                                               Success success, Failure failure);

  // Builds the request and creates the (not resumed) data task behind every verb but the
  // multipart POST.
  plat::NSURLSessionDataTaskRef
  dataTaskWithHTTPMethodURLStringParametersUploadProgressDownloadProgressSuccessFailure(
      const std::string& method, const std::string& URLString, const plat::Value& parameters,
      ProgressBlock uploadProgress, ProgressBlock downloadProgress, Success success,
      Failure failure);

  // Keyed coding: what SDPURLSessionManager writes, then "baseURL" (a URL), the session
  // configuration, "requestSerializer", "responseSerializer" and "securityPolicy". Decoding
  // builds a manager over the decoded base URL and configuration (a background one when the
  // archive holds only its "identifier"), then takes the decoded serializers and policy;
  // one missing from the archive (or of the wrong class) leaves the default in place.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;
  static bool registerCodingClass();

  // copyWithZone of this class: a new manager of the receiver's class with the same base
  // URL and configuration and copies of the serializers and the security policy.
  std::shared_ptr<SDPHTTPSessionManager> copyHTTPSessionManager() const {
    return std::static_pointer_cast<SDPHTTPSessionManager>(copyWithZone());
  }

 protected:
  SDPHTTPSessionManager() = default;
  void setUpWithBaseURLSessionConfiguration(
      const std::string& baseURL, const plat::NSURLSessionConfigurationRef& configuration);
  std::shared_ptr<SDPURLSessionManager> makeInstance() const override;
  void setUpAsCopyOf(const SDPURLSessionManager& original) override;

 private:
  std::string resolve(const std::string& URLString) const;
  // Calls failure(null, error) later on the completion queue.
  void failLater(Failure failure, plat::NSErrorRef error) const;
  static CompletionHandler completionFor(
      std::shared_ptr<std::weak_ptr<plat::NSURLSessionTask>> taskSlot, Success success,
      Failure failure);

  std::string baseURL_;
  mutable std::mutex serializerMu_;
  std::shared_ptr<SDPHTTPRequestSerializer> requestSerializer_;
};

// The base URL rule: a non-empty path not ending in "/" gets one; other URLs stay.
std::string SDPNormalizedBaseURL(const std::string& baseURL);
