#include "ui/refresh/HVRefreshCategories.h"

#include <cfloat>
#include <map>

#include "platform/foundation/NSLocale.h"
#include "platform/uikit/NSStringDrawing.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UITableView.h"
#include "ui/refresh/HVRefreshFooter.h"
#include "ui/refresh/HVRefreshHeader.h"

using namespace plat;

// ---- Frame shorthands ----

void UIView_HVExtension::setHV_x(UIView& v, double x) {
  CGRect f = v.frame();
  f.origin.x = x;
  v.setFrame(f);
}
void UIView_HVExtension::setHV_y(UIView& v, double y) {
  CGRect f = v.frame();
  f.origin.y = y;
  v.setFrame(f);
}
void UIView_HVExtension::setHV_w(UIView& v, double w) {
  CGRect f = v.frame();
  f.size.width = w;
  v.setFrame(f);
}
void UIView_HVExtension::setHV_h(UIView& v, double h) {
  CGRect f = v.frame();
  f.size.height = h;
  v.setFrame(f);
}
void UIView_HVExtension::setHV_size(UIView& v, CGSize s) {
  CGRect f = v.frame();
  f.size = s;
  v.setFrame(f);
}
void UIView_HVExtension::setHV_origin(UIView& v, CGPoint p) {
  CGRect f = v.frame();
  f.origin = p;
  v.setFrame(f);
}

void UIScrollView_HVExtension::setHV_insetT(UIScrollView& s, double v) {
  UIEdgeInsets i = s.contentInset();
  i.top = v;
  s.setContentInset(i);
}
void UIScrollView_HVExtension::setHV_insetL(UIScrollView& s, double v) {
  UIEdgeInsets i = s.contentInset();
  i.left = v;
  s.setContentInset(i);
}
void UIScrollView_HVExtension::setHV_insetB(UIScrollView& s, double v) {
  UIEdgeInsets i = s.contentInset();
  i.bottom = v;
  s.setContentInset(i);
}
void UIScrollView_HVExtension::setHV_insetR(UIScrollView& s, double v) {
  UIEdgeInsets i = s.contentInset();
  i.right = v;
  s.setContentInset(i);
}
void UIScrollView_HVExtension::setHV_offsetX(UIScrollView& s, double v) {
  CGPoint p = s.contentOffset();
  p.x = v;
  s.setContentOffset(p);
}
void UIScrollView_HVExtension::setHV_offsetY(UIScrollView& s, double v) {
  CGPoint p = s.contentOffset();
  p.y = v;
  s.setContentOffset(p);
}
void UIScrollView_HVExtension::setHV_contentW(UIScrollView& s, double v) {
  CGSize c = s.contentSize();
  c.width = v;
  s.setContentSize(c);
}
void UIScrollView_HVExtension::setHV_contentH(UIScrollView& s, double v) {
  CGSize c = s.contentSize();
  c.height = v;
  s.setContentSize(c);
}

// ---- Labels ----

std::shared_ptr<UILabel> UILabel_HVRefresh::HV_label() {
  auto label = make<UILabel>();
  label->setFont(UIFont::boldSystemFontOfSize(14));
  label->setTextColor(UIColor::colorWithRedGreenBlueAlpha(90 / 255.0, 90 / 255.0, 90 / 255.0, 1));
  label->setAutoresizingMask(UIViewAutoresizingFlexibleWidth);
  label->setTextAlignment(NSTextAlignmentCenter);
  label->setBackgroundColor(UIColor::clearColor());
  return label;
}

double UILabel_HVRefresh::HV_textWith(const UILabel& label) {
  if (label.text().empty()) return 0;
  NSTextStyle style;
  style.font = label.font();
  return NSStringBoundingRectWithSize(label.text(), CGSizeMake(FLT_MAX, FLT_MAX),
                                      NSStringDrawingUsesLineFragmentOrigin, style)
      .size.width;
}

// ---- Resource bundle ----

