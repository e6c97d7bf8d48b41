#include "aggregation/KTCKiteSDK.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>

#include "aggregation/AlertTool.h"
#include "aggregation/KMDevice.h"
#include "aggregation/NSString+Extend.h"
#include "aggregation/NetworkManager.h"
#include "aggregation/PlugManager.h"
#include "aggregation/SDKCooperater.h"
#include "aggregation/channel/KTCKiteChannel.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr int64_t kNotOffered = -100;

// Whether the adapter offers an operation: its runtime class answers, as the platform answers
// respondsToSelector:.
bool adapterOffers(const std::string& op) { return KTCKiteChannel::offers(op); }

// An event the adapter has no form for: logged under its full name, answered -100.
int64_t notOffered(const char* operation) {
  plat::NSLog("KTLog:%s", operation);
  return kNotOffered;
}

// The forwarding rule for an adapter answer.
int64_t forwarded(int64_t answer) { return answer == 0 ? 0 : -1; }

// An application event, logged under its full name and forwarded when the adapter offers it.
int64_t forwardEvent(const char* operation, const char* name, plat::UIApplication* app) {
  plat::NSLog("KTLog:%s", operation);
  auto hook = KTCKiteChannel::hookFor<KTCKiteChannelEventHook>(name);
  return hook ? forwarded(hook(app)) : kNotOffered;
}
// An operation without arguments, forwarded when the adapter offers it.
int64_t forwardAction(const char* name) {
  auto hook = KTCKiteChannel::hookFor<KTCKiteChannelActionHook>(name);
  return hook ? forwarded(hook()) : kNotOffered;
}

SDKCooperater& coop() { return SDKCooperater::shareCooperater(); }
KTCKiteChannel& adapter() { return KTCKiteChannel::defaultChannel(); }
PlugManager& plugs() { return *PlugManager::sharedInstance(); }
// The first element of every plug-in array: nil before start-up, so the array is empty.
plat::Value config() { return coop().channelCfg; }

void showLoginDisabledAlert() {
  auto window = coop().baseGetCurrentShowWindow();
  if (!window) return;
  AlertTool::showAlertArrayWithTitleMessageActionButtonTitleArray(
      window->rootViewController(), "提示", "渠道禁止登录", [](int64_t) {}, {"确定"});
}

plat::Value roleValue(const KTCKiteSDKGameRoleInfoRef& role) {
  // Plug-ins receive the role's fields as a dictionary.
  if (!role) return plat::Value();
  plat::Dictionary d;
  auto add = [&d](const char* k, const plat::Value& v) {
    if (!v.isNil()) d.set(k, v);
  };
  add("serverId", role->serverId());
  add("serverName", role->serverName());
  add("gameRoleName", role->gameRoleName());
  add("gameRoleID", role->gameRoleID());
  add("gameUserBalance", role->gameUserBalance());
  add("vipLevel", role->vipLevel());
  add("gameUserLevel", role->gameUserLevel());
  add("partyName", role->partyName());
  add("partyId", role->partyId());
  add("fightPower", role->fightPower());
  add("creatTime", role->creatTime());
  add("roleGender", role->roleGender());
  add("profession", role->profession());
  add("professionId", role->professionId());
  add("partyRoleId", role->partyRoleId());
  add("partyRoleName", role->partyRoleName());
  return plat::Value(d);
}

plat::Value orderValue(const KTCKiteSDKPayOrderInfoRef& order) {
  if (!order) return plat::Value();
  plat::Dictionary d;
  auto add = [&d](const char* k, const std::optional<std::string>& v) {
    if (v) d.set(k, *v);
  };
  add("goodsID", order->goodsID);
  add("productName", order->productName);
  add("cpOrderID", order->cpOrderID);
  d.set("count", order->count);
  d.set("amount", order->amountNumber());
  add("callbackUrl", order->callbackUrl);
  add("extrasParams", order->extrasParams);
  d.set("price", order->priceNumber());
  add("productDesc", order->productDesc);
  add("quantifier", order->quantifier);
  return plat::Value(d);
}

}  // namespace

KTCKiteSDK& KTCKiteSDK::defaultInstance() {
  static KTCKiteSDK* instance = [] {
    SDKCooperater::shareCooperater();
    return new KTCKiteSDK();
  }();
  plat::NSLog("KTLog:defaultInstance");
  return *instance;
}

