#include "aggregation/NetworkManager.h"

#include <atomic>
#include <random>

#include "aggregation/KMDevice.h"
#include "aggregation/KTCKiteSDK.h"
#include "aggregation/NSString+Extend.h"
#include "aggregation/NetworkInterface.h"
#include "aggregation/SDKCooperater.h"
#include "aggregation/channel/KTCKiteChannel.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"

namespace {

constexpr const char* kInitPath = "/v1/api/init";
constexpr const char* kLoginCheckPath = "/v2/users/checklogin";
constexpr const char* kOrderPath = "/v1/order/orderpay";
constexpr const char* kVersionPath = "/v2/users/checkversion";
constexpr double kApiTimeout = 6.0;
constexpr const char* kOrderDataError = "数据错误,检查相关参数";

// A base URL from the Info.plist ("" when missing).
std::string infoBase(const char* key) {
  return plat::NSBundle::mainBundle()->objectForInfoDictionaryKey(key).stringOr();
}

std::string productCode() {
  auto cfg = SDKCooperater::shareCooperater().platformCfg;
  return cfg ? cfg->productCodeText() : "";
}
// The product key as text for the sign, and as DES key text (nil: no key bytes).
std::string productKeyText() {
  auto cfg = SDKCooperater::shareCooperater().platformCfg;
  return cfg ? cfg->productKeyText() : "";
}
std::string productKeyBytes() {
  auto cfg = SDKCooperater::shareCooperater().platformCfg;
  return cfg && cfg->productKey ? *cfg->productKey : std::string();
}

plat::Value channelCodeValue() { return KTCKiteChannel::defaultChannel().channelCode(); }
// The text of a value for a request; "" for a missing one (never "(null)").
std::string textOrEmpty(const plat::Value& v) {
  return v.isNil() || v.isNull() ? std::string() : v.description();
}

int64_t nowMilliseconds() {
  return static_cast<int64_t>(plat::Clock::current()->date().timeIntervalSince1970() * 1000);
}

// Where a completion goes: the main queue for calls from the main thread, else inline on the
// worker that made the request.
using Deliver = std::function<void(const NetworkManager::Completion&, const plat::Value&)>;
Deliver issuingQueue() {
  if (plat::NSThread::isMainThread()) {
    return [](const NetworkManager::Completion& c, const plat::Value& v) {
      if (!c) return;
      plat::dispatch_async(plat::dispatch_get_main_queue(), [c, v] { c(v); });
    };
  }
  return [](const NetworkManager::Completion& c, const plat::Value& v) {
    if (c) c(v);
  };
}

std::atomic<int>& inFlight() {
  static auto* n = new std::atomic<int>(0);
  return *n;
}

// Counts a request from before it is sent until its answer has been handed on.
struct InFlight {
  InFlight() { ++inFlight(); }
  ~InFlight() { --inFlight(); }
  InFlight(const InFlight&) { ++inFlight(); }
};

NetworkManager*& instanceSlot() {
  static NetworkManager* instance = nullptr;
  return instance;
}
// Managers replaced by resetForTesting: a request in flight may still use one, so they stay.
std::vector<NetworkManager*>& retiredInstances() {
  static auto* v = new std::vector<NetworkManager*>();
  return *v;
}
std::mutex& instanceMutex() {
  static auto* m = new std::mutex();
  return *m;
}

}  // namespace

struct NetworkManager::Staggered {
  std::mutex mu;
  bool isResult = false;
  double ckUserTimeout = kApiTimeout;
  std::string ckUserInterface, ckUserPostString, ckUserMethod;
  Completion ckUser_BackBlock;
  Deliver missionCurrentQueue;
  uint64_t leftoverCounts = 0;
  uint64_t ckUserServeIndex = 0;
  plat::Array hosts;
  bool timerRunning = false;
};

NetworkManager& NetworkManager::sharedInstance() {
  std::lock_guard<std::mutex> lock(instanceMutex());
  if (!instanceSlot()) instanceSlot() = new NetworkManager();
  return *instanceSlot();
}

void NetworkManager::resetForTesting() {
  std::lock_guard<std::mutex> lock(instanceMutex());
  if (instanceSlot()) retiredInstances().push_back(instanceSlot());
  instanceSlot() = new NetworkManager();
}

