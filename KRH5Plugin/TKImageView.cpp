#include "KRH5Plugin/TKImageView.h"

#include <algorithm>
#include <cmath>

#include "KRH5Plugin/UIImage+Handler.h"
#include "platform/uikit/UIBezierPath.h"

using namespace plat;

namespace {
constexpr double kMidLineSide = 44;

UIColor whiteAt(double alpha) { return UIColor::colorWithWhiteAlpha(1, alpha); }

// Raises v to lo, then lowers it to hi: when both cannot hold, the upper bound wins.
double clampUpperWins(double v, double lo, double hi) { return std::min(std::max(v, lo), hi); }

std::shared_ptr<CAShapeLayer> strokeLayer(const UIBezierPathRef& path, UIColor color,
                                          double width) {
  auto layer = CAShapeLayer::layer();
  layer->setPath(path);
  layer->setStrokeColor(color.CGColor());
  layer->setFillColor(UIColor::clearColor().CGColor());
  layer->setLineWidth(width);
  return layer;
}
}  // namespace

// ---- CornerView ----

CornerView::CornerView(CGRect frame, UIColor lineColor, double lineWidth)
    : UIView(frame), lineWidth_(lineWidth), lineColor_(lineColor) {}

std::shared_ptr<CornerView> CornerView::initWithFrameLineColorLineWidth(CGRect frame,
                                                                       UIColor lineColor,
                                                                       double lineWidth) {
  return make<CornerView>(frame, lineColor, lineWidth);
}

void CornerView::didInit() {
  UIView::didInit();
  drawCornerLines();
}

void CornerView::setLineWidth(double w) {
  lineWidth_ = w;
  drawCornerLines();
}

void CornerView::setLineColor(UIColor c) {
  lineColor_ = c;
  if (cornerShapeLayer_) cornerShapeLayer_->setStrokeColor(c.CGColor());
}

void CornerView::setCornerPosition(int64_t p) {
  cornerPosition_ = p;
  drawCornerLines();
}

void CornerView::updateSizeWithWidthHeight(double width, double height) {
  CGRect f = frame();
  double x = (cornerPosition_ == 0 || cornerPosition_ == 2) ? CGRectGetMinX(f)
                                                             : CGRectGetMaxX(f) - width;
  double y = (cornerPosition_ == 0 || cornerPosition_ == 1) ? CGRectGetMinY(f)
                                                             : CGRectGetMaxY(f) - height;
  setFrame(CGRectMake(x, y, width, height));
  drawCornerLines();
}

void CornerView::drawCornerLines() {
  if (cornerShapeLayer_) cornerShapeLayer_->removeFromSuperlayer();
  double h = lineWidth_ / 2, w = bounds().size.width, ht = bounds().size.height;
  CGPoint pts[3];
  switch (cornerPosition_) {
    case 0: pts[0] = {w, h}, pts[1] = {h, h}, pts[2] = {h, ht}; break;
    case 1: pts[0] = {0, h}, pts[1] = {w - h, h}, pts[2] = {w - h, ht}; break;
    case 2: pts[0] = {h, 0}, pts[1] = {h, ht - h}, pts[2] = {w, ht - h}; break;
    default: pts[0] = {w - h, 0}, pts[1] = {w - h, ht - h}, pts[2] = {0, ht - h}; break;
  }
  auto path = UIBezierPath::bezierPath();
  path->moveToPoint(pts[0]);
  path->addLineToPoint(pts[1]);
  path->addLineToPoint(pts[2]);
  cornerShapeLayer_ = strokeLayer(path, lineColor_, lineWidth_);
  layer()->addSublayer(cornerShapeLayer_);
}

// ---- MidLineView ----

MidLineView::MidLineView(double lineWidth, double lineHeight, UIColor lineColor)
    : UIView(CGRectMake(0, 0, kMidLineSide, kMidLineSide)),
      lineWidth_(lineWidth),
      lineHeight_(lineHeight),
      lineColor_(lineColor) {}

std::shared_ptr<MidLineView> MidLineView::initWithLineWidthLineHeightLineColor(double lineWidth,
                                                                              double lineHeight,
                                                                              UIColor lineColor) {
  return make<MidLineView>(lineWidth, lineHeight, lineColor);
}

void MidLineView::didInit() {
  UIView::didInit();
  drawMidLine();
}

void MidLineView::setLineWidth(double w) {
  lineWidth_ = w;
  drawMidLine();
}

void MidLineView::setLineHeight(double h) {
  lineHeight_ = h;
  if (lineLayer_) lineLayer_->setLineWidth(h);
}

