#include "image/HVImageKind.h"

#include <cstring>
#include <mutex>

#include "platform/foundation/NSLog.h"

HVImageKind HVSniffImageType(const plat::Data& data) {
  return HVSniffImageType(data.bytes(), data.length());
}

HVImageKind HVSniffImageType(const uint8_t* b, size_t length) {
  if (!b || length < 16) return HVImageKindUnknown;
  auto starts = [b](const char* sig, size_t n) { return std::memcmp(b, sig, n) == 0; };
  if (starts("\x89PNG\r\n\x1a\n", 8)) return HVImageKindPNG;
  if (starts("icns", 4)) return HVImageKindICNS;
  if (starts("GIF8", 4)) return HVImageKindGIF;
  if (starts("RIFF", 4) && std::memcmp(b + 8, "WEBP", 4) == 0) return HVImageKindWebP;
  if (starts("\0\0\1\0", 4) || starts("\0\0\2\0", 4)) return HVImageKindICO;
  if (starts("II*\0", 4) || starts("MM\0*", 4)) return HVImageKindTIFF;
  for (const char* two : {"BA", "BM", "IC", "PI", "CI", "CP"})
    if (starts(two, 2)) return HVImageKindBMP;
  if (b[0] == 0xFF && b[1] == 0x4F) return HVImageKindJPEG2000;
  if (b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return HVImageKindJPEG;
  if (std::memcmp(b + 4, "jP  ", 4) == 0 && b[8] == 0x0D) return HVImageKindJPEG2000;
  return HVImageKindUnknown;
}

std::string HVUTTypeForImageKind(uint64_t kind) {
  switch (kind) {
    case HVImageKindJPEG:
      return "public.jpeg";
    case HVImageKindJPEG2000:
      return "public.jpeg-2000";
    case HVImageKindTIFF:
      return "public.tiff";
    case HVImageKindBMP:
      return "com.microsoft.bmp";
    case HVImageKindICO:
      return "com.microsoft.ico";
    case HVImageKindICNS:
      return "com.apple.icns";
    case HVImageKindGIF:
      return "com.compuserve.gif";
    case HVImageKindPNG:
      return "public.png";
    default:
      return std::string();
  }
}

bool HVWebPSupported() { return false; }

const char* const kHVWebPUnavailableFormat =
    "[%s: %d] WebP is not available, check the documentation to see how to install WebP "
    "component: https://developers.google.com/speed/webp/download";

void HVLogWebPUnavailableOnce(const char* function, int line) {
  static std::once_flag once;
  std::call_once(once, [&] { plat::NSLog(kHVWebPUnavailableFormat, function, line); });
}
