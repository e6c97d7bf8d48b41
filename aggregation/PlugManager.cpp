#include "aggregation/PlugManager.h"

#include <any>

#include "aggregation/LoginDisablePrompt.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/runtime/Runtime.h"

namespace {

using Factory = std::function<KiteSDKPlugNodesRef()>;

constexpr const char* kManagerClassName = "PlugManager";

std::string classNameOf(const plat::Value& descriptor) {
  const plat::Value& manager = descriptor["managerName"];
  if (manager.isString()) return *manager.string();
  if (!manager.isNil()) return "";
  const plat::Value& event = descriptor["eventManager"]["manager"];
  return event.isString() ? *event.string() : "";
}

}  // namespace

plat::Array KiteSDKPlugArgs(std::initializer_list<plat::Value> elements) {
  plat::Array out;
  for (const auto& e : elements) {
    if (e.isNil()) break;
    out.push_back(e);
  }
  return out;
}

std::shared_ptr<PlugManager> PlugManager::sharedInstance() {
  static auto* instance = new std::shared_ptr<PlugManager>(std::make_shared<PlugManager>());
  return *instance;
}

void PlugManager::load() {
  // The plug-ins this program carries.
  LoginDisablePrompt::registerClass();
  sharedInstance()->startManager();
}

void PlugManager::registerPlugClass(const std::string& className, Factory factory) {
  plat::Class* cls = plat::Runtime::classNamed(className);
  if (!cls) cls = plat::Runtime::registerClass(className, nullptr, nullptr, {});
  if (cls) cls->setHook(kPlugManagerSharedInstanceHook, std::any(std::move(factory)));
}

void PlugManager::startManager() {
  pluginsInfo_.clear();
  std::string path = plat::NSBundle::mainBundle()->pathForResourceOfType("kitePlugins", "cfg");
  if (path.empty()) return;
  auto bytes = plat::dataWithContentsOfFile(path);
  if (!bytes) return;
  plat::Value list = plat::NSPropertyListSerialization::propertyListWithData(*bytes);
  if (const plat::Array* a = list.array()) pluginsInfo_ = *a;
}

std::vector<KiteSDKPlugNodesRef> PlugManager::resolve(const std::string* onlyName,
                                                      std::vector<std::string>* classNames) const {
  std::vector<KiteSDKPlugNodesRef> out;
  for (const auto& descriptor : pluginsInfo_) {
    if (onlyName && descriptor["name"].stringOr() != *onlyName) continue;
    std::string name = classNameOf(descriptor);
    // The manager listed as its own plug-in would forward every event to itself forever.
    if (name.empty() || name == kManagerClassName) continue;
    std::any hook = plat::Runtime::hookForClassName(name, kPlugManagerSharedInstanceHook);
    const Factory* factory = std::any_cast<Factory>(&hook);
    if (!factory || !*factory) continue;
    if (auto plug = (*factory)()) {
      out.push_back(std::move(plug));
      if (classNames) classNames->push_back(name);
    }
  }
  return out;
}

std::vector<KiteSDKPlugNodesRef> PlugManager::getAllConfigedPlugs() const {
  return resolve(nullptr);
}

std::vector<KiteSDKPlugNodesRef> PlugManager::getPlugsOfName(const std::string& name) const {
  std::vector<std::string> classes;
  auto plugs = resolve(&name, &classes);
  // The objects found, as an array describes its objects ("(null)" for none).
  std::string found = "(null)";
  if (!plugs.empty()) {
    found = "(";
    for (size_t i = 0; i < plugs.size(); ++i) {
      found += plat::format("%@\n    <%@: %p>", i ? "," : "", classes[i],
                            static_cast<const void*>(plugs[i].get()));
    }
    found += "\n)";
  }
  plat::NSLog("%@,%@", name, found);
  return plugs;
}

int64_t PlugManager::callPlugParams(const std::string& name, const plat::Value& params) {
  for (auto& plug : getPlugsOfName(name)) plug->callPlugParams(params);
  return 0;
}

void PlugManager::forward(void (KiteSDKPlugNodes::*event)(const plat::Array&),
                          const plat::Array& args) {
  for (auto& plug : getAllConfigedPlugs()) ((*plug).*event)(args);
}

void PlugManager::willInit(const plat::Array& a) { forward(&KiteSDKPlugNodes::willInit, a); }
void PlugManager::initDone(const plat::Array& a) { forward(&KiteSDKPlugNodes::initDone, a); }
void PlugManager::willLogin(const plat::Array& a) { forward(&KiteSDKPlugNodes::willLogin, a); }
void PlugManager::loginDone(const plat::Array& a) { forward(&KiteSDKPlugNodes::loginDone, a); }
void PlugManager::willRecharge(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::willRecharge, a);
}
void PlugManager::willRechargeOrdered(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::willRechargeOrdered, a);
}
void PlugManager::rechargeOver(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::rechargeOver, a);
}
void PlugManager::createRoleInfo(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::createRoleInfo, a);
}
void PlugManager::enterGameRoleInfo(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::enterGameRoleInfo, a);
}
void PlugManager::updateRoleInfo(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::updateRoleInfo, a);
}
void PlugManager::registeredPushToken(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::registeredPushToken, a);
}
void PlugManager::checkLoginResult(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::checkLoginResult, a);
}
void PlugManager::kiteGetOrderResult(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::kiteGetOrderResult, a);
}
void PlugManager::comfirmAbleCreatRoleWithResult(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::comfirmAbleCreatRoleWithResult, a);
}
void PlugManager::showPayAntiIndulge(const plat::Array& a) {
  forward(&KiteSDKPlugNodes::showPayAntiIndulge, a);
}
