#pragma once
// What the body tests share: bodies coded with zlib, and a session on the main queue with a URL
// cache of its own that trusts the test PKI, whose tasks run until they complete.

#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>

#include "platform/network/NSURLCache.h"
#include "platform/network/NSURLSession.h"
#include "platform/security/SecTrust.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/platform/network/RecordingDelegate.h"

// `text` coded by zlib: windowBits MAX_WBITS for deflate, 16 + MAX_WBITS for gzip.
inline std::string zlibCoded(const std::string& text, int windowBits, int level = Z_BEST_SPEED) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct CachingSessionFixture : ::testing::Test {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  plat::NSURLCacheRef cache = std::make_shared<plat::NSURLCache>(8u << 20, 0, "");
  plat::NSURLSessionRef session;
  CachingSessionFixture() {
    auto config = plat::NSURLSessionConfiguration::defaultSessionConfiguration();
    config->setURLCache(cache);
    session = plat::NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
        config, delegate, plat::NSOperationQueue::mainQueue());
    plat::SecTrustSetSystemAnchorCertificates(
        {plat::SecCertificateCreateWithData(testing_net::TestPKI::shared().root.der)});
  }
  ~CachingSessionFixture() override {
    session->invalidateAndCancel();
    testing_loop::runUntil([&] { return delegate->invalidated; }, 10);
    plat::SecTrustResetSystemAnchorCertificates();
  }
  // Resumes `task` and runs the loop until it completes (at most 20 s).
  plat::NSURLSessionTaskRef run(plat::NSURLSessionTaskRef task) {
    size_t before = delegate->completed;
    task->resume();
    EXPECT_TRUE(testing_loop::runUntil([&] { return delegate->completed > before; }, 20));
    return task;
  }
};
