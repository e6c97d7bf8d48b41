#include "aggregation/KTCKiteSDKGameRoleInfo.h"

#include "platform/foundation/Format.h"

void KTCKiteSDKGameRoleInfo::setCreatTime(const plat::Value& v) {
  if (v.isNil() || v.isNull()) {
    creatTime_ = "";
    return;
  }
  double seconds = v.doubleValue();
  // A text of 11 or more characters is a millisecond time stamp.
  if (v.description().size() >= 11) seconds /= 1000;
  creatTime_ = plat::format("%.0f", seconds);
}

std::string KTCKiteSDKGameRoleInfo::description() const {
  return plat::format(
      "角色信息:\n服务器ID:%@\n服务器名称:%@\n角色名:%@\n角色ID:%@\n虚拟货品余额:%@\nVIP等级:%@\n"
      "玩家等级:%@\n公会名称:%@\n公会id:%@\n公会角色id:%@\n公会角色名:%@\n职业名称:%@\n职业id:%@\n"
      "角色性别:%@\n角色战力值:%@\n角色创建时间:%@",
      serverId(), serverName(), gameRoleName(), gameRoleID(), gameUserBalance(), vipLevel(),
      gameUserLevel(), partyName(), partyId(), partyRoleId(), partyRoleName(), profession(),
      professionId(), roleGender(), fightPower(), creatTime());
}
