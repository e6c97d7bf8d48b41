#pragma once
// Server trust on OpenSSL, in the shape of the platform's Security framework: certificates
// made from DER, public keys, basic and SSL policies, and trusts that evaluate a presented
// chain against anchor certificates (the system store, or anchors set on the trust).
//
// Certificates, keys and policies are immutable and thread-safe. A SecTrust is internally
// synchronized: it may be evaluated and read from any thread, but its settings are meant to
// be made before it is shared.
//
// Functions report failure through an OSStatus (errSecSuccess on success) or a null result;
// they never throw.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"

struct x509_st;
struct evp_pkey_st;

namespace plat {

using OSStatus = int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecNotTrusted = -67843;
inline constexpr OSStatus errSecCertificateExpired = -67818;
inline constexpr OSStatus errSecHostNameMismatch = -67602;

// Error domain of SecTrustEvaluateWithError's errors (codes are the OSStatus values above).
inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

// An X.509 certificate.
class SecCertificate : public Object {
 public:
  ~SecCertificate() override;
  std::string className() const override { return "SecCertificate"; }
  // Equal when the DER encodings are equal.
  bool isEqual(const Object& other) const override;
  // The underlying OpenSSL certificate (owned by this object).
  x509_st* x509() const { return x509_; }
  // Takes one reference of `cert` (the caller keeps its own).
  static std::shared_ptr<SecCertificate> fromX509(x509_st* cert);

 private:
  explicit SecCertificate(x509_st* cert) : x509_(cert) {}
  x509_st* x509_;
};
using SecCertificateRef = std::shared_ptr<SecCertificate>;

// A public key.
class SecKey : public Object {
 public:
  ~SecKey() override;
  std::string className() const override { return "SecKey"; }
  // Equal when the DER SubjectPublicKeyInfo encodings are equal.
  bool isEqual(const Object& other) const override;
  evp_pkey_st* pkey() const { return pkey_; }
  // Takes one reference of `key`.
  static std::shared_ptr<SecKey> fromPKey(evp_pkey_st* key);

 private:
  explicit SecKey(evp_pkey_st* key) : pkey_(key) {}
  evp_pkey_st* pkey_;
};
using SecKeyRef = std::shared_ptr<SecKey>;

// A trust policy: basic X.509 (chain and validity dates) or SSL (adds the server host name
// check and the server-authentication purpose).
class SecPolicy : public Object {
 public:
  SecPolicy(bool ssl, bool server, std::optional<std::string> hostname)
      : ssl_(ssl), server_(server), hostname_(std::move(hostname)) {}
  std::string className() const override { return "SecPolicy"; }
  bool isSSL() const { return ssl_; }
  bool isServer() const { return server_; }
  const std::optional<std::string>& hostname() const { return hostname_; }

