#include "platform/uikit/UINavigationController.h"

#include <algorithm>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/NSStringDrawing.h"
#include "platform/uikit/UIEvent.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"

namespace plat {

namespace {

const char* const kBackTitle = "Back";
constexpr double kItemPadding = 8;
constexpr double kEdgeMargin = 8;
constexpr double kItemFontSize = 17;

const UIColor kBarColor(0.97, 0.97, 0.97, 1);
const UIColor kHairlineColor(0.7, 0.7, 0.7, 1);
const UIColor kDisabledColor(0.6, 0.6, 0.6, 1);

UIFont itemFont(const UIBarButtonItemRef& item) {
  return item && item->style() == UIBarButtonItemStyleDone
             ? UIFont::boldSystemFontOfSize(kItemFontSize)
             : UIFont::systemFontOfSize(kItemFontSize);
}

double titleWidth(const std::string& title, const UIFont& font) {
  return title.empty() ? 0 : NSStringSizeWithFont(title, font).width;
}

void fill(CGContextRef c, CGRect r, const UIColor& color) {
  UIGraphicsPushContext(c);
  color.setFill();
  UIRectFill(r);
  UIGraphicsPopContext();
}

// One line of text centred vertically in rect.
void drawLine(CGContextRef c, const std::string& text, CGRect rect, const UIFont& font,
              const UIColor& color, NSTextAlignment alignment) {
  if (text.empty()) return;
  NSTextStyle style;
  style.font = font;
  style.color = color;
  style.alignment = alignment;
  style.lineBreakMode = NSLineBreakByTruncatingTail;
  style.numberOfLines = 1;
  double h = NSStringSizeWithFont(text, font).height;
  UIGraphicsPushContext(c);
  NSStringDrawInRect(text, CGRectMake(rect.origin.x, rect.origin.y + (rect.size.height - h) / 2,
                                      rect.size.width, h),
                     style);
  UIGraphicsPopContext();
}

// The navigation controller's view: lays out the bars and the top controller's view.
class NavigationContainerView : public UIView {
 public:
  using UIView::UIView;
  std::string className() const override { return "UILayoutContainerView"; }
  void layoutSubviews() override {
    if (auto nav = nav_.lock()) nav->layoutContainer();
  }
  std::weak_ptr<UINavigationController> nav_;
};

}  // namespace

// ---- UIViewController's navigation additions ----

std::shared_ptr<UINavigationItem> UIViewController::navigationItem() {
  if (!navigationItem_) navigationItem_ = std::make_shared<UINavigationItem>();
  return navigationItem_;
}

std::shared_ptr<UINavigationController> UIViewController::navigationController() const {
  auto self = std::const_pointer_cast<UIViewController>(
      std::static_pointer_cast<const UIViewController>(shared_from_this()));
  for (auto vc = self; vc; vc = vc->parentViewController())
    if (auto nav = std::dynamic_pointer_cast<UINavigationController>(vc)) return nav;
  return nullptr;
}

void UIViewController::setToolbarItems(std::vector<std::shared_ptr<UIBarButtonItem>> items) {
  toolbarItems_ = std::move(items);
  if (auto nav = navigationController(); nav && nav->isViewLoaded())
    nav->toolbar()->setNeedsDisplay();
}

// ---- UINavigationItem ----

void UINavigationItem::setTitleView(UIViewRef v) {
  if (v == titleView_) return;
  titleView_ = std::move(v);
  if (auto bar = bar_.lock()) {
    bar->setNeedsLayout();
    bar->setNeedsDisplay();
  }
}

// ---- UIBarButtonItem ----

UIBarButtonItemRef UIBarButtonItem::itemWithTitle(std::string title, UIBarButtonItemStyle style,
                                                  Action action) {
  auto item = std::make_shared<UIBarButtonItem>();
  item->title_ = std::move(title);
  item->style_ = style;
  item->action_ = std::move(action);
  return item;
}

UIBarButtonItemRef UIBarButtonItem::itemWithSystemItem(UIBarButtonSystemItem system, Action action) {
  auto item = std::make_shared<UIBarButtonItem>();
  item->systemItem_ = system;
  item->action_ = std::move(action);
  if (system == UIBarButtonSystemItemDone) {
    item->title_ = "Done";
    item->style_ = UIBarButtonItemStyleDone;
  } else if (system == UIBarButtonSystemItemCancel) {
    item->title_ = "Cancel";
  }
  return item;
}

void UIBarButtonItem::setTitleColorForState(UIColorRef color, UIControlState state) {
  if (state == UIControlStateDisabled) disabledColor_ = color;
  else if (state == UIControlStateNormal) normalColor_ = color;
}

UIColorRef UIBarButtonItem::titleColorForState(UIControlState state) const {
  if (state == UIControlStateDisabled) return disabledColor_;
  if (state == UIControlStateNormal) return normalColor_;
  return std::nullopt;
}

UIColor UIBarButtonItem::currentTitleColor() const {
  if (enabled_) return normalColor_.value_or(UIColor::defaultTintColor());
  return disabledColor_.value_or(kDisabledColor);
}

bool UIBarButtonItem::press() {
  if (!enabled_ || isSpace()) return false;
  auto action = action_;  // the action may replace itself
  if (action) action(std::static_pointer_cast<UIBarButtonItem>(shared_from_this()));
  return true;
}

// ---- UINavigationController ----

UINavigationControllerRef UINavigationController::navigationControllerWithRootViewController(
    const UIViewControllerRef& root) {
  auto nav = std::make_shared<UINavigationController>();
  nav->didInit();
  if (root) nav->pushViewControllerAnimated(root, false);
  return nav;
}

void UINavigationController::loadView() {
  auto view = make<NavigationContainerView>(UIScreen::mainScreen().bounds());
  view->nav_ = std::static_pointer_cast<UINavigationController>(shared_from_this());
  view->setBackgroundColor(UIColor::whiteColor());
  setView(view);
  auto self = std::static_pointer_cast<UINavigationController>(shared_from_this());
  bar_ = make<UINavigationBar>();
  bar_->nav_ = self;
  bar_->setBackgroundColor(kBarColor);
  toolbar_ = make<UIToolbar>();
  toolbar_->nav_ = self;
  toolbar_->setBackgroundColor(kBarColor);
  toolbar_->setHidden(toolbarHidden_);
  view->addSubview(bar_);
  view->addSubview(toolbar_);
  if (auto top = topViewController()) view->insertSubviewAtIndex(top->view(), 0);
}

std::shared_ptr<UINavigationBar> UINavigationController::navigationBar() {
  view();
  return bar_;
}

std::shared_ptr<UIToolbar> UINavigationController::toolbar() {
  view();
  return toolbar_;
}

std::vector<UIViewControllerRef> UINavigationController::viewControllers() const {
  return childViewControllers();
}

UIViewControllerRef UINavigationController::topViewController() const {
  const auto& c = childViewControllers();
  return c.empty() ? nullptr : c.back();
}

void UINavigationController::layoutContainer() {
  if (!isViewLoaded()) return;
  auto v = view();
  CGRect b = v->bounds();
  UIEdgeInsets safe = v->safeAreaInsets();
  auto top = topViewController();
  bool prompt = top && !top->navigationItem()->prompt().empty();
  double barBottom = safe.top + kBarHeight + (prompt ? kPromptHeight : 0);
  bar_->setFrame(CGRectMake(0, 0, b.size.width, barBottom));
  double toolbarHeight = kBarHeight + safe.bottom;
  toolbar_->setFrame(CGRectMake(0, b.size.height - toolbarHeight, b.size.width, toolbarHeight));
  toolbar_->setHidden(toolbarHidden_);
  bar_->setNeedsLayout();
  bar_->setNeedsDisplay();
  toolbar_->setNeedsDisplay();
  double contentBottom = toolbarHidden_ ? b.size.height : b.size.height - toolbarHeight;
  if (top)
    top->view()->setFrame(
        CGRectMake(0, barBottom, b.size.width, std::max(0.0, contentBottom - barBottom)));
}

void UINavigationController::viewWillAppear(bool animated) {
  if (auto top = topViewController()) top->viewWillAppear(animated);
}

void UINavigationController::viewDidAppear(bool animated) {
  appeared_ = true;
  if (auto top = topViewController()) top->viewDidAppear(animated);
}

void UINavigationController::viewWillDisappear(bool animated) {
  if (auto top = topViewController()) top->viewWillDisappear(animated);
}

void UINavigationController::viewDidDisappear(bool animated) {
  appeared_ = false;
  if (auto top = topViewController()) top->viewDidDisappear(animated);
}

void UINavigationController::showTop(const UIViewControllerRef& incoming,
                                     const UIViewControllerRef& outgoing, bool pushing,
                                     bool animated) {
  if (!isViewLoaded()) return;  // the views join when the container loads
  bool visible = appeared_;
  if (pushing) incoming->movingToParent_ = true;
  else if (outgoing) outgoing->movingFromParent_ = true;
  if (visible && outgoing) outgoing->viewWillDisappear(animated);
  auto inView = incoming->view();  // loads it (viewDidLoad) before it appears
  if (visible) incoming->viewWillAppear(animated);
  if (outgoing && outgoing->isViewLoaded()) outgoing->view()->removeFromSuperview();
  view()->insertSubviewAtIndex(inView, 0);
  layoutContainer();
  if (!visible) {
    incoming->movingToParent_ = false;
    if (outgoing) outgoing->movingFromParent_ = false;
    return;
  }
  dispatch_async(dispatch_get_main_queue(), [incoming, outgoing, animated] {
    if (outgoing) {
      outgoing->viewDidDisappear(animated);
      outgoing->movingFromParent_ = false;
    }
    incoming->viewDidAppear(animated);
    incoming->movingToParent_ = false;
  });
}

void UINavigationController::pushViewControllerAnimated(const UIViewControllerRef& vc,
                                                        bool animated) {
  if (!vc || vc->parentViewController() || vc.get() == this) {
    writeToStandardError("uikit: refused to push " + (vc ? vc->className() : "(null)") +
                         ": it is already in a stack");
    return;
  }
  auto outgoing = topViewController();
  addChildViewController(vc);
  showTop(vc, outgoing, true, animated);
  vc->didMoveToParentViewController(std::static_pointer_cast<UIViewController>(shared_from_this()));
}

UIViewControllerRef UINavigationController::popViewControllerAnimated(bool animated) {
  auto stack = viewControllers();
  if (stack.size() < 2) return nullptr;
  auto outgoing = stack.back();
  auto incoming = stack[stack.size() - 2];
  outgoing->willMoveToParentViewController(nullptr);
  showTop(incoming, outgoing, false, animated);
  outgoing->removeFromParentViewController();
  return outgoing;
}

std::vector<UIViewControllerRef> UINavigationController::popToRootViewControllerAnimated(
    bool animated) {
  std::vector<UIViewControllerRef> popped;
  auto stack = viewControllers();
  if (stack.size() < 2) return popped;
  auto outgoing = stack.back();
  for (size_t i = 1; i + 1 < stack.size(); ++i) {
    stack[i]->willMoveToParentViewController(nullptr);
    stack[i]->removeFromParentViewController();
    popped.push_back(stack[i]);
  }
  outgoing->willMoveToParentViewController(nullptr);
  showTop(stack.front(), outgoing, false, animated);
  outgoing->removeFromParentViewController();
  popped.push_back(outgoing);
  return popped;
}

void UINavigationController::setToolbarHiddenAnimated(bool hidden, bool) {
  if (toolbarHidden_ == hidden) return;
  toolbarHidden_ = hidden;
  if (!isViewLoaded()) return;
  layoutContainer();
}

// ---- UINavigationBar ----

UIViewControllerRef UINavigationBar::top() const {
  auto nav = nav_.lock();
  return nav ? nav->topViewController() : nullptr;
}

bool UINavigationBar::showsBackButton() const {
  auto nav = nav_.lock();
  auto t = top();
  return nav && t && !t->navigationItem()->leftBarButtonItem() &&
         nav->viewControllers().size() > 1;
}

namespace {
// The band of the bar that holds the title and buttons.
CGRect titleBand(const UINavigationBar& bar) {
  CGRect b = bar.bounds();
  return CGRectMake(0, b.size.height - UINavigationController::kBarHeight, b.size.width,
                    UINavigationController::kBarHeight);
}
}  // namespace

CGRect UINavigationBar::leftItemRect() const {
  auto t = top();
  if (!t) return CGRectZero;
  auto item = t->navigationItem()->leftBarButtonItem();
  std::string title = item ? item->title() : showsBackButton() ? kBackTitle : "";
  if (title.empty()) return CGRectZero;
  CGRect band = titleBand(*this);
  return CGRectMake(kEdgeMargin, band.origin.y,
                    titleWidth(title, itemFont(item)) + 2 * kItemPadding, band.size.height);
}

CGRect UINavigationBar::rightItemRect() const {
  auto t = top();
  auto item = t ? t->navigationItem()->rightBarButtonItem() : nullptr;
  if (!item || item->title().empty()) return CGRectZero;
  CGRect band = titleBand(*this);
  double w = titleWidth(item->title(), itemFont(item)) + 2 * kItemPadding;
  return CGRectMake(band.size.width - kEdgeMargin - w, band.origin.y, w, band.size.height);
}

namespace {
// The room between the buttons, where the title goes.
CGRect titleRoom(const UINavigationBar& bar, CGRect left, CGRect right) {
  CGRect band = titleBand(bar);
  double side = std::max(left.size.width, right.size.width) + kEdgeMargin;
  return CGRectMake(side, band.origin.y, std::max(0.0, band.size.width - 2 * side),
                    band.size.height);
}
}  // namespace

CGRect UINavigationBar::titleViewRect() const {
  auto t = top();
  auto view = t ? t->navigationItem()->titleView() : nullptr;
  if (!view) return CGRectZero;
  CGRect room = titleRoom(*this, leftItemRect(), rightItemRect());
  CGSize size = view->bounds().size;
  bool fit = view == shownTitleView_ ? fitTitleView_ : size.width <= 0 || size.height <= 0;
  if (fit) size = view->sizeThatFits(room.size);
  size.width = std::clamp(size.width, 0.0, room.size.width);
  size.height = std::clamp(size.height, 0.0, room.size.height);
  // Centred on the bar when the buttons leave room for it, else on the room.
  CGRect b = bounds();
  double x = (b.size.width - size.width) / 2;
  x = std::clamp(x, room.origin.x, room.origin.x + room.size.width - size.width);
  return CGRectMake(x, room.origin.y + (room.size.height - size.height) / 2, size.width,
                    size.height);
}

void UINavigationBar::layoutSubviews() {
  UIView::layoutSubviews();
  auto t = top();
  auto item = t ? t->navigationItem() : nullptr;
  auto view = item ? item->titleView() : nullptr;
  if (shownTitleView_ && shownTitleView_ != view && shownTitleView_->superview().get() == this)
    shownTitleView_->removeFromSuperview();
  if (view != shownTitleView_) {
    CGSize size = view ? view->bounds().size : CGSizeZero;
    fitTitleView_ = size.width <= 0 || size.height <= 0;
  }
  shownTitleView_ = view;
  if (item) item->bar_ = std::static_pointer_cast<UIView>(shared_from_this());
  if (!view) return;
  if (view->superview().get() != this) addSubview(view);
  view->setFrame(titleViewRect());
}

void UINavigationBar::drawBuiltInContent(CGContextRef c) const {
  CGRect b = bounds();
  fill(c, CGRectMake(0, b.size.height - 0.5, b.size.width, 0.5), kHairlineColor);
  auto t = top();
  if (!t) return;
  auto item = t->navigationItem();
  CGRect band = titleBand(*this);
  if (!item->prompt().empty())
    drawLine(c, item->prompt(),
             CGRectMake(kEdgeMargin, band.origin.y - UINavigationController::kPromptHeight,
                        b.size.width - 2 * kEdgeMargin, UINavigationController::kPromptHeight),
             UIFont::systemFontOfSize(13), UIColor::blackColor(), NSTextAlignmentCenter);
  CGRect left = leftItemRect(), right = rightItemRect();
  // A title view stands in for the title text.
  if (!item->titleView()) {
    std::string title = item->title().empty() ? t->title() : item->title();
    drawLine(c, title, titleRoom(*this, left, right), UIFont::boldSystemFontOfSize(kItemFontSize),
             UIColor::blackColor(), NSTextAlignmentCenter);
  }
  if (!CGRectIsEmpty(left)) {
    auto l = item->leftBarButtonItem();
    drawLine(c, l ? l->title() : kBackTitle, CGRectInset(left, kItemPadding, 0), itemFont(l),
             l ? l->currentTitleColor() : UIColor::defaultTintColor(), NSTextAlignmentLeft);
  }
  if (!CGRectIsEmpty(right)) {
    auto r = item->rightBarButtonItem();
    drawLine(c, r->title(), CGRectInset(right, kItemPadding, 0), itemFont(r),
             r->currentTitleColor(), NSTextAlignmentLeft);
  }
}

void UINavigationBar::touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (touches.empty()) return UIView::touchesEnded(touches, event);
  CGPoint p = touches.front().locationInView(this);
  auto t = top();
  if (!t) return;
  if (CGRectContainsPoint(leftItemRect(), p)) {
    if (auto l = t->navigationItem()->leftBarButtonItem()) l->press();
    else if (auto nav = nav_.lock()) nav->popViewControllerAnimated(true);
  } else if (CGRectContainsPoint(rightItemRect(), p)) {
    t->navigationItem()->rightBarButtonItem()->press();
  }
}

