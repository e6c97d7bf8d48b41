#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

using plat::Array;
using plat::Dictionary;
using plat::Value;

TEST(Value, KindsAndEquality) {
  EXPECT_TRUE(Value().isNil());
  EXPECT_TRUE(Value::null().isNull());
  EXPECT_TRUE(Value("x").isString());
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNil());
  EXPECT_EQ(Value(true), Value(1));  // YES equals 1, as the platform's numbers do
  EXPECT_EQ(Value(2.0), Value(2));
  EXPECT_FALSE(Value(-1) == Value(static_cast<unsigned long long>(UINT64_MAX)));
  EXPECT_FALSE(Value("1") == Value(1));
  // Doubles and integers compare exactly, without rounding the integer to a double.
  EXPECT_FALSE(Value(9007199254740993LL) == Value(9007199254740992.0));
  EXPECT_TRUE(Value(9007199254740992LL) == Value(9007199254740992.0));
  EXPECT_FALSE(Value(2.5) == Value(2));
  EXPECT_TRUE(Value(static_cast<unsigned long long>(1ULL << 63)) == Value(9223372036854775808.0));
  EXPECT_FALSE(Value(INT64_MAX) == Value(9223372036854775808.0));
  EXPECT_TRUE(Value(-3.0) == Value(-3));
  EXPECT_FALSE(Value(std::nan("")) == Value(std::nan("")));
}

TEST(Value, ContainersAreCopyOnWrite) {
  Value a(Array{1, "two", Value::null()});
  Value b = a;
  b.mutableArray()->push_back(4);
  EXPECT_EQ(a.count(), 3u);
  EXPECT_EQ(b.count(), 4u);
  EXPECT_EQ(a[1], Value("two"));
  EXPECT_TRUE(a[7].isNil());
}

TEST(Dictionary, KeepsInsertionOrderAndIndexesLargeOnes) {
  Dictionary d{{"b", 1}, {"a", 2}};
  d.set("b", 3);  // replaced in place
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a"}));
  d.set("a", Value());  // nil removes
  EXPECT_FALSE(d.contains("a"));
  for (int i = 0; i < 100; ++i) d.set("k" + std::to_string(i), i);
  EXPECT_EQ(d.get("k57"), Value(57));
  d.remove("k10");
  EXPECT_EQ(d.get("k99"), Value(99));
  EXPECT_EQ(d.keys()[1], "k0");
  Dictionary e = d;
  e.set("k0", -1);
  EXPECT_EQ(d.get("k0"), Value(0));
  EXPECT_FALSE(d == e);
}

namespace {
class Widget : public plat::Object {
 public:
  std::string className() const override { return "Widget"; }
};
}  // namespace

TEST(ValueDescription, ScalarForms) {
  EXPECT_EQ(Value().description(), "(null)");
  EXPECT_EQ(Value::null().description(), "<null>");
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value(false).description(), "0");
  EXPECT_EQ(Value(-12).description(), "-12");
  EXPECT_EQ(Value(static_cast<unsigned long long>(UINT64_MAX)).description(), "18446744073709551615");
  EXPECT_EQ(Value(0.1).description(), "0.1");
  EXPECT_EQ(Value(3.0).description(), "3");
  EXPECT_EQ(Value(100000.0).description(), "100000");
  EXPECT_EQ(Value(1e20).description(), "1e+20");
  EXPECT_EQ(Value(1.0 / 3).description(), "0.3333333333333333");
  EXPECT_EQ(Value(-0.0).description(), "-0");
  EXPECT_EQ(Value(0.1f).description(), "0.1");  // floats show their own shortest form
  EXPECT_EQ(Value(0.1f).floatValue(), 0.1f);
  EXPECT_EQ(Value(16777217.0f).description(), "16777216");
  EXPECT_EQ(Value(1.5e-7).description(), "1.5e-07");
  EXPECT_EQ(Value(123.456).description(), "123.456");
  EXPECT_EQ(Value(1e16).description(), "10000000000000000");
  EXPECT_EQ(Value("text as is").description(), "text as is");
  EXPECT_EQ(Value(plat::NSDate::fromSeconds1970(978307200)).description(), "2001-01-01 00:00:00 +0000");
  auto w = std::make_shared<Widget>();
  char addr[32];
  std::snprintf(addr, sizeof addr, "%p", static_cast<void*>(w.get()));
  EXPECT_EQ(Value(w).description(), std::string("<Widget: ") + addr + ">");
}

