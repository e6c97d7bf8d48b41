#pragma once
// KiteSDKInterface: the object through which the script bridge drives the aggregation SDK.
// It turns bridge commands and the page's JSON into calls of KTCKiteSDK, and the SDK's
// login, logout and pay notifications into JSON texts handed to plain callbacks registered
// by id (1401 login, 1402 logout, 1403 pay). The callback slots are process-wide: the last
// registration wins whatever interface object received it.
//
// Page JSON whose top level, "orderInfo" or "roleInfo" is not an object counts as missing;
// a "count" or "isCreate" of another kind than a number, text or boolean counts as 0 / NO,
// and a negative "count" as 0. An "amount" is a number or a text that is wholly a number;
// anything else is no amount (KTCKiteSDKPayOrderInfo::setAmount), and a Pay without a usable
// order or amount is refused as a parameter error.
//
// Threading: main thread only. Callbacks are called synchronously on the thread that posts
// the notification (the main thread).

#include <cstdint>
#include <string>
#include <vector>

#include "aggregation/KTCKiteSDKInitConfigure.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {
class UIApplication;
}

// A callback: one NUL-terminated UTF-8 JSON text, or null.
using KiteSDKCallback = void (*)(const char* json);

inline constexpr int kKiteSDKLoginCallbackId = 1401;
inline constexpr int kKiteSDKLogoutCallbackId = 1402;
inline constexpr int kKiteSDKPayCallbackId = 1403;

class KiteSDKInterface : public plat::Object {
 public:
  KiteSDKInterface() = default;
  ~KiteSDKInterface() override;
  std::string className() const override { return "KiteSDKInterface"; }

  // Subscribes, keeps the arguments and starts the SDK with the product key and code.
  void InitWithApplicationOptionsProductKeyProductCode(plat::UIApplication* application,
                                                       const plat::Value& options,
                                                       const plat::Value& productKey,
                                                       const plat::Value& productCode);
  // Subscribes the login, logout and pay notifications the first time.
  void InitSDK();
  // Empties the callback slots, drops every subscription and ends the orders still waiting
  // for the server (EndPendingOrders).
  void ReleaseSDK();
  // Ends the orders of the page that is going away, as ReleaseSDK does, and nothing else:
  // those still waiting for the server open no cashier, and no result of theirs (nor of a
  // cashier already open for them) reaches a later page (KTCKiteSDK::endPendingOrders).
  void EndPendingOrders();
  // 1401, 1402, 1403: stores the callback (replacing any), true. Other ids: false.
  static bool RegCBCallback(int id, KiteSDKCallback callback);
  static bool UnregCB(int id);
  // -1 until the first init-finished notification, then 0; 1 when start-up answered non-zero.
  int32_t GetInitResult() const { return initResult_; }
  void ReInit();
  // The facade's answer (KTCKiteSDK::login, logout), which the page never sees: the plugin
  // reads from it whether an outcome is still to come (not for -5 and -4 respectively).
  int64_t Login();
  int64_t Logout();
  void SetGameRoleInfo(const std::optional<std::string>& json);
  void Pay(const std::optional<std::string>& json);
  int32_t GetChannelType();

  void HandleInit(const plat::NSNotification& note);
  void HandleLogin(const plat::NSNotification& note);
  void HandleLogout(const plat::NSNotification& note);
  void HandlePay(const plat::NSNotification& note);
  static void OnLogin(const std::optional<std::string>& text);
  static void OnLogout(const std::optional<std::string>& text);
  static void OnPay(const std::optional<std::string>& text);

  bool hasInitSDK() const { return hasInitSDK_; }

 private:
  void subscribe(const char* name, void (KiteSDKInterface::*handler)(const plat::NSNotification&));
  bool hasInitSDK_ = false;
  int32_t initResult_ = -1;
  plat::UIApplication* application_ = nullptr;
  plat::Value options_;
  KTCKiteSDKInitConfigureRef cfg_;
  std::vector<plat::NSNotificationCenter::ObserverToken> observers_;
};
