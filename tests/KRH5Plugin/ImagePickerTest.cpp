// The multi-image picker behind "SelectImage": its selection rules, Done and Cancel with what
// they write and report, the album list and the grid driven by taps, library changes, and
// renders of both screens.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "KRH5Plugin/QBAlbumsViewController.h"
#include "KRH5Plugin/QBAssetCell.h"
#include "KRH5Plugin/QBAssetsViewController.h"
#include "KRH5Plugin/QBImageViewCtrl.h"
#include "KRH5Plugin/SysInterface.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/Utils.h"
#include "platform/device/PermissionStore.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

const uint32_t kColours[] = {0xff0000, 0x00c000, 0x0000ff, 0xffff00, 0xff00ff, 0x00ffff};

UIImageRef solid(uint32_t rgb, int w = 60, int h = 40) {
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(w, h), true, 1);
  CGContextSetRGBFillColor(UIGraphicsGetCurrentContext(), ((rgb >> 16) & 255) / 255.0,
                           ((rgb >> 8) & 255) / 255.0, (rgb & 255) / 255.0, 1);
  UIRectFill(CGRectMake(0, 0, w, h));
  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

bool near(uint32_t argb, uint32_t rgb, int tolerance = 24) {
  for (int shift : {0, 8, 16})
    if (std::abs(int((argb >> shift) & 255) - int((rgb >> shift) & 255)) > tolerance) return false;
  return true;
}

std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  return std::string(env && *env ? env : "test-output") + "/KRH5Plugin/picker/";
}

class ImagePickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ALAssetsLibrary::resetForTesting();
    for (const char* f : {"Info.plist", "QBImagePicker.strings"}) {
      std::ifstream in(std::string(LUMORA_DEMO_BUNDLE) + "/" + f, std::ios::binary);
      bundle.writeFile(std::string("Lumora.bundle/") + f,
                       std::string(std::istreambuf_iterator<char>(in), {}));
    }
    window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->setRootViewController(rootController);
    window->makeKeyAndVisible();
    SysPlugin::SetWebView(web);
    IOSPlugin::SetRootController(rootController);
    IOSPluginSetScriptObserver([this](const std::string& s) {
      if (s.find("onSelectImage") != std::string::npos) reports.push_back(s);
    });
    setNSLogCaptureForTesting([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMu);
      logLines.push_back(line);
    });
  }
  void TearDown() override {
    if (auto picker = QBImageViewCtrl::CurrentPicker()) picker->cancel();
    testing_loop::runUntilIdle();
    setNSLogCaptureForTesting({});
    IOSPluginSetScriptObserver({});
    SysPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
    UITouchDriver::resetForTesting();
    PermissionStore::shared().resetForTesting();
    UIApplication::sharedApplication().setStatusBarOrientation(UIInterfaceOrientationPortrait);
    ALAssetsLibrary::resetForTesting();
  }

  // Opens the picker as "SelectImage" does and lets the album list load.
  QBImagePickerControllerRef open(uint64_t max, uint64_t type = 1) {
    QBImageViewCtrl::ShowWithTypeAndMaxSel(type, max);
    testing_loop::runUntilIdle();
    window->layoutIfNeeded();
    return QBImageViewCtrl::CurrentPicker();
  }
  std::shared_ptr<QBAlbumsViewController> albums(const QBImagePickerControllerRef& p) {
    return std::dynamic_pointer_cast<QBAlbumsViewController>(
        p->albumsNavigationController()->viewControllers().front());
  }
  std::shared_ptr<QBAssetsViewController> grid(const QBImagePickerControllerRef& p) {
    return std::dynamic_pointer_cast<QBAssetsViewController>(
        p->albumsNavigationController()->topViewController());
  }
  void tapAt(const UIViewRef& view, CGRect rect) {
    window->layoutIfNeeded();
    CGPoint p = view->convertPointToView(CGPointMake(CGRectGetMidX(rect), CGRectGetMidY(rect)),
                                         window.get());
    UITouchDriver::tap(window, p);
    testing_loop::runUntilIdle();
  }
  // Taps the album row, which pushes its grid.
  std::shared_ptr<QBAssetsViewController> openAlbum(const QBImagePickerControllerRef& p, int row) {
    auto table = albums(p)->tableView();
    tapAt(table, table->rectForRowAtIndexPath({0, row}));
    window->layoutIfNeeded();
    return grid(p);
  }
  void tapItem(const std::shared_ptr<QBAssetsViewController>& g, int item) {
    auto cv = g->collectionView();
    cv->scrollToItemAtIndexPathAtScrollPositionAnimated(NSIndexPathForItemInSection(item, 0),
                                                        UICollectionViewScrollPositionCenteredVertically,
                                                        false);
    cv->layoutIfNeeded();
    tapAt(cv, cv->frameForItemAtIndexPath(NSIndexPathForItemInSection(item, 0)));
  }
  void tapDone(const QBImagePickerControllerRef& p) {
    auto bar = p->albumsNavigationController()->navigationBar();
    tapAt(bar, bar->rightItemRect());
  }
  void tapBack(const QBImagePickerControllerRef& p) {
    auto bar = p->albumsNavigationController()->navigationBar();
    tapAt(bar, bar->leftItemRect());
  }
  bool logged(const std::string& text) {
    std::lock_guard<std::mutex> lock(logMu);
    for (auto& l : logLines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  // The paths of the one onSelectImage report.
  std::vector<std::string> reportedPaths() {
    EXPECT_TRUE(testing_loop::runUntil([&] { return !reports.empty(); }));
    EXPECT_EQ(reports.size(), 1u);
    if (reports.empty()) return {};
    std::vector<std::string> out;
    std::string s;  // the script without its escapes
    for (char c : reports.front())
      if (c != '\\') s += c;
    for (size_t at = s.find(root.path()); at != std::string::npos; at = s.find(root.path(), at + 1))
      out.push_back(s.substr(at, s.find('"', at) - at));
    return out;
  }
  std::string album(const std::string& name, int count, int firstColour = 0,
                    ALAssetsGroupType type = ALAssetsGroupAlbum) {
    // The saved photos album is always there, at the top of the list.
    std::string url = name == "Camera Roll" ? ALAssetsLibrary::savedPhotosGroupURL()
                                            : ALAssetsLibrary::addAssetsGroup(type, name);
    for (int i = 0; i < count; ++i)
      urls[name].push_back(ALAssetsLibrary::addAsset(url, solid(kColours[(firstColour + i) % 6])));
    return url;
  }

  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle;
  std::shared_ptr<UIWindow> window;
  UIViewControllerRef rootController = std::make_shared<UIViewController>();
  WKWebViewRef web = WKWebView::make(CGRectMake(0, 0, 320, 480), WKWebViewConfiguration::make());
  std::vector<std::string> reports;
  std::mutex logMu;
  std::vector<std::string> logLines;
  std::map<std::string, std::vector<std::string>> urls;
};

TEST_F(ImagePickerTest, SelectImageOpensThePickerWithTheClampedMaximum) {
  SysScreens screens;
  screens.showImagePicker = QBImageViewCtrl::ShowWithTypeAndMaxSel;
  SysInterface::SetScreens(screens);
  SysInterface sys;
  for (auto [count, max] : std::vector<std::pair<int, uint64_t>>{{0, 1}, {1, 1}, {3, 3}, {9, 4}}) {
    sys.SelectImage(count);
    auto p = QBImageViewCtrl::CurrentPicker();
    ASSERT_TRUE(p);
    EXPECT_EQ(rootController->presentedViewController(), p);
    EXPECT_EQ(p->maximumNumberOfSelection(), max);
    EXPECT_EQ(p->filterType(), 1u);
    EXPECT_TRUE(p->allowsMultipleSelection());
    EXPECT_EQ(p->minimumNumberOfSelection(), 1u);
    p->cancel();
    testing_loop::runUntilIdle();
  }
  SysInterface::SetScreens({});
  EXPECT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports.back(), "LM_IOS.CallFunc(\"onSelectImage\");");
}

TEST_F(ImagePickerTest, ASecondRequestWhileAPickerIsOpenGetsNoAnswerOfItsOwn) {
  album("A", 2);
  auto p = open(2);
  ASSERT_TRUE(p);
  QBImageViewCtrl::ShowWithTypeAndMaxSel(1, 4);
  testing_loop::runUntilIdle();
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(logged("already open"));
  EXPECT_EQ(QBImageViewCtrl::CurrentPicker(), p);
  EXPECT_EQ(p->maximumNumberOfSelection(), 2u);
  tapItem(openAlbum(p, 1), 0);
  tapDone(p);
  EXPECT_EQ(reportedPaths().size(), 1u);  // the open picker's one answer, with its pick
}

