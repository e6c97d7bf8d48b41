#include "KRH5Plugin/QBImagePickerController.h"

#include <algorithm>

#include "KRH5Plugin/QBAlbumsViewController.h"
#include "platform/device/UIImagePickerController.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"

using namespace plat;

namespace {

const char* const kBundleName = "Lumora";
const char* const kStringTable = "QBImagePicker";

// What the storyboard "QBImagePicker" holds under "AlbumsNavigationController": a navigation
// controller whose root is the album list, with its Cancel and Done buttons wired.
UINavigationControllerRef instantiateAlbumsNavigationController(
    const std::shared_ptr<QBImagePickerController>& picker) {
  auto albums = std::make_shared<QBAlbumsViewController>();
  albums->didInit();
  albums->setImagePickerController(picker);
  std::weak_ptr<QBAlbumsViewController> weak = albums;
  albums->navigationItem()->setLeftBarButtonItem(UIBarButtonItem::itemWithSystemItem(
      UIBarButtonSystemItemCancel, [weak](const UIBarButtonItemRef&) {
        if (auto a = weak.lock()) a->cancel();
      }));
  albums->setDoneButton(UIBarButtonItem::itemWithSystemItem(
      UIBarButtonSystemItemDone, [weak](const UIBarButtonItemRef&) {
        if (auto a = weak.lock()) a->done();
      }));
  return UINavigationController::navigationControllerWithRootViewController(albums);
}

}  // namespace

void QBImagePickerController::didInit() {
  UIViewController::didInit();
  groupTypes_ = {ALAssetsGroupSavedPhotos, ALAssetsGroupPhotoStream, ALAssetsGroupAlbum};
  filterType_ = 0;
  minimum_ = 1;
  columnsPortrait_ = 4;
  columnsLandscape_ = 7;
  library_ = std::make_shared<ALAssetsLibrary>();
  selected_.clear();
  std::string path = NSBundle::mainBundle()->pathForResourceOfType(kBundleName, "bundle");
  if (path.empty()) {
    NSLog("QBImagePicker: no resource bundle \"%@.bundle\"; the picker has no screens",
          kBundleName);
    return;
  }
  bundle_ = NSBundle::bundleWithPath(path);
  auto self = std::static_pointer_cast<QBImagePickerController>(shared_from_this());
  auto nav = instantiateAlbumsNavigationController(self);
  addChildViewController(nav);
  auto container = view();
  nav->view()->setFrame(container->bounds());
  nav->view()->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                   UIViewAutoresizingFlexibleHeight);
  container->addSubview(nav->view());
  nav->didMoveToParentViewController(self);
  albumsNav_ = nav;
}

bool QBImagePickerController::isAccessible() {
  return UIImagePickerController::isSourceTypeAvailable(
             UIImagePickerControllerSourceTypePhotoLibrary) &&
         UIImagePickerController::isSourceTypeAvailable(
             UIImagePickerControllerSourceTypeSavedPhotosAlbum);
}

std::string QBImagePickerController::localizedString(const std::string& key) const {
  return bundle_ ? bundle_->localizedStringForKeyValueTable(key, "", kStringTable) : key;
}

ALAssetsFilterRef QBImagePickerController::assetsFilter() const {
  switch (filterType_) {
    case 0: return ALAssetsFilter::allAssets();
    case 1: return ALAssetsFilter::allPhotos();
    case 2: return ALAssetsFilter::allVideos();
    default: return nullptr;
  }
}

// ---- Selection ----

bool QBImagePickerController::isSelected(const std::string& url) const {
  return std::find(selected_.begin(), selected_.end(), url) != selected_.end();
}

void QBImagePickerController::addSelectedAssetURL(const std::string& url) {
  if (isSelected(url)) return;
  willChangeValueForKey(kSelectedAssetURLsKey);
  selected_.push_back(url);
  didChangeValueForKey(kSelectedAssetURLsKey);
}

void QBImagePickerController::removeSelectedAssetURL(const std::string& url) {
  auto it = std::find(selected_.begin(), selected_.end(), url);
  if (it == selected_.end()) return;
  willChangeValueForKey(kSelectedAssetURLsKey);
  selected_.erase(it);
  didChangeValueForKey(kSelectedAssetURLsKey);
}

bool QBImagePickerController::isMinimumSelectionLimitFulfilled() const {
  return minimum_ <= selected_.size();
}

bool QBImagePickerController::isMaximumSelectionLimitReached() const {
  uint64_t m = std::max<uint64_t>(1, minimum_);
  if (m > maximum_) return false;
  return maximum_ <= selected_.size();
}

bool QBImagePickerController::isAutoDeselectEnabled() const {
  return maximum_ == 1 && minimum_ <= 1;
}

bool QBImagePickerController::shouldSelectAsset(const ALAssetRef& asset) {
  if (auto d = delegate()) {
    auto self = std::static_pointer_cast<QBImagePickerController>(shared_from_this());
    if (auto answer = d->qb_imagePickerControllerShouldSelectAsset(self, asset)) return *answer;
  }
  if (isAutoDeselectEnabled()) return true;
  return !isMaximumSelectionLimitReached();
}

// ---- Done and Cancel ----

