#include "channel/core/HVmsSDK.h"

#include <mutex>

#include "channel/core/HVSdkInitUtil.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"

namespace {

constexpr const char* kUpdateMessage = "SDK需要更新";

struct Session {
  std::mutex mu;
  std::shared_ptr<HVmsSDK::Channel> channel;
  std::string updateURL;
  std::string userName;
  std::string password;
  int64_t loginStyle = 0;
};

Session& session() {
  static auto* s = new Session();
  return *s;
}

// A copy of one field, read under the session's lock.
template <class T>
T readSession(T Session::*field) {
  auto& s = session();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.*field;
}

// The installed channel, or a channel that does nothing standing in while none is installed.
std::shared_ptr<HVmsSDK::Channel> currentChannel() {
  static const auto* none = new std::shared_ptr<HVmsSDK::Channel>(new HVmsSDK::Channel());
  auto& s = session();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.channel ? s.channel : *none;
}

void handleURL(const plat::NSURLRef& url) {
  if (!url) return;
  // Until start-up has read the game id, no scheme is ours.
  std::string gameId = HVmsSDK::gameId();
  if (gameId.empty()) return;
  if (url->scheme() != "HalvikOrbPayScheme" + gameId) return;
  std::string host = url->host();
  if (host == "safepay") {
    currentChannel()->processPaymentResult(url);
    return;
  }
  if (host.find("ZRK_KITE") == std::string::npos) return;
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t amp = host.find('&', start);
    parts.push_back(host.substr(start, amp == std::string::npos ? std::string::npos : amp - start));
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  // Without "&" there is no user name to take.
  if (parts.size() < 2) return;
  {
    auto& s = session();
    std::lock_guard<std::mutex> lock(s.mu);
    s.userName = parts[1];
    s.password = parts.back();
  }
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(
      kHVSendKiteLoginNotification, plat::Value());
}

}  // namespace

void HVmsSDK::setChannel(std::shared_ptr<Channel> channel) {
  auto& s = session();
  std::lock_guard<std::mutex> lock(s.mu);
  s.channel = std::move(channel);
}

std::shared_ptr<HVmsSDK::Channel> HVmsSDK::channel() { return currentChannel(); }

bool HVmsSDK::hasChannel() {
  auto& s = session();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.channel != nullptr;
}

void HVmsSDK::didFinishLaunching() {
  HVSdkInitUtil::sharedInstance().initDidFinishLaunchingWithOptions();
}

void HVmsSDK::loadLoginViewResultSuccessFailed(LoginSuccess success, LoginFailure failed) {
  if (!hasChannel()) {
    // No login window exists to wait for: the login fails now.
    if (failed) failed(kHVChannelUnavailableCode, kHVChannelUnavailableMessage);
    return;
  }
  std::string url = updateURL();
  auto channel = currentChannel();
  if (!url.empty()) {
    if (failed) failed(-10, kUpdateMessage);
    channel->showUpdatePrompt(url);
    return;
  }
  channel->openLoginWindow(std::move(success), std::move(failed));
}

void HVmsSDK::LoginOut() {
  auto channel = currentChannel();
  channel->hideHelperButton();
  channel->cancelOnlineTimeHeartbeat();
  channel->sendLogout([](bool ok) {
    if (!ok) return;
    auto& s = session();
    std::lock_guard<std::mutex> lock(s.mu);
    s.userName.clear();
  });
  auto& s = session();
  std::lock_guard<std::mutex> lock(s.mu);
  s.loginStyle = 2;
}

void HVmsSDK::SetUserInfoDataWithRoleIdRoleNameRoleLevelZoneIdZoneNameAttachBlock(
    const std::string& roleId, const std::string& roleName, const std::string& roleLevel,
    const std::string& zoneId, const std::string& zoneName, const std::string& attach,
    RoleResult block) {
  if (roleId.empty() || roleName.empty() || roleLevel.empty() || zoneId.empty() ||
      zoneName.empty()) {
    if (block) block(2);
    return;
  }
  plat::Dictionary fields{{"roleId", roleId}, {"roleName", roleName}, {"roleLevel", roleLevel},
                          {"zoneId", zoneId}, {"zoneName", zoneName}, {"ext", attach}};
  currentChannel()->sendRole(fields, [block](bool ok) {
    if (block) block(ok ? 1 : 0);
  });
}

void HVmsSDK::loadToPayVCWithroleidMoneyServeridProductNameProductDescAttachSuccessFaild(
    const std::string& roleId, const std::string& money, const std::string& serverId,
    const std::string& productName, const std::string& productDesc, const std::string& attach,
    PaySuccess success, PayFailure faild) {
  if (!hasChannel()) {
    // No cashier exists to wait for: the payment fails now.
    if (faild)
      faild(plat::Value(), kHVChannelUnavailableCode, plat::Value(kHVChannelUnavailableMessage));
    return;
  }
  PayRequest request{roleId, serverId, money, attach, productName, productDesc};
  currentChannel()->openCashier(request, std::move(success), std::move(faild));
}

void HVmsSDK::applicationHandleOpenURL(plat::UIApplication*, const plat::NSURLRef& url) {
  handleURL(url);
}

void HVmsSDK::applicationOpenURLSourceApplicationAnnotation(plat::UIApplication*,
                                                            const plat::NSURLRef& url,
                                                            const std::string&,
                                                            const plat::Value&) {
  handleURL(url);
}

void HVmsSDK::applicationOpenURLOptions(plat::UIApplication*, const plat::NSURLRef& url,
                                        const plat::Value&) {
  handleURL(url);
}

int64_t HVmsSDK::applicationSupportedInterfaceOrientationsForWindow(plat::UIApplication*,
                                                                    plat::UIWindow*) {
  plat::Value list =
      plat::NSBundle::mainBundle()->objectForInfoDictionaryKey("UISupportedInterfaceOrientations");
  bool portrait = false, landscape = false;
  if (const plat::Array* a = list.array()) {
    for (const auto& entry : *a) {
      const std::string& text = entry.stringOr();
      if (text.find("Portrait") != std::string::npos) portrait = true;
      if (text.find("Left") != std::string::npos || text.find("Right") != std::string::npos)
        landscape = true;
    }
  }
  if (portrait && landscape) return 26;
  if (portrait) return 2;
  return 24;
}

std::string HVmsSDK::updateURL() { return readSession(&Session::updateURL); }
void HVmsSDK::setUpdateURL(const std::string& url) {
  auto& s = session();
  std::lock_guard<std::mutex> lock(s.mu);
  s.updateURL = url;
}
std::string HVmsSDK::storedUserName() { return readSession(&Session::userName); }
std::string HVmsSDK::storedPassword() { return readSession(&Session::password); }
int64_t HVmsSDK::loginStyle() { return readSession(&Session::loginStyle); }
std::string HVmsSDK::gameId() { return HVSdkInitUtil::sharedInstance().gameId(); }

void HVmsSDK::resetForTesting() {
  HVSdkInitUtil::sharedInstance().resetForTesting();
  auto& s = session();
  std::lock_guard<std::mutex> lock(s.mu);
  s.channel.reset();
  s.updateURL.clear();
  s.userName.clear();
  s.password.clear();
  s.loginStyle = 0;
}
