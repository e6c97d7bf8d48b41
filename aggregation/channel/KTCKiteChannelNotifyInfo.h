#pragma once
// The channel adapter's notifications to the aggregation core ("kKtcQC..."), and the payload
// classes that give each its name and user info. Every one is posted on the default centre
// with object nil, synchronously on the posting thread (the main thread).
//
// A payload field that is nil (std::nullopt) leaves its key out of the user info.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

inline constexpr const char* kKtcQCInitDidFinishedNotification = "kKtcQCInitDidFinishedNotification";
inline constexpr const char* kKtcQCLoginNotification = "kKtcQCLoginNotification";
inline constexpr const char* kKtcQCLogoutNotification = "kKtcQCLogoutNotification";
inline constexpr const char* kKtcQCRechargeResultNotification = "kKtcQCRechargeResultNotification";
inline constexpr const char* kKtcQCRealAuthNotification = "kKtcQCRealAuthNotification";
inline constexpr const char* kKtcQCLeavedNotification = "kKtcQCLeavedNotification";
inline constexpr const char* kKtcQCPauseDidExitNotification = "kKtcQCPauseDidExitNotification";

// Posts name / user info of a payload with object nil.
template <class Payload>
void KTCPostChannelNotification(const Payload& payload);

// Initialisation finished: state 1 success, anything else failure.
class KTCKitechannelInitNotifyInfo {
 public:
  // state 1, message "init message".
  static std::shared_ptr<KTCKitechannelInitNotifyInfo> info();
  static std::shared_ptr<KTCKitechannelInitNotifyInfo> successInfo();

  int64_t state = 1;
  std::optional<std::string> message;

  std::string getNotifyName() const;
  // {"error": 0, "msg": "channel init success"} for state 1, else
  // {"error": -1, "msg": "channel init fail"}.
  plat::Dictionary getNotifyDic() const;
};

// Login (state 1) or logout (any other state).
class KTCKiteChanneLoginNotifyInfo {
 public:
  // state 1; uid, userNick, sessionId "".
  static std::shared_ptr<KTCKiteChanneLoginNotifyInfo> info();
  // The same with state 2.
  static std::shared_ptr<KTCKiteChanneLoginNotifyInfo> zhuxiaoInfo();

  int64_t state = 1;
  std::optional<std::string> uid, userNick, sessionId, message;

  std::string getNotifyName() const;
  // State 1: "error" 0, "msg" "login success", "userId" and "sessionId" when non-empty.
  // Otherwise {"error": 0, "msg": "logout"}.
  plat::Dictionary getNotifyDic() const;
};

// A payment's outcome: state 1 success, 2 cancelled, 3 failed.
class KTCKiteChannelRechargeNotiInfo {
 public:
  // state 1, the three ids "", message "recharge message".
  static std::shared_ptr<KTCKiteChannelRechargeNotiInfo> info();

  int64_t state = 1;
  std::optional<std::string> message, kiteSDKOrderID, cpOrderID, channelSDKOrderID;

  std::string getNotifyName() const;
  // "msg", "orderId", "cpOrderId", "sdkOrderId" and "error" (0 for state 1, -32 for 2,
  // -31 otherwise).
  plat::Dictionary getNotifyDic() const;
};

#include "platform/dispatch/NSNotificationCenter.h"

template <class Payload>
void KTCPostChannelNotification(const Payload& payload) {
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      payload.getNotifyName(), plat::Value(), plat::Value(payload.getNotifyDic()));
}
