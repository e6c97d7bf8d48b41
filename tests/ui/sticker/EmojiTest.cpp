// The emoji table, escaped code texts, and the plain text of text-backed runs.

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/UTF16.h"
#include "ui/sticker/HVStickerDataManager.h"
#include "ui/sticker/NSAttributedString+STAddition.h"
#include "ui/sticker/NSString+emoji.h"

using namespace plat;

namespace {

const std::string kAngry = "\xF0\x9F\x98\xA0";  // U+1F620
const std::string kWink = "\xF0\x9F\x98\x89";   // U+1F609

TEST(HVStickerDataManager, TableHas37EmojiInOrderAndOneManagerForAllThreads) {
  std::vector<HVStickerDataManager*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&seen, i] { seen[i] = &HVStickerDataManager::sharedInstance(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<HVStickerDataManager*>(seen.begin(), seen.end()).size(), 1u);

  auto& manager = HVStickerDataManager::sharedInstance();
  const auto& emojis = manager.allEmojis();
  ASSERT_EQ(emojis.size(), 37u);
  EXPECT_EQ(emojis[0]->text(), "\\uD83D\\uDE20");
  EXPECT_EQ(emojis[0]->image(), kAngry);
  EXPECT_EQ(emojis[36]->text(), "\\uD83D\\uDE09");
  EXPECT_EQ(emojis[36]->image(), kWink);
  std::set<std::string> images;
  for (auto& e : emojis) {
    EXPECT_EQ(utf16Length(e->image()), 2u) << e->text();
    images.insert(e->image());
  }
  EXPECT_EQ(images.size(), 37u);
  EXPECT_EQ(&manager.dataSource(), &manager.dataSource());
}

TEST(NSStringEmoji, EscapedTextRoundTripsAndInvalidTextGivesNil) {
  std::string escaped = NSString_emoji::emojiText(kAngry);
  EXPECT_EQ(escaped.size(), 12u);
  EXPECT_EQ(NSString_emoji::emojiImage(escaped), kAngry);
  EXPECT_EQ(NSString_emoji::emojiImage("\\uD83D\\uDE20"), kAngry);
  EXPECT_EQ(NSString_emoji::emojiText("plain"), "plain");
  EXPECT_EQ(NSString_emoji::emojiImage("plain"), "plain");
  // Read up to a zero byte, as a C string.
  EXPECT_EQ(NSString_emoji::emojiImage(std::string("ok\0\\q", 5)), "ok");
  EXPECT_FALSE(NSString_emoji::emojiImage("\\x41").has_value());
  EXPECT_FALSE(NSString_emoji::emojiImage(kAngry).has_value());
}

// "a" + emoji backed by ":angry:" + "b".
NSMutableAttributedString backedText() {
  NSMutableAttributedString s("a" + kAngry + "b");
  NSMutableAttributedString_STAddition::st_setTextBackedStringRange(
      s, Value(STTextBackedString::stringWithString(":angry:")), {1, 2});
  return s;
}

TEST(TextBackedString, PlainTextReplacesBackedRunsWholly) {
  auto s = backedText();
  using A = NSAttributedString_STAddition;
  EXPECT_EQ(A::st_rangeOfAll(s), NSMakeRange(0, 4));
  EXPECT_EQ(A::st_plainTextForRange(s, A::st_rangeOfAll(s)), "a:angry:b");
  // A range that starts inside the backed run still gives its whole text.
  EXPECT_EQ(A::st_plainTextForRange(s, {2, 2}), ":angry:b");
  EXPECT_EQ(A::st_plainTextForRange(s, {0, 1}), "a");
  EXPECT_EQ(A::st_plainTextForRange(s, {3, 0}), "");
  EXPECT_FALSE(A::st_plainTextForRange(s, {NSNotFound, 0}).has_value());
  EXPECT_FALSE(A::st_plainTextForRange(s, {0, NSNotFound}).has_value());
  EXPECT_FALSE(A::st_plainTextForRange(s, {2, 5}).has_value());

  // An emoji backed by its own character reads back unchanged.
  NSMutableAttributedString own(kWink);
  NSMutableAttributedString_STAddition::st_setTextBackedStringRange(
      own, Value(STTextBackedString::stringWithString(kWink)), A::st_rangeOfAll(own));
  EXPECT_EQ(A::st_plainTextForRange(own, A::st_rangeOfAll(own)), kWink);

  // Nil and the null object remove the attribute.
  NSMutableAttributedString_STAddition::st_setTextBackedStringRange(s, Value::null(), {1, 1});
  // Half of the surrogate pair lost its backing and reads as U+FFFD.
  EXPECT_EQ(A::st_plainTextForRange(s, A::st_rangeOfAll(s)), "a\xEF\xBF\xBD:angry:b");
  NSMutableAttributedString_STAddition::st_setTextBackedStringRange(s, Value(), {0, 4});
  EXPECT_EQ(A::st_plainTextForRange(s, A::st_rangeOfAll(s)), "a" + kAngry + "b");
  // Outside the text: no change.
  auto t = backedText();
  NSMutableAttributedString_STAddition::st_setTextBackedStringRange(t, Value(), {3, 2});
  EXPECT_EQ(A::st_plainTextForRange(t, A::st_rangeOfAll(t)), "a:angry:b");
}

TEST(TextBackedString, SurvivesArchivingAndCopying) {
  // Decodes without any registration step of its own.
  auto original = STTextBackedString::stringWithString(kAngry + " code");
  Data archive = NSKeyedArchiver::archivedDataWithRootObject(Value(original));
  ASSERT_FALSE(archive.empty());
  auto decoded = NSKeyedUnarchiver::unarchiveObjectWithData(archive).objectAs<STTextBackedString>();
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->string(), kAngry + " code");
  auto copy = original->copy();
  EXPECT_NE(copy, original);
  EXPECT_EQ(copy->string(), original->string());
  EXPECT_EQ(copy->className(), "STTextBackedString");

  // A non-string under "string" decodes as empty text.
  struct Odd : Object, NSCoding {
    std::string className() const override { return "STTextBackedString"; }
    void encodeWithCoder(NSKeyedArchiver& c) const override { c.encodeIntegerForKey(7, "string"); }
    bool initWithCoder(NSKeyedUnarchiver&) override { return false; }
  };
  Data odd = NSKeyedArchiver::archivedDataWithRootObject(Value(std::make_shared<Odd>()));
  auto oddDecoded = NSKeyedUnarchiver::unarchiveObjectWithData(odd).objectAs<STTextBackedString>();
  ASSERT_TRUE(oddDecoded);
  EXPECT_EQ(oddDecoded->string(), "");
}

}  // namespace
