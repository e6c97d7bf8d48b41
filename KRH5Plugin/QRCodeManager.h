#pragma once
// QRCodeManager: makes QR code images and presents the QR scanner for the page.
//
// CreateQRCodeWithSize and ScanQRCode have the arguments of SysScreens::createQRCode and
// SysScreens::scanQRCode, so the Sys commands "CreateQRCode" and "ScanQRCode" can be wired
// to them directly.
//
// Class operations only; main thread only. The scanner screen in use is held here from
// ScanQRCode until it reports.

#include <memory>
#include <optional>
#include <string>

#include "platform/device/CIFilter.h"
#include "platform/uikit/UIImage.h"

class QRCodeViewController;

class QRCodeManager {
 public:
  // A QR code of `text` (its UTF-8 bytes, correction level M, a quiet zone of one module),
  // scaled by whole pixels of no smoothing to fit `size` x `size` points: opaque, only black
  // and white pixels. nullptr for an empty text, one too long for any QR code, or a size
  // too small to give one pixel.
  static plat::UIImageRef CreateQRCodeWithSize(const std::string& text, double size);
  // `image` (a generator's output, one pixel per module) scaled without interpolation to fit
  // `size` x `size`. nullptr for a null image or when the scaled side is below 1 pixel.
  static plat::UIImageRef CreateNonInterpolateUIImageWithSize(const plat::CIImageRef& image,
                                                              double size);

  // Presents the scanner from the bridge's root controller and starts scanning once it has
  // appeared. The page hears "onScanQRCode" once when it ends: with the code's text, or
  // without argument after Back. Without the "Lumora" bundle or a root controller, while
  // the root controller presents another screen, or while the last scan is still closing, no
  // screen opens: that is logged and reported at once as a Back.
  static void ScanQRCode();
  // Forgets the held screen and reports `text` (nullopt: none) to the page.
  static void AcquireQRCode(const std::optional<std::string>& text);

  // The screen held while a scan is under way (tests).
  static std::shared_ptr<QRCodeViewController> CurrentScanner();
  static void ResetForTesting();
};
