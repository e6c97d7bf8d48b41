#pragma once
// KTCKiteChannel: the aggregation layer's fixed binding to its one channel. The core asks it
// for the channel's identity and configuration and to initialise, log in, log out, report
// roles, pay, hand over URLs and answer the orientation query; it turns each request into a
// call of HVmsSDK and reports outcomes as "kKtcQC..." notifications. It keeps the channel
// session in KTCKiteChannelCooperater and the login page's flags in KiteChannelHelper.
//
// Threading: main thread only (the core calls it there and the channel SDK answers there);
// notifications are posted synchronously on the calling thread.

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "aggregation/channel/KTCKiteChannelCooperater.h"
#include "aggregation/channel/KTCKiteChannelNotifyInfo.h"
#include "aggregation/channel/KTCKiteRoleInfo.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

namespace plat {
class Class;
class UIApplication;
class UIWindow;
}  // namespace plat

// The forms of the adapter operations that the core forwards only when the adapter offers
// them (see KTCKiteChannel::runtimeClass): a hook of the class under the operation's name.
using KTCKiteChannelEventHook = std::function<int64_t(plat::UIApplication*)>;  // app events
using KTCKiteChannelPlaceHook = std::function<int64_t(int64_t)>;               // "showToolBar:"
using KTCKiteChannelActionHook = std::function<int64_t()>;    // "hideToolBar", "enterUserCenter",
                                                              // "pause", "enterBBS", "realAuth",
                                                              // "enterCustomerServiceCenter"
using KTCKiteChannelTextHook = std::function<std::string()>;  // "cpsChannelId", "getPaayParams"

// Where a cashier's result goes instead of being posted: the caller that opened that cashier,
// which posts it itself knowing whose it is.
using KTCKiteCashierReport = std::function<void(const KTCKiteChannelRechargeNotiInfo&)>;

// The key text of the encrypted channel configuration file (the adapter and the facade read
// it alike).
inline constexpr const char* kKiteChannelConfigKey = "kavortine";
// Logged when a configuration file that exists yields no entries.
inline constexpr const char* kKiteChannelConfigReadFailure = "KTLog:参数配置文件读取失败";

// The login page's two flags.
class KiteChannelHelper {
 public:
  static KiteChannelHelper& sharedInstance();
  // A login page was requested and no result that ends it has arrived.
  bool hasShowLogin = false;
  // The real-name status of the last login; "0" after a logout; nullopt before any login.
  std::optional<std::string> rzStatus;
};

class KTCKiteChannel {
 public:
  static KTCKiteChannel& defaultChannel();
  // The adapter's class in the runtime ("KTCKiteChannel"), registered on first use. The core
  // asks it which operations the adapter offers (respondsToHook, as the platform answers
  // respondsToSelector:) before it forwards one. This adapter offers "openURL:application:",
  // "openURL:sourceApplication:application:annotation:", "openURL:application:options:" and
  // "application:supportedInterfaceOrientationsForWindow:" (hooks holding true); another
  // operation is offered once a hook of its form (above) stands under its name, and the core
  // then forwards to that hook.
  static plat::Class* runtimeClass();
  // Whether the adapter offers `operation`.
  static bool offers(const std::string& operation);
  static std::any runtimeHook(const std::string& operation);
  // The hook of form F under `operation`, or an empty F when the adapter does not offer it in
  // that form.
  template <class F>
  static F hookFor(const std::string& operation);
  // Clears the adapter's, the cooperater's and the helper's state.
  static void resetForTesting();

  // Stores the configuration, starts the channel SDK and posts the init notification
  // (state 1) at once. Returns 0.
  int64_t initWithDictionaryApplicationDidFinishLaunchingWithOptions(const plat::Value& config,
                                                                     plat::UIApplication* app,
                                                                     const plat::Value& options);
  int64_t initWithDictionary(const plat::Value& dictionary) { return 0; }

