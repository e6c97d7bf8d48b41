#include "aggregation/KiteSDKInterface.h"

#include <array>
#include <mutex>

#include "aggregation/KTCKiteSDK.h"
#include "aggregation/SDKCooperater.h"
#include "platform/foundation/NSJSONSerialization.h"

namespace {

std::array<KiteSDKCallback, 3>& slots() {
  static auto* s = new std::array<KiteSDKCallback, 3>{};
  return *s;
}
int slotIndex(int id) {
  return id >= kKiteSDKLoginCallbackId && id <= kKiteSDKPayCallbackId ? id - kKiteSDKLoginCallbackId
                                                                      : -1;
}

void call(int id, const std::optional<std::string>& text) {
  KiteSDKCallback cb = slots()[slotIndex(id)];
  if (!cb) return;
  cb(text ? text->c_str() : nullptr);
}

std::optional<std::string> pretty(const plat::Dictionary& d) {
  std::string s = plat::NSJSONSerialization::stringWithJSONObject(
      plat::Value(d), plat::NSJSONSerialization::NSJSONWritingPrettyPrinted);
  if (s.empty()) return std::nullopt;
  return s;
}

// The page's JSON object, or nullopt for missing text, bad JSON or another top level.
std::optional<plat::Dictionary> parseObject(const std::optional<std::string>& json) {
  if (!json) return std::nullopt;
  plat::Value v = plat::NSJSONSerialization::JSONObjectWithString(
      *json, plat::NSJSONSerialization::NSJSONReadingMutableContainers);
  if (!v.dictionary() || v.dictionary()->empty()) return std::nullopt;
  return *v.dictionary();
}

bool scalar(const plat::Value& v) { return v.isNumber() || v.isString() || v.isBool(); }

KTCKiteSDKGameRoleInfoRef roleFrom(const plat::Dictionary& d) {
  auto role = std::make_shared<KTCKiteSDKGameRoleInfo>();
  role->setServerId(d.get("serverID"));
  role->setServerName(d.get("serverName"));
  role->setGameRoleName(d.get("gameRoleName"));
  role->setGameRoleID(d.get("gameRoleID"));
  role->setGameUserBalance(d.get("gameBalance"));
  role->setVipLevel(d.get("vipLevel"));
  role->setGameUserLevel(d.get("gameRoleLevel"));
  role->setPartyName(d.get("partyName"));
  return role;
}

}  // namespace

KiteSDKInterface::~KiteSDKInterface() {
  for (auto& t : observers_) plat::NSNotificationCenter::defaultCenter().removeObserver(t);
}

void KiteSDKInterface::subscribe(const char* name,
                                 void (KiteSDKInterface::*handler)(const plat::NSNotification&)) {
  observers_.push_back(
      plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
          name, plat::Value(), nullptr,
          [this, handler](const plat::NSNotification& note) { (this->*handler)(note); }));
}

void KiteSDKInterface::InitWithApplicationOptionsProductKeyProductCode(
    plat::UIApplication* application, const plat::Value& options, const plat::Value& productKey,
    const plat::Value& productCode) {
  InitSDK();
  application_ = application;
  options_ = options;
  subscribe(kKtcQPInitDidFinishedNotification, &KiteSDKInterface::HandleInit);
  cfg_ = std::make_shared<KTCKiteSDKInitConfigure>();
  if (!productKey.isNil() && !productKey.isNull()) cfg_->productKey = productKey.description();
  if (!productCode.isNil() && !productCode.isNull()) cfg_->productCode = productCode.description();
  if (KTCKiteSDK::defaultInstance().initWithConfigApplicationDidFinishLaunchingWithOptions(
          cfg_, application_, options_) != 0) {
    initResult_ = 1;
  }
}

void KiteSDKInterface::InitSDK() {
  if (hasInitSDK_) return;
  hasInitSDK_ = true;
  subscribe(kKtcQPLoginNotification, &KiteSDKInterface::HandleLogin);
  subscribe(kKtcQPLogoutNotification, &KiteSDKInterface::HandleLogout);
  subscribe(kKtcQPNotiRecharge, &KiteSDKInterface::HandlePay);
}

void KiteSDKInterface::ReleaseSDK() {
  hasInitSDK_ = false;
  // The page that placed the outstanding orders is going away.
  EndPendingOrders();
  slots() = {};
  for (auto& t : observers_) plat::NSNotificationCenter::defaultCenter().removeObserver(t);
  observers_.clear();
}

void KiteSDKInterface::EndPendingOrders() { KTCKiteSDK::defaultInstance().endPendingOrders(); }

bool KiteSDKInterface::RegCBCallback(int id, KiteSDKCallback callback) {
  int i = slotIndex(id);
  if (i < 0) return false;
  slots()[i] = callback;
  return true;
}