// The selection rules, row by row: (minimum, maximum, taps) -> selection and refusals.
TEST_F(ImagePickerTest, SelectionRuleTable) {
  album("A", 6);
  struct Row {
    uint64_t min, max;
    std::vector<int> taps;
    std::vector<int> selected;  // item indexes, in pick order
    bool lastRefused;
  };
  std::vector<Row> rows = {
      {1, 1, {0, 2}, {2}, false},                    // auto-deselect replaces the pick
      {1, 3, {0, 1, 2, 3}, {0, 1, 2}, true},          // the fourth is refused
      {1, 3, {0, 1, 2, 1, 4}, {0, 2, 4}, false},      // after a deselect a new tap is taken
      {1, 0, {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5}, false},  // no limit
      {0, 1, {5, 4}, {4}, false},                     // minimum 0 counts as 1
      {3, 2, {0, 1, 2}, {0, 1, 2}, false},            // minimum above maximum: never reached
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.min << "/" << row.max);
    auto p = open(row.max);
    ASSERT_TRUE(p);
    p->setMinimumNumberOfSelection(row.min);
    auto g = openAlbum(p, 1);
    ASSERT_TRUE(g);
    ASSERT_EQ(g->numberOfAssets(), 6u);
    for (int t : row.taps) tapItem(g, t);
    std::vector<std::string> expected;
    for (int i : row.selected) expected.push_back(urls["A"][i]);
    EXPECT_EQ(p->selectedAssetURLs(), expected);
    // The grid shows exactly the selection.
    std::vector<NSIndexPath> shown;
    for (int i : row.selected) shown.push_back(NSIndexPathForItemInSection(i, 0));
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(g->collectionView()->indexPathsForSelectedItems(), shown);
    if (row.lastRefused)
      EXPECT_FALSE(g->collectionView()->cellForItemAtIndexPath({0, row.taps.back()})->isSelected());
    p->cancel();
    testing_loop::runUntilIdle();
  }
}

TEST_F(ImagePickerTest, DoneWritesThePicksInSelectionOrderAndTheToolbarCountsThem) {
  testing_loop::VirtualClockScope clock;  // one second for every file name
  album("A", 4);
  auto p = open(4);
  auto g = openAlbum(p, 1);
  auto nav = p->albumsNavigationController();
  EXPECT_TRUE(nav->isToolbarHidden());
  EXPECT_FALSE(g->doneButton()->isEnabled());
  EXPECT_EQ(nav->navigationBar()->rightItemRect().size.width > 0, true);

  tapItem(g, 3);
  EXPECT_TRUE(g->doneButton()->isEnabled());
  EXPECT_FALSE(nav->isToolbarHidden());
  EXPECT_EQ(g->toolbarItems()[1]->title(), "1 Items Selected");
  tapItem(g, 0);
  EXPECT_EQ(g->toolbarItems()[1]->title(), "2 Items Selected");
  tapItem(g, 3);  // deselect, then select again: now the last pick
  tapItem(g, 3);
  tapItem(g, 1);
  tapItem(g, 1);
  EXPECT_EQ(p->selectedAssetURLs(), (std::vector<std::string>{urls["A"][0], urls["A"][3]}));
  tapItem(g, 0);
  tapItem(g, 3);
  EXPECT_TRUE(p->selectedAssetURLs().empty());
  EXPECT_TRUE(nav->isToolbarHidden());
  EXPECT_FALSE(g->doneButton()->isEnabled());
  tapItem(g, 2);
  tapItem(g, 0);

  tapDone(p);
  tapDone(p);  // a second Done, and a Cancel, while the look-ups run: nothing more
  p->cancel();
  auto paths = reportedPaths();
  testing_loop::runUntilIdle();
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_FALSE(rootController->presentedViewController());
  EXPECT_FALSE(QBImageViewCtrl::CurrentPicker());
  auto t = std::to_string(static_cast<int64_t>(Clock::current()->date().timeIntervalSince1970()));
  std::string folder = *Utils::GetDocumentPath() + "/Temp";
  ASSERT_EQ(paths, (std::vector<std::string>{folder + "/" + t + "_0", folder + "/" + t + "_1"}));
  auto first = UIImage::imageWithContentsOfFile(paths[0]);
  auto second = UIImage::imageWithContentsOfFile(paths[1]);
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(near(first->CGImage()->pixelAt(10, 10), kColours[2]));
  EXPECT_TRUE(near(second->CGImage()->pixelAt(10, 10), kColours[0]));
}

