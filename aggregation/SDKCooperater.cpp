#include "aggregation/SDKCooperater.h"

#include "aggregation/AlertTool.h"
#include "aggregation/KMDevice.h"
#include "aggregation/KMNetWorkUtil.h"
#include "aggregation/KTCKiteSDK.h"
#include "aggregation/NSString+Extend.h"
#include "aggregation/NetworkManager.h"
#include "aggregation/PlugManager.h"
#include "aggregation/channel/KTCKiteChannel.h"
#include "aggregation/channel/KTCKiteChannelNotifyInfo.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr const char* kLoginSuccess = "login success";
constexpr const char* kLoginFail = "login fail";

void post(const char* name, const plat::Dictionary& info) {
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      name, plat::Value(), plat::Value(info));
}

const plat::Value& userInfoOf(const plat::NSNotification& note) { return note.userInfo; }

// Text form of an answer value as the platform writes it ("(null)" for a missing one).
std::string text(const plat::Value& v) { return v.description(); }

// Stands in the log for a secret (session ids, user tokens), as in the request line.
constexpr const char* kMaskedSecret = "***";

// A copy of `v` for the log in which the value at `path` (keys of nested dictionaries), when
// present, reads kMaskedSecret.
plat::Value maskedForLog(const plat::Value& v, const std::vector<std::string>& path,
                         size_t depth = 0) {
  const plat::Dictionary* d = v.dictionary();
  if (depth >= path.size() || !d || !d->contains(path[depth])) return v;
  plat::Dictionary copy = *d;
  copy.set(path[depth], depth + 1 == path.size()
                            ? plat::Value(kMaskedSecret)
                            : maskedForLog(d->get(path[depth]), path, depth + 1));
  return plat::Value(std::move(copy));
}

void showAlert(const std::string& message) {
  auto window = SDKCooperater::shareCooperater().baseGetCurrentShowWindow();
  if (!window) return;
  AlertTool::showAlertArrayWithTitleMessageActionButtonTitleArray(
      window->rootViewController(), "提示", message, [](int64_t) {}, {"确定"});
}

SDKCooperater*& instanceSlot() {
  static SDKCooperater* instance = nullptr;
  return instance;
}

std::function<std::vector<KTCConnectedScene>()>& scenesSource() {
  static auto* source = new std::function<std::vector<KTCConnectedScene>()>();
  return *source;
}

// The major number of the device's system version ("16.4" -> 16; 0 when unreadable).
int64_t systemMajorVersion() {
  return plat::Value(plat::DeviceProfile::current().systemVersion()).integerValue();
}

// The application object as plug-ins receive it: the bundle identifier, or "UIApplication"
// when the bundle has none, so that it is never absent.
std::string applicationPlugValue() {
  std::string id = plat::NSBundle::mainBundle()->bundleIdentifier();
  return id.empty() ? "UIApplication" : id;
}

}  // namespace

SDKCooperater& SDKCooperater::shareCooperater() {
  static std::once_flag once;
  std::call_once(once, [] { instanceSlot() = new SDKCooperater(); });
  return *instanceSlot();
}

void SDKCooperater::load() {
  SDKCooperater& c = shareCooperater();
  c.addPlatformNotifications();
  KMNetWorkUtil::setBeginInitHandler([] { SDKCooperater::shareCooperater().beginKiteSDKInit(); });
}

void SDKCooperater::resetForTesting() {
  SDKCooperater& c = shareCooperater();
  for (auto& token : c.observers_)
    plat::NSNotificationCenter::defaultCenter().removeObserver(token);
  c.observers_.clear();
  KMNetWorkUtil::setBeginInitHandler(nullptr);
  scenesSource() = nullptr;
  // The fields go back to their first state; the object itself stays.
  c.isCheckLogining = c.isLogout = c.kiteOnlyFlag = c.isCallLogin = c.isInitSuccess = false;
  c.hasCallInit = c.stopCreateRole = c.isloginDisabled = c.initing = c.hasAddNotify = false;
  c.platformCfg.reset();
  c.channelCfg = plat::Value();
  c.lastUserToken.reset();
  c.kiteOnlyName = plat::Value();
  c.launchOptions = plat::Value();
  c.paramsDic = plat::Value();
  c.stopCreateTime.reset();
  c.sessionSerial_ = 0;
  c.loginAccepted_ = false;
  c.checkedLogin_ = {};
}

