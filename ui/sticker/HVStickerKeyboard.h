#pragma once
// HVStickerKeyboard: the emoji keyboard, meant as the input view of a text view. Shows the
// 37 emoji on horizontally paged pages of 20 with a page indicator and a send key, and
// reports emoji taps, deletions (repeating while the delete key is held) and the send key to
// its delegate; it never edits text itself. Emoji and delete taps play the input click when
// the delegate takes them.
// Main thread only. Lengths in points.

#include <memory>
#include <vector>

#include "platform/uikit/UIPageControl.h"
#include "ui/sticker/HVStickerPageView.h"
#include "ui/sticker/STQueuingScrollView.h"
#include "ui/sticker/STSlideLineButton.h"

class HVStickerKeyboard;

// Every operation returns false when not implemented (the default).
class HVStickerKeyboardDelegate {
 public:
  virtual ~HVStickerKeyboardDelegate() = default;
  virtual bool stickerKeyboardDidClickEmoji(HVStickerKeyboard& keyboard, const HVEmojiRef& emoji) {
    return false;
  }
  virtual bool stickerKeyboardDidClickDeleteButton(HVStickerKeyboard& keyboard) { return false; }
  virtual bool stickerKeyboardDidClickSendButton(HVStickerKeyboard& keyboard) { return false; }
};

class HVStickerKeyboard : public plat::UIView,
                          public HVStickerPageViewDelegate,
                          public STQueuingScrollViewDelegate {
 public:
  static constexpr double kBaseHeight = 211;
  static constexpr const char* kPageIdentifier = "HVStickerPageView";

  // Use plat::make<HVStickerKeyboard>(frame).
  explicit HVStickerKeyboard(plat::CGRect frame = plat::CGRectZero);
  void didInit() override;
  std::string className() const override { return "HVStickerKeyboard"; }

  // 211 plus the bottom safe-area inset of the application delegate's window.
  double heightThatFits() const;

  std::shared_ptr<HVStickerKeyboardDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<HVStickerKeyboardDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<STQueuingScrollView> queuingScrollView();
  std::shared_ptr<plat::UIPageControl> pageControl();
  std::shared_ptr<STSlideLineButton> sendButton();
  std::shared_ptr<plat::UIView> bottomBGView();
  const std::vector<HVEmojiRef>& emojis() const { return emojis_; }
  // Pages of 20 (the last one may be shorter).
  uint64_t pageCount() const;

  // The page for an index (reused when one is filed), or nullptr past the last page.
  std::shared_ptr<HVStickerPageView> queuingScrollViewPageViewForStickerAtIndex(
      STQueuingScrollView& scrollView, uint64_t index);
  void sendAction();

  // STQueuingScrollViewDelegate
  plat::UIViewRef queuingScrollViewViewBeforeView(STQueuingScrollView& s,
                                                  const plat::UIViewRef& view) override;
  plat::UIViewRef queuingScrollViewViewAfterView(STQueuingScrollView& s,
                                                 const plat::UIViewRef& view) override;
  void queuingScrollViewChangedFocusViewPreviousFocusView(STQueuingScrollView& s,
                                                          const plat::UIViewRef& previous) override;
  // HVStickerPageViewDelegate
  bool stickerPageViewDidClickEmoji(HVStickerPageView& page, const HVEmojiRef& emoji) override;
  bool stickerPageViewDidClickDeleteButton(HVStickerPageView& page) override;

  void layoutSubviews() override;

 private:
  std::weak_ptr<HVStickerKeyboardDelegate> delegate_;
  std::shared_ptr<STQueuingScrollView> queuingScrollView_;
  std::shared_ptr<plat::UIPageControl> pageControl_;
  std::shared_ptr<STSlideLineButton> sendButton_;
  std::shared_ptr<plat::UIView> bottomBGView_;
  std::vector<HVEmojiRef> emojis_;
};
