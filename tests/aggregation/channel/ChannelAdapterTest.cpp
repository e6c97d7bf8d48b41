// The channel adapter against a scripted channel SDK: login gate, logout, real-name answer,
// payments, initialisation, configuration file and the notifications it posts.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "aggregation/channel/KTCKiteChannel.h"
#include "channel/core/HVmsSDK.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSLog.h"
#include "platform/security/CommonCrypto.h"
#include "testing/device/TempDeviceRoot.h"

using plat::Dictionary;
using plat::Value;

namespace {

struct ScriptedChannel : HVmsSDK::Channel {
  int loginWindows = 0;
  HVmsSDK::LoginSuccess loginSuccess;
  HVmsSDK::LoginFailure loginFailure;
  HVmsSDK::PayRequest pay;
  HVmsSDK::PaySuccess paySuccess;
  HVmsSDK::PayFailure payFailure;
  int startUps = 0;
  void startUp() override { ++startUps; }
  void openLoginWindow(HVmsSDK::LoginSuccess s, HVmsSDK::LoginFailure f) override {
    ++loginWindows;
    loginSuccess = std::move(s);
    loginFailure = std::move(f);
  }
  void sendLogout(std::function<void(bool)> done) override { done(true); }
  void openCashier(const HVmsSDK::PayRequest& r, HVmsSDK::PaySuccess s,
                   HVmsSDK::PayFailure f) override {
    pay = r;
    paySuccess = std::move(s);
    payFailure = std::move(f);
  }
};

// Records every "kKtcQC" notification as (name, user info).
class Recorder {
 public:
  Recorder() {
    for (const char* name : {kKtcQCInitDidFinishedNotification, kKtcQCLoginNotification,
                             kKtcQCLogoutNotification, kKtcQCRechargeResultNotification}) {
      tokens_.push_back(
          plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
              name, Value(), nullptr, [this](const plat::NSNotification& n) {
                EXPECT_TRUE(n.object.isNil());
                posts.emplace_back(n.name, n.userInfo);
              }));
    }
  }
  ~Recorder() {
    for (auto& t : tokens_) plat::NSNotificationCenter::defaultCenter().removeObserver(t);
  }
  std::vector<std::pair<std::string, Value>> posts;

 private:
  std::vector<plat::NSNotificationCenter::ObserverToken> tokens_;
};

class ChannelAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { HVmsSDK::setChannel(sdk); }
  void TearDown() override {
    HVmsSDK::resetForTesting();
    KTCKiteChannel::resetForTesting();
  }
  KTCKiteChannel& channel = KTCKiteChannel::defaultChannel();
  std::shared_ptr<ScriptedChannel> sdk = std::make_shared<ScriptedChannel>();
  testing_device::TempAppBundle bundle;
  Recorder recorder;
};

TEST_F(ChannelAdapterTest, OneLoginPageAtATimeUntilSuccessOrUserCentreLogout) {
  EXPECT_EQ(channel.login(), 0);
  EXPECT_EQ(channel.login(), 0);
  EXPECT_EQ(sdk->loginWindows, 1);
  // A failed request or a registration error keeps the page up: still gated, nothing posted.
  sdk->loginFailure(-8, "register");
  sdk->loginFailure(-10, "SDK需要更新");
  channel.login();
  EXPECT_EQ(sdk->loginWindows, 1);
  EXPECT_TRUE(recorder.posts.empty());

  sdk->loginSuccess("1700000000", "alice", "sig", "2");
  ASSERT_EQ(recorder.posts.size(), 1u);
  EXPECT_EQ(recorder.posts[0].first, kKtcQCLoginNotification);
  EXPECT_EQ(
      recorder.posts[0].second,
      Value(Dictionary{
          {"error", 0}, {"msg", "login success"}, {"userId", "alice"}, {"sessionId", "sig"}}));
  EXPECT_EQ(channel.userId(), "alice");
  EXPECT_EQ(channel.userNick(), "alice");
  EXPECT_EQ(channel.sessionId(), "sig");
  bool logged = false;
  channel.isLogined([&](bool b) { logged = b; });
  EXPECT_TRUE(logged);
  EXPECT_EQ(channel.realNameInfo(),
            (Dictionary{{"realName", true}, {"age", 10}, {"realResumeGame", true}, {"other", ""}}));

  // A new page may open now; -9 (logout in the user centre) ends it and posts a logout.
  channel.login();
  EXPECT_EQ(sdk->loginWindows, 2);
  sdk->loginFailure(-9, "");
  ASSERT_EQ(recorder.posts.size(), 2u);
  EXPECT_EQ(recorder.posts[1].first, kKtcQCLogoutNotification);
  EXPECT_EQ(recorder.posts[1].second, Value(Dictionary{{"error", 0}, {"msg", "logout"}}));
  channel.isLogined([&](bool b) { logged = b; });
  EXPECT_FALSE(logged);
  channel.login();
  EXPECT_EQ(sdk->loginWindows, 3);
}