void SDKCooperater::addPlatformNotifications() {
  plat::NSLog("KTLog:addchannelnotify %@",
              plat::format("<SDKCooperater: %p>", static_cast<void*>(this)));
  if (hasAddNotify) return;
  plat::NSLog("KTLog:addchannelnotifyresult");
  hasAddNotify = true;
  auto& center = plat::NSNotificationCenter::defaultCenter();
  auto add = [&](const char* name, void (SDKCooperater::*handler)(const plat::NSNotification&)) {
    observers_.push_back(center.addObserverForNameObjectQueueUsingBlock(
        name, plat::Value(), nullptr,
        [this, handler](const plat::NSNotification& note) { (this->*handler)(note); }));
  };
  add(kKtcQCInitDidFinishedNotification, &SDKCooperater::channelPlatformInitResult);
  add(kKtcQCLoginNotification, &SDKCooperater::channelPlatformLoginResult);
  add(kKtcQCLogoutNotification, &SDKCooperater::channelPlatformLogoutResult);
  add(kKtcQCRealAuthNotification, &SDKCooperater::channelPlatformRealAuthResult);
  add(kKtcQCRechargeResultNotification, &SDKCooperater::channelPlatformPayResult);
  add(kKtcQCLeavedNotification, &SDKCooperater::channelPlatformLeavedResult);
  add(kKtcQCPauseDidExitNotification, &SDKCooperater::channelPlatformPauseOverResult);
}

plat::Dictionary SDKCooperater::channelConfig() const {
  return channelCfg.dictionary() ? *channelCfg.dictionary() : plat::Dictionary();
}

void SDKCooperater::beginKiteSDKInit() {
  if (!KMNetWorkUtil::sharedInstance().networkAvialable() || !hasCallInit || initing) return;
  initing = true;
  plat::NSLog("KTLog:nethasworkbegininit");
  NetworkManager::sharedInstance().updateServerListWithChannelParamsHandler(paramsDic, [] {
    NetworkManager::sharedInstance().initInterface([](const plat::Value& answer) {
      SDKCooperater::shareCooperater().handleInitAnswer(answer);
    });
  });
  // The start-up configuration travels as a dictionary, the application as its name (it has
  // no value form here), so that the launch options follow them.
  plat::Dictionary cfg;
  if (platformCfg && platformCfg->productCode) cfg.set("productCode", *platformCfg->productCode);
  if (platformCfg && platformCfg->productKey) cfg.set("productKey", *platformCfg->productKey);
  PlugManager::sharedInstance()->willInit(KiteSDKPlugArgs(
      {channelCfg, plat::Value(cfg), plat::Value(applicationPlugValue()), launchOptions}));
  NetworkManager::sharedInstance().getAntiIndulgeMessage([](const plat::Value& answer) {
    // A failed fetch hands over nothing: the settings a previous run stored stay in force.
    if (!answer.dictionary()) return;
    auto defaults = plat::NSUserDefaults::standardUserDefaults();
    defaults->setObjectForKey(answer, kKEY_AntiIndulge_KEY);
    defaults->synchronize();
  });
  KTCKiteChannel& channel = KTCKiteChannel::defaultChannel();
  plat::NSLog("渠道SDK版本%@", channel.channelVersion());
  channel.initWithDictionaryApplicationDidFinishLaunchingWithOptions(
      paramsDic, &plat::UIApplication::sharedApplication(), launchOptions);
}

void SDKCooperater::handleInitAnswer(const plat::Value& answer) {
  std::string message = text(answer["error"]["message"]);
  std::string id = text(answer["error"]["id"]);
  if (id != "30001") return;
  isloginDisabled = true;
  showAlert(message);
}

int64_t SDKCooperater::errorCode(int64_t code) {
  switch (code) {
    case 0:
      return 0;
    case -4:
      return -10;
    case -3:
      return -2;
    case -20:
      return -20;
    case -21:
      return -301;
    case -22:
      return -302;
    default:
      return -1;
  }
}

std::string SDKCooperater::getPaayParams() const {
  auto hook = KTCKiteChannel::hookFor<KTCKiteChannelTextHook>("getPaayParams");
  return hook ? hook() : std::string();
}

