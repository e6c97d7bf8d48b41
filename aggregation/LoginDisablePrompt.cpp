#include "aggregation/LoginDisablePrompt.h"

#include <cstdlib>
#include <mutex>

#include "aggregation/AlertTool.h"
#include "aggregation/PlugManager.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr const char* kTitle = "提示";
constexpr const char* kOK = "确定";
constexpr const char* kRoleStopMessage =
    "由于游戏运营调整,新角色暂时无法进行游戏,给您带来不便敬请见谅。";

std::mutex& exitMutex() {
  static auto* m = new std::mutex();
  return *m;
}
std::function<void(int)>& exitHandler() {
  static auto* h = new std::function<void(int)>();
  return *h;
}

void endProcess() {
  std::function<void(int)> h;
  {
    std::lock_guard<std::mutex> lock(exitMutex());
    h = exitHandler();
  }
  if (h) {
    h(0);
  } else {
    std::exit(0);
  }
}

std::shared_ptr<plat::UIViewController> presenter() {
  auto windows = plat::UIApplication::sharedApplication().windows();
  if (windows.empty()) return nullptr;
  return windows.front()->rootViewController();
}

// The error id of a server answer as an integer (a number or numeric text); nullopt when the
// answer has none.
std::optional<int64_t> errorId(const plat::Value& answer) {
  const plat::Value& id = answer["error"]["id"];
  if (id.isNumber() || id.isString()) return id.integerValue();
  return std::nullopt;
}

void showWhenId(const plat::Array& args, int64_t wanted, bool exits) {
  if (args.size() < 2) return;
  const plat::Value& answer = args[1];
  auto id = errorId(answer);
  if (!id || *id != wanted) return;
  std::string message = answer["error"]["message"].stringOr();
  AlertTool::showAlertArrayWithTitleMessageActionButtonTitleArray(
      presenter(), kTitle, message,
      [exits](int64_t index) {
        if (exits && index == 0) endProcess();
      },
      {kOK});
}

}  // namespace

std::shared_ptr<LoginDisablePrompt> LoginDisablePrompt::sharedInstance() {
  static auto* instance =
      new std::shared_ptr<LoginDisablePrompt>(std::make_shared<LoginDisablePrompt>());
  return *instance;
}

void LoginDisablePrompt::registerClass() {
  PlugManager::registerPlugClass("LoginDisablePrompt",
                                 [] { return KiteSDKPlugNodesRef(sharedInstance()); });
}

void LoginDisablePrompt::setExitHandler(std::function<void(int)> handler) {
  std::lock_guard<std::mutex> lock(exitMutex());
  exitHandler() = std::move(handler);
}

void LoginDisablePrompt::checkLoginResult(const plat::Array& args) { showWhenId(args, 30001, true); }

void LoginDisablePrompt::kiteGetOrderResult(const plat::Array& args) {
  showWhenId(args, 1000, false);
}

void LoginDisablePrompt::comfirmAbleCreatRoleWithResult(const plat::Array& args) {
  if (args.size() < 3) return;
  double roleTime = args[2].doubleValue();
  double stopTime = args[1]["data"]["created_at"].doubleValue();
  if (roleTime == 0 || stopTime == 0) return;
  if (roleTime < stopTime) return;
  const plat::Value& given = args[1]["error"]["message"];
  std::string message =
      given.isString() && !given.string()->empty() ? *given.string() : kRoleStopMessage;
  AlertTool::showAlertArrayWithTitleMessageActionButtonTitleArray(
      presenter(), kTitle, message,
      [](int64_t index) {
        if (index == 0) endProcess();
      },
      {kOK});
}
