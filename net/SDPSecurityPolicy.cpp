#include "net/SDPSecurityPolicy.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "net/SDPNetworkingPrivate.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

namespace {

constexpr const char* kSelfSignedNeedsPinning =
    "In order to validate a domain name for self signed certificates, you MUST use pinning.";

bool containsData(const std::vector<plat::Data>& set, const plat::Data& data) {
  for (const auto& d : set) {
    if (d == data) return true;
  }
  return false;
}

}  // namespace

plat::SecKeyRef SDPPublicKeyForCertificate(const plat::Data& certificate) {
  auto cert = plat::SecCertificateCreateWithData(certificate);
  if (!cert) return nullptr;
  plat::SecTrustRef trust;
  if (plat::SecTrustCreateWithCertificates({cert}, {plat::SecPolicyCreateBasicX509()}, &trust) !=
          plat::errSecSuccess ||
      !trust) {
    return nullptr;
  }
  plat::SecTrustResultType result = plat::kSecTrustResultInvalid;
  if (plat::SecTrustEvaluate(trust, &result) != plat::errSecSuccess) return nullptr;
  return plat::SecTrustCopyPublicKey(trust);
}

bool SDPServerTrustIsValid(const plat::SecTrustRef& serverTrust) {
  plat::SecTrustResultType result = plat::kSecTrustResultInvalid;
  if (plat::SecTrustEvaluate(serverTrust, &result) != plat::errSecSuccess) return false;
  return result == plat::kSecTrustResultProceed || result == plat::kSecTrustResultUnspecified;
}

std::vector<plat::Data> SDPSecurityPolicy::certificatesInBundle(const std::string& bundlePath) {
  std::vector<plat::Data> out;
  if (!plat::isValidFilePath(bundlePath)) return out;  // a NUL would name a shorter path
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (std::filesystem::directory_iterator it(bundlePath, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() == ".cer") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    // The platform's reader refuses anything but a regular file, so a named pipe never blocks.
    auto data = plat::dataWithContentsOfFile(path.string());
    if (!data) continue;
    if (!containsData(out, *data)) out.push_back(std::move(*data));
  }
  return out;
}

const std::vector<plat::Data>& SDPSecurityPolicy::defaultPinnedCertificates() {
  static const std::vector<plat::Data>* certificates =
      new std::vector<plat::Data>(certificatesInBundle(SDPMainBundlePath()));
  return *certificates;
}

std::shared_ptr<SDPSecurityPolicy> SDPSecurityPolicy::defaultPolicy() {
  auto policy = std::make_shared<SDPSecurityPolicy>();
  policy->setSSLPinningMode(SDPSSLPinningModeNone);
  return policy;
}

std::shared_ptr<SDPSecurityPolicy> SDPSecurityPolicy::policyWithPinningMode(
    SDPSSLPinningMode mode) {
  return policyWithPinningModeWithPinnedCertificates(mode, defaultPinnedCertificates());
}

std::shared_ptr<SDPSecurityPolicy> SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
    SDPSSLPinningMode mode, CertificateSet pinnedCertificates) {
  auto policy = std::make_shared<SDPSecurityPolicy>();
  policy->setSSLPinningMode(mode);
  policy->setPinnedCertificates(std::move(pinnedCertificates));
  return policy;
}

std::set<std::string> SDPSecurityPolicy::keyPathsForValuesAffectingPinnedPublicKeys() {
  return {"pinnedCertificates"};
}

std::set<std::string> SDPSecurityPolicy::keyPathsAffectingValueForKey(
    const std::string& key) const {
  if (key == "pinnedPublicKeys") return keyPathsForValuesAffectingPinnedPublicKeys();
  return NSKeyValueObservable::keyPathsAffectingValueForKey(key);
}

void SDPSecurityPolicy::setPinnedCertificates(CertificateSet certificates) {
  willChangeValueForKey("pinnedCertificates");
  if (!certificates) {
    pinnedCertificates_.reset();
    pinnedPublicKeys_.reset();
  } else {
    std::vector<plat::Data> unique;
    for (auto& data : *certificates) {
      if (!containsData(unique, data)) unique.push_back(std::move(data));
    }
    std::vector<plat::SecKeyRef> keys;
    for (const auto& data : unique) {
      if (auto key = SDPPublicKeyForCertificate(data)) keys.push_back(std::move(key));
    }
    pinnedCertificates_ = std::move(unique);
    pinnedPublicKeys_ = std::move(keys);
  }
  didChangeValueForKey("pinnedCertificates");
}

