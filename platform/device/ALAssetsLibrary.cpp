#include "platform/device/ALAssetsLibrary.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSRange.h"
#include "platform/foundation/NSUUID.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"

namespace plat {

namespace {

const char* const kAssetPrefix = "assets-library://asset/asset.";
const char* const kGroupPrefix = "assets-library://group/?id=";
const char* const kSavedPhotosID = "00000000-0000-0000-0000-000000000010";
const char* const kSavedPhotosName = "Camera Roll";
constexpr int kThumbnailPixels = 150;

std::mutex gAlbumMu;

std::string albumPath() { return DeviceRoot::platformStatePath() + "/PhotoLibrary"; }

// The extension the bytes' signature names; empty for anything else.
std::string extensionOf(const Data& d) {
  const uint8_t* b = d.bytes();
  size_t n = d.length();
  if (n >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) return "PNG";
  if (n >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff) return "JPG";
  if (n >= 6 && std::memcmp(b, "GIF8", 4) == 0) return "GIF";
  if (n >= 4 && (std::memcmp(b, "II*\0", 4) == 0 || std::memcmp(b, "MM\0*", 4) == 0)) return "TIFF";
  if (n >= 2 && b[0] == 'B' && b[1] == 'M') return "BMP";
  return "";
}

std::string assetURL(const std::string& id, const std::string& ext) {
  return kAssetPrefix + ext + "?id=" + id + "&ext=" + ext;
}

// Identifiers and extensions are letters, digits and '-': anything else in a URL is refused,
// so a URL never names a file outside the album.
bool isSafeToken(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
}

// The saved photo file an asset URL names; "" when the URL is not of that form.
std::string fileOfURL(const std::string& url) {
  if (url.rfind(kAssetPrefix, 0) != 0) return "";
  size_t q = url.find("?id=");
  size_t amp = url.find("&ext=");
  if (q == std::string::npos || amp == std::string::npos || amp < q) return "";
  std::string id = url.substr(q + 4, amp - q - 4);
  std::string ext = url.substr(amp + 5);
  if (!isSafeToken(id) || !isSafeToken(ext)) return "";
  return albumPath() + "/" + id + "." + ext;
}

struct InjectedGroup {
  std::string url, name;
  ALAssetsGroupType type;
  std::vector<std::string> assets;
};

struct Store {
  std::map<std::string, std::shared_ptr<ALAssetSource>> assets;  // injected, by URL
  std::vector<std::string> savedExtra;                           // injected into saved photos
  std::vector<InjectedGroup> groups;                             // creation order
};

Store& store() {
  static auto* s = new Store;
  return *s;
}

// REQUIRES: gAlbumMu held.
std::vector<std::string> savedPhotoPathsLocked() {
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(albumPath(), ec))
    if (e.is_regular_file(ec)) files.emplace_back(e.last_write_time(ec), e.path().string());
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  for (auto& f : files) out.push_back(std::move(f.second));
  return out;
}

std::shared_ptr<ALAssetSource> fileSource(const std::string& path) {
  std::filesystem::path p(path);
  std::string ext = p.extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  auto s = std::make_shared<ALAssetSource>();
  s->url = assetURL(p.stem().string(), ext);
  s->file = path;
  return s;
}

// REQUIRES: gAlbumMu held. The group's assets now; nullopt for an unknown group.
std::optional<std::vector<std::shared_ptr<const ALAssetSource>>> groupSourcesLocked(
    const std::string& url) {
  std::vector<std::shared_ptr<const ALAssetSource>> out;
  auto& st = store();
  if (url == ALAssetsLibrary::savedPhotosGroupURL()) {
    for (auto& path : savedPhotoPathsLocked()) out.push_back(fileSource(path));
    for (auto& u : st.savedExtra) out.push_back(st.assets.at(u));
    return out;
  }
  for (auto& g : st.groups) {
    if (g.url != url) continue;
    for (auto& u : g.assets) out.push_back(st.assets.at(u));
    return out;
  }
  return std::nullopt;
}

InjectedGroup* findGroupLocked(const std::string& url) {
  for (auto& g : store().groups)
    if (g.url == url) return &g;
  return nullptr;
}

void postChange(const Dictionary& userInfo) {
  NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      ALAssetsLibraryChangedNotification, Value(), Value(userInfo));
}

