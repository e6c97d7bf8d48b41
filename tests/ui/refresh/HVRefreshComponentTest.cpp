// The shared machinery of the refresh controls: attaching to a scroll view and following only
// it, which changes reach the handlers, beginning outside a window, the callbacks' order,
// header and footer slots, data counts and the resource bundle's texts.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/runtime/NSObject.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UITableView.h"
#include "tests/ui/refresh/RefreshTestSupport.h"
#include "ui/refresh/HVRefreshFooter.h"
#include "ui/refresh/HVRefreshHeader.h"

using namespace plat;
using namespace refresh_test;

namespace {

// Counts what reaches the three handlers.
class Probe : public HVRefreshComponent {
 public:
  int offsets = 0, sizes = 0, pans = 0;
  std::vector<std::string> calls;

 protected:
  void scrollViewContentOffsetDidChange(const HVRefreshChange*) override { ++offsets; }
  void scrollViewContentSizeDidChange(const HVRefreshChange*) override { ++sizes; }
  void scrollViewPanStateDidChange(const HVRefreshChange*) override { ++pans; }
};

class Target : public Object {};

class HVRefreshComponentTest : public ::testing::Test {
 protected:
  testing_loop::VirtualClockScope clock;
  RefreshEnvironment env;
};

TEST_F(HVRefreshComponentTest, AttachesToScrollViewsOnlyAndFollowsTheCurrentOne) {
  auto plain = make<UIView>(CGRectMake(0, 0, 100, 100));
  auto probe = make<Probe>();
  EXPECT_EQ(probe->state(), HVRefreshStateIdle);
  plain->addSubview(probe);
  EXPECT_EQ(probe->scrollView(), nullptr);
  EXPECT_EQ(probe->pan(), nullptr);

  auto first = make<UIScrollView>(CGRectMake(0, 0, 300, 500));
  first->setContentInset({10, 0, 20, 0});
  first->addSubview(probe);
  EXPECT_EQ(probe->scrollView(), first);
  EXPECT_EQ(probe->frame().size.width, 300);
  EXPECT_TRUE(first->alwaysBounceVertical());
  EXPECT_EQ(probe->scrollViewOriginalInset(), (UIEdgeInsets{10, 0, 20, 0}));
  EXPECT_EQ(probe->pan(), first->panGestureRecognizer());

  first->setContentOffset({0, 5});
  first->setContentSize({300, 900});
  EXPECT_EQ(probe->offsets, 1);
  EXPECT_EQ(probe->sizes, 1);

  // Moving to another scroll view stops following the first.
  auto second = make<UIScrollView>(CGRectMake(0, 0, 200, 500));
  second->addSubview(probe);
  first->setContentOffset({0, 6});
  testing_uikit::DragSimulator(first).drag({30});
  EXPECT_EQ(probe->offsets, 1);
  EXPECT_EQ(probe->pans, 0);
  second->setContentOffset({0, 1});
  EXPECT_EQ(probe->offsets, 2);

  // Removal twice is harmless; nothing is followed afterwards.
  probe->removeFromSuperview();
  probe->removeObservers();
  second->setContentOffset({0, 2});
  EXPECT_EQ(probe->offsets, 2);
  EXPECT_EQ(probe->pan(), nullptr);

  // Moved straight from a scroll view into a plain view: it lets the scroll view go.
  second->addSubview(probe);
  EXPECT_EQ(probe->scrollView(), second);
  plain->addSubview(probe);
  EXPECT_FALSE(probe->scrollView());
  EXPECT_FALSE(probe->pan());
  second->setContentOffset({0, 3});
  second->setContentSize({200, 800});
  testing_uikit::DragSimulator(second).drag({30});
  EXPECT_EQ(probe->offsets, 2);
  EXPECT_EQ(probe->sizes, 1);
  EXPECT_EQ(probe->pans, 0);
}

TEST_F(HVRefreshComponentTest, HiddenAndDisabledControlsHearOnlyWhatTheyShould) {
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 600));
  auto probe = make<Probe>();
  scroll->addSubview(probe);
  probe->setHidden(true);
  scroll->setContentSize({320, 1000});
  scroll->setContentOffset({0, 10});
  testing_uikit::DragSimulator(scroll).drag({20});
  EXPECT_EQ(probe->sizes, 1);
  EXPECT_EQ(probe->offsets, 0);
  EXPECT_EQ(probe->pans, 0);

  probe->setHidden(false);
  probe->setUserInteractionEnabled(false);
  scroll->setContentSize({320, 1100});
  testing_uikit::DragSimulator(scroll).drag({30});
  EXPECT_EQ(probe->sizes, 1);
  EXPECT_EQ(probe->offsets, 0);
  EXPECT_EQ(probe->pans, 0);

  probe->setUserInteractionEnabled(true);
  testing_uikit::DragSimulator(scroll).drag({40});
  EXPECT_GT(probe->offsets, 0);
  EXPECT_EQ(probe->pans, 4);  // began, changed, ended, back to possible
}