TEST(ValueDescription, DataShowsLengthAndHex) {
  EXPECT_EQ(plat::Data().description(), "{length = 0, bytes = 0x}");
  EXPECT_EQ(Value(plat::Data::fromString("\x01\xab")).description(), "{length = 2, bytes = 0x01ab}");
  std::vector<uint8_t> big(100);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  std::string d = plat::Data(big).description();
  EXPECT_EQ(d, "{length = 100, bytes = 0x000102030405060708090a0b0c0d0e0f1011121314151617 ... "
               "4c4d4e4f505152535455565758595a5b5c5d5e5f60616263}");
}

TEST(ValueDescription, ContainersUseThePlatformMultiLineForm) {
  EXPECT_EQ(Value(Array{}).description(), "(\n)");
  EXPECT_EQ(Value(Dictionary{}).description(), "{\n}");
  // Leaves show their text form, quoted unless it is letters and digits only.
  EXPECT_EQ(Value(Array{1, "two", Value::null(), 2.5, -3, true, plat::NSDate()}).description(),
            "(\n    1,\n    two,\n    \"<null>\",\n    \"2.5\",\n    \"-3\",\n    1,\n"
            "    \"1970-01-01 00:00:00 +0000\"\n)");
  // Keys are listed in ascending order; nested containers carry the platform's indentation.
  Dictionary d{{"zeta", Array{1, 2}}, {"alpha", Dictionary{{"k", "v"}}}, {"mid", 3}};
  EXPECT_EQ(Value(d).description(),
            "{\n"
            "    alpha =     {\n"
            "        k = v;\n"
            "    };\n"
            "    mid = 3;\n"
            "    zeta =     (\n"
            "        1,\n"
            "        2\n"
            "    );\n"
            "}");
  EXPECT_EQ(Value(Array{Dictionary{{"name", "foo"}}, Array{}}).description(),
            "(\n"
            "        {\n"
            "        name = foo;\n"
            "    },\n"
            "        (\n"
            "    )\n"
            ")");
}

TEST(ValueDescription, StringsInContainersAreQuotedAndEscapedWhenNeeded) {
  Array a{"plainWord9", "", "a b", "1.0", "say \"hi\"\\", "line\nbreak", "\xE4\xB8\xAD",
          "\xF0\x9F\x98\x80"};
  EXPECT_EQ(Value(a).description(),
            "(\n"
            "    plainWord9,\n"
            "    \"\",\n"
            "    \"a b\",\n"
            "    \"1.0\",\n"
            "    \"say \\\"hi\\\"\\\\\",\n"
            "    \"line\\nbreak\",\n"
            "    \"\\U4e2d\",\n"
            "    \"\\Ud83d\\Ude00\"\n"
            ")");
  EXPECT_EQ(Value(Dictionary{{"a key", "v"}, {"user_id", 7}}).description(),
            "{\n    \"a key\" = v;\n    \"user_id\" = 7;\n}");
  EXPECT_EQ(Value(Array{plat::Data::fromString("\x01")}).description(),
            "(\n    \"{length = 1, bytes = 0x01}\"\n)");
}

TEST(ValueCoercion, NumbersConvertWithThePlatformRules) {
  EXPECT_EQ(Value(3.99).intValue(), 3);
  EXPECT_EQ(Value(-3.99).integerValue(), -3);
  EXPECT_EQ(Value(1e30).intValue(), INT32_MAX);
  EXPECT_EQ(Value(-1e30).longLongValue(), INT64_MIN);
  EXPECT_EQ(Value(std::nan("")).integerValue(), 0);
  EXPECT_EQ(Value(4294967301LL).intValue(), 5);  // low 32 bits, as the platform's numbers
  EXPECT_EQ(Value(static_cast<unsigned long long>(UINT64_MAX)).longLongValue(), -1);
  EXPECT_EQ(Value(static_cast<unsigned long long>(UINT64_MAX)).unsignedIntegerValue(), UINT64_MAX);
  EXPECT_EQ(Value(true).doubleValue(), 1.0);
  EXPECT_TRUE(Value(0.5).boolValue());
  EXPECT_FALSE(Value(0).boolValue());
  EXPECT_EQ(Value::null().integerValue(), 0);
  EXPECT_EQ(Value(Array{1}).doubleValue(), 0.0);
  EXPECT_FLOAT_EQ(Value(2.5).floatValue(), 2.5f);
}