void postGroupsUpdated(const std::vector<std::string>& groups,
                       const std::vector<std::string>& assets) {
  Array g, a;
  for (auto& u : groups) g.push_back(Value(u));
  for (auto& u : assets) a.push_back(Value(u));
  Dictionary info;
  info.set(ALAssetLibraryUpdatedAssetGroupsKey, Value(g));
  info.set(ALAssetLibraryUpdatedAssetsKey, Value(a));
  postChange(info);
}

bool isDenied() {
  auto s = PermissionStore::shared().photoLibraryStatus();
  return s == AuthorizationStatusRestricted || s == AuthorizationStatusDenied;
}

NSErrorRef deniedError() {
  return NSError::make(ALAssetsLibraryErrorDomain, ALAssetsLibraryAccessUserDeniedError,
                       "User denied access");
}

UIImageRef pictureOf(const ALAssetSource& s) {
  if (s.image) return s.image;
  std::error_code ec;
  if (s.file.empty() || !std::filesystem::is_regular_file(s.file, ec)) return nullptr;
  return UIImage::imageWithContentsOfFile(s.file);
}

// Draws the picture into a w x h canvas at scale 1 in rect.
CGImageRef drawPicture(const UIImageRef& picture, int w, int h, CGRect rect) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(w, h), false, 1);
  picture->drawInRect(rect);
  auto out = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return out ? out->CGImage() : nullptr;
}

}  // namespace

// ---- ALAssetsFilter ----

ALAssetsFilterRef ALAssetsFilter::allPhotos() {
  return std::make_shared<ALAssetsFilter>(Kind::Photos);
}
ALAssetsFilterRef ALAssetsFilter::allVideos() {
  return std::make_shared<ALAssetsFilter>(Kind::Videos);
}
ALAssetsFilterRef ALAssetsFilter::allAssets() { return std::make_shared<ALAssetsFilter>(Kind::All); }

// ---- ALAsset ----

Value ALAsset::valueForProperty(const std::string& property) const {
  if (property == ALAssetPropertyType)
    return Value(source_->video ? ALAssetTypeVideo : ALAssetTypePhoto);
  if (property == ALAssetPropertyDuration) return source_->video ? Value(source_->duration) : Value();
  if (property == ALAssetPropertyAssetURL) return Value(source_->url);
  return Value();
}

CGImageRef ALAsset::thumbnail() const {
  auto picture = pictureOf(*source_);
  if (!picture) return nullptr;
  CGSize s = picture->size();
  if (s.width <= 0 || s.height <= 0) return nullptr;
  double k = std::max(kThumbnailPixels / s.width, kThumbnailPixels / s.height);
  double w = s.width * k, h = s.height * k;
  return drawPicture(picture, kThumbnailPixels, kThumbnailPixels,
                     CGRectMake((kThumbnailPixels - w) / 2, (kThumbnailPixels - h) / 2, w, h));
}

ALAssetRepresentationRef ALAsset::defaultRepresentation() const {
  return std::make_shared<ALAssetRepresentation>(source_);
}

CGImageRef ALAssetRepresentation::fullScreenImage() const {
  auto picture = pictureOf(*source_);
  if (!picture) return nullptr;
  CGSize s = picture->size();
  if (s.width <= 0 || s.height <= 0) return nullptr;
  const UIScreen& screen = UIScreen::mainScreen();
  double sw = screen.bounds().size.width * screen.scale();
  double sh = screen.bounds().size.height * screen.scale();
  double k = std::min({1.0, sw / s.width, sh / s.height});
  int w = std::max(1, int(s.width * k + 0.5)), h = std::max(1, int(s.height * k + 0.5));
  if (k == 1.0 && picture->scale() == 1 && picture->imageOrientation() == UIImageOrientationUp)
    return picture->CGImage();
  return drawPicture(picture, w, h, CGRectMake(0, 0, w, h));
}

// ---- ALAssetsGroup ----

Value ALAssetsGroup::valueForProperty(const std::string& property) const {
  if (property == ALAssetsGroupPropertyName) return Value(name_);
  if (property == ALAssetsGroupPropertyType) return Value(static_cast<uint64_t>(type_));
  if (property == ALAssetsGroupPropertyPersistentID) return Value(url_.substr(std::strlen(kGroupPrefix)));
  if (property == ALAssetsGroupPropertyURL) return Value(url_);
  return Value();
}

std::vector<ALAssetRef> ALAssetsGroup::filteredAssets() const {
  std::vector<std::shared_ptr<const ALAssetSource>> sources;
  {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    if (auto s = groupSourcesLocked(url_)) sources = std::move(*s);
  }
  std::vector<ALAssetRef> out;
  for (auto& s : sources)
    if (!filter_ || filter_->accepts(s->video)) out.push_back(std::make_shared<ALAsset>(s));
  return out;
}

