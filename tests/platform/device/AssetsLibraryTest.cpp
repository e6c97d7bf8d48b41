#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/device/ALAssetsLibrary.h"
#include "platform/device/PermissionStore.h"
#include "platform/foundation/NSRange.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/uikit/UIGraphics.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

namespace {

using namespace plat;

UIImageRef solid(int w, int h, uint32_t argb) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(w, h), true, 1);
  CGContextSetRGBFillColor(UIGraphicsGetCurrentContext(), ((argb >> 16) & 255) / 255.0,
                           ((argb >> 8) & 255) / 255.0, (argb & 255) / 255.0, 1);
  UIRectFill(CGRectMake(0, 0, w, h));
  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

class AssetsLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ALAssetsLibrary::resetForTesting();
    PermissionStore::shared().resetForTesting();
  }
  void TearDown() override {
    ALAssetsLibrary::resetForTesting();
    PermissionStore::shared().resetForTesting();
  }

  // Every group of `types` with its asset URLs, as delivered.
  std::vector<std::pair<ALAssetsGroupRef, std::vector<ALAssetRef>>> groups(
      ALAssetsGroupType types, ALAssetsFilterRef filter = nullptr) {
    std::vector<std::pair<ALAssetsGroupRef, std::vector<ALAssetRef>>> out;
    bool ended = false;
    int pending = 0;
    library.enumerateGroupsWithTypesUsingBlockFailureBlock(
        types,
        [&](const ALAssetsGroupRef& g, bool&) {
          if (!g) return void(ended = true);
          g->setAssetsFilter(filter);
          size_t slot = out.size();
          out.push_back({g, {}});
          ++pending;
          g->enumerateAssetsUsingBlock([&, slot](const ALAssetRef& a, uint64_t, bool&) {
            if (a) out[slot].second.push_back(a);
            else --pending;
          });
        },
        [](const NSErrorRef&) { ADD_FAILURE() << "denied"; });
    EXPECT_TRUE(testing_loop::runUntil([&] { return ended && pending == 0; }));
    return out;
  }

  testing_device::TempDeviceRoot root;
  ALAssetsLibrary library;
};

TEST_F(AssetsLibraryTest, GroupsOfTheAskedTypesWithFiltersAndPostedAnswers) {
  std::string savedURL;
  library.writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
      UIImagePNGRepresentation(solid(40, 20, 0xff0000)), {},
      [&](const std::string& url, const NSErrorRef&) { savedURL = url; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return !savedURL.empty(); }));
  std::string stream = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupPhotoStream, "Stream");
  std::string album = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupAlbum, "Trip");
  EXPECT_EQ(ALAssetsLibrary::addAssetsGroup(ALAssetsGroupSavedPhotos, "x"), "");
  std::string video = ALAssetsLibrary::addAsset(album, solid(8, 8, 0xff), true, 65.2);
  std::string photo = ALAssetsLibrary::addAsset(album, solid(8, 8, 0xff00));
  std::string streamed = ALAssetsLibrary::addAsset(stream, solid(8, 8, 0xff00));
  EXPECT_EQ(ALAssetsLibrary::addAsset("assets-library://group/?id=nope", solid(1, 1, 0)), "");

  bool answered = false;
  library.enumerateGroupsWithTypesUsingBlockFailureBlock(
      ALAssetsGroupAll, [&](const ALAssetsGroupRef&, bool&) { answered = true; }, nullptr);
  EXPECT_FALSE(answered);  // never inside the call
  testing_loop::runUntilIdle();

  auto all = groups(ALAssetsGroupSavedPhotos | ALAssetsGroupPhotoStream | ALAssetsGroupAlbum);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].first->valueForProperty(ALAssetsGroupPropertyName).stringOr(), "Camera Roll");
  EXPECT_EQ(all[0].first->valueForProperty(ALAssetsGroupPropertyType).unsignedIntegerValue(), 16u);
  EXPECT_EQ(all[0].first->valueForProperty(ALAssetsGroupPropertyURL).stringOr(),
            ALAssetsLibrary::savedPhotosGroupURL());
  ASSERT_EQ(all[0].second.size(), 1u);
  EXPECT_EQ(all[0].second[0]->url(), savedURL);
  EXPECT_EQ(all[1].first->url(), stream);
  EXPECT_EQ(all[2].first->url(), album);
  ASSERT_EQ(all[2].second.size(), 2u);
  EXPECT_EQ(all[2].second[0]->valueForProperty(ALAssetPropertyType).stringOr(), ALAssetTypeVideo);
  EXPECT_DOUBLE_EQ(all[2].second[0]->valueForProperty(ALAssetPropertyDuration).doubleValue(), 65.2);
  EXPECT_EQ(all[2].second[1]->valueForProperty(ALAssetPropertyType).stringOr(), ALAssetTypePhoto);
  EXPECT_TRUE(all[2].second[1]->valueForProperty(ALAssetPropertyDuration).isNil());
  EXPECT_EQ(all[2].second[0]->valueForProperty(ALAssetPropertyAssetURL).stringOr(), video);

  auto albums = groups(ALAssetsGroupAlbum, ALAssetsFilter::allPhotos());
  ASSERT_EQ(albums.size(), 1u);
  ASSERT_EQ(albums[0].second.size(), 1u);
  EXPECT_EQ(albums[0].second[0]->url(), photo);
  EXPECT_EQ(albums[0].first->numberOfAssets(), 1u);
  albums[0].first->setAssetsFilter(ALAssetsFilter::allVideos());
  EXPECT_EQ(albums[0].first->numberOfAssets(), 1u);
  albums[0].first->setAssetsFilter(ALAssetsFilter::allAssets());
  EXPECT_EQ(albums[0].first->numberOfAssets(), 2u);
  EXPECT_EQ(groups(ALAssetsGroupPhotoStream)[0].second[0]->url(), streamed);
}

