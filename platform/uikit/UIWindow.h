#pragma once
// UIWindow: the root of a view tree that is on screen. Windows register themselves on creation
// (UIApplication::windows lists them, weakly). A window shows its root view controller's view.
// Main thread only.

#include <memory>
#include <vector>

#include "platform/uikit/UIView.h"

namespace plat {

class UIViewController;
using UIWindowLevel = double;
inline constexpr UIWindowLevel UIWindowLevelNormal = 0;
inline constexpr UIWindowLevel UIWindowLevelStatusBar = 1000;
inline constexpr UIWindowLevel UIWindowLevelAlert = 2000;

class UIWindow : public UIView {
 public:
  explicit UIWindow(CGRect frame = CGRectZero);
  ~UIWindow() override;
  void didInit() override;
  std::string className() const override { return "UIWindow"; }

  // Every live window, lowest level first (creation order within a level).
  static std::vector<std::shared_ptr<UIWindow>> allWindows();

  std::shared_ptr<UIViewController> rootViewController() const { return root_; }
  // Installs the controller's view as the window's content, sized to the window.
  void setRootViewController(const std::shared_ptr<UIViewController>& vc);
  void makeKeyWindow();
  void makeKeyAndVisible();
  bool isKeyWindow() const;
  UIWindowLevel windowLevel() const { return level_; }
  void setWindowLevel(UIWindowLevel l) { level_ = l; }
  // Insets of the screen's unsafe areas (status bar, home indicator), set by the host or tests.
  UIEdgeInsets windowSafeAreaInsets() const { return safeInsets_; }
  void setWindowSafeAreaInsets(UIEdgeInsets i) { safeInsets_ = i; }
  // The presented controller on top of the root's presentation chain, or the root.
  std::shared_ptr<UIViewController> topViewController() const;

 private:
  std::shared_ptr<UIViewController> root_;
  UIWindowLevel level_ = UIWindowLevelNormal;
  UIEdgeInsets safeInsets_;
};

}  // namespace plat