TEST_F(ChannelAdapterTest, LogoutEmptiesTheAccountAndRealNameAnswer) {
  Dictionary none{{"realName", false}, {"age", -1}, {"realResumeGame", true}, {"other", ""}};
  EXPECT_EQ(channel.realNameInfo(), none);
  channel.login();
  sdk->loginSuccess("t", "bob", "", "1");
  EXPECT_EQ(recorder.posts.back().second,
            Value(Dictionary{{"error", 0}, {"msg", "login success"}, {"userId", "bob"}}));
  EXPECT_EQ(channel.realNameInfo()["age"].integerValue(), 20);

  EXPECT_EQ(channel.logout(), 0);
  EXPECT_EQ(HVmsSDK::loginStyle(), 2);
  EXPECT_EQ(recorder.posts.back().first, kKtcQCLogoutNotification);
  EXPECT_EQ(channel.userId(), "");
  EXPECT_EQ(channel.userNick(), "");
  EXPECT_EQ(channel.sessionId(), "");
  EXPECT_EQ(channel.realNameInfo(), none);

  channel.updateUserId(Value("carol"));
  channel.updateUserId(Value(""));
  channel.updateUserId(Value(42));
  EXPECT_EQ(channel.userId(), "carol");
}

TEST_F(ChannelAdapterTest, PaymentOpensTheCashierAndPostsItsOutcome) {
  auto product = std::make_shared<KTCKiteProductInfo>();
  product->amount = 6;
  product->productName = "Gems";
  product->productDesc = "60 gems";
  product->productOrderID = "cp-1";
  auto role = std::make_shared<KTCKiteRoleInfo>();
  role->gameRoleID = "r1";
  role->serverId = "s1";
  EXPECT_EQ(channel.buyOrderIdProductInfoRoleInfo("agg-9", product, role), 0);
  EXPECT_EQ(sdk->pay.money, "6.00");
  EXPECT_EQ(sdk->pay.roleId, "r1");
  EXPECT_EQ(sdk->pay.serviceId, "s1");
  EXPECT_EQ(sdk->pay.cpExtend, "agg-9");
  EXPECT_EQ(sdk->pay.productName, "Gems");
  EXPECT_EQ(sdk->pay.productDesc, "60 gems");
  EXPECT_EQ(KTCKiteChannelCooperater::defaultCooperater().orderId, "agg-9");

  // The cashier's first report is its result; later ones, of either kind, are dropped.
  sdk->paySuccess(Value(), Value());
  sdk->paySuccess(Value(), Value());
  sdk->payFailure(Value(), 7, Value());
  ASSERT_EQ(recorder.posts.size(), 1u);
  EXPECT_EQ(recorder.posts[0].second, Value(Dictionary{{"msg", "recharge message"},
                                                       {"orderId", "agg-9"},
                                                       {"cpOrderId", "cp-1"},
                                                       {"sdkOrderId", ""},
                                                       {"error", 0}}));

  product->amount = 0.5f;
  channel.buyOrderIdProductInfoRoleInfo("agg-10", product, role);
  EXPECT_EQ(sdk->pay.money, "0.50");
  sdk->payFailure(Value(), 7, Value());
  sdk->paySuccess(Value(), Value());
  ASSERT_EQ(recorder.posts.size(), 2u);
  EXPECT_EQ(recorder.posts[1].second["error"].integerValue(), -31);
  // An exact amount is charged as it is, past what the float carries.
  product->amountCents = 13107201;
  channel.buyOrderIdProductInfoRoleInfo("agg-11", product, role);
  EXPECT_EQ(sdk->pay.money, "131072.01");
}

TEST_F(ChannelAdapterTest, InitialisationStartsTheChannelAndPostsAtOnce) {
  Dictionary cfg{{"channel_type", "12"}};
  EXPECT_EQ(channel.initWithDictionaryApplicationDidFinishLaunchingWithOptions(Value(cfg), nullptr,
                                                                               Value()),
            0);
  EXPECT_EQ(sdk->startUps, 1);
  ASSERT_EQ(recorder.posts.size(), 1u);
  EXPECT_EQ(recorder.posts[0].first, kKtcQCInitDidFinishedNotification);
  EXPECT_EQ(recorder.posts[0].second,
            Value(Dictionary{{"error", 0}, {"msg", "channel init success"}}));
  EXPECT_EQ(channel.channelCode(), Value("12"));
}

// Encrypts with single DES under the first 8 bytes of the key, independently of the adapter.
std::string desEncrypt(const plat::Data& plain, const char* key8) {
  std::string out(plain.length() + 8, '\0');
  size_t moved = 0;
  uint8_t key3[24];
  for (int i = 0; i < 3; ++i) memcpy(key3 + 8 * i, key8, 8);
  EXPECT_EQ(plat::CCCrypt(plat::kCCEncrypt, plat::kCCAlgorithm3DES,
                          plat::kCCOptionPKCS7Padding | plat::kCCOptionECBMode, key3, 24, nullptr,
                          plain.bytes(), plain.length(), out.data(), out.size(), &moved),
            plat::kCCSuccess);
  out.resize(moved);
  return out;
}