// ---- UIToolbar ----

std::vector<UIBarButtonItemRef> UIToolbar::items() const {
  auto nav = nav_.lock();
  auto top = nav ? nav->topViewController() : nullptr;
  return top ? top->toolbarItems() : std::vector<UIBarButtonItemRef>{};
}

std::vector<CGRect> UIToolbar::itemRects() const {
  auto list = items();
  std::vector<double> widths;
  double fixed = 0;
  int flexible = 0;
  for (auto& item : list) {
    double w = 0;
    if (item->systemItem() == UIBarButtonSystemItemFlexibleSpace) ++flexible;
    else if (item->systemItem() == UIBarButtonSystemItemFixedSpace) w = item->width();
    else w = titleWidth(item->title(), itemFont(item)) + 2 * kItemPadding;
    widths.push_back(w);
    fixed += w;
  }
  double width = bounds().size.width - 2 * kEdgeMargin;
  double share = flexible ? std::max(0.0, width - fixed) / flexible : 0;
  std::vector<CGRect> rects;
  double x = kEdgeMargin;
  for (size_t i = 0; i < list.size(); ++i) {
    double w = list[i]->systemItem() == UIBarButtonSystemItemFlexibleSpace ? share : widths[i];
    rects.push_back(CGRectMake(x, 0, w, UINavigationController::kBarHeight));
    x += w;
  }
  return rects;
}

