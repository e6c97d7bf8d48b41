// URLs handed over by other applications, through the channel adapter to the channel SDK's
// entry (started with the game id "7"): nothing crashes; a quick-login URL of the game's
// scheme stores exactly element 1 and the last element of its host split at "&", and every
// other URL leaves the stored user name and password as they were.

#include <vector>

#include "aggregation/channel/KTCKiteChannel.h"
#include "channel/core/HVmsSDK.h"
#include "fuzz/FuzzSupport.h"
#include "testing/device/TempDeviceRoot.h"

namespace {

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t amp = text.find('&', start);
    parts.push_back(text.substr(start, amp == std::string::npos ? std::string::npos : amp - start));
    if (amp == std::string::npos) return parts;
    start = amp + 1;
  }
}

// The channel SDK started once, from a bundle whose "HV.plist" names the game "7".
void startOnce() {
  static bool started = [] {
    static auto* root = new testing_device::TempDeviceRoot();
    static auto* bundle = new testing_device::TempAppBundle();
    bundle->writePlist("HV.plist", plat::Value(plat::Dictionary{{"gameId", "7"}}));
    HVmsSDK::didFinishLaunching();
    (void)root;
    return true;
  }();
  (void)started;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  startOnce();
  std::string text(reinterpret_cast<const char*>(data), size);
  auto url = plat::NSURL::URLWithString(text);
  auto& channel = KTCKiteChannel::defaultChannel();
  for (int form = 0; form < 3; ++form) {
    std::string name = HVmsSDK::storedUserName(), password = HVmsSDK::storedPassword();
    if (form == 0) channel.openURLApplication(url, nullptr);
    if (form == 1) channel.openURLApplicationOptions(url, nullptr, plat::Value());
    if (form == 2)
      channel.openURLSourceApplicationApplicationAnnotation(url, "app", nullptr, plat::Value());
    auto parts = url ? split(url->host()) : std::vector<std::string>();
    if (url && url->scheme() == "HalvikOrbPayScheme7" &&
        url->host().find("ZRK_KITE") != std::string::npos && parts.size() >= 2) {
      FUZZ_CHECK(HVmsSDK::storedUserName() == parts[1] && HVmsSDK::storedPassword() == parts.back(),
                 text);
    } else {
      FUZZ_CHECK(HVmsSDK::storedUserName() == name && HVmsSDK::storedPassword() == password, text);
    }
  }
  return 0;
}