void MidLineView::setLineColor(UIColor c) {
  lineColor_ = c;
  if (lineLayer_) lineLayer_->setStrokeColor(c.CGColor());
}

void MidLineView::setType(int64_t t) {
  type_ = t;
  drawMidLine();
}

void MidLineView::drawMidLine() {
  if (lineLayer_) lineLayer_->removeFromSuperlayer();
  CGSize s = bounds().size;
  auto path = UIBezierPath::bezierPath();
  if (type_ == 0 || type_ == 1) {
    path->moveToPoint({(s.width - lineWidth_) / 2, s.height / 2});
    path->addLineToPoint({(s.width + lineWidth_) / 2, s.height / 2});
  } else {
    path->moveToPoint({s.width / 2, (s.height - lineWidth_) / 2});
    path->addLineToPoint({s.width / 2, (s.height + lineWidth_) / 2});
  }
  lineLayer_ = strokeLayer(path, lineColor_, lineHeight_);
  layer()->addSublayer(lineLayer_);
}

// ---- CropAreaView ----

void CropAreaView::didInit() {
  UIView::didInit();
  borderLayer_ = strokeLayer(nullptr, borderColor_, borderWidth_);
  layer()->addSublayer(borderLayer_);
  resetBorderLayerPath();
}

void CropAreaView::setShowCrossLines(bool show) {
  if (show == showCrossLines_) return;
  showCrossLines_ = show;
  if (show) {
    crossLineLayer_ = strokeLayer(nullptr, crossLineColor_, crossLineWidth_);
    layer()->addSublayer(crossLineLayer_);
    resetCrossLinesLayerPath();
  } else if (crossLineLayer_) {
    crossLineLayer_->removeFromSuperlayer();
    crossLineLayer_.reset();
  }
}

void CropAreaView::setCrossLineWidth(double w) {
  crossLineWidth_ = w;
  if (crossLineLayer_) crossLineLayer_->setLineWidth(w);
}

void CropAreaView::setCrossLineColor(UIColor c) {
  crossLineColor_ = c;
  if (crossLineLayer_) crossLineLayer_->setStrokeColor(c.CGColor());
}

void CropAreaView::setBorderWidth(double w) {
  borderWidth_ = w;
  if (borderLayer_) borderLayer_->setLineWidth(w);
  resetBorderLayerPath();
}

void CropAreaView::setBorderColor(UIColor c) {
  borderColor_ = c;
  if (borderLayer_) borderLayer_->setStrokeColor(c.CGColor());
}

void CropAreaView::setFrame(CGRect f) {
  UIView::setFrame(f);
  resetBorderLayerPath();
  if (showCrossLines_) resetCrossLinesLayerPath();
}

void CropAreaView::setBounds(CGRect b) {
  UIView::setBounds(b);
  resetBorderLayerPath();
  if (showCrossLines_) resetCrossLinesLayerPath();
}

UIViewRef CropAreaView::hitTest(CGPoint p, const UIEvent* event) {
  if (isHidden() || !isUserInteractionEnabled() || alpha() < 0.01) return nullptr;
  for (const auto& child : subviews()) {
    if (CGRectContainsPoint(child->frame(), p)) return child;
  }
  if (CGRectContainsPoint(bounds(), p)) return sharedView();
  return nullptr;
}

void CropAreaView::resetBorderLayerPath() {
  if (!borderLayer_) return;
  CGRect b = bounds();
  borderLayer_->setFrame(b);
  borderLayer_->setPath(UIBezierPath::bezierPathWithRect(
      CGRectMake(borderWidth_ / 2, borderWidth_ / 2, b.size.width - borderWidth_,
                 b.size.height - borderWidth_)));
}

void CropAreaView::resetCrossLinesLayerPath() {
  if (!crossLineLayer_) return;
  CGRect b = bounds();
  crossLineLayer_->setFrame(b);
  double w = b.size.width, h = b.size.height;
  auto path = UIBezierPath::bezierPath();
  for (double k : {1.0 / 3, 2.0 / 3}) {
    path->moveToPoint({w * k, 0});
    path->addLineToPoint({w * k, h});
    path->moveToPoint({0, h * k});
    path->addLineToPoint({w, h * k});
  }
  crossLineLayer_->setPath(path);
}

// ---- TKImageView ----

TKImageView::TKImageView(CGRect frame) : UIView(frame) {}

TKImageView::~TKImageView() {
  if (cropAreaView_) {
    cropAreaView_->removeObserverForKeyPath(cropFrameToken_);
    cropAreaView_->removeObserverForKeyPath(cropCenterToken_);
  }
  if (imageView_) imageView_->removeObserverForKeyPath(imageFrameToken_);
}