NetworkManager::NetworkManager() {
  std::string api = infoBase("KITE_API_HOST");
  if (!api.empty()) serveUrls_.push_back(api);
  // A seeded random number: two launches on one device get different session ids.
  std::random_device rd;
  std::uniform_int_distribution<long> dist(0, 0x7fffffffL);
  sessionId_ = NSString_Extend::md5Stringg(
      plat::format("%@_%ld", KMDevice::sharedInstance().deviceID, dist(rd)));
}

plat::Array NetworkManager::serveUrls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return serveUrls_;
}
void NetworkManager::setServeUrls(const plat::Array& urls) {
  std::lock_guard<std::mutex> lock(mu_);
  serveUrls_ = urls;
}
uint64_t NetworkManager::selectedIndex() const {
  std::lock_guard<std::mutex> lock(mu_);
  return selectedIndex_;
}
void NetworkManager::setSelectedIndex(uint64_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  selectedIndex_ = index;
}

plat::Dictionary NetworkManager::publicDict() {
  std::unique_lock<std::mutex> lock(mu_);
  if (!publicBuilt_) {
    lock.unlock();
    KMDevice& d = KMDevice::sharedInstance();
    KTCKiteChannel& channel = KTCKiteChannel::defaultChannel();
    plat::Dictionary p{{"platform", 1},
                       {"device_id", d.deviceID},
                       {"idfa", d.idfa},
                       {"session_id", sessionId_},
                       {"sdk_v", kKiteSDKVersion},
                       {"sdk_sub_v", channel.frameworkVersion()},
                       {"channel_sdk_v", channel.channelVersion()},
                       {"product_v", ""},
                       {"device_os", d.osName},
                       {"device_os_v", d.os_version},
                       {"device_name", d.deviceName},
                       {"debug", true},
                       {"screen_height", d.screen_Height},
                       {"screen_width", d.screen_Width},
                       {"dpi", d.deviceDpi},
                       {"net_type", 1}};
    lock.lock();
    if (!publicBuilt_) {
      publicDict_ = std::move(p);
      publicBuilt_ = true;
    }
  }
  plat::Dictionary out = publicDict_;
  lock.unlock();
  out.set("channel_code", channelCodeValue().integerValue());
  out.set("time", nowMilliseconds());
  return out;
}

void NetworkManager::setPublicDict(const plat::Dictionary& dict) {
  std::lock_guard<std::mutex> lock(mu_);
  publicDict_ = dict;
  publicBuilt_ = true;
}

std::optional<std::string> NetworkManager::envelopeJ(const plat::Dictionary& dict,
                                                     const std::string& productKey) {
  auto json = NSDictionary_Extend::jsonString(plat::Value(dict));
  if (!json) return std::nullopt;
  return NSString_Extend::urlEncodeFromBase64StrOfDES128Encryptt(*json, productKey);
}

std::string NetworkManager::envelopeSign(const std::string& j, const std::string& productCode,
                                         const std::string& productKey) {
  return NSString_Extend::md5Stringg(
      plat::format("%@=%@&%@=%@&%@", "json_data", j, "product_code", productCode, productKey));
}

int NetworkManager::requestsInFlight() { return inFlight().load(); }

plat::Array NetworkManager::hostListFrom(const plat::Value& list) {
  // Texts only: an entry of any other kind cannot be a base URL.
  plat::Array out;
  if (const plat::Array* a = list.array()) {
    for (const auto& v : *a)
      if (v.isString() && !v.string()->empty()) out.push_back(v);
  }
  return out;
}

