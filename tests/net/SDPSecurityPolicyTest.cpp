// Server-trust decisions of the security policy over chains of a test PKI.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "net/SDPSecurityPolicy.h"
#include "testing/net/LoopbackServer.h"

namespace {

const testing_net::TestPKI& pki() { return testing_net::TestPKI::shared(); }

plat::SecTrustRef trustFor(std::vector<const testing_net::TestCertificate*> chain) {
  std::vector<plat::SecCertificateRef> certs;
  for (const auto* c : chain) certs.push_back(plat::SecCertificateCreateWithData(c->der));
  plat::SecTrustRef trust;
  EXPECT_EQ(plat::SecTrustCreateWithCertificates(certs, {}, &trust), plat::errSecSuccess);
  return trust;
}

class SDPSecurityPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SecTrustSetSystemAnchorCertificates({plat::SecCertificateCreateWithData(pki().root.der)});
  }
  void TearDown() override { plat::SecTrustResetSystemAnchorCertificates(); }

  plat::SecTrustRef goodChain() { return trustFor({&pki().leaf, &pki().intermediate}); }
};

}  // namespace

TEST_F(SDPSecurityPolicyTest, DefaultPolicyChecksChainAndHostName) {
  auto policy = SDPSecurityPolicy::defaultPolicy();
  EXPECT_TRUE(policy->evaluateServerTrustForDomain(goodChain(), "127.0.0.1"));
  EXPECT_TRUE(policy->evaluateServerTrustForDomain(goodChain(), "localhost"));
  EXPECT_FALSE(policy->evaluateServerTrustForDomain(goodChain(), "other.example"));
  EXPECT_FALSE(policy->evaluateServerTrustForDomain(
      trustFor({&pki().expiredLeaf, &pki().intermediate}), "127.0.0.1"));
  EXPECT_FALSE(policy->evaluateServerTrustForDomain(trustFor({&pki().otherRootLeaf}), "127.0.0.1"));
  EXPECT_FALSE(policy->evaluateServerTrustForDomain(nullptr, "127.0.0.1"));

  // Without the host check any valid chain passes.
  policy->setValidatesDomainName(false);
  EXPECT_TRUE(policy->evaluateServerTrustForDomain(goodChain(), "other.example"));
}

TEST_F(SDPSecurityPolicyTest, AllowingInvalidCertificatesWithHostCheckNeedsPinning) {
  auto policy = SDPSecurityPolicy::defaultPolicy();
  policy->setAllowInvalidCertificates(true);
  EXPECT_FALSE(policy->evaluateServerTrustForDomain(goodChain(), "127.0.0.1"));
  EXPECT_TRUE(policy->evaluateServerTrustForDomain(trustFor({&pki().otherRootLeaf}), std::nullopt));
  EXPECT_TRUE(policy->evaluateServerTrustForDomain(trustFor({&pki().expiredLeaf}), std::nullopt));
}

TEST_F(SDPSecurityPolicyTest, CertificatePinning) {
  // Pinning the root accepts chains anchored there; a valid chain of another root is refused.
  auto policy = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModeCertificate, std::vector<plat::Data>{pki().root.der});
  EXPECT_TRUE(policy->evaluateServerTrustForDomain(goodChain(), "127.0.0.1"));

  plat::SecTrustSetSystemAnchorCertificates(
      {plat::SecCertificateCreateWithData(pki().root.der),
       plat::SecCertificateCreateWithData(pki().otherRoot.der)});
  EXPECT_FALSE(policy->evaluateServerTrustForDomain(trustFor({&pki().otherRootLeaf}), "127.0.0.1"));

  // A private root the system does not trust: pinning it works once invalid chains are
  // allowed, because the pinned certificate then becomes the only anchor.
  plat::SecTrustSetSystemAnchorCertificates({plat::SecCertificateCreateWithData(pki().root.der)});
  auto other = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModeCertificate, std::vector<plat::Data>{pki().otherRoot.der});
  EXPECT_FALSE(other->evaluateServerTrustForDomain(trustFor({&pki().otherRootLeaf}), "127.0.0.1"));
  other->setAllowInvalidCertificates(true);
  EXPECT_TRUE(other->evaluateServerTrustForDomain(trustFor({&pki().otherRootLeaf}), "127.0.0.1"));
  EXPECT_FALSE(other->evaluateServerTrustForDomain(goodChain(), "127.0.0.1"));

  // Data that is not a certificate pins nothing.
  auto junk = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModeCertificate, std::vector<plat::Data>{plat::Data::fromString("not a cert")});
  EXPECT_FALSE(junk->evaluateServerTrustForDomain(goodChain(), "127.0.0.1"));
  EXPECT_TRUE(junk->pinnedPublicKeys()->empty());
}

TEST_F(SDPSecurityPolicyTest, PublicKeyPinningFollowsTheKeyAcrossReissue) {
  auto policy = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModePublicKey, std::vector<plat::Data>{pki().leaf.der, pki().leaf.der});
  EXPECT_EQ(policy->pinnedCertificates()->size(), 1u);
  EXPECT_EQ(policy->pinnedPublicKeys()->size(), 1u);
  EXPECT_TRUE(policy->evaluateServerTrustForDomain(
      trustFor({&pki().reissuedLeaf, &pki().intermediate}), "127.0.0.1"));

  auto otherKey = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModePublicKey, std::vector<plat::Data>{pki().otherRootLeaf.der});
  EXPECT_FALSE(otherKey->evaluateServerTrustForDomain(goodChain(), "127.0.0.1"));

  // Pinning does not make an untrusted chain acceptable.
  auto pinnedUntrusted = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModePublicKey, std::vector<plat::Data>{pki().otherRootLeaf.der});
  EXPECT_FALSE(
      pinnedUntrusted->evaluateServerTrustForDomain(trustFor({&pki().otherRootLeaf}), "127.0.0.1"));

  auto copy = policy->copyWithZone();
  EXPECT_EQ(copy->SSLPinningMode(), SDPSSLPinningModePublicKey);
  EXPECT_EQ(copy->pinnedPublicKeys()->size(), 1u);
}

// A bundle's ".cer" files, each distinct one once; a named pipe among them never blocks the
// read, and a folder path holding a NUL names no folder.
TEST(SDPSecurityPolicyBundle, CertificatesAreReadOnlyFromRegularFilesOfTheNamedFolder) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("sdp-certs-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
  };
  write("a.cer", "first");
  write("b.cer", "first");
  write("c.cer", "second");
  write("d.txt", "other");
  ASSERT_EQ(::mkfifo((dir / "e.cer").c_str(), 0600), 0);
  auto certs = SDPSecurityPolicy::certificatesInBundle(dir.string());
  ASSERT_EQ(certs.size(), 2u);
  EXPECT_EQ(certs[0].toString(), "first");
  EXPECT_EQ(certs[1].toString(), "second");
  EXPECT_TRUE(
      SDPSecurityPolicy::certificatesInBundle(dir.string() + std::string(1, '\0') + "x").empty());
  fs::remove_all(dir);
}
