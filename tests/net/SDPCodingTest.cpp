// Keyed-archive round trips of the serializers, the security policy and the session
// managers.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/SDPCompoundResponseSerializer.h"
#include "net/SDPHTTPSessionManager.h"
#include "net/SDPNetworkingPrivate.h"
#include "net/SDPXMLParserResponseSerializer.h"
#include "net/SDPJSONRequestSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPPropertyListRequestSerializer.h"
#include "net/SDPPropertyListResponseSerializer.h"
#include "net/SDPSecurityPolicy.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/network/NSURLResponse.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/NSURL.h"
#include "testing/loop/Pump.h"

namespace {

template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
  plat::NSErrorRef error;
  plat::Data archive = plat::NSKeyedArchiver::archivedDataWithRootObject(plat::Value(object), &error);
  EXPECT_FALSE(error) << error->description();
  plat::Value decoded = plat::NSKeyedUnarchiver::unarchiveObjectWithData(archive, &error);
  EXPECT_FALSE(error) << error->description();
  return decoded.objectAs<T>();
}

// A keyed archive (XML form) whose root is object 1; `objects` lists $objects from index 1.
plat::Data archiveWithObjects(const std::string& objects) {
  return plat::Data::fromString(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>$archiver</key><string>NSKeyedArchiver</string>"
      "<key>$version</key><integer>100000</integer>"
      "<key>$top</key><dict><key>root</key><dict><key>CF$UID</key><integer>1</integer></dict></dict>"
      "<key>$objects</key><array><string>$null</string>" +
      objects + "</array></dict></plist>");
}

std::string uid(int n) {
  return "<dict><key>CF$UID</key><integer>" + std::to_string(n) + "</integer></dict>";
}

std::string classEntry(const std::string& name, const std::string& super) {
  return "<dict><key>$classname</key><string>" + name + "</string><key>$classes</key><array><string>" +
         name + "</string>" + (super.empty() ? "" : "<string>" + super + "</string>") +
         "<string>NSObject</string></array></dict>";
}

// A compound serializer object whose members are the array at index `membersUid`.
std::string compoundObject(int classUid, int membersUid) {
  return "<dict><key>$class</key>" + uid(classUid) + "<key>responseSerializers</key>" +
         uid(membersUid) + "</dict>";
}

std::string arrayObject(const std::vector<int>& items, int classUid) {
  std::string s = "<dict><key>NS.objects</key><array>";
  for (int i : items) s += uid(i);
  return s + "</array><key>$class</key>" + uid(classUid) + "</dict>";
}

}  // namespace

TEST(SDPCodingTest, RequestSerializersKeepHeadersStyleAndTheirOwnSettings) {
  auto serializer = SDPJSONRequestSerializer::serializerWithWritingOptions(2);
  serializer->setValueForHTTPHeaderField("v", "X-Kept");
  serializer->setQueryStringSerializationWithStyle(1);
  serializer->setTimeoutInterval(5);  // not archived
  auto decoded = roundTrip(serializer);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->writingOptions(), 2u);
  EXPECT_EQ(decoded->valueForHTTPHeaderField("X-Kept"), "v");
  EXPECT_EQ(decoded->queryStringSerializationStyle(), 1u);
  EXPECT_FALSE(decoded->requestWithMethodURLStringParametersError("GET", "http://h/", plat::Value(), nullptr)
                   ->hasExplicitTimeout());

  auto plist = roundTrip(SDPPropertyListRequestSerializer::serializerWithFormatWriteOptions(200, 3));
  ASSERT_TRUE(plist);
  EXPECT_EQ(plist->format(), 200u);
  EXPECT_EQ(plist->writeOptions(), 3u);
}

TEST(SDPCodingTest, ResponseSerializersKeepTheirSets) {
  auto json = SDPJSONResponseSerializer::serializerWithReadingOptions(1);
  json->setRemovesKeysWithNullValues(true);
  json->setAcceptableContentTypes(std::set<std::string>{"text/html"});
  json->setAcceptableStatusCodes(std::set<int64_t>{200, 404});
  auto decoded = roundTrip(json);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->readingOptions(), 1u);
  EXPECT_TRUE(decoded->removesKeysWithNullValues());
  EXPECT_EQ(decoded->acceptableContentTypes(), (std::set<std::string>{"text/html"}));
  EXPECT_EQ(decoded->acceptableStatusCodes(), (std::set<int64_t>{200, 404}));

  auto any = SDPHTTPResponseSerializer::serializer();
  any->setAcceptableStatusCodes(std::nullopt);
  auto decodedAny = roundTrip(any);
  ASSERT_TRUE(decodedAny);
  EXPECT_FALSE(decodedAny->acceptableStatusCodes());
  EXPECT_FALSE(decodedAny->acceptableContentTypes());

  auto compound = SDPCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
      {SDPJSONResponseSerializer::serializer(), SDPPropertyListResponseSerializer::serializer()});
  auto decodedCompound = roundTrip(compound);
  ASSERT_TRUE(decodedCompound);
  ASSERT_EQ(decodedCompound->responseSerializers().size(), 2u);
  EXPECT_TRUE(std::dynamic_pointer_cast<SDPPropertyListResponseSerializer>(decodedCompound->responseSerializers()[1]));
}

