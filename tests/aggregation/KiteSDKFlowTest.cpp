// The aggregation SDK's start-up, login, role and payment roads: facade, coordinator and
// bridge-facing interface against the loopback aggregation server and a scripted channel.

#include <condition_variable>
#include <functional>
#include <limits>

#include "KiteTestSupport.h"
#include "aggregation/KiteSDKInterface.h"
#include "aggregation/NSString+Extend.h"
#include "aggregation/NetworkInterface.h"
#include "aggregation/channel/KTCKiteChannelNotifyInfo.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/runtime/Runtime.h"
#include "platform/security/CommonCrypto.h"
#include "platform/uikit/UIWindow.h"

using plat::Array;
using plat::Dictionary;
using plat::Value;

namespace {

// Records the role events a plug-in receives.
struct RolePlug : KiteSDKPlugNodes {
  static std::shared_ptr<RolePlug>& shared() {
    static auto* p = new std::shared_ptr<RolePlug>();
    return *p;
  }
  int created = 0, entered = 0, updated = 0, ordered = 0;
  std::vector<Value> orderAnswers, recharges, plugCalls;
  std::vector<Array> willInits, willLogins;
  void willInit(const Array& a) override { willInits.push_back(a); }
  void willLogin(const Array& a) override { willLogins.push_back(a); }
  void createRoleInfo(const Array&) override { ++created; }
  void enterGameRoleInfo(const Array&) override { ++entered; }
  void updateRoleInfo(const Array&) override { ++updated; }
  void willRechargeOrdered(const Array&) override { ++ordered; }
  void willRecharge(const Array& a) override { recharges.push_back(a.size() > 1 ? a[1] : Value()); }
  std::optional<int64_t> callPlugParams(const Value& params) override {
    plugCalls.push_back(params);
    return 0;
  }
  void kiteGetOrderResult(const Array& a) override {
    orderAnswers.push_back(a.size() > 1 ? a[1] : Value());
  }
};

// What the three callbacks received (JSON texts parsed; "<null>" for a null text).
std::vector<Value>& received(int id) {
  static auto* v = new std::vector<Value>[3];
  return v[id - kKiteSDKLoginCallbackId];
}
void record(int id, const char* text) {
  received(id).push_back(text ? plat::NSJSONSerialization::JSONObjectWithString(text)
                              : Value("<null>"));
}
void onLogin(const char* t) { record(kKiteSDKLoginCallbackId, t); }
void onLogout(const char* t) { record(kKiteSDKLogoutCallbackId, t); }
void onPay(const char* t) { record(kKiteSDKPayCallbackId, t); }

class KiteSDKFlowTest : public KiteTest {
 protected:
  void SetUp() override {
    static bool registered = [] {
      PlugManager::registerPlugClass("RolePlug",
                                     [] { return KiteSDKPlugNodesRef(RolePlug::shared()); });
      return true;
    }();
    (void)registered;
    RolePlug::shared() = std::make_shared<RolePlug>();
    for (int id = kKiteSDKLoginCallbackId; id <= kKiteSDKPayCallbackId; ++id) received(id).clear();
  }
  void TearDown() override {
    if (iface) iface->ReleaseSDK();
    iface.reset();
    KiteTest::TearDown();
    PlugManager::sharedInstance()->startManager();
  }
  // The interface as the application makes it, with the three callbacks registered.
  void startInterface(bool online = true, const Dictionary& channelConfig = {}) {
    startSDK(online);
    bundle->writePlist(
        "kitePlugins.cfg",
        Value(Array{Value(Dictionary{{"name", "RolePlug"}, {"managerName", "RolePlug"}})}));
    if (!channelConfig.empty()) bundle->writePlist("kiteChannel.cfg", Value(channelConfig));
    PlugManager::load();
    iface = std::make_shared<KiteSDKInterface>();
    iface->InitWithApplicationOptionsProductKeyProductCode(
        nullptr, Value(), Value(server.options().productKey), Value(server.options().productCode));
    iface->InitSDK();
    EXPECT_TRUE(KiteSDKInterface::RegCBCallback(kKiteSDKLoginCallbackId, onLogin));
    EXPECT_TRUE(KiteSDKInterface::RegCBCallback(kKiteSDKLogoutCallbackId, onLogout));
    EXPECT_TRUE(KiteSDKInterface::RegCBCallback(kKiteSDKPayCallbackId, onPay));
  }
  // Login through the channel as `user`, waiting for the login callback.
  void logIn(const std::string& user) {
    size_t before = received(kKiteSDKLoginCallbackId).size();
    iface->Login();
    ASSERT_TRUE(channel->loginOpen());
    channel->completeLogin(user);
    ASSERT_TRUE(testing_loop::runUntil(
        [&] { return received(kKiteSDKLoginCallbackId).size() > before; }, 20));
  }
  SDKCooperater& coop() { return SDKCooperater::shareCooperater(); }
  std::shared_ptr<KiteSDKInterface> iface;
};

TEST_F(KiteSDKFlowTest, StartUpWaitsForTheNetworkThenRunsOnce) {
  auto inits = record(kKtcQPInitDidFinishedNotification);
  startInterface(/*online=*/false);
  EXPECT_EQ(iface->GetInitResult(), -1);
  // A login asked for now waits for the channel's initialisation.
  iface->Login();
  testing_loop::runUntilIdle();
  EXPECT_TRUE(server.calls().empty());
  EXPECT_EQ(channel->startUps, 0);
  EXPECT_EQ(channel->loginWindows, 0);

  network->setFlags(plat::kSCNetworkReachabilityFlagsReachable);
  ASSERT_TRUE(waitCalls(testing_kite::kInit, 1));
  ASSERT_TRUE(waitCalls(testing_kite::kSettings, 1));
  EXPECT_EQ(channel->startUps, 1);
  EXPECT_EQ(channel->loginWindows, 1) << "the deferred login runs once, after the init";
  ASSERT_EQ(inits->size(), 1u);
  EXPECT_EQ((*inits)[0]["error"], Value(0));
  EXPECT_EQ(iface->GetInitResult(), 0);
  // The server list was asked for before the init request.
  auto all = server.calls();
  auto list = std::find_if(all.begin(), all.end(),
                           [](auto& c) { return c.endpoint == testing_kite::kServerList; });
  auto init = std::find_if(all.begin(), all.end(),
                           [](auto& c) { return c.endpoint == testing_kite::kInit; });
  EXPECT_LT(list - all.begin(), init - all.begin());

  // Again: nothing more is sent, nothing starts twice.
  iface->ReInit();
  coop().beginKiteSDKInit();
  network->setFlags(0);
  network->setFlags(plat::kSCNetworkReachabilityFlagsReachable);
  testing_loop::runUntilIdle();
  EXPECT_EQ(server.calls(testing_kite::kInit).size(), 1u);
  EXPECT_EQ(server.calls(testing_kite::kServerList).size(), 1u);
  EXPECT_EQ(channel->startUps, 1);
  EXPECT_EQ(inits->size(), 1u);
}

TEST_F(KiteSDKFlowTest, PlugInArraysEndAtTheFirstAbsentElementAndAreEmptyBeforeStartUp) {
  startSDK(/*online=*/false);
  bundle->writePlist(
      "kitePlugins.cfg",
      Value(Array{Value(Dictionary{{"name", "RolePlug"}, {"managerName", "RolePlug"}})}));
  bundle->writePlist("kiteChannel.cfg", Value(Dictionary{{"channel_type", "5"}}));
  PlugManager::load();
  auto& sdk = KTCKiteSDK::defaultInstance();
  auto& plug = *RolePlug::shared();
  sdk.callPlugParams("RolePlug", Array{Value("1"), Value("2")});
  sdk.login();
  ASSERT_EQ(plug.plugCalls.size(), 1u);
  EXPECT_EQ(plug.plugCalls[0], Value(Array{}));
  ASSERT_EQ(plug.willLogins.size(), 1u);
  EXPECT_TRUE(plug.willLogins[0].empty());

  auto cfg = std::make_shared<KTCKiteSDKInitConfigure>();
  cfg->productCode = server.options().productCode;
  cfg->productKey = server.options().productKey;
  Value options(Dictionary{{"UIApplicationLaunchOptionsURLKey", "x://y"}});
  sdk.initWithConfigApplicationDidFinishLaunchingWithOptions(cfg, nullptr, options);
  network->setFlags(plat::kSCNetworkReachabilityFlagsReachable);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !plug.willInits.empty(); }, 20));
  const Array& init = plug.willInits[0];
  ASSERT_EQ(init.size(), 4u) << "the launch options follow the application";
  EXPECT_EQ(init[0]["channel_type"], Value("5"));
  EXPECT_EQ(init[1]["productCode"], Value(server.options().productCode));
  EXPECT_TRUE(init[2].isString() && !init[2].string()->empty());
  EXPECT_EQ(init[3], options);

  sdk.callPlugParams("RolePlug", Array{Value("1"), Value(), Value("3")});
  ASSERT_EQ(plug.plugCalls.size(), 2u);
  EXPECT_EQ(plug.plugCalls[1], Value(Array{Value(Dictionary{{"channel_type", "5"}}), Value("1")}));
  ASSERT_TRUE(waitCalls(testing_kite::kInit, 1));
}

