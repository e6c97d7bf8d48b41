#include "platform/uikit/UITextView.h"

#include <pango/pangocairo.h>
#include <unicode/ubrk.h>

#include <algorithm>
#include <cstdint>

#include "platform/device/UIPasteboard.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/UTF16.h"
#include "platform/uikit/NSAttributedStringPango.h"
#include "platform/uikit/PangoText.h"

namespace plat {

namespace {
bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
}  // namespace

UITextView::UITextView(CGRect frame) : UIScrollView(frame) {}

UITextView::~UITextView() {
  if (layout_) {
    std::lock_guard<std::mutex> lock(internal::textMutex());
    g_object_unref(layout_);
  }
}

std::shared_ptr<UITextViewDelegate> UITextView::textViewDelegate() const {
  return std::dynamic_pointer_cast<UITextViewDelegate>(delegate());
}

namespace {
// What typed text carries: the view's font and colour, nothing of its neighbours.
NSAttributes typingAttributes(const UIFont& font, const UIColorRef& color) {
  return {{NSFontAttributeName, NSFontValue::make(font)},
          {NSForegroundColorAttributeName, NSColorValue::make(color.value_or(UIColor::blackColor()))}};
}
}  // namespace

void UITextView::setText(const std::string& text) {
  NSAttributedString styled(text, typingAttributes(font_, textColor_));
  replaceText(styled, {styled.length(), 0});
}

void UITextView::setAttributedText(const NSAttributedString& text) {
  replaceText(text, {text.length(), 0});
}

void UITextView::setFont(const UIFont& font) {
  font_ = font;
  if (text_.length() > 0)
    text_.addAttributeValueRange(NSFontAttributeName, NSFontValue::make(font), {0, text_.length()});
  invalidateLayout();
  updateContentSize();
}

void UITextView::setTextColor(UIColorRef color) {
  textColor_ = color;
  if (text_.length() > 0)
    text_.addAttributeValueRange(NSForegroundColorAttributeName,
                                 NSColorValue::make(color.value_or(UIColor::blackColor())),
                                 {0, text_.length()});
  invalidateLayout();
  setNeedsDisplay();
}

void UITextView::setSelectedRange(NSRange range) {
  const std::u16string& u = text_.utf16();
  uint64_t start = std::min<uint64_t>(range.location, u.size());
  uint64_t end = std::min<uint64_t>(start + std::min<uint64_t>(range.length, u.size()), u.size());
  // Whole characters: never between the halves of a surrogate pair.
  if (start > 0 && start < u.size() && isLowSurrogate(u[start]) && isHighSurrogate(u[start - 1]))
    --start;
  if (range.length == 0) end = start;  // a caret stays a caret
  if (end > 0 && end < u.size() && isLowSurrogate(u[end]) && isHighSurrogate(u[end - 1])) ++end;
  NSRange clamped{start, end - start};
  if (clamped == selection_) return;
  selection_ = clamped;
  if (auto d = textViewDelegate()) d->textViewDidChangeSelection(*this);
}

void UITextView::setTextContainerInset(UIEdgeInsets insets) {
  containerInset_ = insets;
  invalidateLayout();
  updateContentSize();
}

void UITextView::replaceText(const NSAttributedString& text, NSRange selection) {
  text_.setAttributedString(text);
  selection_ = {std::min<uint64_t>(selection.location, text_.length()), 0};
  invalidateLayout();
  updateContentSize();
  setNeedsLayout();
  setNeedsDisplay();
}

void UITextView::invalidateLayout() { layoutWidth_ = -1; }

double UITextView::containerWidth() const {
  return std::max(0.0, bounds().size.width - containerInset_.left - containerInset_.right -
                           2 * lineFragmentPadding());
}

PangoLayout* UITextView::layoutLocked() {
  double width = containerWidth();
  if (!layout_) layout_ = pango_layout_new(internal::measuringContext());
  if (layoutWidth_ != width) {
    setAttributedTextOfLayout(layout_, text_, font_, textColor_.value_or(UIColor::blackColor()),
                              width);
    layoutWidth_ = width;
  }
  return layout_;
}

CGRect UITextView::usedRect() {
  double lineHeight = font_.lineHeight();  // takes the text lock itself
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoRectangle logical;
  pango_layout_get_extents(layoutLocked(), nullptr, &logical);
  double height = logical.height / double(PANGO_SCALE);
  if (text_.length() == 0) height = lineHeight;
  return CGRectMake(0, 0, logical.width / double(PANGO_SCALE) + 2 * lineFragmentPadding(), height);
}

CGRect UITextView::caretRectForPosition(uint64_t position) {
  double lineHeight = font_.lineHeight();
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoLayout* layout = layoutLocked();
  PangoRectangle strong;
  pango_layout_get_cursor_pos(layout, utf8OffsetOfUTF16(text_.utf16(), position), &strong,
                              nullptr);
  double height = strong.height / double(PANGO_SCALE);
  if (height <= 0) height = lineHeight;
  return CGRectMake(containerInset_.left + lineFragmentPadding() + strong.x / double(PANGO_SCALE),
                    containerInset_.top + strong.y / double(PANGO_SCALE), 2, height);
}

void UITextView::updateContentSize() {
  double height = usedRect().size.height + containerInset_.top + containerInset_.bottom;
  setContentSize({bounds().size.width, height});
}

bool UITextView::becomeFirstResponder() {
  firstResponder_ = true;
  return true;
}

bool UITextView::resignFirstResponder() {
  firstResponder_ = false;
  return true;
}

void UITextView::copy() {
  if (selection_.length == 0) return;
  UIPasteboard::generalPasteboard().setString(text_.substringWithRange(selection_));
}

void UITextView::cut() {
  if (selection_.length == 0) return;
  copy();
  NSMutableAttributedString edited(text_);
  edited.deleteCharactersInRange(selection_);
  replaceText(edited, {selection_.location, 0});
  userDidEdit();
}

void UITextView::insertText(const std::string& text) {
  NSMutableAttributedString edited(text_);
  NSAttributedString typed(text, typingAttributes(font_, textColor_));
  edited.replaceCharactersInRangeWithAttributedString(selection_, typed);
  replaceText(edited, {selection_.location + typed.length(), 0});
  userDidEdit();
}

namespace {

// Where the user-perceived character that ends at `end` begins (a flag, an emoji with its skin
// tone, a family joined by zero-width joiners, a letter with its marks), by ICU's rules.
uint64_t characterStartBefore(const std::u16string& u, uint64_t end) {
  uint64_t start = end - 1;
  if (start > 0 && isLowSurrogate(u[start]) && isHighSurrogate(u[start - 1])) --start;
  if (end > uint64_t(INT32_MAX)) return start;  // beyond ICU's reach: one code point
  UErrorCode status = U_ZERO_ERROR;
  UBreakIterator* it = ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar*>(u.data()),
                                 int32_t(end), &status);
  if (U_FAILURE(status)) return start;
  int32_t boundary = ubrk_preceding(it, int32_t(end));
  ubrk_close(it);
  return boundary == UBRK_DONE ? start : uint64_t(boundary);
}

}  // namespace

