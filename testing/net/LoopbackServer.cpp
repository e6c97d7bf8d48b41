// Loopback servers over cpp-httplib.

#include "testing/net/LoopbackServer.h"

#include <algorithm>
#include <cstdlib>

#include <httplib.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "testing/loop/Pump.h"

namespace testing_net {

std::optional<std::string> Request::header(const std::string& name) const {
  for (auto& [k, v] : headers) {
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  }
  return std::nullopt;
}

// The server runs in this process, so its sockets are among the process's descriptors. Other
// threads open and close descriptors meanwhile, so each is first duplicated (atomically: the
// copy names whatever the number named at that instant, or fails) and only the copy is
// examined and used. Raw system calls: the thread checker would otherwise take the look at
// another thread's descriptor for a race, though nothing in memory is shared.
int syscallInt(long result) { return static_cast<int>(result); }

// A copy of descriptor `fd` when it is a TCP socket between `serverPort` here and
// `clientPort` (-1: any) there; else -1. Close it with closeCopy.
int copyIfServerSocket(int fd, uint16_t serverPort, int clientPort) {
  int copy = syscallInt(syscall(SYS_dup, fd));
  if (copy < 0) return -1;
  sockaddr_in local{}, peer{};
  socklen_t len = sizeof local;
  bool match = syscall(SYS_getsockname, copy, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
               local.sin_family == AF_INET && ntohs(local.sin_port) == serverPort;
  len = sizeof peer;
  match = match && syscall(SYS_getpeername, copy, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
          (clientPort < 0 || ntohs(peer.sin_port) == clientPort);
  if (!match) {
    syscall(SYS_close, copy);
    return -1;
  }
  return copy;
}

void closeCopy(int copy) {
  if (copy >= 0) syscall(SYS_close, copy);
}

// Calls `visit` with a copy of each of the server's connected sockets (see above).
template <class Visit>
void forEachServerSocket(uint16_t serverPort, int clientPort, Visit visit) {
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return;
  std::vector<int> numbers;
  while (dirent* e = readdir(fds)) {
    int fd = std::atoi(e->d_name);
    if (fd > 2 && fd != dirfd(fds)) numbers.push_back(fd);
  }
  closedir(fds);
  for (int fd : numbers) {
    int copy = copyIfServerSocket(fd, serverPort, clientPort);
    if (copy < 0) continue;
    bool keep = visit(copy);
    if (!keep) closeCopy(copy);
  }
}

struct Gate::Impl {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> chunks;
  uint64_t length = 0;
  size_t released = 0;
  size_t sent = 0;
  size_t closeAt = SIZE_MAX;  // index of the chunk replaced by closing the connection
  bool started = false;
  bool aborted = false;       // the server stops
  bool disconnected = false;  // the client closed the connection
  uint16_t serverPort = 0;
  int clientPort = -1;
  int fd = -1;  // the server's socket of this response, once found

  // Whether the client has closed the connection. The socket is looked up once and a copy
  // kept until the response ends.
  bool clientClosed() {
    if (fd < 0) {
      forEachServerSocket(serverPort, clientPort, [&](int copy) {
        if (fd >= 0) return false;
        fd = copy;
        return true;
      });
      if (fd < 0) return false;
    }
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }
  void releaseSocket() {
    closeCopy(fd);
    fd = -1;
  }

  // Writes the released chunks as they come; false once the connection is to be closed.
  bool provide(httplib::DataSink& sink) {
    for (;;) {
      std::unique_lock<std::mutex> lock(mu);
      // While waiting for the test, look every 10 ms whether the client went away.
      while (!(aborted || sent >= closeAt || released > sent)) {
        if (cv.wait_for(lock, std::chrono::milliseconds(10)) == std::cv_status::timeout &&
            clientClosed()) {
          disconnected = true;
          releaseSocket();
          cv.notify_all();
          return false;
        }
      }
      releaseSocket();  // looked up again while waiting for the next release
      if (aborted || sent >= closeAt) return false;
      std::string chunk = chunks[sent];
      lock.unlock();
      if (!sink.write(chunk.data(), chunk.size())) return false;
      lock.lock();
      ++sent;
      cv.notify_all();
      if (sent == chunks.size()) return true;
    }
  }
  void abort() {
    std::lock_guard<std::mutex> lock(mu);
    aborted = true;
    cv.notify_all();
  }
};

Gate::Gate(std::vector<std::string> chunks, std::optional<uint64_t> declaredLength)
    : impl_(std::make_shared<Impl>()) {
  uint64_t total = 0;
  for (auto& c : chunks) total += c.size();
  impl_->length = declaredLength.value_or(total);
  impl_->chunks = std::move(chunks);
}

void Gate::release(size_t count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->released = std::min(impl_->chunks.size(), impl_->released + count);
  impl_->cv.notify_all();
}

void Gate::releaseAll() { release(SIZE_MAX / 2); }

void Gate::closeConnection() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->closeAt = impl_->released;
  impl_->cv.notify_all();
}

size_t Gate::sent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sent;
}

bool Gate::started() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->started;
}

uint64_t Gate::contentLength() const { return impl_->length; }