std::shared_ptr<plat::UIWindow> SDKCooperater::baseGetCurrentShowWindow() const {
  auto& app = plat::UIApplication::sharedApplication();
  if (auto key = app.keyWindow()) return key;
  if (auto delegate = app.delegate()) {
    if (auto w = delegate->window()) return w;
  }
  auto windows = app.windows();
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    if ((*it)->windowLevel() == plat::UIWindowLevelNormal) return *it;
  }
  if (systemMajorVersion() < 13 || !scenesSource()) return nullptr;
  std::shared_ptr<plat::UIWindow> found;
  for (const auto& scene : scenesSource()()) {
    if (!scene.isWindowScene || !scene.foregroundActive) continue;
    if (scene.delegateOffersWindow) {
      found = scene.delegateWindow;
    } else {
      found = scene.windows.empty() ? nullptr : scene.windows.front();
    }
  }
  return found;
}

void SDKCooperater::setConnectedScenesSource(
    std::function<std::vector<KTCConnectedScene>()> source) {
  scenesSource() = std::move(source);
}

void SDKCooperater::channelPlatformInitResult(const plat::NSNotification& note) {
  const plat::Value& info = userInfoOf(note);
  PlugManager::sharedInstance()->initDone(KiteSDKPlugArgs({channelCfg, info}));
  if (info["error"].integerValue() != 0) {
    post(kKtcQPInitDidFinishedNotification, {{"error", -21}, {"msg", "init finish"}});
    plat::NSLog("KTLog:初始化失败");
    return;
  }
  post(kKtcQPInitDidFinishedNotification, {{"error", 0}, {"msg", "init finish"}});
  plat::NSLog("KTLog:初始化成功");
  isInitSuccess = true;
  if (isCallLogin) {
    KTCKiteSDK::defaultInstance().login();
    isCallLogin = false;
  }
}

void SDKCooperater::channelPlatformLoginResult(const plat::NSNotification& note) {
  plat::Value info = userInfoOf(note);
  plat::NSLog("KTLog:channelloginresult=%@", maskedForLog(info, {"sessionId"}));
  int64_t channelError = info["error"].integerValue();
  KTCKiteChannel& channel = KTCKiteChannel::defaultChannel();
  if (channelError == 0 && isCheckLogining &&
      checkedLogin_ == std::pair(channel.userId(), channel.sessionId())) {
    // The channel reported the login being checked once more: that login gets one check and
    // one answer.
    plat::NSLog("KTLog:login reported again while it is being checked");
    return;
  }
  PlugManager::sharedInstance()->loginDone(KiteSDKPlugArgs({channelCfg, info}));
  plat::Dictionary result{{"error", errorCode(channelError)}, {"msg", kLoginSuccess}};
  if (channelError != 0) {
    result.set("msg", kLoginFail);
    post(kKtcQPLoginNotification, result);
    return;
  }
  plat::NSLog("渠道登录成功，正在验证");
  plat::Dictionary fields{
      {"uid", channel.userId()}, {"user_name", channel.userNick()}, {"token", channel.sessionId()}};
  isCheckLogining = true;
  // Until the server accepts it, the channel's login charges nobody.
  loginAccepted_ = false;
  checkedLogin_ = {channel.userId(), channel.sessionId()};
  uint64_t session = sessionSerial_;
  NetworkManager::sharedInstance().loginVerifyInterfaceHandler(
      fields, [info, session](const plat::Value& answer) {
        SDKCooperater& c = SDKCooperater::shareCooperater();
        if (c.sessionSerial_ != session) {
          c.handleStaleLoginCheckAnswer(answer);
          return;
        }
        c.handleLoginCheckAnswer(answer, info);
      });
}

void SDKCooperater::handleStaleLoginCheckAnswer(const plat::Value& answer) {
  // The channel logged out while its login was being checked: whatever the server says, that
  // login is over, and the game (already told of the logout) gets a failed login.
  plat::NSLog("KTLog:login check answered after the channel logged out");
  isCheckLogining = false;
  PlugManager::sharedInstance()->checkLoginResult(
      KiteSDKPlugArgs({channelCfg, answer.isNil() ? plat::Value(plat::Dictionary()) : answer}));
  post(kKtcQPLoginNotification, {{"error", -3}, {"msg", kLoginFail}});
}

