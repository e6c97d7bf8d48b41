#pragma once
// Plays a user's vertical drag on a scroll view through its pan gesture recognizer: the pan
// state goes Began, Changed for each move, Ended on release (then back to Possible), and the
// scroll view moves its content offset as it does for a real finger (isDragging is true in
// between). Offsets are given as the content offset y the finger should bring the view to.
// Main thread only.

#include <memory>

#include "platform/uikit/UIScrollView.h"

namespace testing_uikit {

class DragSimulator {
 public:
  explicit DragSimulator(std::shared_ptr<plat::UIScrollView> scrollView)
      : scrollView_(std::move(scrollView)) {}
  ~DragSimulator();
  DragSimulator(const DragSimulator&) = delete;
  DragSimulator& operator=(const DragSimulator&) = delete;

  // Touches the content: the pan begins at the current offset.
  void begin();
  // REQUIRES: begin() first. Moves the finger so that the offset y becomes offsetY.
  void moveTo(double offsetY);
  // Lifts the finger (the scroll view then settles as it does at the end of a drag).
  void release();
  // begin, moveTo each offset in turn, and, when release is true, release.
  void drag(std::initializer_list<double> offsets, bool releaseAtEnd = true);

 private:
  std::shared_ptr<plat::UIScrollView> scrollView_;
  double startY_ = 0;
  bool active_ = false;
};

}  // namespace testing_uikit