std::shared_ptr<TKImageView> TKImageView::self() {
  return std::static_pointer_cast<TKImageView>(shared_from_this());
}

void TKImageView::didInit() {
  UIView::didInit();
  // 1. The image view.
  imageView_ = make<UIImageView>(bounds());
  imageView_->setContentMode(UIViewContentModeScaleToFill);
  imageView_->setUserInteractionEnabled(true);
  imageAspectRatio_ = 0;
  addSubview(imageView_);
  // 2. The mask over it.
  cropMaskView_ = make<UIView>(imageView_->bounds());
  cropMaskView_->setBackgroundColor(UIColor::colorWithWhiteAlpha(0, 0.8));
  cropMaskView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                     UIViewAutoresizingFlexibleHeight);
  imageView_->addSubview(cropMaskView_);
  // 3. Defaults.
  borderLineColor_ = whiteAt(0.8);
  borderLineWidth_ = 2;
  cornerLineColor_ = UIColor::whiteColor();
  cornerLineWidth_ = 4;
  cornerWidth_ = cornerHeight_ = 20;
  minSpace_ = 10;
  crossLineWidth_ = 2;
  crossLineColor_ = whiteAt(0.8);
  midLineWidth_ = 20;
  midLineHeight_ = 4;
  midLineColor_ = whiteAt(0.8);
  currentMinSpace_ = 10;
  // 4. The crop area.
  cropAreaView_ = make<CropAreaView>();
  cropAreaView_->setBorderWidth(borderLineWidth_);
  cropAreaView_->setBorderColor(borderLineColor_);
  cropAreaView_->setCrossLineColor(crossLineColor_);
  cropAreaView_->setCrossLineWidth(crossLineWidth_);
  cropAreaView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                     UIViewAutoresizingFlexibleHeight);
  imageView_->addSubview(cropAreaView_);
  // 5. Observations, each called once at once.
  std::weak_ptr<TKImageView> weak = self();
  auto cropChanged = [weak](const std::string&) {
    auto s = weak.lock();
    if (!s) return;
    if (s->showMidLines_) s->resetMidLines();
    s->resetCropTransparentArea();
  };
  cropFrameToken_ = cropAreaView_->addObserverForKeyPath("frame", cropChanged);
  cropChanged("frame");
  cropCenterToken_ = cropAreaView_->addObserverForKeyPath("center", cropChanged);
  cropChanged("center");
  auto imageChanged = [weak](const std::string&) {
    if (auto s = weak.lock()) s->resetCropAreaByAspectRatio();
  };
  imageFrameToken_ = imageView_->addObserverForKeyPath("frame", imageChanged);
  imageChanged("frame");
  // 6. The corners, each held to its own sides.
  CGSize is = imageView_->bounds().size;
  const CGPoint origins[4] = {{0, 0},
                              {is.width - cornerWidth_, 0},
                              {0, is.height - cornerHeight_},
                              {is.width - cornerWidth_, is.height - cornerHeight_}};
  const uint64_t masks[4] = {
      UIViewAutoresizingFlexibleRightMargin | UIViewAutoresizingFlexibleBottomMargin,
      UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleBottomMargin,
      UIViewAutoresizingFlexibleRightMargin | UIViewAutoresizingFlexibleTopMargin,
      UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleTopMargin};
  for (int i = 0; i < 4; i++) {
    corners_[i] = CornerView::initWithFrameLineColorLineWidth(
        CGRectMake(origins[i].x, origins[i].y, cornerWidth_, cornerHeight_), cornerLineColor_,
        cornerLineWidth_);
    corners_[i]->setAutoresizingMask(masks[i]);
    corners_[i]->setCornerPosition(i);
  }
  // Column partners (X) and row partners (Y).
  const int partnerX[4] = {2, 3, 0, 1}, partnerY[4] = {1, 0, 3, 2};
  for (int i = 0; i < 4; i++) {
    corners_[i]->setRelativeViewX(corners_[partnerX[i]]);
    corners_[i]->setRelativeViewY(corners_[partnerY[i]]);
    imageView_->addSubview(corners_[i]);
  }
  // 7. The crop frame from the corners.
  resetCropAreaOnCornersFrameChanged();
  // 8. Gestures.
  for (int i = 0; i < 4; i++) {
    cornerPans_[i] = std::make_shared<UIPanGestureRecognizer>([weak](UIGestureRecognizer& g) {
      if (auto s = weak.lock()) s->handleCornerPan(static_cast<UIPanGestureRecognizer&>(g));
    });
    corners_[i]->addGestureRecognizer(cornerPans_[i]);
  }
  cropAreaPan_ = std::make_shared<UIPanGestureRecognizer>([weak](UIGestureRecognizer& g) {
    if (auto s = weak.lock()) s->handleCropAreaPan(static_cast<UIPanGestureRecognizer&>(g));
  });
  cropAreaView_->addGestureRecognizer(cropAreaPan_);
}

