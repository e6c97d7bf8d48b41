#include "KRH5Plugin/KRReachability.h"

#include <netinet/in.h>

#include <cstring>

#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/dispatch/RunLoop.h"

namespace {

// The callback's context holds a weak reference, so a change queued for a monitor that has
// gone away finds nothing.
void releaseContext(const void* info) {
  delete static_cast<const std::weak_ptr<KRReachability>*>(info);
}

void reachabilityCallback(const plat::SCNetworkReachabilityRef&, plat::SCNetworkReachabilityFlags,
                          void* info) {
  auto monitor = static_cast<std::weak_ptr<KRReachability>*>(info)->lock();
  if (!monitor) return;
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(
      kNetworkReachabilityChangedNotification, plat::Value(monitor));
}

}  // namespace

KRReachabilityRef KRReachability::make(plat::SCNetworkReachabilityRef ref) {
  if (!ref) return nullptr;
  return KRReachabilityRef(new KRReachability(std::move(ref)));
}

KRReachabilityRef KRReachability::reachabilityWithHostName(const std::string& hostName) {
  return make(plat::SCNetworkReachabilityCreateWithName(hostName));
}

KRReachabilityRef KRReachability::reachabilityWithAddress(const struct sockaddr* address) {
  return make(plat::SCNetworkReachabilityCreateWithAddress(address));
}

KRReachabilityRef KRReachability::reachabilityForInternetConnection() {
  sockaddr_in zero;
  std::memset(&zero, 0, sizeof zero);
  zero.sin_family = AF_INET;
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&zero));
}

KRReachability::~KRReachability() {
  if (reachabilityRef_) {
    if (scheduled_) {
      plat::SCNetworkReachabilityUnscheduleFromRunLoop(reachabilityRef_, plat::RunLoop::main().get(),
                                                       plat::kCFRunLoopDefaultMode);
    }
    plat::SCNetworkReachabilitySetCallback(reachabilityRef_, nullptr, nullptr);
  }
}

bool KRReachability::startNotifier() {
  plat::SCNetworkReachabilityContext context;
  context.info = new std::weak_ptr<KRReachability>(
      std::static_pointer_cast<KRReachability>(shared_from_this()));
  context.release = &releaseContext;
  if (!plat::SCNetworkReachabilitySetCallback(reachabilityRef_, &reachabilityCallback, &context)) {
    releaseContext(context.info);
    return false;
  }
  scheduled_ = plat::SCNetworkReachabilityScheduleWithRunLoop(
      reachabilityRef_, plat::RunLoop::current().get(), plat::kCFRunLoopDefaultMode);
  return scheduled_;
}

void KRReachability::stopNotifier() {
  if (!reachabilityRef_) return;
  plat::SCNetworkReachabilityUnscheduleFromRunLoop(reachabilityRef_, plat::RunLoop::current().get(),
                                                   plat::kCFRunLoopDefaultMode);
  scheduled_ = false;
}

KRReachability::NetworkStatus KRReachability::networkStatusForFlags(
    plat::SCNetworkReachabilityFlags flags) {
  using namespace plat;
  if (!(flags & kSCNetworkReachabilityFlagsReachable)) return NotReachable;
  if (flags & kSCNetworkReachabilityFlagsIsWWAN) return ReachableViaWWAN;
  if (!(flags & kSCNetworkReachabilityFlagsConnectionRequired)) return ReachableViaWiFi;
  if ((flags & (kSCNetworkReachabilityFlagsConnectionOnDemand |
                kSCNetworkReachabilityFlagsConnectionOnTraffic)) &&
      !(flags & kSCNetworkReachabilityFlagsInterventionRequired))
    return ReachableViaWiFi;
  return NotReachable;
}

KRReachability::NetworkStatus KRReachability::currentReachabilityStatus() const {
  plat::SCNetworkReachabilityFlags flags = 0;
  if (!plat::SCNetworkReachabilityGetFlags(reachabilityRef_, &flags)) return NotReachable;
  return networkStatusForFlags(flags);
}

bool KRReachability::connectionRequired() const {
  plat::SCNetworkReachabilityFlags flags = 0;
  return plat::SCNetworkReachabilityGetFlags(reachabilityRef_, &flags) &&
         (flags & plat::kSCNetworkReachabilityFlagsConnectionRequired);
}
