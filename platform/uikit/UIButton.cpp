#include "platform/uikit/UIButton.h"

#include <algorithm>
#include <cmath>

namespace plat {

UIButton::UIButton(CGRect frame) : UIControl(frame) { setOpaque(false); }

std::shared_ptr<UIButton> UIButton::buttonWithType(UIButtonType type) {
  auto b = make<UIButton>();
  b->type_ = type;
  return b;
}

template <class V>
V UIButton::lookup(const std::map<uint64_t, V>& m, uint64_t state, bool fallback) {
  auto it = m.find(state);
  if (it != m.end() && it->second) return it->second;
  if (fallback) {
    // Selected+highlighted falls back to selected before normal.
    if ((state & UIControlStateSelected) && state != UIControlStateSelected) {
      auto s = m.find(UIControlStateSelected);
      if (s != m.end() && s->second) return s->second;
    }
    auto n = m.find(UIControlStateNormal);
    if (n != m.end()) return n->second;
  }
  return V{};
}

template <>
std::string UIButton::lookup(const std::map<uint64_t, std::string>& m, uint64_t state,
                             bool fallback) {
  auto it = m.find(state);
  if (it != m.end() && !it->second.empty()) return it->second;
  if (fallback) {
    if ((state & UIControlStateSelected) && state != UIControlStateSelected) {
      auto s = m.find(UIControlStateSelected);
      if (s != m.end() && !s->second.empty()) return s->second;
    }
    auto n = m.find(UIControlStateNormal);
    if (n != m.end()) return n->second;
  }
  return {};
}

void UIButton::setTitleForState(const std::string& title, uint64_t state) {
  titles_[state] = title;
  updateContent();
}
void UIButton::setTitleColorForState(UIColorRef color, uint64_t state) {
  titleColors_[state] = color;
  updateContent();
}
void UIButton::setImageForState(UIImageRef image, uint64_t state) {
  images_[state] = std::move(image);
  updateContent();
}
void UIButton::setBackgroundImageForState(UIImageRef image, uint64_t state) {
  backgrounds_[state] = std::move(image);
  setNeedsDisplay();
}

std::string UIButton::titleForState(uint64_t state) const { return lookup(titles_, state, true); }
UIColorRef UIButton::titleColorForState(uint64_t state) const {
  return lookup(titleColors_, state, true);
}
UIImageRef UIButton::imageForState(uint64_t state) const { return lookup(images_, state, true); }
UIImageRef UIButton::backgroundImageForState(uint64_t state) const {
  return lookup(backgrounds_, state, true);
}

std::string UIButton::currentTitle() const { return lookup(titles_, state(), true); }
UIColor UIButton::currentTitleColor() const {
  UIColorRef c = lookup(titleColors_, state(), true);
  if (c) return *c;
  return type_ == UIButtonTypeSystem ? tintColor() : UIColor::whiteColor();
}
UIImageRef UIButton::currentImage() const { return lookup(images_, state(), true); }
UIImageRef UIButton::currentBackgroundImage() const { return lookup(backgrounds_, state(), true); }

std::shared_ptr<UILabel> UIButton::titleLabel() {
  if (!titleLabel_) {
    titleLabel_ = make<UILabel>();
    titleLabel_->setFont(UIFont::systemFontOfSize(type_ == UIButtonTypeSystem ? 15 : 18));
    titleLabel_->setTextAlignment(NSTextAlignmentCenter);
    addSubview(titleLabel_);
    updateContent();
  }
  return titleLabel_;
}

std::shared_ptr<UIImageView> UIButton::imageView() {
  if (!imageView_) {
    imageView_ = make<UIImageView>();
    addSubview(imageView_);
    updateContent();
  }
  return imageView_;
}

void UIButton::setContentEdgeInsets(UIEdgeInsets i) {
  contentInsets_ = i;
  invalidateIntrinsicContentSize();
}
void UIButton::setTitleEdgeInsets(UIEdgeInsets i) {
  titleInsets_ = i;
  setNeedsLayout();
}
void UIButton::setImageEdgeInsets(UIEdgeInsets i) {
  imageInsets_ = i;
  setNeedsLayout();
}

void UIButton::stateDidChange() { updateContent(); }

void UIButton::updateContent() {
  std::string title = currentTitle();
  if (!title.empty() && !titleLabel_) {
    titleLabel();  // creates it and calls back here
    return;
  }
  if (titleLabel_) {
    titleLabel_->setText(title);
    titleLabel_->setTextColor(currentTitleColor());
    titleLabel_->setHidden(title.empty());
  }
  UIImageRef img = currentImage();
  if (img && !imageView_) {
    imageView();
    return;
  }
  if (imageView_) {
    imageView_->setImage(img);
    imageView_->setHidden(!img);
  }
  invalidateIntrinsicContentSize();
  setNeedsDisplay();
}

CGSize UIButton::contentSize() const {
  CGSize title = CGSizeZero, image = CGSizeZero;
  std::string t = currentTitle();
  if (!t.empty()) {
    UIFont font = titleLabel_ ? titleLabel_->font()
                              : UIFont::systemFontOfSize(type_ == UIButtonTypeSystem ? 15 : 18);
    CGSize s = NSStringSizeWithFont(t, font);
    title = CGSizeMake(std::ceil(s.width), std::ceil(s.height));
  }
  if (auto img = currentImage()) image = img->size();
  return CGSizeMake(title.width + image.width, std::max(title.height, image.height));
}

CGSize UIButton::intrinsicContentSize() const {
  CGSize c = contentSize();
  if (c.width == 0 && c.height == 0 && !currentBackgroundImage()) return CGSizeMake(30, 34);
  if (auto bg = currentBackgroundImage()) {
    c.width = std::max(c.width, bg->size().width);
    c.height = std::max(c.height, bg->size().height);
  }
  return CGSizeMake(c.width + contentInsets_.left + contentInsets_.right,
                    c.height + contentInsets_.top + contentInsets_.bottom);
}

CGSize UIButton::sizeThatFits(CGSize) const { return intrinsicContentSize(); }

void UIButton::layoutSubviews() {
  CGRect content = UIEdgeInsetsInsetRect(bounds(), contentInsets_);
  CGSize title = CGSizeZero, image = CGSizeZero;
  if (titleLabel_ && !titleLabel_->text().empty()) title = titleLabel_->intrinsicContentSize();
  if (imageView_ && imageView_->image()) image = imageView_->image()->size();
  double total = title.width + image.width;
  // The x at which the image and title, side by side, start within area.
  auto xIn = [&](CGRect area) {
    switch (contentHorizontalAlignment()) {
      case UIControlContentHorizontalAlignmentLeft:
      case UIControlContentHorizontalAlignmentFill: return area.origin.x;
      case UIControlContentHorizontalAlignmentRight: return CGRectGetMaxX(area) - total;
      default: return area.origin.x + (area.size.width - total) / 2;
    }
  };
  auto yIn = [&](CGRect area, double h) {
    switch (contentVerticalAlignment()) {
      case UIControlContentVerticalAlignmentTop: return area.origin.y;
      case UIControlContentVerticalAlignmentBottom: return CGRectGetMaxY(area) - h;
      default: return area.origin.y + (area.size.height - h) / 2;
    }
  };
  if (imageView_) {
    CGRect r = CGRectMake(xIn(content), yIn(content, image.height), image.width, image.height);
    imageView_->setFrame(UIEdgeInsetsInsetRect(r, imageInsets_));
  }
  if (titleLabel_) {
    // The title insets move the title's area: the title keeps its own width and is cut short
    // only where the moved area has no room for it.
    CGRect area = UIEdgeInsetsInsetRect(content, titleInsets_);
    double x = xIn(area) + image.width;
    double w = std::min(title.width, std::max(0.0, CGRectGetMaxX(area) - x));
    if (contentHorizontalAlignment() == UIControlContentHorizontalAlignmentFill)
      w = std::max(0.0, area.size.width - image.width);
    // A button draws nothing outside its bounds: a title wider or taller than the button
    // (centred, it would start before the button's left edge) is cut to them.
    CGRect frame = CGRectMake(x, yIn(area, title.height), w, title.height);
    CGRect clipped = CGRectIntersection(frame, bounds());
    if (CGRectIsNull(clipped)) clipped = CGRectMake(frame.origin.x, frame.origin.y, 0, 0);
    titleLabel_->setFrame(clipped);
  }
}

void UIButton::drawBuiltInContent(CGContextRef c) const {
  if (auto bg = currentBackgroundImage())
    UIDrawImageUpright(c, bounds(), bg->CGImage(), 1, kCGBlendModeNormal);
}

}  // namespace plat