TEST_F(ImagePickerTest, PicksInSeveralAlbumsKeepTheirOrderAndAlbumsAreOrderedByType) {
  album("Stream", 2, 0, ALAssetsGroupPhotoStream);
  album("B", 2, 2);
  album("A", 2, 4);
  ALAssetsLibrary().writeImageDataToSavedPhotosAlbumMetadataCompletionBlock(
      UIImagePNGRepresentation(solid(0x808080)), {}, nullptr);
  auto p = open(4);
  auto list = albums(p);
  ASSERT_EQ(list->assetsGroups().size(), 4u);
  std::vector<std::string> names;
  for (auto& g : list->assetsGroups())
    names.push_back(g->valueForProperty(ALAssetsGroupPropertyName).stringOr());
  EXPECT_EQ(names, (std::vector<std::string>{"Camera Roll", "Stream", "B", "A"}));

  tapItem(openAlbum(p, 3), 1);   // A
  tapBack(p);
  tapItem(openAlbum(p, 2), 0);   // B
  tapBack(p);
  auto a = openAlbum(p, 3);
  EXPECT_TRUE(a->collectionView()->cellForItemAtIndexPath({0, 1})->isSelected());
  tapItem(a, 0);                 // A again
  tapBack(p);
  tapItem(openAlbum(p, 0), 0);   // the saved picture is offered first
  EXPECT_EQ(p->selectedAssetURLs().size(), 4u);
  tapDone(p);
  auto paths = reportedPaths();
  ASSERT_EQ(paths.size(), 4u);
  uint32_t expected[] = {kColours[5], kColours[2], kColours[4], 0x808080};
  for (size_t i = 0; i < 4; ++i)
    EXPECT_TRUE(near(UIImage::imageWithContentsOfFile(paths[i])->CGImage()->pixelAt(5, 5),
                     expected[i]))
        << i;
}

TEST_F(ImagePickerTest, ADeniedLibraryShowsNoAlbumsAndOnlyCancelAnswers) {
  album("A", 2);
  PermissionStore::shared().setPhotoLibraryStatus(AuthorizationStatusDenied);
  auto p = open(2);
  ASSERT_TRUE(p);
  EXPECT_TRUE(albums(p)->assetsGroups().empty());
  EXPECT_EQ(albums(p)->tableView()->numberOfRowsInSection(0), 0);
  EXPECT_TRUE(logged("Error: User denied access"));
  auto bar = p->albumsNavigationController()->navigationBar();
  tapAt(bar, bar->leftItemRect());  // Cancel
  ASSERT_TRUE(testing_loop::runUntil([&] { return !reports.empty(); }));
  EXPECT_EQ(reports, std::vector<std::string>{"LM_IOS.CallFunc(\"onSelectImage\");"});
  EXPECT_FALSE(fs::exists(*Utils::GetDocumentPath() + "/Temp"));
}

TEST_F(ImagePickerTest, MissingAssetsAreLeftOutAndAnAssetInTwoStreamsCountsOnce) {
  album("A", 3);
  std::string s1 = album("S1", 1, 3, ALAssetsGroupPhotoStream);
  std::string s2 = ALAssetsLibrary::addAssetsGroup(ALAssetsGroupPhotoStream, "S2");
  ASSERT_TRUE(ALAssetsLibrary::addAssetToGroup(urls["S1"][0], s2));
  auto p = open(4);
  tapItem(openAlbum(p, 3), 0);  // A[0]
  tapItem(grid(p), 1);          // A[1]
  tapBack(p);
  tapItem(openAlbum(p, 1), 0);  // the streamed picture, also in S2
  ASSERT_EQ(p->selectedAssetURLs().size(), 3u);
  ASSERT_TRUE(ALAssetsLibrary::removeAsset(urls["A"][1]));
  tapDone(p);
  auto paths = reportedPaths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_TRUE(near(UIImage::imageWithContentsOfFile(paths[0])->CGImage()->pixelAt(5, 5), kColours[0]));
  EXPECT_TRUE(near(UIImage::imageWithContentsOfFile(paths[1])->CGImage()->pixelAt(5, 5), kColours[3]));
  EXPECT_TRUE(logged(urls["A"][1]));
  (void)s1;
}

