#include "KRH5Plugin/QBAlbumsViewController.h"

#include <map>

#include "KRH5Plugin/QBAssetsViewController.h"
#include "KRH5Plugin/QBImagePickerController.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"

using namespace plat;

namespace {

const char* const kTitleKey = "title";
const char* const kItemsSelectedKey = "items_selected";

}  // namespace

std::vector<UIBarButtonItemRef> QBSelectionToolbarItems() {
  auto info = UIBarButtonItem::itemWithTitle("", UIBarButtonItemStylePlain);
  info->setEnabled(false);
  info->setTitleColorForState(UIColor::blackColor(), UIControlStateNormal);
  info->setTitleColorForState(UIColor::blackColor(), UIControlStateDisabled);
  return {UIBarButtonItem::itemWithSystemItem(UIBarButtonSystemItemFlexibleSpace), info,
          UIBarButtonItem::itemWithSystemItem(UIBarButtonSystemItemFlexibleSpace)};
}

void QBUpdateSelectionInfo(UIViewController& screen, const QBImagePickerController& picker) {
  const auto& items = screen.toolbarItems();
  if (items.size() != 3) return;
  const auto& selected = picker.selectedAssetURLs();
  items[1]->setTitle(selected.empty() ? ""
                                      : plat::format(picker.localizedString(kItemsSelectedKey),
                                                     static_cast<unsigned long>(selected.size())));
  if (auto nav = screen.navigationController(); nav && nav->isViewLoaded())
    nav->toolbar()->setNeedsDisplay();
}

// ---- QBAlbumCell ----

void QBAlbumCell::didInit() {
  UITableViewCell::didInit();
  setFrame(CGRectMake(0, 0, 320, kRowHeight));
  // Back to front: 3 smallest and highest, 1 in front.
  imageView3_ = make<UIImageView>(CGRectMake(20, 8, 60, 60));
  imageView2_ = make<UIImageView>(CGRectMake(18, 10, 64, 64));
  imageView1_ = make<UIImageView>(CGRectMake(16, 12, 68, 68));
  for (auto& v : {imageView3_, imageView2_, imageView1_}) {
    v->setContentMode(UIViewContentModeScaleAspectFill);
    v->setClipsToBounds(true);
    contentView()->addSubview(v);
  }
  titleLabel_ = make<UILabel>(CGRectMake(102, 22, 200, 22));
  titleLabel_->setFont(UIFont::systemFontOfSize(17));
  countLabel_ = make<UILabel>(CGRectMake(102, 46, 200, 18));
  countLabel_->setFont(UIFont::systemFontOfSize(12));
  contentView()->addSubview(titleLabel_);
  contentView()->addSubview(countLabel_);
}

void QBAlbumCell::setBorderWidth(double w) {
  borderWidth_ = w;
  for (auto& v : {imageView1_, imageView2_, imageView3_}) {
    v->layer()->setBorderColor(UIColor::whiteColor().CGColor());
    v->layer()->setBorderWidth(w);
  }
}

// ---- QBAlbumsViewController ----

QBAlbumsViewController::~QBAlbumsViewController() {
  if (observing_)
    NSNotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
}

std::shared_ptr<UITableView> QBAlbumsViewController::tableView() const {
  return isViewLoaded() ? std::static_pointer_cast<UITableView>(
                              const_cast<QBAlbumsViewController*>(this)->view())
                        : nullptr;
}

void QBAlbumsViewController::loadView() {
  auto table = make<UITableView>(UIScreen::mainScreen().bounds());
  table->setRowHeight(QBAlbumCell::kRowHeight);
  table->registerCellFactory(kCellIdentifier,
                             [](const std::string& id) { return make<QBAlbumCell>(id); });
  auto self = std::static_pointer_cast<QBAlbumsViewController>(shared_from_this());
  table->setDataSource(std::static_pointer_cast<UITableViewDataSource>(self));
  table->setDelegate(std::static_pointer_cast<UITableViewDelegate>(self));
  setView(table);
}

void QBAlbumsViewController::viewDidLoad() {
  setUpToolbarItems();
  std::weak_ptr<QBAlbumsViewController> weak =
      std::static_pointer_cast<QBAlbumsViewController>(shared_from_this());
  updateAssetsGroupsWithCompletion([weak] {
    if (auto self = weak.lock()) self->tableView()->reloadData();
  });
  NSNotificationCenter::defaultCenter().addObserverSelectorNameObject(
      std::static_pointer_cast<QBAlbumsViewController>(shared_from_this()),
      [weak](const NSNotification&) {
        // The library may post on any thread.
        dispatch_async(dispatch_get_main_queue(), [weak] {
          if (auto self = weak.lock()) self->assetsLibraryChanged();
        });
      },
      ALAssetsLibraryChangedNotification, Value());
  observing_ = true;
}

