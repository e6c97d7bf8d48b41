#include "testing/net/RawLoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace testing_net {

struct RawLoopbackServer::Impl {
  ReplyFunction reply;
  int listener = -1;
  std::thread acceptor;
  mutable std::mutex mu;
  std::vector<int> sockets;
  std::vector<std::thread> threads;
  std::vector<std::string> heads;

  void serve(int fd) {
    std::string pending;
    char buf[4096];
    for (;;) {
      size_t end;
      while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
      }
      std::string head = pending.substr(0, end + 4);
      pending.erase(0, end + 4);
      size_t sp = head.find(' ');
      size_t sp2 = sp == std::string::npos ? sp : head.find(' ', sp + 1);
      std::string target =
          sp2 == std::string::npos ? std::string() : head.substr(sp + 1, sp2 - sp - 1);
      {
        std::lock_guard<std::mutex> lock(mu);
        heads.push_back(head);
      }
      Reply r = reply(target);
      send(fd, r.bytes.data(), r.bytes.size(), MSG_NOSIGNAL);
      if (r.close) {
        shutdown(fd, SHUT_RDWR);
        return;
      }
    }
  }
};

RawLoopbackServer::RawLoopbackServer(ReplyFunction reply) : impl_(std::make_shared<Impl>()) {
  impl_->reply = std::move(reply);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(fd, 16);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  impl_->listener = fd;
  impl_->acceptor = std::thread([impl = impl_.get()] {
    for (;;) {
      int c = accept4(impl->listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      std::lock_guard<std::mutex> lock(impl->mu);
      impl->sockets.push_back(c);
      impl->threads.emplace_back([impl, c] { impl->serve(c); });
    }
  });
}

RawLoopbackServer::~RawLoopbackServer() {
  shutdown(impl_->listener, SHUT_RDWR);  // ends a pending accept
  impl_->acceptor.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (int fd : impl_->sockets) shutdown(fd, SHUT_RDWR);
    threads.swap(impl_->threads);
  }
  for (auto& t : threads) t.join();
  for (int fd : impl_->sockets) close(fd);
  close(impl_->listener);
}

std::string RawLoopbackServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> RawLoopbackServer::heads() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->heads;
}

size_t RawLoopbackServer::connections() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sockets.size();
}

}  // namespace testing_net
