#include "testing/net/RawLoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "testing/net/LoopbackServer.h"
#include "testing/net/ServerContext.h"

namespace testing_net {

struct RawLoopbackServer::Impl {
  ReplyFunction reply;
  SSL_CTX* tls = nullptr;
  int listener = -1;
  std::thread acceptor;
  mutable std::mutex mu;
  std::condition_variable strayReleased;
  bool released = false;
  bool stopping = false;
  size_t straysWritten = 0;
  std::vector<int> sockets;
  std::vector<std::thread> threads;
  std::vector<std::string> heads;

  // One connection's reads and writes, plain or over TLS.
  struct Peer {
    int fd;
    SSL* ssl = nullptr;
    ssize_t read(char* buf, size_t n) {
      if (!ssl) return recv(fd, buf, n, 0);
      int r = SSL_read(ssl, buf, static_cast<int>(n));
      return r > 0 ? r : -1;
    }
    void write(const std::string& bytes) {
      if (bytes.empty()) return;
      if (!ssl) {
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      } else {
        SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
      }
    }
  };

  void serve(int fd) {
    Peer peer{fd};
    if (tls) {
      // OpenSSL writes with write(): a peer gone must not end the process with SIGPIPE (the
      // signal, blocked on this thread, stays with it).
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      peer.ssl = SSL_new(tls);
      SSL_set_fd(peer.ssl, fd);
      if (SSL_accept(peer.ssl) != 1) {
        SSL_free(peer.ssl);
        return;
      }
    }
    serveRequests(peer);
    if (peer.ssl) SSL_free(peer.ssl);
  }

  void serveRequests(Peer& peer) {
    std::string pending;
    char buf[4096];
    for (;;) {
      size_t end;
      while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = peer.read(buf, sizeof buf);
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
      peer.write(r.bytes);
      if (!r.stray.empty()) {
        std::unique_lock<std::mutex> lock(mu);
        strayReleased.wait(lock, [&] { return released || stopping; });
        if (stopping) return;
        lock.unlock();
        peer.write(r.stray);
        lock.lock();
        ++straysWritten;
      }
      if (r.close) {
        if (peer.ssl && r.closeNotify) SSL_shutdown(peer.ssl);
        shutdown(peer.fd, SHUT_RDWR);
        return;
      }
    }
  }
};

SSL_CTX* newServerContext(const TLSIdentity& identity) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  for (size_t i = 0; i < identity.chainPEM.size(); ++i) {
    BIO* bio =
        BIO_new_mem_buf(identity.chainPEM[i].data(), static_cast<int>(identity.chainPEM[i].size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (i == 0) {
      SSL_CTX_use_certificate(ctx, cert);
      X509_free(cert);
    } else {
      SSL_CTX_add_extra_chain_cert(ctx, cert);  // takes the certificate
    }
  }
  BIO* bio = BIO_new_mem_buf(identity.keyPEM.data(), static_cast<int>(identity.keyPEM.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  SSL_CTX_use_PrivateKey(ctx, key);
  EVP_PKEY_free(key);
  return ctx;
}

int listenOnLoopback(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(fd, 16);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

std::thread acceptConnections(int listener, std::function<void(int)> accepted) {
  return std::thread([listener, accepted = std::move(accepted)] {
    for (;;) {
      int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      accepted(c);
    }
  });
}

RawLoopbackServer::RawLoopbackServer(ReplyFunction reply, const TLSIdentity& identity)
    : RawLoopbackServer(std::move(reply)) {
  impl_->tls = newServerContext(identity);
}

RawLoopbackServer::RawLoopbackServer(ReplyFunction reply) : impl_(std::make_shared<Impl>()) {
  impl_->reply = std::move(reply);
  impl_->listener = listenOnLoopback(port_);
  // Each write goes out at once: stray bytes counted as written are at the client.
  impl_->acceptor = acceptConnections(impl_->listener, [impl = impl_.get()](int c) {
    std::lock_guard<std::mutex> lock(impl->mu);
    impl->sockets.push_back(c);
    impl->threads.emplace_back([impl, c] { impl->serve(c); });
  });
}

RawLoopbackServer::~RawLoopbackServer() {
  shutdown(impl_->listener, SHUT_RDWR);  // ends a pending accept
  impl_->acceptor.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stopping = true;
    impl_->strayReleased.notify_all();
    for (int fd : impl_->sockets) shutdown(fd, SHUT_RDWR);
    threads.swap(impl_->threads);
  }
  for (auto& t : threads) t.join();
  for (int fd : impl_->sockets) close(fd);
  close(impl_->listener);
  if (impl_->tls) SSL_CTX_free(impl_->tls);
}

std::string RawLoopbackServer::url(const std::string& path) const {
  return std::string(impl_->tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         path;
}

std::vector<std::string> RawLoopbackServer::heads() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->heads;
}

size_t RawLoopbackServer::connections() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sockets.size();
}

void RawLoopbackServer::releaseStray() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->released = true;
  impl_->strayReleased.notify_all();
}

size_t RawLoopbackServer::strays() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->straysWritten;
}

}  // namespace testing_net
