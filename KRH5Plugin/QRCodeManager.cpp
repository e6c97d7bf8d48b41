#include "KRH5Plugin/QRCodeManager.h"

#include <cmath>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/QRCodeViewController.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/CGBitmapContext.h"

namespace {

constexpr const char* kQRCodeGenerator = "CIQRCodeGenerator";
constexpr const char* kResourceBundle = "Lumora";
// With fewer pixels a module than this, readers lose the large codes (version 30 and up).
constexpr double kMinPixelsPerModule = 3;

std::shared_ptr<QRCodeViewController>& heldScanner() {
  static auto* held = new std::shared_ptr<QRCodeViewController>();
  return *held;
}

}  // namespace

plat::UIImageRef QRCodeManager::CreateQRCodeWithSize(const std::string& text, double size) {
  auto filter = plat::CIFilter::filterWithName(kQRCodeGenerator);
  if (!filter) return nullptr;
  filter->setDefaults();
  filter->setValueForKey(plat::Value(plat::Data::fromString(text)), "inputMessage");
  return CreateNonInterpolateUIImageWithSize(filter->outputImage(), size);
}

plat::UIImageRef QRCodeManager::CreateNonInterpolateUIImageWithSize(const plat::CIImageRef& image,
                                                                    double size) {
  if (!image) return nullptr;
  plat::CGRect extent = plat::CGRectIntegral(image->extent());
  if (!(extent.size.width > 0) || !(extent.size.height > 0)) return nullptr;
  double scale = std::min(size / extent.size.width, size / extent.size.height);
  double width = std::floor(extent.size.width * scale);
  double height = std::floor(extent.size.height * scale);
  // Also refuses NaN.
  if (!(width >= 1 && height >= 1)) return nullptr;
  // Every module takes the same whole number of pixels, or readers cannot find its edges: the
  // scale is rounded down to a whole number, and a code too large for enough pixels a module at
  // the size asked for is drawn larger. The canvas keeps the size asked for where the code fits,
  // the rest white margin.
  double modulePixels = std::max(std::floor(scale), kMinPixelsPerModule);
  double drawnW = extent.size.width * modulePixels, drawnH = extent.size.height * modulePixels;
  width = std::max(width, drawnW);
  height = std::max(height, drawnH);
  if (width > double(plat::kCGBitmapMaxSide) || height > double(plat::kCGBitmapMaxSide)) {
    return nullptr;
  }
  auto canvas = plat::CGBitmapContextCreate(nullptr, size_t(width), size_t(height), 8, 0,
                                            plat::CGColorSpaceCreateDeviceGray(),
                                            plat::kCGImageAlphaNone);
  auto context = plat::CIContext::contextWithOptions();
  plat::CGImageRef bitmap = context->createCGImageFromRect(image, extent);
  if (!canvas || !bitmap) return nullptr;
  plat::CGContextSetGrayFillColor(canvas.get(), 1, 1);
  plat::CGContextFillRect(canvas.get(), plat::CGRectMake(0, 0, width, height));
  plat::CGContextSetInterpolationQuality(canvas.get(), plat::kCGInterpolationNone);
  plat::CGContextTranslateCTM(canvas.get(), std::floor((width - drawnW) / 2),
                              std::floor((height - drawnH) / 2));
  plat::CGContextScaleCTM(canvas.get(), modulePixels, modulePixels);
  plat::CGContextDrawImage(canvas.get(), extent, bitmap);
  plat::CGImageRef scaled = plat::CGBitmapContextCreateImage(canvas.get());
  if (!scaled) return nullptr;
  return plat::UIImage::imageWithCGImage(scaled);
}

void QRCodeManager::ScanQRCode() {
  auto& held = heldScanner();
  if (!held) {
    std::string path =
        plat::NSBundle::mainBundle()->pathForResourceOfType(kResourceBundle, "bundle");
    if (path.empty() || !plat::NSBundle::bundleWithPath(path)) {
      plat::NSLog("QRCodeManager: no %@.bundle, the scanner cannot open", kResourceBundle);
      AcquireQRCode(std::nullopt);
      return;
    }
    held = std::make_shared<QRCodeViewController>();
  } else if (held->hasFinished()) {
    // The last scan is closing and its report is on the way; presenting that screen again
    // would leave one that no code or Back can end. This request gets its own answer.
    plat::NSLog("QRCodeManager: the scanner is closing; no new scan opens");
    SysPlugin::OnScanQRCode(std::nullopt);
    return;
  }
  auto root = IOSPlugin::GetRootController();
  if (!root) {
    plat::NSLog("QRCodeManager: no root controller to present the scanner from");
    AcquireQRCode(std::nullopt);
    return;
  }
  if (root->presentedViewController() == held) return;  // already up
  std::weak_ptr<QRCodeViewController> weak = held;
  root->presentViewControllerAnimatedCompletion(held, true, [weak] {
    if (auto scanner = weak.lock()) scanner->StartScan();
  });
  // The root controller refuses while it presents another screen: nothing opened.
  if (root->presentedViewController() != held) {
    plat::NSLog("QRCodeManager: the scanner could not be presented");
    AcquireQRCode(std::nullopt);
  }
}

void QRCodeManager::AcquireQRCode(const std::optional<std::string>& text) {
  auto keep = std::move(heldScanner());  // released at the end of this call
  heldScanner().reset();
  SysPlugin::OnScanQRCode(text);
}

std::shared_ptr<QRCodeViewController> QRCodeManager::CurrentScanner() { return heldScanner(); }

void QRCodeManager::ResetForTesting() {
  auto keep = std::move(heldScanner());
  heldScanner().reset();
  if (keep) keep->StopScan();
}
