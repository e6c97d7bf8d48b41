#include "platform/foundation/NSJSONSerialization.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/JSONDocument.h"

using plat::Array;
using plat::Dictionary;
using plat::NSErrorRef;
using plat::NSJSONSerialization;
using plat::Value;

namespace {

Value read(std::string_view text, unsigned options = 0, NSErrorRef* error = nullptr) {
  return NSJSONSerialization::JSONObjectWithString(text, options, error);
}

std::string write(const Value& v, unsigned options = 0, NSErrorRef* error = nullptr) {
  return NSJSONSerialization::stringWithJSONObject(v, options, error);
}

}  // namespace

TEST(JSONRead, BuildsValuesKeepingKeyOrderAndNumberKinds) {
  NSErrorRef error;
  Value v = read(R"( {"z":1,"a":[true,false,null,"s\u00e9\/"],"big":18446744073709551615,
                      "neg":-5,"f":1.5,"e":1e2,"z":2} )", 0, &error);
  ASSERT_TRUE(v.isDictionary()) << (error ? error->description() : "");
  EXPECT_FALSE(error);
  EXPECT_EQ(v.dictionary()->keys(), (std::vector<std::string>{"z", "a", "big", "neg", "f", "e"}));
  EXPECT_EQ(v["z"], Value(2));  // a repeated key keeps the last value
  EXPECT_TRUE(v["a"][0].isBool());
  EXPECT_TRUE(v["a"][2].isNull());
  EXPECT_EQ(v["a"][3], Value("s\xC3\xA9/"));
  EXPECT_EQ(v["big"].unsignedIntegerValue(), UINT64_MAX);
  EXPECT_EQ(v["neg"].type(), Value::Type::Int);
  EXPECT_EQ(v["f"].type(), Value::Type::Double);
  EXPECT_EQ(v["e"].doubleValue(), 100.0);
  EXPECT_EQ(read("[]"), Value(Array{}));
  std::string bom = "\xEF\xBB\xBF{\"a\":1}";
  EXPECT_EQ(read(bom)["a"], Value(1));
  plat::Data data = plat::Data::fromString("[1]");
  EXPECT_EQ(NSJSONSerialization::JSONObjectWithData(data), Value(Array{1}));
}

TEST(JSONRead, TopLevelMustBeAContainerUnlessFragmentsAllowed) {
  for (const char* fragment : {"\"text\"", "12", "true", "null", " 3.5 "}) {
    NSErrorRef error;
    EXPECT_TRUE(read(fragment, 0, &error).isNil()) << fragment;
    ASSERT_TRUE(error) << fragment;
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), 3840);
    EXPECT_FALSE(read(fragment, NSJSONSerialization::NSJSONReadingFragmentsAllowed).isNil())
        << fragment;
  }
  EXPECT_TRUE(read("null", NSJSONSerialization::NSJSONReadingFragmentsAllowed).isNull());
}

