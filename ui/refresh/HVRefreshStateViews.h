#pragma once
// The parts the state controls share: their per-state titles, and the views they place beside
// the title (the arrow and activity indicator of the normal controls, the image view of the
// gif controls). Each part creates its views on first access as subviews of the control that
// owns it. Main thread only.

#include <map>
#include <optional>
#include <string>

#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIImageView.h"
#include "ui/refresh/HVRefreshFrameSequence.h"

// Returns slot, first filling it with create() and adding it to owner.
template <class View, class Create>
const std::shared_ptr<View>& HVRefreshLazySubview(plat::UIView& owner, std::shared_ptr<View>& slot,
                                                  Create create) {
  if (!slot) {
    slot = create();
    owner.addSubview(slot);
  }
  return slot;
}

// The x at which views beside a centred text of textWidth end: inset left of the text.
inline double HVRefreshLeftOfText(const plat::UIView& owner, double textWidth, double inset) {
  return owner.frame().size.width * 0.5 - (textWidth * 0.5 + inset);
}

// The title of each state.
class HVRefreshStateTitles {
 public:
  // Stores title for state. False (and nothing stored) for a nil title.
  bool set(std::optional<std::string> title, int64_t state);
  // The stored title, or none.
  std::optional<std::string> get(int64_t state) const;
  // The stored title, or "" without one.
  std::string text(int64_t state) const;

 private:
  std::map<int64_t, std::string> titles_;
};

// The arrow and the activity indicator of the normal controls.
class HVRefreshIndicatorViews {
 public:
  // The arrow image view, showing NSBundle_HVRefresh::HV_arrowImage.
  std::shared_ptr<plat::UIImageView> arrowView(plat::UIView& owner);
  // Created in the current style, hiding itself when stopped.
  std::shared_ptr<plat::UIActivityIndicatorView> loadingView(plat::UIView& owner);
  plat::UIActivityIndicatorViewStyle style() const { return style_; }
  // Drops the indicator so that the next access creates one in the new style (one made
  // earlier stays in owner) and asks owner for layout.
  void setStyle(plat::UIView& owner, plat::UIActivityIndicatorViewStyle style);
  // The gray style, without touching the indicator.
  void resetStyle() { style_ = plat::UIActivityIndicatorViewStyleGray; }

  // Centres the indicator at center unless it has constraints of its own.
  void placeIndicator(plat::UIView& owner, plat::CGPoint center);
  // Also the arrow: unless it has constraints, it takes its image's size and centre; it is
  // tinted with tint.
  void placeArrowAndIndicator(plat::UIView& owner, plat::CGPoint center, plat::UIColorRef tint);

 private:
  std::shared_ptr<plat::UIImageView> arrowView_;
  std::weak_ptr<plat::UIActivityIndicatorView> loadingView_;
  plat::UIActivityIndicatorViewStyle style_ = plat::UIActivityIndicatorViewStyleGray;
};

// The image view of the gif controls and its frame sequences.
class HVRefreshGifView {
 public:
  std::shared_ptr<plat::UIImageView> view(plat::UIView& owner);
  const HVRefreshFrameSequence& frames() const { return frames_; }

  // Absent images are ignored. A first image taller than owner makes owner that tall.
  void setImages(plat::UIView& owner, const std::optional<std::vector<plat::UIImageRef>>& images,
                 double duration, int64_t state);
  // While owner is idle, shows the idle frame for percent.
  void followPull(plat::UIView& owner, int64_t ownerState, double percent);
  // Shows the view and plays state's images; nothing without images.
  void showAndPlay(plat::UIView& owner, int64_t state);
  // Unless the view has constraints it fills owner: centred without a text, otherwise
  // right-aligned so that the images end inset left of the centred text of textWidth.
  void place(plat::UIView& owner, bool textShown, double textWidth, double inset);

 private:
  std::shared_ptr<plat::UIImageView> view_;
  HVRefreshFrameSequence frames_;
};
