#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace plat {
namespace {

using PLS = NSPropertyListSerialization;

// A model that codes itself by key, with a reference to another of its kind.
class Player : public Object, public NSCoding {
 public:
  std::string className() const override { return "Player"; }
  void encodeWithCoder(NSKeyedArchiver& coder) const override {
    coder.encodeObjectForKey(Value(name), "name");
    coder.encodeIntegerForKey(level, "level");
    coder.encodeBoolForKey(vip, "vip");
    coder.encodeDoubleForKey(score, "score");
    coder.encodeObjectForKey(friendRef ? Value(friendRef) : Value(), "friend");
    coder.encodeObjectForKey(Value(tags), "$tags");
  }
  bool initWithCoder(NSKeyedUnarchiver& coder) override {
    Value n = coder.decodeObjectForKey("name");
    if (!n.isString()) return false;
    name = *n.string();
    level = coder.decodeIntegerForKey("level");
    vip = coder.decodeBoolForKey("vip");
    score = coder.decodeDoubleForKey("score");
    friendRef = coder.decodeObjectForKey("friend").objectAs<Player>();
    tags = coder.decodeObjectForKey("$tags");
    return true;
  }
  std::string name;
  int64_t level = 0;
  bool vip = false;
  double score = 0;
  std::shared_ptr<Player> friendRef;
  Value tags;
};

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NSCodingClasses::registerClass("Player", [] { return std::make_shared<Player>(); });
  }
};

Value sampleValue() {
  return Value(Dictionary{
      {"product_code", Value(int64_t{90001})},
      {"negative", Value(std::numeric_limits<int64_t>::min())},
      {"ratio", Value(0.25)},
      {"on", Value(true)},
      {"name", Value("游戏")},
      {"blob", Value(Data::fromString("\x01\x02"))},
      {"when", Value(NSDate::fromSeconds1970(1700000000, 500000000))},
      {"none", Value::null()},
      {"list", Value(Array{Value("name"), Value(1), Value(Array{})})},
  });
}

