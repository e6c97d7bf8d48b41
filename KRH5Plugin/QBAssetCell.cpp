#include "KRH5Plugin/QBAssetCell.h"

#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIGraphics.h"

using namespace plat;

namespace {
constexpr double kIndicatorHeight = 20;
constexpr double kCheckmarkSide = 24;
constexpr double kCheckmarkMargin = 4;
}  // namespace

// ---- QBVideoIconView ----

void QBVideoIconView::awakeFromNib() {
  iconColor_ = UIColor::whiteColor();
  setBackgroundColor(UIColor::clearColor());
  setOpaque(false);
}

void QBVideoIconView::drawRect(CGRect) {
  iconColor_.value_or(UIColor::whiteColor()).setFill();
  CGRect b = bounds();
  double minX = CGRectGetMinX(b), maxX = CGRectGetMaxX(b), minY = CGRectGetMinY(b);
  double maxY = CGRectGetMaxY(b), midY = CGRectGetMidY(b);
  auto cone = UIBezierPath::bezierPath();
  cone->moveToPoint(CGPointMake(maxX, minY));
  cone->addLineToPoint(CGPointMake(maxX, maxY));
  cone->addLineToPoint(CGPointMake(maxX - midY, midY));
  cone->closePath();
  cone->fill();
  UIBezierPath::bezierPathWithRoundedRectCornerRadius(
      CGRectMake(minX, minY, b.size.width - midY - 1, b.size.height), 2)
      ->fill();
}

// ---- QBVideoIndicatorView ----

void QBVideoIndicatorView::awakeFromNib() {
  gradient_ = CAGradientLayer::layer();
  gradient_->setFrame(bounds());
  gradient_->setColors({UIColor::clearColor().CGColor(), UIColor::blackColor().CGColor()});
  layer()->insertSublayerAtIndex(gradient_, 0);
}

void QBVideoIndicatorView::layoutSubviews() {
  if (gradient_) gradient_->setFrame(bounds());
}

// ---- QBCheckmarkView ----

void QBCheckmarkView::awakeFromNib() {
  borderWidth_ = 1.0;
  checkmarkLineWidth_ = 1.2;
  borderColor_ = UIColor::whiteColor();
  bodyColor_ = UIColor(20 / 255.0, 111 / 255.0, 223 / 255.0, 1);
  checkmarkColor_ = UIColor::whiteColor();
  setBackgroundColor(UIColor::clearColor());
  setOpaque(false);
  layer()->setShadowColor(UIColor::grayColor().CGColor());
  layer()->setShadowOffset(CGSizeMake(0, 0));
  layer()->setShadowOpacity(0.6f);
  layer()->setShadowRadius(2.0);
}

void QBCheckmarkView::drawRect(CGRect) {
  CGRect b = bounds();
  borderColor_.value_or(UIColor::clearColor()).setFill();
  UIBezierPath::bezierPathWithOvalInRect(b)->fill();
  bodyColor_.value_or(UIColor::clearColor()).setFill();
  UIBezierPath::bezierPathWithOvalInRect(CGRectInset(b, borderWidth_, borderWidth_))->fill();
  double w = b.size.width, h = b.size.height;
  auto check = UIBezierPath::bezierPath();
  check->setLineWidth(checkmarkLineWidth_);
  check->moveToPoint(CGPointMake(0.25 * w, 0.5 * h));
  check->addLineToPoint(CGPointMake(5.0 / 12 * w, 2.0 / 3 * h));
  check->addLineToPoint(CGPointMake(0.75 * w, 1.0 / 3 * h));
  checkmarkColor_.value_or(UIColor::clearColor()).setStroke();
  check->stroke();
}

// ---- QBAssetCell ----

void QBAssetCell::didInit() {
  UICollectionViewCell::didInit();
  setBackgroundColor(UIColor(0.9, 0.9, 0.9, 1));
  imageView_ = make<UIImageView>(bounds());
  imageView_->setContentMode(UIViewContentModeScaleAspectFill);
  imageView_->setClipsToBounds(true);
  contentView()->addSubview(imageView_);

  videoIndicatorView_ = make<QBVideoIndicatorView>(CGRectMake(0, 0, 0, kIndicatorHeight));
  videoIndicatorView_->setBackgroundColor(UIColor::clearColor());
  videoIndicatorView_->setOpaque(false);
  videoIconView_ = make<QBVideoIconView>(CGRectMake(5, 6, 14, 8));
  videoIconView_->awakeFromNib();
  videoIndicatorView_->addSubview(videoIconView_);
  auto time = make<UILabel>();
  time->setFont(UIFont::systemFontOfSize(12));
  time->setTextColor(UIColor::whiteColor());
  time->setTextAlignment(NSTextAlignmentRight);
  videoIndicatorView_->addSubview(time);
  videoIndicatorView_->setTimeLabel(time);
  videoIndicatorView_->awakeFromNib();
  videoIndicatorView_->setHidden(true);
  contentView()->addSubview(videoIndicatorView_);

  overlayView_ = make<UIView>(bounds());
  overlayView_->setBackgroundColor(UIColor(1, 1, 1, 0.5));
  overlayView_->setOpaque(false);
  overlayView_->setHidden(true);
  checkmarkView_ = make<QBCheckmarkView>(CGRectMake(0, 0, kCheckmarkSide, kCheckmarkSide));
  checkmarkView_->awakeFromNib();
  overlayView_->addSubview(checkmarkView_);
  contentView()->addSubview(overlayView_);
}

void QBAssetCell::layoutSubviews() {
  UICollectionViewCell::layoutSubviews();
  CGRect b = bounds();
  imageView_->setFrame(b);
  videoIndicatorView_->setFrame(
      CGRectMake(0, b.size.height - kIndicatorHeight, b.size.width, kIndicatorHeight));
  videoIndicatorView_->timeLabel()->setFrame(
      CGRectMake(22, 0, std::max(0.0, b.size.width - 27), kIndicatorHeight));
  overlayView_->setFrame(b);
  checkmarkView_->setFrame(CGRectMake(b.size.width - kCheckmarkSide - kCheckmarkMargin,
                                      b.size.height - kCheckmarkSide - kCheckmarkMargin,
                                      kCheckmarkSide, kCheckmarkSide));
}

void QBAssetCell::setSelected(bool selected) {
  UICollectionViewCell::setSelected(selected);
  overlayView_->setHidden(!(isSelected() && showsOverlay_));
}