bool SDPSecurityPolicy::evaluateServerTrustForDomain(
    const plat::SecTrustRef& serverTrust, const std::optional<std::string>& domain) const {
  if (!serverTrust) return false;
  const bool noPins = !pinnedCertificates_ || pinnedCertificates_->empty();
  if (domain && allowInvalidCertificates_ && validatesDomainName_ &&
      (mode_ == SDPSSLPinningModeNone || noPins)) {
    SDPNetworkingLog(kSelfSignedNeedsPinning);
    return false;
  }

  plat::SecPolicyRef policy = validatesDomainName_ ? plat::SecPolicyCreateSSL(true, domain)
                                                   : plat::SecPolicyCreateBasicX509();
  plat::SecTrustSetPolicies(serverTrust, {policy});

  if (mode_ == SDPSSLPinningModeNone) {
    return allowInvalidCertificates_ || SDPServerTrustIsValid(serverTrust);
  }
  if (!allowInvalidCertificates_ && !SDPServerTrustIsValid(serverTrust)) return false;

  switch (mode_) {
    case SDPSSLPinningModeCertificate: {
      if (noPins) return false;
      std::vector<plat::SecCertificateRef> anchors;
      for (const auto& data : *pinnedCertificates_) {
        if (auto cert = plat::SecCertificateCreateWithData(data)) anchors.push_back(cert);
      }
      if (anchors.empty()) return false;
      plat::SecTrustSetAnchorCertificates(serverTrust, anchors);
      if (!SDPServerTrustIsValid(serverTrust)) return false;
      const int64_t count = plat::SecTrustGetCertificateCount(serverTrust);
      for (int64_t i = count - 1; i >= 0; --i) {
        auto cert = plat::SecTrustGetCertificateAtIndex(serverTrust, i);
        if (cert && containsData(*pinnedCertificates_, plat::SecCertificateCopyData(cert))) {
          return true;
        }
      }
      return false;
    }
    case SDPSSLPinningModePublicKey: {
      if (!pinnedPublicKeys_) return false;
      const int64_t count = plat::SecTrustGetCertificateCount(serverTrust);
      for (int64_t i = 0; i < count; ++i) {
        auto cert = plat::SecTrustGetCertificateAtIndex(serverTrust, i);
        if (!cert) continue;
        auto key = SDPPublicKeyForCertificate(plat::SecCertificateCopyData(cert));
        if (!key) continue;
        for (const auto& pinned : *pinnedPublicKeys_) {
          if (pinned->isEqual(*key)) return true;
        }
      }
      return false;
    }
    default:
      return false;
  }
}

namespace {
const bool kRegistered = [] {
  plat::NSCodingClasses::registerClass("SDPSecurityPolicy",
                                       [] { return std::make_shared<SDPSecurityPolicy>(); });
  return true;
}();
}  // namespace

void SDPSecurityPolicy::encodeWithCoder(plat::NSKeyedArchiver& coder) const {
  coder.encodeObjectForKey(plat::Value(static_cast<uint64_t>(mode_)), "SSLPinningMode");
  coder.encodeBoolForKey(allowInvalidCertificates_, "allowInvalidCertificates");
  coder.encodeBoolForKey(validatesDomainName_, "validatesDomainName");
  plat::Value certificates;
  if (pinnedCertificates_) {
    plat::Array list;
    for (const auto& der : *pinnedCertificates_) list.emplace_back(der);
    certificates = plat::Value(std::move(list));
  }
  coder.encodeObjectForKey(certificates, "pinnedCertificates");
}

bool SDPSecurityPolicy::initWithCoder(plat::NSKeyedUnarchiver& coder) {
  (void)kRegistered;
  mode_ = static_cast<SDPSSLPinningMode>(
      coder.decodeObjectForKey("SSLPinningMode").unsignedIntegerValue());
  allowInvalidCertificates_ = coder.decodeBoolForKey("allowInvalidCertificates");
  validatesDomainName_ = coder.decodeBoolForKey("validatesDomainName");
  plat::Value certificates = coder.decodeObjectForKey("pinnedCertificates");
  if (const plat::Array* list = certificates.array()) {
    std::vector<plat::Data> ders;
    for (const auto& der : *list) {
      if (const plat::Data* d = der.data()) ders.push_back(*d);
    }
    setPinnedCertificates(std::move(ders));
  } else {
    setPinnedCertificates(std::nullopt);
  }
  return true;
}

std::shared_ptr<SDPSecurityPolicy> SDPSecurityPolicy::copyWithZone() const {
  auto copy = std::make_shared<SDPSecurityPolicy>();
  copy->setSSLPinningMode(mode_);
  copy->setAllowInvalidCertificates(allowInvalidCertificates_);
  copy->setValidatesDomainName(validatesDomainName_);
  copy->setPinnedCertificates(pinnedCertificates_);
  return copy;
}
