#pragma once
// Internal to plat_network: when a kept-alive connection may carry the next request.
//
// A response head either leaves its connection fit for another request or not (RFC 9112 6.3,
// 9.3): framingOf says which, and refuses a head no request asked for (a 101 to a request
// that asked no upgrade) or one libcurl would frame otherwise than its server (chunked
// before another transfer coding). Bytes that arrive on an idle connection belong to no request:
// the connection's sockets are recorded through libcurl's open and close socket callbacks, and
// before a request goes out on a connection that already carried an answer,
// idleConnectionHasBytes looks at it; such a connection is closed and the request sent on a
// fresh one. Thread-safe.

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/network/NSURLRequest.h"

namespace plat::detail {

struct ResponseFraming {
  bool refused = false;      // fail the request and close the connection
  bool reusable = true;      // the connection may carry the next request
  bool readToClose = false;  // the body ends where the connection does
};

// The framing rules for a final (or 101) response head with `fields`, to a request with
// `method` that asked for an upgrade or not.
ResponseFraming framingOf(std::string_view method, int64_t status, const HTTPHeaderFields& fields,
                          bool askedUpgrade);

// Whether a response's version ("HTTP/1.1", "HTTP/2") frames its body by these rules: HTTP/1.x.
inline bool isHTTP1(std::string_view version) { return version.rfind("HTTP/1", 0) == 0; }

// Whether the peer's closure alert arrived on the TLS connection `ssl` (an OpenSSL SSL*); set
// once it comes, and kept after the connection is gone. Needs watchClosureAlerts on the
// connection's context (an SSL_CTX*) before the connection is made.
std::shared_ptr<std::atomic<bool>> closureAlertOf(void* ssl);
void watchClosureAlerts(void* sslContext);

// libcurl's CURLOPT_OPENSOCKETFUNCTION and CURLOPT_CLOSESOCKETFUNCTION (client data unused).
curl_socket_t openConnectionSocket(void*, curlsocktype purpose, curl_sockaddr* address);
int closeConnectionSocket(void*, curl_socket_t socket);

// Records that `socket` carried an answer to its end (and stays open for another).
void markConnectionCarried(curl_socket_t socket);

// Whether the connection from `localPort` to `peerPort`, when it carried an answer before,
// holds bytes or its end before the next request goes out: readable on its socket, or
// (`ssl`, an OpenSSL SSL* of a TLS connection) read into the TLS layer and not yet taken.
bool idleConnectionHasBytes(int localPort, int peerPort, void* ssl);

}  // namespace plat::detail