TEST_F(KiteSDKFlowTest, AVerifiedLoginReachesTheCallbackWithTheServersToken) {
  startInterface();
  EXPECT_EQ(iface->GetInitResult(), 0) << "online: the init notification came during start-up";
  iface->Login();
  channel->completeLogin("alice", "s-1");
  // While the check is outstanding, login and logout are refused.
  EXPECT_EQ(KTCKiteSDK::defaultInstance().login(), -4);
  EXPECT_EQ(KTCKiteSDK::defaultInstance().logout(), -4);
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return received(kKiteSDKLoginCallbackId).size() == 1; }, 20));
  Value login = received(kKiteSDKLoginCallbackId)[0];
  EXPECT_EQ(login["result"], Value(0));
  EXPECT_EQ(login["userId"], Value("alice"));
  EXPECT_EQ(login["userNick"], Value("alice"));
  EXPECT_EQ(login["userToken"], Value("token-alice"));
  auto check = server.calls(testing_kite::kCheckLogin).at(0);
  EXPECT_TRUE(check.signOk);
  EXPECT_EQ(check.fields.get("token"), Value("s-1"));
  // The channel's login line and the check's answer line are logged without their secrets.
  EXPECT_TRUE(loggedContaining("KTLog:channelloginresult="));
  EXPECT_TRUE(loggedContaining("登录校验接口返回数据:"));
  EXPECT_FALSE(loggedContaining("s-1"));
  EXPECT_FALSE(loggedContaining("token-alice"));

  // Logout: the channel's logout reaches the logout callback.
  iface->Logout();
  ASSERT_EQ(received(kKiteSDKLogoutCallbackId).size(), 1u);
  EXPECT_EQ(received(kKiteSDKLogoutCallbackId)[0]["result"], Value(0));
  EXPECT_TRUE(coop().isLogout);

  // After ReleaseSDK no callback hears of a login any more.
  iface->ReleaseSDK();
  iface->Login();
  channel->completeLogin("bob");
  ASSERT_TRUE(waitCalls(testing_kite::kCheckLogin, 2));
  testing_loop::runUntilIdle();
  EXPECT_EQ(received(kKiteSDKLoginCallbackId).size(), 1u);
}

TEST_F(KiteSDKFlowTest, ACheckAnsweredAfterTheChannelLoggedOutLogsNobodyIn) {
  startInterface();
  iface->Login();
  channel->completeLogin("alice");
  // The player leaves through the user centre before the server has answered the check.
  channel->logoutFromUserCentre();
  ASSERT_EQ(received(kKiteSDKLogoutCallbackId).size(), 1u);
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return received(kKiteSDKLoginCallbackId).size() == 1; }, 20));
  EXPECT_EQ(received(kKiteSDKLoginCallbackId)[0], Value(Dictionary{{"result", 1}}));
  EXPECT_FALSE(coop().isCheckLogining);
  EXPECT_TRUE(coop().isLogout);
  EXPECT_EQ(KTCKiteSDK::defaultInstance().userId(), "");
  EXPECT_EQ(channel->logouts, 0);
  // The next login is checked and verified as usual.
  logIn("bob");
  EXPECT_EQ(received(kKiteSDKLoginCallbackId)[1]["userId"], Value("bob"));
}

TEST_F(KiteSDKFlowTest, ARefusedCheckFailsTheLoginAndLogsTheChannelOutUnlessDisabled) {
  startInterface();
  server.answer(testing_kite::kCheckLogin,
                R"({"result":false,"error":{"id":"5","message":"bad"}})");
  logIn("alice");
  EXPECT_EQ(received(kKiteSDKLoginCallbackId)[0], Value(Dictionary{{"result", 1}}));
  EXPECT_EQ(channel->logouts, 1);
  EXPECT_EQ(received(kKiteSDKLogoutCallbackId).size(), 1u);

  server.answer(testing_kite::kCheckLogin,
                R"({"result":false,"error":{"id":30001,"message":"off"}})");
  logIn("bob");
  EXPECT_EQ(received(kKiteSDKLoginCallbackId)[1]["result"], Value(1));
  EXPECT_EQ(channel->logouts, 1) << "error 30001 leaves the channel logged in";

  // A channel failure is mapped and needs no server.
  auto logins = record(kKtcQPLoginNotification);
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      kKtcQCLoginNotification, Value(), Value(Dictionary{{"error", -4}}));
  ASSERT_EQ(logins->size(), 1u);
  EXPECT_EQ((*logins)[0]["error"], Value(-10));
  EXPECT_EQ((*logins)[0]["msg"], Value("login fail"));
}

TEST_F(KiteSDKFlowTest, ARefusedCheckWithACheckKeyLogsInWithThisLoginsOfflineToken) {
  startInterface(true, {{"checkkey", "ck"}, {"channel_type", "977"}});
  // An earlier verified login left its token.
  logIn("old");
  ASSERT_EQ(received(kKiteSDKLoginCallbackId)[0]["userToken"], Value("token-old"));
  server.answer(testing_kite::kCheckLogin, R"({"result":false,"error":{"id":"5"}})");
  logIn("carol");
  Value login = received(kKiteSDKLoginCallbackId)[1];
  EXPECT_EQ(login["result"], Value(0));
  std::string token = login["userToken"].stringOr();
  std::string expected = "kite-code|||977|||" + KMDevice::sharedInstance().deviceID +
                         "|||carol|||" + NSString_Extend::md5Stringg("carolck") + "|||carol|||sign";
  EXPECT_EQ(token, expected) << "the page gets this login's token, not the previous account's";
  EXPECT_EQ(channel->logouts, 0);
  EXPECT_TRUE(logged("KTLog:QK登陆成功通知:***"));
  EXPECT_FALSE(loggedContaining(NSString_Extend::md5Stringg("carolck")));
  EXPECT_FALSE(loggedContaining("token-old"));
}

TEST_F(KiteSDKFlowTest, InitAnswer30001DisablesLogin) {
  server.answer(testing_kite::kInit, R"({"result":false,"error":{"id":30001,"message":"closed"}})");
  startInterface();
  ASSERT_TRUE(testing_loop::runUntil([&] { return coop().isloginDisabled; }, 20));
  EXPECT_EQ(KTCKiteSDK::defaultInstance().login(), -5);
  EXPECT_EQ(channel->loginWindows, 0);
}