// ---- Setters ----

void TKImageView::setToCropImage(UIImageRef image) {
  toCropImage_ = std::move(image);
  CGSize s = toCropImage_ ? toCropImage_->size() : CGSizeZero;
  imageAspectRatio_ = s.height > 0 ? s.width / s.height : 0;
  imageView_->setImage(toCropImage_);
  resetImageView();
  resetCropAreaByAspectRatio();
}

void TKImageView::setNeedScaleCrop(bool on) {
  if (on == needScaleCrop_) return;
  needScaleCrop_ = on;
  if (on) {
    std::weak_ptr<TKImageView> weak = self();
    pinch_ = std::make_shared<UIPinchGestureRecognizer>([weak](UIGestureRecognizer& g) {
      if (auto s = weak.lock()) s->handleCropAreaPinch(static_cast<UIPinchGestureRecognizer&>(g));
    });
    cropAreaView_->addGestureRecognizer(pinch_);
  } else if (pinch_) {
    cropAreaView_->removeGestureRecognizer(pinch_);
    pinch_.reset();
  }
}

void TKImageView::setShowMidLines(bool show) {
  if (cropAspectRatio_ == 0) {
    if (show) {
      createMidLines();
      resetMidLines();
    } else {
      removeMidLines();
    }
  }
  showMidLines_ = show;
}

void TKImageView::setShowCrossLines(bool show) {
  showCrossLines_ = show;
  cropAreaView_->setShowCrossLines(show);
}

void TKImageView::setCropAspectRatio(double ratio) {
  cropAspectRatio_ = std::isfinite(ratio) ? std::max(ratio, 0.0) : 0;
  resetCropAreaByAspectRatio();
}

void TKImageView::setInitialScaleFactor(double f) {
  initialScaleFactor_ = std::isfinite(f) ? std::min(f, 1.0) : 0;
}

void TKImageView::setMinSpace(double s) {
  minSpace_ = s;
  currentMinSpace_ = s;
}

void TKImageView::setCornerBorderInImage(bool v) {
  cornerBorderInImage_ = v;
  resetCropAreaByAspectRatio();
}

void TKImageView::setMaskColor(UIColorRef c) {
  maskColor_ = c;
  cropMaskView_->setBackgroundColor(c);
}

void TKImageView::setCropAreaBorderLineWidth(double w) {
  borderLineWidth_ = w;
  cropAreaView_->setBorderWidth(w);
  resetCropAreaOnCornersFrameChanged();
}

void TKImageView::setCropAreaBorderLineColor(UIColor c) {
  borderLineColor_ = c;
  cropAreaView_->setBorderColor(c);
}

void TKImageView::setCropAreaCornerLineWidth(double w) {
  cornerLineWidth_ = w;
  for (auto& c : corners_) c->setLineWidth(w);
  resetCropAreaByAspectRatio();
}

void TKImageView::setCropAreaCornerLineColor(UIColor c) {
  cornerLineColor_ = c;
  for (auto& corner : corners_) corner->setLineColor(c);
}

void TKImageView::setCropAreaCornerWidth(double w) {
  cornerWidth_ = w;
  for (auto& c : corners_) c->updateSizeWithWidthHeight(cornerWidth_, cornerHeight_);
}

void TKImageView::setCropAreaCornerHeight(double h) {
  cornerHeight_ = h;
  for (auto& c : corners_) c->updateSizeWithWidthHeight(cornerWidth_, cornerHeight_);
}

void TKImageView::setCropAreaCrossLineWidth(double w) {
  crossLineWidth_ = w;
  cropAreaView_->setCrossLineWidth(w);
}

void TKImageView::setCropAreaCrossLineColor(UIColor c) {
  crossLineColor_ = c;
  cropAreaView_->setCrossLineColor(c);
}

void TKImageView::setCropAreaMidLineWidth(double w) {
  midLineWidth_ = w;
  for (auto& m : midLines_)
    if (m) m->setLineWidth(w);
  if (midLines_[0]) resetMidLines();
}

void TKImageView::setCropAreaMidLineHeight(double h) {
  midLineHeight_ = h;
  for (auto& m : midLines_)
    if (m) m->setLineHeight(h);
  if (midLines_[0]) resetMidLines();
}

void TKImageView::setCropAreaMidLineColor(UIColor c) {
  midLineColor_ = c;
  for (auto& m : midLines_)
    if (m) m->setLineColor(c);
}

