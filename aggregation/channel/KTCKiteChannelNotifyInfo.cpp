#include "aggregation/channel/KTCKiteChannelNotifyInfo.h"

namespace {
void setIfPresent(plat::Dictionary& d, const char* key, const std::optional<std::string>& v) {
  if (v) d.set(key, *v);
}
}  // namespace

std::shared_ptr<KTCKitechannelInitNotifyInfo> KTCKitechannelInitNotifyInfo::info() {
  auto p = std::make_shared<KTCKitechannelInitNotifyInfo>();
  p->state = 1;
  p->message = "init message";
  return p;
}
std::shared_ptr<KTCKitechannelInitNotifyInfo> KTCKitechannelInitNotifyInfo::successInfo() {
  return info();
}
std::string KTCKitechannelInitNotifyInfo::getNotifyName() const {
  return kKtcQCInitDidFinishedNotification;
}
plat::Dictionary KTCKitechannelInitNotifyInfo::getNotifyDic() const {
  if (state == 1) return plat::Dictionary{{"error", 0}, {"msg", "channel init success"}};
  return plat::Dictionary{{"error", -1}, {"msg", "channel init fail"}};
}

std::shared_ptr<KTCKiteChanneLoginNotifyInfo> KTCKiteChanneLoginNotifyInfo::info() {
  auto p = std::make_shared<KTCKiteChanneLoginNotifyInfo>();
  p->state = 1;
  p->uid = p->userNick = p->sessionId = std::string();
  return p;
}
std::shared_ptr<KTCKiteChanneLoginNotifyInfo> KTCKiteChanneLoginNotifyInfo::zhuxiaoInfo() {
  auto p = info();
  p->state = 2;
  return p;
}
std::string KTCKiteChanneLoginNotifyInfo::getNotifyName() const {
  return state == 1 ? kKtcQCLoginNotification : kKtcQCLogoutNotification;
}
plat::Dictionary KTCKiteChanneLoginNotifyInfo::getNotifyDic() const {
  plat::Dictionary d;
  d.set("error", 0);
  if (state != 1) {
    d.set("msg", "logout");
    return d;
  }
  d.set("msg", "login success");
  if (uid && !uid->empty()) d.set("userId", *uid);
  if (sessionId && !sessionId->empty()) d.set("sessionId", *sessionId);
  return d;
}

std::shared_ptr<KTCKiteChannelRechargeNotiInfo> KTCKiteChannelRechargeNotiInfo::info() {
  auto p = std::make_shared<KTCKiteChannelRechargeNotiInfo>();
  p->state = 1;
  p->kiteSDKOrderID = p->cpOrderID = p->channelSDKOrderID = std::string();
  p->message = "recharge message";
  return p;
}
std::string KTCKiteChannelRechargeNotiInfo::getNotifyName() const {
  return kKtcQCRechargeResultNotification;
}
plat::Dictionary KTCKiteChannelRechargeNotiInfo::getNotifyDic() const {
  plat::Dictionary d;
  setIfPresent(d, "msg", message);
  setIfPresent(d, "orderId", kiteSDKOrderID);
  setIfPresent(d, "cpOrderId", cpOrderID);
  setIfPresent(d, "sdkOrderId", channelSDKOrderID);
  d.set("error", state == 1 ? 0 : (state == 2 ? -32 : -31));
  return d;
}
