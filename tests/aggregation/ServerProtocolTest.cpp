// The aggregation server protocol against the loopback aggregation server: the envelope,
// host fail-over, the role report and its unsigned retry, the payment check, the settings
// and the server list.

#include <atomic>

#include "KiteTestSupport.h"
#include "aggregation/NSString+Extend.h"
#include "aggregation/NetworkInterface.h"
#include "platform/device/DeviceProfile.h"
#include "platform/dispatch/NSThread.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "testing/net/LoopbackServer.h"

using plat::Dictionary;
using plat::Value;
using testing_kite::Call;

namespace {

class ServerProtocolTest : public KiteTest {
 protected:
  void SetUp() override {
    startSDK();
    auto cfg = std::make_shared<KTCKiteSDKInitConfigure>();
    cfg->productCode = server.options().productCode;
    cfg->productKey = server.options().productKey;
    SDKCooperater::shareCooperater().platformCfg = cfg;
  }
  NetworkManager& net() { return NetworkManager::sharedInstance(); }

  // Runs an operation from the main thread and waits for its completion there.
  Value await(const std::function<void(NetworkManager::Completion)>& op) {
    bool done = false;
    Value answer;
    op([&](const Value& v) {
      EXPECT_TRUE(plat::NSThread::isMainThread());
      answer = v;
      done = true;
    });
    EXPECT_TRUE(testing_loop::runUntil([&] { return done; }, 30));
    return answer;
  }
  std::string unreachable() {
    return "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort());
  }
};

TEST_F(ServerProtocolTest, EnvelopeRequestsCarryThePublicParametersSignedAndEncrypted) {
  Value a = await([&](auto c) { net().initInterface(c); });
  EXPECT_TRUE(a["result"].boolValue());
  auto order = KTCKiteSDKPayOrderInfo::info();
  order->setGoodsID(Value(7));
  order->setProductName(Value("gem"));
  order->setCpOrderID(Value("cp-1"));
  order->count = 2;
  order->amount = 6;
  order->price = 3;
  auto role = std::make_shared<KTCKiteSDKGameRoleInfo>();
  role->setServerId(Value(12));
  role->setGameRoleName(Value("Ann"));
  EXPECT_EQ(await([&](auto c) { net().orderInterfaceRoleInfoHandler(order, role, c); })["data"]["order_id"].stringOr(),
            "K1");
  net().loginVerifyInterfaceHandler({{"uid", "u1"}, {"user_name", "n"}, {"token", "secret"}},
                                    [](const Value&) {});
  ASSERT_TRUE(waitCalls(testing_kite::kCheckLogin, 1));

  Call init = server.calls(testing_kite::kInit).at(0);
  EXPECT_TRUE(init.signOk);
  // The body is exactly the three pairs; "+" of the Base64 text never travels raw.
  EXPECT_EQ(init.raw.rfind("json_data=", 0), 0u);
  EXPECT_NE(init.raw.find("&product_code=kite-code&sign="), std::string::npos);
  EXPECT_EQ(init.raw.find('+'), std::string::npos);
  const Dictionary& f = init.fields;
  EXPECT_EQ(f.get("platform"), Value(1));
  EXPECT_EQ(f.get("channel_code"), Value(977));
  EXPECT_EQ(f.get("sdk_v"), Value("2.5.4"));
  EXPECT_EQ(f.get("sdk_sub_v"), Value("v1"));
  EXPECT_EQ(f.get("channel_sdk_v"), Value("3.2"));
  EXPECT_EQ(f.get("debug"), Value(true));
  EXPECT_EQ(f.get("push_token"), Value("v2"));
  EXPECT_EQ(f.get("device_id").stringOr(), KMDevice::sharedInstance().deviceID);
  EXPECT_EQ(f.get("session_id").stringOr(), net().session_id());
  EXPECT_EQ(net().session_id().size(), 32u);
  EXPECT_GT(f.get("time").integerValue(), 1600000000000LL);
  EXPECT_TRUE(f.get("capacityAll").isString());
  EXPECT_EQ(f.get("mobileProviderCode"), Value("")) << "no carrier";

  Call o = server.calls(testing_kite::kOrder).at(0);
  EXPECT_TRUE(o.signOk);
  EXPECT_EQ(o.fields.get("goods_id"), Value("7"));
  EXPECT_EQ(o.fields.get("count"), Value(2));
  EXPECT_EQ(o.fields.get("amount").doubleValue(), 6.0);
  EXPECT_EQ(o.fields.get("goods_desc"), Value(""));
  EXPECT_FALSE(o.fields.contains("pay_params"));
  std::string roleJson = NSString_Extend::stringFromBase64Stringg(o.fields.get("game_role_info").stringOr());
  EXPECT_EQ(roleJson,
            R"({"game_role_balance":"0","game_role_level":"0","game_role_name":"Ann","server_id":"12","vip_level":"0"})");

  Call check = server.calls(testing_kite::kCheckLogin).at(0);
  EXPECT_EQ(check.fields.get("token"), Value("secret"));
  // The token is sent, but not written to the log.
  std::lock_guard<std::mutex> lock(logMu);
  for (auto& line : logs) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
}

// A carrier without a mobile network code sends no "mobileProviderCode" at all.
TEST_F(ServerProtocolTest, InitLeavesOutTheCodeOfACarrierWithoutOne) {
  plat::DeviceProfile::current().setCarrier(plat::CarrierInfo{"Carrier", std::nullopt, std::nullopt});
  KMDevice::resetForTesting();
  await([&](auto c) { net().initInterface(c); });
  plat::DeviceProfile::current().setCarrier(std::nullopt);
  Call init = server.calls(testing_kite::kInit).at(0);
  EXPECT_FALSE(init.fields.contains("mobileProviderCode"));
  EXPECT_TRUE(init.fields.contains("wifiIP"));
}

TEST_F(ServerProtocolTest, PlusSignsOfTheCipherTextAreEscapedAndShortKeysZeroFilled) {
  // Some payload's Base64 form holds a "+": it is written "%2B", and decrypts back.
  for (int i = 0; i < 500; ++i) {
    Dictionary d{{"n", i}};
    auto j = NetworkManager::envelopeJ(d, "ab");
    ASSERT_TRUE(j);
    if (j->find("%2B") == std::string::npos) continue;
    EXPECT_EQ(j->find('+'), std::string::npos);
    EXPECT_EQ(NSString_Extend::urlDecodeFromBase64StrOfDes128Decryptt(*j, std::string("ab\0\0\0\0\0\0", 8)),
              std::string("{\"n\":") + std::to_string(i) + "}");
    // The sign covers the escaped text and the whole key.
    EXPECT_EQ(NetworkManager::envelopeSign(*j, "C", "ab"),
              NSString_Extend::md5Stringg("json_data=" + *j + "&product_code=C&ab"));
    return;
  }
  FAIL() << "no cipher text with a '+' found";
}

TEST_F(ServerProtocolTest, FailOverTriesEachHostOnceAndRemembersTheOneThatAnswered) {
  testing_net::LoopbackServer failing;
  failing.respond("/v2/users/checkversion", 500, "");
  std::string a = unreachable(), b = unreachable(), c = server.apiBase();
  net().setServeUrls({Value(a), Value(b), Value(c)});
  net().setSelectedIndex(1);
  // B refuses the connection, C answers: C is kept.
  EXPECT_FALSE(await([&](auto cb) { net().checkGameVersion(cb); }).isNil());
  EXPECT_EQ(net().selectedIndex(), 2u);
  EXPECT_EQ(server.calls(testing_kite::kCheckVersion).size(), 1u);

  // All down: nil, and the index stays.
  net().setServeUrls({Value(a), Value(b), Value(unreachable())});
  EXPECT_TRUE(await([&](auto cb) { net().checkGameVersion(cb); }).isNil());
  EXPECT_EQ(net().selectedIndex(), 2u);

  // An HTTP 500 is an answer: the fail-over stops there.
  net().setSelectedIndex(0);
  std::string base = failing.url("/");
  net().setServeUrls({Value(base.substr(0, base.size() - 1)), Value(c)});
  EXPECT_TRUE(await([&](auto cb) { net().checkGameVersion(cb); }).dictionary());
  EXPECT_EQ(net().selectedIndex(), 0u);
  EXPECT_EQ(server.calls(testing_kite::kCheckVersion).size(), 1u);

  // No host at all: nil without a request.
  net().setServeUrls({});
  EXPECT_TRUE(await([&](auto cb) { net().initInterface(cb); }).isNil());
  EXPECT_TRUE(server.calls(testing_kite::kInit).empty());
}

TEST_F(ServerProtocolTest, AStaggeredRequestCompletesOnce) {
  std::vector<Value> answers;
  auto staggered = [&] {
    answers.clear();
    net().timerRequestUrlInterfaceParamMethodCompletionBlock(
        "/v2/users/checkversion", "a=1", "POST", [&](const Value& v) { answers.push_back(v); });
    ASSERT_TRUE(testing_loop::runUntil([&] { return !answers.empty(); }, 20));
    // Every later tick of the timer, one per host.
    for (int tick = 0; tick < 3; ++tick) {
      testing_loop::advance(NetworkInterface::defaultRequesTimeOut());
      testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 20);
      testing_loop::runUntilIdle();
    }
  };
  // The selected host answers: delivered once, and no other host is asked.
  net().setServeUrls({Value(server.apiBase()), Value(unreachable())});
  staggered();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].dictionary());
  EXPECT_EQ(server.calls(testing_kite::kCheckVersion).size(), 1u);

  // The selected host fails at once: nil, and the answering host behind it never completes
  // the same request a second time.
  net().setServeUrls({Value(unreachable()), Value(server.apiBase())});
  net().setSelectedIndex(0);
  staggered();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].isNil());
  EXPECT_EQ(net().selectedIndex(), 0u);
}