TEST_F(KiteSDKFlowTest, APaymentCreatesAnOrderThenOpensTheCashier) {
  startInterface();
  logIn("alice");
  iface->Pay(R"({"orderInfo":{"goodsID":"g1","goodsName":"gem","cpOrderID":"cp-9","count":"2",
                 "amount":6,"extrasParams":"x=1"},
                 "roleInfo":{"serverID":3,"gameRoleID":"r1","gameRoleName":"Ann"}})");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  auto order = server.calls(testing_kite::kOrder).at(0);
  EXPECT_EQ(order.fields.get("count"), Value(2));
  EXPECT_EQ(order.fields.get("price").doubleValue(), 3.0);
  EXPECT_EQ(order.fields.get("goods_desc"), Value("2gem"));
  EXPECT_EQ(order.fields.get("uid"), Value("alice"));
  EXPECT_EQ(channel->lastPay.money, "6.00");
  EXPECT_EQ(channel->lastPay.cpExtend, "K1");
  EXPECT_EQ(channel->lastPay.roleId, "r1");
  EXPECT_EQ(RolePlug::shared()->ordered, 1);
  channel->paySuccess();
  ASSERT_EQ(received(kKiteSDKPayCallbackId).size(), 1u);
  EXPECT_EQ(received(kKiteSDKPayCallbackId)[0],
            Value(Dictionary{{"result", 0}, {"orderId", "K1"}, {"cpOrderId", "cp-9"}}));

  // A failed payment; then a refused order, which the game hears of as a failure. The amount and
  // price travel as the page gave them, not widened from single precision.
  auto pays = record(kKtcQPNotiRecharge);
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-10","amount":6.6}})");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  auto second = server.calls(testing_kite::kOrder).at(1);
  EXPECT_EQ(second.fields.get("amount").doubleValue(), 6.6);
  EXPECT_EQ(second.fields.get("price").doubleValue(), 6.6);
  ASSERT_EQ(RolePlug::shared()->recharges.size(), 2u);
  EXPECT_EQ(RolePlug::shared()->recharges[1]["amount"].doubleValue(), 6.6);
  EXPECT_EQ(RolePlug::shared()->recharges[1]["price"].doubleValue(), 6.6);
  channel->payFailure();
  ASSERT_EQ(pays->size(), 1u);
  EXPECT_EQ((*pays)[0]["error"], Value(-400));
  EXPECT_EQ((*pays)[0]["msg"], Value("Pay failed"));
  EXPECT_EQ(received(kKiteSDKPayCallbackId)[1], Value(Dictionary{{"result", 1}}));

  server.answer(testing_kite::kOrder, R"({"result":false,"error":{"message":"sold out"}})");
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-11","amount":1}})");
  ASSERT_TRUE(waitCalls(testing_kite::kOrder, 3));
  ASSERT_TRUE(testing_loop::runUntil([&] { return logged("KTLog:下单失败，sold out"); }, 20));
  EXPECT_EQ(RolePlug::shared()->orderAnswers.size(), 3u);
  EXPECT_FALSE(channel->cashierOpen());
  ASSERT_EQ(pays->size(), 2u);
  EXPECT_EQ((*pays)[1]["msg"], Value("Pay failed"));

  // An order that cannot be written as JSON is a data error, sent nowhere.
  auto bad = std::make_shared<KTCKiteSDKPayOrderInfo>();
  bad->amount = 1;
  bad->price = std::numeric_limits<float>::quiet_NaN();
  KTCKiteSDK::defaultInstance().payOrderInfoRoleInfo(bad, nullptr);
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return RolePlug::shared()->orderAnswers.size() == 4u; }, 20));
  EXPECT_TRUE(logged("数据错误,检查相关参数"));
  EXPECT_EQ(server.calls(testing_kite::kOrder).size(), 3u);
}

TEST_F(KiteSDKFlowTest, PageJsonOfTheWrongShapeIsIgnoredOrDefaulted) {
  startInterface();
  logIn("alice");
  iface->Pay(std::nullopt);
  iface->Pay("{not json");
  iface->Pay("[1,2]");
  iface->SetGameRoleInfo("\"text\"");
  testing_loop::runUntilIdle();
  EXPECT_TRUE(server.calls(testing_kite::kOrder).empty());
  EXPECT_TRUE(server.calls(testing_kite::kGateway).empty());

  // A negative or odd count counts as 0 (then 1).
  iface->Pay(R"({"orderInfo":{"count":-3,"amount":5,"goodsName":"g"}})");
  iface->Pay(R"({"orderInfo":{"count":[2],"amount":5,"goodsName":"g"}})");
  ASSERT_TRUE(waitCalls(testing_kite::kOrder, 2));
  for (auto& o : server.calls(testing_kite::kOrder)) {
    EXPECT_EQ(o.fields.get("count"), Value(1));
    EXPECT_EQ(o.fields.get("price").doubleValue(), 5.0);
    EXPECT_EQ(o.fields.get("goods_desc"), Value("g"));
  }
}

TEST_F(KiteSDKFlowTest, RoleReportsEnterEachRoleOnceAndReachGatewayAndChannel) {
  startInterface();
  logIn("alice");
  iface->SetGameRoleInfo(R"({"serverID":1,"serverName":"S","gameRoleName":"Ann","gameRoleID":"r1",
                             "gameRoleLevel":9,"isCreate":true})");
  iface->SetGameRoleInfo(
      R"({"serverID":1,"serverName":"S","gameRoleName":"Ann","gameRoleID":"r1"})");
  iface->SetGameRoleInfo(R"({"serverID":1,"serverName":"S","gameRoleName":"Bo","gameRoleID":"r2",
                             "isCreate":{"yes":1}})");
  ASSERT_TRUE(waitCalls(testing_kite::kGateway, 3));
  auto& plug = *RolePlug::shared();
  EXPECT_EQ(plug.created, 1);
  EXPECT_EQ(plug.entered, 2);
  EXPECT_EQ(plug.updated, 3);
  EXPECT_EQ(channel->roles, 3);
  // The three reports travel at once, in any order.
  int levelNine = 0;
  for (auto& report : server.calls(testing_kite::kGateway)) {
    EXPECT_EQ(report.fields.get("uid"), Value("alice"));
    if (report.fields.get("gameRoleLevel") == Value("9")) ++levelNine;
  }
  EXPECT_EQ(levelNine, 1);
  EXPECT_EQ(KTCKiteSDK::defaultInstance().lastEnteredRole()->gameRoleID(), Value("r2"));
}

TEST(KiteSDKModelTest, OrdersAndRolesNormaliseTheirValues) {
  auto order = KTCKiteSDKPayOrderInfo::info();
  order->amount = 6;
  order->setProductName(Value("x"));
  // The normalisation runs at the start of a payment (which, with nobody logged in, then stops).
  testing_device::TempAppBundle bundle;
  NetworkManager::resetForTesting();
  KTCKiteSDK::defaultInstance().payOrderInfoRoleInfo(order, nullptr);
  EXPECT_EQ(order->count, 1u);
  EXPECT_EQ(order->price, 6.0f);
  EXPECT_EQ(order->productDesc, "x");
  EXPECT_EQ(order->quantifier, "");
  auto three = KTCKiteSDKPayOrderInfo::info();
  three->count = 3;
  three->amount = 3;
  three->setProductName(Value("x"));
  KTCKiteSDK::defaultInstance().payOrderInfoRoleInfo(three, nullptr);
  EXPECT_EQ(three->productDesc, "3x");
  auto nameless = KTCKiteSDKPayOrderInfo::info();
  nameless->amount = 1;
  KTCKiteSDK::defaultInstance().payOrderInfoRoleInfo(nameless, nullptr);
  EXPECT_EQ(nameless->productDesc, std::nullopt) << "no name, no description to send";
  testing_loop::runUntilIdle();

  KTCKiteSDKGameRoleInfo role;
  EXPECT_EQ(role.creatTime(), "0");
  EXPECT_EQ(role.roleGender(), "男");
  EXPECT_EQ(role.vipLevel(), "0");
  EXPECT_TRUE(role.serverId().isNil());
  role.setCreatTime(Value("1700000000999"));
  EXPECT_EQ(role.creatTime(), "1700000001");
  role.setCreatTime(Value("1700000000"));
  EXPECT_EQ(role.creatTime(), "1700000000");
  role.setCreatTime(Value::null());
  EXPECT_EQ(role.creatTime(), "");
  role.setServerId(Value());
  EXPECT_TRUE(role.serverId().isNil()) << "a missing value is never the text (null)";
  role.setProfession(Value::null());
  EXPECT_EQ(role.profession(), Value(""));
}

