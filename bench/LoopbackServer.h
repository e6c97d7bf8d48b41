#pragma once
// A minimal keep-alive HTTP/1.1 server on 127.0.0.1 for the network benchmarks: each request
// head is handed to `reply`, which returns the whole response to send in one write (it must
// stay alive for the life of the server). Nagle is off, so that neither side of a comparison
// waits on delayed acknowledgements. One thread per connection; the server lives for the
// process.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace bench_support {

class LoopbackServer {
 public:
  using Reply = std::function<const std::string&(const std::string& head)>;

  explicit LoopbackServer(Reply reply) : reply_(std::move(reply)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 256);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    std::thread([this] {
      while (true) {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        std::thread([this, fd] { serve(fd); }).detach();
      }
    }).detach();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // A 200 response with the given content type and body.
  static std::string response(const std::string& contentType, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }

 private:
  void serve(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string pending;
    char buffer[8192];
    while (true) {
      size_t end;
      while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          ::close(fd);
          return;
        }
        pending.append(buffer, static_cast<size_t>(n));
      }
      const std::string& reply = reply_(pending.substr(0, end));
      pending.erase(0, end + 4);
      size_t sent = 0;
      while (sent < reply.size()) {
        ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          ::close(fd);
          return;
        }
        sent += static_cast<size_t>(n);
      }
    }
  }

  Reply reply_;
  int listener_ = -1;
  uint16_t port_ = 0;
};

}  // namespace bench_support