void KTCKiteSDK::resetForTesting() {
  defaultInstance().lastRole_.reset();
  defaultInstance().cashierOrders_.clear();
}

plat::Dictionary KTCKiteSDK::readChannelConfig(bool plainNeedsMarker) {
  bool exists = false;
  std::optional<plat::Data> bytes = adapter().configFileBytes(&exists);
  if (!bytes) {
    if (plainNeedsMarker || exists) {
      // Missing before start-up, or there but unreadable: no entries.
      plat::NSLog(kKiteChannelConfigReadFailure);
    } else if (channelType() == 9999) {
      plat::NSLog("KTLog:测试母包");
    } else {
      plat::NSLog("KTLog:没有找到渠道配置文件kiteChannel.cfg");
    }
    return {};
  }
  if (!plainNeedsMarker) return adapter().configDictFromData(*bytes);
  // Asked before start-up, a plain property list counts only with its marker keys; any other
  // file is taken as encrypted.
  plat::Value plist = plat::NSPropertyListSerialization::propertyListWithData(*bytes);
  const plat::Dictionary* d = plist.dictionary();
  if (d && (d->contains("bundleID") || d->contains("version"))) return *d;
  plat::Dictionary entries;
  if (auto decrypted = DES128DecryptDataWithKey(*bytes, kKiteChannelConfigKey)) {
    plat::Value archived = plat::NSKeyedUnarchiver::unarchiveObjectWithData(*decrypted);
    if (archived.dictionary()) entries = *archived.dictionary();
  }
  if (entries.empty()) plat::NSLog(kKiteChannelConfigReadFailure);
  return entries;
}

int64_t KTCKiteSDK::initWithConfigApplicationDidFinishLaunchingWithOptions(
    const KTCKiteSDKInitConfigureRef& config, plat::UIApplication*,
    const plat::Value& launchOptions) {
  plat::NSLog("KTLog:开始初始化");
  SDKCooperater& c = coop();
  if (c.hasCallInit) return 0;
  c.hasCallInit = true;
  plat::Dictionary dict = readChannelConfig(false);
  KTCKiteSDKInitConfigureRef cfg = config ? config : std::make_shared<KTCKiteSDKInitConfigure>();
  if (dict.contains("product_code")) {
    cfg->productCode = dict.get("product_code").description();
    const plat::Value& key = dict.get("product_key");
    cfg->productKey = key.isNil() ? std::nullopt : std::optional(key.description());
  }
  c.platformCfg = cfg;
  c.launchOptions = launchOptions;
  c.paramsDic = plat::Value(dict);
  c.channelCfg = plat::Value(dict);
  c.beginKiteSDKInit();
  return 0;
}

plat::Value KTCKiteSDK::getConfigValue(const std::string& key) {
  plat::NSLog("KTLog:getConfigValue:%@", key);
  SDKCooperater& c = coop();
  if (!c.channelCfg.isNil()) return c.channelCfg[key];
  c.channelCfg = plat::Value(readChannelConfig(true));
  return c.channelCfg[key];
}

std::optional<plat::Data> KTCKiteSDK::DES128DecryptDataWithKey(const plat::Data& data,
                                                               const std::string& key) {
  return NSData_Extend::des128Decryptt(data, key);
}

int64_t KTCKiteSDK::callPlugParams(const std::string& name, const plat::Array& params) {
  // Like every plug-in array, it ends at the first absent element.
  plat::Array args;
  if (!config().isNil()) {
    args.push_back(config());
    for (const auto& p : params) {
      if (p.isNil()) break;
      args.push_back(p);
    }
  }
  plugs().callPlugParams(name, plat::Value(args));
  return 0;
}

