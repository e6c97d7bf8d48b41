// Text into the platform's string encodings: exact bytes, and failure (never loss) where a
// character has no form in the encoding.

#include <gtest/gtest.h>

#include <vector>

#include "platform/foundation/NSStringEncoding.h"

namespace {

std::string bytes(const std::optional<plat::Data>& data) {
  return data ? data->toString() : "<none>";
}

}  // namespace

TEST(StringEncoding, TextTakesEachEncodingsBytesOrFails) {
  using namespace plat;
  const std::string zoe = "Zo\xC3\xAB";  // "Zoë"
  EXPECT_EQ(bytes(dataUsingEncoding(zoe, NSUTF8StringEncoding)), zoe);
  EXPECT_EQ(bytes(dataUsingEncoding(zoe, NSISOLatin1StringEncoding)), "Zo\xEB");
  EXPECT_EQ(bytes(dataUsingEncoding(zoe, NSWindowsCP1252StringEncoding)), "Zo\xEB");
  EXPECT_EQ(bytes(dataUsingEncoding(zoe, NSMacOSRomanStringEncoding)), "Zo\x91");
  EXPECT_EQ(bytes(dataUsingEncoding(zoe, NSNEXTSTEPStringEncoding)), "Zo\xDF");
  EXPECT_EQ(bytes(dataUsingEncoding(zoe, NSNonLossyASCIIStringEncoding)), "Zo\\u00eb");
  EXPECT_EQ(bytes(dataUsingEncoding("a", NSUTF16StringEncoding)), std::string("\xFF\xFE"
                                                                              "a\0",
                                                                              4));
  EXPECT_EQ(bytes(dataUsingEncoding("a", NSUTF16BigEndianStringEncoding)), std::string("\0a", 2));
  EXPECT_EQ(bytes(dataUsingEncoding("a", NSUTF32StringEncoding)),
            std::string("\xFF\xFE\0\0a\0\0\0", 8));
  // "日本" in the Japanese encodings; ISO-2022-JP shifts back to ASCII at the end.
  const std::string nihon = "\xE6\x97\xA5\xE6\x9C\xAC";
  EXPECT_EQ(bytes(dataUsingEncoding(nihon, NSJapaneseEUCStringEncoding)), "\xC6\xFC\xCB\xDC");
  EXPECT_EQ(bytes(dataUsingEncoding(nihon, NSShiftJISStringEncoding)), "\x93\xFA\x96\x7B");
  EXPECT_EQ(bytes(dataUsingEncoding(nihon, NSISO2022JPStringEncoding)), "\x1B$BF|K\\\x1B(B");

  // No form in the encoding, invalid UTF-8, and unknown encodings fail.
  EXPECT_FALSE(dataUsingEncoding(zoe, NSASCIIStringEncoding));
  EXPECT_FALSE(dataUsingEncoding(nihon, NSISOLatin1StringEncoding));
  EXPECT_FALSE(dataUsingEncoding("\xE2\x82\xAC", NSNEXTSTEPStringEncoding));  // the euro sign
  EXPECT_FALSE(dataUsingEncoding("a\xFF", NSISOLatin1StringEncoding));
  EXPECT_FALSE(dataUsingEncoding("a", NSSymbolStringEncoding));
  EXPECT_FALSE(dataUsingEncoding("a", 999));
  EXPECT_EQ(bytes(dataUsingEncoding("", NSASCIIStringEncoding)), "");

  EXPECT_EQ(IANACharSetNameOfStringEncoding(NSISOLatin1StringEncoding), "iso-8859-1");
  EXPECT_EQ(IANACharSetNameOfStringEncoding(NSUTF8StringEncoding), "utf-8");
  EXPECT_EQ(IANACharSetNameOfStringEncoding(NSNonLossyASCIIStringEncoding), "");
}

// The Japanese encodings give some characters a look-alike's bytes (the yen sign the
// backslash's, the em dash the horizontal bar's, the minus sign a fullwidth form's): those
// fail rather than change, and an ESC never reaches an escape-sequence encoding.
TEST(StringEncoding, JapaneseEncodingsFailRatherThanChangeACharacter) {
  using namespace plat;
  struct Case {
    std::string text;
    uint64_t encoding;
  };
  const char* const shiftJISChanges[] = {
      "\xC2\xA5",      // U+00A5 yen sign: 0x5C, the backslash
      "\xE2\x80\xBE",  // U+203E overline: 0x7E, the tilde
      "\xE2\x80\x94",  // U+2014 em dash: U+2015
      "\xE2\x88\x92",  // U+2212 minus sign: U+FF0D
      "\xE3\x80\x9C",  // U+301C wave dash: U+FF5E
      "\xC2\xA2",      // U+00A2 cent sign: U+FFE0
      "\xC2\xA3",      // U+00A3 pound sign: U+FFE1
      "\xC2\xAC",      // U+00AC not sign: U+FFE2
      "\xE2\x80\x96",  // U+2016 double vertical line: U+2225
  };
  std::vector<Case> refused;
  for (const char* c : shiftJISChanges)
    refused.push_back({std::string("a") + c, NSShiftJISStringEncoding});
  refused.push_back({"a\xC2\xA5", NSJapaneseEUCStringEncoding});
  refused.push_back({"a\xE2\x80\xBE", NSJapaneseEUCStringEncoding});
  refused.push_back({"a\x1B(Jb", NSISO2022JPStringEncoding});
  refused.push_back({"\x1B$B", NSISO2022JPStringEncoding});
  for (const Case& c : refused) {
    std::optional<Data> out = dataUsingEncoding(c.text, c.encoding);
    EXPECT_FALSE(out) << c.text << " in " << c.encoding << ": " << bytes(out);
  }
  // Characters the tables hold as themselves still convert.
  EXPECT_EQ(bytes(dataUsingEncoding("a\\\xE3\x83\xBC", NSShiftJISStringEncoding)), "a\\\x81\x5B");
  EXPECT_EQ(bytes(dataUsingEncoding("\xEF\xBC\x8D", NSShiftJISStringEncoding)), "\x81\x7C");
  EXPECT_EQ(bytes(dataUsingEncoding("\xE2\x88\x92\xC2\xA2", NSJapaneseEUCStringEncoding)),
            "\xA1\xDD\xA1\xF1");
}
