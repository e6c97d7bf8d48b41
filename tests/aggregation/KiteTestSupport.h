#pragma once
// A fresh aggregation SDK for each test: a temporary device root and app bundle whose
// Info.plist points the four server bases at a loopback aggregation server, a scripted
// channel SDK, a fake network, and every singleton of the SDK reset before and after.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aggregation/KMDevice.h"
#include "aggregation/KMNetWorkUtil.h"
#include "aggregation/KTCKiteSDK.h"
#include "aggregation/NetworkManager.h"
#include "aggregation/PlugManager.h"
#include "aggregation/SDKCooperater.h"
#include "aggregation/channel/KTCKiteChannel.h"
#include "channel/core/HVmsSDK.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/network/SCNetworkReachability.h"
#include "testing/aggregation/KiteServer.h"
#include "testing/aggregation/SDKReset.h"
#include "testing/aggregation/ScriptedChannel.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

class KiteTest : public ::testing::Test {
 protected:
  // `online`: whether the fake network is up at the start.
  void startSDK(bool online = true, plat::Dictionary extraInfo = {}) {
    network = std::make_shared<plat::FakeReachabilitySource>(
        online ? plat::kSCNetworkReachabilityFlagsReachable : 0);
    plat::ReachabilitySource::install(network);
    plat::Dictionary info{{"CFBundleShortVersionString", "3.1"},
                          {"KITE_API_HOST", server.apiBase()},
                          {"KITE_GATEWAY_BASE", server.gatewayBase()},
                          {"KITE_CDN_BASE", server.cdnBase()},
                          {"KITE_SERVER_LIST_BASE", server.serverListBase()}};
    for (auto& [k, v] : extraInfo) info.set(k, v);
    bundle = std::make_unique<testing_device::TempAppBundle>(info);
    testing_kite::resetAggregationSDK();
    channel = testing_kite::ScriptedChannel::install();
    SDKCooperater::load();
    KMNetWorkUtil::load();
    plat::setNSLogCaptureForTesting([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMu);
      logs.push_back(line);
    });
  }
  // The SDK's start-up with the server's product code and key.
  void initSDK() {
    auto cfg = std::make_shared<KTCKiteSDKInitConfigure>();
    cfg->productCode = server.options().productCode;
    cfg->productKey = server.options().productKey;
    KTCKiteSDK::defaultInstance().initWithConfigApplicationDidFinishLaunchingWithOptions(
        cfg, nullptr, plat::Value());
  }
  void TearDown() override {
    // Requests still under way would answer into the next test's SDK.
    testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 30);
    testing_loop::runUntilIdle();
    plat::setNSLogCaptureForTesting(nullptr);
    for (auto& t : observers) plat::NSNotificationCenter::defaultCenter().removeObserver(t);
    observers.clear();
    testing_kite::resetAggregationSDK();
    plat::ReachabilitySource::install(nullptr);
    bundle.reset();
  }
  bool logged(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMu);
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  // Whether any log line holds `part`.
  bool loggedContaining(const std::string& part) {
    std::lock_guard<std::mutex> lock(logMu);
    return std::any_of(logs.begin(), logs.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
  // Records the user info of every post of `name`.
  std::shared_ptr<std::vector<plat::Value>> record(const std::string& name) {
    auto posts = std::make_shared<std::vector<plat::Value>>();
    observers.push_back(plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
        name, plat::Value(), nullptr,
        [posts](const plat::NSNotification& n) { posts->push_back(n.userInfo); }));
    return posts;
  }
  bool waitCalls(const std::string& endpoint, size_t n) {
    return testing_loop::runUntil([&] { return server.calls(endpoint).size() >= n; }, 20);
  }

  // Request time-outs and timers run on a virtual clock: a slow run (valgrind, a busy machine)
  // must not turn an answer the server gives into a time-out.
  testing_loop::VirtualClockScope clock;
  testing_device::TempDeviceRoot root;
  testing_kite::KiteServer server;
  std::unique_ptr<testing_device::TempAppBundle> bundle;
  std::shared_ptr<plat::FakeReachabilitySource> network;
  std::shared_ptr<testing_kite::ScriptedChannel> channel;
  std::vector<plat::NSNotificationCenter::ObserverToken> observers;
  std::mutex logMu;
  std::vector<std::string> logs;
};