// An amount text is read exactly, or refused: a value that is no whole number of hundredths in
// range, however its digits and exponent offset each other, and a text longer than any price.
TEST(KiteSDKModelTest, AnAmountTextIsReadWholeOrRefused) {
  const size_t bound = KTCMoney::kMaxAmountText;
  const std::pair<std::string, std::optional<int64_t>> cases[] = {
      {"0." + std::string(1199999, '0') + "1e12000000", std::nullopt},  // 10^10,800,000
      {"1" + std::string(1200000, '0') + "e-12000000", std::nullopt},   // below a cent
      {"1" + std::string(40, '0') + "e-40", 100},
      {"0." + std::string(40, '0') + "1e43", 10000},
      {"6." + std::string(bound - 2, '0'), 600},
      {"6." + std::string(bound - 1, '0'), std::nullopt},
  };
  for (const auto& [text, cents] : cases) {
    EXPECT_EQ(KTCMoney::centsFromText(text), cents) << text.substr(0, 80);
  }
}

TEST(KiteSDKModelTest, PaymentAgeLimits) {
  EXPECT_FALSE(KTCKiteSDK::payBlockedForAge(-1, 1000, 1000));
  EXPECT_TRUE(KTCKiteSDK::payBlockedForAge(7, 1, 0));
  EXPECT_TRUE(KTCKiteSDK::payBlockedForAge(15, 51, 0));
  EXPECT_FALSE(KTCKiteSDK::payBlockedForAge(15, 50, 200));
  EXPECT_TRUE(KTCKiteSDK::payBlockedForAge(15, 1, 201));
  EXPECT_FALSE(KTCKiteSDK::payBlockedForAge(17, 100, 400));
  EXPECT_TRUE(KTCKiteSDK::payBlockedForAge(17, 100, 401));
  EXPECT_FALSE(KTCKiteSDK::payBlockedForAge(18, 5000, 5000));
}

// Past its bound the book forgets the cashier opened longest ago, whatever its id sorts as, so
// a page's own recent orders keep the scope they opened under; a cashier is found by its serial.
TEST(KiteSDKModelTest, CashierOrdersForgetTheOldestPastTheirBound) {
  KTCCashierOrders orders;
  std::optional<uint64_t> first = orders.opened("9", "cp-9", 1);  // sorts after every id below
  std::vector<uint64_t> serials;
  for (size_t i = 1; i < KTCCashierOrders::kLimit; ++i) {
    serials.push_back(orders.opened(std::to_string(i * 10), "cp", 1).value());
  }
  EXPECT_EQ(orders.opened("10", "cp", 2), std::nullopt) << "one cashier per id at a time";
  std::optional<uint64_t> last = orders.opened("0", "cp-0", 2);
  ASSERT_TRUE(first && last);
  EXPECT_FALSE(orders.take(*first)) << "the oldest goes first";
  EXPECT_EQ(orders.take(serials[0]).value().scope, 1u);
  EXPECT_FALSE(orders.take(serials[0])) << "taken once";
  EXPECT_TRUE(orders.opened("9", "cp-9", 2)) << "its id is free again";
  EXPECT_FALSE(orders.take(*first)) << "under a serial of its own";
  auto zero = orders.take(*last);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->orderId, "0");
  EXPECT_EQ(zero->cpOrderId, "cp-0");
  EXPECT_EQ(zero->scope, 2u);
}

TEST(KiteSDKInterfaceTest, CallbackIdsOutsideTheThreeAreRefused) {
  EXPECT_FALSE(KiteSDKInterface::RegCBCallback(1404, onLogin));
  EXPECT_FALSE(KiteSDKInterface::UnregCB(1400));
  EXPECT_TRUE(KiteSDKInterface::RegCBCallback(kKiteSDKLoginCallbackId, onPay));
  EXPECT_TRUE(KiteSDKInterface::RegCBCallback(kKiteSDKLoginCallbackId, onLogin));
  received(kKiteSDKLoginCallbackId).clear();
  KiteSDKInterface::OnLogin(std::nullopt);
  ASSERT_EQ(received(kKiteSDKLoginCallbackId).size(), 1u) << "the second registration wins";
  EXPECT_EQ(received(kKiteSDKLoginCallbackId)[0], Value("<null>"));
  EXPECT_TRUE(KiteSDKInterface::UnregCB(kKiteSDKLoginCallbackId));
  KiteSDKInterface::OnLogin("{}");
  EXPECT_EQ(received(kKiteSDKLoginCallbackId).size(), 1u);
}

}  // namespace

namespace {

TEST_F(KiteSDKFlowTest, ConfigurationAskedBeforeStartUpNeedsItsMarkerToCountAsPlain) {
  startSDK();
  bundle->writePlist("kiteChannel.cfg", Value(Dictionary{{"checkkey", "ck"}}));
  EXPECT_TRUE(KTCKiteSDK::defaultInstance().getConfigValue("checkkey").isNil())
      << "a plain list without \"bundleID\" or \"version\" is taken as encrypted";
  coop().channelCfg = Value();
  bundle->writePlist("kiteChannel.cfg", Value(Dictionary{{"checkkey", "ck"}, {"version", "1"}}));
  EXPECT_EQ(KTCKiteSDK::defaultInstance().getConfigValue("checkkey"), Value("ck"));
  // Start-up takes any list with entries, and its product code replaces the caller's.
  coop().channelCfg = Value();
  bundle->writePlist("kiteChannel.cfg", Value(Dictionary{{"product_code", "file-code"}}));
  initSDK();
  EXPECT_EQ(coop().platformCfg->productCode, "file-code");
  EXPECT_FALSE(coop().platformCfg->productKey) << "no \"product_key\": the key is left empty";
}

// Operations the adapter of this application lacks answer as the forwarding rule says; the
// customer-service centre is a plug-in call.
TEST_F(KiteSDKFlowTest, OperationsBeyondTheAdapterAnswerWithoutIt) {
  startInterface();
  bundle->writePlist(
      "kitePlugins.cfg",
      Value(Array{Value(Dictionary{{"name", "CustomerServiceIOS"}, {"managerName", "RolePlug"}})}));
  PlugManager::load();
  KTCKiteSDK& sdk = KTCKiteSDK::defaultInstance();
  Value parameter(Dictionary{{"entry", "faq"}});
  EXPECT_EQ(sdk.enterYunKeFuCenter(parameter), 0);
  EXPECT_TRUE(logged("KTLog:Enter YunKefu"));
  ASSERT_EQ(RolePlug::shared()->plugCalls.size(), 1u);
  EXPECT_EQ(RolePlug::shared()->plugCalls[0],
            Value(Array{Value(coop().channelConfig()), Value("1"), parameter}));

  EXPECT_TRUE(sdk.applicationContinueUserActivityRestorationHandler(nullptr, Value(), nullptr));
  EXPECT_EQ(sdk.callFunction(3, {Value(1)}), -100);
  EXPECT_EQ(sdk.callChannelSpecifyFunctionParameters(7, Value("p")), -100);
  EXPECT_TRUE(logged("KTLog:调用渠道指定方法=7参数=p"));
  EXPECT_EQ(sdk.callSDKShare(std::make_shared<KTCKiteSDKShareInfo>()), 0);
  EXPECT_EQ(sdk.realAuth(), -100);
  sdk.Getlocalized(Value("x"));
  sdk.setAutoRotation(true);
}

// Without key, delegate or normal-level windows, system 13 and later present on the window of
// the last foreground-active window scene.
TEST_F(KiteSDKFlowTest, ThePresentingWindowFallsBackToTheLastActiveWindowScene) {
  startSDK();
  auto window = [] {
    auto w = plat::make<plat::UIWindow>();
    w->setWindowLevel(plat::UIWindowLevelAlert);
    return w;
  };
  auto inactive = window(), byDelegate = window(), first = window(), second = window();
  std::vector<KTCConnectedScene> scenes(4);
  scenes[0].windows = {inactive};
  scenes[1].foregroundActive = true;
  scenes[1].delegateOffersWindow = true;
  scenes[1].delegateWindow = byDelegate;
  scenes[2].foregroundActive = true;
  scenes[2].windows = {first, second};
  scenes[3].foregroundActive = true;
  scenes[3].isWindowScene = false;
  scenes[3].windows = {inactive};
  SDKCooperater::setConnectedScenesSource([&scenes] { return scenes; });
  auto& profile = plat::DeviceProfile::current();
  profile.setSystemVersion("16.4");
  EXPECT_EQ(coop().baseGetCurrentShowWindow(), first);
  scenes.resize(2);
  EXPECT_EQ(coop().baseGetCurrentShowWindow(), byDelegate);
  profile.setSystemVersion("12.5");
  EXPECT_EQ(coop().baseGetCurrentShowWindow(), nullptr);
  profile.setSystemVersion(std::nullopt);
}

}  // namespace