int64_t KTCKiteSDK::applicationWillResignActive(plat::UIApplication* app) {
  return forwardEvent("-[KTCKiteSDK(Extend) applicationWillResignActive:]",
                      "applicationWillResignActive:", app);
}
int64_t KTCKiteSDK::applicationDidEnterBackground(plat::UIApplication* app) {
  return forwardEvent("-[KTCKiteSDK(Extend) applicationDidEnterBackground:]",
                      "applicationDidEnterBackground:", app);
}
int64_t KTCKiteSDK::applicationWillEnterForeground(plat::UIApplication* app) {
  return forwardEvent("-[KTCKiteSDK(Extend) applicationWillEnterForeground:]",
                      "applicationWillEnterForeground:", app);
}
int64_t KTCKiteSDK::applicationDidBecomeActive(plat::UIApplication* app) {
  return forwardEvent("-[KTCKiteSDK(Extend) applicationDidBecomeActive:]",
                      "applicationDidBecomeActive:", app);
}
int64_t KTCKiteSDK::applicationWillTerminate(plat::UIApplication* app) {
  return forwardEvent("-[KTCKiteSDK(Extend) applicationWillTerminate:]",
                      "applicationWillTerminate:", app);
}

int64_t KTCKiteSDK::applicationDidRegisterForRemoteNotificationsWithDeviceToken(
    plat::UIApplication*, const plat::Data& token) {
  plat::NSLog(
      "KTLog:%s",
      "-[KTCKiteSDK(Extend) application:didRegisterForRemoteNotificationsWithDeviceToken:]");
  KMDevice::sharedInstance().savePushToken(NSString_Extend::base64Stringg(token.toString()));
  plugs().registeredPushToken(KiteSDKPlugArgs({config(), plat::Value(token)}));
  return kNotOffered;
}
int64_t KTCKiteSDK::applicationDidFailToRegisterForRemoteNotificationsWithError(
    plat::UIApplication*, const plat::NSErrorRef&) {
  return notOffered(
      "-[KTCKiteSDK(Extend) application:didFailToRegisterForRemoteNotificationsWithError:]");
}
int64_t KTCKiteSDK::applicationDidReceiveRemoteNotification(plat::UIApplication*,
                                                            const plat::Value&) {
  return notOffered("-[KTCKiteSDK(Extend) application:didReceiveRemoteNotification:]");
}

int64_t KTCKiteSDK::openURLApplication(const plat::NSURLRef& url, plat::UIApplication* app) {
  plat::NSLog("KTLog:%s", "-[KTCKiteSDK(Extend) openURL:application:]");
  return forwarded(adapter().openURLApplication(url, app));
}
int64_t KTCKiteSDK::openURLSourceApplicationApplicationAnnotation(
    const plat::NSURLRef& url, const std::string& sourceApplication, plat::UIApplication* app,
    const plat::Value& annotation) {
  plat::NSLog("KTLog:%s",
              "-[KTCKiteSDK(Extend) openURL:sourceApplication:application:annotation:]");
  plat::NSLog("KTLog:回调openURL sourceApplication app anonotation");
  return forwarded(adapter().openURLSourceApplicationApplicationAnnotation(url, sourceApplication,
                                                                           app, annotation));
}
int64_t KTCKiteSDK::openURLApplicationOptions(const plat::NSURLRef& url, plat::UIApplication* app,
                                              const plat::Value& options) {
  plat::NSLog("KTLog:回调OpenURL application options");
  return forwarded(adapter().openURLApplicationOptions(url, app, options));
}
int64_t KTCKiteSDK::applicationSupportedInterfaceOrientationsForWindow(plat::UIApplication* app,
                                                                       plat::UIWindow* window) {
  plat::NSLog("KTLog:%s",
              "-[KTCKiteSDK(Extend) application:supportedInterfaceOrientationsForWindow:]");
  return adapter().applicationSupportedInterfaceOrientationsForWindow(app, window);
}

bool KTCKiteSDK::applicationContinueUserActivityRestorationHandler(
    plat::UIApplication*, const plat::Value&, const std::function<void(const plat::Array&)>&) {
  // This application's adapter takes no user activities.
  return true;
}

