#include "KRH5Plugin/QBAssetsViewController.h"

#include <cmath>

#include "KRH5Plugin/QBAlbumsViewController.h"
#include "KRH5Plugin/QBAssetCell.h"
#include "KRH5Plugin/QBImagePickerController.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Format.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIScreen.h"

using namespace plat;

namespace {
const char* const kFormatPhotosAndVideos = "format_photos_and_videos";
const char* const kFormatPhotos = "format_photos";
const char* const kFormatVideos = "format_videos";
constexpr int64_t kFooterLabelTag = 1;

// The "FooterView" prototype: a centred label with the tag 1.
UICollectionReusableViewRef makeFooter() {
  auto footer =
      make<UICollectionReusableView>(CGRectMake(0, 0, 320, QBAssetsViewController::kFooterHeight));
  auto label = make<UILabel>(footer->bounds());
  label->setTag(kFooterLabelTag);
  label->setFont(UIFont::systemFontOfSize(17));
  label->setTextAlignment(NSTextAlignmentCenter);
  label->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  footer->addSubview(label);
  return footer;
}
}  // namespace

QBAssetsViewController::~QBAssetsViewController() {
  NSNotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
}

std::shared_ptr<UICollectionView> QBAssetsViewController::collectionView() const {
  return isViewLoaded() ? std::static_pointer_cast<UICollectionView>(
                              const_cast<QBAssetsViewController*>(this)->view())
                        : nullptr;
}

std::string QBAssetsViewController::durationText(double seconds) {
  // Whole seconds first, so that 59.5 s reads "01:00" rather than "00:60".
  double total = std::ceil(std::max(0.0, seconds));
  if (!std::isfinite(total) || total > 9.2e18) total = 0;
  auto whole = static_cast<long>(total);
  return plat::format("%02ld:%02ld", whole / 60, whole % 60);
}

void QBAssetsViewController::loadView() {
  auto layout = std::make_shared<UICollectionViewFlowLayout>();
  layout->setMinimumInteritemSpacing(kGap);
  layout->setMinimumLineSpacing(kGap);
  layout->setSectionInset({kGap, kGap, kGap, kGap});
  layout->setFooterReferenceSize(CGSizeMake(0, kFooterHeight));
  auto cv = make<UICollectionView>(UIScreen::mainScreen().bounds(), layout);
  cv->setBackgroundColor(UIColor::whiteColor());
  cv->registerCellFactory(kCellIdentifier, [] { return make<QBAssetCell>(); });
  cv->registerSupplementaryViewFactory(UICollectionElementKindSectionFooter, kFooterIdentifier,
                                       makeFooter);
  auto self = std::static_pointer_cast<QBAssetsViewController>(shared_from_this());
  cv->setDataSource(std::static_pointer_cast<UICollectionViewDataSource>(self));
  cv->setDelegate(std::static_pointer_cast<UICollectionViewDelegate>(self));
  setView(cv);
}

void QBAssetsViewController::viewDidLoad() {
  setUpToolbarItems();
  std::weak_ptr<QBAssetsViewController> weak =
      std::static_pointer_cast<QBAssetsViewController>(shared_from_this());
  NSNotificationCenter::defaultCenter().addObserverSelectorNameObject(
      std::static_pointer_cast<QBAssetsViewController>(shared_from_this()),
      [weak](const NSNotification& note) {
        Value info = note.userInfo;
        // The library may post on any thread.
        dispatch_async(dispatch_get_main_queue(), [weak, info] {
          if (auto self = weak.lock()) self->assetsLibraryChanged(info);
        });
      },
      ALAssetsLibraryChangedNotification, Value());
}

void QBAssetsViewController::assetsLibraryChanged(const Value& userInfo) {
  if (!assetsGroup_ || !userInfo.isDictionary()) return;
  const Value& updated = (*userInfo.dictionary())[ALAssetLibraryUpdatedAssetGroupsKey];
  if (!updated.isArray()) return;
  std::string url = assetsGroup_->valueForProperty(ALAssetsGroupPropertyURL).stringOr();
  for (const Value& entry : *updated.array()) {
    if (entry.stringOr() != url) continue;
    std::weak_ptr<QBAssetsViewController> weak =
        std::static_pointer_cast<QBAssetsViewController>(shared_from_this());
    updateAssets([weak] {
      if (auto self = weak.lock(); self && self->isViewLoaded())
        self->collectionView()->reloadData();
    });
    return;
  }
}

