#pragma once
// PlugManager: reads the plug-in list (resource "kitePlugins" of type "cfg": a property-list
// array of {"name", "managerName" | "eventManager": {"manager"}}) at program start and
// forwards every life-cycle event to each listed plug-in, in list order. Plug-ins are looked
// up by class name at every event and asked for their shared instance; a plug-in class the
// runtime does not know, one without a shared instance, and a descriptor naming the manager
// itself (which would forward to itself forever) are left out.
//
// Threading: load runs on the main thread before anything else; events come from the thread
// of whoever raises them; the list is not changed after loading.

#include <functional>
#include <string>

#include "aggregation/KiteSDKPlugNodes.h"

inline constexpr const char* kPlugManagerSharedInstanceHook = "sharedInstance";

class PlugManager : public KiteSDKPlugNodes {
 public:
  static std::shared_ptr<PlugManager> sharedInstance();
  // Program start: sharedInstance, then startManager.
  static void load();
  // Registers a plug-in class under `className` whose shared instance `factory` gives.
  static void registerPlugClass(const std::string& className,
                                std::function<KiteSDKPlugNodesRef()> factory);

  // (Re)reads the list from the main bundle.
  void startManager();
  const plat::Array& pluginsInfo() const { return pluginsInfo_; }

  // The plug-in objects, in list order (twice when listed twice); empty when none.
  std::vector<KiteSDKPlugNodesRef> getAllConfigedPlugs() const;
  // The plug-in objects of the descriptors with that "name"; logs the name and the objects
  // found ("%@,%@").
  std::vector<KiteSDKPlugNodesRef> getPlugsOfName(const std::string& name) const;
  // Calls callPlugParams of the plug-ins of that name. Returns 0.
  int64_t callPlugParams(const std::string& name, const plat::Value& params);

  std::optional<int64_t> callPlugParams(const plat::Value& params) override { return 0; }
  void willInit(const plat::Array& args) override;
  void initDone(const plat::Array& args) override;
  void willLogin(const plat::Array& args) override;
  void loginDone(const plat::Array& args) override;
  void willRecharge(const plat::Array& args) override;
  void willRechargeOrdered(const plat::Array& args) override;
  void rechargeOver(const plat::Array& args) override;
  void createRoleInfo(const plat::Array& args) override;
  void enterGameRoleInfo(const plat::Array& args) override;
  void updateRoleInfo(const plat::Array& args) override;
  void registeredPushToken(const plat::Array& args) override;
  void checkLoginResult(const plat::Array& args) override;
  void kiteGetOrderResult(const plat::Array& args) override;
  void comfirmAbleCreatRoleWithResult(const plat::Array& args) override;
  void showPayAntiIndulge(const plat::Array& args) override;

 private:
  // The plug-ins (of the descriptors named `onlyName`, when given), with their class names in
  // `classNames` when given.
  std::vector<KiteSDKPlugNodesRef> resolve(const std::string* onlyName,
                                           std::vector<std::string>* classNames = nullptr) const;
  void forward(void (KiteSDKPlugNodes::*event)(const plat::Array&), const plat::Array& args);
  plat::Array pluginsInfo_;
};