TEST(JSONRead, InvalidInputGivesAnErrorNeverAnException) {
  std::string deep(100000, '[');
  std::vector<std::string> bad = {"",       "   ",     "{",         "[1,]",     "{'a':1}",
                                  "[1] x",  "[\"\xff\"]", "[\"\xC3\"]", "{\"a\" 1}", "[01]",
                                  "[1e999]", "[\"\\ud800\"]", "[nul]",  deep};
  for (const auto& text : bad) {
    NSErrorRef error;
    Value v;
    EXPECT_NO_THROW(v = read(text, NSJSONSerialization::NSJSONReadingFragmentsAllowed, &error));
    EXPECT_TRUE(v.isNil()) << text.substr(0, 20);
    ASSERT_TRUE(error) << text.substr(0, 20);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_FALSE(error->userInfo().get("NSDebugDescription").stringOr().empty());
    EXPECT_EQ(error->localizedDescription(),
              "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
  }
  // Nothing is required of the caller: no error pointer is fine.
  EXPECT_TRUE(read("{").isNil());
}

TEST(JSONRead, NumbersAtTheEdgesOfTheFastReader) {
  Value v = read("[-0, -0.0, 9223372036854775807, 9223372036854775808, -9223372036854775808, "
                 "18446744073709551616, -9223372036854775809, 1.5e-400, 1E2, \"\\u0000x\"]");
  ASSERT_EQ(v.count(), 10u);
  EXPECT_EQ(v[0].type(), Value::Type::Int);
  EXPECT_EQ(v[1].type(), Value::Type::Double);
  EXPECT_TRUE(std::signbit(v[1].doubleValue()));
  EXPECT_EQ(v[2].type(), Value::Type::Int);
  EXPECT_EQ(v[3].type(), Value::Type::UInt);
  EXPECT_EQ(v[4].longLongValue(), INT64_MIN);
  // Integers past 64 bits, which only the fallback reader takes, become decimal numbers.
  EXPECT_EQ(v[5].type(), Value::Type::Decimal);
  EXPECT_EQ(v[5].doubleValue(), 18446744073709551616.0);
  EXPECT_EQ(v[6].type(), Value::Type::Decimal);
  EXPECT_EQ(v[6].description(), "-9223372036854775809");
  EXPECT_EQ(v[7].doubleValue(), 0.0);
  EXPECT_EQ(v[8].type(), Value::Type::Double);
  EXPECT_EQ(v[9], Value(std::string("\0x", 2)));
}

TEST(JSONRead, NestingLimitIsTheSameForEveryReader) {
  auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(read(nested(512)).isArray());
  NSErrorRef error;
  EXPECT_TRUE(read(nested(513), 0, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->userInfo().get("NSDebugDescription"),
            Value("Too many nested arrays or dictionaries."));
  plat::JSONDocument document;
  EXPECT_TRUE(document.parse(nested(512)));
  EXPECT_FALSE(document.parse(nested(513)));
  // The writer nests as deep as the readers read, and fails one deeper.
  for (unsigned options : {0u, unsigned{NSJSONSerialization::NSJSONWritingPrettyPrinted}}) {
    for (Value inner : {Value(Array{}), Value(Dictionary{})}) {
      for (int i = 0; i < 511; ++i)
        inner = i % 2 ? Value(Array{inner}) : Value(Dictionary{{"k", inner}});
      EXPECT_EQ(read(write(inner, options)), inner);
      EXPECT_EQ(write(Value(Array{inner}), options, &error), "");
      EXPECT_TRUE(error && error->code() == 3851);
    }
  }
}

TEST(JSONRead, DocumentsOpenAtOnceStayApart) {
  plat::JSONDocument outer;
  ASSERT_TRUE(outer.parse(R"({"a":1,"b":[2,3],"a":4})"));
  {
    // Made while the first is in use (as a hook that reads JSON during a walk would).
    plat::JSONDocument inner;
    ASSERT_TRUE(inner.parse(R"({"a":"inner"})"));
    plat::JSONDocument::Node a;
    ASSERT_TRUE(plat::JSONDocument::member(inner.root(), "a", &a));
    EXPECT_EQ(plat::JSONDocument::valueOf(a), Value("inner"));
  }
  plat::JSONDocument::Node n;
  ASSERT_TRUE(plat::JSONDocument::member(outer.root(), "a", &n));
  EXPECT_EQ(plat::JSONDocument::valueOf(n), Value(4));  // the last of repeated keys
  ASSERT_TRUE(plat::JSONDocument::member(outer.root(), "b", &n));
  plat::JSONDocument::Node item;
  EXPECT_TRUE(plat::JSONDocument::element(n, 1, &item));
  EXPECT_EQ(plat::JSONDocument::valueOf(item), Value(3));
  EXPECT_FALSE(plat::JSONDocument::element(n, 2, &item));
  EXPECT_FALSE(plat::JSONDocument::member(n, "a", &item));
  EXPECT_FALSE(outer.parse("[1,]"));
  EXPECT_FALSE(outer.parse(std::string_view("[1]\0", 4)));
}

TEST(JSONWrite, CompactFormEscapesSlashesAndWritesNumbersPlainly) {
  Dictionary d{{"url", "http://a/b"}, {"t", true}, {"f", false}, {"n", Value::null()},
               {"i", -3}, {"d", 2.0}, {"x", 0.1}, {"q", "a\"b\\c\n\x01\xE4\xB8\xAD"},
               {"arr", Array{1, Array{}, Dictionary{}}}};
  EXPECT_EQ(write(d),
            R"({"url":"http:\/\/a\/b","t":true,"f":false,"n":null,"i":-3,"d":2,"x":0.1,)"
            R"("q":"a\"b\\c\n\u0001)" "\xE4\xB8\xAD" R"(","arr":[1,[],{}]})");
  EXPECT_EQ(write(Dictionary{{"u", "a/b"}}, NSJSONSerialization::NSJSONWritingWithoutEscapingSlashes),
            R"({"u":"a/b"})");
  EXPECT_EQ(write(Dictionary{{"b", 1}, {"a", 2}}, NSJSONSerialization::NSJSONWritingSortedKeys),
            R"({"a":2,"b":1})");
  EXPECT_EQ(write("frag", NSJSONSerialization::NSJSONWritingFragmentsAllowed), R"("frag")");
  // What is written reads back equal.
  EXPECT_EQ(read(write(d)), Value(d));
}

TEST(JSONWrite, PrettyForm) {
  Dictionary d{{"a", 1}, {"b", Array{true, "x"}}, {"c", Dictionary{}}, {"e", Array{}}};
  EXPECT_EQ(write(d, NSJSONSerialization::NSJSONWritingPrettyPrinted),
            "{\n"
            "  \"a\" : 1,\n"
            "  \"b\" : [\n"
            "    true,\n"
            "    \"x\"\n"
            "  ],\n"
            "  \"c\" : {\n"
            "\n"
            "  },\n"
            "  \"e\" : [\n"
            "\n"
            "  ]\n"
            "}");
}

TEST(JSONWrite, ValuesJSONCannotHoldAreErrors) {
  class Thing : public plat::Object {};
  std::vector<Value> bad = {Array{plat::Data::fromString("x")}, Array{plat::NSDate()},
                            Array{std::nan("")}, Array{INFINITY},
                            Array{Value(std::make_shared<Thing>())},
                            Array{std::string("\xff")}, Value(Dictionary{{"\xC0", 1}})};
  for (const auto& v : bad) {
    NSErrorRef error;
    plat::Data out = NSJSONSerialization::dataWithJSONObject(v, 0, &error);
    EXPECT_TRUE(out.empty()) << v.description();
    ASSERT_TRUE(error) << v.description();
    EXPECT_EQ(error->code(), 3851);
    EXPECT_FALSE(NSJSONSerialization::isValidJSONObject(v));
  }
  NSErrorRef error;
  EXPECT_EQ(write(Value(5), 0, &error), "");
  ASSERT_TRUE(error);  // a scalar at the top needs fragments allowed
  EXPECT_EQ(write(Value(), NSJSONSerialization::NSJSONWritingFragmentsAllowed, &error), "");
  EXPECT_TRUE(error);
  EXPECT_TRUE(NSJSONSerialization::isValidJSONObject(Dictionary{{"a", Array{1, "b"}}}));
  EXPECT_FALSE(NSJSONSerialization::isValidJSONObject(Value("top")));
}

// An integer too large for 64 bits reads as a decimal number that keeps its digits: its
// text, its JSON and its equality use them; its coercions go through the nearest double.
TEST(JSON, IntegersBeyond64BitsKeepTheirDigits) {
  using plat::Value;
  Value v = plat::NSJSONSerialization::JSONObjectWithString(
      R"([12345678901234567890123, -98765432109876543210, 18446744073709551615, 1e30])");
  ASSERT_EQ(v.count(), 4u);
  EXPECT_EQ(v[0].type(), Value::Type::Decimal);
  EXPECT_TRUE(v[0].isNumber());
  EXPECT_EQ(v[0].description(), "12345678901234567890123");
  EXPECT_EQ(v[1].description(), "-98765432109876543210");
  EXPECT_EQ(v[2].type(), Value::Type::UInt);  // still a 64-bit integer
  EXPECT_EQ(v[3].type(), Value::Type::Double);
  EXPECT_EQ(plat::NSJSONSerialization::stringWithJSONObject(v),
            "[12345678901234567890123,-98765432109876543210,18446744073709551615,1e+30]");

  EXPECT_DOUBLE_EQ(v[0].doubleValue(), 1.2345678901234568e22);
  EXPECT_EQ(v[0].longLongValue(), INT64_MAX);
  EXPECT_EQ(v[1].longLongValue(), INT64_MIN);
  EXPECT_EQ(v[0].unsignedIntegerValue(), UINT64_MAX);
  EXPECT_EQ(v[0].intValue(), INT32_MAX);
  EXPECT_TRUE(v[1].boolValue());
  EXPECT_EQ(v[0], Value::decimalNumber("12345678901234567890123"));
  EXPECT_NE(v[0], Value(1.2345678901234568e22));  // the nearest double is another number
  EXPECT_EQ(Value::decimalNumber("100000000000000000000"), Value(1e20));
  EXPECT_NE(v[0], Value(INT64_MAX));
  EXPECT_TRUE(Value::decimalNumber("012").isNil());
  EXPECT_TRUE(Value::decimalNumber("1.5").isNil());
  EXPECT_TRUE(Value::decimalNumber("-").isNil());
}

// A NUL byte never ends the text early, and integers too long for a double keep their digits
// like the shorter big integers, whichever reader takes the text.
TEST(JSONRead, NulBytesAndVeryLongIntegers) {
  const std::string long309 = "2" + std::string(308, '3');
  const std::string long400 = "-9" + std::string(399, '1');
  const std::string zeros = "0E" + std::string(400, '0');  // a long literal reading as zero
  struct Case {
    std::string text;
    std::string expected;  // the value written back as JSON; empty: refused
  };
  const Case cases[] = {
      {std::string("[1]\0[2]", 7), ""},
      {std::string("{\"a\":\"x\"}\0{\"b\":1}", 17), ""},
      {std::string("[1\0]", 4), ""},
      {std::string("[\"a\0b\"]", 7), ""},
      {std::string("[1]\0", 4), ""},
      {"[" + long309 + "]", "[" + long309 + "]"},
      {"{\"id\":" + long400 + ",\"s\":\"" + long309 + "\",\"z\":" + zeros + ",\"n\":" + long309 +
           "}",
       "{\"id\":" + long400 + ",\"s\":\"" + long309 + "\",\"z\":0,\"n\":" + long309 + "}"},
      {"[0" + long309 + "]", ""},   // a leading zero stays refused
      {"[" + long309 + ".5]", ""},  // a double out of range stays refused
      {"[" + long309 + ",", ""},    // and so does the text after a long integer
  };
  for (const Case& c : cases) {
    NSErrorRef error;
    Value v = read(c.text, 0, &error);
    if (c.expected.empty()) {
      EXPECT_TRUE(v.isNil()) << c.text.substr(0, 40) << " read as " << write(v);
      EXPECT_TRUE(error) << c.text.substr(0, 40);
    } else {
      EXPECT_EQ(write(v), c.expected) << c.text.substr(0, 40);
      EXPECT_FALSE(error) << error->description();
    }
  }
  Value v = read("[" + long309 + "]");
  EXPECT_EQ(v[0].type(), Value::Type::Decimal);
  EXPECT_EQ(v[0], Value::decimalNumber(long309));
}
