#pragma once
// QBAlbumsViewController: the picker's first screen, a table of the photo library's albums
// (saved photos, then photo streams, then albums) with their three newest thumbnails, name and
// count; a tap on a row pushes the album's grid. It carries the picker's Cancel and Done
// buttons and the toolbar with the selection count, and reloads when the library changes.
// QBAlbumCell: one row of it.
// Main thread only (library changes arriving on other threads are moved to the main queue).

#include <memory>
#include <string>
#include <vector>

#include "platform/device/ALAssetsLibrary.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UITableView.h"

class QBAssetsViewController;
class QBImagePickerController;

// The toolbar both picker screens show: a disabled, black item for the selection count
// between two flexible spaces.
std::vector<plat::UIBarButtonItemRef> QBSelectionToolbarItems();
// Sets that item's title: the "items_selected" text with the selection size, or "" when
// nothing is selected.
void QBUpdateSelectionInfo(plat::UIViewController& screen, const QBImagePickerController& picker);

class QBAlbumCell : public plat::UITableViewCell {
 public:
  static constexpr double kRowHeight = 86;
  explicit QBAlbumCell(std::string reuseIdentifier)
      : plat::UITableViewCell(plat::UITableViewCellStyleDefault, std::move(reuseIdentifier)) {}
  void didInit() override;
  std::string className() const override { return "QBAlbumCell"; }

  // Three stacked thumbnails, 1 in front.
  std::shared_ptr<plat::UIImageView> imageView1() const { return imageView1_; }
  std::shared_ptr<plat::UIImageView> imageView2() const { return imageView2_; }
  std::shared_ptr<plat::UIImageView> imageView3() const { return imageView3_; }
  std::shared_ptr<plat::UILabel> titleLabel() const { return titleLabel_; }
  std::shared_ptr<plat::UILabel> countLabel() const { return countLabel_; }
  double borderWidth() const { return borderWidth_; }
  // Gives the three thumbnails a white border of this width.
  void setBorderWidth(double w);

 private:
  std::shared_ptr<plat::UIImageView> imageView1_, imageView2_, imageView3_;
  std::shared_ptr<plat::UILabel> titleLabel_, countLabel_;
  double borderWidth_ = 0;
};

class QBAlbumsViewController : public plat::UIViewController,
                               public plat::UITableViewDataSource,
                               public plat::UITableViewDelegate {
 public:
  static constexpr const char* kCellIdentifier = "AlbumCell";

  QBAlbumsViewController() = default;
  ~QBAlbumsViewController() override;
  std::string className() const override { return "QBAlbumsViewController"; }

  std::shared_ptr<QBImagePickerController> imagePickerController() const {
    return imagePickerController_.lock();
  }
  void setImagePickerController(std::weak_ptr<QBImagePickerController> p) {
    imagePickerController_ = std::move(p);
  }
  plat::UIBarButtonItemRef doneButton() const { return doneButton_; }
  void setDoneButton(plat::UIBarButtonItemRef b) { doneButton_ = std::move(b); }
  const std::vector<plat::ALAssetsGroupRef>& assetsGroups() const { return assetsGroups_; }
  std::shared_ptr<plat::UITableView> tableView() const;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;

  void assetsLibraryChanged();
  // The picker's selection tests and look-up, asked of this screen (false, and no answer,
  // once the picker is gone).
  bool isMinimumSelectionLimitFulfilled() const;
  bool isMaximumSelectionLimitReached() const;
  void fetchAssetsFromSelectedAssetURLsWithCompletion(
      std::function<void(const std::vector<plat::ALAssetRef>&)> completion);
  void cancel();
  void done();
  void setUpToolbarItems();
  void updateSelectionInfo();
  void updateControlState();
  // Two outlined frames, the front one cut free of the back one, in a w x h image at scale 1.
  static plat::UIImageRef placeholderImageWithSize(plat::CGSize size);
  // Fetches the groups of the picker's types (posted), then orders them by type.
  void updateAssetsGroupsWithCompletion(std::function<void()> completion);
  void fetchAssetsGroupsWithTypes(
      const std::vector<plat::ALAssetsGroupType>& types,
      std::function<void(const std::vector<plat::ALAssetsGroupRef>&)> completion);
  // Pushes the grid of the album at row (what the row's segue does).
  void showAssetsOfAlbumAtRow(int64_t row);
  // The segue's preparation: the grid gets the picker and the album at `row`. A row past the
  // album list, or no grid, changes nothing.
  void prepareForSegueSender(const std::shared_ptr<QBAssetsViewController>& destination,
                             int64_t row);

  int64_t numberOfSectionsInTableView(plat::UITableView&) override { return 1; }
  int64_t tableViewNumberOfRowsInSection(plat::UITableView&, int64_t) override {
    return static_cast<int64_t>(assetsGroups_.size());
  }
  plat::UITableViewCellRef tableViewCellForRowAtIndexPath(plat::UITableView& tableView,
                                                          plat::NSIndexPath indexPath) override;
  void tableViewDidSelectRowAtIndexPath(plat::UITableView& tableView,
                                        plat::NSIndexPath indexPath) override;

 private:
  std::weak_ptr<QBImagePickerController> imagePickerController_;
  plat::UIBarButtonItemRef doneButton_;
  std::vector<plat::ALAssetsGroupRef> assetsGroups_;
  bool observing_ = false;
};
