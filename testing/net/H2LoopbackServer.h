#pragma once
// A loopback HTTP/2 peer over TLS (ALPN "h2" only: a client that does not offer it fails the
// handshake), for wire forms of HTTP/2 streams: a response whose stream ends with END_STREAM
// on its last DATA frame, on trailers, or is reset before it ended.
//
// Each connection is served on a thread of its own; every request is answered, by the reply
// function, once its stream's request ended. Thread-safe.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testing_net {

struct TLSIdentity;

class H2LoopbackServer {
 public:
  struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // lower-case names
    std::string body;
    enum class End {
      kEndStream,     // END_STREAM on the last DATA frame (or on the HEADERS of an empty body)
      kTrailers,      // END_STREAM on a trailer HEADERS frame after the body
      kResetNoError,  // the body, then RST_STREAM(NO_ERROR) without END_STREAM
      kResetError,    // the body, then RST_STREAM(INTERNAL_ERROR) without END_STREAM
    } end = End::kEndStream;
  };
  // Called with the request's ":path" on a connection's thread.
  using ReplyFunction = std::function<Reply(const std::string& path)>;

  H2LoopbackServer(ReplyFunction reply, const TLSIdentity& identity);
  ~H2LoopbackServer();  // closes every connection and joins the threads
  H2LoopbackServer(const H2LoopbackServer&) = delete;
  H2LoopbackServer& operator=(const H2LoopbackServer&) = delete;

  uint16_t port() const { return port_; }
  // "https://127.0.0.1:<port><path>".
  std::string url(const std::string& path = "/") const;
  // Requests answered so far.
  size_t requests() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

}  // namespace testing_net
