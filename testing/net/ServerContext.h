#pragma once
// The TLS context of the loopback servers: presents `identity` (caller frees it).

#include <openssl/ssl.h>

namespace testing_net {

struct TLSIdentity;

SSL_CTX* newServerContext(const TLSIdentity& identity);

}  // namespace testing_net