bool KTCKiteSDK::isFunctionSupported(const std::string& name) {
  static const std::set<std::string> always{"channelName",
                                            "channelVersion",
                                            "channelType",
                                            "initWithConfig:",
                                            "channelAppId",
                                            "channelAppKey",
                                            "appName",
                                            "login",
                                            "logout",
                                            "isLogined:",
                                            "userId",
                                            "userNick",
                                            "updateRoleInfoWith:",
                                            "payOrderInfo:roleInfo:",
                                            "setChannelOrientation:"};
  if (always.count(name)) return true;
  static const std::map<std::string, std::string> probed{
      {"pausedGame", "pause"},
      {"enterUserCenter", "enterUserCenter"},
      {"enterBBS", "enterBBS"},
      {"openURL:sourceApplication:application:annotation:",
       "openURL:sourceApplication:application:annotation:"},
      {"openURL:sourceApplication:", "openURL:sourceApplication:"},
      {"showToolBar:", "showToolBar:"},
      {"hideToolBar", "hideToolBar"},
      {"cpsChannelId", "cpsChannelId"}};
  auto it = probed.find(name);
  return it != probed.end() && adapterOffers(it->second);
}

bool KTCKiteSDK::isFunctionTypeSupported(int64_t type) {
  plat::NSLog("KTLog:%s", "-[KTCKiteSDK(Extend) isFunctionTypeSupported:]");
  static const std::map<int64_t, std::string> ops{
      {0, "cpsChannelId"}, {1, "pause"},       {2, "enterUserCenter"},           {3, "enterBBS"},
      {5, "showToolBar:"}, {6, "hideToolBar"}, {7, "enterCustomerServiceCenter"}};
  auto it = ops.find(type);
  return it != ops.end() && adapterOffers(it->second);
}

int64_t KTCKiteSDK::callFunction(int64_t, const plat::Array&) {
  // The adapter has no callFunction:args:.
  return kNotOffered;
}
int64_t KTCKiteSDK::callChannelSpecifyFunctionParameters(int64_t function,
                                                         const plat::Value& parameters) {
  plat::NSLog("KTLog:调用渠道指定方法=%d参数=%@", function, parameters);
  return kNotOffered;
}
int64_t KTCKiteSDK::enterUserCenter() {
  plat::NSLog("KTLog:进入个人中心");
  return forwardAction("enterUserCenter");
}
int64_t KTCKiteSDK::enterYunKeFuCenter(const plat::Value& parameter) {
  plat::NSLog("KTLog:Enter YunKefu");
  callPlugParams("CustomerServiceIOS", plat::Array{plat::Value("1"), parameter});
  return 0;
}
int64_t KTCKiteSDK::callSDKShare(const KTCKiteSDKShareInfoRef&) {
  // The adapter has no sharing.
  return 0;
}
void KTCKiteSDK::Getlocalized(const plat::Value&) {}
void KTCKiteSDK::setAutoRotation(bool) {}
int64_t KTCKiteSDK::showToolBar(int64_t place) {
  plat::NSLog("KTLog:调用显示浮动工具栏");
  auto hook = KTCKiteChannel::hookFor<KTCKiteChannelPlaceHook>("showToolBar:");
  return hook ? forwarded(hook(place)) : kNotOffered;
}
int64_t KTCKiteSDK::hideToolBar() {
  plat::NSLog("KTLog:调用隐藏工具栏");
  return forwardAction("hideToolBar");
}
std::string KTCKiteSDK::cpsChannelId() const {
  auto hook = KTCKiteChannel::hookFor<KTCKiteChannelTextHook>("cpsChannelId");
  return hook ? hook() : "UNKNOWN";
}

std::string KTCKiteSDK::getDeviceID() { return KMDevice::sharedInstance().updateDeviceID(); }
void KTCKiteSDK::resetDeviceID() {
  KMDevice::sharedInstance().removeDataWithIdentifier(kKMDeviceIdentifier);
}
std::string KTCKiteSDK::channelName() { return adapter().channelName(); }
std::string KTCKiteSDK::channelVersion() { return adapter().channelVersion(); }
int64_t KTCKiteSDK::channelType() {
  plat::NSLog("KTLog:调用channelType");
  return adapter().channelCode().integerValue();
}

// --- account

int64_t KTCKiteSDK::login() {
  plat::NSLog("KTLog:call login");
  SDKCooperater& c = coop();
  if (c.isloginDisabled) {
    showLoginDisabledAlert();
    return -5;
  }
  plugs().willLogin(KiteSDKPlugArgs({config()}));
  c.isCallLogin = true;
  if (!c.isInitSuccess) return 0;
  if (c.isCheckLogining) return -4;
  adapter().login();
  return 0;
}