  std::string channelName() const { return "蓝杉乐_iOS"; }
  std::string channelVersion() const { return "3.2"; }
  std::string frameworkVersion() const { return "v1"; }
  std::string appId() const { return ""; }
  std::string appKey() const { return ""; }
  std::string appName() const { return ""; }
  int64_t loginCheckLevel() const { return 1; }
  // The configuration's "channel_type" (from initialisation, else from the file); "977"
  // when neither has entries; nil when the file has entries but no "channel_type".
  plat::Value channelCode();

  // Opens the channel's login page unless one is already up. Returns 0. When the channel SDK
  // has no login page to open (kHVChannelUnavailableCode), the login fails at once:
  // "kKtcQCLoginNotification" with that code as "error".
  int64_t login();
  // Logs out of the channel and posts the logout. Returns 0.
  int64_t logout();
  // Calls `block` at once with the login state. Returns 0.
  int64_t isLogined(const std::function<void(bool)>& block);
  std::string userId() const;
  std::string userNick() const;
  std::string sessionId() const;
  // Store only non-empty texts; anything else is ignored.
  void updateUserId(const plat::Value& v);
  void updateUserNick(const plat::Value& v);
  void updateUserDict(const plat::Dictionary& d);
  void updatePayDict(const plat::Dictionary& d);
  // {"realName": bool, "age": 10 | 20 | -1, "realResumeGame": true, "other": ""}.
  plat::Dictionary realNameInfo() const;

  void updateRoleInfoWith(const KTCKiteRoleInfoRef& role) {
    updateRoleInfoWithIsCreate(role, false);
  }
  // Reports the role to the channel; the result is only logged.
  void updateRoleInfoWithIsCreate(const KTCKiteRoleInfoRef& role, bool isCreate);
  // Opens the channel's cashier for the product's exact amount (its float amount when it has
  // none); the cashier's first report, success or failure, is its recharge result (states 1
  // and 3), later ones are logged and dropped. The result goes to `report` when given, else it
  // is posted. Returns 0.
  int64_t buyOrderIdProductInfoRoleInfo(const std::string& orderId,
                                        const KTCKiteProductInfoRef& product,
                                        const KTCKiteRoleInfoRef& role,
                                        KTCKiteCashierReport report = {});

  // URL hand-offs to the channel SDK; each returns 0.
  int64_t openURLSourceApplicationApplicationAnnotation(const plat::NSURLRef& url,
                                                        const std::string& sourceApplication,
                                                        plat::UIApplication* app,
                                                        const plat::Value& annotation);
  int64_t openURLApplication(const plat::NSURLRef& url, plat::UIApplication* app);
  int64_t openURLApplicationOptions(const plat::NSURLRef& url, plat::UIApplication* app,
                                    const plat::Value& options);
  int64_t applicationSupportedInterfaceOrientationsForWindow(plat::UIApplication* app,
                                                             plat::UIWindow* window);

  // The configuration file "kiteChannel.cfg" of the main bundle: a property-list dictionary,
  // or else a DES-encrypted keyed archive of one. Empty when missing or unreadable; a file
  // that exists but yields no entries (unreadable too) logs "KTLog:参数配置文件读取失败".
  plat::Dictionary findConfigDict();
  // The bytes of "kiteChannel.cfg" when it is a regular file of the main bundle.
  // `exists` (when given) tells whether anything stands under that name.
  std::optional<plat::Data> configFileBytes(bool* exists = nullptr);
  // The configuration held by a configuration file's bytes (see findConfigDict).
  plat::Dictionary configDictFromData(const plat::Data& bytes);
  std::optional<plat::Data> DES128DecryptDataWithKey(const plat::Data& data,
                                                     const std::string& key);
  // "a=1&b=2" -> {"a": "1", "b": "2"}; a piece without "=" maps its text to itself.
  std::optional<plat::Dictionary> praramsDicFromAtEqualStr(const std::string& text);

  // Operations the channel does not support; this channel lists none.
  const plat::Array& unsupportedFunctionList() const { return unsupportedFunctionList_; }

 private:
  KTCKiteChannel() = default;
  plat::Array unsupportedFunctionList_;
};

template <class F>
F KTCKiteChannel::hookFor(const std::string& operation) {
  std::any hook = runtimeHook(operation);
  const F* f = std::any_cast<F>(&hook);
  return f ? *f : F();
}
