// What the HTTP client announces through key-value observing, and the smaller operations that
// go with it: secure coding, the session manager's lock name, the body stream's delegate and
// its parts' text reads.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/SDPHTTPRequestSerializer.h"
#include "net/SDPHTTPResponseSerializer.h"
#include "net/SDPJSONRequestSerializer.h"
#include "net/SDPSecurityPolicy.h"
#include "net/SDPStreamingMultipartFormData.h"
#include "net/SDPURLSessionManager.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

namespace {

// Records the keys its observers hear, and removes them when done.
class KeyRecorder {
 public:
  KeyRecorder(plat::NSKeyValueObservable& object, std::vector<std::string> keys) : object_(object) {
    for (const auto& key : keys) {
      tokens_.push_back(
          object.addObserverForKeyPath(key, [this](const std::string& k) { heard.push_back(k); }));
    }
  }
  ~KeyRecorder() {
    for (const auto& token : tokens_) object_.removeObserverForKeyPath(token);
  }
  std::vector<std::string> heard;

 private:
  plat::NSKeyValueObservable& object_;
  std::vector<plat::NSKeyValueObservable::ObserverToken> tokens_;
};

}  // namespace

TEST(SDPKeyValueObservingTest, ObserversOfPinnedPublicKeysHearTheCertificatesChange) {
  EXPECT_EQ(SDPSecurityPolicy::keyPathsForValuesAffectingPinnedPublicKeys(),
            std::set<std::string>{"pinnedCertificates"});
  auto policy = SDPSecurityPolicy::defaultPolicy();
  size_t keysSeen = 99;
  auto token = policy->addObserverForKeyPath("pinnedPublicKeys", [&](const std::string&) {
    keysSeen = policy->pinnedPublicKeys() ? policy->pinnedPublicKeys()->size() : 0;
  });
  policy->setPinnedCertificates(std::vector<plat::Data>{testing_net::TestPKI::shared().leaf.der});
  EXPECT_EQ(keysSeen, 1u);  // told after the keys were derived
  policy->setPinnedCertificates(std::nullopt);
  EXPECT_EQ(keysSeen, 0u);
  policy->removeObserverForKeyPath(token);
}

TEST(SDPKeyValueObservingTest, RequestSettingsAnnounceTheirChangesAndMarkThemSet) {
  auto serializer = SDPJSONRequestSerializer::serializer();
  EXPECT_EQ(SDPObservedRequestProperties(),
            (std::vector<std::string>{"allowsCellularAccess", "cachePolicy",
                                      "HTTPShouldHandleCookies", "HTTPShouldUsePipelining",
                                      "networkServiceType", "timeoutInterval"}));
  for (const auto& key : SDPObservedRequestProperties())
    EXPECT_FALSE(SDPHTTPRequestSerializer::automaticallyNotifiesObserversForKey(key)) << key;
  EXPECT_TRUE(SDPHTTPRequestSerializer::automaticallyNotifiesObserversForKey("stringEncoding"));

  {
    KeyRecorder recorder(*serializer, SDPObservedRequestProperties());
    serializer->setTimeoutInterval(30);
    serializer->setCachePolicy(0);  // the value it had: still a change, still marked
    serializer->setAllowsCellularAccess(false);
    EXPECT_EQ(recorder.heard,
              (std::vector<std::string>{"timeoutInterval", "cachePolicy", "allowsCellularAccess"}));
  }
  EXPECT_EQ(serializer->mutableObservedChangedKeyPaths(),
            (std::set<std::string>{"timeoutInterval", "cachePolicy", "allowsCellularAccess"}));
  auto request = serializer->requestWithMethodURLStringParametersError("GET", "http://h/",
                                                                       plat::Value(), nullptr);
  EXPECT_DOUBLE_EQ(request->timeoutInterval(), 30);
  EXPECT_FALSE(request->allowsCellularAccess());

  // Observations under other contexts are not the serializer's own and change nothing.
  serializer->observeValueForKeyPathOfObjectChangeContext(
      "timeoutInterval", serializer.get(),
      plat::Dictionary{{plat::NSKeyValueChangeNewKey, plat::Value::null()}}, nullptr);
  EXPECT_EQ(serializer->mutableObservedChangedKeyPaths().count("timeoutInterval"), 1u);

  // The query block is readable; setting a style clears it.
  EXPECT_FALSE(serializer->queryStringSerialization());
  serializer->setQueryStringSerializationWithBlock(
      [](const plat::NSURLRequest&, const plat::Value&, plat::NSErrorRef*) { return "q"; });
  ASSERT_TRUE(serializer->queryStringSerialization());
  EXPECT_EQ(serializer->queryStringSerialization()(*request, plat::Value(1), nullptr), "q");
  serializer->setQueryStringSerializationWithStyle(0);
  EXPECT_FALSE(serializer->queryStringSerialization());
}

TEST(SDPKeyValueObservingTest, SecureCodingAndTheSessionManagersLockName) {
  static_assert(SDPURLSessionManager::supportsSecureCoding());
  static_assert(SDPSecurityPolicy::supportsSecureCoding());
  static_assert(SDPHTTPRequestSerializer::supportsSecureCoding());
  static_assert(SDPHTTPResponseSerializer::supportsSecureCoding());

  auto manager = SDPURLSessionManager::init();
  EXPECT_EQ(manager->lockName(), "com.sdpkit.networking.session.manager.lock");
  auto session = manager->session();
  manager->invalidateSessionCancelingTasks(true);
  testing_loop::runUntil([&] { return !session->delegate(); });
}

TEST(SDPKeyValueObservingTest, BodyStreamDelegateAndPartTextReads) {
  auto stream = SDPMultipartBodyStream::initWithStringEncoding(4);
  EXPECT_TRUE(stream->delegate().expired());
  auto delegate = std::make_shared<SDPStreamDelegate>();
  stream->setDelegate(delegate);
  EXPECT_EQ(stream->delegate().lock(), delegate);
  delegate.reset();
  EXPECT_TRUE(stream->delegate().expired());  // held weakly

  // A part's text is read from where the last read stopped; the phase moves on at its end.
  SDPHTTPBodyPart part;
  ASSERT_EQ(part.phase(), 1);
  const plat::Data text = plat::Data::fromString("abcdef");
  uint8_t buffer[8] = {};
  EXPECT_EQ(part.readDataIntoBufferMaxLength(text, buffer, 4), 4);
  EXPECT_EQ(part.phase(), 1);
  EXPECT_EQ(part.readDataIntoBufferMaxLength(text, buffer + 4, 4), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "abcdef");
  EXPECT_EQ(part.phase(), 2);
}
