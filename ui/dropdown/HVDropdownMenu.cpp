#include "ui/dropdown/HVDropdownMenu.h"

#include <cmath>
#include <utility>

#include "platform/uikit/UIApplication.h"

using namespace plat;

static constexpr double kDefaultIconRight = 7.5;
static constexpr double kOptionTextInset = 15;

// Runs f on the stored view and, when it is another, on the one the opening used.
template <class T, class F>
static void eachPart(const std::shared_ptr<T>& stored, const std::weak_ptr<T>& used, F&& f) {
  if (stored) f(stored);
  auto other = used.lock();
  if (other && other != stored) f(other);
}

HVDropdownMenu::HVDropdownMenu(CGRect frame) : UIView(frame) {}

HVDropdownMenu::~HVDropdownMenu() {
  // A cover left on the window would swallow every touch.
  if (!isOpened_) return;
  for (auto& weak : opening_.covers)
    if (auto cover = weak.lock()) cover->removeFromSuperview();
  if (coverView_) coverView_->removeFromSuperview();
}

void HVDropdownMenu::didInit() {
  UIView::didInit();
  initPropertys();
  initViews();
  initFrame(frame());
}

void HVDropdownMenu::awakeFromNib() {
  initPropertys();
  initViews();
  initFrame(frame());
}

void HVDropdownMenu::initPropertys() {
  title_ = "Please Select";
  // The components are computed in single precision, as the system does.
  UIColor blue(double(64 / 255.0f), double(151 / 255.0f), 1.0, 1.0);
  titleBgColor_ = blue;
  titleFont_ = UIFont::boldSystemFontOfSize(15);
  titleColor_ = UIColor::whiteColor();
  titleAlignment_ = 0;
  rotateIconRight_ = 0;
  optionBgColor_ = blue.colorWithAlphaComponent(0.5);
  optionFont_ = UIFont::systemFontOfSize(13);
  optionTextColor_ = UIColor::blackColor();
  optionTextAlignment_ = NSTextAlignmentCenter;
  optionNumberOfLines_ = 0;
  optionLineColor_ = UIColor::whiteColor();
  animateTime_ = 0.25;
  rotateIconSize_ = {15, 15};
  optionIconSize_ = {0, 0};
  titleEdgeInsets_ = {0, 10, 0, 10};
}

void HVDropdownMenu::initViews() {
  setClipsToBounds(true);
  floatView_ = make<UIView>(bounds());
  floatView_->setClipsToBounds(true);
  addSubview(floatView_);

  mainBtn_ = UIButton::buttonWithType(UIButtonTypeCustom);
  std::weak_ptr<HVDropdownMenu> weak = std::static_pointer_cast<HVDropdownMenu>(shared_from_this());
  mainBtn_->addTargetActionForControlEvents(
      nullptr,
      [weak](UIControl& sender) {
        if (auto self = weak.lock()) self->clickMainBtn(static_cast<UIButton&>(sender));
      },
      UIControlEventTouchUpInside);
  mainBtn_->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentLeft);
  mainBtn_->setTitleEdgeInsets({0, 15, 0, 0});
  mainBtn_->setSelected(false);
  floatView_->addSubview(mainBtn_);

  arrowMark_ = make<UIImageView>();
  mainBtn_->addSubview(arrowMark_);

  optionsList_ = make<UITableView>();
  optionsList_->setDataSource(std::static_pointer_cast<HVDropdownMenu>(shared_from_this()));
  optionsList_->setDelegate(std::static_pointer_cast<HVDropdownMenu>(shared_from_this()));
  optionsList_->setSeparatorStyle(UITableViewCellSeparatorStyleNone);
  optionsList_->setScrollEnabled(false);
  floatView_->addSubview(optionsList_);
}

void HVDropdownMenu::frameArrow(CGSize button) {
  if (!arrowMark_) return;
  double right = rotateIconRight_ > 0 ? rotateIconRight_ : kDefaultIconRight;
  // The frame of an untransformed arrow: set through bounds and centre so a turned arrow
  // keeps its turn.
  CGRect f = CGRectMake(button.width - right - rotateIconSize_.width,
                        (button.height - rotateIconSize_.height) / 2, rotateIconSize_.width,
                        rotateIconSize_.height);
  arrowMark_->setBounds(CGRectMake(0, 0, f.size.width, f.size.height));
  arrowMark_->setCenter({f.origin.x + f.size.width / 2, f.origin.y + f.size.height / 2});
}

void HVDropdownMenu::frameParts(CGPoint floatOrigin, CGSize size) {
  double w = size.width, h = size.height;
  if (auto floatView = floatPart())
    floatView->setFrame(CGRectMake(floatOrigin.x, floatOrigin.y, w, h));
  if (mainBtn_) mainBtn_->setFrame(CGRectMake(0, 0, w, h));
  frameArrow({w, h});
  if (optionsList_) optionsList_->setFrame(CGRectMake(0, h, w, optionsList_->frame().size.height));
}

