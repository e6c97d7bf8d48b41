// Response serialization: validation of status code and content type, JSON parsing rules,
// null stripping, property lists and the compound serializer.

#include <gtest/gtest.h>

#include "net/SDPCompoundResponseSerializer.h"
#include "net/SDPJSONResponseSerializer.h"
#include "net/SDPPropertyListResponseSerializer.h"
#include "net/SDPXMLParserResponseSerializer.h"
#include "platform/foundation/NSXMLParser.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace {

plat::NSURLResponseRef httpResponse(int64_t status, const std::string& contentType,
                                    const std::string& url = "http://h/x") {
  plat::HTTPHeaderFields headers;
  if (!contentType.empty()) headers.set("Content-Type", contentType);
  return plat::NSHTTPURLResponse::make(url, status, headers);
}

}  // namespace

TEST(SDPResponseSerializerTest, JSONParsesBodiesOfFailedStatusCodesAndReportsBoth) {
  auto serializer = SDPJSONResponseSerializer::serializer();
  plat::Data body = plat::Data::fromString(R"({"message":"missing"})");
  plat::NSErrorRef error;
  plat::Value object = serializer->responseObjectForResponseDataError(
      httpResponse(404, "application/json"), &body, &error);
  EXPECT_EQ(object["message"], plat::Value("missing"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), SDPURLResponseSerializationErrorDomain);
  EXPECT_EQ(error->code(), -1011);
  EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
  EXPECT_EQ(error->userInfo()[plat::NSURLErrorFailingURLErrorKey], plat::Value("http://h/x"));
  EXPECT_EQ(error->userInfo()[SDPNetworkingOperationFailingURLResponseDataErrorKey], plat::Value(body));
  EXPECT_TRUE(error->userInfo()[SDPNetworkingOperationFailingURLResponseErrorKey].isObject());
}