TEST_F(ChannelAdapterTest, ChannelCodeFallsBackToTheConfigurationFile) {
  EXPECT_EQ(channel.channelCode(), Value("977")) << "no configuration, no file";
  EXPECT_TRUE(channel.findConfigDict().empty());

  bundle.writePlist("kiteChannel.cfg", Value(Dictionary{{"other", "1"}}));
  EXPECT_TRUE(channel.channelCode().isNil()) << "a file without channel_type";

  // The shipped form: a keyed archive encrypted with the key's first eight bytes.
  plat::Data archive =
      plat::NSKeyedArchiver::archivedDataWithRootObject(Value(Dictionary{{"channel_type", "55"}}));
  bundle.writeFile("kiteChannel.cfg", desEncrypt(archive, "kavortin"));
  EXPECT_EQ(channel.channelCode(), Value("55"));

  std::vector<std::string> logs;
  plat::setNSLogCaptureForTesting([&](const std::string& line) { logs.push_back(line); });
  bundle.writeFile("kiteChannel.cfg", "garbage bytes");
  EXPECT_TRUE(channel.findConfigDict().empty());
  // A file that is there but cannot be read is reported like one that yields nothing.
  std::filesystem::remove(bundle.path() + "/kiteChannel.cfg");
  std::filesystem::create_directory(bundle.path() + "/kiteChannel.cfg");
  EXPECT_TRUE(channel.findConfigDict().empty());
  plat::setNSLogCaptureForTesting(nullptr);
  EXPECT_EQ(logs, (std::vector<std::string>(2, "KTLog:参数配置文件读取失败")));
}

TEST_F(ChannelAdapterTest, ParameterTextAndOrientationConversions) {
  auto d = channel.praramsDicFromAtEqualStr("a=1&b=2&c&a=3");
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, (Dictionary{{"a", "3"}, {"b", "2"}, {"c", "c"}}));

  using C = KTCKiteChannelCooperater;
  Value all0(Dictionary{{"orientationPotrait", "0"},
                        {"orientationPotraitDown", "0"},
                        {"orientationHomeLeft", "0"},
                        {"orientationHomeRight", "0"}});
  EXPECT_EQ(C::intValueToInterfaceOrientationMask(all0), 30);
  EXPECT_EQ(C::intValueToInterfaceOrientationMask(
                Value(Dictionary{{"orientationHomeLeft", "1"}, {"orientationHomeRight", "1"}})),
            24);
  EXPECT_EQ(C::intValueToInterfaceOrientationMask(Value(Dictionary{})), 0);
  EXPECT_EQ(C::interfaceOrientationMaskToInterfaceOrientation(2 | 16), 3);
  EXPECT_EQ(C::interfaceOrientationMaskToInterfaceOrientation(2 | 4), 1);
  EXPECT_EQ(C::interfaceOrientationMaskToInterfaceOrientation(4), 2);
  EXPECT_EQ(C::interfaceOrientationMaskToInterfaceOrientation(0), 3);
  EXPECT_EQ(C::countOfUIinterfaceOrientationMask(30), 4);
}

TEST(ChannelPayloadTest, UserInfoLeavesOutEmptyAndMissingValues) {
  auto login = KTCKiteChanneLoginNotifyInfo::info();
  login->sessionId = "s";
  EXPECT_EQ(login->getNotifyDic(),
            (Dictionary{{"error", 0}, {"msg", "login success"}, {"sessionId", "s"}}));
  auto out = KTCKiteChanneLoginNotifyInfo::zhuxiaoInfo();
  EXPECT_EQ(out->getNotifyName(), kKtcQCLogoutNotification);

  auto recharge = KTCKiteChannelRechargeNotiInfo::info();
  recharge->cpOrderID.reset();
  recharge->state = 2;
  Dictionary d = recharge->getNotifyDic();
  EXPECT_FALSE(d.contains("cpOrderId"));
  EXPECT_EQ(d.get("error").integerValue(), -32);

  auto init = KTCKitechannelInitNotifyInfo::info();
  init->state = 0;
  EXPECT_EQ(init->getNotifyDic(), (Dictionary{{"error", -1}, {"msg", "channel init fail"}}));

  KTCKiteRoleInfo role;
  role.setFightPower(Value());
  role.setRoleCreatTime(Value(1700000000));
  role.setProfession(Value::null());
  role.setPartyName(Value("guild"));
  EXPECT_EQ(role.fightPower(), "0");
  EXPECT_EQ(role.roleCreatTime(), "1700000000");
  EXPECT_EQ(role.profession(), "");
  EXPECT_EQ(role.partyName(), "guild");
  role.setFightPower(Value(1200));
  EXPECT_EQ(role.fightPower(), "1200");
}

}  // namespace
