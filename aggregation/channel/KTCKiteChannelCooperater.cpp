#include "aggregation/channel/KTCKiteChannelCooperater.h"

KTCKiteChannelCooperater& KTCKiteChannelCooperater::defaultCooperater() {
  static auto* c = new KTCKiteChannelCooperater();
  return *c;
}

void KTCKiteChannelCooperater::resetForTesting() {
  isLogin = isOnLogin = false;
  channelCfgDic = plat::Value();
  orderId.clear();
  userExtInfo.clear();
  productInfo.reset();
  roleInfo.reset();
  userId.clear();
  userNick.clear();
  sessionId.clear();
  userDict.clear();
  payDict.clear();
}

void KTCKiteChannelCooperater::loginStateChange(const KTCKiteChanneLoginNotifyInfo& info) {
  if (info.state == 1) {
    isLogin = true;
  } else if (info.state == 2) {
    isLogin = false;
  } else {
    return;
  }
  userNick = info.userNick.value_or("");
  userId = info.uid.value_or("");
  sessionId = info.sessionId.value_or("");
  KTCPostChannelNotification(info);
}

void KTCKiteChannelCooperater::updateLoginInfo(const KTCKiteChanneLoginNotifyInfo& info) {
  userId = info.uid.value_or("");
  userNick = info.userNick.value_or("");
  sessionId = info.sessionId.value_or("");
  isLogin = info.state == 1;
}

int64_t KTCKiteChannelCooperater::intValueToInterfaceOrientationMask(const plat::Value& config) {
  struct Key {
    const char* name;
    int64_t bit;
  };
  static const Key keys[] = {{"orientationPotrait", 2},
                             {"orientationPotraitDown", 4},
                             {"orientationHomeLeft", 16},
                             {"orientationHomeRight", 8}};
  auto text = [&](const char* k) -> std::optional<std::string> {
    const plat::Value& v = config[k];
    if (v.isString()) return *v.string();
    if (v.isNumber()) return v.description();
    return std::nullopt;
  };
  bool allZero = true;
  for (auto& k : keys) {
    auto t = text(k.name);
    if (!t || *t != "0") allZero = false;
  }
  if (allZero) return 30;
  int64_t mask = 0;
  for (auto& k : keys) {
    auto t = text(k.name);
    if (t && *t == "1") mask += k.bit;
  }
  return mask;
}

int64_t KTCKiteChannelCooperater::interfaceOrientationMaskToInterfaceOrientation(int64_t mask) {
  if (mask & (8 | 16)) return 3;
  if (mask & 2) return 1;
  if (mask & 4) return 2;
  return 3;
}

int64_t KTCKiteChannelCooperater::countOfUIinterfaceOrientationMask(int64_t mask) {
  int64_t n = 0;
  for (int64_t bit : {2, 4, 8, 16})
    if (mask & bit) ++n;
  return n;
}