void QBAssetsViewController::viewWillAppear(bool) {
  auto picker = imagePickerController();
  if (!picker) return;
  auto cv = collectionView();
  setTitle(assetsGroup_ ? assetsGroup_->valueForProperty(ALAssetsGroupPropertyName).stringOr()
                        : "");
  navigationItem()->setPrompt(picker->prompt());
  cv->setAllowsMultipleSelection(picker->allowsMultipleSelection());
  navigationItem()->setRightBarButtonItem(picker->allowsMultipleSelection() ? doneButton_
                                                                            : nullptr);
  updateDoneButtonState();
  updateSelectionInfo();
  if (auto nav = navigationController(); nav && nav->isViewLoaded()) nav->view()->layoutIfNeeded();
  if (isMovingToParentViewController() && !disableScrollToBottom_) {
    // The album's assets arrive posted: a grid pushed before them scrolls when they come.
    if (numberOfAssets_ > 0)
      scrollToLastItem();
    else
      scrollWhenLoaded_ = true;
  }
}

void QBAssetsViewController::scrollToLastItem() {
  auto cv = collectionView();
  if (!cv || numberOfAssets_ == 0) return;
  cv->layoutIfNeeded();
  cv->scrollToItemAtIndexPathAtScrollPositionAnimated(
      NSIndexPathForItemInSection(int64_t(numberOfAssets_) - 1, 0),
      UICollectionViewScrollPositionTop, false);
}

void QBAssetsViewController::viewDidAppear(bool) { disableScrollToBottom_ = false; }

void QBAssetsViewController::viewWillDisappear(bool) {
  disableScrollToBottom_ = true;
  scrollWhenLoaded_ = false;
}

void QBAssetsViewController::willRotateToInterfaceOrientationDuration(int64_t, double) {
  auto cv = collectionView();
  if (!cv) return;
  auto visible = cv->indexPathsForVisibleItems();
  lastVisible_ = visible.empty() ? std::nullopt : std::optional<NSIndexPath>(visible.back());
  cv->collectionViewLayout()->invalidateLayout();
}

void QBAssetsViewController::didRotateFromInterfaceOrientation(int64_t) {
  auto cv = collectionView();
  if (!cv || !lastVisible_) return;
  cv->layoutIfNeeded();
  cv->scrollToItemAtIndexPathAtScrollPositionAnimated(*lastVisible_,
                                                      UICollectionViewScrollPositionBottom, false);
}

void QBAssetsViewController::viewWillTransitionToSizeWithTransitionCoordinator(
    CGSize size, const UIViewControllerTransitionCoordinatorRef& coordinator) {
  UIViewController::viewWillTransitionToSizeWithTransitionCoordinator(size, coordinator);
  auto cv = collectionView();
  if (!cv) return;
  auto visible = cv->indexPathsForVisibleItems();
  lastVisible_ = visible.empty() ? std::nullopt : std::optional<NSIndexPath>(visible.back());
  cv->collectionViewLayout()->invalidateLayout();
  if (!coordinator) return;
  std::weak_ptr<QBAssetsViewController> weak =
      std::static_pointer_cast<QBAssetsViewController>(shared_from_this());
  coordinator->animateAlongsideTransitionCompletion(nullptr, [weak] {
    auto self = weak.lock();
    if (!self || !self->lastVisible_) return;
    auto cv = self->collectionView();
    cv->layoutIfNeeded();
    cv->scrollToItemAtIndexPathAtScrollPositionAnimated(
        *self->lastVisible_, UICollectionViewScrollPositionBottom, false);
  });
}

void QBAssetsViewController::setAssetsGroup(ALAssetsGroupRef group) {
  assetsGroup_ = std::move(group);
  std::weak_ptr<QBAssetsViewController> weak =
      std::static_pointer_cast<QBAssetsViewController>(shared_from_this());
  updateAssets([weak] {
    auto self = weak.lock();
    if (!self) return;
    auto picker = self->imagePickerController();
    if (picker && picker->isAutoDeselectEnabled() && !picker->selectedAssetURLs().empty()) {
      const std::string& first = picker->selectedAssetURLs().front();
      for (size_t i = 0; i < self->assets_.size(); ++i) {
        if (self->assets_[i]->valueForProperty(ALAssetPropertyAssetURL).stringOr() == first) {
          self->lastSelected_ = NSIndexPathForItemInSection(int64_t(i), 0);
          break;
        }
      }
    }
    if (!self->isViewLoaded()) return;
    self->collectionView()->reloadData();
    if (self->scrollWhenLoaded_) {
      self->scrollWhenLoaded_ = false;
      self->scrollToLastItem();
    }
  });
}

