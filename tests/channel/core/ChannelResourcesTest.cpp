// Resource names inside the SDK bundle, named images through it, and the frame shorthands.

#include <gtest/gtest.h>

#include <filesystem>

#include "channel/core/NSString+URLEncode.h"
#include "channel/core/UIImage+HVColor.h"
#include "channel/core/UIView+Extension.h"
#include "platform/foundation/NSBundle.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

class ChannelResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("channel-core-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
    NSBundle::setMainBundlePath(root.string());
    UIImage::clearNamedCacheForTesting();
  }
  void TearDown() override { fs::remove_all(root); }
  void writeImage(const fs::path& path, int w, int h) {
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(CGImageWritePNGFile(CGImage::create(w, h), path.string()));
  }
  fs::path root;
};

TEST_F(ChannelResourcesTest, ImagePathUsesTheSdkBundleOnlyWhenItExists) {
  EXPECT_EQ(NSString_URLEncode::getImagePath("hv_su_emojiDel.png"), "hv_su_emojiDel.png");
  EXPECT_FALSE(UIImage_HVColor::sdkImageNamed("hv_su_emojiDel"));
  writeImage(root / "HVSDK.bundle" / "hv_su_emojiDel@2x.png", 40, 30);
  EXPECT_EQ(NSString_URLEncode::getImagePath("hv_su_emojiDel.png"),
            "HVSDK.bundle/hv_su_emojiDel.png");
  auto image = UIImage_HVColor::sdkImageNamed("hv_su_emojiDel");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->scale(), 2);
  EXPECT_EQ(image->size(), CGSizeMake(20, 15));
  EXPECT_FALSE(UIImage_HVColor::sdkImageNamed("missing"));
}

TEST(UIViewExtensionTest, FrameShorthands) {
  auto view = make<UIView>(CGRectMake(5, 10, 30, 40));
  EXPECT_EQ(UIView_Extension::width(*view), 30);
  EXPECT_EQ(UIView_Extension::height(*view), 40);
  EXPECT_EQ(UIView_Extension::top(*view), 10);
  EXPECT_EQ(UIView_Extension::bottom(*view), 50);
  view->setTransform(CGAffineTransformMakeScale(2, 2));  // the frame, not the bounds
  EXPECT_EQ(UIView_Extension::width(*view), 60);
  EXPECT_EQ(UIView_Extension::bottom(*view), 70);
}

}  // namespace
