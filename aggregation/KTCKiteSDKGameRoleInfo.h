#pragma once
// KTCKiteSDKGameRoleInfo: the game's role as the aggregation SDK takes it. Setters normalise
// what they are given and getters apply defaults:
//   serverId, serverName, gameRoleName, gameRoleID, partyName, partyId: the value's text form;
//     nil or null leaves the field absent (never the text "(null)"), and getters give nil.
//   profession, professionId, partyRoleId, partyRoleName: "" for nil or null, else the text
//     form; nil until set.
//   creatTime: "" for nil or null; else the number in whole seconds ("%.0f"), a value whose
//     text has 11 or more characters being milliseconds. Reads "0" until set.
//   gameUserBalance, vipLevel, gameUserLevel, fightPower: kept as given; read "0" when nil or
//     null, else their text form. roleGender likewise, reading "男" by default.
// Plain value, not synchronized; made on the main thread.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class KTCKiteSDKGameRoleInfo {
 public:
  void setServerId(const plat::Value& v) { serverId_ = text(v); }
  void setServerName(const plat::Value& v) { serverName_ = text(v); }
  void setGameRoleName(const plat::Value& v) { gameRoleName_ = text(v); }
  void setGameRoleID(const plat::Value& v) { gameRoleID_ = text(v); }
  void setPartyName(const plat::Value& v) { partyName_ = text(v); }
  void setPartyId(const plat::Value& v) { partyId_ = text(v); }
  void setProfession(const plat::Value& v) { profession_ = textOrEmpty(v); }
  void setProfessionId(const plat::Value& v) { professionId_ = textOrEmpty(v); }
  void setPartyRoleId(const plat::Value& v) { partyRoleId_ = textOrEmpty(v); }
  void setPartyRoleName(const plat::Value& v) { partyRoleName_ = textOrEmpty(v); }
  void setCreatTime(const plat::Value& v);
  void setGameUserBalance(const plat::Value& v) { gameUserBalance_ = v; }
  void setVipLevel(const plat::Value& v) { vipLevel_ = v; }
  void setGameUserLevel(const plat::Value& v) { gameUserLevel_ = v; }
  void setFightPower(const plat::Value& v) { fightPower_ = v; }
  void setRoleGender(const plat::Value& v) { roleGender_ = v; }

  // Text fields: a string, or nil when never set.
  plat::Value serverId() const { return opt(serverId_); }
  plat::Value serverName() const { return opt(serverName_); }
  plat::Value gameRoleName() const { return opt(gameRoleName_); }
  plat::Value gameRoleID() const { return opt(gameRoleID_); }
  plat::Value partyName() const { return opt(partyName_); }
  plat::Value partyId() const { return opt(partyId_); }
  plat::Value profession() const { return opt(profession_); }
  plat::Value professionId() const { return opt(professionId_); }
  plat::Value partyRoleId() const { return opt(partyRoleId_); }
  plat::Value partyRoleName() const { return opt(partyRoleName_); }
  // Defaulted fields: always text.
  std::string creatTime() const { return creatTime_.value_or("0"); }
  std::string gameUserBalance() const { return orDefault(gameUserBalance_, "0"); }
  std::string vipLevel() const { return orDefault(vipLevel_, "0"); }
  std::string gameUserLevel() const { return orDefault(gameUserLevel_, "0"); }
  std::string fightPower() const { return orDefault(fightPower_, "0"); }
  std::string roleGender() const { return orDefault(roleGender_, "男"); }

  // The multi-line description used in log lines.
  std::string description() const;

 private:
  // Absent for nil or null: a missing value is never sent as its "(null)" text.
  static std::optional<std::string> text(const plat::Value& v) {
    if (v.isNil() || v.isNull()) return std::nullopt;
    return v.description();
  }
  static std::string textOrEmpty(const plat::Value& v) {
    return v.isNil() || v.isNull() ? std::string() : v.description();
  }
  static plat::Value opt(const std::optional<std::string>& s) {
    return s ? plat::Value(*s) : plat::Value();
  }
  static std::string orDefault(const plat::Value& v, const char* fallback) {
    return v.isNil() || v.isNull() ? std::string(fallback) : v.description();
  }

  std::optional<std::string> serverId_, serverName_, gameRoleName_, gameRoleID_, partyName_,
      partyId_, profession_, professionId_, partyRoleId_, partyRoleName_, creatTime_;
  plat::Value gameUserBalance_, vipLevel_, gameUserLevel_, fightPower_, roleGender_;
};
using KTCKiteSDKGameRoleInfoRef = std::shared_ptr<KTCKiteSDKGameRoleInfo>;