TEST_F(AssetsLibraryTest, EnumeratesForwardReverseAndAtIndexesAndStops) {
  std::string album = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupAlbum, "A");
  std::vector<std::string> urls;
  for (int i = 0; i < 5; ++i) urls.push_back(ALAssetsLibrary::addAsset(album, solid(4, 4, i)));
  auto group = groups(ALAssetsGroupAlbum)[0].first;

  auto run = [&](auto start, size_t stopAfter = 0) {
    std::vector<std::pair<std::string, uint64_t>> seen;
    bool ended = false;
    start([&](const ALAssetRef& a, uint64_t index, bool& stop) {
      if (!a) {
        EXPECT_EQ(index, NSNotFound);
        ended = true;
        return;
      }
      seen.emplace_back(a->url(), index);
      if (seen.size() == stopAfter) stop = true;
    });
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(testing_loop::runUntil([&] { return ended; }));
    return seen;
  };
  auto forward = run([&](auto b) { group->enumerateAssetsUsingBlock(b); });
  ASSERT_EQ(forward.size(), 5u);
  EXPECT_EQ(forward[4], std::make_pair(urls[4], uint64_t(4)));
  auto reverse =
      run([&](auto b) { group->enumerateAssetsWithOptionsUsingBlock(NSEnumerationReverse, b); });
  ASSERT_EQ(reverse.size(), 5u);
  EXPECT_EQ(reverse[0], std::make_pair(urls[4], uint64_t(4)));
  auto some = run([&](auto b) {
    group->enumerateAssetsAtIndexesOptionsUsingBlock({1, 3, 9}, 0, b);
  });
  EXPECT_EQ(some, (std::vector<std::pair<std::string, uint64_t>>{{urls[1], 1}, {urls[3], 3}}));
  // A block that stops ends the enumeration early (still with the closing call).
  auto stopped = run(
      [&](auto b) {
        group->enumerateAssetsAtIndexesOptionsUsingBlock({0, 1, 2}, NSEnumerationReverse, b);
      },
      2);
  EXPECT_EQ(stopped, (std::vector<std::pair<std::string, uint64_t>>{{urls[2], 2}, {urls[1], 1}}));
}

TEST_F(AssetsLibraryTest, LooksUpByURLButNotInPhotoStreamsAndRefusesForeignPaths) {
  std::string saved;
  library.writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
      UIImagePNGRepresentation(solid(30, 10, 0xff0000)), {},
      [&](const std::string& url, const NSErrorRef&) { saved = url; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return !saved.empty(); }));
  std::string stream = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupPhotoStream, "S");
  std::string album = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupAlbum, "A");
  std::string streamed = ALAssetsLibrary::addAsset(stream, solid(4, 4, 0));
  std::string both = ALAssetsLibrary::addAsset(stream, solid(4, 4, 0));
  ASSERT_TRUE(ALAssetsLibrary::addAssetToGroup(both, album));
  EXPECT_FALSE(ALAssetsLibrary::addAssetToGroup(both, album));
  // A file outside the album named through the URL's identifier.
  std::ofstream(root.path() + "/secret.PNG") << "x";

  std::map<std::string, ALAssetRef> found;
  int answers = 0;
  for (const std::string& url :
       {saved, streamed, both, std::string("assets-library://asset/asset.PNG?id=../../secret&ext=PNG"),
        std::string("garbage")}) {
    library.assetForURLResultBlockFailureBlock(
        url, [&, url](const ALAssetRef& a) { found[url] = a, ++answers; },
        [](const NSErrorRef&) { ADD_FAILURE(); });
  }
  ASSERT_TRUE(testing_loop::runUntil([&] { return answers == 5; }));
  ASSERT_TRUE(found[saved]);
  EXPECT_EQ(found[saved]->url(), saved);
  EXPECT_FALSE(found[streamed]);
  EXPECT_TRUE(found[both]);
  EXPECT_FALSE(found["assets-library://asset/asset.PNG?id=../../secret&ext=PNG"]);
  EXPECT_FALSE(found["garbage"]);

  // Pictures: a 150-pixel square thumbnail, the full-screen picture as it is when it fits.
  auto thumb = found[saved]->thumbnail();
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->width(), 150u);
  EXPECT_EQ(thumb->height(), 150u);
  EXPECT_EQ(thumb->pixelAt(75, 75), 0xffff0000u);
  auto full = found[saved]->defaultRepresentation()->fullScreenImage();
  ASSERT_TRUE(full);
  EXPECT_EQ(full->width(), 30u);
  EXPECT_EQ(found[saved]->defaultRepresentation()->url(), saved);
}

