// The sticker text view: placeholder rules, cut and copy of text-backed runs, vertical
// centring, scrolling to the end only when typing passes the last visible line, typing next
// to an emoji, and pictures with the placeholder and with text and emoji.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/device/UIPasteboard.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"
#include "ui/sticker/HVStickerTextView.h"
#include "ui/sticker/NSAttributedString+STAddition.h"
#include "ui/sticker/UIColor+STAdditions.h"

using namespace plat;

namespace {

const std::string kAngry = "\xF0\x9F\x98\xA0";

struct Changes : UITextViewDelegate {
  int changes = 0;
  void textViewDidChange(UITextView&) override { ++changes; }
};

class TextViewTest : public ::testing::Test {
 protected:
  void show(CGRect frame = CGRectMake(0, 0, 300, 120)) {
    window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    view = make<HVStickerTextView>(frame);
    view->setBackgroundColor(UIColor::whiteColor());
    view->setFont(UIFont::systemFontOfSize(16));
    view->setTextContainerInset({0, 0, 0, 0});
    view->setPlaceholder("请输入评论内容");
    view->setPlaceholderColor(UIColor_STAdditions::st_colorWithRGBString("#B4B4B4"));
    view->setDelegate(changes);
    window->addSubview(view);
    testing_loop::runUntilIdle();
  }
  ~TextViewTest() override {
    if (window) window->setHidden(true);
    UIPasteboard::generalPasteboard().resetForTesting();
    UIViewAnimationLog::clear();
  }
  // Inserts an emoji backed by `code`, as the comment bar does.
  void typeEmoji(const std::string& code) {
    NSRange at = view->selectedRange();
    NSMutableAttributedString text(view->attributedText());
    NSMutableAttributedString emoji(kAngry);
    NSMutableAttributedString_STAddition::st_setTextBackedStringRange(
        emoji, Value(STTextBackedString::stringWithString(code)), {0, emoji.length()});
    text.replaceCharactersInRangeWithAttributedString(at, emoji);
    view->setAttributedText(text);
    view->setSelectedRange({at.location + 2, 0});
  }
  std::string plain() {
    return *NSAttributedString_STAddition::st_plainTextForRange(
        view->attributedText(), NSAttributedString_STAddition::st_rangeOfAll(view->attributedText()));
  }

  testing_loop::VirtualClockScope clock;
  std::shared_ptr<Changes> changes = std::make_shared<Changes>();
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<HVStickerTextView> view;
};

TEST_F(TextViewTest, PlaceholderShowsOnlyForEmptyTextAndANonEmptyPlaceholder) {
  show();
  EXPECT_FALSE(view->placeholderLabel()->isHidden());
  EXPECT_EQ(view->placeholderLabel()->font(), UIFont::systemFontOfSize(16));
  EXPECT_EQ(view->subviews().front(), view->placeholderLabel());
  view->insertText("a");
  EXPECT_TRUE(view->placeholderLabel()->isHidden());
  EXPECT_EQ(changes->changes, 1);
  view->setText("");
  EXPECT_FALSE(view->placeholderLabel()->isHidden());
  EXPECT_EQ(changes->changes, 1);  // programmatic: no change report
  view->setPlaceholder("");
  testing_loop::runUntilIdle();
  EXPECT_TRUE(view->placeholderLabel()->isHidden());

  // The font set before the label exists reaches it.
  auto fresh = make<HVStickerTextView>(CGRectMake(0, 0, 100, 40));
  fresh->setFont(UIFont::systemFontOfSize(21));
  EXPECT_EQ(fresh->placeholderLabel()->font(), UIFont::systemFontOfSize(21));
}

TEST_F(TextViewTest, CopyAndCutPutThePlainTextBehindBackedRuns) {
  show();
  auto& board = UIPasteboard::generalPasteboard();
  view->insertText("a");
  typeEmoji(":angry:");
  view->insertText("b");
  // Typed text never joins the emoji's backed run.
  EXPECT_EQ(plain(), "a:angry:b");
  int64_t count = board.changeCount();

  view->setSelectedRange({2, 0});
  view->copy();
  view->cut();
  EXPECT_EQ(board.changeCount(), count);
  // A selection starting inside the emoji takes it whole.
  view->setSelectedRange({2, 1});
  EXPECT_EQ(view->selectedRange(), NSMakeRange(1, 2));
  view->copy();
  EXPECT_EQ(board.string(), ":angry:");
  EXPECT_EQ(view->text(), "a" + kAngry + "b");

  int before = changes->changes;
  board.setString("other");
  view->cut();
  EXPECT_EQ(board.string(), ":angry:");
  EXPECT_EQ(view->text(), "ab");
  EXPECT_EQ(view->selectedRange(), NSMakeRange(1, 0));
  EXPECT_EQ(changes->changes, before + 1);
}

TEST_F(TextViewTest, VerticalCentringCentresShortTextAndLeavesTallTextAlone) {
  show(CGRectMake(0, 0, 300, 200));
  view->setVerticalCenter(true);
  view->insertText("one line");
  view->layoutIfNeeded();
  double used = view->usedRect().size.height;
  EXPECT_NEAR(view->textContainerInset().top, (200 - used) / 2, 1e-9);
  EXPECT_NEAR(view->placeholderFrame().origin.y, (200 - view->placeholderFrame().size.height) / 2,
              1e-9);

  view->setTextContainerInset({3, 0, 0, 0});
  std::string tall;
  for (int i = 0; i < 20; ++i) tall += "line\n";
  view->setText(tall);
  view->layoutIfNeeded();
  EXPECT_EQ(view->textContainerInset().top, 3);
}

TEST_F(TextViewTest, TypingScrollsToTheEndOnlyPastTheLastVisibleLine) {
  show(CGRectMake(0, 0, 300, 60));
  view->insertText("1\n2");
  EXPECT_EQ(view->contentOffset().y, 0);
  double contentHeight = view->contentSize().height;
  EXPECT_LT(contentHeight, 60);
  view->insertText("\n3\n4");
  ASSERT_GT(view->contentSize().height, 60);
  EXPECT_EQ(view->contentOffset().y, view->contentSize().height - 60);
  EXPECT_FALSE(UIViewAnimationLog::recordsFor(view.get(), "bounds").empty());

  // Typing higher up, where the caret is visible, leaves the offset.
  testing_loop::advance(0.3);
  view->setContentOffset({0, 0});
  view->setSelectedRange({1, 0});
  view->insertText("x");
  EXPECT_EQ(view->contentOffset().y, 0);
  view->deleteBackward();
  EXPECT_EQ(view->text(), "1\n2\n3\n4");
}

TEST_F(TextViewTest, PicturesWithPlaceholderAndWithTextAndEmoji) {
  show(CGRectMake(0, 0, 300, 80));
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  std::string dir = std::string(env && *env ? env : "test-output") + "/ui/sticker/";
  testing_loop::runUntilIdle();
  EXPECT_TRUE(UIRenderer::writePNG(view, dir + "textview-placeholder.png"));
  view->insertText("好评 ");
  typeEmoji(kAngry);
  view->insertText(" great");
  testing_loop::runUntilIdle();
  EXPECT_TRUE(view->placeholderLabel()->isHidden());
  EXPECT_TRUE(UIRenderer::writePNG(view, dir + "textview-text-emoji.png"));
}

}  // namespace
