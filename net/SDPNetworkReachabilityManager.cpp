#include "net/SDPNetworkReachabilityManager.h"

#include <netinet/in.h>

#include <cstring>

#include "net/SDPNetworkingPrivate.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/dispatch/RunLoop.h"

SDPNetworkReachabilityStatus SDPStatusFromReachabilityFlags(
    plat::SCNetworkReachabilityFlags flags) {
  const bool reachable = flags & plat::kSCNetworkReachabilityFlagsReachable;
  const bool needsConnection = flags & plat::kSCNetworkReachabilityFlagsConnectionRequired;
  const bool canConnectAutomatically =
      (flags & plat::kSCNetworkReachabilityFlagsConnectionOnDemand) ||
      (flags & plat::kSCNetworkReachabilityFlagsConnectionOnTraffic);
  const bool canConnectWithoutUser =
      canConnectAutomatically && !(flags & plat::kSCNetworkReachabilityFlagsInterventionRequired);
  const bool networkReachable = reachable && (!needsConnection || canConnectWithoutUser);
  if (!networkReachable) return SDPNetworkReachabilityStatusNotReachable;
  if (flags & plat::kSCNetworkReachabilityFlagsIsWWAN)
    return SDPNetworkReachabilityStatusReachableViaWWAN;
  return SDPNetworkReachabilityStatusReachableViaWiFi;
}

std::string SDPReachabilityStatusText(int64_t status) {
  switch (status) {
    case SDPNetworkReachabilityStatusNotReachable:
      return SDPNetworkingLocalizedString("Not Reachable");
    case SDPNetworkReachabilityStatusReachableViaWWAN:
      return SDPNetworkingLocalizedString("Reachable via WWAN");
    case SDPNetworkReachabilityStatusReachableViaWiFi:
      return SDPNetworkingLocalizedString("Reachable via WiFi");
    default:
      return SDPNetworkingLocalizedString("Unknown");
  }
}

std::set<std::string> SDPNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey(
    const std::string& key) {
  if (key == "reachable" || key == "reachableViaWWAN" || key == "reachableViaWiFi")
    return {"networkReachabilityStatus"};
  return {};
}

// What the platform callback's context carries: the manager, weakly.
struct SDPNetworkReachabilityManager::Callback {
  std::weak_ptr<SDPNetworkReachabilityManager> manager;

  // Sets the status, calls the block, then posts the notification: all on the main queue.
  static void notify(std::weak_ptr<SDPNetworkReachabilityManager> weak,
                     SDPNetworkReachabilityStatus status) {
    plat::dispatch_async(plat::dispatch_get_main_queue(), [weak, status] {
      if (auto self = weak.lock()) {
        StatusBlock block;
        // Observers are told outside the lock: they read the status.
        self->willChangeValueForKey("networkReachabilityStatus");
        {
          std::lock_guard<std::mutex> lock(self->mu_);
          self->status_ = status;
          block = self->block_;
        }
        self->didChangeValueForKey("networkReachabilityStatus");
        if (block) block(status);
      }
      plat::Dictionary info;
      info.set(SDPNetworkingReachabilityNotificationStatusItem, static_cast<int64_t>(status));
      plat::NSNotificationCenter::defaultCenter().postNotificationNameObjectUserInfo(
          SDPNetworkingReachabilityDidChangeNotification, plat::Value(),
          plat::Value(std::move(info)));
    });
  }

  static void onFlags(const plat::SCNetworkReachabilityRef&, plat::SCNetworkReachabilityFlags flags,
                      void* info) {
    notify(static_cast<Callback*>(info)->manager, SDPStatusFromReachabilityFlags(flags));
  }
  static const void* retain(const void* info) {
    const auto* callback = static_cast<const Callback*>(info);
    return new Callback{callback->manager};
  }
  static void release(const void* info) { delete static_cast<const Callback*>(info); }
};

std::shared_ptr<SDPNetworkReachabilityManager> SDPNetworkReachabilityManager::sharedManager() {
  static auto* shared = new std::shared_ptr<SDPNetworkReachabilityManager>(manager());
  return *shared;
}

