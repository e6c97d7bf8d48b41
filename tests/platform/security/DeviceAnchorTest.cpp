// Anchors added by the device root are trusted beside the system's.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/security/SecTrust.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;

namespace {

SecTrustRef trustFor127() {
  auto& pki = testing_net::TestPKI::shared();
  SecTrustRef trust;
  SecTrustCreateWithCertificates({SecCertificateCreateWithData(pki.leaf.der),
                                  SecCertificateCreateWithData(pki.intermediate.der)},
                                 {SecPolicyCreateSSL(true, std::string("127.0.0.1"))}, &trust);
  return trust;
}

TEST(DeviceAnchorTest, CertificatesInTheDeviceRootAreTrustedOnlyThere) {
  auto& pki = testing_net::TestPKI::shared();
  {
    testing_device::TempDeviceRoot root;
    EXPECT_FALSE(SecTrustEvaluateWithError(trustFor127(), nullptr));
    ASSERT_TRUE(SecTrustAddDeviceAnchorCertificate(SecCertificateCreateWithData(pki.root.der)));
    EXPECT_TRUE(SecTrustEvaluateWithError(trustFor127(), nullptr));
    // A pipe among the anchors is skipped, not read.
    ASSERT_EQ(mkfifo((SecTrustDeviceAnchorsPath() + "/pipe.pem").c_str(), 0600), 0);
    EXPECT_TRUE(SecTrustEvaluateWithError(trustFor127(), nullptr));
  }
  testing_device::TempDeviceRoot other;
  EXPECT_FALSE(SecTrustEvaluateWithError(trustFor127(), nullptr));
}

}  // namespace