TEST_F(HVRefreshComponentTest, BeginningOutsideAWindowWaitsForTheFirstDraw) {
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 600));
  auto probe = make<Probe>();
  UIView_HVExtension::setHV_h(*probe, 40);
  scroll->addSubview(probe);
  probe->beginRefreshing();
  EXPECT_EQ(probe->state(), HVRefreshStateWillRefresh);
  EXPECT_TRUE(probe->isRefreshing());
  EXPECT_EQ(probe->pullingPercent(), 1.0);

  // Already refreshing stays refreshing outside a window.
  probe->setState(HVRefreshStateRefreshing);
  probe->beginRefreshing();
  EXPECT_EQ(probe->state(), HVRefreshStateRefreshing);
  probe->endRefreshing();
  EXPECT_EQ(probe->state(), HVRefreshStateIdle);

  probe->beginRefreshing();
  EXPECT_EQ(probe->state(), HVRefreshStateWillRefresh);
  auto window = showInWindow(scroll);
  testing_loop::runUntilIdle();
  EXPECT_EQ(probe->state(), HVRefreshStateRefreshing);
}

TEST_F(HVRefreshComponentTest, CallbacksRunLaterInOrderAndSkipATargetWithoutAction) {
  auto probe = make<Probe>();
  auto target = std::make_shared<Target>();
  std::vector<std::string> order;
  probe->setRefreshingBlock([&] { order.push_back("block"); });
  probe->setRefreshingTargetRefreshingAction(target, [&](Object& t, HVRefreshComponent& c) {
    EXPECT_EQ(&t, target.get());
    EXPECT_EQ(&c, probe.get());
    order.push_back("action");
  });
  probe->setBeginRefreshingCompletionBlock([&] { order.push_back("completion"); });
  auto scroll = make<UIScrollView>();
  auto window = showInWindow(scroll);
  scroll->addSubview(probe);
  probe->beginRefreshing();
  EXPECT_EQ(probe->state(), HVRefreshStateRefreshing);
  // The base does not call back by itself: subclasses decide when.
  testing_loop::runUntilIdle();
  EXPECT_TRUE(order.empty());

  struct Exposed : Probe {
    void run() { executeRefreshingCallback(); }
  };
  auto exposed = make<Exposed>();
  exposed->setRefreshingBlock([&] { order.push_back("block"); });
  exposed->setRefreshingTargetRefreshingAction(target, nullptr);  // does not respond
  exposed->setBeginRefreshingCompletionBlock([&] { order.push_back("completion"); });
  exposed->run();
  EXPECT_TRUE(order.empty());
  testing_loop::runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"block", "completion"}));
}

TEST_F(HVRefreshComponentTest, AlphaFollowsThePullOnlyWhenAskedAndNotWhileRefreshing) {
  auto probe = make<Probe>();
  probe->setPullingPercent(0.3);
  EXPECT_EQ(probe->alpha(), 1.0);
  probe->setAutomaticallyChangeAlpha(true);
  EXPECT_NEAR(probe->alpha(), 0.3, 1e-6);
  probe->setPullingPercent(0.6);
  EXPECT_NEAR(probe->alpha(), 0.6, 1e-6);
  probe->setState(HVRefreshStateRefreshing);
  probe->setPullingPercent(0.1);
  EXPECT_NEAR(probe->alpha(), 0.6, 1e-6);
  probe->setState(HVRefreshStateIdle);
  probe->setAutoChangeAlpha(false);
  EXPECT_EQ(probe->alpha(), 1.0);
  EXPECT_FALSE(probe->isAutoChangeAlpha());
}