void HVDropdownMenu::initFrame(CGRect frame) { frameParts({0, 0}, frame.size); }

void HVDropdownMenu::setFrame(CGRect frame) {
  if (isOpened_) {
    pendingFrame_ = frame;
    return;
  }
  UIView::setFrame(frame);
  initFrame(frame);
}

void HVDropdownMenu::layoutSubviews() {
  UIView::layoutSubviews();
  if (isOpened_) return;
  auto floatView = floatPart();
  frameParts(floatView ? floatView->frame().origin : CGPointZero, frame().size);
}

void HVDropdownMenu::setTitle(const std::string& title) {
  title_ = title;
  if (mainBtn_) mainBtn_->setTitleForState(title, UIControlStateNormal);
}

void HVDropdownMenu::setTitleBgColor(UIColorRef color) {
  titleBgColor_ = color;
  if (mainBtn_) mainBtn_->setBackgroundColor(color);
  if (arrowMark_) arrowMark_->setBackgroundColor(color);
}

void HVDropdownMenu::setTitleFont(const UIFont& font) {
  titleFont_ = font;
  if (mainBtn_) mainBtn_->titleLabel()->setFont(font);
}

void HVDropdownMenu::setTitleColor(UIColorRef color) {
  titleColor_ = color;
  if (mainBtn_) mainBtn_->setTitleColorForState(color, UIControlStateNormal);
}

void HVDropdownMenu::setTitleAlignment(int64_t alignment) {
  titleAlignment_ = alignment;
  if (!mainBtn_) return;
  // By meaning: the platform numbers its alignments differently.
  switch (alignment) {
    case 0:
      mainBtn_->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentLeft);
      break;
    case 1:
      mainBtn_->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentCenter);
      break;
    case 2:
      mainBtn_->setContentHorizontalAlignment(UIControlContentHorizontalAlignmentRight);
      break;
    default:
      break;
  }
}

void HVDropdownMenu::setTitleEdgeInsets(UIEdgeInsets insets) {
  titleEdgeInsets_ = insets;
  if (mainBtn_) mainBtn_->setTitleEdgeInsets(insets);
}

void HVDropdownMenu::setRotateIcon(UIImageRef icon) {
  rotateIcon_ = icon;
  if (arrowMark_) arrowMark_->setImage(icon);
}

void HVDropdownMenu::setRotateIconSize(CGSize size) {
  rotateIconSize_ = size;
  frameArrow(mainBtn_ ? mainBtn_->frame().size : frame().size);
}

std::shared_ptr<UIWindow> HVDropdownMenu::getCurrentKeyWindow() const {
  return UIApplication::sharedApplication().keyWindow();
}

CGPoint HVDropdownMenu::getScreenPosition() const {
  CGPoint origin = frame().origin;
  auto window = getCurrentKeyWindow();
  auto parent = superview();
  if (!parent || !window) return origin;
  return parent->convertPointToView(origin, window.get());
}

UIViewRef HVDropdownMenu::coverView() {
  if (coverView_) return coverView_;
  auto window = getCurrentKeyWindow();
  if (!window) return nullptr;
  CGSize size = window->frame().size;
  coverView_ = make<UIView>(CGRectMake(0, 0, size.width, size.height));
  coverView_->setBackgroundColor(UIColor::clearColor());
  std::weak_ptr<HVDropdownMenu> weak = std::static_pointer_cast<HVDropdownMenu>(shared_from_this());
  auto tap = std::make_shared<UITapGestureRecognizer>([weak](UIGestureRecognizer&) {
    if (auto self = weak.lock()) self->hideDropDown();
  });
  tap->setDelegate(weak);
  coverView_->addGestureRecognizer(tap);
  // Over the window only while open: a cover there while closed would swallow every touch,
  // and no fold would come to take it away.
  if (isOpened_) placeCover(coverView_, window);
  return coverView_;
}

void HVDropdownMenu::placeCover(const UIViewRef& cover, const std::shared_ptr<UIWindow>& window) {
  if (!cover->superview()) window->addSubview(cover);
  for (auto& weak : opening_.covers)
    if (weak.lock() == cover) return;
  opening_.covers.push_back(cover);
}

void HVDropdownMenu::reloadOptionsData() {
  if (optionsList_) optionsList_->reloadData();
}

UIViewRef HVDropdownMenu::floatPart() const {
  return floatView_.get() == this ? nullptr : floatView_;
}

double HVDropdownMenu::buttonHeight() const { return mainBtn_ ? mainBtn_->frame().size.height : 0; }

