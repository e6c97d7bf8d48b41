#include "aggregation/channel/KTCKiteChannel.h"

#include <exception>

#include "aggregation/KTCKiteSDKPayOrderInfo.h"
#include "aggregation/NSString+Extend.h"
#include "channel/core/HVmsSDK.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/runtime/Runtime.h"

KiteChannelHelper& KiteChannelHelper::sharedInstance() {
  static auto* h = new KiteChannelHelper();
  return *h;
}

plat::Class* KTCKiteChannel::runtimeClass() {
  static plat::Class* cls = [] {
    plat::Class* c = plat::Runtime::classNamed("KTCKiteChannel");
    if (!c) c = plat::Runtime::registerClass("KTCKiteChannel", nullptr, nullptr, {});
    for (const char* op :
         {"openURL:application:", "openURL:sourceApplication:application:annotation:",
          "openURL:application:options:", "application:supportedInterfaceOrientationsForWindow:"}) {
      c->setHook(op, true);
    }
    return c;
  }();
  return cls;
}

bool KTCKiteChannel::offers(const std::string& operation) {
  return runtimeClass()->respondsToHook(operation);
}

std::any KTCKiteChannel::runtimeHook(const std::string& operation) {
  return runtimeClass()->hook(operation);
}

KTCKiteChannel& KTCKiteChannel::defaultChannel() {
  static auto* c = [] {
    KTCKiteChannelCooperater::defaultCooperater().addNotifications();
    return new KTCKiteChannel();
  }();
  return *c;
}

void KTCKiteChannel::resetForTesting() {
  KTCKiteChannelCooperater::defaultCooperater().resetForTesting();
  auto& helper = KiteChannelHelper::sharedInstance();
  helper.hasShowLogin = false;
  helper.rzStatus.reset();
}

int64_t KTCKiteChannel::initWithDictionaryApplicationDidFinishLaunchingWithOptions(
    const plat::Value& config, plat::UIApplication*, const plat::Value&) {
  KTCKiteChannelCooperater::defaultCooperater().channelCfgDic = config;
  HVmsSDK::didFinishLaunching();
  auto info = KTCKitechannelInitNotifyInfo::info();
  info->state = 1;
  KTCPostChannelNotification(*info);
  return initWithDictionary(config);
}

plat::Value KTCKiteChannel::channelCode() {
  const plat::Value& cfg = KTCKiteChannelCooperater::defaultCooperater().channelCfgDic;
  if (cfg.dictionary() && cfg.count() > 0 && !cfg["channel_type"].isNil()) {
    return cfg["channel_type"];
  }
  plat::Dictionary file = findConfigDict();
  if (!file.empty()) return file.get("channel_type");
  return plat::Value("977");
}

int64_t KTCKiteChannel::login() {
  auto& helper = KiteChannelHelper::sharedInstance();
  if (helper.hasShowLogin) return 0;
  helper.hasShowLogin = true;
  HVmsSDK::loadLoginViewResultSuccessFailed(
      [](const std::string&, const std::string& userName, const std::string& sign,
         const std::string& realNameStatus) {
        auto& h = KiteChannelHelper::sharedInstance();
        h.hasShowLogin = false;
        h.rzStatus = realNameStatus;
        auto info = KTCKiteChanneLoginNotifyInfo::info();
        info->uid = userName;
        info->userNick = userName;
        info->sessionId = sign;
        info->state = 1;
        KTCKiteChannelCooperater::defaultCooperater().loginStateChange(*info);
      },
      [](int64_t code, const std::string& message) {
        if (code == kHVChannelUnavailableCode) {
          // There is no login page to keep up: the login has failed, and the core hears so.
          KiteChannelHelper::sharedInstance().hasShowLogin = false;
          plat::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
              kKtcQCLoginNotification, plat::Value(),
              plat::Value(plat::Dictionary{{"error", code}, {"msg", message}}));
          return;
        }
        // Only a logout from the channel's user centre ends the login; other failures keep
        // the channel's login page (or update prompt) up.
        if (code != -9) return;
        auto& h = KiteChannelHelper::sharedInstance();
        h.hasShowLogin = false;
        h.rzStatus = "0";
        auto& coop = KTCKiteChannelCooperater::defaultCooperater();
        coop.isLogin = false;
        auto info = KTCKiteChanneLoginNotifyInfo::info();
        info->state = 2;
        coop.loginStateChange(*info);
      });
  return 0;
}

