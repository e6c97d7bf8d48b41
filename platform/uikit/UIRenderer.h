#pragma once
// Renders a view tree to pixels, the way a person would see it: background colour with the
// layer's corner radius, clipping to bounds (rounded when masking), layer contents, the
// built-in drawing of platform views (labels, buttons, images, spinners, blur tints), drawRect:
// of custom views, subviews in order, then the border. drawRect: draws into a backing of the
// view's own that starts transparent and is then laid over what lies beneath, so its blend
// modes never reach the background or other views. Alpha applies to the whole subtree and
// transforms apply about the view's centre. Hidden views are skipped.
// Main thread only.

#include <string>

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIView.h"

namespace plat {

class UIRenderer {
 public:
  // Lays the tree out (layoutIfNeeded) and renders the view's bounds into an image at `scale`
  // (0: the main screen's). nullptr for an empty view.
  static UIImageRef renderView(const UIViewRef& view, double scale = 0);
  // renderView, then writes a PNG file (creating folders). Returns false when nothing could be
  // rendered or written.
  static bool writePNG(const UIViewRef& view, const std::string& path, double scale = 0);
  // Draws view into c, whose user space is the view's superview's bounds space.
  static void drawView(CGContextRef c, const UIView& view);
  // Draws the view's own layer and subtree into c in the view's bounds space.
  static void drawContents(CGContextRef c, const UIView& view);
};

}  // namespace plat
