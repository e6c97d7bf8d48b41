// Attributed strings over UTF-16 ranges and the non-lossy ASCII encoding.

#include <gtest/gtest.h>

#include <vector>

#include "platform/foundation/NSAttributedString.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NonLossyASCII.h"

using namespace plat;

namespace {

struct Stretch {
  Value value;
  NSRange range;
};

std::vector<Stretch> stretches(const NSAttributedString& s, const std::string& name, NSRange r) {
  std::vector<Stretch> out;
  s.enumerateAttributeInRangeUsingBlock(name, r, [&](const Value& v, NSRange range, bool*) {
    out.push_back({v, range});
  });
  return out;
}

class LogCapture {
 public:
  LogCapture() {
    setNSLogCaptureForTesting([this](const std::string& m) { lines.push_back(m); });
  }
  ~LogCapture() { setNSLogCaptureForTesting({}); }
  std::vector<std::string> lines;
};

TEST(NSAttributedString, RangesCountUTF16UnitsAndRunsSplitAndMerge) {
  // "a" + U+1F620 (two units) + "b".
  NSMutableAttributedString s("a\xF0\x9F\x98\xA0" "b", {{"font", 1}});
  EXPECT_EQ(s.length(), 4u);
  EXPECT_TRUE(s.addAttributeValueRange("color", "red", {1, 2}));
  EXPECT_EQ(s.runs().size(), 3u);
  NSRange effective;
  EXPECT_EQ(s.attributeAtIndexEffectiveRange("color", 2, &effective), Value("red"));
  EXPECT_EQ(effective, NSMakeRange(1, 2));
  // "font" has one value across the runs: its effective range is the whole text.
  EXPECT_EQ(s.attributeAtIndexEffectiveRange("font", 3, &effective), Value(1));
  EXPECT_EQ(effective, NSMakeRange(0, 4));
  EXPECT_TRUE(s.attributeAtIndexEffectiveRange("color", 0, &effective).isNil());
  EXPECT_EQ(effective, NSMakeRange(0, 1));

  auto parts = stretches(s, "color", {0, 3});
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_TRUE(parts[0].value.isNil());
  EXPECT_EQ(parts[1].range, NSMakeRange(1, 2));

  EXPECT_TRUE(s.removeAttributeRange("color", {0, 4}));
  EXPECT_EQ(s.runs().size(), 1u);
  EXPECT_EQ(s.substringWithRange({1, 2}), "\xF0\x9F\x98\xA0");
  EXPECT_EQ(s.substringWithRange({1, 1}), "\xEF\xBF\xBD");
}

TEST(NSAttributedString, ObjectValuesAreEqualOnlyByIdentity) {
  auto a = std::make_shared<Object>(), b = std::make_shared<Object>();
  NSMutableAttributedString s("xy");
  s.addAttributeValueRange("k", Value(a), {0, 1});
  s.addAttributeValueRange("k", Value(b), {1, 1});
  EXPECT_EQ(s.runs().size(), 2u);
  s.addAttributeValueRange("k", Value(a), {1, 1});
  EXPECT_EQ(s.runs().size(), 1u);
}

TEST(NSAttributedString, EditsKeepNeighbouringAttributes) {
  NSMutableAttributedString s("abc");
  s.addAttributeValueRange("k", "v", {1, 1});
  // Typed text takes the attributes of the character before it.
  EXPECT_TRUE(s.replaceCharactersInRangeWithString({2, 0}, "X"));
  EXPECT_EQ(s.string(), "abXc");
  EXPECT_EQ(s.attributeAtIndexEffectiveRange("k", 2), Value("v"));
  EXPECT_TRUE(s.replaceCharactersInRangeWithAttributedString({0, 1}, NSAttributedString("Z")));
  EXPECT_TRUE(s.attributeAtIndexEffectiveRange("k", 0).isNil());
  EXPECT_TRUE(s.deleteCharactersInRange({1, 2}));
  EXPECT_EQ(s.string(), "Zc");
  s.appendAttributedString(NSAttributedString("!", {{"k", "w"}}));
  EXPECT_EQ(s.attributedSubstringFromRange({1, 2}).runs().size(), 2u);
  NSMutableAttributedString copy(s);
  EXPECT_EQ(copy, s);
  copy.addAttributeValueRange("k", "w", {0, 1});
  EXPECT_FALSE(copy == s);
}

TEST(NSAttributedString, RangesOutsideTheTextAreRefusedWithALog) {
  LogCapture log;
  NSMutableAttributedString s("abc", {{"k", 1}});
  EXPECT_FALSE(s.addAttributeValueRange("k", 2, {2, 2}));
  EXPECT_FALSE(s.replaceCharactersInRangeWithString({4, 0}, "x"));
  EXPECT_FALSE(s.deleteCharactersInRange({NSNotFound, 1}));
  EXPECT_FALSE(s.removeAttributeRange("k", {1, UINT64_MAX}));
  NSRange effective{1, 1};
  EXPECT_TRUE(s.attributeAtIndexEffectiveRange("k", 3, &effective).isNil());
  EXPECT_EQ(effective.location, NSNotFound);
  EXPECT_TRUE(stretches(s, "k", {0, 9}).empty());
  EXPECT_EQ(s.attributedSubstringFromRange({3, 1}).length(), 0u);
  EXPECT_EQ(s.string(), "abc");
  EXPECT_EQ(s.attributeAtIndexEffectiveRange("k", 2), Value(1));
  EXPECT_GE(log.lines.size(), 6u);
}

TEST(NonLossyASCII, EncodesUnitsAndDecodesOnlyValidEscapes) {
  EXPECT_EQ(nonLossyASCIIEncode("a\\b\xC3\xA9\xF0\x9F\x98\xA0"), "a\\\\b\\u00e9\\ud83d\\ude20");
  EXPECT_EQ(nonLossyASCIIDecode("\\uD83D\\uDE20"), "\xF0\x9F\x98\xA0");
  EXPECT_EQ(nonLossyASCIIDecode("\\ud83d\\ude20"), "\xF0\x9F\x98\xA0");
  EXPECT_EQ(nonLossyASCIIDecode("plain \\\\ text"), "plain \\ text");
  // An unpaired surrogate decodes as U+FFFD.
  EXPECT_EQ(nonLossyASCIIDecode("x\\uD83Dy"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(nonLossyASCIIDecode("\\uDE20"), "\xEF\xBF\xBD");
  for (const char* bad : {"\\q", "\\", "\\u12", "\\u12G4", "caf\xC3\xA9", "\\n"})
    EXPECT_FALSE(nonLossyASCIIDecode(bad).has_value()) << bad;
  EXPECT_EQ(nonLossyASCIIDecode(""), "");
}

}  // namespace