TEST(ValueCoercion, NumericTextIsPrefixParsedAndSaturates) {
  EXPECT_EQ(Value("  42abc").intValue(), 42);
  EXPECT_EQ(Value("\t\n-17").integerValue(), -17);
  EXPECT_EQ(Value("+8").intValue(), 8);
  EXPECT_EQ(Value("abc").intValue(), 0);
  EXPECT_EQ(Value("- 5").intValue(), 0);
  EXPECT_EQ(Value("12.9").intValue(), 12);
  EXPECT_EQ(Value("99999999999").intValue(), INT32_MAX);
  EXPECT_EQ(Value("-99999999999").intValue(), INT32_MIN);
  EXPECT_EQ(Value("99999999999999999999999").longLongValue(), INT64_MAX);
  EXPECT_EQ(Value("-9223372036854775808").longLongValue(), INT64_MIN);
  EXPECT_EQ(Value("-9223372036854775809").longLongValue(), INT64_MIN);
  EXPECT_DOUBLE_EQ(Value(" 3.5e2xyz").doubleValue(), 350.0);
  EXPECT_DOUBLE_EQ(Value(".5").doubleValue(), 0.5);
  EXPECT_DOUBLE_EQ(Value("-7.").doubleValue(), -7.0);
  EXPECT_DOUBLE_EQ(Value("2e").doubleValue(), 2.0);
  EXPECT_EQ(Value("0x10").doubleValue(), 0.0);   // no hexadecimal
  EXPECT_EQ(Value("nan").doubleValue(), 0.0);    // no words
  EXPECT_EQ(Value("inf").doubleValue(), 0.0);
  EXPECT_TRUE(std::isinf(Value("1e999").doubleValue()));
  EXPECT_EQ(Value("1e-999").doubleValue(), 0.0);
}

TEST(ValueCoercion, BoolValueOfText) {
  for (const char* yes : {"Y", "yes", "T", "true", "1", "  +007", "-3", "0009", "\ttrue"})
    EXPECT_TRUE(Value(yes).boolValue()) << yes;
  for (const char* no : {"", "N", "no", "false", "0", "000", "  -0", "abc", "+", " 0x1", "0.5"})
    EXPECT_FALSE(Value(no).boolValue()) << no;
}

TEST(NSError, DescriptionsAndFallbacks) {
  using plat::NSError;
  auto plain = NSError::make("MyDomain", -7);
  EXPECT_EQ(plain->localizedDescription(), "The operation couldn\u2019t be completed. (MyDomain error -7.)");
  EXPECT_EQ(plain->description(), "Error Domain=MyDomain Code=-7 \"(null)\"");
  EXPECT_EQ(Value(plain).description(), plain->description());
  EXPECT_EQ(plain->localizedFailureReason(), "");
  EXPECT_FALSE(plain->underlyingError());

  Dictionary reasonOnly{{plat::NSLocalizedFailureReasonErrorKey, "disk full"}};
  EXPECT_EQ(NSError::make("D", 1, reasonOnly)->localizedDescription(),
            "The operation couldn\u2019t be completed. disk full");

  auto described = NSError::make(plat::NSURLErrorDomain, -1001, std::string("The request timed out."));
  Dictionary info{{plat::NSLocalizedDescriptionKey, "Outer"},
                  {plat::NSUnderlyingErrorKey, Value(described)},
                  {plat::NSURLErrorFailingURLStringErrorKey, "http://h/x"}};
  auto outer = NSError::make(plat::NSCocoaErrorDomain, 4, info);
  EXPECT_EQ(outer->localizedDescription(), "Outer");
  ASSERT_TRUE(outer->underlyingError());
  EXPECT_EQ(outer->underlyingError()->code(), -1001);
  EXPECT_EQ(outer->description(),
            "Error Domain=NSCocoaErrorDomain Code=4 \"Outer\" UserInfo={NSLocalizedDescription=Outer, "
            "NSUnderlyingError=Error Domain=NSURLErrorDomain Code=-1001 \"The request timed out.\" "
            "UserInfo={NSLocalizedDescription=The request timed out.}, "
            "NSErrorFailingURLStringKey=http://h/x}");
  // The platform's own wording for its JSON codes when the user info has none.
  EXPECT_EQ(NSError::make(plat::NSCocoaErrorDomain, 3840)->localizedDescription(),
            "The data couldn\u2019t be read because it isn\u2019t in the correct format.");

  // Equality is by domain, code and user info; identity is separate.
  auto same = NSError::make("MyDomain", -7);
  EXPECT_EQ(Value(plain), Value(same));
  EXPECT_FALSE(Value(plain).isIdenticalTo(Value(same)));
  EXPECT_FALSE(Value(plain) == Value(NSError::make("MyDomain", -8)));
  EXPECT_FALSE(Value(plain) == Value(NSError::make("MyDomain", -7, std::string("x"))));
}