std::string NetworkManager::escapeComponent(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

void NetworkManager::sendEnvelope(const std::string& path, plat::Dictionary dict,
                                  Completion completion, const char* jsonFailureLog) {
  std::string code = productCode();
  auto j = envelopeJ(dict, productKeyBytes());
  if (!j) {
    if (jsonFailureLog) plat::NSLog(jsonFailureLog);
    issuingQueue()(completion, plat::Value());
    return;
  }
  std::string sign = envelopeSign(*j, code, productKeyText());
  std::string body =
      plat::format("%@=%@&%@=%@&%@=%@", "json_data", *j, "product_code", code, "sign", sign);
  requestUrlInterfaceParamMethodCompletionBlock(path, body, "POST", std::move(completion));
}

void NetworkManager::requestUrlInterfaceParamMethodCompletionBlock(const std::string& path,
                                                                   const std::string& param,
                                                                   const std::string& method,
                                                                   Completion completion) {
  Deliver deliver = issuingQueue();
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [this, path, param, method, completion,
                                                            deliver, counted = InFlight()] {
    plat::Array hosts;
    uint64_t i;
    {
      std::lock_guard<std::mutex> lock(mu_);
      hosts = serveUrls_;
      i = selectedIndex_;
    }
    if (hosts.empty()) {
      deliver(completion, plat::Value());
      return;
    }
    if (i >= hosts.size()) i = 0;
    for (size_t attempt = 0; attempt < hosts.size(); ++attempt) {
      plat::Value answer = NetworkInterface::sharedInstance().addSyncHttpRequestParamMethodTimeout(
          hosts[i].description() + path, param, method, kApiTimeout);
      if (!answer.isNil()) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          selectedIndex_ = i;
        }
        deliver(completion, answer);
        return;
      }
      i = i + 1 < hosts.size() ? i + 1 : 0;
    }
    deliver(completion, plat::Value());
  });
}

void NetworkManager::gatewayRequest(const std::string& url, const std::string& param,
                                    const std::string& method, Completion completion) {
  Deliver deliver = issuingQueue();
  if (url.empty()) {
    deliver(completion, plat::Value());
    return;
  }
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [this, url, param, method, completion,
                                                            deliver, counted = InFlight()] {
    uint64_t count, i;
    {
      std::lock_guard<std::mutex> lock(mu_);
      count = serveUrls_.size();
      i = selectedIndex_;
    }
    for (uint64_t attempt = 0; attempt < count; ++attempt) {
      // A GET's query is already escaped component by component: it goes into the URL as it
      // is (and stays out of the request's log line).
      plat::Value answer = NetworkInterface::sharedInstance().addSyncHttpRequestParamMethodTimeout(
          url, param, method, kApiTimeout, method == "POST");
      if (!answer.isNil()) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          selectedIndex_ = i;
        }
        deliver(completion, answer);
        return;
      }
      i = i + 1 < count ? i + 1 : 0;
    }
    deliver(completion, plat::Value());
  });
}

void NetworkManager::initInterface(Completion completion) {
  KMDevice& d = KMDevice::sharedInstance();
  plat::Dictionary dict = publicDict();
  plat::Dictionary fields{
      {"deviceCustomeName", d.deviceCustomeName},
      {"wifiName", d.wifiName},
      {"wifiIP", d.wifiIP},
      {"capacityAll", plat::format("%.2f", static_cast<double>(d.capacityAll))},
      {"capacityLast", plat::format("%.2f", static_cast<double>(d.capacityLast))},
      {"powerLast", plat::format("%.0f", static_cast<double>(d.powerLast))},
      {"os_language", d.osLanguage},
      {"country_code", d.osCountryCode},
      {"ismobiledevice", d.deviceName.find("iPhone") != std::string::npos ? 1 : 0},
      {"imei", ""},
      {"imsi", ""},
      {"wifimac", ""},
      {"bluetooth_mac", ""},
      {"push_token", d.device_pushToken()}};
  // A carrier without a mobile network code sends no field.
  if (d.mobileProviderCode) fields.set("mobileProviderCode", *d.mobileProviderCode);
  for (auto& [k, v] : fields) dict.set(k, v);
  sendEnvelope(kInitPath, std::move(dict), std::move(completion));
}

void NetworkManager::loginVerifyInterfaceHandler(const plat::Dictionary& fields,
                                                 Completion completion) {
  plat::Dictionary dict = publicDict();
  for (auto& [k, v] : fields) dict.set(k, v);
  // The user token stays out of the log.
  plat::Dictionary shown = dict;
  if (shown.contains("token")) shown.set("token", "***");
  plat::NSLog("KiteSDK 用户认证 JSON_DATA明文:%@",
              NSDictionary_Extend::jsonString(plat::Value(shown)).value_or(""));
  sendEnvelope(kLoginCheckPath, std::move(dict), std::move(completion));
}

