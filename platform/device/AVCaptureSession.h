#pragma once
// Camera capture for reading machine-readable codes: the capture device, its input, the
// session that runs it, the metadata output that reports codes, and the camera that feeds it.
//
// There is no camera here. The device's one back camera exists while plat::PermissionStore
// says a camera is present; its frames come from AVCaptureFakeCamera: tests push them, and a
// picture the camera looks at (the host's) gives every session one as it starts. Frames are
// in the orientation of the screen showing them, and a metadata
// output's region of interest applies to them as given: x across, y down, in units of the
// frame's width and height. Codes are read with ZXing (QR codes only).
//
// Threads: AVCaptureFakeCamera::pushFrame may be called on any thread; the codes of a frame
// are read on that thread, then each delegate hears of them on its delegate queue (posted,
// never inside pushFrame), and preview layers show the frame on the main thread. Sessions,
// inputs and outputs have internal synchronization; configure them on any one thread.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"
#include "platform/graphics/CGGeometry.h"
#include "platform/graphics/CGImage.h"
#include "platform/uikit/UIImage.h"

namespace plat {

inline constexpr const char* AVMediaTypeVideo = "vide";
inline constexpr const char* AVMetadataObjectTypeQRCode = "org.iso.QRCode";
inline constexpr const char* AVCaptureSessionPresetHigh = "AVCaptureSessionPresetHigh";
inline constexpr const char* AVCaptureSessionPreset640x480 = "AVCaptureSessionPreset640x480";
inline constexpr const char* AVFoundationErrorDomain = "AVFoundationErrorDomain";
// Input errors: no such device, and the user denied (or restricted) the camera.
inline constexpr int64_t AVErrorDeviceNotConnected = -11814;
inline constexpr int64_t AVErrorApplicationIsNotAuthorizedToUseDevice = -11852;

class AVCaptureDevice;
class AVCaptureDeviceInput;
class AVCaptureSession;
class AVCaptureOutput;
class AVCaptureMetadataOutput;
class AVCaptureConnection;
class AVMetadataMachineReadableCodeObject;
class AVCaptureVideoPreviewLayer;
using AVCaptureDeviceRef = std::shared_ptr<AVCaptureDevice>;
using AVCaptureDeviceInputRef = std::shared_ptr<AVCaptureDeviceInput>;
using AVCaptureSessionRef = std::shared_ptr<AVCaptureSession>;
using AVCaptureMetadataOutputRef = std::shared_ptr<AVCaptureMetadataOutput>;
using AVCaptureConnectionRef = std::shared_ptr<AVCaptureConnection>;
using AVMetadataObjectRef = std::shared_ptr<AVMetadataMachineReadableCodeObject>;

enum AVCaptureVideoOrientation : int64_t {
  AVCaptureVideoOrientationPortrait = 1,
  AVCaptureVideoOrientationPortraitUpsideDown = 2,
  AVCaptureVideoOrientationLandscapeRight = 3,
  AVCaptureVideoOrientationLandscapeLeft = 4,
};

// The camera. One back camera, shared by everything that asks for it.
class AVCaptureDevice : public Object {
 public:
  std::string className() const override { return "AVCaptureDevice"; }
  // The back camera for AVMediaTypeVideo while a camera is present; nullptr otherwise and
  // for other media types.
  static AVCaptureDeviceRef defaultDeviceWithMediaType(const std::string& mediaType);
  std::string uniqueID() const { return "com.lumora.camera.back"; }
  bool hasMediaType(const std::string& mediaType) const { return mediaType == AVMediaTypeVideo; }
};

// A device as a session's source.
class AVCaptureDeviceInput : public Object {
 public:
  explicit AVCaptureDeviceInput(AVCaptureDeviceRef device) : device_(std::move(device)) {}
  std::string className() const override { return "AVCaptureDeviceInput"; }
  // nullptr with *error set (when error is given) for a null device
  // (AVErrorDeviceNotConnected) or when the camera is restricted or denied
  // (AVErrorApplicationIsNotAuthorizedToUseDevice). Never raises.
  static AVCaptureDeviceInputRef deviceInputWithDeviceError(const AVCaptureDeviceRef& device,
                                                            NSErrorRef* error);
  const AVCaptureDeviceRef& device() const { return device_; }

