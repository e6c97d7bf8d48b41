#include "platform/device/InterfaceAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <mutex>

namespace plat {
namespace {

struct Config {
  std::mutex mu;
  std::map<std::string, std::string> nameMap;  // empty: default
  std::function<std::optional<std::vector<InterfaceAddress>>()> source;
};

Config& config() {
  static Config* const c = new Config();
  return *c;
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

std::optional<std::vector<InterfaceAddress>> readSystem() {
  ifaddrs* head = nullptr;
  if (getifaddrs(&head) != 0) return std::nullopt;
  std::vector<InterfaceAddress> out;
  for (ifaddrs* a = head; a; a = a->ifa_next) {
    if (!a->ifa_name) continue;
    InterfaceAddress entry;
    entry.name = a->ifa_name;
    if (a->ifa_addr) {
      entry.family = a->ifa_addr->sa_family;
      if (entry.family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        const auto* b = reinterpret_cast<const uint8_t*>(&in->sin_addr);
        entry.address.assign(b, b + 4);
      } else if (entry.family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
        const auto* b = reinterpret_cast<const uint8_t*>(&in6->sin6_addr);
        entry.address.assign(b, b + 16);
      }
    }
    out.push_back(std::move(entry));
  }
  freeifaddrs(head);
  return out;
}

}  // namespace

std::map<std::string, std::string> InterfaceAddresses::defaultNameMap(
    const std::vector<std::string>& names) {
  std::map<std::string, std::string> map;
  std::string wireless, wired, mobile;
  for (const auto& n : names) {
    if (wireless.empty() && startsWith(n, "wl")) wireless = n;
    if (wired.empty() && (startsWith(n, "en") || startsWith(n, "eth"))) wired = n;
    if (mobile.empty() && startsWith(n, "ww")) mobile = n;
  }
  std::string wifi = !wireless.empty() ? wireless : wired;
  if (!wifi.empty()) map[wifi] = "en0";
  if (!mobile.empty()) map[mobile] = "pdp_ip0";
  // A Linux interface that already has a phone name would be confused with the renamed one.
  for (const auto& n : names) {
    if ((n == "en0" || n == "pdp_ip0") && !map.count(n)) map[n] = n + "-linux";
  }
  return map;
}

std::optional<std::vector<InterfaceAddress>> InterfaceAddresses::list() {
  std::function<std::optional<std::vector<InterfaceAddress>>()> source;
  std::map<std::string, std::string> nameMap;
  {
    std::lock_guard<std::mutex> lock(config().mu);
    source = config().source;
    nameMap = config().nameMap;
  }
  if (source) return source();
  auto entries = readSystem();
  if (!entries) return entries;
  if (nameMap.empty()) {
    std::vector<std::string> names;
    for (const auto& e : *entries) names.push_back(e.name);
    nameMap = defaultNameMap(names);
  }
  for (auto& e : *entries) {
    auto it = nameMap.find(e.name);
    if (it != nameMap.end()) e.name = it->second;
  }
  return entries;
}

void InterfaceAddresses::setNameMap(std::map<std::string, std::string> map) {
  std::lock_guard<std::mutex> lock(config().mu);
  config().nameMap = std::move(map);
}

void InterfaceAddresses::setSourceForTesting(
    std::function<std::optional<std::vector<InterfaceAddress>>()> source) {
  std::lock_guard<std::mutex> lock(config().mu);
  config().source = std::move(source);
}

void InterfaceAddresses::resetForTesting() {
  std::lock_guard<std::mutex> lock(config().mu);
  config().nameMap.clear();
  config().source = nullptr;
}

}  // namespace plat
