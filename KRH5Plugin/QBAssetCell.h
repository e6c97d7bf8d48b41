#pragma once
// QBAssetCell: one item of the picker's grid: the asset's thumbnail, for videos an indicator
// strip along the bottom (a shading gradient, a camera icon and the running time), and, while
// selected in a picker with multiple selection, a whitened overlay with a checkmark.
// QBVideoIndicatorView, QBVideoIconView and QBCheckmarkView are its drawn parts.
// Main thread only.

#include <memory>
#include <string>

#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"

class QBVideoIconView : public plat::UIView {
 public:
  using plat::UIView::UIView;
  std::string className() const override { return "QBVideoIconView"; }
  // Starts white.
  void awakeFromNib();
  plat::UIColorRef iconColor() const { return iconColor_; }
  void setIconColor(plat::UIColorRef c) { iconColor_ = c, setNeedsDisplay(); }
  bool implementsDrawRect() const override { return true; }
  // A camera body with its lens cone to the right.
  void drawRect(plat::CGRect rect) override;

 private:
  plat::UIColorRef iconColor_;
};

class QBVideoIndicatorView : public plat::UIView {
 public:
  using plat::UIView::UIView;
  std::string className() const override { return "QBVideoIndicatorView"; }
  // Shades the strip: a gradient from clear to black below every other layer.
  void awakeFromNib();
  std::shared_ptr<plat::UILabel> timeLabel() const { return timeLabel_; }
  void setTimeLabel(std::shared_ptr<plat::UILabel> l) { timeLabel_ = std::move(l); }
  // The gradient follows the view's size.
  void layoutSubviews() override;

 private:
  std::shared_ptr<plat::UILabel> timeLabel_;
  std::shared_ptr<plat::CAGradientLayer> gradient_;
};

class QBCheckmarkView : public plat::UIView {
 public:
  using plat::UIView::UIView;
  std::string className() const override { return "QBCheckmarkView"; }
  // Border 1.0 white, body (20, 111, 223), checkmark 1.2 white, a soft grey shadow.
  void awakeFromNib();
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double w) { borderWidth_ = w, setNeedsDisplay(); }
  double checkmarkLineWidth() const { return checkmarkLineWidth_; }
  void setCheckmarkLineWidth(double w) { checkmarkLineWidth_ = w, setNeedsDisplay(); }
  plat::UIColorRef borderColor() const { return borderColor_; }
  void setBorderColor(plat::UIColorRef c) { borderColor_ = c, setNeedsDisplay(); }
  plat::UIColorRef bodyColor() const { return bodyColor_; }
  void setBodyColor(plat::UIColorRef c) { bodyColor_ = c, setNeedsDisplay(); }
  plat::UIColorRef checkmarkColor() const { return checkmarkColor_; }
  void setCheckmarkColor(plat::UIColorRef c) { checkmarkColor_ = c, setNeedsDisplay(); }
  bool implementsDrawRect() const override { return true; }
  void drawRect(plat::CGRect rect) override;

 private:
  double borderWidth_ = 0, checkmarkLineWidth_ = 0;
  plat::UIColorRef borderColor_, bodyColor_, checkmarkColor_;
};

class QBAssetCell : public plat::UICollectionViewCell {
 public:
  using plat::UICollectionViewCell::UICollectionViewCell;
  std::string className() const override { return "QBAssetCell"; }
  // Builds the cell as the "AssetCell" prototype lays it out.
  void didInit() override;

  std::shared_ptr<plat::UIImageView> imageView() const { return imageView_; }
  std::shared_ptr<QBVideoIndicatorView> videoIndicatorView() const { return videoIndicatorView_; }
  std::shared_ptr<plat::UIView> overlayView() const { return overlayView_; }
  std::shared_ptr<QBCheckmarkView> checkmarkView() const { return checkmarkView_; }
  bool showsOverlayViewWhenSelected() const { return showsOverlay_; }
  void setShowsOverlayViewWhenSelected(bool s) { showsOverlay_ = s; }
  // The overlay shows only while selected with showsOverlayViewWhenSelected.
  void setSelected(bool selected) override;
  void layoutSubviews() override;

 private:
  std::shared_ptr<plat::UIImageView> imageView_;
  std::shared_ptr<QBVideoIndicatorView> videoIndicatorView_;
  std::shared_ptr<QBVideoIconView> videoIconView_;
  std::shared_ptr<plat::UIView> overlayView_;
  std::shared_ptr<QBCheckmarkView> checkmarkView_;
  bool showsOverlay_ = false;
};
