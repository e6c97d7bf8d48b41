#include "platform/uikit/UIAlertView.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/Dispatch.h"
#include "platform/uikit/UIScreen.h"

namespace plat {

namespace {

constexpr double kWidth = 270;
constexpr double kPadding = 16;
constexpr double kGap = 4;
constexpr double kButtonHeight = 44;
constexpr double kSeparator = 1;

std::vector<UIAlertViewRef>& visible() {
  static auto* v = new std::vector<UIAlertViewRef>;
  return *v;
}

std::shared_ptr<UILabel> makeLabel(const UIFont& font) {
  auto label = make<UILabel>();
  label->setFont(font);
  label->setTextAlignment(NSTextAlignmentCenter);
  label->setNumberOfLines(0);
  label->setLineBreakMode(NSLineBreakByWordWrapping);
  return label;
}

double textHeight(const UILabel& label) {
  if (label.text().empty()) return 0;
  return std::ceil(label.sizeThatFits(CGSizeMake(kWidth - 2 * kPadding, 1e6)).height);
}

// Two buttons stand side by side, any other number one above the other.
bool sideBySide(size_t count) { return count == 2; }

}  // namespace

UIAlertViewRef UIAlertView::initWithTitleMessageDelegateCancelButtonTitleOtherButtonTitles(
    std::string title, std::string message, const std::shared_ptr<UIAlertViewDelegate>& delegate,
    const std::optional<std::string>& cancelButtonTitle,
    const std::vector<std::string>& otherButtonTitles) {
  auto alert = make<UIAlertView>();
  // A light grey box with a white text area and white buttons: the grey shows as the lines
  // between the text and the buttons.
  alert->setBackgroundColor(UIColor::colorWithWhiteAlpha(0.85, 1));
  alert->layer()->setCornerRadius(13);
  alert->setClipsToBounds(true);
  alert->textArea_ = make<UIView>();
  alert->textArea_->setBackgroundColor(UIColor::whiteColor());
  alert->addSubview(alert->textArea_);
  alert->titleLabel_ = makeLabel(UIFont::boldSystemFontOfSize(17));
  alert->messageLabel_ = makeLabel(UIFont::systemFontOfSize(13));
  alert->addSubview(alert->titleLabel_);
  alert->addSubview(alert->messageLabel_);
  alert->setTitle(std::move(title));
  alert->setMessage(std::move(message));
  alert->delegate_ = delegate;
  if (cancelButtonTitle) alert->cancelIndex_ = alert->addButtonWithTitle(*cancelButtonTitle);
  for (const auto& other : otherButtonTitles) alert->addButtonWithTitle(other);
  return alert;
}

std::shared_ptr<UIAlertView> UIAlertView::self() {
  return std::static_pointer_cast<UIAlertView>(shared_from_this());
}

void UIAlertView::setTitle(std::string title) {
  title_ = std::move(title);
  if (titleLabel_) titleLabel_->setText(title_);
  setNeedsLayout();
}

void UIAlertView::setMessage(std::string message) {
  message_ = std::move(message);
  if (messageLabel_) messageLabel_->setText(message_);
  setNeedsLayout();
}

int64_t UIAlertView::addButtonWithTitle(const std::string& title) {
  auto button = UIButton::buttonWithType(UIButtonTypeSystem);
  button->setTitleForState(title, UIControlStateNormal);
  button->setTitleColorForState(UIColor::systemBlueColor(), UIControlStateNormal);
  button->setBackgroundColor(UIColor::whiteColor());
  int64_t index = numberOfButtons();
  std::weak_ptr<UIAlertView> weak = self();
  button->addTargetActionForControlEvents(
      nullptr,
      [weak, index](UIControl&) {
        if (auto me = weak.lock()) me->tapButtonAtIndex(index);
      },
      UIControlEventTouchUpInside);
  buttons_.push_back(button);
  addSubview(button);
  setNeedsLayout();
  return index;
}

std::string UIAlertView::buttonTitleAtIndex(int64_t index) const {
  if (index < 0 || index >= numberOfButtons()) return "";
  return buttons_[index]->titleForState(UIControlStateNormal);
}

CGSize UIAlertView::sizeThatFits(CGSize) const {
  double height =
      kPadding + textHeight(*titleLabel_) + kGap + textHeight(*messageLabel_) + kPadding;
  size_t rows = sideBySide(buttons_.size()) ? 1 : buttons_.size();
  height += rows * (kButtonHeight + kSeparator);
  return CGSizeMake(kWidth, height);
}

void UIAlertView::layoutSubviews() {
  UIView::layoutSubviews();
  double inner = kWidth - 2 * kPadding;
  double y = kPadding;
  double h = textHeight(*titleLabel_);
  titleLabel_->setFrame(CGRectMake(kPadding, y, inner, h));
  y += h + kGap;
  h = textHeight(*messageLabel_);
  messageLabel_->setFrame(CGRectMake(kPadding, y, inner, h));
  y += h + kPadding;
  textArea_->setFrame(CGRectMake(0, 0, kWidth, y));
  if (sideBySide(buttons_.size())) {
    double w = std::floor((kWidth - kSeparator) / 2);
    buttons_[0]->setFrame(CGRectMake(0, y + kSeparator, w, kButtonHeight));
    buttons_[1]->setFrame(
        CGRectMake(w + kSeparator, y + kSeparator, kWidth - w - kSeparator, kButtonHeight));
    return;
  }
  for (auto& button : buttons_) {
    button->setFrame(CGRectMake(0, y + kSeparator, kWidth, kButtonHeight));
    y += kButtonHeight + kSeparator;
  }
}

void UIAlertView::show() {
  if (window_) return;
  CGRect screen = UIScreen::mainScreen().bounds();
  auto window = make<UIWindow>(screen);
  window->setWindowLevel(UIWindowLevelAlert);
  window->setBackgroundColor(UIColor::colorWithWhiteAlpha(0, 0.4));
  CGSize size = sizeThatFits(screen.size);
  setFrame(CGRectMake(std::round((screen.size.width - size.width) / 2),
                      std::round((screen.size.height - size.height) / 2), size.width, size.height));
  setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleRightMargin |
                      UIViewAutoresizingFlexibleTopMargin | UIViewAutoresizingFlexibleBottomMargin);
  window->addSubview(self());
  window->setHidden(false);
  window_ = window;
  visible().push_back(self());
  layoutIfNeeded();
}