namespace {

// One look-up per selected URL; the answers fill the URL's slot, and the completion runs once
// every URL has answered, whatever the order of the answers.
struct Lookup {
  std::vector<std::string> urls;
  std::vector<ALAssetRef> slots;
  size_t answered = 0;
  std::function<void(const std::vector<ALAssetRef>&)> completion;

  void answer() {
    if (++answered != urls.size()) return;
    std::vector<ALAssetRef> found;
    for (size_t i = 0; i < urls.size(); ++i) {
      if (slots[i]) found.push_back(slots[i]);
      else NSLog("QBImagePicker: the picked asset %@ is no longer in the library", urls[i]);
    }
    auto done = std::move(completion);
    completion = nullptr;
    if (done) done(found);
  }
};

void logError(const NSErrorRef& error) {
  NSLog("Error: %@", error ? error->localizedDescription() : std::string("(null)"));
}

// Looks for the URL among the photo streams' assets, newest first; answers once every stream
// has been searched.
void searchPhotoStreams(const std::shared_ptr<ALAssetsLibrary>& library,
                        const std::shared_ptr<Lookup>& lookup, size_t slot) {
  struct Search {
    bool groupsEnded = false;
    int pendingGroups = 0;
    bool answered = false;
  };
  auto search = std::make_shared<Search>();
  auto finishIfDone = [lookup, search] {
    if (search->answered || !search->groupsEnded || search->pendingGroups > 0) return;
    search->answered = true;
    lookup->answer();
  };
  const std::string url = lookup->urls[slot];
  library->enumerateGroupsWithTypesUsingBlockFailureBlock(
      ALAssetsGroupPhotoStream,
      [lookup, search, slot, url, finishIfDone](const ALAssetsGroupRef& group, bool&) {
        if (!group) {
          search->groupsEnded = true;
          finishIfDone();
          return;
        }
        ++search->pendingGroups;
        group->enumerateAssetsWithOptionsUsingBlock(
            NSEnumerationReverse,
            [lookup, search, slot, url, finishIfDone](const ALAssetRef& asset, uint64_t,
                                                      bool& stop) {
              if (!asset) {
                --search->pendingGroups;
                finishIfDone();
                return;
              }
              if (asset->defaultRepresentation()->url() != url) return;
              if (!lookup->slots[slot]) lookup->slots[slot] = asset;
              stop = true;
            });
      },
      [search, lookup](const NSErrorRef& error) {
        logError(error);
        if (search->answered) return;
        search->answered = true;
        lookup->answer();
      });
}

}  // namespace

void QBImagePickerController::fetchAssetsFromSelectedAssetURLsWithCompletion(
    std::function<void(const std::vector<ALAssetRef>&)> completion) {
  auto lookup = std::make_shared<Lookup>();
  lookup->urls = selected_;
  lookup->slots.resize(selected_.size());
  lookup->completion = std::move(completion);
  if (lookup->urls.empty()) {
    dispatch_async(dispatch_get_main_queue(), [lookup] {
      if (auto done = std::move(lookup->completion)) done({});
    });
    return;
  }
  auto library = library_;
  for (size_t i = 0; i < lookup->urls.size(); ++i) {
    library->assetForURLResultBlockFailureBlock(
        lookup->urls[i],
        [library, lookup, i](const ALAssetRef& asset) {
          if (!asset) return searchPhotoStreams(library, lookup, i);
          lookup->slots[i] = asset;
          lookup->answer();
        },
        [lookup](const NSErrorRef& error) {
          logError(error);
          lookup->answer();
        });
  }
}

void QBImagePickerController::done() {
  if (finished_) return;
  auto d = delegate();
  if (!d || !d->implementsDidSelectAssets()) return;
  finished_ = true;
  std::weak_ptr<QBImagePickerController> weakSelf =
      std::static_pointer_cast<QBImagePickerController>(shared_from_this());
  std::weak_ptr<QBImagePickerControllerDelegate> weakDelegate = d;
  fetchAssetsFromSelectedAssetURLsWithCompletion(
      [weakSelf, weakDelegate](const std::vector<ALAssetRef>& assets) {
        auto self = weakSelf.lock();
        auto delegate = weakDelegate.lock();
        if (self && delegate) delegate->qb_imagePickerControllerDidSelectAssets(self, assets);
      });
}

void QBImagePickerController::cancel() {
  if (finished_) return;
  auto d = delegate();
  if (!d || !d->implementsDidCancel()) return;
  finished_ = true;
  d->qb_imagePickerControllerDidCancel(
      std::static_pointer_cast<QBImagePickerController>(shared_from_this()));
}

// ---- Appearance ----

void QBImagePickerController::viewWillAppear(bool animated) {
  if (albumsNav_) albumsNav_->viewWillAppear(animated);
}
void QBImagePickerController::viewDidAppear(bool animated) {
  if (albumsNav_) albumsNav_->viewDidAppear(animated);
}
void QBImagePickerController::viewWillDisappear(bool animated) {
  if (albumsNav_) albumsNav_->viewWillDisappear(animated);
}
void QBImagePickerController::viewDidDisappear(bool animated) {
  if (albumsNav_) albumsNav_->viewDidDisappear(animated);
}