uint64_t HVDropdownMenu::optionCount() {
  auto source = dataSource();
  uint64_t n = source ? source->numberOfOptionsInDropdownMenu(*this) : 0;
  return std::min(n, kMaxOptionCount);
}

double HVDropdownMenu::optionHeight(uint64_t index) {
  auto source = dataSource();
  double h = source ? source->dropdownMenuHeightForOptionAtIndex(*this, index) : 0;
  // A negative or non-finite height would poison every frame built from the list height.
  return std::isfinite(h) && h > 0 ? h : 0;
}

void HVDropdownMenu::showDropDown() {
  auto window = getCurrentKeyWindow();
  if (showing_ || !window) return;
  // A fold still under way ends at once, so that this opening starts from the closed state.
  if (isOpened_) finishFold();
  showing_ = true;
  isOpened_ = true;
  uint64_t generation = ++generation_;

  auto floatView = floatPart();
  if (floatView) {
    CGSize size = floatView->bounds().size;
    CGPoint position = getScreenPosition();
    floatView->setFrame(CGRectMake(position.x, position.y, size.width, size.height));
    CALayer* from = layer();
    CALayer* to = floatView->layer();
    to->setBorderColor(from->borderColor());
    to->setBorderWidth(from->borderWidth());
    to->setCornerRadius(from->cornerRadius());
    opening_.floatView = floatView;
  }
  if (auto cover = coverView()) {
    placeCover(cover, window);
    if (floatView) cover->addSubview(floatView);
  }

  if (auto d = delegate()) d->dropdownMenuWillShow(*this);
  // A delegate that folded (or folded and reopened) the list from its callback owns it now.
  if (generation_ != generation) return;
  reloadOptionsData();
  uint64_t n = optionCount();
  cellHeights_.clear();
  cellHeights_.reserve(n);
  listHeight_ = 0;
  for (uint64_t i = 0; i < n; ++i) {
    double h = optionHeight(i);
    cellHeights_.push_back(h);
    listHeight_ += h;
  }
  if (generation_ != generation) return;  // the data source called back into the menu

  std::weak_ptr<HVDropdownMenu> weak = std::static_pointer_cast<HVDropdownMenu>(shared_from_this());
  UIView::animateWithDurationAnimationsCompletion(
      animateTime_,
      [&] {
        if (auto floatView = floatPart()) {
          CGRect f = floatView->frame();
          floatView->setFrame(
              CGRectMake(f.origin.x, f.origin.y, f.size.width, buttonHeight() + listHeight_));
        }
        if (arrowMark_) {
          arrowMark_->setTransform(CGAffineTransformMakeRotation(M_PI));
          opening_.arrow = arrowMark_;
        }
        if (optionsList_) {
          CGRect t = optionsList_->frame();
          optionsList_->setFrame(CGRectMake(t.origin.x, t.origin.y, t.size.width, listHeight_));
          opening_.list = optionsList_;
        }
      },
      [weak, generation](bool) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        if (auto d = self->delegate()) d->dropdownMenuDidShow(*self);
      });
  if (mainBtn_) {
    mainBtn_->setSelected(true);
    opening_.button = mainBtn_;
  }
}

void HVDropdownMenu::hideDropDown() {
  if (!showing_) return;
  showing_ = false;
  uint64_t generation = ++generation_;
  if (auto d = delegate()) d->dropdownMenuWillHidden(*this);
  // A delegate that reopened the list from its callback owns it now.
  if (generation_ != generation) return;
  std::weak_ptr<HVDropdownMenu> weak = std::static_pointer_cast<HVDropdownMenu>(shared_from_this());
  UIView::animateWithDurationAnimationsCompletion(
      animateTime_, [&] { foldParts(); },
      [weak, generation](bool) {
        auto self = weak.lock();
        // A show that started meanwhile owns the list now.
        if (!self || self->generation_ != generation) return;
        self->finishFold();
        if (auto d = self->delegate()) d->dropdownMenuDidHidden(*self);
      });
  unselectButtons();
}

void HVDropdownMenu::foldParts() {
  eachPart(arrowMark_, opening_.arrow,
           [](auto& arrow) { arrow->setTransform(CGAffineTransformIdentity); });
  double height = buttonHeight();
  eachPart(floatPart(), opening_.floatView, [height](auto& view) {
    CGRect f = view->frame();
    view->setFrame(CGRectMake(f.origin.x, f.origin.y, f.size.width, height));
  });
}

void HVDropdownMenu::unselectButtons() {
  eachPart(mainBtn_, opening_.button, [](auto& button) { button->setSelected(false); });
}

