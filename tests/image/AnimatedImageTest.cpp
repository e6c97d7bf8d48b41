// The animated image classes and the decoded-for-display mark and data representation of any
// image.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "image/HVImage.h"
#include "image/HVImageCoder.h"
#include "platform/device/ALAssetsLibrary.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/uikit/UIScreen.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"

using namespace plat;
using namespace fixtures;

namespace {

TEST(AnimatedImageTest, HVImageFromAnimatedAndStillData) {
  // Delays 2, 1 and 0 centiseconds: 0.02 s plays as is, the two shorter ones for 0.1 s.
  Data gif = gifData(
      4, 4, {gifSolid(0, 0, 4, 4, 1, 2), gifSolid(0, 0, 4, 4, 2, 1), gifSolid(0, 0, 4, 4, 3, 0)},
      2);
  auto img = HVImage::initWithDataScale(gif, 2);
  ASSERT_TRUE(img);
  EXPECT_EQ(img->animatedImageType(), HVImageKindGIF);
  EXPECT_EQ(img->animatedImageFrameCount(), 3u);
  EXPECT_EQ(img->animatedImageLoopCount(), 2u);
  EXPECT_EQ(img->animatedImageBytesPerFrame(), 4u * 4 * 4);
  EXPECT_EQ(img->animatedImageMemorySize(), 3u * 64);
  EXPECT_DOUBLE_EQ(img->scale(), 2);
  EXPECT_DOUBLE_EQ(img->size().width, 2);
  EXPECT_DOUBLE_EQ(img->animatedImageDurationAtIndex(0), 0.02);
  EXPECT_DOUBLE_EQ(img->animatedImageDurationAtIndex(1), 0.1);
  EXPECT_DOUBLE_EQ(img->animatedImageDurationAtIndex(2), 0.1);
  EXPECT_EQ(img->CGImage()->pixelAt(0, 0), 0xffff0000u);
  EXPECT_EQ(img->animatedImageFrameAtIndex(2)->CGImage()->pixelAt(0, 0), 0xff0000ffu);
  EXPECT_FALSE(img->animatedImageFrameAtIndex(3));
  EXPECT_EQ(img->animatedImageData(), gif);
  EXPECT_TRUE(HV_isDecodedForDisplay(img));
  // Frames come ready for display: the view's decoding step keeps them as they are.
  auto later = img->animatedImageFrameAtIndex(1);
  EXPECT_TRUE(HV_isDecodedForDisplay(later));
  EXPECT_EQ(HV_imageByDecoded(later), later);

  // Preloading keeps decoded frames; a second YES changes nothing, NO drops them.
  img->setPreloadAllAnimatedImageFrames(true);
  auto first = img->animatedImageFrameAtIndex(1);
  img->setPreloadAllAnimatedImageFrames(true);
  EXPECT_EQ(img->animatedImageFrameAtIndex(1), first);
  img->setPreloadAllAnimatedImageFrames(false);
  EXPECT_NE(img->animatedImageFrameAtIndex(1), first);

  // The class operations answer HVImages, animated ones included.
  std::shared_ptr<HVImage> viaClass = HVImage::imageWithData(gif);
  ASSERT_TRUE(viaClass);
  EXPECT_EQ(viaClass->animatedImageFrameCount(), 3u);
  EXPECT_DOUBLE_EQ(viaClass->scale(), 1);
  viaClass = HVImage::imageWithDataScale(gif, 3);
  ASSERT_TRUE(viaClass);
  EXPECT_DOUBLE_EQ(viaClass->scale(), 3);
  EXPECT_FALSE(HVImage::imageWithData(Data()));

  auto still = HVImage::initWithData(pngData(gradient(5, 5), false));
  ASSERT_TRUE(still);
  EXPECT_EQ(still->animatedImageFrameCount(), 0u);
  EXPECT_TRUE(still->animatedImageData().empty());
  EXPECT_EQ(still->animatedImageBytesPerFrame(), 0u);
  EXPECT_FALSE(HVImage::initWithData(Data::fromString("no picture here, just text")));
  EXPECT_FALSE(HVImage::initWithData(Data()));
}

TEST(AnimatedImageTest, GIFFramesAreDecodedOnDemandAndNotKept) {
  std::vector<GifFrame> frames;
  for (int i = 0; i < 60; ++i) frames.push_back(gifSolid(i % 30, i % 30, 2, 2, uint8_t(1 + i % 3)));
  auto img = HVImage::initWithData(gifData(64, 64, frames, 0));
  ASSERT_TRUE(img);
  ASSERT_EQ(img->animatedImageFrameCount(), 60u);
  const uint32_t colors[3] = {0xffff0000u, 0xff00ff00u, 0xff0000ffu};
  std::vector<std::weak_ptr<CGImage>> shown;
  for (uint64_t i = 0; i < 60; ++i) {
    auto frame = img->animatedImageFrameAtIndex(i);
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(frame->CGImage()->pixelAt(int(i % 30), int(i % 30)), colors[i % 3]) << i;
    shown.push_back(frame->CGImage());
  }
  std::set<CGImage*> alive;
  for (const auto& w : shown)
    if (auto bitmap = w.lock()) alive.insert(bitmap.get());
  // Frame 0 (the image itself) and the last frame decoded, nothing more.
  EXPECT_LE(alive.size(), 2u);
}

TEST(AnimatedImageTest, ArchivesKeepTheDataOrTheBitmap) {
  Data gif = gifData(4, 4, {gifSolid(0, 0, 4, 4, 1, 10), gifSolid(0, 0, 4, 4, 3, 20)}, 2);
  Data archive =
      NSKeyedArchiver::archivedDataWithRootObject(Value(HVImage::initWithDataScale(gif, 2)));
  auto back = NSKeyedUnarchiver::unarchiveObjectWithData(archive).objectAs<HVImage>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->animatedImageData(), gif);
  EXPECT_EQ(back->animatedImageFrameCount(), 2u);
  EXPECT_DOUBLE_EQ(back->scale(), 2);
  EXPECT_DOUBLE_EQ(back->animatedImageDurationAtIndex(1), 0.2);
  EXPECT_EQ(back->CGImage()->pixelAt(1, 1), 0xffff0000u);
  EXPECT_TRUE(HV_isDecodedForDisplay(back));