int64_t KTCKiteSDK::logout() {
  plat::NSLog("KTLog:call logout");
  if (coop().isCheckLogining) {
    plat::NSLog("can not call logout while under checking login");
    return -4;
  }
  return SDKCooperater::errorCode(adapter().logout());
}

std::string KTCKiteSDK::userId() {
  plat::NSLog("KTLog:call userId");
  return adapter().userId();
}

std::string KTCKiteSDK::userNick() {
  plat::NSLog("KTLog:call userNick");
  std::string nick = adapter().userNick();
  return nick.empty() ? adapter().userId() : nick;
}

std::optional<std::string> KTCKiteSDK::userToken() { return coop().lastUserToken; }

plat::Dictionary KTCKiteSDK::realNameInfo() {
  plat::Dictionary a = adapter().realNameInfo();
  return plat::Dictionary{{"age", a.get("age")},
                          {"realName", a.get("realName")},
                          {"resumeGame", a.get("realResumeGame")},
                          {"other", a.get("other")}};
}

int64_t KTCKiteSDK::realAuth() { return forwardAction("realAuth"); }

int64_t KTCKiteSDK::getChannelUserLoginType() const {
  int64_t t = userType();
  return (t >= 1 && t <= 7) || t == 16 || t == 18 ? t : 0;
}

// --- roles

KTCKiteRoleInfoRef KTCKiteSDK::getChannelRoleInfoWith(const KTCKiteSDKGameRoleInfoRef& role) {
  auto r = std::make_shared<KTCKiteRoleInfo>();
  if (!role) return r;
  r->serverId = role->serverId().stringOr();
  r->serverName = role->serverName().stringOr();
  r->vipLevel = role->vipLevel();
  r->gameUserLevel = role->gameUserLevel();
  r->setPartyName(role->partyName());
  r->gameRoleName = role->gameRoleName().stringOr();
  r->gameRoleID = role->gameRoleID().stringOr();
  r->gameUserBalance = role->gameUserBalance();
  r->setFightPower(plat::Value(role->fightPower()));
  r->setRoleCreatTime(plat::Value(role->creatTime()));
  r->setProfession(role->profession());
  return r;
}

namespace {
// With role creation stopped by the server, plug-ins are asked to confirm the role's creation
// time against the stop time.
void confirmRoleCreationIfStopped(const KTCKiteSDKGameRoleInfoRef& role) {
  SDKCooperater& c = coop();
  if (!c.stopCreateRole) return;
  plugs().comfirmAbleCreatRoleWithResult(KiteSDKPlugArgs(
      {config(),
       plat::Value(plat::Dictionary{
           {"data", plat::Dictionary{{"created_at", c.stopCreateTime.value_or("0")}}}}),
       role ? plat::Value(role->creatTime()) : plat::Value()}));
}
}  // namespace

void KTCKiteSDK::updateRoleInfoWithIsCreate(const KTCKiteSDKGameRoleInfoRef& role, bool isCreate) {
  plat::NSLog("KTLog:call updateRoleInfoWith:isCreate:");
  if (role) plat::NSLog("%@", role->description());
  confirmRoleCreationIfStopped(role);
  if (isCreate) plugs().createRoleInfo(KiteSDKPlugArgs({config(), roleValue(role)}));
  if (role && (!lastRole_ || lastRole_->gameRoleID() != role->gameRoleID())) {
    lastRole_ = role;
    plugs().enterGameRoleInfo(KiteSDKPlugArgs({config(), roleValue(role)}));
  }
  plugs().updateRoleInfo(KiteSDKPlugArgs({config(), roleValue(role)}));
  NetworkManager::sharedInstance().updateRoleWithUidNameRoleInfoHandler(userId(), userNick(), role,
                                                                        [](const plat::Value&) {});
  adapter().updateRoleInfoWithIsCreate(getChannelRoleInfoWith(role), isCreate);
}

void KTCKiteSDK::updateRoleInfoWith(const KTCKiteSDKGameRoleInfoRef& role) {
  plat::NSLog("KTLog:call updateroleInfoWith:");
  if (role) plat::NSLog("%@", role->description());
  confirmRoleCreationIfStopped(role);
  NetworkManager::sharedInstance().updateRoleWithUidNameRoleInfoHandler(userId(), userNick(), role,
                                                                        [](const plat::Value&) {});
  adapter().updateRoleInfoWith(getChannelRoleInfoWith(role));
  plugs().updateRoleInfo(KiteSDKPlugArgs({config(), roleValue(role)}));
}

