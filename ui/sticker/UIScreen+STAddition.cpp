#include "ui/sticker/UIScreen+STAddition.h"

#include <algorithm>
#include <mutex>

STScreenPhysicalSize UIScreen_STAddition::zui_physicalSize(const plat::UIScreen& screen) {
  plat::CGSize s = screen.bounds().size;
  double shorter = std::min(s.width, s.height), longer = std::max(s.width, s.height);
  struct Known {
    double shorter, longer;
    STScreenPhysicalSize kind;
  };
  static constexpr Known kKnown[] = {{375, 667, STScreenPhysicalSize_4_7},
                                     {414, 736, STScreenPhysicalSize_5_5},
                                     {375, 812, STScreenPhysicalSize_5_8},
                                     {320, 480, STScreenPhysicalSize_3_5},
                                     {320, 568, STScreenPhysicalSize_4_0}};
  for (auto& k : kKnown)
    if (shorter == k.shorter && longer == k.longer) return k.kind;
  return STScreenPhysicalSizeUnknown;
}

bool UIScreen_STAddition::st_isIPhoneX() {
  static std::once_flag once;
  static bool isX = false;
  std::call_once(once, [] {
    isX = zui_physicalSize(plat::UIScreen::mainScreen()) == STScreenPhysicalSize_5_8;
  });
  return isX;
}