bool KiteSDKInterface::UnregCB(int id) {
  int i = slotIndex(id);
  if (i < 0) return false;
  slots()[i] = nullptr;
  return true;
}

void KiteSDKInterface::ReInit() {
  if (KTCKiteSDK::defaultInstance().initWithConfigApplicationDidFinishLaunchingWithOptions(
          cfg_, application_, options_) != 0) {
    initResult_ = 1;
  }
}

int64_t KiteSDKInterface::Login() { return KTCKiteSDK::defaultInstance().login(); }
int64_t KiteSDKInterface::Logout() { return KTCKiteSDK::defaultInstance().logout(); }

int32_t KiteSDKInterface::GetChannelType() {
  return static_cast<int32_t>(KTCKiteSDK::defaultInstance().channelType());
}

void KiteSDKInterface::SetGameRoleInfo(const std::optional<std::string>& json) {
  auto d = parseObject(json);
  if (!d) return;
  const plat::Value& flag = d->get("isCreate");
  bool isCreate = scalar(flag) && flag.boolValue();
  KTCKiteSDK::defaultInstance().updateRoleInfoWithIsCreate(roleFrom(*d), isCreate);
}

void KiteSDKInterface::Pay(const std::optional<std::string>& json) {
  auto d = parseObject(json);
  if (!d) return;
  KTCKiteSDKPayOrderInfoRef order;
  KTCKiteSDKGameRoleInfoRef role;
  if (const plat::Dictionary* o = d->get("orderInfo").dictionary()) {
    order = KTCKiteSDKPayOrderInfo::info();
    order->setGoodsID(o->get("goodsID"));
    order->setProductName(o->get("goodsName"));
    order->setCpOrderID(o->get("cpOrderID"));
    const plat::Value& count = o->get("count");
    int32_t n = scalar(count) ? count.intValue() : 0;
    order->count = n > 0 ? static_cast<uint64_t>(n) : 0;
    // The amount is held exactly; a value that is not wholly a number is no amount.
    order->setAmount(o->get("amount"));
    const plat::Value& extras = o->get("extrasParams");
    if (!extras.isNil() && !extras.isNull()) order->extrasParams = extras.description();
    const plat::Value& callback = o->get("callbackUrl");
    if (!callback.isNil() && !callback.isNull()) order->callbackUrl = callback.description();
  }
  if (const plat::Dictionary* r = d->get("roleInfo").dictionary()) role = roleFrom(*r);
  KTCKiteSDK::defaultInstance().payOrderInfoRoleInfo(order, role);
}

void KiteSDKInterface::HandleInit(const plat::NSNotification&) { initResult_ = 0; }

void KiteSDKInterface::HandleLogin(const plat::NSNotification& note) {
  plat::Dictionary d;
  if (note.userInfo["error"].integerValue() == 0) {
    KTCKiteSDK& sdk = KTCKiteSDK::defaultInstance();
    d = {{"result", 0}};
    // A member whose value is absent is left out of the text.
    std::string userId = sdk.userId();
    std::string userNick = sdk.userNick();
    if (!userId.empty()) d.set("userId", userId);
    if (!userNick.empty()) d.set("userNick", userNick);
    if (auto token = sdk.userToken()) d.set("userToken", *token);
  } else {
    d = {{"result", 1}};
  }
  if (auto text = pretty(d)) OnLogin(text);
}

void KiteSDKInterface::HandleLogout(const plat::NSNotification& note) {
  plat::Dictionary d{{"result", note.userInfo["error"].integerValue() == 0 ? 0 : 1}};
  if (auto text = pretty(d)) OnLogout(text);
}

void KiteSDKInterface::HandlePay(const plat::NSNotification& note) {
  if (!slots()[slotIndex(kKiteSDKPayCallbackId)]) return;
  plat::Dictionary d;
  if (note.userInfo["error"].integerValue() == 0) {
    d = {{"result", 0}};
    for (const char* key : {"orderId", "cpOrderId"}) {
      const plat::Value& v = note.userInfo[key];
      if (!v.isNil() && !v.isNull() && !(v.isString() && v.string()->empty())) d.set(key, v);
    }
  } else {
    d = {{"result", 1}};
  }
  if (auto text = pretty(d)) OnPay(text);
}

void KiteSDKInterface::OnLogin(const std::optional<std::string>& text) {
  call(kKiteSDKLoginCallbackId, text);
}
void KiteSDKInterface::OnLogout(const std::optional<std::string>& text) {
  call(kKiteSDKLogoutCallbackId, text);
}
void KiteSDKInterface::OnPay(const std::optional<std::string>& text) {
  call(kKiteSDKPayCallbackId, text);
}
