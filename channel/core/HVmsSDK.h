#pragma once
// HVmsSDK: the channel SDK's entry. The aggregation layer's channel adapter reaches the
// channel SDK only through these class operations: start-up, the login window, logout, role
// reports, the cashier, incoming URLs and the orientation query.
//
// The screens and the channel server behind the entry (login window, update prompt, floating
// helper button, cashier, the "login/logout" and role calls, the payment SDK) are the
// channel's; they are reached through an HVmsSDK::Channel that the host or a test installs.
// Without one there is no window to open: the login and the cashier fail at once with
// kHVChannelUnavailableCode (the caller always hears back), and server calls fail.
//
// The session state the entry keeps (update URL, stored user name and password, login style,
// the channel's game id from "HV.plist") is process-wide.
//
// Threading: main thread only, as the channel SDK's screens; blocks are called on the main
// thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channel/core/HVSdkInitUtil.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

namespace plat {
class UIApplication;
class UIWindow;
}  // namespace plat

// Name of the notification posted when the box app hands back a quick login.
inline constexpr const char* kHVSendKiteLoginNotification = "SendKiteLogin";
// The failure code and message of a login or cashier asked for while no channel is installed.
inline constexpr int64_t kHVChannelUnavailableCode = -11;
inline constexpr const char* kHVChannelUnavailableMessage = "渠道SDK不可用";

class HVmsSDK {
 public:
  // (login time, user name, sign, real-name status)
  using LoginSuccess = std::function<void(const std::string&, const std::string&,
                                          const std::string&, const std::string&)>;
  // (code, message)
  using LoginFailure = std::function<void(int64_t, const std::string&)>;
  using RoleResult = std::function<void(int64_t)>;
  using PaySuccess = std::function<void(const plat::Value&, const plat::Value&)>;
  using PayFailure = std::function<void(const plat::Value&, int64_t, const plat::Value&)>;

  // What the cashier is opened with.
  struct PayRequest {
    std::string roleId;
    std::string serviceId;
    std::string money;  // decimal text
    std::string cpExtend;
    std::string productName;
    std::string productDesc;
  };

  // The channel's screens and server. Every operation has a default that does nothing (or,
  // for server calls, fails).
  class Channel {
   public:
    virtual ~Channel() = default;
    // The asynchronous start-up request; it may set an update URL (setUpdateURL).
    virtual void startUp() {}
    // Opens the login window; `success` once login, real-name, notice and sub-account are
    // done; `failure` for failed requests (the window stays up) and -9 for a later logout
    // from the user centre.
    virtual void openLoginWindow(LoginSuccess success, LoginFailure failure) {}
    virtual void showUpdatePrompt(const std::string& url) {}
    virtual void hideHelperButton() {}
    // Stops the online-time heartbeat timer when one runs.
    virtual void cancelOnlineTimeHeartbeat() {}
    // Sends "login/logout"; `done(true)` when the server accepted it.
    virtual void sendLogout(std::function<void(bool)> done) { done(false); }
    // The role call with "roleId", "roleName", "roleLevel", "zoneId", "zoneName", "ext".
    virtual void sendRole(const plat::Dictionary& fields, std::function<void(bool)> done) {
      done(false);
    }
    virtual void openCashier(const PayRequest& request, PaySuccess success, PayFailure failure) {}
    // A payment result URL (host "safepay") for the payment SDK.
    virtual void processPaymentResult(const plat::NSURLRef& url) {}
  };

  // Installs the channel (null: none).
  static void setChannel(std::shared_ptr<Channel> channel);
  // The installed channel, or one that does nothing (and whose server calls fail).
  static std::shared_ptr<Channel> channel();
  static bool hasChannel();

  // Start-up, handed over to HVSdkInitUtil: installs the channel SDK's shared URL cache
  // (kHVURLCacheMemoryCapacity and kHVURLCacheDiskCapacity, on disk under
  // Library/Caches/kHVURLCacheFolder), reads "HV.plist" (its "gameId" names the payment URL
  // scheme) and starts the channel's start-up request. Returns at once.
  static void didFinishLaunching();
  // With an update URL: `failed(-10, "SDK需要更新")` at once and the update prompt; otherwise
  // the login window. Without a channel: `failed(kHVChannelUnavailableCode,
  // kHVChannelUnavailableMessage)` at once.
  static void loadLoginViewResultSuccessFailed(LoginSuccess success, LoginFailure failed);
  // Hides the helper button, cancels the online-time heartbeat, sends the logout (on success the
  // stored user name becomes ""), sets the login style to 2. Returns before the server answers.
  static void LoginOut();
  // `block(2)` at once when one of the first five texts is empty; else the role call and
  // `block(1)` on success, `block(0)` on failure.
  static void SetUserInfoDataWithRoleIdRoleNameRoleLevelZoneIdZoneNameAttachBlock(
      const std::string& roleId, const std::string& roleName, const std::string& roleLevel,
      const std::string& zoneId, const std::string& zoneName, const std::string& attach,
      RoleResult block);
  // Opens the cashier and forwards its results. Without a channel: `faild(nil,
  // kHVChannelUnavailableCode, kHVChannelUnavailableMessage)` at once.
  static void loadToPayVCWithroleidMoneyServeridProductNameProductDescAttachSuccessFaild(
      const std::string& roleId, const std::string& money, const std::string& serverId,
      const std::string& productName, const std::string& productDesc, const std::string& attach,
      PaySuccess success, PayFailure faild);

  // Incoming URLs. Only the scheme "HalvikOrbPayScheme<game id>" is handled, and only once
  // start-up has read a game id (before, every URL is ignored): host "safepay" goes to the
  // payment SDK; a host containing "ZRK_KITE" split at "&" stores element 1 as the user name
  // and the last element as the password and posts "SendKiteLogin" (a host without "&" is
  // ignored). Anything else is ignored. A null URL is ignored.
  static void applicationHandleOpenURL(plat::UIApplication* application, const plat::NSURLRef& url);
  static void applicationOpenURLSourceApplicationAnnotation(plat::UIApplication* application,
                                                            const plat::NSURLRef& url,
                                                            const std::string& sourceApplication,
                                                            const plat::Value& annotation);
  static void applicationOpenURLOptions(plat::UIApplication* application, const plat::NSURLRef& url,
                                        const plat::Value& options);
  // From the Info.plist list "UISupportedInterfaceOrientations": 26 for portrait and
  // landscape entries, 2 for portrait alone, else 24.
  static int64_t applicationSupportedInterfaceOrientationsForWindow(
      plat::UIApplication* application, plat::UIWindow* window);

  // Session state.
  static std::string updateURL();
  static void setUpdateURL(const std::string& url);
  static std::string storedUserName();
  static std::string storedPassword();
  static int64_t loginStyle();  // 2 after a logout
  static std::string gameId();  // HVSdkInitUtil's

  // Forgets the channel and the session state.
  static void resetForTesting();
};