bool Gate::disconnected() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->disconnected;
}

struct LoopbackServer::Impl {
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  mutable std::mutex mu;
  std::condition_variable released;
  bool stopping = false;
  uint16_t port = 0;
  std::vector<std::shared_ptr<Gate::Impl>> gates;  // released when the server stops
  std::vector<Request> requests;
  struct Route {
    std::string method;
    Handler handler;
  };
  std::map<std::string, std::vector<Route>> routes;

  void handle(const httplib::Request& hreq, httplib::Response& hres, std::string body) {
    const int remotePort = hreq.remote_port;
    Request req;
    req.method = hreq.method;
    req.target = hreq.target;
    size_t q = hreq.target.find('?');
    req.path = hreq.target.substr(0, q);
    req.query = q == std::string::npos ? "" : hreq.target.substr(q + 1);
    for (auto& [k, v] : hreq.headers) {
      if (k == "REMOTE_ADDR" || k == "REMOTE_PORT" || k == "LOCAL_ADDR" || k == "LOCAL_PORT")
        continue;
      req.headers.emplace_back(k, v);
    }
    req.body = std::move(body);
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mu);
      requests.push_back(req);
      auto it = routes.find(req.path);
      if (it != routes.end()) {
        for (auto& r : it->second) {
          if (r.method.empty() || r.method == req.method) {
            handler = r.handler;
            break;
          }
        }
      }
    }
    Response res;
    if (handler) {
      handler(req, res);
    } else {
      res.status = 404;
      res.body = "not found";
    }
    if (res.hang) {
      std::unique_lock<std::mutex> lock(mu);
      released.wait(lock, [&] { return stopping; });
      hres.status = 503;
      return;
    }
    hres.status = res.status;
    for (auto& [k, v] : res.headers) hres.set_header(k, v);
    if (res.gate) {
      auto gate = res.gate->impl();
      {
        std::lock_guard<std::mutex> lock(mu);
        if (stopping) return;
        gates.push_back(gate);
      }
      {
        std::lock_guard<std::mutex> lock(gate->mu);
        gate->started = true;
        gate->serverPort = port;
        gate->clientPort = remotePort;
        gate->releaseSocket();
      }
      hres.set_content_provider(
          static_cast<size_t>(gate->length),
          res.contentType.empty() ? "application/octet-stream" : res.contentType,
          [gate](size_t offset, size_t, httplib::DataSink& sink) {
            // The library asks again from the offset reached; the gate keeps its own place.
            (void)offset;
            return gate->provide(sink);
          });
      return;
    }
    if (!res.chunks.empty()) {
      auto chunks = res.chunks;
      bool hang = res.hangAfterChunks;
      hres.set_chunked_content_provider(
          res.contentType.empty() ? "application/octet-stream" : res.contentType,
          [this, chunks, hang](size_t, httplib::DataSink& sink) {
            for (auto& c : chunks) sink.write(c.data(), c.size());
            if (hang) {
              std::unique_lock<std::mutex> lock(mu);
              released.wait(lock, [&] { return stopping; });
              return false;
            }
            sink.done();
            return true;
          });
      return;
    }
    if (!res.body.empty() || !res.contentType.empty()) {
      hres.set_content(res.body, res.contentType.empty() ? "text/plain" : res.contentType);
    }
  }

  void start(LoopbackServer& owner) {
    auto* s = server.get();
    s->new_task_queue = [] { return new httplib::ThreadPool(32); };
    s->set_tcp_nodelay(true);  // no delayed-ACK stalls between header and body writes
    s->set_keep_alive_max_count(100000);
    s->set_keep_alive_timeout(5);
    // A slow client (a loaded machine, a race-checking build) is not a lost one: the
    // library's five seconds cut TLS handshakes off there. The limit stretches further with
    // the tests' own (testing/loop) when everything runs slower, as under valgrind.
    s->set_read_timeout(static_cast<time_t>(60 * testing_loop::timeoutScale()), 0);
    s->set_payload_max_length(512ull * 1024 * 1024);
    auto plain = [this](const httplib::Request& req, httplib::Response& res) {
      handle(req, res, req.body);
    };
    auto withBody = [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) {
      std::string body;
      bool complete = reader([&](const char* data, size_t length) {
        body.append(data, length);
        return true;
      });
      if (!complete) {  // the client broke off: not a request
        res.status = 400;
        return;
      }
      handle(req, res, std::move(body));
    };
    s->Get(".*", plain);
    s->Options(".*", plain);
    s->Post(".*", withBody);
    s->Put(".*", withBody);
    s->Patch(".*", withBody);
    s->Delete(".*", withBody);
    int port = s->bind_to_any_port("127.0.0.1");
    if (port <= 0) throw std::runtime_error("cannot bind a loopback port");
    owner.port_ = static_cast<uint16_t>(port);
    this->port = owner.port_;
    thread = std::thread([s] { s->listen_after_bind(); });
    // A stop() before the accept loop runs would be missed by the server library and leave
    // the loop waiting forever: return only once it runs (a short, bounded wait).
    while (!s->is_running()) std::this_thread::yield();
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (stopping) return;
      stopping = true;
    }
    released.notify_all();
    for (auto& g : gates) g->abort();
    server->stop();
    dropConnections();
    if (thread.joinable()) thread.join();
  }

  // Shuts down the sockets the server accepted, so that a client's idle keep-alive connection
  // (one a process-wide loader keeps) does not hold a server thread until its keep-alive time
  // runs out. The server runs in this process: its sockets are those whose local port is the
  // server's.
  void dropConnections() {
    forEachServerSocket(port, -1, [](int copy) {
      syscall(SYS_shutdown, copy, SHUT_RDWR);
      return false;
    });
  }
};

