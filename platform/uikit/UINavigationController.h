#pragma once
// UINavigationController: a stack of child controllers with a navigation bar at the top (the
// top controller's title, its navigation item's prompt above it, bar buttons left and right,
// a back button when something lies below) and an optional toolbar at the bottom showing the
// top controller's toolbar items (hidden at first). The top controller's view fills the space
// between the bars.
//
// Appearance: pushed and popped controllers hear viewWillAppear/viewWillDisappear inside the
// call and viewDidAppear/viewDidDisappear posted to the main queue, and only while the
// navigation controller itself has appeared (it passes its own appearance calls on to the top
// controller). isMovingToParentViewController holds for a pushed controller until its
// viewDidAppear, isMovingFromParentViewController for a popped one until its
// viewDidDisappear. Animated and plain changes behave the same.
//
// Bars draw their contents when rendered, from the stack as it is then; a tap on a bar item
// runs its action (a disabled item ignores it), a tap on the back button pops.
// Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIViewController.h"

namespace plat {

enum UIBarButtonSystemItem : int64_t {
  UIBarButtonSystemItemDone = 0,
  UIBarButtonSystemItemCancel = 1,
  UIBarButtonSystemItemFlexibleSpace = 5,
  UIBarButtonSystemItemFixedSpace = 6,
};

enum UIBarButtonItemStyle : int64_t {
  UIBarButtonItemStylePlain = 0,
  UIBarButtonItemStyleDone = 2,
};

class UIBarButtonItem : public Object {
 public:
  using Action = std::function<void(const std::shared_ptr<UIBarButtonItem>& sender)>;

  UIBarButtonItem() = default;
  std::string className() const override { return "UIBarButtonItem"; }
  static std::shared_ptr<UIBarButtonItem> itemWithTitle(std::string title,
                                                        UIBarButtonItemStyle style,
                                                        Action action = {});
  // Done shows "Done" (bold), Cancel "Cancel"; spaces show nothing.
  static std::shared_ptr<UIBarButtonItem> itemWithSystemItem(UIBarButtonSystemItem item,
                                                             Action action = {});

  const std::string& title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }
  UIBarButtonItemStyle style() const { return style_; }
  void setStyle(UIBarButtonItemStyle s) { style_ = s; }
  // nullopt for an item that is no system item.
  std::optional<UIBarButtonSystemItem> systemItem() const { return systemItem_; }
  bool isSpace() const {
    return systemItem_ == UIBarButtonSystemItemFlexibleSpace ||
           systemItem_ == UIBarButtonSystemItemFixedSpace;
  }
  // A fixed space's width.
  double width() const { return width_; }
  void setWidth(double w) { width_ = w; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool e) { enabled_ = e; }
  void setAction(Action a) { action_ = std::move(a); }
  // The title colour of a state (normal or disabled); a state without one falls back to the
  // default: the tint colour when enabled, grey when disabled.
  void setTitleColorForState(UIColorRef color, UIControlState state);
  UIColorRef titleColorForState(UIControlState state) const;
  // The colour the title is drawn in now.
  UIColor currentTitleColor() const;

  // The user taps the item: runs the action when enabled. Returns whether it ran.
  bool press();

 private:
  std::string title_;
  UIBarButtonItemStyle style_ = UIBarButtonItemStylePlain;
  std::optional<UIBarButtonSystemItem> systemItem_;
  double width_ = 0;
  bool enabled_ = true;
  Action action_;
  UIColorRef normalColor_, disabledColor_;
};
using UIBarButtonItemRef = std::shared_ptr<UIBarButtonItem>;

class UINavigationItem : public Object {
 public:
  std::string className() const override { return "UINavigationItem"; }
  // Empty: the controller's title is shown.
  const std::string& title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }
  // Shown above the title when not empty; the bar grows by kPromptHeight.
  const std::string& prompt() const { return prompt_; }
  void setPrompt(std::string p) { prompt_ = std::move(p); }
  // A view shown in the bar in place of the title text, centred between the buttons. It keeps
  // its size, limited to the room there; a view that has zero size when the bar first shows it
  // is sized to fit (sizeThatFits: of that room) whenever the bar lays out, so a label follows
  // its text. Setting it relays out the bar that shows the item.
  UIViewRef titleView() const { return titleView_; }
  void setTitleView(UIViewRef v);
  UIBarButtonItemRef leftBarButtonItem() const { return left_; }
  void setLeftBarButtonItem(UIBarButtonItemRef i) { left_ = std::move(i); }
  UIBarButtonItemRef rightBarButtonItem() const { return right_; }
  void setRightBarButtonItem(UIBarButtonItemRef i) { right_ = std::move(i); }

 private:
  friend class UINavigationBar;
  std::string title_, prompt_;
  UIBarButtonItemRef left_, right_;
  UIViewRef titleView_;
  // The bar showing this item now, if any.
  std::weak_ptr<UIView> bar_;
};
using UINavigationItemRef = std::shared_ptr<UINavigationItem>;