void TKImageView::setFrame(CGRect f) {
  UIView::setFrame(f);
  resetImageView();
}

void TKImageView::setCenter(CGPoint c) {
  UIView::setCenter(c);
  resetImageView();
}

std::shared_ptr<MidLineView> TKImageView::midLine(int64_t type) const {
  return type >= 0 && type < 4 ? midLines_[type] : nullptr;
}

// ---- Geometry ----

void TKImageView::resetImageView() {
  if (!imageView_) return;
  CGSize b = bounds().size;
  double W = b.width, H = b.height, a = imageAspectRatio_;
  if (!(a > 0) || !(H > 0)) return;
  if (a > W / H) {
    paddingLeftRight_ = 0;
    paddingTopBottom_ = std::floor((H - W / a) / 2);
    imageView_->setFrame(CGRectMake(0, paddingTopBottom_, W, std::floor(W / a)));
  } else {
    paddingTopBottom_ = 0;
    paddingLeftRight_ = std::floor((W - H * a) / 2);
    imageView_->setFrame(CGRectMake(paddingLeftRight_, 0, std::floor(H * a), H));
  }
}

void TKImageView::resetCropAreaByAspectRatio() {
  if (imageAspectRatio_ == 0 || !cropAreaView_ || !corners_[3]) return;
  CGSize is = imageView_->bounds().size;
  double IW = is.width, IH = is.height, f = initialScaleFactor_, r = cropAspectRatio_;
  double m2 = cornerBorderInImage_ ? 2 * cornerMargin() : 0;
  double width, height;
  if (r != 0) {
    removeMidLines();
    if (imageAspectRatio_ > r) {
      height = (IH - m2) * f;
      width = height * r;
    } else {
      width = (IW - m2) * f;
      height = width / r;
    }
    // The fitted image view's sides are whole points, so its ratio is the image's only nearly:
    // the side that follows the ratio must still fit.
    if (width > IW - m2) {
      width = IW - m2;
      height = width / r;
    }
    if (height > IH - m2) {
      height = IH - m2;
      width = height * r;
    }
  } else {
    width = (IW - m2) * f;
    height = (IH - m2) * f;
    if (showMidLines_) {
      createMidLines();
      resetMidLines();
    }
  }
  cropAreaView_->setFrame(CGRectMake((IW - width) / 2, (IH - height) / 2, width, height));
  resetCornersOnCropAreaFrameChanged();
  resetCropTransparentArea();
  resetMinSpaceIfNeeded();
}

void TKImageView::resetCornersOnCropAreaFrameChanged() {
  if (!corners_[3]) return;
  CGRect c = cropAreaView_->frame();
  double m = cornerMargin(), cW = cornerWidth_, cH = cornerHeight_;
  corners_[0]->setFrame(CGRectMake(CGRectGetMinX(c) - m, CGRectGetMinY(c) - m, cW, cH));
  corners_[1]->setFrame(CGRectMake(CGRectGetMaxX(c) - cW + m, CGRectGetMinY(c) - m, cW, cH));
  corners_[2]->setFrame(CGRectMake(CGRectGetMinX(c) - m, CGRectGetMaxY(c) - cH + m, cW, cH));
  corners_[3]->setFrame(CGRectMake(CGRectGetMaxX(c) - cW + m, CGRectGetMaxY(c) - cH + m, cW, cH));
}

void TKImageView::resetCropAreaOnCornersFrameChanged() {
  if (!corners_[3]) return;
  double m = cornerMargin();
  CGRect tl = corners_[0]->frame(), tr = corners_[1]->frame(), bl = corners_[2]->frame();
  cropAreaView_->setFrame(CGRectMake(CGRectGetMinX(tl) + m, CGRectGetMinY(tl) + m,
                                     CGRectGetMaxX(tr) - CGRectGetMinX(tl) - 2 * m,
                                     CGRectGetMaxY(bl) - CGRectGetMinY(tl) - 2 * m));
}

void TKImageView::resetMinSpaceIfNeeded() {
  CGRect c = cropAreaView_->frame();
  double m = cornerMargin();
  currentMinSpace_ = std::min({minSpace_, c.size.width - 2 * cornerWidth_ + 2 * m,
                               c.size.height - 2 * cornerHeight_ + 2 * m});
}

void TKImageView::resetCropTransparentArea() {
  if (!cropMaskView_ || !cropAreaView_) return;
  if (!maskLayer_) {
    maskLayer_ = CAShapeLayer::layer();
    cropMaskView_->layer()->setMask(maskLayer_);
  }
  CGRect whole = imageView_->bounds();
  maskLayer_->setFrame(whole);
  auto path = UIBezierPath::bezierPathWithRect(whole);
  path->appendPath(
      *UIBezierPath::bezierPathWithRect(cropAreaView_->frame())->bezierPathByReversingPath());
  maskLayer_->setPath(path);
}