TEST(SDPCodingTest, SecurityPolicyKeepsModeFlagsAndCertificates) {
  auto policy = SDPSecurityPolicy::policyWithPinningModeWithPinnedCertificates(
      SDPSSLPinningModeCertificate, std::vector<plat::Data>{plat::Data::fromString("not a certificate")});
  policy->setAllowInvalidCertificates(true);
  auto decoded = roundTrip(policy);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->SSLPinningMode(), SDPSSLPinningModeCertificate);
  EXPECT_TRUE(decoded->allowInvalidCertificates());
  EXPECT_TRUE(decoded->validatesDomainName());
  ASSERT_TRUE(decoded->pinnedCertificates());
  EXPECT_EQ(decoded->pinnedCertificates()->size(), 1u);
  EXPECT_TRUE(decoded->pinnedPublicKeys()->empty());
}

TEST(SDPCodingTest, CompoundSerializerRefusesMembersThatLeadBackToItself) {
  const std::string compoundClass =
      classEntry("SDPCompoundResponseSerializer", "SDPHTTPResponseSerializer");
  const std::string arrayClass = classEntry("NSArray", "");
  auto response = plat::NSHTTPURLResponse::make("http://h/", 200, {});
  plat::Data body = plat::Data::fromString("x");

  // Listed among its own members: it decodes without that member, answers without recursing,
  // and is freed once released.
  std::weak_ptr<SDPCompoundResponseSerializer> released;
  {
    plat::NSErrorRef error;
    plat::Value root = plat::NSKeyedUnarchiver::unarchiveObjectWithData(
        archiveWithObjects(compoundObject(2, 3) + compoundClass + arrayObject({1}, 4) + arrayClass),
        &error);
    EXPECT_FALSE(error);
    auto self = root.objectAs<SDPCompoundResponseSerializer>();
    ASSERT_TRUE(self);
    EXPECT_TRUE(self->responseSerializers().empty());
    EXPECT_FALSE(self->responseObjectForResponseDataError(response, &body, nullptr).isNil());
    released = self;
  }
  EXPECT_TRUE(released.expired());

  // Through a second compound (1 lists 5, 5 lists 1): the cycle is cut where it closes.
  {
    plat::Value root = plat::NSKeyedUnarchiver::unarchiveObjectWithData(archiveWithObjects(
        compoundObject(2, 3) + compoundClass + arrayObject({5}, 4) + arrayClass +
        compoundObject(2, 6) + arrayObject({1}, 4)));
    auto outer = root.objectAs<SDPCompoundResponseSerializer>();
    ASSERT_TRUE(outer);
    EXPECT_TRUE(outer->responseSerializers().empty());
    EXPECT_FALSE(outer->responseObjectForResponseDataError(response, &body, nullptr).isNil());
    released = outer;
  }
  EXPECT_TRUE(released.expired());

  // The same member twice, and a nested compound that does not lead back, are kept.
  plat::Value root = plat::NSKeyedUnarchiver::unarchiveObjectWithData(archiveWithObjects(
      compoundObject(2, 3) + compoundClass + arrayObject({5, 5}, 4) + arrayClass +
      compoundObject(2, 6) + arrayObject({}, 4)));
  auto outer = root.objectAs<SDPCompoundResponseSerializer>();
  ASSERT_TRUE(outer);
  EXPECT_EQ(outer->responseSerializers().size(), 2u);
}

namespace {

// Ends a decoded manager's session (it holds its delegate until invalidated).
void invalidate(const std::shared_ptr<SDPURLSessionManager>& manager) {
  auto session = manager->session();
  manager->invalidateSessionCancelingTasks(true);
  testing_loop::runUntil([&] { return !session->delegate(); });
}

}  // namespace