UIToolbar::UIToolbar(CGRect frame) : UIView(frame) { setOpaque(false); }

void UIToolbar::setBarTintColor(UIColorRef c) {
  barTint_ = c;
  setNeedsDisplay();
}

void UIToolbar::drawBuiltInContent(CGContextRef c) const {
  if (!c) return;
  UIColor tint = barTint_.value_or(UIColor::colorWithWhiteAlpha(0.97, 1));
  if (translucent_) tint = tint.colorWithAlphaComponent(tint.alpha() * 0.85);
  CGContextSetFillColorWithColor(c, tint.CGColor());
  CGContextFillRect(c, bounds());
  if (nav_.expired()) return;
  fill(c, CGRectMake(0, 0, bounds().size.width, 0.5), kHairlineColor);
  auto list = items();
  auto rects = itemRects();
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i]->isSpace()) continue;
    drawLine(c, list[i]->title(), rects[i], itemFont(list[i]), list[i]->currentTitleColor(),
             NSTextAlignmentCenter);
  }
}

void UIToolbar::touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (touches.empty()) return UIView::touchesEnded(touches, event);
  CGPoint p = touches.front().locationInView(this);
  auto list = items();
  auto rects = itemRects();
  for (size_t i = 0; i < list.size(); ++i)
    if (CGRectContainsPoint(rects[i], p)) {
      list[i]->press();
      return;
    }
}

}  // namespace plat
