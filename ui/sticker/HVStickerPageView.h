#pragma once
// HVStickerPageView: one page of the sticker keyboard: up to 20 emoji buttons in 7 columns by
// 3 rows and a delete key in the last cell. Holding the delete key repeats the deletion every
// 0.1 s; the repeat stops on release, on a cancelled touch, when the page is reused or leaves
// its window, and when it is destroyed.
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/NSTimer.h"
#include "platform/uikit/UIButton.h"
#include "ui/sticker/HVEmoji.h"
#include "ui/sticker/STButton.h"
#include "ui/sticker/STQueuingScrollView.h"

class HVStickerPageView;

// Both operations are optional: the defaults return false ("not implemented").
class HVStickerPageViewDelegate {
 public:
  virtual ~HVStickerPageViewDelegate() = default;
  virtual bool stickerPageViewDidClickEmoji(HVStickerPageView& page, const HVEmojiRef& emoji) {
    return false;
  }
  virtual bool stickerPageViewDidClickDeleteButton(HVStickerPageView& page) { return false; }
};

class HVStickerPageView : public plat::UIView, public STReusablePage {
 public:
  static constexpr size_t kEmojisPerPage = 20;
  static constexpr double kRepeatInterval = 0.1;

  // Use plat::make<HVStickerPageView>(frame, identifier).
  explicit HVStickerPageView(plat::CGRect frame = plat::CGRectZero, std::string identifier = "");
  ~HVStickerPageView() override;
  void didInit() override;
  std::string className() const override { return "HVStickerPageView"; }
  // The same as make<HVStickerPageView>(frame, identifier): the 20 emoji keys and the delete
  // key, with the identifier as reuseIdentifier.
  static std::shared_ptr<HVStickerPageView> initWithFrameReuseIdentifier(plat::CGRect frame,
                                                                         std::string identifier);
  static std::shared_ptr<HVStickerPageView> initWithReuseIdentifier(std::string identifier);

  // Shows this page's slice of the whole list (nothing happens for an empty list pointer).
  void configureWithEmojis(const std::vector<HVEmojiRef>* emojis);
  // The slice of at most 20 for `page`; nullopt for an empty list or a page past the end.
  static std::optional<std::vector<HVEmojiRef>> emojisForEmojiAtPage(
      const std::vector<HVEmojiRef>& emojis, uint64_t page);

  void didClickEmojiButton(plat::UIButton& button);
  void didTouchDownDeleteButton();
  void didTouchUpInsideDeleteButton();
  void didTouchUpOutsideDeleteButton();
  void didCancelDeleteButton();
  void delegateDeleteEmoji();

  // STReusablePage
  void prepareForReuse() override;
  const std::string& reuseIdentifier() const override { return reuseIdentifier_; }
  void setReuseIdentifier(std::string id) override { reuseIdentifier_ = std::move(id); }
  bool nonreusable() const override { return nonreusable_; }
  void setNonreusable(bool n) override { nonreusable_ = n; }
  bool focused() const override { return focused_; }
  void setFocused(bool f) override { focused_ = f; }

  uint64_t pageIndex() const { return pageIndex_; }
  void setPageIndex(uint64_t index) { pageIndex_ = index; }
  std::shared_ptr<HVStickerPageViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<HVStickerPageViewDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<plat::UIButton> deleteButton();
  const std::vector<std::shared_ptr<STButton>>& emojiButtons() const { return emojiButtons_; }
  const std::vector<HVEmojiRef>& emojis() const { return emojis_; }
  const plat::NSTimerRef& deleteEmojiTimer() const { return deleteEmojiTimer_; }

  void layoutSubviews() override;
  void willMoveToWindow(const std::shared_ptr<plat::UIWindow>& newWindow) override;

 private:
  void stopDeleteTimer();

  bool focused_ = false, nonreusable_ = false;
  std::string reuseIdentifier_;
  uint64_t pageIndex_ = 0;
  std::weak_ptr<HVStickerPageViewDelegate> delegate_;
  std::shared_ptr<plat::UIButton> deleteButton_;
  std::vector<std::shared_ptr<STButton>> emojiButtons_;
  std::vector<HVEmojiRef> emojis_;
  plat::NSTimerRef deleteEmojiTimer_;
};
