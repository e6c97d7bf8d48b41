#pragma once
// UITextView: a scrolling, editable multi-line text view. Holds attributed text laid out by
// Pango inside a text container (inset by textContainerInset, with 5 points of line-fragment
// padding at each side of a line), a selected range, a delegate, an input view and the
// first-responder state (both stored: there is no system keyboard here).
//
// Typing is simulated by insertText and deleteBackward, which edit like the keyboard does and
// then post UITextViewTextDidChangeNotification and call textViewDidChange:, after the
// content size was brought up to date. Programmatic setters do neither. Typed text takes the
// view's font and colour only, never an attribute of the text around it.
//
// Main thread only.

#include <memory>
#include <string>

#include "platform/foundation/NSAttributedString.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UIScrollView.h"

typedef struct _PangoLayout PangoLayout;

namespace plat {

inline constexpr const char* UITextViewTextDidChangeNotification =
    "UITextViewTextDidChangeNotification";

class UITextView;

// Optional operations; the defaults do nothing.
class UITextViewDelegate : public UIScrollViewDelegate {
 public:
  virtual void textViewDidChange(UITextView& textView) {}
  virtual void textViewDidChangeSelection(UITextView& textView) {}
};

class UITextView : public UIScrollView {
 public:
  explicit UITextView(CGRect frame = CGRectZero);
  ~UITextView() override;
  std::string className() const override { return "UITextView"; }

  std::string text() const { return text_.string(); }
  // The text in the view's font and colour; the caret moves to the end.
  virtual void setText(const std::string& text);
  const NSAttributedString& attributedText() const { return text_; }
  // The caret moves to the end.
  virtual void setAttributedText(const NSAttributedString& text);
  // The view's font (system 12 until set); setting it applies it to the whole text.
  const UIFont& font() const { return font_; }
  virtual void setFont(const UIFont& font);
  // Nil: black.
  UIColorRef textColor() const { return textColor_; }
  virtual void setTextColor(UIColorRef color);
  // In UTF-16 units; clamped to the text and widened so it never splits a character.
  NSRange selectedRange() const { return selection_; }
  void setSelectedRange(NSRange range);

  std::shared_ptr<UITextViewDelegate> textViewDelegate() const;

  // Default (8, 0, 8, 0).
  UIEdgeInsets textContainerInset() const { return containerInset_; }
  void setTextContainerInset(UIEdgeInsets insets);
  double lineFragmentPadding() const { return 5; }
  // The rectangle the laid-out text uses, in text-container coordinates (its height is one
  // line for empty text, where the caret stands).
  CGRect usedRect();
  // The caret before the character at `position` (UTF-16 units), in the view's content
  // coordinates.
  CGRect caretRectForPosition(uint64_t position);

  UIViewRef inputView() const { return inputView_; }
  void setInputView(UIViewRef view) { inputView_ = std::move(view); }
  void reloadInputViews() {}
  bool isFirstResponder() const { return firstResponder_; }
  bool becomeFirstResponder();
  bool resignFirstResponder();
  bool isEditable() const { return editable_; }
  void setEditable(bool e) { editable_ = e; }

  // Editing actions of the menu: copy puts the selected characters on the general pasteboard,
  // cut also removes them.
  virtual void cut();
  virtual void copy();

  // The keyboard: replaces the selection with text / deletes the selection or the character
  // the user sees before the caret (a whole flag, emoji with skin tone or joined family),
  // then reports the change as typing does.
  void insertText(const std::string& text);
  void deleteBackward();

  void layoutSubviews() override;
  void drawBuiltInContent(CGContextRef c) const override;

 protected:
  // Replaces the text and brings the content size up to date (no notification).
  void replaceText(const NSAttributedString& text, NSRange selection);

 private:
  void userDidEdit();
  void invalidateLayout();
  // The laid-out text (cached until the text, font or width change). REQUIRES: text lock.
  PangoLayout* layoutLocked();
  double containerWidth() const;
  void updateContentSize();

  NSMutableAttributedString text_;
  UIFont font_ = UIFont::systemFontOfSize(12);
  UIColorRef textColor_;
  NSRange selection_;
  UIEdgeInsets containerInset_{8, 0, 8, 0};
  UIViewRef inputView_;
  bool firstResponder_ = false, editable_ = true;
  PangoLayout* layout_ = nullptr;
  double layoutWidth_ = -1;
};

}  // namespace plat
