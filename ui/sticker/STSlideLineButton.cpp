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
  if (settlingLines_) return;
  bool markedMeanwhile = needsLayout();
  // Lines installed by hand through setLineViews go the same way as our own, when they sit in
  // this button.
  for (auto& line : lineViews_)
    if (line && line->superview().get() == this) line->removeFromSuperview();
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

  // Swapping the lines marked the button for layout again. Settle that mark now (the nested
  // pass places only the title), or every display pass would ask for one more; a mark set by
  // anything else stays.
  if (!markedMeanwhile && needsLayout()) {
    settlingLines_ = true;
    UIView::layoutIfNeeded();
    settlingLines_ = false;
  }
}