void SDKCooperater::postLogin(plat::Dictionary result, const plat::Value& channelInfo,
                              const char* logLine, const std::string& logArgument) {
  if (auto show = KTCKiteChannel::hookFor<KTCKiteChannelPlaceHook>("showToolBar:")) show(1);
  const plat::Value& ext = channelInfo["extInfo"];
  if (ext.dictionary() && !ext.dictionary()->empty()) {
    for (const auto& [k, v] : *ext.dictionary()) result.set(k, v);
  }
  if (logArgument.empty()) {
    plat::NSLog(logLine);
  } else {
    plat::NSLog(logLine, logArgument);
  }
  ++sessionSerial_;
  loginAccepted_ = true;
  post(kKtcQPLoginNotification, result);
}

void SDKCooperater::postPaymentFailure(int64_t error, const std::string& msg,
                                       const std::optional<std::string>& cpOrderId) {
  plat::Dictionary result{{"error", error}, {"msg", msg}};
  if (cpOrderId && !cpOrderId->empty()) result.set("cpOrderId", *cpOrderId);
  post(kKtcQPNotiRecharge, result);
}

std::optional<std::string> KTCAnswerIdentifier(const plat::Value& v) {
  if (const std::string* s = v.string()) {
    // White space alone names nobody and no order.
    bool blank = s->find_first_not_of(" \t\n\v\f\r") == std::string::npos;
    if (blank) return std::nullopt;
    return *s;
  }
  // An integer too large for 64 bits stays a decimal number: its digits, every one kept.
  if (v.isInteger() || v.type() == plat::Value::Type::Decimal) return v.description();
  return std::nullopt;
}

void SDKCooperater::handleLoginCheckAnswer(const plat::Value& answer,
                                           const plat::Value& channelInfo) {
  plat::NSLog("登录校验接口返回数据:%@", maskedForLog(answer, {"data", "user_token"}));
  isCheckLogining = false;
  PlugManager::sharedInstance()->checkLoginResult(
      KiteSDKPlugArgs({channelCfg, answer.isNil() ? plat::Value(plat::Dictionary()) : answer}));
  KTCKiteChannel& channel = KTCKiteChannel::defaultChannel();
  plat::Dictionary result{{"error", 0}, {"msg", kLoginSuccess}};

  std::optional<std::string> acceptedUid;
  if (answer["result"].boolValue()) {
    acceptedUid = KTCAnswerIdentifier(answer["data"]["uid"]);
    if (!acceptedUid) {
      // The server accepted a login without naming its user: nobody is logged in, and the
      // channel keeps its own account.
      plat::NSLog("KTLog:login check accepted without a user id");
      result.set("error", -3);
      result.set("msg", kLoginFail);
      post(kKtcQPLoginNotification, result);
      return;
    }
  }
  if (acceptedUid) {
    const plat::Value& data = answer["data"];
    if (data["kiteonly"].isBool() || data["kiteonly"].isNumber())
      kiteOnlyFlag = data["kiteonly"].boolValue();
    if (data["kiteOnlyPluginName"].isString()) kiteOnlyName = data["kiteOnlyPluginName"];
    const std::string& uid = *acceptedUid;
    const plat::Value& userName = data["user_name"];
    const plat::Value& userToken = data["user_token"];
    lastUserToken =
        userToken.isNil() || userToken.isNull() ? std::nullopt : std::optional(text(userToken));
    if (!data["stopCreateRole"].isNull()) stopCreateRole = data["stopCreateRole"].boolValue();
    // A missing stop time reads as none ("0"), like a null one.
    const plat::Value& stopTime = data["stopCreateTime"];
    stopCreateTime = stopTime.isNull() || stopTime.isNil() ? "0" : text(stopTime);
    channel.updateUserId(plat::Value(uid));
    channel.updateUserNick(userName);
    channel.updateUserDict(data.dictionary() ? *data.dictionary() : plat::Dictionary());
    isLogout = false;
    result.set("uid", uid);
    if (!userName.isNil() && !userName.isNull()) result.set("user_name", text(userName));
    if (lastUserToken) result.set("user_token", *lastUserToken);
    postLogin(std::move(result), channelInfo, "KTLog:QK登陆成功通知", "");
    return;
  }

  std::string key = channelConfig().get("checkkey").isNil() ? std::string()
                                                            : text(channelConfig().get("checkkey"));
  std::string userId = channel.userId();
  if (!userId.empty() && !key.empty()) {
    std::string sign = NSString_Extend::md5Stringg(userId + key);
    std::string productCode = platformCfg ? platformCfg->productCodeText() : "";
    std::string token = plat::format("%@|||%@|||%@|||%@|||%@|||%@|||%@", productCode,
                                     channel.channelCode(), KMDevice::sharedInstance().deviceID,
                                     userId, sign, channel.userNick(), channel.sessionId());
    result.set("uid", userId);
    result.set("user_name", channel.userNick());
    result.set("user_token", token);
    // The game's next read of the token must give this login's token, not an earlier one.
    lastUserToken = token;
    postLogin(std::move(result), channelInfo, "KTLog:QK登陆成功通知:%@", kMaskedSecret);
    return;
  }

  plat::NSLog("登录验证失败%@:%@", answer["error"]["message"],
              maskedForLog(answer, {"data", "user_token"}));
  result.set("error", -3);
  result.set("msg", kLoginFail);
  post(kKtcQPLoginNotification, result);
  const plat::Value& id = answer["error"]["id"];
  if (!id.isNil() && !id.isNull() && id.integerValue() != 30001) channel.logout();
}