  // A still image travels as its bitmap, scale and orientation.
  auto still = HVImage::initWithDataScale(pngData(gradient(6, 5), false), 3);
  auto stillBack = NSKeyedUnarchiver::unarchiveObjectWithData(
                       NSKeyedArchiver::archivedDataWithRootObject(Value(still)))
                       .objectAs<HVImage>();
  ASSERT_TRUE(stillBack);
  EXPECT_DOUBLE_EQ(stillBack->scale(), 3);
  EXPECT_EQ(stillBack->animatedImageFrameCount(), 0u);
  EXPECT_EQ(stillBack->CGImage()->pixelAt(5, 4), gradientAt(5, 4));
  auto sideways = UIImage::imageWithCGImage(gradient(3, 2), 2, UIImageOrientationLeft);
  auto plainBack = NSKeyedUnarchiver::unarchiveObjectWithData(
                       NSKeyedArchiver::archivedDataWithRootObject(Value(sideways)))
                       .objectAs<UIImage>();
  ASSERT_TRUE(plainBack);
  EXPECT_EQ(plainBack->imageOrientation(), UIImageOrientationLeft);
  EXPECT_EQ(plainBack->CGImage()->pixelAt(2, 1), gradientAt(2, 1));
}

TEST(AnimatedImageTest, ScaleComesFromThePathName) {
  EXPECT_DOUBLE_EQ(HVImage::scaleFromPath("/a/b/icon@2.5x.png"), 2.5);
  EXPECT_DOUBLE_EQ(HVImage::scaleFromPath("/a/b/icon@3x.gif"), 3);
  EXPECT_DOUBLE_EQ(HVImage::scaleFromPath("@2x.png"), 1);  // the match starts at index 0
  EXPECT_DOUBLE_EQ(HVImage::scaleFromPath("/a/icon.png"), 1);
  EXPECT_DOUBLE_EQ(HVImage::scaleFromPath("/a/"), 1);
  EXPECT_DOUBLE_EQ(HVImage::scaleFromPath(""), 1);

  auto dir = std::filesystem::temp_directory_path() / ("hv-image-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "pic@2x.png").string();
  ASSERT_TRUE(CGImageWritePNGFile(gradient(8, 4), path));
  auto img = HVImage::initWithContentsOfFile(path);
  ASSERT_TRUE(img);
  EXPECT_DOUBLE_EQ(img->scale(), 2);
  EXPECT_FALSE(HVImage::initWithContentsOfFile((dir / "missing.png").string()));
  EXPECT_FALSE(HVImage::initWithContentsOfFile(dir.string()));  // a folder, not a file
  // A NUL inside the path is refused, not cut short to the real file before it.
  std::string withNul = path + std::string("\0/other@3x.png", 14);
  EXPECT_FALSE(HVImage::initWithContentsOfFile(withNul));
  EXPECT_FALSE(HVImage::imageWithContentsOfFile(withNul));
  EXPECT_FALSE(HVFrameImage::initWithImagePathsOneFrameDurationLoopCount({withNul}, 0.1, 0));
  // The class operations make HVImages too.
  auto viaClass = HVImage::imageWithContentsOfFile(path);
  ASSERT_TRUE(viaClass);
  EXPECT_DOUBLE_EQ(viaClass->scale(), 2);

  // A frame image plays the files one by one at their own scale.
  std::string second = (dir / "two@2x.png").string();
  ASSERT_TRUE(CGImageWritePNGFile(solid(8, 4, 0xff00ff00), second));
  auto frames =
      HVFrameImage::initWithImagePathsFrameDurationsLoopCount({path, second}, {0.2, 0.3}, 1);
  ASSERT_TRUE(frames);
  EXPECT_EQ(frames->animatedImageFrameCount(), 2u);
  EXPECT_EQ(frames->animatedImageBytesPerFrame(), 8u * 4 * 4);
  EXPECT_DOUBLE_EQ(frames->animatedImageDurationAtIndex(1), 0.3);
  EXPECT_DOUBLE_EQ(frames->animatedImageDurationAtIndex(2), 0);
  auto f1 = frames->animatedImageFrameAtIndex(1);
  ASSERT_TRUE(f1);
  EXPECT_EQ(f1->CGImage()->pixelAt(0, 0), 0xff00ff00u);
  EXPECT_DOUBLE_EQ(f1->scale(), 2);
  EXPECT_TRUE(HV_isDecodedForDisplay(f1));
  EXPECT_FALSE(frames->animatedImageFrameAtIndex(2));
  EXPECT_FALSE(HVFrameImage::initWithImagePathsFrameDurationsLoopCount({path}, {0.1, 0.2}, 0));
  EXPECT_FALSE(HVFrameImage::initWithImagePathsOneFrameDurationLoopCount({}, 0.1, 0));
  auto fromData = HVFrameImage::initWithImageDataArrayOneFrameDurationLoopCount(
      {pngData(solid(2, 2, 0xff0000ff), false), pngData(solid(2, 2, 0xffff0000), false)}, 0.5, 3);
  ASSERT_TRUE(fromData);
  EXPECT_EQ(fromData->animatedImageLoopCount(), 3u);
  EXPECT_EQ(fromData->animatedImageFrameAtIndex(1)->CGImage()->pixelAt(1, 1), 0xffff0000u);
  std::filesystem::remove_all(dir);
}

TEST(AnimatedImageTest, NamedImagesPreferTheScreensScaleThenHigherThenPlain) {
  testing_device::TempAppBundle bundle;
  auto write = [&](const std::string& name, const CGImageRef& img) {
    Data d = pngData(img, false);
    bundle.writeFile(name, std::string(reinterpret_cast<const char*>(d.bytes()), d.length()));
  };
  ASSERT_DOUBLE_EQ(UIScreen::mainScreen().scale(), 2);
  // Only the "@3x" variant and the plain file: on a screen of scale 2, "@2x" is tried first
  // (absent), then "@3x", which wins over the plain file.
  write("icon@3x.png", solid(6, 6, 0xff0000ff));
  write("icon.png", solid(2, 2, 0xffff0000));
  auto three = HVImage::imageNamed("icon");
  ASSERT_TRUE(three);
  EXPECT_DOUBLE_EQ(three->scale(), 3);
  EXPECT_EQ(three->CGImage()->pixelAt(0, 0), 0xff0000ffu);
  // Any of the extensions; an extension in the name is the only one tried.
  write("clip.gif", solid(4, 4, 0xff00ff00));
  auto plain = HVImage::imageNamed("clip");
  ASSERT_TRUE(plain);
  EXPECT_DOUBLE_EQ(plain->scale(), 1);
  EXPECT_TRUE(HVImage::imageNamed("icon.png"));
  EXPECT_FALSE(HVImage::imageNamed("icon.jpg"));
  EXPECT_FALSE(HVImage::imageNamed(""));
  EXPECT_FALSE(HVImage::imageNamed("folder/"));
  EXPECT_NE(HVImage::imageNamed("icon"), three);  // nothing is cached
}

TEST(AnimatedImageTest, SavingToTheAlbumKeepsAnimationBytes) {
  testing_device::TempDeviceRoot root;
  Data gif = gifData(4, 4, {gifSolid(0, 0, 4, 4, 1, 10), gifSolid(0, 0, 4, 4, 2, 10)}, 0);
  std::string url;
  NSErrorRef error;
  bool done = false;
  HV_saveToAlbumWithCompletionBlock(
      HVImage::initWithData(gif),
      [&](const std::string& u, const NSErrorRef& e) { url = u, error = e, done = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done; }));
  EXPECT_FALSE(error);
  EXPECT_EQ(url.rfind("assets-library://asset/asset.GIF?id=", 0), 0u) << url;
  auto saved = ALAssetsLibrary::savedPhotoPaths();
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(saved[0]), gif.length());

  // An opaque still image goes in as JPEG.
  done = false;
  HV_saveToAlbumWithCompletionBlock(
      UIImage::imageWithCGImage(gradient(8, 8)),
      [&](const std::string& u, const NSErrorRef&) { url = u, done = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done; }));
  EXPECT_NE(url.find("ext=JPG"), std::string::npos);
  // Bytes that are no image fail.
  done = false;
  ALAssetsLibrary().writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
      Data::fromString("text"), {},
      [&](const std::string& u, const NSErrorRef& e) { url = u, error = e, done = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done; }));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), ALAssetsLibraryWriteInvalidDataError);
  EXPECT_TRUE(url.empty());
  EXPECT_EQ(ALAssetsLibrary::savedPhotoPaths().size(), 2u);
}

