#pragma once
// MKAnnotationView: the view that marks an annotation on a map. There is no map here: the view
// stands alone and is placed like any other view. Its image is drawn over its bounds, and
// setting one sizes the frame to the image's size in points, about the view's centre (a nil
// image leaves the frame as it is). It can be highlighted and selected; neither changes what is
// drawn. Main thread only.

#include <string>

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIView.h"

namespace plat {

class MKAnnotationView : public UIView {
 public:
  explicit MKAnnotationView(std::string reuseIdentifier = "", CGRect frame = CGRectZero);
  std::string className() const override { return "MKAnnotationView"; }

  const std::string& reuseIdentifier() const { return reuseIdentifier_; }

  // Subclasses may override the setters; they store values through these versions.
  UIImageRef image() const { return image_; }
  virtual void setImage(UIImageRef image);
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected) { setSelectedAnimated(selected, false); }
  // Nothing is animated here: the flag changes at once.
  virtual void setSelectedAnimated(bool selected, bool animated) { selected_ = selected; }

  void drawBuiltInContent(CGContextRef c) const override;

 private:
  std::string reuseIdentifier_;
  UIImageRef image_;
  bool highlighted_ = false;
  bool selected_ = false;
};
using MKAnnotationViewRef = std::shared_ptr<MKAnnotationView>;

}  // namespace plat