 private:
  AVCaptureDeviceRef device_;
};

// The link between a session's input and an output or a preview layer.
class AVCaptureConnection : public Object {
 public:
  std::string className() const override { return "AVCaptureConnection"; }
  AVCaptureVideoOrientation videoOrientation() const { return orientation_.load(); }
  void setVideoOrientation(AVCaptureVideoOrientation o) { orientation_ = o; }
  bool isVideoOrientationSupported() const { return true; }

 private:
  std::atomic<AVCaptureVideoOrientation> orientation_{AVCaptureVideoOrientationLandscapeRight};
};

// A code seen in a frame. Bounds and corners are in units of the frame (0..1, y down).
class AVMetadataMachineReadableCodeObject : public Object {
 public:
  AVMetadataMachineReadableCodeObject(std::string type, std::optional<std::string> stringValue,
                                      CGRect bounds, std::vector<CGPoint> corners)
      : type_(std::move(type)), stringValue_(std::move(stringValue)), bounds_(bounds),
        corners_(std::move(corners)) {}
  std::string className() const override { return "AVMetadataMachineReadableCodeObject"; }
  const std::string& type() const { return type_; }
  // The code's text (UTF-8); nullopt when its bytes are no text.
  const std::optional<std::string>& stringValue() const { return stringValue_; }
  CGRect bounds() const { return bounds_; }
  const std::vector<CGPoint>& corners() const { return corners_; }

 private:
  std::string type_;
  std::optional<std::string> stringValue_;
  CGRect bounds_;
  std::vector<CGPoint> corners_;
};

class AVCaptureOutput : public Object {
 public:
  std::string className() const override { return "AVCaptureOutput"; }
  // The connection to the session's input; nullptr while not in a session with one.
  AVCaptureConnectionRef connectionWithMediaType(const std::string& mediaType) const;

 protected:
  friend class AVCaptureSession;
  mutable std::mutex mu_;
  std::weak_ptr<AVCaptureSession> session_;
  AVCaptureConnectionRef connection_ = std::make_shared<AVCaptureConnection>();
};

class AVCaptureMetadataOutputObjectsDelegate {
 public:
  virtual ~AVCaptureMetadataOutputObjectsDelegate() = default;
  // The codes read in one frame (never an empty list), on the delegate queue.
  virtual void captureOutputDidOutputMetadataObjectsFromConnection(
      const std::shared_ptr<AVCaptureOutput>& output,
      const std::vector<AVMetadataObjectRef>& metadataObjects,
      const AVCaptureConnectionRef& connection) {}
};

class AVCaptureMetadataOutput : public AVCaptureOutput {
 public:
  std::string className() const override { return "AVCaptureMetadataOutput"; }

  // The delegate (held weakly) and the queue it is called on. A null queue keeps no delegate.
  void setMetadataObjectsDelegateQueue(std::weak_ptr<AVCaptureMetadataOutputObjectsDelegate> d,
                                       DispatchQueueRef queue);
  std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate> metadataObjectsDelegate() const;

  // AVMetadataObjectTypeQRCode once the output is in a session with a video input; empty
  // before.
  std::vector<std::string> availableMetadataObjectTypes() const;
  // Types that are not available are dropped (and logged); the rest are kept.
  void setMetadataObjectTypes(const std::vector<std::string>& types);
  std::vector<std::string> metadataObjectTypes() const;
  // In units of the frame, x across and y down. Default (0, 0, 1, 1); the part outside the
  // unit square is ignored.
  CGRect rectOfInterest() const;
  void setRectOfInterest(CGRect r);