// ---- Mid lines ----

void TKImageView::createMidLines() {
  if (midLines_[0]) return;
  std::weak_ptr<TKImageView> weak = self();
  for (int i = 0; i < 4; i++) {
    midLines_[i] =
        MidLineView::initWithLineWidthLineHeightLineColor(midLineWidth_, midLineHeight_,
                                                          midLineColor_);
    midLines_[i]->setType(i);
    midPans_[i] = std::make_shared<UIPanGestureRecognizer>([weak](UIGestureRecognizer& g) {
      if (auto s = weak.lock()) s->handleMidPan(static_cast<UIPanGestureRecognizer&>(g));
    });
    midLines_[i]->addGestureRecognizer(midPans_[i]);
    cropAreaView_->addSubview(midLines_[i]);
  }
}

void TKImageView::removeMidLines() {
  for (int i = 0; i < 4; i++) {
    if (midLines_[i]) midLines_[i]->removeFromSuperview();
    midLines_[i].reset();
    midPans_[i].reset();
  }
}

void TKImageView::resetMidLines() {
  if (!midLines_[0]) return;
  CGSize s = cropAreaView_->bounds().size;
  double w = s.width, h = s.height, o = midLineHeight_ / 2 - borderLineWidth_, half = 22;
  const CGPoint origins[4] = {{(w - 44) / 2, -half - o},
                              {(w - 44) / 2, h - half + o},
                              {-half - o, (h - 44) / 2},
                              {w - half + o, (h - 44) / 2}};
  for (int i = 0; i < 4; i++)
    midLines_[i]->setFrame(CGRectMake(origins[i].x, origins[i].y, 44, 44));
}

// ---- Gestures ----

void TKImageView::handleCropAreaPan(UIPanGestureRecognizer& pan) {
  // A mid line's drag (its handle lies inside the crop area) or a pinch has the touches: one
  // gesture at a time, as the platform's recognizers do.
  for (const auto& mid : midPans_)
    if (mid && (mid->state() == UIGestureRecognizerStateBegan ||
                mid->state() == UIGestureRecognizerStateChanged))
      return;
  if (pinch_ && (pinch_->state() == UIGestureRecognizerStateBegan ||
                 pinch_->state() == UIGestureRecognizerStateChanged))
    return;
  if (pan.state() == UIGestureRecognizerStateBegan) {
    cropAreaOriCenter_ = cropAreaView_->center();
    return;
  }
  if (pan.state() != UIGestureRecognizerStateChanged) return;
  CGPoint t = pan.translationInView(imageView_.get());
  CGSize is = imageView_->bounds().size, cs = cropAreaView_->bounds().size;
  double mi = innerMargin();
  double x = clampUpperWins(cropAreaOriCenter_.x + t.x, cs.width / 2 + mi,
                            is.width - cs.width / 2 - mi);
  double y = clampUpperWins(cropAreaOriCenter_.y + t.y, cs.height / 2 + mi,
                            is.height - cs.height / 2 - mi);
  cropAreaView_->setCenter(CGPointMake(x, y));
  resetCornersOnCropAreaFrameChanged();
}

