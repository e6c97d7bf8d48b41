#pragma once
// plat::NSURLProtectionSpace, plat::NSURLCredential and plat::NSURLAuthenticationChallenge:
// what a URL session or connection asks its delegate when a server must be trusted or asks
// for a user's credential (HTTP Basic, Digest), and the credential the delegate answers with.
// Immutable once made; thread-safe.

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
inline constexpr const char* NSURLAuthenticationMethodHTTPDigest =
    "NSURLAuthenticationMethodHTTPDigest";
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

class NSURLAuthenticationChallenge;
using NSURLAuthenticationChallengeRef = std::shared_ptr<NSURLAuthenticationChallenge>;

// The answers a URL connection's challenge takes (NSURLConnection.h). Every answer may be
// given on any thread, once per challenge; later answers are ignored.
class NSURLAuthenticationChallengeSender {
 public:
  virtual ~NSURLAuthenticationChallengeSender() = default;
  // Server trust: a trust credential accepts the server (a user credential, or none, leaves
  // the standard evaluation to decide). HTTP authentication: sends the credential.
  virtual void useCredentialForAuthenticationChallenge(
      const NSURLCredentialRef& credential, const NSURLAuthenticationChallengeRef& challenge) = 0;
  // Server trust: the standard evaluation decides. HTTP authentication: the server's failure
  // response is delivered as the response.
  virtual void continueWithoutCredentialForAuthenticationChallenge(
      const NSURLAuthenticationChallengeRef& challenge) = 0;
  // The load fails with NSURLErrorUserCancelledAuthentication.
  virtual void cancelAuthenticationChallenge(const NSURLAuthenticationChallengeRef& challenge) = 0;
  // Optional answers: each returns false when the sender does not offer it (nothing happens
  // then), true when taken.
  // As if the delegate did not take part in the challenge.
  virtual bool performDefaultHandlingForAuthenticationChallenge(
      const NSURLAuthenticationChallengeRef& challenge) {
    return false;
  }
  // Declines this protection space: server trust fails the load with
  // NSURLErrorServerCertificateUntrusted; HTTP authentication continues without credential.
  virtual bool rejectProtectionSpaceAndContinueWithChallenge(
      const NSURLAuthenticationChallengeRef& challenge) {
    return false;
  }
};
using NSURLAuthenticationChallengeSenderRef = std::shared_ptr<NSURLAuthenticationChallengeSender>;

class NSURLAuthenticationChallenge : public Object {
 public:
  NSURLAuthenticationChallenge(NSURLProtectionSpaceRef space, NSURLCredentialRef proposed,
                               int64_t previousFailureCount, NSURLResponseRef failureResponse,
                               NSErrorRef error, NSURLAuthenticationChallengeSenderRef sender = {})
      : space_(std::move(space)),
        proposed_(std::move(proposed)),
        previousFailureCount_(previousFailureCount),
        failureResponse_(std::move(failureResponse)),
        error_(std::move(error)),
        sender_(std::move(sender)) {}
  std::string className() const override { return "NSURLAuthenticationChallenge"; }

  const NSURLProtectionSpaceRef& protectionSpace() const { return space_; }
  // HTTP authentication: the credential sent with the request that failed (from the request
  // URL's user and password, or the last one the delegate gave); null when none.
  const NSURLCredentialRef& proposedCredential() const { return proposed_; }
  // How many times this protection space has refused a credential during this load.
  int64_t previousFailureCount() const { return previousFailureCount_; }
  // HTTP authentication: the 401 response that asked for a credential; null for server trust.
  const NSURLResponseRef& failureResponse() const { return failureResponse_; }
  const NSErrorRef& error() const { return error_; }
  // The connection's answers; null for a session's challenge (which takes a completion).
  const NSURLAuthenticationChallengeSenderRef& sender() const { return sender_; }

 private:
  NSURLProtectionSpaceRef space_;
  NSURLCredentialRef proposed_;
  int64_t previousFailureCount_;
  NSURLResponseRef failureResponse_;
  NSErrorRef error_;
  NSURLAuthenticationChallengeSenderRef sender_;
};

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