// --- payment

KTCKiteProductInfoRef KTCKiteSDK::getProductInfoWithInfo(const KTCKiteSDKPayOrderInfoRef& order) {
  auto p = std::make_shared<KTCKiteProductInfo>();
  if (!order) return p;
  p->goodsID = order->goodsID.value_or("");
  p->productDesc = order->productDesc.value_or("");
  p->count = order->count;
  p->amount = order->amount;
  p->amountCents = order->amountCents;
  p->callbackUrl = order->callbackUrl.value_or("");
  p->extrasParams = order->extrasParams.value_or("");
  p->productName = order->productName.value_or("");
  p->quantifier = order->quantifier.value_or("");
  p->price = order->price;
  p->productOrderID = order->cpOrderID.value_or("");
  return p;
}

namespace {
// Whether the channel has a player logged in: a user id that is not blank, and a session
// token.
bool channelUserLoggedIn() {
  const KTCKiteChannelCooperater& c = KTCKiteChannelCooperater::defaultCooperater();
  return c.isLogin && KTCAnswerIdentifier(plat::Value(c.userId)) && !c.sessionId.empty();
}

// Whether a payment can be charged for the order: a positive whole number of hundredths that a
// JSON number carries exactly to the order server.
std::optional<int64_t> chargeableCents(const KTCKiteSDKPayOrderInfo& order) {
  int64_t cents = order.chargedCents();
  if (cents <= 0 || !KTCMoney::number(cents)) return std::nullopt;
  return cents;
}
}  // namespace

int64_t KTCKiteSDK::payOrderInfoRoleInfo(const KTCKiteSDKPayOrderInfoRef& order,
                                         const KTCKiteSDKGameRoleInfoRef& role) {
  plat::NSLog("KTLog:开始充值");
  plat::NSLog("原始orderInfo%@\nroleInfo:%@", order ? order->description() : "(null)",
              role ? role->description() : "(null)");
  std::optional<int64_t> cents = order ? chargeableCents(*order) : std::nullopt;
  if (!cents) {
    // Nothing can be paid without an order, nor for an amount that is not a positive whole
    // number of hundredths: no order is made and no cashier opens.
    plat::NSLog("KTLog:下单失败，%@",
                order ? plat::format("amount %f", static_cast<double>(order->amount))
                      : std::string("no order"));
    SDKCooperater::postPaymentFailure(kKtcQPPayFailedError, kKtcQPPayParamsErrorMsg,
                                      order ? order->cpOrderID : std::nullopt);
    return -1;
  }
  // From here on the order server and the cashier charge these hundredths.
  order->amountCents = *cents;
  if (order->price == 0) {
    if (order->count == 0) order->count = 1;
    order->price = order->amount / static_cast<float>(order->count);
    auto whole = static_cast<uint64_t>(*cents);
    if (whole % order->count == 0) order->priceCents = static_cast<int64_t>(whole / order->count);
  }
  if (!order->quantifier) order->quantifier = "";
  if (!order->productDesc || order->productDesc->empty()) {
    // A single item is described by its name alone; an order without a name has no
    // description to send.
    if (!order->productName) {
      order->productDesc.reset();
    } else {
      order->productDesc = order->count == 1
                               ? *order->productName
                               : plat::format("%lu%@", order->count, *order->productName);
    }
  }
  if (!channelUserLoggedIn() || !coop().loginAccepted()) {
    // An order needs a player whose login the server's check accepted: without one (nobody
    // logged in, a check still out, a refused check) there is nobody to charge, so no order
    // is made and no cashier opens.
    plat::NSLog("KTLog:下单失败，%@", std::string("nobody is logged in"));
    SDKCooperater::postPaymentFailure(kKtcQPPayFailedError, kKtcQPPayParamsErrorMsg,
                                      order->cpOrderID);
    return -1;
  }
  plugs().willRecharge(KiteSDKPlugArgs({config(), orderValue(order), roleValue(role)}));
  KTCKiteProductInfoRef product = getProductInfoWithInfo(order);
  KTCKiteRoleInfoRef channelRole = getChannelRoleInfoWith(role);
  uint64_t session = coop().sessionSerial();
  uint64_t generation = orderGeneration_;
  NetworkManager::sharedInstance().orderInterfaceRoleInfoHandler(
      order, role,
      [order, role, product, channelRole, session, generation](const plat::Value& answer) {
        KTCKiteSDK& sdk = KTCKiteSDK::defaultInstance();
        if (sdk.orderGeneration_ != generation) {
          // The page that placed the order is gone: a later page never hears of it.
          plat::NSLog("KTLog:order answered after its page was unloaded");
          return;
        }
        sdk.handleOrderAnswer(answer, order, role, product, channelRole, session);
      });
  return 0;
}

