#pragma once
// KTCKiteSDK: the public face of the aggregation SDK. The application delegate forwards every
// application event to it and the bridge-facing interface drives it for start-up, login,
// role reports and payment. It keeps no state of its own beyond the last entered role:
// configuration and flags live in SDKCooperater, channel work goes to KTCKiteChannel,
// plug-ins are reached through PlugManager and device facts through KMDevice.
//
// Operations that forward to the channel adapter answer 0 (the adapter answered 0), -1 (it
// answered otherwise) or -100 (the adapter lacks the operation). What the adapter offers is
// asked of its runtime class (KTCKiteChannel::offers): this application's adapter offers the
// three URL forms and the orientation query among the forwarded events; the application
// events, the tool bar, the user centre, real-name verification and the cps channel id are
// forwarded to the adapter's hooks when it offers them.
//
// Threading: main thread only. The shared instance is made once, thread-safely.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "aggregation/KTCKiteSDKGameRoleInfo.h"
#include "aggregation/KTCKiteSDKInitConfigure.h"
#include "aggregation/KTCKiteSDKPayOrderInfo.h"
#include "aggregation/channel/KTCKiteChannelNotifyInfo.h"
#include "aggregation/channel/KTCKiteRoleInfo.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

namespace plat {
class UIApplication;
class UIWindow;
}  // namespace plat

// The cashiers opened and not yet answered, each under a serial of its own with the order id,
// the game's order id and the scope (page and session) it opened under. A cashier's report is
// matched by its serial, never by the server's order id alone: a cashier forgotten here has no
// booking, whatever the server later gives its id to. One order id still books one cashier at a
// time. Past kLimit the one opened longest ago is forgotten.
class KTCCashierOrders {
 public:
  static constexpr size_t kLimit = 64;
  struct Booking {
    uint64_t serial;
    std::string orderId, cpOrderId;
    uint64_t scope;
  };
  // Books a cashier and answers its serial (never 0, never given twice); nullopt, booking
  // nothing, while a cashier for `orderId` is booked (whatever its scope).
  std::optional<uint64_t> opened(const std::string& orderId, const std::string& cpOrderId,
                                 uint64_t scope);
  // The booking of cashier `serial`, forgetting it; nullopt when it is not (or no longer) held.
  std::optional<Booking> take(uint64_t serial);
  void clear() { orders_.clear(); }

 private:
  std::deque<Booking> orders_;  // oldest first
  uint64_t lastSerial_ = 0;
};

class KTCKiteSDK {
 public:
  static KTCKiteSDK& defaultInstance();
  // Forgets the last entered role (tests).
  static void resetForTesting();

  // --- start-up and configuration
  // Runs once per process (later calls answer 0 and change nothing): reads "kiteChannel.cfg",
  // lets its "product_code"/"product_key" replace the configuration's, hands everything to
  // the coordinator and begins its start-up sequence. Returns 0.
  int64_t initWithConfigApplicationDidFinishLaunchingWithOptions(
      const KTCKiteSDKInitConfigureRef& config, plat::UIApplication* application,
      const plat::Value& launchOptions);
  // The channel configuration's value for `key` (read from the file when asked before
  // start-up); nil when absent.
  plat::Value getConfigValue(const std::string& key);
  std::optional<plat::Data> DES128DecryptDataWithKey(const plat::Data& data,
                                                     const std::string& key);
  // Calls the plug-ins of that name with (channel configuration, params...), the array ending
  // at the first absent element (so it is empty before start-up). Returns 0.
  int64_t callPlugParams(const std::string& name, const plat::Array& params);

