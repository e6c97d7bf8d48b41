#include "testing/net/H2LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "testing/net/LoopbackServer.h"
#include "testing/net/ServerContext.h"

namespace testing_net {

namespace {

// Picks "h2" from the client's ALPN list, or refuses the handshake.
int selectH2(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
             unsigned int inlen, void*) {
  for (unsigned int i = 0; i < inlen; i += 1u + in[i]) {
    if (in[i] == 2 && i + 3 <= inlen && std::memcmp(in + i + 1, "h2", 2) == 0) {
      *out = in + i + 1;
      *outlen = 2;
      return SSL_TLSEXT_ERR_OK;
    }
  }
  return SSL_TLSEXT_ERR_ALERT_FATAL;
}

struct Stream {
  std::string path;
  H2LoopbackServer::Reply reply;
  size_t offset = 0;
};

}  // namespace

struct H2LoopbackServer::Impl {
  ReplyFunction reply;
  SSL_CTX* tls = nullptr;
  int listener = -1;
  std::thread acceptor;
  mutable std::mutex mu;
  std::vector<int> sockets;
  std::vector<std::thread> threads;
  size_t answered = 0;

  struct Connection {
    Impl* impl;
    SSL* ssl;
    nghttp2_session* session = nullptr;
    std::map<int32_t, Stream> streams;
  };

  static ssize_t send(nghttp2_session*, const uint8_t* data, size_t length, int, void* user) {
    auto* c = static_cast<Connection*>(user);
    const int n = SSL_write(c->ssl, data, static_cast<int>(length));
    return n > 0 ? n : NGHTTP2_ERR_CALLBACK_FAILURE;
  }

