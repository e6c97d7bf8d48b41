#include "aggregation/KiteSDKReachability.h"

#include <arpa/inet.h>

#include <cstring>
#include <unordered_map>

#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"

using plat::SCNetworkReachabilityFlags;

namespace {

// Objects by number, so that a platform callback never holds a pointer to a dead object.
struct Registry {
  std::mutex mu;
  uint64_t next = 1;
  std::unordered_map<uint64_t, std::weak_ptr<KiteSDKReachability>> objects;
};
Registry& registry() {
  static auto* r = new Registry();
  return *r;
}

// Marks the object's own queue, so stopNotifier can tell it runs inside a block.
const char kQueueKey = 0;

bool has(SCNetworkReachabilityFlags flags, SCNetworkReachabilityFlags bit) {
  return (flags & bit) != 0;
}

}  // namespace

KiteSDKReachability::KiteSDKReachability(plat::SCNetworkReachabilityRef ref)
    : ref_(std::move(ref)) {
  queue_ = plat::dispatch_queue_create("com.kitesdk.reachability");
  plat::dispatch_queue_set_specific(queue_, &kQueueKey, this, nullptr);
}

KiteSDKReachabilityRef KiteSDKReachability::initWithReachabilityRef(
    plat::SCNetworkReachabilityRef ref) {
  if (!ref) return nullptr;
  KiteSDKReachabilityRef r(new KiteSDKReachability(std::move(ref)));
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mu);
  r->id_ = reg.next++;
  reg.objects[r->id_] = r;
  return r;
}

KiteSDKReachability::~KiteSDKReachability() {
  // No notifier runs here: a running notifier keeps the object alive.
  plat::SCNetworkReachabilitySetCallback(ref_, nullptr, nullptr);
  auto& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mu);
  reg.objects.erase(id_);
}

KiteSDKReachabilityRef KiteSDKReachability::reachabilityWithHostName(const std::string& host) {
  return reachabilityWithHostname(host);
}

KiteSDKReachabilityRef KiteSDKReachability::reachabilityWithHostname(const std::string& host) {
  return initWithReachabilityRef(plat::SCNetworkReachabilityCreateWithName(host));
}

KiteSDKReachabilityRef KiteSDKReachability::reachabilityWithAddress(
    const struct sockaddr* address) {
  return initWithReachabilityRef(plat::SCNetworkReachabilityCreateWithAddress(address));
}

KiteSDKReachabilityRef KiteSDKReachability::reachabilityForInternetConnection() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  return reachabilityWithAddress(reinterpret_cast<sockaddr*>(&a));
}

KiteSDKReachabilityRef KiteSDKReachability::reachabilityForLocalWiFi() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0xA9FE0000);  // 169.254.0.0
  return reachabilityWithAddress(reinterpret_cast<sockaddr*>(&a));
}

KiteSDKReachabilityRef KiteSDKReachability::reachabilityWithURL(const plat::NSURLRef& url) {
  if (!url) return nullptr;
  std::string host = url->host();
  if (isIpAddress(host)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    int port = url->port().value_or(url->scheme() == "https" ? 443 : 80);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return reachabilityWithAddress(reinterpret_cast<sockaddr*>(&a));
  }
  return reachabilityWithHostname(host);
}

bool KiteSDKReachability::isIpAddress(const std::string& text) {
  in_addr a;
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

void KiteSDKReachability::callback(const plat::SCNetworkReachabilityRef&,
                                   SCNetworkReachabilityFlags flags, void* info) {
  uint64_t id = reinterpret_cast<uintptr_t>(info);
  std::weak_ptr<KiteSDKReachability> weak;
  {
    auto& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mu);
    auto it = reg.objects.find(id);
    if (it == reg.objects.end()) return;
    weak = it->second;
  }
  // Scheduled on the object's serial queue: this runs there already.
  if (auto self = weak.lock()) self->reachabilityChanged(flags);
}

bool KiteSDKReachability::startNotifier() {
  std::lock_guard<std::mutex> lock(mu_);
  if (self_) return true;
  plat::SCNetworkReachabilityContext context;
  context.info = reinterpret_cast<void*>(static_cast<uintptr_t>(id_));
  bool ok = false;
  if (plat::SCNetworkReachabilitySetCallback(ref_, &KiteSDKReachability::callback, &context)) {
    if (plat::SCNetworkReachabilitySetDispatchQueue(ref_, queue_)) {
      ok = true;
    } else {
      plat::SCNetworkReachabilitySetCallback(ref_, nullptr, nullptr);
    }
  }
  if (ok) self_ = self();
  return ok;
}

void KiteSDKReachability::stopNotifier() {
  KiteSDKReachabilityRef keep;  // released only after the lock is given up
  {
    std::lock_guard<std::mutex> lock(mu_);
    plat::SCNetworkReachabilitySetCallback(ref_, nullptr, nullptr);
    plat::SCNetworkReachabilitySetDispatchQueue(ref_, nullptr);
    keep = std::move(self_);
  }
  // Wait for a block that is running now, unless this is that block.
  if (plat::dispatch_get_specific(&kQueueKey) != this) {
    plat::dispatch_sync(queue_, [] {});
  }
}

KiteSDKReachabilityRef KiteSDKReachability::reachabilityObject() const {
  std::lock_guard<std::mutex> lock(mu_);
  return self_;
}

KiteSDKReachability::Block KiteSDKReachability::reachableBlock() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reachableBlock_;
}
KiteSDKReachability::Block KiteSDKReachability::unreachableBlock() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unreachableBlock_;
}
KiteSDKReachability::FlagsBlock KiteSDKReachability::reachabilityBlock() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reachabilityBlock_;
}