TEST_F(ImagePickerTest, WritesOnlyWhatCouldBeWritten) {
  album("A", 2);
  std::string docs = *Utils::GetDocumentPath();
  fs::create_directories(docs);
  std::ofstream(docs + "/Temp") << "a file where the folder goes";
  auto p = open(2);
  auto g = openAlbum(p, 1);
  tapItem(g, 0);
  tapItem(g, 1);
  tapDone(p);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !reports.empty(); }));
  // An empty list: the page's callback gets no argument.
  EXPECT_EQ(reports,
            std::vector<std::string>{"LM_IOS.CallFunc(\"onSelectImage\", JSON.parse(\"[]\"));"});
  EXPECT_TRUE(logged("could not write"));
}

TEST_F(ImagePickerTest, LibraryChangesRebuildTheShownAlbumOnly) {
  std::string a = album("A", 2), b = album("B", 1);
  auto p = open(2);
  auto g = openAlbum(p, 1);
  int64_t reloads = g->collectionView()->reloadCount();
  ALAssetsLibrary::addAsset(b, solid(0));
  testing_loop::runUntilIdle();
  EXPECT_EQ(g->numberOfAssets(), 2u);
  EXPECT_EQ(g->collectionView()->reloadCount(), reloads);
  // A change posted from another thread reaches the grid on the main thread.
  std::thread([a] { ALAssetsLibrary::addAsset(a, solid(0xffffff)); }).join();
  ASSERT_TRUE(testing_loop::runUntil([&] { return g->numberOfAssets() == 3; }));
  EXPECT_GT(g->collectionView()->reloadCount(), reloads);
  // The album list reloads on every change: a new album shows up.
  ALAssetsLibrary::addAssetsGroup(ALAssetsGroupAlbum, "C");
  ASSERT_TRUE(testing_loop::runUntil([&] { return albums(p)->assetsGroups().size() == 4; }));
  // A notification without updated albums changes nothing.
  NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      ALAssetsLibraryChangedNotification, Value(), Value());
  testing_loop::runUntilIdle();
  EXPECT_EQ(g->numberOfAssets(), 3u);
}

TEST_F(ImagePickerTest, ItemSizesTimeLabelsAndFooter) {
  std::string url = album("A", 2);
  ALAssetsLibrary::addAsset(url, solid(0x404040), true, 65.2);
  ALAssetsLibrary::addAsset(url, solid(0x404040), true, 5);
  auto p = open(2, 0);
  auto g = openAlbum(p, 1);
  auto cv = g->collectionView();
  EXPECT_EQ(cv->frameForItemAtIndexPath({0, 0}).size, CGSizeMake(91.25, 91.25));
  UIApplication::sharedApplication().setStatusBarOrientation(UIInterfaceOrientationLandscapeLeft);
  cv->collectionViewLayout()->invalidateLayout();
  EXPECT_DOUBLE_EQ(cv->frameForItemAtIndexPath({0, 0}).size.width, (375 - 16) / 7.0);
  UIApplication::sharedApplication().setStatusBarOrientation(UIInterfaceOrientationUnknown);
  cv->collectionViewLayout()->invalidateLayout();
  EXPECT_DOUBLE_EQ(cv->frameForItemAtIndexPath({0, 0}).size.width, (375 - 16) / 7.0);
  UIApplication::sharedApplication().setStatusBarOrientation(UIInterfaceOrientationPortrait);
  cv->collectionViewLayout()->invalidateLayout();
  cv->layoutIfNeeded();

  auto cell = [&](int i) {
    return std::dynamic_pointer_cast<QBAssetCell>(cv->cellForItemAtIndexPath({0, i}));
  };
  EXPECT_TRUE(cell(0)->videoIndicatorView()->isHidden());
  EXPECT_FALSE(cell(2)->videoIndicatorView()->isHidden());
  EXPECT_EQ(cell(2)->videoIndicatorView()->timeLabel()->text(), "01:06");
  EXPECT_EQ(cell(3)->videoIndicatorView()->timeLabel()->text(), "00:05");
  EXPECT_EQ(QBAssetsViewController::durationText(59.5), "01:00");
  EXPECT_EQ(QBAssetsViewController::durationText(3599.2), "60:00");
  EXPECT_EQ(QBAssetsViewController::durationText(0), "00:00");
  auto footer = cv->supplementaryViewForElementKindAtIndexPath(
      UICollectionElementKindSectionFooter, {0, 0});
  ASSERT_TRUE(footer);
  EXPECT_EQ(std::dynamic_pointer_cast<UILabel>(footer->viewWithTag(1))->text(),
            "2 Photos, 2 Videos");
  p->cancel();
  testing_loop::runUntilIdle();

  // Photos only, as "SelectImage" asks: the videos are not shown and the footer counts photos.
  p = open(2, 1);
  g = openAlbum(p, 1);
  EXPECT_EQ(g->numberOfAssets(), 2u);
  footer = g->collectionView()->supplementaryViewForElementKindAtIndexPath(
      UICollectionElementKindSectionFooter, {0, 0});
  ASSERT_TRUE(footer);
  EXPECT_EQ(std::dynamic_pointer_cast<UILabel>(footer->viewWithTag(1))->text(), "2 Photos");
}