  static int beginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    auto* c = static_cast<Connection*>(user);
    if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
      c->streams[frame->hd.stream_id];
    }
    return 0;
  }

  static int header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                    size_t namelen, const uint8_t* value, size_t valuelen, uint8_t, void* user) {
    auto* c = static_cast<Connection*>(user);
    auto it = c->streams.find(frame->hd.stream_id);
    if (it != c->streams.end() &&
        std::string_view(reinterpret_cast<const char*>(name), namelen) == ":path") {
      it->second.path.assign(reinterpret_cast<const char*>(value), valuelen);
    }
    return 0;
  }

  static ssize_t readBody(nghttp2_session* session, int32_t id, uint8_t* buf, size_t length,
                          uint32_t* flags, nghttp2_data_source* source, void*) {
    auto* s = static_cast<Stream*>(source->ptr);
    const size_t n = std::min(length, s->reply.body.size() - s->offset);
    std::memcpy(buf, s->reply.body.data() + s->offset, n);
    s->offset += n;
    if (s->offset == s->reply.body.size()) {
      *flags |= NGHTTP2_DATA_FLAG_EOF;
      if (s->reply.end != Reply::End::kEndStream) *flags |= NGHTTP2_DATA_FLAG_NO_END_STREAM;
      if (s->reply.end == Reply::End::kTrailers) {
        nghttp2_nv trailer[] = {{const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>("x-end")),
                                 const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>("done")), 5,
                                 4, NGHTTP2_NV_FLAG_NONE}};
        nghttp2_submit_trailer(session, id, trailer, 1);
      }
    }
    return static_cast<ssize_t>(n);
  }

  static int frameReceived(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
    auto* c = static_cast<Connection*>(user);
    if ((frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) ||
        !(frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) {
      return 0;
    }
    auto it = c->streams.find(frame->hd.stream_id);
    if (it == c->streams.end()) return 0;
    Stream& s = it->second;
    s.reply = c->impl->reply(s.path);
    {
      std::lock_guard<std::mutex> lock(c->impl->mu);
      ++c->impl->answered;
    }
    std::vector<std::string> texts;
    texts.push_back(":status");
    texts.push_back(std::to_string(s.reply.status));
    for (const auto& [k, v] : s.reply.headers) {
      texts.push_back(k);
      texts.push_back(v);
    }
    std::vector<nghttp2_nv> nva;
    for (size_t i = 0; i < texts.size(); i += 2) {
      nva.push_back({reinterpret_cast<uint8_t*>(texts[i].data()),
                     reinterpret_cast<uint8_t*>(texts[i + 1].data()), texts[i].size(),
                     texts[i + 1].size(), NGHTTP2_NV_FLAG_NONE});
    }
    if (s.reply.body.empty() && s.reply.end == Reply::End::kEndStream) {
      nghttp2_submit_response(session, frame->hd.stream_id, nva.data(), nva.size(), nullptr);
      return 0;
    }
    nghttp2_data_provider provider;
    provider.source.ptr = &s;
    provider.read_callback = readBody;
    nghttp2_submit_response(session, frame->hd.stream_id, nva.data(), nva.size(), &provider);
    return 0;
  }

  // The last DATA frame of a body to be reset has gone out: the reset follows it.
  static int frameSent(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
    auto* c = static_cast<Connection*>(user);
    if (frame->hd.type != NGHTTP2_DATA) return 0;
    auto it = c->streams.find(frame->hd.stream_id);
    if (it == c->streams.end()) return 0;
    const Stream& s = it->second;
    const bool reset =
        s.reply.end == Reply::End::kResetNoError || s.reply.end == Reply::End::kResetError;
    if (reset && s.offset == s.reply.body.size()) {
      nghttp2_submit_rst_stream(
          session, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
          s.reply.end == Reply::End::kResetError ? NGHTTP2_INTERNAL_ERROR : NGHTTP2_NO_ERROR);
    }
    return 0;
  }

  static int streamClosed(nghttp2_session*, int32_t id, uint32_t, void* user) {
    static_cast<Connection*>(user)->streams.erase(id);
    return 0;
  }

  void serve(int fd) {
    // OpenSSL writes with write(): a peer gone must not end the process with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Connection c{this, SSL_new(tls)};
    SSL_set_fd(c.ssl, fd);
    if (SSL_accept(c.ssl) == 1) {
      nghttp2_session_callbacks* callbacks;
      nghttp2_session_callbacks_new(&callbacks);
      nghttp2_session_callbacks_set_send_callback(callbacks, send);
      nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, beginHeaders);
      nghttp2_session_callbacks_set_on_header_callback(callbacks, header);
      nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, frameReceived);
      nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, frameSent);
      nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, streamClosed);
      nghttp2_session_server_new(&c.session, callbacks, &c);
      nghttp2_session_callbacks_del(callbacks);
      nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100}};
      nghttp2_submit_settings(c.session, NGHTTP2_FLAG_NONE, settings, 1);
      uint8_t buf[16384];
      while (nghttp2_session_send(c.session) == 0 &&
             (nghttp2_session_want_read(c.session) || nghttp2_session_want_write(c.session))) {
        const int n = SSL_read(c.ssl, buf, sizeof buf);
        if (n <= 0 || nghttp2_session_mem_recv(c.session, buf, static_cast<size_t>(n)) < 0) break;
      }
      nghttp2_session_del(c.session);
    }
    SSL_free(c.ssl);
  }
};

H2LoopbackServer::H2LoopbackServer(ReplyFunction reply, const TLSIdentity& identity)
    : impl_(std::make_shared<Impl>()) {
  impl_->reply = std::move(reply);
  impl_->tls = newServerContext(identity);
  SSL_CTX_set_alpn_select_cb(impl_->tls, selectH2, nullptr);
  impl_->listener = listenOnLoopback(port_);
  impl_->acceptor = acceptConnections(impl_->listener, [impl = impl_.get()](int c) {
    std::lock_guard<std::mutex> lock(impl->mu);
    impl->sockets.push_back(c);
    impl->threads.emplace_back([impl, c] { impl->serve(c); });
  });
}

H2LoopbackServer::~H2LoopbackServer() {
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
  SSL_CTX_free(impl_->tls);
}

std::string H2LoopbackServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

size_t H2LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->answered;
}

}  // namespace testing_net
