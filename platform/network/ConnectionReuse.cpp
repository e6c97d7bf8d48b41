#include "platform/network/ConnectionReuse.h"

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string_view>
#include <unordered_map>

namespace plat::detail {

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool isChunked(std::string_view coding) {
  coding = trimmed(coding.substr(0, coding.find(';')));
  return coding.size() == 7 && strncasecmp(coding.data(), "chunked", 7) == 0;
}

struct Connection {
  bool carried = false;
  int localPort = 0;
  int peerPort = 0;
};

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return 0;
}

struct Registry {
  std::mutex mu;
  std::unordered_map<curl_socket_t, Connection> sockets;
};

Registry& registry() {
  static auto* r = new Registry;  // never destroyed: connections may close at exit
  return *r;
}

}  // namespace

ResponseFraming framingOf(std::string_view method, int64_t status, const HTTPHeaderFields& fields,
                          bool askedUpgrade) {
  ResponseFraming f;
  if (status == 101 && !askedUpgrade) {
    f.refused = true;
    f.reusable = false;
    return f;
  }
  if (method == "HEAD" || status < 200 || status == 204 || status == 304) return f;  // no body
  const auto te = fields.get("Transfer-Encoding");
  if (!te) {
    f.readToClose = !fields.get("Content-Length");
    f.reusable = !f.readToClose;
    return f;
  }
  // A length beside a transfer coding is no length (a server must not send both, and the
  // two may frame the message differently for another reader); a coding list that does not
  // end in chunked is read to the close (RFC 9112 6.3 items 3 and 4).
  if (fields.get("Content-Length")) f.reusable = false;
  // Chunked before another coding would be taken off by libcurl all the same, framing the
  // body where its server did not: refused.
  std::string_view list = *te, last;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view member = trimmed(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (member.empty()) continue;
    if (isChunked(last)) f.refused = true;
    last = member;
  }
  if (!isChunked(last)) {
    f.reusable = false;
    f.readToClose = true;
  }
  return f;
}

namespace {

using ClosureFlag = std::shared_ptr<std::atomic<bool>>;

void freeClosureFlag(void*, void* flag, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<ClosureFlag*>(flag);
}

int closureFlagIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, freeClosureFlag);
  return index;
}

ClosureFlag& closureFlag(SSL* ssl) {
  auto* flag = static_cast<ClosureFlag*>(SSL_get_ex_data(ssl, closureFlagIndex()));
  if (!flag) {
    flag = new ClosureFlag(std::make_shared<std::atomic<bool>>(false));
    SSL_set_ex_data(ssl, closureFlagIndex(), flag);
  }
  return *flag;
}

void onTLSMessage(int written, int, int contentType, const void* bytes, size_t length, SSL* ssl,
                  void*) {
  if (written || contentType != SSL3_RT_ALERT || length != 2) return;
  if (static_cast<const uint8_t*>(bytes)[1] == SSL_AD_CLOSE_NOTIFY) closureFlag(ssl)->store(true);
}

}  // namespace

std::shared_ptr<std::atomic<bool>> closureAlertOf(void* ssl) {
  return closureFlag(static_cast<SSL*>(ssl));
}

void watchClosureAlerts(void* sslContext) {
  closureFlagIndex();
  SSL_CTX_set_msg_callback(static_cast<SSL_CTX*>(sslContext), onTLSMessage);
}

curl_socket_t openConnectionSocket(void*, curlsocktype purpose, curl_sockaddr* address) {
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0) return CURL_SOCKET_BAD;
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.sockets[fd] = Connection{};
  return fd;
}

int closeConnectionSocket(void*, curl_socket_t socket) {
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.sockets.erase(socket);
  }
  return ::close(socket);
}

void markConnectionCarried(curl_socket_t socket) {
  if (socket == CURL_SOCKET_BAD) return;
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.sockets.find(socket);
  if (it == r.sockets.end() || it->second.carried) return;
  sockaddr_storage local{}, peer{};
  socklen_t localLength = sizeof local, peerLength = sizeof peer;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
      getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    return;
  }
  it->second = Connection{true, portOf(local), portOf(peer)};
}

bool idleConnectionHasBytes(int localPort, int peerPort, void* ssl) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    for (const auto& [fd, c] : r.sockets) {
      if (c.carried && c.localPort == localPort && c.peerPort == peerPort) {
        socket = fd;
        break;
      }
    }
  }
  if (socket == CURL_SOCKET_BAD) return false;  // a fresh connection
  if (ssl && SSL_has_pending(static_cast<SSL*>(ssl))) return true;
  pollfd p{socket, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) != 0;
}

}  // namespace plat::detail
