#include "ui/refresh/HVRefreshStateHeader.h"

#include "platform/dispatch/Clock.h"
#include "platform/foundation/NSDateFormatter.h"
#include "platform/foundation/NSUserDefaults.h"

using namespace plat;

std::shared_ptr<UILabel> HVRefreshStateHeader::lastUpdatedTimeLabel() {
  if (!lastUpdatedTimeLabel_) {
    lastUpdatedTimeLabel_ = UILabel_HVRefresh::HV_label();
    addSubview(lastUpdatedTimeLabel_);
  }
  return lastUpdatedTimeLabel_;
}

std::shared_ptr<UILabel> HVRefreshStateHeader::stateLabel() {
  if (!stateLabel_) {
    stateLabel_ = UILabel_HVRefresh::HV_label();
    addSubview(stateLabel_);
  }
  return stateLabel_;
}

void HVRefreshStateHeader::setTitleForState(std::optional<std::string> title,
                                            HVRefreshComponentState state) {
  if (!title) return;
  stateTitles_[state] = std::move(*title);
  auto it = stateTitles_.find(this->state());
  stateLabel()->setText(it == stateTitles_.end() ? "" : it->second);
}

std::optional<std::string> HVRefreshStateHeader::titleForState(HVRefreshComponentState state) const {
  auto it = stateTitles_.find(state);
  if (it == stateTitles_.end()) return std::nullopt;
  return it->second;
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
  auto it = stateTitles_.find(newState);
  stateLabel()->setText(it == stateTitles_.end() ? "" : it->second);
  setLastUpdatedTimeKey(lastUpdatedTimeKey());
}
