// Codec helpers against golden vectors worked out independently from the wire format.

#include <gtest/gtest.h>

#include "aggregation/NSString+Extend.h"

using S = NSString_Extend;
using D = NSData_Extend;
using J = NSDictionary_Extend;

namespace {

TEST(CodecTest, EnvelopeGoldenVectors) {
  // Product key "abc", code "P1", payload {"x":"yy"}.
  auto json = J::jsonString(plat::Value(plat::Dictionary{{"x", "yy"}}));
  ASSERT_TRUE(json);
  EXPECT_EQ(*json, R"({"x":"yy"})");
  EXPECT_EQ(S::base64FromDES128Encrypt(*json, "abc"), "+IYx6tOfLYvJ+DFw/YPElw==");
  auto sent = S::urlEncodeFromBase64StrOfDES128Encryptt(*json, "abc");
  EXPECT_EQ(sent, "%2BIYx6tOfLYvJ%2BDFw/YPElw==");
  EXPECT_EQ(S::md5Stringg("json_data=" + *sent + "&product_code=P1&abc"),
            "41d7f382f556fecd25a40e4cc1fba5ca");
  EXPECT_EQ(S::urlDecodeFromBase64StrOfDes128Decryptt(*sent, "abc"), R"({"x":"yy"})");
  EXPECT_EQ(S::DES128DecryptBase64StrWithKey("+IYx6tOfLYvJ+DFw/YPElw==", "abc"), R"({"x":"yy"})");
}

TEST(CodecTest, EmptyTextsAndBase64) {
  EXPECT_EQ(S::md5Stringg(""), "");
  EXPECT_EQ(S::base64Stringg(""), "");
  EXPECT_EQ(S::md5Stringg("abc"), "900150983cd24fb0d6963f7d28e17f72");
  // Bytes after a zero byte do not count.
  EXPECT_EQ(S::md5Stringg(std::string("abc\0def", 7)), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(S::base64Stringg("中文"), "5Lit5paH");
  EXPECT_EQ(S::stringFromBase64Stringg("5Lit5paH"), "中文");
  EXPECT_EQ(S::stringFromBase64Stringg("not base64!"), "");
}

TEST(CodecTest, DesBlocksPaddingAndKeyForms) {
  auto eight = D::des128Encryptt(plat::Data::fromString("12345678"), "k");
  ASSERT_TRUE(eight);
  EXPECT_EQ(eight->length(), 16u) << "a whole padding block";
  EXPECT_EQ(D::des128Decryptt(*eight, "k")->toString(), "12345678");
  // Wrong key: the padding does not check out.
  EXPECT_FALSE(D::des128Decryptt(*eight, "other"));
  // Not a whole number of blocks.
  EXPECT_FALSE(D::des128Decryptt(plat::Data::fromString("12345"), "k"));

  // A short key is zero-filled; a long one is cut to its first eight bytes.
  EXPECT_EQ(D::desKeyFromText("abc"), (std::array<uint8_t, 8>{'a', 'b', 'c', 0, 0, 0, 0, 0}));
  EXPECT_EQ(S::base64FromDES128Encrypt("payload", "kavortine"),
            S::base64FromDES128Encrypt("payload", "kavortin"));
  EXPECT_NE(S::base64FromDES128Encrypt("payload", "kavortin"),
            S::base64FromDES128Encrypt("payload", "kavorti"));

  EXPECT_FALSE(S::DES128DecryptBase64StrWithKey("%%%", "abc"));
}

TEST(CodecTest, JsonParsingKeepsAnyTopLevelAndFailsCleanly) {
  auto arr = J::arrayFromJsonData(plat::Data::fromString(R"(["a",1])"));
  ASSERT_TRUE(arr.isArray());
  EXPECT_EQ(arr.count(), 2u);
  EXPECT_TRUE(J::dictionaryFromJsonData(plat::Data::fromString("[1]")).isArray());
  EXPECT_TRUE(J::dictionaryFromJsonData(plat::Data::fromString("{broken")).isNil());
  EXPECT_TRUE(J::dictionaryFromJsonData(plat::Data()).isNil());
  EXPECT_FALSE(J::jsonString(plat::Value(plat::Dictionary{{"d", plat::Data()}})));
  EXPECT_EQ(J::jsonString(plat::Value(plat::Dictionary{{"b", 1}, {"a", true}})),
            R"({"a":true,"b":1})");
}

}  // namespace
