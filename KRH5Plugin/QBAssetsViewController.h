#pragma once
// QBAssetsViewController: the grid of one album's assets (newest last), with a footer of
// counts, the picker's Done button and the toolbar with the selection count. Taps select
// under the picker's rules; when pushed it scrolls to the newest assets, and coming back to
// it from a screen above keeps its place. It rebuilds when the library changes its album.
// Main thread only (library changes arriving on other threads are moved to the main queue).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/ALAssetsLibrary.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"

class QBImagePickerController;

class QBAssetsViewController : public plat::UIViewController,
                               public plat::UICollectionViewDataSource,
                               public plat::UICollectionViewDelegateFlowLayout {
 public:
  static constexpr const char* kCellIdentifier = "AssetCell";
  static constexpr const char* kFooterIdentifier = "FooterView";
  static constexpr double kFooterHeight = 66;
  static constexpr double kGap = 2;

  QBAssetsViewController() = default;
  ~QBAssetsViewController() override;
  std::string className() const override { return "QBAssetsViewController"; }

  std::shared_ptr<QBImagePickerController> imagePickerController() const {
    return imagePickerController_.lock();
  }
  void setImagePickerController(std::weak_ptr<QBImagePickerController> p) {
    imagePickerController_ = std::move(p);
  }
  plat::ALAssetsGroupRef assetsGroup() const { return assetsGroup_; }
  // Stores the album and rebuilds the asset list (posted); with auto-deselect, the position
  // of the first selected asset in the album becomes the last selected item; then reloads.
  void setAssetsGroup(plat::ALAssetsGroupRef group);
  plat::UIBarButtonItemRef doneButton() const { return doneButton_; }
  void setDoneButton(plat::UIBarButtonItemRef b) { doneButton_ = std::move(b); }
  const std::vector<plat::ALAssetRef>& assets() const { return assets_; }
  uint64_t numberOfAssets() const { return numberOfAssets_; }
  uint64_t numberOfPhotos() const { return numberOfPhotos_; }
  uint64_t numberOfVideos() const { return numberOfVideos_; }
  bool disableScrollToBottom() const { return disableScrollToBottom_; }
  std::optional<plat::NSIndexPath> indexPathForLastVisibleItem() const { return lastVisible_; }
  std::optional<plat::NSIndexPath> lastSelectedItemIndexPath() const { return lastSelected_; }
  std::shared_ptr<plat::UICollectionView> collectionView() const;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void willRotateToInterfaceOrientationDuration(int64_t orientation, double duration);
  void didRotateFromInterfaceOrientation(int64_t orientation);
  void viewWillTransitionToSizeWithTransitionCoordinator(
      plat::CGSize size,
      const plat::UIViewControllerTransitionCoordinatorRef& coordinator) override;

  void assetsLibraryChanged(const plat::Value& userInfo);
  // The picker's selection tests and look-up, asked of this screen (false, and no answer,
  // once the picker is gone).
  bool isMinimumSelectionLimitFulfilled() const;
  bool isMaximumSelectionLimitReached() const;
  bool isAutoDeselectEnabled() const;
  void fetchAssetsFromSelectedAssetURLsWithCompletion(
      std::function<void(const std::vector<plat::ALAssetRef>&)> completion);
  void done();
  void setUpToolbarItems();
  void updateSelectionInfo();
  // Enumerates the album (posted); completion runs once the list is in place.
  void updateAssets(std::function<void()> completion = {});
  void updateDoneButtonState();
  // The time label's text for a duration in seconds: minutes and seconds, the total rounded
  // up to whole seconds first.
  static std::string durationText(double seconds);

  int64_t numberOfSectionsInCollectionView(plat::UICollectionView&) override { return 1; }
  int64_t collectionViewNumberOfItemsInSection(plat::UICollectionView&, int64_t) override {
    return static_cast<int64_t>(numberOfAssets_);
  }
  plat::UICollectionViewCellRef collectionViewCellForItemAtIndexPath(
      plat::UICollectionView& collectionView, plat::NSIndexPath indexPath) override;
  plat::UICollectionReusableViewRef collectionViewViewForSupplementaryElementOfKindAtIndexPath(
      plat::UICollectionView& collectionView, const std::string& kind,
      plat::NSIndexPath indexPath) override;
  std::optional<bool> collectionViewShouldSelectItemAtIndexPath(
      plat::UICollectionView& collectionView, plat::NSIndexPath indexPath) override;
  void collectionViewDidSelectItemAtIndexPath(plat::UICollectionView& collectionView,
                                              plat::NSIndexPath indexPath) override;
  void collectionViewDidDeselectItemAtIndexPath(plat::UICollectionView& collectionView,
                                                plat::NSIndexPath indexPath) override;
  std::optional<plat::CGSize> collectionViewLayoutSizeForItemAtIndexPath(
      plat::UICollectionView& collectionView, plat::UICollectionViewLayout& layout,
      plat::NSIndexPath indexPath) override;

 private:
  plat::ALAssetRef assetAt(plat::NSIndexPath indexPath) const;
  // Shows the newest assets: the last item scrolled to the top (as far as the content goes).
  void scrollToLastItem();

  std::weak_ptr<QBImagePickerController> imagePickerController_;
  plat::ALAssetsGroupRef assetsGroup_;
  plat::UIBarButtonItemRef doneButton_;
  std::vector<plat::ALAssetRef> assets_;
  uint64_t numberOfAssets_ = 0, numberOfPhotos_ = 0, numberOfVideos_ = 0;
  bool disableScrollToBottom_ = false;
  std::optional<plat::NSIndexPath> lastVisible_, lastSelected_;
  uint64_t assetsGeneration_ = 0;
  // Pushed before the album's assets arrived: scroll once they are in.
  bool scrollWhenLoaded_ = false;
};
