#include "testing/aggregation/ScriptedChannel.h"

namespace testing_kite {

std::shared_ptr<ScriptedChannel> ScriptedChannel::install() {
  auto c = std::make_shared<ScriptedChannel>();
  HVmsSDK::setChannel(c);
  return c;
}

void ScriptedChannel::openLoginWindow(HVmsSDK::LoginSuccess success,
                                      HVmsSDK::LoginFailure failure) {
  ++loginWindows;
  loginSuccess_ = std::move(success);
  loginFailure_ = std::move(failure);
}

void ScriptedChannel::completeLogin(const std::string& user, const std::string& sign,
                                    const std::string& realName) {
  auto success = std::move(loginSuccess_);
  loginSuccess_ = nullptr;
  userCentre_ = std::move(loginFailure_);
  loginFailure_ = nullptr;
  lastLoginSuccess_ = success;
  lastUser_ = user;
  lastSign_ = sign;
  lastRealName_ = realName;
  if (success) success("1700000000", user, sign, realName);
}

void ScriptedChannel::repeatLogin() {
  if (lastLoginSuccess_) lastLoginSuccess_("1700000000", lastUser_, lastSign_, lastRealName_);
}

void ScriptedChannel::repeatPay(bool success) {
  if (success && lastPaySuccess_) lastPaySuccess_(plat::Value("ok"), plat::Value());
  if (!success && lastPayFailure_) lastPayFailure_(plat::Value(), -1, plat::Value("failed"));
}

void ScriptedChannel::logoutFromUserCentre() {
  auto failure = std::move(userCentre_);
  userCentre_ = nullptr;
  if (failure) failure(-9, "logout");
}

void ScriptedChannel::failLogin(int64_t code, const std::string& message) {
  // The window stays up after a failure, as the channel's does.
  if (loginFailure_) loginFailure_(code, message);
}

void ScriptedChannel::sendLogout(std::function<void(bool)> done) {
  ++logouts;
  done(true);
}

void ScriptedChannel::sendRole(const plat::Dictionary&, std::function<void(bool)> done) {
  ++roles;
  done(true);
}

void ScriptedChannel::openCashier(const HVmsSDK::PayRequest& request, HVmsSDK::PaySuccess success,
                                  HVmsSDK::PayFailure failure) {
  ++cashiers;
  lastPay = request;
  paySuccess_ = std::move(success);
  payFailure_ = std::move(failure);
  lastPaySuccess_ = paySuccess_;
  lastPayFailure_ = payFailure_;
}

void ScriptedChannel::paySuccess() {
  auto s = std::move(paySuccess_);
  paySuccess_ = nullptr;
  payFailure_ = nullptr;
  if (s) s(plat::Value("ok"), plat::Value());
}

void ScriptedChannel::payFailure(int64_t code) {
  auto f = std::move(payFailure_);
  paySuccess_ = nullptr;
  payFailure_ = nullptr;
  if (f) f(plat::Value(), code, plat::Value("failed"));
}

}  // namespace testing_kite