void QBAssetsViewController::updateAssets(std::function<void()> completion) {
  if (!assetsGroup_) return;
  struct Pending {
    std::vector<ALAssetRef> assets;
  };
  auto pending = std::make_shared<Pending>();
  uint64_t generation = ++assetsGeneration_;
  std::weak_ptr<QBAssetsViewController> weak =
      std::static_pointer_cast<QBAssetsViewController>(shared_from_this());
  assetsGroup_->enumerateAssetsUsingBlock(
      [weak, pending, generation, completion](const ALAssetRef& asset, uint64_t, bool&) {
        if (asset) return pending->assets.push_back(asset);
        auto self = weak.lock();
        if (!self || generation != self->assetsGeneration_) return;  // a newer rebuild runs
        self->assets_ = std::move(pending->assets);
        self->numberOfAssets_ = self->assets_.size();
        self->numberOfPhotos_ = self->numberOfVideos_ = 0;
        for (auto& a : self->assets_) {
          std::string type = a->valueForProperty(ALAssetPropertyType).stringOr();
          if (type == ALAssetTypePhoto)
            ++self->numberOfPhotos_;
          else if (type == ALAssetTypeVideo)
            ++self->numberOfVideos_;
        }
        if (completion) completion();
      });
}

void QBAssetsViewController::done() {
  if (auto picker = imagePickerController()) picker->done();
}

void QBAssetsViewController::setUpToolbarItems() { setToolbarItems(QBSelectionToolbarItems()); }

void QBAssetsViewController::updateSelectionInfo() {
  if (auto picker = imagePickerController()) QBUpdateSelectionInfo(*this, *picker);
}

void QBAssetsViewController::updateDoneButtonState() {
  auto picker = imagePickerController();
  if (doneButton_ && picker) doneButton_->setEnabled(picker->isMinimumSelectionLimitFulfilled());
  if (auto nav = navigationController(); nav && nav->isViewLoaded())
    nav->navigationBar()->setNeedsDisplay();
}

ALAssetRef QBAssetsViewController::assetAt(NSIndexPath indexPath) const {
  if (indexPath.row < 0 || indexPath.row >= int64_t(assets_.size())) return nullptr;
  return assets_[indexPath.row];
}

UICollectionViewCellRef QBAssetsViewController::collectionViewCellForItemAtIndexPath(
    UICollectionView& cv, NSIndexPath indexPath) {
  auto cell = std::dynamic_pointer_cast<QBAssetCell>(
      cv.dequeueReusableCellWithReuseIdentifierForIndexPath(kCellIdentifier, indexPath));
  auto asset = assetAt(indexPath);
  auto picker = imagePickerController();
  if (!cell || !asset || !picker) return cell;
  cell->setTag(indexPath.row);
  cell->setShowsOverlayViewWhenSelected(picker->allowsMultipleSelection());
  cell->imageView()->setImage(UIImage::imageWithCGImage(asset->thumbnail()));
  if (asset->valueForProperty(ALAssetPropertyType).stringOr() == ALAssetTypeVideo) {
    cell->videoIndicatorView()->setHidden(false);
    cell->videoIndicatorView()->timeLabel()->setText(
        durationText(asset->valueForProperty(ALAssetPropertyDuration).doubleValue()));
  } else {
    cell->videoIndicatorView()->setHidden(true);
  }
  if (picker->isSelected(asset->valueForProperty(ALAssetPropertyAssetURL).stringOr())) {
    cell->setSelected(true);
    cv.selectItemAtIndexPathAnimatedScrollPosition(indexPath, false,
                                                   UICollectionViewScrollPositionNone);
  }
  return cell;
}

UICollectionReusableViewRef
QBAssetsViewController::collectionViewViewForSupplementaryElementOfKindAtIndexPath(
    UICollectionView& cv, const std::string& kind, NSIndexPath indexPath) {
  if (kind != UICollectionElementKindSectionFooter) return nullptr;
  auto footer = cv.dequeueReusableSupplementaryViewOfKindWithReuseIdentifierForIndexPath(
      kind, kFooterIdentifier, indexPath);
  auto picker = imagePickerController();
  if (!footer || !picker) return footer;
  auto label = std::dynamic_pointer_cast<UILabel>(footer->viewWithTag(kFooterLabelTag));
  if (!label) return footer;
  auto photos = static_cast<unsigned long>(numberOfPhotos_);
  auto videos = static_cast<unsigned long>(numberOfVideos_);
  switch (picker->filterType()) {
    case 0:
      label->setText(plat::format(picker->localizedString(kFormatPhotosAndVideos), photos, videos));
      break;
    case 1:
      label->setText(plat::format(picker->localizedString(kFormatPhotos), photos));
      break;
    case 2:
      label->setText(plat::format(picker->localizedString(kFormatVideos), videos));
      break;
    default:
      break;
  }
  return footer;
}

