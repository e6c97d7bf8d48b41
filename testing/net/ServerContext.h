#pragma once
// What the raw loopback servers share: the TLS context that presents a test identity, and a
// listening socket on 127.0.0.1 with the thread that accepts its connections.

#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <thread>

namespace testing_net {

struct TLSIdentity;

// The TLS context presenting `identity` (caller frees it).
SSL_CTX* newServerContext(const TLSIdentity& identity);

// A socket listening on 127.0.0.1 at a free port, which is written to `port`.
int listenOnLoopback(uint16_t& port);

// A thread accepting connections on `listener` until it is shut down; each connection gets
// TCP_NODELAY (every write goes out at once) and is handed to `accepted`.
std::thread acceptConnections(int listener, std::function<void(int)> accepted);

}  // namespace testing_net
