// Text into the platform's string encodings: exact bytes, and failure (never loss) where a
// character has no form in the encoding.

#include <gtest/gtest.h>

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
