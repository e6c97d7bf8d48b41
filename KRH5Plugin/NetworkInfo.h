#pragma once
// NetworkInfo: the network facts the page asks for - whether a network path exists, whether
// it goes through Wi-Fi, the device's own address and its first DNS server - gathered on
// demand from two reachability monitors (the network in general and a public probe host),
// the interface addresses and the resolver configuration.
//
// One shared object per process, created on the first GetNetworkInfo (main thread) and never
// released; its monitors keep running on the main run loop.
//
// Thread-safety: GetNetworkInfo and the accessors on the main thread; the class helpers that
// format and look up addresses from any thread.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KRH5Plugin/KRReachability.h"
#include "platform/foundation/Object.h"

class NetworkInfo;
using NetworkInfoRef = std::shared_ptr<NetworkInfo>;

class NetworkInfo : public plat::Object {
 public:
  // The host the Wi-Fi monitor watches.
  static constexpr const char* kProbeHostName = "www.example.com";
  static constexpr const char* kNoAddress = "127.0.0.1";

  // The shared object, refreshed. REQUIRES: main thread.
  static NetworkInfoRef GetNetworkInfo();
  // The address of "en0" (Wi-Fi) or "pdp_ip0" (cellular): a global IPv6 address wins, else
  // the last IPv4 address seen; a link-local IPv6 address only counts when no IPv4 address
  // was seen. "127.0.0.1" when there is none.
  static std::string GetDeviceIPAddress();
  // Every DNS server of the resolver configuration, in order.
  static std::vector<std::string> GetDNSServerAddress();
  static std::optional<std::string> FormatIPV4Address(const std::array<uint8_t, 4>& address);
  static std::optional<std::string> FormatIPV6Address(const std::array<uint8_t, 16>& address);
  // The addresses a host name resolves to; nullopt for an empty name.
  static std::optional<std::vector<std::string>> GetIPV4DNSWithHostName(const std::string& host);
  static std::optional<std::vector<std::string>> GetIPV6DNSWithHostName(const std::string& host);
  // The IPv4 list, replaced by the IPv6 list when that one is not empty.
  static std::vector<std::string> GetDNSWithDomain(const std::string& host);

  // Drops the shared object (tests).
  static void ResetForTesting();

  std::string className() const override { return "NetworkInfo"; }
  ~NetworkInfo() override;

  bool available() const { return available_; }
  int32_t wifiState() const { return wifiState_; }
  int32_t networkType() const { return networkType_; }
  int32_t rssiLevel() const { return rssiLevel_; }
  const std::string& deviceIp() const { return deviceIp_; }
  const std::optional<std::string>& dnsIp() const { return dnsIp_; }
  const KRReachabilityRef& conn() const { return conn_; }
  const KRReachabilityRef& wifi() const { return wifi_; }

 private:
  NetworkInfo() = default;
  void refresh();

  bool available_ = false;
  int32_t wifiState_ = 0;
  int32_t networkType_ = 0;
  int32_t rssiLevel_ = -1;
  std::string deviceIp_;
  std::optional<std::string> dnsIp_;
  KRReachabilityRef conn_;
  KRReachabilityRef wifi_;
};