LoopbackServer::LoopbackServer() : impl_(std::make_unique<Impl>()) {
  impl_->server = std::make_unique<httplib::Server>();
  impl_->start(*this);
}

LoopbackServer::LoopbackServer(const TLSIdentity& identity) : impl_(std::make_unique<Impl>()) {
  tls_ = true;
  impl_->server = std::make_unique<httplib::SSLServer>([identity](SSL_CTX& ctx) {
    auto load = [](const std::string& pem) {
      BIO* b = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
      X509* c = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
      BIO_free(b);
      return c;
    };
    BIO* kb = BIO_new_mem_buf(identity.keyPEM.data(), static_cast<int>(identity.keyPEM.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    BIO_free(kb);
    bool ok = key != nullptr && !identity.chainPEM.empty();
    for (size_t i = 0; ok && i < identity.chainPEM.size(); ++i) {
      X509* c = load(identity.chainPEM[i]);
      if (!c) {
        ok = false;
        break;
      }
      ok = i == 0 ? SSL_CTX_use_certificate(&ctx, c) == 1 : SSL_CTX_add1_chain_cert(&ctx, c) == 1;
      X509_free(c);
    }
    ok = ok && SSL_CTX_use_PrivateKey(&ctx, key) == 1;
    EVP_PKEY_free(key);
    return ok;
  });
  impl_->start(*this);
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::route(const std::string& path, Handler handler, const std::string& method) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->routes[path].push_back({method, std::move(handler)});
}

void LoopbackServer::respond(const std::string& path, int status, std::string body,
                             std::string contentType) {
  route(path, [status, body = std::move(body), contentType = std::move(contentType)](
                  const Request&, Response& res) {
    res.status = status;
    res.body = body;
    res.contentType = contentType;
  });
}

std::string LoopbackServer::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<Request> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests;
}

size_t LoopbackServer::requestCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests.size();
}

void LoopbackServer::stop() { impl_->stop(); }

namespace {

std::string md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

// The parameters of a "Digest k=v, k="v"" header value (keys lower-cased).
std::map<std::string, std::string> digestParams(const std::string& value) {
  std::map<std::string, std::string> out;
  if (strncasecmp(value.c_str(), "Digest ", 7) != 0) return out;
  size_t i = 7;
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ' ' || value[i] == ',')) ++i;
    size_t eq = value.find('=', i);
    if (eq == std::string::npos) break;
    std::string key = value.substr(i, eq - i);
    for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    i = eq + 1;
    std::string v;
    if (i < value.size() && value[i] == '"') {
      size_t end = value.find('"', i + 1);
      if (end == std::string::npos) break;
      v = value.substr(i + 1, end - i - 1);
      i = end + 1;
    } else {
      size_t end = value.find(',', i);
      v = value.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end == std::string::npos ? value.size() : end;
    }
    out[key] = v;
  }
  return out;
}

}  // namespace

std::string DigestAuth::challenge() const {
  return "Digest realm=\"" + realm + "\", qop=\"auth\", nonce=\"" + nonce + "\", opaque=\"" +
         opaque + "\", algorithm=MD5";
}

bool DigestAuth::verify(const Request& request) const {
  auto header = request.header("Authorization");
  if (!header) return false;
  auto p = digestParams(*header);
  if (p["username"] != user || p["realm"] != realm || p["nonce"] != nonce ||
      p["uri"] != request.target) {
    return false;
  }
  std::string ha1 = md5Hex(user + ":" + realm + ":" + password);
  std::string ha2 = md5Hex(request.method + ":" + p["uri"]);
  std::string expected =
      p.count("qop") ? md5Hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":" +
                              p["qop"] + ":" + ha2)
                     : md5Hex(ha1 + ":" + nonce + ":" + ha2);
  return p["response"] == expected;
}

bool DigestAuth::check(const Request& request, Response& response) const {
  if (verify(request)) return true;
  response.status = 401;
  response.setHeader("WWW-Authenticate", challenge());
  response.body = "unauthorized";
  return false;
}

std::string basicAuthorization(const std::string& user, const std::string& password) {
  std::string plain = user + ":" + password;
  std::string out(4 * ((plain.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size()));
  out.resize(static_cast<size_t>(n));
  return "Basic " + out;
}

uint16_t unusedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  // The socket stays open (bound, never listening) for the life of the process: connections
  // to the port are refused, and no server of a test running beside this one can take it.
  return ntohs(addr.sin_port);
}

}  // namespace testing_net
