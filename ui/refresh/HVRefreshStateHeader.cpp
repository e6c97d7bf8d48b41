#include "ui/refresh/HVRefreshStateHeader.h"

#include <algorithm>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/NSDateFormatter.h"
#include "platform/foundation/NSUserDefaults.h"

using namespace plat;

std::shared_ptr<UILabel> HVRefreshStateHeader::lastUpdatedTimeLabel() {
  return HVRefreshLazySubview(*this, lastUpdatedTimeLabel_, UILabel_HVRefresh::HV_label);
}

std::shared_ptr<UILabel> HVRefreshStateHeader::stateLabel() {
  return HVRefreshLazySubview(*this, stateLabel_, UILabel_HVRefresh::HV_label);
}

void HVRefreshStateHeader::setTitleForState(std::optional<std::string> title,
                                            HVRefreshComponentState state) {
  if (stateTitles_.set(std::move(title), state))
    stateLabel()->setText(stateTitles_.text(this->state()));
}

std::optional<std::string> HVRefreshStateHeader::titleForState(
    HVRefreshComponentState state) const {
  return stateTitles_.get(state);
}

std::shared_ptr<NSCalendar> HVRefreshStateHeader::currentCalendar() const {
  if (auto c = NSCalendar::calendarWithIdentifier(NSCalendarIdentifierGregorian)) return c;
  return NSCalendar::currentCalendar();
}

void HVRefreshStateHeader::setLastUpdatedTimeKey(std::string key) {
  HVRefreshHeader::setLastUpdatedTimeKey(std::move(key));
  auto label = lastUpdatedTimeLabel();
  if (label->isHidden()) return;
  std::optional<NSDate> date = lastUpdatedTime();
  if (lastUpdatedTimeText_) {
    label->setText(lastUpdatedTimeText_(date));
    return;
  }
  std::string lastTime = NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderLastTimeText);
  if (!date) {
    label->setText(lastTime +
                   NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderNoneLastDateText));
    return;
  }
  auto calendar = currentCalendar();
  uint64_t units = NSCalendarUnitYear | NSCalendarUnitMonth | NSCalendarUnitDay |
                   NSCalendarUnitHour | NSCalendarUnitMinute;
  NSDateComponents then = calendar->componentsFromDate(units, *date);
  NSDateComponents now = calendar->componentsFromDate(units, Clock::current()->date());
  NSDateFormatter formatter;
  std::string today;
  if (then.year == now.year && then.month == now.month && then.day == now.day) {
    formatter.setDateFormat(" HH:mm");
    today = NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderDateTodayText);
  } else if (then.year == now.year) {
    formatter.setDateFormat("MM-dd HH:mm");
  } else {
    formatter.setDateFormat("yyyy-MM-dd HH:mm");
  }
  label->setText(lastTime + today + formatter.stringFromDate(*date));
}

void HVRefreshStateHeader::prepare() {
  labelLeftInset_ = 25;
  HVRefreshHeader::prepare();
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderIdleText),
                   HVRefreshStateIdle);
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderPullingText),
                   HVRefreshStatePulling);
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderRefreshingText),
                   HVRefreshStateRefreshing);
}

void HVRefreshStateHeader::placeSubviews() {
  HVRefreshHeader::placeSubviews();
  auto state = stateLabel();
  if (state->isHidden()) return;
  auto time = lastUpdatedTimeLabel();
  CGRect b = bounds();
  bool stateFree = state->constraints().empty();
  if (time->isHidden()) {
    if (stateFree) state->setFrame(b);
    return;
  }
  double half = b.size.height * 0.5;
  if (stateFree) state->setFrame(CGRectMake(0, 0, b.size.width, half));
  if (time->constraints().empty())
    time->setFrame(CGRectMake(0, half, b.size.width, b.size.height - half));
}

void HVRefreshStateHeader::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshHeader::setState(newState);
  stateLabel()->setText(stateTitles_.text(newState));
  setLastUpdatedTimeKey(lastUpdatedTimeKey());
}

double HVRefreshStateHeader::labelsTextWidth() {
  double width = UILabel_HVRefresh::HV_textWith(*stateLabel());
  if (lastUpdatedTimeLabel()->isHidden()) return width;
  return std::max(width, UILabel_HVRefresh::HV_textWith(*lastUpdatedTimeLabel()));
}
