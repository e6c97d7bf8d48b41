#pragma once
// KMNetWorkUtil: watches the network from program start and, the first time a network is
// seen, asks the SDK to begin its initialisation (the begin-init handler, which the SDK's
// coordinator installs). It keeps two reachability objects: the internet in general, whose
// notifier runs only while no network has been seen, and the aggregation API host (the host
// of the Info.plist key "KITE_API_HOST", else "localhost"), whose notifier runs for good.
//
// Threading: main thread only. Change notifications arrive on the main thread.

#include <functional>
#include <memory>
#include <string>

#include "aggregation/KiteSDKReachability.h"
#include "platform/dispatch/NSNotificationCenter.h"

class KMNetWorkUtil {
 public:
  static KMNetWorkUtil& sharedInstance();
  // Program start: the shared instance, then startNetworkNotifier.
  static void load();
  // What "begin the SDK initialisation" calls (the coordinator's beginKiteSDKInit).
  static void setBeginInitHandler(std::function<void()> handler);
  // Stops both notifiers, removes the observer, forgets the handler and makes the instance
  // afresh (reading the reachability source again).
  static void resetForTesting();

  // Starts the host reachability's notifier, then getNetworkType.
  void startNetworkNotifier();
  // With a network: hasNetwork, "KTLog:nethaswork", begin init, "". Without: "KTLog:
  // nethasnotwork", no network, the internet notifier starts, "当前无网络连接".
  std::string getNetworkType();
  // The first change to a reachable status while no network was seen: hasNetwork, the
  // internet notifier stops, "KTLog:nethasworkformnotify", begin init. Later ones do nothing.
  void networkStateChange(const plat::NSNotification& note);
  bool networkAvialable() const { return hasNetwork_; }
  bool zolneticHostAvailable() const;
  // The internet reachability's status: 0, 1 (cellular) or 2 (Wi-Fi).
  int64_t networkType() const;

  // Plain accessors. A replaced reachability object is not stopped or started: its notifier
  // is the caller's.
  bool hasNetwork() const { return hasNetwork_; }
  void setHasNetwork(bool v) { hasNetwork_ = v; }
  const KiteSDKReachabilityRef& wanReach() const { return wanReach_; }
  void setWanReach(KiteSDKReachabilityRef r) { wanReach_ = std::move(r); }
  const KiteSDKReachabilityRef& hostReachability() const { return hostReachability_; }
  void setHostReachability(KiteSDKReachabilityRef r) { hostReachability_ = std::move(r); }

 private:
  KMNetWorkUtil();
  void setUp();
  void tearDown();
  void beginInit();

  bool hasNetwork_ = false;
  KiteSDKReachabilityRef wanReach_;
  KiteSDKReachabilityRef hostReachability_;
  plat::NSNotificationCenter::ObserverToken observer_;
};