int64_t KTCKiteChannel::logout() {
  HVmsSDK::LoginOut();
  auto& helper = KiteChannelHelper::sharedInstance();
  helper.hasShowLogin = false;
  helper.rzStatus = "0";
  auto& coop = KTCKiteChannelCooperater::defaultCooperater();
  coop.isLogin = false;
  auto info = KTCKiteChanneLoginNotifyInfo::info();
  info->state = 2;
  coop.loginStateChange(*info);
  return 0;
}

int64_t KTCKiteChannel::isLogined(const std::function<void(bool)>& block) {
  if (block) block(KTCKiteChannelCooperater::defaultCooperater().isLogin);
  return 0;
}

std::string KTCKiteChannel::userId() const {
  return KTCKiteChannelCooperater::defaultCooperater().userId;
}
std::string KTCKiteChannel::userNick() const {
  return KTCKiteChannelCooperater::defaultCooperater().userNick;
}
std::string KTCKiteChannel::sessionId() const {
  return KTCKiteChannelCooperater::defaultCooperater().sessionId;
}

void KTCKiteChannel::updateUserId(const plat::Value& v) {
  if (v.isString() && !v.string()->empty())
    KTCKiteChannelCooperater::defaultCooperater().userId = *v.string();
}
void KTCKiteChannel::updateUserNick(const plat::Value& v) {
  if (v.isString() && !v.string()->empty())
    KTCKiteChannelCooperater::defaultCooperater().userNick = *v.string();
}
void KTCKiteChannel::updateUserDict(const plat::Dictionary& d) {
  KTCKiteChannelCooperater::defaultCooperater().userDict = d;
}
void KTCKiteChannel::updatePayDict(const plat::Dictionary& d) {
  KTCKiteChannelCooperater::defaultCooperater().payDict = d;
}

plat::Dictionary KTCKiteChannel::realNameInfo() const {
  const auto& rz = KiteChannelHelper::sharedInstance().rzStatus;
  int64_t status = rz ? plat::Value(*rz).integerValue() : 0;
  int64_t age = status == 0 ? -1 : (status == 2 ? 10 : 20);
  return plat::Dictionary{
      {"realName", status != 0}, {"age", age}, {"realResumeGame", true}, {"other", ""}};
}

void KTCKiteChannel::updateRoleInfoWithIsCreate(const KTCKiteRoleInfoRef& role, bool) {
  KTCKiteRoleInfo empty;
  const KTCKiteRoleInfo& r = role ? *role : empty;
  HVmsSDK::SetUserInfoDataWithRoleIdRoleNameRoleLevelZoneIdZoneNameAttachBlock(
      r.gameRoleID, r.gameRoleName, r.gameUserLevel, r.serverId, r.serverName, "",
      [](int64_t result) {
        std::string text = result == 1   ? "提交成功"
                           : result == 2 ? "信息不全"
                           : result == 0 ? "服务连接失败"
                                         : plat::format("%d", result);
        plat::NSLog("KTLog:渠道上传角色信息：%@", text);
      });
}

int64_t KTCKiteChannel::buyOrderIdProductInfoRoleInfo(const std::string& orderId,
                                                      const KTCKiteProductInfoRef& product,
                                                      const KTCKiteRoleInfoRef& role,
                                                      KTCKiteCashierReport report) {
  auto& coop = KTCKiteChannelCooperater::defaultCooperater();
  coop.orderId = orderId;
  coop.productInfo = product;
  coop.roleInfo = role;
  KTCKiteProductInfo noProduct;
  KTCKiteRoleInfo noRole;
  const KTCKiteProductInfo& p = product ? *product : noProduct;
  const KTCKiteRoleInfo& r = role ? *role : noRole;
  std::string cpOrderId = p.productOrderID;
  // The cashier's first report is its result; a later one (the same block called again, or
  // the other block) is only logged.
  auto reported = std::make_shared<bool>(false);
  auto post = [orderId, cpOrderId, reported, report = std::move(report)](int64_t state) {
    if (*reported) {
      plat::NSLog("KTLog:cashier reported order %@ again (state %d), dropped", orderId, state);
      return;
    }
    *reported = true;
    auto info = KTCKiteChannelRechargeNotiInfo::info();
    info->kiteSDKOrderID = orderId;
    info->cpOrderID = cpOrderId;
    info->state = state;
    if (report) {
      report(*info);
    } else {
      KTCPostChannelNotification(*info);
    }
  };
  HVmsSDK::loadToPayVCWithroleidMoneyServeridProductNameProductDescAttachSuccessFaild(
      r.gameRoleID,
      p.amountCents ? KTCMoney::cashierText(*p.amountCents)
                    : plat::format("%.2f", static_cast<double>(p.amount)),
      r.serverId, p.productName, p.productDesc, orderId,
      [post](const plat::Value&, const plat::Value&) { post(1); },
      [post](const plat::Value&, int64_t, const plat::Value&) { post(3); });
  return 0;
}

