#pragma once
// A channel SDK driver for tests: an HVmsSDK::Channel whose login window and cashier wait
// for the test to complete, fail or cancel them, and whose server calls succeed. It records
// what it was asked. Main thread only, as the channel SDK.

#include <functional>
#include <memory>
#include <string>

#include "channel/core/HVmsSDK.h"

namespace testing_kite {

class ScriptedChannel : public HVmsSDK::Channel {
 public:
  // Makes a driver and installs it as the channel (HVmsSDK::setChannel).
  static std::shared_ptr<ScriptedChannel> install();

  int startUps = 0;
  int loginWindows = 0;
  int logouts = 0;
  int roles = 0;
  int cashiers = 0;
  HVmsSDK::PayRequest lastPay;

  // The open login window's success (user name, sign, real-name status "0" to "2").
  void completeLogin(const std::string& user, const std::string& sign = "sign",
                     const std::string& realName = "1");
  // The open login window's failure with `code`.
  void failLogin(int64_t code, const std::string& message = "login failed");
  // The player logs out from the user centre after a completed login: the login's failure
  // block with -9.
  void logoutFromUserCentre();
  // The open cashier's success or failure.
  void paySuccess();
  void payFailure(int64_t code = -1);
  // A channel that reports again: the last completed login's success block, or the last
  // cashier's success or failure block, called once more.
  void repeatLogin();
  void repeatPay(bool success);
  bool loginOpen() const { return static_cast<bool>(loginSuccess_); }
  bool cashierOpen() const { return static_cast<bool>(paySuccess_); }

  void startUp() override { ++startUps; }
  void openLoginWindow(HVmsSDK::LoginSuccess success, HVmsSDK::LoginFailure failure) override;
  void sendLogout(std::function<void(bool)> done) override;
  void sendRole(const plat::Dictionary& fields, std::function<void(bool)> done) override;
  void openCashier(const HVmsSDK::PayRequest& request, HVmsSDK::PaySuccess success,
                   HVmsSDK::PayFailure failure) override;

 private:
  HVmsSDK::LoginSuccess loginSuccess_;
  HVmsSDK::LoginFailure loginFailure_;
  HVmsSDK::LoginFailure userCentre_;  // the failure block of the completed login
  HVmsSDK::PaySuccess paySuccess_;
  HVmsSDK::PayFailure payFailure_;
  HVmsSDK::LoginSuccess lastLoginSuccess_;
  std::string lastUser_, lastSign_, lastRealName_;
  HVmsSDK::PaySuccess lastPaySuccess_;
  HVmsSDK::PayFailure lastPayFailure_;
};

}  // namespace testing_kite