void NetworkManager::orderInterfaceRoleInfoHandler(const KTCKiteSDKPayOrderInfoRef& order,
                                                   const KTCKiteSDKGameRoleInfoRef& role,
                                                   Completion completion) {
  KTCKiteChannel& channel = KTCKiteChannel::defaultChannel();
  plat::Dictionary dict = publicDict();
  std::string payParams = SDKCooperater::shareCooperater().getPaayParams();
  if (!payParams.empty()) dict.set("pay_params", payParams);
  dict.set("uid", channel.userId());
  dict.set("user_name", channel.userNick());
  dict.set("token", channel.sessionId());
  auto put = [&dict](const char* key, const std::optional<std::string>& v) {
    if (v) dict.set(key, *v);
  };
  if (order) {
    put("goods_id", order->goodsID);
    put("goods_name", order->productName);
    dict.set("goods_desc", order->productDesc.value_or(""));
    put("cp_order_id", order->cpOrderID);
    dict.set("price", order->priceNumber());
    dict.set("count", order->count);
    dict.set("amount", order->amountNumber());
    put("callback_url", order->callbackUrl);
    put("extras_params", order->extrasParams);
  }
  if (role) {
    plat::Dictionary info;
    auto add = [&info](const char* key, const plat::Value& v) {
      if (!v.isNil()) info.set(key, v);
    };
    add("server_name", role->serverName());
    add("server_id", role->serverId());
    add("game_role_name", role->gameRoleName());
    add("game_role_id", role->gameRoleID());
    add("game_role_balance", role->gameUserBalance());
    add("vip_level", role->vipLevel());
    add("game_role_level", role->gameUserLevel());
    add("party_name", role->partyName());
    auto json = NSDictionary_Extend::jsonString(plat::Value(info));
    if (!json) {
      plat::NSLog(kOrderDataError);
      issuingQueue()(completion, plat::Value());
      return;
    }
    dict.set("game_role_info", NSString_Extend::base64Stringg(*json));
  }
  sendEnvelope(kOrderPath, std::move(dict), std::move(completion), kOrderDataError);
}

void NetworkManager::checkGameVersion(Completion completion) {
  sendEnvelope(kVersionPath, publicDict(), std::move(completion));
}

void NetworkManager::updateRoleWithUidNameRoleInfoHandler(const std::string& uid,
                                                          const std::string& name,
                                                          const KTCKiteSDKGameRoleInfoRef& role,
                                                          Completion completion) {
  plat::Dictionary dict{{"uid", uid}, {"username", name}};
  auto add = [&dict](const char* key, const plat::Value& v) {
    if (!v.isNil()) dict.set(key, v);
  };
  if (role) {
    add("serverID", role->serverId());
    add("serverName", role->serverName());
    add("gameRoleName", role->gameRoleName());
    add("gameRoleID", role->gameRoleID());
    add("gameRoleBalance", role->gameUserBalance());
    add("vipLevel", role->vipLevel());
    add("gameRoleLevel", role->gameUserLevel());
    add("partyName", role->partyName());
    add("partyId", role->partyId());
    add("roleCreateTime", role->creatTime());
    add("gameRoleGender", role->roleGender());
    add("gameRolePower", role->fightPower());
    add("partyRoleId", role->partyRoleId());
    add("partyRoleName", role->partyRoleName());
    add("profession", role->profession());
    add("professionId", role->professionId());
  }
  dict.set("time", nowMilliseconds());
  dict.set("channelCode", channelCodeValue().integerValue());
  dict.set("productCode", productCode());
  dict.set("action", "role");
  dict.set("channelVersion", KTCKiteChannel::defaultChannel().channelVersion());
  dict.set("sdkVersion", kKiteSDKVersion);
  plat::Value version =
      plat::NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
  dict.set("gameVersion",
           version.isString() && !version.string()->empty() ? *version.string() : "1.0.0");
  dict.set("deviceId", KMDevice::sharedInstance().deviceID);

  updateRoleInfoDictWithSignResultBlock(dict, true, [this, dict, completion](const plat::Value& a) {
    if (!a.isNil() && !a["result"].boolValue()) {
      const plat::Value& id = a["error"]["id"];
      if (id.isNumber() && id.integerValue() == 1000) {
        updateRoleInfoDictWithSignResultBlock(dict, false, completion);
        return;
      }
    }
    if (completion) completion(a);
  });
}

