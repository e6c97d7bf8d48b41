// Trust evaluation over the test PKI: policies, anchors, the evaluated chain and keys.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/security/SecTrust.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;
using testing_net::TestPKI;

namespace {

SecCertificateRef cert(const testing_net::TestCertificate& c) {
  return SecCertificateCreateWithData(c.der);
}

SecTrustRef trustFor(std::vector<SecCertificateRef> chain, SecPolicyRef policy) {
  SecTrustRef trust;
  EXPECT_EQ(SecTrustCreateWithCertificates(chain, {policy}, &trust), errSecSuccess);
  SecTrustSetAnchorCertificates(trust, {cert(TestPKI::shared().root)});
  return trust;
}

// A leaf for 127.0.0.1 with a key of its own that names `issuer` as its issuer but is signed by
// itself: a forgery that only claims to chain to `issuer`.
SecCertificateRef forgedLeafClaiming(const testing_net::TestCertificate& issuer) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 99);
  X509_gmtime_adj(X509_getm_notBefore(x), -86400L);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400L);
  X509_set_pubkey(x, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(cert(issuer)->x509()));
  X509_sign(x, key, EVP_sha256());
  auto forged = SecCertificate::fromX509(x);
  X509_free(x);
  EVP_PKEY_free(key);
  return forged;
}

TEST(SecCertificate, RoundTripsDERAndRejectsAnythingElse) {
  auto& pki = TestPKI::shared();
  auto c = cert(pki.leaf);
  ASSERT_TRUE(c);
  EXPECT_EQ(SecCertificateCopyData(c), pki.leaf.der);
  EXPECT_EQ(SecCertificateCopySubjectSummary(c), "127.0.0.1");
  EXPECT_TRUE(c->isEqual(*cert(pki.leaf)));
  EXPECT_FALSE(c->isEqual(*cert(pki.reissuedLeaf)));
  EXPECT_FALSE(SecCertificateCreateWithData(Data()));
  EXPECT_FALSE(SecCertificateCreateWithData(Data::fromString("not a certificate")));
  Data trailing = pki.leaf.der;
  trailing.append("x");
  EXPECT_FALSE(SecCertificateCreateWithData(trailing));
  Data truncated = pki.leaf.der.subdata(0, pki.leaf.der.length() - 1);
  EXPECT_FALSE(SecCertificateCreateWithData(truncated));
}

TEST(SecTrust, SSLPolicyChecksChainDatesAndHostName) {
  auto& pki = TestPKI::shared();
  auto chain = std::vector<SecCertificateRef>{cert(pki.leaf), cert(pki.intermediate)};
  SecTrustResultType result;

  auto ok = trustFor(chain, SecPolicyCreateSSL(true, "127.0.0.1"));
  EXPECT_EQ(SecTrustEvaluate(ok, &result), errSecSuccess);
  EXPECT_EQ(result, kSecTrustResultUnspecified);
  EXPECT_TRUE(
      SecTrustEvaluateWithError(trustFor(chain, SecPolicyCreateSSL(true, "localhost")), nullptr));

  NSErrorRef error;
  EXPECT_FALSE(
      SecTrustEvaluateWithError(trustFor(chain, SecPolicyCreateSSL(true, "example.com")), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), errSecHostNameMismatch);
  // A name holding a NUL is no name the certificate can hold, whatever comes before it.
  using namespace std::string_literals;
  for (const std::string& host :
       {"localhost\0.example.com"s, "example.com\0localhost"s, "127.0.0.1\0junk"s}) {
    error = nullptr;
    EXPECT_FALSE(SecTrustEvaluateWithError(trustFor(chain, SecPolicyCreateSSL(true, host)), &error))
        << host.c_str();
    EXPECT_EQ(error ? error->code() : 0, errSecHostNameMismatch) << host.c_str();
  }
  // The basic policy ignores the host.
  EXPECT_TRUE(SecTrustEvaluateWithError(trustFor(chain, SecPolicyCreateBasicX509()), nullptr));

  auto expired =
      trustFor({cert(pki.expiredLeaf), cert(pki.intermediate)}, SecPolicyCreateBasicX509());
  EXPECT_EQ(SecTrustEvaluate(expired, &result), errSecSuccess);
  EXPECT_EQ(result, kSecTrustResultRecoverableTrustFailure);
  EXPECT_FALSE(SecTrustEvaluateWithError(expired, &error));
  EXPECT_EQ(error->code(), errSecCertificateExpired);

  // Without the intermediate the chain cannot be built.
  EXPECT_FALSE(
      SecTrustEvaluateWithError(trustFor({cert(pki.leaf)}, SecPolicyCreateBasicX509()), nullptr));
  // Another root's leaf is not trusted by this root.
  EXPECT_FALSE(SecTrustEvaluateWithError(
      trustFor({cert(pki.otherRootLeaf)}, SecPolicyCreateBasicX509()), nullptr));
}

