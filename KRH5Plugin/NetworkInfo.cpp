#include "KRH5Plugin/NetworkInfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/device/DNSServers.h"
#include "platform/device/InterfaceAddresses.h"

namespace {

NetworkInfoRef& shared() {
  static auto* info = new NetworkInfoRef();
  return *info;
}

bool isLinkLocal(const std::string& address) {
  if (address.size() < 4) return false;
  std::string head = address.substr(0, 4);
  for (auto& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return head == "FE80";
}

std::vector<std::string> lookUp(const std::string& host, int family) {
  std::vector<std::string> out;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return out;
  for (addrinfo* a = list; a; a = a->ai_next) {
    std::optional<std::string> text;
    if (a->ai_family == AF_INET) {
      std::array<uint8_t, 4> b;
      std::memcpy(b.data(), &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
      text = NetworkInfo::FormatIPV4Address(b);
    } else if (a->ai_family == AF_INET6) {
      std::array<uint8_t, 16> b;
      std::memcpy(b.data(), &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
      text = NetworkInfo::FormatIPV6Address(b);
    }
    if (text) out.push_back(*text);
  }
  freeaddrinfo(list);
  return out;
}

}  // namespace

NetworkInfoRef NetworkInfo::GetNetworkInfo() {
  auto& info = shared();
  if (!info) {
    info.reset(new NetworkInfo());
    info->conn_ = KRReachability::reachabilityForInternetConnection();
    info->wifi_ = KRReachability::reachabilityWithHostName(kProbeHostName);
    if (info->conn_) info->conn_->startNotifier();
    if (info->wifi_) info->wifi_->startNotifier();
  }
  info->refresh();
  return info;
}

void NetworkInfo::ResetForTesting() { shared().reset(); }

NetworkInfo::~NetworkInfo() {
  if (conn_) conn_->stopNotifier();
  if (wifi_) wifi_->stopNotifier();
}

void NetworkInfo::refresh() {
  auto host = wifi_ ? wifi_->currentReachabilityStatus() : KRReachability::NotReachable;
  if (host == KRReachability::ReachableViaWiFi) {
    wifiState_ = 3;
    networkType_ = 1;
    available_ = true;
  } else if (host == KRReachability::ReachableViaWWAN) {
    wifiState_ = 1;
    networkType_ = 0;
    available_ = true;
  } else {
    wifiState_ = 1;
    auto any = conn_ ? conn_->currentReachabilityStatus() : KRReachability::NotReachable;
    networkType_ = any != KRReachability::NotReachable ? 0 : 2;
    available_ = any != KRReachability::NotReachable;
  }
  deviceIp_ = GetDeviceIPAddress();
  auto dns = GetDNSServerAddress();
  if (!dns.empty()) dnsIp_ = dns.front();
}

std::string NetworkInfo::GetDeviceIPAddress() {
  auto list = plat::InterfaceAddresses::list();
  if (!list || list->empty()) return kNoAddress;
  std::string candidate;
  for (const auto& entry : *list) {
    if (entry.name != "en0" && entry.name != "pdp_ip0") continue;
    if (entry.family == AF_INET6 && entry.address.size() == 16) {
      std::array<uint8_t, 16> b;
      std::copy(entry.address.begin(), entry.address.end(), b.begin());
      std::string text = FormatIPV6Address(b).value_or("");
      if (text.empty()) continue;
      if (!isLinkLocal(text)) return text;
      // A link-local address is no address for peers: it never replaces an IPv4 one.
      if (candidate.empty() || isLinkLocal(candidate)) candidate = text;
    } else if (entry.family == AF_INET && entry.address.size() == 4) {
      std::array<uint8_t, 4> b;
      std::copy(entry.address.begin(), entry.address.end(), b.begin());
      if (auto text = FormatIPV4Address(b)) candidate = *text;
    }
  }
  if (candidate.empty() || isLinkLocal(candidate)) return kNoAddress;
  return candidate;
}

std::vector<std::string> NetworkInfo::GetDNSServerAddress() { return plat::DNSServers::addresses(); }

std::optional<std::string> NetworkInfo::FormatIPV4Address(const std::array<uint8_t, 4>& address) {
  char text[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, address.data(), text, sizeof text)) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> NetworkInfo::FormatIPV6Address(const std::array<uint8_t, 16>& address) {
  char text[INET6_ADDRSTRLEN];
  if (!inet_ntop(AF_INET6, address.data(), text, sizeof text)) return std::nullopt;
  return std::string(text);
}

std::optional<std::vector<std::string>> NetworkInfo::GetIPV4DNSWithHostName(
    const std::string& host) {
  if (host.empty()) return std::nullopt;
  return lookUp(host, AF_INET);
}

std::optional<std::vector<std::string>> NetworkInfo::GetIPV6DNSWithHostName(
    const std::string& host) {
  if (host.empty()) return std::nullopt;
  return lookUp(host, AF_INET6);
}

std::vector<std::string> NetworkInfo::GetDNSWithDomain(const std::string& host) {
  auto v4 = GetIPV4DNSWithHostName(host).value_or(std::vector<std::string>{});
  auto v6 = GetIPV6DNSWithHostName(host).value_or(std::vector<std::string>{});
  return v6.empty() ? v4 : v6;
}
