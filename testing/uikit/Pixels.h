#pragma once
// Pixel probes for tests that check drawing: the channels of a 0xAARRGGBB pixel, a rough
// colour name, and two pictures to draw from. Main thread only (the pictures are drawn in an
// image context).

#include <cstdint>

#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"

namespace testing_uikit {

inline uint32_t A(uint32_t p) { return p >> 24; }
inline uint32_t R(uint32_t p) { return (p >> 16) & 0xff; }
inline uint32_t G(uint32_t p) { return (p >> 8) & 0xff; }
inline uint32_t B(uint32_t p) { return p & 0xff; }

// 'W', 'R', 'G' or 'B' for a pixel clearly white, red, green or blue; '?' otherwise.
inline char colourName(uint32_t p) {
  if (R(p) > 200 && G(p) > 200 && B(p) > 200) return 'W';
  if (R(p) > 200 && G(p) < 60 && B(p) < 60) return 'R';
  if (G(p) > 200 && R(p) < 60 && B(p) < 60) return 'G';
  if (B(p) > 200 && R(p) < 60 && G(p) < 60) return 'B';
  return '?';
}

// A w x h point image at `scale`, left half red and right half blue.
inline plat::UIImageRef twoColourImage(double w, double h, double scale = 1) {
  plat::UIGraphicsBeginImageContextWithOptions(plat::CGSizeMake(w, h), true, scale);
  auto c = plat::UIGraphicsGetCurrentContext();
  plat::CGContextSetRGBFillColor(c, 1, 0, 0, 1);
  plat::CGContextFillRect(c, plat::CGRectMake(0, 0, w / 2, h));
  plat::CGContextSetRGBFillColor(c, 0, 0, 1, 1);
  plat::CGContextFillRect(c, plat::CGRectMake(w / 2, 0, w / 2, h));
  auto image = plat::UIGraphicsGetImageFromCurrentImageContext();
  plat::UIGraphicsEndImageContext();
  return image;
}

// A 64 x 32 pixel image in four quadrants: red, green on top, blue, white below.
inline plat::UIImageRef quadrantsImage() {
  plat::UIGraphicsBeginImageContextWithOptions(plat::CGSizeMake(64, 32), true, 1);
  plat::CGContextRef c = plat::UIGraphicsGetCurrentContext();
  const plat::UIColor colors[4] = {plat::UIColor::redColor(), plat::UIColor::greenColor(),
                                   plat::UIColor::blueColor(), plat::UIColor::whiteColor()};
  for (int i = 0; i < 4; i++) {
    colors[i].setFill();
    plat::CGContextFillRect(c, plat::CGRectMake((i % 2) * 32, (i / 2) * 16, 32, 16));
  }
  auto image = plat::UIGraphicsGetImageFromCurrentImageContext();
  plat::UIGraphicsEndImageContext();
  return image;
}

}  // namespace testing_uikit
