#pragma once
// HVDropdownMenu: a compact selector. A button shows the current title with an arrow at its
// right; tapping it lifts the button and an option table onto a transparent cover over the
// key window and unfolds the table below the button while the arrow turns half a circle.
// Choosing an option makes it the title, tells the delegate and folds the list; a tap
// anywhere else on the cover folds it without a choice.
//
// Opening needs a key window. Showing while open and hiding while closed do nothing; a show
// during a fold first ends the fold at once, silently. A delegate may show or hide the menu
// from inside any of its callbacks: the latest call wins, and the button's selected state and
// isOpened follow the list, so the next tap always opens or folds it. A new frame set while
// open applies once the list has folded. A menu that leaves its window, or is destroyed,
// while open takes its cover away at once. The menu takes at most kMaxOptionCount options of
// the count its data source answers, and a negative or non-finite option height as 0.
//
// The view fields (mainBtn, arrowMark, optionsList, floatView, coverView) may be replaced or
// set to nullptr at any time; their setters only store. Each step works on the views stored
// when it runs and skips a missing one. A fold also puts back what its opening did to views
// replaced meanwhile: the button it selected is cleared, the arrow it turned turns back, the
// float view it lifted returns into the menu, and every cover it put over the window goes.
//
// Main thread only. Lengths in points, times in seconds.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UITableView.h"
#include "platform/uikit/UIWindow.h"

class HVDropdownMenu;

class HVDropdownMenuDataSource {
 public:
  virtual ~HVDropdownMenuDataSource() = default;
  virtual uint64_t numberOfOptionsInDropdownMenu(HVDropdownMenu& menu) = 0;
  virtual double dropdownMenuHeightForOptionAtIndex(HVDropdownMenu& menu, uint64_t index) = 0;
  virtual std::string dropdownMenuTitleForOptionAtIndex(HVDropdownMenu& menu, uint64_t index) = 0;
  // Optional: std::nullopt means "not implemented" (the icon views stay empty).
  virtual std::optional<plat::UIImageRef> dropdownMenuIconForOptionAtIndex(HVDropdownMenu& menu,
                                                                           uint64_t index) {
    return std::nullopt;
  }
};

// Every operation is optional; the defaults do nothing.
class HVDropdownMenuDelegate {
 public:
  virtual ~HVDropdownMenuDelegate() = default;
  virtual void dropdownMenuWillShow(HVDropdownMenu& menu) {}
  virtual void dropdownMenuDidShow(HVDropdownMenu& menu) {}
  virtual void dropdownMenuWillHidden(HVDropdownMenu& menu) {}
  virtual void dropdownMenuDidHidden(HVDropdownMenu& menu) {}
  virtual void dropdownMenuDidSelectOptionAtIndexOptionTitle(HVDropdownMenu& menu, uint64_t index,
                                                             const std::string& title) {}
};