TEST_F(ImagePickerTest, TheGridScrollsToTheNewestOnlyWhenPushed) {
  album("A", 40);
  auto p = open(2);
  auto g = openAlbum(p, 1);
  auto cv = g->collectionView();
  EXPECT_GT(cv->contentOffset().y, 0);
  EXPECT_DOUBLE_EQ(cv->contentOffset().y, cv->maximumContentOffset().y);
  EXPECT_TRUE(cv->cellForItemAtIndexPath({0, 39}));
  cv->setContentOffset(CGPointMake(0, 0));
  auto above = std::make_shared<UIViewController>();
  p->albumsNavigationController()->pushViewControllerAnimated(above, false);
  testing_loop::runUntilIdle();
  p->albumsNavigationController()->popViewControllerAnimated(false);
  testing_loop::runUntilIdle();
  EXPECT_EQ(cv->contentOffset().y, 0);
  EXPECT_FALSE(g->disableScrollToBottom());

  // Turned sideways, the grid takes 7 columns and keeps its last visible item at the bottom.
  window->layoutIfNeeded();
  NSIndexPath last = cv->indexPathsForVisibleItems().back();
  UIApplication::sharedApplication().setStatusBarOrientation(UIInterfaceOrientationLandscapeLeft);
  UIWindowTransitionToSize(window, CGSizeMake(667, 375));
  testing_loop::runUntilIdle();
  EXPECT_EQ(g->indexPathForLastVisibleItem(), last);
  EXPECT_DOUBLE_EQ(cv->frameForItemAtIndexPath({0, 0}).size.width, (667 - 16) / 7.0);
  EXPECT_DOUBLE_EQ(CGRectGetMaxY(cv->frameForItemAtIndexPath(last)) - cv->contentOffset().y,
                   cv->bounds().size.height);
}