uint64_t ALAssetsGroup::numberOfAssets() const { return filteredAssets().size(); }

void ALAssetsGroup::enumerateAssetsUsingBlock(AssetBlock block) const {
  enumerate(nullptr, 0, std::move(block));
}

void ALAssetsGroup::enumerateAssetsWithOptionsUsingBlock(uint64_t options, AssetBlock block) const {
  enumerate(nullptr, options, std::move(block));
}

void ALAssetsGroup::enumerateAssetsAtIndexesOptionsUsingBlock(const std::set<uint64_t>& indexes,
                                                              uint64_t options,
                                                              AssetBlock block) const {
  enumerate(&indexes, options, std::move(block));
}

void ALAssetsGroup::enumerate(const std::set<uint64_t>* indexes, uint64_t options,
                              AssetBlock block) const {
  if (!block) return;
  auto assets = filteredAssets();
  std::vector<uint64_t> order;
  for (uint64_t i = 0; i < assets.size(); ++i)
    if (!indexes || indexes->count(i)) order.push_back(i);
  if (options & NSEnumerationReverse) std::reverse(order.begin(), order.end());
  dispatch_async(dispatch_get_main_queue(),
                 [assets = std::move(assets), order = std::move(order), block = std::move(block)] {
                   bool stop = false;
                   for (uint64_t i : order) {
                     block(assets[i], i, stop);
                     if (stop) break;
                   }
                   bool end = false;
                   block(nullptr, NSNotFound, end);
                 });
}

// ---- ALAssetsLibrary ----

AuthorizationStatus ALAssetsLibrary::authorizationStatus() {
  return PermissionStore::shared().photoLibraryStatus();
}

void ALAssetsLibrary::writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
    const Data& imageData, const Dictionary&, WriteCompletion completion) {
  std::string url;
  NSErrorRef error;
  std::string ext = extensionOf(imageData);
  if (ext.empty()) {
    error = NSError::make(ALAssetsLibraryErrorDomain, ALAssetsLibraryWriteInvalidDataError,
                          "Invalid image data");
  } else {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    std::string id = NSUUID().UUIDString();
    std::error_code ec;
    std::filesystem::create_directories(albumPath(), ec);
    std::string file = albumPath() + "/" + id + "." + ext;
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(imageData.bytes()), std::streamsize(imageData.length()));
    f.close();
    if (!f) {
      std::filesystem::remove(file, ec);
      error = NSError::make(ALAssetsLibraryErrorDomain, ALAssetsLibraryWriteFailedError,
                            "Write failed");
    } else {
      url = assetURL(id, ext);
    }
  }
  if (!url.empty()) postGroupsUpdated({savedPhotosGroupURL()}, {url});
  if (!completion) return;
  dispatch_async(dispatch_get_main_queue(),
                 [completion = std::move(completion), url, error] { completion(url, error); });
}

void ALAssetsLibrary::enumerateGroupsWithTypesUsingBlockFailureBlock(ALAssetsGroupType types,
                                                                     GroupBlock block,
                                                                     FailureBlock failure) {
  if (isDenied()) {
    if (failure)
      dispatch_async(dispatch_get_main_queue(), [failure = std::move(failure)] {
        failure(deniedError());
      });
    return;
  }
  std::vector<ALAssetsGroupRef> groups;
  if (types & ALAssetsGroupSavedPhotos)
    groups.push_back(std::make_shared<ALAssetsGroup>(savedPhotosGroupURL(), kSavedPhotosName,
                                                     ALAssetsGroupSavedPhotos));
  {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    for (auto& g : store().groups)
      if (types & g.type) groups.push_back(std::make_shared<ALAssetsGroup>(g.url, g.name, g.type));
  }
  if (!block) return;
  dispatch_async(dispatch_get_main_queue(),
                 [groups = std::move(groups), block = std::move(block)] {
                   bool stop = false;
                   for (auto& g : groups) {
                     block(g, stop);
                     if (stop) break;
                   }
                   bool end = false;
                   block(nullptr, end);
                 });
}

