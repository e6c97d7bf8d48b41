#pragma once
// QBImagePickerController: the multi-image picker. It contains the albums navigation
// controller (album list, then the grid of one album), reads the photo library through one
// ALAssetsLibrary of its own, and keeps the one selection of the whole picker: the asset URLs
// in the order they were picked (an ordered set), shared by every album the user opens.
//
// A picker finishes once: the first Done (with a delegate that takes the assets) or Cancel
// (with a delegate that hears it) ends it, and any later Done or Cancel does nothing.
// Done turns the selection into assets: each URL is looked up once, also in the photo
// streams; when every URL has answered, the delegate gets the assets found, in selection
// order; a URL that is no longer in the library is left out and logged.
//
// Without the "Lumora" resource bundle the picker has no screens (isUsable is NO).
// Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/ALAssetsLibrary.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/uikit/UINavigationController.h"

class QBImagePickerController;
using QBImagePickerControllerRef = std::shared_ptr<QBImagePickerController>;

// The picker's delegate. Every operation is optional; the implements... probes say which
// ones a delegate has, and the picker asks before it calls.
class QBImagePickerControllerDelegate {
 public:
  virtual ~QBImagePickerControllerDelegate() = default;
  virtual bool implementsDidSelectAssets() const { return false; }
  // Done with multiple selection: the chosen assets in selection order.
  virtual void qb_imagePickerControllerDidSelectAssets(const QBImagePickerControllerRef& picker,
                                                       const std::vector<plat::ALAssetRef>& assets) {}
  virtual bool implementsDidSelectAsset() const { return false; }
  // A tap on an asset without multiple selection.
  virtual void qb_imagePickerControllerDidSelectAsset(const QBImagePickerControllerRef& picker,
                                                      const plat::ALAssetRef& asset) {}
  virtual bool implementsDidCancel() const { return false; }
  virtual void qb_imagePickerControllerDidCancel(const QBImagePickerControllerRef& picker) {}
  // Replaces the picker's own may-select rule; nullopt: not implemented.
  virtual std::optional<bool> qb_imagePickerControllerShouldSelectAsset(
      const QBImagePickerControllerRef& picker, const plat::ALAssetRef& asset) {
    return std::nullopt;
  }
};

class QBImagePickerController : public plat::UIViewController, public plat::NSKeyValueObservable {
 public:
  static constexpr const char* kSelectedAssetURLsKey = "selectedAssetURLs";

  QBImagePickerController() = default;
  ~QBImagePickerController() override = default;
  std::string className() const override { return "QBImagePickerController"; }
  // Sets the defaults, creates the library, finds the bundle and builds the screens
  // (plat::make runs it).
  void didInit() override;

  // Whether the library offers both the photo-library and the saved-photos sources.
  static bool isAccessible();

  std::shared_ptr<QBImagePickerControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<QBImagePickerControllerDelegate> d) { delegate_ = std::move(d); }
  const std::vector<plat::ALAssetsGroupType>& groupTypes() const { return groupTypes_; }
  void setGroupTypes(std::vector<plat::ALAssetsGroupType> t) { groupTypes_ = std::move(t); }
  // 0 all assets, 1 photos, 2 videos; other values: no filter.
  uint64_t filterType() const { return filterType_; }
  void setFilterType(uint64_t t) { filterType_ = t; }
  bool allowsMultipleSelection() const { return allowsMultipleSelection_; }
  void setAllowsMultipleSelection(bool a) { allowsMultipleSelection_ = a; }
  uint64_t minimumNumberOfSelection() const { return minimum_; }
  void setMinimumNumberOfSelection(uint64_t m) { minimum_ = m; }
  // 0: no maximum.
  uint64_t maximumNumberOfSelection() const { return maximum_; }
  void setMaximumNumberOfSelection(uint64_t m) { maximum_ = m; }
  const std::string& prompt() const { return prompt_; }
  void setPrompt(std::string p) { prompt_ = std::move(p); }
  bool showsNumberOfSelectedAssets() const { return showsNumber_; }
  void setShowsNumberOfSelectedAssets(bool s) { showsNumber_ = s; }
  uint64_t numberOfColumnsInPortrait() const { return columnsPortrait_; }
  void setNumberOfColumnsInPortrait(uint64_t n) { columnsPortrait_ = n; }
  uint64_t numberOfColumnsInLandscape() const { return columnsLandscape_; }
  void setNumberOfColumnsInLandscape(uint64_t n) { columnsLandscape_ = n; }
  // Stored only.
  bool showsCancelButton() const { return showsCancelButton_; }
  void setShowsCancelButton(bool s) { showsCancelButton_ = s; }

  // The selection, oldest pick first.
  const std::vector<std::string>& selectedAssetURLs() const { return selected_; }
  bool isSelected(const std::string& url) const;
  // Each change is announced (will/did change of kSelectedAssetURLsKey). Adding a URL that
  // is already there, or removing one that is not, changes nothing.
  void addSelectedAssetURL(const std::string& url);
  void removeSelectedAssetURL(const std::string& url);

  // The selection rules.
  bool isMinimumSelectionLimitFulfilled() const;
  bool isMaximumSelectionLimitReached() const;
  bool isAutoDeselectEnabled() const;
  // Whether the user may select the asset now (the delegate's answer when it has one).
  bool shouldSelectAsset(const plat::ALAssetRef& asset);

  plat::UINavigationControllerRef albumsNavigationController() const { return albumsNav_; }
  plat::ALAssetsLibrary& assetsLibrary() { return *library_; }
  // nullptr when the main bundle has no "Lumora.bundle".
  std::shared_ptr<plat::NSBundle> assetBundle() const { return bundle_; }
  // Whether the screens could be built.
  bool isUsable() const { return albumsNav_ != nullptr; }
  // The text of the "QBImagePicker" table for key.
  std::string localizedString(const std::string& key) const;
  // The assets filter filterType chooses (null for no filter).
  plat::ALAssetsFilterRef assetsFilter() const;

  // Posted answer: the assets of the selected URLs, in selection order, once every URL has
  // answered; URLs without an asset are left out (and logged).
  void fetchAssetsFromSelectedAssetURLsWithCompletion(
      std::function<void(const std::vector<plat::ALAssetRef>&)> completion);
  // The Done and Cancel actions of the screens.
  void done();
  void cancel();
  bool hasFinished() const { return finished_; }

  // Passes appearance on to the navigation controller.
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;

 private:
  std::weak_ptr<QBImagePickerControllerDelegate> delegate_;
  std::vector<plat::ALAssetsGroupType> groupTypes_;
  uint64_t filterType_ = 0;
  bool allowsMultipleSelection_ = false;
  uint64_t minimum_ = 1, maximum_ = 0;
  std::string prompt_;
  bool showsNumber_ = false;
  uint64_t columnsPortrait_ = 4, columnsLandscape_ = 7;
  bool showsCancelButton_ = false;
  std::vector<std::string> selected_;
  plat::UINavigationControllerRef albumsNav_;
  std::shared_ptr<plat::ALAssetsLibrary> library_;
  std::shared_ptr<plat::NSBundle> bundle_;
  bool finished_ = false;
};
