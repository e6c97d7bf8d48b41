#pragma once
// Renders a view tree to pixels, the way a person would see it: the layer's shadow, background
// colour with the layer's corner radius, clipping to bounds (rounded when masking), layer contents, the
// built-in drawing of platform views (labels, buttons, images, spinners, blur tints), drawRect:
// of custom views, sublayers in order (subviews' layers among them; plain layers with their own
// geometry, shape and gradient layers drawing their content), then the border; the whole seen
// through the layer's mask. drawRect: draws into a backing of the
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
  // Draws the view's background, content, sublayers (its subviews among them) and border in
  // its bounds space, without its shadow, mask or alpha.
  static void drawViewBody(CGContextRef c, const UIView& view);
  // Draws a layer (a view's layer as its view) into c, whose user space is the superlayer's
  // bounds space.
  static void drawLayer(CGContextRef c, const CALayer& layer);
};

}  // namespace plat