namespace {

// What the page hears of a login check that accepts a login without a usable user id: a
// failure, and the channel keeps its own account for the next order.
TEST_F(KiteSDKFlowTest, AnAcceptedCheckWithoutAUserIdLogsNobodyIn) {
  startInterface();
  const char* answers[] = {R"({"result":true,"data":{"user_name":"x","user_token":"t"}})",
                           R"({"result":true,"data":{"uid":null,"user_token":"t"}})",
                           R"({"result":true,"data":"ok"})",
                           R"({"result":true,"data":{"uid":{"id":1}}})",
                           R"({"result":true,"data":{"uid":"\t","user_token":"t"}})",
                           R"({"result":true,"data":{"uid":" \n ","user_token":"t"}})"};
  size_t n = 0;
  for (const char* answer : answers) {
    server.answer(testing_kite::kCheckLogin, answer);
    logIn("alice");
    ASSERT_EQ(received(kKiteSDKLoginCallbackId).size(), ++n);
    EXPECT_EQ(received(kKiteSDKLoginCallbackId).back(), Value(Dictionary{{"result", 1}})) << answer;
    EXPECT_EQ(KTCKiteSDK::defaultInstance().userId(), "alice") << answer;
    EXPECT_FALSE(coop().lastUserToken) << answer;
  }
  // Nobody the server accepted is logged in: a Pay is refused before any order.
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-1","amount":1}})");
  ASSERT_EQ(received(kKiteSDKPayCallbackId).size(), 1u);
  EXPECT_EQ(received(kKiteSDKPayCallbackId)[0], Value(Dictionary{{"result", 1}}));
  EXPECT_TRUE(server.calls(testing_kite::kOrder).empty());
  // A number is a user id, however many digits it has.
  server.answer(testing_kite::kCheckLogin, R"({"result":true,"data":{"uid":42}})");
  logIn("bob");
  EXPECT_EQ(received(kKiteSDKLoginCallbackId).back()["userId"], Value("42"));
  server.answer(testing_kite::kCheckLogin,
                R"({"result":true,"data":{"uid":123456789012345678901234567890}})");
  logIn("carol");
  EXPECT_EQ(received(kKiteSDKLoginCallbackId).back()["result"], Value(0));
  EXPECT_EQ(received(kKiteSDKLoginCallbackId).back()["userId"],
            Value("123456789012345678901234567890"));
}

// The login text leaves out the members it has no value for.
TEST_F(KiteSDKFlowTest, ALoginTextLeavesOutAbsentMembers) {
  startInterface();
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
      kKtcQPLoginNotification, Value(), Value(Dictionary{{"error", 0}}));
  ASSERT_EQ(received(kKiteSDKLoginCallbackId).size(), 1u);
  EXPECT_EQ(received(kKiteSDKLoginCallbackId)[0], Value(Dictionary{{"result", 0}}));
}

// An order answered after its session ended (a logout, another player's login) opens no
// cashier; the page hears of a failed payment. One answered after the page was unloaded opens
// no cashier either, and the next page hears nothing of it.
TEST_F(KiteSDKFlowTest, AnOrderAnsweredAfterItsSessionEndedOpensNoCashier) {
  startInterface();
  struct Hold {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
  };
  auto hold = std::make_shared<Hold>();
  server.script(testing_kite::kOrder, [this, hold](const testing_kite::Call& call) {
    std::unique_lock<std::mutex> lock(hold->mu);
    hold->cv.wait(lock, [&] { return hold->open; });
    hold->open = false;
    return server.defaultAnswer(testing_kite::kOrder, call);
  });
  auto answer = [&] {
    {
      std::lock_guard<std::mutex> lock(hold->mu);
      hold->open = true;
    }
    hold->cv.notify_all();
  };
  logIn("alice");
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-1","amount":6}})");
  ASSERT_TRUE(waitCalls(testing_kite::kOrder, 1));
  iface->Logout();
  answer();
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return received(kKiteSDKPayCallbackId).size() == 1; }, 20));
  EXPECT_EQ(received(kKiteSDKPayCallbackId)[0], Value(Dictionary{{"result", 1}}));
  EXPECT_EQ(channel->cashiers, 0);

  logIn("alice");
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-2","amount":6}})");
  ASSERT_TRUE(waitCalls(testing_kite::kOrder, 2));
  logIn("bob");
  answer();
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return received(kKiteSDKPayCallbackId).size() == 2; }, 20));
  EXPECT_EQ(received(kKiteSDKPayCallbackId)[1], Value(Dictionary{{"result", 1}}));
  EXPECT_EQ(channel->cashiers, 0);

  // The page goes away while its order is made; a reloaded page registers again.
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-4","amount":6}})");
  ASSERT_TRUE(waitCalls(testing_kite::kOrder, 3));
  iface->ReleaseSDK();
  iface = std::make_shared<KiteSDKInterface>();
  iface->InitSDK();
  KiteSDKInterface::RegCBCallback(kKiteSDKPayCallbackId, onPay);
  answer();
  ASSERT_TRUE(testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 20));
  testing_loop::runUntilIdle();
  EXPECT_EQ(channel->cashiers, 0);
  EXPECT_EQ(received(kKiteSDKPayCallbackId).size(), 2u) << "the new page placed no order";

  // Within one session the order goes on to the cashier. The page goes away while the cashier
  // is open: the next page does not hear how it ended.
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-3","amount":6}})");
  answer();
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  EXPECT_EQ(received(kKiteSDKPayCallbackId).size(), 2u);
  iface->ReleaseSDK();
  iface = std::make_shared<KiteSDKInterface>();
  iface->InitSDK();
  KiteSDKInterface::RegCBCallback(kKiteSDKPayCallbackId, onPay);
  channel->paySuccess();
  testing_loop::runUntilIdle();
  EXPECT_EQ(received(kKiteSDKPayCallbackId).size(), 2u) << "the new page placed no order";

  // The new page's own order is reported to it.
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-5","amount":6}})");
  answer();
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  channel->paySuccess();
  ASSERT_EQ(received(kKiteSDKPayCallbackId).size(), 3u);
  EXPECT_EQ(received(kKiteSDKPayCallbackId)[2]["result"], Value(0));
}

// A payment with nobody logged in to the channel (before any login, after a logout) is
// refused before any request, as a parameter error.
TEST_F(KiteSDKFlowTest, APaymentWithNobodyLoggedInIsRefusedBeforeAnyRequest) {
  startInterface();
  auto pays = record(kKtcQPNotiRecharge);
  auto pay = [&](const char* when) {
    size_t before = received(kKiteSDKPayCallbackId).size();
    iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-1","amount":6}})");
    ASSERT_EQ(received(kKiteSDKPayCallbackId).size(), before + 1) << when;
    EXPECT_EQ(received(kKiteSDKPayCallbackId).back(), Value(Dictionary{{"result", 1}})) << when;
    EXPECT_EQ(pays->back()["msg"], Value("Pay params error")) << when;
  };
  pay("before any login");
  logIn("alice");
  iface->Logout();
  pay("after a logout");
  testing_loop::runUntilIdle();
  EXPECT_TRUE(server.calls(testing_kite::kOrder).empty());
  EXPECT_EQ(channel->cashiers, 0);
}

