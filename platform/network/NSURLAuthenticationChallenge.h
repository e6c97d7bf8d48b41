#pragma once
// plat::NSURLProtectionSpace, plat::NSURLCredential and plat::NSURLAuthenticationChallenge:
// what a URL session asks its delegate when a server must be trusted, and the credential the
// delegate answers with. Immutable once made; thread-safe.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"
#include "platform/network/NSURLResponse.h"
#include "platform/security/SecTrust.h"

namespace plat {

inline constexpr const char* NSURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* NSURLAuthenticationMethodHTTPBasic =
    "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* NSURLAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";

inline constexpr const char* NSURLProtectionSpaceHTTP = "http";
inline constexpr const char* NSURLProtectionSpaceHTTPS = "https";

class NSURLProtectionSpace : public Object {
 public:
  NSURLProtectionSpace(std::string host, int64_t port, std::string protocol, std::string realm,
                       std::string authenticationMethod, SecTrustRef serverTrust = nullptr)
      : host_(std::move(host)),
        port_(port),
        protocol_(std::move(protocol)),
        realm_(std::move(realm)),
        method_(std::move(authenticationMethod)),
        trust_(std::move(serverTrust)) {}
  std::string className() const override { return "NSURLProtectionSpace"; }

  const std::string& host() const { return host_; }
  int64_t port() const { return port_; }
  const std::string& protocol() const { return protocol_; }
  const std::string& realm() const { return realm_; }
  const std::string& authenticationMethod() const { return method_; }
  // The trust of the server's chain, for NSURLAuthenticationMethodServerTrust; else null.
  const SecTrustRef& serverTrust() const { return trust_; }

 private:
  std::string host_;
  int64_t port_;
  std::string protocol_;
  std::string realm_;
  std::string method_;
  SecTrustRef trust_;
};
using NSURLProtectionSpaceRef = std::shared_ptr<NSURLProtectionSpace>;

enum NSURLCredentialPersistence : uint64_t {
  NSURLCredentialPersistenceNone = 0,
  NSURLCredentialPersistenceForSession = 1,
  NSURLCredentialPersistencePermanent = 2,
};

class NSURLCredential : public Object {
 public:
  // Accepts the given server trust.
  static std::shared_ptr<NSURLCredential> credentialForTrust(SecTrustRef trust);
  static std::shared_ptr<NSURLCredential> credentialWithUserPasswordPersistence(
      std::string user, std::string password, NSURLCredentialPersistence persistence);
  std::string className() const override { return "NSURLCredential"; }

  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  bool hasPassword() const { return !trust_ && !password_.empty(); }
  NSURLCredentialPersistence persistence() const { return persistence_; }
  // The trust a trust credential accepts; null for a user credential.
  const SecTrustRef& trust() const { return trust_; }

 private:
  std::string user_;
  std::string password_;
  NSURLCredentialPersistence persistence_ = NSURLCredentialPersistenceNone;
  SecTrustRef trust_;
};
using NSURLCredentialRef = std::shared_ptr<NSURLCredential>;

class NSURLAuthenticationChallenge : public Object {
 public:
  NSURLAuthenticationChallenge(NSURLProtectionSpaceRef space, NSURLCredentialRef proposed,
                               int64_t previousFailureCount, NSURLResponseRef failureResponse,
                               NSErrorRef error)
      : space_(std::move(space)),
        proposed_(std::move(proposed)),
        previousFailureCount_(previousFailureCount),
        failureResponse_(std::move(failureResponse)),
        error_(std::move(error)) {}
  std::string className() const override { return "NSURLAuthenticationChallenge"; }

  const NSURLProtectionSpaceRef& protectionSpace() const { return space_; }
  const NSURLCredentialRef& proposedCredential() const { return proposed_; }
  int64_t previousFailureCount() const { return previousFailureCount_; }
  const NSURLResponseRef& failureResponse() const { return failureResponse_; }
  const NSErrorRef& error() const { return error_; }

 private:
  NSURLProtectionSpaceRef space_;
  NSURLCredentialRef proposed_;
  int64_t previousFailureCount_;
  NSURLResponseRef failureResponse_;
  NSErrorRef error_;
};
using NSURLAuthenticationChallengeRef = std::shared_ptr<NSURLAuthenticationChallenge>;

enum NSURLSessionAuthChallengeDisposition : int64_t {
  // Accept with the credential (a trust credential accepts the server).
  NSURLSessionAuthChallengeUseCredential = 0,
  // The standard evaluation (system anchors, SSL policy for the host).
  NSURLSessionAuthChallengePerformDefaultHandling = 1,
  // Fails the task with NSURLErrorCancelled.
  NSURLSessionAuthChallengeCancelAuthenticationChallenge = 2,
  // Fails the task with NSURLErrorServerCertificateUntrusted.
  NSURLSessionAuthChallengeRejectProtectionSpace = 3,
};

}  // namespace plat
