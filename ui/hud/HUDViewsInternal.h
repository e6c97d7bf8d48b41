#pragma once
// Internal bases shared by the two HUD families (HVProgressHUD's views and sd_HBProgressHUD's
// views). Each family's public classes derive from these, so neither family is a kind of the
// other. Main thread only.

#include <memory>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIView.h"
#include "platform/uikit/UIVisualEffectView.h"

namespace hud_internal {

// What a view that takes a "progress" value (responds to setProgress:) offers.
class ProgressReceiver {
 public:
  virtual ~ProgressReceiver() = default;
  virtual void setProgress(float progress) = 0;
  virtual float progress() const = 0;
};

// Pie or ring progress; 37 x 37 by default.
class RoundProgressViewBase : public plat::UIView, public ProgressReceiver {
 public:
  explicit RoundProgressViewBase(plat::CGRect frame = plat::CGRectMake(0, 0, 37, 37));

  // Stores and redraws when changed.
  void setProgress(float p) override;
  float progress() const override { return progress_; }
  plat::UIColorRef progressTintColor() const { return progressTint_; }
  // Stores and redraws unless equal to the current colour.
  void setProgressTintColor(plat::UIColorRef c);
  plat::UIColorRef backgroundTintColor() const { return backgroundTint_; }
  void setBackgroundTintColor(plat::UIColorRef c);
  bool isAnnular() const { return annular_; }
  // Plain store: the view does not redraw by itself.
  void setAnnular(bool a) { annular_ = a; }

  plat::CGSize intrinsicContentSize() const override { return {37, 37}; }
  void drawRect(plat::CGRect rect) override;
  bool implementsDrawRect() const override { return true; }

 private:
  bool annular_ = false;
  float progress_ = 0;
  plat::UIColorRef progressTint_;
  plat::UIColorRef backgroundTint_;
};

// Horizontal bar progress; 120 x 20 by default, intrinsic 120 x 10.
class BarProgressViewBase : public plat::UIView, public ProgressReceiver {
 public:
  explicit BarProgressViewBase(plat::CGRect frame = plat::CGRectMake(0, 0, 120, 20));

  void setProgress(float p) override;
  float progress() const override { return progress_; }
  plat::UIColorRef lineColor() const { return lineColor_; }
  // Plain store: the outline colour shows at the next redraw.
  void setLineColor(plat::UIColorRef c) { lineColor_ = c; }
  plat::UIColorRef progressRemainingColor() const { return remainingColor_; }
  void setProgressRemainingColor(plat::UIColorRef c);
  plat::UIColorRef progressColor() const { return progressColor_; }
  void setProgressColor(plat::UIColorRef c);

  plat::CGSize intrinsicContentSize() const override { return {120, 10}; }
  void drawRect(plat::CGRect rect) override;
  bool implementsDrawRect() const override { return true; }

 private:
  float progress_ = 0;
  plat::UIColorRef lineColor_;
  plat::UIColorRef remainingColor_;
  plat::UIColorRef progressColor_;
};

enum BackgroundStyle : int64_t { kBackgroundSolidColor = 0, kBackgroundBlur = 1 };

// The bezel and the full-size background: a blur (drawn as a tint) with a colour over it, or a
// plain colour. Clips to bounds; intrinsic size zero so content alone sizes it.
class BackgroundViewBase : public plat::UIView {
 public:
  BackgroundViewBase(plat::CGRect frame, plat::UIColorRef defaultColor, bool blurBelowContent);
  void didInit() override;

  int64_t style() const { return style_; }
  // Stores and rebuilds the effect view when changed.
  void setStyle(int64_t s);
  plat::UIColorRef color() const { return color_; }
  // Unless equal to the current colour: stores and recolours.
  void setColor(plat::UIColorRef c);
  std::shared_ptr<plat::UIVisualEffectView> effectView() const { return effectView_; }
  // Removes the effect view, then makes a new one for the blur style or sets the plain colour.
  void updateForBackgroundStyle();
  plat::CGSize intrinsicContentSize() const override { return {0, 0}; }

 protected:
  // The blur style the effect view is made with.
  virtual plat::UIBlurEffectStyle blurStyleForEffect() const = 0;
  void updateViewsForColor(plat::UIColorRef c);

 private:
  int64_t style_ = kBackgroundBlur;
  plat::UIColorRef color_;
  std::shared_ptr<plat::UIVisualEffectView> effectView_;
  bool blurBelowContent_;
};

// The pill-shaped button: 1-point border in the title colour, corner radius of half its height,
// a faint fill of the selected-state title colour while highlighted.
class RoundedButtonBase : public plat::UIButton {
 public:
  explicit RoundedButtonBase(plat::CGRect frame = plat::CGRectZero, bool needsTitle = true);
  void layoutSubviews() override;
  plat::CGSize intrinsicContentSize() const override;
  void setTitleColorForState(plat::UIColorRef color, uint64_t state) override;
  void setHighlighted(bool h) override;

 private:
  bool needsTitle_;
};

}  // namespace hud_internal
