// Text measured with the pinned fonts: label and button sizes against Pango's metrics.

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "platform/uikit/PangoText.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UITextView.h"

using namespace plat;

namespace {

TEST(UITextTest, ThePinnedLatinFontIsUsed) {
  // DejaVu Sans advances "M" by 1767/2048 em.
  CGSize m = NSStringSizeWithFont("M", UIFont::systemFontOfSize(100));
  EXPECT_NEAR(m.width, 100 * 1767.0 / 2048, 0.5);
  UIFont f = UIFont::systemFontOfSize(20);
  EXPECT_NEAR(f.lineHeight(), f.ascender() - f.descender(), 1e-9);
  EXPECT_NEAR(f.lineHeight(), 20 * 1.164, 0.3);
  EXPECT_GT(NSStringSizeWithFont("Mm", UIFont::boldSystemFontOfSize(20)).width,
            NSStringSizeWithFont("Mm", f).width);
  // Named fonts take their weight from the name.
  EXPECT_EQ(UIFont::fontWithNameSize("PingFangSC-Semibold", 12).weight(), UIFontWeightSemibold);
  EXPECT_EQ(UIFont::fontWithNameSize("Helvetica-Bold", 12).weight(), UIFontWeightBold);
  EXPECT_EQ(UIFont::fontWithNameSize("PingFangSC-Medium", 12).weight(), UIFontWeightMedium);
  EXPECT_EQ(UIFont::fontWithNameSize("PingFangSC-Regular", 12).weight(), UIFontWeightRegular);
}

TEST(UITextTest, LabelIntrinsicSizes) {
  auto label = make<UILabel>();
  EXPECT_EQ(label->intrinsicContentSize(), CGSizeZero);
  label->setFont(UIFont::systemFontOfSize(16));
  label->setText("Loading");
  CGSize one = label->intrinsicContentSize();
  CGSize raw = NSStringSizeWithFont("Loading", label->font());
  EXPECT_EQ(one.width, std::ceil(raw.width));
  EXPECT_EQ(one.height, std::ceil(label->font().lineHeight()));

  // Chinese and emoji have glyphs of their own fonts and line heights close to the Latin one.
  label->setText("加载中");
  CGSize cjk = label->intrinsicContentSize();
  EXPECT_GT(cjk.width, 3 * 12);
  EXPECT_NEAR(cjk.height, one.height, 6);
  label->setText("\xF0\x9F\x98\x80");
  EXPECT_GT(label->intrinsicContentSize().width, 8);

  // Several lines wrap at the preferred width; numberOfLines caps them.
  label->setText("one two three four five six seven eight nine ten");
  label->setNumberOfLines(0);
  label->setPreferredMaxLayoutWidth(80);
  CGSize wrapped = label->intrinsicContentSize();
  EXPECT_LE(wrapped.width, 80);
  int lines = static_cast<int>(std::lround(wrapped.height / label->font().lineHeight()));
  EXPECT_GE(lines, 4);
  label->setNumberOfLines(2);
  EXPECT_NEAR(label->intrinsicContentSize().height, 2 * label->font().lineHeight(), 1.0);
  // One line never wraps.
  label->setNumberOfLines(1);
  EXPECT_GT(label->intrinsicContentSize().width, 200);
}

TEST(UITextTest, ButtonSizesAndStateFallbacks) {
  auto button = UIButton::buttonWithType(UIButtonTypeCustom);
  EXPECT_EQ(button->intrinsicContentSize(), CGSizeMake(30, 34));
  button->setTitleForState("OK", UIControlStateNormal);
  button->setContentEdgeInsets(UIEdgeInsetsMake(2, 4, 2, 4));
  CGSize text = NSStringSizeWithFont("OK", button->titleLabel()->font());
  EXPECT_EQ(button->intrinsicContentSize(),
            CGSizeMake(std::ceil(text.width) + 8, std::ceil(text.height) + 4));
  button->setTitleForState("Selected", UIControlStateSelected);
  button->setTitleColorForState(UIColor::redColor(), UIControlStateNormal);
  button->setHighlighted(true);
  EXPECT_EQ(button->currentTitle(), "OK");
  EXPECT_EQ(button->currentTitleColor(), UIColor::redColor());
  button->setHighlighted(false);
  button->setSelected(true);
  EXPECT_EQ(button->currentTitle(), "Selected");
  EXPECT_EQ(button->titleLabel()->text(), "Selected");
  button->setHighlighted(true);  // selected + highlighted falls back to selected
  EXPECT_EQ(button->currentTitle(), "Selected");
}

// How many characters of `text` the pinned fonts have no glyph for (each would be drawn as a
// box), in the system font of the given weight.
int missingGlyphs(const std::string& text, const UIFont& font) {
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoLayout* layout = pango_layout_new(internal::measuringContext());
  PangoFontDescription* d = font.newPangoDescription();
  pango_layout_set_font_description(layout, d);
  pango_font_description_free(d);
  pango_layout_set_text(layout, text.c_str(), int(text.size()));
  int missing = pango_layout_get_unknown_glyphs_count(layout);
  g_object_unref(layout);
  return missing;
}

TEST(UITextTest, EveryScriptAPlayerMayTypeHasGlyphs) {
  const char* samples[] = {
      "Hello, world",                                        // Latin
      "\u4E2D\u6587 \u65E5\u672C\u8A9E \uD55C\uAD6D\uC5B4",  // Chinese, Japanese, Korean
      "\u0420\u0443\u0441\u0441\u043A\u0438\u0439 \u0395\u03BB\u03BB\u03B7\u03BD\u03B9\u03BA\u03AC",
      "\u0627\u0644\u0639\u0631\u0628\u064A\u0629",               // Arabic
      "\u05E2\u05D1\u05E8\u05D9\u05EA",                           // Hebrew
      "\u0E20\u0E32\u0E29\u0E32\u0E44\u0E17\u0E22",               // Thai
      "\u0939\u093F\u0928\u094D\u0926\u0940 \u0915\u094D\u0937",  // Devanagari
      "\u1797\u17B6\u179F\u17B6\u1781\u17D2\u1798\u17C2\u179A",   // Khmer
      "\U0001F600\U0001F44D",                                     // emoji
  };
  for (const UIFont& font : {UIFont::systemFontOfSize(17), UIFont::boldSystemFontOfSize(17)}) {
    for (const char* text : samples) EXPECT_EQ(missingGlyphs(text, font), 0) << text;
  }
  // The count does see a box: no pinned font draws the Ol Chiki script.
  EXPECT_GT(missingGlyphs("\u1C5A\u1C5B", UIFont::systemFontOfSize(17)), 0);
}

TEST(UITextTest, LabelsRenderTheirText) {
  auto label = make<UILabel>(CGRectMake(0, 0, 120, 30));
  label->setBackgroundColor(UIColor::whiteColor());
  label->setText("HHHH");
  label->setTextColor(UIColor::blackColor());
  auto img = UIRenderer::renderView(label, 1);
  ASSERT_TRUE(img);
  int dark = 0;
  for (int x = 0; x < 120; ++x)
    for (int y = 0; y < 30; ++y) dark += ((img->CGImage()->pixelAt(x, y) >> 16) & 0xff) < 80;
  EXPECT_GT(dark, 40);
  // Natural alignment starts at the left: the right half stays blank.
  for (int x = 90; x < 120; ++x) EXPECT_EQ(img->CGImage()->pixelAt(x, 15), 0xffffffffu);
}

TEST(UITextTest, EmojiAreDrawnInColourWhateverTheTextColour) {
  // White text on the sticker keyboard's grey: only a colour glyph shows.
  for (const char* emoji : {"\xF0\x9F\x98\xA4", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x8D"}) {
    SCOPED_TRACE(emoji);
    auto label = make<UILabel>(CGRectMake(0, 0, 40, 40));
    label->setBackgroundColor(UIColor::colorWithRedGreenBlueAlpha(0xF4 / 255.0, 0xF4 / 255.0,
                                                                 0xF4 / 255.0, 1));
    label->setTextColor(UIColor::whiteColor());
    label->setFont(UIFont::systemFontOfSize(24));
    label->setTextAlignment(NSTextAlignmentCenter);
    label->setText(emoji);
    auto img = UIRenderer::renderView(label, 1);
    ASSERT_TRUE(img);
    int yellow = 0;
    for (int x = 0; x < 40; ++x)
      for (int y = 0; y < 40; ++y) {
        uint32_t p = img->CGImage()->pixelAt(x, y);
        int r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
        yellow += r > 200 && g > 120 && b < 100;
      }
    EXPECT_GT(yellow, 100);
  }
}

// The rightmost column of ink in a label drawing text, and the default-yellow pixels in it.
int inkRight(const std::string& text, const UIFont& font, int* yellow) {
  auto label = make<UILabel>(CGRectMake(0, 0, 240, 40));
  label->setBackgroundColor(UIColor::whiteColor());
  label->setFont(font);
  label->setText(text);
  auto img = UIRenderer::renderView(label, 1)->CGImage();
  int right = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 240; ++x) {
      uint32_t p = img->pixelAt(x, y);
      int r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
      if (p != 0xffffffffu) right = std::max(right, x + 1);
      if (yellow) *yellow += r > 230 && g > 180 && b < 90;
    }
  return right;
}

// An emoji sequence (a skin tone, a family joined by ZWJ) takes one glyph after text of any
// script: its measure is the text's plus the sequence's alone, and so is the ink drawn; a thumb
// with a skin tone shows no default yellow.
TEST(UITextTest, EmojiSequencesTakeOneGlyphAfterAnyScript) {
  UIFont font = UIFont::systemFontOfSize(24);
  const std::string thumb = "\U0001F44D\U0001F3FD";
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  for (const char* before : {"Hi ", "\u1780\u17B6", "\u0E01\u0E32", "\u0915\u093E", "\u4E2D",
                             "\u1797\u17B6\u179F\u17B6 "}) {
    for (const std::string& emoji : {thumb, family}) {
      SCOPED_TRACE(std::string(before) + emoji);
      double text = NSStringSizeWithFont(before, font).width;
      double alone = NSStringSizeWithFont(emoji, font).width;
      EXPECT_NEAR(NSStringSizeWithFont(before + emoji, font).width, text + alone, 1);
      int yellow = 0;
      int right = inkRight(before + emoji, font, &yellow);
      EXPECT_NEAR(right, text + inkRight(emoji, font, nullptr), 2);
      if (emoji == thumb) EXPECT_LT(yellow, 10);
    }
  }
}

TEST(UITextTest, DeletingBackwardRemovesTheWholeCharacterTheUserSees) {
  auto view = make<UITextView>(CGRectMake(0, 0, 200, 100));
  const std::string flag = "\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3";                // CN
  const std::string thumb = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";               // with a skin tone
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9"
                             "\xE2\x80\x8D\xF0\x9F\x91\xA7";                     // joined by ZWJ
  const std::string accented = "e\xCC\x81";                                        // e + combining acute
  view->insertText("a" + flag + thumb + family + accented);
  view->deleteBackward();
  EXPECT_EQ(view->text(), "a" + flag + thumb + family);
  view->deleteBackward();
  EXPECT_EQ(view->text(), "a" + flag + thumb);
  view->deleteBackward();
  EXPECT_EQ(view->text(), "a" + flag);
  EXPECT_EQ(view->selectedRange().location, 5u);
  view->deleteBackward();
  EXPECT_EQ(view->text(), "a");
  view->deleteBackward();
  EXPECT_EQ(view->text(), "");
  view->deleteBackward();  // nothing left: nothing happens
  EXPECT_EQ(view->text(), "");
  // In the middle: the character before the caret, not the text's last one.
  view->insertText(flag + "b");
  view->setSelectedRange({4, 0});
  view->deleteBackward();
  EXPECT_EQ(view->text(), "b");
}

TEST(UITextTest, ALabelDrawsNothingOutsideItsBounds) {
  // A label of no height inside a taller view: the text it would centre on its top edge
  // stays invisible, as it has no room of its own.
  auto host = make<UIView>(CGRectMake(0, 0, 120, 60));
  host->setBackgroundColor(UIColor::whiteColor());
  auto label = make<UILabel>(CGRectMake(0, 30, 120, 0));
  label->setTextColor(UIColor::blackColor());
  label->setTextAlignment(NSTextAlignmentCenter);
  label->setText("HHHH");
  host->addSubview(label);
  auto img = UIRenderer::renderView(host, 1);
  ASSERT_TRUE(img);
  for (int x = 0; x < 120; ++x)
    for (int y = 0; y < 60; ++y) ASSERT_EQ(img->CGImage()->pixelAt(x, y), 0xffffffffu) << x << "," << y;
}

}  // namespace

