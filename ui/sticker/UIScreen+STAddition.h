#pragma once
// Classifies a screen by its size in points (either orientation). Main thread only, except
// st_isIPhoneX, whose answer is computed once.

#include <cstdint>

#include "platform/uikit/UIScreen.h"

enum STScreenPhysicalSize : int64_t {
  STScreenPhysicalSizeUnknown = -1,
  STScreenPhysicalSize_3_5 = 0,   // 320 x 480
  STScreenPhysicalSize_4_0 = 1,   // 320 x 568
  STScreenPhysicalSize_4_7 = 2,   // 375 x 667
  STScreenPhysicalSize_5_5 = 3,   // 414 x 736
  STScreenPhysicalSize_5_8 = 4,   // 375 x 812
};

struct UIScreen_STAddition {
  static STScreenPhysicalSize zui_physicalSize(const plat::UIScreen& screen);
  // Whether the main screen is 375 x 812; decided on the first call.
  static bool st_isIPhoneX();
};