void UIAlertView::dismissWithClickedButtonIndexAnimated(int64_t buttonIndex, bool) {
  if (!window_) return;
  dismiss(buttonIndex);
}

void UIAlertView::dismiss(int64_t buttonIndex) {
  auto me = self();  // the delegate may let go of this alert
  if (auto d = delegate()) d->alertViewWillDismissWithButtonIndex(me, buttonIndex);
  if (!window_) return;  // dismissed by the delegate already
  removeFromSuperview();
  window_->setHidden(true);
  window_.reset();
  auto& list = visible();
  list.erase(std::remove(list.begin(), list.end(), me), list.end());
  dispatch_async(dispatch_get_main_queue(), [me, buttonIndex] {
    if (auto d = me->delegate()) d->alertViewDidDismissWithButtonIndex(me, buttonIndex);
  });
}

bool UIAlertView::tapButtonAtIndex(int64_t index) {
  if (!window_ || index < 0 || index >= numberOfButtons()) return false;
  auto me = self();
  if (auto d = delegate()) d->alertViewClickedButtonAtIndex(me, index);
  dismiss(index);
  return true;
}

bool UIAlertView::cancel() {
  if (!window_) return false;
  auto me = self();
  if (auto d = delegate()) d->alertViewCancel(me);
  dismiss(cancelIndex_);
  return true;
}

std::vector<UIAlertViewRef> UIAlertView::visibleAlertViews() { return visible(); }

void UIAlertView::resetForTesting() {
  auto list = std::move(visible());
  visible().clear();
  for (auto& alert : list) {
    alert->removeFromSuperview();
    if (alert->window_) alert->window_->setHidden(true);
    alert->window_.reset();
  }
}

}  // namespace plat