namespace {

TEST(UITextTest, ExtremeSizesAreMeasuredWithoutOverflow) {
  NSTextStyle style;
  style.numberOfLines = int64_t(1) << 40;
  style.lineBreakMode = NSLineBreakByTruncatingTail;
  CGRect r = NSStringBoundingRectWithSize("wide text", CGSizeMake(5e6, NAN),
                                          NSStringDrawingUsesLineFragmentOrigin, style);
  EXPECT_GT(r.size.width, 0);
  EXPECT_NEAR(r.size.height, style.font.lineHeight(), 0.5);
}

// Draws `text` into a fresh image context on the calling thread and counts its dark pixels.
int drawnInk(const std::string& text, double fontSize) {
  UIGraphicsBeginImageContext(CGSizeMake(200, 40));
  NSTextStyle style;
  style.font = UIFont::systemFontOfSize(fontSize);
  NSStringDrawInRect(text, CGRectMake(0, 0, 200, 40), style);
  UIImageRef img = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  int ink = 0;
  for (int x = 0; x < 200; ++x)
    for (int y = 0; y < 40; ++y) ink += (img->CGImage()->pixelAt(x, y) >> 24) > 128;
  return ink;
}

TEST(UITextTest, TextIsDrawnOnSeveralThreadsWhileMainMeasures) {
  // Drawing and measuring share one font map: threads drawing into their own image contexts
  // while the main thread measures must neither disturb each other nor change the results.
  const int inkAlone = drawnInk("Loading 42%", 18);
  const CGSize sizeAlone = NSStringSizeWithFont("Loading 42%", UIFont::systemFontOfSize(18));
  ASSERT_GT(inkAlone, 50);
  std::vector<int> wrong(3, 0);
  std::vector<std::thread> drawers;
  for (int t = 0; t < 3; ++t) {
    drawers.emplace_back([&wrong, t, inkAlone] {
      for (int i = 0; i < 15; ++i) wrong[t] += drawnInk("Loading 42%", 18) != inkAlone;
    });
  }
  int measuredWrong = 0;
  for (int i = 0; i < 40; ++i) {
    CGSize s = NSStringSizeWithFont("Loading 42%", UIFont::systemFontOfSize(18));
    measuredWrong += s.width != sizeAlone.width || s.height != sizeAlone.height;
  }
  for (auto& d : drawers) d.join();
  EXPECT_EQ(measuredWrong, 0);
  for (int t = 0; t < 3; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace
