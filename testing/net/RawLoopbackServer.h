#pragma once
// A loopback HTTP peer that answers with exact bytes, for wire forms the HTTP server library
// cannot produce (broken framing, folded lines, bare CRs) and for checking the request heads a
// client writes, byte for byte.
//
// Each connection is served on a thread of its own: every request head read on it (requests
// are taken to carry no body) is recorded and answered with the bytes the reply function gives
// for its target, and the connection stays open for the next request until the client closes
// it (or the reply function asks to close it after the reply). A reply may carry stray bytes,
// written on its connection only once the test releases them, as bytes that arrive on an idle
// connection. Over TLS, a connection closed by the reply may end with or without the closure
// alert. Thread-safe.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testing_net {

struct TLSIdentity;

class RawLoopbackServer {
 public:
  struct Reply {
    std::string bytes;
    bool close = false;  // close the connection once the bytes are written
    // Written after `bytes` once releaseStray() is called (the connection then closes if
    // `close`); empty: none.
    std::string stray = "";
    bool closeNotify = true;  // over TLS, send the closure alert before closing
  };
  // Called with the request target ("/path?query") on a connection's thread.
  using ReplyFunction = std::function<Reply(const std::string& target)>;

  explicit RawLoopbackServer(ReplyFunction reply);
  // Over TLS, presenting `identity`.
  RawLoopbackServer(ReplyFunction reply, const TLSIdentity& identity);
  ~RawLoopbackServer();  // closes every connection and joins the threads
  RawLoopbackServer(const RawLoopbackServer&) = delete;
  RawLoopbackServer& operator=(const RawLoopbackServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port><path>" (https over TLS).
  std::string url(const std::string& path = "/") const;
  // Every request head received so far (request line to the empty line, CR LF kept), in order.
  std::vector<std::string> heads() const;
  // Connections accepted so far.
  size_t connections() const;
  // Lets the stray bytes of replies go out; strays() counts those written so far.
  void releaseStray();
  size_t strays() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

}  // namespace testing_net