TEST_F(HVRefreshComponentTest, HeaderAndFooterSlots) {
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 600));
  auto other = make<UIView>();
  scroll->addSubview(other);
  auto header = make<HVRefreshHeader>();
  UIScrollView_HVRefresh::setHV_header(*scroll, header);
  EXPECT_EQ(scroll->subviews().front(), header);
  EXPECT_EQ(UIScrollView_HVRefresh::HV_header(*scroll), header);

  UIScrollView_HVRefresh::setHV_header(*scroll, header);  // the same: untouched
  EXPECT_EQ(scroll->subviews().size(), 2u);
  EXPECT_EQ(scroll->subviews().front(), header);

  auto replacement = make<HVRefreshHeader>();
  UIScrollView_HVRefresh::setHV_header(*scroll, replacement);
  EXPECT_EQ(header->superview(), nullptr);
  EXPECT_EQ(UIScrollView_HVRefresh::HV_header(*scroll), replacement);
  UIScrollView_HVRefresh::setHV_header(*scroll, nullptr);
  EXPECT_EQ(replacement->superview(), nullptr);
  EXPECT_EQ(UIScrollView_HVRefresh::HV_header(*scroll), nullptr);
  EXPECT_EQ(scroll->subviews().size(), 1u);

  // The slot does not keep a control alive: the view tree owns it.
  auto footer = make<HVRefreshFooter>();
  UIScrollView_HVRefresh::setHV_footer(*scroll, footer);
  std::weak_ptr<HVRefreshFooter> weak = footer;
  footer.reset();
  EXPECT_FALSE(weak.expired());
  weak.lock()->removeFromSuperview();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(UIScrollView_HVRefresh::HV_footer(*scroll), nullptr);
}

TEST_F(HVRefreshComponentTest, SlotChangesAreAnnouncedAndTheAliasesShareTheSlots) {
  auto scroll = make<UIScrollView>(CGRectMake(0, 0, 320, 600));
  std::vector<std::string> heard;
  std::vector<NSKeyValueObservable::ObserverToken> tokens;
  for (const char* key : {"HV_header", "HV_footer", "HV_reloadDataBlock"})
    tokens.push_back(scroll->addObserverForKeyPath(
        key, [&](const std::string& keyPath) { heard.push_back(keyPath); }));

  auto header = make<HVRefreshHeader>();
  UIScrollView_HVRefresh::setHeader(*scroll, header);
  EXPECT_EQ(UIScrollView_HVRefresh::HV_header(*scroll), header);
  EXPECT_EQ(UIScrollView_HVRefresh::header(*scroll), header);
  UIScrollView_HVRefresh::setHV_header(*scroll, header);  // the same: nothing to announce
  EXPECT_EQ(heard, std::vector<std::string>{"HV_header"});

  auto footer = make<HVRefreshFooter>();
  UIScrollView_HVRefresh::setFooter(*scroll, footer);
  EXPECT_EQ(UIScrollView_HVRefresh::footer(*scroll), footer);
  UIScrollView_HVRefresh::setHV_reloadDataBlock(*scroll, [](int64_t) {});
  UIScrollView_HVRefresh::setHV_reloadDataBlock(*scroll, nullptr);
  UIScrollView_HVRefresh::setHeader(*scroll, nullptr);
  EXPECT_EQ(heard, (std::vector<std::string>{"HV_header", "HV_footer", "HV_reloadDataBlock",
                                             "HV_reloadDataBlock", "HV_header"}));
  for (auto& t : tokens) scroll->removeObserverForKeyPath(t);
  UIScrollView_HVRefresh::setHV_footer(*scroll, nullptr);
  EXPECT_EQ(heard.size(), 5u);
}

// A registered class with exchangeable operations, and a subclass inheriting them.
class Reloader : public NSObject {
 public:
  PLAT_OBJECT(Reloader, NSObject)
};
class TableReloader : public Reloader {
 public:
  PLAT_OBJECT(TableReloader, Reloader)
};
using InstanceOp = std::function<std::string(Object&)>;
using ClassOp = std::function<std::string()>;

std::string callInstance(Class* cls, const std::string& name, Object& object) {
  return std::any_cast<InstanceOp>(cls->hook(NSObject_HVRefresh::instanceMethodHookName(name)))(
      object);
}