std::shared_ptr<SDPNetworkReachabilityManager> SDPNetworkReachabilityManager::manager() {
  sockaddr_in6 address;
  std::memset(&address, 0, sizeof address);
  address.sin6_family = AF_INET6;
  return managerForAddress(reinterpret_cast<const sockaddr*>(&address));
}

std::shared_ptr<SDPNetworkReachabilityManager> SDPNetworkReachabilityManager::managerForDomain(
    const std::string& domain) {
  auto reachability = plat::SCNetworkReachabilityCreateWithName(domain);
  if (!reachability) return nullptr;
  return std::make_shared<SDPNetworkReachabilityManager>(std::move(reachability));
}

std::shared_ptr<SDPNetworkReachabilityManager> SDPNetworkReachabilityManager::managerForAddress(
    const struct sockaddr* address) {
  auto reachability = plat::SCNetworkReachabilityCreateWithAddress(address);
  if (!reachability) return nullptr;
  return std::make_shared<SDPNetworkReachabilityManager>(std::move(reachability));
}

SDPNetworkReachabilityManager::SDPNetworkReachabilityManager(
    plat::SCNetworkReachabilityRef reachability)
    : reachability_(std::move(reachability)) {}

SDPNetworkReachabilityManager::~SDPNetworkReachabilityManager() {
  stopMonitoring();
  plat::SCNetworkReachabilitySetCallback(reachability_, nullptr, nullptr);
}

SDPNetworkReachabilityStatus SDPNetworkReachabilityManager::networkReachabilityStatus() const {
  std::lock_guard<std::mutex> lock(mu_);
  return status_;
}

bool SDPNetworkReachabilityManager::isReachable() const {
  return isReachableViaWWAN() || isReachableViaWiFi();
}
bool SDPNetworkReachabilityManager::isReachableViaWWAN() const {
  return networkReachabilityStatus() == SDPNetworkReachabilityStatusReachableViaWWAN;
}
bool SDPNetworkReachabilityManager::isReachableViaWiFi() const {
  return networkReachabilityStatus() == SDPNetworkReachabilityStatusReachableViaWiFi;
}

std::string SDPNetworkReachabilityManager::localizedNetworkReachabilityStatusString() const {
  return SDPReachabilityStatusText(networkReachabilityStatus());
}

SDPNetworkReachabilityManager::StatusBlock
SDPNetworkReachabilityManager::networkReachabilityStatusBlock() const {
  std::lock_guard<std::mutex> lock(mu_);
  return block_;
}

void SDPNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
  std::lock_guard<std::mutex> lock(mu_);
  block_ = std::move(block);
}

void SDPNetworkReachabilityManager::startMonitoring() {
  stopMonitoring();
  if (!reachability_) return;
  std::weak_ptr<SDPNetworkReachabilityManager> weak =
      std::static_pointer_cast<SDPNetworkReachabilityManager>(shared_from_this());
  Callback callback{weak};
  plat::SCNetworkReachabilityContext context;
  context.info = &callback;  // copied by retain
  context.retain = &Callback::retain;
  context.release = &Callback::release;
  plat::SCNetworkReachabilitySetCallback(reachability_, &Callback::onFlags, &context);
  plat::SCNetworkReachabilityScheduleWithRunLoop(reachability_, plat::RunLoop::main().get(),
                                                 plat::kCFRunLoopCommonModes);
  auto reachability = reachability_;
  plat::dispatch_async(plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_BACKGROUND),
                       [reachability, weak] {
                         plat::SCNetworkReachabilityFlags flags = 0;
                         if (plat::SCNetworkReachabilityGetFlags(reachability, &flags)) {
                           Callback::notify(weak, SDPStatusFromReachabilityFlags(flags));
                         }
                       });
}

void SDPNetworkReachabilityManager::stopMonitoring() {
  if (!reachability_) return;
  plat::SCNetworkReachabilityUnscheduleFromRunLoop(reachability_, plat::RunLoop::main().get(),
                                                   plat::kCFRunLoopCommonModes);
}