TEST_F(ServerProtocolTest, RoleReportIsSignedAndRetriedUnsignedOnlyOnError1000) {
  auto role = std::make_shared<KTCKiteSDKGameRoleInfo>();
  role->setServerId(Value("s1"));
  role->setGameRoleName(Value("A&B=C 中"));
  role->setGameRoleID(Value(42));
  role->setCreatTime(Value("1700000000123"));
  server.script(testing_kite::kGateway, [&](const Call&) {
    return testing_kite::Answer{200, R"({"result":false,"error":{"id":1000}})"};
  });
  Value a = await([&](auto c) { net().updateRoleWithUidNameRoleInfoHandler("u1", "nick", role, c); });
  EXPECT_EQ(a["error"]["id"].integerValue(), 1000) << "the second answer is final";
  auto calls = server.calls(testing_kite::kGateway);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].signed_);
  EXPECT_TRUE(calls[0].signOk);
  EXPECT_FALSE(calls[1].signed_);
  const Dictionary& f = calls[0].fields;
  EXPECT_EQ(f.get("gameRoleName"), Value("A&B=C 中"));
  EXPECT_EQ(f.get("gameRoleID"), Value("42"));
  EXPECT_EQ(f.get("roleCreateTime"), Value("1700000000"));
  EXPECT_EQ(f.get("gameRoleGender"), Value("男"));
  EXPECT_EQ(f.get("action"), Value("role"));
  EXPECT_EQ(f.get("gameVersion"), Value("3.1"));
  EXPECT_EQ(f.get("uid"), Value("u1"));
  EXPECT_FALSE(f.contains("partyId"));
  EXPECT_FALSE(f.contains("profession"));

  // The request line names the gateway, not the query with the player's data.
  EXPECT_TRUE(logged("发起GET请求:" + server.gatewayBase() + "/gateway"));
  EXPECT_FALSE(loggedContaining("gateway?"));

  // Another error goes to the caller as it is, without a retry.
  server.answer(testing_kite::kGateway, R"({"result":false,"error":{"id":7}})");
  EXPECT_EQ(await([&](auto c) { net().updateRoleWithUidNameRoleInfoHandler("u1", "n", role, c); })["error"]["id"].integerValue(), 7);
  EXPECT_EQ(server.calls(testing_kite::kGateway).size(), 3u);
}

