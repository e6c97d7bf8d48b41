#pragma once
// What the refresh tests share: a device root and an application bundle holding the
// "HVRefresh" resources, English texts, a virtual clock, and a window with a scroll view.

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSTimeZone.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/uikit/DragSimulator.h"
#include "ui/refresh/HVRefreshCategories.h"

namespace refresh_test {

class RefreshEnvironment {
 public:
  explicit RefreshEnvironment(const std::string& language = "en-US") {
    std::filesystem::copy(LUMORA_REFRESH_RESOURCES, app_.path(),
                          std::filesystem::copy_options::recursive);
    plat::NSLocale::setPreferredLanguages({language});
    plat::NSTimeZone::setDefaultTimeZone(plat::NSTimeZone::GMT());
    NSBundle_HVRefresh::resetForTesting();
    plat::NSUserDefaults::resetStandardUserDefaults();
    plat::UIViewAnimationLog::clear();
  }
  ~RefreshEnvironment() {
    plat::UIViewAnimationLog::clear();
    NSBundle_HVRefresh::resetForTesting();
    plat::NSUserDefaults::resetStandardUserDefaults();
    plat::NSTimeZone::setDefaultTimeZone(std::nullopt);
    plat::NSLocale::setPreferredLanguages({});
  }
  const std::string& appPath() const { return app_.path(); }

 private:
  testing_device::TempDeviceRoot root_;
  testing_device::TempAppBundle app_;
};

// A visible window of 320 x 600 holding `scroll` at its full size.
inline std::shared_ptr<plat::UIWindow> showInWindow(const std::shared_ptr<plat::UIScrollView>& scroll,
                                                    double height = 600) {
  auto window = plat::make<plat::UIWindow>(plat::CGRectMake(0, 0, 320, height));
  window->makeKeyAndVisible();
  scroll->setFrame(plat::CGRectMake(0, 0, 320, height));
  window->addSubview(scroll);
  return window;
}

// Fills the content of `scroll` (0, 0, its width, height) with a blue view, so that a render
// tells the content from the controls and the empty space around it.
inline void fillContent(plat::UIScrollView& scroll, double height) {
  auto content = plat::make<plat::UIView>(plat::CGRectMake(0, 0, scroll.frame().size.width, height));
  content->setBackgroundColor(plat::UIColor::blueColor());
  scroll.addSubview(content);
}

// True when the window's render at scale 1 shows the content's blue at (x, y).
inline bool showsContentAt(const std::shared_ptr<plat::UIWindow>& window, int x, int y) {
  return plat::UIRenderer::renderView(window, 1)->CGImage()->pixelAt(x, y) == 0xff0000ffu;
}

inline std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  return std::string(env && *env ? env : "test-output") + "/ui/refresh/";
}

}  // namespace refresh_test