TEST(HVRefreshExchangeTest, ExchangedOperationsRunEachOthersImplementation) {
  Class* base = Reloader::staticClass();
  Class* table = TableReloader::staticClass();
  base->setHook("-reloadData", InstanceOp([](Object&) { return std::string("platform reload"); }));
  base->setHook("-HV_reloadData",
                InstanceOp([](Object&) { return std::string("reload and block"); }));
  table->setHook("sharedInstance", ClassOp([] { return std::string("shared"); }));
  table->setHook("defaultInstance", ClassOp([] { return std::string("default"); }));
  auto object = std::make_shared<TableReloader>();

  ASSERT_TRUE(
      NSObject_HVRefresh::exchangeInstanceMethod1Method2(table, "reloadData", "HV_reloadData"));
  EXPECT_EQ(callInstance(table, "reloadData", *object), "reload and block");
  EXPECT_EQ(callInstance(table, "HV_reloadData", *object), "platform reload");
  // The superclass keeps its own.
  EXPECT_EQ(callInstance(base, "reloadData", *object), "platform reload");

  ASSERT_TRUE(
      NSObject_HVRefresh::exchangeClassMethod1Method2(table, "sharedInstance", "defaultInstance"));
  EXPECT_EQ(std::any_cast<ClassOp>(table->hook("sharedInstance"))(), "default");
  EXPECT_EQ(std::any_cast<ClassOp>(table->hook("defaultInstance"))(), "shared");
  // Exchanging again gives each its own back.
  ASSERT_TRUE(
      NSObject_HVRefresh::exchangeInstanceMethod1Method2(table, "reloadData", "HV_reloadData"));
  EXPECT_EQ(callInstance(table, "reloadData", *object), "platform reload");

  // A missing operation or class changes nothing.
  EXPECT_FALSE(NSObject_HVRefresh::exchangeInstanceMethod1Method2(table, "reloadData", "none"));
  EXPECT_FALSE(NSObject_HVRefresh::exchangeClassMethod1Method2(nullptr, "a", "b"));
  EXPECT_EQ(callInstance(table, "reloadData", *object), "platform reload");

  for (const char* hook : {"-reloadData", "-HV_reloadData"}) {
    base->setHook(hook, {});
    table->setHook(hook, {});
  }
  for (const char* hook : {"sharedInstance", "defaultInstance"}) table->setHook(hook, {});
}

class Rows : public UITableViewDataSource, public UICollectionViewDataSource {
 public:
  std::vector<int64_t> counts;
  int64_t numberOfSectionsInTableView(UITableView&) override { return counts.size(); }
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t s) override { return counts[s]; }
  UITableViewCellRef tableViewCellForRowAtIndexPath(UITableView&, NSIndexPath) override {
    return nullptr;
  }
  int64_t numberOfSectionsInCollectionView(UICollectionView&) override { return counts.size(); }
  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t s) override {
    return counts[s];
  }
};

TEST_F(HVRefreshComponentTest, DataCountsAndTheFooterReloadBlock) {
  auto rows = std::make_shared<Rows>();
  rows->counts = {3, 0, 2};
  auto table = make<UITableView>(CGRectMake(0, 0, 320, 600));
  table->setDataSource(rows);
  auto collection = make<UICollectionView>();
  collection->setDataSource(rows);
  EXPECT_EQ(UIScrollView_HVRefresh::HV_totalDataCount(*table), 5);
  EXPECT_EQ(UIScrollView_HVRefresh::HV_totalDataCount(*collection), 5);
  EXPECT_EQ(UIScrollView_HVRefresh::HV_totalDataCount(*make<UIScrollView>()), 0);

  // A footer in a table installs a block that hides it while the table is empty, when asked.
  auto footer = make<HVRefreshFooter>();
  UIScrollView_HVRefresh::setHV_footer(*table, footer);
  ASSERT_TRUE(UIScrollView_HVRefresh::HV_reloadDataBlock(*table));
  rows->counts = {};
  table->reloadData();
  UIScrollView_HVRefresh::executeReloadDataBlock(*table);
  EXPECT_FALSE(footer->isHidden());  // automatic hiding is off by default
  footer->setAutomaticallyHidden(true);
  UIScrollView_HVRefresh::executeReloadDataBlock(*table);
  EXPECT_TRUE(footer->isHidden());
  rows->counts = {1};
  UIScrollView_HVRefresh::HV_reloadData(*table);
  EXPECT_FALSE(footer->isHidden());

  // The block holds the footer weakly: a dropped footer is freed and the block does nothing.
  std::weak_ptr<HVRefreshFooter> weak = footer;
  footer->removeFromSuperview();
  footer.reset();
  EXPECT_TRUE(weak.expired());
  UIScrollView_HVRefresh::executeReloadDataBlock(*table);

  // A plain scroll view gets no block.
  auto scroll = make<UIScrollView>();
  UIScrollView_HVRefresh::setHV_footer(*scroll, make<HVRefreshFooter>());
  EXPECT_FALSE(UIScrollView_HVRefresh::HV_reloadDataBlock(*scroll));
}