void ALAssetsLibrary::assetForURLResultBlockFailureBlock(const std::string& url,
                                                         ResultBlock result,
                                                         FailureBlock failure) {
  if (isDenied()) {
    if (failure)
      dispatch_async(dispatch_get_main_queue(), [failure = std::move(failure)] {
        failure(deniedError());
      });
    return;
  }
  std::shared_ptr<const ALAssetSource> found;
  {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    auto& st = store();
    auto it = st.assets.find(url);
    if (it != st.assets.end()) {
      bool outsideStreams =
          std::find(st.savedExtra.begin(), st.savedExtra.end(), url) != st.savedExtra.end();
      for (auto& g : st.groups)
        if (g.type != ALAssetsGroupPhotoStream &&
            std::find(g.assets.begin(), g.assets.end(), url) != g.assets.end())
          outsideStreams = true;
      if (outsideStreams) found = it->second;
    } else if (std::string file = fileOfURL(url); !file.empty()) {
      std::error_code ec;
      if (std::filesystem::is_regular_file(file, ec)) found = fileSource(file);
    }
  }
  if (!result) return;
  dispatch_async(dispatch_get_main_queue(), [found, result = std::move(result)] {
    result(found ? std::make_shared<ALAsset>(found) : nullptr);
  });
}

std::vector<std::string> ALAssetsLibrary::savedPhotoPaths() {
  std::lock_guard<std::mutex> lock(gAlbumMu);
  return savedPhotoPathsLocked();
}

std::string ALAssetsLibrary::savedPhotosGroupURL() {
  return std::string(kGroupPrefix) + kSavedPhotosID;
}

std::string ALAssetsLibrary::addAssetsGroup(ALAssetsGroupType type, const std::string& name) {
  if (type != ALAssetsGroupPhotoStream && type != ALAssetsGroupAlbum) return "";
  std::string url = kGroupPrefix + NSUUID().UUIDString();
  {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    store().groups.push_back({url, name, type, {}});
  }
  Dictionary info;
  info.set(ALAssetLibraryInsertedAssetGroupsKey, Value(Array{Value(url)}));
  postChange(info);
  return url;
}

std::string ALAssetsLibrary::addAsset(const std::string& groupURL, const UIImageRef& picture,
                                      bool video, double duration) {
  if (!picture) return "";
  std::string ext = video ? "MOV" : "PNG";
  std::string url = assetURL(NSUUID().UUIDString(), ext);
  {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    auto& st = store();
    InjectedGroup* g = findGroupLocked(groupURL);
    if (!g && groupURL != savedPhotosGroupURL()) return "";
    auto s = std::make_shared<ALAssetSource>();
    s->url = url;
    s->video = video;
    s->duration = video ? std::max(0.0, duration) : 0;
    s->image = picture;
    st.assets[url] = s;
    (g ? g->assets : st.savedExtra).push_back(url);
  }
  postGroupsUpdated({groupURL}, {url});
  return url;
}

bool ALAssetsLibrary::addAssetToGroup(const std::string& assetURL, const std::string& groupURL) {
  {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    auto& st = store();
    InjectedGroup* g = findGroupLocked(groupURL);
    if (!st.assets.count(assetURL)) return false;
    auto& list = g ? g->assets : st.savedExtra;
    if (!g && groupURL != savedPhotosGroupURL()) return false;
    if (std::find(list.begin(), list.end(), assetURL) != list.end()) return false;
    list.push_back(assetURL);
  }
  postGroupsUpdated({groupURL}, {assetURL});
  return true;
}

bool ALAssetsLibrary::removeAsset(const std::string& url) {
  std::vector<std::string> changed;
  {
    std::lock_guard<std::mutex> lock(gAlbumMu);
    auto& st = store();
    auto drop = [&](std::vector<std::string>& list, const std::string& groupURL) {
      auto it = std::find(list.begin(), list.end(), url);
      if (it == list.end()) return;
      list.erase(it);
      changed.push_back(groupURL);
    };
    if (st.assets.erase(url)) {
      drop(st.savedExtra, savedPhotosGroupURL());
      for (auto& g : st.groups) drop(g.assets, g.url);
    } else if (std::string file = fileOfURL(url); !file.empty()) {
      std::error_code ec;
      if (std::filesystem::is_regular_file(file, ec) && std::filesystem::remove(file, ec))
        changed.push_back(savedPhotosGroupURL());
    }
  }
  if (changed.empty()) return false;
  postGroupsUpdated(changed, {url});
  return true;
}

void ALAssetsLibrary::resetForTesting() {
  std::lock_guard<std::mutex> lock(gAlbumMu);
  store() = Store();
}

}  // namespace plat
