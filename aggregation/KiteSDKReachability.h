#pragma once
// KiteSDKReachability: network reachability of an address or a host name, reporting changes
// through three blocks (run on the object's private serial queue, on which the platform
// reference is scheduled: no change waits for the main thread) and the notification
// "KiteSDKkReachabilityChangedNotification" (posted on the main queue, object = the
// reachability object).
//
// Status: 0 not reachable, 1 reachable through the cellular network, 2 through Wi-Fi.
//
// Threading: every operation may be called from any thread. stopNotifier waits until no block
// of the object runs (unless it is called from one of them), so once it returns none runs
// any more and the object may go away.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Object.h"
#include "platform/network/SCNetworkReachability.h"

inline constexpr const char* kKiteSDKReachabilityChangedNotification =
    "KiteSDKkReachabilityChangedNotification";

class KiteSDKReachability;
using KiteSDKReachabilityRef = std::shared_ptr<KiteSDKReachability>;

class KiteSDKReachability : public plat::Object {
 public:
  using Block = std::function<void(const KiteSDKReachabilityRef&)>;
  using FlagsBlock =
      std::function<void(const KiteSDKReachabilityRef&, plat::SCNetworkReachabilityFlags)>;

  enum NetworkStatus : int64_t { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

  // Factories; null when the platform cannot make the reference.
  static KiteSDKReachabilityRef reachabilityWithHostName(const std::string& host);
  static KiteSDKReachabilityRef reachabilityWithHostname(const std::string& host);
  static KiteSDKReachabilityRef reachabilityWithAddress(const struct sockaddr* address);
  static KiteSDKReachabilityRef reachabilityForInternetConnection();  // 0.0.0.0
  static KiteSDKReachabilityRef reachabilityForLocalWiFi();           // 169.254.0.0
  // An IPv4 host gives an address reachability on the URL's port (443 for "https", else
  // 80, when it has none); any other host a host-name reachability.
  static KiteSDKReachabilityRef reachabilityWithURL(const plat::NSURLRef& url);
  static bool isIpAddress(const std::string& text);

  // Takes the reference. REQUIRES: ref is not null.
  static KiteSDKReachabilityRef initWithReachabilityRef(plat::SCNetworkReachabilityRef ref);
  ~KiteSDKReachability() override;
  std::string className() const override { return "KiteSDKReachability"; }

  bool startNotifier();
  void stopNotifier();

  bool isReachable() const;
  bool isReachableViaWWAN() const;
  bool isReachableViaWiFi() const;
  bool isConnectionRequired() const { return connectionRequired(); }
  bool connectionRequired() const;
  bool isConnectionOnDemand() const;
  bool isInterventionRequired() const;
  bool isReachableWithFlags(plat::SCNetworkReachabilityFlags flags) const;
  NetworkStatus currentReachabilityStatus() const;
  plat::SCNetworkReachabilityFlags reachabilityFlags() const;
  // "WiFi", "Cellular" or "No Connection", through the main bundle's localisation.
  std::string currentReachabilityString() const;
  // Nine characters "WR ctiCDld", "-" for each clear flag.
  std::string currentReachabilityFlags() const;
  std::string description() const override;

  bool reachableOnWWAN() const { return reachableOnWWAN_; }
  void setReachableOnWWAN(bool v) { reachableOnWWAN_ = v; }
  // The blocks as set (empty when none).
  Block reachableBlock() const;
  void setReachableBlock(Block b);
  Block unreachableBlock() const;
  void setUnreachableBlock(Block b);
  FlagsBlock reachabilityBlock() const;
  void setReachabilityBlock(FlagsBlock b);
  // The platform reference the object owns (never null).
  const plat::SCNetworkReachabilityRef& reachabilityRef() const { return ref_; }
  const plat::DispatchQueueRef& reachabilitySerialQueue() const { return queue_; }
  // The object itself while its notifier runs, else null.
  KiteSDKReachabilityRef reachabilityObject() const;

 private:
  explicit KiteSDKReachability(plat::SCNetworkReachabilityRef ref);
  KiteSDKReachabilityRef self() {
    return std::static_pointer_cast<KiteSDKReachability>(shared_from_this());
  }
  static void callback(const plat::SCNetworkReachabilityRef&, plat::SCNetworkReachabilityFlags,
                       void* info);
  void reachabilityChanged(plat::SCNetworkReachabilityFlags flags);
  bool flags(plat::SCNetworkReachabilityFlags* out) const;

  plat::SCNetworkReachabilityRef ref_;
  uint64_t id_ = 0;  // the platform callback finds the object by this number
  plat::DispatchQueueRef queue_;
  std::atomic<bool> reachableOnWWAN_{true};
  mutable std::mutex mu_;
  Block reachableBlock_, unreachableBlock_;
  FlagsBlock reachabilityBlock_;
  KiteSDKReachabilityRef self_;  // while the notifier runs
};
