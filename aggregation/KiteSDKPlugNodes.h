#pragma once
// KiteSDKPlugNodes: what a plug-in of the aggregation SDK offers. Each event takes one array
// (its first element the channel configuration) and has a default that does nothing, so a
// plug-in overrides only the events it answers. callPlugParams answers nullopt when not
// implemented.
//
// A plug-in class is found by name in the runtime and asked for its shared instance through
// the class hook "sharedInstance" (see PlugManager::registerPlugClass).

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/foundation/Value.h"

class KiteSDKPlugNodes {
 public:
  virtual ~KiteSDKPlugNodes() = default;
  virtual std::optional<int64_t> callPlugParams(const plat::Value& params) { return std::nullopt; }
  virtual void willInit(const plat::Array& args) {}
  virtual void initDone(const plat::Array& args) {}
  virtual void willLogin(const plat::Array& args) {}
  virtual void loginDone(const plat::Array& args) {}
  virtual void willRecharge(const plat::Array& args) {}
  virtual void willRechargeOrdered(const plat::Array& args) {}
  virtual void rechargeOver(const plat::Array& args) {}
  virtual void createRoleInfo(const plat::Array& args) {}
  virtual void enterGameRoleInfo(const plat::Array& args) {}
  virtual void updateRoleInfo(const plat::Array& args) {}
  virtual void registeredPushToken(const plat::Array& args) {}
  virtual void checkLoginResult(const plat::Array& args) {}
  virtual void kiteGetOrderResult(const plat::Array& args) {}
  virtual void comfirmAbleCreatRoleWithResult(const plat::Array& args) {}
  virtual void showPayAntiIndulge(const plat::Array& args) {}
};
using KiteSDKPlugNodesRef = std::shared_ptr<KiteSDKPlugNodes>;

// Builds an event array: the elements up to (not including) the first nil one.
plat::Array KiteSDKPlugArgs(std::initializer_list<plat::Value> elements);
