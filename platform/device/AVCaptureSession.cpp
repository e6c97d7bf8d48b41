#define ZX_USE_UTF8 1
#include "platform/device/AVCaptureSession.h"

#include <ZXing/ReadBarcode.h>

#include <algorithm>
#include <cmath>

#include "platform/device/AVCaptureVideoPreviewLayer.h"
#include "platform/device/PermissionStore.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/CGBitmapContext.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"

namespace plat {

namespace {

// The sessions that take the camera's frames.
// Entries are compared by address, never by locking them under the mutex: a session whose
// last owner let go inside the lock would run its destructor, which takes the same lock.
struct RunningSession {
  const AVCaptureSession* address;
  std::weak_ptr<AVCaptureSession> session;
};
struct RunningSessions {
  std::mutex mu;
  std::vector<RunningSession> sessions;
};

RunningSessions& runningSessions() {
  static auto* running = new RunningSessions();  // never destroyed: no exit-time races
  return *running;
}

// What the camera looks at, and the frame it makes of it.
struct CameraPicture {
  std::mutex mu;
  UIImageRef picture;
  CGImageRef frame;
};

CameraPicture& cameraPicture() {
  static auto* slot = new CameraPicture();  // never destroyed
  return *slot;
}

CGImageRef heldUpCameraFrame() {
  std::lock_guard<std::mutex> lock(cameraPicture().mu);
  return cameraPicture().frame;
}

// Whether the session's input is the camera `camera`.
bool fromCamera(const AVCaptureSession& session, const AVCaptureDeviceRef& camera) {
  if (!camera) return false;
  for (const auto& input : session.inputs()) {
    if (input->device() == camera) return true;
  }
  return false;
}

const std::vector<std::string>& knownPresets() {
  static const auto* presets = new std::vector<std::string>{
      "AVCaptureSessionPresetHigh",     "AVCaptureSessionPresetMedium",
      "AVCaptureSessionPresetLow",      "AVCaptureSessionPresetPhoto",
      "AVCaptureSessionPreset352x288",  "AVCaptureSessionPreset640x480",
      "AVCaptureSessionPreset1280x720", "AVCaptureSessionPreset1920x1080"};
  return *presets;
}

bool hasVideoInput(const std::vector<AVCaptureDeviceInputRef>& inputs) {
  for (const auto& input : inputs) {
    if (input->device() && input->device()->hasMediaType(AVMediaTypeVideo)) return true;
  }
  return false;
}

}  // namespace

// ---- Device and input ----

AVCaptureDeviceRef AVCaptureDevice::defaultDeviceWithMediaType(const std::string& mediaType) {
  if (mediaType != AVMediaTypeVideo || !PermissionStore::shared().isCameraAvailable()) {
    return nullptr;
  }
  static auto* camera = new AVCaptureDeviceRef(std::make_shared<AVCaptureDevice>());
  return *camera;
}

AVCaptureDeviceInputRef AVCaptureDeviceInput::deviceInputWithDeviceError(
    const AVCaptureDeviceRef& device, NSErrorRef* error) {
  int64_t code = 0;
  std::string text;
  if (!device) {
    code = AVErrorDeviceNotConnected;
    text = "Cannot Record";
  } else {
    auto status = PermissionStore::shared().cameraStatus();
    if (status == AuthorizationStatusDenied || status == AuthorizationStatusRestricted) {
      code = AVErrorApplicationIsNotAuthorizedToUseDevice;
      text = "Cannot use Back Camera";
    }
  }
  if (code != 0) {
    if (error) *error = NSError::make(AVFoundationErrorDomain, code, text);
    return nullptr;
  }
  if (error) *error = nullptr;
  return std::make_shared<AVCaptureDeviceInput>(device);
}

// ---- Outputs ----

AVCaptureConnectionRef AVCaptureOutput::connectionWithMediaType(const std::string& mediaType) const {
  auto session = [&] {
    std::lock_guard<std::mutex> lock(mu_);
    return session_.lock();
  }();
  if (mediaType != AVMediaTypeVideo && mediaType != "mobj") return nullptr;
  if (!session || !hasVideoInput(session->inputs())) return nullptr;
  return connection_;
}

void AVCaptureMetadataOutput::setMetadataObjectsDelegateQueue(
    std::weak_ptr<AVCaptureMetadataOutputObjectsDelegate> d, DispatchQueueRef queue) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!queue) {
    delegate_.reset();
    queue_.reset();
    return;
  }
  delegate_ = std::move(d);
  queue_ = std::move(queue);
}

