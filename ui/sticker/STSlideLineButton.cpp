#include "ui/sticker/STSlideLineButton.h"

#include "ui/sticker/STGeometry.h"

using namespace plat;

void STSlideLineButton::setLinePosition(uint64_t position) {
  if (position == linePosition_) return;
  linePosition_ = position;
  setNeedsLayout();
}

void STSlideLineButton::setLineColor(UIColorRef color) {
  if (color == lineColor_) return;
  lineColor_ = color;
  setNeedsLayout();
}

void STSlideLineButton::layoutSubviews() {
  UIButton::layoutSubviews();
  // Adding the lines asks for layout again: rebuild only when they would come out different,
  // or every display pass would ask for another.
  Built now{linePosition_, lineColor_, bounds().size, STScreenOnePixel()};
  if (built_ && *built_ == now && lineViews_.size() == installedCount_) return;
  built_ = now;
  for (auto& line : lineViews_) line->removeFromSuperview();
  lineViews_.clear();

  constexpr double kLineHeight = 22;
  CGSize size = bounds().size;
  double pixel = STScreenOnePixel();
  double y = (size.height - kLineHeight) / 2;
  auto makeLine = [&](double x) {
    auto line = make<UIView>(CGRectMake(x, y, pixel, kLineHeight));
    line->setBackgroundColor(lineColor_);
    return line;
  };
  std::vector<UIViewRef> lines;
  if (linePosition_ == STSlideLinePositionLeft || linePosition_ == STSlideLinePositionBoth)
    lines.push_back(makeLine(0));
  if (linePosition_ == STSlideLinePositionRight || linePosition_ == STSlideLinePositionBoth)
    lines.push_back(makeLine(size.width - pixel));
  for (auto& line : lines) addSubview(line);
  lineViews_ = std::move(lines);
  installedCount_ = lineViews_.size();
}