void NetworkManager::updateRoleInfoDictWithSignResultBlock(const plat::Dictionary& dict,
                                                           bool withSign, Completion completion) {
  plat::Dictionary sent = dict;
  if (withSign) {
    auto j = envelopeJ(dict, productKeyBytes());
    if (j) sent.set("sign", envelopeSign(*j, productCode(), productKeyText()));
  }
  std::string query;
  for (const auto& [k, v] : sent) {
    if (!query.empty()) query += "&";
    query += escapeComponent(k) + "=" + escapeComponent(v.description());
  }
  std::string base = infoBase("KITE_GATEWAY_BASE");
  gatewayRequest(base.empty() ? "" : plat::format("%@/%@", base, "gateway"), query, "GET",
                 std::move(completion));
}

void NetworkManager::getPayData(Completion completion) {
  KTCKiteChannel& channel = KTCKiteChannel::defaultChannel();
  plat::Dictionary realName = KTCKiteSDK::defaultInstance().realNameInfo();
  std::vector<std::pair<std::string, std::string>> pairs{
      {"uid", channel.userId()},
      {"productCode", productCode()},
      {"realStatus", textOrEmpty(realName.get("realName"))},
      {"action", "checkRealnamePay"},
      {"gameVersion", textOrEmpty(plat::NSBundle::mainBundle()->objectForInfoDictionaryKey(
                          "CFBundleShortVersionString"))},
      {"sdkVersion", kKiteSDKVersion},
      {"channelVersion", channel.channelVersion()},
      {"time", plat::format("%lld", static_cast<long long>(nowMilliseconds()))},
      {"deviceId", KMDevice::sharedInstance().deviceID},
      {"age", textOrEmpty(realName.get("age"))},
      {"channelCode", textOrEmpty(channelCodeValue())}};
  std::string plain, body;
  for (const auto& [k, v] : pairs) {
    if (!plain.empty()) plain += "&", body += "&";
    plain += k + "=" + v;
    body += escapeComponent(k) + "=" + escapeComponent(v);
  }
  body += "&sign=" + NSString_Extend::md5Stringg(plain);
  plat::NSLog("支付防沉迷 postString:%@", body);
  std::string base = infoBase("KITE_GATEWAY_BASE");
  gatewayRequest(base.empty() ? "" : plat::format("%@/%@", base, "getData"), body, "POST",
                 std::move(completion));
}

void NetworkManager::getAntiIndulgeMessage(Completion completion) {
  std::string base = infoBase("KITE_CDN_BASE");
  if (base.empty()) {
    plat::dispatch_async(plat::dispatch_get_main_queue(), [completion] {
      if (completion) completion(plat::Value());
    });
    return;
  }
  std::string url = base + "/" + productCode() + "/" + textOrEmpty(channelCodeValue()) + ".html";
  NetworkInterface::sharedInstance().addHttpRequestParamMethodCompletionBlockTimeout(
      url, "", "GET",
      [completion, counted = std::make_shared<InFlight>()](const plat::Value& answer) {
        if (completion) completion(answer);
      },
      kApiTimeout, /*failUnlessObject=*/true);
}

void NetworkManager::updateServerListWithChannelParamsHandler(const plat::Value& channelParams,
                                                              std::function<void()> handler) {
  Deliver deliver = issuingQueue();
  std::string code = productCode();
  std::string channelCode = textOrEmpty(channelCodeValue());
  plat::Value ipConfig = channelParams["kitesdk_server_ip_config"];
  std::string base = ipConfig.isString() && !ipConfig.string()->empty()
                         ? *ipConfig.string()
                         : infoBase("KITE_SERVER_LIST_BASE");
  plat::Array configured = hostListFrom(channelParams["kite_server_config"]);
  plat::dispatch_async(
      plat::dispatch_get_global_queue(0),
      [this, base, code, channelCode, configured, handler, deliver, counted = InFlight()] {
        if (!configured.empty()) setServeUrls(configured);
        if (!base.empty()) {
          plat::Array fetched = hostListFrom(
              plat::Value(NetworkInterface::sharedInstance().addSyncHttpRequest2ParamMethod(
                  base + "/" + code + "-" + channelCode + ".html", "", "GET")));
          if (!fetched.empty()) {
            std::lock_guard<std::mutex> lock(mu_);
            for (const auto& v : serveUrls_) fetched.push_back(v);
            serveUrls_ = std::move(fetched);
            selectedIndex_ = 0;
          }
        }
        deliver(
            [handler](const plat::Value&) {
              if (handler) handler();
            },
            plat::Value());
      });
}