namespace {

const char* const kRefreshBundleName = "HVRefresh";
const char* const kSDKBundleName = "HVSDK";

struct BundleCache {
  bool bundleLoaded = false;
  std::shared_ptr<NSBundle> bundle;
  bool languageLoaded = false;
  std::shared_ptr<NSBundle> languageBundle;
  bool arrowLoaded = false;
  UIImageRef arrow;
};

BundleCache& bundleCache() {
  static auto* cache = new BundleCache;  // kept for the process's life
  return *cache;
}

// The resource name inside the application's "HVSDK.bundle" when it has one.
std::string sdkResourcePath(const std::string& name) {
  if (NSBundle::mainBundle()->pathForResourceOfType(kSDKBundleName, "bundle").empty()) return name;
  return std::string(kSDKBundleName) + ".bundle/" + name;
}

std::string chosenLanguage() {
  auto languages = NSLocale::preferredLanguages();
  std::string first = languages.empty() ? "" : languages.front();
  if (first.rfind("en", 0) == 0) return "en";
  if (first.rfind("zh", 0) == 0)
    return first.find("Hans") != std::string::npos ? "zh-Hans" : "zh-Hant";
  return "en";
}

}  // namespace

std::shared_ptr<NSBundle> NSBundle_HVRefresh::HV_refreshBundle() {
  auto& cache = bundleCache();
  if (!cache.bundleLoaded) {
    cache.bundleLoaded = true;
    std::string path = NSBundle::mainBundle()->pathForResourceOfType(
        sdkResourcePath(kRefreshBundleName), "bundle");
    if (!path.empty()) cache.bundle = NSBundle::bundleWithPath(path);
  }
  return cache.bundle;
}

UIImageRef NSBundle_HVRefresh::HV_arrowImage() {
  auto& cache = bundleCache();
  if (!cache.arrowLoaded) {
    cache.arrowLoaded = true;
    if (auto bundle = HV_refreshBundle()) {
      std::string path = bundle->pathForResourceOfType("arrow@2x", "png");
      if (!path.empty())
        if (auto image = UIImage::imageWithContentsOfFile(path))
          cache.arrow = image->imageWithRenderingMode(UIImageRenderingModeAlwaysTemplate);
    }
  }
  return cache.arrow;
}

std::string NSBundle_HVRefresh::HV_localizedStringForKey(const std::string& key,
                                                         const std::string& value) {
  auto& cache = bundleCache();
  if (!cache.languageLoaded) {
    cache.languageLoaded = true;
    if (auto bundle = HV_refreshBundle()) {
      std::string path = bundle->pathForResourceOfType(chosenLanguage(), "lproj");
      if (!path.empty()) cache.languageBundle = NSBundle::bundleWithPath(path);
    }
  }
  std::string text = value;
  if (cache.languageBundle) {
    // The language folder's own table; a key it lacks keeps the given value.
    std::string found = cache.languageBundle->localizedStringForKeyValueTable(key, "\x01");
    if (found != "\x01") text = found;
  }
  return NSBundle::mainBundle()->localizedStringForKeyValueTable(key, text);
}

void NSBundle_HVRefresh::resetForTesting() { bundleCache() = BundleCache{}; }

// ---- Attachment to a scroll view ----

namespace {

const char* const kHeaderKey = "HV_header";
const char* const kFooterKey = "HV_footer";
const char* const kReloadDataBlockKey = "HV_reloadDataBlock";

struct Attachment {
  std::weak_ptr<Object> owner;
  std::weak_ptr<HVRefreshHeader> header;
  std::weak_ptr<HVRefreshFooter> footer;
  UIScrollView_HVRefresh::ReloadDataBlock reloadDataBlock;
};

std::map<const UIScrollView*, Attachment>& attachments() {
  static auto* table = new std::map<const UIScrollView*, Attachment>;
  return *table;
}

// The entry of s, dropping entries of scroll views that are gone (their address may be reused).
Attachment* findAttachment(const UIScrollView& s, bool create) {
  auto& table = attachments();
  for (auto it = table.begin(); it != table.end();) {
    if (it->second.owner.expired())
      it = table.erase(it);
    else
      ++it;
  }
  auto it = table.find(&s);
  if (it != table.end()) return &it->second;
  if (!create) return nullptr;
  Attachment a;
  a.owner = const_cast<UIScrollView&>(s).weak_from_this();
  return &(table[&s] = std::move(a));
}

}  // namespace

