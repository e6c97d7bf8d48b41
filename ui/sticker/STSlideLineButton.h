#pragma once
// STSlideLineButton: a button with thin separator lines (one physical pixel wide, 22 points
// high, vertically centred) at its left, right or both sides. Main thread only.

#include <vector>

#include "platform/uikit/UIButton.h"

enum STSlideLinePosition : uint64_t {
  STSlideLinePositionNone = 0,
  STSlideLinePositionLeft = 1,
  STSlideLinePositionRight = 2,
  STSlideLinePositionBoth = 3,
};

class STSlideLineButton : public plat::UIButton {
 public:
  using plat::UIButton::UIButton;
  std::string className() const override { return "STSlideLineButton"; }

  uint64_t linePosition() const { return linePosition_; }
  // A different value is stored and the button asks for layout.
  void setLinePosition(uint64_t position);
  // Black by default.
  plat::UIColorRef lineColor() const { return lineColor_; }
  void setLineColor(plat::UIColorRef color);
  // The line views installed by the last layout pass (left first).
  const std::vector<plat::UIViewRef>& lineViews() const { return lineViews_; }
  void setLineViews(std::vector<plat::UIViewRef> views) { lineViews_ = std::move(views); }

  // Rebuilds the lines on every pass: the views of lineViews that sit in the button are
  // removed and new lines of the current position, colour and size are installed.
  void layoutSubviews() override;

 private:
  uint64_t linePosition_ = STSlideLinePositionNone;
  plat::UIColorRef lineColor_ = plat::UIColor::blackColor();
  std::vector<plat::UIViewRef> lineViews_;
  bool settlingLines_ = false;  // inside the pass that settles the lines' own layout mark
};