void SDKCooperater::channelPlatformLogoutResult(const plat::NSNotification& note) {
  plat::NSLog("QKLOG:注销回调,%@", userInfoOf(note));
  ++sessionSerial_;
  loginAccepted_ = false;
  isLogout = true;
  if (auto hide = KTCKiteChannel::hookFor<KTCKiteChannelActionHook>("hideToolBar")) hide();
  post(kKtcQPLogoutNotification, {{"error", 0}, {"msg", "logout"}});
}

void SDKCooperater::channelPlatformPayResult(const plat::NSNotification& note) {
  const plat::Value& info = userInfoOf(note);
  int64_t error = info["error"].integerValue();
  plat::Dictionary result;
  if (error == 0) {
    PlugManager::sharedInstance()->rechargeOver(KiteSDKPlugArgs({channelCfg, info}));
    result = {{"error", 0}, {"msg", "Pay success"}};
  } else if (error == -30) {
    result = {{"error", kKtcQPPayFailedError}, {"msg", kKtcQPPayParamsErrorMsg}};
  } else if (error == -32) {
    result = {{"error", -401}, {"msg", "Pay cancel"}};
  } else {
    result = {{"error", kKtcQPPayFailedError}, {"msg", kKtcQPPayFailedMsg}};
  }
  for (const char* key : {"orderId", "cpOrderId", "sdkOrderId", "extraParams"}) {
    const plat::Value& v = info[key];
    if (!v.isNil()) result.set(key, v);
  }
  if (!KTCKiteSDK::defaultInstance().takeCashierResult(info["orderId"].stringOr(),
                                                       info["cpOrderId"].stringOr())) {
    // Not the report of a cashier still booked for this page and session (its page is gone,
    // another player logged in, or the book forgot it): a later Pay never hears of it.
    plat::NSLog("KTLog:pay result after its page was unloaded");
    return;
  }
  post(kKtcQPNotiRecharge, result);
}

void SDKCooperater::channelPlatformRealAuthResult(const plat::NSNotification& note) {
  const plat::Value& info = userInfoOf(note);
  plat::Dictionary result;
  auto copy = [&](const char* to, const char* from) {
    if (!info[from].isNil()) result.set(to, info[from]);
  };
  copy("age", "age");
  copy("realName", "realName");
  copy("resumeGame", "realResumeGame");
  copy("other", "other");
  post(kKtcQPRealAuthNotification, result);
}

void SDKCooperater::channelPlatformLeavedResult(const plat::NSNotification& note) {
  const plat::Value& info = userInfoOf(note);
  post(kKtcQPLeavedNotification, info.dictionary() ? *info.dictionary() : plat::Dictionary());
}

void SDKCooperater::channelPlatformPauseOverResult(const plat::NSNotification& note) {
  const plat::Value& info = userInfoOf(note);
  post(kKtcQPPauseOverNotification, info.dictionary() ? *info.dictionary() : plat::Dictionary());
}