void HVDropdownMenu::finishFold() {
  // First: taking a cover away may take this menu out of its window, which folds at once.
  isOpened_ = false;
  Opening used = std::exchange(opening_, {});
  UIViewRef cover = std::exchange(coverView_, nullptr);
  double width = frame().size.width;
  eachPart(optionsList_, used.list, [width](auto& list) {
    CGRect t = list->frame();
    list->setFrame(CGRectMake(t.origin.x, t.origin.y, width, 0));
  });
  eachPart(floatPart(), used.floatView, [this](auto& view) {
    CGRect b = view->bounds();
    view->setFrame(CGRectMake(0, 0, b.size.width, b.size.height));
    addSubview(view);
  });
  for (auto& weak : used.covers)
    if (auto placed = weak.lock()) placed->removeFromSuperview();
  if (cover) cover->removeFromSuperview();
  if (pendingFrame_) {
    CGRect f = *pendingFrame_;
    pendingFrame_.reset();
    setFrame(f);
  }
}

void HVDropdownMenu::willMoveToWindow(const std::shared_ptr<UIWindow>& newWindow) {
  UIView::willMoveToWindow(newWindow);
  if (newWindow || !isOpened_) return;
  // Leaving the window while open: fold at once, or the cover would stay behind.
  showing_ = false;
  ++generation_;
  foldParts();
  unselectButtons();
  finishFold();
}

void HVDropdownMenu::clickMainBtn(UIButton&) {
  if (showing_)
    hideDropDown();
  else
    showDropDown();
}

int64_t HVDropdownMenu::tableViewNumberOfRowsInSection(UITableView&, int64_t) {
  return int64_t(optionCount());
}

std::optional<double> HVDropdownMenu::tableViewHeightForRowAtIndexPath(UITableView&,
                                                                       NSIndexPath indexPath) {
  return optionHeight(uint64_t(indexPath.row));
}

UITableViewCellRef HVDropdownMenu::tableViewCellForRowAtIndexPath(UITableView& tableView,
                                                                  NSIndexPath indexPath) {
  uint64_t row = uint64_t(indexPath.row);
  double width = frame().size.width;
  // Rows this opening did not measure (a reload before the first opening, a grown count)
  // are asked of the data source.
  float rowHeight = float(row < cellHeights_.size() ? cellHeights_[row] : optionHeight(row));
  auto cell = tableView.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) {
    cell = make<UITableViewCell>(UITableViewCellStyleDefault, kCellIdentifier);
    cell->setFrame(CGRectMake(0, 0, 320, 44));
    cell->setBackgroundColor(optionBgColor_);
    auto label = make<UILabel>();
    label->setTag(kTitleLabelTag);
    label->setFont(optionFont_);
    label->setTextColor(optionTextColor_);
    label->setNumberOfLines(optionNumberOfLines_);
    label->setTextAlignment(NSTextAlignment(optionTextAlignment_));
    cell->contentView()->addSubview(label);
    auto icon = make<UIImageView>();
    icon->setTag(kIconViewTag);
    cell->contentView()->addSubview(icon);
    auto line = make<UIView>(CGRectMake(0, 0, cell->frame().size.width, 0.5));
    line->setBackgroundColor(optionLineColor_);
    cell->contentView()->addSubview(line);
  }
  auto label = std::dynamic_pointer_cast<UILabel>(cell->viewWithTag(kTitleLabelTag));
  auto icon = std::dynamic_pointer_cast<UIImageView>(cell->viewWithTag(kIconViewTag));
  auto source = dataSource();
  if (label) {
    label->setText(source ? source->dropdownMenuTitleForOptionAtIndex(*this, row) : "");
    label->setFrame(CGRectMake(kOptionTextInset, 0,
                               width - kOptionTextInset - optionIconSize_.width - kOptionTextInset,
                               rowHeight));
  }
  if (icon) {
    if (source)
      if (auto image = source->dropdownMenuIconForOptionAtIndex(*this, row)) icon->setImage(*image);
    icon->setFrame(CGRectMake(width - kDefaultIconRight - optionIconSize_.width,
                              (rowHeight - optionIconSize_.height) / 2, optionIconSize_.width,
                              optionIconSize_.height));
  }
  return cell;
}

void HVDropdownMenu::tableViewDidSelectRowAtIndexPath(UITableView& tableView,
                                                      NSIndexPath indexPath) {
  std::string text;
  if (auto cell = tableView.cellForRowAtIndexPath(indexPath))
    if (auto label = std::dynamic_pointer_cast<UILabel>(cell->viewWithTag(kTitleLabelTag)))
      text = label->text();
  setTitle(text);
  if (auto d = delegate())
    d->dropdownMenuDidSelectOptionAtIndexOptionTitle(*this, uint64_t(indexPath.row), text);
  hideDropDown();
}

std::optional<bool> HVDropdownMenu::gestureRecognizerShouldReceiveTouch(UIGestureRecognizer&,
                                                                        const UITouch& touch) {
  auto view = touch.view.lock();
  return !(view && view->className() == "UITableViewCellContentView");
}
