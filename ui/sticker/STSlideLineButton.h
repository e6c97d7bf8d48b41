#pragma once
// STSlideLineButton: a button with thin separator lines (one physical pixel wide, 22 points
// high, vertically centred) at its left, right or both sides. Main thread only.

#include <optional>
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

  // Replaces the installed lines with those of the current position.
  void layoutSubviews() override;

 private:
  uint64_t linePosition_ = STSlideLinePositionNone;
  plat::UIColorRef lineColor_ = plat::UIColor::blackColor();
  std::vector<plat::UIViewRef> lineViews_;
  struct Built {
    uint64_t position;
    plat::UIColorRef color;
    plat::CGSize size;
    double pixel;
    bool operator==(const Built&) const = default;
  };
  std::optional<Built> built_;  // what the installed lines were made for
  size_t installedCount_ = 0;
};