void KTCKiteSDK::handleOrderAnswer(const plat::Value& answer,
                                   const KTCKiteSDKPayOrderInfoRef& order,
                                   const KTCKiteSDKGameRoleInfoRef& role,
                                   const KTCKiteProductInfoRef& product,
                                   const KTCKiteRoleInfoRef& channelRole, uint64_t session) {
  plat::NSLog("payOrderInfo 订单接口返回数据:%@", answer);
  plugs().kiteGetOrderResult(
      KiteSDKPlugArgs({config(), answer.isNil() ? plat::Value(plat::Dictionary()) : answer}));
  std::optional<std::string> cpOrderId = order ? order->cpOrderID : std::nullopt;
  if (coop().sessionSerial() != session) {
    // The player logged out, or another one logged in, while the order was being made: that
    // payment is over, whatever the server says.
    plat::NSLog("KTLog:order answered after its session ended");
    SDKCooperater::postPaymentFailure(kKtcQPPayFailedError, kKtcQPPayFailedMsg, cpOrderId);
    return;
  }
  if (answer["result"].boolValue()) {
    const plat::Value& data = answer["data"];
    std::optional<std::string> accepted = KTCAnswerIdentifier(data["order_id"]);
    if (!accepted) {
      plat::NSLog("KTLog:下单失败，%@", std::string("order without an order id"));
      SDKCooperater::postPaymentFailure(kKtcQPPayFailedError, kKtcQPPayFailedMsg, cpOrderId);
      return;
    }
    const std::string& orderId = *accepted;
    adapter().updatePayDict(data.dictionary() ? *data.dictionary() : plat::Dictionary());
    plugs().willRechargeOrdered(
        KiteSDKPlugArgs({config(), orderValue(order), roleValue(role), plat::Value(orderId)}));
    openCashier(orderId, product, channelRole);
    return;
  }
  std::string message =
      answer["error"]["message"].isString() ? *answer["error"]["message"].string() : "";
  plat::NSLog("KTLog:下单失败，%@", message.empty() ? std::string("网络故障") : message);
  // The Pay is over: the page hears of it once, whatever the server may have made.
  SDKCooperater::postPaymentFailure(kKtcQPPayFailedError, kKtcQPPayFailedMsg, cpOrderId);
}

std::optional<uint64_t> KTCCashierOrders::opened(const std::string& orderId,
                                                 const std::string& cpOrderId, uint64_t scope) {
  bool held = std::any_of(orders_.begin(), orders_.end(),
                          [&](const Booking& booking) { return booking.orderId == orderId; });
  if (held) return std::nullopt;
  if (orders_.size() >= kLimit) orders_.pop_front();
  orders_.push_back(Booking{++lastSerial_, orderId, cpOrderId, scope});
  return lastSerial_;
}

std::optional<KTCCashierOrders::Booking> KTCCashierOrders::take(uint64_t serial) {
  auto it = std::find_if(orders_.begin(), orders_.end(),
                         [&](const Booking& booking) { return booking.serial == serial; });
  if (it == orders_.end()) return std::nullopt;
  Booking booking = std::move(*it);
  orders_.erase(it);
  return booking;
}

