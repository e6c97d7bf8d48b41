#pragma once
// plat::DNSServers: the DNS servers of the system resolver configuration, read from
// resolv.conf ("/etc/resolv.conf" unless another path is set): every "nameserver" line, in
// file order, as numeric text (IPv6 in its standard form, without a zone suffix). Lines that
// do not hold a valid address are skipped. A missing, unreadable or non-regular file (a named
// pipe is never opened) gives an empty list.
//
// Thread-safety: has internal synchronization; any thread.

#include <string>
#include <vector>

namespace plat {

class DNSServers {
 public:
  static std::vector<std::string> addresses();
  // The file read; an empty path restores "/etc/resolv.conf".
  static void setResolvConfPath(std::string path);
  // Parses resolv.conf text (exposed for tests and fuzzing).
  static std::vector<std::string> parse(const std::string& text);
};

}  // namespace plat