// An accepted order that names no usable order id, and an order whose amount is no positive
// number (refused before any request), open no cashier: the page hears of a failed payment.
TEST_F(KiteSDKFlowTest, OrdersWithoutAnOrderIdOrAPositiveAmountOpenNoCashier) {
  startInterface();
  logIn("alice");
  auto pays = record(kKtcQPNotiRecharge);
  const char* answers[] = {R"({"result":true,"data":{}})",
                           R"({"result":true,"data":{"order_id":null}})",
                           R"({"result":true,"data":{"order_id":{"id":"K9"}}})",
                           R"({"result":true,"data":{"order_id":""}})",
                           R"({"result":true,"data":"K9"})",
                           R"({"result":true,"data":{"order_id":" "}})",
                           R"({"result":true,"data":{"order_id":"\t"}})"};
  size_t n = 0;
  for (const char* a : answers) {
    SCOPED_TRACE(a);
    server.answer(testing_kite::kOrder, a);
    iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-1","amount":6}})");
    // The page hears of the failure, or a cashier opens: either ends the wait.
    EXPECT_TRUE(testing_loop::runUntil(
        [&] { return received(kKiteSDKPayCallbackId).size() > n || channel->cashierOpen(); }, 20));
    if (channel->cashierOpen()) {
      ADD_FAILURE() << "a cashier opened";
      channel->payFailure();  // closed, so that the next row starts alike
      testing_loop::runUntil([&] { return received(kKiteSDKPayCallbackId).size() > n; });
    }
    if (received(kKiteSDKPayCallbackId).size() <= n) continue;
    EXPECT_EQ(received(kKiteSDKPayCallbackId)[n], Value(Dictionary{{"result", 1}}));
    n = received(kKiteSDKPayCallbackId).size();
    EXPECT_EQ(pays->back()["msg"], Value("Pay failed"));
    EXPECT_EQ(pays->back()["cpOrderId"], Value("cp-1"));
  }
  EXPECT_EQ(channel->cashiers, 0);
  EXPECT_EQ(RolePlug::shared()->ordered, 0);
  size_t orders = server.calls(testing_kite::kOrder).size();

  for (const char* amount : {"-6", "0", "1e40", "\"x\""}) {
    iface->Pay(std::string(R"({"orderInfo":{"cpOrderID":"cp-2","goodsName":"g","amount":)") +
               amount + "}}");
    EXPECT_EQ(received(kKiteSDKPayCallbackId).size(), n + 1) << "refused at once: " << amount;
    n = received(kKiteSDKPayCallbackId).size();
    EXPECT_EQ(received(kKiteSDKPayCallbackId).back(), Value(Dictionary{{"result", 1}})) << amount;
    EXPECT_EQ(pays->back()["msg"], Value("Pay params error")) << amount;
  }
  EXPECT_EQ(KTCKiteSDK::defaultInstance().payOrderInfoRoleInfo(
                [] {
                  auto o = KTCKiteSDKPayOrderInfo::info();
                  o->amount = std::numeric_limits<float>::quiet_NaN();
                  return o;
                }(),
                nullptr),
            -1);
  testing_loop::runUntilIdle();
  EXPECT_EQ(server.calls(testing_kite::kOrder).size(), orders) << "no request for a bad amount";
  EXPECT_EQ(channel->cashiers, 0);

  // An integer order id is an order id.
  server.answer(testing_kite::kOrder, R"({"result":true,"data":{"order_id":77}})");
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-3","amount":6}})");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  EXPECT_EQ(channel->lastPay.cpExtend, "77");
}

// A role or order with missing fields sends none of them as the text "(null)", to the order
// server, the report gateway or the channel.
TEST_F(KiteSDKFlowTest, MissingRoleAndOrderFieldsAreNeverSentAsNullText) {
  startInterface();
  logIn("alice");
  iface->SetGameRoleInfo(R"({"gameRoleID":"r1","gameRoleName":null,"isCreate":true})");
  iface->Pay(
      R"({"orderInfo":{"amount":3,"count":3,"goodsID":null},"roleInfo":{"gameRoleID":"r1"}})");
  ASSERT_TRUE(waitCalls(testing_kite::kGateway, 1));
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  auto noNullText = [](const Dictionary& fields, const std::string& where) {
    for (const auto& [k, v] : fields) {
      std::string text = v.description();
      EXPECT_EQ(text.find("(null)"), std::string::npos) << where << " " << k;
      EXPECT_EQ(text.find("<null>"), std::string::npos) << where << " " << k;
    }
  };
  auto report = server.calls(testing_kite::kGateway)[0];
  noNullText(report.fields, "gateway");
  EXPECT_FALSE(report.fields.contains("serverID"));
  EXPECT_FALSE(report.fields.contains("gameRoleName"));
  EXPECT_EQ(report.fields.get("gameRoleID"), Value("r1"));
  auto order = server.calls(testing_kite::kOrder)[0];
  noNullText(order.fields, "order");
  EXPECT_FALSE(order.fields.contains("goods_id"));
  EXPECT_EQ(order.fields.get("goods_desc"), Value(""));
  std::string roleJson = order.fields.get("game_role_info").stringOr();
  ASSERT_FALSE(roleJson.empty());
  auto roleBytes = plat::base64Decode(roleJson);
  ASSERT_TRUE(roleBytes);
  auto decoded = plat::NSJSONSerialization::JSONObjectWithData(*roleBytes);
  ASSERT_TRUE(decoded.dictionary());
  noNullText(*decoded.dictionary(), "game_role_info");
  EXPECT_FALSE(decoded.dictionary()->contains("server_id"));
  // The channel got empty texts: its role call was refused for missing fields, not sent.
  EXPECT_EQ(channel->roles, 0);
  for (const std::string& f : {channel->lastPay.serviceId, channel->lastPay.productName,
                               channel->lastPay.productDesc, channel->lastPay.roleId}) {
    EXPECT_EQ(f.find("(null)"), std::string::npos);
  }
  EXPECT_EQ(channel->lastPay.serviceId, "");
  EXPECT_EQ(channel->lastPay.productDesc, "");
}

// A failed fetch of the anti-addiction settings (an error status, a body that is no JSON
// object, a refused connection) keeps what a previous run stored.
TEST_F(KiteSDKFlowTest, AFailedSettingsFetchKeepsTheStoredSettings) {
  Value stored(Dictionary{{"realname", Dictionary{{"checkPayTime", "1"}}}});
  auto settingsAfterStartUp = [&](Dictionary info) {
    bundle.reset();  // the next bundle takes the main bundle's place
    startSDK(true, std::move(info));
    auto defaults = plat::NSUserDefaults::standardUserDefaults();
    defaults->setObjectForKey(stored, kKEY_AntiIndulge_KEY);
    initSDK();
    EXPECT_TRUE(testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 20));
    testing_loop::runUntilIdle();
    return defaults->objectForKey(kKEY_AntiIndulge_KEY);
  };
  server.answer(testing_kite::kSettings, "Not Found", 404);
  EXPECT_EQ(settingsAfterStartUp({}), stored);
  server.answer(testing_kite::kSettings, "<html></html>");
  EXPECT_EQ(settingsAfterStartUp({}), stored);
  std::string refused = "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort());
  EXPECT_EQ(settingsAfterStartUp({{"KITE_CDN_BASE", refused}}), stored);
  EXPECT_EQ(server.calls(testing_kite::kSettings).size(), 2u);
  // Settings the server hands over replace them.
  server.answer(testing_kite::kSettings, R"({"realname":{"checkPayTime":"0"}})");
  EXPECT_EQ(settingsAfterStartUp({})["realname"]["checkPayTime"], Value("0"));
}

// Without a channel SDK behind the entry, the page's login and payment are answered at once
// with a failure.
TEST_F(KiteSDKFlowTest, WithoutAChannelLoginAndPayFailAtOnce) {
  startInterface();
  HVmsSDK::setChannel(nullptr);
  iface->Login();
  ASSERT_EQ(received(kKiteSDKLoginCallbackId).size(), 1u);
  EXPECT_EQ(received(kKiteSDKLoginCallbackId)[0], Value(Dictionary{{"result", 1}}));
  // Asked again, it fails again (no login page is left waiting).
  iface->Login();
  ASSERT_EQ(received(kKiteSDKLoginCallbackId).size(), 2u);
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-1","amount":6}})");
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return received(kKiteSDKPayCallbackId).size() == 1; }, 20));
  EXPECT_EQ(received(kKiteSDKPayCallbackId)[0], Value(Dictionary{{"result", 1}}));
}

}  // namespace