TEST_F(ArchiveTest, ValuesRoundTripInThePlatformFormat) {
  NSErrorRef error;
  Data data = NSKeyedArchiver::archivedDataWithRootObject(sampleValue(), &error);
  ASSERT_FALSE(error);
  Value back = NSKeyedUnarchiver::unarchiveObjectWithData(data, &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(back, sampleValue());
  EXPECT_TRUE(back["product_code"].isInteger());
  EXPECT_TRUE(back["none"].isNull());

  // The layout other readers expect.
  PLS::NSPropertyListFormat format{};
  Value plist = PLS::propertyListWithData(data, 0, &format);
  EXPECT_EQ(format, PLS::NSPropertyListBinaryFormat_v1_0);
  EXPECT_EQ(plist["$archiver"], Value("NSKeyedArchiver"));
  EXPECT_EQ(plist["$version"], Value(100000));
  EXPECT_EQ(plist["$objects"][0], Value("$null"));
  int64_t root = plist["$top"]["root"]["CF$UID"].integerValue();
  const Value& top = plist["$objects"][static_cast<size_t>(root)];
  int64_t cls = top["$class"]["CF$UID"].integerValue();
  EXPECT_EQ(plist["$objects"][static_cast<size_t>(cls)]["$classname"], Value("NSDictionary"));
  EXPECT_EQ(plist["$objects"][static_cast<size_t>(cls)]["$classes"],
            Value(Array{Value("NSDictionary"), Value("NSObject")}));
  // Equal strings are stored once.
  size_t names = 0;
  for (const Value& o : *plist["$objects"].array()) names += o == Value("name");
  EXPECT_EQ(names, 1u);

  // Every scalar kind can be the root too.
  for (const Value& v : {Value("text"), Value(7), Value(false), Value(Data())}) {
    EXPECT_EQ(
        NSKeyedUnarchiver::unarchiveObjectWithData(NSKeyedArchiver::archivedDataWithRootObject(v)),
        v);
  }
}

TEST_F(ArchiveTest, IntegersAndNumberObjectsReadBackEitherWay) {
  NSKeyedArchiver archiver;
  archiver.encodeIntegerForKey(42, "asInteger");
  archiver.encodeObjectForKey(Value(int64_t{1} << 40), "asObject");
  archiver.encodeObjectForKey(Value(3.9), "double");
  archiver.encodeBoolForKey(true, "flag");
  archiver.encodeObjectForKey(Value("12"), "text");
  Data data = archiver.encodedData();
  ASSERT_FALSE(data.empty());

  auto u = NSKeyedUnarchiver::unarchiverForReadingFromData(data);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->decodeObjectForKey("asInteger"), Value(42));
  EXPECT_TRUE(u->decodeObjectForKey("asInteger").isNumber());
  EXPECT_EQ(u->decodeIntegerForKey("asObject"), int64_t{1} << 40);
  EXPECT_EQ(u->decodeInt32ForKey("asObject"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(u->decodeIntegerForKey("double"), 3);
  EXPECT_TRUE(u->decodeBoolForKey("flag"));
  EXPECT_EQ(u->decodeObjectForKey("flag"), Value(true));
  EXPECT_EQ(u->decodeIntegerForKey("text"), 0);  // text is not a number
  EXPECT_FALSE(u->containsValueForKey("missing"));
  EXPECT_EQ(u->decodeIntegerForKey("missing"), 0);
  EXPECT_TRUE(u->decodeObjectForKey("missing").isNil());
  EXPECT_FALSE(u->error());
  // No "root": the class operation reports it.
  NSErrorRef error;
  EXPECT_TRUE(NSKeyedUnarchiver::unarchiveObjectWithData(data, &error).isNil());
  EXPECT_EQ(error->code(), NSCoderValueNotFoundError);
}

TEST_F(ArchiveTest, CodingObjectsKeepIdentityAndCycles) {
  auto a = std::make_shared<Player>();
  a->name = "Ann";
  a->level = 30;
  a->vip = true;
  a->score = 99.5;
  a->tags = Value(Array{Value("pro")});
  auto b = std::make_shared<Player>();
  b->name = "Bo";
  a->friendRef = b;
  b->friendRef = a;  // a cycle
  Value root(Array{Value(a), Value(b), Value(a)});
  NSErrorRef error;
  Data data = NSKeyedArchiver::archivedDataWithRootObject(root, &error);
  ASSERT_FALSE(error);
  a->friendRef.reset();  // break the test's own cycle

  Value back = NSKeyedUnarchiver::unarchiveObjectWithData(data, &error);
  ASSERT_FALSE(error);
  ASSERT_EQ(back.count(), 3u);
  auto a2 = back[0].objectAs<Player>();
  auto b2 = back[1].objectAs<Player>();
  ASSERT_TRUE(a2 && b2);
  EXPECT_TRUE(back[0].isIdenticalTo(back[2]));
  EXPECT_EQ(a2->name, "Ann");
  EXPECT_EQ(a2->level, 30);
  EXPECT_TRUE(a2->vip);
  EXPECT_EQ(a2->score, 99.5);
  EXPECT_EQ(a2->tags, Value(Array{Value("pro")}));  // a key beginning with "$" survives
  EXPECT_EQ(a2->friendRef, b2);
  EXPECT_EQ(b2->friendRef, a2);
  a2->friendRef.reset();

  // A subclass the reader cannot create decodes as its nearest creatable superclass.
  class ProPlayer : public Player {
   public:
    std::string className() const override { return "ProPlayer"; }
  };
  NSCodingClasses::registerClass("ProPlayer", nullptr, {"Player"});
  auto pro = std::make_shared<ProPlayer>();
  pro->name = "Cy";
  Value proBack = NSKeyedUnarchiver::unarchiveObjectWithData(
      NSKeyedArchiver::archivedDataWithRootObject(Value(pro)), &error);
  ASSERT_TRUE(proBack.objectAs<Player>());
  EXPECT_FALSE(proBack.objectAs<ProPlayer>());
  EXPECT_EQ(proBack.objectAs<Player>()->name, "Cy");

  // Objects that cannot code themselves fail the archive instead of vanishing.
  error.reset();
  EXPECT_TRUE(NSKeyedArchiver::archivedDataWithRootObject(
                  Value(Array{Value(std::make_shared<Object>())}), &error)
                  .empty());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), NSCoderInvalidValueError);
  error.reset();
  // So does an integer beyond the 128 bits an archive holds, rather than change.
  EXPECT_TRUE(NSKeyedArchiver::archivedDataWithRootObject(
                  Value::decimalNumber("1" + std::string(40, '0')), &error)
                  .empty());
  EXPECT_TRUE(error);
}