void NetworkManager::timerRequestUrlInterfaceParamMethodCompletionBlock(const std::string& path,
                                                                        const std::string& param,
                                                                        const std::string& method,
                                                                        Completion completion) {
  auto s = std::make_shared<Staggered>();
  s->ckUserTimeout = NetworkInterface::defaultRequesTimeOut();
  s->ckUserInterface = path;
  s->ckUserPostString = param;
  s->ckUserMethod = method;
  s->ckUser_BackBlock = std::move(completion);
  s->missionCurrentQueue = issuingQueue();
  {
    std::lock_guard<std::mutex> lock(mu_);
    s->hosts = serveUrls_;
    s->ckUserServeIndex = selectedIndex_;
    staggered_ = s;
  }
  s->leftoverCounts = s->hosts.size();
  if (s->hosts.empty()) {
    s->missionCurrentQueue(s->ckUser_BackBlock, plat::Value());
    return;
  }
  if (s->ckUserServeIndex >= s->hosts.size()) s->ckUserServeIndex = 0;
  s->timerRunning = true;
  scheduleTick(s);
  uint64_t index = s->ckUserServeIndex;
  double timeout = s->ckUserTimeout * static_cast<double>(s->leftoverCounts);
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [this, s, index, timeout,
                                                            counted = InFlight()] {
    plat::Value answer = NetworkInterface::sharedInstance().addSyncHttpRequestParamMethodTimeout(
        s->hosts[index].description() + s->ckUserInterface, s->ckUserPostString, s->ckUserMethod,
        timeout);
    std::unique_lock<std::mutex> lock(s->mu);
    if (s->isResult) return;
    // The first attempt's failure is reported at once and ends the request: the completion
    // runs once, so no later host may answer after it.
    s->isResult = true;
    s->timerRunning = false;
    lock.unlock();
    if (!answer.isNil()) setSelectedIndex(index);
    s->missionCurrentQueue(s->ckUser_BackBlock, answer);
  });
}

void NetworkManager::scheduleTick(const std::shared_ptr<Staggered>& s) {
  // The timer keeps its request until it stops (at most one tick per host).
  plat::dispatch_after(s->ckUserTimeout, plat::dispatch_get_global_queue(0), [this, s] {
    timeIsUp(s);
    bool running;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      running = s->timerRunning;
    }
    if (running) scheduleTick(s);
  });
}

void NetworkManager::timeIsUp(const std::shared_ptr<Staggered>& s) {
  // Each request's timer moves its own request on, also when a newer one replaced it.
  std::unique_lock<std::mutex> lock(s->mu);
  if (s->isResult || s->leftoverCounts <= 1) {
    s->timerRunning = false;
    return;
  }
  --s->leftoverCounts;
  s->ckUserServeIndex = s->ckUserServeIndex + 1 < s->hosts.size() ? s->ckUserServeIndex + 1 : 0;
  uint64_t index = s->ckUserServeIndex;
  double timeout = s->ckUserTimeout * static_cast<double>(s->leftoverCounts);
  lock.unlock();
  plat::dispatch_async(plat::dispatch_get_global_queue(0), [this, s, index, timeout,
                                                            counted = InFlight()] {
    plat::Value answer = NetworkInterface::sharedInstance().addSyncHttpRequestParamMethodTimeout(
        s->hosts[index].description() + s->ckUserInterface, s->ckUserPostString, s->ckUserMethod,
        timeout);
    std::unique_lock<std::mutex> lock(s->mu);
    if (answer.isNil() || s->isResult) return;
    s->isResult = true;
    s->timerRunning = false;
    lock.unlock();
    setSelectedIndex(index);
    s->missionCurrentQueue(s->ckUser_BackBlock, answer);
  });
}