void QBAlbumsViewController::assetsLibraryChanged() {
  std::weak_ptr<QBAlbumsViewController> weak =
      std::static_pointer_cast<QBAlbumsViewController>(shared_from_this());
  updateAssetsGroupsWithCompletion([weak] {
    if (auto self = weak.lock()) self->tableView()->reloadData();
  });
}

void QBAlbumsViewController::viewWillAppear(bool) {
  auto picker = imagePickerController();
  if (!picker) return;
  setTitle(picker->localizedString(kTitleKey));
  navigationItem()->setPrompt(picker->prompt());
  navigationItem()->setRightBarButtonItem(picker->allowsMultipleSelection() ? doneButton_
                                                                            : nullptr);
  updateControlState();
  updateSelectionInfo();
  if (auto nav = navigationController(); nav && nav->isViewLoaded()) nav->view()->setNeedsLayout();
}

void QBAlbumsViewController::cancel() {
  if (auto picker = imagePickerController()) picker->cancel();
}

void QBAlbumsViewController::done() {
  if (auto picker = imagePickerController()) picker->done();
}

void QBAlbumsViewController::setUpToolbarItems() { setToolbarItems(QBSelectionToolbarItems()); }

void QBAlbumsViewController::updateSelectionInfo() {
  if (auto picker = imagePickerController()) QBUpdateSelectionInfo(*this, *picker);
}

void QBAlbumsViewController::updateControlState() {
  auto picker = imagePickerController();
  if (doneButton_ && picker) doneButton_->setEnabled(picker->isMinimumSelectionLimitFulfilled());
}