// An archive as the phone's archiver writes it (XML form, mutable classes, a subclass chain).
constexpr const char* kPhoneArchive = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>$archiver</key><string>NSKeyedArchiver</string>
<key>$objects</key><array>
  <string>$null</string>
  <dict><key>$class</key><dict><key>CF$UID</key><integer>7</integer></dict>
    <key>NS.keys</key><array><dict><key>CF$UID</key><integer>2</integer></dict>
      <dict><key>CF$UID</key><integer>3</integer></dict>
      <dict><key>CF$UID</key><integer>5</integer></dict></array>
    <key>NS.objects</key><array><dict><key>CF$UID</key><integer>4</integer></dict>
      <dict><key>CF$UID</key><integer>6</integer></dict>
      <dict><key>CF$UID</key><integer>8</integer></dict></array></dict>
  <string>product_code</string>
  <string>name</string>
  <integer>12</integer>
  <string>saved</string>
  <dict><key>$class</key><dict><key>CF$UID</key><integer>9</integer></dict>
    <key>NS.string</key><string>kite</string></dict>
  <dict><key>$classes</key><array><string>NSMutableDictionary</string>
    <string>NSDictionary</string><string>NSObject</string></array>
    <key>$classname</key><string>NSMutableDictionary</string></dict>
  <dict><key>$class</key><dict><key>CF$UID</key><integer>10</integer></dict>
    <key>NS.time</key><real>1.5</real></dict>
  <dict><key>$classes</key><array><string>NSMutableString</string><string>NSString</string>
    <string>NSObject</string></array><key>$classname</key><string>NSMutableString</string></dict>
  <dict><key>$classes</key><array><string>__NSDate</string><string>NSDate</string>
    <string>NSObject</string></array><key>$classname</key><string>NSDate</string></dict>
</array>
<key>$top</key><dict><key>root</key><dict><key>CF$UID</key><integer>1</integer></dict></dict>
<key>$version</key><integer>100000</integer>
</dict></plist>)";

// The text with the first `from` replaced by `to`.
std::string replacedIn(std::string s, const std::string& from, const std::string& to) {
  return s.replace(s.find(from), from.size(), to);
}
Data phoneArchiveWith(const std::string& from, const std::string& to) {
  return Data::fromString(replacedIn(kPhoneArchive, from, to));
}

TEST_F(ArchiveTest, ReadsThePhonesArchives) {
  NSErrorRef error;
  Value v = NSKeyedUnarchiver::unarchiveObjectWithData(Data::fromString(kPhoneArchive), &error);
  ASSERT_FALSE(error) << error->localizedDescription();
  EXPECT_EQ(v["product_code"], Value(12));
  EXPECT_EQ(v["name"], Value("kite"));
  EXPECT_EQ(v["saved"],
            Value(NSDate::fromSeconds1970(NSDate::kReferenceDateOffset + 1, 500000000)));
  // A $null member, which other writers give and ours does not, stays in its place as the null
  // object.
  const std::string nullFirst =
      replacedIn(kPhoneArchive, "<integer>4</integer>", "<integer>0</integer>");
  EXPECT_EQ(NSKeyedUnarchiver::unarchiveObjectWithData(Data::fromString(nullFirst))["product_code"],
            Value::null());
  Value list = NSKeyedUnarchiver::unarchiveObjectWithData(
      Data::fromString(replacedIn(nullFirst, "<string>NSMutableDictionary</string></dict>",
                                  "<string>NSArray</string></dict>")));
  EXPECT_EQ(list[0], Value::null());
  EXPECT_EQ(list[1], Value("kite"));
}

TEST_F(ArchiveTest, DamagedArchivesGiveNilAndAnError) {
  auto replaced = phoneArchiveWith;
  std::vector<Data> inputs = {
      Data(),
      Data::fromString("not an archive"),
      PLS::dataWithPropertyList(Value(Dictionary{{"a", Value(1)}}),
                                PLS::NSPropertyListBinaryFormat_v1_0),
      replaced("<integer>4</integer>", "<integer>99</integer>"),  // reference out of range
      replaced("<integer>4</integer>", "<integer>1</integer>"),   // dictionary holds itself
      replaced("<key>$classname</key><string>NSMutableString</string>",
               "<key>$classname</key><string>Unknown</string>"),  // unknown class
      replaced("<real>1.5</real>", "<string>x</string>"),         // bad date
      replaced("<real>1.5</real>", "<real>nan</real>"),           // a time that is no date
      replaced("<real>1.5</real>", "<real>1e300</real>"),         // beyond every date
      replaced("<string>name</string>", "<data>AA==</data>"),     // a key of data
      replaced("<integer>2</integer>", "<integer>8</integer>"),   // a key that is a date
      replaced("<integer>2</integer>", "<integer>0</integer>"),   // a $null key
      replaced("<integer>3</integer>", "<integer>2</integer>"),   // the same key twice
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    NSErrorRef error;
    EXPECT_TRUE(NSKeyedUnarchiver::unarchiveObjectWithData(inputs[i], &error).isNil()) << i;
    EXPECT_TRUE(error && error->domain() == NSCocoaErrorDomain) << i;
  }

  // Our writer refuses nil in an array, which it could only write as $null.
  NSErrorRef nilError;
  EXPECT_TRUE(
      NSKeyedArchiver::archivedDataWithRootObject(Value(Array{Value()}), &nilError).empty());
  EXPECT_TRUE(nilError);

  // A reference chain far deeper than allowed: arrays each holding the next.
  Array objects{Value("$null")};
  Dictionary cls{{"$classname", Value("NSArray")},
                 {"$classes", Value(Array{Value("NSArray"), Value("NSObject")})}};
  const int n = 5000;
  objects.push_back(Value(cls));
  auto uid = [](int64_t i) { return Value(Dictionary{{"CF$UID", Value(i)}}); };
  for (int i = 0; i < n; ++i) {
    Array next;
    if (i + 1 < n) next.push_back(uid(i + 3));
    objects.push_back(Value(Dictionary{{"$class", uid(1)}, {"NS.objects", Value(next)}}));
  }
  Value archive(Dictionary{{"$archiver", Value("NSKeyedArchiver")},
                           {"$version", Value(100000)},
                           {"$top", Value(Dictionary{{"root", uid(2)}})},
                           {"$objects", Value(objects)}});
  Data deep = PLS::dataWithPropertyList(archive, PLS::NSPropertyListXMLFormat_v1_0);
  ASSERT_FALSE(deep.empty());
  NSErrorRef error;
  EXPECT_TRUE(NSKeyedUnarchiver::unarchiveObjectWithData(deep, &error).isNil());
  EXPECT_EQ(error->code(), NSCoderReadCorruptError);
}