TEST_F(ImagePickerTest, AlbumRowsShowTheNewestThumbnailsAndIgnoreThemOnceReused) {
  album("Camera Roll", 3);
  album("One", 1, 3);
  album("Two", 2, 4);
  album("Empty", 0);
  auto p = open(2);
  auto list = albums(p);
  auto table = list->tableView();
  table->layoutIfNeeded();
  testing_loop::runUntilIdle();
  auto row = [&](int r) { return std::dynamic_pointer_cast<QBAlbumCell>(table->cellForRowAtIndexPath({0, r})); };
  ASSERT_TRUE(row(3));
  EXPECT_EQ(row(0)->countLabel()->text(), "3");
  EXPECT_FALSE(row(0)->imageView3()->isHidden());
  EXPECT_TRUE(near(row(0)->imageView1()->image()->CGImage()->pixelAt(75, 75), kColours[2]));
  EXPECT_TRUE(near(row(0)->imageView3()->image()->CGImage()->pixelAt(75, 75), kColours[0]));
  EXPECT_FALSE(row(1)->imageView1()->isHidden());
  EXPECT_TRUE(row(1)->imageView2()->isHidden());
  EXPECT_TRUE(row(1)->imageView3()->isHidden());
  EXPECT_TRUE(near(row(2)->imageView1()->image()->CGImage()->pixelAt(75, 75), kColours[5]));
  EXPECT_TRUE(near(row(2)->imageView2()->image()->CGImage()->pixelAt(75, 75), kColours[4]));
  EXPECT_TRUE(row(2)->imageView3()->isHidden());
  EXPECT_EQ(row(3)->countLabel()->text(), "0");
  EXPECT_FALSE(row(3)->imageView3()->isHidden());
  EXPECT_EQ(row(3)->imageView1()->image(), row(3)->imageView3()->image());
  EXPECT_DOUBLE_EQ(row(0)->borderWidth(), 0.5);

  // A cell asked for row 0 and taken for another row before its thumbnails arrive keeps them
  // out.
  auto cell = std::dynamic_pointer_cast<QBAlbumCell>(list->tableViewCellForRowAtIndexPath(*table, {0, 0}));
  cell->imageView1()->setImage(nullptr);
  cell->setTag(3);
  testing_loop::runUntilIdle();
  EXPECT_FALSE(cell->imageView1()->image());
}

TEST_F(ImagePickerTest, TheRowSegueGivesTheGridThePickerAndTheRowsAlbum) {
  album("One", 1);
  album("Two", 2, 1);
  auto p = open(2);
  auto list = albums(p);
  ASSERT_EQ(list->assetsGroups().size(), 3u);
  auto g = std::make_shared<QBAssetsViewController>();
  g->didInit();
  list->prepareForSegueSender(g, 2);
  EXPECT_EQ(g->imagePickerController(), p);
  EXPECT_EQ(g->assetsGroup(), list->assetsGroups()[2]);
  testing_loop::runUntilIdle();
  EXPECT_EQ(g->numberOfAssets(), 2u);
  // A row past the list leaves the grid as it is.
  list->prepareForSegueSender(g, 3);
  list->prepareForSegueSender(g, -1);
  list->prepareForSegueSender(nullptr, 0);
  EXPECT_EQ(g->assetsGroup(), list->assetsGroups()[2]);
}

TEST_F(ImagePickerTest, RendersOfTheAlbumListAndTheGrid) {
  album("Camera Roll", 3);
  album("One", 1, 3);
  album("Empty", 0);
  auto p = open(3);
  testing_loop::runUntilIdle();
  auto image = UIRenderer::renderView(window, 1)->CGImage();
  UIRenderer::writePNG(window, outputDir() + "album-list.png", 1);
  // Row 0's front thumbnail shows the newest picture; row 2 the placeholder's background.
  auto list = albums(p);
  auto frontOf = [&](int r) {
    auto c = std::dynamic_pointer_cast<QBAlbumCell>(list->tableView()->cellForRowAtIndexPath({0, r}));
    return c->imageView1()->convertRectToView(c->imageView1()->bounds(), window.get());
  };
  CGRect f0 = frontOf(0), f2 = frontOf(2);
  EXPECT_TRUE(near(image->pixelAt(int(CGRectGetMidX(f0)), int(CGRectGetMidY(f0))), kColours[2]));
  EXPECT_TRUE(near(image->pixelAt(int(f2.origin.x + 5), int(f2.origin.y + 5)), 0xefeff4, 4));
  EXPECT_TRUE(near(image->pixelAt(int(f2.origin.x + f2.size.width * 4 / 17 + 0.5),
                                  int(f2.origin.y + f2.size.height * 8 / 17)),
                   0xb3b3b6, 8));  // the back frame's left edge

  auto g = openAlbum(p, 0);
  tapItem(g, 0);
  tapItem(g, 2);
  testing_loop::runUntilIdle();
  image = UIRenderer::renderView(window, 1)->CGImage();
  UIRenderer::writePNG(window, outputDir() + "asset-grid.png", 1);
  auto cv = g->collectionView();
  auto itemRect = [&](int i) {
    return cv->convertRectToView(cv->frameForItemAtIndexPath({0, i}), window.get());
  };
  // The selected item is whitened and carries the blue checkmark; the other is not.
  CGRect r0 = itemRect(0), r1 = itemRect(1);
  EXPECT_TRUE(near(image->pixelAt(int(r0.origin.x + 10), int(r0.origin.y + 10)), 0xff8080, 16));
  EXPECT_TRUE(near(image->pixelAt(int(r1.origin.x + 10), int(r1.origin.y + 10)), kColours[1], 8));
  EXPECT_TRUE(near(image->pixelAt(int(CGRectGetMaxX(r0) - 4 - 12), int(CGRectGetMaxY(r0) - 4 - 8)),
                   0x146fdf, 40));
  // The toolbar's count and the footer's text are drawn (dark pixels in their bands).
  auto dark = [&](CGRect band) {
    for (int y = int(band.origin.y); y < int(CGRectGetMaxY(band)); ++y)
      for (int x = int(band.origin.x); x < int(CGRectGetMaxX(band)); ++x)
        if ((image->pixelAt(x, y) & 0xffffff) < 0x303030) return true;
    return false;
  };
  auto toolbar = p->albumsNavigationController()->toolbar();
  EXPECT_FALSE(toolbar->isHidden());
  EXPECT_TRUE(dark(toolbar->convertRectToView(toolbar->bounds(), window.get())));
  auto footer = cv->supplementaryViewForElementKindAtIndexPath(UICollectionElementKindSectionFooter,
                                                               {0, 0});
  ASSERT_TRUE(footer);
  EXPECT_TRUE(dark(footer->convertRectToView(footer->bounds(), window.get())));
}

