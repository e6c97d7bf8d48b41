#pragma once
// KRReachability: a thin monitor over the platform's network reachability for one host name
// or address. Status: 0 not reachable, 1 reachable through Wi-Fi (any route that is not
// cellular), 2 reachable through the cellular network. While its notifier runs, a change
// posts "kNetworkReachabilityChangedNotification" (object: the monitor) on the main thread.
//
// Thread-safety: create, start and stop on the main thread; status reads from any thread.

#include <sys/socket.h>

#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/network/SCNetworkReachability.h"

inline constexpr const char* kNetworkReachabilityChangedNotification =
    "kNetworkReachabilityChangedNotification";

class KRReachability;
using KRReachabilityRef = std::shared_ptr<KRReachability>;

class KRReachability : public plat::Object {
 public:
  enum NetworkStatus : int64_t { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

  // Null when the platform cannot make a handle (an empty name, an unknown family).
  static KRReachabilityRef reachabilityWithHostName(const std::string& hostName);
  static KRReachabilityRef reachabilityWithAddress(const struct sockaddr* address);
  // The IPv4 wildcard address: the network in general.
  static KRReachabilityRef reachabilityForInternetConnection();
  ~KRReachability() override;
  std::string className() const override { return "KRReachability"; }

  // Starts change notifications on the main run loop; YES when scheduled.
  bool startNotifier();
  void stopNotifier();

  NetworkStatus currentReachabilityStatus() const;
  static NetworkStatus networkStatusForFlags(plat::SCNetworkReachabilityFlags flags);
  bool connectionRequired() const;

  const plat::SCNetworkReachabilityRef& reachabilityRef() const { return reachabilityRef_; }

 private:
  explicit KRReachability(plat::SCNetworkReachabilityRef ref) : reachabilityRef_(std::move(ref)) {}
  static KRReachabilityRef make(plat::SCNetworkReachabilityRef ref);
  plat::SCNetworkReachabilityRef reachabilityRef_;
  bool scheduled_ = false;
};