std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate>
AVCaptureMetadataOutput::metadataObjectsDelegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

std::vector<std::string> AVCaptureMetadataOutput::availableMetadataObjectTypes() const {
  auto session = [&] {
    std::lock_guard<std::mutex> lock(mu_);
    return session_.lock();
  }();
  if (!session || !hasVideoInput(session->inputs())) return {};
  return {AVMetadataObjectTypeQRCode};
}

void AVCaptureMetadataOutput::setMetadataObjectTypes(const std::vector<std::string>& types) {
  auto available = availableMetadataObjectTypes();
  std::vector<std::string> kept;
  for (const auto& type : types) {
    if (std::find(available.begin(), available.end(), type) == available.end()) {
      NSLog("AVCaptureMetadataOutput: unsupported metadata object type %@", type);
    } else if (std::find(kept.begin(), kept.end(), type) == kept.end()) {
      kept.push_back(type);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  types_ = std::move(kept);
}

std::vector<std::string> AVCaptureMetadataOutput::metadataObjectTypes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return types_;
}

CGRect AVCaptureMetadataOutput::rectOfInterest() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rectOfInterest_;
}

void AVCaptureMetadataOutput::setRectOfInterest(CGRect r) {
  std::lock_guard<std::mutex> lock(mu_);
  rectOfInterest_ = r;
}

std::vector<AVMetadataObjectRef> AVCaptureMetadataOutput::readCodes(const CGImageRef& frame) const {
  CGRect roi;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (std::find(types_.begin(), types_.end(), AVMetadataObjectTypeQRCode) == types_.end()) {
      return {};
    }
    roi = rectOfInterest_;
  }
  if (!frame) return {};
  roi = CGRectIntersection(CGRectStandardize(roi), CGRectMake(0, 0, 1, 1));
  if (CGRectIsNull(roi) || CGRectIsEmpty(roi)) return {};
  const double fw = double(frame->width()), fh = double(frame->height());
  int left = int(std::floor(CGRectGetMinX(roi) * fw));
  int top = int(std::floor(CGRectGetMinY(roi) * fh));
  int right = int(std::ceil(CGRectGetMaxX(roi) * fw));
  int bottom = int(std::ceil(CGRectGetMaxY(roi) * fh));
  right = std::min(right, int(fw));
  bottom = std::min(bottom, int(fh));
  if (right <= left || bottom <= top) return {};

  // A frame's bytes are B, G, R, A (or unused) per pixel.
  ZXing::ImageView view(frame->bytes(), int(fw), int(fh), ZXing::ImageFormat::BGRX,
                        int(frame->bytesPerRow()));
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode);
  auto results =
      ZXing::ReadBarcodes(view.cropped(left, top, right - left, bottom - top), hints);
  std::vector<AVMetadataObjectRef> objects;
  for (const auto& result : results) {
    if (!result.isValid()) continue;
    std::vector<CGPoint> corners;
    double minX = 1, minY = 1, maxX = 0, maxY = 0;
    for (const auto& p : result.position()) {
      CGPoint unit = CGPointMake((p.x + left) / fw, (p.y + top) / fh);
      corners.push_back(unit);
      minX = std::min(minX, unit.x);
      minY = std::min(minY, unit.y);
      maxX = std::max(maxX, unit.x);
      maxY = std::max(maxY, unit.y);
    }
    CGRect bounds = corners.empty() ? CGRectZero : CGRectMake(minX, minY, maxX - minX, maxY - minY);
    objects.push_back(std::make_shared<AVMetadataMachineReadableCodeObject>(
        AVMetadataObjectTypeQRCode, result.text(), bounds, std::move(corners)));
  }
  return objects;
}

// ---- Session ----

AVCaptureSession::~AVCaptureSession() {
  auto& running = runningSessions();
  std::lock_guard<std::mutex> lock(running.mu);
  std::erase_if(running.sessions, [this](const auto& s) { return s.address == this; });
}