void TKImageView::handleCornerPan(UIPanGestureRecognizer& pan) {
  auto view = pan.view();
  auto corner = std::dynamic_pointer_cast<CornerView>(view);
  if (!corner) return;
  auto xPartner = corner->relativeViewX(), yPartner = corner->relativeViewY();
  if (!xPartner || !yPartner) return;
  CGPoint p = pan.locationInView(imageView_.get());
  CGSize is = imageView_->bounds().size;
  double IW = is.width, IH = is.height, ms = currentMinSpace_, r = cropAspectRatio_;
  double m = cornerMargin(), cW = cornerWidth_, cH = cornerHeight_;
  CGRect C = corner->frame(), X = xPartner->frame(), Y = yPartner->frame();
  bool left = CGRectGetMinX(Y) > CGRectGetMinX(C);
  bool top = CGRectGetMinY(X) > CGRectGetMinY(C);
  double roomH = left ? CGRectGetMinX(C) : IW - CGRectGetMaxX(C);
  double roomV = top ? CGRectGetMinY(C) : IH - CGRectGetMaxY(C);
  double yCenterX = CGRectGetMidX(Y), xCenterY = CGRectGetMidY(X);
  double outside = cornerBorderInImage_ ? 0 : m;
  // Each side between the minimum and what the image leaves beyond the partner corners.
  double minW = ms + 2 * cW - 2 * m, minH = ms + 2 * cH - 2 * m;
  double maxW = (left ? yCenterX : IW - yCenterX) + cW / 2 - 2 * m + outside;
  double maxH = (top ? xCenterY : IH - xCenterY) + cH / 2 - 2 * m + outside;
  double width = clampUpperWins(cW + (p.x - yCenterX) * (left ? -1 : 1) - 2 * m, minW, maxW);
  double height = clampUpperWins(cH + (p.y - xCenterY) * (top ? -1 : 1) - 2 * m, minH, maxH);
  if (r > 0) {
    // The side with less free room beside the corner, for the ratio, leads; the other follows.
    // The room is compared as products: a corner on an image edge has none, and a quotient of
    // it would be infinite or undefined. The led width is bounded so that both sides fit.
    double freeH = std::max(roomH + m, 0.0), freeV = std::max(roomV + m, 0.0);
    double led = r * freeV >= freeH ? width : height * r;
    width = clampUpperWins(led, std::max(minW, minH * r), std::min(maxW, maxH * r));
    height = width / r;
  }
  double cx = yCenterX + (left ? -1 : 1) * (width - cW + 2 * m);
  double cy = xCenterY + (top ? -1 : 1) * (height - cH + 2 * m);
  corner->setCenter(CGPointMake(cx, cy));
  CGRect moved = corner->frame();
  xPartner->setFrame(CGRectMake(CGRectGetMinX(moved), X.origin.y, X.size.width, X.size.height));
  yPartner->setFrame(CGRectMake(Y.origin.x, CGRectGetMinY(moved), Y.size.width, Y.size.height));
  resetCropAreaOnCornersFrameChanged();
  resetCropTransparentArea();
}

void TKImageView::handleMidPan(UIPanGestureRecognizer& pan) {
  auto mid = std::dynamic_pointer_cast<MidLineView>(pan.view());
  if (!mid) return;
  if (pan.state() == UIGestureRecognizerStateBegan) {
    cropAreaOriFrame_ = cropAreaView_->frame();
    return;
  }
  if (pan.state() != UIGestureRecognizerStateChanged) return;
  CGPoint d = pan.translationInView(cropAreaView_.get());
  CGRect F = cropAreaOriFrame_;
  CGSize is = imageView_->bounds().size;
  double ms = currentMinSpace_;
  double k = cornerLineWidth_ - borderLineWidth_;
  double minH = ms + 2 * (cornerHeight_ - cornerLineWidth_ + borderLineWidth_);
  double minW = ms + 2 * (cornerWidth_ - cornerLineWidth_ + borderLineWidth_);
  CGRect f = F;
  switch (mid->type()) {
    case 0: {
      double h = clampUpperWins(F.size.height - d.y, minH, CGRectGetMaxY(F) - k);
      f = CGRectMake(F.origin.x, F.origin.y - (h - F.size.height), F.size.width, h);
      break;
    }
    case 1: {
      double h = clampUpperWins(F.size.height + d.y, minH, is.height - CGRectGetMinY(F) - k);
      f = CGRectMake(F.origin.x, F.origin.y, F.size.width, h);
      break;
    }
    case 2: {
      double w = clampUpperWins(F.size.width - d.x, minW, CGRectGetMaxX(F) - k);
      f = CGRectMake(F.origin.x - (w - F.size.width), F.origin.y, w, F.size.height);
      break;
    }
    default: {
      double w = clampUpperWins(F.size.width + d.x, minW, is.width - CGRectGetMinX(F) - k);
      f = CGRectMake(F.origin.x, F.origin.y, w, F.size.height);
      break;
    }
  }
  cropAreaView_->setFrame(f);
  resetCornersOnCropAreaFrameChanged();
}

void TKImageView::handleCropAreaPinch(UIPinchGestureRecognizer& pinch) {
  if (pinch.state() == UIGestureRecognizerStateBegan) {
    pinchOriSize_ = cropAreaView_->bounds().size;
    return;
  }
  if (pinch.state() != UIGestureRecognizerStateChanged) return;
  scaleCropArea(pinchOriSize_, pinch.scale());
}

void TKImageView::cropAreaBoundsChanged() {
  // A change of bounds alone is not announced: the mask and mid lines follow here.
  resetCornersOnCropAreaFrameChanged();
  if (showMidLines_) resetMidLines();
  resetCropTransparentArea();
}