TEST(SDPResponseSerializerTest, UnacceptableContentTypeStopsParsing) {
  auto serializer = SDPJSONResponseSerializer::serializer();
  plat::Data html = plat::Data::fromString("<html>{}</html>");
  plat::NSErrorRef error;
  EXPECT_TRUE(serializer->responseObjectForResponseDataError(httpResponse(200, "text/html"), &html, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1016);
  EXPECT_EQ(error->localizedDescription(), "Request failed: unacceptable content-type: text/html");

  // An empty body of the wrong type is invalid, but without an error object.
  plat::Data empty;
  error = nullptr;
  EXPECT_TRUE(serializer->responseObjectForResponseDataError(httpResponse(200, "text/html"), &empty, &error).isNil());
  EXPECT_FALSE(error);

  // Both failures: the status error on top, the content-type error underneath.
  error = nullptr;
  EXPECT_TRUE(serializer->responseObjectForResponseDataError(httpResponse(500, "text/html"), &html, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1011);
  ASSERT_TRUE(error->underlyingError());
  EXPECT_EQ(error->underlyingError()->code(), -1016);
  EXPECT_TRUE(SDPErrorChainHasCode(error, -1016));

  // Adding the type makes the same body parse (as the channel transport configures it).
  serializer->setAcceptableContentTypes(std::set<std::string>{"application/json", "text/html"});
  plat::Data json = plat::Data::fromString("[1]");
  error = nullptr;
  EXPECT_EQ(serializer->responseObjectForResponseDataError(httpResponse(200, "text/html"), &json, &error),
            plat::Value(plat::Array{1}));
  EXPECT_FALSE(error);
}

TEST(SDPResponseSerializerTest, EmptyOrSpaceBodiesAndBadJSON) {
  auto serializer = SDPJSONResponseSerializer::serializer();
  for (const char* text : {"", " "}) {
    plat::Data body = plat::Data::fromString(text);
    plat::NSErrorRef error;
    EXPECT_TRUE(serializer->responseObjectForResponseDataError(httpResponse(200, "application/json"), &body, &error).isNil());
    EXPECT_FALSE(error) << "body '" << text << "'";
  }
  // A parse error sits over the validation error.
  plat::Data broken = plat::Data::fromString("{broken");
  plat::NSErrorRef error;
  EXPECT_TRUE(serializer->responseObjectForResponseDataError(httpResponse(500, "application/json"), &broken, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), plat::NSCocoaErrorDomain);
  ASSERT_TRUE(error->underlyingError());
  EXPECT_EQ(error->underlyingError()->code(), -1011);

  // A NUL byte is refused, not taken for the end of the body; an integer too long for a
  // double keeps its digits.
  plat::Data nul = plat::Data::fromString(std::string("{\"a\":\"x\"}\0{\"b\":1}", 17));
  error = nullptr;
  EXPECT_TRUE(serializer->responseObjectForResponseDataError(httpResponse(200, "application/json"), &nul, &error).isNil());
  EXPECT_TRUE(error);
  const std::string digits309 = "9" + std::string(308, '8');
  plat::Data longNumber = plat::Data::fromString("{\"id\":" + digits309 + "}");
  error = nullptr;
  plat::Value object = serializer->responseObjectForResponseDataError(httpResponse(200, "application/json"), &longNumber, &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(object["id"].description(), digits309);
}

TEST(SDPResponseSerializerTest, NullRemovalKeepsArrayNullsAndEmptiesDictionaries) {
  auto serializer = SDPJSONResponseSerializer::serializer();
  serializer->setRemovesKeysWithNullValues(true);
  plat::Data body = plat::Data::fromString(R"({"a":null,"b":[null,{"c":null}]})");
  plat::NSErrorRef error;
  plat::Value object = serializer->responseObjectForResponseDataError(httpResponse(200, "application/json"), &body, &error);
  EXPECT_FALSE(error);
  plat::Dictionary expected{{"b", plat::Array{plat::Value::null(), plat::Value(plat::Dictionary())}}};
  EXPECT_EQ(object, plat::Value(expected));
  EXPECT_FALSE(object.dictionary()->contains("a"));
}

TEST(SDPResponseSerializerTest, PlainSerializerReturnsTheBodyEvenWhenInvalid) {
  auto serializer = SDPHTTPResponseSerializer::serializer();
  serializer->setAcceptableContentTypes(std::set<std::string>{"application/json", "text/plain"});
  plat::Data body = plat::Data::fromString("server trouble");
  plat::NSErrorRef error;
  EXPECT_EQ(serializer->responseObjectForResponseDataError(httpResponse(503, "text/plain"), &body, &error),
            plat::Value(body));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1011);

  // A response that is not HTTP (a file) always validates.
  auto fileResponse = std::make_shared<plat::NSURLResponse>("file:///tmp/x", "text/weird", 3, "");
  error = nullptr;
  EXPECT_TRUE(serializer->validateResponseDataError(fileResponse, &body, &error));
  EXPECT_FALSE(error);
  auto json = SDPJSONResponseSerializer::serializer();
  plat::Data list = plat::Data::fromString("[2]");
  EXPECT_EQ(json->responseObjectForResponseDataError(fileResponse, &list, &error), plat::Value(plat::Array{2}));
}

TEST(SDPResponseSerializerTest, PropertyListAndCompound) {
  plat::Value list(plat::Dictionary{{"k", "v"}});
  plat::Data xml = plat::NSPropertyListSerialization::dataWithPropertyList(
      list, plat::NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0);
  auto plist = SDPPropertyListResponseSerializer::serializer();
  plat::NSErrorRef error;
  EXPECT_EQ(plist->responseObjectForResponseDataError(httpResponse(200, "application/x-plist"), &xml, &error), list);
  EXPECT_FALSE(error);

  // The compound serializer answers with the first member that yields an object.
  auto compound = SDPCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
      {SDPJSONResponseSerializer::serializer(), plist});
  EXPECT_EQ(compound->responseObjectForResponseDataError(httpResponse(200, "application/x-plist"), &xml, &error), list);
  plat::Data json = plat::Data::fromString("[3]");
  EXPECT_EQ(compound->responseObjectForResponseDataError(httpResponse(200, "application/json"), &json, &error),
            plat::Value(plat::Array{3}));
  // None yields: the body itself.
  plat::Data text = plat::Data::fromString("plain");
  EXPECT_EQ(compound->responseObjectForResponseDataError(httpResponse(200, "text/plain"), &text, &error),
            plat::Value(text));

  // A subclass copy has its class's default sets.
  auto json2 = SDPJSONResponseSerializer::serializerWithReadingOptions(1);
  json2->setAcceptableContentTypes(std::nullopt);
  auto copy = std::dynamic_pointer_cast<SDPJSONResponseSerializer>(json2->copyWithZone());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->readingOptions(), 1u);
  EXPECT_TRUE(copy->acceptableContentTypes().has_value());
}

