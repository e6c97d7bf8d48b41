#pragma once
// KTCKiteRoleInfo: the game role as the channel adapter receives it. Every field is text.
// fightPower and roleCreatTime become "0" for nil or the null object, partyName and
// profession ""; any other value becomes its "%@" text (a number its decimal text). The
// other setters store the text as given. Not synchronized; made and read on the main thread.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class KTCKiteRoleInfo {
 public:
  std::string serverId, serverName, gameRoleName, gameRoleID, gameUserBalance, vipLevel,
      gameUserLevel;

  const std::string& partyName() const { return partyName_; }
  const std::string& roleCreatTime() const { return roleCreatTime_; }
  const std::string& fightPower() const { return fightPower_; }
  const std::string& profession() const { return profession_; }
  void setFightPower(const plat::Value& v);
  void setRoleCreatTime(const plat::Value& v);
  void setPartyName(const plat::Value& v);
  void setProfession(const plat::Value& v);

 private:
  std::string partyName_, roleCreatTime_, fightPower_, profession_;
};
using KTCKiteRoleInfoRef = std::shared_ptr<KTCKiteRoleInfo>;

// KTCKiteProductInfo: the order as the channel adapter receives it (plain fields).
class KTCKiteProductInfo {
 public:
  std::string goodsID, productName, productOrderID;
  uint64_t count = 0;
  float amount = 0;  // the amount to pay
  // The amount to pay exactly, in hundredths; the cashier charges it when set.
  std::optional<int64_t> amountCents;
  std::string callbackUrl, extrasParams;
  float price = 0;
  std::string quantifier, productDesc;
};
using KTCKiteProductInfoRef = std::shared_ptr<KTCKiteProductInfo>;