  // --- application events (forwarding rule)
  int64_t applicationWillResignActive(plat::UIApplication* application);
  int64_t applicationDidEnterBackground(plat::UIApplication* application);
  int64_t applicationWillEnterForeground(plat::UIApplication* application);
  int64_t applicationDidBecomeActive(plat::UIApplication* application);
  int64_t applicationWillTerminate(plat::UIApplication* application);
  // Stores the token's Base64 text, tells the plug-ins, then forwards.
  int64_t applicationDidRegisterForRemoteNotificationsWithDeviceToken(
      plat::UIApplication* application, const plat::Data& token);
  int64_t applicationDidFailToRegisterForRemoteNotificationsWithError(
      plat::UIApplication* application, const plat::NSErrorRef& error);
  int64_t applicationDidReceiveRemoteNotification(plat::UIApplication* application,
                                                  const plat::Value& userInfo);
  int64_t openURLApplication(const plat::NSURLRef& url, plat::UIApplication* application);
  int64_t openURLSourceApplicationApplicationAnnotation(const plat::NSURLRef& url,
                                                        const std::string& sourceApplication,
                                                        plat::UIApplication* application,
                                                        const plat::Value& annotation);
  int64_t openURLApplicationOptions(const plat::NSURLRef& url, plat::UIApplication* application,
                                    const plat::Value& options);
  // The adapter's orientation mask.
  int64_t applicationSupportedInterfaceOrientationsForWindow(plat::UIApplication* application,
                                                             plat::UIWindow* window);
  // Handed to the adapter when it offers the operation (this one does not). Answers true.
  bool applicationContinueUserActivityRestorationHandler(
      plat::UIApplication* application, const plat::Value& userActivity,
      const std::function<void(const plat::Array& restorableObjects)>& restorationHandler);
  bool isFunctionSupported(const std::string& selectorName);
  bool isFunctionTypeSupported(int64_t type);
  // The adapter's callFunction:args: answer for `type` and `args`; -100 when it lacks the
  // operation (this one does).
  int64_t callFunction(int64_t type, const plat::Array& args = {});
  // Forwarded to the adapter's callSpecifyFunction:parameters: (forwarding rule).
  int64_t callChannelSpecifyFunctionParameters(int64_t function, const plat::Value& parameters);
  int64_t enterUserCenter();
  // Calls the plug-in "CustomerServiceIOS" with ("1", parameter). Returns 0.
  int64_t enterYunKeFuCenter(const plat::Value& parameter);
  // Handed to the adapter when it offers sharing (this one does not). Returns 0.
  int64_t callSDKShare(const KTCKiteSDKShareInfoRef& share);
  // Handed to the adapter when it offers the operation (this one does not).
  void Getlocalized(const plat::Value& object);
  int64_t showToolBar(int64_t place);
  int64_t hideToolBar();
  void setChannelOrientation(int64_t mask) {}
  // Handed to the adapter when it offers the operation (this one does not).
  void setAutoRotation(bool autoRotation);

  // --- device and channel information
  std::string getDeviceID();
  void resetDeviceID();
  std::string channelName();
  std::string channelVersion();
  // The adapter's channel code as an integer.
  int64_t channelType();
  std::string SDKVersion() const { return "2.5.4"; }
  std::string cpsChannelId() const;

  // --- account
  // 0 (asked, or deferred until initialisation), -4 (a login check is outstanding) or -5
  // (login disabled by the server; an alert says so).
  int64_t login();
  // -4 while a login check is outstanding; else the adapter's mapped answer.
  int64_t logout();
  std::string userId();
  // The adapter's nick, or its user id when the nick is empty.
  std::string userNick();
  // The token of the last verified login; nullopt before any.
  std::optional<std::string> userToken();
  // {"age", "realName", "resumeGame", "other"}.
  plat::Dictionary realNameInfo();
  // The adapter's real-name verification (forwarding rule): -100 when not offered.
  int64_t realAuth();
  int64_t userType() const { return 0; }
  int64_t getChannelUserLoginType() const;
  plat::Dictionary getChannelUserExtInfo() const { return {}; }

  // --- roles
  void updateRoleInfoWithIsCreate(const KTCKiteSDKGameRoleInfoRef& role, bool isCreate);
  void updateRoleInfoWith(const KTCKiteSDKGameRoleInfoRef& role);
  void createRole(const KTCKiteSDKGameRoleInfoRef& role) { updateRoleInfoWith(role); }
  void enterGame(const KTCKiteSDKGameRoleInfoRef& role) { updateRoleInfoWith(role); }
  void updateRole(const KTCKiteSDKGameRoleInfoRef& role) { updateRoleInfoWith(role); }
  // The role most recently entered through updateRoleInfoWithIsCreate (null before any).
  KTCKiteSDKGameRoleInfoRef lastEnteredRole() const { return lastRole_; }