std::optional<bool> QBAssetsViewController::collectionViewShouldSelectItemAtIndexPath(
    UICollectionView&, NSIndexPath indexPath) {
  auto picker = imagePickerController();
  auto asset = assetAt(indexPath);
  if (!picker || !asset) return false;
  return picker->shouldSelectAsset(asset);
}

void QBAssetsViewController::collectionViewDidSelectItemAtIndexPath(UICollectionView& cv,
                                                                    NSIndexPath indexPath) {
  auto picker = imagePickerController();
  auto asset = assetAt(indexPath);
  if (!picker || !asset) return;
  if (!picker->allowsMultipleSelection()) {
    if (auto d = picker->delegate(); d && d->implementsDidSelectAsset())
      d->qb_imagePickerControllerDidSelectAsset(picker, asset);
    return;
  }
  if (picker->isAutoDeselectEnabled() && !picker->selectedAssetURLs().empty()) {
    picker->removeSelectedAssetURL(picker->selectedAssetURLs().front());
    if (lastSelected_) cv.deselectItemAtIndexPathAnimated(*lastSelected_, false);
  }
  picker->addSelectedAssetURL(asset->valueForProperty(ALAssetPropertyAssetURL).stringOr());
  lastSelected_ = indexPath;
  updateDoneButtonState();
  if (picker->showsNumberOfSelectedAssets()) {
    updateSelectionInfo();
    if (picker->selectedAssetURLs().size() == 1)
      if (auto nav = navigationController()) nav->setToolbarHiddenAnimated(false, true);
  }
}

void QBAssetsViewController::collectionViewDidDeselectItemAtIndexPath(UICollectionView&,
                                                                      NSIndexPath indexPath) {
  auto picker = imagePickerController();
  auto asset = assetAt(indexPath);
  if (!picker || !picker->allowsMultipleSelection() || !asset) return;
  picker->removeSelectedAssetURL(asset->valueForProperty(ALAssetPropertyAssetURL).stringOr());
  lastSelected_.reset();
  updateDoneButtonState();
  if (picker->showsNumberOfSelectedAssets()) {
    updateSelectionInfo();
    if (picker->selectedAssetURLs().empty())
      if (auto nav = navigationController()) nav->setToolbarHiddenAnimated(true, true);
  }
}

std::optional<CGSize> QBAssetsViewController::collectionViewLayoutSizeForItemAtIndexPath(
    UICollectionView&, UICollectionViewLayout&, NSIndexPath) {
  auto picker = imagePickerController();
  if (!picker) return std::nullopt;
  auto orientation = UIApplication::sharedApplication().statusBarOrientation();
  uint64_t columns = orientation == UIInterfaceOrientationPortrait ||
                             orientation == UIInterfaceOrientationPortraitUpsideDown
                         ? picker->numberOfColumnsInPortrait()
                         : picker->numberOfColumnsInLandscape();
  columns = std::max<uint64_t>(1, columns);
  double side = (view()->frame().size.width - kGap * (double(columns) + 1)) / double(columns);
  side = std::max(0.0, side);
  return CGSizeMake(side, side);
}

bool QBAssetsViewController::isMinimumSelectionLimitFulfilled() const {
  auto p = imagePickerController();
  return p && p->isMinimumSelectionLimitFulfilled();
}

bool QBAssetsViewController::isMaximumSelectionLimitReached() const {
  auto p = imagePickerController();
  return p && p->isMaximumSelectionLimitReached();
}

bool QBAssetsViewController::isAutoDeselectEnabled() const {
  auto p = imagePickerController();
  return p && p->isAutoDeselectEnabled();
}

void QBAssetsViewController::fetchAssetsFromSelectedAssetURLsWithCompletion(
    std::function<void(const std::vector<ALAssetRef>&)> completion) {
  if (auto p = imagePickerController())
    p->fetchAssetsFromSelectedAssetURLsWithCompletion(std::move(completion));
}