class UINavigationBar;
class UIToolbar;

class UINavigationController : public UIViewController {
 public:
  static constexpr double kBarHeight = 44;
  static constexpr double kPromptHeight = 30;

  UINavigationController() = default;
  std::string className() const override { return "UINavigationController"; }
  static std::shared_ptr<UINavigationController> navigationControllerWithRootViewController(
      const UIViewControllerRef& root);

  void loadView() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;

  // The stack, root first.
  std::vector<UIViewControllerRef> viewControllers() const;
  UIViewControllerRef topViewController() const;
  // Pushing a controller already in a stack (or nullptr) is refused.
  void pushViewControllerAnimated(const UIViewControllerRef& vc, bool animated);
  // The root stays: nullptr when only the root is left.
  UIViewControllerRef popViewControllerAnimated(bool animated);
  std::vector<UIViewControllerRef> popToRootViewControllerAnimated(bool animated);

  std::shared_ptr<UINavigationBar> navigationBar();
  std::shared_ptr<UIToolbar> toolbar();
  bool isToolbarHidden() const { return toolbarHidden_; }
  void setToolbarHidden(bool hidden) { setToolbarHiddenAnimated(hidden, false); }
  void setToolbarHiddenAnimated(bool hidden, bool animated);

  // Internal: places the bars and the top controller's view in the container.
  void layoutContainer();

 private:
  void showTop(const UIViewControllerRef& incoming, const UIViewControllerRef& outgoing,
               bool pushing, bool animated);

  std::shared_ptr<UINavigationBar> bar_;
  std::shared_ptr<UIToolbar> toolbar_;
  bool toolbarHidden_ = true;
  bool appeared_ = false;
};
using UINavigationControllerRef = std::shared_ptr<UINavigationController>;

// The bar at the top of a navigation controller.
class UINavigationBar : public UIView {
 public:
  std::string className() const override { return "UINavigationBar"; }
  // The rectangles of the left (or back) and right buttons in bar coordinates; empty when
  // there is none.
  CGRect leftItemRect() const;
  CGRect rightItemRect() const;
  // Whether the left button is the back button.
  bool showsBackButton() const;
  // The rectangle of the top item's title view in bar coordinates; empty when it has none.
  CGRect titleViewRect() const;
  void drawBuiltInContent(CGContextRef c) const override;
  // Shows the top item's title view (and only it) as a subview, at titleViewRect.
  void layoutSubviews() override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;

 private:
  friend class UINavigationController;
  UIViewControllerRef top() const;
  std::weak_ptr<UINavigationController> nav_;
  // The title view this bar placed as its subview, and whether it came with zero size (the bar
  // then sizes it to fit on every layout, so that it follows its content).
  UIViewRef shownTitleView_;
  bool fitTitleView_ = false;
};

// A toolbar: a bar tinted light grey (translucent by default). At the bottom of a navigation
// controller it shows the top controller's items in a row, flexible spaces sharing what the
// others leave.
class UIToolbar : public UIView {
 public:
  explicit UIToolbar(CGRect frame = CGRectZero);
  std::string className() const override { return "UIToolbar"; }
  UIColorRef barTintColor() const { return barTint_; }
  void setBarTintColor(UIColorRef c);
  bool isTranslucent() const { return translucent_; }
  void setTranslucent(bool t) { translucent_ = t; }
  int64_t barStyle() const { return barStyle_; }
  void setBarStyle(int64_t s) { barStyle_ = s; }
  std::vector<UIBarButtonItemRef> items() const;
  // The items' rectangles in toolbar coordinates, in order.
  std::vector<CGRect> itemRects() const;
  void drawBuiltInContent(CGContextRef c) const override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;

 private:
  friend class UINavigationController;
  std::weak_ptr<UINavigationController> nav_;
  UIColorRef barTint_;
  bool translucent_ = true;
  int64_t barStyle_ = 0;
};

}  // namespace plat
