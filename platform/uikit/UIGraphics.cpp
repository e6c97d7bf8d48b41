#include "platform/uikit/UIGraphics.h"

#include <atomic>
#include <cmath>
#include <vector>

#include "platform/uikit/UIImage.h"

namespace plat {

namespace {
struct Entry {
  CGContextRef context;
  std::shared_ptr<CGContext> owned;  // set for image contexts
  double scale = 1;
  bool valid = true;  // false for an image context of empty size
};
thread_local std::vector<Entry> tStack;
std::atomic<double> gDefaultScale{2.0};
}  // namespace

double UIGraphicsDefaultScale() { return gDefaultScale.load(); }
void UIGraphicsSetDefaultScale(double scale) {
  if (scale > 0) gDefaultScale.store(scale);
}

CGContextRef UIGraphicsGetCurrentContext() {
  if (tStack.empty()) return nullptr;
  return tStack.back().valid ? tStack.back().context : nullptr;
}
void UIGraphicsPushContext(CGContextRef c) { tStack.push_back({c, nullptr, 1, c != nullptr}); }
void UIGraphicsPopContext() {
  if (!tStack.empty()) tStack.pop_back();
}

void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, double scale) {
  if (scale <= 0) scale = UIGraphicsDefaultScale();
  // Cairo images are at most 32767 pixels a side; larger, negative or NaN sizes make no context.
  double pw = std::ceil(size.width * scale - 1e-9), ph = std::ceil(size.height * scale - 1e-9);
  bool usable = pw >= 1 && ph >= 1 && pw <= 32767 && ph <= 32767;
  CGImageRef surface =
      usable ? CGImage::create(static_cast<int>(pw), static_cast<int>(ph), opaque) : nullptr;
  if (!surface) {
    tStack.push_back({nullptr, nullptr, scale, false});
    return;
  }
  auto ctx = std::make_shared<CGContext>(surface->surface(),
                                         CGAffineTransformMakeScale(scale, scale));
  tStack.push_back({ctx.get(), ctx, scale, true});
}

void UIGraphicsBeginImageContext(CGSize size) {
  UIGraphicsBeginImageContextWithOptions(size, false, 1);
}

UIImageRef UIGraphicsGetImageFromCurrentImageContext() {
  if (tStack.empty() || !tStack.back().owned) return nullptr;
  CGImageRef img = CGBitmapContextCreateImage(tStack.back().context);
  return UIImage::imageWithCGImage(img, tStack.back().scale);
}

void UIGraphicsEndImageContext() {
  if (tStack.empty()) return;
  if (tStack.back().owned || !tStack.back().valid) tStack.pop_back();
}

}  // namespace plat
