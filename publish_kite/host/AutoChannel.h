#pragma once
// AutoChannel: the channel SDK's screens as the host's --auto-channel flag plays them: the
// login window completes at once with a generated user (real-name verified), the cashier
// pays at once, and the channel server's logout and role calls succeed. Lets the demo and
// black-box checks run the login and pay roads without a person. Main thread only.

#include <memory>

#include "channel/core/HVmsSDK.h"

class AutoChannel : public HVmsSDK::Channel {
 public:
  // Installs a new one as the channel (HVmsSDK::setChannel).
  static void install();

  void openLoginWindow(HVmsSDK::LoginSuccess success, HVmsSDK::LoginFailure failure) override;
  void sendLogout(std::function<void(bool)> done) override { done(true); }
  void sendRole(const plat::Dictionary& fields, std::function<void(bool)> done) override {
    done(true);
  }
  void openCashier(const HVmsSDK::PayRequest& request, HVmsSDK::PaySuccess success,
                   HVmsSDK::PayFailure failure) override;
};