TEST(AnimatedImageTest, SpriteSheetRectangles) {
  auto sheet = UIImage::imageWithCGImage(gradient(40, 20), 2);  // 20 x 10 points
  std::vector<CGRect> rects = {CGRectMake(0, 0, 10, 10), CGRectMake(10, 0, 10, 10),
                               CGRectMake(15, 5, 10, 10)};
  auto s = HVSpriteSheetImage::initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
      sheet, rects, {0.1, 0.2, 0.3}, 0);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->animatedImageFrameCount(), 3u);
  EXPECT_EQ(s->animatedImageFrameAtIndex(2), s);
  EXPECT_TRUE(HV_isDecodedForDisplay(s));
  CGRect r1 = s->contentsRectForCALayerAtIndex(1);
  EXPECT_DOUBLE_EQ(r1.origin.x, 0.5);
  EXPECT_DOUBLE_EQ(r1.size.width, 0.5);
  EXPECT_DOUBLE_EQ(r1.size.height, 1);
  CGRect r2 = s->contentsRectForCALayerAtIndex(2);  // clipped to the unit square
  EXPECT_DOUBLE_EQ(r2.origin.x, 0.75);
  EXPECT_DOUBLE_EQ(r2.size.width, 0.25);
  EXPECT_DOUBLE_EQ(r2.size.height, 0.5);
  CGRect out = s->contentsRectForCALayerAtIndex(9);
  EXPECT_DOUBLE_EQ(out.size.width, 1);
  // A cell that is not finite shows the whole sheet.
  auto odd = HVSpriteSheetImage::initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
      sheet, {CGRectMake(NAN, 0, 10, 10), CGRectMake(0, 0, INFINITY, 10)}, {0.1, 0.1}, 0);
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->contentsRectForCALayerAtIndex(0), CGRectMake(0, 0, 1, 1));
  EXPECT_EQ(odd->contentsRectForCALayerAtIndex(1), CGRectMake(0, 0, 1, 1));
  EXPECT_TRUE(CGRectIsEmpty(*s->animatedImageContentsRectAtIndex(9)));
  EXPECT_FALSE(HVSpriteSheetImage::initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
      sheet, rects, {0.1}, 0));
  EXPECT_FALSE(HVSpriteSheetImage::initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
      sheet, {}, {}, 0));
}

