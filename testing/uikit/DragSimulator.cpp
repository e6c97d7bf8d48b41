#include "testing/uikit/DragSimulator.h"

namespace testing_uikit {

using namespace plat;

DragSimulator::~DragSimulator() {
  if (active_) release();
}

void DragSimulator::begin() {
  auto pan = scrollView_->panGestureRecognizer();
  startY_ = scrollView_->contentOffset().y;
  pan->setTranslationInView({0, 0}, scrollView_.get());
  pan->setState(UIGestureRecognizerStateBegan);
  active_ = true;
}

void DragSimulator::moveTo(double offsetY) {
  if (!active_) begin();
  auto pan = scrollView_->panGestureRecognizer();
  // The finger moves opposite to the offset.
  pan->setTranslationInView({0, startY_ - offsetY}, scrollView_.get());
  pan->setState(UIGestureRecognizerStateChanged);
}

void DragSimulator::release() {
  if (!active_) return;
  active_ = false;
  auto pan = scrollView_->panGestureRecognizer();
  pan->setState(UIGestureRecognizerStateEnded);
  pan->setState(UIGestureRecognizerStatePossible);
}

void DragSimulator::drag(std::initializer_list<double> offsets, bool releaseAtEnd) {
  begin();
  for (double y : offsets) moveTo(y);
  if (releaseAtEnd) release();
}

}  // namespace testing_uikit