bool AVCaptureSession::canSetSessionPreset(const std::string& preset) const {
  const auto& known = knownPresets();
  return std::find(known.begin(), known.end(), preset) != known.end();
}

void AVCaptureSession::setSessionPreset(const std::string& preset) {
  if (!canSetSessionPreset(preset)) {
    NSLog("AVCaptureSession: unsupported session preset %@", preset);
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  preset_ = preset;
}

std::string AVCaptureSession::sessionPreset() const {
  std::lock_guard<std::mutex> lock(mu_);
  return preset_;
}

bool AVCaptureSession::canAddInput(const AVCaptureDeviceInputRef& input) const {
  if (!input) return false;
  std::lock_guard<std::mutex> lock(mu_);
  return inputs_.empty();
}

void AVCaptureSession::addInput(const AVCaptureDeviceInputRef& input) {
  if (!canAddInput(input)) {
    NSLog("AVCaptureSession: cannot add input %@", input ? input->description() : "(null)");
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  inputs_.push_back(input);
}

void AVCaptureSession::removeInput(const AVCaptureDeviceInputRef& input) {
  std::lock_guard<std::mutex> lock(mu_);
  std::erase(inputs_, input);
}

std::vector<AVCaptureDeviceInputRef> AVCaptureSession::inputs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return inputs_;
}

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const {
  if (!output) return false;
  std::lock_guard<std::mutex> lock(output->mu_);
  return output->session_.expired();
}

void AVCaptureSession::addOutput(const std::shared_ptr<AVCaptureOutput>& output) {
  if (!output) return;
  {
    std::lock_guard<std::mutex> lock(output->mu_);
    if (!output->session_.expired()) {
      NSLog("AVCaptureSession: the output is in a session already");
      return;
    }
    output->session_ = std::static_pointer_cast<AVCaptureSession>(shared_from_this());
  }
  std::lock_guard<std::mutex> lock(mu_);
  outputs_.push_back(output);
}

void AVCaptureSession::removeOutput(const std::shared_ptr<AVCaptureOutput>& output) {
  if (!output) return;
  bool removed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    removed = std::erase(outputs_, output) > 0;
  }
  if (removed) {
    std::lock_guard<std::mutex> lock(output->mu_);
    output->session_.reset();
  }
}

std::vector<std::shared_ptr<AVCaptureOutput>> AVCaptureSession::outputs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return outputs_;
}

void AVCaptureSession::startRunning() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (running_) return;
    running_ = true;
  }
  auto self = std::static_pointer_cast<AVCaptureSession>(shared_from_this());
  {
    auto& running = runningSessions();
    std::lock_guard<std::mutex> lock(running.mu);
    running.sessions.push_back({this, self});
  }
  // A camera looking at a still picture sees it as soon as it starts; its frame is read on a
  // worker, as a camera's frames are, never inside this call.
  if (auto frame = heldUpCameraFrame()) {
    std::weak_ptr<AVCaptureSession> weak = self;
    dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [weak, frame] {
      auto session = weak.lock();
      if (session &&
          fromCamera(*session, AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo)))
        session->deliverFrame(frame);
    });
  }
}

void AVCaptureSession::stopRunning() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!running_) return;
    running_ = false;
  }
  auto& running = runningSessions();
  std::lock_guard<std::mutex> lock(running.mu);
  std::erase_if(running.sessions, [this](const auto& s) { return s.address == this; });
}

bool AVCaptureSession::isRunning() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

void AVCaptureSession::addPreviewLayer(const std::weak_ptr<AVCaptureVideoPreviewLayer>& layer) {
  std::lock_guard<std::mutex> lock(mu_);
  std::erase_if(previewLayers_, [](const auto& l) { return l.expired(); });
  previewLayers_.push_back(layer);
}

