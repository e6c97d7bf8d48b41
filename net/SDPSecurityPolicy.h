#pragma once
// SDPSecurityPolicy decides whether a server's TLS trust is accepted for a host: the
// platform's standard evaluation (optionally with the host name check), optionally accepting
// invalid chains, and optionally pinning certificates or their public keys.
//
// Thread-safety: configure before sharing; evaluateServerTrustForDomain may then be called
// from any thread (it only reads the policy's settings).
//
// Key-value observing: setPinnedCertificates announces "pinnedCertificates", and observers of
// "pinnedPublicKeys" hear it too (the keys are derived from the certificates).

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/foundation/Object.h"
#include "platform/security/SecTrust.h"

enum SDPSSLPinningMode : uint64_t {
  SDPSSLPinningModeNone = 0,
  SDPSSLPinningModePublicKey = 1,
  SDPSSLPinningModeCertificate = 2,
};

class SDPSecurityPolicy : public plat::Object,
                          public plat::NSCoding,
                          public plat::NSKeyValueObservable {
 public:
  // A set of DER certificate data (no duplicates); nullopt is "no set".
  using CertificateSet = std::optional<std::vector<plat::Data>>;

  SDPSecurityPolicy() = default;

  // The DER contents of every ".cer" resource at the top of `bundlePath` (unreadable files
  // are left out). Empty when the folder has none.
  static std::vector<plat::Data> certificatesInBundle(const std::string& bundlePath);
  // certificatesInBundle of the main bundle, computed once per process.
  static const std::vector<plat::Data>& defaultPinnedCertificates();

  // No pinning, host name checked, invalid certificates refused.
  static std::shared_ptr<SDPSecurityPolicy> defaultPolicy();
  static std::shared_ptr<SDPSecurityPolicy> policyWithPinningMode(SDPSSLPinningMode mode);
  static std::shared_ptr<SDPSecurityPolicy> policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningMode mode, CertificateSet pinnedCertificates);

  SDPSSLPinningMode SSLPinningMode() const { return mode_; }
  void setSSLPinningMode(SDPSSLPinningMode mode) { mode_ = mode; }
  bool allowInvalidCertificates() const { return allowInvalidCertificates_; }
  void setAllowInvalidCertificates(bool allow) { allowInvalidCertificates_ = allow; }
  bool validatesDomainName() const { return validatesDomainName_; }
  void setValidatesDomainName(bool validates) { validatesDomainName_ = validates; }

  const CertificateSet& pinnedCertificates() const { return pinnedCertificates_; }
  // Stores the set (duplicates dropped) and derives pinnedPublicKeys from it; data that is
  // not a DER certificate contributes no key (and can never match a chain certificate).
  void setPinnedCertificates(CertificateSet certificates);
  const std::optional<std::vector<plat::SecKeyRef>>& pinnedPublicKeys() const {
    return pinnedPublicKeys_;
  }
  // {"pinnedCertificates"}: the keys that change pinnedPublicKeys.
  static std::set<std::string> keyPathsForValuesAffectingPinnedPublicKeys();
  std::set<std::string> keyPathsAffectingValueForKey(const std::string& key) const override;

  // Whether `serverTrust` is accepted for `domain` (nullopt: no host name to check). Changes
  // the trust's policies (and, in certificate mode, its anchors). A null trust answers false.
  bool evaluateServerTrustForDomain(const plat::SecTrustRef& serverTrust,
                                    const std::optional<std::string>& domain) const;

  // A new policy with the same mode and flags and the same certificates (keys derived again).
  std::shared_ptr<SDPSecurityPolicy> copyWithZone() const;
  std::string className() const override { return "SDPSecurityPolicy"; }
  static constexpr bool supportsSecureCoding() { return true; }
  // Keyed coding of "SSLPinningMode", "allowInvalidCertificates", "validatesDomainName" and
  // "pinnedCertificates" (an array of DER data); the keys are derived again on decoding.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;

 private:
  bool allowInvalidCertificates_ = false;
  bool validatesDomainName_ = true;
  SDPSSLPinningMode mode_ = SDPSSLPinningModeNone;
  CertificateSet pinnedCertificates_;
  std::optional<std::vector<plat::SecKeyRef>> pinnedPublicKeys_;
};

// The public key of a DER certificate, from a one-certificate trust with a basic policy;
// null when any step fails.
plat::SecKeyRef SDPPublicKeyForCertificate(const plat::Data& certificate);
// Whether the trust evaluates and its result is proceed or unspecified.
bool SDPServerTrustIsValid(const plat::SecTrustRef& serverTrust);
