#pragma once
// TKImageView: an interactive crop view. It shows an image fitted into its bounds, darkens
// everything outside a crop rectangle, and lets the player move the rectangle, resize it with
// four L-shaped corner handles (optionally with four mid-edge handles and a pinch) and keep a
// fixed width-to-height ratio. currentCroppedImage cuts the selected region out of the image.
//
// Coordinates are points of the inner image view unless said otherwise. Setters that change
// the geometry (the image, the ratio, the corner line width, cornerBorderInImage) reset the
// crop area to a centred rectangle of initialScaleFactor of the image, so the factor must be
// set before them.
//
// CornerView, MidLineView and CropAreaView are its overlay parts.
// Main thread only (views and gestures).

#include <memory>

#include "platform/uikit/CALayer.h"
#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIView.h"

// An L-shaped corner handle. Positions: 0 top left, 1 top right, 2 bottom left, 3 bottom right.
class CornerView : public plat::UIView {
 public:
  CornerView(plat::CGRect frame, plat::UIColor lineColor, double lineWidth);
  static std::shared_ptr<CornerView> initWithFrameLineColorLineWidth(plat::CGRect frame,
                                                                     plat::UIColor lineColor,
                                                                     double lineWidth);
  void didInit() override;
  std::string className() const override { return "CornerView"; }

  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double w);  // redraws
  plat::UIColor lineColor() const { return lineColor_; }
  void setLineColor(plat::UIColor c);  // recolours the drawn lines
  int64_t cornerPosition() const { return cornerPosition_; }
  void setCornerPosition(int64_t p);  // redraws
  // The corner in the same column (relativeViewX) and in the same row (relativeViewY).
  std::shared_ptr<CornerView> relativeViewX() const { return relativeViewX_.lock(); }
  void setRelativeViewX(const std::shared_ptr<CornerView>& v) { relativeViewX_ = v; }
  std::shared_ptr<CornerView> relativeViewY() const { return relativeViewY_.lock(); }
  void setRelativeViewY(const std::shared_ptr<CornerView>& v) { relativeViewY_ = v; }
  std::shared_ptr<plat::CAShapeLayer> cornerShapeLayer() const { return cornerShapeLayer_; }
  // Takes the new size keeping the outer corner (the one its position names) in place.
  void updateSizeWithWidthHeight(double width, double height);

 private:
  void drawCornerLines();
  double lineWidth_;
  plat::UIColor lineColor_;
  int64_t cornerPosition_ = 0;
  std::weak_ptr<CornerView> relativeViewX_, relativeViewY_;
  std::shared_ptr<plat::CAShapeLayer> cornerShapeLayer_;
};

// A mid-edge handle: a 44 x 44 touch area with a bar through its centre. Types: 0 top,
// 1 bottom (horizontal bars), 2 left, 3 right (vertical bars).
class MidLineView : public plat::UIView {
 public:
  MidLineView(double lineWidth, double lineHeight, plat::UIColor lineColor);
  static std::shared_ptr<MidLineView> initWithLineWidthLineHeightLineColor(
      double lineWidth, double lineHeight, plat::UIColor lineColor);
  void didInit() override;
  std::string className() const override { return "MidLineView"; }

  // The bar's length.
  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double w);  // redraws
  // The bar's thickness: only the drawn line's width changes.
  double lineHeight() const { return lineHeight_; }
  void setLineHeight(double h);
  plat::UIColor lineColor() const { return lineColor_; }
  void setLineColor(plat::UIColor c);
  int64_t type() const { return type_; }
  void setType(int64_t t);  // redraws
  std::shared_ptr<plat::CAShapeLayer> lineLayer() const { return lineLayer_; }

 private:
  void drawMidLine();
  double lineWidth_, lineHeight_;
  plat::UIColor lineColor_;
  int64_t type_ = 0;
  std::shared_ptr<plat::CAShapeLayer> lineLayer_;
};

// The crop rectangle: a border inset by half its width, optional lines at the thirds, and the
// mid-edge handles as children (which reach outside it and still take touches).
class CropAreaView : public plat::UIView {
 public:
  CropAreaView() = default;
  void didInit() override;
  std::string className() const override { return "CropAreaView"; }

