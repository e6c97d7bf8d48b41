#pragma once
// AVCaptureVideoPreviewLayer: a layer that shows what a capture session's camera sees. The
// last frame the session took (handed over on the main thread) is drawn in the layer's bounds
// by its video gravity, clipped to them.
// Main thread only, like every layer.

#include <memory>
#include <string>

#include "platform/device/AVCaptureSession.h"
#include "platform/graphics/CGContext.h"
#include "platform/uikit/CALayer.h"

namespace plat {

inline constexpr const char* AVLayerVideoGravityResizeAspect = "AVLayerVideoGravityResizeAspect";
inline constexpr const char* AVLayerVideoGravityResizeAspectFill =
    "AVLayerVideoGravityResizeAspectFill";
inline constexpr const char* AVLayerVideoGravityResize = "AVLayerVideoGravityResize";

class AVCaptureVideoPreviewLayer : public CALayer {
 public:
  std::string className() const override { return "AVCaptureVideoPreviewLayer"; }
  // A layer showing `session`'s frames (a null session: a layer that shows nothing).
  static std::shared_ptr<AVCaptureVideoPreviewLayer> layerWithSession(
      const AVCaptureSessionRef& session);

  AVCaptureSessionRef session() const { return session_; }
  const AVCaptureConnectionRef& connection() const { return connection_; }
  // Default AVLayerVideoGravityResizeAspect; an unknown gravity is ignored.
  const std::string& videoGravity() const { return gravity_; }
  void setVideoGravity(const std::string& gravity);

  // The last frame shown; nullptr before the first.
  CGImageRef currentFrame() const { return frame_; }
  // The rectangle, in the layer's bounds, that the current frame covers by the gravity
  // (larger than the bounds for aspect fill). CGRectZero without a frame.
  CGRect videoRect() const;
  // Draws the current frame, clipped to the bounds, into `c` (user space: the layer's
  // bounds). Draws nothing before the first frame.
  void drawInContext(CGContextRef c) const override;

  // Internal: the session shows a frame.
  void showFrame(const CGImageRef& frame) { frame_ = frame; }

 private:
  AVCaptureSessionRef session_;
  AVCaptureConnectionRef connection_ = std::make_shared<AVCaptureConnection>();
  std::string gravity_ = AVLayerVideoGravityResizeAspect;
  CGImageRef frame_;
};

}  // namespace plat