// A delegate that only hears single taps and answers the may-select question itself.
class SingleTapDelegate : public QBImagePickerControllerDelegate {
 public:
  std::vector<std::string> tapped;
  std::optional<bool> allow;
  bool implementsDidSelectAsset() const override { return true; }
  void qb_imagePickerControllerDidSelectAsset(const QBImagePickerControllerRef&,
                                              const ALAssetRef& asset) override {
    tapped.push_back(asset->url());
  }
  std::optional<bool> qb_imagePickerControllerShouldSelectAsset(const QBImagePickerControllerRef&,
                                                                const ALAssetRef&) override {
    return allow;
  }
};

TEST_F(ImagePickerTest, WithoutMultipleSelectionTapsGoToTheDelegateAndDoneIsIgnored) {
  album("A", 3);
  auto delegate = std::make_shared<SingleTapDelegate>();
  auto p = make<QBImagePickerController>();
  p->setDelegate(delegate);
  rootController->presentViewControllerAnimatedCompletion(p, false);
  testing_loop::runUntilIdle();
  auto g = openAlbum(p, 1);
  EXPECT_FALSE(p->albumsNavigationController()->navigationBar()->rightItemRect().size.width > 0);
  tapItem(g, 2);
  EXPECT_EQ(delegate->tapped, std::vector<std::string>{urls["A"][2]});
  EXPECT_TRUE(p->selectedAssetURLs().empty());
  delegate->allow = false;  // the delegate's answer replaces the picker's rule
  tapItem(g, 1);
  EXPECT_EQ(delegate->tapped.size(), 1u);
  // Neither Done nor Cancel has a taker: the picker stays open and nothing is reported.
  p->done();
  p->cancel();
  testing_loop::runUntilIdle();
  EXPECT_FALSE(p->hasFinished());
  EXPECT_TRUE(reports.empty());
  p->dismissViewControllerAnimatedCompletion(false);
  testing_loop::runUntilIdle();
}

TEST_F(ImagePickerTest, WithoutTheResourceBundleThereIsNoScreenAndTheCancelReport) {
  testing_device::TempAppBundle bare;
  QBImageViewCtrl::ShowWithTypeAndMaxSel(1, 2);
  EXPECT_FALSE(rootController->presentedViewController());
  EXPECT_FALSE(QBImageViewCtrl::CurrentPicker());
  ASSERT_TRUE(testing_loop::runUntil([&] { return !reports.empty(); }));
  EXPECT_EQ(reports, std::vector<std::string>{"LM_IOS.CallFunc(\"onSelectImage\");"});
  EXPECT_TRUE(logged("Lumora.bundle"));
}

}  // namespace
