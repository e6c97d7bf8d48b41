#pragma once
// STQueuingScrollView: a horizontally paging scroll view showing an unbounded sequence of
// pages while holding at most three: the centre page on screen and its left and right
// neighbours. The content is three pages wide; when a swipe completes, the pages shift one
// slot, the far page is filed for reuse, the delegate is asked for the new neighbour and the
// offset jumps back one page, so nothing moves on screen. Content insets hide the slot of a
// missing neighbour, so the first and last pages stop the scroll. When the width changes, the
// next layout pass puts the offset back on the centre page and sizes the insets anew.
//
// Pages are views adopting STReusablePage. A page shown in a slot is never filed for reuse,
// and filed pages are handed out in the order they were filed.
//
// Main thread only. Lengths in points.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIScrollView.h"

// What a page of the queuing scroll view offers. Pages are plat::UIView subclasses.
class STReusablePage {
 public:
  virtual ~STReusablePage() = default;
  // Clears the page before it is handed out again.
  virtual void prepareForReuse() = 0;
  // Pages without an identifier ("") are never filed for reuse.
  virtual const std::string& reuseIdentifier() const = 0;
  virtual void setReuseIdentifier(std::string identifier) = 0;
  // A nonreusable page is never filed.
  virtual bool nonreusable() const = 0;
  virtual void setNonreusable(bool nonreusable) = 0;
  virtual bool focused() const = 0;
  virtual void setFocused(bool focused) = 0;
  // Optional.
  virtual void didBecomeFocusPage() {}
  virtual void didResignFocusPage() {}
};

class STQueuingScrollView;

// The scroll view's delegate (set with setDelegate; held weakly).
class STQueuingScrollViewDelegate : public plat::UIScrollViewDelegate {
 public:
  // The page before / after `view`, or nullptr when there is none. Usually takes a page from
  // reusableViewWithIdentifer first.
  virtual plat::UIViewRef queuingScrollViewViewBeforeView(STQueuingScrollView& scrollView,
                                                          const plat::UIViewRef& view) = 0;
  virtual plat::UIViewRef queuingScrollViewViewAfterView(STQueuingScrollView& scrollView,
                                                         const plat::UIViewRef& view) = 0;
  // Optional: the focus page changed (focusView() is the new one).
  virtual void queuingScrollViewChangedFocusViewPreviousFocusView(
      STQueuingScrollView& scrollView, const plat::UIViewRef& previousFocusView) {}
};

class STQueuingScrollView : public plat::UIScrollView {
 public:
  // No scroll indicators, paging on, content (3 x width, height), padding 15, location -1.
  explicit STQueuingScrollView(plat::CGRect frame = plat::CGRectZero);
  void didInit() override;
  std::string className() const override { return "STQueuingScrollView"; }

  // The delegate as the queuing protocol, or nullptr.
  std::shared_ptr<STQueuingScrollViewDelegate> queuingDelegate() const;

  // Makes `page` the only page, the centre and the focus; the next layout pass fetches its
  // neighbours. A null page or a view not adopting STReusablePage is ignored.
  void displayView(const plat::UIViewRef& page);
  // A filed page with that identifier (after prepareForReuse), or nullptr.
  plat::UIViewRef reusableViewWithIdentifer(const std::string& identifier);
  // Files the page for reuse unless it is null, has no identifier, is nonreusable, is shown
  // in a slot, or is filed already.
  void recycleView(const plat::UIViewRef& page);
  plat::UIViewRef viewBeforeCenterView();
  plat::UIViewRef viewAfterCenterView();
  // The page that fills most of the screen (the centre when that slot is empty).
  plat::UIViewRef calculateFocusView() const;
  // Left, centre, right: those that exist.
  std::vector<plat::UIViewRef> allViews() const;
  // Turn one page, only from a valid offset and only towards an existing neighbour.
  void scrollToNextPageAnimated(bool animated);
  void scrollToPreviousPageAnimated(bool animated);
  // The horizontal offset is exactly 0, w or 2w.
  bool contentOffsetIsValid() const;
  void locateTargetContentOffset();
  // (0, 0, w - 2p, h): the size of one page.
  plat::CGRect contentBounds() const;
  plat::CGRect centerViewFrameForBounds(plat::CGRect bounds) const;
  plat::CGRect leftViewFrameForBoundsCenterFrame(plat::CGRect bounds,
                                                 plat::CGRect centerFrame) const;
  plat::CGRect rightViewFrameForBoundsCenterFrame(plat::CGRect bounds,
                                                  plat::CGRect centerFrame) const;
  // Shifts the slots when the offset reached a page boundary. Does nothing at zero width or
  // without a centre page.
  void updateForBounds(plat::CGRect bounds);
  void updateInsetsOffsetTranlationInitialize(plat::CGRect bounds, double translation,
                                              bool initialize);
  // A different page becomes the focus: the old one resigns, the new one becomes focused,
  // and the delegate hears of it.
  void setFocusView(const plat::UIViewRef& page);

  double pagePadding() const { return pagePadding_; }
  void setPagePadding(double padding) { pagePadding_ = padding; }
  plat::UIViewRef focusView() const { return focusView_; }
  // The slots. A page put into a slot leaves the reuse sets; the setters neither add the page
  // as a subview nor take the previous one out.
  plat::UIViewRef leftView() const { return leftView_; }
  void setLeftView(plat::UIViewRef page);
  plat::UIViewRef centerView() const { return centerView_; }
  void setCenterView(plat::UIViewRef page);
  plat::UIViewRef rightView() const { return rightView_; }
  void setRightView(plat::UIViewRef page);
  // -1 before the first pass after displayView; then 0 no neighbours, 1 right only,
  // 2 both, 3 left only.
  int64_t location() const { return location_; }
  void setLocation(int64_t location) { location_ = location; }
  plat::CGPoint targetContentOffset() const { return targetContentOffset_; }
  void setTargetContentOffset(plat::CGPoint offset) { targetContentOffset_ = offset; }
  // Filed pages by identifier, in filing order.
  const std::map<std::string, std::vector<plat::UIViewRef>>& reusableViewSets() const {
    return reusableViewSets_;
  }
  // Replaces the filed pages; pages shown in a slot are left out.
  void setReusableViewSets(std::map<std::string, std::vector<plat::UIViewRef>> sets);

  void layoutSubviews() override;

 private:
  bool isShown(const plat::UIView* page) const;
  // Takes a page that is about to be shown out of the reuse sets.
  void unfile(const plat::UIViewRef& page);
  // Files a page leaving its slot and takes it out of the view unless it is still shown.
  void retire(const plat::UIViewRef& page);

  double pagePadding_ = 15;
  plat::UIViewRef focusView_;
  std::map<std::string, std::vector<plat::UIViewRef>> reusableViewSets_;
  plat::UIViewRef leftView_, centerView_, rightView_;
  int64_t location_ = -1;
  plat::CGPoint targetContentOffset_;
  // The bounds width of the last layout pass with a width, to notice a change.
  double laidOutWidth_ = 0;
};

// The largest offset the content allows: x = max(content width + right inset - width,
// -left inset), y likewise.
struct UIScrollView_STAddition {
  static plat::CGPoint st_maximumContentOffset(const plat::UIScrollView& scrollView);
};
