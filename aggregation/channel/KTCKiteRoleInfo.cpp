#include "aggregation/channel/KTCKiteRoleInfo.h"

#include "platform/foundation/Format.h"

namespace {
std::string normalised(const plat::Value& v, const char* fallback) {
  if (v.isNil() || v.isNull()) return fallback;
  return plat::format("%@", v);
}
}  // namespace

void KTCKiteRoleInfo::setFightPower(const plat::Value& v) { fightPower_ = normalised(v, "0"); }
void KTCKiteRoleInfo::setRoleCreatTime(const plat::Value& v) { roleCreatTime_ = normalised(v, "0"); }
void KTCKiteRoleInfo::setPartyName(const plat::Value& v) { partyName_ = normalised(v, ""); }
void KTCKiteRoleInfo::setProfession(const plat::Value& v) { profession_ = normalised(v, ""); }
