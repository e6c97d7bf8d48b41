// URLs handed over by other applications, through the channel adapter to the channel SDK's
// entry: nothing crashes, and a quick-login URL stores exactly element 1 and the last element
// of its host split at "&".

#include <vector>

#include "aggregation/channel/KTCKiteChannel.h"
#include "channel/core/HVmsSDK.h"
#include "fuzz/FuzzSupport.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HVmsSDK::resetForTesting();
  std::string text(reinterpret_cast<const char*>(data), size);
  auto url = plat::NSURL::URLWithString(text);
  auto& channel = KTCKiteChannel::defaultChannel();
  channel.openURLApplication(url, nullptr);
  channel.openURLApplicationOptions(url, nullptr, plat::Value());
  channel.openURLSourceApplicationApplicationAnnotation(url, "app", nullptr, plat::Value());
  if (url && url->scheme() == "HalvikOrbPayScheme" &&
      url->host().find("ZRK_KITE") != std::string::npos) {
    auto parts = split(url->host());
    if (parts.size() >= 2) {
      FUZZ_CHECK(HVmsSDK::storedUserName() == parts[1] && HVmsSDK::storedPassword() == parts.back(),
                 text);
    } else {
      FUZZ_CHECK(HVmsSDK::storedUserName().empty(), text);
    }
  }
  return 0;
}
