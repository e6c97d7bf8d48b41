#include "ui/sticker/HVStickerPageView.h"

#include "channel/core/UIImage+HVColor.h"

using namespace plat;

static constexpr int kColumns = 7;
static constexpr double kButtonSize = 32, kRowPitch = 48;
static constexpr const char* kDeleteImage = "hv_su_emojiDel.png";

HVStickerPageView::HVStickerPageView(CGRect frame, std::string identifier)
    : UIView(frame), reuseIdentifier_(std::move(identifier)) {}

HVStickerPageView::~HVStickerPageView() {
  if (deleteEmojiTimer_) deleteEmojiTimer_->invalidate();
}

std::shared_ptr<HVStickerPageView> HVStickerPageView::initWithFrameReuseIdentifier(CGRect frame,
                                                                                   std::string id) {
  return make<HVStickerPageView>(frame, std::move(id));
}

std::shared_ptr<HVStickerPageView> HVStickerPageView::initWithReuseIdentifier(std::string id) {
  return initWithFrameReuseIdentifier(CGRectZero, std::move(id));
}

void HVStickerPageView::didInit() {
  UIView::didInit();
  std::weak_ptr<HVStickerPageView> weak =
      std::static_pointer_cast<HVStickerPageView>(shared_from_this());
  for (size_t i = 0; i < kEmojisPerPage; ++i) {
    auto button = make<STButton>();
    button->titleLabel()->setFont(UIFont::systemFontOfSize(16));
    button->setTag(int64_t(i));
    button->addTargetActionForControlEvents(
        nullptr,
        [weak](UIControl& sender) {
          if (auto self = weak.lock()) self->didClickEmojiButton(static_cast<UIButton&>(sender));
        },
        UIControlEventTouchUpInside);
    emojiButtons_.push_back(button);
    addSubview(button);
  }
  addSubview(deleteButton());
}

std::shared_ptr<UIButton> HVStickerPageView::deleteButton() {
  if (deleteButton_) return deleteButton_;
  deleteButton_ = make<UIButton>();
  deleteButton_->setImageForState(UIImage_HVColor::sdkImageNamed(kDeleteImage),
                                  UIControlStateNormal);
  std::weak_ptr<HVStickerPageView> weak =
      std::static_pointer_cast<HVStickerPageView>(shared_from_this());
  auto on = [&](uint64_t events, void (HVStickerPageView::*action)()) {
    deleteButton_->addTargetActionForControlEvents(
        nullptr,
        [weak, action](UIControl&) {
          if (auto self = weak.lock()) ((*self).*action)();
        },
        events);
  };
  on(UIControlEventTouchDown, &HVStickerPageView::didTouchDownDeleteButton);
  on(UIControlEventTouchUpInside, &HVStickerPageView::didTouchUpInsideDeleteButton);
  on(UIControlEventTouchUpOutside, &HVStickerPageView::didTouchUpOutsideDeleteButton);
  on(UIControlEventTouchCancel, &HVStickerPageView::didCancelDeleteButton);
  return deleteButton_;
}

std::optional<std::vector<HVEmojiRef>> HVStickerPageView::emojisForEmojiAtPage(
    const std::vector<HVEmojiRef>& emojis, uint64_t page) {
  uint64_t count = emojis.size();
  if (count == 0 || page > count / kEmojisPerPage) return std::nullopt;
  uint64_t start = page * kEmojisPerPage;
  uint64_t length = std::min<uint64_t>(kEmojisPerPage, count - start);
  return std::vector<HVEmojiRef>(emojis.begin() + start, emojis.begin() + start + length);
}

void HVStickerPageView::configureWithEmojis(const std::vector<HVEmojiRef>* emojis) {
  if (!emojis) return;
  emojis_ = *emojis;
  auto slice = emojisForEmojiAtPage(emojis_, pageIndex_);
  if (slice)
    for (size_t i = 0; i < slice->size(); ++i)
      emojiButtons_[i]->setTitleForState((*slice)[i]->image(), UIControlStateNormal);
  setNeedsLayout();
}

void HVStickerPageView::layoutSubviews() {
  UIView::layoutSubviews();
  double width = bounds().size.width;
  double gap = (width - kColumns * kButtonSize) * 0.125;
  for (auto& button : emojiButtons_) {
    int64_t t = button->tag(), c = t % kColumns, r = t / kColumns;
    button->setFrame(
        CGRectMake(c * kButtonSize + gap * (c + 1), r * kRowPitch, kButtonSize, kButtonSize));
    button->setTouchInsets({-8, -gap / 2, -8, -gap / 2});
  }
  deleteButton()->setFrame(CGRectMake(width - gap - kButtonSize, 96, kButtonSize, kButtonSize));
}

void HVStickerPageView::didClickEmojiButton(UIButton& button) {
  auto slice = emojisForEmojiAtPage(emojis_, pageIndex_);
  if (!slice || button.tag() < 0 || uint64_t(button.tag()) >= slice->size()) return;
  if (auto d = delegate()) d->stickerPageViewDidClickEmoji(*this, (*slice)[button.tag()]);
}

void HVStickerPageView::stopDeleteTimer() {
  if (deleteEmojiTimer_) deleteEmojiTimer_->invalidate();
  deleteEmojiTimer_ = nullptr;
}

void HVStickerPageView::didTouchDownDeleteButton() {
  stopDeleteTimer();
  std::weak_ptr<HVStickerPageView> weak =
      std::static_pointer_cast<HVStickerPageView>(shared_from_this());
  deleteEmojiTimer_ = NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(
      kRepeatInterval, true, [weak](const NSTimerRef&) {
        if (auto self = weak.lock()) self->delegateDeleteEmoji();
      });
}

void HVStickerPageView::didTouchUpInsideDeleteButton() {
  delegateDeleteEmoji();
  stopDeleteTimer();
}

void HVStickerPageView::didTouchUpOutsideDeleteButton() { stopDeleteTimer(); }

void HVStickerPageView::didCancelDeleteButton() { stopDeleteTimer(); }

void HVStickerPageView::delegateDeleteEmoji() {
  if (auto d = delegate()) d->stickerPageViewDidClickDeleteButton(*this);
}

void HVStickerPageView::prepareForReuse() {
  stopDeleteTimer();
  emojis_.clear();
  for (auto& button : emojiButtons_) {
    button->setTitleForState("", UIControlStateNormal);
    button->setFrame(CGRectZero);
  }
}

void HVStickerPageView::willMoveToWindow(const std::shared_ptr<UIWindow>& newWindow) {
  UIView::willMoveToWindow(newWindow);
  if (!newWindow) stopDeleteTimer();
}