TEST(SDPCodingTest, SessionManagersKeepConfigurationBaseURLSerializersAndPolicy) {
  auto configuration = plat::NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setTimeoutIntervalForRequest(12);
  configuration->setHTTPAdditionalHeaders(plat::Dictionary{{"X-Extra", "1"}});
  auto plain = SDPURLSessionManager::initWithSessionConfiguration(configuration);
  auto decodedPlain = roundTrip(plain);
  ASSERT_TRUE(decodedPlain);
  EXPECT_EQ(decodedPlain->className(), "SDPURLSessionManager");
  EXPECT_EQ(decodedPlain->sessionConfiguration()->timeoutIntervalForRequest(), 12);
  EXPECT_EQ(decodedPlain->sessionConfiguration()->HTTPAdditionalHeaders()["X-Extra"], plat::Value("1"));
  EXPECT_TRUE(std::dynamic_pointer_cast<SDPJSONResponseSerializer>(decodedPlain->responseSerializer()));

  auto http = SDPHTTPSessionManager::initWithBaseURLSessionConfiguration(
      "http://h/api", plat::NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("bg"));
  auto request = SDPJSONRequestSerializer::serializer();
  request->setValueForHTTPHeaderField("v", "X-Kept");
  http->setRequestSerializer(request);
  auto response = SDPXMLParserResponseSerializer::serializer();
  response->setAcceptableStatusCodes(std::set<int64_t>{200});
  http->setResponseSerializer(response);
  auto policy = SDPSecurityPolicy::defaultPolicy();
  policy->setValidatesDomainName(false);
  http->setSecurityPolicy(policy);

  auto decoded = std::dynamic_pointer_cast<SDPHTTPSessionManager>(
      roundTrip(std::static_pointer_cast<SDPURLSessionManager>(http)));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->baseURL(), "http://h/api/");
  EXPECT_EQ(decoded->sessionConfiguration()->identifier(), "bg");
  auto decodedRequest = std::dynamic_pointer_cast<SDPJSONRequestSerializer>(decoded->requestSerializer());
  ASSERT_TRUE(decodedRequest);
  EXPECT_EQ(decodedRequest->valueForHTTPHeaderField("X-Kept"), "v");
  auto decodedResponse = std::dynamic_pointer_cast<SDPXMLParserResponseSerializer>(decoded->responseSerializer());
  ASSERT_TRUE(decodedResponse);
  EXPECT_EQ(decodedResponse->acceptableStatusCodes(), (std::set<int64_t>{200}));
  EXPECT_FALSE(decoded->securityPolicy()->validatesDomainName());
  // The decoded manager builds requests against its base URL.
  plat::NSErrorRef error;
  auto built = decoded->requestSerializer()->requestWithMethodURLStringParametersError(
      "GET", SDPURLStringRelativeToURL("items", decoded->baseURL()), plat::Value(), &error);
  ASSERT_TRUE(built);
  EXPECT_EQ(built->URL(), "http://h/api/items");

  for (auto& manager : std::vector<std::shared_ptr<SDPURLSessionManager>>{plain, decodedPlain, http, decoded}) {
    invalidate(manager);
  }
}

TEST(SDPCodingTest, ArchivesWithoutSerializersOrWithDamagedURLsStaySafe) {
  // An archive that holds only a background identifier and no serializers gives a complete
  // manager with the defaults.
  plat::NSKeyedArchiver archiver;
  archiver.encodeObjectForKey(plat::Value("only-id"), "identifier");
  plat::NSErrorRef error;
  auto unarchiver = plat::NSKeyedUnarchiver::unarchiverForReadingFromData(archiver.encodedData(), &error);
  ASSERT_TRUE(unarchiver);
  std::shared_ptr<plat::Object> fresh = plat::NSCodingClasses::find("SDPHTTPSessionManager")->factory();
  auto decoded = std::dynamic_pointer_cast<SDPHTTPSessionManager>(fresh);
  ASSERT_TRUE(decoded);
  ASSERT_TRUE(decoded->initWithCoder(*unarchiver));
  EXPECT_EQ(decoded->sessionConfiguration()->identifier(), "only-id");
  EXPECT_TRUE(decoded->requestSerializer());
  EXPECT_TRUE(std::dynamic_pointer_cast<SDPJSONResponseSerializer>(decoded->responseSerializer()));
  EXPECT_TRUE(decoded->securityPolicy());
  invalidate(decoded);

  // URLs round-trip with their base; one naming itself as its base decodes to nil.
  auto url = plat::NSURL::URLWithStringRelativeToURL("b?q", plat::NSURL::URLWithString("http://h/a/"));
  auto decodedURL = roundTrip(url);
  ASSERT_TRUE(decodedURL);
  EXPECT_EQ(decodedURL->absoluteString(), "http://h/a/b?q");
  EXPECT_EQ(decodedURL->relativeString(), "b?q");
  ASSERT_TRUE(decodedURL->baseURL());

  plat::Value looped = plat::NSPropertyListSerialization::propertyListWithData(
      plat::NSKeyedArchiver::archivedDataWithRootObject(plat::Value(url)), 0, nullptr, nullptr);
  ASSERT_TRUE(looped.dictionary());
  // In "$objects", point the root URL's "NS.base" at the URL itself.
  plat::Dictionary top = *looped.dictionary();
  plat::Array objects = *top["$objects"].array();
  const plat::Value root = (*top["$top"].dictionary())["root"];
  const auto rootIndex = static_cast<size_t>((*root.dictionary())["CF$UID"].integerValue());
  ASSERT_LT(rootIndex, objects.size());
  plat::Dictionary patched = *objects[rootIndex].dictionary();
  patched.set("NS.base", root);
  objects[rootIndex] = plat::Value(std::move(patched));
  top.set("$objects", plat::Value(std::move(objects)));
  plat::Data damaged = plat::NSPropertyListSerialization::dataWithPropertyList(
      plat::Value(std::move(top)), plat::NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0);
  EXPECT_FALSE(plat::NSKeyedUnarchiver::unarchiveObjectWithData(damaged, &error).objectAs<plat::NSURL>());
}