  // --- payment
  // Normalises the order, asks the server for an order and then the adapter to pay. The
  // outcome arrives as "kKtcQPNotiRecharge", once. Returns 0.
  // A missing order, one whose amount is not a positive whole number of hundredths (or more
  // than a JSON number carries exactly), or one made without a player whose login the
  // server's check accepted (nobody logged in to the channel, a check still out, a refused
  // check), is refused before any request: -1, and "kKtcQPNotiRecharge" with "Pay params
  // error". The order server and the cashier get the amount's exact hundredths. A refused or
  // unanswered order, an accepted order without a usable order id, or one answered after its
  // session ended (a logout, another login), opens no cashier and posts "Pay failed", as does
  // one whose order id the server already gave to a cashier still open (a retry or duplicate on
  // its side): each cashier reports to its own Pay. One answered after endPendingOrders opens no
  // cashier and posts nothing.
  int64_t payOrderInfoRoleInfo(const KTCKiteSDKPayOrderInfoRef& order,
                               const KTCKiteSDKGameRoleInfoRef& role);
  // Ends the orders of the page that is going away: those still waiting for the server's
  // answer open no cashier, and neither they nor the cashiers already open are reported to a
  // later page.
  void endPendingOrders() { ++orderGeneration_; }
  // Whether the recharge result being posted, naming `orderId` (the server's order id) and
  // `cpOrderId`, is the report of a cashier booked here and for the current page and session,
  // forgetting that cashier. False for a result no cashier of this facade is reporting, the
  // report of a cashier already answered or forgotten past the book's bound (even when its
  // order id has been booked again since), one naming other orders than its cashier opened
  // for, one whose page has gone and one from another session (a logout, another login).
  bool takeCashierResult(const std::string& orderId, const std::string& cpOrderId);
  // The order answer's handling (the second half of a payment); `session` is the
  // coordinator's sessionSerial when the order was asked for.
  void handleOrderAnswer(const plat::Value& answer, const KTCKiteSDKPayOrderInfoRef& order,
                         const KTCKiteSDKGameRoleInfoRef& role,
                         const KTCKiteProductInfoRef& product,
                         const KTCKiteRoleInfoRef& channelRole, uint64_t session);
  // The payment age check against the stored anti-addiction settings.
  void payAntiIndulgeProductInfoRoleInfoOrderInfo(const std::string& orderId,
                                                  const KTCKiteProductInfoRef& product,
                                                  const KTCKiteRoleInfoRef& role,
                                                  const KTCKiteSDKPayOrderInfoRef& order);
  // Whether a payment of `amount` with `total` paid before is blocked at `age`.
  static bool payBlockedForAge(int64_t age, double amount, int64_t total);
  KTCKiteProductInfoRef getProductInfoWithInfo(const KTCKiteSDKPayOrderInfoRef& order);
  KTCKiteRoleInfoRef getChannelRoleInfoWith(const KTCKiteSDKGameRoleInfoRef& role);

 private:
  KTCKiteSDK() = default;
  plat::Dictionary readChannelConfig(bool plainNeedsMarker);
  KTCKiteSDKGameRoleInfoRef lastRole_;
  // Books the cashier for `orderId` under the current scope, then has the adapter open it,
  // its result coming back to cashierReported with its serial; posts "Pay failed" instead
  // while another cashier is booked under that id.
  void openCashier(const std::string& orderId, const KTCKiteProductInfoRef& product,
                   const KTCKiteRoleInfoRef& role);
  // Posts cashier `serial`'s result for the coordinator, which asks takeCashierResult whose
  // it is while the post lasts.
  void cashierReported(uint64_t serial, const KTCKiteChannelRechargeNotiInfo& info);
  // The scope of the current page and session: changes whenever either has.
  uint64_t currentScope();
  // Changes with endPendingOrders: an order answered under another value is dropped.
  uint64_t orderGeneration_ = 0;
  std::pair<uint64_t, uint64_t> scopeKey_{0, 0};  // (orderGeneration_, sessionSerial)
  uint64_t scope_ = 0;
  KTCCashierOrders cashierOrders_;
  // The cashier whose result is being posted (0: none).
  uint64_t reportingCashier_ = 0;
};