TEST_F(AssetsLibraryTest, LargePicturesAreFittedToTheScreen) {
  std::string album = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupAlbum, "A");
  std::string url = ALAssetsLibrary::addAsset(album, solid(3000, 1000, 0xff));
  ALAssetRef asset;
  library.assetForURLResultBlockFailureBlock(url, [&](const ALAssetRef& a) { asset = a; }, nullptr);
  ASSERT_TRUE(testing_loop::runUntil([&] { return asset != nullptr; }));
  auto full = asset->defaultRepresentation()->fullScreenImage();
  ASSERT_TRUE(full);
  EXPECT_EQ(full->width(), 750u);  // the 375-point screen at scale 2
  EXPECT_EQ(full->height(), 250u);
}

TEST_F(AssetsLibraryTest, DeniedLibraryFailsWithUserDenied) {
  for (int status : {AuthorizationStatusRestricted, AuthorizationStatusDenied}) {
    PermissionStore::shared().setPhotoLibraryStatus(status);
    std::vector<int64_t> codes;
    bool called = false;
    library.enumerateGroupsWithTypesUsingBlockFailureBlock(
        ALAssetsGroupAll, [&](const ALAssetsGroupRef&, bool&) { called = true; },
        [&](const NSErrorRef& e) { codes.push_back(e->code()); });
    library.assetForURLResultBlockFailureBlock(
        "assets-library://asset/asset.PNG?id=x&ext=PNG", [&](const ALAssetRef&) { called = true; },
        [&](const NSErrorRef& e) { codes.push_back(e->code()); });
    EXPECT_TRUE(codes.empty());
    ASSERT_TRUE(testing_loop::runUntil([&] { return codes.size() == 2; }));
    EXPECT_EQ(codes, (std::vector<int64_t>{-3311, -3311}));
    EXPECT_FALSE(called);
  }
}

TEST_F(AssetsLibraryTest, ChangesPostTheNotificationWithTheChangedGroups) {
  std::vector<Dictionary> infos;
  auto token = NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
      ALAssetsLibraryChangedNotification, Value(), nullptr, [&](const NSNotification& n) {
        infos.push_back(*n.userInfo.dictionary());
      });
  std::string album = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupAlbum, "A");
  std::string url = ALAssetsLibrary::addAsset(album, solid(4, 4, 0));
  EXPECT_TRUE(ALAssetsLibrary::removeAsset(url));
  EXPECT_FALSE(ALAssetsLibrary::removeAsset(url));
  std::string saved;
  library.writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
      UIImagePNGRepresentation(solid(4, 4, 0)), {},
      [&](const std::string& u, const NSErrorRef&) { saved = u; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return !saved.empty(); }));
  EXPECT_TRUE(ALAssetsLibrary::removeAsset(saved));
  EXPECT_TRUE(ALAssetsLibrary::savedPhotoPaths().empty());
  NSNotificationCenter::defaultCenter().removeObserver(token);

  ASSERT_EQ(infos.size(), 5u);
  EXPECT_EQ(infos[0][ALAssetLibraryInsertedAssetGroupsKey][0].stringOr(), album);
  EXPECT_EQ(infos[1][ALAssetLibraryUpdatedAssetGroupsKey][0].stringOr(), album);
  EXPECT_EQ(infos[1][ALAssetLibraryUpdatedAssetsKey][0].stringOr(), url);
  EXPECT_EQ(infos[2][ALAssetLibraryUpdatedAssetGroupsKey][0].stringOr(), album);
  EXPECT_EQ(infos[3][ALAssetLibraryUpdatedAssetGroupsKey][0].stringOr(),
            ALAssetsLibrary::savedPhotosGroupURL());
  EXPECT_EQ(infos[4][ALAssetLibraryUpdatedAssetsKey][0].stringOr(), saved);
}

}  // namespace