  bool showCrossLines() const { return showCrossLines_; }
  // The cross-line layer exists only while shown.
  void setShowCrossLines(bool show);
  double crossLineWidth() const { return crossLineWidth_; }
  void setCrossLineWidth(double w);
  plat::UIColor crossLineColor() const { return crossLineColor_; }
  void setCrossLineColor(plat::UIColor c);
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double w);
  plat::UIColor borderColor() const { return borderColor_; }
  void setBorderColor(plat::UIColor c);
  std::shared_ptr<plat::CAShapeLayer> borderLayer() const { return borderLayer_; }
  std::shared_ptr<plat::CAShapeLayer> crossLineLayer() const { return crossLineLayer_; }

  void setFrame(plat::CGRect f) override;
  void setBounds(plat::CGRect b) override;
  // The first child whose frame holds the point, else this view when its bounds hold it,
  // else nothing.
  plat::UIViewRef hitTest(plat::CGPoint p, const plat::UIEvent* event) override;

 private:
  void resetBorderLayerPath();
  void resetCrossLinesLayerPath();
  bool showCrossLines_ = false;
  double crossLineWidth_ = 0;
  plat::UIColor crossLineColor_;
  double borderWidth_ = 0;
  plat::UIColor borderColor_;
  std::shared_ptr<plat::CAShapeLayer> borderLayer_;
  std::shared_ptr<plat::CAShapeLayer> crossLineLayer_;
};

class TKImageView : public plat::UIView {
 public:
  explicit TKImageView(plat::CGRect frame = plat::CGRectZero);
  ~TKImageView() override;
  void didInit() override;
  std::string className() const override { return "TKImageView"; }

  plat::UIImageRef toCropImage() const { return toCropImage_; }
  void setToCropImage(plat::UIImageRef image);
  bool needScaleCrop() const { return needScaleCrop_; }
  void setNeedScaleCrop(bool on);
  bool showMidLines() const { return showMidLines_; }
  // Shows or removes the mid-edge handles only while the ratio is free; stored in any case.
  void setShowMidLines(bool show);
  bool showCrossLines() const { return showCrossLines_; }
  void setShowCrossLines(bool show);
  // Width / height; 0 = free. Negative values count as 0.
  double cropAspectRatio() const { return cropAspectRatio_; }
  void setCropAspectRatio(double ratio);
  plat::UIColor cropAreaBorderLineColor() const { return borderLineColor_; }
  void setCropAreaBorderLineColor(plat::UIColor c);
  double cropAreaBorderLineWidth() const { return borderLineWidth_; }
  void setCropAreaBorderLineWidth(double w);
  plat::UIColor cropAreaCornerLineColor() const { return cornerLineColor_; }
  void setCropAreaCornerLineColor(plat::UIColor c);
  double cropAreaCornerLineWidth() const { return cornerLineWidth_; }
  void setCropAreaCornerLineWidth(double w);
  double cropAreaCornerWidth() const { return cornerWidth_; }
  void setCropAreaCornerWidth(double w);
  double cropAreaCornerHeight() const { return cornerHeight_; }
  void setCropAreaCornerHeight(double h);
  double minSpace() const { return minSpace_; }
  // Sets the minimum in force too.
  void setMinSpace(double s);
  double cropAreaCrossLineWidth() const { return crossLineWidth_; }
  void setCropAreaCrossLineWidth(double w);
  plat::UIColor cropAreaCrossLineColor() const { return crossLineColor_; }
  void setCropAreaCrossLineColor(plat::UIColor c);
  // The mid-edge bar's length and thickness.
  double cropAreaMidLineWidth() const { return midLineWidth_; }
  void setCropAreaMidLineWidth(double w);
  double cropAreaMidLineHeight() const { return midLineHeight_; }
  void setCropAreaMidLineHeight(double h);
  plat::UIColor cropAreaMidLineColor() const { return midLineColor_; }
  void setCropAreaMidLineColor(plat::UIColor c);
  // Nil until set (the mask starts black at alpha 0.8).
  plat::UIColorRef maskColor() const { return maskColor_; }
  void setMaskColor(plat::UIColorRef c);
  // Whether the corner handles must stay inside the image.
  bool cornerBorderInImage() const { return cornerBorderInImage_; }
  void setCornerBorderInImage(bool v);
  // The share of the image the crop area starts with; at most 1. Takes effect at the next
  // reset of the crop area.
  double initialScaleFactor() const { return initialScaleFactor_; }
  void setInitialScaleFactor(double f);
  // How far the corner handles reach beyond the crop rectangle.
  double cornerMargin() const { return cornerLineWidth_ - borderLineWidth_; }
  double currentMinSpace() const { return currentMinSpace_; }