TEST(SecTrust, TheSSLServerPolicyHoldsLeavesToThePhonesRules) {
  using testing_net::CertificateSpec;
  auto& pki = TestPKI::shared();
  auto spec = [](auto change) {
    CertificateSpec s;
    change(s);
    return s;
  };
  CertificateSpec sha1CA = spec([](CertificateSpec& s) {
    s.commonName = "SHA-1 Intermediate CA";
    s.subjectAltName.clear();
    s.certificateAuthority = true;
    s.sha1 = true;
  });
  auto sha1Intermediate = TestPKI::issue(pki.root, sha1CA);
  CertificateSpec smallCA = sha1CA;
  smallCA.sha1 = false;
  smallCA.rsaBits = 1024;
  auto smallIntermediate = TestPKI::issue(pki.root, smallCA);
  CertificateSpec p192CA = smallCA;
  p192CA.rsaBits = 0;
  p192CA.keyType = "P-192";
  auto p192Intermediate = TestPKI::issue(pki.root, p192CA);
  CertificateSpec constrainedCA = p192CA;
  constrainedCA.keyType = "P-256";
  constrainedCA.nameConstraints = "critical,permitted;DNS:example.com,excluded;DNS:bar.example.com";
  auto constrainedIntermediate = TestPKI::issue(pki.root, constrainedCA);
  CertificateSpec excludingCA = constrainedCA;
  excludingCA.nameConstraints = "critical,excluded;DNS:bar.example.com";
  auto excludingIntermediate = TestPKI::issue(pki.root, excludingCA);
  auto wildcard = [](const char* name) {
    return [name](CertificateSpec& s) {
      s.commonName = name;
      s.subjectAltName = std::string("DNS:") + name;
    };
  };
  // Days since 1 June 2019: a leaf issued then is older than the validity rule.
  long beforeRule = -static_cast<long>((time(nullptr) - 1559347200) / 86400);
  struct Case {
    const char* what;
    std::vector<testing_net::TestCertificate> chain;
    const char* host;
    OSStatus expected;  // errSecSuccess: accepted
    const testing_net::TestCertificate* anchor = nullptr;
  };
  auto leaf = [&](auto change) { return TestPKI::issue(pki.intermediate, spec(change)); };
  auto byIntermediate = [&](auto change) {
    return std::vector<testing_net::TestCertificate>{leaf(change), pki.intermediate};
  };
  auto byExcludingCA = [&](const char* name) {
    return std::vector<testing_net::TestCertificate>{
        TestPKI::issue(excludingIntermediate, spec(wildcard(name))), excludingIntermediate};
  };
  std::vector<Case> cases = {
      {"a sound leaf", byIntermediate([](CertificateSpec&) {}), "localhost", errSecSuccess},
      {"a sound RSA-2048 leaf", byIntermediate([](CertificateSpec& s) { s.rsaBits = 2048; }),
       "127.0.0.1", errSecSuccess},
      {"a leaf valid for 825 days",
       byIntermediate([](CertificateSpec& s) { s.notAfterDays = 824; }), "localhost",
       errSecSuccess},
      {"a 10-year leaf issued before July 2019", byIntermediate([&](CertificateSpec& s) {
         s.notBeforeDays = beforeRule;
         s.notAfterDays = beforeRule + 3650;
       }),
       "localhost", errSecSuccess},
      {"a leaf signed with SHA-1", byIntermediate([](CertificateSpec& s) { s.sha1 = true; }),
       "localhost", errSecNotTrusted},
      {"a host name only in the common name", byIntermediate([](CertificateSpec& s) {
         s.commonName = "localhost";
         s.subjectAltName.clear();
       }),
       "localhost", errSecHostNameMismatch},
      {"an RSA-1024 leaf", byIntermediate([](CertificateSpec& s) { s.rsaBits = 1024; }),
       "localhost", errSecNotTrusted},
      {"a leaf without extended key usage",
       byIntermediate([](CertificateSpec& s) { s.serverAuth = false; }), "localhost",
       errSecNotTrusted},
      {"a leaf valid for 10 years",
       byIntermediate([](CertificateSpec& s) { s.notAfterDays = 3650; }), "localhost",
       errSecNotTrusted},
      {"a leaf valid for 826 days",
       byIntermediate([](CertificateSpec& s) { s.notAfterDays = 825; }), "localhost",
       errSecNotTrusted},
      {"an intermediate signed with SHA-1",
       {TestPKI::issue(sha1Intermediate, CertificateSpec()), sha1Intermediate},
       "localhost",
       errSecNotTrusted},
      {"an RSA-1024 intermediate",
       {TestPKI::issue(smallIntermediate, CertificateSpec()), smallIntermediate},
       "localhost",
       errSecNotTrusted},
      {"a P-384 leaf", byIntermediate([](CertificateSpec& s) { s.keyType = "P-384"; }), "localhost",
       errSecSuccess},
      {"a P-521 leaf", byIntermediate([](CertificateSpec& s) { s.keyType = "P-521"; }), "localhost",
       errSecSuccess},
      {"a P-192 leaf", byIntermediate([](CertificateSpec& s) { s.keyType = "P-192"; }), "localhost",
       errSecNotTrusted},
      {"a DSA leaf", byIntermediate([](CertificateSpec& s) { s.keyType = "DSA"; }), "localhost",
       errSecNotTrusted},
      {"a P-192 intermediate",
       {TestPKI::issue(p192Intermediate, CertificateSpec()), p192Intermediate},
       "localhost",
       errSecNotTrusted},
      {"a wildcard for one label", byIntermediate(wildcard("*.example.com")), "Foo.EXAMPLE.com",
       errSecSuccess},
      {"a wildcard for no label", byIntermediate(wildcard("*.example.com")), "example.com",
       errSecHostNameMismatch},
      {"a wildcard for two labels", byIntermediate(wildcard("*.example.com")), "a.foo.example.com",
       errSecHostNameMismatch},
      {"a wildcard ending a label", byIntermediate(wildcard("f*.example.com")), "foo.example.com",
       errSecHostNameMismatch},
      {"a wildcard starting a label", byIntermediate(wildcard("*o.example.com")), "foo.example.com",
       errSecHostNameMismatch},
      {"a wildcard over a public suffix", byIntermediate(wildcard("*.co.uk")), "example.co.uk",
       errSecHostNameMismatch},
      {"a wildcard below a public suffix", byIntermediate(wildcard("*.example.co.uk")),
       "foo.example.co.uk", errSecSuccess},
      {"a wildcard within a CA's constraints",
       {TestPKI::issue(constrainedIntermediate, spec(wildcard("*.example.com"))),
        constrainedIntermediate},
       "foo.example.com",
       errSecSuccess},
      {"a wildcard for a host a CA excludes",
       {TestPKI::issue(constrainedIntermediate, spec(wildcard("*.example.com"))),
        constrainedIntermediate},
       "bar.example.com",
       errSecHostNameMismatch},
      // Hosts are compared in the form the connection reaches them by: A-labels, U+3002,
      // U+FF0E and U+FF61 as label separators, lower case, no trailing dot.
      {"an internationalised host and its A-label name",
       byIntermediate(wildcard("xn--bcher-kva.example")), "B\u00FCcher.example", errSecSuccess},
      {"a wildcard for two labels split by U+3002", byIntermediate(wildcard("*.example.com")),
       "a\u3002b.example.com", errSecHostNameMismatch},
      {"a wildcard within constraints for a host below an excluded name",
       {TestPKI::issue(constrainedIntermediate, spec(wildcard("*.example.com"))),
        constrainedIntermediate},
       "x\uFF0Ebar.example.com",
       errSecHostNameMismatch},
      {"a wildcard with a trailing dot", byIntermediate(wildcard("*.example.com.")),
       "foo.example.com", errSecSuccess},
      {"a name beside an excluded one, trailing dot", byExcludingCA("foo.example.com"),
       "foo.example.com.", errSecSuccess},
      {"an excluded name, trailing dot", byExcludingCA("bar.example.com."), "bar.example.com.",
       errSecHostNameMismatch},
      {"a name below an excluded one, trailing dot", byExcludingCA("*.bar.example.com."),
       "x.bar.example.com.", errSecHostNameMismatch},
      {"an excluded name in capitals, trailing dot", byExcludingCA("BAR.EXAMPLE.COM."),
       "BAR.EXAMPLE.COM.", errSecHostNameMismatch},
      {"a leaf naming an excluded name beside the host",
       byExcludingCA("foo.example.com,DNS:bar.example.com."), "foo.example.com",
       errSecHostNameMismatch},
      {"a SHA-1 intermediate as the anchor",
       {TestPKI::issue(sha1Intermediate, CertificateSpec()), sha1Intermediate},
       "localhost",
       errSecSuccess,
       &sha1Intermediate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<SecCertificateRef> chain;
    for (auto& piece : c.chain) chain.push_back(cert(piece));
    auto trust = trustFor(chain, SecPolicyCreateSSL(true, c.host));
    if (c.anchor) SecTrustSetAnchorCertificates(trust, {cert(*c.anchor)});
    NSErrorRef error;
    EXPECT_EQ(SecTrustEvaluateWithError(trust, &error), c.expected == errSecSuccess);
    EXPECT_EQ(error ? error->code() : errSecSuccess, c.expected);
    if (c.expected == errSecNotTrusted) {
      EXPECT_NE((error ? error->localizedDescription() : "")
                    .find("certificate is not standards compliant"),
                std::string::npos);
    }
    SecTrustResultType result;
    SecTrustEvaluate(trust, &result);
    EXPECT_EQ(result, c.expected == errSecSuccess ? kSecTrustResultUnspecified
                                                  : kSecTrustResultRecoverableTrustFailure);
  }
}

TEST(SecTrust, TheEvaluatedChainRunsFromLeafToAnchor) {
  auto& pki = TestPKI::shared();
  auto trust = trustFor({cert(pki.leaf), cert(pki.intermediate)}, SecPolicyCreateBasicX509());
  ASSERT_EQ(SecTrustGetCertificateCount(trust), 3);
  EXPECT_EQ(SecCertificateCopyData(SecTrustGetCertificateAtIndex(trust, 0)), pki.leaf.der);
  EXPECT_EQ(SecCertificateCopyData(SecTrustGetCertificateAtIndex(trust, 1)), pki.intermediate.der);
  EXPECT_EQ(SecCertificateCopyData(SecTrustGetCertificateAtIndex(trust, 2)), pki.root.der);
  EXPECT_FALSE(SecTrustGetCertificateAtIndex(trust, 3));
  EXPECT_FALSE(SecTrustGetCertificateAtIndex(trust, -1));
  // A failed evaluation leaves the chain built from the leaf, each certificate signed by the
  // next: certificates presented beside it that do not chain to it are not part of it.
  auto failed = trustFor({cert(pki.otherRootLeaf), cert(pki.leaf), cert(pki.intermediate)},
                         SecPolicyCreateBasicX509());
  EXPECT_FALSE(SecTrustEvaluateWithError(failed, nullptr));
  ASSERT_EQ(SecTrustGetCertificateCount(failed), 1);
  EXPECT_EQ(SecCertificateCopyData(SecTrustGetCertificateAtIndex(failed, 0)),
            pki.otherRootLeaf.der);
  auto untrusted = trustFor({cert(pki.leaf), cert(pki.otherRoot), cert(pki.intermediate)},
                            SecPolicyCreateSSL(true, "example.com"));
  SecTrustSetAnchorCertificates(untrusted, {cert(pki.otherRoot)});
  EXPECT_FALSE(SecTrustEvaluateWithError(untrusted, nullptr));
  ASSERT_EQ(SecTrustGetCertificateCount(untrusted), 2);
  EXPECT_EQ(SecCertificateCopyData(SecTrustGetCertificateAtIndex(untrusted, 1)),
            pki.intermediate.der);
  // A certificate naming the intermediate as issuer without its signature does not chain to it.
  auto forged = trustFor({forgedLeafClaiming(pki.intermediate), cert(pki.intermediate)},
                         SecPolicyCreateBasicX509());
  EXPECT_FALSE(SecTrustEvaluateWithError(forged, nullptr));
  EXPECT_EQ(SecTrustGetCertificateCount(forged), 1);
  auto expired =
      trustFor({cert(pki.expiredLeaf), cert(pki.intermediate)}, SecPolicyCreateBasicX509());
  EXPECT_FALSE(SecTrustEvaluateWithError(expired, nullptr));
  ASSERT_EQ(SecTrustGetCertificateCount(expired), 3);
  EXPECT_EQ(SecCertificateCopyData(SecTrustGetCertificateAtIndex(expired, 2)), pki.root.der);
}

TEST(SecTrust, AnchorsOnlyAndPinnedLeavesAndIntermediates) {
  auto& pki = TestPKI::shared();
  SecTrustRef trust;
  ASSERT_EQ(SecTrustCreateWithCertificates({cert(pki.leaf), cert(pki.intermediate)},
                                           {SecPolicyCreateBasicX509()}, &trust),
            errSecSuccess);
  // The system store (replaced for the test) knows only the other root: not trusted.
  SecTrustSetSystemAnchorCertificates({cert(pki.otherRoot)});
  EXPECT_FALSE(SecTrustEvaluateWithError(trust, nullptr));
  // With the system root trusted as well as the custom anchors.
  SecTrustSetSystemAnchorCertificates({cert(pki.root)});
  EXPECT_TRUE(SecTrustEvaluateWithError(trust, nullptr));
  // Anchors only: an unrelated anchor excludes the system root.
  SecTrustSetAnchorCertificates(trust, {cert(pki.otherRoot)});
  EXPECT_FALSE(SecTrustEvaluateWithError(trust, nullptr));
  SecTrustSetAnchorCertificatesOnly(trust, false);
  EXPECT_TRUE(SecTrustEvaluateWithError(trust, nullptr));
  // An intermediate or the leaf itself may serve as anchor.
  SecTrustSetAnchorCertificates(trust, {cert(pki.intermediate)});
  EXPECT_TRUE(SecTrustEvaluateWithError(trust, nullptr));
  SecTrustSetAnchorCertificates(trust, {cert(pki.leaf)});
  EXPECT_TRUE(SecTrustEvaluateWithError(trust, nullptr));
  SecTrustResetSystemAnchorCertificates();
}

TEST(SecTrust, PublicKeysIdentifyReissuedLeavesEvenWhenEvaluationFails) {
  auto& pki = TestPKI::shared();
  auto leafKey = SecCertificateCopyKey(cert(pki.leaf));
  auto reissuedKey = SecCertificateCopyKey(cert(pki.reissuedLeaf));
  auto otherKey = SecCertificateCopyKey(cert(pki.otherRootLeaf));
  ASSERT_TRUE(leafKey && reissuedKey && otherKey);
  EXPECT_TRUE(leafKey->isEqual(*reissuedKey));
  EXPECT_FALSE(leafKey->isEqual(*otherKey));
  EXPECT_EQ(SecKeyCopyExternalRepresentation(leafKey),
            SecKeyCopyExternalRepresentation(reissuedKey));

  auto untrusted = trustFor({cert(pki.otherRootLeaf)}, SecPolicyCreateBasicX509());
  EXPECT_FALSE(SecTrustEvaluateWithError(untrusted, nullptr));
  auto key = SecTrustCopyPublicKey(untrusted);
  ASSERT_TRUE(key);
  EXPECT_TRUE(key->isEqual(*otherKey));
}

TEST(SecTrust, BadArgumentsAreRefused) {
  SecTrustRef trust;
  EXPECT_EQ(SecTrustCreateWithCertificates({}, {}, &trust), errSecParam);
  EXPECT_FALSE(trust);
  EXPECT_EQ(SecTrustCreateWithCertificates({nullptr}, {}, &trust), errSecParam);
  EXPECT_EQ(SecTrustEvaluate(nullptr, nullptr), errSecParam);
  EXPECT_FALSE(SecTrustEvaluateWithError(nullptr, nullptr));
  EXPECT_EQ(SecTrustGetCertificateCount(nullptr), 0);
  EXPECT_FALSE(SecTrustCopyPublicKey(nullptr));
  EXPECT_EQ(SecTrustGetTrustResult(nullptr), kSecTrustResultInvalid);
}

}  // namespace
