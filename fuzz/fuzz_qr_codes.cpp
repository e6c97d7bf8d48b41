// The QR code paths that take outside input: the generator over arbitrary message bytes and
// correction levels, and the metadata output reading camera frames made of arbitrary bytes
// (with, when asked, a generated code of part of the input drawn into them). Nothing crashes;
// a generated code is square with a one-module quiet zone; every code read lies inside the
// frame and its text is whole UTF-8; a clean ASCII code in a clean frame reads back as made.

#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/device/AVCaptureSession.h"
#include "platform/device/CIFilter.h"

namespace {

bool wholeUTF8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (n == 4 || i + n >= s.size() + (n == 0)) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

plat::AVCaptureMetadataOutput& output() {
  static auto* session = new plat::AVCaptureSessionRef(plat::AVCaptureSession::make());
  static auto* out = [] {
    auto* o = new plat::AVCaptureMetadataOutputRef(std::make_shared<plat::AVCaptureMetadataOutput>());
    (*session)->addInput(plat::AVCaptureDeviceInput::deviceInputWithDeviceError(
        plat::AVCaptureDevice::defaultDeviceWithMediaType(plat::AVMediaTypeVideo), nullptr));
    (*session)->addOutput(*o);
    (*o)->setMetadataObjectTypes({plat::AVMetadataObjectTypeQRCode});
    return o;
  }();
  return **out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.byte();
  const char* levels[] = {"L", "M", "Q", "H", "X"};
  const char* level = levels[in.byte() % 5];
  std::string message(in.field('\0'));
  auto filter = plat::CIFilter::filterWithName("CIQRCodeGenerator");
  filter->setValueForKey(plat::Value(message), "inputMessage");
  filter->setValueForKey(plat::Value(level), "inputCorrectionLevel");
  plat::CIImageRef code = filter->outputImage();
  if (code) {
    const auto& bitmap = code->bitmap();
    FUZZ_CHECK(bitmap->width() == bitmap->height() && bitmap->width() >= 23 &&
                   bitmap->width() <= 179,
               "code side " + std::to_string(bitmap->width()));
    FUZZ_CHECK(bitmap->pixelAt(0, 0) == 0xFFFFFFFFu && bitmap->pixelAt(1, 1) == 0xFF000000u,
               "no quiet zone or finder");
  }

  // A frame: width and height from the input (16..200), grey levels from the rest (or clean
  // white), a code drawn at 2 pixels a module when there is one and it fits.
  const int w = 16 + in.byte() % 185, h = 16 + in.byte() % 185;
  std::string_view grey = in.rest();
  const bool clean = (mode & 1) || grey.empty();
  auto* pixels = static_cast<uint32_t*>(std::malloc(size_t(w) * size_t(h) * 4));
  for (int i = 0; i < w * h; ++i) {
    uint32_t v = clean ? 255 : static_cast<unsigned char>(grey[size_t(i) % grey.size()]);
    pixels[i] = 0xFF000000u | v << 16 | v << 8 | v;
  }
  bool drawn = false;
  if (code && (mode & 2)) {
    const auto& bitmap = code->bitmap();
    const int side = int(bitmap->width()) * 2;
    if (side <= w && side <= h) {
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) pixels[y * w + x] = bitmap->pixelAt(x / 2, y / 2);
      drawn = true;
    }
  }
  auto frame = plat::CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(pixels), w, h, true);
  const double x = (mode >> 2 & 3) * 0.1, y = (mode >> 4 & 3) * 0.1;
  output().setRectOfInterest(plat::CGRectMake(x, y, 1 - x, 1 - y));
  auto codes = output().readCodes(frame);
  for (const auto& object : codes) {
    plat::CGRect b = object->bounds();
    FUZZ_CHECK(b.origin.x >= 0 && b.origin.y >= 0 && b.origin.x + b.size.width <= 1.0001 &&
                   b.origin.y + b.size.height <= 1.0001,
               "a code outside its frame");
    FUZZ_CHECK(!object->stringValue() || wholeUTF8(*object->stringValue()), "text not UTF-8");
  }
  const bool ascii = std::all_of(message.begin(), message.end(),
                                 [](char c) { return c >= 0x20 && c < 0x7f; });
  if (drawn && clean && ascii && x == 0 && y == 0 && !message.empty()) {
    FUZZ_CHECK(codes.size() == 1 && codes[0]->stringValue() == message,
               "a clean code did not read back: " + message);
  }
  return 0;
}
