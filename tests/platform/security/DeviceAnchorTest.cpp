// Anchors added by the device root are trusted beside the system's.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/security/SecTrust.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
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

TEST(DeviceAnchorTest, AnAnchorIsNeverWrittenIntoAPipeOfItsName) {
  auto& pki = testing_net::TestPKI::shared();
  testing_device::TempDeviceRoot root;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  EVP_Digest(pki.root.der.bytes(), pki.root.der.length(), md, &mdLen, EVP_sha1(), nullptr);
  std::string name;
  for (unsigned i = 0; i < mdLen; ++i)
    name += "0123456789abcdef"[md[i] >> 4], name += "0123456789abcdef"[md[i] & 15];
  mkdir(SecTrustDeviceAnchorsPath().c_str(), 0755);
  const std::string pipe = SecTrustDeviceAnchorsPath() + "/" + name + ".der";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  // Added on a thread of its own, so that a writer stuck on the pipe fails the test instead of
  // hanging it; a reader opened on the pipe then lets it go.
  std::atomic<int> added{-1};
  std::thread adder([&] {
    added = SecTrustAddDeviceAnchorCertificate(SecCertificateCreateWithData(pki.root.der));
  });
  bool finished = testing_loop::runUntil([&] { return added.load() >= 0; }, 10);
  if (!finished) {
    int fd = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    char sink[4096];
    while (added.load() < 0) ::read(fd, sink, sizeof sink);
    ::close(fd);
  }
  adder.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(added.load(), 0);
  EXPECT_FALSE(SecTrustEvaluateWithError(trustFor127(), nullptr));
}

}  // namespace