namespace {

// What the adapter offers is asked of its runtime class: operations it gains there are
// answered as supported and forwarded to, the others are not.
TEST_F(KiteSDKFlowTest, TheFacadeAsksTheAdapterWhatItOffers) {
  startInterface();
  KTCKiteSDK& sdk = KTCKiteSDK::defaultInstance();
  EXPECT_TRUE(sdk.isFunctionSupported("openURL:sourceApplication:application:annotation:"));
  EXPECT_FALSE(sdk.isFunctionSupported("showToolBar:"));
  EXPECT_FALSE(sdk.isFunctionTypeSupported(5));
  EXPECT_EQ(sdk.applicationDidBecomeActive(nullptr), -100);
  EXPECT_EQ(sdk.showToolBar(1), -100);
  EXPECT_EQ(sdk.cpsChannelId(), "UNKNOWN");

  plat::Class* cls = KTCKiteChannel::runtimeClass();
  std::vector<int64_t> shown;
  int hidden = 0;
  cls->setHook("showToolBar:", KTCKiteChannelPlaceHook([&](int64_t place) {
                 shown.push_back(place);
                 return int64_t{0};
               }));
  cls->setHook("hideToolBar", KTCKiteChannelActionHook([&] {
                 ++hidden;
                 return int64_t{0};
               }));
  cls->setHook("applicationDidBecomeActive:",
               KTCKiteChannelEventHook([](plat::UIApplication*) { return int64_t{7}; }));
  cls->setHook("cpsChannelId", KTCKiteChannelTextHook([] { return std::string("cps-1"); }));
  cls->setHook("getPaayParams", KTCKiteChannelTextHook([] { return std::string("p=1"); }));
  EXPECT_TRUE(sdk.isFunctionSupported("showToolBar:"));
  EXPECT_TRUE(sdk.isFunctionTypeSupported(5));
  EXPECT_TRUE(sdk.isFunctionTypeSupported(0));
  EXPECT_EQ(sdk.applicationDidBecomeActive(nullptr), -1) << "the adapter answered 7";
  EXPECT_EQ(sdk.showToolBar(2), 0);
  EXPECT_EQ(sdk.cpsChannelId(), "cps-1");
  // A verified login shows the tool bar, a logout hides it; orders carry the pay parameters.
  logIn("alice");
  iface->Pay(R"({"orderInfo":{"cpOrderID":"cp-1","amount":6}})");
  ASSERT_TRUE(waitCalls(testing_kite::kOrder, 1));
  EXPECT_EQ(server.calls(testing_kite::kOrder)[0].fields.get("pay_params"), Value("p=1"));
  iface->Logout();
  EXPECT_EQ(shown, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(hidden, 1);
  for (const char* op : {"showToolBar:", "hideToolBar",
                         "applicationDidBecomeActive:", "cpsChannelId", "getPaayParams"}) {
    cls->setHook(op, std::any());
  }
  EXPECT_FALSE(sdk.isFunctionSupported("showToolBar:"));
}

}  // namespace

namespace {

// One Pay is at most one order and one cashier, and gets one result, in the page and session
// that placed it. Each rule drives a scenario; the table says what the page heard of its Pays
// and how many orders and cashiers there were.
class PayResultRulesTest;
struct PayResultRule {
  const char* name;
  std::function<void(PayResultRulesTest&)> run;
  std::vector<Value> pays;  // what onPay heard, in order
  size_t orders;
  int cashiers;
};
void PrintTo(const PayResultRule& rule, std::ostream* os) { *os << rule.name; }

class PayResultRulesTest : public KiteSDKFlowTest,
                           public ::testing::WithParamInterface<PayResultRule> {
 public:
  void logInAs(const std::string& user) { logIn(user); }
  // The page is replaced: the next one registers again.
  void newPage() {
    iface->ReleaseSDK();
    iface = std::make_shared<KiteSDKInterface>();
    iface->InitSDK();
    KiteSDKInterface::RegCBCallback(kKiteSDKPayCallbackId, onPay);
  }
  // A cashier's success report for `orderId`, as the adapter posts it.
  static void report(const char* orderId, const char* cpOrderId = "") {
    auto info = KTCKiteChannelRechargeNotiInfo::info();
    info->kiteSDKOrderID = orderId;
    info->cpOrderID = cpOrderId;
    KTCPostChannelNotification(*info);
  }
  // The channel from now on keeps every cashier's success block, in the order they opened.
  std::shared_ptr<std::vector<HVmsSDK::PaySuccess>> keepCashiers() {
    struct Keeping : testing_kite::ScriptedChannel {
      std::shared_ptr<std::vector<HVmsSDK::PaySuccess>> kept =
          std::make_shared<std::vector<HVmsSDK::PaySuccess>>();
      void openCashier(const HVmsSDK::PayRequest& request, HVmsSDK::PaySuccess success,
                       HVmsSDK::PayFailure failure) override {
        kept->push_back(success);
        ScriptedChannel::openCashier(request, std::move(success), std::move(failure));
      }
    };
    auto keeping = std::make_shared<Keeping>();
    HVmsSDK::setChannel(keeping);
    channel = keeping;
    return keeping->kept;
  }
  void pay(const std::string& cpOrderId, bool toCashier = false) {
    iface->Pay(R"({"orderInfo":{"cpOrderID":")" + cpOrderId + R"(","amount":6}})");
    if (toCashier) {
      ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
    }
  }
  // The order endpoint answers only once the test lets it.
  void holdOrders() {
    server.script(testing_kite::kOrder, [this, gate = gate_](const testing_kite::Call& call) {
      std::unique_lock<std::mutex> lock(gate->mu);
      gate->cv.wait(lock, [&] { return gate->open; });
      return server.defaultAnswer(testing_kite::kOrder, call);
    });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(gate_->mu);
      gate_->open = true;
    }
    gate_->cv.notify_all();
  }
  void TearDown() override {
    release();
    KiteSDKFlowTest::TearDown();
  }
  using KiteSDKFlowTest::channel;
  using KiteSDKFlowTest::iface;
  using KiteSDKFlowTest::server;

