#pragma once
// SDPNetworkReachabilityManager watches whether a host, an address or the network in general
// can be reached, and reports the status through a property, a block and the notification
// "com.sdpkit.networking.reachability.change" (user info
// "SDPNetworkingReachabilityNotificationStatusItem" -> status). The status is unknown (-1)
// until monitoring reports one.
//
// Thread-safety: the status, the block and the notification are updated and delivered on
// the main queue, in that order. startMonitoring/stopMonitoring may be called from any
// thread; the block is set before monitoring starts.
//
// Key-value observing: a status change is announced as "networkReachabilityStatus" (on the
// main queue, before the block), and observers of "reachable", "reachableViaWWAN" and
// "reachableViaWiFi" hear it too.

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/foundation/Object.h"
#include "platform/network/SCNetworkReachability.h"

inline constexpr const char* SDPNetworkingReachabilityDidChangeNotification =
    "com.sdpkit.networking.reachability.change";
inline constexpr const char* SDPNetworkingReachabilityNotificationStatusItem =
    "SDPNetworkingReachabilityNotificationStatusItem";

enum SDPNetworkReachabilityStatus : int64_t {
  SDPNetworkReachabilityStatusUnknown = -1,
  SDPNetworkReachabilityStatusNotReachable = 0,
  SDPNetworkReachabilityStatusReachableViaWWAN = 1,
  SDPNetworkReachabilityStatusReachableViaWiFi = 2,
};

// The status the platform's flags stand for.
SDPNetworkReachabilityStatus SDPStatusFromReachabilityFlags(plat::SCNetworkReachabilityFlags flags);
// "Not Reachable", "Reachable via WWAN", "Reachable via WiFi" or "Unknown".
std::string SDPReachabilityStatusText(int64_t status);

class SDPNetworkReachabilityManager : public plat::Object, public plat::NSKeyValueObservable {
 public:
  using StatusBlock = std::function<void(SDPNetworkReachabilityStatus status)>;

  // The process-wide manager for the network in general (made once, never destroyed).
  static std::shared_ptr<SDPNetworkReachabilityManager> sharedManager();
  // For the network in general (the all-zero IPv6 address).
  static std::shared_ptr<SDPNetworkReachabilityManager> manager();
  // For a host name (no lookup is made). Null for an empty name.
  static std::shared_ptr<SDPNetworkReachabilityManager> managerForDomain(const std::string& domain);
  // For a socket address. Null for an unusable address.
  static std::shared_ptr<SDPNetworkReachabilityManager> managerForAddress(
      const struct sockaddr* address);
  // REQUIRES: reachability is non-null.
  explicit SDPNetworkReachabilityManager(plat::SCNetworkReachabilityRef reachability);
  ~SDPNetworkReachabilityManager() override;

  std::string className() const override { return "SDPNetworkReachabilityManager"; }

  SDPNetworkReachabilityStatus networkReachabilityStatus() const;
  bool isReachable() const;
  bool isReachableViaWWAN() const;
  bool isReachableViaWiFi() const;
  const plat::SCNetworkReachabilityRef& networkReachability() const { return reachability_; }
  std::string localizedNetworkReachabilityStatusString() const;

  // {"networkReachabilityStatus"} for "reachable", "reachableViaWWAN" and "reachableViaWiFi";
  // none for other keys.
  static std::set<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key);
  std::set<std::string> keyPathsAffectingValueForKey(const std::string& key) const override {
    return keyPathsForValuesAffectingValueForKey(key);
  }

  // The block told of every status change (empty when none).
  StatusBlock networkReachabilityStatusBlock() const;
  void setNetworkReachabilityStatusBlock(StatusBlock block) {
    setReachabilityStatusChangeBlock(std::move(block));
  }
  void setReachabilityStatusChangeBlock(StatusBlock block);
  // Starts (or restarts) monitoring; the current status is reported again at once.
  void startMonitoring();
  void stopMonitoring();

 private:
  struct Callback;
  plat::SCNetworkReachabilityRef reachability_;
  mutable std::mutex mu_;
  SDPNetworkReachabilityStatus status_ = SDPNetworkReachabilityStatusUnknown;
  StatusBlock block_;
};