TEST_F(HVRefreshComponentTest, LabelsAndShorthands) {
  auto label = UILabel_HVRefresh::HV_label();
  EXPECT_EQ(UILabel_HVRefresh::HV_textWith(*label), 0);
  EXPECT_TRUE(label->font().isBold());
  EXPECT_EQ(label->font().pointSize(), 14);
  EXPECT_EQ(label->textAlignment(), NSTextAlignmentCenter);
  label->setText("Loading");
  double one = UILabel_HVRefresh::HV_textWith(*label);
  label->setText("Loading Loading");
  EXPECT_GT(one, 20);
  EXPECT_GT(UILabel_HVRefresh::HV_textWith(*label), 2 * one);

  auto scroll = make<UIScrollView>(CGRectMake(1, 2, 3, 4));
  UIView_HVExtension::setHV_origin(*scroll, {10, 20});
  UIView_HVExtension::setHV_size(*scroll, {30, 40});
  EXPECT_EQ(scroll->frame(), CGRectMake(10, 20, 30, 40));
  UIScrollView_HVExtension::setHV_insetB(*scroll, 7);
  UIScrollView_HVExtension::setHV_insetT(*scroll, 3);
  UIScrollView_HVExtension::setHV_offsetY(*scroll, -3);
  UIScrollView_HVExtension::setHV_contentH(*scroll, 99);
  EXPECT_EQ(scroll->contentInset(), (UIEdgeInsets{3, 0, 7, 0}));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, -3));
  EXPECT_EQ(scroll->contentSize(), CGSizeMake(0, 99));
}

struct LanguageCase {
  const char* preferred;
  const char* idleText;
};

TEST(HVRefreshBundleTest, TextsFollowTheFirstPreferredLanguageChosenOnce) {
  testing_loop::VirtualClockScope clock;
  const LanguageCase cases[] = {{"zh-Hant-TW", "下拉可以重新整理"},
                                {"zh-Hans-CN", "下拉可以刷新"},
                                {"zh-HK", "下拉可以重新整理"},
                                {"fr-FR", "Pull down to refresh"},
                                {"en-GB", "Pull down to refresh"}};
  for (const auto& c : cases) {
    RefreshEnvironment env(c.preferred);
    EXPECT_EQ(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderIdleText), c.idleText)
        << c.preferred;
    // Kept for the process's life: a later change of languages is not seen.
    NSLocale::setPreferredLanguages({"en"});
    EXPECT_EQ(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderIdleText), c.idleText);
  }
}

TEST(HVRefreshBundleTest, TheApplicationsStringsWinAndMissingTextsGiveTheKey) {
  testing_loop::VirtualClockScope clock;
  {
    RefreshEnvironment env;
    std::filesystem::create_directories(env.appPath() + "/en.lproj");
    std::ofstream(env.appPath() + "/en.lproj/Localizable.strings")
        << "\"HVRefreshHeaderIdleText\" = \"Our own\";\n";
    EXPECT_EQ(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderIdleText), "Our own");
    EXPECT_EQ(NSBundle_HVRefresh::HV_localizedStringForKey("NoSuchKey"), "NoSuchKey");
    EXPECT_EQ(NSBundle_HVRefresh::HV_localizedStringForKey("NoSuchKey", "fallback"), "fallback");
    auto arrow = NSBundle_HVRefresh::HV_arrowImage();
    ASSERT_TRUE(arrow);
    EXPECT_EQ(arrow->size(), CGSizeMake(15, 40));
    EXPECT_EQ(arrow->renderingMode(), UIImageRenderingModeAlwaysTemplate);
  }
  {
    // An application without the resource bundle: keys, and no arrow.
    testing_device::TempDeviceRoot root;
    testing_device::TempAppBundle app;
    NSBundle_HVRefresh::resetForTesting();
    EXPECT_EQ(NSBundle_HVRefresh::HV_refreshBundle(), nullptr);
    EXPECT_EQ(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderIdleText),
              HVRefreshHeaderIdleText);
    EXPECT_EQ(NSBundle_HVRefresh::HV_arrowImage(), nullptr);
    NSBundle_HVRefresh::resetForTesting();
  }
  {
    // Inside the application's "HVSDK.bundle" when it has one.
    testing_device::TempDeviceRoot root;
    testing_device::TempAppBundle app;
    std::filesystem::create_directories(app.path() + "/HVSDK.bundle");
    std::filesystem::copy(LUMORA_REFRESH_RESOURCES, app.path() + "/HVSDK.bundle",
                          std::filesystem::copy_options::recursive);
    NSLocale::setPreferredLanguages({"zh-Hans"});
    NSBundle_HVRefresh::resetForTesting();
    ASSERT_TRUE(NSBundle_HVRefresh::HV_refreshBundle());
    EXPECT_NE(NSBundle_HVRefresh::HV_refreshBundle()->bundlePath().find("HVSDK.bundle"),
              std::string::npos);
    EXPECT_EQ(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshHeaderDateTodayText), "今天");
    NSBundle_HVRefresh::resetForTesting();
    NSLocale::setPreferredLanguages({});
  }
}

}  // namespace