 private:
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
  };
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

bool heard(int id) { return !received(id).empty(); }
const Value kFailed(Dictionary{{"result", 1}});
const Value kPaidK1(Dictionary{{"result", 0}, {"orderId", "K1"}, {"cpOrderId", "cp-1"}});

const PayResultRule kPayResultRules[] = {
    // The adapter drops a cashier's later reports itself (ChannelAdapterTest); one that came
    // through anyway finds its order answered in the book.
    {"ACashiersFirstReportIsItsResult",
     [](PayResultRulesTest& t) {
       t.logInAs("alice");
       t.pay("cp-1", true);
       t.channel->paySuccess();
       t.channel->repeatPay(true);
       t.channel->repeatPay(false);
       t.report("K1", "cp-1");
     },
     {kPaidK1},
     1,
     1},
    {"AReportForAnOrderTheBookDoesNotHoldReachesNoPage",
     [](PayResultRulesTest& t) {
       t.logInAs("alice");
       t.pay("cp-1", true);
       t.newPage();
       t.channel->paySuccess();
       for (const char* orderId : {"K1", "K77"}) t.report(orderId);
     },
     {},
     1,
     1},
    {"AResultReachesOnlyTheSessionThatPaid",
     [](PayResultRulesTest& t) {
       t.logInAs("alice");
       t.pay("cp-1", true);
       t.iface->Logout();
       t.logInAs("bob");
       t.channel->paySuccess();
     },
     {},
     1,
     1},
    {"APayBeforeTheServerAcceptedTheLoginIsRefused",
     [](PayResultRulesTest& t) {
       t.iface->Login();
       t.channel->completeLogin("alice");
       t.pay("cp-1");  // the check is still out
       ASSERT_TRUE(testing_loop::runUntil([] { return heard(kKiteSDKLoginCallbackId); }, 20));
       // Refused with 30001, the check leaves the channel logged in.
       t.server.answer(testing_kite::kCheckLogin, R"({"result":false,"error":{"id":30001}})");
       t.logInAs("bob");
       t.pay("cp-2");
     },
     {kFailed, kFailed},
     0,
     0},
    {"ARefusedOrderIsOneFailure",
     [](PayResultRulesTest& t) {
       t.server.answer(testing_kite::kOrder, R"({"result":false,"error":{"message":"no"}})");
       t.logInAs("alice");
       t.pay("cp-1");
       ASSERT_TRUE(testing_loop::runUntil([] { return heard(kKiteSDKPayCallbackId); }, 20));
     },
     {kFailed},
     1,
     0},
    {"AnOrderUnansweredPastTheTimeOutIsOneFailure",
     [](PayResultRulesTest& t) {
       t.holdOrders();
       t.logInAs("alice");
       t.pay("cp-1");
       ASSERT_TRUE(testing_loop::runUntil(
           [&] { return t.server.calls(testing_kite::kOrder).size() == 1; }, 20));
       testing_loop::advance(NetworkInterface::defaultRequesTimeOut() + 1);
       ASSERT_TRUE(testing_loop::runUntil([] { return heard(kKiteSDKPayCallbackId); }, 20));
       t.release();
     },
     {kFailed},
     1,
     0},
    // The server gives an order id again while the first cashier for it is open: the second
    // Pay fails and opens nothing, and the first cashier reports to its own Pay, in its page.
    {"AnOrderIdGivenAgainOpensNoSecondCashier",
     [](PayResultRulesTest& t) {
       t.server.answer(testing_kite::kOrder, R"({"result":true,"data":{"order_id":"K1"}})");
       t.logInAs("alice");
       t.pay("cp-1", true);
       t.pay("cp-2");
       ASSERT_TRUE(testing_loop::runUntil([] { return heard(kKiteSDKPayCallbackId); }, 20));
       t.channel->paySuccess();
     },
     {kFailed, kPaidK1},
     2,
     1},
    // The book forgets a cashier past its bound and the server gives that order id again: the
    // forgotten cashier's late report reaches nobody, the new cashier's reaches its own Pay.
    {"AForgottenCashiersLateReportReachesNobody",
     [](PayResultRulesTest& t) {
       auto cashiers = t.keepCashiers();
       t.logInAs("alice");
       t.pay("cp-1", true);
       t.newPage();
       for (size_t n = 2; n <= KTCCashierOrders::kLimit + 1; ++n) {
         t.pay("cp-" + std::to_string(n));
         ASSERT_TRUE(testing_loop::runUntil([&] { return cashiers->size() == n; }, 20));
       }
       t.server.answer(testing_kite::kOrder, R"({"result":true,"data":{"order_id":"K1"}})");
       t.pay("cp-new");
       ASSERT_TRUE(testing_loop::runUntil(
           [&] { return cashiers->size() == KTCCashierOrders::kLimit + 2; }, 20));
       cashiers->front()(Value("ok"), Value());
       t.channel->paySuccess();
     },
     {Value(Dictionary{{"result", 0}, {"orderId", "K1"}, {"cpOrderId", "cp-new"}})},
     KTCCashierOrders::kLimit + 2,
     static_cast<int>(KTCCashierOrders::kLimit) + 2},
    {"ALoginReportedTwiceIsCheckedAndAnsweredOnce",
     [](PayResultRulesTest& t) {
       t.iface->Login();
       t.channel->completeLogin("alice");
       t.channel->repeatLogin();
       ASSERT_TRUE(testing_loop::runUntil([] { return heard(kKiteSDKLoginCallbackId); }, 20));
       ASSERT_TRUE(
           testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 20));
       testing_loop::runUntilIdle();
       EXPECT_EQ(t.server.calls(testing_kite::kCheckLogin).size(), 1u);
       ASSERT_EQ(received(kKiteSDKLoginCallbackId).size(), 1u);
       EXPECT_EQ(received(kKiteSDKLoginCallbackId)[0]["result"], Value(0));
       t.pay("cp-1", true);
       t.channel->paySuccess();
     },
     {kPaidK1},
     1,
     1},
};

TEST_P(PayResultRulesTest, EachPayIsAnsweredOnceInItsOwnSession) {
  startInterface();
  GetParam().run(*this);
  ASSERT_TRUE(testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 20));
  testing_loop::runUntilIdle();
  EXPECT_EQ(received(kKiteSDKPayCallbackId), GetParam().pays);
  EXPECT_EQ(server.calls(testing_kite::kOrder).size(), GetParam().orders);
  EXPECT_EQ(channel->cashiers, GetParam().cashiers);
}

INSTANTIATE_TEST_SUITE_P(Rules, PayResultRulesTest, ::testing::ValuesIn(kPayResultRules),
                         [](const auto& info) { return std::string(info.param.name); });

// The order server and the cashier get what the page asked, to the cent, or the Pay is a
// parameter error refused before any request (as is a Pay without a usable order).
TEST_F(KiteSDKFlowTest, TheAmountChargedIsTheAmountAsked) {
  startInterface();
  logIn("alice");
  struct Case {
    const char* pay;
    const char* sent;  // the order's amount as sent; null: refused
    const char* charged;
  };
  const Case cases[] = {
      {R"({"orderInfo":{"amount":6}})", "6", "6.00"},
      {R"({"orderInfo":{"amount":6.6}})", "6.6", "6.60"},
      {R"({"orderInfo":{"amount":648.01}})", "648.01", "648.01"},
      {R"({"orderInfo":{"amount":"648.01"}})", "648.01", "648.01"},
      {R"({"orderInfo":{"amount":"0.6601e3"}})", "660.1", "660.10"},
      {R"({"orderInfo":{"amount":"92233720368547758.07"}})", nullptr, nullptr},
      {R"({"orderInfo":{"amount":"6.001"}})", nullptr, nullptr},
      {R"({"orderInfo":{"amount":131072.01}})", "131072.01", "131072.01"},
      {R"({"orderInfo":{"amount":999999.99}})", "999999.99", "999999.99"},
      {R"({"orderInfo":{"amount":16777217}})", "16777217", "16777217.00"},
      {R"({"orderInfo":{"amount":9007199254740993}})", "9007199254740993", "9007199254740993.00"},
      {R"({"orderInfo":{"amount":0.001}})", nullptr, nullptr},
      {R"({"orderInfo":{"amount":0.005}})", nullptr, nullptr},
      {R"({"orderInfo":{"amount":"1,000"}})", nullptr, nullptr},
      {R"({"orderInfo":{"amount":"6abc"}})", nullptr, nullptr},
      {R"({"orderInfo":{"amount":true}})", nullptr, nullptr},
      {R"({"orderInfo":{"amount":1e19}})", nullptr, nullptr},
      {R"({"roleInfo":{"gameRoleID":"r1"}})", nullptr, nullptr},
      {R"({"orderInfo":null})", nullptr, nullptr},
      {R"({"orderInfo":"6"})", nullptr, nullptr},
      {R"({"x":1})", nullptr, nullptr},
  };
  auto pays = record(kKtcQPNotiRecharge);
  for (const Case& c : cases) {
    size_t heard = received(kKiteSDKPayCallbackId).size();
    size_t orders = server.calls(testing_kite::kOrder).size();
    iface->Pay(c.pay);
    if (!c.sent) {
      EXPECT_EQ(received(kKiteSDKPayCallbackId).size(), heard + 1) << "refused at once: " << c.pay;
      EXPECT_EQ(pays->back()["msg"], Value("Pay params error")) << c.pay;
      ASSERT_TRUE(
          testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 20));
      testing_loop::runUntilIdle();
      EXPECT_EQ(server.calls(testing_kite::kOrder).size(), orders) << "no request: " << c.pay;
      if (channel->cashierOpen()) channel->paySuccess();
      continue;
    }
    ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20)) << c.pay;
    auto order = server.calls(testing_kite::kOrder).at(orders);
    EXPECT_EQ(order.fields.get("amount").description(), c.sent) << c.pay;
    EXPECT_EQ(channel->lastPay.money, c.charged) << c.pay;
    channel->paySuccess();
  }
}

}  // namespace
