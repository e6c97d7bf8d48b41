#pragma once
// UIButton: a control with a title, title colour, image and background image per state; a state
// without its own value falls back to the normal state's. The title label and image view are
// subviews made on first use. The intrinsic size is the content (image beside title) plus the
// content insets; an empty button measures 30 x 34, as the platform's does. The title is laid
// out inside the bounds: a title wider or taller than the button is cut to them.
// Main thread only.

#include <map>
#include <string>

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"

namespace plat {

enum UIButtonType : int64_t { UIButtonTypeCustom = 0, UIButtonTypeSystem = 1 };

class UIButton : public UIControl {
 public:
  explicit UIButton(CGRect frame = CGRectZero);
  std::string className() const override { return "UIButton"; }
  static std::shared_ptr<UIButton> buttonWithType(UIButtonType type);

  UIButtonType buttonType() const { return type_; }

  void setTitleForState(const std::string& title, uint64_t state);
  virtual void setTitleColorForState(UIColorRef color, uint64_t state);
  void setImageForState(UIImageRef image, uint64_t state);
  void setBackgroundImageForState(UIImageRef image, uint64_t state);
  // Per-state values; a state without its own falls back to the normal state ("" / nil when
  // neither is set).
  std::string titleForState(uint64_t state) const;
  UIColorRef titleColorForState(uint64_t state) const;
  UIImageRef imageForState(uint64_t state) const;
  UIImageRef backgroundImageForState(uint64_t state) const;
  // Values for the current state, with the normal-state fallback.
  std::string currentTitle() const;
  UIColor currentTitleColor() const;
  UIImageRef currentImage() const;
  UIImageRef currentBackgroundImage() const;

  std::shared_ptr<UILabel> titleLabel();
  std::shared_ptr<UIImageView> imageView();
  UIEdgeInsets contentEdgeInsets() const { return contentInsets_; }
  void setContentEdgeInsets(UIEdgeInsets i);
  UIEdgeInsets titleEdgeInsets() const { return titleInsets_; }
  void setTitleEdgeInsets(UIEdgeInsets i);
  UIEdgeInsets imageEdgeInsets() const { return imageInsets_; }
  void setImageEdgeInsets(UIEdgeInsets i);

  CGSize intrinsicContentSize() const override;
  CGSize sizeThatFits(CGSize size) const override;
  void layoutSubviews() override;
  void drawBuiltInContent(CGContextRef c) const override;

 protected:
  void stateDidChange() override;

 private:
  template <class V>
  static V lookup(const std::map<uint64_t, V>& m, uint64_t state, bool fallback);
  void updateContent();
  CGSize contentSize() const;

  UIButtonType type_ = UIButtonTypeCustom;
  std::map<uint64_t, std::string> titles_;
  std::map<uint64_t, UIColorRef> titleColors_;
  std::map<uint64_t, UIImageRef> images_;
  std::map<uint64_t, UIImageRef> backgrounds_;
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UIImageView> imageView_;
  UIEdgeInsets contentInsets_, titleInsets_, imageInsets_;
};

}  // namespace plat
