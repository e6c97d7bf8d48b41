#pragma once
// plat::InterfaceAddresses: the addresses of the network interfaces (getifaddrs), under the
// interface names the phone uses. The phone's code asks for "en0" (Wi-Fi) and "pdp_ip0"
// (cellular); Linux names its interfaces otherwise, so a name map renames them. The default
// map gives the first wireless interface ("wl...") the name "en0" - or, without one, the
// first wired one ("en...", "eth...") - and the first mobile-broadband one ("ww...") the name
// "pdp_ip0"; other interfaces keep their Linux names.
//
// Tests install a fixed list instead (already under the phone's names).
//
// Thread-safety: has internal synchronization; any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace plat {

struct InterfaceAddress {
  std::string name;          // the interface name, as the phone calls it
  int family = 0;            // AF_INET or AF_INET6 (Linux numbering); other families 0 or as-is
  std::vector<uint8_t> address;  // 4 bytes (IPv4) or 16 bytes (IPv6); empty for other families
};

class InterfaceAddresses {
 public:
  // The current list, in the system's order; nullopt when it cannot be read.
  static std::optional<std::vector<InterfaceAddress>> list();

  // Replaces the name map (Linux name -> phone name); an empty map restores the default.
  static void setNameMap(std::map<std::string, std::string> map);
  // Replaces the source of the list (nullopt from the source: it cannot be read); an empty
  // function restores getifaddrs.
  static void setSourceForTesting(
      std::function<std::optional<std::vector<InterfaceAddress>>()> source);
  static void resetForTesting();

  // The default renaming of Linux interface names (exposed for tests).
  static std::map<std::string, std::string> defaultNameMap(const std::vector<std::string>& names);
};

}  // namespace plat
