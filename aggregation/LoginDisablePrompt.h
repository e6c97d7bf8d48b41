#pragma once
// LoginDisablePrompt: a plug-in that stops the player with a blocking message when the
// aggregation server has disabled logins (error id 30001, the button ends the process), refused
// an order (id 1000, the button only closes the message) or stopped the creation of new roles
// (a role created at or after the stop time; the button ends the process). Alerts are shown
// on the root view controller of the application's first window; without one nothing shows.
//
// Threading: main thread only.

#include <functional>
#include <memory>

#include "aggregation/KiteSDKPlugNodes.h"

class LoginDisablePrompt : public KiteSDKPlugNodes {
 public:
  static std::shared_ptr<LoginDisablePrompt> sharedInstance();
  // Makes the class known to the plug-in manager under "LoginDisablePrompt".
  static void registerClass();
  // What ends the process (std::exit by default); tests put their own. Null restores it.
  static void setExitHandler(std::function<void(int)> handler);

  void checkLoginResult(const plat::Array& args) override;
  void kiteGetOrderResult(const plat::Array& args) override;
  void comfirmAbleCreatRoleWithResult(const plat::Array& args) override;
};
