#pragma once
// plat::ALAssetsLibrary: the device's photo library.
//
// The saved photos album (group type 16) is the files under <device root>/Platform/PhotoLibrary,
// oldest first, named by a new identifier and the type the bytes carry ("JPG", "PNG", "GIF",
// ...); their asset URLs read "assets-library://asset/asset.<EXT>?id=<ID>&ext=<EXT>".
// Photo streams (32), albums (2) and assets the library cannot store as files (videos with a
// duration, photos given as pictures) are injected by tests or the host (addAssetsGroup,
// addAsset); they live for the process or until resetForTesting. As on the phone, an asset
// that is only in photo streams is not found by assetForURL (look it up in the streams).
//
// Every answer (groups, assets of a group, look-ups, writes) is posted to the main queue,
// never given inside the call. A library the user denied (PermissionStore: restricted or
// denied) fails group enumerations and look-ups with ALAssetsLibraryAccessUserDeniedError.
// Each change of the library posts ALAssetsLibraryChangedNotification (object nil) on the
// thread that made the change; its user info holds arrays of URL texts under the keys below.
//
// Thread-safety: has internal synchronization; any thread. Blocks run on the main queue.

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/device/PermissionStore.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/CGImage.h"
#include "platform/uikit/UIImage.h"

namespace plat {

inline constexpr const char* ALAssetsLibraryErrorDomain = "ALAssetsLibraryErrorDomain";
constexpr int64_t ALAssetsLibraryWriteFailedError = -3300;
constexpr int64_t ALAssetsLibraryWriteInvalidDataError = -3302;
constexpr int64_t ALAssetsLibraryAccessUserDeniedError = -3311;

using ALAssetsGroupType = uint64_t;
constexpr ALAssetsGroupType ALAssetsGroupLibrary = 1 << 0;
constexpr ALAssetsGroupType ALAssetsGroupAlbum = 1 << 1;
constexpr ALAssetsGroupType ALAssetsGroupEvent = 1 << 2;
constexpr ALAssetsGroupType ALAssetsGroupFaces = 1 << 3;
constexpr ALAssetsGroupType ALAssetsGroupSavedPhotos = 1 << 4;
constexpr ALAssetsGroupType ALAssetsGroupPhotoStream = 1 << 5;
constexpr ALAssetsGroupType ALAssetsGroupAll = 0xFFFFFFFFu;

// Asset properties (valueForProperty) and their type values.
inline constexpr const char* ALAssetPropertyType = "ALAssetPropertyType";
inline constexpr const char* ALAssetPropertyDuration = "ALAssetPropertyDuration";
inline constexpr const char* ALAssetPropertyAssetURL = "ALAssetPropertyAssetURL";
inline constexpr const char* ALAssetTypePhoto = "ALAssetTypePhoto";
inline constexpr const char* ALAssetTypeVideo = "ALAssetTypeVideo";
// Group properties.
inline constexpr const char* ALAssetsGroupPropertyName = "ALAssetsGroupPropertyName";
inline constexpr const char* ALAssetsGroupPropertyType = "ALAssetsGroupPropertyType";
inline constexpr const char* ALAssetsGroupPropertyPersistentID = "ALAssetsGroupPropertyPersistentID";
inline constexpr const char* ALAssetsGroupPropertyURL = "ALAssetsGroupPropertyURL";
// The change notification and its user-info keys.
inline constexpr const char* ALAssetsLibraryChangedNotification =
    "ALAssetsLibraryChangedNotification";
inline constexpr const char* ALAssetLibraryUpdatedAssetsKey = "ALAssetLibraryUpdatedAssetsKey";
inline constexpr const char* ALAssetLibraryInsertedAssetGroupsKey =
    "ALAssetLibraryInsertedAssetGroupsKey";
inline constexpr const char* ALAssetLibraryUpdatedAssetGroupsKey =
    "ALAssetLibraryUpdatedAssetGroupsKey";
inline constexpr const char* ALAssetLibraryDeletedAssetGroupsKey =
    "ALAssetLibraryDeletedAssetGroupsKey";

// Enumeration options: NSEnumerationReverse goes from the last asset to the first.
constexpr uint64_t NSEnumerationReverse = 1 << 1;

// Which assets a group shows.
class ALAssetsFilter {
 public:
  enum class Kind { All, Photos, Videos };
  explicit ALAssetsFilter(Kind kind) : kind_(kind) {}
  static std::shared_ptr<ALAssetsFilter> allPhotos();
  static std::shared_ptr<ALAssetsFilter> allVideos();
  static std::shared_ptr<ALAssetsFilter> allAssets();
  Kind kind() const { return kind_; }
  bool accepts(bool video) const {
    return kind_ == Kind::All || (kind_ == Kind::Videos) == video;
  }

 private:
  Kind kind_;
};
using ALAssetsFilterRef = std::shared_ptr<ALAssetsFilter>;

// How an asset is stored: a picture file, or a picture in memory.
struct ALAssetSource {
  std::string url;
  bool video = false;
  double duration = 0;
  std::string file;  // a saved photo
  UIImageRef image;  // an injected asset (a video's poster frame)
};

class ALAssetRepresentation {
 public:
  explicit ALAssetRepresentation(std::shared_ptr<const ALAssetSource> source)
      : source_(std::move(source)) {}
  const std::string& url() const { return source_->url; }
  // The picture fitted into the main screen's pixels (never enlarged); null when the file no
  // longer decodes.
  CGImageRef fullScreenImage() const;