  // Internal: reads the codes in `frame` within the region of interest. Any thread.
  std::vector<AVMetadataObjectRef> readCodes(const CGImageRef& frame) const;

 private:
  friend class AVCaptureSession;
  std::weak_ptr<AVCaptureMetadataOutputObjectsDelegate> delegate_;
  DispatchQueueRef queue_;
  std::vector<std::string> types_;
  CGRect rectOfInterest_{{0, 0}, {1, 1}};
};

class AVCaptureSession : public Object {
 public:
  std::string className() const override { return "AVCaptureSession"; }
  static AVCaptureSessionRef make() { return std::make_shared<AVCaptureSession>(); }
  ~AVCaptureSession() override;

  // The presets known here (High, Medium, Low, Photo, 352x288, 640x480, 1280x720, 1920x1080).
  bool canSetSessionPreset(const std::string& preset) const;
  // An unknown preset is refused (logged) and the preset stays.
  void setSessionPreset(const std::string& preset);
  std::string sessionPreset() const;

  // One input at a time, and an input in one session only.
  bool canAddInput(const AVCaptureDeviceInputRef& input) const;
  // Refused (logged) when canAddInput says no.
  void addInput(const AVCaptureDeviceInputRef& input);
  void removeInput(const AVCaptureDeviceInputRef& input);
  std::vector<AVCaptureDeviceInputRef> inputs() const;

  // An output in one session only.
  bool canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const;
  void addOutput(const std::shared_ptr<AVCaptureOutput>& output);
  void removeOutput(const std::shared_ptr<AVCaptureOutput>& output);
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs() const;

  // While running, the camera's frames reach the outputs and preview layers. Starting a
  // running session or stopping a stopped one does nothing.
  void startRunning();
  void stopRunning();
  bool isRunning() const;

  // Internal: the camera hands a frame to the running session (any thread).
  void deliverFrame(const CGImageRef& frame);
  // Internal: a preview layer shows this session's frames (main thread).
  void addPreviewLayer(const std::weak_ptr<AVCaptureVideoPreviewLayer>& layer);

 private:
  mutable std::mutex mu_;
  std::string preset_ = AVCaptureSessionPresetHigh;
  std::vector<AVCaptureDeviceInputRef> inputs_;
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs_;
  std::vector<std::weak_ptr<AVCaptureVideoPreviewLayer>> previewLayers_;
  bool running_ = false;
};

// The camera's frame source. Frames are opaque bitmaps; any size.
class AVCaptureFakeCamera {
 public:
  // Hands `frame` to every running session whose input is the camera: their metadata outputs
  // read it now, on the calling thread, and report on their delegate queues; their preview
  // layers show it. Returns the number of sessions that took it (0 for a null frame).
  static size_t pushFrame(const CGImageRef& frame);
  // The number of running sessions that take frames.
  static size_t runningSessionCount();

  // The picture the camera looks at; nullptr (the default): none, frames come only from
  // pushFrame and camera pickers wait for the user. With a picture, a camera picker takes it
  // as its photo, and every session that starts running from the camera afterwards gets one
  // frame of it shortly after it starts, read off the starting thread: the picture held up in
  // the middle of the view (heldUpFrame). Main thread: the frame is made now.
  static void setPicture(UIImageRef picture);
  static UIImageRef picture();
  // The frame showing `picture` held up before the camera: a frame of the main screen's shape,
  // white, with the picture centred in it and scaled to fit a square of 45% of the frame's
  // shorter side, so that a code in it lies inside a scanner's square (two thirds of the
  // view's height, centred) whatever the screen. The shorter side is 480 to 1440 pixels, as
  // much as keeps the picture's own pixels. nullptr for a null or empty picture. Main thread.
  static CGImageRef heldUpFrame(const UIImageRef& picture);
};

}  // namespace plat
