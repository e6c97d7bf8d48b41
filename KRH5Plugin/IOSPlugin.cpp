#include "KRH5Plugin/IOSPlugin.h"

#include <array>
#include <mutex>

#include "KRH5Plugin/IOSHandler.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "logging/LGFileLogger.h"
#include "logging/LGLog.h"
#include "logging/LGOSLogger.h"

namespace {

constexpr double kLogRollingFrequency = 3600;
constexpr uint64_t kMaximumLogFiles = 48;

struct Registry {
  std::mutex mu;
  std::array<IOSPluginClass, IOSPlugin::kPluginSlots> plugins;
  IOSPlugin::SDKKind kind = IOSPlugin::kSDKNone;
  plat::UIViewControllerRef rootController;
  IOSPluginState console{IOSPlugin::kConsoleHandlerName, ""};
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed
  return *r;
}

IOSPluginClass plugin(IOSPlugin::PluginSlot slot) {
  std::lock_guard<std::mutex> lock(registry().mu);
  return registry().plugins[slot];
}

}  // namespace

void IOSPlugin::RegisterPlugin(PluginSlot slot, IOSPluginClass p) {
  if (slot < 0 || slot >= kPluginSlots) return;
  std::lock_guard<std::mutex> lock(registry().mu);
  registry().plugins[slot] = std::move(p);
}

void IOSPlugin::Load() {
  for (int slot = 0; slot < kPluginSlots; ++slot) {
    auto p = plugin(static_cast<PluginSlot>(slot));
    if (p.Load) p.Load();
  }
  InitLogger();
}

void IOSPlugin::Unload() {
  for (int slot = 0; slot < kPluginSlots; ++slot) {
    auto p = plugin(static_cast<PluginSlot>(slot));
    if (p.Unload) p.Unload();
  }
}

void IOSPlugin::EndPage() {
  IOSPluginNextPage();
  for (int slot = 0; slot < kPluginSlots; ++slot) {
    auto p = plugin(static_cast<PluginSlot>(slot));
    if (p.EndPage) p.EndPage();
  }
}

uint64_t IOSPlugin::CurrentPage() { return IOSPluginCurrentPage(); }

void IOSPlugin::SetInterfaceWithName(const plat::ObjectRef& object, const std::string& name) {
  if (!object || name.empty()) return;
  PluginSlot slot;
  SDKKind kind;
  if (name == "HSSDK") {
    slot = kHSSDKPlugin;
    kind = kSDKHSSDK;
  } else if (name == "KiteSDK") {
    slot = kKiteSDKPlugin;
    kind = kSDKKiteSDK;
  } else {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(registry().mu);
    registry().kind = kind;
  }
  auto p = plugin(slot);
  if (p.SetInterface) p.SetInterface(object);
}

IOSPlugin::SDKKind IOSPlugin::GetSDKKind() {
  std::lock_guard<std::mutex> lock(registry().mu);
  return registry().kind;
}

void IOSPlugin::SetWebView(const plat::WKWebViewRef& webView) {
  bool changed =
      registry().console.SetWebView(webView, [] { return std::make_shared<IOSHandler>(); });
  if (!changed) return;
  auto call = [&](PluginSlot slot) {
    auto p = plugin(slot);
    if (p.SetWebView) p.SetWebView(webView);
  };
  call(kSysPlugin);
  SDKKind kind = GetSDKKind();
  if (kind == kSDKHSSDK) call(kHSSDKPlugin);
  if (kind == kSDKKiteSDK) call(kKiteSDKPlugin);
  call(kMXSDKPlugin);
}

plat::WKWebViewRef IOSPlugin::GetWebView() { return registry().console.webView(); }

void IOSPlugin::CallJS(const std::string& script) { registry().console.CallJS(script); }

plat::UIViewControllerRef IOSPlugin::GetRootController() {
  std::lock_guard<std::mutex> lock(registry().mu);
  return registry().rootController;
}

void IOSPlugin::SetRootController(const plat::UIViewControllerRef& controller) {
  std::lock_guard<std::mutex> lock(registry().mu);
  registry().rootController = controller;
}

void IOSPlugin::InitLogger() {
  auto fileLogger = std::make_shared<LGFileLogger>();
  fileLogger->setRollingFrequency(kLogRollingFrequency);
  fileLogger->logFileManager()->setMaximumNumberOfLogFiles(kMaximumLogFiles);
  LGLog::addLogger(fileLogger);
  LGLog::addLogger(LGOSLogger::sharedInstance());
}

void IOSPlugin::ResetForTesting() {
  registry().console.ResetForTesting();
  std::lock_guard<std::mutex> lock(registry().mu);
  registry().plugins = {};
  registry().kind = kSDKNone;
  registry().rootController.reset();
}