 private:
  std::shared_ptr<const ALAssetSource> source_;
};
using ALAssetRepresentationRef = std::shared_ptr<ALAssetRepresentation>;

// One photo or video: a snapshot taken when it was handed out. Its pictures are decoded on
// demand.
class ALAsset : public Object {
 public:
  explicit ALAsset(std::shared_ptr<const ALAssetSource> source) : source_(std::move(source)) {}
  std::string className() const override { return "ALAsset"; }
  // ALAssetPropertyType (text), ALAssetPropertyDuration (number, videos only),
  // ALAssetPropertyAssetURL (text); nil for other names.
  Value valueForProperty(const std::string& property) const;
  const std::string& url() const { return source_->url; }
  bool isVideo() const { return source_->video; }
  // A square picture of 150 x 150 pixels covering the middle of the asset's picture; null
  // when it does not decode.
  CGImageRef thumbnail() const;
  ALAssetRepresentationRef defaultRepresentation() const;

 private:
  std::shared_ptr<const ALAssetSource> source_;
};
using ALAssetRef = std::shared_ptr<ALAsset>;

class ALAssetsGroup : public Object {
 public:
  // (asset, index, stop); the enumeration ends with a call with a null asset and NSNotFound.
  using AssetBlock = std::function<void(const ALAssetRef& asset, uint64_t index, bool& stop)>;

  ALAssetsGroup(std::string url, std::string name, ALAssetsGroupType type)
      : url_(std::move(url)), name_(std::move(name)), type_(type) {}
  std::string className() const override { return "ALAssetsGroup"; }

  // ALAssetsGroupPropertyName, ...Type (number), ...PersistentID, ...URL (texts); nil else.
  Value valueForProperty(const std::string& property) const;
  const std::string& url() const { return url_; }
  ALAssetsGroupType type() const { return type_; }
  // Null: no filter (every asset).
  void setAssetsFilter(ALAssetsFilterRef filter) { filter_ = std::move(filter); }
  ALAssetsFilterRef assetsFilter() const { return filter_; }
  // The number of assets the filter lets through, now.
  uint64_t numberOfAssets() const;
  // Posted: the assets the filter lets through, as they are at the call, in library order
  // (NSEnumerationReverse: newest first). Indexes are positions in that filtered list; with
  // indexes, only those positions are delivered (positions past the end are skipped).
  void enumerateAssetsUsingBlock(AssetBlock block) const;
  void enumerateAssetsWithOptionsUsingBlock(uint64_t options, AssetBlock block) const;
  void enumerateAssetsAtIndexesOptionsUsingBlock(const std::set<uint64_t>& indexes,
                                                 uint64_t options, AssetBlock block) const;

 private:
  std::vector<ALAssetRef> filteredAssets() const;
  void enumerate(const std::set<uint64_t>* indexes, uint64_t options, AssetBlock block) const;

  std::string url_, name_;
  ALAssetsGroupType type_;
  ALAssetsFilterRef filter_;
};
using ALAssetsGroupRef = std::shared_ptr<ALAssetsGroup>;

class ALAssetsLibrary {
 public:
  // (asset URL, error): exactly one is set.
  using WriteCompletion = std::function<void(const std::string& assetURL, const NSErrorRef& error)>;
  // (group, stop): a null group ends the enumeration.
  using GroupBlock = std::function<void(const ALAssetsGroupRef& group, bool& stop)>;
  using ResultBlock = std::function<void(const ALAssetRef& asset)>;
  using FailureBlock = std::function<void(const NSErrorRef& error)>;

  // The photo library's status in PermissionStore.
  static AuthorizationStatus authorizationStatus();

  // Saves image bytes as a new photo. Bytes that are no image of a known type fail with
  // ALAssetsLibraryWriteInvalidDataError, a file that cannot be written with
  // ALAssetsLibraryWriteFailedError. Metadata is not stored.
  void writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(const Data& imageData,
                                                               const Dictionary& metadata,
                                                               WriteCompletion completion);

  // Posted: each group whose type is in `types` (saved photos first, then the others in the
  // order they were added), then a null group. A denied library calls only failure.
  void enumerateGroupsWithTypesUsingBlockFailureBlock(ALAssetsGroupType types, GroupBlock block,
                                                      FailureBlock failure);
  // Posted: the asset at the URL, or a null asset when there is none (or it is only in photo
  // streams). A denied library calls only failure.
  void assetForURLResultBlockFailureBlock(const std::string& assetURL, ResultBlock result,
                                          FailureBlock failure);

  // The album's files, oldest first.
  static std::vector<std::string> savedPhotoPaths();

  // ---- The library's contents, for tests and the host ----
  static std::string savedPhotosGroupURL();
  // A new group of type ALAssetsGroupPhotoStream or ALAssetsGroupAlbum (other types are
  // refused: ""); returns its URL.
  static std::string addAssetsGroup(ALAssetsGroupType type, const std::string& name);
  // A new asset at the end of the group (the saved photos group included); returns its URL,
  // "" for an unknown group or a null picture.
  static std::string addAsset(const std::string& groupURL, const UIImageRef& picture,
                              bool video = false, double duration = 0);
  // Also lists an existing asset in another group (at its end). False when either is unknown
  // or the asset is already there.
  static bool addAssetToGroup(const std::string& assetURL, const std::string& groupURL);
  // Removes the asset from every group (a saved photo's file too). False when unknown.
  static bool removeAsset(const std::string& assetURL);
  // Drops every injected group and asset (saved photo files stay: they belong to the device
  // root).
  static void resetForTesting();
};

}  // namespace plat