UIImageRef QBAlbumsViewController::placeholderImageWithSize(CGSize size) {
  double w = size.width, h = size.height;
  if (w <= 0 || h <= 0) return nullptr;
  UIGraphicsBeginImageContextWithOptions(size, false, 1.0);
  UIColor background(239 / 255.0, 239 / 255.0, 244 / 255.0, 1);
  UIColor icon(179 / 255.0, 179 / 255.0, 182 / 255.0, 1);
  CGRect back = CGRectMake(w * 4 / 17, h * 5 / 17, w * 8 / 17, h * 6 / 17);
  CGRect front = CGRectMake(w * 5 / 17, h * 6 / 17, w * 8 / 17, h * 6 / 17);
  auto fill = [](const UIColor& c, CGRect r) {
    c.setFill();
    UIRectFill(r);
  };
  fill(background, CGRectMake(0, 0, w, h));
  fill(icon, back);
  fill(background, CGRectInset(back, 1, 1));
  fill(background, CGRectInset(front, -1, -1));
  fill(icon, front);
  fill(background, CGRectInset(front, 1, 1));
  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

void QBAlbumsViewController::fetchAssetsGroupsWithTypes(
    const std::vector<ALAssetsGroupType>& types,
    std::function<void(const std::vector<ALAssetsGroupRef>&)> completion) {
  auto picker = imagePickerController();
  if (!picker) return;
  struct Fetch {
    std::vector<ALAssetsGroupRef> groups;
    size_t finished = 0, count = 0;
    std::function<void(const std::vector<ALAssetsGroupRef>&)> completion;
  };
  auto fetch = std::make_shared<Fetch>();
  fetch->count = types.size();
  fetch->completion = std::move(completion);
  if (types.empty()) {
    dispatch_async(dispatch_get_main_queue(), [fetch] { fetch->completion({}); });
    return;
  }
  std::weak_ptr<QBImagePickerController> weakPicker = picker;
  for (auto type : types) {
    picker->assetsLibrary().enumerateGroupsWithTypesUsingBlockFailureBlock(
        type,
        [fetch, weakPicker](const ALAssetsGroupRef& group, bool&) {
          if (group) {
            // The filter as the picker is set up when the group arrives.
            if (auto picker = weakPicker.lock()) group->setAssetsFilter(picker->assetsFilter());
            fetch->groups.push_back(group);
            return;
          }
          if (++fetch->finished == fetch->count && fetch->completion)
            fetch->completion(fetch->groups);
        },
        [](const NSErrorRef& error) {
          NSLog("Error: %@", error ? error->localizedDescription() : std::string("(null)"));
        });
  }
}

void QBAlbumsViewController::updateAssetsGroupsWithCompletion(std::function<void()> completion) {
  auto picker = imagePickerController();
  if (!picker) return;
  auto types = picker->groupTypes();
  std::weak_ptr<QBAlbumsViewController> weak =
      std::static_pointer_cast<QBAlbumsViewController>(shared_from_this());
  fetchAssetsGroupsWithTypes(types, [weak, types,
                                     completion](const std::vector<ALAssetsGroupRef>& groups) {
    auto self = weak.lock();
    if (!self) return;
    std::map<uint64_t, std::vector<ALAssetsGroupRef>> buckets;
    for (auto& g : groups)
      buckets[g->valueForProperty(ALAssetsGroupPropertyType).unsignedIntegerValue()].push_back(g);
    std::vector<ALAssetsGroupRef> ordered;
    for (auto type : types) {
      auto& bucket = buckets[type];
      ordered.insert(ordered.end(), bucket.begin(), bucket.end());
      bucket.clear();
    }
    self->assetsGroups_ = std::move(ordered);
    if (completion) completion();
  });
}

UITableViewCellRef QBAlbumsViewController::tableViewCellForRowAtIndexPath(UITableView& tableView,
                                                                          NSIndexPath indexPath) {
  auto cell = std::dynamic_pointer_cast<QBAlbumCell>(
      tableView.dequeueReusableCellWithIdentifier(kCellIdentifier));
  if (!cell || indexPath.row < 0 || indexPath.row >= int64_t(assetsGroups_.size())) return cell;
  int64_t row = indexPath.row;
  cell->setTag(row);
  cell->setBorderWidth(1.0 / UIScreen::mainScreen().scale());
  auto group = assetsGroups_[row];
  uint64_t count = group->numberOfAssets();
  uint64_t n = std::min<uint64_t>(count, 3);
  if (n > 0) {
    cell->imageView3()->setHidden(true);
    cell->imageView2()->setHidden(true);
    std::set<uint64_t> indexes;
    for (uint64_t i = count - n; i < count; ++i) indexes.insert(i);
    std::weak_ptr<QBAlbumCell> weakCell = cell;
    group->enumerateAssetsAtIndexesOptionsUsingBlock(
        indexes, 0, [weakCell, row, count](const ALAssetRef& asset, uint64_t index, bool&) {
          auto cell = weakCell.lock();
          if (!asset || !cell || cell->tag() != row) return;  // reused for another row meanwhile
          auto image = UIImage::imageWithCGImage(asset->thumbnail());
          std::shared_ptr<UIImageView> view = index == count - 1   ? cell->imageView1()
                                              : index == count - 2 ? cell->imageView2()
                                                                   : cell->imageView3();
          view->setImage(image);
          view->setHidden(false);
        });
  } else {
    cell->imageView3()->setHidden(false);
    cell->imageView2()->setHidden(false);
    auto placeholder = placeholderImageWithSize(cell->imageView1()->frame().size);
    for (auto& v : {cell->imageView1(), cell->imageView2(), cell->imageView3()})
      v->setImage(placeholder);
  }
  cell->titleLabel()->setText(group->valueForProperty(ALAssetsGroupPropertyName).stringOr());
  cell->countLabel()->setText(plat::format("%lu", static_cast<unsigned long>(count)));
  return cell;
}

void QBAlbumsViewController::tableViewDidSelectRowAtIndexPath(UITableView&, NSIndexPath indexPath) {
  showAssetsOfAlbumAtRow(indexPath.row);
}

void QBAlbumsViewController::showAssetsOfAlbumAtRow(int64_t row) {
  auto nav = navigationController();
  if (!nav || row < 0 || row >= int64_t(assetsGroups_.size())) return;
  // The grid as the storyboard's segue makes it, with its own Done button.
  auto grid = std::make_shared<QBAssetsViewController>();
  grid->didInit();
  std::weak_ptr<QBAssetsViewController> weak = grid;
  grid->setDoneButton(UIBarButtonItem::itemWithSystemItem(UIBarButtonSystemItemDone,
                                                          [weak](const UIBarButtonItemRef&) {
                                                            if (auto g = weak.lock()) g->done();
                                                          }));
  prepareForSegueSender(grid, row);
  nav->pushViewControllerAnimated(grid, true);
}

void QBAlbumsViewController::prepareForSegueSender(
    const std::shared_ptr<QBAssetsViewController>& destination, int64_t row) {
  if (!destination || row < 0 || row >= int64_t(assetsGroups_.size())) return;
  destination->setImagePickerController(imagePickerController_);
  destination->setAssetsGroup(assetsGroups_[row]);
}

bool QBAlbumsViewController::isMinimumSelectionLimitFulfilled() const {
  auto p = imagePickerController();
  return p && p->isMinimumSelectionLimitFulfilled();
}

bool QBAlbumsViewController::isMaximumSelectionLimitReached() const {
  auto p = imagePickerController();
  return p && p->isMaximumSelectionLimitReached();
}

void QBAlbumsViewController::fetchAssetsFromSelectedAssetURLsWithCompletion(
    std::function<void(const std::vector<ALAssetRef>&)> completion) {
  if (auto p = imagePickerController())
    p->fetchAssetsFromSelectedAssetURLsWithCompletion(std::move(completion));
}
