#include "ui/hud/HUDViewsInternal.h"

#include <cmath>

#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIGraphics.h"

using namespace plat;

namespace hud_internal {

// ---- Round ----

RoundProgressViewBase::RoundProgressViewBase(CGRect frame)
    : UIView(frame),
      progressTint_(UIColor::colorWithWhiteAlpha(1, 1)),
      backgroundTint_(UIColor::colorWithWhiteAlpha(1, 0.1)) {
  setBackgroundColor(UIColor::clearColor());
  setOpaque(false);
}

void RoundProgressViewBase::setProgress(float p) {
  if (p == progress_) return;
  progress_ = p;
  setNeedsDisplay();
}

void RoundProgressViewBase::setProgressTintColor(UIColorRef c) {
  if (c == progressTint_) return;
  progressTint_ = c;
  setNeedsDisplay();
}

void RoundProgressViewBase::setBackgroundTintColor(UIColorRef c) {
  if (c == backgroundTint_) return;
  backgroundTint_ = c;
  setNeedsDisplay();
}

void RoundProgressViewBase::drawRect(CGRect) {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  CGRect b = bounds();
  CGPoint center = CGPointMake(CGRectGetMidX(b), CGRectGetMidY(b));
  const double start = -M_PI / 2;
  double end = start + progress_ * 2 * M_PI;
  UIColor progressTint = progressTint_.value_or(UIColor::clearColor());
  UIColor backgroundTint = backgroundTint_.value_or(UIColor::clearColor());
  if (annular_) {
    auto ring = UIBezierPath::bezierPath();
    ring->setLineWidth(2);
    ring->setLineCapStyle(kCGLineCapButt);
    double radius = (b.size.width - 2) / 2;
    ring->addArcWithCenterRadiusStartAngleEndAngleClockwise(center, radius, start, -start * 3,
                                                            true);
    backgroundTint.set();
    ring->stroke();
    if (progress_ > 0) {  // a zero-length arc would leave a stray square cap at the top
      auto arc = UIBezierPath::bezierPath();
      arc->setLineWidth(2);
      arc->setLineCapStyle(kCGLineCapSquare);
      arc->addArcWithCenterRadiusStartAngleEndAngleClockwise(center, radius, start, end, true);
      progressTint.set();
      arc->stroke();
    }
  } else {
    CGRect circle = CGRectInset(b, 1, 1);
    CGContextSetStrokeColorWithColor(c, progressTint.CGColor());
    CGContextSetFillColorWithColor(c, backgroundTint.CGColor());
    CGContextSetLineWidth(c, 2);
    CGContextStrokeEllipseInRect(c, circle);
    if (progress_ > 0) {
      auto arc = UIBezierPath::bezierPath();
      arc->setLineCapStyle(kCGLineCapButt);
      arc->setLineWidth(4);
      double radius = b.size.width / 2 - 2;
      arc->addArcWithCenterRadiusStartAngleEndAngleClockwise(center, radius, start, end, true);
      CGContextSaveGState(c);
      CGContextSetBlendMode(c, kCGBlendModeCopy);
      progressTint.set();
      arc->stroke();
      CGContextRestoreGState(c);
    }
  }
}

// ---- Bar ----

BarProgressViewBase::BarProgressViewBase(CGRect frame)
    : UIView(frame),
      lineColor_(UIColor::whiteColor()),
      remainingColor_(UIColor::clearColor()),
      progressColor_(UIColor::whiteColor()) {
  setBackgroundColor(UIColor::clearColor());
  setOpaque(false);
}

void BarProgressViewBase::setProgress(float p) {
  if (p == progress_) return;
  progress_ = p;
  setNeedsDisplay();
}
void BarProgressViewBase::setProgressRemainingColor(UIColorRef c) {
  if (c == remainingColor_) return;
  remainingColor_ = c;
  setNeedsDisplay();
}
void BarProgressViewBase::setProgressColor(UIColorRef c) {
  if (c == progressColor_) return;
  progressColor_ = c;
  setNeedsDisplay();
}

void BarProgressViewBase::drawRect(CGRect rect) {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  double w = rect.size.width, h = rect.size.height;
  CGContextSetLineWidth(c, 2);
  CGContextSetStrokeColorWithColor(c, lineColor_.value_or(UIColor::clearColor()).CGColor());
  CGContextSetFillColorWithColor(c, remainingColor_.value_or(UIColor::clearColor()).CGColor());

  // Outline.
  double R = h / 2 - 2;
  CGContextBeginPath(c);
  CGContextMoveToPoint(c, 2, h / 2);
  CGContextAddArcToPoint(c, 2, 2, R + 2, 2, R);
  CGContextAddArcToPoint(c, w - 2, 2, w - 2, h / 2, R);
  CGContextAddArcToPoint(c, w - 2, h - 2, w - R - 2, h - 2, R);
  CGContextAddArcToPoint(c, 2, h - 2, 2, h / 2, R);
  CGContextDrawPath(c, kCGPathFillStroke);

  // Progress.
  CGContextSetFillColorWithColor(c, progressColor_.value_or(UIColor::clearColor()).CGColor());
  double r = h / 2 - 4;
  double amount = progress_ * w;
  if (amount >= r + 4 && amount <= w - r - 4) {
    CGContextBeginPath(c);
    CGContextMoveToPoint(c, 4, h / 2);
    CGContextAddArcToPoint(c, 4, 4, r + 4, 4, r);
    CGContextAddLineToPoint(c, amount, 4);
    CGContextAddLineToPoint(c, amount, h / 2);
    CGContextMoveToPoint(c, 4, h / 2);
    CGContextAddArcToPoint(c, 4, h - 4, r + 4, h - 4, r);
    CGContextAddLineToPoint(c, amount, h - 4);
    CGContextAddLineToPoint(c, amount, h / 2);
    CGContextFillPath(c);
  } else if (amount > r + 4) {
    double x = w - r - 4;
    double angle = std::acos((amount - x) / r);
    if (std::isnan(angle)) angle = 0;
    CGContextBeginPath(c);
    CGContextMoveToPoint(c, 4, h / 2);
    CGContextAddArcToPoint(c, 4, 4, r + 4, 4, r);
    CGContextAddLineToPoint(c, x, 4);
    CGContextAddArc(c, x, h / 2, r, M_PI, -angle, 0);
    CGContextAddLineToPoint(c, amount, h / 2);
    CGContextMoveToPoint(c, 4, h / 2);
    CGContextAddArcToPoint(c, 4, h - 4, r + 4, h - 4, r);
    CGContextAddLineToPoint(c, x, h - 4);
    CGContextAddArc(c, x, h / 2, r, -M_PI, angle, 1);
    CGContextAddLineToPoint(c, amount, h / 2);
    CGContextFillPath(c);
  } else if (amount < r + 4 && amount > 0) {
    CGContextBeginPath(c);
    CGContextMoveToPoint(c, 4, h / 2);
    CGContextAddArcToPoint(c, 4, 4, r + 4, 4, r);
    CGContextAddLineToPoint(c, r + 4, h / 2);
    CGContextMoveToPoint(c, 4, h / 2);
    CGContextAddArcToPoint(c, 4, h - 4, r + 4, h - 4, r);
    CGContextAddLineToPoint(c, r + 4, h / 2);
    CGContextFillPath(c);
  }
}

// ---- Background ----

BackgroundViewBase::BackgroundViewBase(CGRect frame, UIColorRef defaultColor,
                                       bool blurBelowContent)
    : UIView(frame), color_(defaultColor), blurBelowContent_(blurBelowContent) {
  setClipsToBounds(true);
}

void BackgroundViewBase::didInit() {
  UIView::didInit();
  updateForBackgroundStyle();
}

void BackgroundViewBase::setStyle(int64_t s) {
  if (s == style_) return;
  style_ = s;
  updateForBackgroundStyle();
}

void BackgroundViewBase::setColor(UIColorRef c) {
  if (c == color_) return;
  color_ = c;
  updateViewsForColor(c);
}

void BackgroundViewBase::updateViewsForColor(UIColorRef c) { setBackgroundColor(c); }

void BackgroundViewBase::updateForBackgroundStyle() {
  if (effectView_) effectView_->removeFromSuperview();
  effectView_.reset();
  if (style_ == kBackgroundBlur) {
    auto effect = UIBlurEffect::effectWithStyle(blurStyleForEffect());
    auto view = make<UIVisualEffectView>(effect);
    if (blurBelowContent_) insertSubviewAtIndex(view, 0);
    else addSubview(view);
    view->setFrame(bounds());
    view->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
    setBackgroundColor(color_);
    view->layer()->setAllowsGroupOpacity(false);
    effectView_ = view;
  } else {
    setBackgroundColor(color_);
  }
}

// ---- Rounded button ----

RoundedButtonBase::RoundedButtonBase(CGRect frame, bool needsTitle)
    : UIButton(frame), needsTitle_(needsTitle) {
  layer()->setBorderWidth(1);
}

void RoundedButtonBase::layoutSubviews() {
  UIButton::layoutSubviews();
  layer()->setCornerRadius(std::ceil(bounds().size.height / 2));
}

CGSize RoundedButtonBase::intrinsicContentSize() const {
  // Only a button with an action (and, for the newer HUD, a title) takes room.
  if (allControlEvents() == 0) return CGSizeZero;
  if (needsTitle_ && titleForState(UIControlStateNormal).empty()) return CGSizeZero;
  CGSize s = UIButton::intrinsicContentSize();
  return CGSizeMake(s.width + 20, s.height);
}

void RoundedButtonBase::setTitleColorForState(UIColorRef color, uint64_t state) {
  UIButton::setTitleColorForState(color, state);
  setHighlighted(isHighlighted());  // re-apply the highlight fill
  layer()->setBorderColor(color.value_or(UIColor::clearColor()).CGColor());
}

void RoundedButtonBase::setHighlighted(bool h) {
  UIButton::setHighlighted(h);
  UIColorRef base = titleColorForState(UIControlStateSelected);
  setBackgroundColor(h ? UIColorRef(base.value_or(UIColor::clearColor()).colorWithAlphaComponent(0.1))
                       : UIColorRef(UIColor::clearColor()));
}

}  // namespace hud_internal