void AVCaptureSession::deliverFrame(const CGImageRef& frame) {
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  std::vector<std::weak_ptr<AVCaptureVideoPreviewLayer>> layers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!running_ || !hasVideoInput(inputs_)) return;
    outputs = outputs_;
    layers = previewLayers_;
  }
  for (const auto& output : outputs) {
    auto metadata = std::dynamic_pointer_cast<AVCaptureMetadataOutput>(output);
    if (!metadata) continue;
    std::weak_ptr<AVCaptureMetadataOutputObjectsDelegate> delegate;
    DispatchQueueRef queue;
    {
      std::lock_guard<std::mutex> lock(metadata->mu_);
      delegate = metadata->delegate_;
      queue = metadata->queue_;
    }
    if (!queue || delegate.expired()) continue;
    auto objects = metadata->readCodes(frame);
    if (objects.empty()) continue;
    auto connection = metadata->connection_;
    dispatch_async(queue, [delegate, metadata, objects = std::move(objects), connection] {
      if (auto d = delegate.lock()) {
        d->captureOutputDidOutputMetadataObjectsFromConnection(metadata, objects, connection);
      }
    });
  }
  if (!layers.empty()) {
    dispatch_async(dispatch_get_main_queue(), [layers = std::move(layers), frame] {
      for (const auto& weak : layers) {
        if (auto layer = weak.lock()) layer->showFrame(frame);
      }
    });
  }
}

// ---- Camera ----

size_t AVCaptureFakeCamera::pushFrame(const CGImageRef& frame) {
  if (!frame) return 0;
  auto camera = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
  if (!camera) return 0;
  // Collected under the lock, released after it (see RunningSession).
  std::vector<AVCaptureSessionRef> sessions;
  {
    auto& running = runningSessions();
    std::lock_guard<std::mutex> lock(running.mu);
    for (const auto& entry : running.sessions) {
      if (auto s = entry.session.lock()) sessions.push_back(std::move(s));
    }
  }
  size_t taken = 0;
  for (const auto& session : sessions) {
    if (!fromCamera(*session, camera)) continue;
    session->deliverFrame(frame);
    ++taken;
  }
  return taken;
}

size_t AVCaptureFakeCamera::runningSessionCount() {
  auto& running = runningSessions();
  std::lock_guard<std::mutex> lock(running.mu);
  size_t n = 0;
  for (const auto& entry : running.sessions) n += entry.session.expired() ? 0 : 1;
  return n;
}

void AVCaptureFakeCamera::setPicture(UIImageRef picture) {
  CGImageRef frame = heldUpFrame(picture);
  std::lock_guard<std::mutex> lock(cameraPicture().mu);
  cameraPicture().picture = std::move(picture);
  cameraPicture().frame = std::move(frame);
}

UIImageRef AVCaptureFakeCamera::picture() {
  std::lock_guard<std::mutex> lock(cameraPicture().mu);
  return cameraPicture().picture;
}

CGImageRef AVCaptureFakeCamera::heldUpFrame(const UIImageRef& picture) {
  constexpr double kHeldShare = 0.45;
  constexpr double kMinSide = 480, kMaxSide = 1440;
  if (!picture) return nullptr;
  CGSize size = picture->size();
  double pw = size.width * picture->scale(), ph = size.height * picture->scale();
  if (!(pw >= 1 && ph >= 1)) return nullptr;
  CGRect screen = UIScreen::mainScreen().bounds();
  double aspect = screen.size.width / screen.size.height;
  aspect = std::isfinite(aspect) ? std::clamp(aspect, 0.25, 4.0) : 1.0;
  double shorter = std::clamp(std::ceil(std::max(pw, ph) / kHeldShare), kMinSide, kMaxSide);
  double fw = aspect >= 1 ? std::round(shorter * aspect) : shorter;
  double fh = aspect >= 1 ? shorter : std::round(shorter / aspect);
  double fit = std::min(shorter * kHeldShare / pw, shorter * kHeldShare / ph);
  double dw = pw * fit, dh = ph * fit;
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(fw, fh), true, 1);
  CGContextRef c = UIGraphicsGetCurrentContext();
  UIImageRef image;
  if (c) {
    CGContextSetRGBFillColor(c, 1, 1, 1, 1);
    CGContextFillRect(c, CGRectMake(0, 0, fw, fh));
    // Enlarged, a code keeps hard module edges.
    if (fit > 1) CGContextSetInterpolationQuality(c, kCGInterpolationNone);
    picture->drawInRect(CGRectMake(std::round((fw - dw) / 2), std::round((fh - dh) / 2), dw, dh));
    image = UIGraphicsGetImageFromCurrentImageContext();
  }
  UIGraphicsEndImageContext();
  return image ? image->CGImage() : nullptr;
}

}  // namespace plat
