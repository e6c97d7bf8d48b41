#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
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

// A binary property list of the given objects' bytes (after the header), the objects at the
// given offsets, with 4-byte offsets.
Data binaryPlistAt(std::vector<uint8_t> out, const std::vector<uint64_t>& offsets,
                   int refSize = 1) {
  uint64_t table = out.size();
  for (uint64_t off : offsets)
    for (int b = 3; b >= 0; --b) out.push_back(static_cast<uint8_t>(off >> (8 * b)));
  std::vector<uint8_t> trailer(32, 0);
  trailer[6] = 4;
  trailer[7] = static_cast<uint8_t>(refSize);
  auto put = [&](int at, uint64_t v) {
    for (int b = 0; b < 8; ++b) trailer[at + b] = static_cast<uint8_t>(v >> (8 * (7 - b)));
  };
  put(8, offsets.size());
  put(16, 0);
  put(24, table);
  out.insert(out.end(), trailer.begin(), trailer.end());
  return Data(std::move(out));
}

// Builds a binary property list from raw object encodings laid out one after another.
Data binaryPlist(const std::vector<std::vector<uint8_t>>& objects, int refSize = 1) {
  std::vector<uint8_t> out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<uint64_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(out.size());
    out.insert(out.end(), o.begin(), o.end());
  }
  return binaryPlistAt(std::move(out), offsets, refSize);
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
      Value(NSDate::fromSeconds1970(int64_t{253402300800})),  // year 10000
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
  // Half a UTF-16 surrogate pair is no character: refused, not read as U+FFFD.
  auto utf16 = [](std::vector<uint16_t> units) {
    std::vector<uint8_t> o{static_cast<uint8_t>(0x60 | units.size())};
    for (uint16_t u : units) o.insert(o.end(), {uint8_t(u >> 8), uint8_t(u & 0xFF)});
    return binaryPlist({o});
  };
  for (auto units : {std::vector<uint16_t>{0x41, 0xD800, 0x42},
                     {0x41, 0xDBFF},
                     {0xDC00, 0x42},
                     {0xD800, 0xD800, 0xDC00}})
    inputs.push_back(utf16(units));
  for (const char* text :
       {R"(("\UD800"))", R"(("\UD800x\UDC00"))", R"(("\UD800\n\UDC00"))", R"(("\udc00"))"})
    inputs.push_back(Data::fromString(text));
  EXPECT_EQ(PLS::propertyListWithData(utf16({0x41, 0xD83D, 0xDE00})), Value("A\xF0\x9F\x98\x80"));
  EXPECT_EQ(PLS::propertyListWithData(Data::fromString(R"(("\UD83D\uDE00"))")),
            Value(Array{Value("\xF0\x9F\x98\x80")}));
  Data shifted = good;
  shifted.mutableBytes()[shifted.length() - 1] ^= 0x40;  // offset table position
  inputs.push_back(shifted);
  for (const Data& d : inputs) {
    NSErrorRef error;
    Value v = PLS::propertyListWithData(d, 0, nullptr, &error);
    EXPECT_TRUE(v.isNil()) << d.toString();
    EXPECT_TRUE(error && error->code() == PLS::NSPropertyListReadCorruptError) << d.toString();
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

// Shared references are read as copies, so what a list expands to is bounded in bytes as well
// as in values; objects that overlap cost nothing per level while the graph is checked.
TEST(PlistTest, BinaryListsExpandingTooFarAreRefused) {
  // Object 0: an array of `refs` one-byte references to object 1, which `leaf` makes.
  auto shared = [](uint16_t refs, std::vector<uint8_t> leaf) {
    std::vector<uint8_t> array{0xAF, 0x11, static_cast<uint8_t>(refs >> 8),
                               static_cast<uint8_t>(refs)};
    array.resize(array.size() + refs, 1);
    return binaryPlist({array, leaf});
  };
  // A marker of `kind` with a 4-byte count, then `n` units of `unit`.
  auto text = [](uint8_t kind, uint32_t n, std::vector<uint8_t> unit) {
    std::vector<uint8_t> o{static_cast<uint8_t>(kind << 4 | 0x0F), 0x12};
    for (int b = 3; b >= 0; --b) o.push_back(static_cast<uint8_t>(n >> (8 * b)));
    o.resize(o.size() + n * unit.size(), unit.back());
    if (unit.size() == 2)
      for (size_t i = 6; i < o.size(); i += 2) o[i] = unit[0];
    return o;
  };
  const uint32_t kS = 64 * 1024;

  // Overlapping arrays: a leaf, then array 1 of 2000 references to it; then a chain of
  // 200 arrays (objects 2...), each one's header inside the references of the one before,
  // each declaring references that run to the end of a shared run of references to array 1.
  // Every byte names an object (256 of them), so each array reads as sound until its turn.
  // Holding a reference list per open level took hundreds of MB here; the refusal is what
  // a test can see.
  std::vector<uint8_t> body{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x08};
  std::vector<uint64_t> offsets(256, 8);  // all but the arrays: the leaf
  offsets[1] = body.size();
  body.insert(body.end(), {0xAF, 0x11, 0x07, 0xD0});
  body.resize(body.size() + 2000, 255);
  const int kChain = 200;
  const size_t kRun = 200 * 1024;
  const size_t chainStart = body.size(), end = chainStart + 7 * kChain + kRun;
  for (int k = 0; k < kChain; ++k) {
    offsets[k == 0 ? 0 : k + 1] = body.size();
    const uint32_t n = static_cast<uint32_t>(end - (body.size() + 6));
    body.insert(body.end(), {0xAF, 0x12});
    for (int b = 3; b >= 0; --b) body.push_back(static_cast<uint8_t>(n >> (8 * b)));
    body.push_back(static_cast<uint8_t>(k + 1 < kChain ? k + 2 : 1));
  }
  body.resize(end, 1);

  struct Case {
    const char* name;
    Data input;
    const char* error;  // nullptr: reads
  } cases[] = {
      {"data", shared(2000, text(0x4, kS, {'d'})), "expands too far"},
      {"ASCII text", shared(2000, text(0x5, kS, {'a'})), "expands too far"},
      {"UTF-16 text", shared(2000, text(0x6, kS / 2, {0x00, 0xE9})), "expands too far"},
      {"overlapping arrays", binaryPlistAt(body, offsets), "expands too far"},
      {"data shared within bounds", shared(20, text(0x4, kS, {'d'})), nullptr},
      {"text shared within bounds", shared(20, text(0x6, kS / 2, {0x00, 0xE9})), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NSErrorRef error;
    Value v = PLS::propertyListWithData(c.input, 0, nullptr, &error);
    if (!c.error) {
      ASSERT_FALSE(error) << error->localizedDescription();
      ASSERT_TRUE(v.isArray());
      EXPECT_EQ(v.array()->size(), 20u);
      EXPECT_EQ((*v.array())[19], (*v.array())[0]);
      continue;
    }
    EXPECT_TRUE(v.isNil());
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find(c.error), std::string::npos)
        << error->localizedDescription();
  }
}

// Every form holds at most kMaxDepth nested containers, however deep the innermost is: the
// writers refuse more, and each reader reads exactly what fits.
TEST(PlistTest, EveryFormNestsTheSameNumberOfContainers) {
  for (int depth : {PLS::kMaxDepth - 1, PLS::kMaxDepth, PLS::kMaxDepth + 1}) {
    for (bool leaf : {true, false}) {
      SCOPED_TRACE(std::to_string(depth) + (leaf ? " around text" : " empty"));
      const bool fits = depth <= PLS::kMaxDepth;
      Value v = leaf ? Value(Array{Value("x")}) : Value(Array{});
      std::string xml = leaf ? "<string>x</string>" : "", text = leaf ? "x" : "";
      std::vector<std::vector<uint8_t>> chain;
      for (int i = 0; i < depth; ++i) {
        if (i > 0) v = Value(Array{v});
        xml = "<array>" + xml + "</array>";
        text = "(" + text + ")";
        if (i + 1 < depth || leaf)
          chain.push_back({0xA1, static_cast<uint8_t>((i + 1) >> 8), static_cast<uint8_t>(i + 1)});
        else
          chain.push_back({0xA0});
      }
      if (leaf) chain.push_back({0x51, 'x'});
      for (Data crafted : {Data::fromString("<plist>" + xml + "</plist>"), Data::fromString(text),
                           binaryPlist(chain, 2)}) {
        NSErrorRef error;
        EXPECT_EQ(PLS::propertyListWithData(crafted, 0, nullptr, &error).isNil(), !fits)
            << crafted.toString().substr(0, 20);
        if (fits) {
          EXPECT_FALSE(error) << error->localizedDescription();
        }
      }
      for (auto format :
           {PLS::NSPropertyListXMLFormat_v1_0, PLS::NSPropertyListBinaryFormat_v1_0}) {
        NSErrorRef error;
        Data written = PLS::dataWithPropertyList(v, format, 0, &error);
        EXPECT_EQ(written.empty(), !fits) << format;
        EXPECT_EQ(PLS::propertyListIsValidForFormat(v, format), fits) << format;
        if (fits) {
          EXPECT_EQ(PLS::propertyListWithData(written), v) << format;
        }
      }
    }
  }
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

Data bytesOf(const char* s, size_t n) { return Data(reinterpret_cast<const uint8_t*>(s), n); }

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The last instants of year 9999 (a server's "end of time") are stored in the binary form as a
// time that reads back in 9999, so the list around them reads; never as one that rounds to
// the year 10000, which no reader takes.
TEST(PlistTest, TheLastInstantsOfYear9999ReadBackFromTheBinaryForm) {
  constexpr int64_t kLastSecond = 253402300799;  // 9999-12-31T23:59:59Z
  for (int64_t nanoseconds : {999969000, 999984000, 999985000, 999999000, 999999999}) {
    SCOPED_TRACE(nanoseconds);
    const NSDate date = NSDate::fromSeconds1970(kLastSecond, nanoseconds);
    NSErrorRef error;
    Data bytes = PLS::dataWithPropertyList(Value(Array{Value(date), Value("kept")}),
                                           PLS::NSPropertyListBinaryFormat_v1_0, 0, &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    Value back = PLS::propertyListWithData(bytes, 0, nullptr, &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    ASSERT_TRUE(back[0].isDate());
    EXPECT_EQ(back[0].date()->seconds1970(), kLastSecond);
    // Within the double's step (2^-15 s) of the date written.
    EXPECT_LE(std::abs(back[0].date()->timeIntervalSinceDate(date)), 31e-6);
    EXPECT_EQ(back[1], Value("kept"));
  }
}

// Every odd value in both forms: what each form holds reads back unchanged (dates of years 1
// to 9999, integers beyond 64 bits, text with CR, -0.0); what it cannot hold fails the write,
// never changes. Lists written by python's plistlib and by the earlier libplist-based writer
// read as their writers meant.
TEST(PlistTest, OddValuesInBothFormsReadBackUnchangedOrFail) {
  const std::string beyond128 = "1" + std::string(40, '0');
  struct Case {
    const char* name;
    Value value;
    bool xml;     // whether the XML form holds it
    bool binary;  // whether the binary form holds it
  };
  const Case cases[] = {
      {"distant future", Value(NSDate::distantFuture()), true, true},
      {"distant past", Value(NSDate::distantPast()), true, true},
      {"year 9999", Value(NSDate::fromSeconds1970(int64_t{253402300799})), true, true},
      {"year 16", Value(NSDate::fromSeconds1970(int64_t{-61649164800})), true, true},
      {"year 5000", Value(NSDate::fromSeconds1970(int64_t{95617584000})), true, true},
      {"year 1900", Value(NSDate::fromSeconds1970(int64_t{-2208988800})), true, true},
      {"year 2100", Value(NSDate::fromSeconds1970(int64_t{4102444800})), true, true},
      {"year 10000", Value(NSDate::fromSeconds1970(int64_t{253402300800})), false, false},
      {"UINT64_MAX", Value(std::numeric_limits<uint64_t>::max()), true, true},
      {"INT64_MAX + 1", Value(uint64_t{1} << 63), true, true},
      {"decimal", Value::decimalNumber("100000000000000000001"), true, true},
      {"negative decimal", Value::decimalNumber("-100000000000000000001"), true, true},
      {"128-bit edge", Value::decimalNumber("170141183460469231731687303715884105727"), true, true},
      {"beyond 128 bits", Value::decimalNumber(beyond128), true, false},
      {"control character",
       Value("a\x01"
             "b"),
       false, true},
      {"U+FFFE", Value("a\xEF\xBF\xBE"), false, true},
      {"CR", Value("line\r\nnext\rlast"), true, true},
      {"negative zero", Value(-0.0), true, true},
      {"infinity", Value(-std::numeric_limits<double>::infinity()), true, true},
  };
  for (const Case& c : cases) {
    for (auto format : {PLS::NSPropertyListXMLFormat_v1_0, PLS::NSPropertyListBinaryFormat_v1_0}) {
      SCOPED_TRACE(std::string(c.name) +
                   (format == PLS::NSPropertyListXMLFormat_v1_0 ? " in XML" : " in binary"));
      const bool holds = format == PLS::NSPropertyListXMLFormat_v1_0 ? c.xml : c.binary;
      const Value v(Array{c.value});
      NSErrorRef error;
      Data bytes = PLS::dataWithPropertyList(v, format, 0, &error);
      EXPECT_EQ(PLS::propertyListIsValidForFormat(v, format), holds);
      if (!holds) {
        EXPECT_TRUE(bytes.empty());
        EXPECT_TRUE(error);
        continue;
      }
      Value back = PLS::propertyListWithData(bytes, 0, nullptr, &error);
      EXPECT_FALSE(error) << error->description() << "\n" << bytes.toString();
      EXPECT_EQ(back[0].type(), c.value.type());
      EXPECT_EQ(back[0], c.value) << back[0].description();
      if (c.value.type() == Value::Type::Double)
        EXPECT_TRUE(sameBits(back[0].doubleValue(), c.value.doubleValue()));
    }
  }
  // XML writes a CR as a reference, which readers keep (a raw one reads as a line feed).
  EXPECT_NE(PLS::dataWithPropertyList(Value("a\rb"), PLS::NSPropertyListXMLFormat_v1_0)
                .toString()
                .find("<string>a&#13;b</string>"),
            std::string::npos);
  // XML integers may be hexadecimal, as other writers give them.
  EXPECT_EQ(PLS::propertyListWithData(Data::fromString(
                "<plist><array><integer>0x10</integer><integer>-0XfF</integer></array></plist>")),
            Value(Array{Value(16), Value(-255)}));
  // Keyed archives keep what the binary form holds, and dates of any year.
  for (const Case& c : cases) {
    if (!c.binary && !c.value.isDate()) continue;
    const Value v(Array{c.value});
    NSErrorRef error;
    Value back = NSKeyedUnarchiver::unarchiveObjectWithData(
        NSKeyedArchiver::archivedDataWithRootObject(v), &error);
    EXPECT_FALSE(error) << c.name;
    EXPECT_EQ(back, v) << c.name << ": " << back.description();
  }

  // An archive another writer made (python's plistlib), with the array [UINT64_MAX,
  // INT64_MIN] whose first item is a 16-byte integer.
  const char kForeignArchive[] =
      "\x62\x70\x6c\x69\x73\x74\x30\x30\xd4\x01\x02\x03\x04\x05\x06\x07\x0a\x58\x24\x76\x65\x72"
      "\x73\x69\x6f\x6e\x59\x24\x61\x72\x63\x68\x69\x76\x65\x72\x54\x24\x74\x6f\x70\x58\x24\x6f"
      "\x62\x6a\x65\x63\x74\x73\x12\x00\x01\x86\xa0\x5f\x10\x0f\x4e\x53\x4b\x65\x79\x65\x64\x41"
      "\x72\x63\x68\x69\x76\x65\x72\xd1\x08\x09\x54\x72\x6f\x6f\x74\x80\x01\xa5\x0b\x0c\x13\x14"
      "\x15\x55\x24\x6e\x75\x6c\x6c\xd2\x0d\x0e\x0f\x12\x5a\x4e\x53\x2e\x6f\x62\x6a\x65\x63\x74"
      "\x73\x56\x24\x63\x6c\x61\x73\x73\xa2\x10\x11\x80\x02\x80\x03\x80\x04\x14\x00\x00\x00\x00"
      "\x00\x00\x00\x00\xff\xff\xff\xff\xff\xff\xff\xff\x13\x80\x00\x00\x00\x00\x00\x00\x00\xd2"
      "\x16\x17\x18\x19\x5a\x24\x63\x6c\x61\x73\x73\x6e\x61\x6d\x65\x58\x24\x63\x6c\x61\x73\x73"
      "\x65\x73\x57\x4e\x53\x41\x72\x72\x61\x79\xa2\x18\x1a\x58\x4e\x53\x4f\x62\x6a\x65\x63\x74"
      "\x08\x11\x1a\x24\x29\x32\x37\x49\x4c\x51\x53\x59\x5f\x64\x6f\x76\x79\x7b\x7d\x7f\x90\x99"
      "\x9e\xa9\xb2\xba\xbd\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x1b\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xc6";
  EXPECT_EQ(NSKeyedUnarchiver::unarchiveObjectWithData(
                bytesOf(kForeignArchive, sizeof kForeignArchive - 1)),
            Value(Array{Value(std::numeric_limits<uint64_t>::max()),
                        Value(std::numeric_limits<int64_t>::min())}));

  // From python's plistlib: dates of years 1 and 9999, a 16-byte UINT64_MAX, and (binary) a
  // date half a second before 2001.
  const NSDate past = NSDate::fromSeconds1970(int64_t{-62135596800});  // 0001-01-01
  const NSDate future = NSDate::fromSeconds1970(int64_t{253402300799});
  const char kPythonBinary[] =
      "bplist00\xd5\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x54past\x56"
      "future\x53max\x53min\x55"
      "early\x33\xc2\x2d\x63\xc3\x7f\x00\x00\x00\x33\x42\x4d\x62\xd2\x3c\x7f\x80\x00\x14\x00\x00"
      "\x00\x00\x00\x00\x00\x00\xff\xff\xff\xff\xff\xff\xff\xff\x13\x80\x00\x00\x00\x00\x00\x00"
      "\x00\x33\xbf\xe0\x00\x00\x00\x00\x00\x00\x08\x13\x18\x1f\x23\x27\x2d\x36\x3f\x50\x59\x00"
      "\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x0b\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x62";
  Value python = PLS::propertyListWithData(bytesOf(kPythonBinary, sizeof kPythonBinary - 1));
  EXPECT_EQ(python["past"], Value(past)) << python.description();
  EXPECT_EQ(python["future"], Value(future));
  EXPECT_EQ(python["max"], Value(std::numeric_limits<uint64_t>::max()));
  EXPECT_EQ(python["min"], Value(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(python["early"], Value(NSDate::fromSeconds1970(978307199, 500000000)));
  const std::string pythonXML =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
      "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n"
      "<dict>\n\t<key>past</key>\n\t<date>0001-01-01T00:00:00Z</date>\n\t<key>future</key>\n"
      "\t<date>9999-12-31T23:59:59Z</date>\n\t<key>max</key>\n"
      "\t<integer>18446744073709551615</integer>\n</dict>\n</plist>\n";
  python = PLS::propertyListWithData(Data::fromString(pythonXML));
  EXPECT_EQ(python, Value(Dictionary{{"past", Value(past)},
                                     {"future", Value(future)},
                                     {"max", Value(std::numeric_limits<uint64_t>::max())}}));
  // What this writer gives python's plistlib is what it wrote (same text for this list).
  EXPECT_EQ(PLS::dataWithPropertyList(python, PLS::NSPropertyListXMLFormat_v1_0).toString(),
            pythonXML);

  // Written by the earlier libplist-based writer.
  const char kOldBinary[] =
      "bplist00\xd6\x01\x03\x05\x07\x09\x0b\x02\x04\x06\x08\x0a\x0c\x54when\x33\xc1\x7e\x13\x37"
      "\xfc\x00\x00\x00\x51n\x13\xff\xff\xff\xff\xff\xff\xff\xfb\x51r\x23\x3f\xb9\x99\x99\x99\x99"
      "\x99\x9a\x51s\x62\x00\xe9\x4e\x2d\x51\x64\x42\x00\x01\x51\x61\xa1\x0d\x09\x08\x15\x1a\x23"
      "\x25\x2e\x30\x39\x3b\x40\x42\x45\x47\x49\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00"
      "\x00\x00\x00\x0e\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x4a";
  const Dictionary old{{"when", Value(NSDate::fromSeconds1970(946771200, 250000000))},
                       {"n", Value(-5)},
                       {"r", Value(0.1)},
                       {"s", Value("\xc3\xa9\xe4\xb8\xad")},
                       {"d", Value(Data(reinterpret_cast<const uint8_t*>("\0\x01"), 2))},
                       {"a", Value(Array{Value(true)})}};
  EXPECT_EQ(PLS::propertyListWithData(bytesOf(kOldBinary, sizeof kOldBinary - 1)), Value(old));
  const std::string oldXML =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
      "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n"
      "<dict>\n\t<key>n</key>\n\t<integer>-5</integer>\n\t<key>r</key>\n"
      "\t<real>0.10000000000000001</real>\n\t<key>d</key>\n\t<data>\n\tAAE=\n\t</data>\n"
      "\t<key>a</key>\n\t<array>\n\t\t<true/>\n\t</array>\n</dict>\n</plist>\n";
  Dictionary oldWithoutText = old;
  oldWithoutText.remove("when");
  oldWithoutText.remove("s");
  EXPECT_EQ(PLS::propertyListWithData(Data::fromString(oldXML)), Value(oldWithoutText));
}

}  // namespace
}  // namespace plat
