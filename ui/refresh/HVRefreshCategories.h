#pragma once
// Helpers of the pull-to-refresh controls:
// - UIView_HVExtension / UIScrollView_HVExtension: read or write one part of a view's frame,
//   or of a scroll view's plain content inset, offset and size.
// - UILabel_HVRefresh: the label every control uses, and the width of its text.
// - NSBundle_HVRefresh: the "HVRefresh" resource bundle, its arrow image and its texts.
// - UIScrollView_HVRefresh: the one header and one footer attached to a scroll view, its
//   total row or item count, and the reload-data block.
// - NSObject_HVRefresh: exchanging two operations of a class registered in the runtime.
// Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/NSBundle.h"
#include "platform/runtime/Runtime.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScrollView.h"

class HVRefreshHeader;
class HVRefreshFooter;

struct UIView_HVExtension {
  static double HV_x(const plat::UIView& v) { return v.frame().origin.x; }
  static void setHV_x(plat::UIView& v, double x);
  static double HV_y(const plat::UIView& v) { return v.frame().origin.y; }
  static void setHV_y(plat::UIView& v, double y);
  static double HV_w(const plat::UIView& v) { return v.frame().size.width; }
  static void setHV_w(plat::UIView& v, double w);
  static double HV_h(const plat::UIView& v) { return v.frame().size.height; }
  static void setHV_h(plat::UIView& v, double h);
  static plat::CGSize HV_size(const plat::UIView& v) { return v.frame().size; }
  static void setHV_size(plat::UIView& v, plat::CGSize s);
  static plat::CGPoint HV_origin(const plat::UIView& v) { return v.frame().origin; }
  static void setHV_origin(plat::UIView& v, plat::CGPoint p);
};

struct UIScrollView_HVExtension {
  static double HV_insetT(const plat::UIScrollView& s) { return s.contentInset().top; }
  static void setHV_insetT(plat::UIScrollView& s, double v);
  static double HV_insetL(const plat::UIScrollView& s) { return s.contentInset().left; }
  static void setHV_insetL(plat::UIScrollView& s, double v);
  static double HV_insetB(const plat::UIScrollView& s) { return s.contentInset().bottom; }
  static void setHV_insetB(plat::UIScrollView& s, double v);
  static double HV_insetR(const plat::UIScrollView& s) { return s.contentInset().right; }
  static void setHV_insetR(plat::UIScrollView& s, double v);
  static double HV_offsetX(const plat::UIScrollView& s) { return s.contentOffset().x; }
  static void setHV_offsetX(plat::UIScrollView& s, double v);
  static double HV_offsetY(const plat::UIScrollView& s) { return s.contentOffset().y; }
  static void setHV_offsetY(plat::UIScrollView& s, double v);
  static double HV_contentW(const plat::UIScrollView& s) { return s.contentSize().width; }
  static void setHV_contentW(plat::UIScrollView& s, double v);
  static double HV_contentH(const plat::UIScrollView& s) { return s.contentSize().height; }
  static void setHV_contentH(plat::UIScrollView& s, double v);
};

struct UILabel_HVRefresh {
  // Bold system font of 14, grey text (90/255), centred, clear background, flexible width.
  static std::shared_ptr<plat::UILabel> HV_label();
  // The width of the label's text in its font on one unbounded box; 0 for empty text.
  static double HV_textWith(const plat::UILabel& label);
};

struct NSBundle_HVRefresh {
  // The resource bundle "HVRefresh" (inside "HVSDK.bundle" when the application has one), or
  // nullptr when the application holds none. Opened once.
  static std::shared_ptr<plat::NSBundle> HV_refreshBundle();
  // The arrow, a template image (it takes its view's tint colour); nullptr without the bundle.
  static plat::UIImageRef HV_arrowImage();
  // The text of key in the language chosen on first use ("en", "zh-Hans" or "zh-Hant", from
  // the first preferred language); the application's own string for the key wins. The key
  // itself when neither has a text.
  static std::string HV_localizedStringForKey(const std::string& key,
                                              const std::string& value = {});
  // Forgets the bundles, the language and the arrow (tests that change them).
  static void resetForTesting();
};

struct UIScrollView_HVRefresh {
  // The attached header or footer. The scroll view's subviews own them; these are weak.
  static std::shared_ptr<HVRefreshHeader> HV_header(const plat::UIScrollView& s);
  // Removes the attached header from the scroll view and inserts the new one (when not null)
  // as its first subview; observers of the scroll view's key "HV_header" hear of the change.
  // Setting the header already attached does nothing.
  static void setHV_header(plat::UIScrollView& s, const std::shared_ptr<HVRefreshHeader>& header);
  static std::shared_ptr<HVRefreshFooter> HV_footer(const plat::UIScrollView& s);
  // As setHV_header, announced under "HV_footer".
  static void setHV_footer(plat::UIScrollView& s, const std::shared_ptr<HVRefreshFooter>& footer);
  // Aliases of the four above.
  static std::shared_ptr<HVRefreshHeader> header(const plat::UIScrollView& s) { return HV_header(s); }
  static void setHeader(plat::UIScrollView& s, const std::shared_ptr<HVRefreshHeader>& header) {
    setHV_header(s, header);
  }
  static std::shared_ptr<HVRefreshFooter> footer(const plat::UIScrollView& s) { return HV_footer(s); }
  static void setFooter(plat::UIScrollView& s, const std::shared_ptr<HVRefreshFooter>& footer) {
    setHV_footer(s, footer);
  }

  // Rows of a table or items of a collection view over all sections; 0 for other scroll views.
  static int64_t HV_totalDataCount(plat::UIScrollView& s);

  using ReloadDataBlock = std::function<void(int64_t totalDataCount)>;
  static ReloadDataBlock HV_reloadDataBlock(const plat::UIScrollView& s);
  // Observers of the scroll view's key "HV_reloadDataBlock" hear of every set.
  static void setHV_reloadDataBlock(plat::UIScrollView& s, ReloadDataBlock block);
  // Calls the reload-data block, when one is set, with the total data count.
  static void executeReloadDataBlock(plat::UIScrollView& s);
  // A table's or collection view's reload followed by executeReloadDataBlock. Nothing routes
  // the plain reloadData here: the block runs only when asked for.
  static void HV_reloadData(plat::UIScrollView& s);
};

// The runtime keeps no tables of instance or class methods to exchange: a C++ class's
// operations are bound when it is compiled. What it does keep per class are the class-level
// operations ("hooks", platform/runtime/Runtime.h), inherited along the superclass chain; these
// exchange them. An instance operation is exchangeable when its class registers it as a hook
// named "-" followed by the operation's name (a std::function taking the object); a class
// operation is the hook of its own name.
struct NSObject_HVRefresh {
  // After the exchange, method1 of cls and its subclasses runs the implementation method2 had
  // and the other way round. The implementations found along the chain are installed on cls
  // itself, so a superclass keeps its own. Returns false, changing nothing, when cls is null
  // or either operation has no implementation.
  static bool exchangeInstanceMethod1Method2(plat::Class* cls, const std::string& method1,
                                             const std::string& method2);
  static bool exchangeClassMethod1Method2(plat::Class* cls, const std::string& method1,
                                          const std::string& method2);
  // The hook name under which an instance operation is registered: "-" + name.
  static std::string instanceMethodHookName(const std::string& name) { return "-" + name; }
};
