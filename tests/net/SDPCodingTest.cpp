// Keyed-archive round trips of the serializers and the security policy.

#include <gtest/gtest.h>

#include "net/SDPCompoundResponseSerializer.h"
#include "net/SDPJSONRequestSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPPropertyListRequestSerializer.h"
#include "net/SDPPropertyListResponseSerializer.h"
#include "net/SDPSecurityPolicy.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"

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