std::shared_ptr<HVRefreshHeader> UIScrollView_HVRefresh::HV_header(const UIScrollView& s) {
  auto* a = findAttachment(s, false);
  return a ? a->header.lock() : nullptr;
}

void UIScrollView_HVRefresh::setHV_header(UIScrollView& s,
                                          const std::shared_ptr<HVRefreshHeader>& header) {
  auto old = HV_header(s);
  if (old == header) return;
  // A control that has since moved to another view stays there.
  if (old && old->superview().get() == &s) old->removeFromSuperview();
  if (header) s.insertSubviewAtIndex(header, 0);
  s.willChangeValueForKey(kHeaderKey);
  findAttachment(s, true)->header = header;
  s.didChangeValueForKey(kHeaderKey);
}

std::shared_ptr<HVRefreshFooter> UIScrollView_HVRefresh::HV_footer(const UIScrollView& s) {
  auto* a = findAttachment(s, false);
  return a ? a->footer.lock() : nullptr;
}

void UIScrollView_HVRefresh::setHV_footer(UIScrollView& s,
                                          const std::shared_ptr<HVRefreshFooter>& footer) {
  auto old = HV_footer(s);
  if (old == footer) return;
  // A control that has since moved to another view stays there.
  if (old && old->superview().get() == &s) old->removeFromSuperview();
  if (footer) s.insertSubviewAtIndex(footer, 0);
  s.willChangeValueForKey(kFooterKey);
  findAttachment(s, true)->footer = footer;
  s.didChangeValueForKey(kFooterKey);
}

int64_t UIScrollView_HVRefresh::HV_totalDataCount(UIScrollView& s) {
  int64_t total = 0;
  if (auto* table = dynamic_cast<UITableView*>(&s)) {
    for (int64_t i = 0, n = table->numberOfSections(); i < n; ++i)
      total += table->numberOfRowsInSection(i);
  } else if (auto* collection = dynamic_cast<UICollectionView*>(&s)) {
    for (int64_t i = 0, n = collection->numberOfSections(); i < n; ++i)
      total += collection->numberOfItemsInSection(i);
  }
  return total;
}

UIScrollView_HVRefresh::ReloadDataBlock UIScrollView_HVRefresh::HV_reloadDataBlock(
    const UIScrollView& s) {
  auto* a = findAttachment(s, false);
  return a ? a->reloadDataBlock : nullptr;
}

void UIScrollView_HVRefresh::setHV_reloadDataBlock(UIScrollView& s, ReloadDataBlock block) {
  s.willChangeValueForKey(kReloadDataBlockKey);
  findAttachment(s, true)->reloadDataBlock = std::move(block);
  s.didChangeValueForKey(kReloadDataBlockKey);
}

void UIScrollView_HVRefresh::executeReloadDataBlock(UIScrollView& s) {
  if (auto block = HV_reloadDataBlock(s)) block(HV_totalDataCount(s));
}

void UIScrollView_HVRefresh::HV_reloadData(UIScrollView& s) {
  if (auto* table = dynamic_cast<UITableView*>(&s)) table->reloadData();
  if (auto* collection = dynamic_cast<UICollectionView*>(&s)) collection->reloadData();
  executeReloadDataBlock(s);
}

// ---- Exchanging operations ----

namespace {

bool exchangeHooks(Class* cls, const std::string& name1, const std::string& name2) {
  if (!cls) return false;
  std::any first = cls->hook(name1), second = cls->hook(name2);
  if (!first.has_value() || !second.has_value()) return false;
  cls->setHook(name1, std::move(second));
  cls->setHook(name2, std::move(first));
  return true;
}

}  // namespace

bool NSObject_HVRefresh::exchangeInstanceMethod1Method2(Class* cls, const std::string& method1,
                                                        const std::string& method2) {
  return exchangeHooks(cls, instanceMethodHookName(method1), instanceMethodHookName(method2));
}

bool NSObject_HVRefresh::exchangeClassMethod1Method2(Class* cls, const std::string& method1,
                                                     const std::string& method2) {
  return exchangeHooks(cls, method1, method2);
}