 private:
  bool ssl_;
  bool server_;
  std::optional<std::string> hostname_;
};
using SecPolicyRef = std::shared_ptr<SecPolicy>;

class SecTrust;
using SecTrustRef = std::shared_ptr<SecTrust>;

enum SecTrustResultType : uint32_t {
  kSecTrustResultInvalid = 0,
  kSecTrustResultProceed = 1,
  kSecTrustResultDeny = 3,
  kSecTrustResultUnspecified = 4,
  kSecTrustResultRecoverableTrustFailure = 5,
  kSecTrustResultFatalTrustFailure = 6,
  kSecTrustResultOtherError = 7,
};

// --- Certificates and keys ---

// A certificate from DER bytes; null when the bytes are not exactly one DER certificate.
SecCertificateRef SecCertificateCreateWithData(const Data& der);
// The certificate's DER bytes.
Data SecCertificateCopyData(const SecCertificateRef& certificate);
// The subject's common name, or the whole subject line when there is none.
std::string SecCertificateCopySubjectSummary(const SecCertificateRef& certificate);
// The certificate's public key; null when OpenSSL cannot read it.
SecKeyRef SecCertificateCopyKey(const SecCertificateRef& certificate);
// The key as DER SubjectPublicKeyInfo bytes (empty on failure).
Data SecKeyCopyExternalRepresentation(const SecKeyRef& key);

// --- Policies ---

SecPolicyRef SecPolicyCreateBasicX509();
// `server` checks a server's certificates by the phone's rules: the server-authentication
// purpose, serverAuth in the leaf's extended key usage, a leaf issued since 1 July 2019 valid
// for at most 825 days, RSA keys of at least 2048 bits or EC keys on P-256, P-384 or P-521
// and no other keys, SHA-2 signatures on every certificate but the anchor (a chain that breaks
// them fails as not trusted, "not standards compliant").
// A hostname (a DNS name or an IP address) is matched against the leaf's subject alternative
// names only, never its common name; a wildcard stands only as a whole leftmost label and never
// over a public suffix ("*.co.uk"), and a DNS name must also lie within every CA's name
// constraints. The hostname is taken in its canonical form (canonicalHostName: A-labels, lower
// case, no trailing dot), and the certificate's names and constraints are compared in the same
// form; a hostname that cannot be mapped matches no certificate. No hostname: no name check.
SecPolicyRef SecPolicyCreateSSL(bool server, std::optional<std::string> hostname);

// --- Trusts ---

// A trust over `certificates` (leaf first, then the rest of the presented chain) with the
// given policies (empty: one basic X.509 policy). Returns errSecParam and leaves *trust
// null when there is no certificate or a null one.
OSStatus SecTrustCreateWithCertificates(const std::vector<SecCertificateRef>& certificates,
                                        const std::vector<SecPolicyRef>& policies,
                                        SecTrustRef* trust);
OSStatus SecTrustSetPolicies(const SecTrustRef& trust, const std::vector<SecPolicyRef>& policies);
std::vector<SecPolicyRef> SecTrustCopyPolicies(const SecTrustRef& trust);
// Makes `anchors` the trust's anchors; by default the system anchors are then no longer
// trusted (anchors only). An empty list restores the system anchors.
OSStatus SecTrustSetAnchorCertificates(const SecTrustRef& trust,
                                       const std::vector<SecCertificateRef>& anchors);
// false: trust the system anchors as well as the custom ones.
OSStatus SecTrustSetAnchorCertificatesOnly(const SecTrustRef& trust, bool anchorsOnly);
// Evaluates at this date instead of now.
OSStatus SecTrustSetVerifyDate(const SecTrustRef& trust, double secondsSince1970);

// Evaluates the chain under every policy. *result is kSecTrustResultUnspecified for a valid
// chain and kSecTrustResultRecoverableTrustFailure for an untrusted, expired or misnamed
// one, or one that breaks the SSL server policy's rules. The status is errSecSuccess whenever evaluation could run (also for a failed one);
// errSecParam for a null trust.
OSStatus SecTrustEvaluate(const SecTrustRef& trust, SecTrustResultType* result);
// true when the chain is valid; otherwise false and *error (domain NSOSStatusErrorDomain,
// codes errSecNotTrusted, errSecCertificateExpired, errSecHostNameMismatch).
bool SecTrustEvaluateWithError(const SecTrustRef& trust, NSErrorRef* error);
// The last result of evaluation (kSecTrustResultInvalid before any).
SecTrustResultType SecTrustGetTrustResult(const SecTrustRef& trust);

// The chain: after a successful evaluation, the verified chain from the leaf up to and
// including its anchor; otherwise as much of a chain as could be built from the leaf, each
// certificate issued and signed by the next (presented certificates that do not chain to the
// leaf are left out). Evaluates first when not yet evaluated. An index out of range gives null.
int64_t SecTrustGetCertificateCount(const SecTrustRef& trust);
SecCertificateRef SecTrustGetCertificateAtIndex(const SecTrustRef& trust, int64_t index);
// The leaf's public key, whether or not the chain evaluates valid. Null only when the leaf's
// key cannot be read.
SecKeyRef SecTrustCopyPublicKey(const SecTrustRef& trust);

// --- System anchors ---

// Replaces the process-wide system anchor store (tests put their own CA here). Thread-safe.
void SecTrustSetSystemAnchorCertificates(std::vector<SecCertificateRef> anchors);
// Back to the machine's store (OpenSSL's default verify paths).
void SecTrustResetSystemAnchorCertificates();

// --- Device anchors ---
// The device root adds anchors of its own to the system's (as a phone's installed profiles
// do): every certificate file in this folder (PEM with one or more certificates, or DER) is
// trusted wherever the system anchors are. Only regular files are read.
std::string SecTrustDeviceAnchorsPath();
// Writes `certificate` into that folder (a DER file named after its SHA-1). False when it
// cannot be written, also when something other than a regular file has that name.
bool SecTrustAddDeviceAnchorCertificate(const SecCertificateRef& certificate);

}  // namespace plat
