#include "platform/device/DNSServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <sstream>

namespace plat {
namespace {

constexpr const char* kDefaultPath = "/etc/resolv.conf";
constexpr size_t kMaxFileBytes = 1 << 20;

struct Config {
  std::mutex mu;
  std::string path = kDefaultPath;
};

Config& config() {
  static Config* const c = new Config();
  return *c;
}

// The file's text; empty when it is not a regular file or cannot be read.
std::string readRegularFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  // Checked again on the opened file: the path may have been replaced in between.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return {};
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < kMaxFileBytes) text.append(buf, n);
  ::close(fd);
  return text;
}

}  // namespace

std::vector<std::string> DNSServers::parse(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword) || keyword != "nameserver" || !(words >> address)) continue;
    auto zone = address.find('%');
    if (zone != std::string::npos) address.resize(zone);
    char formatted[INET6_ADDRSTRLEN];
    unsigned char bytes[16];
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
      if (inet_ntop(AF_INET, bytes, formatted, sizeof formatted)) out.emplace_back(formatted);
    } else if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
      if (inet_ntop(AF_INET6, bytes, formatted, sizeof formatted)) out.emplace_back(formatted);
    }
  }
  return out;
}

std::vector<std::string> DNSServers::addresses() {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(config().mu);
    path = config().path;
  }
  return parse(readRegularFile(path));
}

void DNSServers::setResolvConfPath(std::string path) {
  std::lock_guard<std::mutex> lock(config().mu);
  config().path = path.empty() ? kDefaultPath : std::move(path);
}

}  // namespace plat