TEST(AnimatedImageTest, DecodedMarkAndDataRepresentation) {
  auto plain = UIImage::imageWithData(pngData(gradient(6, 6), false), 1);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(HV_isDecodedForDisplay(plain));
  auto decoded = HV_imageByDecoded(plain);
  EXPECT_NE(decoded, plain);
  EXPECT_TRUE(HV_isDecodedForDisplay(decoded));
  EXPECT_EQ(HV_imageByDecoded(decoded), decoded);
  // The mark belongs to the image, not to its address.
  decoded.reset();
  auto another = UIImage::imageWithData(pngData(gradient(6, 6), false), 1);
  EXPECT_FALSE(HV_isDecodedForDisplay(another));

  // Opaque: JPEG; with alpha: PNG; an animated HVImage: its own bytes.
  EXPECT_EQ(HVSniffImageType(HV_imageDataRepresentation(plain)), HVImageKindJPEG);
  auto alpha = UIImage::imageWithCGImage(solid(4, 4, 0x80ff0000));
  EXPECT_EQ(HVSniffImageType(HV_imageDataRepresentation(alpha)), HVImageKindPNG);
  Data anim = apng(4, 4, {{solid(4, 4, 0xffff0000)}, {solid(4, 4, 0xff00ff00)}});
  auto hv = HVImage::initWithData(anim);
  ASSERT_TRUE(hv);
  EXPECT_EQ(hv->animatedImageFrameCount(), 2u);
  EXPECT_EQ(HV_imageDataRepresentation(hv), anim);
  EXPECT_TRUE(HV_imageDataRepresentation(nullptr).empty());
  // A sideways bitmap is stored upright.
  auto sideways = UIImage::imageWithCGImage(solid(6, 2, 0xff000000), 1, UIImageOrientationLeft);
  auto back = UIImage::imageWithData(HV_imageDataRepresentation(sideways), 1);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->CGImage()->width(), 2u);
}

}  // namespace
