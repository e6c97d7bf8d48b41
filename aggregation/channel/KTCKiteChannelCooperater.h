#pragma once
// KTCKiteChannelCooperater: the channel session (login state, account, configuration, the
// payment under way) and the relay that turns login-state payloads into notifications.
// Main thread only.

#include <cstdint>
#include <memory>
#include <string>

#include "aggregation/channel/KTCKiteChannelNotifyInfo.h"
#include "aggregation/channel/KTCKiteRoleInfo.h"
#include "platform/foundation/Value.h"

class KTCKiteChannelCooperater {
 public:
  static KTCKiteChannelCooperater& defaultCooperater();
  void resetForTesting();

  bool isLogin = false;
  bool isOnLogin = false;
  plat::Value channelCfgDic;  // the channel configuration, nil before initialisation
  std::string orderId;
  plat::Dictionary userExtInfo;
  KTCKiteProductInfoRef productInfo;
  KTCKiteRoleInfoRef roleInfo;
  std::string userId, userNick, sessionId;
  plat::Dictionary userDict, payDict;

  // State 1 logs in, 2 logs out (anything else: nothing happens); copies the account fields
  // and posts the payload's notification.
  void loginStateChange(const KTCKiteChanneLoginNotifyInfo& info);
  // Copies the account fields and sets isLogin for state 1; posts nothing.
  void updateLoginInfo(const KTCKiteChanneLoginNotifyInfo& info);
  void addNotifications() {}

  // Orientation masks from the configuration's "orientationPotrait",
  // "orientationPotraitDown", "orientationHomeLeft", "orientationHomeRight": 30 when all four
  // are "0", else the sum of 2, 4, 16 and 8 for those equal to "1".
  static int64_t intValueToInterfaceOrientationMask(const plat::Value& config);
  // Bit 8 or 16 -> 3, else bit 2 -> 1, else bit 4 -> 2, else 3.
  static int64_t interfaceOrientationMaskToInterfaceOrientation(int64_t mask);
  static int64_t countOfUIinterfaceOrientationMask(int64_t mask);

 private:
  KTCKiteChannelCooperater() = default;
};