TEST(SDPResponseSerializerTest, XMLAnswersAnUnparsedParserOverTheBody) {
  auto serializer = SDPXMLParserResponseSerializer::serializer();
  plat::Data body = plat::Data::fromString("<r><e>1</e></r>");
  plat::NSErrorRef error;
  auto parser = serializer->responseObjectForResponseDataError(httpResponse(200, "text/xml"), &body, &error)
                    .objectAs<plat::NSXMLParser>();
  ASSERT_TRUE(parser);
  EXPECT_FALSE(error);
  EXPECT_EQ(parser->data(), body);
  EXPECT_TRUE(parser->parse());

  // A failed status still gives the parser, with the status error; a wrong type gives none.
  auto failed = serializer->responseObjectForResponseDataError(httpResponse(500, "application/xml"), &body, &error);
  EXPECT_TRUE(failed.objectAs<plat::NSXMLParser>());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1011);
  EXPECT_TRUE(serializer->responseObjectForResponseDataError(httpResponse(200, "text/html"), &body, &error).isNil());
  EXPECT_EQ(error->code(), -1016);

  // Copies keep the sets and the class.
  serializer->setAcceptableContentTypes(std::set<std::string>{"text/plain"});
  auto copy = std::dynamic_pointer_cast<SDPXMLParserResponseSerializer>(serializer->copyWithZone());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->acceptableContentTypes(), (std::set<std::string>{"text/plain"}));
}

TEST(SDPResponseSerializerTest, ContentTypeErrorCarriesURLResponseAndBody) {
  auto serializer = SDPJSONResponseSerializer::serializer();
  auto response = httpResponse(200, "text/html; charset=utf-8", "http://h/page");
  plat::Data html = plat::Data::fromString("<p>");
  plat::NSErrorRef error;
  EXPECT_TRUE(serializer->responseObjectForResponseDataError(response, &html, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), SDPURLResponseSerializationErrorDomain);
  EXPECT_EQ(error->code(), -1016);
  EXPECT_EQ(error->localizedDescription(), "Request failed: unacceptable content-type: text/html");
  EXPECT_EQ(error->userInfo()[plat::NSURLErrorFailingURLErrorKey], plat::Value("http://h/page"));
  EXPECT_EQ(error->userInfo()[SDPNetworkingOperationFailingURLResponseErrorKey].objectAs<plat::NSURLResponse>(),
            response);
  EXPECT_EQ(error->userInfo()[SDPNetworkingOperationFailingURLResponseDataErrorKey], plat::Value(html));

  // Without a body there is no data entry, and a status outside the set still fails.
  auto plain = SDPHTTPResponseSerializer::serializer();
  error = nullptr;
  EXPECT_FALSE(plain->validateResponseDataError(httpResponse(302, ""), nullptr, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1011);
  EXPECT_FALSE(error->userInfo().contains(SDPNetworkingOperationFailingURLResponseDataErrorKey));
  // A custom set of status codes decides alone.
  plain->setAcceptableStatusCodes(std::set<int64_t>{302});
  EXPECT_TRUE(plain->validateResponseDataError(httpResponse(302, ""), nullptr, nullptr));
  EXPECT_FALSE(plain->validateResponseDataError(httpResponse(200, ""), nullptr, nullptr));
}
