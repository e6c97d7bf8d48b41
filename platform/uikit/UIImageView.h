#pragma once
// UIImageView: shows an image (or its highlighted image) by its content mode; animation images
// are stored and cycled only as a flag (the first frame is drawn). The intrinsic size is the
// image's size in points. Main thread only.

#include <vector>

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIView.h"

namespace plat {

class UIImageView : public UIView {
 public:
  explicit UIImageView(CGRect frame = CGRectZero);
  // Framed at (0, 0) with the image's size in points.
  explicit UIImageView(UIImageRef image);
  std::string className() const override { return "UIImageView"; }

  // The setters and the animation switches below may be overridden; subclasses store values
  // through UIImageView's own versions.
  UIImageRef image() const { return image_; }
  virtual void setImage(UIImageRef image);
  UIImageRef highlightedImage() const { return highlightedImage_; }
  virtual void setHighlightedImage(UIImageRef image);
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool h);
  const std::vector<UIImageRef>& animationImages() const { return animationImages_; }
  virtual void setAnimationImages(std::vector<UIImageRef> images);
  // Shown in place of the animation images while highlighted.
  const std::vector<UIImageRef>& highlightedAnimationImages() const {
    return highlightedAnimationImages_;
  }
  virtual void setHighlightedAnimationImages(std::vector<UIImageRef> images);
  double animationDuration() const { return animationDuration_; }
  void setAnimationDuration(double d) { animationDuration_ = d; }
  int64_t animationRepeatCount() const { return repeatCount_; }
  void setAnimationRepeatCount(int64_t n) { repeatCount_ = n; }
  // Starts cycling the animation images (the highlighted ones while highlighted); nothing
  // without any.
  virtual void startAnimating();
  virtual void stopAnimating();
  virtual bool isAnimating() const { return animating_; }

  CGSize intrinsicContentSize() const override;
  CGSize sizeThatFits(CGSize size) const override;
  void drawBuiltInContent(CGContextRef c) const override;

 private:
  UIImageRef image_, highlightedImage_;
  bool highlighted_ = false;
  std::vector<UIImageRef> animationImages_, highlightedAnimationImages_;
  double animationDuration_ = 0;
  int64_t repeatCount_ = 0;
  bool animating_ = false;
};

// Where an image of `size` goes inside `bounds` for a content mode.
CGRect UIContentModeRect(UIViewContentMode mode, CGRect bounds, CGSize size);

}  // namespace plat
