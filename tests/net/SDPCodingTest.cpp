// Keyed-archive round trips of the serializers and the security policy.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/SDPCompoundResponseSerializer.h"
#include "net/SDPJSONRequestSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPPropertyListRequestSerializer.h"
#include "net/SDPPropertyListResponseSerializer.h"
#include "net/SDPSecurityPolicy.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/network/NSURLResponse.h"

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
