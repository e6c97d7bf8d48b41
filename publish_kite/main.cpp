// The program `lumora`: the application run as the phone runs it. The host part takes the
// bundle and device root from the command line and follows the page; the application part
// is the platform's application main with AppDelegate.

#include <cstdio>
#include <cstdlib>

#include "KRH5Plugin/AppScreens.h"
#include "KRH5Plugin/HSSDKPlugin.h"
#include "KRH5Plugin/MXSDKPlugin.h"
#include "KRH5Plugin/KiteSDKPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "aggregation/KMNetWorkUtil.h"
#include "aggregation/PlugManager.h"
#include "aggregation/SDKCooperater.h"
#include "platform/uikit/UIApplicationMain.h"
#include "platform/webkit/VirtualDisplay.h"
#include "platform/webkit/WKWebView.h"
#include "publish_kite/Classes/ViewController/AppDelegate.h"
#include "publish_kite/host/LumoraHost.h"

int main(int argc, char** argv) {
  static LumoraHost* host = new LumoraHost();
  int early = host->Prepare(argc, argv);
  if (early >= 0) {
    std::fflush(nullptr);
    std::_Exit(early);
  }
  // The bridge's plugin classes make themselves known before the application starts.
  SysPlugin::Register();
  // The picker, QR, crop and album screens behind the Sys commands.
  SysInterface::SetScreens(AppScreens());
  HSSDKPlugin::Register();
  MXSDKPlugin::Register();
  KiteSDKPlugin::Register();
  // What the aggregation SDK's classes do as they load: the coordinator subscribes to the
  // channel, the plug-ins are read, and the network watch begins.
  SDKCooperater::load();
  PlugManager::load();
  KMNetWorkUtil::load();
  AppDelegate::Register();
  int result = plat::UIApplicationMain(argc, argv, "", AppDelegate::ClassName());
  host->Finish();
  // No web content process or virtual display outlives the program.
  plat::WKWebView::terminateAllContentProcesses();
  plat::VirtualDisplay::stop();
  std::fflush(nullptr);
  // Worker threads of the platform may still be parked: leave without running exit-time
  // destructors under them.
  std::_Exit(result);
}