void TKImageView::scaleCropArea(CGSize start, double scale) {
  if (!std::isfinite(scale)) return;
  CGPoint c = cropAreaView_->center();
  double cx = c.x, cy = c.y;
  CGSize is = imageView_->bounds().size;
  double IW = is.width, IH = is.height, mi = innerMargin(), r = cropAspectRatio_;
  double w = start.width * scale, h = start.height * scale;
  // The smallest side a corner drag leaves, so that every gesture stops at the same size.
  double q = currentMinSpace_ + 2 * cornerWidth_ - 2 * cornerMargin();
  double width = w, height = h;
  if (r <= 1 && w <= q) {
    width = q;
    height = q / (r == 0 ? 1 : r);
  } else if (r > 1 && h <= q) {
    width = r * q;
    height = q;
  } else if (r == 0) {
    width = std::min(w, IW - 2 * mi);
    height = std::min(h, IH - 2 * mi);
  } else if (imageAspectRatio_ > r) {
    height = std::min(h, IH - 2 * mi);
    width = height * r;
  } else {
    width = std::min(w, IW - 2 * mi);
    height = width / r;
  }
  // Never larger than the image, keeping the ratio; then pulled in from the edges it reaches.
  if (width > IW - 2 * mi) {
    width = std::max(IW - 2 * mi, 0.0);
    if (r > 0) height = width / r;
  }
  if (height > IH - 2 * mi) {
    height = std::max(IH - 2 * mi, 0.0);
    if (r > 0) width = height * r;
  }
  cx = clampUpperWins(cx, mi + width / 2, IW - width / 2 - mi);
  cy = clampUpperWins(cy, mi + height / 2, IH - height / 2 - mi);
  cropAreaView_->setBounds(CGRectMake(0, 0, width, height));
  cropAreaView_->setCenter(CGPointMake(cx, cy));
  cropAreaBoundsChanged();
}

// ---- The crop ----

UIImageRef TKImageView::currentCroppedImage() const {
  if (!toCropImage_) return nullptr;
  // The cut is made of whole bitmap pixels: each rounded edge on its own would make a square
  // a pixel off square. The width is rounded once, the height follows from it by the ratio
  // (or is rounded once when free), and the rectangle is moved, not clipped, onto the bitmap.
  double s = toCropImage_->scale();
  if (!(s > 0) || !std::isfinite(s)) s = 1;
  double pixelW = std::round(toCropImage_->size().width * s);
  double pixelH = std::round(toCropImage_->size().height * s);
  if (!(pixelW >= 1) || !(pixelH >= 1)) return nullptr;
  double r = cropAspectRatio_;
  double scale = imageView_->bounds().size.width / toCropImage_->size().width;
  bool shown = scale > 0 && std::isfinite(scale);
  CGRect c = cropAreaView_->frame();
  CGSize shownSize = imageView_->bounds().size;
  // An image thinner on screen than the smallest crop area (1000 x 10, say) leaves the area no
  // room inside its borders: the cut is then the largest rectangle of the ratio the image holds,
  // about the area's centre, so it covers at least a whole pixel.
  bool thin = !shown || std::min(shownSize.width, shownSize.height) < std::max(minSpace_, 1.0);
  double w, h, x = 0, y = 0, cx = 0, cy = 0;  // thin: the cut's centre in pixels
  if (!thin) {
    double b = borderLineWidth_;
    CGRect rect = CGRectMake((c.origin.x + b) / scale, (c.origin.y + b) / scale,
                             (c.size.width - 2 * b) / scale, (c.size.height - 2 * b) / scale);
    if (!(rect.size.width > 0) || !(rect.size.height > 0)) return nullptr;
    w = std::round(rect.size.width * s);
    h = r > 0 ? std::round(w / r) : std::round(rect.size.height * s);
    x = std::round(rect.origin.x * s);
    y = std::round(rect.origin.y * s);
  } else {
    w = pixelW;
    h = r > 0 ? std::max(1.0, std::round(w / r)) : pixelH;
    cx = shown ? CGRectGetMidX(c) / scale * s : pixelW / 2;
    cy = shown ? CGRectGetMidY(c) / scale * s : pixelH / 2;
    if (!std::isfinite(cx) || !std::isfinite(cy)) cx = pixelW / 2, cy = pixelH / 2;
  }
  if (w > pixelW) {
    w = pixelW;
    if (r > 0) h = std::max(1.0, std::round(w / r));
  }
  if (h > pixelH) {
    h = pixelH;
    if (r > 0) w = std::max(1.0, std::round(h * r));
  }
  if (!(w >= 1) || !(h >= 1)) return nullptr;
  if (thin) x = std::round(cx - w / 2), y = std::round(cy - h / 2);
  x = clampUpperWins(x, 0, pixelW - w);
  y = clampUpperWins(y, 0, pixelH - h);
  return imageAtRect(toCropImage_, CGRectMake(x / s, y / s, w / s, h / s));
}