void UITextView::deleteBackward() {
  NSRange range = selection_;
  if (range.length == 0) {
    if (range.location == 0) return;
    uint64_t start = characterStartBefore(text_.utf16(), range.location);
    range = {start, range.location - start};
  }
  NSMutableAttributedString edited(text_);
  edited.deleteCharactersInRange(range);
  replaceText(edited, {range.location, 0});
  userDidEdit();
}

void UITextView::userDidEdit() {
  NSNotificationCenter::defaultCenter().postNotificationNameObject(
      UITextViewTextDidChangeNotification, Value(std::static_pointer_cast<Object>(shared_from_this())));
  if (auto d = textViewDelegate()) d->textViewDidChange(*this);
}

void UITextView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  updateContentSize();
}

void UITextView::drawBuiltInContent(CGContextRef c) const {
  if (!c || text_.length() == 0) return;
  cairo_t* cr = c->cairo();
  cairo_save(cr);
  std::lock_guard<std::mutex> lock(internal::textMutex());
  PangoContext* pc = internal::newDrawingContext(cr);
  PangoLayout* layout = pango_layout_new(pc);
  setAttributedTextOfLayout(layout, text_, font_, textColor_.value_or(UIColor::blackColor()),
                            containerWidth());
  // Content coordinates: the renderer has already moved by the content offset.
  cairo_move_to(cr, containerInset_.left + lineFragmentPadding(), containerInset_.top);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  g_object_unref(pc);
  cairo_restore(cr);
}

}  // namespace plat