// A date is archived only in a form the unarchiver takes back, with the rest of its archive:
// the far dates an interval saturates to (infinity, "never expires") at both ends; a date
// beyond them fails the write with the archiver's error. Archives holding those far dates, as
// an earlier writer gave them, read; a time beyond them does not.
TEST_F(ArchiveTest, FarDatesAreArchivedOnlyAsTheyReadBack) {
  constexpr int64_t kMax = NSDate::kMaxSeconds1970;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    NSDate date;
    bool kept;
  };
  const Case cases[] = {
      {"+infinity", NSDate::dateWithTimeIntervalSince1970(kInf), true},
      {"-infinity", NSDate::dateWithTimeIntervalSince1970(-kInf), true},
      {"never expires", NSDate::dateWithTimeIntervalSinceNow(std::numeric_limits<double>::max()),
       true},
      {"1e17 s after 2001", NSDate::dateWithTimeIntervalSinceReferenceDate(1e17), true},
      {"1e17 s before 2001", NSDate::dateWithTimeIntervalSinceReferenceDate(-1e17), true},
      {"30 years after the earliest", NSDate::fromSeconds1970(-kMax + 946728000), true},
      {"after the latest", NSDate::fromSeconds1970(kMax + 1), false},
      {"before the earliest", NSDate::fromSeconds1970(-kMax - 4), false},
      {"furthest", NSDate::fromSeconds1970(std::numeric_limits<int64_t>::max()), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NSErrorRef error;
    Data bytes = NSKeyedArchiver::archivedDataWithRootObject(
        Value(Dictionary{{"until", Value(c.date)}, {"name", Value("kite")}}), &error);
    if (!c.kept) {
      EXPECT_TRUE(bytes.empty());
      ASSERT_TRUE(error);
      EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
      EXPECT_EQ(error->code(), NSCoderInvalidValueError);
      continue;
    }
    EXPECT_FALSE(error);
    Value back = NSKeyedUnarchiver::unarchiveObjectWithData(bytes, &error);
    EXPECT_FALSE(error) << error->localizedDescription();
    EXPECT_EQ(back["until"], Value(c.date)) << back["until"].description();
    EXPECT_EQ(back["name"], Value("kite"));
  }

  const struct {
    const char* time;
    std::optional<NSDate> date;
  } archived[] = {
      {"9007198276433792", NSDate::fromSeconds1970(kMax)},
      {"-9007200233048192", NSDate::fromSeconds1970(-kMax)},
      {"9007198276433794", std::nullopt},
      {"-9007200233048194", std::nullopt},
  };
  for (const auto& a : archived) {
    SCOPED_TRACE(a.time);
    NSErrorRef error;
    Value back = NSKeyedUnarchiver::unarchiveObjectWithData(
        phoneArchiveWith("<real>1.5</real>", "<real>" + std::string(a.time) + "</real>"), &error);
    if (!a.date) {
      EXPECT_TRUE(back.isNil());
      EXPECT_TRUE(error);
      continue;
    }
    EXPECT_FALSE(error) << error->localizedDescription();
    EXPECT_EQ(back["saved"], Value(*a.date)) << back["saved"].description();
    EXPECT_EQ(back["name"], Value("kite"));
  }
}

}  // namespace
}  // namespace plat
