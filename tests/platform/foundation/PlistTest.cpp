#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/NSPropertyListSerialization.h"

namespace plat {
namespace {

using PLS = NSPropertyListSerialization;

Value sample() {
  Dictionary inner{{"empty", Value(Array{})}, {"flag", Value(false)}};
  Dictionary d{
      {"zeta", Value("first key stays first")},
      {"count", Value(int64_t{-42})},
      {"big", Value(std::numeric_limits<int64_t>::max())},
      {"small", Value(std::numeric_limits<int64_t>::min())},
      {"ratio", Value(0.1)},
      {"yes", Value(true)},
      {"text", Value("a<&>\"é中😀")},
      {"bytes", Value(Data::fromString(std::string("\0\x01\xff", 3)))},
      {"when", Value(NSDate::fromNanoseconds1970(int64_t{1700000000} * 1000000000))},
      {"list", Value(Array{Value(1), Value("two"), Value(Dictionary(inner))})},
      {"inner", Value(inner)},
  };
  return Value(std::move(d));
}

// Builds a binary property list from raw object encodings (1-byte offsets and refs).
Data binaryPlist(const std::vector<std::vector<uint8_t>>& objects, int refSize = 1) {
  std::vector<uint8_t> out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<uint64_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(out.size());
    out.insert(out.end(), o.begin(), o.end());
  }
  uint64_t table = out.size();
  for (uint64_t off : offsets)
    for (int b = 3; b >= 0; --b) out.push_back(static_cast<uint8_t>(off >> (8 * b)));
  std::vector<uint8_t> trailer(32, 0);
  trailer[6] = 4;
  trailer[7] = static_cast<uint8_t>(refSize);
  auto put = [&](int at, uint64_t v) {
    for (int b = 0; b < 8; ++b) trailer[at + b] = static_cast<uint8_t>(v >> (8 * (7 - b)));
  };
  put(8, objects.size());
  put(16, 0);
  put(24, table);
  out.insert(out.end(), trailer.begin(), trailer.end());
  return Data(std::move(out));
}

TEST(PlistTest, RoundTripsEveryKindInBothFormats) {
  for (auto format : {PLS::NSPropertyListXMLFormat_v1_0, PLS::NSPropertyListBinaryFormat_v1_0}) {
    NSErrorRef error;
    Data bytes = PLS::dataWithPropertyList(sample(), format, 0, &error);
    ASSERT_FALSE(error) << format;
    ASSERT_FALSE(bytes.empty());
    PLS::NSPropertyListFormat detected{};
    Value back = PLS::propertyListWithData(bytes, 0, &detected, &error);
    ASSERT_FALSE(error);
    EXPECT_EQ(detected, format);
    EXPECT_EQ(back, sample());
    // Integers stay integers and keep their sign; insertion order survives.
    EXPECT_EQ(back["count"].type(), Value::Type::Int);
    EXPECT_EQ(back["small"].longLongValue(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(back.dictionary()->keys().front(), "zeta");
    EXPECT_TRUE(back["yes"].isBool());
  }
}

TEST(PlistTest, BinaryKeepsSubSecondDatesAndDatesBefore2001) {
  NSDate precise = NSDate::fromNanoseconds1970(int64_t{1700000000123456} * 1000);
  NSDate early = NSDate::fromNanoseconds1970(int64_t{-1500} * 1000000);  // 1969, negative ns
  Value v(Array{Value(precise), Value(early)});
  Data bytes = PLS::dataWithPropertyList(v, PLS::NSPropertyListBinaryFormat_v1_0);
  Value back = PLS::propertyListWithData(bytes);
  ASSERT_TRUE(back.isArray());
  EXPECT_EQ(back[0].date()->nanoseconds1970(), precise.nanoseconds1970());
  EXPECT_EQ(back[1].date()->nanoseconds1970(), early.nanoseconds1970());
}

TEST(PlistTest, XMLKeepsTheWholeSecondOfDatesOnBothSidesOf2001) {
  // 1982-01-02 01:40:15.5 and 2023-11-14 22:13:20.75: XML holds the whole second, rounded down.
  NSDate before = NSDate::fromSeconds1970(378776415, 500000000);
  NSDate after = NSDate::fromSeconds1970(1700000000, 750000000);
  Data bytes = PLS::dataWithPropertyList(Value(Array{Value(before), Value(after)}),
                                         PLS::NSPropertyListXMLFormat_v1_0);
  Value back = PLS::propertyListWithData(bytes);
  ASSERT_TRUE(back.isArray());
  EXPECT_EQ(back[0].date()->nanoseconds1970(), int64_t{378776415} * 1000000000);
  EXPECT_EQ(back[1].date()->nanoseconds1970(), int64_t{1700000000} * 1000000000);
}

TEST(PlistTest, WritingRefusesValuesWithoutPropertyListForm) {
  const Value bad[] = {
      Value(),
      Value::null(),
      Value(Dictionary{{"k", Value::null()}}),
      Value(Array{Value(1), Value()}),
      Value(std::numeric_limits<uint64_t>::max()),
      Value(NSDate::distantFuture()),
      Value(std::make_shared<Object>()),
      Value(std::string("cut\0short", 9)),
      Value("\xff\xfe not UTF-8"),
      Value(Dictionary{{"bad key \xc3", Value(1)}}),
  };
  for (const Value& v : bad) {
    for (auto f : {PLS::NSPropertyListXMLFormat_v1_0, PLS::NSPropertyListBinaryFormat_v1_0}) {
      NSErrorRef error;
      EXPECT_TRUE(PLS::dataWithPropertyList(v, f, 0, &error).empty());
      ASSERT_TRUE(error);
      EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
      EXPECT_EQ(error->code(), PLS::NSPropertyListWriteInvalidError);
      EXPECT_FALSE(PLS::propertyListIsValidForFormat(v, f));
    }
  }
  NSErrorRef error;
  EXPECT_TRUE(
      PLS::dataWithPropertyList(sample(), PLS::NSPropertyListOpenStepFormat, 0, &error).empty());
  EXPECT_TRUE(error);
  // An unsigned integer that fits the signed range is fine.
  Value fits(uint64_t{7});
  EXPECT_EQ(PLS::propertyListWithData(
                PLS::dataWithPropertyList(fits, PLS::NSPropertyListBinaryFormat_v1_0))
                .longLongValue(),
            7);
}

TEST(PlistTest, CorruptInputGivesReadErrorNeverACrash) {
  Data good = PLS::dataWithPropertyList(sample(), PLS::NSPropertyListBinaryFormat_v1_0);
  std::vector<Data> inputs = {
      Data(),
      Data::fromString("bplist00"),
      good.subdata(0, good.length() / 2),
      Data::fromString("<?xml version=\"1.0\"?><plist><dict><key>a</key>"),
      Data::fromString("{ a = b "),
      Data::fromString("( 1, 2"),
      Data::fromString("\"unterminated"),
      Data::fromString("{ a = <0g>; }"),
      Data::fromString("/* open comment"),
  };
  // Offsets pointing past the table, refs past the object count.
  inputs.push_back(binaryPlist({{0xA1, 0x05}}));
  Data shifted = good;
  shifted.mutableBytes()[shifted.length() - 1] ^= 0x40;  // offset table position
  inputs.push_back(shifted);
  for (const Data& d : inputs) {
    NSErrorRef error;
    Value v = PLS::propertyListWithData(d, 0, nullptr, &error);
    EXPECT_TRUE(v.isNil()) << d.toString();
    ASSERT_TRUE(error) << d.toString();
    EXPECT_EQ(error->code(), PLS::NSPropertyListReadCorruptError);
  }
}

TEST(PlistTest, TextHoldingANulIsRefusedNeitherCutNorFatal) {
  // A dictionary {key: value} whose key or value is ASCII or UTF-16 text with a NUL inside.
  auto dict = [](std::vector<uint8_t> key, std::vector<uint8_t> value) {
    return binaryPlist({{0xD1, 0x01, 0x02}, std::move(key), std::move(value)});
  };
  const std::vector<uint8_t> k{0x51, 'k'}, v{0x51, 'v'};
  ASSERT_EQ(PLS::propertyListWithData(dict(k, v)), Value(Dictionary{{"k", "v"}}));
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>k</key>";
  std::vector<Data> inputs = {
      dict(k, {0x53, 'a', 0, 'b'}),
      dict({0x53, 'k', 0, 'k'}, v),
      dict(k, {0x62, 0, 'a', 0, 0}),
      Data::fromString(xml + "<string>a" + std::string(1, '\0') + "b</string></dict></plist>"),
      Data::fromString(xml + "<string>a&#0;b</string></dict></plist>"),
  };
  for (const Data& d : inputs) {
    NSErrorRef error;
    EXPECT_TRUE(PLS::propertyListWithData(d, 0, nullptr, &error).isNil()) << d.toString();
    ASSERT_TRUE(error) << d.toString();
    EXPECT_EQ(error->code(), PLS::NSPropertyListReadCorruptError);
  }
}

TEST(PlistTest, HostileNestingAndSharedReferencesAreRefused) {
  // XML nested far deeper than the limit.
  std::string deep = "<plist>";
  for (int i = 0; i < 100000; ++i) deep += "<array>";
  for (int i = 0; i < 100000; ++i) deep += "</array>";
  deep += "</plist>";
  NSErrorRef error;
  EXPECT_TRUE(PLS::propertyListWithData(Data::fromString(deep), 0, nullptr, &error).isNil());
  EXPECT_TRUE(error);

  // Binary: a chain of one-element arrays far deeper than the limit (2-byte refs).
  std::vector<std::vector<uint8_t>> chain;
  const int n = 20000;
  for (int i = 0; i < n - 1; ++i)
    chain.push_back({0xA1, static_cast<uint8_t>((i + 1) >> 8), static_cast<uint8_t>(i + 1)});
  chain.push_back({0xA0});
  error.reset();
  EXPECT_TRUE(PLS::propertyListWithData(binaryPlist(chain, 2), 0, nullptr, &error).isNil());
  EXPECT_TRUE(error);

  // Binary: each array holds the next one twice, 2^60 values once expanded.
  std::vector<std::vector<uint8_t>> bomb;
  for (int i = 0; i < 59; ++i)
    bomb.push_back({0xA2, static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 1)});
  bomb.push_back({0xA0});
  error.reset();
  EXPECT_TRUE(PLS::propertyListWithData(binaryPlist(bomb), 0, nullptr, &error).isNil());
  EXPECT_TRUE(error);

  // Binary: an array that contains itself.
  error.reset();
  EXPECT_TRUE(PLS::propertyListWithData(binaryPlist({{0xA1, 0x00}}), 0, nullptr, &error).isNil());
  EXPECT_TRUE(error);

  // Shared references within the limits still read, as copies.
  Value shared = PLS::propertyListWithData(binaryPlist({{0xA2, 1, 1}, {0x51, 'x'}}));
  EXPECT_EQ(shared, Value(Array{Value("x"), Value("x")}));

  // Nesting just inside the limit is fine.
  Value v = Value(Array{});
  for (int i = 0; i < PLS::kMaxDepth - 1; ++i) v = Value(Array{v});
  Data ok = PLS::dataWithPropertyList(v, PLS::NSPropertyListXMLFormat_v1_0);
  ASSERT_FALSE(ok.empty());
  EXPECT_EQ(PLS::propertyListWithData(ok), v);
  EXPECT_TRUE(
      PLS::dataWithPropertyList(Value(Array{Value(Array{v})}), PLS::NSPropertyListXMLFormat_v1_0)
          .empty());
}

TEST(PlistTest, ReadsTextFormatAndStringTables) {
  PLS::NSPropertyListFormat format{};
  Value v = PLS::propertyListWithData(
      Data::fromString(
          "// comment\n{ name = \"Lumora \\\"app\\\"\\n\"; /* c */ list = (a, \"b c\", "
          "<0aff>, {x = 1;}); esc = \"\\U00e9\\101\\ud83d\\ude00\"; }"),
      0, &format);
  EXPECT_EQ(format, PLS::NSPropertyListOpenStepFormat);
  EXPECT_EQ(v["name"], Value("Lumora \"app\"\n"));
  EXPECT_EQ(v["list"][1], Value("b c"));
  EXPECT_EQ(v["list"][2], Value(Data::fromString("\x0a\xff")));
  EXPECT_EQ(v["list"][3]["x"], Value("1"));  // the text format has strings only
  EXPECT_EQ(v["esc"], Value("éA😀"));

  // A string table: entries without braces; a lone key maps to itself; UTF-16 with a mark.
  std::u16string table = u"\uFEFF\"greeting\" = \"你好\";\n\"alone\";\n";
  Data utf16;
  for (char16_t c : table) {
    uint8_t le[2] = {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)};
    utf16.append(le, 2);
  }
  Value t = PLS::propertyListWithData(utf16);
  EXPECT_EQ(t["greeting"], Value("你好"));
  EXPECT_EQ(t["alone"], Value("alone"));
  EXPECT_EQ(PLS::propertyListWithData(Data::fromString("  \n")), Value(Dictionary{}));
}

}  // namespace
}  // namespace plat
