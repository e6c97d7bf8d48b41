#pragma once
// HVStickerTextView: the comment text view that emoji are typed into from the sticker
// keyboard. Adds to the platform text view a placeholder shown while the text is empty,
// scrolling to the end when typing pushes the caret below the visible area, cut and copy of
// the plain text behind text-backed runs, and optional vertical centring of short content.
// Main thread only. Lengths in points.

#include <memory>
#include <string>

#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UITextView.h"

class HVStickerTextView : public plat::UITextView {
 public:
  // Use plat::make<HVStickerTextView>(frame).
  using plat::UITextView::UITextView;
  ~HVStickerTextView() override;
  // Starts listening to the view's own text-change notifications.
  void didInit() override;
  std::string className() const override { return "HVStickerTextView"; }

  void setFont(const plat::UIFont& font) override;
  void setText(const std::string& text) override;
  void setAttributedText(const plat::NSAttributedString& text) override;

  std::string placeholder();
  void setPlaceholder(const std::string& placeholder);
  plat::UIColorRef placeholderColor();
  void setPlaceholderColor(plat::UIColorRef color);
  bool verticalCenter() const { return verticalCenter_; }
  void setVerticalCenter(bool on) { verticalCenter_ = on; }
  // Created on first read: clear, in the view's font, hidden.
  std::shared_ptr<plat::UILabel> placeholderLabel();
  void setPlaceholderLabel(std::shared_ptr<plat::UILabel> label) { placeholderLabel_ = std::move(label); }

  void showPlaceholderIfNeeded();
  // The text is empty and the placeholder is not.
  bool shouldShowPlaceholder();
  void showPlaceholder();
  void hidePlaceholder();
  plat::CGRect placeholderFrame();
  static plat::UIEdgeInsets retainedContentInsets() { return {8, 4, 8, 4}; }
  // Sets the top text-container inset so the used text is centred (when it fits).
  void verticalCenterContent();
  // After each user edit: the placeholder, and scrolling the caret into view.
  void hv_textDidChange(const plat::NSNotification& note);

  // Put the plain text of the selection on the general pasteboard; an empty selection does
  // nothing. Cut also removes the selection and tells the delegate textViewDidChange:.
  void cut() override;
  void copy() override;

  void layoutSubviews() override;

 private:
  bool verticalCenter_ = false;
  std::shared_ptr<plat::UILabel> placeholderLabel_;
};