void KiteSDKReachability::setReachableBlock(Block b) {
  std::lock_guard<std::mutex> lock(mu_);
  reachableBlock_ = std::move(b);
}
void KiteSDKReachability::setUnreachableBlock(Block b) {
  std::lock_guard<std::mutex> lock(mu_);
  unreachableBlock_ = std::move(b);
}
void KiteSDKReachability::setReachabilityBlock(FlagsBlock b) {
  std::lock_guard<std::mutex> lock(mu_);
  reachabilityBlock_ = std::move(b);
}

void KiteSDKReachability::reachabilityChanged(SCNetworkReachabilityFlags flags) {
  Block reachable, unreachable;
  FlagsBlock any;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!self_) return;  // stopped after this change was queued
    reachable = reachableBlock_;
    unreachable = unreachableBlock_;
    any = reachabilityBlock_;
  }
  auto me = self();
  if (isReachableWithFlags(flags)) {
    if (reachable) reachable(me);
  } else if (unreachable) {
    unreachable(me);
  }
  if (any) any(me, flags);
  plat::dispatch_async(plat::dispatch_get_main_queue(), [me] {
    plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(
        kKiteSDKReachabilityChangedNotification, plat::Value(me));
  });
}

bool KiteSDKReachability::flags(SCNetworkReachabilityFlags* out) const {
  *out = 0;
  return plat::SCNetworkReachabilityGetFlags(ref_, out);
}

bool KiteSDKReachability::isReachableWithFlags(SCNetworkReachabilityFlags f) const {
  if (!has(f, plat::kSCNetworkReachabilityFlagsReachable)) return false;
  if (has(f, plat::kSCNetworkReachabilityFlagsConnectionRequired) &&
      has(f, plat::kSCNetworkReachabilityFlagsTransientConnection))
    return false;
  if (has(f, plat::kSCNetworkReachabilityFlagsIsWWAN) && !reachableOnWWAN_) return false;
  return true;
}

bool KiteSDKReachability::isReachable() const {
  SCNetworkReachabilityFlags f;
  return flags(&f) && isReachableWithFlags(f);
}

bool KiteSDKReachability::isReachableViaWWAN() const {
  SCNetworkReachabilityFlags f;
  return flags(&f) && has(f, plat::kSCNetworkReachabilityFlagsReachable) &&
         has(f, plat::kSCNetworkReachabilityFlagsIsWWAN);
}

bool KiteSDKReachability::isReachableViaWiFi() const {
  SCNetworkReachabilityFlags f;
  return flags(&f) && has(f, plat::kSCNetworkReachabilityFlagsReachable) &&
         !has(f, plat::kSCNetworkReachabilityFlagsIsWWAN);
}

bool KiteSDKReachability::connectionRequired() const {
  return has(reachabilityFlags(), plat::kSCNetworkReachabilityFlagsConnectionRequired);
}

bool KiteSDKReachability::isConnectionOnDemand() const {
  auto f = reachabilityFlags();
  return has(f, plat::kSCNetworkReachabilityFlagsConnectionRequired) &&
         (has(f, plat::kSCNetworkReachabilityFlagsConnectionOnTraffic) ||
          has(f, plat::kSCNetworkReachabilityFlagsConnectionOnDemand));
}

bool KiteSDKReachability::isInterventionRequired() const {
  auto f = reachabilityFlags();
  return has(f, plat::kSCNetworkReachabilityFlagsConnectionRequired) &&
         has(f, plat::kSCNetworkReachabilityFlagsInterventionRequired);
}

KiteSDKReachability::NetworkStatus KiteSDKReachability::currentReachabilityStatus() const {
  if (!isReachable()) return NotReachable;
  if (isReachableViaWiFi()) return ReachableViaWiFi;
  return ReachableViaWWAN;
}

SCNetworkReachabilityFlags KiteSDKReachability::reachabilityFlags() const {
  SCNetworkReachabilityFlags f;
  return flags(&f) ? f : 0;
}

std::string KiteSDKReachability::currentReachabilityString() const {
  auto status = currentReachabilityStatus();
  const char* key = status == ReachableViaWiFi   ? "WiFi"
                    : status == ReachableViaWWAN ? "Cellular"
                                                 : "No Connection";
  return plat::NSBundle::mainBundle()->localizedStringForKeyValueTable(key);
}

std::string KiteSDKReachability::currentReachabilityFlags() const {
  auto f = reachabilityFlags();
  auto c = [&](SCNetworkReachabilityFlags bit, char ch) { return has(f, bit) ? ch : '-'; };
  return plat::format("%c%c %c%c%c%c%c%c%c", c(plat::kSCNetworkReachabilityFlagsIsWWAN, 'W'),
                      c(plat::kSCNetworkReachabilityFlagsReachable, 'R'),
                      c(plat::kSCNetworkReachabilityFlagsConnectionRequired, 'c'),
                      c(plat::kSCNetworkReachabilityFlagsTransientConnection, 't'),
                      c(plat::kSCNetworkReachabilityFlagsInterventionRequired, 'i'),
                      c(plat::kSCNetworkReachabilityFlagsConnectionOnTraffic, 'C'),
                      c(plat::kSCNetworkReachabilityFlagsConnectionOnDemand, 'D'),
                      c(plat::kSCNetworkReachabilityFlagsIsLocalAddress, 'l'),
                      c(plat::kSCNetworkReachabilityFlagsIsDirect, 'd'));
}

std::string KiteSDKReachability::description() const {
  return plat::format("<%@: %p (%@)>", className(), static_cast<const void*>(this),
                      currentReachabilityFlags());
}
