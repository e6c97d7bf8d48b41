#pragma once
// Camera frames for capture tests: an opaque frame of one colour with QR codes drawn in it,
// `module` pixels per module, the code's own quiet zone included.

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/device/CIFilter.h"
#include "platform/graphics/CGImage.h"

namespace capture_frames {

struct Code {
  std::string text;
  int x = 0, y = 0;  // top-left corner of the quiet zone, in pixels
  int module = 4;
};

// 0xAARRGGBB background.
inline plat::CGImageRef frameWithCodes(int width, int height, const std::vector<Code>& codes,
                                       uint32_t background = 0xFFFFFFFFu) {
  auto* pixels = static_cast<uint32_t*>(std::malloc(size_t(width) * size_t(height) * 4));
  for (int i = 0; i < width * height; ++i) pixels[i] = background;
  for (const auto& code : codes) {
    auto filter = plat::CIFilter::filterWithName("CIQRCodeGenerator");
    filter->setValueForKey(plat::Value(code.text), "inputMessage");
    auto image = filter->outputImage();
    if (!image) continue;
    const auto& bitmap = image->bitmap();
    for (size_t my = 0; my < bitmap->height(); ++my) {
      for (size_t mx = 0; mx < bitmap->width(); ++mx) {
        uint32_t colour = bitmap->pixelAt(int(mx), int(my));
        for (int dy = 0; dy < code.module; ++dy) {
          for (int dx = 0; dx < code.module; ++dx) {
            int px = code.x + int(mx) * code.module + dx, py = code.y + int(my) * code.module + dy;
            if (px >= 0 && py >= 0 && px < width && py < height) pixels[py * width + px] = colour;
          }
        }
      }
    }
  }
  return plat::CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(pixels), width, height,
                                           true);
}

}  // namespace capture_frames
