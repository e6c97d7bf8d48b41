#pragma once
// SDKCooperater: the aggregation SDK's coordinator. It keeps the SDK's configuration and
// state flags, runs the start-up sequence once the network is there (server list, then the
// init request; plug-ins, anti-addiction settings and the channel adapter at once), and
// turns the channel adapter's "kKtcQC..." notifications into the game-side "kKtcQP..."
// notifications, checking every channel login with the aggregation server on the way (and
// issuing an offline token when the server refuses and the configuration has a "checkkey").
// A check answered after the channel logged out of that login fails the login, and so does an
// accepted check whose answer names no user. A repeated report of the login being checked
// starts no second check. Each logout and each login posted to the game
// starts a new session (sessionSerial); an answer that belongs to an ended session is not acted
// on.
//
// Threading: main thread only. Notifications are posted on the default centre, object nil,
// synchronously on the thread that delivered the causing event (the main thread); server
// answers arrive on the main queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aggregation/KTCKiteSDKInitConfigure.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Value.h"

namespace plat {
class UIWindow;
}

// Notifications toward the game.
inline constexpr const char* kKtcQPInitDidFinishedNotification =
    "kKtcQPInitDidFinishedNotification";
inline constexpr const char* kKtcQPLoginNotification = "kKtcQPLoginNotification";
inline constexpr const char* kKtcQPLogoutNotification = "kKtcQPLogoutNotification";
inline constexpr const char* kKtcQPNotiRecharge = "kKtcQPNotiRecharge";
inline constexpr const char* kKtcQPRealAuthNotification = "kKtcQPRealAuthNotification";
inline constexpr const char* kKtcQPLeavedNotification = "kKtcQPLeavedNotification";
inline constexpr const char* kKtcQPPauseOverNotification = "kKtcQPPauseOverNotification";

// Pay results toward the game for a failed payment ("error" and "msg").
inline constexpr int64_t kKtcQPPayFailedError = -400;
inline constexpr const char* kKtcQPPayParamsErrorMsg = "Pay params error";
inline constexpr const char* kKtcQPPayFailedMsg = "Pay failed";

// The user-defaults key of the stored anti-addiction settings.
inline constexpr const char* kKEY_AntiIndulge_KEY = "KEY_AntiIndulge_KEY";

// A connected scene as the presenting-window lookup reads it. The platform has no scenes:
// the host or a test supplies them (SDKCooperater::setConnectedScenesSource).
struct KTCConnectedScene {
  bool isWindowScene = true;
  bool foregroundActive = false;
  // Whether the scene's delegate offers a window, and that window (may be null).
  bool delegateOffersWindow = false;
  std::shared_ptr<plat::UIWindow> delegateWindow;
  std::vector<std::shared_ptr<plat::UIWindow>> windows;
};

// The identifier a server answer names (a user id, an order id): a text that is not empty nor
// white space alone, or an integer (of any size) as its digits. Anything else (missing, null,
// a container, a boolean, a fraction) names none. Any thread.
std::optional<std::string> KTCAnswerIdentifier(const plat::Value& v);

class SDKCooperater {
 public:
  static SDKCooperater& shareCooperater();
  // Program start: subscribes to the adapter's notifications and makes the network watcher
  // call beginKiteSDKInit when the network comes. Idempotent.
  static void load();
  // Unsubscribes, forgets the network watcher's handler and clears every field (tests).
  static void resetForTesting();

  bool isCheckLogining = false;
  bool isLogout = false;
  bool kiteOnlyFlag = false;
  bool isCallLogin = false;
  bool isInitSuccess = false;
  bool hasCallInit = false;
  bool stopCreateRole = false;
  bool isloginDisabled = false;
  bool initing = false;
  bool hasAddNotify = false;
  KTCKiteSDKInitConfigureRef platformCfg;
  plat::Value channelCfg;  // dictionary, or nil before start-up
  std::optional<std::string> lastUserToken;
  plat::Value kiteOnlyName;
  plat::Value launchOptions;
  plat::Value paramsDic;
  std::optional<std::string> stopCreateTime;

  void addPlatformNotifications();
  // The start-up sequence: only with the network available, start-up asked for, and not yet
  // begun.
  void beginKiteSDKInit();
  // Channel result code -> aggregation code: 0->0, -4->-10, -3->-2, -20->-20, -21->-301,
  // -22->-302, anything else -1.
  static int64_t errorCode(int64_t channelCode);
  // The channel's pay parameters ("" with this application's adapter).
  std::string getPaayParams() const;
  // Key window, else the application delegate's window, else the last normal-level window,
  // else (system version 13 and later) the window of the last foreground-active window scene
  // (its delegate's window when the delegate offers one, else its first window); null when
  // there is none.
  std::shared_ptr<plat::UIWindow> baseGetCurrentShowWindow() const;
  // The connected scenes, in the order the lookup visits them; none by default. Cleared by
  // resetForTesting. Main thread only.
  static void setConnectedScenesSource(std::function<std::vector<KTCConnectedScene>()> source);

  // Adapter notification handlers.
  void channelPlatformInitResult(const plat::NSNotification& note);
  void channelPlatformLoginResult(const plat::NSNotification& note);
  void channelPlatformLogoutResult(const plat::NSNotification& note);
  void channelPlatformRealAuthResult(const plat::NSNotification& note);
  void channelPlatformPayResult(const plat::NSNotification& note);
  void channelPlatformLeavedResult(const plat::NSNotification& note);
  void channelPlatformPauseOverResult(const plat::NSNotification& note);

  // Server answers (nil: no answer). `channelInfo` is the adapter's login user info.
  void handleInitAnswer(const plat::Value& answer);
  void handleLoginCheckAnswer(const plat::Value& answer, const plat::Value& channelInfo);
  // The answer to a check of a login that the channel has since logged out of: the login
  // fails (-3) and nothing of the answer is kept.
  void handleStaleLoginCheckAnswer(const plat::Value& answer);

  // The channel configuration as a dictionary (empty when there is none).
  plat::Dictionary channelConfig() const;

  // Changes with every channel logout and every successful login posted to the game: work
  // started under one value belongs to a session that has ended once it differs.
  uint64_t sessionSerial() const { return sessionSerial_; }
  // Whether the channel's current login is one the server's check accepted (and posted to the
  // game as a login): false before any, while a check is out, after a refused check and after
  // a logout.
  bool loginAccepted() const { return loginAccepted_; }
  // Posts "kKtcQPNotiRecharge" for a payment that failed before the channel's cashier: `error`
  // and `msg` as the pay result table gives them (-400 "Pay params error" or "Pay failed"), with
  // the game's order id when there is one.
  static void postPaymentFailure(int64_t error, const std::string& msg,
                                 const std::optional<std::string>& cpOrderId);

 private:
  SDKCooperater() = default;
  // Logs `logLine` (with `logArgument` when not empty) and posts the login notification.
  void postLogin(plat::Dictionary result, const plat::Value& channelInfo, const char* logLine,
                 const std::string& logArgument);
  std::vector<plat::NSNotificationCenter::ObserverToken> observers_;
  // Logouts and logins so far: a login check or an order answered under another value is
  // stale.
  uint64_t sessionSerial_ = 0;
  bool loginAccepted_ = false;
  // The channel login (user id, session token) whose check is out.
  std::pair<std::string, std::string> checkedLogin_;
};