class HVDropdownMenu : public plat::UIView,
                       public plat::UIGestureRecognizerDelegate,
                       public plat::UITableViewDataSource,
                       public plat::UITableViewDelegate {
 public:
  static constexpr const char* kCellIdentifier = "MenuOptionListCell";
  static constexpr int64_t kTitleLabelTag = 999, kIconViewTag = 888;
  // The most options one list shows: far more than a selector holds, and few enough that the
  // heights measured on opening stay small.
  static constexpr uint64_t kMaxOptionCount = 1000;

  // Use plat::make<HVDropdownMenu>(frame).
  explicit HVDropdownMenu(plat::CGRect frame = plat::CGRectZero);
  ~HVDropdownMenu() override;
  void didInit() override;
  void awakeFromNib();
  std::string className() const override { return "HVDropdownMenu"; }

  // Applies the frame and re-frames the parts; while open, both wait until the list folded.
  void setFrame(plat::CGRect frame) override;

  // ---- Properties (see the setters for those that update views) ----
  double listHeight() const { return listHeight_; }
  const std::vector<double>& cellHeights() const { return cellHeights_; }
  bool isOpened() const { return isOpened_; }
  std::shared_ptr<HVDropdownMenuDataSource> dataSource() const { return dataSource_.lock(); }
  void setDataSource(std::weak_ptr<HVDropdownMenuDataSource> d) { dataSource_ = std::move(d); }
  std::shared_ptr<HVDropdownMenuDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<HVDropdownMenuDelegate> d) { delegate_ = std::move(d); }
  const std::string& title() const { return title_; }
  void setTitle(const std::string& title);
  plat::UIColorRef titleBgColor() const { return titleBgColor_; }
  void setTitleBgColor(plat::UIColorRef color);
  const plat::UIFont& titleFont() const { return titleFont_; }
  void setTitleFont(const plat::UIFont& font);
  plat::UIColorRef titleColor() const { return titleColor_; }
  void setTitleColor(plat::UIColorRef color);
  // 0 left, 1 centre, 2 right; other values are stored without a view change.
  int64_t titleAlignment() const { return titleAlignment_; }
  void setTitleAlignment(int64_t alignment);
  plat::UIEdgeInsets titleEdgeInsets() const { return titleEdgeInsets_; }
  void setTitleEdgeInsets(plat::UIEdgeInsets insets);
  double rotateIconRight() const { return rotateIconRight_; }
  void setRotateIconRight(double gap) { rotateIconRight_ = gap; }
  plat::UIImageRef rotateIcon() const { return rotateIcon_; }
  void setRotateIcon(plat::UIImageRef icon);
  plat::CGSize rotateIconSize() const { return rotateIconSize_; }
  void setRotateIconSize(plat::CGSize size);
  plat::UIColorRef optionBgColor() const { return optionBgColor_; }
  void setOptionBgColor(plat::UIColorRef c) { optionBgColor_ = c; }
  const plat::UIFont& optionFont() const { return optionFont_; }
  void setOptionFont(const plat::UIFont& f) { optionFont_ = f; }
  plat::UIColorRef optionTextColor() const { return optionTextColor_; }
  void setOptionTextColor(plat::UIColorRef c) { optionTextColor_ = c; }
  int64_t optionTextAlignment() const { return optionTextAlignment_; }
  void setOptionTextAlignment(int64_t a) { optionTextAlignment_ = a; }
  int64_t optionNumberOfLines() const { return optionNumberOfLines_; }
  void setOptionNumberOfLines(int64_t n) { optionNumberOfLines_ = n; }
  plat::UIColorRef optionLineColor() const { return optionLineColor_; }
  void setOptionLineColor(plat::UIColorRef c) { optionLineColor_ = c; }
  plat::CGSize optionIconSize() const { return optionIconSize_; }
  void setOptionIconSize(plat::CGSize s) { optionIconSize_ = s; }
  double animateTime() const { return animateTime_; }
  void setAnimateTime(double t) { animateTime_ = t; }
  std::shared_ptr<plat::UIButton> mainBtn() const { return mainBtn_; }
  void setMainBtn(std::shared_ptr<plat::UIButton> b) { mainBtn_ = std::move(b); }
  std::shared_ptr<plat::UIImageView> arrowMark() const { return arrowMark_; }
  void setArrowMark(std::shared_ptr<plat::UIImageView> v) { arrowMark_ = std::move(v); }
  std::shared_ptr<plat::UITableView> optionsList() const { return optionsList_; }
  void setOptionsList(std::shared_ptr<plat::UITableView> t) { optionsList_ = std::move(t); }
  plat::UIViewRef floatView() const { return floatView_; }
  void setFloatView(plat::UIViewRef v) { floatView_ = std::move(v); }
  // The cover, created on first read after each close; nullptr without a key window. A new
  // cover goes onto the key window when the list opens, or at once when read while it is open,
  // so that a read while closed leaves nothing over the window. Opening puts a stored cover
  // that has no superview onto the key window; folding takes the stored cover away too.
  plat::UIViewRef coverView();
  void setCoverView(plat::UIViewRef v) { coverView_ = std::move(v); }
  bool hasCoverView() const { return coverView_ != nullptr; }

  // ---- Operations ----
  void reloadOptionsData();
  void showDropDown();
  void hideDropDown();
  // Folds while the list is shown, else opens it. This is the button's selected state whenever
  // the button is the one stored, and it also holds for a button replaced meanwhile.
  void clickMainBtn(plat::UIButton& button);
  std::shared_ptr<plat::UIWindow> getCurrentKeyWindow() const;
  plat::CGPoint getScreenPosition() const;

  // UITableViewDataSource / UITableViewDelegate
  int64_t tableViewNumberOfRowsInSection(plat::UITableView& tableView, int64_t section) override;
  std::optional<double> tableViewHeightForRowAtIndexPath(plat::UITableView& tableView,
                                                         plat::NSIndexPath indexPath) override;
  plat::UITableViewCellRef tableViewCellForRowAtIndexPath(plat::UITableView& tableView,
                                                          plat::NSIndexPath indexPath) override;
  void tableViewDidSelectRowAtIndexPath(plat::UITableView& tableView,
                                        plat::NSIndexPath indexPath) override;
  // Touches on option rows go to the table, not to the cover's tap.
  std::optional<bool> gestureRecognizerShouldReceiveTouch(plat::UIGestureRecognizer& recognizer,
                                                          const plat::UITouch& touch) override;

  void layoutSubviews() override;
  void willMoveToWindow(const std::shared_ptr<plat::UIWindow>& newWindow) override;

 private:
  void initPropertys();
  void initViews();
  void initFrame(plat::CGRect frame);
  // The float view at floatOrigin with the button over it and the table under the button.
  void frameParts(plat::CGPoint floatOrigin, plat::CGSize size);
  void frameArrow(plat::CGSize buttonSize);
  uint64_t optionCount();
  double optionHeight(uint64_t index);
  // The stored float view, unless it is the menu itself, which cannot float above itself.
  plat::UIViewRef floatPart() const;
  double buttonHeight() const;
  // Adds a cover without a superview to the window, and remembers it for the fold.
  void placeCover(const plat::UIViewRef& cover, const std::shared_ptr<plat::UIWindow>& window);
  // The folded look at once: arrows turned back, float views at the button's height.
  void foldParts();
  void unselectButtons();
  // Puts everything back in the closed state at once (cover gone, float view home).
  void finishFold();

  double listHeight_ = 0;
  std::vector<double> cellHeights_;
  bool isOpened_ = false;
  bool showing_ = false;     // between a show and the next hide
  uint64_t generation_ = 0;  // bumped by every show and hide
  std::optional<plat::CGRect> pendingFrame_;
  // What the current opening did to which views, for the fold to undo even when the view
  // fields were changed meanwhile.
  struct Opening {
    std::weak_ptr<plat::UIView> floatView;
    std::weak_ptr<plat::UIButton> button;
    std::weak_ptr<plat::UIImageView> arrow;
    std::weak_ptr<plat::UITableView> list;
    std::vector<std::weak_ptr<plat::UIView>> covers;  // put over the window
  } opening_;
  std::weak_ptr<HVDropdownMenuDataSource> dataSource_;
  std::weak_ptr<HVDropdownMenuDelegate> delegate_;
  std::string title_;
  plat::UIColorRef titleBgColor_;
  plat::UIFont titleFont_;
  plat::UIColorRef titleColor_;
  int64_t titleAlignment_ = 0;
  double rotateIconRight_ = 0;
  plat::UIImageRef rotateIcon_;
  plat::UIColorRef optionBgColor_;
  plat::UIFont optionFont_;
  plat::UIColorRef optionTextColor_;
  int64_t optionTextAlignment_ = 1;
  int64_t optionNumberOfLines_ = 0;
  plat::UIColorRef optionLineColor_;
  double animateTime_ = 0.25;
  std::shared_ptr<plat::UIButton> mainBtn_;
  std::shared_ptr<plat::UIImageView> arrowMark_;
  std::shared_ptr<plat::UITableView> optionsList_;
  plat::UIViewRef floatView_;
  plat::UIViewRef coverView_;
  plat::CGSize rotateIconSize_{15, 15};
  plat::CGSize optionIconSize_{0, 0};
  plat::UIEdgeInsets titleEdgeInsets_{0, 10, 0, 10};
};