int64_t KTCKiteChannel::openURLSourceApplicationApplicationAnnotation(
    const plat::NSURLRef& url, const std::string& sourceApplication, plat::UIApplication* app,
    const plat::Value& annotation) {
  HVmsSDK::applicationOpenURLSourceApplicationAnnotation(app, url, sourceApplication, annotation);
  return 0;
}

int64_t KTCKiteChannel::openURLApplication(const plat::NSURLRef& url, plat::UIApplication* app) {
  try {
    HVmsSDK::applicationHandleOpenURL(app, url);
  } catch (const std::exception& e) {
    plat::NSLog("%s,%@", "-[KTCKiteChannel(URL) openURL:application:]", std::string(e.what()));
  }
  return 0;
}

int64_t KTCKiteChannel::openURLApplicationOptions(const plat::NSURLRef& url,
                                                  plat::UIApplication* app,
                                                  const plat::Value& options) {
  try {
    HVmsSDK::applicationOpenURLOptions(app, url, options);
  } catch (const std::exception& e) {
    plat::NSLog("%s,%@", "-[KTCKiteChannel(URL) openURL:application:options:]",
                std::string(e.what()));
  }
  return 0;
}

int64_t KTCKiteChannel::applicationSupportedInterfaceOrientationsForWindow(plat::UIApplication* app,
                                                                           plat::UIWindow* window) {
  return HVmsSDK::applicationSupportedInterfaceOrientationsForWindow(app, window);
}

std::optional<plat::Data> KTCKiteChannel::configFileBytes(bool* exists) {
  std::string path = plat::NSBundle::mainBundle()->pathForResourceOfType("kiteChannel", "cfg");
  if (exists) *exists = !path.empty();
  if (path.empty()) return std::nullopt;
  return plat::dataWithContentsOfFile(path);
}

plat::Dictionary KTCKiteChannel::findConfigDict() {
  bool exists = false;
  auto bytes = configFileBytes(&exists);
  if (!bytes) {
    // A file that is there but cannot be read yields no entries either.
    if (exists) plat::NSLog(kKiteChannelConfigReadFailure);
    return {};
  }
  return configDictFromData(*bytes);
}

plat::Dictionary KTCKiteChannel::configDictFromData(const plat::Data& bytes) {
  plat::Value plist = plat::NSPropertyListSerialization::propertyListWithData(bytes);
  if (plist.dictionary() && !plist.dictionary()->empty()) return *plist.dictionary();
  plat::Dictionary entries;
  if (auto plain = DES128DecryptDataWithKey(bytes, kKiteChannelConfigKey)) {
    plat::Value archived = plat::NSKeyedUnarchiver::unarchiveObjectWithData(*plain);
    if (archived.dictionary()) entries = *archived.dictionary();
  }
  if (entries.empty()) plat::NSLog(kKiteChannelConfigReadFailure);
  return entries;
}

std::optional<plat::Data> KTCKiteChannel::DES128DecryptDataWithKey(const plat::Data& data,
                                                                   const std::string& key) {
  return NSData_Extend::des128Decryptt(data, key);
}

std::optional<plat::Dictionary> KTCKiteChannel::praramsDicFromAtEqualStr(const std::string& text) {
  plat::Dictionary out;
  size_t start = 0;
  for (;;) {
    size_t amp = text.find('&', start);
    std::string piece =
        text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    size_t eq = piece.find('=');
    std::string key = piece.substr(0, eq);
    std::string value = eq == std::string::npos ? piece : piece.substr(piece.rfind('=') + 1);
    out.set(key, value);
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return out;
}