void KTCKiteSDK::openCashier(const std::string& orderId, const KTCKiteProductInfoRef& product,
                             const KTCKiteRoleInfoRef& role) {
  // Only a cashier in the book reports to the page, and only to the page and session it
  // opened under. A second cashier under an id already booked could not be told from the
  // first by the order id its report names: that Pay ends here.
  std::string cpOrderId = product ? product->productOrderID : std::string();
  std::optional<uint64_t> serial = cashierOrders_.opened(orderId, cpOrderId, currentScope());
  if (!serial) {
    plat::NSLog("KTLog:下单失败，%@", "order " + orderId + " already has a cashier open");
    SDKCooperater::postPaymentFailure(
        kKtcQPPayFailedError, kKtcQPPayFailedMsg,
        product ? std::optional<std::string>(cpOrderId) : std::nullopt);
    return;
  }
  // The report names this cashier by its serial: once the book has forgotten the cashier, its
  // report is nobody's, even if the server has given its order id to a later Pay.
  adapter().buyOrderIdProductInfoRoleInfo(
      orderId, product, role, [serial = *serial](const KTCKiteChannelRechargeNotiInfo& info) {
        KTCKiteSDK::defaultInstance().cashierReported(serial, info);
      });
}

void KTCKiteSDK::cashierReported(uint64_t serial, const KTCKiteChannelRechargeNotiInfo& info) {
  // Posting is synchronous: the coordinator hears the result within this call. Restored
  // afterwards, so a result posted by anyone else finds no cashier reporting.
  uint64_t outer = std::exchange(reportingCashier_, serial);
  KTCPostChannelNotification(info);
  reportingCashier_ = outer;
}

uint64_t KTCKiteSDK::currentScope() {
  std::pair<uint64_t, uint64_t> key{orderGeneration_, coop().sessionSerial()};
  // Both counters only grow, so a pair never comes back once it has changed.
  if (key != scopeKey_) {
    scopeKey_ = key;
    ++scope_;
  }
  return scope_;
}

bool KTCKiteSDK::takeCashierResult(const std::string& orderId, const std::string& cpOrderId) {
  if (reportingCashier_ == 0) return false;
  std::optional<KTCCashierOrders::Booking> booking = cashierOrders_.take(reportingCashier_);
  // A cashier reports once (the adapter drops the rest), so its booking goes with its report.
  return booking && booking->orderId == orderId && booking->cpOrderId == cpOrderId &&
         booking->scope == currentScope();
}

bool KTCKiteSDK::payBlockedForAge(int64_t age, double amount, int64_t total) {
  if (age == -1) return false;
  if (age < 8) return true;
  if (age <= 15) return amount > 50 || total > 200;
  if (age <= 17) return amount > 100 || total >= 401;
  return false;
}

void KTCKiteSDK::payAntiIndulgeProductInfoRoleInfoOrderInfo(
    const std::string& orderId, const KTCKiteProductInfoRef& product,
    const KTCKiteRoleInfoRef& role, const KTCKiteSDKPayOrderInfoRef& order) {
  plat::Value settings =
      plat::NSUserDefaults::standardUserDefaults()->objectForKey(kKEY_AntiIndulge_KEY);
  plat::NSLog("防沉迷信息：%@", settings);
  bool checkOn = settings["realname"]["checkPayTime"].description() == "1";
  int64_t age = realNameInfo().get("age").integerValue();
  if (!checkOn) {
    openCashier(orderId, product, role);
    return;
  }
  double amount = order ? static_cast<double>(order->chargedCents()) / 100 : 0;
  NetworkManager::sharedInstance().getPayData([orderId, product, role, age,
                                               amount](const plat::Value& answer) {
    int64_t total = answer["data"]["amount"].description() == "(null)"
                        ? 0
                        : plat::Value(answer["data"]["amount"].description()).integerValue();
    bool blocked = payBlockedForAge(age, amount, total);
    plat::Value plugin =
        SDKCooperater::shareCooperater().channelConfig().get("kiteplugin_antiIndulge_iOS_default");
    if (blocked && plugin.isString() && !plugin.string()->empty()) {
      plat::NSLog("KTLog:channel pay not can be call because real name");
      PlugManager::sharedInstance()->showPayAntiIndulge(KiteSDKPlugArgs({config()}));
      return;
    }
    plat::NSLog("KTLog:main has call channel pay");
    KTCKiteSDK::defaultInstance().openCashier(orderId, product, role);
  });
}