  // The selected region in image units, without the border line, cut in whole bitmap pixels:
  // with a ratio set, the height is the rounded width over the ratio, so a square crop is
  // square. Null without an image or for an empty region.
  plat::UIImageRef currentCroppedImage() const;

  // Re-fit the image view after the change.
  void setFrame(plat::CGRect f) override;
  void setCenter(plat::CGPoint c) override;

  // Parts, for the screen and tests.
  std::shared_ptr<plat::UIImageView> imageView() const { return imageView_; }
  std::shared_ptr<plat::UIView> cropMaskView() const { return cropMaskView_; }
  std::shared_ptr<CropAreaView> cropAreaView() const { return cropAreaView_; }
  std::shared_ptr<CornerView> topLeftCorner() const { return corners_[0]; }
  std::shared_ptr<CornerView> topRightCorner() const { return corners_[1]; }
  std::shared_ptr<CornerView> bottomLeftCorner() const { return corners_[2]; }
  std::shared_ptr<CornerView> bottomRightCorner() const { return corners_[3]; }
  // Top, bottom, left, right; null while not shown.
  std::shared_ptr<MidLineView> midLine(int64_t type) const;
  std::shared_ptr<plat::UIPinchGestureRecognizer> cropAreaPinch() const { return pinch_; }
  // The scale step of a pinch that started at the crop area's size `start`. The area keeps the
  // ratio, stops at the corner drag's minimum and stays inside the image.
  void scaleCropArea(plat::CGSize start, double scale);

 private:
  std::shared_ptr<TKImageView> self();
  void resetImageView();
  void resetCropAreaByAspectRatio();
  void resetCornersOnCropAreaFrameChanged();
  void resetCropAreaOnCornersFrameChanged();
  void resetMinSpaceIfNeeded();
  void cropAreaBoundsChanged();
  void resetCropTransparentArea();
  void createMidLines();
  void removeMidLines();
  void resetMidLines();
  void handleCornerPan(plat::UIPanGestureRecognizer& pan);
  void handleCropAreaPan(plat::UIPanGestureRecognizer& pan);
  void handleMidPan(plat::UIPanGestureRecognizer& pan);
  void handleCropAreaPinch(plat::UIPinchGestureRecognizer& pinch);
  double innerMargin() const { return cornerBorderInImage_ ? cornerMargin() : 0; }

  plat::UIImageRef toCropImage_;
  bool needScaleCrop_ = false;
  bool showMidLines_ = false;
  bool showCrossLines_ = false;
  double cropAspectRatio_ = 0;
  plat::UIColor borderLineColor_;
  double borderLineWidth_ = 2;
  plat::UIColor cornerLineColor_;
  double cornerLineWidth_ = 4;
  double cornerWidth_ = 20, cornerHeight_ = 20;
  double minSpace_ = 10;
  double crossLineWidth_ = 2;
  plat::UIColor crossLineColor_;
  double midLineWidth_ = 20, midLineHeight_ = 4;
  plat::UIColor midLineColor_;
  plat::UIColorRef maskColor_;
  bool cornerBorderInImage_ = false;
  double initialScaleFactor_ = 0;

  std::shared_ptr<plat::UIView> cropMaskView_;
  std::shared_ptr<plat::UIImageView> imageView_;
  std::shared_ptr<CornerView> corners_[4];
  std::shared_ptr<CropAreaView> cropAreaView_;
  std::shared_ptr<plat::UIPanGestureRecognizer> cornerPans_[4];
  std::shared_ptr<plat::UIPanGestureRecognizer> cropAreaPan_;
  std::shared_ptr<plat::UIPinchGestureRecognizer> pinch_;
  plat::CGSize pinchOriSize_{};
  plat::CGPoint cropAreaOriCenter_{};
  plat::CGRect cropAreaOriFrame_{};
  std::shared_ptr<MidLineView> midLines_[4];  // top, bottom, left, right
  std::shared_ptr<plat::UIPanGestureRecognizer> midPans_[4];
  double paddingLeftRight_ = 0, paddingTopBottom_ = 0, imageAspectRatio_ = 0;
  double currentMinSpace_ = 10;
  std::shared_ptr<plat::CAShapeLayer> maskLayer_;
  plat::NSKeyValueObservable::ObserverToken cropFrameToken_, cropCenterToken_, imageFrameToken_;
};
