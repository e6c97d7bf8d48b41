#include "publish_kite/host/AutoChannel.h"

#include <random>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Format.h"

void AutoChannel::install() { HVmsSDK::setChannel(std::make_shared<AutoChannel>()); }

void AutoChannel::openLoginWindow(HVmsSDK::LoginSuccess success, HVmsSDK::LoginFailure) {
  std::random_device rd;
  std::string user = plat::format("player%06u", static_cast<unsigned>(rd() % 1000000));
  // As a window would: the result comes after the call that opened it has returned.
  plat::dispatch_async(plat::dispatch_get_main_queue(), [success, user] {
    success("0", user, "auto-" + user, "1");
  });
}

void AutoChannel::openCashier(const HVmsSDK::PayRequest&, HVmsSDK::PaySuccess success,
                              HVmsSDK::PayFailure) {
  plat::dispatch_async(plat::dispatch_get_main_queue(),
                       [success] { success(plat::Value("auto"), plat::Value()); });
}
