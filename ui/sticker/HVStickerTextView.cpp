#include "ui/sticker/HVStickerTextView.h"

#include <limits>

#include "platform/device/UIPasteboard.h"
#include "ui/sticker/NSAttributedString+STAddition.h"
#include "ui/sticker/NSString+STAddition.h"
#include "ui/sticker/STGeometry.h"
#include "ui/sticker/STQueuingScrollView.h"

using namespace plat;

HVStickerTextView::~HVStickerTextView() { NSNotificationCenter::defaultCenter().removeObserver(this); }

void HVStickerTextView::didInit() {
  UITextView::didInit();
  std::weak_ptr<HVStickerTextView> weak =
      std::static_pointer_cast<HVStickerTextView>(shared_from_this());
  const void* self = this;
  // Registered for any sender and filtered here: a registration naming this view as the
  // object would hold the view alive.
  NSNotificationCenter::defaultCenter().addObserverSelectorNameObject(
      std::static_pointer_cast<HVStickerTextView>(shared_from_this()),
      [weak, self](const NSNotification& note) {
        auto view = weak.lock();
        if (view && note.object.object().get() == self) view->hv_textDidChange(note);
      },
      UITextViewTextDidChangeNotification, Value());
}

std::shared_ptr<UILabel> HVStickerTextView::placeholderLabel() {
  if (!placeholderLabel_) {
    placeholderLabel_ = make<UILabel>();
    placeholderLabel_->setBackgroundColor(UIColor::clearColor());
    placeholderLabel_->setFont(font());
    placeholderLabel_->setHidden(true);
    placeholderLabel_->setNumberOfLines(0);
    addSubview(placeholderLabel_);
  }
  return placeholderLabel_;
}

void HVStickerTextView::setFont(const UIFont& font) {
  UITextView::setFont(font);
  placeholderLabel()->setFont(font);
}

void HVStickerTextView::setText(const std::string& text) {
  UITextView::setText(text);
  showPlaceholderIfNeeded();
}

void HVStickerTextView::setAttributedText(const NSAttributedString& text) {
  UITextView::setAttributedText(text);
  showPlaceholderIfNeeded();
}

std::string HVStickerTextView::placeholder() { return placeholderLabel()->text(); }

void HVStickerTextView::setPlaceholder(const std::string& placeholder) {
  placeholderLabel()->setText(placeholder);
  setNeedsLayout();
}

UIColorRef HVStickerTextView::placeholderColor() { return placeholderLabel()->textColor(); }

void HVStickerTextView::setPlaceholderColor(UIColorRef color) {
  placeholderLabel()->setTextColor(color);
}

void HVStickerTextView::showPlaceholderIfNeeded() {
  if (shouldShowPlaceholder())
    showPlaceholder();
  else
    hidePlaceholder();
}

bool HVStickerTextView::shouldShowPlaceholder() {
  return text().empty() && !placeholder().empty();
}

void HVStickerTextView::showPlaceholder() { placeholderLabel()->setHidden(false); }

void HVStickerTextView::hidePlaceholder() { placeholderLabel()->setHidden(true); }

CGRect HVStickerTextView::placeholderFrame() {
  CGRect b = bounds();
  CGRect area = STRectInsetClamped(b, retainedContentInsets());
  auto label = placeholderLabel();
  CGSize size = NSString_STAddition::st_sizeWithFontConstrainedToSizeLineBreakMode(
      label->text(), label->font(), {area.size.width, std::numeric_limits<double>::max()},
      NSLineBreakByCharWrapping);
  CGRect caret = caretRectForPosition(0);
  double y = caret.origin.y;
  if (verticalCenter_) y = std::max(0.0, (b.size.height - size.height) / 2);
  return CGRectMake(caret.origin.x, y, size.width, size.height);
}

void HVStickerTextView::verticalCenterContent() {
  double used = usedRect().size.height;
  UIEdgeInsets insets = textContainerInset();
  double height = bounds().size.height;
  if (height >= used) insets.top = (height - used) / 2;
  setTextContainerInset(insets);
}

void HVStickerTextView::hv_textDidChange(const NSNotification&) {
  showPlaceholderIfNeeded();
  CGRect caret = caretRectForPosition(selectedRange().location);
  UIEdgeInsets inset = contentInset();
  double visible = bounds().size.height + contentOffset().y - inset.bottom - inset.top;
  if (caret.origin.y + caret.size.height - visible > 0)
    setContentOffsetAnimated(UIScrollView_STAddition::st_maximumContentOffset(*this), true);
}

void HVStickerTextView::copy() {
  auto plain = NSAttributedString_STAddition::st_plainTextForRange(attributedText(), selectedRange());
  if (plain && !plain->empty()) UIPasteboard::generalPasteboard().setString(*plain);
}

void HVStickerTextView::cut() {
  NSRange selection = selectedRange();
  auto plain = NSAttributedString_STAddition::st_plainTextForRange(attributedText(), selection);
  if (!plain || plain->empty()) return;
  UIPasteboard::generalPasteboard().setString(*plain);
  NSMutableAttributedString edited(attributedText());
  edited.replaceCharactersInRangeWithString(selection, "");
  setAttributedText(edited);
  setSelectedRange({selection.location, 0});
  // A programmatic change raises no change notification: tell the delegate directly.
  if (auto d = textViewDelegate()) d->textViewDidChange(*this);
}

void HVStickerTextView::layoutSubviews() {
  UITextView::layoutSubviews();
  showPlaceholderIfNeeded();
  auto label = placeholderLabel();
  label->setFrame(placeholderFrame());
  sendSubviewToBack(label);
  if (verticalCenter_) verticalCenterContent();
}