TEST_F(ServerProtocolTest, PaymentCheckSignsItsPairsInOrder) {
  server.answer(testing_kite::kGetData, R"({"data":{"amount":"120"}})");
  Value a = await([&](auto c) { net().getPayData(c); });
  EXPECT_EQ(a["data"]["amount"].stringOr(), "120");
  Call call = server.calls(testing_kite::kGetData).at(0);
  EXPECT_TRUE(call.signOk);
  EXPECT_EQ(call.raw.rfind("uid=&productCode=kite-code&realStatus=0&action=checkRealnamePay&", 0), 0u)
      << call.raw;
  EXPECT_EQ(call.fields.get("age"), Value("-1"));
  EXPECT_EQ(call.fields.get("channelCode"), Value("977"));
}

TEST_F(ServerProtocolTest, SettingsComeFromTheCdnOnTheMainQueue) {
  server.answer(testing_kite::kSettings, R"({"realname":{"checkPayTime":"1"}})");
  Value a = await([&](auto c) { net().getAntiIndulgeMessage(c); });
  EXPECT_EQ(a["realname"]["checkPayTime"].stringOr(), "1");
  EXPECT_EQ(server.http().requests().back().path, "/cdn/kite-code/977.html");
}

TEST_F(ServerProtocolTest, ServerListEntriesComeFirstAndResetTheIndex) {
  auto refresh = [&](const Value& params) {
    bool done = false;
    net().updateServerListWithChannelParamsHandler(params, [&] { done = true; });
    ASSERT_TRUE(testing_loop::runUntil([&] { return done; }, 20));
  };
  // No list on the server: the host list stays, and the handler still runs.
  refresh(Value());
  EXPECT_EQ(net().serveUrls(), plat::Array{Value(server.apiBase())});
  EXPECT_EQ(server.http().requests().back().target, "/list//kite-code-977.html");

  server.answer(testing_kite::kServerList, R"(["x","y",3,""])");
  net().setSelectedIndex(1);
  refresh(Value());
  EXPECT_EQ(net().serveUrls(), (plat::Array{Value("x"), Value("y"), Value(server.apiBase())}));
  EXPECT_EQ(net().selectedIndex(), 0u);

  // The channel configuration replaces the list and may name another list host.
  testing_kite::KiteServer other;
  other.answer(testing_kite::kServerList, R"(["z"])");
  std::string otherList = other.serverListBase();
  refresh(Value(Dictionary{{"kite_server_config", plat::Array{Value("h1")}},
                           {"kitesdk_server_ip_config", otherList}}));
  EXPECT_EQ(net().serveUrls(), (plat::Array{Value("z"), Value("h1")}));
}

TEST_F(ServerProtocolTest, ServersWithoutABaseFailWithoutARequest) {
  bundle = std::make_unique<testing_device::TempAppBundle>(Dictionary{});
  NetworkManager::resetForTesting();
  EXPECT_TRUE(net().serveUrls().empty());
  EXPECT_TRUE(await([&](auto c) { net().initInterface(c); }).isNil());
  EXPECT_TRUE(await([&](auto c) { net().getAntiIndulgeMessage(c); }).isNil());
  EXPECT_TRUE(await([&](auto c) { net().getPayData(c); }).isNil());
  EXPECT_TRUE(server.http().requests().empty());
  // Two managers, two session ids.
  std::string first = net().session_id();
  NetworkManager::resetForTesting();
  EXPECT_NE(net().session_id(), first);
}

}  // namespace
