#include "platform/device/AVCaptureVideoPreviewLayer.h"

#include <algorithm>

#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"

namespace plat {

std::shared_ptr<AVCaptureVideoPreviewLayer> AVCaptureVideoPreviewLayer::layerWithSession(
    const AVCaptureSessionRef& session) {
  auto layer = std::make_shared<AVCaptureVideoPreviewLayer>();
  layer->session_ = session;
  if (session) session->addPreviewLayer(layer);
  return layer;
}

void AVCaptureVideoPreviewLayer::setVideoGravity(const std::string& gravity) {
  if (gravity == AVLayerVideoGravityResizeAspect || gravity == AVLayerVideoGravityResizeAspectFill ||
      gravity == AVLayerVideoGravityResize) {
    gravity_ = gravity;
  }
}

CGRect AVCaptureVideoPreviewLayer::videoRect() const {
  CGImageRef frame = frame_;
  CGRect b = bounds();
  if (!frame || frame->width() == 0 || frame->height() == 0) return CGRectZero;
  if (gravity_ == AVLayerVideoGravityResize) return b;
  double sx = b.size.width / double(frame->width());
  double sy = b.size.height / double(frame->height());
  double s = gravity_ == AVLayerVideoGravityResizeAspectFill ? std::max(sx, sy) : std::min(sx, sy);
  double w = double(frame->width()) * s, h = double(frame->height()) * s;
  return CGRectMake((b.size.width - w) / 2, (b.size.height - h) / 2, w, h);
}

void AVCaptureVideoPreviewLayer::drawInContext(CGContextRef c) const {
  CGImageRef frame = frame_;
  if (!c || !frame) return;
  CGContextSaveGState(c);
  CGContextClipToRect(c, bounds());
  UIGraphicsPushContext(c);
  UIImage::imageWithCGImage(frame)->drawInRect(videoRect());
  UIGraphicsPopContext();
  CGContextRestoreGState(c);
}

}  // namespace plat
