#include "ui/sticker/HVStickerKeyboard.h"

#include "channel/core/UIView+Extension.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIDevice.h"
#include "ui/sticker/HVStickerDataManager.h"
#include "ui/sticker/UIColor+STAdditions.h"

using namespace plat;

static constexpr double kPagerTop = 12, kPagerHeight = 132, kIndicatorGap = 10,
                        kIndicatorHeight = 7, kSendWidth = 50, kSendHeight = 44;

HVStickerKeyboard::HVStickerKeyboard(CGRect frame) : UIView(frame) {}

void HVStickerKeyboard::didInit() {
  UIView::didInit();
  emojis_ = HVStickerDataManager::sharedInstance().allEmojis();
  setBackgroundColor(UIColor_STAdditions::st_colorWithRGBString("#F4F4F4"));
  addSubview(queuingScrollView());
  addSubview(pageControl());
  addSubview(bottomBGView());
  addSubview(sendButton());
  auto first = queuingScrollViewPageViewForStickerAtIndex(*queuingScrollView(), 0);
  queuingScrollView()->displayView(first);
}

double HVStickerKeyboard::heightThatFits() const {
  double inset = 0;
  if (auto app = UIApplication::sharedApplication().delegate())
    if (auto window = app->window()) inset = window->safeAreaInsets().bottom;
  return kBaseHeight + inset;
}

std::shared_ptr<STQueuingScrollView> HVStickerKeyboard::queuingScrollView() {
  if (!queuingScrollView_) {
    queuingScrollView_ = make<STQueuingScrollView>();
    queuingScrollView_->setDelegate(
        std::static_pointer_cast<HVStickerKeyboard>(shared_from_this()));
    queuingScrollView_->setPagePadding(0);
    queuingScrollView_->setAlwaysBounceHorizontal(false);
    queuingScrollView_->setBounces(false);
  }
  return queuingScrollView_;
}

std::shared_ptr<UIPageControl> HVStickerKeyboard::pageControl() {
  if (!pageControl_) {
    pageControl_ = make<UIPageControl>();
    pageControl_->setHidesForSinglePage(true);
    pageControl_->setCurrentPageIndicatorTintColor(
        UIColor_STAdditions::st_colorWithRGBString("#F5A623"));
    pageControl_->setPageIndicatorTintColor(UIColor_STAdditions::st_colorWithRGBString("#BCBCBC"));
  }
  return pageControl_;
}

std::shared_ptr<STSlideLineButton> HVStickerKeyboard::sendButton() {
  if (!sendButton_) {
    sendButton_ = make<STSlideLineButton>();
    sendButton_->setTitleForState("发送", UIControlStateNormal);
    sendButton_->setTitleColorForState(UIColor_STAdditions::st_colorWithRGBString("#2196F3"),
                                       UIControlStateNormal);
    sendButton_->setLinePosition(STSlideLinePositionLeft);
    sendButton_->setLineColor(UIColor_STAdditions::st_colorWithRGBString("#D1D1D1"));
    std::weak_ptr<HVStickerKeyboard> weak =
        std::static_pointer_cast<HVStickerKeyboard>(shared_from_this());
    sendButton_->addTargetActionForControlEvents(
        nullptr,
        [weak](UIControl&) {
          if (auto self = weak.lock()) self->sendAction();
        },
        UIControlEventTouchUpInside);
  }
  return sendButton_;
}

std::shared_ptr<UIView> HVStickerKeyboard::bottomBGView() {
  if (!bottomBGView_) {
    bottomBGView_ = make<UIView>();
    bottomBGView_->setBackgroundColor(UIColor::whiteColor());
  }
  return bottomBGView_;
}

uint64_t HVStickerKeyboard::pageCount() const {
  uint64_t n = HVStickerPageView::kEmojisPerPage;
  return emojis_.size() / n + (emojis_.size() % n ? 1 : 0);
}

std::shared_ptr<HVStickerPageView> HVStickerKeyboard::queuingScrollViewPageViewForStickerAtIndex(
    STQueuingScrollView& scrollView, uint64_t index) {
  uint64_t count = pageCount();
  pageControl()->setNumberOfPages(int64_t(count));
  if (index >= count) return nullptr;
  auto page = std::dynamic_pointer_cast<HVStickerPageView>(
      scrollView.reusableViewWithIdentifer(kPageIdentifier));
  if (!page) {
    page = HVStickerPageView::initWithReuseIdentifier(kPageIdentifier);
    page->setDelegate(std::static_pointer_cast<HVStickerKeyboard>(shared_from_this()));
  }
  page->setPageIndex(index);
  page->configureWithEmojis(&emojis_);
  return page;
}

UIViewRef HVStickerKeyboard::queuingScrollViewViewBeforeView(STQueuingScrollView& s,
                                                             const UIViewRef& view) {
  auto page = std::dynamic_pointer_cast<HVStickerPageView>(view);
  // Unsigned: the page before page 0 is past the end, hence none.
  return page ? queuingScrollViewPageViewForStickerAtIndex(s, page->pageIndex() - 1) : nullptr;
}

UIViewRef HVStickerKeyboard::queuingScrollViewViewAfterView(STQueuingScrollView& s,
                                                            const UIViewRef& view) {
  auto page = std::dynamic_pointer_cast<HVStickerPageView>(view);
  return page ? queuingScrollViewPageViewForStickerAtIndex(s, page->pageIndex() + 1) : nullptr;
}

void HVStickerKeyboard::queuingScrollViewChangedFocusViewPreviousFocusView(STQueuingScrollView& s,
                                                                           const UIViewRef&) {
  if (auto page = std::dynamic_pointer_cast<HVStickerPageView>(s.focusView()))
    pageControl()->setCurrentPage(int64_t(page->pageIndex()));
}

bool HVStickerKeyboard::stickerPageViewDidClickEmoji(HVStickerPageView&, const HVEmojiRef& emoji) {
  auto d = delegate();
  if (d && d->stickerKeyboardDidClickEmoji(*this, emoji)) UIDevice::currentDevice().playInputClick();
  return true;
}

bool HVStickerKeyboard::stickerPageViewDidClickDeleteButton(HVStickerPageView&) {
  auto d = delegate();
  if (d && d->stickerKeyboardDidClickDeleteButton(*this)) UIDevice::currentDevice().playInputClick();
  return true;
}

void HVStickerKeyboard::sendAction() {
  NSLog("发送点击");
  if (auto d = delegate()) d->stickerKeyboardDidClickSendButton(*this);
}

void HVStickerKeyboard::layoutSubviews() {
  UIView::layoutSubviews();
  double w = UIView_Extension::width(*this), h = UIView_Extension::height(*this);
  double bottomInset = safeAreaInsets().bottom;
  auto pager = queuingScrollView();
  pager->setContentSize({w * pageCount(), kPagerHeight});
  pager->setFrame(CGRectMake(0, kPagerTop, w, kPagerHeight));
  pageControl()->setFrame(CGRectMake(0, UIView_Extension::bottom(*pager) + kIndicatorGap, w,
                                     kIndicatorHeight));
  sendButton()->setFrame(
      CGRectMake(w - kSendWidth, h - kSendHeight - bottomInset, kSendWidth, kSendHeight));
  bottomBGView()->setFrame(CGRectMake(0, UIView_Extension::top(*sendButton()), w,
                                      kSendHeight + bottomInset));
}
