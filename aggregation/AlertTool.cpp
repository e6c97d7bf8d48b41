#include "aggregation/AlertTool.h"

#include "platform/uikit/UIAlertController.h"

void AlertTool::showAlertArrayWithTitleMessageActionButtonTitleArray(
    const std::shared_ptr<plat::UIViewController>& presenter, const std::string& title,
    const std::string& message, std::function<void(int64_t)> action,
    const std::vector<std::string>& buttonTitles) {
  if (!presenter) return;
  // A controller that already presents a screen would refuse a second one and the message
  // would be lost: the alert goes over the topmost screen instead.
  std::shared_ptr<plat::UIViewController> top = presenter;
  while (auto next = top->presentedViewController()) top = next;
  auto alert = plat::UIAlertController::alertControllerWithTitleMessagePreferredStyle(
      title, message, plat::UIAlertControllerStyleAlert);
  for (size_t i = 0; i < buttonTitles.size(); ++i) {
    alert->addAction(plat::UIAlertAction::actionWithTitleStyleHandler(
        buttonTitles[i], plat::UIAlertActionStyleDefault, [action, i](plat::UIAlertAction&) {
          if (action) action(static_cast<int64_t>(i));
        }));
  }
  top->presentViewControllerAnimatedCompletion(alert, true);
}

plat::Value AlertTool::showAlertStringWihtCode(const plat::Value& dictionary) {
  switch (dictionary["code"].integerValue()) {
    case -1:
      return "密码错误";
    case -2:
      return "用户不存在";
    case -10:
      return "需要登录或登录已超时";
    case -11:
      return "短信验证码超时";
    case -12:
      return "短信验证码不正确";
    case -13:
      return "该手机已注册";
    case -14:
      return "服务器注册异常";
    case -100:
      return "不支持该操作";
    case -1002:
      return "版本不匹配";
    case -1101:
      return "昵称已存在";
    case -1102:
      return "该信息(手机号、微信、微博、QQ)已绑定其他账号";
    case -1104:
      return "您已成功参与该活动";
    case -1300:
      return "查询数据为空";
    default:
      return dictionary["message"];
  }
}
